// The page's forms: settings rows and their checked rewrite that leaves every other byte alone,
// account edits under the daemon's granting rule, schedule lines the daemon reads as picked.
#include <gtest/gtest.h>

#include "korvweb/account_form.h"
#include "korvweb/ban_form.h"
#include "korvweb/schedule_form.h"
#include "korvweb/settings_form.h"
#include "settings/settings_table.h"
#include "wire/account_line.h"

namespace korvwebtest {
namespace {

using nlohmann::json;

constexpr char kWelcomeRule[] =
    "game.setServerWelcomeMessage must be at most 5 lines, the first of at most 62 characters "
    "and the others of at most 63, without double quotes, underscores or empty lines";

constexpr char kFile[] =
    "game.serverName \"Sim\"\n"
    "game.serverPort 14567\n"
    "game.setServerWelcomeMessage 0 \"Hello_there\"\n"
    "game.setServerWelcomeMessage 1 \"second\"\n"
    "game.serverBandwidthChokeLimit 8\n"
    "physics.gravity -4\n"
    "game.serverKickback 0.50\n";

class SettingsForm : public ::testing::Test {
 protected:
  void SetUp() override { korvweb::InitSettingsForm(); }
  std::string Apply(const json& changes, std::string* error) {
    std::string updated;
    if (!korvweb::ApplySettingChanges(kFile, changes, &updated, error)) return "";
    return updated;
  }
};

TEST_F(SettingsForm, RowsCarryKindsRangesChoicesAndRestartMarks) {
  json form = korvweb::SettingsFormJson(kFile);
  ASSERT_EQ(form["groups"].size(), 3u) << form.dump();
  json server = form["groups"][0]["settings"];
  json gravity = form["groups"][1]["settings"][0], kickback = form["groups"][2]["settings"][0];
  EXPECT_EQ((json{server[0]["key"], server[0]["value"], server[0]["max_length"],
                  server[1]["restart_only"], server[1]["min"], server[2]["value"],
                  server[3]["choices"][1], gravity["value"], gravity["min"], gravity["max"],
                  kickback["max"], kickback["step"], form["groups"][1]["name"], server[0]["label"],
                  server[1]["label"], gravity["help"]}),
            json::parse(R"(["game.serverName", "Sim", 32, true, 1024, "Hello there\nsecond",
                            {"key": "8", "label": "64 Kbps"}, "-4", -15, -1, 2.0, 0.01,
                            "Game rules", "Server name", "Game port",
                            "How hard gravity pulls (more negative pulls harder); used only while custom gravity is on."])"));
}

TEST_F(SettingsForm, ChangesRewriteOnlyTheirLines) {
  std::string error;
  std::string updated = Apply({{"game.serverport", "20000"},
                               {"game.serverKickback", "1.5"},
                               {"game.setServerWelcomeMessage", "Be nice"}},
                              &error);
  EXPECT_EQ(updated,
            "game.serverName \"Sim\"\n"
            "game.serverPort 20000\n"
            "game.setServerWelcomeMessage 0 \"Be_nice\"\n"
            "game.serverBandwidthChokeLimit 8\n"
            "physics.gravity -4\n"
            "game.serverKickback 1.50\n")
      << error;
  // Numbers are written as the daemon writes the value it reads: no "-0.00".
  updated = Apply({{"game.serverKickback", "-0.0000000001"}}, &error);
  EXPECT_TRUE(updated.ends_with("\ngame.serverKickback 0.00\n")) << updated << error;
}

// Blanks before the key, a text up to its closing quote; a change replaces that very line.
TEST_F(SettingsForm, LinesAreReadAsTheDaemonReadsThem) {
  const char file[] = "  game.serverPort 14568\ngame.serverName \"Sim\"x\"\n";
  json server = korvweb::SettingsFormJson(file)["groups"][0]["settings"];
  EXPECT_EQ((json{server[0]["value"], server[1]["value"]}), (json{"Sim", "14568"})) << server;
  std::string updated, error;
  EXPECT_TRUE(korvweb::ApplySettingChanges(file, {{"game.serverPort", "20000"}}, &updated, &error));
  EXPECT_EQ(updated, "game.serverPort 20000\ngame.serverName \"Sim\"x\"\n") << error;
}

TEST_F(SettingsForm, RefusesWhatTheTableRefuses) {
  const std::pair<json, std::string> cases[] = {
      {{{"game.serverPort", "1023"}}, "game.serverPort must be a number from 1024 to 65535 in steps of 1"},
      {{{"game.serverPort", "2000.5"}}, "game.serverPort must be a number from 1024 to 65535 in steps of 1"},
      {{{"physics.gravity", "4"}}, "physics.gravity must be a number from -15 to -1 in steps of 1"},
      {{{"game.serverKickback", "0.505"}}, "game.serverKickback must be a number from 0 to 2 in steps of 0.01"},
      {{{"game.serverName", ""}}, "game.serverName may not be empty"},
      {{{"game.serverName", "a\"b"}}, "game.serverName must be at most 32 characters without double quotes or control characters"},
      {{{"game.serverName", std::string(33, 'x')}}, "game.serverName must be at most 32 characters without double quotes or control characters"},
      {{{"game.serverBandwidthChokeLimit", "9"}}, "game.serverBandwidthChokeLimit must be one of the listed choices"},
      {{{"game.setServerWelcomeMessage", "1\n2\n3\n4\n5\n6"}}, kWelcomeRule},
      {{{"game.serverMaxPlayers", "10"}}, "the setting game.serverMaxPlayers is not one this account may change"},
      {{{"no.such", "1"}}, "the setting no.such is not one this account may change"},
      {{{"game.serverPort", 20000}}, "the value of game.serverPort must be a text"},
      {json::object(), "no settings to change"},
  };
  for (const auto& [changes, message] : cases) {
    std::string error;
    EXPECT_EQ(Apply(changes, &error), "") << changes.dump();
    EXPECT_EQ(error, message) << changes.dump();
  }
}

// A welcome message reads back in the daemon as sent; one it could not keep whole is refused.
TEST_F(SettingsForm, WelcomeLinesReadBackInTheDaemonAsSent) {
  const std::string x62(62, 'x'), x63(63, 'x');
  const std::pair<std::string, bool> cases[] = {
      {x62, true},      {x63, false},      {"a\n" + x63, true}, {"a\n" + x63 + "y", false},
      {"a\n\nb", false}, {"a_b", false}, {"1\n2\n3\n4\n5", true}, {"a\"b", false}};
  const std::string key = "game.setServerWelcomeMessage ";
  for (const auto& [value, taken] : cases) {
    std::string error;
    const std::string updated = Apply({{"game.setServerWelcomeMessage", value}}, &error);
    EXPECT_EQ(error, taken ? "" : kWelcomeRule) << value;
    if (!taken) continue;
    Setting(kSetWelcomeMessage).text.clear();
    for (std::size_t at = 0; (at = updated.find(key, at)) != std::string_view::npos;) {
      const std::size_t end = updated.find('\n', at);
      ParseSettingValue(kSetWelcomeMessage, updated.substr(at + key.size(), end - at - key.size()));
      at = end;
    }
    std::string held;  // its lines end in CR LF; the page's in LF
    for (char c : SettingText(kSetWelcomeMessage))
      if (c != '\r') held += c;
    if (held.ends_with('\n')) held.pop_back();
    EXPECT_EQ(held, value);
  }
}

constexpr char kAccounts[] = "admin,pw,,4294967295,1\nlead,pw,,640,1\nplayer,pw,,128,0\n";
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
    bool ok = korvweb::ApplyAccountEdit(kAccounts, json::parse(edit), kLead, &updated, &error);
    EXPECT_EQ(ok ? updated : error, expected) << edit;
  }
}

