// Carries out one queued command. Each code the daemon knows has one row in
// the table in execute.cc; a code without a row does nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "links/links_state.h"
#include "remote/remote_state.h"

void ExecuteCommand(const QueuedCommand& command);

// True when the code has a row in the execution table.
bool IsExecutableCode(std::uint32_t code);

// Gives a queued code a handler that lives in a higher layer (bans,
// moderation, schedule); the top installs these at start-up. Replaces an
// earlier handler of the same code; false when all 16 places are taken.
using QueuedHandler = void (*)(const QueuedCommand&);
bool InstallQueuedHandler(std::uint32_t code, QueuedHandler handler);

// Who holds player id target.id now, as the game lists its players afresh
// ("game.listPlayers"): kSame when it is the target (the same name, and the
// same keyhash where both are known), kOther when someone else, kGone when
// nobody, kUnknown when the list cannot be had. `holder` (if given) gets
// the listed player's name, id, address and keyhash.
enum class TargetState { kSame, kOther, kGone, kUnknown };
TargetState CheckTarget(const CommandTarget& target, PlayerRecord* holder);

// Cuts a chat or message text into pieces of at most 63 characters for the
// console: when more remains, the cut goes before the last `separator`
// among positions 1 to 63, which is dropped; without one the piece is the
// first 63 characters.
std::vector<std::string> SplitIntoPieces(std::string_view text, char separator);
