// The whole player names bannedwords.con bans, as the daemon and its
// clients check them before one is added.
#pragma once

#include <string_view>

// Each entry of the file is a line ("$" and the name for a whole name), and
// its reader splits the entries at commas: a name with a comma or a line
// break would ban its pieces as words, and an empty one every "$".
constexpr bool BannableName(std::string_view name) {
  return !name.empty() && name.find_first_of(",\r\n") == std::string_view::npos;
}

// Why a name BannableName refuses is refused, in the daemon's log line and
// in the clients' own refusal alike.
inline constexpr char kUnbannableNameText[] =
    "A banned player name may not be empty or hold a comma or a line break.";
