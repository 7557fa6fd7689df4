// Day keywords and event instants in local time, across both daylight-saving
// changes of the year.
#include "core/event_times.h"

#include <gtest/gtest.h>

#include "support/local_zone.h"

namespace korvtest {
namespace {

TEST(EventTimes, DayKeywordsMatchOverTheirOwnLength) {
  const std::pair<const char*, int> cases[] = {
      {"none", 0},     {"NONE", 0},      {"daily", 1},   {"Sunday", 2},   {"mon", 3},
      {"tue", 4},      {"wednesday", 5}, {"thu", 6},     {"fri", 7},      {"SAT", 8},
      {"weekdays", 9}, {"weekends", 10}, {"someday", -1}, {"mo", -1},     {"", -1},
      {"week", -1}};
  for (const auto& [text, code] : cases) EXPECT_EQ(DayCode(text), code) << text;
  // Sunday is tm_wday 0.
  EXPECT_TRUE(DayAdmits(2, 0));
  EXPECT_FALSE(DayAdmits(3, 0));
  EXPECT_TRUE(DayAdmits(9, 5));
  EXPECT_FALSE(DayAdmits(9, 6));
  EXPECT_FALSE(DayAdmits(9, 0));
  EXPECT_TRUE(DayAdmits(10, 6));
  EXPECT_FALSE(DayAdmits(10, 1));
  EXPECT_FALSE(DayAdmits(-1, 3));
}

TEST(EventTimes, TimeOfDayFallsOnTheGivenLocalDay) {
  LocalZone zone(kBerlinRules);
  // 04:00 CET in 2001 lands on 04:00 CEST in 2030 (02:00 UTC) and on 04:00
  // CET in winter (03:00 UTC).
  std::time_t stored = Utc(2001, 1, 10, 3, 0);
  EXPECT_EQ(InstantOnDay(stored, Utc(2030, 6, 5, 12, 0)), Utc(2030, 6, 5, 2, 0));
  EXPECT_EQ(InstantOnDay(stored, Utc(2030, 12, 5, 12, 0)), Utc(2030, 12, 5, 3, 0));
  // Seconds are kept; a one-shot event is its stored time.
  EXPECT_EQ(InstantOnDay(stored + 17, Utc(2030, 12, 5, 0, 0)), Utc(2030, 12, 5, 3, 0, 17));
  EXPECT_EQ(EventInstant(1000, kDayOnce, Utc(2030, 1, 1, 0, 0)), 1000);
}

TEST(EventTimes, SkippedAndRepeatedTimesOfDay) {
  LocalZone zone(kBerlinRules);
  std::time_t two_thirty = Utc(2024, 1, 10, 1, 30);  // 02:30 CET
  // 31 March 2024: 02:00 CET becomes 03:00 CEST. 02:30 does not exist; the
  // first valid minute after it is 03:00 CEST, 01:00 UTC.
  EXPECT_EQ(InstantOnDay(two_thirty, Utc(2024, 3, 31, 10, 0)), Utc(2024, 3, 31, 1, 0));
  // 27 October 2024: 03:00 CEST becomes 02:00 CET; 02:30 comes twice, the
  // first time at 00:30 UTC.
  EXPECT_EQ(InstantOnDay(two_thirty, Utc(2024, 10, 27, 10, 0)), Utc(2024, 10, 27, 0, 30));
  // Neither near a change: an ordinary day either side.
  EXPECT_EQ(InstantOnDay(two_thirty, Utc(2024, 3, 30, 10, 0)), Utc(2024, 3, 30, 1, 30));
  EXPECT_EQ(InstantOnDay(two_thirty, Utc(2024, 4, 1, 10, 0)), Utc(2024, 4, 1, 0, 30));
}

TEST(EventTimes, NextFiringLooksAheadByLocalDays) {
  LocalZone zone(kBerlinRules);
  std::time_t eight_pm = Utc(2020, 2, 3, 19, 0);  // 20:00 CET
  std::time_t wednesday = Utc(2024, 3, 27, 12, 0);
  EXPECT_EQ(NextFiring(eight_pm, DayCode("sat"), wednesday), Utc(2024, 3, 30, 19, 0));
  // Sunday is past the change: 20:00 CEST.
  EXPECT_EQ(NextFiring(eight_pm, DayCode("sun"), wednesday), Utc(2024, 3, 31, 18, 0));
  EXPECT_EQ(NextFiring(eight_pm, DayCode("daily"), wednesday), Utc(2024, 3, 27, 19, 0));
  EXPECT_EQ(NextFiring(eight_pm, DayCode("weekdays"), Utc(2024, 3, 29, 20, 0)),
            Utc(2024, 4, 1, 18, 0));
  EXPECT_EQ(NextFiring(eight_pm, DayCode("wed"), Utc(2024, 3, 27, 19, 0, 1)),
            Utc(2024, 4, 3, 18, 0));
  EXPECT_EQ(NextFiring(eight_pm, kDayOnce, wednesday), 0);
  EXPECT_EQ(NextFiring(static_cast<std::uint32_t>(wednesday + 5), kDayOnce, wednesday),
            wednesday + 5);
  EXPECT_EQ(NextFiring(eight_pm, kDayNever, wednesday), 0);
}

}  // namespace
}  // namespace korvtest
