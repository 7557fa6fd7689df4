// Account file format, login results, the upload merge rules, the wait after failed logins.
#include "remote/accounts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <regex>

#include "links/link_fixture.h"
#include "remote/login_penalty.h"
#include "remote/session.h"

namespace {

using korvtest::Has;
using korvtest::ReadFile;
using korvtest::WriteFile;

class AccountsTest : public korvtest::LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.settings_dir = dir_.path() + "/settings";
    std::filesystem::create_directories(g_manager.core.settings_dir);
    InitSessionTable();
  }
  std::string Path() { return UserAccessPath(); }
  void WriteAccounts(const std::string& lines) {
    WriteFile(Path(), lines);
    ASSERT_TRUE(LoadUserAccounts(Path()));
  }
  void Connect(int slot, const std::string& name, std::uint32_t access) {
    ClientSession& s = g_manager.remote.sessions[slot];
    s.socket = 1000 + slot;
    s.user_name = name;
    s.address = "127.0.0.1:" + std::to_string(4000 + slot);
    s.access = access;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const UserAccount& a : g_manager.remote.accounts)
      if (!a.user_name.empty()) names.push_back(a.user_name);
    return names;
  }
  const UserAccount* Find(const std::string& name) {
    for (const UserAccount& a : g_manager.remote.accounts)
      if (a.user_name == name) return &a;
    return nullptr;
  }
};

TEST(AccessLetters, LettersAdminAndSubsets) {
  // Bits 12 and up are not shown.
  EXPECT_EQ((std::vector{AccessLettersText(0x41), AccessLettersText(0), AccessLettersText(0xFFF), AccessLettersText(0x3F000),
                         AccessLettersText(0xFFFFFFFF), AccessLettersText(0x7FFFFFFF)}),
            (std::vector<std::string>{"SgfiatMpbuhc", "sgfiatmpbuhc", "SGFIATMPBUHC", "sgfiatmpbuhc", "-- admin --",
                                      "SGFIATMPBUHC"}));
  // Subsets compare bits 0 to 17: bit 18 (0x40200) is not compared, bit 17 (0x20200) is.
  EXPECT_EQ((std::vector{AccessIsSubset(0x3FFFF, 0xFFFFFFFF), AccessIsSubset(0x200, 0x40200), AccessIsSubset(0x200, 0x20200),
                         AccessIsSubset(0x1, 0x3), AccessIsSubset(0x1, 0), AccessIsSubset(0xFFFFFFFF, 0x3FFFF)}),
            (std::vector{true, true, false, false, true, true}));
}

TEST_F(AccountsTest, EncipheredFieldsAndPlainLinesRewrittenEncipheredAndAnUnreadableFile) {
  std::string one = EncipherField("alice", 32), two = EncipherField("alice", 32);
  ASSERT_TRUE(std::regex_match(one, std::regex("[0-9A-F]{64}")));
  // Equal values share the enciphered bytes up to the zero byte, the padding after it differs.
  EXPECT_EQ(one.substr(0, 12), two.substr(0, 12));
  EXPECT_NE(one.substr(12), two.substr(12));
  bool plain = false;
  EXPECT_EQ(DecodeField(one, 32, &plain), "alice");
  EXPECT_FALSE(plain);
  // Lower-case digits decode too; anything else is plain text, cut to fit.
  EXPECT_EQ(DecodeField(std::regex_replace(one, std::regex("A"), "a"), 32, &plain), "alice");
  EXPECT_EQ(DecodeField(one.substr(0, 62) + "ZZ", 32, &plain), one.substr(0, 31));
  EXPECT_TRUE(plain);
  EXPECT_EQ(DecodeField(std::string(40, 'q'), 32, &plain), std::string(31, 'q'));
  std::string name31(31, 'n');
  WriteAccounts(name31 + ",Secret,0123456789abcdef0123456789abcdef,65,1\n"
                "bob,pw,,4294967295,x\n"
                "broken,line\n");
  ASSERT_EQ(Names(), (std::vector<std::string>{name31, "bob"}));
  EXPECT_EQ(std::tie(Find("bob")->access, Find("bob")->active),
            std::make_tuple(0xFFFFFFFFu, 0));  // "x" reads as 0
  std::string file = ReadFile(Path());
  EXPECT_TRUE(std::regex_match(
      file, std::regex("([0-9A-F]{64},[0-9A-F]{64},[0-9A-F]{66},(65,1|4294967295,0)\n){2}")))
      << file;
  SetUp();
  ASSERT_TRUE(LoadUserAccounts(Path()));
  EXPECT_EQ(std::tie(Find(name31)->password, Find(name31)->key_hash),
            std::make_tuple("Secret", "0123456789abcdef0123456789abcdef"));
  EXPECT_EQ(ReadFile(Path()), file);  // nothing plain left: not rewritten
  // An unreadable file fails the load, and the plain lines so far are not written over it.
  std::filesystem::remove(Path());
  std::filesystem::create_directories(Path());
  EXPECT_FALSE(LoadUserAccounts(Path()));
  EXPECT_TRUE(Has(Log(), " : Couldn't open user access file! Is a directory (21)\r\n"));
  EXPECT_TRUE(std::filesystem::is_directory(Path()));
}

