// Banned words: the list, the name check, and the chat watch's warnings, kicks and bans.
#include "moderation/banned_words.h"

#include <algorithm>

#include "core/clock.h"
#include "core/files.h"
#include "moderation/ingame_commands.h"
#include "moderation/moderation.h"
#include "moderation/moderation_fixture.h"
#include "remote/console_fixture.h"

namespace korvtest {
namespace {

class BannedWordsTest : public ModerationFixture {
 protected:
  void Load(const std::string& text) {
    WriteFile(dir_ / "bannedwords.con", text);
    ASSERT_TRUE(LoadBannedWords());
  }
};

TEST_F(BannedWordsTest, ListNamesChatWarningsKicksAndAutoBans) {
  EXPECT_FALSE(NameHasBannedWord("anyone"));  // never loaded
  Load("noob\r\n\n$Cheater\nx1,y2\nbad word");
  EXPECT_TRUE(Has(Log(), "DEBUG: Loaded banned words (noob,$Cheater,x1,y2,bad word,)"));
  for (const auto& [name, banned] : {std::pair{"xXNoobXx", true}, {"cheater", true}, {"zY2z", true},
                                     {"CheaterKing", false}, {"Xyz", false}})
    EXPECT_EQ(NameHasBannedWord(name), banned) << name;
  EXPECT_EQ(FindBannedWord("Global Zed: what a BAD WORD"), "bad word");
  EXPECT_EQ(FindBannedWord("Global Zed: I am $cheater"), "$cheater");
  // Only the first 1023 characters count, whatever their bytes.
  EXPECT_FALSE(FindBannedWord("Global X: " + std::string(5000, '\xff') + "noob"));
  EXPECT_EQ(FindBannedWord(std::string("Global X: a\0noob", 16)), "noob");
  EXPECT_FALSE(ClaimedSpeaker("Global Bob says noob"));
  EXPECT_EQ(ClaimedSpeaker("Global " + std::string(40, 'n') + ": hi"), std::string(32, 'n'));
  EXPECT_EQ(ClaimedSpeaker("Global: x"), "");  // no blank before the ": "

  Load("");
  EXPECT_FALSE(NameHasBannedWord("noob") || FindBannedWord("Global Zed: noob"));
  Load("zz\n");
  std::remove((dir_ / "bannedwords.con").c_str());
  EXPECT_FALSE(LoadBannedWords());
  EXPECT_TRUE(Has(Log(), "Couldn't open banned words file! "));
  EXPECT_TRUE(NameHasBannedWord("zzTop"));
  Load("noob\n");
  g_manager.core.admin_log = true;
  AddPlayer(4, "Bob");
  AddPlayer(5, "Ann");
  AddPlayer(200, "Far");  // ids outside 0-63 have no warning record:
  AddPlayer(-1, "Neg");   // every offence is a first one
  // Words are watched only while the setting is on; in-game commands always.
  ModerateChatLine("Global Bob: noob");
  EXPECT_EQ(TakeQueue().size(), 0u);
  Setting(kSetAutoKickWord).value = 1;
  ModerateChatLine("Global Bob: you NOOB");
  ASSERT_TRUE(WatchChatLine("Global Bob: noob"));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(WatchChatLine("Global Far: noob"));
    ASSERT_TRUE(WatchChatLine("Global Neg: noob"));
  }
  auto warning = [](const std::string& name) {
    return "18 [KORV] " + name + " do not use the word noob in chat";
  };
  Rows expected(2, warning("Bob"));
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), {warning("Far"), warning("Neg")});
  EXPECT_EQ(TakeQueue(), expected);
  EXPECT_TRUE(WatchChatLine("Global Bob: noob"));
  EXPECT_EQ(TakeQueue(), (Rows{"19+12 admin.kickPlayer 4", "18 [KORV] Kicking Bob for using banned words"}));
  EXPECT_EQ(g_manager.links.players[0].name, "Ann");  // Bob's row left at once
  EXPECT_TRUE(Has(Log(), std::string("Auto-kicked Bob (") + kHash + ") at 10.0.0.5 for "
                         "using banned words in chat messages (noob)."));
  EXPECT_TRUE(Has(ReadFile(AdminLogPath()), ",kick,0,banned words in chat messages"));

  // Another player under Bob's id starts at one warning.
  AddPlayer(4, "Carl");
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(WatchChatLine("Global Carl: noob"));
  EXPECT_EQ(TakeQueue(), Rows(2, warning("Carl")));
  EXPECT_FALSE(WatchChatLine("Global Nobody: noob") || WatchChatLine("Global Carl noob"));
  EXPECT_TRUE(WatchChatLine("Global Carl: clean"));
  ModerateChatLine("Global Carl: !nextmap");
  EXPECT_EQ(TakeQueue().size(), 1u);
  // With AutoBan, the third offence bans (here with no delay and as chat).
  g_manager.core.kick_delay = 0;
  g_manager.core.admin_message_style = 0;
  Setting(kSetAutoBan).value = 1;
  Setting(kSetAutoBanValue).value = 1;
  AddPlayer(7, "Dan");
  for (int i = 0; i < 3; ++i) WatchChatLine("Team Dan: noob");
  EXPECT_EQ(TakeQueue(), (Rows{"17 [KORV] Dan do not use the word noob in chat",
                               "17 [KORV] Dan do not use the word noob in chat",
                               "10 " + Fields({"7", "Dan", "10.0.0.8", kHash, "guid7", "0",
                                               "too many kicks for banned words"}),
                               "17 [KORV] Banned Dan for using banned words"}));
  EXPECT_TRUE(Has(Log(), std::string("Auto-banned Dan (") + kHash + ") at 10.0.0.8 for "
                         "using banned words in chat messages (noob)."));
}

