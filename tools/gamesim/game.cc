// The simulated game's rules. Console commands change the state and, where
// the game keeps files (banlist.con, pb/pbbans.dat), rewrite them; the
// lively mode makes players come and go, fight, talk and finish rounds.
#include "game.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "core/files.h"
#include "core/text.h"
#include "note.h"

namespace gamesim {

namespace {

constexpr const char* kTeamNames[3] = {"", "Axis", "Allies"};

struct ModeRow {
  const char* code;
  const char* gametype;
};
constexpr ModeRow kModes[] = {{"GPM_CQ", "conquest"}, {"GPM_COOP", "coop"}, {"GPM_CTF", "ctf"},
                              {"GPM_TDM", "tdm"}, {"GPM_OBJECTIVEMODE", "objectivemode"}};

const char* GameType(const std::string& code) {
  for (const ModeRow& row : kModes) {
    if (::strcasecmp(row.code, code.c_str()) == 0) return row.gametype;
  }
  return "conquest";
}

// "battle_of_britain" as the game shows it: "Battle Of Britain".
std::string DisplayMapName(const std::string& map) {
  std::string out = map;
  bool start = true;
  for (char& c : out) {
    if (c == '_') c = ' ';
    if (start && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    start = (c == ' ');
  }
  return out;
}

std::string FirstWord(const std::string& text) {
  std::size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  return text.substr(start, text.find(' ', start) - start);
}

std::string Unquote(std::string text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
  return text;
}

bool Contains(const std::vector<std::string>& list, const std::string& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool Erase(std::vector<std::string>* list, const std::string& value) {
  auto end = std::remove(list->begin(), list->end(), value);
  bool found = end != list->end();
  list->erase(end, list->end());
  return found;
}

std::string HexOf(std::uint32_t seed, std::mt19937* random) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  std::mt19937 local(seed ^ (*random)());
  for (int i = 0; i < 32; ++i) out.push_back(kDigits[local() % 16]);
  return out;
}

constexpr const char* kNamePool[] = {
    "Sgt.Baker", "Hawkeye", "Kowalski", "Dusty", "Ramirez", "Lt.Fuchs", "Panzerfaust", "Marlowe",
    "Ivanov", "Tex", "Gunny", "Sparrow", "Wolfgang", "Doc", "Yamamoto", "Mad Max", "Blitz",
    "Corporal Jones", "Falke", "Nightowl", "Bazooka Joe", "Stuka", "Moe", "Ace"};
constexpr const char* kChatPool[] = {
    "gg", "nice shot!", "anyone on the tanks?", "need a medic at the bunker", "lol",
    "who took the jeep?", "defend the flag!", "arty on the hill", "good round", "brb",
    "this map again?", "push left", "enemy plane incoming", "thanks for the pickup"};
// Now and then somebody says something the administrators ban.
constexpr const char* kRudePool[] = {"stop camping you noob", "what a noob team",
                                     "camper noob in the church"};

// While nobody reads the console, only the latest lines are kept, as a
// console's scroll-back would.
void Queue(std::vector<std::string>* lines, std::string line) {
  constexpr std::size_t kMaxWaiting = 256;
  if (lines->size() >= kMaxWaiting) lines->erase(lines->begin());
  lines->push_back(std::move(line));
}

}  // namespace

const Game::CommandRow Game::kCommands[] = {
    {"game.listPlayers", &Game::ListPlayers},
    {"admin.kickPlayer", &Game::Kick},
    {"admin.banPlayer", &Game::BanById},
    {"admin.banPlayerKey", &Game::BanKeyById},
    {"admin.addAddressToBanList", &Game::AddAddressBan},
    {"admin.addKeyToBanList", &Game::AddKeyBan},
    {"admin.removeAddressFromBanList", &Game::RemoveAddressBan},
    {"admin.removeKeyFromBanList", &Game::RemoveKeyBan},
    {"admin.clearBanList", &Game::ClearBans},
    {"admin.listBannedAddresses", &Game::ListBans},
    {"admin.listBannedKeys", &Game::ListBans},
    {"admin.changeMap", &Game::ChangeMap},
    {"admin.setNextLevel", &Game::SetNextLevel},
    {"admin.runNextLevel", &Game::RunNextLevel},
    {"admin.restartMap", &Game::RestartMap},
    {"admin.toggleGamePause", &Game::TogglePause},
    {"admin.serverMessage", &Game::ServerMessage},
    {"game.sayAll", &Game::SayAll},
    {"quit", &Game::Quit},
    {"pb_sv_plist", &Game::PbPlayerList},
    {"pb_sv_ver", &Game::PbVersion},
    {"pb_sv_kick", &Game::PbKick},
    {"pb_sv_banguid", &Game::PbBanGuid},
    {"pb_sv_unbanguid", &Game::PbUnbanGuid},
    {"pb_sv_banempty", &Game::PbBanEmpty},
    {"pb_sv_getss", &Game::PbScreenshot},
    {"pb_sv_writecfg", &Game::PbWriteConfig},
    {"pb_sv_load", &Game::PbLoadConfig},
};

Game::Game(ServerConfig config, double now)
    : config_(std::move(config)), random_(static_cast<unsigned>(std::time(nullptr))) {
  MapCombo first{"berlin", "GPM_CQ", "bf1942"};
  if (config_.current_level) {
    first = *config_.current_level;
  } else if (!config_.rotation.empty()) {
    first = config_.rotation[0];
  }
  paused_ = config_.start_paused;
  for (std::size_t i = 0; i < config_.rotation.size(); ++i) {
    if (config_.rotation[i].Text() == first.Text()) rotation_index_ = i;
  }
  StartRound(first, now);
}

void Game::ApplyScenario(const Scenario& scenario, double now) {
  scenario_ = scenario;
  if (scenario.seed) random_.seed(*scenario.seed);
  if (scenario.has_players) {
    players_.clear();
    for (const Player& player : scenario.players) {
      if (IsBanned(player)) continue;  // banned players cannot join
      if (FindPlayer(player.id) == nullptr) players_.push_back(player);
    }
  }
  if (scenario.map && scenario.map->Text() != map_.Text()) StartRound(*scenario.map, now);
  if (scenario.gamemode) {
    paused_ = ::strcasecmp(scenario.gamemode->c_str(), "pause") == 0;
    round_over_ = ::strcasecmp(scenario.gamemode->c_str(), "end") == 0;
  }
  for (const std::string& line : scenario.said) {
    Queue(&said_, line);
    Note("[queued] %s", line.c_str());
  }
}

std::vector<std::string> Game::RunCommand(const std::string& line) {
  std::string command = FirstWord(line);
  if (command.empty()) return {};
  std::size_t after = line.find(command) + command.size();
  std::string args = after < line.size() ? line.substr(after + 1) : "";
  for (const CommandRow& row : kCommands) {
    if (::strcasecmp(row.name, command.c_str()) == 0) return (this->*row.handler)(args);
  }
  if (config_.settings.count(command) != 0) return Setting(command, args);
  return {"Unknown command: " + CutText(command, 200)};
}

std::vector<std::string> Game::TakeSaid() {
  std::vector<std::string> out;
  out.swap(said_);
  return out;
}

std::vector<std::string> Game::TakeLaterOutput() {
  std::vector<std::string> out;
  out.swap(later_output_);
  return out;
}

Player* Game::FindPlayer(int id) {
  for (Player& player : players_) {
    if (player.id == id) return &player;
  }
  return nullptr;
}

bool Game::IsBanned(const Player& player) const {
  if (player.bot) return false;
  return Contains(config_.bans.addresses, player.address) ||
         (!player.keyhash.empty() && Contains(config_.bans.keys, player.keyhash)) ||
         (!player.guid.empty() && Contains(config_.bans.guids, player.guid));
}

void Game::RemovePlayer(int id, const std::string& why) {
  for (auto it = players_.begin(); it != players_.end(); ++it) {
    if (it->id == id) {
      Event(it->name + " " + why);
      players_.erase(it);
      return;
    }
  }
}

void Game::Event(const std::string& text) {
  Queue(&said_, "##-- Event " + text);
  Note("%s", text.c_str());
}

void Game::StartRound(const MapCombo& map, double now) {
  map_ = map;
  round_over_ = false;
  round_started_ = now;
  double ratio = std::atof(SettingText(config_, "admin.setTicketRatio", "1.00").c_str());
  tickets_[1] = tickets_[2] = std::max(1, static_cast<int>(60 * ratio));
  for (Player& player : players_) player.score = player.kills = player.deaths = 0;
}

bool Game::PunkBusterOn() const {
  if (scenario_.punkbuster) return *scenario_.punkbuster;
  return SettingNumber(config_, "game.serverPunkBuster", 0) != 0;
}

// ---- console commands ------------------------------------------------------

std::vector<std::string> Game::ListPlayers(const std::string&) {
  std::vector<std::string> out;
  for (const Player& p : players_) {
    char line[256];
    if (p.bot) {
      std::snprintf(line, sizeof line, "Id:%d - %s is an AI bot", p.id, p.name.c_str());
    } else if (p.keyhash.empty()) {
      std::snprintf(line, sizeof line, "Id:%d - %s is remote ip: %s:%d", p.id, p.name.c_str(),
                    p.address.c_str(), p.port);
    } else {
      std::snprintf(line, sizeof line, "Id:%d - %s is remote ip: %s:%d hash:%s", p.id,
                    p.name.c_str(), p.address.c_str(), p.port, p.keyhash.c_str());
    }
    out.push_back(line);
  }
  return out;
}

std::vector<std::string> Game::Kick(const std::string& args) {
  int id = ParseInt(args);
  if (FindPlayer(id) == nullptr) return {"No player with id " + std::to_string(id)};
  RemovePlayer(id, "was kicked");
  return {};
}

std::vector<std::string> Game::BanById(const std::string& args) {
  Player* player = FindPlayer(ParseInt(args));
  if (player == nullptr) return {"No player with id " + FirstWord(args)};
  if (!Contains(config_.bans.addresses, player->address)) config_.bans.addresses.push_back(player->address);
  WriteBanList(config_);
  RemovePlayer(player->id, "was banned");
  return {};
}

std::vector<std::string> Game::BanKeyById(const std::string& args) {
  Player* player = FindPlayer(ParseInt(args));
  if (player == nullptr) return {"No player with id " + FirstWord(args)};
  if (player->keyhash.empty()) return {"Player has no key hash"};
  if (!Contains(config_.bans.keys, player->keyhash)) config_.bans.keys.push_back(player->keyhash);
  WriteBanList(config_);
  RemovePlayer(player->id, "was banned");
  return {};
}

std::vector<std::string> Game::AddAddressBan(const std::string& args) {
  std::string address = FirstWord(args);
  address = address.substr(0, address.find(':'));
  if (address.empty()) return {"Usage: admin.addAddressToBanList address"};
  if (!Contains(config_.bans.addresses, address)) config_.bans.addresses.push_back(address);
  WriteBanList(config_);
  for (const Player& p : std::vector<Player>(players_)) {
    if (!p.bot && p.address == address) RemovePlayer(p.id, "was banned");
  }
  return {};
}

std::vector<std::string> Game::AddKeyBan(const std::string& args) {
  std::string key = FirstWord(args);
  if (key.empty()) return {"Usage: admin.addKeyToBanList key"};
  if (!Contains(config_.bans.keys, key)) config_.bans.keys.push_back(key);
  WriteBanList(config_);
  for (const Player& p : std::vector<Player>(players_)) {
    if (!p.bot && p.keyhash == key) RemovePlayer(p.id, "was banned");
  }
  return {};
}

std::vector<std::string> Game::RemoveAddressBan(const std::string& args) {
  std::string address = FirstWord(args);
  address = address.substr(0, address.find(':'));
  if (!Erase(&config_.bans.addresses, address)) return {"Address " + CutText(address, 64) + " is not banned"};
  WriteBanList(config_);
  return {};
}

std::vector<std::string> Game::RemoveKeyBan(const std::string& args) {
  std::string key = FirstWord(args);
  if (!Erase(&config_.bans.keys, key)) return {"Key " + CutText(key, 64) + " is not banned"};
  WriteBanList(config_);
  return {};
}

std::vector<std::string> Game::ClearBans(const std::string&) {
  config_.bans.addresses.clear();
  config_.bans.keys.clear();
  WriteBanList(config_);
  return {};
}

std::vector<std::string> Game::ListBans(const std::string&) {
  std::vector<std::string> out;
  for (const std::string& a : config_.bans.addresses) out.push_back("address " + a);
  for (const std::string& k : config_.bans.keys) out.push_back("key " + k);
  return out;
}

std::vector<std::string> Game::ChangeMap(const std::string& args) {
  std::optional<MapCombo> map = ParseMapCombo(args);
  if (!map) return {"Usage: admin.changeMap map mode mod"};
  Event("Changing map to " + map->Text());
  StartRound(*map, now_);
  return {};
}

std::vector<std::string> Game::SetNextLevel(const std::string& args) {
  std::optional<MapCombo> map = ParseMapCombo(args);
  if (!map) return {"Usage: admin.setNextLevel map mode mod"};
  next_map_ = map;
  return {};
}

std::vector<std::string> Game::RunNextLevel(const std::string&) {
  MapCombo next = map_;
  if (next_map_) {
    next = *next_map_;
    next_map_.reset();
  } else if (!config_.rotation.empty()) {
    rotation_index_ = (rotation_index_ + 1) % config_.rotation.size();
    next = config_.rotation[rotation_index_];
  }
  Event("Now playing " + next.Text());
  StartRound(next, now_);
  return {};
}

std::vector<std::string> Game::RestartMap(const std::string&) {
  Event("Restarting " + map_.Text());
  StartRound(map_, now_);
  return {};
}

std::vector<std::string> Game::TogglePause(const std::string&) {
  paused_ = !paused_;
  Event(paused_ ? "Game paused" : "Game resumed");
  return {};
}

std::vector<std::string> Game::ServerMessage(const std::string& args) {
  Note("[server message] %s", Unquote(args).c_str());
  return {};
}

std::vector<std::string> Game::SayAll(const std::string& args) {
  Note("[chat] %s", Unquote(args).c_str());
  return {};
}

std::vector<std::string> Game::Quit(const std::string&) {
  if (!scenario_.faults.ignore_quit) quit_requested_ = true;
  return {};
}

// ---- PunkBuster --------------------------------------------------------------

std::vector<std::string> Game::PbPlayerList(const std::string&) {
  if (!PunkBusterOn()) return {"Unknown command: pb_sv_plist"};
  Queue(&later_output_, "PunkBuster Server: Player List:");
  int listed = 0;
  for (const Player& p : players_) {
    if (p.bot || p.guid.empty()) continue;
    char line[256];
    std::snprintf(line, sizeof line, "PunkBuster Server: %-2d %s(-) %s:%d OK 1 5.0 0 (W) %s",
                  p.id + 1, p.guid.c_str(), p.address.c_str(), p.port, p.name.c_str());
    Queue(&later_output_, line);
    ++listed;
  }
  Queue(&later_output_, "PunkBuster Server: End of Player List (" + std::to_string(listed) + " Players)");
  return {};
}

std::vector<std::string> Game::PbVersion(const std::string&) {
  if (!PunkBusterOn()) return {"Unknown command: pb_sv_ver"};
  Queue(&later_output_, "PunkBuster Server: (v1.700 | A1.380 C2.210) gamesim");
  return {};
}

std::vector<std::string> Game::PbKick(const std::string& args) {
  if (!PunkBusterOn()) return {"Unknown command: pb_sv_kick"};
  int slot = ParseInt(args);
  if (FindPlayer(slot - 1) != nullptr) RemovePlayer(slot - 1, "was kicked by PunkBuster");
  Queue(&later_output_, "PunkBuster Server: Kick command issued for slot " + std::to_string(slot));
  return {};
}

std::vector<std::string> Game::PbBanGuid(const std::string& args) {
  if (!PunkBusterOn()) return {"Unknown command: pb_sv_banguid"};
  std::string guid = FirstWord(args);
  if (guid.size() != 32) return {"PunkBuster Server: invalid GUID"};
  if (!Contains(config_.bans.guids, guid)) config_.bans.guids.push_back(guid);
  WritePunkBusterBans(config_);
  for (const Player& p : std::vector<Player>(players_)) {
    if (p.guid == guid) RemovePlayer(p.id, "was banned by PunkBuster");
  }
  return {};
}

std::vector<std::string> Game::PbUnbanGuid(const std::string& args) {
  if (!PunkBusterOn()) return {"Unknown command: pb_sv_unbanguid"};
  if (Erase(&config_.bans.guids, FirstWord(args))) WritePunkBusterBans(config_);
  return {};
}

std::vector<std::string> Game::PbBanEmpty(const std::string&) {
  if (!PunkBusterOn()) return {"Unknown command: pb_sv_banempty"};
  config_.bans.guids.clear();
  WritePunkBusterBans(config_);
  return {};
}

std::vector<std::string> Game::PbScreenshot(const std::string& args) {
  if (!PunkBusterOn()) return {"Unknown command: pb_sv_getss"};
  Queue(&later_output_, "PunkBuster Server: Screenshot requested from " + CutText(args, 64));
  return {};
}

std::vector<std::string> Game::PbWriteConfig(const std::string&) {
  if (!PunkBusterOn()) return {"Unknown command: pb_sv_writecfg"};
  std::string path = config_.server_dir + "/pb/pbsv.cfg";
  CreateFileWithDirs(path, 1);
  ReplaceFileContents(path, "pb_sv_enable\npb_sv_kicklen 2\npb_sv_sleep 100\n");
  return {};
}

std::vector<std::string> Game::PbLoadConfig(const std::string&) {
  if (!PunkBusterOn()) return {"Unknown command: pb_sv_load"};
  Queue(&later_output_, "PunkBuster Server: Loaded pbsv.cfg");
  return {};
}

// A settings key alone asks for its value; with a value it sets it.
std::vector<std::string> Game::Setting(const std::string& key, const std::string& args) {
  std::string value = args;
  while (!value.empty() && value.back() == ' ') value.pop_back();
  while (!value.empty() && value.front() == ' ') value.erase(0, 1);
  if (value.empty()) return {config_.settings[key]};
  config_.settings[key] = CutText(Unquote(value), 324);
  if (::strcasecmp(key.c_str(), "admin.autoBalanceTeam") == 0 && ParseInt(value) != 0) BalanceTeams();
  return {};
}

void Game::BalanceTeams() {
  int counts[3] = {0, 0, 0};
  for (const Player& p : players_) {
    if (p.team == 1 || p.team == 2) ++counts[p.team];
  }
  for (auto it = players_.rbegin(); it != players_.rend() && std::abs(counts[1] - counts[2]) > 1; ++it) {
    int big = counts[1] > counts[2] ? 1 : 2;
    if (it->team != big) continue;
    it->team = 3 - big;
    --counts[big];
    ++counts[3 - big];
    Event(it->name + " was moved to " + kTeamNames[it->team]);
  }
}

// ---- status ------------------------------------------------------------------

StatusPairs Game::Status(bool with_players) const {
  long rounds = std::max(0L, SettingNumber(config_, "admin.setNrOfRounds", 3));
  double ratio = std::atof(SettingText(config_, "admin.setTicketRatio", "1.00").c_str());
  long time_limit = SettingNumber(config_, "admin.timeLimit", 0);
  long remain = -1;
  if (time_limit > 0) remain = std::max(0L, time_limit - static_cast<long>(now_ - round_started_));
  std::string version = scenario_.version.value_or("v1.6");
  std::string mode = round_over_ ? "end" : (paused_ ? "pause" : "openplaying");
  if (scenario_.gamemode && !scenario_.lively) mode = *scenario_.gamemode;
  long max_players = scenario_.maxplayers.value_or(SettingNumber(config_, "game.serverMaxPlayers", 32));
  StatusPairs pairs = {
      {"hostname", scenario_.hostname.value_or(SettingText(config_, "game.serverName", "BFSERVER"))},
      {"gamename", "bfield1942"},
      {"gamever", version},
      {"hostport", std::to_string(SettingNumber(config_, "game.serverPort", 14567))},
      {"mapname", DisplayMapName(map_.map)},
      {"gametype", GameType(map_.mode)},
      {"gamemode", mode},
      {"numplayers", std::to_string(players_.size())},
      {"maxplayers", std::to_string(max_players)},
      {"gameId", map_.mod},
      {"version", version},
      {"password", SettingText(config_, "game.serverPassword", "").empty() ? "0" : "1"},
      {"tk_mode", SettingNumber(config_, "admin.tkPunishMode", 0) != 0 ? "Punish" : "Forgive"},
      {"content_check", std::to_string(SettingNumber(config_, "game.serverContentCheck", 0))},
      {"sv_punkbuster", PunkBusterOn() ? "1" : "0"},
      {"number_of_rounds", std::to_string(rounds)},
      {"roundTime", std::to_string(time_limit > 0 ? time_limit : -1)},
      {"roundTimeRemain", std::to_string(remain)},
      {"teamname_0", kTeamNames[1]},
      {"teamname_1", kTeamNames[2]},
      {"tickets1", std::to_string(tickets_[1])},
      {"tickets2", std::to_string(tickets_[2])},
      {"Number Of Rounds", std::to_string(rounds)},
      {"Ticket Ratio", std::to_string(static_cast<int>(ratio * 100 + 0.5))},
  };
  if (!with_players) return pairs;
  for (std::size_t i = 0; i < players_.size(); ++i) {
    const Player& p = players_[i];
    std::string n = std::to_string(i);
    pairs.push_back({"playername_" + n, p.name});
    pairs.push_back({"team_" + n, std::to_string(p.team)});
    pairs.push_back({"score_" + n, std::to_string(p.score)});
    pairs.push_back({"kills_" + n, std::to_string(p.kills)});
    pairs.push_back({"deaths_" + n, std::to_string(p.deaths)});
    pairs.push_back({"ping_" + n, std::to_string(p.ping)});
  }
  return pairs;
}

// ---- the lively game -----------------------------------------------------------

void Game::Tick(double now) {
  now_ = now;
  if (!scenario_.lively || paused_) return;
  if (round_over_) {
    double wait = static_cast<double>(SettingNumber(config_, "admin.timeBeforeRestartMap", 10));
    if (now - round_over_at_ >= wait) RunNextLevel("");
    return;
  }
  long time_limit = SettingNumber(config_, "admin.timeLimit", 0);
  bool out_of_time = time_limit > 0 && now - round_started_ >= static_cast<double>(time_limit);
  if (tickets_[1] <= 0 || tickets_[2] <= 0 || out_of_time) {
    round_over_ = true;
    round_over_at_ = now;
    int winner = tickets_[1] >= tickets_[2] ? 1 : 2;
    Event(std::string("Round over, ") + kTeamNames[winner] + " win on " + map_.map);
    return;
  }
  if (now - last_step_ >= 1.0) {
    last_step_ = now;
    LivelyStep(now);
  }
}

void Game::LivelyStep(double) {
  LivelyJoin();
  LivelyFight();
  std::uniform_int_distribution<int> chat_roll(0, 11);
  if (!players_.empty() && chat_roll(random_) == 0) LivelyChat();
}

void Game::LivelyJoin() {
  std::uniform_int_distribution<int> roll(0, 99);
  long max_players = scenario_.maxplayers.value_or(SettingNumber(config_, "game.serverMaxPlayers", 32));
  std::size_t target = static_cast<std::size_t>(std::min<long>(12, max_players));
  if (players_.size() < target && roll(random_) < (players_.size() < 4 ? 30 : 6)) {
    const char* name = kNamePool[random_() % std::size(kNamePool)];
    for (const Player& p : players_) {
      if (p.name == name) return;
    }
    Player player;
    player.name = name;
    for (player.id = 1; FindPlayer(player.id) != nullptr; ++player.id) {
    }
    std::uint32_t seed = 0;
    for (char c : player.name) seed = seed * 31 + static_cast<unsigned char>(c);
    std::mt19937 fixed(seed);
    player.keyhash = HexOf(seed, &fixed);
    player.guid = HexOf(seed * 7, &fixed);
    player.address = "198.51.100." + std::to_string(1 + seed % 250);
    player.port = 1024 + static_cast<int>(seed % 60000);
    player.ping = 30 + static_cast<int>(seed % 120);
    int counts[3] = {0, 0, 0};
    for (const Player& p : players_) counts[p.team == 2 ? 2 : 1]++;
    player.team = counts[1] <= counts[2] ? 1 : 2;
    if (IsBanned(player)) {
      Event(player.name + " was refused, banned");
      return;
    }
    players_.push_back(player);
    Event(player.name + " joined " + kTeamNames[player.team]);
  } else if (players_.size() > 3 && roll(random_) < 2) {
    RemovePlayer(players_[random_() % players_.size()].id, "left the game");
  }
}

void Game::LivelyFight() {
  if (players_.size() < 2) return;
  std::uniform_int_distribution<int> roll(0, 99);
  for (int shots = static_cast<int>(players_.size()) / 3; shots >= 0; --shots) {
    Player& killer = players_[random_() % players_.size()];
    Player& victim = players_[random_() % players_.size()];
    if (&killer == &victim || roll(random_) > 40) continue;
    if (killer.team == victim.team) {
      killer.score -= 2;  // team kill
    } else {
      killer.score += 2;
      ++killer.kills;
    }
    ++victim.deaths;
    if (victim.team == 1 || victim.team == 2) --tickets_[victim.team];
  }
  for (Player& p : players_) {
    if (p.bot) continue;
    p.ping = std::clamp(p.ping + static_cast<int>(random_() % 21) - 10, 20, 400);
    if (roll(random_) == 0) p.ping = 550;  // a lag spike
  }
}

void Game::LivelyChat() {
  const Player& speaker = players_[random_() % players_.size()];
  std::uniform_int_distribution<int> roll(0, 7);
  const char* text = roll(random_) == 0 ? kRudePool[random_() % std::size(kRudePool)]
                                        : kChatPool[random_() % std::size(kChatPool)];
  Queue(&said_, "##-- Global " + speaker.name + ": " + text);
  Note("%s: %s", speaker.name.c_str(), text);
}

}  // namespace gamesim
