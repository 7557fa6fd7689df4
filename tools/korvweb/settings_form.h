// The settings form: the rows of the settings table that an account's
// korvane.con download holds, with kinds, ranges and choices for the page,
// and the checked rewrite of that file with the values the page sends.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace korvweb {

// Fills the settings table with its compiled-in rows; once at start-up.
void InitSettingsForm();

// {"groups":[{"group":0,"name":"Server and network","settings":[{"key":...,
// "label":..., "unit":..., "help":..., "kind":..., "value":..., ...}]}]} for
// the settings present in `korvane` (values and ranges in file units).
nlohmann::json SettingsFormJson(std::string_view korvane);

// Replaces in `korvane` the lines of the settings named in `changes`
// ({"key": "value text"}); every other byte stays. False with `error`
// naming the setting and the rule when a key is unknown, not in the file,
// or its value does not fit the table's range, length or choices.
bool ApplySettingChanges(std::string_view korvane, const nlohmann::json& changes,
                         std::string* updated, std::string* error);

}  // namespace korvweb
