// Taking apart the daemon's status line and list files, and writing them as
// aligned text or JSON.
#include "texts.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "core/text.h"

namespace korvctl {
namespace {

constexpr std::array<std::string_view, 19> kStatusLabels{
    "Server name", "Address", "Players", "Current map", "Start map", "Idle map",
    "Server", "Last crash", "Console", "Game mode", "Game version", "Password",
    "Team kills", "Content check", "Team scores", "Team counts", "Round time left",
    "Tickets", "PunkBuster"};
constexpr std::array<std::string_view, 10> kPlayerLabels{
    "Name", "Id", "Team", "Score", "Kills", "Deaths", "Ping", "Address", "Keyhash", "GUID"};
constexpr std::array<std::string_view, 5> kClientLabels{"User", "Slot", "Address", "State",
                                                        "Last command"};

// Splits off the last `count` comma-separated fields; the rest (which may
// itself hold commas, like a player's name) is the first element.
bool SplitFromRight(std::string_view line, std::size_t count, std::vector<std::string>* out) {
  out->assign(count + 1, "");
  for (std::size_t i = count; i > 0; --i) {
    std::size_t comma = line.rfind(',');
    if (comma == std::string_view::npos) return false;
    (*out)[i] = std::string(line.substr(comma + 1));
    line = line.substr(0, comma);
  }
  (*out)[0] = std::string(line);
  return true;
}

std::string Unquote(std::string_view text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
    return std::string(text.substr(1, text.size() - 2));
  return std::string(text);
}

template <std::size_t N>
std::vector<Fields> ParseRows(std::string_view text, const std::array<std::string_view, N>& labels) {
  std::vector<Fields> rows;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    std::vector<std::string> parts;
    if (!SplitFromRight(line, N - 1, &parts)) continue;
    parts[0] = Unquote(parts[0]);
    Fields row;
    for (std::size_t i = 0; i < N; ++i) row.emplace_back(labels[i], parts[i]);
    rows.push_back(std::move(row));
  }
  return rows;
}

// The length of `line` that is a dotted address, a colon and a port.
bool LooksLikeAddress(std::string_view text) {
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 >= text.size()) return false;
  return std::all_of(text.begin(), text.begin() + colon,
                     [](char c) { return (c >= '0' && c <= '9') || c == '.'; }) &&
         std::all_of(text.begin() + colon + 1, text.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

std::size_t Utf8Length(std::string_view text, std::size_t at) {
  unsigned char c = static_cast<unsigned char>(text[at]);
  std::size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
  return length;
}

}  // namespace

Fields ParseStatusLine(std::string_view line) {
  Fields fields;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  // The server name is quoted and may hold commas: it ends at the quote
  // that is followed by a comma and an address.
  std::string name;
  std::size_t rest = 0;
  if (!line.empty() && line.front() == '"') {
    for (std::size_t at = line.find("\",", 1); at != std::string_view::npos;
         at = line.find("\",", at + 1)) {
      std::string_view after = line.substr(at + 2);
      if (LooksLikeAddress(after.substr(0, after.find(',')))) {
        name = std::string(line.substr(1, at - 1));
        rest = at + 2;
        break;
      }
    }
  }
  if (rest == 0) {
    std::size_t comma = line.find(',');
    name = Unquote(line.substr(0, comma));
    rest = comma == std::string_view::npos ? line.size() : comma + 1;
  }
  fields.emplace_back(kStatusLabels[0], name);
  std::string_view tail = line.substr(rest);
  for (std::size_t i = 1; i < kStatusLabels.size() && !tail.empty(); ++i) {
    std::size_t comma = tail.find(',');
    // The last field (PunkBuster) keeps whatever remains, without the
    // trailing commas.
    if (i + 1 == kStatusLabels.size() || comma == std::string_view::npos) {
      std::string_view value = tail;
      while (!value.empty() && value.back() == ',') value.remove_suffix(1);
      fields.emplace_back(kStatusLabels[i], std::string(value));
      break;
    }
    fields.emplace_back(kStatusLabels[i], std::string(tail.substr(0, comma)));
    tail = tail.substr(comma + 1);
  }
  return fields;
}

std::vector<Fields> ParsePlayerList(std::string_view text) { return ParseRows(text, kPlayerLabels); }

std::vector<Fields> ParseClientList(std::string_view text) {
  // A client with a last command time carries the ctime newline, so its line
  // is followed by an empty one; ParseRows skips empty lines.
  return ParseRows(text, kClientLabels);
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  char escape[8];
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (std::size_t length = Utf8Length(text, i); length != 0) {
      out.append(text.substr(i, length));
      i += length - 1;
    } else {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    }
  }
  return out + "\"";
}

std::string JsonKey(std::string_view label) {
  std::string key;
  for (char c : label) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
      key += c;
    else if (!key.empty() && key.back() != '_')
      key += '_';
  }
  return key;
}

std::string LocalTime(std::time_t when) {
  char text[32] = "?";
  std::tm local{};
  if (::localtime_r(&when, &local) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string JsonObject(const Fields& fields) {
  std::string out = "{";
  for (const auto& [label, value] : fields) {
    if (out.size() > 1) out += ",";
    out += JsonString(JsonKey(label)) + ":" + JsonString(value);
  }
  return out + "}";
}

namespace {

// Texts from the game (player names, chat) shown on a terminal: control
// characters escaped, so that none can move the cursor, retitle or clear it.
Fields ForTerminal(const Fields& fields) {
  Fields shown;
  for (const auto& [label, value] : fields)
    shown.emplace_back(EscapeControlText(label), EscapeControlText(value));
  return shown;
}

}  // namespace

std::string TerminalText(std::string_view text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = std::min(text.find('\n', at), text.size());
    out += EscapeControlText(text.substr(at, end - at));
    if (end < text.size()) out += '\n';
    at = end + 1;
  }
  return out;
}

std::string FormatFields(const Fields& raw) {
  const Fields fields = ForTerminal(raw);
  std::size_t width = 0;
  for (const auto& field : fields) width = std::max(width, field.first.size());
  std::string out;
  for (const auto& [label, value] : fields)
    out += label + ":" + std::string(width - label.size() + 1, ' ') + value + "\n";
  return out;
}

std::string FormatTable(const std::vector<Fields>& raw) {
  if (raw.empty()) return "";
  std::vector<Fields> rows;
  for (const Fields& row : raw) rows.push_back(ForTerminal(row));
  std::vector<std::size_t> widths;
  for (const auto& field : rows[0]) widths.push_back(field.first.size());
  for (const Fields& row : rows)
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i)
      widths[i] = std::max(widths[i], row[i].second.size());
  auto line = [&](auto text_of) {
    std::string out;
    for (std::size_t i = 0; i < widths.size(); ++i) {
      std::string text = text_of(i);
      out += text;
      if (i + 1 < widths.size()) out += std::string(widths[i] - text.size() + 2, ' ');
    }
    return out + "\n";
  };
  std::string out = line([&](std::size_t i) { return rows[0][i].first; });
  for (const Fields& row : rows)
    out += line([&](std::size_t i) { return i < row.size() ? row[i].second : std::string(); });
  return out;
}

}  // namespace korvctl
