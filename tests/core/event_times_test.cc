// Day keywords and the days they admit (instants: see the schedule tests).
#include "core/event_times.h"

#include <gtest/gtest.h>

namespace korvtest {
namespace {

TEST(EventTimes, DayKeywordsMatchOverTheirOwnLength) {
  const std::pair<const char*, int> cases[] = {
      {"NONE", 0}, {"daily", 1},     {"Sunday", 2},    {"mon", 3},       {"tue", 4},
      {"wed", 5},  {"thu", 6},       {"fri", 7},       {"SAT", 8},       {"weekdays", 9},
      {"weekends", 10}, {"someday", -1}, {"mo", -1},   {"", -1}};
  for (const auto& [text, code] : cases) EXPECT_EQ(DayCode(text), code) << text;
  // Sunday is tm_wday 0.
  const int admitted[][3] = {{2, 0, 1}, {3, 0, 0}, {9, 5, 1}, {9, 6, 0}, {9, 0, 0},
                             {10, 6, 1}, {10, 0, 1}, {10, 1, 0}, {1, 3, 1}, {-1, 3, 0}};
  for (const auto& [code, weekday, yes] : admitted)
    EXPECT_EQ(DayAdmits(code, weekday), yes != 0) << code << " " << weekday;
}

}  // namespace
}  // namespace korvtest