TEST_F(BannedWordsTest, TheSpeakerIsTheWholeListedNameNotTheTextBeforeTheFirstColon) {
  Load("noob\n");
  Setting(kSetAutoKickWord).value = 1;
  AddPlayer(4, "Bob");
  AddPlayer(6, "Bob: x");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(WatchChatLine("Global Bob: x: noob"));
  EXPECT_EQ(TakeQueue(), (Rows{"18 [KORV] Bob: x do not use the word noob in chat",
                               "18 [KORV] Bob: x do not use the word noob in chat",
                               "19+12 admin.kickPlayer 6",
                               "18 [KORV] Kicking Bob: x for using banned words"}));
  EXPECT_EQ(std::pair(g_manager.links.players[0].name, g_manager.links.players[1].name),
            std::pair(std::string("Bob"), std::string()));
  // Two players who share a name: neither is warned for the other.
  AddPlayer(7, "Bob");
  EXPECT_TRUE(!WatchChatLine("Global Bob: noob") && TakeQueue().empty());
  EXPECT_TRUE(Has(Log(), "DEBUG: Couldn't kick player for banned word! Could not determine player Bob id."));
}

// Chat lines against the stand-in console, whose game gives id 3 to Mike.
class DelayedKickTest : public ConsoleFixture {
 protected:
  void SetUp() override {
    ConsoleFixture::SetUp();
    g_manager.core.kick_delay = 1;
    WriteFile(dir_ / "bannedwords.con", "noob\n");
    ASSERT_TRUE(LoadBannedWords());
    Setting(kSetAutoKickWord).value = 1;
    for (const char* file : {"/banlist.con", "/serverbanlist.con", "/pb/pbbans.dat"})
      CreateFileWithDirs(dir_.path() + file, 2);
  }
  // A row of the player table as the last refresh left it.
  void Listed(int row, int id, const std::string& name, const std::string& keyhash) {
    PlayerRecord& record = g_manager.links.players[static_cast<std::size_t>(row)];
    record = PlayerRecord{};
    record.id = id;
    record.name = name;
    record.address = "10.0.0.9";
    record.keyhash = keyhash;
    record.pb_guid = "[unknown]";
  }
  void SayThrice(const std::string& line) { for (int i = 0; i < 3; ++i) ModerateChatLine(line); }
  std::vector<std::string> RunDue() {
    Sent();
    RunQueuedCommands(ClockNow() + 13);
    return Sent();
  }
  static bool Holds(const std::vector<std::string>& sent, const std::string& line) {
    return std::find(sent.begin(), sent.end(), line) != sent.end();
  }
};

