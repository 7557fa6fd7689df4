// Reading the game's start-up files into one ServerConfig, and rewriting the
// ban files when the bans change while the game runs.
#include "server_files.h"

#include <strings.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "core/files.h"
#include "core/text.h"

namespace gamesim {

bool CaseLess::operator()(const std::string& a, const std::string& b) const {
  return ::strcasecmp(a.c_str(), b.c_str()) < 0;
}

namespace {

enum class Unit { kSame, kMinutesToSeconds, kPercentToFraction };

struct ConsoleRow {
  const char* console_key;
  const char* game_key;  // "" when serversettings.con has no line for it
  const char* default_value;
  Unit unit;
};

// Console keys the game answers, with their values before any file is read.
constexpr std::array<ConsoleRow, 33> kConsoleRows{{
    {"admin.bandwidthChokeLimit", "game.serverBandwidthChokeLimit", "0", Unit::kSame},
    {"admin.maxAllowedConnectionType", "game.serverMaxAllowedConnectionType", "CTLanT1", Unit::kSame},
    {"admin.setNrOfRounds", "game.serverNumberOfRounds", "3", Unit::kSame},
    {"admin.timeLimit", "game.serverGameTime", "0", Unit::kMinutesToSeconds},
    {"admin.scoreLimit", "game.serverScoreLimit", "0", Unit::kSame},
    {"admin.setTicketRatio", "game.serverTicketRatio", "1.00", Unit::kPercentToFraction},
    {"admin.timeToNextWave", "game.serverSpawnTime", "15", Unit::kSame},
    {"admin.spawnWaveTime", "", "5", Unit::kSame},
    {"admin.delayBeforeStartingGame", "game.serverGameStartDelay", "20", Unit::kSame},
    {"physics.gravity", "", "-4", Unit::kSame},
    {"admin.timeBeforeRestartMap", "", "10", Unit::kSame},
    {"admin.soldierFFRatio", "game.serverSoldierFriendlyFire", "1.00", Unit::kPercentToFraction},
    {"admin.soldierFFRatioOnSplash", "game.serverSoldierFriendlyFireOnSplash", "1.00", Unit::kPercentToFraction},
    {"admin.vehicleFFRatio", "game.serverVehicleFriendlyFire", "1.00", Unit::kPercentToFraction},
    {"admin.vehicleFFRatioOnSplash", "game.serverVehicleFriendlyFireOnSplash", "1.00", Unit::kPercentToFraction},
    {"admin.kickback", "game.serverKickback", "0.00", Unit::kSame},
    {"admin.kickbackOnSplash", "game.serverKickbackOnSplash", "0.00", Unit::kSame},
    {"admin.tkPunishMode", "game.serverTKPunishMode", "0", Unit::kSame},
    {"admin.banPlayerOnTKKick", "", "0", Unit::kSame},
    {"admin.nrOfTKToKick", "", "3", Unit::kSame},
    {"admin.spawnDelayPenaltyForTK", "", "0.0", Unit::kSame},
    {"admin.enableKickPlayerVote", "", "1", Unit::kSame},
    {"admin.enableMapVote", "", "1", Unit::kSame},
    {"admin.enableKickTeamPlayerVote", "", "1", Unit::kSame},
    {"admin.autoBalanceTeam", "game.serverAutoBalanceTeams", "0", Unit::kSame},
    {"admin.votingTime", "", "60", Unit::kSame},
    {"admin.voteMapMajority", "", "0.60", Unit::kSame},
    {"admin.voteKickPlayerMajority", "", "0.60", Unit::kSame},
    {"admin.voteKickTeamPlayerMajority", "", "0.60", Unit::kSame},
    {"admin.externalViews", "game.serverExternalViews", "1", Unit::kSame},
    {"admin.allowNoseCam", "game.serverAllowNoseCam", "1", Unit::kSame},
    {"game.enableFreeCamera", "game.serverFreeCamera", "0", Unit::kSame},
    {"admin.crossHairCenterPoint", "game.serverCrosshairCenterpoint", "1", Unit::kSame},
}};

std::string ConvertUnit(const std::string& value, Unit unit) {
  char text[32];
  switch (unit) {
    case Unit::kMinutesToSeconds:
      std::snprintf(text, sizeof text, "%ld", static_cast<long>(ParseLong(value)) * 60);
      return text;
    case Unit::kPercentToFraction:
      std::snprintf(text, sizeof text, "%.2f", static_cast<double>(ParseLong(value)) / 100.0);
      return text;
    case Unit::kSame:
      break;
  }
  return value;
}

// Lines of a file, CR/LF stripped, each at most 1023 characters.
std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return lines;
  std::string line;
  while (ReadLineBounded(file, 1024, &line)) {
    TrimLineEnd(line);
    lines.push_back(line);
  }
  std::fclose(file);
  return lines;
}

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  std::istringstream in{std::string(text)};
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

// Splits "key rest" and removes the quotes around a quoted rest.
void SplitSetting(const std::string& line, std::string* key, std::string* value) {
  std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) return;
  std::size_t end = line.find_first_of(" \t", start);
  *key = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
  std::string rest = end == std::string::npos ? "" : line.substr(end + 1);
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.pop_back();
  while (!rest.empty() && rest.front() == ' ') rest.erase(0, 1);
  if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') rest = rest.substr(1, rest.size() - 2);
  *value = rest;
}

