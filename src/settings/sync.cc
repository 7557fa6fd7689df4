// SyncSettingsFromServer and PushSettingChanges over the settings table and
// its snapshot.
#include "settings/sync.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/helpers.h"
#include "core/manager_state.h"
#include "links/console.h"
#include "links/status_query.h"
#include "settings/settings_startup.h"
#include "settings/settings_table.h"

namespace {

// Rows whose live value is read back after a login, in this order.
constexpr int kSyncedRows[] = {
    kSetBandwidthChokeLimit, kSetMaxConnectionType, kSetGameTime,
    kSetScoreLimit, kSetSpawnTime, kSetSpawnWaveTime,
    kSetTimeBeforeRestartMap, kSetSoldierFriendlyFire, kSetSoldierFriendlyFireOnSplash,
    kSetVehicleFriendlyFire, kSetVehicleFriendlyFireOnSplash, kSetKickback,
    kSetKickbackOnSplash, kSetTkPunishMode, kSetBanPlayerOnTkKick,
    kSetTkToKick, kSetSpawnDelayPenaltyForTk, kSetKickPlayerVote,
    kSetMapVote, kSetKickTeamPlayerVote, kSetAutoBalanceTeams,
    kSetVotingTime, kSetVoteMapMajority, kSetVoteKickPlayerMajority,
    kSetVoteKickTeamPlayerMajority, kSetExternalViews, kSetAllowNoseCam,
    kSetFreeCamera, kSetCrosshairCenterpoint,
};
static_assert(std::size(kSyncedRows) == 29);

// Rows that are pushed when changed besides the synced ones (rounds and
// ticket ratio come from the status report, the start delay and the pause
// toggle are never read back).
constexpr int kPushOnlyRows[] = {kSetNumberOfRounds, kSetTicketRatio, kSetGameStartDelay,
                                 kSetToggleGamePause};
constexpr std::size_t kCommandMax = 2047;

bool IsPushed(int row) {
  for (int r : kSyncedRows) {
    if (r == row) return true;
  }
  for (int r : kPushOnlyRows) {
    if (r == row) return true;
  }
  return false;
}

bool IsFriendlyFireRow(int row) {
  return row >= kSetSoldierFriendlyFire && row <= kSetVehicleFriendlyFireOnSplash;
}

// A decimal as atof reads it, through single precision, scaled and
// truncated toward zero.
std::int32_t Scaled(const std::string& text, double scale) {
  float single = static_cast<float>(std::atof(text.c_str()));
  double scaled = static_cast<double>(single) * scale;
  if (!(scaled > -2147483648.0)) return INT32_MIN;
  if (scaled >= 2147483647.0) return INT32_MAX;
  return static_cast<std::int32_t>(scaled);
}

void StoreLiveValue(int row, const std::string& line) {
  SettingEntry& entry = Setting(row);
  switch (entry.type) {
    case SettingType::kBoolean:
      entry.value = ParseInt(line);
      break;
    case SettingType::kInteger:
      if (row == kSetGameTime) {
        entry.value = ParseInt(line) / 60;  // seconds to minutes
      } else if (IsFriendlyFireRow(row)) {
        entry.value = Scaled(line, 100.0);  // a fraction to percent
      } else {
        entry.value = ParseInt(line);
      }
      break;
    case SettingType::kHundredths:
      entry.value = Scaled(line, 100.0);
      break;
    case SettingType::kTenths:
      entry.value = Scaled(line, 10.0);
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

bool UsesText(SettingType type) {
  return type == SettingType::kText || type == SettingType::kWelcomeText ||
         type == SettingType::kChoice;
}

bool Differs(const SettingEntry& now, const SettingEntry& known) {
  return UsesText(now.type) ? now.text != known.text : now.value != known.value;
}

// The console line that sets the row on the server; none for rows that
// are never pushed.
std::optional<std::string> PushLine(int row) {
  const SettingEntry& entry = Setting(row);
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
      if (row == kSetGameTime) {
        std::snprintf(line, sizeof line, "%s %li", key.c_str(), value * 60);
      } else if (row == kSetTicketRatio || IsFriendlyFireRow(row)) {
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

std::vector<SettingEntry>& Snapshot() {
  std::vector<SettingEntry>& snapshot = g_manager.settings.snapshot;
  if (snapshot.size() != kSettingCount) snapshot.assign(kSettingCount, SettingEntry{});
  return snapshot;
}

}  // namespace

bool SyncSettingsFromServer() {
  if (!g_manager.links.console_connected) return false;
  std::string command;
  for (int row : kSyncedRows) command += std::string(Setting(row).console_key) + "\n";
  std::optional<std::string> response = ConsoleSend("%s", command.c_str());
  if (!response) return false;
  std::vector<std::string> lines = NonEmptyLines(*response);
  std::size_t next = 0;
  for (int row : kSyncedRows) {
    if (next == lines.size()) return false;
    StoreLiveValue(row, lines[next++]);
  }
  const std::string& report = g_manager.links.status_report;
  if (std::optional<std::string> rounds = StatusValue(report, "Number Of Rounds"))
    Setting(kSetNumberOfRounds).value = ParseInt(*rounds);
  if (std::optional<std::string> ratio = StatusValue(report, "Ticket Ratio"))
    Setting(kSetTicketRatio).value = ParseInt(*ratio);
  TakeSettingsSnapshot();
  return true;
}

bool PushSettingChanges() {
  if (!g_manager.links.console_connected) return false;
  const std::vector<SettingEntry>& snapshot = Snapshot();
  std::string command;
  for (int row = 0; row < kSettingCount; ++row) {
    if (!IsPushed(row) || !Differs(Setting(row), snapshot[row])) continue;
    std::optional<std::string> line = PushLine(row);
    if (!line) continue;
    if (!command.empty()) command += '\n';
    command += *line;
  }
  if (command.empty()) return true;
  if (!ConsoleSend("%s", command.substr(0, kCommandMax).c_str())) return false;
  TakeSettingsSnapshot();
  return true;
}
