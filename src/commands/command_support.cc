// The helpers the command handlers share.
#include "commands/command_support.h"

#include <cstring>
#include <optional>

#include "core/byte_order.h"
#include "core/text.h"
#include "links/console.h"
#include "links/player_table.h"
#include "remote/connection.h"
#include "remote/session.h"

namespace {

constexpr std::size_t kPieceLength = 63;

bool Known(const std::string& value) { return !value.empty() && !EqualNoCase(value, "[unknown]"); }

}  // namespace

std::string_view CommandText(const CommandContext& c) { return c.text.substr(0, c.text.find('\0')); }

void SendReply(const CommandContext& c, const std::string& text) {
  std::string reply;
  AppendCountedText(reply, text);
  QueueClientOutput(c.socket, reply.data(), reply.size());
}

Issuer::Issuer(std::uint32_t sender)
    : user(SenderUserName(sender)), address(SenderAddress(sender)) {}

void NotifyIssuer(const QueuedCommand& command, std::uint32_t code) {
  if (command.sender >= 1 && command.sender <= static_cast<std::uint32_t>(kMaxClients))
    NotifyClient(code, static_cast<int>(command.sender), nullptr, 0);
}

std::string_view QueuedText(const QueuedCommand& command) {
  return std::string_view(command.text, strnlen(command.text, sizeof command.text));
}

TargetState CheckTarget(const CommandTarget& target, PlayerRecord* holder) {
  std::optional<std::string> list = ConsoleSend("game.listPlayers");
  if (!list) return TargetState::kUnknown;
  std::string_view rest = *list;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    PlayerRecord record;
    // Bots and lines that do not parse hold no player who could be kicked.
    if (!ParsePlayerLine(line, &record) || record.id != target.id) continue;
    if (holder != nullptr) *holder = record;
    bool same_key = !Known(target.keyhash) || !Known(record.keyhash) ||
                    EqualNoCase(target.keyhash, record.keyhash);
    return record.name == target.name && same_key ? TargetState::kSame : TargetState::kOther;
  }
  return TargetState::kGone;
}

std::vector<std::string> SplitIntoPieces(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  while (text.size() > kPieceLength) {
    std::size_t cut = 0;
    for (std::size_t i = kPieceLength; i >= 1 && cut == 0; --i) {
      if (text[i] == separator) cut = i;
    }
    if (cut == 0) {
      pieces.emplace_back(text.substr(0, kPieceLength));
      text.remove_prefix(kPieceLength);
    } else {
      pieces.emplace_back(text.substr(0, cut));
      text.remove_prefix(cut + 1);
    }
  }
  pieces.emplace_back(text);
  return pieces;
}