void ReadServerSettings(ServerConfig* config) {
  for (const std::string& line : ReadLines(config->settings_dir + "/serversettings.con")) {
    std::string key, value;
    SplitSetting(line, &key, &value);
    if (key.empty()) continue;
    config->settings[key] = value;
    for (const ConsoleRow& row : kConsoleRows) {
      if (row.game_key[0] != '\0' && ::strcasecmp(row.game_key, key.c_str()) == 0) {
        config->settings[row.console_key] = ConvertUnit(value, row.unit);
      }
    }
  }
}

void ReadAutoexec(ServerConfig* config) {
  for (const std::string& line : ReadLines(config->settings_dir + "/serverautoexec.con")) {
    std::vector<std::string> words = Words(line);
    if (words.empty()) continue;
    const std::string& key = words[0];
    if (::strcasecmp(key.c_str(), "admin.enableRemoteConsole") == 0 && words.size() >= 4) {
      config->console_enabled = true;
      config->console_user = words[1];
      config->console_password = words[2];
      config->console_port = ParseInt(words[3]);
    } else if (::strcasecmp(key.c_str(), "admin.toggleGamePause") == 0) {
      config->start_paused = !config->start_paused;
    } else if (::strcasecmp(key.c_str(), "admin.enableRemoteAdmin") != 0) {
      std::string k, value;
      SplitSetting(line, &k, &value);
      config->settings[k] = value;
    }
  }
}

void ReadMapList(ServerConfig* config) {
  for (const std::string& line : ReadLines(config->settings_dir + "/maplist.con")) {
    std::string key, value;
    SplitSetting(line, &key, &value);
    std::optional<MapCombo> combo = ParseMapCombo(value);
    if (!combo) continue;
    if (::strcasecmp(key.c_str(), "game.addLevel") == 0) {
      config->rotation.push_back(*combo);
    } else if (::strcasecmp(key.c_str(), "game.setCurrentLevel") == 0 && !config->current_level) {
      config->current_level = combo;
    }
  }
}

void ReadBans(ServerConfig* config) {
  for (const std::string& line : ReadLines(config->settings_dir + "/banlist.con")) {
    std::vector<std::string> words = Words(line);
    if (words.size() < 2) continue;
    if (::strcasecmp(words[0].c_str(), "admin.addAddressToBanList") == 0) {
      config->bans.addresses.push_back(words[1].substr(0, words[1].find(':')));
    } else if (::strcasecmp(words[0].c_str(), "admin.addKeyToBanList") == 0) {
      config->bans.keys.push_back(words[1]);
    }
  }
  for (const std::string& line : ReadLines(config->server_dir + "/pb/pbbans.dat")) {
    for (const std::string& word : Words(line)) {
      if (word.size() == 32) {
        config->bans.guids.push_back(word);
        break;
      }
    }
  }
}

}  // namespace

std::optional<MapCombo> ParseMapCombo(std::string_view text) {
  std::vector<std::string> words = Words(text);
  if (words.empty()) return std::nullopt;
  MapCombo combo{words[0], words.size() > 1 ? words[1] : "GPM_CQ",
                 words.size() > 2 ? words[2] : "bf1942"};
  return combo;
}

ServerConfig LoadServerConfig(const std::string& server_dir, const std::string& settings_dir) {
  ServerConfig config;
  config.server_dir = server_dir;
  config.settings_dir = settings_dir;
  for (const ConsoleRow& row : kConsoleRows) config.settings[row.console_key] = row.default_value;
  ReadServerSettings(&config);
  ReadAutoexec(&config);
  ReadMapList(&config);
  ReadBans(&config);
  return config;
}

long SettingNumber(const ServerConfig& config, const std::string& key, long fallback) {
  auto it = config.settings.find(key);
  return it == config.settings.end() ? fallback : static_cast<long>(ParseLong(it->second));
}

std::string SettingText(const ServerConfig& config, const std::string& key,
                        const std::string& fallback) {
  auto it = config.settings.find(key);
  return it == config.settings.end() ? fallback : it->second;
}

bool WriteBanList(const ServerConfig& config) {
  std::string text;
  for (const std::string& a : config.bans.addresses) text += "admin.addAddressToBanList " + a + ":0 Perm\n";
  for (const std::string& k : config.bans.keys) text += "admin.addKeyToBanList " + k + " Perm\n";
  return ReplaceFileContents(config.settings_dir + "/banlist.con", text);
}

bool WritePunkBusterBans(const ServerConfig& config) {
  std::time_t now = std::time(nullptr);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "[%m.%d.%Y %H.%M.%S]", std::localtime(&now));
  std::string text;
  for (const std::string& g : config.bans.guids) text += std::string(stamp) + " " + g + " \"\" \"\" \r\n\r\n";
  CreateFileWithDirs(config.server_dir + "/pb/pbbans.dat", 1);
  return ReplaceFileContents(config.server_dir + "/pb/pbbans.dat", text);
}

}  // namespace gamesim
