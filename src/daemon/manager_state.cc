// The daemon's state record over the sections' instances.
#include "daemon/manager_state.h"

#include "daemon/hooks.h"

ManagerState g_manager{Core(), Server(), Remote(), Links(), Ticks(), Settings()};

void ResetManagerState() {
  Core() = CoreState{};
  Server() = ServerState{};
  Remote() = RemoteState{};
  Links() = LinksState{};
  Ticks() = TickState{};
  Settings() = SettingsState{};
  FD_ZERO(&Core().master_set);
  InstallSubsystemHooks();
}
