// The real daemon of a process test, on a server directory of its own, optionally with gamesim.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/process_harness.h"
#include "support/remote_client.h"

namespace gamesimtest {

// korvd.conf of every DaemonRun: a status tick each second, the first one second after the start.
inline constexpr char kFastTicks[] = "[supervision]\nstatus_tick_seconds = 1\n";

// A server directory with gamesim as bf1942_lnxded, free loopback ports and a scenario.
struct GameDir {
  korvtest::TempDir dir;
  int console_port = 0;
  int status_port = 0;
  int game_port = 0;
  std::string settings() const { return dir / "mods/bf1942/settings"; }
  std::string exe() const { return dir / "bf1942_lnxded"; }
  std::string out() const { return dir / "out.txt"; }
  void WriteScenario(const std::string& text) const;
};
// Adds the levels directory, a one-map rotation and a korvane.con for the game, plus `settings`.
void LayOutForDaemon(GameDir* game, const std::string& scenario,
                     const std::map<std::string, std::string>& settings = {});
// Starts it as the daemon does: from the directory, leading a new session.
bool StartGame(const GameDir& game, korvtest::Process* process,
               const std::vector<std::string>& extra_args = {});

// korvd on `game.dir` at a free port; the destructor sends SIGTERM and kills any game left.
struct DaemonRun {
  GameDir game;
  korvtest::Process daemon;
  korvtest::Process server;          // gamesim when the test starts it itself
  int port = 0;
  bool loopback = true;              // passes -ip 127.0.0.1
  bool keep_port = false;            // a further Start listens on the same port
  std::vector<std::string> env;      // NAME=value words for /usr/bin/env

  DaemonRun() = default;
  DaemonRun(const std::string& scenario, const std::map<std::string, std::string>& settings = {},
            const std::string& accounts = "admin,secret,,4294967295,1\n");
  ~DaemonRun();
  std::string dir() const { return game.dir.path(); }
  std::string Settings(const std::string& name) const { return game.settings() + "/" + name; }
  std::string LogPath() const { return game.dir / "korvd.log"; }
  std::string Log() const { return korvtest::ReadFile(LogPath()); }
  std::string Out() const { return game.dir / "korvd-out.txt"; }
  // True once it listens (at once without `listening`).
  ::testing::AssertionResult Start(const std::vector<std::string>& extra = {}, bool listening = true);
  bool Connected() const;
  std::unique_ptr<korvclient::Client> LoggedIn(const std::string& user, const std::string& password);
  korvclient::LoginReply Login(korvclient::Client& client, const std::string& user,
                               const std::string& password, unsigned char version = 0x20) {
    client.Connect(port, 30);
    return client.Login(user, password, version);
  }
  int Ctl(const std::vector<std::string>& words, std::string* output) const;
  // The pids of game servers running from this directory.
  std::vector<int> GamePids() const;
};

}  // namespace gamesimtest