TEST(AccountForm, NewAccountsAndResetPasswordsAreEnciphered) {
  std::string created, reset, error;
  ASSERT_TRUE(korvweb::ApplyAccountEdit(
      kAccounts, json::parse(R"({"op":"create","user":"helper","password":"s3cret","keyhash":"ab12","mask":128})"),
      kLead, &created, &error)) << error;
  ASSERT_TRUE(created.starts_with(kAccounts));
  std::string line = created.substr(std::string(kAccounts).size());
  ASSERT_EQ(line.size(), 64 + 1 + 64 + 1 + 66 + 1 + 3 + 1 + 1 + 1) << line;
  bool plain = false;
  UserAccount account = DecodeAccountRow(*SplitAccountRow(line.substr(0, line.size() - 1)), &plain);
  EXPECT_FALSE(plain);
  EXPECT_EQ((json{account.user_name, account.password, account.key_hash, account.access, account.active}),
            (json{"helper", "s3cret", "ab12", 128, 1}));
  ASSERT_TRUE(korvweb::ApplyAccountEdit(kAccounts, json::parse(R"({"op":"update","user":"player","password":"new","mask":128})"),
                                        kLead, &reset, &error)) << error;
  std::string row = reset.substr(reset.rfind("player,"));
  account = DecodeAccountRow(*SplitAccountRow(row.substr(0, row.size() - 1)), &plain);
  EXPECT_EQ((json{account.user_name, account.password, account.access, account.active}), (json{"player", "new", 128, 1}));
}

