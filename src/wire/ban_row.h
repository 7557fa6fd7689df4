// Rows of the daemon's ban list, serverbanlist.con: one ban a line,
// "\"name\",address,keyhash,guid,\"admin\",ban time,expiry,reason". The
// daemon keeps the list; korvctl shows it. Both read it here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Longest texts a row stores: longer names, admins and reasons are cut;
// longer identities are refused (a cut identity would ban somebody else).
inline constexpr std::size_t kMaxBanNameText = 31;
inline constexpr std::size_t kMaxBanAdminText = 31;
inline constexpr std::size_t kMaxBanReasonText = 255;
inline constexpr std::size_t kMaxBanAddressText = 15;
inline constexpr std::size_t kMaxBanKeyText = 32;
inline constexpr std::size_t kMaxBanGuidText = 32;
// Lines of the ban files are read 1023 characters at a time.
inline constexpr std::size_t kBanLineLimit = 1024;
inline constexpr int kBanRowFields = 8;

// One row of serverbanlist.con; "*" stands for no ban on an identity.
struct BanEntry {
  std::string name;
  std::string address;
  std::string keyhash;
  std::string guid;
  std::string admin;
  std::string ban_time;  // decimal seconds since the epoch
  std::string expiry;    // decimal, 0 = permanent
  std::string reason;
};

// Reads the eight fields of a line (successive tokens: the quoted name,
// three identities up to commas, the quoted admin, the two times and the
// reason up to a comma or a line feed; runs of delimiters count as one, so
// a '\r' before the line feed belongs to the reason). None when a field is
// missing: the line is no ban.
std::optional<BanEntry> ParseBanEntry(std::string_view line);
// The same without copying: the eight fields as views into `line`.
bool ParseBanFields(std::string_view line, std::string_view fields[kBanRowFields]);
// True when `line` is exactly the row AppendBanRow makes of `fields` (as
// ParseBanFields read them from it), so it may be copied as it stands.
bool IsBanRowAsWritten(std::string_view line, const std::string_view fields[kBanRowFields]);
// Appends a row made of eight fields to `out`, with its line end.
void AppendBanRow(std::string& out, const std::string_view fields[kBanRowFields]);
// The row as the unban rewrite writes it, with its line end.
std::string FormatBanEntry(const BanEntry& entry);
// An identity field of a row: empty for "*" (anything beginning with it).
std::string_view BanIdentity(std::string_view field);
// A time of a row (ban time or expiry) from its field as atol reads it; 0,
// which means permanent for an expiry, when it is not a positive number.
std::uint64_t BanExpiry(std::string_view expiry);

// Splits a file's text into lines as fgets with a 1024-byte buffer would:
// at most 1023 characters each, the line feed kept when it fits.
std::vector<std::string_view> SplitBanLines(std::string_view text);
// The next such line of `text`, taken off its front.
std::string_view NextBanLine(std::string_view& text);
