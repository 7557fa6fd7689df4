// korvctl bans: the daemon's ban list as a table or as JSON.
#include "ban_list.h"

#include <iostream>
#include <string>

#include "context.h"

namespace korvctl {
namespace {

// strtok's step, as the daemon reads the list: leading delimiters skipped,
// the token up to the next delimiter, which is consumed.
bool Token(std::string_view& rest, std::string_view delimiters, std::string_view* token) {
  std::size_t start = rest.find_first_not_of(delimiters);
  if (start == std::string_view::npos) return false;
  rest.remove_prefix(start);
  std::size_t end = rest.find_first_of(delimiters);
  *token = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  return true;
}

std::time_t Seconds(std::string_view text) {
  std::time_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || value > 100000000000LL) break;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string LocalTime(std::time_t when) {
  char text[32] = "?";
  std::tm local{};
  if (::localtime_r(&when, &local) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string Identity(std::string_view field) {
  return field.empty() || field[0] == '*' ? "-" : std::string(field);
}

}  // namespace

std::vector<Fields> ParseBanList(std::string_view text, std::time_t now) {
  static constexpr std::string_view kDelims[8] = {"\"", ",", ",", ",", "\"", ",", ",", ",\r\n"};
  std::vector<Fields> rows;
  while (!text.empty()) {
    // The daemon reads 1023 characters at a time: the rest of a longer
    // line is a line of its own, and may be a ban it honours.
    std::size_t feed = text.find('\n');
    std::string_view line = text.substr(0, feed == std::string_view::npos ? text.size() : feed + 1);
    if (line.size() > 1023) line = line.substr(0, 1023);
    text.remove_prefix(line.size());
    std::string_view f[8];
    bool whole = true;
    for (int i = 0; i < 8 && whole; ++i) whole = Token(line, kDelims[i], &f[i]);
    if (!whole) continue;
    const std::time_t banned = Seconds(f[5]);
    const std::time_t expiry = Seconds(f[6]);
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
