// Tagged messages, kick delays and ban texts shared by the watches, the
// in-game commands and the player menu.
#include "moderation/game_messages.h"

#include <optional>

#include "bans/ban_text.h"
#include "core/core_state.h"
#include "core/log.h"
#include "core/protocol.h"
#include "wire/status_report.h"
#include "remote/command_queue.h"

int KickDelay() { return Core().kick_delay == 1 ? kKickDelaySeconds : 0; }

void QueueGameMessage(const std::string& text, std::uint32_t sender) {
  std::uint32_t code = Core().admin_message_style == 1 ? kCmdServerMessage : kCmdSayToAll;
  QueueCommand(code, text.c_str(), sender, 0);
}

std::optional<std::string> BanCommandText(const PlayerRecord& player, std::int32_t duration,
                                          const std::string& reason) {
  std::optional<std::string> text = WriteBanText(BanText{player.id, player.name, player.address,
                                                         player.keyhash, player.pb_guid, duration,
                                                         reason});
  if (!text)
    LogMessage(6, "Couldn't ban player %s! The ban command cannot hold his address, keyhash and "
               "GUID.", player.name.c_str());
  return text;
}

CommandTarget TargetOf(const PlayerRecord& player) {
  return CommandTarget{player.id, player.name, player.keyhash};
}

void QueueKick(const PlayerRecord& player) {
  std::string command = "admin.kickPlayer " + std::to_string(player.id);
  QueueCommandFor(kCmdRawConsole, command.c_str(), 0, KickDelay(), TargetOf(player));
}

std::string CurrentMapName() {
  std::optional<std::string> map = StatusValue(Links().status_report, "mapname");
  return map ? *map : std::string();
}
