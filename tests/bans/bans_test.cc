// Ban stores on both roads, expiry, verification, syncs, clearing, queued commands; the ban
// command text, seven fields whatever their lengths, read back as written.
#include "bans/bans.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "bans/ban_file.h"
#include "bans/ban_text.h"
#include "bans/bans_state.h"
#include "core/clock.h"
#include "core/files.h"
#include "links/player_table.h"
#include "remote/console_fixture.h"
#include "remote/remote_state.h"

namespace {

using korvclient::Notice;
using korvtest::Has;
using korvtest::ReadFile;
using korvtest::WriteFile;

constexpr char kKey[] = "0123456789abcdef0123456789abcdef";
constexpr char kGuid[] = "fedcba9876543210fedcba9876543210";
std::time_t g_now = 1700000000;
std::int64_t TestClock() { return std::int64_t{g_now} * 1000; }

std::string List() { return ReadFile(ServerBanListPath()); }
std::string Game() { return ReadFile(GameBanListPath()); }
std::string Pb() { return ReadFile(PunkBusterBanPath()); }
using Three = std::tuple<std::string, std::string, std::string>;
Three Stores() { return {List(), Game(), Pb()}; }

void SetUpBanFiles(const std::string& dir) {
  g_manager.core.settings_dir = dir;
  SetClockForTests(TestClock);
  for (const char* file : {"/banlist.con", "/serverbanlist.con", "/pb/pbbans.dat"})
    CreateFileWithDirs(dir + file, 2);
}

class BanFilesTest : public korvtest::LogFixture {
 protected:
  void SetUp() override { LogFixture::SetUp(); SetUpBanFiles(dir_.path()); }
};

TEST_F(BanFilesTest, StoreLinesGuardsAndReading) {
  EXPECT_FALSE(AppendAddressBan("[UNKNOWN]") || AppendAddressBan(""));
  ASSERT_TRUE(AppendAddressBan("10.0.0.1") && AppendAddressBan("10.0.0.11") && AppendKeyBan(kKey) &&
              RemoveAddressBan("10.0.0.1"));
  EXPECT_EQ(Game(), "admin.addAddressToBanList 10.0.0.11:0 Perm\nadmin.addKeyToBanList " +
                        std::string(kKey) + " Perm\n");
  ASSERT_TRUE(AppendGuidBan(kGuid));
  const std::string pb = Pb();
  EXPECT_TRUE(pb.starts_with("[") && pb.ends_with("] " + std::string(kGuid) + " \"\" \"\" \r\n\r\n")) << pb;
  WriteFile(GameBanListPath(), ";admin.addKeyToBanList hidden Perm\n");
  EXPECT_FALSE(BanFileContains(GameBanListPath(), "hidden"));

  std::optional<BanEntry> row = ParseBanEntry("\"Bob, Jr\",1.2.3.4,*,*,\"op\",5,0,team killing, twice\n");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->name + "|" + row->reason, "Bob, Jr|team killing");
  EXPECT_FALSE(ParseBanEntry("\"Bob\",1.2.3.4,*,*,\"op\",5,0\n"));
}

