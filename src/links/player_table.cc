// GetPlayerList and the player lookups.
#include "links/player_table.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "core/last_error.h"
#include "core/text.h"
#include "core/log.h"
#include "wire/status_report.h"
#include "core/core_state.h"
#include "links/links_state.h"
#include "links/console.h"
#include "settings/settings_table.h"
#include "links/status_query.h"

namespace {

constexpr char kUnknown[] = "[unknown]";
constexpr std::size_t kNameMax = 31;
constexpr std::size_t kStatMax = 4;
constexpr std::size_t kPingMax = 5;
constexpr std::size_t kAddressMax = 15;
constexpr std::size_t kHashMax = 32;
constexpr std::size_t kGuidLineMax = 1023;
constexpr unsigned kGuidWaitSeconds = 1;
constexpr std::string_view kRemoteMarker = " is remote ip: ";


void Debug(const char* text) {
  if (Core().debug) LogMessage(6, "%s", text);
}

// True when one of the keys of report index `i` is ambiguous (a name
// holding backslashes repeats it).
bool AmbiguousPlayer(const StatusReportIndex& index, int i) {
  std::string n = std::to_string(i);
  for (const char* key : {"playername_", "team_", "score_", "kills_", "deaths_", "ping_"}) {
    if (index.Ambiguous(key + n)) return true;
  }
  return false;
}

struct TeamTotals {
  int axis = 0;
  int allied = 0;
  int listed = 0;
  long axis_score = 0;
  long allied_score = 0;
};

std::string Field(const StatusReportIndex& index, const char* key, int i, std::size_t max) {
  std::optional<std::string_view> value = index.Get(key + std::to_string(i));
  return value ? CutText(*value, max) : std::string();
}

// Takes team and figures from the report for the player; false when the
// name is not among its first `reported` players.
bool JoinWithReport(const StatusReportIndex& index, int reported, PlayerRecord& record,
                    TeamTotals& totals) {
  int found = -1;
  for (int i = 0; i < reported && found < 0; ++i) {
    std::optional<std::string_view> name = index.Get("playername_" + std::to_string(i));
    if (name && *name == record.name) found = i;
  }
  if (found < 0) return false;
  if (AmbiguousPlayer(index, found)) {
    // Team and figures are unknown; the player counts only as listed.
    record.team = kUnknown;
    record.pb_guid = kUnknown;
    return true;
  }
  std::optional<std::string_view> team = index.Get("team_" + std::to_string(found));
  int side = team ? ParseInt(*team) : 0;
  record.team = side == 1 ? "axis" : side == 2 ? "allied" : kUnknown;
  record.score = Field(index, "score_", found, kStatMax);
  record.kills = Field(index, "kills_", found, kStatMax);
  record.deaths = Field(index, "deaths_", found, kStatMax);
  record.ping = Field(index, "ping_", found, kPingMax);
  record.pb_guid = kUnknown;
  record.figures_known = true;
  int score = ParseInt(record.score);
  if (side == 1) {
    ++totals.axis;
    totals.axis_score += score;
  } else if (side == 2) {
    ++totals.allied;
    totals.allied_score += score;
  }
  return true;
}

void WriteTeamTexts(const TeamTotals& totals) {
  char text[64];
  std::snprintf(text, sizeof text, "%d / %d / %d", totals.allied, totals.axis, totals.listed);
  MutableLinks().team_counts = text;
  std::snprintf(text, sizeof text, "%ld / %ld / %ld", totals.allied_score, totals.axis_score,
                totals.allied_score + totals.axis_score);
  MutableLinks().team_scores = text;
}

void SmartBalance(const TeamTotals& totals) {
  if (SettingValue(kSetSmartBalance) != 1) return;
  int difference = totals.allied - totals.axis;
  LinksState& links = MutableLinks();
  if (std::abs(difference) >= SettingValue(kSetSmartBalanceValue) &&
      !links.smart_balance_engaged) {
    if (!ConsoleSend("admin.autoBalanceTeam 1")) {
      LogMessage(6, "Couldn't enable auto-team-balance! The command failed.");
      return;
    }
    links.smart_balance_engaged = true;
    SendServerMessage("[KORV] Teams are unbalanced, engaging auto-team-balance");
    LogMessage(6,
               "Smart-balance is enabled and teams are unbalanced, engaging auto-team-balance.");
  } else if (links.smart_balance_engaged && difference >= -1 && difference <= 1) {
    if (!ConsoleSend("admin.autoBalanceTeam 0")) {
      LogMessage(6, "Couldn't disable auto-team-balance! The command failed.");
      return;
    }
    links.smart_balance_engaged = false;
    SendServerMessage("[KORV] Teams are balanced, disengaging auto-team-balance");
    LogMessage(6, "Smart-balance is enabled and teams are balanced, disengaging "
                  "auto-team-balance.");
  }
}

PlayerRecord* FindByNameIgnoringCase(std::string_view name) {
  for (PlayerRecord& record : MutableLinks().players) {
    if (!record.name.empty() && record.name.size() == name.size() &&
        ::strncasecmp(record.name.data(), name.data(), name.size()) == 0)
      return &record;
  }
  return nullptr;
}

// One line of "pb_sv_plist" output: "... (W) name" with the GUID 5
// characters after the first ':' up to the next '('.
void TakeGuidLine(std::string_view line) {
  line = line.substr(0, kGuidLineMax);
  std::size_t marker = line.find(" (W) ");
  if (marker == std::string_view::npos) return;
  std::string_view name = line.substr(marker + 5);
  PlayerRecord* record = FindByNameIgnoringCase(name);
  std::size_t colon = line.find(':');
  if (record == nullptr || colon == std::string_view::npos || colon + 5 > line.size()) {
    if (Core().debug)
      LogMessage(6, "Couldn't parse GUID for player %s!", std::string(name).c_str());
    return;
  }
  std::string_view guid = line.substr(colon + 5);
  record->pb_guid = CutText(guid.substr(0, guid.find('(')), kHashMax);
}

bool FetchPunkBusterGuids() {
  if (!Links().punkbuster_enabled || SettingValue(kSetBanInBfAndPb) != 1) return true;
  if (!ConsoleSend("pb_sv_plist")) return false;
  ::sleep(kGuidWaitSeconds);  // PunkBuster prints its list after the answer
  std::optional<std::string> output = ConsoleRunKey(0);
  if (!output || output->empty() || (*output)[0] == '\n') return false;
  std::string_view rest = *output;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    TakeGuidLine(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  return true;
}

// Bots are marked "is an AI bot"; a remote player whose name says so is
// still a player.
bool IsBotLine(std::string_view line) {
  return line.find("is an AI bot") != std::string_view::npos &&
         line.find(kRemoteMarker) == std::string_view::npos;
}

void TellPlayerListListener() {
  if (Links().player_list_listener != nullptr) Links().player_list_listener();
}

std::string LookUp(std::int32_t id, std::string PlayerRecord::*field) {
  const PlayerRecord* record = FindPlayerById(id);
  return record ? record->*field : kUnknown;
}

}  // namespace

bool ParsePlayerLine(std::string_view line, PlayerRecord* record) {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::size_t blank = line.find(' ', colon + 1);
  if (blank == std::string_view::npos) return false;
  std::int32_t id = ParseInt(line.substr(colon + 1, blank - colon - 1));
  std::size_t name_start = blank + 3;
  // The name ends at the last " is remote ip: ": a player may well call
  // himself "x is remote y", but what follows the marker is ours.
  std::size_t remote = line.rfind(kRemoteMarker);
  if (remote == std::string_view::npos || remote < name_start) return false;
  std::string_view name = line.substr(name_start, remote - name_start);
  std::size_t address_start = remote + kRemoteMarker.size();
  std::size_t port = line.find(':', address_start);
  if (port == std::string_view::npos) return false;
  std::string_view address = line.substr(address_start, port - address_start);
  std::size_t hash = line.find("hash:", port);
  record->name = name.empty() ? kUnknown : CutText(name, kNameMax);
  record->id = id;
  record->address = CutText(address, kAddressMax);
  record->keyhash =
      hash == std::string_view::npos ? kUnknown : CutText(line.substr(hash + 5), kHashMax);
  return true;
}

void ClearPlayerTable() { MutableLinks().players.fill(PlayerRecord{}); }

bool GetPlayerList() {
  LinksState& links = MutableLinks();
  if (!links.console_connected) return false;
  if (!StatusQuery(links.status_port, "\\status\\")) {
    if (Core().debug)
      LogMessage(6, "DEBUG: GetPlayerList: Couldn't get server status! %s",
                 ErrorText(LastError()).c_str());
    return false;
  }
  // The report stays valid: nothing below queries the status port again.
  StatusReportIndex index(links.status_report);
  if (!index.first_ambiguous().empty() && Core().debug)
    LogMessage(6,
               "DEBUG: Status report holds the key %.64s more than once! The figures of the "
               "players concerned are unknown.",
               std::string(index.first_ambiguous()).c_str());
  std::optional<std::string_view> numplayers = index.Get("numplayers");
  if (!numplayers) {
    Debug("DEBUG: Couldn't find \"numplayers\" in status!");
    return false;
  }
  int reported = std::min(ParseInt(*numplayers), kMaxPlayers * 4);
  ClearPlayerTable();
  std::optional<std::string> response = ConsoleSend("game.listPlayers");
  if (!response) return false;
  TeamTotals totals;
  if (response->empty() || (*response)[0] == '\n') {
    WriteTeamTexts(totals);
    TellPlayerListListener();
    return true;
  }
  std::string_view rest = *response;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.empty() || IsBotLine(line)) continue;
    if (totals.listed >= kMaxPlayers) continue;
    PlayerRecord& record = links.players[totals.listed];
    if (!ParsePlayerLine(line, &record)) {
      Debug("DEBUG: Couldn't get player list! Parse error.");
      return false;
    }
    if (!JoinWithReport(index, reported, record, totals) && Core().debug)
      LogMessage(6, "DEBUG: Couldn't determine index of player %s!", record.name.c_str());
    ++totals.listed;
  }
  WriteTeamTexts(totals);
  SmartBalance(totals);
  bool guids = FetchPunkBusterGuids();
  TellPlayerListListener();
  return guids;
}

