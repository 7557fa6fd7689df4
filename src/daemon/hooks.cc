// The wiring between subsystems that the layer order would otherwise
// forbid.
#include "daemon/hooks.h"

#include <string>

#include "commands/ban_road.h"
#include "commands/command_table.h"
#include "core/clock.h"
#include "core/protocol.h"
#include "fleet/fleet.h"
#include "history/history.h"
#include "links/console.h"
#include "links/player_table.h"
#include "moderation/moderation.h"
#include "remote/remote_state.h"
#include "remote/session.h"
#include "schedule/schedule.h"
#include "server/launch.h"
#include "settings/settings_files.h"

namespace {

bool NameSessionCaller(int slot, CallerName* name) {
  if (slot < 0 || slot >= kSessionSlots) return false;
  const ClientSession& session = Remote().sessions[slot];
  name->user = session.user_name;
  name->address = session.address;
  return true;
}

void FanOutChatLine(const std::string& line) {
  NotifyAllClientsText(kNotifyConsoleLine, line, 0);
  ModerateChatLine(line);
}

void RecordRefreshedPlayers() { RecordPlayersSeen(Links().players, ClockNow()); }

}  // namespace

void InstallSubsystemHooks() {
  SetChatLineListener(FanOutChatLine);
  SetPlayerListListener(RecordRefreshedPlayers);
  InstallCommandTable();
  SetCallerNamer(NameSessionCaller);
  SetScheduleServerControl(StartServer, StopServer);
  SetBanListener(QueueFleetEvent);
}
