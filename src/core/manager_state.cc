// The single instance of the daemon's state.
#include "core/manager_state.h"

ManagerState g_manager;

void ResetManagerState() {
  g_manager = ManagerState{};
  FD_ZERO(&g_manager.core.master_set);
}
