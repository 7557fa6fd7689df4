// korvctl schedule: the rows and the next firing in the local time zone.
#include "korvctl/schedule_view.h"

#include <gtest/gtest.h>

#include "support/local_zone.h"

namespace korvtest {
namespace {

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

}  // namespace
}  // namespace korvtest