TEST_F(BanFilesTest, StoppedServerBanRecordsOnlyWhatTheStoresTook) {
  EXPECT_FALSE(BanPlayer("x", -1, "[unknown]", "[Unknown]", "", "op", 1, 0, "r"));
  EXPECT_FALSE(BanPlayer("Bob", -1, "10.1.1.1", "", kGuid, "op", 100, 0, "cheat"));
  for (const std::string& line : {std::string("Ban added on address 10.1.1.1."),
                                   "Couldn't ban guid " + std::string(kGuid) + "! PunkBuster is not installed."})
    EXPECT_TRUE(Has(Log(), line)) << line;
  EXPECT_EQ(Stores(), (Three{"\"Bob\",10.1.1.1,*,*,\"op\",100,0,cheat\n",
                             "admin.addAddressToBanList 10.1.1.1:0 Perm\n", ""}));

  // Texts that would change a row's shape: identities are refused, the rest cut to one line.
  for (const auto& [address, key] : {std::pair<std::string, std::string>{"1.2.3.4\nadmin.clearBanList", ""},
                                     {"1.2.3.4,5.6.7.8", ""}, {"", std::string(33, 'a')}})
    EXPECT_FALSE(BanPlayer("Eve", -1, address.c_str(), key.c_str(), "", "op", 1, 0, "r")) << address;
  std::string reason = std::string(1000, 'x') + "\n\"evil\",9.9.9.9,*,*,\"op\",0,0,forged";
  const std::string name = "E\"v\ne" + std::string(40, 'n');
  ASSERT_TRUE(BanPlayer(name.c_str(), -1, "2.2.2.2", "", "", "o\"p", 7, 0, reason.c_str()));
  EXPECT_EQ(List(), "\"Bob\",10.1.1.1,*,*,\"op\",100,0,cheat\n\"E'v e" + std::string(26, 'n') +
                        "\",2.2.2.2,*,*,\"o'p\",7,0," + std::string(255, 'x') + "\n");
}

TEST_F(BanFilesTest, UnbanClearsTheValueInEveryRowAndDropsOnlyLinesBanningExactlyIt) {
  std::string key(kKey);
  WriteFile(ServerBanListPath(), "\"A\",*," + key + ",*,\"op\",1,0,r\n"
                                 "\"B\",3.3.3.3," + key + ",*,\"op\",2,0,r\n"
                                 "broken line\n"
                                 "\"C\",4.4.4.4,*,*,\"op\",3,0,r\n");
  WriteFile(GameBanListPath(), "admin.addKeyToBanList " + key + " Perm\n"
                               "admin.addAddressToBanList 4.4.4.4:0 Perm\n");
  ASSERT_TRUE(UnbanPlayer("A", "*", key.c_str(), ""));
  EXPECT_EQ(Stores(), (Three{"\"B\",3.3.3.3,*,*,\"op\",2,0,r\n\"C\",4.4.4.4,*,*,\"op\",3,0,r\n",
                             "admin.addAddressToBanList 4.4.4.4:0 Perm\n", ""}));
  EXPECT_TRUE(Has(Log(), "Ban removed on keyhash " + key + "."));
  // A store that fails keeps the identity in the daemon's list.
  std::filesystem::remove(PunkBusterBanPath());
  EXPECT_FALSE(UnbanPlayer("C", "4.4.4.4", "", kGuid));
  EXPECT_TRUE(Has(Log(), "Couldn't unban guid " + std::string(kGuid) + "! "));
  EXPECT_EQ(List(), "\"B\",3.3.3.3,*,*,\"op\",2,0,r\n");
  // Only lines banning exactly the value go; an overlong line is two lines to every reader.
  const std::string kept = "admin.addAddressToBanList 110.0.0.1:0 Perm\n"
                           "admin.addAddressToBanList 10.0.0.11:0 Perm\n"
                           "admin.addKeyToBanList " + key + " Perm\n"
                           ";admin.addKeyToBanList a Perm\n";
  WriteFile(GameBanListPath(), "admin.addAddressToBanList 10.0.0.1:0 Perm\n" + kept +
                                   "ADMIN.ADDKEYTOBANLIST A Perm\n" + std::string(1023, 'y') +
                                   "admin.addKeyToBanList a Perm\n");
  WriteFile(ServerBanListPath(), "\"\"Ann\",,5.5.5.5,*,*,\"op\",1,0,r\n"
                                 "\"Bo\",10.0.0.1,a,*,\"op\",2,0,r\n"
                                 "\"Cy\",110.0.0.1," + key + ",*,\"op\",3,0,r,extra\n"
                                 "\"Di\",7.7.7.7,*,*,\"op\",4,0,r");
  ASSERT_TRUE(UnbanPlayer("Bo", "10.0.0.1", "a", ""));
  EXPECT_EQ(Game(), kept + std::string(1023, 'y'));
  EXPECT_EQ(List(), "\"Ann\",5.5.5.5,*,*,\"op\",1,0,r\n\"Cy\",110.0.0.1," + key +
                        ",*,\"op\",3,0,r\n\"Di\",7.7.7.7,*,*,\"op\",4,0,r\n");
  ASSERT_TRUE(RemoveAddressBan("10.0.0.11"));
  EXPECT_EQ(Game(), kept.substr(0, 43) + kept.substr(86) + std::string(1023, 'y'));
  const std::string other(32, '0');
  WriteFile(PunkBusterBanPath(), GuidBanLine(kGuid, 0) + GuidBanLine(other, 0));
  ASSERT_TRUE(RemoveGuidBan("fedcba98") && RemoveGuidBan("FEDCBA9876543210FEDCBA9876543210"));
  EXPECT_EQ(Pb(), "\r\n" + GuidBanLine(other, 0));
}

