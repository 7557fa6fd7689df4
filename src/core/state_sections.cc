// The instances of the state sections the core holds. The daemon's state
// record (daemon/manager_state.h) refers to them.
#include "core/core_state.h"
#include "core/server_state.h"
#include "core/tick_state.h"

CoreState& Core() {
  static CoreState section;
  return section;
}

ServerState& Server() {
  static ServerState section;
  return section;
}

TickState& Ticks() {
  static TickState section;
  return section;
}

void SetIdleMap(const std::string& map) { Core().idle_map = map; }
