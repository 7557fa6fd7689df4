// What the moderation subsystems send into the game: tagged chat lines,
// kicks and bans through the command queue, with the -noadmin and -nodelay
// choices applied in one place.
#pragma once

#include <cstdint>
#include <string>

#include "links/links_state.h"

// Every line the daemon itself says to the players begins with this tag.
inline constexpr char kTag[] = "[KORV]";
// Seconds between the line that announces a kick or ban and the act.
inline constexpr int kKickDelaySeconds = 12;

// The delay of automatic and in-game kicks and bans: 12 s, 0 with -nodelay.
int KickDelay();
// Queues a message to the players, due at once: a server message, or game
// chat with -noadmin.
void QueueGameMessage(const std::string& text, std::uint32_t sender);
// The text of the queued ban command: seven fields, each ended by 0xFF.
std::string BanCommandText(const PlayerRecord& player, std::int32_t duration,
                           const std::string& reason);
// The value of "mapname" in the last status report ("" when absent).
std::string CurrentMapName();