TEST_F(BanFilesTest, ExpiryAtTheExactSecondMatchesSingleUnbans) {
  std::string key(kKey);
  std::string list;
  std::string game;
  for (int i = 0; i < 50; ++i) {
    std::string address = "10.0." + std::to_string(i / 10) + "." + std::to_string(i);
    unsigned long expiry = i % 5 == 0 ? g_now - i : i % 5 == 1 ? 0 : g_now + 1 + i;
    list += "\"P" + std::to_string(i) + "\"," + address + "," + (i == 10 ? key : "*") + ",*,\"op\",1," +
            std::to_string(expiry) + ",r\n";
    game += AddressBanLine(address);
  }
  list += "\"Perm\",*," + key + ",*,\"op\",1,0,r\n";
  game += KeyBanLine(key);
  auto seed = [&] { WriteFile(ServerBanListPath(), list); WriteFile(GameBanListPath(), game); };
  seed();
  for (std::string_view line : SplitBanLines(list)) {
    std::optional<BanEntry> row = ParseBanEntry(line);
    const std::uint64_t expiry = row ? BanExpiry(row->expiry) : 0;
    if (expiry != 0 && expiry <= static_cast<std::uint64_t>(g_now))
      UnbanPlayer(row->name.c_str(), row->address.c_str(), row->keyhash.c_str(), row->guid.c_str());
  }
  const Three one_by_one = Stores();

  seed();
  EXPECT_FALSE(ExpireTimedBansAt(g_now));  // no console: nothing checked
  g_manager.links.console_connected = true;  // the file road, as with the server stopped
  ASSERT_TRUE(ExpireTimedBansAt(g_now));
  EXPECT_EQ(Stores(), one_by_one);
  for (const std::string& who : {std::string("P0 (*)"), "P10 (" + key + ")"})
    EXPECT_TRUE(Has(Log(), "Removed timed-ban on player " + who + ", the ban has expired.")) << who;
  EXPECT_FALSE(Has(List(), "\"Perm\""));  // its key was lifted by value
  // A ban ending at a later second stays until that very second.
  ASSERT_TRUE(ExpireTimedBansAt(g_now + 2));
  EXPECT_TRUE(Has(List(), "\"P2\""));
  ASSERT_TRUE(ExpireTimedBansAt(g_now + 3));
  EXPECT_FALSE(Has(List(), "\"P2\""));
  EXPECT_TRUE(Has(List(), "\"P3\""));
}

