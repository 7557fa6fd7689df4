// The compiled-in settings table and the validation of one value text per
// kind of setting.
#include "settings/settings_table.h"

#include <strings.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "core/choice_list.h"
#include "core/ids.h"
#include "core/text.h"
#include "core/log.h"
#include "core/core_state.h"
#include "settings/settings_state.h"
#include "wire/setting_line.h"

namespace {

using T = SettingType;
using X = ConsoleExchange;
using U = ConsoleUnit;

// The constant part of one row.
struct SettingRow {
  std::uint32_t group;
  const char* game_key;
  const char* console_key;
  SettingType type;
  const char* default_text;
  std::int32_t default_value;
  std::int32_t minimum;
  std::int32_t maximum;
  bool restart_only;
  bool secret = false;
  ConsoleExchange exchange = X::kNone;
  ConsoleUnit unit = U::kSame;
  const char* report_key = "";

  // The columns a few rows add, so each row still reads as one line.
  constexpr SettingRow Secret() const {
    SettingRow row = *this;
    row.secret = true;
    return row;
  }
  constexpr SettingRow Live(ConsoleExchange how, ConsoleUnit in = U::kSame,
                            const char* report = "") const {
    SettingRow row = *this;
    row.exchange = how;
    row.unit = in;
    row.report_key = report;
    return row;
  }
};

constexpr const char* kBandwidthChoices =
    "0/No Limit,8/64 Kbps,16/128 Kbps,32/256 Kbps,64/512 Kbps,128/1024 Kbps,"
    "256/2048 Kbps,1024/8192 Kbps";
constexpr const char* kConnectionChoices =
    "CTModem56Kbps/Modem 56 Kbps,CTCable128Kbps/Cable 128 Kbps,"
    "CTCable256Kbps/Cable 256 Kbps,CTLanT1/Lan T1";

// Short helpers so each row reads as one line of the table.
constexpr SettingRow Bool(std::uint32_t g, const char* game, const char* console, int def,
                          bool restart = false) {
  return {g, game, console, T::kBoolean, "", def, 0, 1, restart};
}
constexpr SettingRow Int(std::uint32_t g, const char* game, const char* console, int def, int lo,
                         int hi, bool restart = false) {
  return {g, game, console, T::kInteger, "", def, lo, hi, restart};
}
constexpr SettingRow Text(std::uint32_t g, const char* game, const char* console,
                          const char* def, bool required, int max_length) {
  return {g, game, console, T::kText, def, required ? 1 : 0, 0, max_length, false};
}
constexpr SettingRow Scaled(std::uint32_t g, const char* game, const char* console, SettingType t,
                            int def, int lo, int hi) {
  return {g, game, console, t, "", def, lo, hi, false};
}

constexpr std::array<SettingRow, kSettingCount> kRows = {{
    Text(0, "game.serverName", "", "BFSERVER", true, 32),
    Bool(0, "game.serverDedicated", "", 1),
    {0, "game.serverIP", "", T::kAddress, "", 0, 0, 0, true},
    Bool(0, "", "manager.bindAllIntefaces", 0, true),
    Int(0, "game.serverPort", "", 14567, 1024, 65535, true),
    Int(0, "", "manager.consolePort", 4711, 1024, 65535, true),
    Int(0, "game.gameSpyPort", "", 23000, 1024, 65535, true),
    Int(0, "game.gameSpyLANPort", "", 22000, 1024, 65535, true),
    Int(0, "game.ASEPort", "", 14690, 1024, 65535, true),
    Int(0, "game.serverMaxPlayers", "", 32, 2, 64, true),
    {0, "game.setServerWelcomeMessage", "", T::kWelcomeText, "", 0, 0, 324, false},
    Bool(0, "game.serverInternet", "", 0, true),
    SettingRow{0, "game.serverBandwidthChokeLimit", "admin.bandwidthChokeLimit", T::kChoice,
               kBandwidthChoices, 1, 0, 0, true}
        .Live(X::kReadBack),
    SettingRow{0, "game.serverMaxAllowedConnectionType", "admin.maxAllowedConnectionType",
               T::kChoice, kConnectionChoices, 4, 0, 0, true}
        .Live(X::kReadBack),
    Int(0, "game.serverCoopCPU", "", 100, 1, 100, true),
    Int(0, "game.serverContentCheck", "", 0, 0, 2),
    Text(1, "game.serverPassword", "", "", false, 32).Secret(),
    Int(1, "game.serverNumberOfRounds", "admin.setNrOfRounds", 3, 0, 10)
        .Live(X::kFromReport, U::kRounds, "Number Of Rounds"),
    Int(1, "game.serverGameTime", "admin.timeLimit", 0, 0, 120).Live(X::kReadBack, U::kSeconds),
    Int(1, "game.serverScoreLimit", "admin.scoreLimit", 0, 0, 120).Live(X::kReadBack),
    Int(1, "game.serverTicketRatio", "admin.setTicketRatio", 100, 10, 1000)
        .Live(X::kFromReport, U::kFraction, "Ticket Ratio"),
    Int(1, "game.objectiveAttackerTicketsMod", "", 100, 50, 200),
    Int(1, "game.serverCoopAISkill", "", 50, 1, 100),
    Int(1, "game.serverAlliedTeamRatio", "", 1, 0, 10),
    Int(1, "game.serverAxisTeamRatio", "", 1, 0, 10),
    Int(1, "game.serverSpawnTime", "admin.timeToNextWave", 15, 1, 120).Live(X::kReadBack),
    Int(1, "", "admin.spawnWaveTime", 5, 1, 30).Live(X::kReadBack),
    Int(1, "game.serverGameStartDelay", "admin.delayBeforeStartingGame", 20, 0, 120)
        .Live(X::kPushed),
    Bool(1, "", "manager.gravity", 0),
    Scaled(1, "", "physics.gravity", T::kNegativeInteger, 4, 1, 15),
    Int(1, "", "admin.timeBeforeRestartMap", 10, 5, 30).Live(X::kReadBack),
    Bool(2, "game.serverPunkBuster", "", 0),
    Bool(2, "", "manager.banInBFandPB", 0),
    Int(2, "game.serverSoldierFriendlyFire", "admin.soldierFFRatio", 100, 0, 200).Live(X::kReadBack, U::kFraction),
    Int(2, "game.serverSoldierFriendlyFireOnSplash", "admin.soldierFFRatioOnSplash", 100, 0, 200).Live(X::kReadBack, U::kFraction),
    Int(2, "game.serverVehicleFriendlyFire", "admin.vehicleFFRatio", 100, 0, 200).Live(X::kReadBack, U::kFraction),
    Int(2, "game.serverVehicleFriendlyFireOnSplash", "admin.vehicleFFRatioOnSplash", 100, 0, 200).Live(X::kReadBack, U::kFraction),
    Scaled(2, "game.serverKickback", "admin.kickback", T::kHundredths, 0, 0, 200)
        .Live(X::kReadBack),
    Scaled(2, "game.serverKickbackOnSplash", "admin.kickbackOnSplash", T::kHundredths, 0, 0, 200)
        .Live(X::kReadBack),
    Bool(2, "game.serverTKPunishMode", "admin.tkPunishMode", 0).Live(X::kReadBack),
    Bool(2, "", "admin.banPlayerOnTKKick", 0).Live(X::kReadBack),
    Int(2, "", "admin.nrOfTKToKick", 3, 0, 20).Live(X::kReadBack),
    Scaled(2, "", "admin.spawnDelayPenaltyForTK", T::kTenths, 0, 0, 100).Live(X::kReadBack),
    Bool(2, "", "manager.autoKickScore", 0),
    Scaled(2, "", "manager.autoKickScoreValue", T::kNegativeInteger, 6, 1, 25),
    Bool(2, "", "manager.autoBan", 0),
    Int(3, "", "manager.autoBanValue", 3, 1, 10),
    Bool(3, "", "admin.enableKickPlayerVote", 1).Live(X::kReadBack),
    Bool(3, "", "admin.enableMapVote", 1).Live(X::kReadBack),
    Bool(3, "", "admin.enableKickTeamPlayerVote", 1).Live(X::kReadBack),
    Bool(3, "game.serverAutoBalanceTeams", "admin.autoBalanceTeam", 0).Live(X::kReadBack),
    Bool(3, "", "manager.smartBalance", 0),
    Int(3, "", "manager.smartBalanceValue", 3, 2, 10),
    Int(3, "", "admin.votingTime", 60, 0, 120).Live(X::kReadBack),
    Scaled(3, "", "admin.voteMapMajority", T::kHundredths, 60, 1, 100).Live(X::kReadBack),
    Scaled(3, "", "admin.voteKickPlayerMajority", T::kHundredths, 60, 1, 100).Live(X::kReadBack),
    Scaled(3, "", "admin.voteKickTeamPlayerMajority", T::kHundredths, 60, 1, 100).Live(X::kReadBack),
    Bool(3, "game.serverExternalViews", "admin.externalViews", 1).Live(X::kReadBack),
    Bool(3, "game.serverAllowNoseCam", "admin.allowNoseCam", 1).Live(X::kReadBack),
    Bool(3, "game.serverFreeCamera", "game.enableFreeCamera", 0).Live(X::kReadBack),
    Bool(3, "game.serverHitIndication", "", 1),
    Bool(3, "game.serverDeathCameraType", "", 0),
    Bool(3, "game.serverCrosshairCenterpoint", "admin.crossHairCenterPoint", 1).Live(X::kReadBack),
    Int(3, "game.serverNameTagDistance", "", 100, 0, 600),
    Int(4, "game.serverNameTagDistanceScope", "", 300, 0, 600),
    Text(4, "", "manager.consoleUsername", "UserName", true, 32),
    Text(4, "", "manager.consolePassword", "Sesamine", true, 32).Secret(),
    Bool(4, "", "manager.enableRemoteConsole", 1),
    Bool(4, "", "manager.enableRemoteAdmin", 0),
    Int(4, "game.serverNumReservedSlots", "", 0, 0, 64),
    Text(4, "game.serverReservedPassword", "", "", false, 32).Secret(),
    Int(4, "", "manager.monitorTimerPeriod", 30, 10, 60),
    Bool(4, "", "manager.autoKickPing", 0),
    Int(4, "", "manager.autoKickPingValue", 500, 100, 500),
    Bool(4, "", "manager.highPingWarnings", 0),
    SettingRow{4, "", "admin.toggleGamePause", T::kAction, "", 0, 0, 1, false}.Live(X::kPushed),
    Bool(4, "", "manager.autoKickWord", 0),
    Bool(4, "", "manager.autoAnnounce", 0),
    Int(4, "", "manager.autoAnnouncePeriod", 60, 10, 1800),
    Bool(4, "game.serverEventLogging", "", 0),
    Bool(4, "game.serverEventLogCompression", "", 0),
    Bool(4, "", "manager.statCollection", 0),
    Text(4, "", "manager.statFilePath", "statistics.csv", true, 324),
}};

static_assert(kRows.size() == 83);
static_assert(std::string_view(kRows[kSetBindAllInterfaces].console_key) ==
              "manager.bindAllIntefaces");
static_assert(std::string_view(kRows[kSetToggleGamePause].console_key) ==
              "admin.toggleGamePause");
static_assert(std::string_view(kRows[kSetStatFilePath].console_key) == "manager.statFilePath");

// The console columns fit together: a unit only on an Integer row that the
// console knows, a report key exactly on the rows read from the report.
constexpr bool ConsoleColumnsFit() {
  for (const SettingRow& row : kRows) {
    if (row.unit != U::kSame && (row.type != T::kInteger || row.console_key[0] == '\0'))
      return false;
    if (row.exchange != X::kNone && row.console_key[0] == '\0') return false;
    if ((row.exchange == X::kFromReport) != (row.report_key[0] != '\0')) return false;
  }
  return true;
}
static_assert(ConsoleColumnsFit());

bool InRange(const SettingEntry& row, std::int64_t value) {
  return value >= row.minimum && value <= row.maximum;
}

std::string DefaultChoice(const SettingEntry& row) {
  return CutText(ChoiceValue(row.default_text, row.default_value).value_or(""), kMaxSettingText);
}

// True when the word begins with a decimal number as atoi reads it.
bool HasLeadingNumber(std::string_view word) {
  std::size_t pos = word.find_first_not_of(" \t");
  if (pos != std::string_view::npos && (word[pos] == '-' || word[pos] == '+')) ++pos;
  return pos < word.size() && word[pos] >= '0' && word[pos] <= '9';
}

void ParseNumber(int index, SettingEntry& row, std::optional<std::string_view> word) {
  const char* name = SettingName(index);
  if (word) row.value = ParseInt(*word);
  // A switch written as a word ("yes") is refused rather than read as 0.
  bool refused = row.type == T::kBoolean && word && !HasLeadingNumber(*word);
  if (!word || refused || !InRange(row, row.value)) {
    LogMessage(6, "Invalid value of %i detected for setting %s, using default %i.", row.value,
               name, row.default_value);
    row.value = row.default_value;
  }
}

void ParseNegative(int index, SettingEntry& row, std::optional<std::string_view> word) {
  if (word) {
    std::int64_t number = ParseLong(*word);
    std::int64_t magnitude = number < 0 ? -number : number;
    row.value = static_cast<std::int32_t>(magnitude > INT32_MAX ? INT32_MAX : magnitude);
  }
  if (!word || !InRange(row, row.value)) {
    LogMessage(6, "Invalid value of %i detected for setting %s, using default %i.", -row.value,
               SettingName(index), -row.default_value);
    row.value = row.default_value;
  }
}

void ParseScaled(int index, SettingEntry& row, std::optional<std::string_view> word) {
  bool hundredths = row.type == T::kHundredths;
  double scale = hundredths ? 100.0 : 10.0;
  if (word) row.value = ScaledValue(*word, scale);
  if (word && InRange(row, row.value)) return;
  const char* format = hundredths
                           ? "Invalid value of %.2f detected for setting %s, using default %.2f."
                           : "Invalid value of %.1f detected for setting %s, using default %.1f.";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  LogMessage(6, format, row.value / scale, SettingName(index), row.default_value / scale);
#pragma GCC diagnostic pop
  row.value = row.default_value;
}

void ParseText(int index, SettingEntry& row, std::optional<std::string_view> text) {
  if (text) {
    std::size_t limit = row.maximum < 0 ? 0 : static_cast<std::size_t>(row.maximum);
    row.text = CleanSettingText(*text, std::min(limit, kMaxSettingText));
  } else if (row.default_value == 0) {
    row.text.clear();
  } else {
    LogMessage(6, "Invalid value detected for setting %s, using default %s.", SettingName(index),
               std::string(row.default_text).c_str());
    row.text = CutText(row.default_text, kMaxSettingText);
  }
}

void ParseChoice(int index, SettingEntry& row, std::optional<std::string_view> word) {
  if (word) row.text = CleanSettingText(*word, kMaxSettingText);
  if (word && ChoiceLabel(row.default_text, row.text)) return;
  std::string fallback = DefaultChoice(row);
  LogMessage(6, "Invalid value of %s detected for setting %s, using default %s.",
             row.text.c_str(), SettingName(index), fallback.c_str());
  row.text = fallback;
}

}  // namespace

