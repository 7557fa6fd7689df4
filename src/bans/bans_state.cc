// The ban lists' state section and their clock.
#include "bans/bans_state.h"

namespace {
BansState g_bans;
}  // namespace

const BansState& Bans() { return g_bans; }
BansState& MutableBans() { return g_bans; }

std::time_t BanNow() { return g_bans.clock != nullptr ? g_bans.clock() : std::time(nullptr); }

void SetBanClock(std::time_t (*clock)()) { g_bans.clock = clock; }
