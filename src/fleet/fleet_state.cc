// The fleet link's state section.
#include "fleet/fleet_state.h"

#include "fleet/pq_library.h"

namespace {
FleetState g_fleet;
}  // namespace

void PgConnCloser::operator()(pg_conn* conn) const { Pq().PQfinish(conn); }

const FleetState& Fleet() { return g_fleet; }
FleetState& MutableFleet() { return g_fleet; }
