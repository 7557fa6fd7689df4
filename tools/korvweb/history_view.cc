// The player page's routes. The daemon's report is read by the wire
// library and turned into JSON by korvctl's own writer, so the page, korvctl
// --json and the daemon agree on every field.
#include "korvweb/history_view.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>

#include "korvctl/history.h"
#include "korvctl/texts.h"
#include "korvweb/json_text.h"
#include "wire/history_text.h"

namespace korvweb {
namespace {

using httplib::Request;
using httplib::Response;
using nlohmann::json;

// Sends a history command and reads the report. False when the link failed;
// An answer that is no report (502) or a refusal (409) is answered here.
bool Exchange(WebSession& session, std::uint32_t code, const std::string& text, Response& res,
              std::optional<HistoryReport>* report) {
  std::string reply;
  if (!session.link.Send(korvctl::EncodeTextCommand(code, text)) || !session.link.ReadReply(&reply))
    return false;
  *report = ReadHistoryReport(reply);
  if (!*report) Error(res, 502, "the daemon's answer is not a history report");
  else if (!(*report)->error.empty()) Reply(res, 409, {{"ok", false}, {"error", Utf8((*report)->error)}});
  return true;
}

void Query(const WithLinkFn& with_link, const Request& req, Response& res) {
  std::string query = req.get_param_value("q");
  if (query.empty() || query.size() > 64 ||
      std::any_of(query.begin(), query.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; }))
    return Error(res, 400, "q must be a name, key hash or address of at most 64 bytes");
  with_link(req, res, false, [&](WebSession& session) {
    if (!MaskAdmitsCommand(session.access, kClientPlayerHistory)) {
      Error(res, 403, Refusal("the player history", kClientPlayerHistory));
      return true;
    }
    std::optional<HistoryReport> report;
    if (!Exchange(session, kClientPlayerHistory, query, res, &report)) return false;
    if (report && report->error.empty())
      Reply(res, 200, {{"players", json::parse(korvctl::HistoryJson(*report))}, {"more", report->more}});
    return true;
  });
}

void Note(const WithLinkFn& with_link, const Request& req, Response& res) {
  json body;
  if (!ParseBody(req, res, &body)) return;
  std::string keyhash, note, error;
  // The command's text is the key hash, a blank and the note: 255 bytes in all.
  if (!TextField(body, "keyhash", 32, true, " ", &keyhash, &error) ||
      !TextField(body, "text", 222, true, "", &note, &error))
    return Error(res, 400, error);
  with_link(req, res, true, [&](WebSession& session) {
    if (!MaskAdmitsCommand(session.access, kClientHistoryNote)) {
      Error(res, 403, Refusal("a note", kClientHistoryNote));
      return true;
    }
    std::optional<HistoryReport> report;
    if (!Exchange(session, kClientHistoryNote, WriteNoteText(keyhash, note), res, &report)) return false;
    if (report && report->error.empty()) Reply(res, 200, {{"ok", true}, {"words", "note added"}});
    return true;
  });
}

}  // namespace

void RegisterHistory(GateServer& server, WithLinkFn with_link) {
  server.Get("/api/history", [with_link](const Request& req, Response& res) { Query(with_link, req, res); });
  server.Post("/api/history/note", [with_link](const Request& req, Response& res) { Note(with_link, req, res); });
}

}  // namespace korvweb
