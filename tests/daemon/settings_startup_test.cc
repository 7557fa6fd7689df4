// The daemon's settings start-up as a process: korvane.con, mod and map lists, refused starts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <regex>

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

TEST_F(SettingsStartup, FirstStartWritesDefaultsAndSecondStartFillsRequiredTexts) {
  // An older start left this one readable by all.
  std::filesystem::create_directories(Settings(""));
  WriteFile(Settings("serverautoexec.con"), "admin.enableRemoteAdmin pw\n");
  ::chmod(Settings("serverautoexec.con").c_str(), 0644);
  std::string first = StartAndStop({});
  for (const char* secret :
       {"korvane.con", "serversettings.con", "serverautoexec.con", "useraccess.con"}) {
    struct stat info {};
    ::stat(Settings(secret).c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << secret;
  }
  EXPECT_EQ(ReadFile(Settings("korvane.con")),
            std::regex_replace(kFirstStartFile, std::regex("game.serverIP 0.0.0.0"),
                               "game.serverIP 127.0.0.1"));
  EXPECT_EQ(ReadFile(Settings("mods.con")), "bf1942\n");
  EXPECT_EQ(ReadFile(Settings("maps.con")), "bf1942,wake,1\n");
  EXPECT_FALSE(Has(first, "Invalid value"));

  std::string second = StartAndStop({"@game.gameSpyPort", "23456"});
  EXPECT_TRUE(Has(second,
                  "Invalid value detected for setting game.serverName, using default "
                  "BFSERVER.\r\n"));
  EXPECT_TRUE(Has(second,
                  "Invalid value detected for setting manager.statFilePath, using "
                  "default statistics.csv.\r\n"));
  // -ip saves the file again: the filled texts and the command-line port stay.
  std::string saved = ReadFile(Settings("korvane.con"));
  EXPECT_TRUE(Has(saved, "game.serverName \"BFSERVER\"\n"));
  EXPECT_TRUE(Has(saved, "manager.consolePassword \"Sesamine\"\n"));
  EXPECT_TRUE(Has(saved, "game.gameSpyPort 23456\n"));
}

TEST_F(SettingsStartup, UnusableContentOrSettingsEndTheStart) {
  std::string out;
  std::vector<std::string> argv = {BuildPath("korvd"), "-path", server_, "-port",
                                   std::to_string(FreePort()), "-ip", "127.0.0.1"};
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

}  // namespace
