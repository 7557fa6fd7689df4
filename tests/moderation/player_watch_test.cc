// The player watch (causes in precedence, chat lines, notifications, high ping, AutoBan), chat
// speakers, the announcement step.
#include "moderation/player_watch.h"

#include <filesystem>

#include "core/files.h"
#include "history/history.h"
#include "links/console.h"
#include "links/fake_console.h"
#include "links/udp_responder.h"
#include "moderation/announcements.h"
#include "moderation/banned_words.h"
#include "moderation/moderation.h"
#include "moderation/moderation_fixture.h"

namespace korvtest {
namespace {

class PlayerWatchTest : public ModerationFixture {
 protected:
  void SetUp() override {
    ModerationFixture::SetUp();
    status_ = std::make_unique<UdpResponder>(
        std::vector<std::string>{"\\hostport\\" + std::to_string(SettingValue(kSetServerPort)) +
                                 "\\numplayers\\0\\queryid\\1.1\\final\\"});
    console_ = std::make_unique<FakeConsole>("u", "p", Replies());
    PointAtStandIns(console_->port(), 0, "u", "p");
    Setting(kSetBanInBfAndPb).value = 0;
    Setting(kSetGameSpyLanPort).value = status_->port();
    ASSERT_TRUE(ConsoleConnect()) << Log();
    g_manager.links.status_report = "\\mapname\\Berlin";
    g_manager.links.players.fill(PlayerRecord{});
    g_manager.remote.sessions[2].socket = client_.a;
    g_manager.core.admin_log = true;
  }
  Rows Said() {
    Rows out;
    auto requests = console_->requests();
    for (std::size_t i = seen_; i < requests.size(); ++i)
      for (const std::string& s : requests[i])
        if (s.find("[KORV]") != std::string::npos) out.push_back(s);
    seen_ = requests.size();
    return out;
  }
  std::unique_ptr<UdpResponder> status_;
  std::unique_ptr<FakeConsole> console_;
  TcpPair client_;
  std::size_t seen_ = 0;
};

TEST_F(PlayerWatchTest, EachCauseKicksOnceInPrecedenceAndTheRowPositionIsHeld) {
  WriteFile(dir_ / "bannedwords.con", "noob\n");
  ASSERT_TRUE(LoadBannedWords());
  AddPlayer(1, "NoobKing", -30, 999);  // the name wins over score and ping
  AddPlayer(2, "Mi\"nus", -6, 999);    // the score wins over the ping
  AddPlayer(3, "Fine", -5, 499);
  EXPECT_TRUE(PlayerWatch(1000));  // every watch is off: not even the player list is asked for
  EXPECT_TRUE(Said().empty() && TakeQueue().empty());
  for (int s : {kSetAutoKickWord, kSetAutoKickScore, kSetAutoKickPing}) Setting(s).value = 1;
  Said();
  WatchPlayers(1000);
  EXPECT_EQ(TakeQueue(), (Rows{"19+12 admin.kickPlayer 1", "19+12 admin.kickPlayer 2"}));
  // A quote in a name cannot end the message's argument early.
  EXPECT_EQ(Said(), (Rows{"admin.serverMessage \"[KORV] Kicking NoobKing for banned word in player name\"",
                          "admin.serverMessage \"[KORV] Kicking Mi'nus for minus-score\""}));
  EXPECT_EQ(TcpPair::Drain(client_.b),
            korvclient::Notice(0x28, "NoobKing") + korvclient::Notice(0x2A, "Mi\"nus"));
  EXPECT_EQ(std::pair(g_manager.links.players[0].name, g_manager.links.players[1].name),
            std::pair(std::string("Fine"), std::string()));
  for (const std::string& who : {"NoobKing (" + std::string(kHash) + ") at 10.0.0.2 for banned word in player name.",
                                 "Mi\"nus (" + std::string(kHash) + ") at 10.0.0.3 for minus-score (-6)."})
    EXPECT_TRUE(Has(Log(), "Auto-kicked " + who)) << who;
  EXPECT_TRUE(Has(ReadFile(AdminLogPath()), ",\"auto\",1000,Berlin,kick,0,banned word in name"));
  EXPECT_TRUE(PlayerWatch(1000));  // it ran
  ConsoleDisconnect();
  g_manager.links.players[0].score = "-25";
  EXPECT_TRUE(!PlayerWatch(1000) && TakeQueue().empty());
}

TEST_F(PlayerWatchTest, HighPingWarnsThreeTimesAndKicksAtTheFourthCheck) {
  Setting(kSetAutoKickPing).value = 1;
  Setting(kSetHighPingWarnings).value = 1;
  g_manager.core.kick_delay = 0;
  g_manager.core.admin_message_style = 0;
  g_manager.core.settings_dir = dir_.path();
  OpenHistory(1000);
  AddPlayer(5, "Lag", 0, 500);
  AddPlayer(64, "Far", 0, 900);  // no counter: never kicked for ping
  WatchPlayers(1000);
  g_manager.links.players[0].ping = "100";  // a normal ping starts again
  WatchPlayers(1000);
  g_manager.links.players[0].ping = "500";
  for (int i = 0; i < 4; ++i) WatchPlayers(1000);
  const std::string warned = "game.sayAll \"[KORV] Lag ping 500 exceeds maximum of 500 for ";
  EXPECT_EQ(Said(), (Rows{warned + "1 times\"", warned + "1 times\"", warned + "2 times\"",
                          warned + "3 times\"", "game.sayAll \"[KORV] Kicking Lag for high-ping\""}));
  EXPECT_EQ(TakeQueue(), Rows{"19 admin.kickPlayer 5"});
  Rows actions;  // the history hears of the warnings and the kick, by the watch's name
  for (const HistoryWrite& w : g_manager.history.batch)
    if (w.kind == HistoryWrite::Kind::kAction) actions.push_back(w.action + " " + w.who + ": " + w.why);
  const std::string warning = "warning auto: high-ping: ping 500, warning ";
  EXPECT_EQ(actions, (Rows{warning + "1", warning + "1", warning + "2", warning + "3",
                           "kick auto: high-ping: ping 500"}));
  EXPECT_EQ(std::pair(int{g_manager.moderation.high_ping_counts[5]}, g_manager.links.players[0].name),
            std::pair(0, std::string("Far")));
  // Figures not known from the status report are never acted on.
  g_manager.links.players[0].figures_known = false;
  g_manager.links.players[0].id = 6;
  for (int i = 0; i < 5; ++i) WatchPlayers(1000);
  EXPECT_TRUE(TakeQueue().empty());
}

TEST_F(PlayerWatchTest, AutoBanCountsKicksPerIdentityAndBansTheThird) {
  Setting(kSetAutoKickScore).value = 1;
  Setting(kSetAutoBan).value = 1;
  Setting(kSetServerInternet).value = 1;
  WriteFile(dir_ / "kicklist.con", std::string(kHash) + "\r\nother\n");
  AddPlayer(9, "Neg", -10);
  WatchPlayers(1000);  // second kick: recorded
  EXPECT_EQ(ReadFile(dir_ / "kicklist.con"), std::string(kHash) + "\r\nother\n" + kHash + "\n");
  AddPlayer(9, "Neg", -10);
  TakeQueue();
  Said();
  TcpPair::Drain(client_.b);
  WatchPlayers(1000);  // third: banned, the row stays
  EXPECT_EQ(TakeQueue(), Rows{"10+12 " + Fields({"9", "Neg", "10.0.0.10", kHash, "guid9", "0",
                                                 "Banned for too many minus-score kicks."})});
  EXPECT_EQ(Said(), Rows{"admin.serverMessage \"[KORV] Banned Neg for too many minus-score kicks\""});
  EXPECT_EQ(TcpPair::Drain(client_.b), korvclient::Notice(0x29, "Neg") + korvclient::Notice(0x0D));
  EXPECT_EQ(g_manager.links.players[0].name, "Neg");
  EXPECT_TRUE(Has(Log(), std::string("Auto-banned Neg (") + kHash + ") at 10.0.0.10 for minus-score (-10)."));

  // The identity: the keyhash on an Internet server, the address on a LAN.
  std::remove((dir_ / "kicklist.con").c_str());
  Setting(kSetAutoBanValue).value = 2;
  EXPECT_FALSE(AutoBan("10.0.0.1", nullptr) || AutoBan("10.0.0.1", "[unknown]"));
  EXPECT_TRUE(Has(Log(), "DEBUG: AutoBan: Player keyhash is unknown, kick ignored."));
  Setting(kSetServerInternet).value = 0;
  EXPECT_FALSE(AutoBan("[UNKNOWN]", kHash));
  EXPECT_TRUE(Has(Log(), "DEBUG: AutoBan: Player address is unknown, kick ignored."));
  EXPECT_FALSE(AutoBan("10.0.0.1", kHash));
  EXPECT_TRUE(AutoBan("10.0.0.1", "other"));
  EXPECT_FALSE(AutoBan("10.0.0.2\nx", kHash));  // a line break cannot add a line
  EXPECT_EQ(ReadFile(dir_ / "kicklist.con"), "10.0.0.1\n10.0.0.2\n");
  // An unreadable kicklist.con records nothing and lets the caller kick.
  g_manager.core.settings_dir = dir_ / "kicklist.con/x";
  EXPECT_FALSE(AutoBan("10.0.0.1", "h"));
  EXPECT_TRUE(Has(Log(), "Couldn't open KickList.con! "));
}

class AnnouncementsTest : public ModerationFixture {
 protected:
  Rows Run(int ticks) {
    Rows texts;
    for (int i = 0; i < ticks; ++i) {
      EXPECT_TRUE(AnnouncementStep());
      for (const std::string& row : TakeQueue()) texts.push_back(row);
    }
    return texts;
  }
};

TEST_F(AnnouncementsTest, LinesInOrderThenTheBuiltInLineAndMissingOrUnopenableFiles) {
  Setting(kSetAutoAnnouncePeriod).value = 45;
  Setting(kSetMonitorTimerPeriod).value = 30;
  g_manager.core.admin_message_style = 0;
  WriteFile(dir_ / "announcements.con", "A\r\n\n" + std::string(100, 'x') + "\n");
  EXPECT_EQ(Run(1), Rows{});
  EXPECT_EQ(Run(7), (Rows{"17 *A", "17 *", "17 *" + std::string(62, 'x'),
                          std::string("17 ") + kBuiltInAnnouncement}));
  // An edit takes effect at the same line number.
  WriteFile(dir_ / "announcements.con", "B\nC\n");
  EXPECT_EQ(Run(4), (Rows{"17 *B", "17 *C"}));
  std::remove((dir_ / "announcements.con").c_str());
  Setting(kSetAutoAnnouncePeriod).value = 10;
  EXPECT_EQ(Run(2), Rows(2, std::string("17 ") + kBuiltInAnnouncement));
  EXPECT_TRUE(FileExists(dir_ / "announcements.con"));
  Setting(kSetAutoAnnounce).value = 1;
  g_manager.core.settings_dir = dir_ / "announcements.con/x";
  EXPECT_TRUE(!AnnouncementStep() && SettingValue(kSetAutoAnnounce) == 0);
  EXPECT_TRUE(Has(Log(), "Couldn't open announcements file! ") && Has(Log(), "Auto-announce has been disabled."));
  // A directory in the file's place is skipped and queues nothing.
  Setting(kSetAutoAnnounce).value = 1;
  g_manager.core.settings_dir = dir_ / "sub";
  std::filesystem::create_directories(dir_ / "sub/announcements.con");
  EXPECT_TRUE(!AnnouncementStep() && TakeQueue().empty());
  EXPECT_TRUE(Has(Log(), "Couldn't open announcements file! Is a directory (21)\r\n"));
}

class ChatSpeakerTest : public ModerationFixture {
 protected:
  std::string Speaker(const std::string& line) {
    std::optional<ChatSpeaker> speaker = FindChatSpeaker(line);
    return speaker ? std::to_string(speaker->player.id) + "|" + speaker->message : "none";
  }
};

TEST_F(ChatSpeakerTest, TheLongestWholeListedNameSpeaks) {
  AddPlayer(1, "Commander");
  AddPlayer(2, "Commander: !restart x");
  AddPlayer(3, "Bo");
  EXPECT_EQ((Rows{Speaker("Global Commander: !restart x: hello"), Speaker("Global Commander: !restart y: hello"),
                  Speaker("Team Commander: "), Speaker("Global Bo: hi")}),
            (Rows{"2|hello", "1|!restart y: hello", "1|", "3|hi"}));
  // A name must be whole and followed by ": ", right after the first blank.
  for (const char* line : {"Global Bob: hi", "Global Bo:hi", "Global Bo", "GlobalBo: hi",
                           "Global  Bo: hi", "Global COMMANDER: hi", "Bo: hi", ""})
    EXPECT_EQ(Speaker(line), "none") << line;
  // Two listed players of one name: neither speaks, whatever the order.
  AddPlayer(4, "Bo");
  EXPECT_EQ(Speaker("Global Bo: hi"), "none");
  AddPlayer(5, "Bo: x");
  EXPECT_EQ(Speaker("Global Bo: x: hi"), "5|hi");
  EXPECT_EQ(ClaimedSpeaker("Global Bo: x: hi"), "Bo");
}

}  // namespace
}  // namespace korvtest
