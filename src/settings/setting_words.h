// The settings in words for the administrator: a label, the unit of the
// value as the settings file holds it, and one line of help for each of the
// 83 rows, and a name for each of the five groups. The consoles show these;
// the daemon itself never reads them.
#pragma once

#include <cstdint>
#include <string_view>

struct SettingWords {
  std::string_view key;    // the row's name (SettingName), to check the rows line up
  std::string_view label;  // "Maximum players"
  std::string_view unit;   // "players", "seconds", "%", ...; empty when the value has none
  std::string_view help;   // one line: what the setting does for the administrator
};

// The words of row `index` (0 to 82); an empty row outside that.
const SettingWords& WordsOfSetting(int index);

// The name of settings group `group` (0 to 4), "" for any other.
std::string_view SettingGroupName(std::uint32_t group);