TEST_F(AccountsTest, LoginResultsAndInGameSenders) {
  // Field 5 is read as written: "x" does not begin with 0.
  WriteFile(Path(), "Admin,Secret,,4294967295,1\n"
                    "off0,pw,,1,0\noff00,pw,,1,00\noff0x,pw,,1,0x\n"
                    "onx,pw,,1,x\non2,pw,,1,2\nnone,pw,,0,1\nkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk,Pass,,3,1\n");
  std::uint32_t access = 0;
  const std::tuple<const char*, const char*, int> logins[] = {
      {"onx", "pw", kLoginAccepted},    {"onx", "pw", kLoginDisabled},
      {"nobody", "pw", kLoginBadUser},  {"Admin", "wrong", kLoginBadPassword},
      {"off0", "pw", kLoginDisabled},   {"off00", "pw", kLoginDisabled},
      {"off0x", "pw", kLoginDisabled},  {"on2", "pw", kLoginAccepted},
      {"none", "pw", kLoginNoAccess},   {"kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk", "pass", kLoginAccepted},
      {"admin", "sECRET", kLoginAccepted}};
  for (const auto& [user, password, result] : logins)
    EXPECT_EQ(CheckUserLogin(user, password, &access), result) << user << " " << password;
  EXPECT_EQ(access, 0xFFFFFFFFu);

  Connect(3, "ON2", 1);
  EXPECT_EQ(CheckUserLogin("on2", "pw", &access), kLoginAlreadyConnected);
  Connect(4, "admin", 0xFFFFFFFF);  // the admin mask holds bit 14
  EXPECT_EQ(CheckUserLogin("Admin", "Secret", &access), kLoginAccepted);

  WriteFile(Path(), "just,four,fields,1\n");
  EXPECT_EQ(CheckUserLogin("just", "four", &access), kLoginNoAccounts);
  std::remove(Path().c_str());
  EXPECT_EQ(CheckUserLogin("Admin", "Secret", &access), kLoginNoAccounts);
  WriteAccounts("root,pw,,4294967295,1\nmod,pw,,128,1\n");
  EXPECT_EQ(std::make_tuple(SenderUserName(0xFF01), SenderAddress(0xFF01), SenderAccess(0xFF01)),
            std::make_tuple("mod", "game", 0x80u));
  EXPECT_EQ(std::make_tuple(SenderUserName(0xFF64), SenderAccess(0xFF64), SenderAddress(17), SenderAccess(0xFFFFFFFF)),
            std::make_tuple("[unknown]", 0u, "[unknown]", 0u));
}

