// A ban edited from the page: the name, reason and expiry of one row of the
// daemon's ban list (serverbanlist.con). The banned address, key hash and
// GUID stay as they are, so the game's ban stores, which hold only those,
// agree with the list before and after; the expiry is the daemon's alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace korvweb {

// The longest ban the page offers, new or edited: ten years, in seconds.
inline constexpr std::int64_t kMaxBanDuration = 10LL * 366 * 86400;

// Applies `edit` ({"ban": {"address", "keyhash", "guid", "ban_time"}, "name",
// "reason", "duration"}) to the downloaded list `list`: each row banning
// exactly those identities, made at that time, takes the new name and reason
// and, when "duration" is given, the expiry `now` + duration (0: never).
// Every other line stays byte for byte. False with the reason in words, also
// when no row matches (the ban was lifted or changed meanwhile).
bool ApplyBanEdit(std::string_view list, const nlohmann::json& edit, std::int64_t now,
                  std::string* updated, std::string* error);

}  // namespace korvweb
