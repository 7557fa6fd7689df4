// The simulated game: players, map rotation, round flow, bans and the
// console commands that act on them, plus the key/value pairs that the
// status port reports.
#pragma once

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "scenario.h"
#include "server_files.h"

namespace gamesim {

using StatusPairs = std::vector<std::pair<std::string, std::string>>;

class Game {
 public:
  Game(ServerConfig config, double now);

  // Takes over what a scenario (re)read says; `now` is seconds since start.
  void ApplyScenario(const Scenario& scenario, double now);

  // Runs one console command line and returns its output lines.
  std::vector<std::string> RunCommand(const std::string& line);
  // Chat and event strings ("##--...") waiting for the next console answer.
  std::vector<std::string> TakeSaid();
  // PunkBuster's output, printed after its command returned.
  std::vector<std::string> TakeLaterOutput();

  // One simulation step: lively activity and the round's end.
  void Tick(double now);

  // Server keys, and with `players` the per-player keys, in report order.
  StatusPairs Status(bool players) const;

  bool quit_requested() const { return quit_requested_; }
  const Faults& faults() const { return scenario_.faults; }
  int segment_size() const { return scenario_.segment_size; }
  const ServerConfig& config() const { return config_; }
  const std::vector<Player>& players() const { return players_; }

 private:
  using Handler = std::vector<std::string> (Game::*)(const std::string& args);
  struct CommandRow {
    const char* name;
    Handler handler;
  };
  static const CommandRow kCommands[];

  std::vector<std::string> ListPlayers(const std::string& args);
  std::vector<std::string> Kick(const std::string& args);
  std::vector<std::string> BanById(const std::string& args);
  std::vector<std::string> BanKeyById(const std::string& args);
  std::vector<std::string> AddAddressBan(const std::string& args);
  std::vector<std::string> AddKeyBan(const std::string& args);
  std::vector<std::string> RemoveAddressBan(const std::string& args);
  std::vector<std::string> RemoveKeyBan(const std::string& args);
  std::vector<std::string> ClearBans(const std::string& args);
  std::vector<std::string> ListBans(const std::string& args);
  std::vector<std::string> ChangeMap(const std::string& args);
  std::vector<std::string> SetNextLevel(const std::string& args);
  std::vector<std::string> RunNextLevel(const std::string& args);
  std::vector<std::string> RestartMap(const std::string& args);
  std::vector<std::string> TogglePause(const std::string& args);
  std::vector<std::string> ServerMessage(const std::string& args);
  std::vector<std::string> SayAll(const std::string& args);
  std::vector<std::string> Quit(const std::string& args);
  std::vector<std::string> PbPlayerList(const std::string& args);
  std::vector<std::string> PbVersion(const std::string& args);
  std::vector<std::string> PbKick(const std::string& args);
  std::vector<std::string> PbBanGuid(const std::string& args);
  std::vector<std::string> PbUnbanGuid(const std::string& args);
  std::vector<std::string> PbBanEmpty(const std::string& args);
  std::vector<std::string> PbScreenshot(const std::string& args);
  std::vector<std::string> PbWriteConfig(const std::string& args);
  std::vector<std::string> PbLoadConfig(const std::string& args);
  std::vector<std::string> Setting(const std::string& key, const std::string& args);

  Player* FindPlayer(int id);
  bool IsBanned(const Player& player) const;
  void RemovePlayer(int id, const std::string& why);
  void Event(const std::string& text);
  void StartRound(const MapCombo& map, double now);
  void BalanceTeams();
  bool PunkBusterOn() const;
  void LivelyStep(double now);
  void LivelyJoin();
  void LivelyFight();
  void LivelyChat();

  ServerConfig config_;
  Scenario scenario_;
  std::vector<Player> players_;
  std::vector<std::string> said_;
  std::vector<std::string> later_output_;
  MapCombo map_;
  std::optional<MapCombo> next_map_;
  std::size_t rotation_index_ = 0;
  bool paused_ = false;
  bool round_over_ = false;
  double round_started_ = 0;
  double round_over_at_ = 0;
  double last_step_ = 0;
  double now_ = 0;
  int tickets_[3] = {0, 0, 0};
  bool quit_requested_ = false;
  std::mt19937 random_;
};

}  // namespace gamesim