void SetPlayerListListener(void (*listener)()) { MutableLinks().player_list_listener = listener; }

const PlayerRecord* FindPlayerById(std::int32_t id) {
  for (const PlayerRecord& record : Links().players) {
    if (!record.name.empty() && record.id == id) return &record;
  }
  return nullptr;
}

std::string PlayerNameById(std::int32_t id) { return LookUp(id, &PlayerRecord::name); }
std::string PlayerAddressById(std::int32_t id) { return LookUp(id, &PlayerRecord::address); }
std::string PlayerKeyhashById(std::int32_t id) { return LookUp(id, &PlayerRecord::keyhash); }
std::string PlayerGuidById(std::int32_t id) { return LookUp(id, &PlayerRecord::pb_guid); }

bool RemovePlayerById(std::int32_t id) {
  auto& players = MutableLinks().players;
  auto found = std::find_if(players.begin(), players.end(), [id](const PlayerRecord& record) {
    return !record.name.empty() && record.id == id;
  });
  if (found == players.end()) return false;
  std::move(std::next(found), players.end(), found);
  players.back() = PlayerRecord{};
  return true;
}

std::int32_t FindPlayerByName(std::string_view text) {
  std::string wanted(text);
  UpperCase(wanted);
  int matches = 0;
  std::int32_t id = -1;
  for (const PlayerRecord& record : Links().players) {
    std::string name = record.name;
    UpperCase(name);
    if (name.find(wanted) == std::string::npos) continue;
    ++matches;
    id = record.id;
  }
  return matches == 1 ? id : -1;
}

int PlayerCount() {
  int count = 0;
  for (const PlayerRecord& record : Links().players) count += record.name.empty() ? 0 : 1;
  return count;
}
