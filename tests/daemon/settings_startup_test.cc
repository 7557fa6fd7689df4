// The daemon's start-up as a process: the first start's files, korvane.con, refused starts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <tuple>

#include "core/last_error.h"
#include "settings/first_start_golden.h"
#include "support/gamesim_client.h"

namespace {

using namespace korvtest;
using namespace std::chrono_literals;

// A map archive whose directory names the conquest game type.
void WriteConquestArchive(const std::string& path) {
  std::string name = "bf1942/levels/wake/gametypes/conquest.con";
  std::string bytes("\x08\0\0\0xxxx\x01\0\0\0", 12);
  bytes.push_back(static_cast<char>(name.size()));
  bytes += std::string(3, '\0') + name + std::string(24, '\0');
  WriteFile(path, bytes);
}

class SettingsStartup : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeServerDir(server_);
    WriteConquestArchive(server_ + "/mods/bf1942/archives/bf1942/levels/wake.rfa");
  }
  // Runs the daemon until it listens, then stops it; returns its output.
  std::string StartAndStop(const std::vector<std::string>& extra) {
    std::size_t before = ReadFile(run_.Out()).size();
    EXPECT_TRUE(run_.Start(extra, false));
    EXPECT_TRUE(WaitForText(run_.Out(), "Listening on 127.0.0.1:" + std::to_string(run_.port) + "."));
    // Everything of interest is written before the daemon listens.
    run_.daemon.Signal(SIGKILL);
    run_.daemon.Wait(10s);
    return ReadFile(run_.Out()).substr(before);
  }
  std::string Settings(const std::string& name) { return run_.Settings(name); }

  gamesimtest::DaemonRun run_;
  std::string server_ = run_.dir();
};

