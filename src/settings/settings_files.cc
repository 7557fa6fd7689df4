// Writing and reading the settings files: korvane.con, serversettings.con,
// serverautoexec.con, and single key lines of the game's .con files.
#include "settings/settings_files.h"

#include <strings.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <memory>
#include <unordered_map>
#include <vector>

#include "core/files.h"
#include "core/ids.h"
#include "core/last_error.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "core/log.h"
#include "core/core_state.h"
#include "settings/settings_state.h"
#include "settings/settings_table.h"
#include "wire/setting_line.h"

namespace {

constexpr std::size_t kLineLimit = 1024;
constexpr int kMaxGroup = 11;

void Appendf(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Appendf(std::string* out, const char* format, ...) {
  char buffer[kLineLimit + 64];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length > 0) out->append(buffer, std::min<std::size_t>(length, sizeof buffer - 1));
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

void StripLineEnd(std::string& line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
}

// Integer rows written under an "admin" console key take the console's
// units.
void WriteIntegerLine(std::string* out, std::string_view key, const SettingEntry& row) {
  std::string key_text(key);
  const char* k = key_text.c_str();
  long value = row.value;
  ConsoleUnit unit = StartsWithNoCase(key, "admin") ? row.unit : ConsoleUnit::kSame;
  if (unit == ConsoleUnit::kSeconds) {
    Appendf(out, "%s %li\n", k, value * 60);
  } else if (unit == ConsoleUnit::kFraction) {
    Appendf(out, "%s %.2f\n", k, value / 100.0);
  } else if (unit == ConsoleUnit::kRounds && value == 0) {
    Appendf(out, "%s %i\n", k, -1);
  } else {
    Appendf(out, "%s %li\n", k, value);
  }
}

// Writes a whole file through a temporary copy; logs `message` with the
// error text on failure. All three settings files hold passwords (the
// console's, the game's and the reserved slots'), so only the owner reads them.
bool ReplaceWithMessage(const std::string& path, const std::string& contents,
                        const char* message) {
  CreateFileWithDirs(path, 0);
  if (ReplaceFileContents(path, contents, FileAccess::kOwnerOnly)) return true;
  int error = LastError();
  LogMessage(6, "%s %s", message, ErrorText(error).c_str());
  SetLastError(error);
  return false;
}

// Logs what a client's load changed in one row.
void AuditChange(const CallerName& who, int index, const SettingEntry& old_row) {
  const SettingEntry& row = Setting(index);
  const char* user = who.user.c_str();
  const char* address = who.address.c_str();
  const char* name = SettingName(index);
  if (UsesText(row.type)) {
    if (row.text == old_row.text) return;
    // Passwords never reach the log: anyone allowed to download it would
    // read them there.
    bool secret = row.secret;
    LogMessage(6, "User %s at %s changed %s from [%s] to [%s].", user, address, name,
               secret ? "********" : old_row.text.c_str(), secret ? "********" : row.text.c_str());
    return;
  }
  if (row.value == old_row.value) return;
  if (row.type == SettingType::kAddress) {
    LogMessage(6, "User %s at %s changed %s from %s to %s.", user, address, name,
               FormatDottedIp(static_cast<std::uint32_t>(old_row.value)).c_str(),
               FormatDottedIp(static_cast<std::uint32_t>(row.value)).c_str());
  } else if (row.type == SettingType::kTenths) {
    LogMessage(6, "User %s at %s changed %s from %.1f to %.1f.", user, address, name,
               old_row.value / 10.0, row.value / 10.0);
  } else {
    LogMessage(6, "User %s at %s changed %s from %li to %li.", user, address, name,
               static_cast<long>(old_row.value), static_cast<long>(row.value));
  }
}

void ResolveBalanceConflict() {
  SettingEntry& auto_balance = Setting(kSetAutoBalanceTeams);
  if (auto_balance.value == 1 && Setting(kSetSmartBalance).value == 1) {
    LogMessage(6, "Both auto-balance and smart-balance are enabled, disabling auto-balance.");
    auto_balance.value = 0;
  }
}

}  // namespace

void SetCallerNamer(bool (*namer)(int slot, CallerName* name)) {
  MutableSettings().caller_namer = namer;
}

void WriteSettingEntryLine(std::string* out, std::string_view key, const SettingEntry& row) {
  std::string key_text(key);
  const char* k = key_text.c_str();
  long value = row.value;
  switch (row.type) {
    case SettingType::kAction:
      if (row.value != 0) Appendf(out, "%s\n", k);
      break;
    case SettingType::kBoolean:
      Appendf(out, "%s %li\n", k, value);
      break;
    case SettingType::kText:
      Appendf(out, "%s \"%s\"\n", k, row.text.c_str());
      break;
    case SettingType::kWelcomeText:
      AppendWelcomeLines(out, key, row.text);
      break;
    case SettingType::kInteger:
      WriteIntegerLine(out, key, row);
      break;
    case SettingType::kNegativeInteger:
      Appendf(out, "%s %li\n", k, -value);
      break;
    case SettingType::kHundredths:
      Appendf(out, "%s %.2f\n", k, row.value / 100.0);
      break;
    case SettingType::kTenths:
      Appendf(out, "%s %.1f\n", k, row.value / 10.0);
      break;
    case SettingType::kChoice:
      Appendf(out, "%s %s\n", k, row.text.c_str());
      break;
    case SettingType::kAddress:
      Appendf(out, "%s %s\n", k,
              FormatDottedIp(static_cast<std::uint32_t>(row.value)).c_str());
      break;
  }
}

void WriteSettingLine(std::string* out, std::string_view key, int index) {
  if (index < 0 || index >= kSettingCount) return;
  WriteSettingEntryLine(out, key, Setting(index));
}

std::string SettingsText(std::uint32_t group_mask) {
  std::string contents;
  for (int group = 0; group <= kMaxGroup; ++group) {
    if ((group_mask & (1u << group)) == 0) continue;
    for (int i = 0; i < kSettingCount; ++i) {
      if (Setting(i).group == static_cast<std::uint32_t>(group))
        WriteSettingLine(&contents, SettingName(i), i);
    }
  }
  return contents;
}

bool SaveSettings(const std::string& path, std::uint32_t group_mask) {
  return ReplaceWithMessage(path, SettingsText(group_mask), "Couldn't open settings file!");
}

namespace {

bool IsSelected(const SettingEntry& row, std::uint32_t group_mask) {
  if (row.group > static_cast<std::uint32_t>(kMaxGroup)) return false;
  if ((group_mask & (1u << row.group)) == 0) return false;
  return !row.restart_only || (group_mask & kRestartOnlyBit) != 0;
}

// The rows by the lower-case names they are stored under.
class RowsByKey {
 public:
  RowsByKey() {
    for (int i = 0; i < kSettingCount; ++i) {
      std::string name = SettingName(i);
      LowerCase(name);
      rows_.emplace(name, i);
    }
  }
  // The row stored under `key` (case ignored), or -1.
  int Find(std::string_view key) const {
    std::string lower(key);
    LowerCase(lower);
    auto it = rows_.find(lower);
    return it == rows_.end() ? -1 : it->second;
  }

