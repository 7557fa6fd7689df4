// korvctl's own parts: access words, the ban rows and schedule it shows, its command line.
#include <gtest/gtest.h>

#include <tuple>

#include "korvctl/ban_list.h"
#include "korvctl/options.h"
#include "korvctl/protocol.h"
#include "korvctl/schedule_view.h"
#include "support/local_zone.h"

namespace korvtest {
namespace {

using korvctl::Options;

TEST(KorvctlAccess, LettersAndNeedsInWords) {
  EXPECT_EQ(korvctl::AccessLetters(0x41), "SgfiatMpbuhc");
  EXPECT_EQ(korvctl::AccessLetters(0xFFFFFFFF), "-- admin --");
  EXPECT_EQ(korvctl::AccessLetters(0x1080), "sgfiatmPbuhc +power");
  EXPECT_EQ((std::vector{korvctl::AccessNeeded(kClientBanPlayer), korvctl::AccessNeeded(kClientVerifyBanLists),
                         korvctl::AccessNeeded(kClientKeepAlive)}),
            (std::vector<std::string>{"the P (players) letter or the B (bans) letter", "the administrator account",
                                      "nothing"}));
}

TEST(KorvctlBans, RowsAreReadAsTheDaemonReadsThem) {
  const std::string text = "\"Eve\",10.1.1.1,*,*,\"op\",0,50,aim, bot\r\n"
                           "\"Bob\",1.2.3.4,*,*,\"op\",5,9\n"
                           "\"" + std::string(1030, 'a') + "\",2.2.2.2,k,*,\"op\",1,0,r\n"
                           "\"Max\",*,*,g,\"op\",99999999999999999999,-7,\"x\"\n"
                           "\"Bob\",1.2.3.4,*,*,\"op\",5,0,\r\n";
  std::vector<korvctl::Fields> rows = korvctl::ParseBanList(text, 100);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_TRUE(rows[0][6].second.ends_with(" (due)")) << rows[0][6].second;
  // No GUID banned and an imported row's ban time are "-"; a reason ends at a comma. Past 1023
  // characters the rest of a line is a row of its own. An expiry that is no time is permanent.
  // A reason ends only at a comma or a line feed: "\r" is a reason, and the row a ban.
  auto at = [&](std::size_t row, std::size_t field) { return rows[row][field].second; };
  EXPECT_EQ((std::vector{at(0, 0), at(0, 3), at(0, 5), at(0, 7), at(1, 0), at(1, 1), at(1, 6), at(2, 9),
                         at(2, 7), at(3, 0), at(3, 7)}),
            (std::vector<std::string>{"Eve", "-", "-", "aim", std::string(1030 - 1022, 'a'), "2.2.2.2", "never",
                                      "0", "\"x\"", "Bob", "\r"}));
}

TEST(KorvctlSchedule, RowsShowTheNextFiringInLocalTime) {
  LocalZone zone(kBerlinRules);
  std::string eight_pm = std::to_string(Utc(2020, 2, 3, 19, 0));
  std::string soon = std::to_string(Utc(2024, 3, 30, 10, 0));
  std::string file = eight_pm + ",start wait,sun,a.con,b.con,1\r\n" + soon +
                     ",stop,none,*,*,1\n" + std::to_string(Utc(2020, 2, 3, 19, 0, 1)) +
                     ",stop,someday,*,*,1\n" + "1,stop,daily,*,*,0\n" + "garbage line\n" +
                     "0,stop,daily,*,*,1\n5,stop,daily,*,*,\n";
  // Wednesday 27 March 2024, noon CET.
  std::vector<korvctl::Fields> rows = korvctl::ScheduleRows(file, Utc(2024, 3, 27, 11, 0));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(korvctl::FormatTable(rows),
            "event       at                   day      action                     settings  "
            "maplist  next\n" +
                eight_pm +
                "  20:00:00             sun      start/restart at game end  a.con     b.con    "
                "Sun 2024-03-31 20:00:00 CEST\n" +
                soon +
                "  2024-03-30 11:00:00  none     stop                       *         *        "
                "Sat 2024-03-30 11:00:00 CET\n" +
                std::to_string(Utc(2020, 2, 3, 19, 0, 1)) +
                "  20:00:01             someday  stop                       *         *        "
                "never (unknown day)\n"
                "1           01:00:01             daily    stop                       *         "
                "*        disabled\n");
  // The daemon reads a line 1023 characters at a time and skips the rest
  // of a longer one: cut inside its fields, such a line is no event.
  const std::string path(1010, 'p');
  EXPECT_EQ(korvctl::ScheduleRows("5,stop,daily," + path + ",*,1\n7,stop,daily,*,*,1\n", 0).size(), 1u);
  // A one-shot in the past never fires again.
  EXPECT_EQ(korvctl::ScheduleRows(soon + ",stop,none,*,*,1", Utc(2024, 4, 1, 0, 0))[0][6].second,
            "never (past)");
}

auto Parsed(const Options& o) {
  return std::tuple(o.host, o.port, o.timeout_ms, o.json, o.subcommand, o.words, o.host_given,
                    o.port_given, o.user.value_or("-"), o.password.value_or("-"));
}

TEST(KorvctlOptions, DefaultsOptionsAnywhereAndTheWordsOfTheSubcommand) {
  Options o;
  std::string error;
  ASSERT_TRUE(korvctl::ParseOptions({"status"}, &o, &error));
  EXPECT_EQ(Parsed(o), Parsed(Options{"127.0.0.1", 14667, {}, {}, {}, 10000, false, false, false,
                                      false, false, "status", {}}));
  o = Options{};
  ASSERT_TRUE(korvctl::ParseOptions({"--port=15000", "ban", "-H", "localhost", "--reason", "x",
                                     "-t", "3", "--json", "--", "-u", "name"},
                                    &o, &error));
  EXPECT_EQ(Parsed(o), Parsed(Options{"localhost", 15000, {}, {}, {}, 3000, true, false, false, true,
                                      true, "ban", {"--reason", "x", "-u", "name"}}));
  // The file fills only what the command line left open.
  ASSERT_TRUE(korvctl::ParseCredentials("# korvctl\n user = filed \npassword=a = b\n\nport = 99\n"
                                        "host = otherhost\n",
                                        &o, &error));
  EXPECT_EQ(Parsed(o), Parsed(Options{"localhost", 15000, "filed", "a = b", {}, 3000, true, false,
                                      false, true, true, "ban", {"--reason", "x", "-u", "name"}}));
}

TEST(KorvctlOptions, RefusalsSayWhatIsWrong) {
  const std::pair<std::vector<std::string>, std::string> command_lines[] = {
      {{"-p", "0"}, "the port must be a number from 1 to 65535, not '0'"},
      {{"--port=65536"}, "the port must be a number from 1 to 65535, not '65536'"},
      {{"--port", "12x"}, "the port must be a number from 1 to 65535, not '12x'"},
      {{"-t", "3601"}, "the timeout must be a number of seconds from 1 to 3600, not '3601'"},
      {{"status", "--user"}, "--user needs a value"}, {{"--colour", "status"}, "unknown option --colour"},
  };
  Options o;
  std::string error;
  for (const auto& [args, message] : command_lines)
    EXPECT_TRUE(!korvctl::ParseOptions(args, &(o = Options{}), &error) && error == message)
        << message << ": " << error;
  const std::pair<std::string, std::string> files[] = {
      {"user = a\nport = 65536\n", "the port in the credentials file must be a number from 1 to 65535"},
      {"# fine\nuser a\n", "line 2 of the credentials file is not key = value"},
      {"colour = blue\n", "unknown key 'colour' in the credentials file"},
  };
  for (const auto& [text, message] : files)
    EXPECT_TRUE(!korvctl::ParseCredentials(text, &(o = Options{}), &error) && error == message)
        << message << ": " << error;
}

}  // namespace
}  // namespace korvtest