// Slices of 1000 bans, one a pass, the next queued; a big slice logs its identities in one line.
TEST_F(BanFilesTest, MassExpiryGoesInSlicesQueuedOneAPass) {
  std::string list = "\"Perm\",1.1.1.1,*,*,\"op\",1,0,r\n";
  std::string game;
  for (int i = 0; i < 1003; ++i) {
    const std::string address = "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
    list += "\"P" + std::to_string(i) + "\"," + address + ",*,*,\"op\",1," +
            std::to_string(g_now - 1) + ",r\n";
    game += AddressBanLine(address);
  }
  WriteFile(ServerBanListPath(), list);
  WriteFile(GameBanListPath(), game);
  g_manager.links.console_connected = true;
  ASSERT_TRUE(ExpireTimedBansAt(g_now));
  EXPECT_EQ(List(), "\"Perm\",1.1.1.1,*,*,\"op\",1,0,r\n" + list.substr(list.find("\"P1000\"")));
  EXPECT_EQ(Game(), game.substr(game.find("10.0.3.232:")  - 26));
  EXPECT_TRUE(Has(Log(), "Removing 1000 expired timed-bans: their 1000 address, keyhash and GUID "
                         "bans were lifted without a line each."));
  EXPECT_TRUE(Has(Log(), "Removed timed-ban on player P999 (*), the ban has expired.") &&
              !Has(Log(), "Ban removed on address")) << Log();
  const auto& queue = g_manager.remote.queue;
  EXPECT_EQ(std::pair(queue[0].code, queue[1].code), std::pair(kCmdExpireBans, 0u));
  g_manager.remote.queue = {};
  korvtest::RunCommand(kCmdExpireBans, "", 0);  // lifts at the ban clock's time
  EXPECT_EQ(Stores(), (Three{"\"Perm\",1.1.1.1,*,*,\"op\",1,0,r\n", "", ""}));
  EXPECT_TRUE(Has(Log(), "Ban removed on address 10.0.3.234."));
  EXPECT_EQ(queue[0].code, 0u);

  // Bans a store refuses stay due; the rest of the round passes over them.
  std::filesystem::remove(PunkBusterBanPath());
  list.clear();
  for (int i = 0; i < 1001; ++i) {
    char guid[33];
    std::snprintf(guid, sizeof guid, "%032x", i);
    list += "\"G\",*,*," + std::string(guid) + ",\"op\",1," + std::to_string(g_now) + ",r\n";
  }
  WriteFile(ServerBanListPath(), list + "\"A\",9.9.9.9,*,*,\"op\",1,1,r\n");
  WriteFile(GameBanListPath(), AddressBanLine("9.9.9.9"));
  ASSERT_TRUE(ExpireTimedBansAt(g_now));
  EXPECT_EQ(queue[0].code, kCmdExpireBans);
  g_manager.remote.queue = {};
  korvtest::RunCommand(kCmdExpireBans, "", 0);
  EXPECT_EQ(std::tuple(List(), Game(), queue[0].code), std::tuple(list, "", 0u));
}

TEST_F(BanFilesTest, VerifySyncBothWaysAndClear) {
  g_manager.core.punkbuster_installed = true;
  WriteFile(ServerBanListPath(), "\"A\",10.1.1.1,*," + std::string(kGuid) + ",\"op\",1,0,r\n"
                                 "\"B\",*," + std::string(kKey) + ",*,\"op\",1,9,r\n");
  ASSERT_TRUE(SyncToServerBanList());
  EXPECT_EQ(Game(), "admin.addAddressToBanList 10.1.1.1:0 Perm\nadmin.addKeyToBanList " +
                        std::string(kKey) + " Perm\n");
  EXPECT_TRUE(Has(Pb(), kGuid) && VerifyGameBansListed() && VerifyServerBansListed());
  // A row cut after its guid is checked without its line end; a comment in a store holds nothing.
  WriteFile(ServerBanListPath(), List() + "\"C\",*,*," + std::string(kGuid) + "\r\n");
  EXPECT_TRUE(VerifyGameBansListed());
  const std::string game = Game();
  WriteFile(GameBanListPath(), ";" + game);
  EXPECT_FALSE(VerifyGameBansListed());
  WriteFile(GameBanListPath(), game);
  // The address must be a whole field of some row.
  WriteFile(ServerBanListPath(), "\"A\",10.1.1.10,*," + std::string(kGuid) + ",\"op\",1,0,r\n");
  EXPECT_FALSE(VerifyGameBansListed() || VerifyServerBansListed());

  ASSERT_TRUE(SyncFromServerBanList());
  EXPECT_EQ(List(), "\"[unknown]\",10.1.1.1,*,*,\"operator\",0,0,unknown reason\n"
                    "\"[unknown]\",*," + std::string(kKey) + ",*,\"operator\",0,0,unknown reason\n"
                    "\"[unknown]\",*,*," + std::string(kGuid) + ",\"operator\",0,0,unknown reason\n");
  std::filesystem::remove(PunkBusterBanPath());
  EXPECT_TRUE(!SyncFromServerBanList() && Has(List(), kGuid));

  korvtest::RunCommand(kCmdClearBans, "", 0);
  EXPECT_EQ(List() + Game(), "");
  EXPECT_TRUE(Has(Log(), "User operator at console cleared the banlist."));
}

