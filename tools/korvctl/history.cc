// korvctl history and note: the query and the note commands, and the report
// as tables or JSON.
#include "history.h"

#include <iostream>

#include "texts.h"

namespace korvctl {
namespace {

std::string Played(std::int64_t seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%lldh %02lldm", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60));
  return text;
}

std::string SeenTable(const char* label, const std::vector<HistorySeen>& list) {
  std::vector<Fields> rows;
  for (const HistorySeen& seen : list)
    rows.push_back({{label, seen.text},
                    {"First seen", LocalTime(seen.first)},
                    {"Last seen", LocalTime(seen.last)}});
  return FormatTable(rows);
}

std::string PlayerBlock(const HistoryPlayer& p) {
  std::string out;
  if (p.keyhash.empty()) {
    out += "Actions on a name or address no recorded player held:\n";
  } else {
    out += FormatFields({{"Key hash", p.keyhash},
                         {"GUID", p.guid.empty() ? "-" : p.guid},
                         {"First seen", LocalTime(p.first)},
                         {"Last seen", LocalTime(p.last)},
                         {"Time played", Played(p.seconds)}});
    out.append("\n").append(SeenTable("Name", p.names)).append("\n").append(SeenTable("Address", p.addresses));
    std::vector<Fields> sessions;
    for (const HistorySession& s : p.sessions)
      sessions.push_back({{"Session start", LocalTime(s.start)},
                          {"End", LocalTime(s.end)},
                          {"Played", Played(s.end - s.start)},
                          {"Name", s.name},
                          {"Address", s.address}});
    if (!sessions.empty()) out.append("\n").append(FormatTable(sessions));
  }
  std::vector<Fields> actions;
  for (const HistoryEntry& a : p.actions)
    actions.push_back({{"Time", LocalTime(a.time)}, {"Action", a.kind}, {"By", a.who},
                       {"Why", a.why}});
  if (!actions.empty()) out.append("\n").append(FormatTable(actions));
  return out;
}

std::string SeenJson(const char* key, const std::vector<HistorySeen>& list) {
  std::string out = "[";
  for (const HistorySeen& seen : list)
    out += std::string(out.size() > 1 ? "," : "") + "{\"" + key + "\":" + JsonString(seen.text) +
           ",\"first_seen\":" + std::to_string(seen.first) +
           ",\"last_seen\":" + std::to_string(seen.last) + "}";
  return out + "]";
}

std::string PlayerJson(const HistoryPlayer& p) {
  std::string out = "{\"keyhash\":" + JsonString(p.keyhash) + ",\"guid\":" + JsonString(p.guid) +
                    ",\"first_seen\":" + std::to_string(p.first) +
                    ",\"last_seen\":" + std::to_string(p.last) +
                    ",\"seconds_played\":" + std::to_string(p.seconds) +
                    ",\"names\":" + SeenJson("name", p.names) +
                    ",\"addresses\":" + SeenJson("address", p.addresses) + ",\"sessions\":[";
  for (std::size_t i = 0; i < p.sessions.size(); ++i) {
    const HistorySession& s = p.sessions[i];
    out += std::string(i > 0 ? "," : "") + "{\"start\":" + std::to_string(s.start) +
           ",\"end\":" + std::to_string(s.end) + ",\"name\":" + JsonString(s.name) +
           ",\"address\":" + JsonString(s.address) + "}";
  }
  out += "],\"actions\":[";
  for (std::size_t i = 0; i < p.actions.size(); ++i) {
    const HistoryEntry& a = p.actions[i];
    out += std::string(i > 0 ? "," : "") + "{\"time\":" + std::to_string(a.time) +
           ",\"kind\":" + JsonString(a.kind) + ",\"who\":" + JsonString(a.who) +
           ",\"why\":" + JsonString(a.why) + "}";
  }
  return out + "]}";
}

// Sends the command and reads the report; kExitOk, or the failure reported.
int Exchange(Context& context, std::uint32_t code, const std::string& text,
             HistoryReport* report) {
  std::string error, reply;
  if (!CheckText(text, &error)) return Fail(context, kExitUsage, error);
  if (!context.link.Send(EncodeTextCommand(code, text)) || !context.link.ReadReply(&reply))
    return LinkFailed(context);
  std::optional<HistoryReport> read = ReadHistoryReport(reply);
  if (!read) return Fail(context, kExitProtocol, "the daemon's answer is not a history report");
  if (!read->error.empty()) return Fail(context, kExitFailed, read->error);
  *report = std::move(*read);
  return kExitOk;
}

}  // namespace

std::string FormatHistory(const HistoryReport& report) {
  std::string out;
  for (const HistoryPlayer& player : report.players)
    out.append(out.empty() ? "" : "\n").append(PlayerBlock(player));
  if (report.more) out += "\n(more history than one answer holds: ask by key hash)\n";
  return out;
}

std::string HistoryJson(const HistoryReport& report) {
  std::string out = "[";
  for (const HistoryPlayer& player : report.players)
    out.append(out.size() > 1 ? "," : "").append(PlayerJson(player));
  return out + "]";
}

int RunHistory(Context& context, const Subcommand& row) {
  std::string query = JoinWords(context.options.words);
  if (query.empty()) return Fail(context, kExitUsage, "usage: korvctl history NAME|KEYHASH|ADDRESS");
  HistoryReport report;
  if (int status = Exchange(context, row.code, query, &report); status != kExitOk) return status;
  if (context.options.json)
    return Succeed(context, "", ",\"players\":" + HistoryJson(report) +
                                    ",\"more\":" + (report.more ? "true" : "false"));
  if (report.players.empty()) return Succeed(context, "no history of " + query);
  std::cout << FormatHistory(report);
  return kExitOk;
}

int RunNote(Context& context, const Subcommand& row) {
  const auto& words = context.options.words;
  if (words.size() < 2) return Fail(context, kExitUsage, "usage: korvctl note KEYHASH TEXT...");
  std::string note = JoinWords(std::span(words).subspan(1));
  HistoryReport report;
  if (int status = Exchange(context, row.code, WriteNoteText(words[0], note), &report);
      status != kExitOk)
    return status;
  return Succeed(context, "note added on " + words[0]);
}

}  // namespace korvctl
