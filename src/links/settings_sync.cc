// SyncSettingsFromServer and PushSettingChanges over the settings table and
// its snapshot.
#include "links/settings_sync.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ids.h"
#include "wire/status_report.h"
#include "core/text.h"
#include "links/links_state.h"
#include "settings/settings_state.h"
#include "links/console.h"
#include "settings/settings_table.h"

namespace {

constexpr std::size_t kCommandMax = 2047;

void StoreLiveValue(SettingEntry& entry, const std::string& line) {
  switch (entry.type) {
    case SettingType::kBoolean:
      entry.value = ParseInt(line);
      break;
    case SettingType::kInteger:
      if (entry.unit == ConsoleUnit::kSeconds) {
        entry.value = ParseInt(line) / 60;
      } else if (entry.unit == ConsoleUnit::kFraction) {
        entry.value = ScaledValue(line, 100.0);
      } else {
        entry.value = ParseInt(line);
      }
      break;
    case SettingType::kHundredths:
      entry.value = ScaledValue(line, 100.0);
      break;
    case SettingType::kTenths:
      entry.value = ScaledValue(line, 10.0);
      break;
    case SettingType::kChoice:
      entry.text = CutText(line, kMaxSettingText);
      break;
    case SettingType::kAddress:
      entry.value = static_cast<std::int32_t>(ParseDottedIp(line.c_str()));
      break;
    default:
      break;
  }
}

std::vector<std::string> NonEmptyLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty()) lines.emplace_back(line);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  return lines;
}

bool Differs(const SettingEntry& now, const SettingEntry& known) {
  return UsesText(now.type) ? now.text != known.text : now.value != known.value;
}

// The console line that sets the row on the server; none for a welcome
// message, which the console cannot take.
std::optional<std::string> PushLine(const SettingEntry& entry) {
  std::string key(entry.console_key);
  char line[kCommandMax + 1];
  long value = entry.value;
  switch (entry.type) {
    case SettingType::kAction:
      return key;
    case SettingType::kBoolean:
      std::snprintf(line, sizeof line, "%s %li", key.c_str(), value);
      break;
    case SettingType::kInteger:
      if (entry.unit == ConsoleUnit::kSeconds) {
        std::snprintf(line, sizeof line, "%s %li", key.c_str(), value * 60);
      } else if (entry.unit == ConsoleUnit::kFraction) {
        std::snprintf(line, sizeof line, "%s %2.1f", key.c_str(), value / 100.0);
      } else {
        std::snprintf(line, sizeof line, "%s %li", key.c_str(), value);
      }
      break;
    case SettingType::kNegativeInteger:
      std::snprintf(line, sizeof line, "%s %li", key.c_str(), -value);
      break;
    case SettingType::kHundredths:
      std::snprintf(line, sizeof line, "%s %.2f", key.c_str(), value / 100.0);
      break;
    case SettingType::kTenths:
      std::snprintf(line, sizeof line, "%s %.1f", key.c_str(), value / 10.0);
      break;
    case SettingType::kText:
    case SettingType::kChoice:
      std::snprintf(line, sizeof line, "%s %s", key.c_str(), entry.text.c_str());
      break;
    case SettingType::kAddress:
      std::snprintf(line, sizeof line, "%s %s", key.c_str(),
                    FormatDottedIp(static_cast<std::uint32_t>(value)).c_str());
      break;
    case SettingType::kWelcomeText:
      return std::nullopt;
  }
  return std::string(line);
}

// Zeroed rows until start-up takes the first snapshot.
const std::vector<SettingEntry>& Snapshot() {
  static const std::vector<SettingEntry> kNone(kSettingCount);
  const std::vector<SettingEntry>& snapshot = Settings().snapshot;
  return snapshot.size() == kSettingCount ? snapshot : kNone;
}

}  // namespace

bool SyncSettingsFromServer(const std::string& report) {
  if (!Links().console_connected) return false;
  std::string command;
  for (const SettingEntry& entry : Settings().table) {
    if (entry.exchange == ConsoleExchange::kReadBack)
      command += std::string(entry.console_key) + "\n";
  }
  std::optional<std::string> response = ConsoleSend("%s", command.c_str());
  if (!response) return false;
  // The answer has one line per row asked, in table order.
  std::vector<std::string> lines = NonEmptyLines(*response);
  std::size_t next = 0;
  for (int row = 0; row < kSettingCount; ++row) {
    SettingEntry& entry = Setting(row);
    if (entry.exchange != ConsoleExchange::kReadBack) continue;
    if (next == lines.size()) return false;
    StoreLiveValue(entry, lines[next++]);
  }
  for (int row = 0; row < kSettingCount; ++row) {
    SettingEntry& entry = Setting(row);
    if (entry.exchange != ConsoleExchange::kFromReport) continue;
    if (std::optional<std::string> value = StatusValue(report, entry.report_key))
      entry.value = ParseInt(*value);
  }
  TakeSettingsSnapshot();
  return true;
}

bool PushSettingChanges() {
  if (!Links().console_connected) return false;
  const std::vector<SettingEntry>& snapshot = Snapshot();
  std::string command;
  for (int row = 0; row < kSettingCount; ++row) {
    const SettingEntry& entry = Setting(row);
    if (entry.exchange == ConsoleExchange::kNone || !Differs(entry, snapshot[row])) continue;
    std::optional<std::string> line = PushLine(entry);
    if (!line) continue;
    if (!command.empty()) command += '\n';
    command += *line;
  }
  if (command.empty()) return true;
  if (!ConsoleSend("%s", command.substr(0, kCommandMax).c_str())) return false;
  TakeSettingsSnapshot();
  return true;
}