// A ban's name, reason and expiry change in its own row, found by its identities and ban time;
// every other line, rows that share an identity and lines that are no rows, stays as it was.
TEST(BanForm, EditsTheRowOfOneBanAndRefusesWhatTheListWouldMisread) {
  constexpr char kList[] =
      "\"Bob\",10.0.0.5,*,*,\"admin\",1000,0,camping\n"
      "junk line\r\n"
      "\"Bob\",10.0.0.5,ab12,*,\"mod\",2000,9000,spam\n";
  constexpr char kBob[] = R"("ban":{"address":"10.0.0.5","keyhash":"","guid":"","ban_time":1000})";
  const std::pair<std::string, const char*> cases[] = {
      {std::string("{") + kBob + R"(,"name":"Bobby","reason":"team killing","duration":3600})",
       "\"Bobby\",10.0.0.5,*,*,\"admin\",1000,8600,team killing\n"
       "junk line\r\n\"Bob\",10.0.0.5,ab12,*,\"mod\",2000,9000,spam\n"},
      {R"({"ban":{"address":"10.0.0.5","keyhash":"ab12","ban_time":2000},"reason":"x","duration":null})",
       "\"Bob\",10.0.0.5,*,*,\"admin\",1000,0,camping\njunk line\r\n"
       "\"[unknown]\",10.0.0.5,ab12,*,\"mod\",2000,9000,x\n"},
      {std::string("{") + kBob + R"(,"name":"B","reason":"x","duration":0})",
       "\"B\",10.0.0.5,*,*,\"admin\",1000,0,x\njunk line\r\n\"Bob\",10.0.0.5,ab12,*,\"mod\",2000,9000,spam\n"},
      {std::string("{") + kBob + R"(,"name":"B","reason":"a, b"})", "reason may not hold the character ,"},
      {std::string("{") + kBob + R"(,"name":"B\"","reason":"x"})", "name may not hold the character \""},
      {std::string("{") + kBob + R"(,"name":"B","reason":""})", "give a reason"},
      {std::string("{") + kBob + R"(,"reason":"x","duration":-1})",
       "duration must be a number of seconds from 0 (never ends) to 316224000"},
      {R"({"ban":{"address":"10.0.0.5","ban_time":1001},"reason":"x"})",
       "this ban is no longer in the daemon's list: it was lifted or changed meanwhile"},
      {R"({"ban":{"address":"10.0.0.5"},"reason":"x"})", "ban_time is missing"},
      {R"({"ban":{"ban_time":1000},"reason":"x"})", "name the ban by its address, key hash or GUID"},
  };
  for (const auto& [edit, expected] : cases) {
    std::string updated, error;
    bool ok = korvweb::ApplyBanEdit(kList, json::parse(edit), 5000, &updated, &error);
    EXPECT_EQ(ok ? updated : error, expected) << edit;
  }
}

