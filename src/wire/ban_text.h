// The text of the ban command, from a client (korvctl, korvweb) or queued
// by the daemon itself: seven fields, each ended by the byte 0xFF. Every
// ban text is written here, and the daemon's ban command reads it here, so
// they always agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr char kBanSeparator = static_cast<char>(0xFF);
inline constexpr int kBanTextFields = 7;

struct BanText {
  std::int32_t id = -1;  // the game's player id, -1 when not on the server
  std::string name;
  std::string address;
  std::string keyhash;
  std::string guid;
  std::int32_t duration = 0;  // seconds, 0 = permanent
  std::string reason;
};

// The text in field order, at most kCommandTextSize - 1 bytes so that the
// queue never cuts it: a byte 0xFF inside a field becomes '?', and a text
// that would be too long loses the end of its reason, then of its name,
// never a field. None when the id, identities and duration alone do not
// fit (an identity cut short would ban someone else).
std::optional<std::string> WriteBanText(const BanText& ban);
// The same for a client, which refuses what the daemon would change: none
// when a field holds the byte 0xFF or the whole would be cut.
std::optional<std::string> WriteWholeBanText(const BanText& ban);

// Reads the fields. A text that fills the queue's buffer was cut there: an
// unended last field is then the reason as far as it goes. None when a
// field is missing; `found` (if given) is set to the number of fields read.
std::optional<BanText> ReadBanText(std::string_view text, int* found);