class BanConsoleTest : public korvtest::ConsoleFixture {
 protected:
  void SetUp() override {
    ConsoleFixture::SetUp();
    SetUpBanFiles(dir_.path());
    GetPlayerList();
    Sent();
  }
};

TEST_F(BanConsoleTest, BanByIdOrByListAndPlayerLeavesTheTable) {
  ASSERT_TRUE(BanPlayer("Mike", 3, "10.0.0.5", kKey, "", "op", 5, 0, "r"));
  EXPECT_EQ(Sent(), std::vector<std::string>{"admin.banPlayer 3"});
  EXPECT_EQ(Stores(), (Three{"\"Mike\",10.0.0.5,*,*,\"op\",5,0,r\n", "", ""}));  // the game keeps its own file
  EXPECT_EQ(FindPlayerById(3), nullptr);

  GetPlayerList();
  Sent();
  g_manager.links.punkbuster_enabled = true;
  Setting(kSetBanInBfAndPb).value = 1;
  fail_ = "pb_sv_banguid";
  EXPECT_FALSE(BanPlayer("Other", 3, "10.0.0.9", kKey, kGuid, "op", 6, 0, "r"));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"admin.addAddressToBanList 10.0.0.9",
                                              "admin.addKeyToBanList " + std::string(kKey),
                                              "pb_sv_banguid " + std::string(kGuid)}));
  EXPECT_TRUE(Has(List(), "\"Other\",10.0.0.9," + std::string(kKey) + ",*,") && FindPlayerById(3) == nullptr);
  // The link is down now: the ban is refused and nothing changes.
  const std::string before = List();
  EXPECT_FALSE(BanPlayer("Mike", -1, "10.0.0.5", "", "", "op", 7, 0, "r"));
  EXPECT_TRUE(Has(Log(), "Couldn't ban player Mike! Korvane is not connected to the server.") && List() == before);
}

TEST_F(BanConsoleTest, FailingConsoleCommandsChangeNoList) {
  WriteFile(ServerBanListPath(), "\"A\",1.1.1.1," + std::string(kKey) + ",*,\"op\",1,0,r\n");
  fail_ = "admin.removeKeyFromBanList";
  EXPECT_FALSE(UnbanPlayer("A", "1.1.1.1", kKey, ""));
  EXPECT_EQ(List(), "\"A\",*," + std::string(kKey) + ",*,\"op\",1,0,r\n");
  EXPECT_TRUE(Has(Log(), "Couldn't unban keyhash " + std::string(kKey) + "! The command failed."));

  WriteFile(GameBanListPath(), "admin.addKeyToBanList k Perm\n");
  Run(kCmdClearBans, "", 1);
  EXPECT_TRUE(Has(Log(), "Couldn't clear server banlist! The command failed.") && Has(List(), kKey));
  EXPECT_EQ(Game(), "admin.addKeyToBanList k Perm\n");
  // The unban's list was rewritten all the same; the clear only failed.
  EXPECT_EQ(Received(), Notice(0x0D) + Notice(0x01));
  // The running game keeps its own list: a copy into its file is refused.
  Run(kCmdSyncToServerBans, "", 1);
  EXPECT_TRUE(Has(Log(), "Couldn't sync to the server banlist! The game server is running and "
                         "keeps its own banlist; stop the server first."));
  EXPECT_EQ(Game(), "admin.addKeyToBanList k Perm\n");
  EXPECT_EQ(Received(), Notice(0x01));
}

