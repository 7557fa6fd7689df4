// The chat-line entry of moderation and the speaker of a chat line.
#include "moderation/moderation.h"

#include "core/text.h"
#include "moderation/banned_words.h"
#include "moderation/ingame_commands.h"
#include "settings/settings_table.h"

namespace {

constexpr std::size_t kClaimedMax = 32;

}  // namespace

void ModerateChatLine(const std::string& line) {
  if (SettingValue(kSetAutoKickWord) != 0) WatchChatLine(line);
  HandleInGameCommand(line);
}

std::optional<ChatSpeaker> FindChatSpeaker(std::string_view line) {
  std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  std::string_view said = line.substr(blank + 1);
  const PlayerRecord* speaker = nullptr;
  bool shared = false;
  for (const PlayerRecord& record : Links().players) {
    if (record.name.empty()) break;
    const std::string& name = record.name;
    if (!said.starts_with(name) || said.substr(name.size()).substr(0, 2) != ": ") continue;
    // Two names that both begin the line and are as long are the same name.
    if (speaker != nullptr && name.size() == speaker->name.size()) {
      shared = true;
    } else if (speaker == nullptr || name.size() > speaker->name.size()) {
      speaker = &record;
      shared = false;
    }
  }
  if (speaker == nullptr || shared) return std::nullopt;
  return ChatSpeaker{*speaker, std::string(said.substr(speaker->name.size() + 2))};
}

std::optional<std::string> ClaimedSpeaker(std::string_view line) {
  std::size_t blank = line.find(' ');
  std::size_t colon = line.find(": ");
  if (blank == std::string_view::npos || colon == std::string_view::npos) return std::nullopt;
  std::size_t start = blank + 1;
  std::string_view speaker = start <= colon ? line.substr(start, colon - start) : "";
  return CutText(speaker, kClaimedMax);
}
