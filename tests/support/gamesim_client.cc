// Laying out and starting gamesim as a game server for the process tests.
#include "support/gamesim_client.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/korvane_con.h"

namespace gamesimtest {

void GameDir::WriteScenario(const std::string& text) const {
  korvtest::WriteFile(dir / "gamesim.scenario", text);
  // Make sure the change is seen even within one clock tick.
  static int bump = 0;
  timespec times[2] = {{0, UTIME_NOW}, {::time(nullptr) + 10 + ++bump, 0}};
  ::utimensat(AT_FDCWD, (dir / "gamesim.scenario").c_str(), times, 0);
}

void LayOut(GameDir* game, const std::string& scenario, const std::string& extra_settings) {
  game->console_port = korvtest::FreePort();
  game->status_port = korvtest::FreePort(true);
  game->game_port = korvtest::FreePort(true);
  std::filesystem::create_directories(game->settings());
  std::filesystem::copy_file(korvtest::BuildPath("gamesim"), game->exe());
  ::chmod(game->exe().c_str(), 0755);
  korvtest::WriteFile(game->dir / "mods/bf1942/init.con", "");
  korvtest::WriteFile(game->settings() + "/serversettings.con",
                      "game.serverName \"Test Server\"\ngame.serverIP 127.0.0.1\ngame.serverPort " +
                          std::to_string(game->game_port) + "\ngame.gameSpyLANPort " +
                          std::to_string(game->status_port) +
                          "\ngame.serverGameTime 20\ngame.serverSoldierFriendlyFire 50\n" + extra_settings);
  korvtest::WriteFile(game->settings() + "/serverautoexec.con",
                      "admin.enableRemoteConsole UserName Sesamine " + std::to_string(game->console_port) +
                          "\nadmin.scoreLimit 40\nadmin.voteMapMajority 0.75\n");
  korvtest::WriteFile(game->settings() + "/maplist.con",
                      "game.setCurrentLevel berlin GPM_CQ bf1942\ngame.addLevel berlin GPM_CQ bf1942\n"
                      "game.addLevel el_alamein GPM_CTF bf1942\ngame.addLevel wake GPM_TDM bf1942\n");
  korvtest::WriteFile(game->settings() + "/banlist.con", "admin.addKeyToBanList 99999999999999999999999999999999 Perm\n");
  game->WriteScenario(scenario);
}

void LayOutForDaemon(GameDir* game, const std::string& scenario,
                     const std::map<std::string, std::string>& settings) {
  LayOut(game, scenario);
  std::filesystem::create_directories(game->dir / "mods/bf1942/archives/bf1942/levels");
  korvtest::WriteFile(game->settings() + "/servermaplist.con", "game.addLevel berlin GPM_CQ bf1942\n");
  std::map<std::string, std::string> values = {
      {"game.serverName", "\"Sim\""},
      {"game.serverIP", "127.0.0.1"},
      {"game.serverPort", std::to_string(game->game_port)},
      {"game.gameSpyLANPort", std::to_string(game->status_port)},
      {"manager.consolePort", std::to_string(game->console_port)},
      {"manager.consoleUsername", "\"UserName\""},
      {"manager.consolePassword", "\"Sesamine\""}};
  for (const auto& [key, value] : settings) values[key] = value;
  korvtest::WriteFile(game->settings() + "/korvane.con", korvtest::KorvaneCon(values));
}

bool StartGame(const GameDir& game, korvtest::Process* process, const std::vector<std::string>& extra_args) {
  std::vector<std::string> argv{"/usr/bin/setsid", game.exe(), "+statusMonitor", "0"};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  if (!process->Start(argv, game.dir.path(), game.out())) return false;
  return korvtest::WaitForText(game.out(), "gamesim: serving");
}

}  // namespace gamesimtest
