// In-game "!" commands and the player menu: access, map commands, targets, actions.
#include "moderation/ingame_commands.h"

#include <algorithm>

#include "moderation/moderation_fixture.h"
#include "moderation/player_watch.h"

namespace korvtest {
namespace {

constexpr char kAdminHash[] = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";

class InGameTest : public ModerationFixture {
 protected:
  void SetUp() override {
    ModerationFixture::SetUp();
    g_manager.remote.accounts[0] = {"off", "pw", "BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB", 0xFFFFFFFF, 0};
    g_manager.remote.accounts[1] = {"maps", "pw", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 0x40, 1};
    g_manager.remote.accounts[2] = {"plain", "pw", "cccccccccccccccccccccccccccccccc", 0x80, 1};
    AddPlayer(0, "Admin", 0, 50, kAdminHash);
    AddPlayer(1, "Plain", 0, 50, "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC");
    AddPlayer(2, "Off", 0, 50, "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
    AddPlayer(3, "Bob");
    AddPlayer(4, "Bobby \"the\\ x");
    WriteFile(dir_ / "playermenu.con",
              "Kick|kick\nBan|ban\nTK [k][kick] \"Team killing\"|kick,ban,3600\nHello [hi] \"welcome\"|\n"
              "All [all] \"listen up\"|global,kick\nPb [pb] \"pb_sv_kick %pbid 5 %NAME\"|cmd,ban\n");
  }
};

TEST_F(InGameTest, MapCommandsNeedAnAccountWithTheMapsLetter) {
  EXPECT_TRUE(HandleInGameCommand("Global Bob: !nextmap"));
  Rows queued = TakeQueue();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].rfind("18 [KORV] The next map is ", 0), 0u);

  EXPECT_FALSE(HandleInGameCommand("Global Plain: !change wake") || HandleInGameCommand("Global Admin: !change"));
  for (const char* line : {"!CHANGE wake", "!setnext kursk GPM_CTF xpack1 extra", "!restart"})
    EXPECT_TRUE(HandleInGameCommand(std::string("Global Admin: ") + line)) << line;
  g_manager.core.admin_message_style = 0;  // -noadmin feedback is chat
  EXPECT_FALSE(HandleInGameCommand("Global Plain: !runnext"));
  EXPECT_EQ(TakeQueue(), (Rows{"18 [KORV] !change requires Maps page access",
                               "18 [KORV] !change requires at least one parameter",
                               "0A@FF01 wake GPM_CQ bf1942", "0C@FF01 kursk GPM_CTF xpack1",
                               "0E@FF01 ", "17 [KORV] !runnext requires Maps page access"}));

