// The real korvd binary: usage, errors, -kill, a first start's files, the log, signals.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "support/gamesim_client.h"
#include "support/process_harness.h"

using namespace korvtest;

namespace {

std::string Korvd() { return BuildPath("korvd"); }

TEST(DaemonProcess, UsageAndCommandLineErrors) {
  TempDir dir;
  std::string out;
  EXPECT_EQ(RunToEnd({Korvd(), "-?"}, dir.path(), &out), 0);
  EXPECT_EQ(out.rfind("Korvane v2.0 beta 4g\n\nUsage: korvd", 0), 0u);
  EXPECT_EQ(RunToEnd({Korvd(), "-path", "-daemon"}, dir.path(), &out), 1);
  EXPECT_EQ(out, ">>> Error: -path requires an argument!\n");
  EXPECT_EQ(RunToEnd({Korvd(), "-license"}, dir.path(), &out), 0);
  EXPECT_EQ(out, ReadFile(SourcePath("LICENSE")));
}

TEST(DaemonProcess, MissingInstallationEndsTheStart) {
  TempDir dir;
  std::string out;
  EXPECT_EQ(RunToEnd({Korvd(), "-path", dir.path()}, dir.path(), &out), 1);
  EXPECT_TRUE(Has(ReadFile(dir / "korvd.log"),
                  "Couldn't find server binary in " + dir.path() +
                      "! Use -path to specify server directory and/or verify bf1942_lnxded "
                      "link exists.\r\n"));
  WriteFile(dir / "bf1942_lnxded", "");
  EXPECT_EQ(RunToEnd({Korvd(), "-path", dir.path()}, dir.path(), &out), 1);
  EXPECT_TRUE(Has(ReadFile(dir / "korvd.log"), "Couldn't detect a valid BF1942 mod folder!"));
}

TEST(DaemonProcess, FirstStartCreatesFilesAndEndsOnSigterm) {
  gamesimtest::DaemonRun run;
  run.loopback = false;
  MakeServerDir(run.dir());
  WriteFile(run.Settings("kicklist.con"), "old kicks\n");
  WriteFile(run.Settings("serversettings.con"), "stale\n");
  ASSERT_TRUE(run.Start({"-pid", run.dir() + "/k.pid"}));
  EXPECT_TRUE(Has(run.Log(), "Listening on 0.0.0.0:" + std::to_string(run.port)));
  for (const char* name :
       {"korvane.con", "servermaplist.con", "serversettings.con", "serverautoexec.con",
        "banlist.con", "serverbanlist.con", "useraccess.con", "serverschedule.con",
        "announcements.con", "bannedwords.con", "maps.con", "mods.con"}) {
    EXPECT_TRUE(std::filesystem::exists(run.Settings(name))) << name;
  }
  EXPECT_TRUE(std::filesystem::exists(run.dir() + "/pb/pbbans.dat"));
  EXPECT_EQ(ReadFile(run.Settings("playermenu.con")), "Kick|kick\nBan|ban\n");
  EXPECT_EQ(ReadFile(run.Settings("serversettings.con")), "");
  EXPECT_FALSE(std::filesystem::exists(run.Settings("kicklist.con")));
  EXPECT_EQ(ReadFile(run.dir() + "/k.pid"), std::to_string(run.daemon.pid()));
  std::string log = run.Log();
  EXPECT_TRUE(Has(log, " : Korvane v2.0 beta 4g\r\n"));
  EXPECT_TRUE(Has(log, " : Started under Linux "));
  EXPECT_TRUE(Has(log, "WARNING: PunkBuster is not installed on this server."));
  EXPECT_TRUE(Has(ReadFile(run.Out()), "Listening on"));

  run.daemon.Signal(SIGTERM);
  EXPECT_EQ(run.daemon.Wait(std::chrono::seconds(15)), 15);
  log = run.Log();
  std::size_t exiting = log.find("Exiting due to signal (15).\r\n");
  ASSERT_NE(exiting, std::string::npos);
  EXPECT_NE(log.find(" : Exited\r\n", exiting), std::string::npos);
}

// A relative -path and a new overlay: the log is in its logs folder from the first run.
TEST(DaemonProcess, RelativePathAndNewOverlayPath) {
  TempDir dir;
  MakeServerDir(dir / "srv");
  std::string overlay = dir / "new-overlay";
  Process korvd;
  ASSERT_TRUE(korvd.Start({Korvd(), "-path", "srv", "-port", std::to_string(FreePort()),
                           "+overlayPath", overlay},
                          dir.path(), dir / "out.txt"));
  EXPECT_TRUE(WaitForText(overlay + "/logs/korvd.log", "Listening on")) << ReadFile(dir / "out.txt");
  EXPECT_TRUE(std::filesystem::exists(overlay + "/settings/korvane.con"));
}

// SIGHUP is caught and the daemon goes on; -kill then ends it with SIGTERM.
TEST(DaemonProcess, SighupKeepsItRunningAndKillSendsSigterm) {
  gamesimtest::DaemonRun run;
  MakeServerDir(run.dir());
  std::string pid_file = run.dir() + "/korvd.pid";
  ASSERT_TRUE(run.Start({"-pid", pid_file, "-debug"}));
  run.daemon.Signal(SIGHUP);
  ASSERT_TRUE(WaitForText(run.LogPath(), "DEBUG: Caught SIGHUP!"));
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
}

}  // namespace
