// bannedwords.con: the words no player name or chat line may hold and the
// whole names no player may use, the two matching rules, and the chat
// watch that warns, kicks and bans for them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Reads bannedwords.con into the list. False when the file cannot be opened
// (the previous list stays) or read (the entries read so far stay), logged.
bool LoadBannedWords();
// True when the name holds a banned word or is a banned name ('$' entry),
// case ignored.
bool NameHasBannedWord(std::string_view name);
// The first entry (lower case) that the line contains, case ignored; '$'
// entries count as plain words here. None without a list or a match.
std::optional<std::string> FindBannedWord(std::string_view line);
// One chat line (without its "##-- "): warns the speaker (FindChatSpeaker
// of moderation.h) twice, then kicks or, with AutoBan, bans him by his id.
// False when a banned word was found but the speaker could not be tied to
// one listed player.
bool WatchChatLine(const std::string& line);
