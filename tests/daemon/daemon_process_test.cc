// The real korvd binary: usage and errors, -kill, a first start's files,
// the log, and ending on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

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
  TempDir dir;
  std::string server = dir / "server";
  MakeServerDir(server);
  std::string settings = server + "/mods/bf1942/settings";
  WriteFile(settings + "/kicklist.con", "old kicks\n");
  WriteFile(settings + "/serversettings.con", "stale\n");
  int port = FreePort();
  Process korvd;
  ASSERT_TRUE(korvd.Start({Korvd(), "-path", server, "-port", std::to_string(port), "-pid",
                           dir / "k.pid"},
                          dir.path(), dir / "out.txt"));
  ASSERT_TRUE(WaitForText(server + "/korvd.log", "Listening on 0.0.0.0:" + std::to_string(port)));
  for (const char* name :
       {"korvane.con", "servermaplist.con", "serversettings.con", "serverautoexec.con",
        "banlist.con", "serverbanlist.con", "useraccess.con", "serverschedule.con",
        "announcements.con", "bannedwords.con", "maps.con", "mods.con"}) {
    EXPECT_TRUE(std::filesystem::exists(settings + "/" + name)) << name;
  }
  EXPECT_TRUE(std::filesystem::exists(server + "/pb/pbbans.dat"));
  EXPECT_EQ(ReadFile(settings + "/playermenu.con"), "Kick|kick\nBan|ban\n");
  EXPECT_EQ(ReadFile(settings + "/serversettings.con"), "");
  EXPECT_FALSE(std::filesystem::exists(settings + "/kicklist.con"));
  EXPECT_EQ(ReadFile(dir / "k.pid"), std::to_string(korvd.pid()));
  std::string log = ReadFile(server + "/korvd.log");
  EXPECT_TRUE(Has(log, " : Korvane v2.0 beta 4g\r\n"));
  EXPECT_TRUE(Has(log, " : Started under Linux "));
  EXPECT_TRUE(Has(log, "WARNING: PunkBuster is not installed on this server."));
  // The foreground echo carries the same lines.
  EXPECT_TRUE(Has(ReadFile(dir / "out.txt"), "Listening on"));

  korvd.Signal(SIGTERM);
  EXPECT_EQ(korvd.Wait(std::chrono::seconds(15)), 15);
  log = ReadFile(server + "/korvd.log");
  std::size_t exiting = log.find("Exiting due to signal (15).\r\n");
  ASSERT_NE(exiting, std::string::npos);
  EXPECT_NE(log.find(" : Exited\r\n", exiting), std::string::npos);
}

// A relative -path and a new overlay: the log is in the new overlay's logs
// folder from the first run on.
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

TEST(DaemonProcess, KillOptionSendsSigtermToThePidFilesDaemon) {
  TempDir dir;
  MakeServerDir(dir.path());
  std::string pid_file = dir / "korvd.pid";
  Process korvd;
  ASSERT_TRUE(korvd.Start({Korvd(), "-path", dir.path(), "-port", std::to_string(FreePort()),
                           "-pid", pid_file, "-debug"},
                          dir.path(), dir / "out.txt"));
  ASSERT_TRUE(WaitForText(dir / "korvd.log", "Listening on"));
  std::string out;
  EXPECT_EQ(RunToEnd({Korvd(), "-kill", "-pid", pid_file}, dir.path(), &out), 0);
  EXPECT_EQ(out, "Sent SIGTERM to pid " + std::to_string(korvd.pid()) + ".\n");
  EXPECT_EQ(korvd.Wait(std::chrono::seconds(15)), 15);
  EXPECT_TRUE(Has(ReadFile(dir / "korvd.log"), "DEBUG: Caught SIGTERM! \r\n"));
}

TEST(DaemonProcess, BusyPortEndsWithBindMessage) {
  TempDir dir;
  MakeServerDir(dir.path());
  int port = FreePort();
  Process first;
  ASSERT_TRUE(first.Start({Korvd(), "-path", dir.path(), "-port", std::to_string(port)},
                          dir.path(), dir / "out1.txt"));
  ASSERT_TRUE(WaitForText(dir / "korvd.log", "Listening on"));
  std::string out;
  EXPECT_EQ(RunToEnd({Korvd(), "-path", dir.path(), "-port", std::to_string(port)}, dir.path(),
                     &out),
            1);
  EXPECT_TRUE(Has(ReadFile(dir / "korvd.log"), "Couldn't bind server socket! "));
}

TEST(DaemonProcess, DaemonModeDetachesAndWritesTheFinalPid) {
  TempDir dir;
  MakeServerDir(dir.path());
  std::string pid_file = dir / "d.pid";
  std::string out;
  EXPECT_EQ(RunToEnd({Korvd(), "-path", dir.path(), "-port", std::to_string(FreePort()), "-pid",
                      pid_file, "-daemon"},
                     dir.path(), &out),
            0);
  EXPECT_EQ(out, "");  // nothing is echoed with -daemon
  ASSERT_TRUE(WaitForText(dir / "korvd.log", "Listening on"));
  ASSERT_TRUE(WaitForText(pid_file, ""));
  int pid = std::stoi(ReadFile(pid_file));
  ASSERT_GT(pid, 1);
  EXPECT_EQ(::kill(pid, SIGTERM), 0);
  EXPECT_TRUE(WaitForText(dir / "korvd.log", "Exited", std::chrono::seconds(15)));
}

}  // namespace