TEST_F(BanConsoleTest, ClearEmptiesPunkBusterOnlyWhenBansGoThere) {
  g_manager.links.punkbuster_enabled = true;
  for (int both : {1, 0}) {
    Setting(kSetBanInBfAndPb).value = both;
    WriteFile(ServerBanListPath(), "\"A\",1.1.1.1,*,*,\"op\",1,0,r\n");
    Run(kCmdClearBans, "", 1);
    EXPECT_EQ(List(), "");
    using Lines = std::vector<std::string>;
    EXPECT_EQ(Sent(), (both ? Lines{"admin.clearBanList", "pb_sv_banempty"} : Lines{"admin.clearBanList"}));
  }
}

TEST_F(BanConsoleTest, QueuedBanAndUnbanTextsAuditAndNotify) {
  g_manager.core.admin_log = true;
  g_manager.core.kick_delay = 0;
  // As moderation queues it: from the daemon itself, permanent.
  Run(kCmdBanPlayer, "3\xffMike\xff" "10.0.0.5\xff" + std::string(kKey) + "\xff\xff" "0\xffminus\xff", 0);
  EXPECT_TRUE(Has(Log(), "User operator at console banned player Mike (" + std::string(kKey) +
                             ") permanently for minus."));
  EXPECT_TRUE(Has(ReadFile(AdminLogPath()), "\"Mike\",10.0.0.5," + std::string(kKey) +
                                                 ",[unknown],\"operator\",1700000000,berlin,ban,0,minus"));
  EXPECT_EQ(Received(), Notice(0x21, "Mike") + Notice(0x0D));
  Run(kCmdBanPlayer, "-1\xffJoe\xff" "9.9.9.9\xff\xff\xff" "60\xffspam\xff", 1);
  EXPECT_TRUE(Has(Log(), "User alice at 127.0.0.1:5001 banned player Joe () until ") &&
              Has(List(), "\"Joe\",9.9.9.9,*,*,\"alice\",1700000000,1700000060,spam"));
  Received();
  Run(kCmdBanPlayer, "-1\xffJoe\xff" "8.8.8.8\xff\xff\xff" "-5\xffspam\xff", 1);
  Run(kCmdBanPlayer, "-1\xffJoe\xff" "8.8.8.8", 1);
  for (const char* why :
       {" Joe! A ban of -5 seconds would have expired already.", "! The ban command holds 2 of its 7 fields."})
    EXPECT_TRUE(Has(Log(), std::string("Couldn't ban player") + why)) << why;
  EXPECT_FALSE(Has(List(), "8.8.8.8"));
  EXPECT_EQ(Received(), Notice(0x01) + Notice(0x01));

  // A text longer than the queue's buffer loses the end of its reason, not the ban.
  const std::string reason(400, 'r');
  Run(kCmdBanPlayer, "-1\xffLong\xff" "7.7.7.7\xff\xff\xff" "0\xff" + reason + "\xff", 1);
  EXPECT_TRUE(Has(List(), "\"Long\",7.7.7.7,*,*,\"alice\",1700000000,0,rrrr") &&
              Has(Log(), "User alice at 127.0.0.1:5001 banned player Long () permanently for rrr"));
  EXPECT_EQ(Received(), Notice(0x21, "Long") + Notice(0x0D));

  Run(kCmdRemoveBan, "Joe,9.9.9.9", 0xFF00);
  EXPECT_TRUE(!Has(List(), "Joe") && Has(Log(), "removed ban on player Joe ()."));
  EXPECT_EQ(Received(), Notice(0x0D) + Notice(0x22, "Joe") + Notice(0x0D));
}