TEST_F(AccountsTest, UploadRefusesGrantsMergesCaseSensitivelyAndDeletesWhatTheSenderCouldGrant) {
  WriteAccounts("root,pw,,4294967295,1\nusers,pw,,512,1\nmaps,pw,,64,1\n");
  Connect(1, "users", 0x200);
  // "Maps" is added beside "maps"; "grab" (bit 17) is refused; "root" stays: not grantable.
  WriteFile(dir_ / "up.con", EncipherField("users", 32) + "," + EncipherField("new", 32) + "," +
                                 EncipherField("", 33) + ",512,1\n" + "Maps,pw2,,0,1\n" +
                                 "grab,pw,,131584,1\n" + "root,pw,,512,1\n");
  ASSERT_TRUE(ApplyUserAccountUpload(dir_ / "up.con", 1));
  EXPECT_EQ(Names(), (std::vector<std::string>{"root", "users", "maps", "Maps"}));
  EXPECT_EQ(std::tie(Find("users")->password, Find("root")->access),
            std::make_tuple("new", 0xFFFFFFFFu));
  for (const char* line : {"SECURITY ALERT! User users at 127.0.0.1:4001 attempted to grant access "
                           "they don't have to account grab!",
                           "SECURITY ALERT! User users at 127.0.0.1:4001 attempted to update a user "
                           "account root that has greater access!",
                           "User users at 127.0.0.1:4001 added user account Maps."})
    EXPECT_TRUE(Has(Log(), line)) << line;
  EXPECT_FALSE(Has(Log(), "deleted user account"));
  ASSERT_TRUE(LoadUserAccounts(Path()));
  EXPECT_EQ(Names(), (std::vector<std::string>{"root", "users", "maps", "Maps"}));
  WriteAccounts("root,pw,,4294967295,1\na,pw,,64,1\nb,pw,,1,1\nc,pw,,64,1\n");
  Connect(2, "boss", 0x41);
  WriteFile(dir_ / "up.con", "B,pw,,1,1\n");  // deletion matches ignoring case
  ASSERT_TRUE(ApplyUserAccountUpload(dir_ / "up.con", 2));
  EXPECT_EQ(Names(), (std::vector<std::string>{"root", "b", "B"}));
  for (const char* name : {"a", "c"})
    EXPECT_TRUE(Has(Log(), "User boss at 127.0.0.1:4002 deleted user account " + std::string(name) + ".\r\n"));
}

TEST_F(AccountsTest, BeyondOneHundredAccountsLoadsAndUploadsKeepTheFile) {
  std::string lines;
  for (int i = 0; i < 102; ++i) lines.append("u").append(std::to_string(i)).append(",p,,1,1\n");
  WriteAccounts(lines);  // plain rows: the file is rewritten enciphered
  EXPECT_EQ(Names().size(), 100u);
  const std::string warning = "WARNING: " + Path() + " holds 102 user accounts! Only the first 100 "
                              "are loaded; the others stay in the file.";
  EXPECT_EQ(korvtest::Count(Log(), warning), 1);
  EXPECT_TRUE(std::regex_match(ReadFile(Path()),
                               std::regex("([0-9A-F]{64},[0-9A-F]{64},[0-9A-F]{66},1,1\n){102}")));
  std::uint32_t access = 0;
  EXPECT_EQ(CheckUserLogin("u101", "p", &access), kLoginAccepted);

  // A download uploaded unchanged changes nothing; new rows join those beyond the table.
  ASSERT_TRUE(ExportUserAccounts(dir_ / "up.con", 0));
  WriteFile(dir_ / "up.con", ReadFile(dir_ / "up.con") + "x1,p,,1,1\n");
  ASSERT_TRUE(ApplyUserAccountUpload(dir_ / "up.con", 0));
  EXPECT_EQ(std::tuple(Names().size(), Names().back()), std::tuple(100u, "u99"));
  EXPECT_EQ(std::pair(CheckUserLogin("u101", "p", &access), CheckUserLogin("x1", "p", &access)),
            std::pair(int{kLoginAccepted}, int{kLoginAccepted}));
  EXPECT_FALSE(Has(Log(), "deleted") || Has(Log(), "dropped"));
  // Deleting u0 and u101 moves u100 into the table.
  lines.replace(0, lines.find('\n') + 1, "");
  lines.replace(lines.find("u101,"), 9, "x1,p,,1,1\n");
  WriteFile(dir_ / "up.con", lines);
  ASSERT_TRUE(ApplyUserAccountUpload(dir_ / "up.con", 0));
  EXPECT_EQ(std::tuple(Names().size(), Names().back()), std::tuple(100u, "u100"));
  ASSERT_TRUE(SetUserPassword("u100", "q"));
  EXPECT_EQ(Find("u100")->password, "q");
  EXPECT_EQ(korvtest::Count(Log(), "holds 101 user accounts"), 1);
  EXPECT_EQ(CheckUserLogin("x1", "p", &access), kLoginAccepted);
  ASSERT_TRUE(LoadUserAccounts(Path()));
  EXPECT_EQ(std::tuple(Names().size(), Names().front(), Names().back()),
            std::tuple(100u, "u1", "u100"));
  // A new password beyond the table survives the next save of the table.
  ASSERT_TRUE(SetUserPassword("x1", "q") && SaveUserAccounts(Path()));
  EXPECT_EQ(CheckUserLogin("x1", "q", &access), kLoginAccepted);
}

