// In-game administration: "!" commands typed into the chat by players whose
// keyhash belongs to a user account, and the player menu (playermenu.con)
// whose items kick, ban, message or run console commands on a target.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Handles one chat line (without its "##-- "): true when a command was
// accepted and queued. Refusals are answered in the game chat. Only a
// speaker that FindChatSpeaker (moderation.h) names is heard, nextmap
// included; kicks are queued for their target (QueueCommandFor).
bool HandleInGameCommand(const std::string& line);
// The number (from 1) of the first player-menu line that answers to the
// command id, case ignored; 0 for none or when the file cannot be read.
int LookUpMenuItem(std::string_view command);
// Runs menu line `number` on the player `target` (-1 for none) for the
// sender `origin`: true when the item kicks or bans.
bool RunMenuItem(std::int32_t target, int number, std::uint32_t origin);
// The console command of a "cmd" item: the words of `text` joined by single
// blanks, with %bfid, %pbid, %name, %keyhash and %guid replaced by the
// target's values; a value that would break out of its word is quoted.
std::string BuildMenuConsoleCommand(std::string_view text, std::int32_t target);
