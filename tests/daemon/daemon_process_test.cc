// The real korvd binary: usage, errors, -kill, a relative path, signals.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "support/gamesim_client.h"
#include "support/process_harness.h"

using namespace korvtest;

namespace {

std::string Korvd() { return BuildPath("korvd"); }

// Refused command lines end the start; a relative -path and a new overlay start, logging there.
TEST(DaemonProcess, CommandLineErrorsMissingInstallationAndRelativePathWithNewOverlay) {
  TempDir dir;
  std::string out;
  EXPECT_EQ(RunToEnd({Korvd(), "-path", "-daemon"}, dir.path(), &out), 1);
  EXPECT_EQ(out, ">>> Error: -path requires an argument!\n");
  EXPECT_EQ(RunToEnd({Korvd(), "-license"}, dir.path(), &out), 0);
  EXPECT_EQ(out, ReadFile(SourcePath("LICENSE")));
  // An unknown option is ignored with a warning, on the terminal and in the log.
  EXPECT_EQ(RunToEnd({Korvd(), "-restrat", "-path", dir.path()}, dir.path(), &out), 1);
  EXPECT_TRUE(Has(out, " : WARNING: Ignored unknown option -restrat.\r\n"));
  EXPECT_TRUE(Has(ReadFile(dir / "korvd.log"), " : WARNING: Ignored unknown option -restrat.\r\n"));
  EXPECT_TRUE(Has(ReadFile(dir / "korvd.log"),
                  "Couldn't find server binary in " + dir.path() +
                      "! Use -path to specify server directory and/or verify bf1942_lnxded "
                      "link exists.\r\n"));
  WriteFile(dir / "bf1942_lnxded", "");
  EXPECT_EQ(RunToEnd({Korvd(), "-path", dir.path()}, dir.path(), &out), 1);
  EXPECT_TRUE(Has(ReadFile(dir / "korvd.log"), "Couldn't detect a valid BF1942 mod folder!"));

  MakeServerDir(dir / "srv");
  std::string overlay = dir / "new-overlay";
  Process korvd;
  ASSERT_TRUE(korvd.Start({Korvd(), "-path", "srv", "-port", std::to_string(FreePort()),
                           "+overlayPath", overlay, "-pid", "nodir/sub/k.pid"},
                          dir.path(), dir / "out.txt"));
  EXPECT_TRUE(WaitForText(overlay + "/logs/korvd.log", "Listening on")) << ReadFile(dir / "out.txt");
  EXPECT_TRUE(std::filesystem::exists(overlay + "/settings/korvane.con"));
  // A pid file's missing directories are not made.
  EXPECT_TRUE(Has(ReadFile(overlay + "/logs/korvd.log"),
                  "Couldn't write PID file to " + dir.path() + "/nodir/sub/k.pid! "));
  EXPECT_FALSE(std::filesystem::exists(dir / "nodir"));
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
  ASSERT_EQ(RunToEnd({Korvd(), "-path", "srv", "-port", port, "+overlayPath", "ov", "-daemon",
                      "-pid", "ov/korvd.pid", "-exitt"},
                     dir.path(), &out),
            0);
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
  EXPECT_TRUE(Has(run.Log(), " : DEBUG: Caught SIGHUP! \r\n"));
  EXPECT_TRUE(Has(run.Log(), " : Caught SIGHUP, reloading korvd.conf and the user accounts.\r\n"));
  EXPECT_TRUE(Has(run.Log(), " : korvd.conf: [supervision] hang_seconds = 60 (was 0), in effect now.\r\n"));
  EXPECT_TRUE(run.daemon.running());
  EXPECT_FALSE(Has(run.Log(), "Exiting"));
  std::string out;
  EXPECT_EQ(RunToEnd({Korvd(), "-kill", "-pid", pid_file}, run.dir(), &out), 0);
  EXPECT_EQ(out, "Sent SIGTERM to pid " + std::to_string(run.daemon.pid()) + ".\n");
  EXPECT_EQ(run.daemon.Wait(std::chrono::seconds(15)), 15);
  EXPECT_TRUE(Has(run.Log(), "DEBUG: Caught SIGTERM! \r\n"));

  // A second daemon on the same port ends with the bind message.
  ASSERT_TRUE(run.Start());
  ASSERT_TRUE(WaitForPort(run.port));
  EXPECT_EQ(RunToEnd({Korvd(), "-path", run.dir(), "-port", std::to_string(run.port)}, run.dir(),
                     &out),
            1);
  EXPECT_TRUE(Has(run.Log(), "Couldn't bind server socket! "));
  korvclient::Client peer;
  ASSERT_TRUE(peer.Connect(run.port));
  ASSERT_TRUE(peer.Send("\x05"));  // the first byte of a length
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  run.daemon.Signal(SIGINT);
  EXPECT_EQ(run.daemon.Wait(std::chrono::seconds(15)), 2);
  EXPECT_FALSE(Has(run.Log(), "timed out"));
  EXPECT_TRUE(Has(run.Log(), "Exiting due to signal (2)."));
}

// A start that cannot bind launches no server; a restart on a TIME-WAIT port listens.
TEST(DaemonProcess, StartThatCannotBindLeavesNoServerAndAQuickRestartListens) {
  gamesimtest::DaemonRun run("");
  run.keep_port = true;
  ASSERT_TRUE(run.Start());
  std::string out;
  EXPECT_EQ(RunToEnd({Korvd(), "-path", run.dir(), "-port", std::to_string(run.port), "-ip",
                      "127.0.0.1", "-start"},
                     run.dir(), &out),
            1);
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

}  // namespace
