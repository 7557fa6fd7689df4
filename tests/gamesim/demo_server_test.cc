// The demo server directory script: its layout, its map archives as the
// daemon's map discovery reads them, and gamesim running in it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <string>

#include "support/gamesim_client.h"
#include "support/process_harness.h"

namespace {

using korvtest::ReadFile;

std::uint32_t Le32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes.at(at + i));
  return v;
}

// Game-type mask of an archive: directory offset, entry count, then per entry
// a name length, the name and 24 data bytes.
int GameTypes(const std::string& archive) {
  static const char* kPatterns[] = {"/GAMETYPES/CONQUEST.CON", "/GAMETYPES/COOP.CON", "/GAMETYPES/CTF.CON",
                                    "/GAMETYPES/TDM.CON", "/GAMETYPES/OBJECTIVEMODE.CON"};
  std::size_t pos = Le32(archive, 0);
  std::uint32_t count = Le32(archive, pos);
  pos += 4;
  int mask = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t length = Le32(archive, pos);
    std::string name = archive.substr(pos + 4, length);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (int bit = 0; bit < 5; ++bit) {
      if (name.ends_with(kPatterns[bit])) mask |= 1 << bit;
    }
    pos += 4 + length + 24;
  }
  EXPECT_EQ(pos, archive.size());
  return mask;
}

TEST(DemoServer, LaysOutAnInstallationThatGamesimServes) {
  korvtest::TempDir dir;
  std::string output;
  // The script installs the gamesim of this build, wherever its directory is.
  ASSERT_EQ(korvtest::RunToEnd({"/usr/bin/env", "GAMESIM_BINARY=" + korvtest::BuildPath("gamesim"),
                                "/bin/bash", korvtest::SourcePath("scripts/make_demo_server.sh"),
                                dir.path()},
                               dir.path(), &output),
            0)
      << output;
  const std::string settings = dir / "mods/bf1942/settings";
  struct stat st {};
  ASSERT_EQ(::stat((dir / "bf1942_lnxded").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  EXPECT_EQ(st.st_size, static_cast<off_t>(ReadFile(korvtest::BuildPath("gamesim")).size()));
  EXPECT_EQ(ReadFile(dir / "mods/bf1942/init.con").empty(), false);
  EXPECT_EQ(GameTypes(ReadFile(dir / "mods/bf1942/archives/bf1942/levels/berlin.rfa")), 1 | 8);
  EXPECT_EQ(GameTypes(ReadFile(dir / "mods/dc/archives/bf1942/levels/berlin.rfa")), 4);
  EXPECT_EQ(GameTypes(ReadFile(dir / "mods/xpack2/archives/bf1942/levels/peenemunde.rfa")), 1 | 16);
  EXPECT_NE(ReadFile(settings + "/servermaplist.con").find("game.addLevel el_alamein GPM_CTF bf1942\n"),
            std::string::npos);
  EXPECT_EQ(ReadFile(settings + "/useraccess.con"), "admin,changeme,c0ffee00c0ffee00c0ffee00c0ffee00,4294967295,1\n");
  std::string korvane = ReadFile(settings + "/korvane.con");
  EXPECT_NE(korvane.find("game.serverIP 127.0.0.1\n"), std::string::npos);
  EXPECT_NE(korvane.find("game.serverName \"gamesim demo\"\n"), std::string::npos);

  // A second run keeps what an administrator changed.
  korvtest::WriteFile(settings + "/servermaplist.con", "game.addLevel wake GPM_COOP bf1942\n");
  // The script installs the gamesim of this build, wherever its directory is.
  ASSERT_EQ(korvtest::RunToEnd({"/usr/bin/env", "GAMESIM_BINARY=" + korvtest::BuildPath("gamesim"),
                                "/bin/bash", korvtest::SourcePath("scripts/make_demo_server.sh"),
                                dir.path()},
                               dir.path(), &output),
            0);
  EXPECT_EQ(ReadFile(settings + "/servermaplist.con"), "game.addLevel wake GPM_COOP bf1942\n");

  // The lively scenario runs in it once the launch files are there.
  int console_port = korvtest::FreePort();
  int status_port = korvtest::FreePort(true);
  korvtest::WriteFile(settings + "/serversettings.con",
                      "game.serverIP 127.0.0.1\ngame.gameSpyLANPort " + std::to_string(status_port) + "\n");
  korvtest::WriteFile(settings + "/serverautoexec.con",
                      "admin.enableRemoteConsole UserName Sesamine " + std::to_string(console_port) + "\n");
  korvtest::WriteFile(settings + "/maplist.con", "game.addLevel kursk GPM_TDM bf1942\n");
  korvtest::Process game;
  ASSERT_TRUE(game.Start({"/usr/bin/setsid", dir / "bf1942_lnxded", "+statusMonitor", "0"}, dir.path(),
                         dir / "out.txt"));
  ASSERT_TRUE(korvtest::WaitForText(dir / "out.txt", "gamesim: serving"));
  gamesimtest::ConsoleClient client;
  ASSERT_TRUE(client.Connect(console_port));
  ASSERT_EQ(client.Login("UserName", "Sesamine"), 1);
  std::optional<std::vector<std::string>> answer = client.Command({"game.listPlayers"});
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->at(0), "##-- Global Commander: !nextmap");
  std::string report;
  for (const std::string& d : gamesimtest::StatusQuery(status_port, "\\status\\")) report += d;
  EXPECT_EQ(gamesimtest::StatusValue(report, "mapname"), "Kursk");
  EXPECT_EQ(client.Command({"quit"}), std::vector<std::string>{});
  EXPECT_EQ(game.Wait(std::chrono::seconds(5)), 0);
}

}  // namespace
