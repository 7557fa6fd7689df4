// korvctl's ban commands against the real daemon, on both roads: with the
// game server stopped the daemon edits the game's ban files itself; with
// gamesim running it tells the game, which keeps its own files.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/gamesim_client.h"
#include "support/process_harness.h"

namespace {

using korvtest::Has;
using korvtest::ReadFile;
using korvtest::WriteFile;

constexpr char kKey[] = "0123456789abcdef0123456789abcdef";
// The key ban gamesim's lay-out starts with.
constexpr char kLaidOutBan[] = "admin.addKeyToBanList 99999999999999999999999999999999 Perm\n";

class BansProcess : public ::testing::Test {
 protected:
  void StartDaemon(bool start_game) {
    std::vector<std::string> options{"-exit", "-nodelay"};
    if (start_game) options.insert(options.end(), {"-start", "-messagelog"});
    ASSERT_TRUE(run_.Start(options));
    if (start_game) {
      ASSERT_TRUE(run_.Connected());
    }
  }
  int Ctl(std::vector<std::string> words, std::string* output) { return run_.Ctl(words, output); }
  std::string List() { return ReadFile(run_.Settings("serverbanlist.con")); }
  std::string Game() { return ReadFile(run_.Settings("banlist.con")); }

  gamesimtest::DaemonRun run_{"lively 0\nplayer 3 1 10 5 2 80 10.0.0.5:23000 - - Mike\n"};
};

TEST_F(BansProcess, FileRoadWithTheServerStopped) {
  StartDaemon(false);
  std::string out;
  ASSERT_EQ(Ctl({"ban", "--name", "Eve", "--address", "10.1.1.1", "--keyhash", kKey,
                 "--duration", "1h", "aim", "bot"},
                &out),
            0)
      << out;
  EXPECT_EQ(out, "player banned: Eve\n");
  EXPECT_EQ(Game(), std::string(kLaidOutBan) + "admin.addAddressToBanList 10.1.1.1:0 Perm\n" +
                        "admin.addKeyToBanList " + kKey + " Perm\n");
  const std::string row = List();
  const std::string head = "\"Eve\",10.1.1.1," + std::string(kKey) + ",*,\"admin\",";
  ASSERT_EQ(row.rfind(head, 0), 0u) << row;
  char* rest = nullptr;
  const long banned = std::strtol(row.c_str() + head.size(), &rest, 10);
  EXPECT_EQ(std::strtol(rest + 1, &rest, 10), banned + 3600);
  EXPECT_STREQ(rest, ",aim bot\n");

  ASSERT_EQ(Ctl({"bans"}, &out), 0) << out;
  EXPECT_TRUE(Has(out, "Eve")) << out;
  EXPECT_TRUE(Has(out, "aim bot"));
  ASSERT_EQ(Ctl({"--json", "bans"}, &out), 0) << out;
  EXPECT_TRUE(Has(out, "\"expiry\":\"" + std::to_string(banned + 3600) + "\"")) << out;
  EXPECT_TRUE(Has(out, "\"banned_by\":\"admin\""));

  // The game's list holds a key the daemon's does not.
  EXPECT_EQ(Ctl({"verify-bans"}, &out), 1) << out;
  ASSERT_EQ(Ctl({"pull-bans"}, &out), 0) << out;
  const std::string imported = "\"[unknown]\",*,99999999999999999999999999999999,*,\"operator\",0,0,unknown reason\n"
                               "\"[unknown]\",10.1.1.1,*,*,\"operator\",0,0,unknown reason\n"
                               "\"[unknown]\",*," + std::string(kKey) + ",*,\"operator\",0,0,unknown reason\n";
  EXPECT_EQ(List(), imported);
  EXPECT_EQ(Ctl({"verify-bans"}, &out), 0) << out;

  // An uploaded list, pushed to the game's file and downloaded again.
  const std::string mine = run_.game.dir / "mine.con";
  WriteFile(mine, "\"Eve\",10.1.1.1,*,*,\"admin\",5,0,aim bot\n\"Bob\",*," + std::string(kKey) +
                      ",*,\"admin\",6,0,spam\n");
  ASSERT_EQ(Ctl({"put", "bans", "-i", mine}, &out), 0) << out;
  EXPECT_EQ(List(), ReadFile(mine));
  ASSERT_EQ(Ctl({"push-bans"}, &out), 0) << out;
  EXPECT_EQ(Game(), "admin.addAddressToBanList 10.1.1.1:0 Perm\nadmin.addKeyToBanList " +
                        std::string(kKey) + " Perm\n");

  ASSERT_EQ(Ctl({"unban", "--keyhash", kKey}, &out), 0) << out;
  EXPECT_EQ(List(), "\"Eve\",10.1.1.1,*,*,\"admin\",5,0,aim bot\n");
  EXPECT_EQ(Game(), "admin.addAddressToBanList 10.1.1.1:0 Perm\n");
  ASSERT_EQ(Ctl({"clear-bans"}, &out), 0) << out;
  EXPECT_EQ(List(), "");
  EXPECT_EQ(Game(), "");
  ASSERT_EQ(Ctl({"bans"}, &out), 0) << out;
  EXPECT_EQ(out, "no bans\n");
}

TEST_F(BansProcess, ConsoleRoadWithGamesimKeepingItsFiles) {
  StartDaemon(true);
  std::string out;
  ASSERT_EQ(Ctl({"clear-bans"}, &out), 0) << out;
  EXPECT_EQ(Game(), "");
  ASSERT_EQ(Ctl({"ban", "3", "--name", "Mike", "--address", "10.0.0.5", "camping"}, &out), 0)
      << out;
  EXPECT_EQ(out, "player banned: Mike\n");
  EXPECT_EQ(Game(), "admin.addAddressToBanList 10.0.0.5:0 Perm\n");
  EXPECT_TRUE(Has(List(), "\"Mike\",10.0.0.5,*,*,\"admin\","));
  EXPECT_EQ(Ctl({"verify-bans"}, &out), 0) << out;
  ASSERT_EQ(Ctl({"unban", "--name", "Mike", "--address", "10.0.0.5"}, &out), 0) << out;
  EXPECT_EQ(Game(), "");
  EXPECT_EQ(List(), "");
  EXPECT_TRUE(Has(ReadFile(run_.game.dir / "message.log"), "admin.removeAddressFromBanList 10.0.0.5"));
  // Without PunkBuster the GUID cannot be lifted: the unban fails, yet
  // the address the game dropped leaves the daemon's list.
  ASSERT_EQ(Ctl({"ban", "--address", "10.0.0.6", "spam"}, &out), 0) << out;
  EXPECT_TRUE(Has(List(), "\"[unknown]\",10.0.0.6,*,*,\"admin\","));
  EXPECT_EQ(Ctl({"unban", "--address", "10.0.0.6", "--guid", kKey}, &out), 1) << out;
  EXPECT_EQ(Game(), "");
  EXPECT_EQ(List(), "");
}

}  // namespace