TEST_F(AccountsTest, ExportShowsOnlyGrantableAccounts) {
  WriteAccounts("root,pw,,4294967295,1\nzero,pw,,0,1\nu,pw,,512,1\nbig,pw,,513,1\n"
                "hi,pw,,262656,1\n");
  Connect(5, "u", 0x200);
  ASSERT_TRUE(ExportUserAccounts(dir_ / "out.con", 5));
  std::string out = ReadFile(dir_ / "out.con");
  EXPECT_TRUE(std::regex_match(out, std::regex("([0-9A-F]{64},[0-9A-F]{64},[0-9A-F]{66},(0|512|262656),1\n){3}"))) << out;
  ASSERT_TRUE(ExportUserAccounts(dir_ / "all.con", 0));
  EXPECT_EQ(ReadFile(dir_ / "all.con"), ReadFile(Path()));
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::status(dir_ / "all.con").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  std::string upper = Path();
  upper.replace(upper.size() - 14, 14, "UserAccess.CON");
  EXPECT_FALSE(ExportUserAccounts(upper, 0));
}

TEST_F(AccountsTest, SetUserPasswordChangesOneExactRow) {
  WriteAccounts("Ann,old,,1,1\nann,old,,1,1\n");
  ASSERT_TRUE(SetUserPassword("ann", "fresh"));
  std::uint32_t access = 0;
  EXPECT_EQ(CheckUserLogin("Ann", "old", &access), kLoginAccepted);
  // A save of the table (as an upload does) must not bring the old password back.
  ASSERT_TRUE(SaveUserAccounts(Path()));
  ASSERT_TRUE(LoadUserAccounts(Path()));
  EXPECT_EQ(g_manager.remote.accounts[0].password + "|" + g_manager.remote.accounts[1].password, "old|fresh");
  ASSERT_TRUE(SetUserPassword("Ann", EncipherField("hidden", 32)));
  EXPECT_EQ(g_manager.remote.accounts[0].password, "hidden");
  // A field carrying the file's separators could forge an account line.
  for (auto [user, password] : {std::pair{"ann", "x,,4294967295,1\nevil,pw"}, {"ann", "two words"}, {"", "pw"}, {"ghost", "pw"}})
    EXPECT_FALSE(SetUserPassword(user, password)) << user << " " << password;
  EXPECT_EQ(Names(), (std::vector<std::string>{"Ann", "ann"}));
}

