// One account edit at a time, under the daemon's rule that nobody grants or touches rights they lack.
#include "korvweb/account_form.h"

#include <gtest/gtest.h>

#include "wire/account_line.h"

namespace korvwebtest {
namespace {

using nlohmann::json;

constexpr char kFile[] = "admin,pw,,4294967295,1\nlead,pw,,640,1\nplayer,pw,,128,0\n";
constexpr std::uint32_t kLead = 640;  // users and players

TEST(AccountForm, EditsOneLineAndRefusesWhatTheDaemonWould) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"op":"update","user":"PLAYER","mask":640,"enabled":false})",
       "admin,pw,,4294967295,1\nlead,pw,,640,1\nplayer,pw,,640,0\n"},
      {R"({"op":"delete","user":"player"})", "admin,pw,,4294967295,1\nlead,pw,,640,1\n"},
      {R"({"op":"create","user":"x","password":"p","mask":1})",
       "refused: you may grant only the rights your own account holds"},
      {R"({"op":"create","user":"x","password":"p","mask":4294967295})",
       "refused: you may grant only the rights your own account holds"},
      {R"({"op":"update","user":"admin","mask":128})", "refused: admin holds rights your own account lacks"},
      {R"({"op":"delete","user":"admin"})", "refused: admin holds rights your own account lacks"},
      {R"({"op":"create","user":"Player","password":"p","mask":128})", "an account named player exists already"},
      {R"({"op":"create","user":"x","mask":128})", "a new account needs a password"},
      {R"({"op":"create","user":"x","password":"a b","mask":128})", "password may not hold blanks or commas"},
      {R"({"op":"create","user":"x,y","password":"p","mask":128})", "user may not hold blanks or commas"},
      {R"({"op":"update","user":"lead","mask":0})", "an account needs at least one right"},
      {R"({"op":"delete","user":"nobody"})", "no account is named nobody"},
      {R"({"op":"rename","user":"lead"})", "op must be create, update or delete"},
  };
  for (const auto& [edit, expected] : cases) {
    std::string updated, error;
    bool ok = korvweb::ApplyAccountEdit(kFile, json::parse(edit), kLead, &updated, &error);
    EXPECT_EQ(ok ? updated : error, expected) << edit;
  }
}

TEST(AccountForm, NewAccountsAndResetPasswordsAreEnciphered) {
  std::string created, reset, error;
  ASSERT_TRUE(korvweb::ApplyAccountEdit(
      kFile, json::parse(R"({"op":"create","user":"helper","password":"s3cret","keyhash":"ab12","mask":128})"),
      kLead, &created, &error)) << error;
  ASSERT_TRUE(created.starts_with(kFile));
  std::string line = created.substr(std::string(kFile).size());
  ASSERT_EQ(line.size(), 64 + 1 + 64 + 1 + 66 + 1 + 3 + 1 + 1 + 1) << line;
  bool plain = false;
  UserAccount account = DecodeAccountRow(*SplitAccountRow(line.substr(0, line.size() - 1)), &plain);
  EXPECT_FALSE(plain);
  EXPECT_EQ((json{account.user_name, account.password, account.key_hash, account.access, account.active}),
            (json{"helper", "s3cret", "ab12", 128, 1}));
  ASSERT_TRUE(korvweb::ApplyAccountEdit(kFile, json::parse(R"({"op":"update","user":"player","password":"new","mask":128})"),
                                        kLead, &reset, &error)) << error;
  std::string row = reset.substr(reset.rfind("player,"));
  account = DecodeAccountRow(*SplitAccountRow(row.substr(0, row.size() - 1)), &plain);
  EXPECT_EQ((json{account.user_name, account.password, account.access, account.active}), (json{"player", "new", 128, 1}));
}

}  // namespace
}  // namespace korvwebtest