std::int32_t ScaledValue(std::string_view text, double scale) {
  std::string copy(text);
  float single = static_cast<float>(std::atof(copy.c_str()));
  double scaled = static_cast<double>(single) * scale;
  if (std::isnan(scaled)) return INT32_MIN;
  // Single precision holds 0.59 as 0.58999997: truncated bare, every load
  // of a saved value would take another hundredth off. The rounding error
  // (below one part in 2^24) is taken back before truncating, so a value
  // written with two decimals reads back as itself.
  scaled += std::copysign(std::fabs(scaled) * 1e-6 + 1e-9, scaled);
  if (scaled >= 2147483647.0) return INT32_MAX;
  if (scaled <= -2147483648.0) return INT32_MIN;
  return static_cast<std::int32_t>(scaled);
}

bool UsesText(SettingType type) {
  return type == T::kText || type == T::kWelcomeText || type == T::kChoice;
}

SettingEntry& Setting(int index) { return MutableSettings().table.at(index); }

void InitSettings() {
  for (int i = 0; i < kSettingCount; ++i) {
    const SettingRow& row = kRows[i];
    SettingEntry& entry = Setting(i);
    entry.group = row.group;
    entry.game_key = row.game_key;
    entry.console_key = row.console_key;
    entry.type = row.type;
    entry.default_text = row.default_text;
    entry.default_value = row.default_value;
    entry.minimum = row.minimum;
    entry.maximum = row.maximum;
    entry.restart_only = row.restart_only;
    entry.secret = row.secret;
    entry.exchange = row.exchange;
    entry.unit = row.unit;
    entry.report_key = row.report_key;
    switch (row.type) {
      case T::kAction:
        break;  // stays as it is: off from the start
      case T::kText:
      case T::kWelcomeText:
      case T::kAddress:
        entry.value = 0;
        entry.text.clear();
        break;
      case T::kChoice:
        entry.value = 0;
        entry.text = DefaultChoice(entry);
        break;
      default:
        entry.value = row.default_value;
        entry.text.clear();
        break;
    }
  }
}

