// The settings table as a form, and the checked rewrite of korvane.con.
#include "korvweb/settings_form.h"

#include <strings.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <vector>

#include "korvweb/json_text.h"
#include "settings/setting_words.h"
#include "settings/settings_files.h"
#include "settings/settings_table.h"
#include "wire/setting_line.h"

namespace korvweb {
namespace {

using T = SettingType;

struct Line {
  std::string text;  // as written, without its line end
  std::string key;   // its first word, as the daemon reads it
  std::string rest;  // after that word's blank
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    while (!line.empty() && (line.back() == '\r')) line.remove_suffix(1);
    SettingLineParts parts = SplitSettingLine(line);
    lines.push_back({std::string(line), std::string(parts.key), std::string(parts.rest)});
  }
  return lines;
}

std::optional<int> RowOf(std::string_view key) {
  for (int i = 0; i < kSettingCount; ++i) {
    std::string_view name = SettingName(i);
    if (name.size() == key.size() && ::strncasecmp(name.data(), key.data(), key.size()) == 0)
      return i;
  }
  return std::nullopt;
}

const char* KindName(T type) {
  switch (type) {
    case T::kBoolean: return "boolean";
    case T::kText: return "text";
    case T::kWelcomeText: return "welcome";
    case T::kInteger:
    case T::kNegativeInteger: return "integer";
    case T::kHundredths:
    case T::kTenths: return "decimal";
    case T::kChoice: return "choice";
    case T::kAddress: return "address";
    default: return "action";
  }
}

double Scale(T type) { return type == T::kHundredths ? 100.0 : type == T::kTenths ? 10.0 : 1.0; }

// The range in file units: a NegativeInteger is written negated.
std::pair<double, double> Range(const SettingEntry& row) {
  if (row.type == T::kNegativeInteger) return {-row.maximum, -row.minimum};
  return {row.minimum / Scale(row.type), row.maximum / Scale(row.type)};
}

std::vector<std::pair<std::string, std::string>> Choices(std::string_view list) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    std::size_t slash = item.find('/');
    out.emplace_back(std::string(item.substr(0, slash)),
                     slash == std::string_view::npos ? std::string(item)
                                                     : std::string(item.substr(slash + 1)));
  }
  return out;
}

nlohmann::json RowJson(int index, const std::string& value) {
  const SettingEntry& row = Setting(index);
  nlohmann::json json{{"key", SettingName(index)},   {"kind", KindName(row.type)},
                      {"value", Utf8(value)},         {"restart_only", row.restart_only},
                      {"secret", row.secret},         {"group", row.group}};
  const SettingWords& words = WordsOfSetting(index);
  json.update({{"label", words.label}, {"unit", words.unit}, {"help", words.help}});
  if (row.type == T::kText || row.type == T::kWelcomeText) {
    json["max_length"] = row.maximum;
    json["required"] = row.type == T::kText && row.default_value != 0;
  } else if (row.type == T::kChoice) {
    nlohmann::json choices = nlohmann::json::array();
    for (auto& [key, label] : Choices(row.default_text)) choices.push_back({{"key", key}, {"label", label}});
    json["choices"] = choices;
  } else if (row.type != T::kAddress) {
    auto [low, high] = Range(row);
    json["min"] = low;
    json["max"] = high;
    json["step"] = 1.0 / Scale(row.type);
  }
  return json;
}

// The welcome message the daemon reads from its lines, as the page shows
// it: lines parted by "\n".
std::string WelcomeFormText(const std::vector<Line>& lines) {
  std::string text;
  for (const Line& line : lines) ReadWelcomeLine(line.rest, &text);
  std::string shown;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text.compare(at, 2, "\r\n") == 0) ++at;
    shown += text[at];
  }
  if (shown.ends_with('\n')) shown.pop_back();
  return shown;
}

bool ParseNumber(const std::string& text, double* number) {
  if (text.empty() || text.size() > 24) return false;
  char* end = nullptr;
  *number = std::strtod(text.c_str(), &end);
  return *end == '\0' && std::isfinite(*number);
}

bool IsDottedQuad(const std::string& text) {
  unsigned a, b, c, d;
  char tail;
  if (std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &tail) != 4) return false;
  return a < 256 && b < 256 && c < 256 && d < 256;
}

bool PlainText(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == '"' || c == 0x7F) return false;
  return true;
}

