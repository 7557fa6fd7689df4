// What the command handlers share: who issued a queued command, telling
// him, its text, whether a player is still the one a command was meant for,
// and chat cut into pieces the game accepts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "links/links_state.h"
#include "remote/dispatch.h"
#include "remote/remote_state.h"

// Who asked, for the audit lines.
struct Issuer {
  std::string user;
  std::string address;
  explicit Issuer(std::uint32_t sender);
};

// An immediate command's text up to its first zero (the client counts the
// zero that ends it).
std::string_view CommandText(const CommandContext& c);

// Answers an immediate command: the length of the text with its zero,
// then the text.
void SendReply(const CommandContext& c, const std::string& text);

// Tells the issuer; the daemon itself and in-game senders have no session.
void NotifyIssuer(const QueuedCommand& command, std::uint32_t code);

// The command's text, up to its zero.
std::string_view QueuedText(const QueuedCommand& command);

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
