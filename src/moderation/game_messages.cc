// Tagged messages, kick delays and ban texts shared by the watches, the
// in-game commands and the player menu.
#include "moderation/game_messages.h"

#include <cstdio>
#include <optional>

#include "core/core_state.h"
#include "core/helpers.h"
#include "core/protocol.h"
#include "remote/command_queue.h"

int KickDelay() { return Core().kick_delay == 1 ? kKickDelaySeconds : 0; }

void QueueGameMessage(const std::string& text, std::uint32_t sender) {
  std::uint32_t code = Core().admin_message_style == 1 ? kCmdServerMessage : kCmdSayToAll;
  QueueCommand(code, text.c_str(), sender, 0);
}

namespace {

// A field of the ban text never holds the separator itself, so a name
// cannot shift the fields behind it.
std::string Field(const std::string& text) {
  std::string field = text;
  for (char& c : field)
    if (c == '\xff') c = '?';
  return field;
}

}  // namespace

std::string BanCommandText(const PlayerRecord& player, std::int32_t duration,
                           const std::string& reason) {
  char text[kQueuedTextSize];
  std::snprintf(text, sizeof text, "%i\xff%s\xff%s\xff%s\xff%s\xff%i\xff%s\xff",
                static_cast<int>(player.id), Field(player.name).c_str(),
                Field(player.address).c_str(), Field(player.keyhash).c_str(),
                Field(player.pb_guid).c_str(), static_cast<int>(duration),
                Field(reason).c_str());
  return text;
}

std::string CurrentMapName() {
  std::optional<std::string> map = StatusValue(Links().status_report, "mapname");
  return map ? *map : std::string();
}
