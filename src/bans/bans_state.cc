// The ban lists' state section.
#include "bans/bans_state.h"

namespace {
BansState g_bans;
}  // namespace

const BansState& Bans() { return g_bans; }
BansState& MutableBans() { return g_bans; }
