// Writing and reading the player-history answer and the note text.
#include "wire/history_text.h"

#include <charconv>

namespace {

void AppendField(std::string& line, std::string_view field) {
  line += '\t';
  for (char c : field) {
    switch (c) {
      case '\\': line += "\\\\"; break;
      case '\t': line += "\\t"; break;
      case '\n': line += "\\n"; break;
      case '\r': line += "\\r"; break;
      default: line += c;
    }
  }
}

void AppendNumber(std::string& line, std::int64_t value) { AppendField(line, std::to_string(value)); }

// The lines of one player: its own, then its names, addresses, sessions
// and actions.
std::vector<std::string> PlayerLines(const HistoryPlayer& p) {
  std::vector<std::string> lines;
  std::string line = "player";
  AppendField(line, p.keyhash);
  AppendField(line, p.guid);
  AppendNumber(line, p.first);
  AppendNumber(line, p.last);
  AppendNumber(line, p.seconds);
  lines.push_back(line);
  for (const auto* list : {&p.names, &p.addresses}) {
    for (const HistorySeen& seen : *list) {
      line = list == &p.names ? "name" : "address";
      AppendField(line, seen.text);
      AppendNumber(line, seen.first);
      AppendNumber(line, seen.last);
      lines.push_back(line);
    }
  }
  for (const HistorySession& s : p.sessions) {
    line = "session";
    AppendNumber(line, s.start);
    AppendNumber(line, s.end);
    AppendField(line, s.name);
    AppendField(line, s.address);
    lines.push_back(line);
  }
  for (const HistoryEntry& a : p.actions) {
    line = "action";
    AppendNumber(line, a.time);
    AppendField(line, a.kind);
    AppendField(line, a.who);
    AppendField(line, a.why);
    lines.push_back(line);
  }
  return lines;
}

// The fields of a line after its record name, unescaped; none for a
// dangling or unknown escape.
std::optional<std::vector<std::string>> SplitFields(std::string_view line) {
  std::vector<std::string> fields;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\t') {
      fields.emplace_back();
      continue;
    }
    if (fields.empty()) continue;  // the record name
    if (c == '\\') {
      if (++i == line.size()) return std::nullopt;
      switch (line[i]) {
        case '\\': c = '\\'; break;
        case 't': c = '\t'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        default: return std::nullopt;
      }
    }
    fields.back() += c;
  }
  return fields;
}

bool Number(const std::string& text, std::int64_t* value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

bool ReadSeen(const std::vector<std::string>& f, std::vector<HistorySeen>* list) {
  HistorySeen seen;
  seen.text = f[0];
  if (!Number(f[1], &seen.first) || !Number(f[2], &seen.last)) return false;
  list->push_back(seen);
  return true;
}

// Adds one record to the report; false when it does not read.
bool ReadRecord(std::string_view kind, const std::vector<std::string>& f, HistoryReport* report) {
  if (kind == "player" && f.size() == 5) {
    HistoryPlayer p;
    p.keyhash = f[0];
    p.guid = f[1];
    if (!Number(f[2], &p.first) || !Number(f[3], &p.last) || !Number(f[4], &p.seconds)) return false;
    report->players.push_back(p);
    return true;
  }
  if (report->players.empty()) return false;
  HistoryPlayer& p = report->players.back();
  if (kind == "name" && f.size() == 3) return ReadSeen(f, &p.names);
  if (kind == "address" && f.size() == 3) return ReadSeen(f, &p.addresses);
  if (kind == "session" && f.size() == 4) {
    HistorySession s{0, 0, f[2], f[3]};
    if (!Number(f[0], &s.start) || !Number(f[1], &s.end)) return false;
    p.sessions.push_back(s);
    return true;
  }
  if (kind == "action" && f.size() == 4) {
    HistoryEntry a{0, f[1], f[2], f[3]};
    if (!Number(f[0], &a.time)) return false;
    p.actions.push_back(a);
    return true;
  }
  return false;
}

}  // namespace

std::string WriteHistoryReport(const HistoryReport& report, std::size_t max_bytes) {
  if (!report.error.empty()) {
    std::string line = "error";
    AppendField(line, report.error);
    return line + "\n";
  }
  std::string text = "history\n";
  bool more = report.more;
  for (const HistoryPlayer& player : report.players) {
    for (const std::string& line : PlayerLines(player)) {
      // Room stays for the "more" line; a player line that does not fit
      // takes its records with it.
      if (more || text.size() + line.size() + 1 + 5 > max_bytes) {
        more = true;
        break;
      }
      text += line + "\n";
    }
  }
  return more ? text + "more\n" : text;
}

std::optional<HistoryReport> ReadHistoryReport(std::string_view text) {
  HistoryReport report;
  bool first = true;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    std::string_view kind = line.substr(0, line.find('\t'));
    std::optional<std::vector<std::string>> fields = SplitFields(line);
    if (!fields) return std::nullopt;
    if (first) {
      first = false;
      if (kind == "error" && fields->size() == 1 && text.empty()) {
        report.error = (*fields)[0];
        return report;
      }
      if (line != "history") return std::nullopt;
    } else if (line == "more" && text.empty()) {
      report.more = true;
    } else if (!ReadRecord(kind, *fields, &report)) {
      return std::nullopt;
    }
  }
  if (first) return std::nullopt;
  return report;
}

std::string WriteNoteText(std::string_view keyhash, std::string_view note) {
  return std::string(keyhash) + " " + std::string(note);
}

bool ReadNoteText(std::string_view text, std::string* keyhash, std::string* note) {
  std::size_t blank = text.find(' ');
  if (blank == 0 || blank == std::string_view::npos || blank + 1 == text.size()) return false;
  *keyhash = std::string(text.substr(0, blank));
  *note = std::string(text.substr(blank + 1));
  return true;
}
