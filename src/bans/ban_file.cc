// Reading and writing the lines of the three ban stores.
#include "bans/ban_file.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/clock.h"
#include "core/core_state.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/unique_fd.h"

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

// ASCII case folding without the locale: every line of a ban store is
// folded on an unban.
char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool IsCommand(std::string_view word, std::string_view command) {
  if (word.size() != command.size()) return false;
  if (word == command) return true;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (Fold(word[i]) != Fold(command[i])) return false;
  return true;
}

bool RemoveOne(const std::string& path, BanKind kind, const char* value) {
  if (IsUnknownValue(value)) return false;
  BanLineValues values;
  values.Add(kind, value);
  return RemoveBanLines(path, values);
}

}  // namespace

std::string ServerBanListPath() { return Core().settings_dir + "/serverbanlist.con"; }
std::string GameBanListPath() { return Core().settings_dir + "/banlist.con"; }
std::string PunkBusterBanPath() { return Core().server_dir + "/pb/pbbans.dat"; }

std::string_view FindGuidWord(std::string_view line) {
  std::string_view rest = line;
  std::string_view word;
  while (NextToken(rest, " \t\r\n", &word)) {
    if (word.size() == 32) return word;
  }
  return {};
}

bool SplitBanCommand(std::string_view line, std::string_view* command, std::string_view* value) {
  // Every unban reads each line of banlist.con through here: plain loops.
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  auto next_word = [&](std::string_view* word) {
    std::size_t start = 0;
    while (start < line.size() && blank(line[start])) ++start;
    std::size_t end = start;
    while (end < line.size() && !blank(line[end])) ++end;
    *word = line.substr(start, end - start);
    line.remove_prefix(end);
    return end > start;
  };
  return next_word(command) && next_word(value);
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
         AppendLine(PunkBusterBanPath(), GuidBanLine(guid, ClockNow()));
}

std::string_view BannedValue(std::string_view line, BanKind kind) {
  if (kind == BanKind::kGuid) return FindGuidWord(line);
  std::string_view command, value;
  if (!SplitBanCommand(line, &command, &value)) return {};
  if (kind == BanKind::kKey) return IsCommand(command, "admin.addKeyToBanList") ? value : "";
  if (!IsCommand(command, "admin.addAddressToBanList")) return {};
  return value.substr(0, value.find(':'));
}

void BanLineValues::Add(BanKind kind, std::string_view value) {
  std::string lower(value);
  for (char& c : lower) c = Fold(c);
  if (lower.empty()) return;
  if (lower.size() < 64) lengths_[static_cast<int>(kind)] |= std::uint64_t{1} << lower.size();
  values_[static_cast<int>(kind)].insert(std::move(lower));
}

bool BanLineValues::empty() const {
  return values_[0].empty() && values_[1].empty() && values_[2].empty();
}

bool BanLineValues::Holds(BanKind kind, std::string_view value, std::string* scratch) const {
  const std::unordered_set<std::string>& set = values_[static_cast<int>(kind)];
  const std::size_t length = value.size();
  if (length == 0 || length >= 64 || (lengths_[static_cast<int>(kind)] >> length & 1) == 0)
    return false;
  scratch->resize(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) (*scratch)[i] = Fold(value[i]);
  return set.count(*scratch) != 0;
}

bool BanLineValues::Matches(std::string_view line, std::string* scratch) const {
  if (Holds(BanKind::kGuid, values_[2].empty() ? "" : FindGuidWord(line), scratch)) return true;
  if (values_[0].empty() && values_[1].empty()) return false;
  // One reading of the line serves both kinds.
  std::string_view command, value;
  if (!SplitBanCommand(line, &command, &value)) return false;
  if (IsCommand(command, "admin.addKeyToBanList")) return Holds(BanKind::kKey, value, scratch);
  return IsCommand(command, "admin.addAddressToBanList") &&
         Holds(BanKind::kAddress, value.substr(0, value.find(':')), scratch);
}

bool RemoveAddressBan(const char* address) {
  return RemoveOne(GameBanListPath(), BanKind::kAddress, address);
}
bool RemoveKeyBan(const char* keyhash) { return RemoveOne(GameBanListPath(), BanKind::kKey, keyhash); }
bool RemoveGuidBan(const char* guid) { return RemoveOne(PunkBusterBanPath(), BanKind::kGuid, guid); }

bool RemoveBanLines(const std::string& path, const BanLineValues& values) {
  UniqueFile file = OpenRegularStream(path);
  if (!file) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open %s! %s", path.c_str(), ErrorText(LastError()).c_str());
    return false;
  }
  std::string text;
  if (!ReadStream(file.get(), &text)) {
    SetLastError(errno);
    LogMessage(6, "Couldn't read %s! %s", path.c_str(), ErrorText(LastError()).c_str());
    return false;
  }
  file.reset();
  // Lines are cut as the readers cut them, so a line longer than one read
  // is several lines here too.
  // The lines between dropped ones are copied in runs.
  std::string kept;
  std::string scratch;
  const char* run = text.data();
  std::string_view rest = text;
  while (!rest.empty()) {
    std::string_view line = NextBanLine(rest);
    if (!values.Matches(line, &scratch)) continue;
    if (kept.empty()) kept.reserve(text.size());
    kept.append(run, static_cast<std::size_t>(line.data() - run));
    run = line.data() + line.size();
  }
  if (run == text.data()) return true;  // nothing to drop
  kept.append(run, static_cast<std::size_t>(text.data() + text.size() - run));
  if (!ReplaceFileContents(path, kept)) {
    LogMessage(6, "Couldn't open %s! %s", path.c_str(), ErrorText(LastError()).c_str());
    return false;
  }
  return true;
}

bool BanFileContains(const std::string& path, std::string_view text) {
  UniqueFile file = OpenRegularStream(path);
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
