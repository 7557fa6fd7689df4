// One ban edited in the daemon's list with the list's own row code
// (wire/ban_row.h).
#include "korvweb/ban_form.h"

#include "wire/ban_row.h"

namespace korvweb {
namespace {

using nlohmann::json;

// A text of `edit`: at most `max` bytes, none of `forbidden` nor a control
// character. False with the reason in `error`.
bool Text(const json& edit, const char* name, std::size_t max, std::string_view forbidden,
          std::string* out, std::string* error) {
  *out = edit.contains(name) && edit[name].is_string() ? edit[name].get<std::string>() : "";
  if (out->size() > max)
    return *error = std::string(name) + " is longer than " + std::to_string(max) + " bytes", false;
  for (unsigned char c : *out)
    if (c < 0x20 || c == 0x7F || forbidden.find(static_cast<char>(c)) != std::string_view::npos)
      return *error = std::string(name) + " may not hold " +
                      (c < 0x20 || c == 0x7F ? std::string("control characters")
                                             : "the character " + std::string(1, static_cast<char>(c))),
             false;
  return true;
}

}  // namespace

bool ApplyBanEdit(std::string_view list, const json& edit, std::int64_t now, std::string* updated,
                  std::string* error) {
  const json& ban = edit.contains("ban") && edit["ban"].is_object() ? edit["ban"] : json::object();
  std::string address, keyhash, guid, name, reason;
  if (!Text(ban, "address", kMaxBanAddressText, ",", &address, error) ||
      !Text(ban, "keyhash", kMaxBanKeyText, ",", &keyhash, error) ||
      !Text(ban, "guid", kMaxBanGuidText, ",", &guid, error) ||
      // The list reads a name up to a double quote and a reason up to a comma.
      !Text(edit, "name", kMaxBanNameText, "\"", &name, error) ||
      !Text(edit, "reason", kMaxBanReasonText, ",", &reason, error))
    return false;
  if (address.empty() && keyhash.empty() && guid.empty())
    return *error = "name the ban by its address, key hash or GUID", false;
  if (!ban.contains("ban_time") || !ban["ban_time"].is_number_unsigned())
    return *error = "ban_time is missing", false;
  if (reason.empty()) return *error = "give a reason", false;
  if (name.empty()) name = "[unknown]";
  std::string expiry;
  if (edit.contains("duration") && !edit["duration"].is_null()) {
    const json& duration = edit["duration"];
    if (!duration.is_number_integer() || duration.get<std::int64_t>() < 0 ||
        duration.get<std::int64_t>() > kMaxBanDuration)
      return *error = "duration must be a number of seconds from 0 (never ends) to " +
                      std::to_string(kMaxBanDuration), false;
    std::int64_t seconds = duration.get<std::int64_t>();
    expiry = std::to_string(seconds == 0 ? 0 : now + seconds);
  }
  const std::uint64_t ban_time = ban["ban_time"].get<std::uint64_t>();
  updated->clear();
  int edited = 0;
  for (std::string_view rest = list; !rest.empty();) {
    std::string_view line = NextBanLine(rest), f[kBanRowFields];
    bool same = ParseBanFields(line, f) && BanIdentity(f[1]) == address &&
                BanIdentity(f[2]) == keyhash && BanIdentity(f[3]) == guid &&
                BanExpiry(f[5]) == ban_time;
    if (!same) {
      updated->append(line);
      continue;
    }
    std::string_view row[kBanRowFields] = {name, f[1], f[2], f[3], f[4], f[5],
                                           expiry.empty() ? f[6] : expiry, reason};
    AppendBanRow(*updated, row);
    ++edited;
  }
  if (edited == 0)
    return *error = "this ban is no longer in the daemon's list: it was lifted or changed meanwhile",
           false;
  return true;
}

}  // namespace korvweb
