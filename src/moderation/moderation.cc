// The chat-line entry of moderation.
#include "moderation/moderation.h"

#include "moderation/banned_words.h"
#include "moderation/ingame_commands.h"
#include "settings/settings_table.h"

void ModerateChatLine(const std::string& line) {
  if (SettingValue(kSetAutoKickWord) != 0) WatchChatLine(line);
  HandleInGameCommand(line);
}