const char* SettingName(int index) {
  if (index < 0 || index >= kSettingCount) return "[bad index]";
  const SettingRow& row = kRows[index];
  if (row.game_key[0] != '\0') return row.game_key;
  if (row.console_key[0] != '\0') return row.console_key;
  return "[unknown]";
}

void ParseSettingValue(int index, std::string_view rest) {
  if (index < 0 || index >= kSettingCount) return;
  SettingEntry& row = Setting(index);
  SettingValueReader cursor(rest);
  switch (row.type) {
    case T::kAction:
      row.value = 1;
      break;
    case T::kBoolean:
    case T::kInteger:
      ParseNumber(index, row, cursor.NextWord());
      break;
    case T::kText:
      ParseText(index, row, cursor.NextQuoted());
      break;
    case T::kWelcomeText:
      ReadWelcomeLine(rest, &row.text);
      break;
    case T::kNegativeInteger:
      ParseNegative(index, row, cursor.NextWord());
      break;
    case T::kHundredths:
    case T::kTenths:
      ParseScaled(index, row, cursor.NextWord());
      break;
    case T::kChoice:
      ParseChoice(index, row, cursor.NextWord());
      break;
    case T::kAddress: {
      std::optional<std::string_view> word = cursor.NextWord();
      row.value = word ? static_cast<std::int32_t>(ParseDottedIp(std::string(*word).c_str())) : 0;
      break;
    }
  }
}

void ApplyCommandLinePorts() {
  for (const auto& [name, number] : Core().pending_port_commands) {
    int index = strcasecmp(name.c_str(), "game.gameSpyPort") == 0 ? kSetGameSpyPort
                                                                  : kSetGameSpyLanPort;
    Setting(index).value = static_cast<std::int32_t>(number);
  }
}

void TakeSettingsSnapshot() {
  SettingsState& settings = MutableSettings();
  settings.snapshot.assign(settings.table.begin(), settings.table.end());
}

void ClearSettingsSnapshot() { MutableSettings().snapshot.assign(kSettingCount, SettingEntry{}); }
