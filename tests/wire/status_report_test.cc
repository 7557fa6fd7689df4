// Status reports: keys found by name, values holding backslashes, names that look like keys.
#include "wire/status_report.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using Values = std::vector<std::optional<std::string>>;

Values Look(const std::string& report, std::initializer_list<const char*> keys) {
  Values values;
  for (const char* key : keys) values.push_back(StatusValue(report, key));
  return values;
}

TEST(StatusReportTest, PlainReportsAndTheCap) {
  EXPECT_EQ(Look("\\hostname\\x\\numplayers\\12\\final\\",
                 {"numplayers", "hostname", "final", "maxplayers", "HOSTNAME"}),
            (Values{"12", "x", "", {}, {}}));
  EXPECT_EQ(StatusValue("\\long\\" + std::string(2000, 'v') + "\\n\\1", "long"),
            std::string(1023, 'v'));
  EXPECT_EQ(StatusValue("\\hostname\\" + std::string(2000, 'v') + "\\a\\b\\final\\", "hostname"),
            std::string(1023, 'v'));
  EXPECT_EQ(StatusValue("\\a\\1\\a\\2", "a"), "1");
  EXPECT_EQ(StatusValue("", "a"), std::nullopt);
  EXPECT_EQ(StatusValue("\\", "a"), std::nullopt);
  // Keys the daemon does not read stay keys of their own.
  EXPECT_EQ(Look("\\mapname\\Berlin\\mapId\\BF1942\\gametype\\ctf\\final\\",
                 {"mapname", "gametype"}),
            (Values{"Berlin", "ctf"}));
}

TEST(StatusReportTest, NamesHoldingBackslashesShiftNothing) {
  const std::string game = "\\gamename\\bfield1942\\gamever\\v1.6\\hostport\\14567\\numplayers\\3";
  const std::string tail = "\\queryid\\4.1\\final\\";
  struct Case {
    std::string report;
    std::initializer_list<const char*> keys;
    Values values;
  } cases[] = {
      {"\\hostname\\My\\Server" + game + "\\playername_0\\Evil\\x\\team_0\\1\\ping_0\\50" + tail,
       {"hostname", "hostport", "numplayers", "playername_0", "team_0", "ping_0", "queryid",
        "final"},
       {"My\\Server", "14567", "3", "Evil\\x", "1", "50", "4.1", ""}},
      {"\\hostname\\final" + game + "\\playername_0\\queryid\\team_0\\1" + tail,
       {"hostname", "playername_0", "team_0", "final", "queryid"},
       {"final", "queryid", "1", "", "4.1"}},
      {"\\hostname\\numplayers" + game + "\\playername_0\\numplayers\\team_0\\2" + tail,
       {"hostname", "numplayers", "playername_0", "team_0"},
       {"numplayers", "3", "numplayers", "2"}},
      // Server keys inside names are names; the server's own come first.
      {"\\hostname\\a\\numplayers\\99\\hostport\\1" + game +
           "\\playername_0\\b\\hostport\\2\\numplayers\\98\\team_0\\2" + tail,
       {"hostname", "numplayers", "hostport", "playername_0", "team_0"},
       {"a\\numplayers\\99\\hostport\\1", "3", "14567", "b\\hostport\\2\\numplayers\\98", "2"}},
      // A player's key inside a name: that player and that name are unknown.
      {"\\hostname\\h" + game + "\\playername_0\\c\\team_1\\1\\team_0\\2" +
           "\\playername_1\\d\\team_1\\2\\playername_2\\e\\f\\team_2\\1" + tail,
       {"playername_0", "team_0", "playername_1", "team_1", "playername_2", "team_2"},
       {{}, "2", {}, {}, "e\\f", "1"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Look(c.report, c.keys), c.values) << c.report;
  StatusReportIndex index(cases[4].report);
  EXPECT_EQ(index.first_ambiguous(), "team_1");
  EXPECT_TRUE(index.Ambiguous("team_1"));
  EXPECT_TRUE(index.Ambiguous("playername_0"));
  EXPECT_FALSE(index.Ambiguous("playername_2"));
}

// Any mix of keys, names and backslashes: every value found is text of the report.
TEST(StatusReportTest, RandomReportsGiveValuesFromTheirOwnText) {
  const char* words[] = {"hostname", "numplayers", "playername_0", "team_0", "queryid",
                         "final",    "x",          "",             "ping_1", "hostport"};
  std::mt19937 random(28);
  for (int round = 0; round < 2000; ++round) {
    std::string report;
    for (int n = random() % 16; n > 0; --n) report += std::string("\\") + words[random() % 10];
    StatusReportIndex index(report);
    for (const char* key : words) {
      std::optional<std::string_view> value = index.Get(key);
      if (!value || value->empty()) continue;
      ASSERT_TRUE(value->data() >= report.data() &&
                  value->data() + value->size() <= report.data() + report.size())
          << report;
    }
  }
}

}  // namespace