const std::string kOtherHash(32, 'f');

// Bob, kicked for his words, left and Mike got his id: Mike stays, unless kicked himself.
TEST_F(DelayedKickTest, AKickDueAfterItsDelaySparesTheNextHolderOfTheId) {
  Listed(0, 3, "Bob", kOtherHash);
  SayThrice("Global Bob: noob");
  std::vector<std::string> sent = RunDue();
  EXPECT_FALSE(Holds(sent, "admin.kickPlayer 3"));
  EXPECT_TRUE(Has(Log(), "Couldn't kick player Bob (" + kOtherHash + ")! Player id 3 now belongs to Mike ("
                             + std::string(kMikeHash) + ")."));
  // The same name under another keyhash is another player too.
  for (const auto& [keyhash, kicked] : {std::pair{kOtherHash, false}, {std::string(kMikeHash), true}}) {
    Listed(0, 3, "Mike", keyhash);
    g_manager.moderation.warnings[3] = {};
    SayThrice("Global Mike: noob");
    EXPECT_EQ(Holds(RunDue(), "admin.kickPlayer 3"), kicked) << keyhash;
  }
  // A player gone with nobody after him: nothing to kick.
  Listed(0, 5, "Gone", kOtherHash);
  SayThrice("Global Gone: noob");
  EXPECT_FALSE(Holds(RunDue(), "admin.kickPlayer 5"));
  EXPECT_TRUE(Has(Log(), "Couldn't kick player Gone! Player id 5 is no longer on the server."));
}

TEST_F(DelayedKickTest, AMenuKickDueAfterItsDelaySparesTheNextHolderOfTheId) {
  g_manager.remote.accounts[0] = {"plain", "pw", std::string(32, 'c'), 0x80, 1};
  Listed(0, 1, "Plain", std::string(32, 'c'));
  Listed(1, 3, "Bob", kOtherHash);
  WriteFile(dir_ / "playermenu.con", "Kick [k]|kick\n");
  EXPECT_TRUE(HandleInGameCommand("Global Plain: !k .3"));
  std::vector<std::string> sent = RunDue();
  EXPECT_FALSE(Holds(sent, "admin.kickPlayer 3")) << ::testing::PrintToString(sent);
  EXPECT_TRUE(Has(Log(), "Couldn't kick player Bob ("));
}

TEST_F(DelayedKickTest, ABanDueAfterItsDelayLeavesTheNextHolderOfTheIdAlone) {
  Setting(kSetAutoBan).value = 1;
  Setting(kSetAutoBanValue).value = 1;
  Setting(kSetServerInternet).value = 1;
  Listed(0, 3, "Bob", kOtherHash);
  SayThrice("Global Bob: noob");
  std::vector<std::string> sent = RunDue();
  EXPECT_EQ(std::tuple(Holds(sent, "admin.banPlayerKey 3"), Holds(sent, "admin.addAddressToBanList 10.0.0.9"),
                       Holds(sent, "admin.addKeyToBanList " + kOtherHash)),
            std::tuple(false, true, true)) << ::testing::PrintToString(sent);
  EXPECT_TRUE(Has(Log(), "WARNING: Player id 3 no longer holds player Bob!"));
  EXPECT_TRUE(Has(ReadFile(dir_ / "serverbanlist.con"), "\"Bob\",10.0.0.9," + kOtherHash + ","));
}

}  // namespace
}  // namespace korvtest