 private:
  std::unordered_map<std::string, int> rows_;
};

// The next line of a settings file, line end stripped; false at the end. A
// line longer than the limit is no setting: it is consumed whole (so any
// length costs one pass) and counted in *overlong instead of being returned.
bool NextSettingsLine(std::FILE* file, std::string* line, std::size_t* overlong) {
  while (ReadLineBounded(file, kLineLimit, line)) {
    if (line->size() < kLineLimit - 1 || line->back() == '\n') {
      StripLineEnd(*line);
      return true;
    }
    int c = std::getc(file);
    if (c == EOF) {  // the last line, exactly at the limit
      StripLineEnd(*line);
      return true;
    }
    while (c != EOF && c != '\n') c = std::getc(file);
    ++*overlong;
  }
  return false;
}

// What one pass over a settings file found for the selected rows: the value
// part of the first line of each key. Welcome message lines, which all
// count, are parsed into the table as they come.
struct FileSettings {
  std::array<std::optional<std::string>, kSettingCount> first;
  bool welcome_found = false;
  bool any_known = false;
};

bool ReadSettingsFile(std::FILE* file, const std::string& path, std::uint32_t group_mask,
                      FileSettings* found) {
  const RowsByKey rows;
  std::string line;
  std::size_t overlong = 0;
  while (NextSettingsLine(file, &line, &overlong)) {
    SettingLineParts parts = SplitSettingLine(line);
    int index = rows.Find(parts.key);
    if (index < 0) continue;
    found->any_known = true;
    if (!IsSelected(Setting(index), group_mask)) continue;
    if (Setting(index).type == SettingType::kWelcomeText) {
      found->welcome_found = true;
      ParseSettingValue(index, parts.rest);
    } else if (!found->first[index]) {
      found->first[index] = std::string(parts.rest);
    }
  }
  if (overlong > 0) {
    LogMessage(6, "WARNING: Skipped %zu lines longer than %zu characters in %s.", overlong,
               kLineLimit - 1, path.c_str());
  }
  if (std::ferror(file)) {
    SetLastError(errno);
    LogMessage(6, "Couldn't read settings file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  if (!found->any_known)
    LogMessage(6, "WARNING: Found no settings in %s, the settings keep their values.",
               path.c_str());
  return true;
}

}  // namespace

namespace {

// LoadSettings on an open stream; `path` names it in the log lines.
bool LoadSettingsFrom(UniqueFile file, const std::string& path, std::uint32_t group_mask,
                      int caller) {
  if (!file) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open settings file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  int first = std::fgetc(file.get());
  if (first == EOF && !std::ferror(file.get())) {
    SetLastError(ENOENT);
    return false;
  }
  std::ungetc(first, file.get());
  // Every client slot is audited (slot 0 is the daemon's own session).
  CallerName who;
  auto namer = Settings().caller_namer;
  bool audit = caller >= 0 && namer != nullptr && namer(caller, &who);
  std::vector<SettingEntry> old_rows(Settings().table.begin(),
                                     Settings().table.end());
  // One pass reads the file, whatever its size; the rows then take their
  // values in table order.
  auto found = std::make_unique<FileSettings>();
  if (!ReadSettingsFile(file.get(), path, group_mask, found.get())) return false;
  file.reset();
  for (int group = 0; group <= kMaxGroup; ++group) {
    for (int i = 0; i < kSettingCount; ++i) {
      SettingEntry& row = Setting(i);
      if (row.group != static_cast<std::uint32_t>(group) || !IsSelected(row, group_mask)) continue;
      if (found->first[i]) {
        ParseSettingValue(i, *found->first[i]);
      } else if (row.type == SettingType::kAction) {
        row.value = 0;  // a switch is on only while its key is listed
      } else if (row.type == SettingType::kWelcomeText && !found->welcome_found) {
        row.text.clear();
      }
      if (audit) AuditChange(who, i, old_rows[i]);
    }
  }
  ResolveBalanceConflict();
  return true;
}

}  // namespace

bool LoadSettings(const std::string& path, std::uint32_t group_mask, int caller) {
  return LoadSettingsFrom(OpenRegularStream(path), path, group_mask, caller);
}

bool LoadSettingsText(std::string_view text, const std::string& name, std::uint32_t group_mask,
                      int caller) {
  if (text.empty()) {
    SetLastError(ENOENT);
    return false;
  }
  // Read in place: the stream never writes to the buffer.
  UniqueFile stream(::fmemopen(const_cast<char*>(text.data()), text.size(), "r"));
  return LoadSettingsFrom(std::move(stream), name, group_mask, caller);
}

bool WriteServerSettings(const std::string& path) {
  std::string contents;
  for (int i = 0; i < kSettingCount; ++i) {
    const SettingEntry& row = Setting(i);
    if (row.game_key.empty()) continue;
    if (i == kSetGameStartDelay) Appendf(&contents, "game.serverSpawnDelay %i\n", 5);
    if (i == kSetServerIp && Setting(kSetBindAllInterfaces).value == 1) {
      // The server listens everywhere; the table keeps the configured
      // address, which the daemon uses to reach it.
      SettingEntry any = row;
      any.value = 0;
      WriteSettingEntryLine(&contents, row.game_key, any);
      continue;
    }
    WriteSettingEntryLine(&contents, row.game_key, row);
  }
  const std::string& unpure = Settings().unpure_mods;
  if (!unpure.empty()) contents += "game.serverUnpureMods " + unpure + "\r\n";
  contents += Core().server_commands;
  return ReplaceWithMessage(path, contents, "Couldn't open server settings file!");
}

bool WriteServerAutoexec(const std::string& path) {
  std::string contents;
  if (SettingValue(kSetEnableRemoteConsole) == 1) {
    Appendf(&contents, "admin.enableRemoteConsole %s %s %li\n",
            SettingText(kSetConsoleUsername).c_str(), SettingText(kSetConsolePassword).c_str(),
            static_cast<long>(SettingValue(kSetConsolePort)));
  }
  if (SettingValue(kSetEnableRemoteAdmin) == 1) {
    Appendf(&contents, "admin.enableRemoteAdmin %s\n", SettingText(kSetConsolePassword).c_str());
  }
  for (int i = 0; i < kSettingCount; ++i) {
    const SettingEntry& row = Setting(i);
    if (row.console_key.empty() || StartsWithNoCase(row.console_key, "manager")) continue;
    if (i == kSetGravity && SettingValue(kSetGravityEnabled) != 1) continue;
    WriteSettingEntryLine(&contents, row.console_key, row);
  }
  return ReplaceWithMessage(path, contents, "Couldn't open server autoexec file!");
}

std::optional<std::string> ReadConValue(const std::string& path, std::string_view key,
                                        std::size_t size) {
  UniqueFile file = OpenRegularStream(path);
  if (!file) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open file %s! %s", path.c_str(), ErrorText(LastError()).c_str());
    return std::nullopt;
  }
  std::string line;
  while (ReadLineBounded(file.get(), kLineLimit, &line)) {
    StripLineEnd(line);
    SettingLineParts parts = SplitSettingLine(line);
    if (parts.rest.empty() || !EqualNoCase(parts.key, key)) continue;
    return CutText(parts.rest, size > 0 ? size - 1 : 0);
  }
  if (std::ferror(file.get())) {
    SetLastError(errno);
    LogMessage(6, "Couldn't read settings file %s! %s", path.c_str(),
               ErrorText(LastError()).c_str());
  } else if (std::ftell(file.get()) == 0) {
    SetLastError(ENOENT);
  }
  return std::nullopt;
}

bool SetConValue(const std::string& path, std::string_view key, std::string_view value) {
  if (value.empty()) return ReplaceLinesInFile(path, key, nullptr);
  std::string line = std::string(key) + " " + std::string(value);
  return ReplaceLinesInFile(path, key, line.c_str());
}
