// Fields of the settings subsystem: the 83-row settings table with its
// current values, the snapshot of what the running server uses, and what
// content discovery found (the unpure mods list).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire/setting_line.h"

inline constexpr int kSettingCount = 83;

// Kinds of setting value; the numbers are those the table and clients use.
enum class SettingType : std::uint32_t {
  kAction = 0,
  kBoolean = 1,
  kText = 2,
  kWelcomeText = 3,
  kInteger = 4,
  kNegativeInteger = 5,
  kHundredths = 6,
  kTenths = 7,
  kChoice = 8,
  kAddress = 9,
};

// How a row reaches the running game server over its console.
enum class ConsoleExchange : std::uint8_t {
  kNone,        // only through the start-up files, or the daemon's own
  kPushed,      // sent when changed, never read back
  kReadBack,    // read back after every console login, sent when changed
  kFromReport,  // read from the status report (under `report_key`) after a
                // login, sent when changed
};

// The unit the console uses for an Integer row where the table keeps
// another; it applies to the row's console key: the value read back, the
// value pushed, and the line in the autoexec file.
enum class ConsoleUnit : std::uint8_t {
  kSame,
  kSeconds,   // the table holds minutes
  kFraction,  // the table holds percent; the console takes 1.0 for 100
  kRounds,    // the autoexec file writes 0 (no limit) as -1; a push sends 0
};

// One row of the settings table. The constant part comes from the compiled
// table; `text` and `value` are the current value.
struct SettingEntry {
  std::uint32_t group = 0;         // page 0 to 4
  std::string_view game_key;       // serversettings.con / korvane.con key
  std::string_view console_key;    // console key or manager.* key
  SettingType type = SettingType::kAction;
  std::string text;                // Text, WelcomeText, Choice: at most 324
  std::string_view default_text;   // Text: default; Choice: the choice list
  std::int32_t value = 0;          // every other kind
  std::int32_t default_value = 0;  // Text: required flag; Choice: 1-based
  std::int32_t minimum = 0;
  std::int32_t maximum = 0;        // Text, WelcomeText: maximum length
  bool restart_only = false;
  bool secret = false;             // a password: never written to the log
  ConsoleExchange exchange = ConsoleExchange::kNone;
  ConsoleUnit unit = ConsoleUnit::kSame;
  std::string_view report_key;     // kFromReport: the status report's key
};

struct CallerName;

struct SettingsState {
  /* The table: what the administrators want */
  std::array<SettingEntry, kSettingCount> table{};

  /* What the running game server is known to use; empty until start-up
     allocates it, then kSettingCount zeroed entries */
  std::vector<SettingEntry> snapshot;

  /* Content discovery: mod directories without contentcrc32.con, joined
     by "," in directory order; rebuilt by every WriteModsFile */
  std::string unpure_mods;

  // Names the client of a session slot for the audit of settings changes
  // (installed by the daemon); none until then.
  bool (*caller_namer)(int slot, CallerName* name) = nullptr;
};

// The settings' section of the daemon's state (the one instance).
const SettingsState& Settings();
// Written only inside src/settings/; other folders use the functions offered here.
SettingsState& MutableSettings();

// Content discovery's list of unpure mods: emptied, then one name added
// per mod directory without contentcrc32.con.
void ClearUnpureMods();
void AddUnpureMod(const std::string& name);