  // Deactivated accounts, unknown speakers and players without one: a debug line only.
  for (const char* line : {"Global Off: !restart", "Global Ghost: !restart", "Global Bob: !restart",
                           "Global Bob: restart", "Global Bob !restart"})
    EXPECT_FALSE(HandleInGameCommand(line)) << line;
  EXPECT_TRUE(TakeQueue().empty());
  for (const char* why : {"Player Off user account is deactivated!", "Couldn't determine player Ghost keyhash!",
                          "Player Bob is not authorised to use in-game admin!"})
    EXPECT_TRUE(Has(Log(), std::string("DEBUG: ") + why + " Ignoring in-game admin command.")) << why;
}

TEST_F(InGameTest, MenuItemsFindTheirTargetsAndAct) {
  // The end piece keeps its line break.
  EXPECT_EQ((std::vector{LookUpMenuItem("KICK"), LookUpMenuItem("kick|kick\n"), LookUpMenuItem("nothing")}),
            (std::vector{3, 1, 0}));
  EXPECT_TRUE(HandleInGameCommand("Global Plain: !k .3"));
  EXPECT_EQ(TakeQueue(), (Rows{"18@FF02 [KORV] Bob banned for Team killing",
                               "10@FF02+12 " + Fields({"3", "Bob", "10.0.0.4", kHash, "guid3", "3600",
                                                       "Team killing"})}));
  EXPECT_TRUE(HandleInGameCommand("Global Plain: !k @BO"));
  EXPECT_EQ(TakeQueue().size(), 4u);  // Bob and Bobby
  for (const char* refused : {"!k bo", "!k .65", "!k .x", "!k @zz", "!nope", "!k @"})
    EXPECT_FALSE(HandleInGameCommand(std::string("Global Plain: ") + refused)) << refused;
  EXPECT_EQ(TakeQueue(), (Rows{"18 [KORV] No matches or player name bo is ambiguous",
                               "18 [KORV] Player id 65 is not valid",
                               "18 [KORV] Player id x is not valid",
                               "18 [KORV] No matches for player name zz",
                               "18 [KORV] Command id nope is not valid"}));

  // A message to the target, one to everyone, global and a kick, cmd cancelling the ban, no such item.
  EXPECT_EQ((std::vector{RunMenuItem(3, 4, 0xFF02), RunMenuItem(-1, 4, 0xFF02), RunMenuItem(3, 5, 0xFF02),
                         RunMenuItem(3, 6, 0xFF02), RunMenuItem(3, 65025, 0xFF02)}),
            (std::vector{false, false, true, false, false}));
  EXPECT_EQ(TakeQueue(), (Rows{"18@FF02 [KORV] Bob welcome", "18@FF02 [KORV] welcome",
                               "18@FF02 [KORV] Bob kicked for listen up", "0F@FF02+12 3,listen up,",
                               "18@FF02 [KORV] listen up", "19@FF02 pb_sv_kick 4 5 Bob"}));
  // A name never leaves its word of a console command nor adds a line.
  EXPECT_EQ(BuildMenuConsoleCommand("kick  %name\nnow", 4), "kick \"Bobby \\\"the\\\\ x\" now");
  g_manager.links.players[3].name = "a\nquit";
  EXPECT_EQ(BuildMenuConsoleCommand("say %NAME %guid %keyhash %bfid", 3),
            "say aquit guid3 0123456789abcdef0123456789abcdef 3");
  EXPECT_EQ(BuildMenuConsoleCommand("say %name", 70), "say [unknown]");
}

TEST_F(InGameTest, APlayerNamedAfterAnAdminAndACommandRunsNothing) {
  AddPlayer(5, "Admin: !restart x", 0, 50, "dddddddddddddddddddddddddddddddd");
  AddPlayer(6, "Plain: !k .3", 0, 50, "dddddddddddddddddddddddddddddddd");
  EXPECT_FALSE(HandleInGameCommand("Global Admin: !restart x: hello"));
  EXPECT_FALSE(HandleInGameCommand("Global Plain: !k .3: hello"));  // the menu item bans
  EXPECT_TRUE(TakeQueue().empty());
  // A real administrator whose name holds ": " is heard.
  AddPlayer(7, "Ad: min", 0, 50, kAdminHash);
  EXPECT_TRUE(HandleInGameCommand("Global Ad: min: !restart"));
  EXPECT_EQ(TakeQueue(), Rows{"0E@FF01 "});
  // Nobody listed speaks for an unlisted name.
  EXPECT_TRUE(!HandleInGameCommand("Global Ghost: Admin: !restart") && TakeQueue().empty());
}

TEST_F(InGameTest, NamesMatchExactlyAndASharedNameRunsNothing) {
  AddPlayer(5, "ADMIN", 0, 50, "dddddddddddddddddddddddddddddddd");
  EXPECT_FALSE(HandleInGameCommand("Global ADMIN: !restart") || HandleInGameCommand("Global admin: !restart"));
  EXPECT_TRUE(TakeQueue().empty());
  EXPECT_TRUE(Has(Log(), "DEBUG: Player ADMIN is not authorised to use in-game admin!"));
  EXPECT_TRUE(Has(Log(), "DEBUG: Couldn't determine player admin keyhash!"));
  AddPlayer(8, "Plain", 0, 50, "dddddddddddddddddddddddddddddddd");
  EXPECT_TRUE(!HandleInGameCommand("Global Plain: !k .3") && TakeQueue().empty());
}

// "!" alone is no command id, though the empty piece between "][" is there.
TEST_F(InGameTest, AnExclamationMarkAloneRunsNoMenuItem) {
  EXPECT_EQ(LookUpMenuItem(""), 0);
  EXPECT_FALSE(HandleInGameCommand("Global Plain: !"));
  EXPECT_EQ(TakeQueue(), Rows{"18 [KORV] Command id  is not valid"});
  // The last line has no line break to end its last piece.
  WriteFile(dir_ / "playermenu.con", "Kick|kick\nHi [hi] \"welcome\"|\nTk [tk]");
  EXPECT_EQ(LookUpMenuItem(""), 0);
  EXPECT_EQ(LookUpMenuItem("tk"), 3);
}

// A ban text that cannot be made is neither queued nor announced.
TEST_F(InGameTest, AMenuBanWithALongReasonStillBans) {
  const std::string reason(240, 'r');
  WriteFile(dir_ / "playermenu.con", "Long [lb] \"" + reason + "\"|ban\n");
  EXPECT_TRUE(HandleInGameCommand("Global Plain: !lb .3"));
  Rows queued = TakeQueue();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(queued[0], "18@FF02 " + ("[KORV] Bob banned for " + reason).substr(0, 255));
  const std::string head = "10@FF02+12 ";
  ASSERT_EQ(queued[1].rfind(head, 0), 0u);
  // The whole 255 bytes: seven separators, the reason cut to fit.
  std::string fields = Fields({"3", "Bob", "10.0.0.4", kHash, "guid3", "0", ""});
  fields.pop_back();
  EXPECT_EQ(queued[1].substr(head.size()), fields + std::string(255 - fields.size() - 1, 'r') + "\xff");

  g_manager.links.players[3].keyhash = std::string(300, 'k');
  EXPECT_TRUE(HandleInGameCommand("Global Plain: !lb .3") && TakeQueue().empty());
  EXPECT_TRUE(Has(Log(), "Couldn't ban player Bob! The ban command cannot hold his address, keyhash and GUID."));
}

}  // namespace
}  // namespace korvtest