TEST(ScheduleForm, RefusesEveryLineTheDaemonWouldMisread) {
  const std::string each_64 = [] {
    std::string text;
    for (int i = 1; i <= 65; ++i) text += std::to_string(i * 60) + ",stop,daily,*,*,1\n";
    return text;
  }();
  const std::pair<std::string, std::string> cases[] = {
      {"restart daily at 04:00\n", "schedule line 1 lacks one of its six fields"},
      {"14400,restart,daily,*,*,1\n", "schedule line 1 has the action \"restart\", which the daemon would read as a stop"},
      {"\n14400,stop,someday,*,*,1", "schedule line 2 has the day \"someday\""},
      {"14400,start,daily,*,b.con,1", "schedule line 1 starts the server without a settings file"},
      {"0400,stop,daily,*,*,1", "schedule line 1 is not written as"},
      {"14400,stop,daily,*,*,1 ", "schedule line 1 is not written as"},
      {"14400,stop,daily,*,*,1\r\n", "schedule line 1 is not written as"},
      {"14400,stop,daily,*,*,2", "schedule line 1 must end in 1 (enabled) or 0"},
      {"14400,stop,daily,*,*,1\n14400,stop,mon,*,*,1\n", "schedule line 2 has the time of an earlier event"},
      {"14400,stop," + std::string(1100, 'a') + ",*,*,1", "schedule line 1 is longer than the daemon reads"},
      {each_64, "the schedule holds at most 64 events"},
      {"14400,Stop,daily,*,*,1\n\n20000,startwait,Weekdays,a.con,b.con,0\n", ""},
  };
  for (const auto& [text, problem] : cases) {
    std::string found = korvweb::ScheduleTextProblem(text);
    EXPECT_EQ(found.substr(0, problem.size()), problem) << text.substr(0, 60) << " -> " << found;
    EXPECT_EQ(found.empty(), problem.empty()) << found;
  }
}

TEST(ScheduleForm, BuiltEventsReadBackAsPicked) {
  json events = json::parse(R"([
      {"action": "stop", "day": "daily", "at": "04:00", "enabled": true},
      {"action": "startwait", "day": "sat", "at": "04:00", "settings": "night.con", "maplist": "night.con"},
      {"action": "stop", "day": "none", "at": "23:59", "date": "2030-02-03", "enabled": false}])");
  std::string text, error;
  ASSERT_TRUE(korvweb::ScheduleTextFromEvents(events, 1'900'000'000, &text, &error)) << error;
  json read = korvweb::ScheduleJson(text, 1'900'000'000)["events"];
  ASSERT_EQ(read.size(), 3u) << text;
  json rows;
  for (const json& e : read) rows.push_back(json{e["action"], e["day"], e["at"], e["settings"], e["enabled"]});
  EXPECT_EQ(rows, json::parse(R"([["stop", "daily", "04:00", "", 1], ["startwait", "sat", "04:00", "night.con", 1],
                                  ["stop", "none", "23:59", "", 0]])"));
  EXPECT_EQ(read[2]["date"], "2030-02-03");
  EXPECT_EQ(read[1]["time"].get<std::uint32_t>(), read[0]["time"].get<std::uint32_t>() + 1);
  EXPECT_EQ(json({read[2]["next"], read[2]["next_at"]}), json({"disabled", 0}));
  // A daily event fires within the next day, at a whole minute.
  std::int64_t next = read[0]["next_at"].get<std::int64_t>() - 1'900'000'000;
  EXPECT_TRUE(next >= 0 && next <= 90'000 && (read[0]["next_at"].get<std::int64_t>() - read[0]["time"].get<std::int64_t>()) % 60 == 0) << next;

  const std::pair<const char*, const char*> refused[] = {
      {R"([{"action": "restart", "day": "daily", "at": "04:00"}])", "schedule line 1 has the action"},
      {R"([{"action": "stop", "day": "daily", "at": "4 am"}])", "event 1: the time must be HH:MM"},
      {R"([{"action": "stop", "day": "none", "at": "04:00"}])", "event 1: the time must be HH:MM"},
      {R"([{"action": "stop,daily", "day": "daily", "at": "04:00"}])", "event 1: a field holds a comma"},
      {R"({"action": "stop"})", "events must be a list"},
  };
  for (const auto& [body, problem] : refused) {
    EXPECT_FALSE(korvweb::ScheduleTextFromEvents(json::parse(body), 1'900'000'000, &text, &error)) << body;
    EXPECT_EQ(error.substr(0, std::string(problem).size()), problem) << error;
  }
}

}  // namespace
}  // namespace korvwebtest
