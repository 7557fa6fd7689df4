// korvctl bans: the daemon's ban list as a table or as JSON.
#include "ban_list.h"

#include <iostream>
#include <string>

#include "context.h"
#include "wire/ban_row.h"

namespace korvctl {
namespace {

std::string Identity(std::string_view field) {
  return BanIdentity(field).empty() ? "-" : std::string(field);
}

}  // namespace

std::vector<Fields> ParseBanList(std::string_view text, std::time_t now) {
  std::vector<Fields> rows;
  while (!text.empty()) {
    // The daemon reads 1023 characters at a time: the rest of a longer
    // line is a line of its own, and may be a ban it honours.
    std::string_view f[kBanRowFields];
    if (!ParseBanFields(NextBanLine(text), f)) continue;
    const auto banned = static_cast<std::time_t>(BanExpiry(f[5]));
    const auto expiry = static_cast<std::time_t>(BanExpiry(f[6]));
    std::string expires = "never";
    if (expiry != 0) expires = LocalTime(expiry) + (expiry <= now ? " (due)" : "");
    rows.push_back(Fields{{"Player", std::string(f[0])},
                          {"Address", Identity(f[1])},
                          {"Key hash", Identity(f[2])},
                          {"GUID", Identity(f[3])},
                          {"Banned by", std::string(f[4])},
                          {"Banned at", banned == 0 ? "-" : LocalTime(banned)},
                          {"Expires", expires},
                          {"Reason", std::string(f[7])},
                          {"Ban time", std::to_string(banned)},
                          {"Expiry", std::to_string(expiry)}});
  }
  return rows;
}

int RunBans(Context& context, const Subcommand& row) {
  std::string text;
  if (!Download(context, row.code, &text)) return LinkFailed(context);
  std::vector<Fields> rows = ParseBanList(text, std::time(nullptr));
  if (context.options.json) {
    std::string array = "[";
    for (const Fields& fields : rows) {
      if (array.size() > 1) array += ',';
      array += JsonObject(fields);
    }
    return Succeed(context, "", ",\"bans\":" + array + "]");
  }
  if (rows.empty()) {
    std::cout << "no bans\n";
    return kExitOk;
  }
  // The raw seconds are for JSON readers; the table shows the times.
  for (Fields& fields : rows) fields.resize(8);
  std::cout << FormatTable(rows);
  return kExitOk;
}

}  // namespace korvctl
