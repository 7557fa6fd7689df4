// The banned-words list, the name check and the chat watch: warnings,
// kicks, AutoBan bans and the per-id warning table.
#include "moderation/banned_words.h"

#include "moderation/moderation.h"
#include "moderation/moderation_fixture.h"

namespace korvtest {
namespace {

class BannedWordsTest : public ModerationFixture {
 protected:
  void Load(const std::string& text) {
    WriteSettingsFile("bannedwords.con", text);
    ASSERT_TRUE(LoadBannedWords());
  }
};

TEST_F(BannedWordsTest, LoadsEntriesAndMatchesNames) {
  EXPECT_FALSE(NameHasBannedWord("anyone"));  // never loaded
  Load("noob\r\n\n$Cheater\nx1,y2\nbad word");
  EXPECT_EQ(*g_manager.moderation.banned_words, "noob,$Cheater,x1,y2,bad word,");
  EXPECT_TRUE(Has(Log(), "DEBUG: Loaded banned words (noob,$Cheater,x1,y2,bad word,)"));
  EXPECT_TRUE(NameHasBannedWord("xXNoobXx"));
  EXPECT_TRUE(NameHasBannedWord("cheater"));
  EXPECT_FALSE(NameHasBannedWord("CheaterKing"));
  EXPECT_TRUE(NameHasBannedWord("zY2z"));  // the entry y2
  EXPECT_FALSE(NameHasBannedWord("Xyz"));
  EXPECT_EQ(FindBannedWord("Global Zed: what a BAD WORD"), "bad word");
  EXPECT_EQ(FindBannedWord("Global Zed: I am $cheater"), "$cheater");

  Load("");
  EXPECT_EQ(*g_manager.moderation.banned_words, "");
  EXPECT_FALSE(NameHasBannedWord("noob"));
  EXPECT_FALSE(FindBannedWord("Global Zed: noob"));

  // A failed load keeps the list it had.
  Load("zz\n");
  std::remove((dir_ / "bannedwords.con").c_str());
  EXPECT_FALSE(LoadBannedWords());
  EXPECT_TRUE(Has(Log(), "Couldn't open banned words file! "));
  EXPECT_TRUE(NameHasBannedWord("zzTop"));
}

TEST_F(BannedWordsTest, HostileChatLinesAreMatchedWithinTheirBytes) {
  Load("noob\n");
  std::string line = "Global X: " + std::string(5000, '\xff') + "noob";
  EXPECT_FALSE(FindBannedWord(line));  // only the first 1023 characters count
  std::string binary("Global X: a\0noob", 16);
  EXPECT_EQ(FindBannedWord(binary), "noob");
  EXPECT_FALSE(ChatSpeaker("Global Bob says noob"));
  EXPECT_EQ(ChatSpeaker("Global " + std::string(40, 'n') + ": hi"), std::string(32, 'n'));
  EXPECT_EQ(ChatSpeaker("Global: x"), "");  // no blank before the ": "
}

TEST_F(BannedWordsTest, TwoWarningsThenAKickAndANewNameStartsAgain) {
  Load("noob\n");
  g_manager.core.admin_log = true;
  AddPlayer(4, "Bob");
  AddPlayer(5, "Ann");
  std::string said = "Global Bob: you NOOB";
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(WatchChatLine(said));
    auto queued = TakeQueue();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].code, kCmdServerMessage);
    EXPECT_EQ(queued[0].text, "[KORV] Bob do not use the word noob in chat");
    EXPECT_FALSE(queued[0].delayed);
  }
  EXPECT_EQ(g_manager.moderation.warnings[4].count, 2);
  EXPECT_TRUE(WatchChatLine(said));
  auto queued = TakeQueue();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(queued[0].code, kCmdRawConsole);
  EXPECT_EQ(queued[0].text, "admin.kickPlayer 4");
  EXPECT_TRUE(queued[0].delayed);
  EXPECT_EQ(queued[1].text, "[KORV] Kicking Bob for using banned words");
  EXPECT_EQ(g_manager.links.players[0].name, "Ann");  // Bob's row left at once
  EXPECT_TRUE(Has(Log(), "Auto-kicked Bob (0123456789abcdef0123456789abcdef) at 10.0.0.5 for "
                         "using banned words in chat messages (noob)."));
  EXPECT_TRUE(Has(ReadFile(AdminLogPath()), "banned words in chat messages"));

  // Another player under Bob's id starts at one warning.
  AddPlayer(4, "Carl");
  ASSERT_TRUE(WatchChatLine("Global Carl: noob"));
  EXPECT_EQ(TakeQueue()[0].text, "[KORV] Carl do not use the word noob in chat");
  EXPECT_EQ(g_manager.moderation.warnings[4].count, 1);

  // Lines without a known speaker or without ": " do nothing.
  EXPECT_FALSE(WatchChatLine("Global Nobody: noob"));
  EXPECT_FALSE(WatchChatLine("Global Carl noob"));
  EXPECT_TRUE(WatchChatLine("Global Carl: clean"));
  EXPECT_TRUE(TakeQueue().empty());
}

TEST_F(BannedWordsTest, AutoBanBansAtTheThirdOffenceWithNoDelayAndChatStyle) {
  Load("noob\n");
  g_manager.core.kick_delay = 0;
  g_manager.core.admin_message_style = 0;
  Setting(kSetAutoBan).value = 1;
  Setting(kSetAutoBanValue).value = 1;
  AddPlayer(7, "Dan");
  for (int i = 0; i < 3; ++i) WatchChatLine("Team Dan: noob");
  auto queued = TakeQueue();
  ASSERT_EQ(queued.size(), 4u);
  EXPECT_EQ(queued[1].code, kCmdSayToAll);
  EXPECT_EQ(queued[2].code, kCmdBanPlayer);
  EXPECT_EQ(queued[2].text, Fields({"7", "Dan", "10.0.0.8", "0123456789abcdef0123456789abcdef",
                                    "guid7", "0", "too many kicks for banned words"}));
  EXPECT_FALSE(queued[2].delayed);
  EXPECT_EQ(queued[3].text, "[KORV] Banned Dan for using banned words");
  EXPECT_TRUE(Has(Log(), "Auto-banned Dan (0123456789abcdef0123456789abcdef) at 10.0.0.8 for "
                         "using banned words in chat messages (noob)."));
}

// Ids outside 0-63 have no warning record: every offence is a warning.
TEST_F(BannedWordsTest, IdsOutsideTheTableAreWarnedWithoutARecord) {
  Load("noob\n");
  AddPlayer(200, "Far");
  AddPlayer(-1, "Neg");
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(WatchChatLine("Global Far: noob"));
    EXPECT_TRUE(WatchChatLine("Global Neg: noob"));
  }
  for (const Queued& q : TakeQueue()) EXPECT_EQ(q.code, kCmdServerMessage) << q.text;
  for (const ChatWarning& record : g_manager.moderation.warnings) EXPECT_EQ(record.count, 0);
}

// The chat hook watches words only while the setting is on; in-game
// commands are handled whatever it says.
TEST_F(BannedWordsTest, ChatHookFollowsTheSetting) {
  Load("noob\n");
  AddPlayer(4, "Bob");
  ModerateChatLine("Global Bob: noob");
  EXPECT_TRUE(TakeQueue().empty());
  Setting(kSetAutoKickWord).value = 1;
  ModerateChatLine("Global Bob: noob");
  EXPECT_EQ(TakeQueue().size(), 1u);
  ModerateChatLine("Global Bob: !nextmap");
  EXPECT_EQ(TakeQueue().size(), 1u);
}

}  // namespace
}  // namespace korvtest