// The file lines of one setting with `value`; false with the rule broken.
bool FormatLines(int index, const std::string& key, const std::string& value,
                 std::vector<std::string>* lines, std::string* rule) {
  const SettingEntry& row = Setting(index);
  char text[128];
  switch (row.type) {
    case T::kBoolean:
      if (value != "0" && value != "1") return *rule = "must be 0 or 1", false;
      lines->push_back(key + " " + value);
      return true;
    case T::kInteger:
    case T::kNegativeInteger:
    case T::kHundredths:
    case T::kTenths: {
      double number = 0;
      auto [low, high] = Range(row);
      double scaled = 0;
      if (ParseNumber(value, &number)) scaled = std::round(number * Scale(row.type));
      if (!ParseNumber(value, &number) || std::fabs(number * Scale(row.type) - scaled) > 1e-6 ||
          number < low - 1e-9 || number > high + 1e-9) {
        std::snprintf(text, sizeof text, "must be a number from %g to %g in steps of %g", low,
                      high, 1.0 / Scale(row.type));
        return *rule = text, false;
      }
      // Written by the daemon's own writer, from the value the daemon holds.
      SettingEntry entry = row;
      entry.value = static_cast<std::int32_t>(row.type == T::kNegativeInteger ? -scaled : scaled);
      std::string written;
      WriteSettingEntryLine(&written, key, entry);
      written.pop_back();  // its line end
      lines->push_back(written);
      return true;
    }
    case T::kText:
      if (value.size() > static_cast<std::size_t>(row.maximum) || !PlainText(value))
        return *rule = "must be at most " + std::to_string(row.maximum) +
                       " characters without double quotes or control characters", false;
      if (value.empty() && row.default_value != 0) return *rule = "may not be empty", false;
      lines->push_back(key + " \"" + value + "\"");
      return true;
    case T::kWelcomeText: {
      // Written as the daemon writes it, and taken only if the daemon reads
      // back the very text the page sent.
      std::string text;
      for (char c : value) text += c == '\n' ? "\r\n" : std::string(1, c);
      std::string written;
      AppendWelcomeLines(&written, key, text);
      std::string_view sent = value;
      while (sent.ends_with('\n')) sent.remove_suffix(1);
      std::vector<Line> parts = SplitLines(written);
      if (WelcomeFormText(parts) != sent)
        return *rule = "must be at most 5 lines, the first of at most 62 characters and the "
                       "others of at most 63, without double quotes, underscores or empty lines",
               false;
      for (const Line& part : parts) lines->push_back(part.text);
      return true;
    }
    case T::kChoice:
      for (auto& [choice, label] : Choices(row.default_text))
        if (choice == value) {
          lines->push_back(key + " " + value);
          return true;
        }
      return *rule = "must be one of the listed choices", false;
    case T::kAddress:
      if (!IsDottedQuad(value)) return *rule = "must be an address such as 192.168.0.10", false;
      lines->push_back(key + " " + value);
      return true;
    default:
      return *rule = "cannot be set from the form", false;
  }
}

}  // namespace

void InitSettingsForm() { InitSettings(); }

nlohmann::json SettingsFormJson(std::string_view korvane) {
  std::map<int, std::string> values;
  std::map<int, std::vector<Line>> welcome;
  for (const Line& line : SplitLines(korvane)) {
    std::optional<int> index = RowOf(line.key);
    if (!index || Setting(*index).type == T::kAction) continue;
    if (Setting(*index).type == T::kWelcomeText) {
      welcome[*index].push_back(line);
    } else {
      values[*index] = Setting(*index).type == T::kText
                           ? std::string(SettingValueReader(line.rest).NextQuoted().value_or(""))
                           : line.rest;
    }
  }
  for (auto& [index, pieces] : welcome) values[index] = WelcomeFormText(pieces);
  nlohmann::json groups = nlohmann::json::array();
  for (std::uint32_t group = 0; group < 5; ++group) {
    nlohmann::json rows = nlohmann::json::array();
    for (auto& [index, value] : values)
      if (Setting(index).group == group) rows.push_back(RowJson(index, value));
    if (!rows.empty()) groups.push_back({{"group", group}, {"name", SettingGroupName(group)}, {"settings", rows}});
  }
  return {{"groups", groups}};
}

bool ApplySettingChanges(std::string_view korvane, const nlohmann::json& changes,
                         std::string* updated, std::string* error) {
  if (!changes.is_object() || changes.empty()) return *error = "no settings to change", false;
  std::vector<Line> lines = SplitLines(korvane);
  std::map<int, std::vector<std::string>> replacements;
  for (auto& [key, value] : changes.items()) {
    std::optional<int> index = RowOf(key);
    bool present = false;
    for (const Line& line : lines)
      if (index && RowOf(line.key) == index) present = true;
    if (!index || !present)
      return *error = "the setting " + key + " is not one this account may change", false;
    if (!value.is_string()) return *error = "the value of " + key + " must be a text", false;
    std::string rule;
    std::vector<std::string>& out = replacements[*index];
    if (!FormatLines(*index, std::string(SettingName(*index)), value.get<std::string>(), &out, &rule))
      return *error = key + " " + rule, false;
  }
  updated->clear();
  std::map<int, bool> written;
  for (const Line& line : lines) {
    std::optional<int> index = RowOf(line.key);
    if (index && replacements.contains(*index)) {
      if (!written[*index])
        for (const std::string& text : replacements[*index]) *updated += text + "\n";
      written[*index] = true;
      continue;
    }
    if (!line.text.empty()) *updated += line.text + "\n";
  }
  return true;
}

}  // namespace korvweb
