// The demo server directory script: its layout, and a second run that keeps
// what an administrator changed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/process_harness.h"

namespace {

using korvtest::Has;
using korvtest::ReadFile;

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
  EXPECT_FALSE(ReadFile(dir / "mods/xpack2/archives/bf1942/levels/peenemunde.rfa").empty());
  EXPECT_TRUE(
      Has(ReadFile(settings + "/servermaplist.con"), "game.addLevel el_alamein GPM_CTF bf1942\n"));
  EXPECT_EQ(ReadFile(settings + "/useraccess.con"), "admin,changeme,c0ffee00c0ffee00c0ffee00c0ffee00,4294967295,1\n");
  std::string korvane = ReadFile(settings + "/korvane.con");
  EXPECT_TRUE(Has(korvane, "game.serverIP 127.0.0.1\n"));
  EXPECT_TRUE(Has(korvane, "game.serverName \"gamesim demo\"\n"));

  // A second run keeps what an administrator changed.
  korvtest::WriteFile(settings + "/servermaplist.con", "game.addLevel wake GPM_COOP bf1942\n");
  // The script installs the gamesim of this build, wherever its directory is.
  ASSERT_EQ(korvtest::RunToEnd({"/usr/bin/env", "GAMESIM_BINARY=" + korvtest::BuildPath("gamesim"),
                                "/bin/bash", korvtest::SourcePath("scripts/make_demo_server.sh"),
                                dir.path()},
                               dir.path(), &output),
            0);
  EXPECT_EQ(ReadFile(settings + "/servermaplist.con"), "game.addLevel wake GPM_COOP bf1942\n");

}

}  // namespace
