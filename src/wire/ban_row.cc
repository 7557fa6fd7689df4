// Reading and writing the rows of serverbanlist.con.
#include "wire/ban_row.h"

#include <cstring>

#include "core/text.h"

std::optional<BanEntry> ParseBanEntry(std::string_view line) {
  std::string_view f[kBanRowFields];
  if (!ParseBanFields(line, f)) return std::nullopt;
  return BanEntry{std::string(f[0]), std::string(f[1]), std::string(f[2]), std::string(f[3]),
                  std::string(f[4]), std::string(f[5]), std::string(f[6]), std::string(f[7])};
}

bool ParseBanFields(std::string_view line, std::string_view fields[kBanRowFields]) {
  // One pass over the row: the unban rewrite reads every row of the list.
  static constexpr char kDelimiter[kBanRowFields] = {'"', ',', ',', ',', '"', ',', ',', ','};
  const char* at = line.data();
  const char* const end = at + line.size();
  for (int i = 0; i < kBanRowFields; ++i) {
    const char delimiter = kDelimiter[i];
    const char also = i == 7 ? '\n' : delimiter;  // the reason also ends at a line feed
    while (at != end && (*at == delimiter || *at == also)) ++at;
    if (at == end) return false;
    const char* start = at;
    if (i < 7) {
      const void* found = std::memchr(at, delimiter, static_cast<std::size_t>(end - at));
      at = found == nullptr ? end : static_cast<const char*>(found);
    } else {
      while (at != end && *at != delimiter && *at != also) ++at;
    }
    fields[i] = std::string_view(start, static_cast<std::size_t>(at - start));
    if (at != end) ++at;
  }
  return true;
}

bool IsBanRowAsWritten(std::string_view line, const std::string_view fields[kBanRowFields]) {
  // How many delimiters the written form puts before each field.
  static constexpr std::size_t kGap[kBanRowFields] = {1, 2, 1, 1, 2, 2, 1, 1};
  const char* at = line.data();
  for (int i = 0; i < kBanRowFields; ++i) {
    at += kGap[i];
    if (fields[i].data() != at) return false;
    at += fields[i].size();
  }
  return !line.empty() && at + 1 == line.data() + line.size() && line.back() == '\n';
}

void AppendBanRow(std::string& out, const std::string_view f[kBanRowFields]) {
  out += '"';
  out.append(f[0]).append("\",").append(f[1]).append(",").append(f[2]).append(",").append(f[3]);
  out.append(",\"").append(f[4]).append("\",").append(f[5]).append(",").append(f[6]).append(",");
  out.append(f[7]).append("\n");
}

std::string FormatBanEntry(const BanEntry& e) {
  const std::string_view f[kBanRowFields] = {e.name,  e.address,  e.keyhash, e.guid,
                                             e.admin, e.ban_time, e.expiry,  e.reason};
  std::string row;
  AppendBanRow(row, f);
  return row;
}

std::string_view BanIdentity(std::string_view field) {
  return !field.empty() && field[0] == '*' ? std::string_view() : field;
}

std::uint64_t BanExpiry(std::string_view expiry) {
  std::int64_t value = ParseLong(expiry);
  return value < 0 ? 0 : static_cast<std::uint64_t>(value);
}

std::string_view NextBanLine(std::string_view& text) {
  const void* feed = std::memchr(text.data(), '\n', text.size());
  std::size_t length =
      feed == nullptr ? text.size() : static_cast<const char*>(feed) - text.data() + 1;
  if (length > kBanLineLimit - 1) length = kBanLineLimit - 1;
  std::string_view line = text.substr(0, length);
  text.remove_prefix(length);
  return line;
}

std::vector<std::string_view> SplitBanLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) lines.push_back(NextBanLine(text));
  return lines;
}