// A first start on every address: the files, the pid file, the log; SIGTERM ends it.
TEST_F(SettingsStartup, FirstStartWritesDefaultsEndsOnSigtermAndSecondStartFillsRequiredTexts) {
  // An older start left this one readable by all, and lists the daemon replaces.
  WriteFile(Settings("serverautoexec.con"), "admin.enableRemoteAdmin pw\n");
  WriteFile(Settings("useraccess.con"), "");
  for (const char* name : {"serverautoexec.con", "useraccess.con"})
    ::chmod(Settings(name).c_str(), 0644);
  WriteFile(Settings("kicklist.con"), "old kicks\n");
  WriteFile(Settings("serversettings.con"), "stale\n");
  run_.loopback = false;
  ASSERT_TRUE(run_.Start({"-pid", run_.dir() + "/k.pid"}));
  std::string log = run_.Log();
  EXPECT_TRUE(Has(log, "Listening on 0.0.0.0:" + std::to_string(run_.port)));
  for (const char* name :
       {"servermaplist.con", "banlist.con", "serverbanlist.con", "serverschedule.con", "announcements.con", "bannedwords.con"})
    EXPECT_TRUE(std::filesystem::exists(Settings(name))) << name;
  for (const char* secret : {"korvane.con", "serversettings.con", "serverautoexec.con", "useraccess.con"}) {
    struct stat info {};
    ::stat(Settings(secret).c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << secret;
  }
  EXPECT_EQ(std::pair(std::filesystem::exists(run_.dir() + "/pb/pbbans.dat"), std::filesystem::exists(Settings("kicklist.con"))),
            std::pair(true, false));
  EXPECT_EQ(ReadFile(Settings("korvane.con")) + ReadFile(Settings("mods.con")) +
                ReadFile(Settings("maps.con")) + ReadFile(Settings("playermenu.con")) +
                ReadFile(Settings("serversettings.con")) + ReadFile(run_.dir() + "/k.pid"),
            std::string(kFirstStartFile) + "bf1942\nbf1942,wake,1\nKick|kick\nBan|ban\n" +
                std::to_string(run_.daemon.pid()));
  for (const char* line : {" : Korvane v2.0 beta 4g\r\n", " : Started under Linux ",
                           "WARNING: PunkBuster is not installed on this server."})
    EXPECT_TRUE(Has(log, line)) << line;
  std::string first = ReadFile(run_.Out());
  EXPECT_TRUE(Has(first, "Listening on") && !Has(first, "Invalid value")) << first;
  run_.daemon.Signal(SIGTERM);
  EXPECT_EQ(run_.daemon.Wait(15s), 15);
  log = run_.Log();
  std::size_t exiting = log.find("Exiting due to signal (15).\r\n");
  ASSERT_NE(exiting, std::string::npos);
  EXPECT_NE(log.find(" : Exited\r\n", exiting), std::string::npos);

  run_.loopback = true;
  // The empty required texts are reported (their lines: see the settings tests) and filled.
  EXPECT_EQ(Count(StartAndStop({"@game.gameSpyPort", "23456"}), "Invalid value detected"), 4);
  // -ip saves the file again: the filled texts and the command-line port stay.
  for (const char* line : {"game.serverName \"BFSERVER\"\n", "manager.consolePassword \"Sesamine\"\n",
                           "game.gameSpyPort 23456\n", "game.serverIP 127.0.0.1\n"})
    EXPECT_TRUE(Has(ReadFile(Settings("korvane.con")), line)) << line;
}

TEST_F(SettingsStartup, UnusableContentOrSettingsEndTheStart) {
  std::string out;
  std::vector<std::string> argv = {BuildPath("korvd"), "-path", server_, "-port", std::to_string(FreePort()), "-ip", "127.0.0.1"};
  std::filesystem::create_directories(Settings("korvane.con"));
  EXPECT_EQ(RunToEnd(argv, server_, &out), 1);
  EXPECT_TRUE(Has(out, "Couldn't load settings file! Is a directory (21)"));
  std::filesystem::remove(Settings("korvane.con"));
  // A map directory that cannot be read (here a link to itself) ends it.
  std::string levels = server_ + "/mods/bf1942/archives/bf1942/levels";
  std::filesystem::remove_all(levels);
  std::filesystem::create_directory_symlink(levels, levels);
  EXPECT_EQ(RunToEnd(argv, server_, &out), 1);
  EXPECT_TRUE(Has(out, "Couldn't determine available maps!"));
}

// FIFOs and devices are skipped with a warning; banned words load after the schedule.
TEST_F(SettingsStartup, FifosAndDevicesAmongTheSettingsFilesAreSkipped) {
  std::string out;
  std::vector<std::string> argv = {BuildPath("korvd"), "-path", server_, "-port", std::to_string(FreePort()), "-debug"};
  auto skipped = [&](const std::string& name) {
    return "WARNING: Skipped " + Settings(name) + ", which is not a regular file.";
  };
  using Make = void (*)(const std::string&);
  Make fifo = [](const std::string& path) { ::mkfifo(path.c_str(), 0644); };
  Make zero = [](const std::string& path) { ::symlink("/dev/zero", path.c_str()); };
  Make folder = [](const std::string& path) { std::filesystem::create_directory(path); };
  const std::tuple<const char*, Make, std::string> fatal[] = {
      {"korvane.con", fifo, "Couldn't load settings file! " + ErrorText(EINVAL)},
      {"useraccess.con", zero, "Couldn't load user file! " + ErrorText(EINVAL)},
      {"serverschedule.con", folder, "Couldn't load schedule file! " + ErrorText(EISDIR)}};
  for (const auto& [name, make, message] : fatal) {
    std::filesystem::remove(Settings(name));  // made by the start before
    make(Settings(name));
    EXPECT_EQ(RunToEnd(argv, server_, &out), 1) << name;
    EXPECT_TRUE(Has(out, skipped(name)) && Has(out, message)) << out;
    std::filesystem::remove(Settings(name));
  }
  EXPECT_FALSE(Has(out, "DEBUG: Loaded banned words"));
  for (auto [name, make] : {std::pair{"bannedwords.con", zero}, {"korvd.conf", fifo}, {"servermaplist.con", fifo}}) {
    std::filesystem::remove(Settings(name));
    make(Settings(name));
  }
  out = StartAndStop({});
  for (const char* name : {"bannedwords.con", "korvd.conf", "servermaplist.con"})
    EXPECT_TRUE(Has(out, skipped(name))) << name;
}

}  // namespace