TEST_F(AccountsTest, RandomFilesKeepTheTablePacked) {
  std::mt19937 random(42);
  const std::string alphabet = "ab,,,\n\n 0123456789ABCDEF\r\t\xff";
  for (int round = 0; round < 200; ++round) {
    std::string file;
    for (int i = 0; i < static_cast<int>(random() % 400); ++i)
      file += alphabet[random() % alphabet.size()];
    if (round % 3 == 0) file += ",p,,1,1\n" + EncipherField("x", 32) + ",p,,1,1\n";
    WriteFile(Path(), file);
    std::uint32_t access = 0;
    CheckUserLogin("ab", "ab", &access);
    LoadUserAccounts(Path());
    WriteFile(dir_ / "up.con", file);
    Connect(1, "boss", static_cast<std::uint32_t>(random()));
    ApplyUserAccountUpload(dir_ / "up.con", 1);
    const auto& rows = g_manager.remote.accounts;
    auto named = [](const UserAccount& a) { return !a.user_name.empty(); };
    ASSERT_TRUE(std::is_partitioned(rows.begin(), rows.end(), named));
    for (const UserAccount& a : rows) ASSERT_LE(a.user_name.size(), 31u);
  }
}

// An upload that cannot be read is refused and changes no account.
TEST_F(AccountsTest, AnUnreadableUploadIsRefused) {
  WriteAccounts("admin,pw,,1,1\n");
  EXPECT_FALSE(ApplyUserAccountUpload(dir_ / "missing.con", 0));
  EXPECT_EQ(Names(), std::vector<std::string>{"admin"});
}

using std::chrono::seconds;

class LoginPenaltyTest : public korvtest::LogFixture {};

TEST_F(LoginPenaltyTest, WaitsDoubleUpToTheCapAndAreLoggedInSummary) {
  const PenaltyClock::time_point t0{std::chrono::hours(1)};
  constexpr std::uint32_t kAttacker = 0x0A000001, kOther = 0x0A000002;
  std::vector<long> waits;
  std::vector<bool> own_lines;
  for (int i = 0; i < 11; ++i) {
    own_lines.push_back(NoteFailedLogin(kAttacker, t0));
    waits.push_back(std::max<long>(0, std::chrono::duration_cast<seconds>(LoginAllowedAt(kAttacker, t0) - t0).count()));
  }
  EXPECT_EQ(waits, (std::vector<long>{0, 0, 0, 1, 2, 4, 8, 16, 32, 60, 60}));
  EXPECT_EQ(own_lines, (std::vector<bool>{true, true, true, false, false, false, false, false,
                                          false, false, false}));
  EXPECT_LE(LoginAllowedAt(kOther, t0), t0);
  NoteDroppedLogin(kAttacker, t0 + seconds(30));
  // The first counted failure is logged at once, the others once the minute is over.
  const std::string first = "SECURITY ALERT! 1 more failed login(s) from clients at 10.0.0.1 in 1 "
                            "second(s) (0 connection(s) dropped)! Their logins are slowed down.";
  const std::string rest = "SECURITY ALERT! 7 more failed login(s) from clients at 10.0.0.1 in 61 "
                           "second(s) (1 connection(s) dropped)! Their logins are slowed down.";
  CheckLoginPenalties(t0 + seconds(59));
  EXPECT_EQ(std::pair(korvtest::Count(Log(), "SECURITY ALERT!"), korvtest::Count(Log(), first)), std::pair(1, 1));
  CheckLoginPenalties(t0 + seconds(61));
  EXPECT_EQ(std::pair(korvtest::Count(Log(), "SECURITY ALERT!"), korvtest::Count(Log(), rest)), std::pair(2, 1));
  // Ten quiet minutes forget the address: its next failures are free again.
  CheckLoginPenalties(t0 + seconds(631));
  EXPECT_TRUE(Remote().login_sources.empty());
  EXPECT_TRUE(NoteFailedLogin(kAttacker, t0 + seconds(632)));
  EXPECT_LE(LoginAllowedAt(kAttacker, t0 + seconds(632)), t0 + seconds(632));
  // An address with only free failures goes at the tenth quiet minute, not a sweep later.
  NoteFailedLogin(kOther, t0 + seconds(700));
  CheckLoginPenalties(t0 + seconds(1299));
  CheckLoginPenalties(t0 + seconds(1300));
  EXPECT_EQ(Remote().login_sources.count(kOther), 0u);
}

}  // namespace
