// Reading and writing the lines of the three ban stores.
#include "bans/ban_file.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_set>

#include "bans/bans_state.h"
#include "core/core_state.h"
#include "core/helpers.h"
#include "core/log.h"

namespace {

// strtok's step: skips leading delimiters, takes the text up to the next
// one and consumes that delimiter. False when only delimiters are left.
bool NextToken(std::string_view& rest, std::string_view delimiters, std::string_view* token) {
  std::size_t start = rest.find_first_not_of(delimiters);
  if (start == std::string_view::npos) {
    rest = {};
    return false;
  }
  rest.remove_prefix(start);
  std::size_t end = rest.find_first_of(delimiters);
  *token = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  return true;
}

bool AppendLine(const std::string& path, const std::string& line) {
  if (AppendToFile(path, line)) return true;
  LogMessage(6, "Couldn't open server banlist file! %s", ErrorText(LastError()).c_str());
  return false;
}

// Keys grouped by length and last character, so that a line is searched
// only where a key of that group could end.
class KeyIndex {
 public:
  explicit KeyIndex(const std::vector<std::string>& keys) {
    for (const std::string& key : keys) {
      if (!key.empty()) groups_[{key.size(), key.back()}].insert(key);
    }
  }
  bool Matches(std::string_view line) const {
    for (const auto& [shape, set] : groups_) {
      const auto [length, last] = shape;
      for (std::size_t end = length; end <= line.size(); ++end) {
        if (line[end - 1] == last && set.count(line.substr(end - length, length)) != 0) return true;
      }
    }
    return false;
  }

 private:
  std::map<std::pair<std::size_t, char>, std::unordered_set<std::string_view>> groups_;
};

}  // namespace

std::string ServerBanListPath() { return Core().settings_dir + "/serverbanlist.con"; }
std::string GameBanListPath() { return Core().settings_dir + "/banlist.con"; }
std::string PunkBusterBanPath() { return Core().server_dir + "/pb/pbbans.dat"; }

std::optional<BanEntry> ParseBanEntry(std::string_view line, int fields) {
  std::string_view rest = line;
  std::string_view f[8];
  static constexpr std::string_view kDelims[8] = {"\"", ",", ",", ",", "\"", ",", ",", ",\n"};
  for (int i = 0; i < fields && i < 8; ++i) {
    if (!NextToken(rest, kDelims[i], &f[i])) return std::nullopt;
  }
  if (fields < 8) {
    std::string_view& last = f[fields - 1];
    while (!last.empty() && (last.back() == '\n' || last.back() == '\r')) last.remove_suffix(1);
  }
  return BanEntry{std::string(f[0]), std::string(f[1]), std::string(f[2]), std::string(f[3]),
                  std::string(f[4]), std::string(f[5]), std::string(f[6]), std::string(f[7])};
}

bool ParseBanFields(std::string_view line, std::string_view fields[8]) {
  static constexpr std::string_view kDelims[8] = {"\"", ",", ",", ",", "\"", ",", ",", ",\n"};
  for (int i = 0; i < 8; ++i) {
    if (!NextToken(line, kDelims[i], &fields[i])) return false;
  }
  return true;
}

void AppendBanRow(std::string& out, const std::string_view f[8]) {
  out += '"';
  out.append(f[0]).append("\",").append(f[1]).append(",").append(f[2]).append(",").append(f[3]);
  out.append(",\"").append(f[4]).append("\",").append(f[5]).append(",").append(f[6]).append(",");
  out.append(f[7]).append("\n");
}

std::string FormatBanEntry(const BanEntry& e) {
  return "\"" + e.name + "\"," + e.address + "," + e.keyhash + "," + e.guid + ",\"" + e.admin +
         "\"," + e.ban_time + "," + e.expiry + "," + e.reason + "\n";
}

std::string_view BanIdentity(std::string_view field) {
  return !field.empty() && field[0] == '*' ? std::string_view() : field;
}

