// Accounts as the page edits them: one account created, changed or deleted
// in the daemon's useraccess.con, under the rules the daemon applies to an
// upload (nobody grants or touches rights they do not hold), so that what
// the page says is what the daemon does.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace korvweb {

// Applies `edit` ({"op": "create"|"update"|"delete", "user", "password",
// "keyhash", "mask", "enabled"}) from an account with `access` to the
// downloaded `file`; every other line stays byte for byte. False with the
// reason in words.
bool ApplyAccountEdit(std::string_view file, const nlohmann::json& edit, std::uint32_t access,
                      std::string* updated, std::string* error);

}  // namespace korvweb
