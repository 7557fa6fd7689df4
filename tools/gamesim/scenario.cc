// Scenario lines are "word arguments..."; names and texts come last so that
// they may hold blanks. See the README section on gamesim scenario files.
#include "scenario.h"

#include <csignal>
#include <cstdlib>
#include <sstream>

#include "core/text.h"

namespace gamesim {

namespace {

struct Line {
  std::vector<std::string> words;
  std::string text;  // the whole line after the first word
};

Line SplitLine(const std::string& raw) {
  Line line;
  std::istringstream in(raw);
  std::string word;
  while (in >> word) line.words.push_back(word);
  std::size_t start = raw.find_first_not_of(" \t");
  std::size_t after = raw.find_first_of(" \t", start);
  if (after != std::string::npos) {
    std::size_t text = raw.find_first_not_of(" \t", after);
    if (text != std::string::npos) line.text = raw.substr(text);
  }
  return line;
}

// Words from index `from` on, joined by single blanks.
std::string Rest(const Line& line, std::size_t from) {
  std::string out;
  for (std::size_t i = from; i < line.words.size(); ++i) {
    if (!out.empty()) out += ' ';
    out += line.words[i];
  }
  return out;
}

bool IsNumber(const std::string& word) {
  if (word.empty()) return false;
  std::size_t i = (word[0] == '-') ? 1 : 0;
  if (i == word.size()) return false;
  for (; i < word.size(); ++i) {
    if (word[i] < '0' || word[i] > '9') return false;
  }
  return true;
}

std::string NoneIfDash(const std::string& word) { return word == "-" ? "" : word; }

// player ID TEAM SCORE KILLS DEATHS PING ADDRESS[:PORT] KEYHASH GUID NAME...
bool ParsePlayer(const Line& line, Player* player) {
  if (line.words.size() < 11) return false;
  for (int i = 1; i <= 6; ++i) {
    if (!IsNumber(line.words[i])) return false;
  }
  player->id = ParseInt(line.words[1]);
  player->team = ParseInt(line.words[2]);
  player->score = ParseInt(line.words[3]);
  player->kills = ParseInt(line.words[4]);
  player->deaths = ParseInt(line.words[5]);
  player->ping = ParseInt(line.words[6]);
  const std::string& address = line.words[7];
  std::size_t colon = address.find(':');
  player->address = address.substr(0, colon);
  if (colon != std::string::npos) player->port = ParseInt(address.substr(colon + 1));
  player->keyhash = NoneIfDash(line.words[8]);
  player->guid = NoneIfDash(line.words[9]);
  player->name = CutText(Rest(line, 10), 31);
  return player->id >= 0 && player->id < 64;
}

// bot ID TEAM SCORE KILLS DEATHS NAME...
bool ParseBot(const Line& line, Player* player) {
  if (line.words.size() < 7) return false;
  for (int i = 1; i <= 5; ++i) {
    if (!IsNumber(line.words[i])) return false;
  }
  player->bot = true;
  player->id = ParseInt(line.words[1]);
  player->team = ParseInt(line.words[2]);
  player->score = ParseInt(line.words[3]);
  player->kills = ParseInt(line.words[4]);
  player->deaths = ParseInt(line.words[5]);
  player->ping = 0;
  player->name = CutText(Rest(line, 6), 31);
  return player->id >= 0 && player->id < 64;
}

// crash SECONDS CODE, where CODE is an exit status or a signal name.
bool ParseCrash(const Line& line, Faults* faults) {
  if (line.words.size() < 3) return false;
  faults->crash_after = std::atof(line.words[1].c_str());
  const std::string& code = line.words[2];
  struct Named { const char* name; int signal; };
  static constexpr Named kSignals[] = {{"SIGSEGV", SIGSEGV}, {"SIGABRT", SIGABRT},
                                       {"SIGKILL", SIGKILL}, {"SIGBUS", SIGBUS}};
  for (const Named& named : kSignals) {
    if (code == named.name) {
      faults->crash_signal = true;
      faults->crash_code = named.signal;
      return true;
    }
  }
  if (!IsNumber(code)) return false;
  faults->crash_signal = false;
  faults->crash_code = ParseInt(code) & 0xFF;
  return true;
}

struct FlagRow {
  const char* word;
  bool Faults::*flag;
};
constexpr FlagRow kFlagRows[] = {
    {"ignore-quit", &Faults::ignore_quit},
    {"refuse-login", &Faults::refuse_login},
    {"silent-console", &Faults::silent_console},
    {"silent-status", &Faults::silent_status},
    {"drop-console", &Faults::drop_console},
    {"status-out-of-order", &Faults::status_out_of_order},
    {"status-no-final", &Faults::status_no_final},
};

// Handles one line; false when it is malformed.
bool ApplyLine(const Line& line, Scenario* s) {
  const std::string& word = line.words[0];
  std::size_t n = line.words.size();
  if (word == "player" || word == "bot") {
    Player player;
    if (!(word == "player" ? ParsePlayer(line, &player) : ParseBot(line, &player))) return false;
    s->has_players = true;
    s->players.push_back(player);
    return true;
  }
  if (word == "noplayers") return s->has_players = true;
  if (word == "chat" || word == "teamchat") {
    if (line.text.find(": ") == std::string::npos) return false;
    s->said.push_back((word == "chat" ? "##-- Global " : "##-- Team ") + line.text);
    return true;
  }
  if (word == "event") return !line.text.empty() && (s->said.push_back("##-- Event " + line.text), true);
  if (word == "raw") return !line.text.empty() && (s->said.push_back(line.text), true);
  if (word == "mode" && n == 2) return (s->gamemode = line.words[1]), true;
  if (word == "map" && n >= 2) return (s->map = ParseMapCombo(line.text)), true;
  if (word == "version" && n == 2) return (s->version = line.words[1]), true;
  if (word == "hostname" && n >= 2) return (s->hostname = line.text), true;
  if (word == "punkbuster" && n == 2) return (s->punkbuster = line.words[1] != "0"), true;
  if (word == "maxplayers" && n == 2 && IsNumber(line.words[1])) {
    return (s->maxplayers = ParseInt(line.words[1])), true;
  }
  if (word == "lively" && n == 2) return (s->lively = line.words[1] != "0"), true;
  if (word == "seed" && n == 2 && IsNumber(line.words[1])) {
    return (s->seed = static_cast<unsigned>(ParseLong(line.words[1]))), true;
  }
  if (word == "segment-size" && n == 2 && IsNumber(line.words[1])) {
    s->segment_size = ParseInt(line.words[1]);
    return s->segment_size >= 64;
  }
  if (word == "crash") return ParseCrash(line, &s->faults);
  if (word == "reset-console" && n == 2) return (s->faults.reset_console = line.words[1]), true;
  for (const FlagRow& row : kFlagRows) {
    if (word == row.word && n == 1) return (s->faults.*row.flag = true), true;
  }
  return false;
}

}  // namespace

Scenario ParseScenario(std::string_view text, std::vector<std::string>* errors) {
  Scenario scenario;
  std::istringstream in{std::string(text)};
  std::string raw;
  int number = 0;
  while (std::getline(in, raw)) {
    ++number;
    TrimLineEnd(raw);
    raw = CutText(raw, 1023);
    Line line = SplitLine(raw);
    if (line.words.empty() || line.words[0][0] == '#') continue;
    if (!ApplyLine(line, &scenario) && errors != nullptr) {
      errors->push_back("line " + std::to_string(number) + ": cannot read \"" + raw + "\"");
    }
  }
  return scenario;
}

Scenario DefaultScenario() {
  Scenario scenario;
  scenario.lively = true;
  return scenario;
}

}  // namespace gamesim