std::uint64_t BanExpiry(const BanEntry& entry) {
  std::int64_t value = ParseLong(entry.expiry);
  return value < 0 ? 0 : static_cast<std::uint64_t>(value);
}

std::vector<std::string_view> SplitBanLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t feed = text.find('\n');
    std::size_t length = feed == std::string_view::npos ? text.size() : feed + 1;
    if (length > kBanLineLimit - 1) length = kBanLineLimit - 1;
    lines.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return lines;
}

std::string_view FindGuidWord(std::string_view line) {
  std::string_view rest = line;
  std::string_view word;
  while (NextToken(rest, " \t\r\n", &word)) {
    if (word.size() == 32) return word;
  }
  return {};
}

bool SplitBanCommand(std::string_view line, std::string_view* command, std::string_view* value) {
  std::string_view rest = line;
  return NextToken(rest, " \t\r\n", command) && NextToken(rest, " \t\r\n", value);
}

bool IsUnknownValue(const char* value) {
  return value == nullptr || value[0] == '\0' || ::strcasecmp(value, "[unknown]") == 0;
}

std::string AddressBanLine(std::string_view address) {
  return "admin.addAddressToBanList " + std::string(address) + ":0 Perm\n";
}
std::string KeyBanLine(std::string_view keyhash) {
  return "admin.addKeyToBanList " + std::string(keyhash) + " Perm\n";
}
std::string GuidBanLine(std::string_view guid, std::time_t when) {
  char stamp[64] = "";
  std::tm local{};
  if (::localtime_r(&when, &local) != nullptr)
    std::strftime(stamp, sizeof stamp, "[%m.%d.%Y %H.%M.%S]", &local);
  return std::string(stamp) + " " + std::string(guid) + " \"\" \"\" \r\n\r\n";
}

bool AppendAddressBan(const char* address) {
  return !IsUnknownValue(address) && AppendLine(GameBanListPath(), AddressBanLine(address));
}
bool AppendKeyBan(const char* keyhash) {
  return !IsUnknownValue(keyhash) && AppendLine(GameBanListPath(), KeyBanLine(keyhash));
}
bool AppendGuidBan(const char* guid) {
  return !IsUnknownValue(guid) &&
         AppendLine(PunkBusterBanPath(), GuidBanLine(guid, BanNow()));
}

bool RemoveAddressBan(const char* address) {
  return !IsUnknownValue(address) &&
         ReplaceLinesInFile(GameBanListPath(), std::string(address) + ":", nullptr);
}
bool RemoveKeyBan(const char* keyhash) {
  return !IsUnknownValue(keyhash) && ReplaceLinesInFile(GameBanListPath(), keyhash, nullptr);
}
bool RemoveGuidBan(const char* guid) {
  return !IsUnknownValue(guid) && ReplaceLinesInFile(PunkBusterBanPath(), guid, nullptr);
}

bool RemoveLinesHoldingAny(const std::string& path, const std::vector<std::string>& keys) {
  std::optional<std::string> text = ReadWholeFile(path);
  if (text) {
    KeyIndex index(keys);
    std::string kept;
    kept.reserve(text->size());
    for (std::string_view line : SplitBanLines(*text)) {
      if (!index.Matches(line)) kept.append(line);
    }
    if (ReplaceFileContents(path, kept)) return true;
  }
  return false;
}

bool BanFileContains(const std::string& path, std::string_view text) {
  UniqueFile file(std::fopen(path.c_str(), "r"));
  if (!file) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open banlist file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  std::string line;
  while (ReadLineBounded(file.get(), kBanLineLimit, &line)) {
    if (!line.empty() && line[0] != ';' && line.find(text) != std::string::npos) return true;
  }
  if (std::ferror(file.get())) {
    SetLastError(errno);
    LogMessage(6, "Couldn't read banlist file! %s", ErrorText(LastError()).c_str());
  }
  return false;
}
