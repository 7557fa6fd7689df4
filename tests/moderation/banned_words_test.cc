// Banned words: the list, the name check, and the chat watch's warnings, kicks and bans.
#include "moderation/banned_words.h"

#include "moderation/moderation.h"
#include "moderation/moderation_fixture.h"

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
  for (const char* name : {"xXNoobXx", "cheater", "zY2z"}) EXPECT_TRUE(NameHasBannedWord(name)) << name;
  for (const char* name : {"CheaterKing", "Xyz"}) EXPECT_FALSE(NameHasBannedWord(name)) << name;
  EXPECT_EQ(FindBannedWord("Global Zed: what a BAD WORD"), "bad word");
  EXPECT_EQ(FindBannedWord("Global Zed: I am $cheater"), "$cheater");
  // Only the first 1023 characters count, whatever their bytes.
  EXPECT_FALSE(FindBannedWord("Global X: " + std::string(5000, '\xff') + "noob"));
  EXPECT_EQ(FindBannedWord(std::string("Global X: a\0noob", 16)), "noob");
  EXPECT_FALSE(ChatSpeaker("Global Bob says noob"));
  EXPECT_EQ(ChatSpeaker("Global " + std::string(40, 'n') + ": hi"), std::string(32, 'n'));
  EXPECT_EQ(ChatSpeaker("Global: x"), "");  // no blank before the ": "

  Load("");
  EXPECT_FALSE(NameHasBannedWord("noob"));
  EXPECT_FALSE(FindBannedWord("Global Zed: noob"));
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
  // The chat hook watches words only while the setting is on; in-game
  // commands are handled whatever it says.
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
  ASSERT_TRUE(WatchChatLine("Global Carl: noob"));
  ASSERT_TRUE(WatchChatLine("Global Carl: noob"));
  EXPECT_EQ(TakeQueue(), Rows(2, warning("Carl")));
  EXPECT_FALSE(WatchChatLine("Global Nobody: noob"));
  EXPECT_FALSE(WatchChatLine("Global Carl noob"));
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

}  // namespace
}  // namespace korvtest
