// The real korvd binary: usage, errors, -kill, a relative path, signals, the -t check.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "support/gamesim_client.h"
#include "support/korvane_con.h"
#include "support/process_harness.h"

using namespace korvtest;
namespace fs = std::filesystem;

namespace {

std::string Korvd() { return BuildPath("korvd"); }

// Refused command lines end the start; a relative -path and a new overlay start, logging there.
TEST(DaemonProcess, CommandLineErrorsMissingInstallationAndRelativePathWithNewOverlay) {
  TempDir dir;
  std::string out;
  EXPECT_EQ(std::pair(RunToEnd({Korvd(), "-path", "-daemon"}, dir.path(), &out), out),
            std::pair(1, std::string(">>> Error: -path requires an argument!\n")));
  EXPECT_EQ(std::pair(RunToEnd({Korvd(), "-license"}, dir.path(), &out), out), std::pair(0, ReadFile(SourcePath("LICENSE"))));
  // An unknown option is ignored with a warning, on the terminal and in the log.
  EXPECT_EQ(RunToEnd({Korvd(), "-restrat", "-path", dir.path()}, dir.path(), &out), 1);
  for (const std::string& text : {out, ReadFile(dir / "korvd.log")})
    EXPECT_TRUE(Has(text, " : WARNING: Ignored unknown option -restrat.\r\n"));
  EXPECT_TRUE(Has(ReadFile(dir / "korvd.log"), "Couldn't find server binary in " + dir.path() +
                                                   "! Use -path to specify server directory and/or verify bf1942_lnxded "
                                                   "link exists.\r\n"));
  WriteFile(dir / "bf1942_lnxded", "");
  EXPECT_EQ(RunToEnd({Korvd(), "-path", dir.path()}, dir.path(), &out), 1);
  EXPECT_TRUE(Has(ReadFile(dir / "korvd.log"), "Couldn't detect a valid BF1942 mod folder!"));

  MakeServerDir(dir / "srv");
  std::string overlay = dir / "new-overlay";
  Process korvd;
  ASSERT_TRUE(korvd.Start({Korvd(), "-path", "srv", "-port", std::to_string(FreePort()), "+overlayPath", overlay, "-pid",
                           "nodir/sub/k.pid"}, dir.path(), dir / "out.txt"));
  EXPECT_TRUE(WaitForText(overlay + "/logs/korvd.log", "Listening on")) << ReadFile(dir / "out.txt");
  EXPECT_TRUE(std::filesystem::exists(overlay + "/settings/korvane.con"));
  // A pid file's missing directories are not made.
  EXPECT_TRUE(Has(ReadFile(overlay + "/logs/korvd.log"), "Couldn't write PID file to " + dir.path() + "/nodir/sub/k.pid! "));
  EXPECT_FALSE(std::filesystem::exists(dir / "nodir"));
}

// A port handed to a daemon is taken by no outgoing connection (the kernel's ephemeral range)
// and by no other test process (a second checkout's suite included) before the daemon binds it.
TEST(DaemonProcess, PickedPortsStayOutOfTheEphemeralRangeAndApartBetweenProcesses) {
  const int lowest = std::stoi(ReadFile("/proc/sys/net/ipv4/ip_local_port_range"));
  std::set<int> mine;
  for (int i = 0; i < 40; ++i) mine.insert(FreePort(i % 2 == 1));
  EXPECT_EQ(mine.size(), 40u);
  EXPECT_LT(*mine.rbegin(), lowest);
  pid_t child = ::fork();
  if (child == 0) {
    int taken = 0;
    for (int i = 0; i < 200; ++i) taken += static_cast<int>(mine.count(FreePort()));
    ::_exit(taken);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
}

// The pids of the korvd processes whose command line holds `word`.
std::vector<pid_t> KorvdPidsWith(const std::string& word) {
  std::vector<pid_t> pids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string cmdline = ReadFile(entry.path() / "cmdline");
    if (Has(cmdline, Korvd() + '\0') && Has(cmdline, '\0' + word + '\0'))
      pids.push_back(std::atoi(entry.path().filename().c_str()));
  }
  return pids;
}

TEST(DaemonProcess, RelativeOverlayAndPidFileHoldAfterDetaching) {
  TempDir dir;
  MakeServerDir(dir / "srv");
  std::string port = std::to_string(FreePort());
  std::string out;
  ASSERT_EQ(RunToEnd({Korvd(), "-path", "srv", "-port", port, "+overlayPath", "ov", "-daemon", "-pid", "ov/korvd.pid",
                      "-exitt"}, dir.path(), &out), 0);
  EXPECT_EQ(out, "WARNING: Ignored unknown option -exitt.\n");
  EXPECT_TRUE(WaitForPort(std::stoi(port)));
  EXPECT_TRUE(WaitForText(dir / "ov/logs/korvd.log", "Listening on"));
  EXPECT_TRUE(Has(ReadFile(dir / "ov/logs/korvd.log"), " : WARNING: Ignored unknown option -exitt."));
  std::vector<pid_t> daemons = KorvdPidsWith(port);
  ASSERT_EQ(daemons.size(), 1u);
  EXPECT_EQ(ReadFile(dir / "ov/korvd.pid"), std::to_string(daemons[0]));
  EXPECT_TRUE(std::filesystem::exists(dir / "ov/settings/useraccess.con"));
  ::kill(daemons[0], SIGTERM);
  EXPECT_TRUE(WaitForText(dir / "ov/logs/korvd.log", "Exited"));
  for (pid_t pid : KorvdPidsWith(port)) ::kill(pid, SIGKILL);
  EXPECT_FALSE(std::filesystem::exists(dir / "srv/ov"));
}

// SIGHUP reloads and goes on; -kill sends SIGTERM; SIGINT ends a wait on a byte-by-byte login.
TEST(DaemonProcess, SighupKeepsItRunningKillSendsSigtermAndSigintEndsTheWaitOnAPeer) {
  gamesimtest::DaemonRun run;
  MakeServerDir(run.dir());
  std::string pid_file = run.dir() + "/korvd.pid";
  ASSERT_TRUE(run.Start({"-pid", pid_file, "-debug"}));
  WriteFile(run.Settings("korvd.conf"), "[supervision]\nhang_seconds = 60\n");
  run.daemon.Signal(SIGHUP);
  ASSERT_TRUE(WaitForText(run.LogPath(), " : Reloaded user file.\r\n"));
  for (const char* line : {" : DEBUG: Caught SIGHUP! \r\n", " : Caught SIGHUP, reloading korvd.conf and the user accounts.\r\n",
                           " : korvd.conf: [supervision] hang_seconds = 60 (was 0), in effect now.\r\n"})
    EXPECT_TRUE(Has(run.Log(), line)) << line;
  EXPECT_TRUE(run.daemon.running() && !Has(run.Log(), "Exiting"));
  std::string out;
  EXPECT_EQ(RunToEnd({Korvd(), "-kill", "-pid", pid_file}, run.dir(), &out), 0);
  EXPECT_EQ(out, "Sent SIGTERM to pid " + std::to_string(run.daemon.pid()) + ".\n");
  EXPECT_EQ(run.daemon.Wait(std::chrono::seconds(15)), 15);
  EXPECT_TRUE(Has(run.Log(), "DEBUG: Caught SIGTERM! \r\n"));

  // A second daemon on the same port ends with the bind message.
  ASSERT_TRUE(run.Start());
  ASSERT_TRUE(WaitForPort(run.port));
  EXPECT_EQ(RunToEnd({Korvd(), "-path", run.dir(), "-port", std::to_string(run.port)}, run.dir(), &out), 1);
  EXPECT_TRUE(Has(run.Log(), "Couldn't bind server socket! "));
  korvclient::Client peer;
  ASSERT_TRUE(peer.Connect(run.port));
  ASSERT_TRUE(peer.Send("\x05"));  // the first byte of a length
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  run.daemon.Signal(SIGINT);
  EXPECT_EQ(run.daemon.Wait(std::chrono::seconds(15)), 2);
  EXPECT_TRUE(!Has(run.Log(), "timed out") && Has(run.Log(), "Exiting due to signal (2).")) << run.Log();
}

// A start that cannot bind launches no server; a restart on a TIME-WAIT port listens.
TEST(DaemonProcess, StartThatCannotBindLeavesNoServerAndAQuickRestartListens) {
  gamesimtest::DaemonRun run("");
  run.keep_port = true;
  ASSERT_TRUE(run.Start());
  std::string out;
  EXPECT_EQ(RunToEnd({Korvd(), "-path", run.dir(), "-port", std::to_string(run.port), "-ip", "127.0.0.1", "-start"},
                     run.dir(), &out), 1);
  EXPECT_TRUE(Has(out, " : Couldn't bind server socket! Address already in use"));
  EXPECT_EQ(run.GamePids(), std::vector<int>{}) << out;
  {
    korvclient::Client refused;  // the daemon ends this connection itself
    EXPECT_NE(run.Login(refused, "admin", "wrong").result, 0);
  }
  run.daemon.Signal(SIGTERM);
  ASSERT_EQ(run.daemon.Wait(std::chrono::seconds(15)), 15);
  ASSERT_TRUE(run.Start({"-start", "-exit"}, false));
  EXPECT_TRUE(WaitForPort(run.port)) << run.Log();
  EXPECT_TRUE(WaitForText(run.LogPath(), " : Server started\r\n")) << run.Log();
}

TEST(DaemonProcess, SigtermEndsTheDaemonWhileAClientKeepsSending) {
  gamesimtest::DaemonRun run;
  MakeServerDir(run.dir());
  WriteFile(run.Settings("useraccess.con"), "admin,secret,,4294967295,1\n");
  ASSERT_TRUE(run.Start());
  auto admin = run.LoggedIn("admin", "secret");
  auto quitter = run.LoggedIn("admin", "secret");  // hangs up on the disconnect notice
  ASSERT_TRUE(admin && quitter);
  const std::string gone = "Client at " + quitter->Address() + " has disconnected.";
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    const std::string keep_alive = korvclient::U32(kClientKeepAlive);
    for (int i = 0; !stop; ++i) {
      if (!admin->Send(keep_alive.substr(i % 4, 1))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  run.daemon.Signal(SIGTERM);
  EXPECT_TRUE(quitter->WaitNotification(kNotifyDisconnect));
  quitter->Close();
  // The client that still talks is neither answered nor let go before the deadline.
  EXPECT_TRUE(admin->WaitNotification(kNotifyDisconnect));
  pollfd entry{admin->fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&entry, 1, 1000), 0);
  int status = run.daemon.Wait(std::chrono::seconds(30));
  stop = true;
  trickle.join();
  EXPECT_EQ(status, 15);
  // The client that hung up is let go at once, not held until the leave's deadline.
  std::string log = run.Log();
  EXPECT_LT(log.find(gone), log.find("Exited"));
  EXPECT_NE(log.find("Exited"), std::string::npos);
}

// Every entry below `dir` with its kind, mode and contents.
std::string Snapshot(const std::string& dir) {
  std::string out;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    struct stat info {};
    ::lstat(entry.path().c_str(), &info);
    out += entry.path().string() + " " + std::to_string(info.st_mode) + "\n";
    if (S_ISREG(info.st_mode)) out += ReadFile(entry.path()) + "\n";
  }
  return out;
}

// Each broken file fails the check with its message; the check writes nothing at all.
TEST(ConfigCheckProcess, BrokenFilesFailWithTheirMessageAndNothingIsWritten) {
  TempDir dir;
  std::string srv = dir / "srv";
  MakeServerDir(srv);
  std::string settings = srv + "/mods/bf1942/settings";
  WriteFile(settings + "/korvane.con", KorvaneCon({}));
  WriteFile(settings + "/useraccess.con", "admin,secret,*,4294967295,1\n");
  WriteFile(settings + "/serverschedule.con", "100 start * *\n100 stop * *\n");
  WriteFile(settings + "/korvd.conf", "[supervision]\nhang_seconds = 60\n");
  WriteFile(settings + "/serverbanlist.con", "\"Bob\",1.2.3.4,*,*,\"admin\",100,0,reason\n\n");
  std::vector<std::string> check{BuildPath("korvd"), "-t", "-path", srv, "-start", "-restrat"};
  std::string out;
  std::string before = Snapshot(dir.path());
  // The defaults' empty texts are filled in at every start: no fault.
  EXPECT_EQ(RunToEnd(check, dir.path(), &out), 0) << out;
  EXPECT_TRUE(Has(out, "Invalid value detected for setting game.serverName, using default BFSERVER.\n"));
  EXPECT_TRUE(Has(out, "WARNING: Ignored unknown option -restrat.\n"));
  EXPECT_TRUE(out.ends_with("Configuration check of " + settings + ": no problems found.\n"));
  EXPECT_EQ(Snapshot(dir.path()), before);

  auto replace_by_dir = [](const std::string& path) { fs::remove(path), fs::create_directory(path); };
  struct Fault {
    std::string file;
    std::function<void(const std::string& path)> make;
    std::string message;
  };
  auto remove = [](const std::string& path) { fs::remove(path); };
  const std::vector<Fault> faults{
      {"../../../bf1942_lnxded", remove, "Couldn't find server binary in " + srv + "! "},
      {"../init.con", remove, "Couldn't detect a valid BF1942 mod folder!\n"},
      {"korvane.con", [&](const std::string& path) { WriteFile(path, KorvaneCon({{"game.serverPort", "80"}})); },
       "Invalid value of 80 detected for setting game.serverPort, using default 14567.\n"},
      {"korvane.con", replace_by_dir, "Couldn't open settings file! "},
      {"useraccess.con", replace_by_dir, "Couldn't open user access file! "},
      {"serverschedule.con", replace_by_dir, "Couldn't open event schedule file! "},
      {"korvd.conf", [](const std::string& path) { WriteFile(path, "[log]\nkeep = 1\n"); },
       "WARNING: korvd.conf: unknown setting [log] keep ignored.\n"},
      {"banlist.con", [](const std::string& path) { fs::create_symlink(path, path); },
       "Couldn't read " + settings + "/banlist.con! "},
      {"serverbanlist.con", [](const std::string& path) { WriteFile(path, "\n\"Bob\",1.2\n"); },
       "WARNING: " + settings + "/serverbanlist.con line 2 is no ban row; the ban lists pass over it.\n"},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.message);
    std::string path = settings + "/" + fault.file;
    std::string good = ReadFile(path);
    fault.make(path);
    before = Snapshot(dir.path());
    EXPECT_EQ(RunToEnd(check, dir.path(), &out), 1);
    EXPECT_TRUE(Has(out, fault.message)) << out;
    EXPECT_TRUE(Has(out, "Configuration check of " + settings + ": ") && out.ends_with(" problem(s) found.\n")) << out;
    EXPECT_EQ(Snapshot(dir.path()), before);
    fs::remove_all(path);
    WriteFile(path, good);
  }

  // A first start's empty directory is no fault: the start makes the files.
  fs::remove_all(settings);
  fs::create_directory(settings);
  before = Snapshot(dir.path());
  EXPECT_EQ(RunToEnd(check, dir.path(), &out), 0);
  EXPECT_EQ(Snapshot(dir.path()), before);
}

}  // namespace
