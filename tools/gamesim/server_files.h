// What the game server reads at start: the settings directory's
// serversettings.con, serverautoexec.con, maplist.con and banlist.con, and
// PunkBuster's ban file; and the writers for the ban files it keeps.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gamesim {

// Orders keys without regard to case, as the game's console does.
struct CaseLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

struct MapCombo {
  std::string map;
  std::string mode;  // GPM_CQ, GPM_CTF, ...
  std::string mod;
  std::string Text() const { return map + " " + mode + " " + mod; }
};
// "map mode mod" with the mode and mod defaulting to GPM_CQ and bf1942.
std::optional<MapCombo> ParseMapCombo(std::string_view text);

struct BanLists {
  std::vector<std::string> addresses;
  std::vector<std::string> keys;
  std::vector<std::string> guids;
};

struct ServerConfig {
  std::string server_dir;
  std::string settings_dir;
  // Every key of the two settings files and the console keys, with the
  // value as text (quotes removed), in console units.
  std::map<std::string, std::string, CaseLess> settings;
  bool console_enabled = false;
  std::string console_user;
  std::string console_password;
  int console_port = 0;
  bool start_paused = false;
  std::vector<MapCombo> rotation;
  std::optional<MapCombo> current_level;
  BanLists bans;
};

// Reads the files; missing files leave the defaults in place.
ServerConfig LoadServerConfig(const std::string& server_dir, const std::string& settings_dir);

// A setting as a number (atoi rules) or `fallback` when absent.
long SettingNumber(const ServerConfig& config, const std::string& key, long fallback);
std::string SettingText(const ServerConfig& config, const std::string& key,
                        const std::string& fallback);

// Rewrites banlist.con and pb/pbbans.dat from the lists (atomically).
bool WriteBanList(const ServerConfig& config);
bool WritePunkBusterBans(const ServerConfig& config);

}  // namespace gamesim