constexpr std::size_t kTextMax = kQueuedTextSize - 1;

BanText Sample(std::string reason) {
  return BanText{7, "Dan", "10.0.0.8", "0123456789abcdef0123456789abcdef", "guid7", 3600,
                 std::move(reason)};
}

std::size_t Separators(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), kBanSeparator));
}

TEST(BanTextTest, WrittenTextsReadBackFieldForField) {
  std::optional<std::string> text = WriteBanText(Sample("team killing"));
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "7\xff" "Dan\xff" "10.0.0.8\xff" "0123456789abcdef0123456789abcdef\xff"
                   "guid7\xff" "3600\xff" "team killing\xff");
  int found = 0;
  std::optional<BanText> read = ReadBanText(*text, &found);
  ASSERT_TRUE(read);
  EXPECT_EQ(std::tuple(found, read->id, read->name, read->address, read->keyhash, read->guid, read->duration,
                       read->reason),
            std::tuple(7, 7, "Dan", "10.0.0.8", "0123456789abcdef0123456789abcdef", "guid7", 3600,
                       "team killing"));
}

TEST(BanTextTest, LongReasonsAreCutAndTheFieldsKept) {
  // The other fields and the seven separators take 60 bytes: 195 are left.
  for (std::size_t length : {194u, 195u, 196u, 300u, 5000u}) {
    std::optional<std::string> text = WriteBanText(Sample(std::string(length, 'r')));
    ASSERT_TRUE(text) << length;
    EXPECT_LE(text->size(), kTextMax) << length;
    EXPECT_EQ(std::pair(Separators(*text), text->back()), std::pair(std::size_t{7}, kBanSeparator)) << length;
    std::optional<BanText> read = ReadBanText(*text, nullptr);
    ASSERT_TRUE(read) << length;
    EXPECT_EQ(std::pair(read->reason, read->guid),
              std::pair(std::string(std::min<std::size_t>(length, 195), 'r'), std::string("guid7"))) << length;
  }
  EXPECT_EQ(WriteBanText(Sample(std::string(5000, 'r')))->size(), kTextMax);
  // Then the name; identities that cannot fit make no text at all.
  BanText long_name = Sample(std::string(300, 'r'));
  long_name.name = std::string(300, 'n');
  std::optional<std::string> text = WriteBanText(long_name);
  ASSERT_TRUE(text);
  EXPECT_EQ(ReadBanText(*text, nullptr)->reason, "");
  BanText long_key = Sample("r");
  long_key.keyhash = std::string(300, 'k');
  EXPECT_FALSE(WriteBanText(long_key));
}

// A text the queue cut keeps its reason; a short one missing its last separator is refused.
TEST(BanTextTest, TextsCutByTheQueueKeepTheirReason) {
  std::string whole = "3\xff" "Mike\xff" "10.0.0.5\xff\xff\xff" "0\xff" + std::string(400, 'r') + "\xff";
  std::string cut = whole.substr(0, kTextMax);
  int found = 0;
  std::optional<BanText> read = ReadBanText(cut, &found);
  ASSERT_TRUE(read);
  EXPECT_EQ(std::tuple(found, read->name, read->reason), std::tuple(7, "Mike", std::string(kTextMax - 20, 'r')));
  EXPECT_FALSE(ReadBanText("3\xff" "Mike\xff" "10.0.0.5\xff\xff\xff" "0\xff" "spam", &found));
  EXPECT_EQ(found, 6);
  // A cut in an earlier field loses that field: refused.
  std::string early = "3\xff" + std::string(300, 'n') + "\xff" "1.1.1.1\xff\xff\xff" "0\xff" "r\xff";
  EXPECT_FALSE(ReadBanText(early.substr(0, kTextMax), &found));
  EXPECT_EQ(found, 1);
}

}  // namespace
