// Laying out gamesim and running the daemon for the process tests.
#include "support/gamesim_client.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/korvane_con.h"

namespace gamesimtest {

using korvtest::WriteFile;

void GameDir::WriteScenario(const std::string& text) const {
  WriteFile(dir / "gamesim.scenario", text);
  // Make sure the change is seen even within one clock tick.
  static int bump = 0;
  timespec times[2] = {{0, UTIME_NOW}, {::time(nullptr) + 10 + ++bump, 0}};
  ::utimensat(AT_FDCWD, (dir / "gamesim.scenario").c_str(), times, 0);
}

void LayOutForDaemon(GameDir* game, const std::string& scenario,
                     const std::map<std::string, std::string>& settings) {
  game->console_port = korvtest::FreePort();
  game->status_port = korvtest::FreePort(true);
  game->game_port = korvtest::FreePort(true);
  std::string port = std::to_string(game->game_port), lan = std::to_string(game->status_port);
  std::string console = std::to_string(game->console_port);
  std::filesystem::create_directories(game->dir / "mods/bf1942/archives/bf1942/levels");
  std::filesystem::create_directories(game->settings());
  std::filesystem::copy_file(korvtest::BuildPath("gamesim"), game->exe());
  ::chmod(game->exe().c_str(), 0755);
  WriteFile(game->dir / "mods/bf1942/init.con", "");
  WriteFile(game->settings() + "/serversettings.con",
            "game.serverName \"Test Server\"\ngame.serverIP 127.0.0.1\ngame.serverPort " + port +
                "\ngame.gameSpyLANPort " + lan + "\ngame.serverGameTime 20\ngame.serverSoldierFriendlyFire 50\n");
  WriteFile(game->settings() + "/serverautoexec.con",
            "admin.enableRemoteConsole UserName Sesamine " + console +
                "\nadmin.scoreLimit 40\nadmin.voteMapMajority 0.75\n");
  WriteFile(game->settings() + "/maplist.con",
            "game.setCurrentLevel berlin GPM_CQ bf1942\ngame.addLevel berlin GPM_CQ bf1942\n"
            "game.addLevel el_alamein GPM_CTF bf1942\ngame.addLevel wake GPM_TDM bf1942\n");
  WriteFile(game->settings() + "/banlist.con", "admin.addKeyToBanList 99999999999999999999999999999999 Perm\n");
  game->WriteScenario(scenario);
  WriteFile(game->settings() + "/servermaplist.con", "game.addLevel berlin GPM_CQ bf1942\n");
  std::map<std::string, std::string> values = {
      {"game.serverName", "\"Sim\""},        {"game.serverIP", "127.0.0.1"},
      {"game.serverPort", port},             {"game.gameSpyLANPort", lan},
      {"manager.consolePort", console},      {"manager.consoleUsername", "\"UserName\""},
      {"manager.consolePassword", "\"Sesamine\""}};
  for (const auto& [key, value] : settings) values[key] = value;
  WriteFile(game->settings() + "/korvane.con", korvtest::KorvaneCon(values));
  WriteFile(game->settings() + "/korvd.conf", kFastTicks);
}

bool StartGame(const GameDir& game, korvtest::Process* process, const std::vector<std::string>& extra_args) {
  std::vector<std::string> argv{"/usr/bin/setsid", game.exe(), "+statusMonitor", "0"};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  if (!process->Start(argv, game.dir.path(), game.out())) return false;
  return korvtest::WaitForText(game.out(), "gamesim: serving");
}

DaemonRun::DaemonRun(const std::string& scenario, const std::map<std::string, std::string>& settings,
                     const std::string& accounts) {
  LayOutForDaemon(&game, scenario, settings);
  WriteFile(Settings("useraccess.con"), accounts);
}

DaemonRun::~DaemonRun() {
  // The game goes first: a daemon run with -exit would otherwise give it the 3 s to quit.
  for (int pid : GamePids()) ::kill(pid, SIGKILL);
  daemon.Signal(SIGTERM);
  daemon.Wait(std::chrono::seconds(20));
  for (int pid : GamePids()) ::kill(pid, SIGKILL);
}

::testing::AssertionResult DaemonRun::Start(const std::vector<std::string>& extra, bool listening) {
  korvclient::LoadKey(korvtest::SourcePath("src/remote/client.key"));
  if (!keep_port || port == 0) port = korvtest::FreePort();
  std::vector<std::string> argv;
  if (!env.empty()) argv.push_back("/usr/bin/env");
  argv.insert(argv.end(), env.begin(), env.end());
  argv.insert(argv.end(), {korvtest::BuildPath("korvd"), "-path", dir(), "-port", std::to_string(port)});
  if (loopback) argv.insert(argv.end(), {"-ip", "127.0.0.1"});
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!daemon.Start(argv, dir(), Out())) return ::testing::AssertionFailure() << "no fork";
  if (!listening) return ::testing::AssertionSuccess();
  // A daemon that ended (a port it could not bind) is not waited for.
  korvtest::WaitUntil([&] { return korvtest::Has(Log(), "Listening on ") || !daemon.running(); },
                      std::chrono::seconds(60));
  return korvtest::Has(Log(), "Listening on ") << korvtest::ReadFile(Out());
}

bool DaemonRun::Connected() const {
  return korvtest::WaitForText(LogPath(), " : Connected\r\n", std::chrono::seconds(20));
}

std::unique_ptr<korvclient::Client> DaemonRun::LoggedIn(const std::string& user,
                                                        const std::string& password) {
  auto client = std::make_unique<korvclient::Client>();
  EXPECT_TRUE(client->Connect(port, 30));
  EXPECT_EQ(client->Login(user, password).result, 0) << user;
  return client;
}

int DaemonRun::Ctl(const std::vector<std::string>& words, std::string* output) const {
  return korvtest::RunToEnd(korvtest::KorvctlArgv(port, words), dir(), output);
}

std::vector<int> DaemonRun::GamePids() const {
  std::string pids;
  korvtest::RunToEnd({"/usr/bin/pgrep", "-f", game.exe()}, "/", &pids);
  std::vector<int> found;
  for (std::size_t at = 0; at < pids.size();) {
    std::size_t end = pids.find('\n', at);
    if (int pid = std::atoi(pids.substr(at, end - at).c_str()); pid > 0) found.push_back(pid);
    at = end == std::string::npos ? pids.size() : end + 1;
  }
  return found;
}

}  // namespace gamesimtest
