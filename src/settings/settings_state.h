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

inline constexpr int kSettingCount = 83;
inline constexpr std::size_t kMaxSettingText = 324;

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
};

struct SettingsState {
  /* The table: what the administrators want */
  std::array<SettingEntry, kSettingCount> table{};

  /* What the running game server is known to use; empty until start-up
     allocates it, then kSettingCount zeroed entries */
  std::vector<SettingEntry> snapshot;

  /* Content discovery: mod directories without contentcrc32.con, joined
     by "," in directory order; rebuilt by every WriteModsFile */
  std::string unpure_mods;
};
