// What the moderation subsystems send into the game: tagged chat lines,
// kicks and bans through the command queue, with the -noadmin and -nodelay
// choices applied in one place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "links/links_state.h"
#include "remote/remote_state.h"

// Every line the daemon itself says to the players begins with this tag.
inline constexpr char kTag[] = "[KORV]";
// Seconds between the line that announces a kick or ban and the act.
inline constexpr int kKickDelaySeconds = 12;

// The delay of automatic and in-game kicks and bans: 12 s, 0 with -nodelay.
int KickDelay();
// Queues a message to the players, due at once: a server message, or game
// chat with -noadmin.
void QueueGameMessage(const std::string& text, std::uint32_t sender);
// The text of the queued ban command for the player (bans/ban_text.h):
// always its seven fields, the reason cut to fit the queue. None, logged,
// when even the player's identities cannot fit; nothing may then be
// announced, as no ban would follow.
std::optional<std::string> BanCommandText(const PlayerRecord& player, std::int32_t duration,
                                          const std::string& reason);
// Queues the kick of the player by "admin.kickPlayer <id>", due after the
// kick delay. It runs only if the id still holds that player then.
void QueueKick(const PlayerRecord& player);
// The player a delayed kick is meant for, as the queue checks it.
CommandTarget TargetOf(const PlayerRecord& player);
// The value of "mapname" in the last status report ("" when absent).
std::string CurrentMapName();
