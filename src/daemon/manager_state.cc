// The daemon's state record over the sections' instances.
#include "daemon/manager_state.h"

#include "core/last_error.h"
#include "core/wake.h"
#include "daemon/hooks.h"
#include "remote/connection.h"
#include "remote/transport.h"

ManagerState g_manager{MutableCore(), MutableServer(), MutableRemote(),
                       MutableLinks(),  MutableTicks(),  MutableSettings(),
                       MutableBans(),  MutableModeration(), MutableSchedule(),
                       MutableFleet(), MutableHistory()};

void ResetManagerState() {
  // What lives beside the sections goes first: descriptors are closed, not
  // just forgotten.
  CloseAllConnections();
  ForgetCachedFrame();
  CloseConsoleSocket();
  CloseWakePipe();
  SetLastError(0);
  g_manager.core = CoreState{};
  g_manager.server = ServerState{};
  g_manager.remote = RemoteState{};
  g_manager.links = LinksState{};
  g_manager.ticks = TickState{};
  g_manager.settings = SettingsState{};
  g_manager.bans = BansState{};
  g_manager.moderation = ModerationState{};
  g_manager.schedule = ScheduleState{};
  g_manager.fleet = FleetState{};
  g_manager.history = HistoryState{};  // closes the database
  UnwatchAllSockets();
  InstallSubsystemHooks();
}
