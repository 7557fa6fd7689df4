// The fleet link's state section.
#include "fleet/fleet_state.h"

#include <libpq-fe.h>

namespace {
FleetState g_fleet;
}  // namespace

void PgConnCloser::operator()(pg_conn* conn) const { PQfinish(conn); }

const FleetState& Fleet() { return g_fleet; }
FleetState& MutableFleet() { return g_fleet; }
