// Schedule lines the fuzzer found: a NUL inside a line ends it, so an
// event is either refused on loading or saved back whole, never turned into
// a line the next load drops.
#include <gtest/gtest.h>

#include "core/helpers.h"
#include "links/link_fixture.h"
#include "schedule/schedule.h"

namespace korvtest {
namespace {

class ScheduleNulTest : public LogFixture {};

TEST_F(ScheduleNulTest, ANulEndsTheLineAndWhatIsSavedLoadsAgain) {
  std::string path = dir_ / "serverschedule.con";
  WriteFile(path, std::string("2000,start,daily,s.con,m.con,1\0tail\n", 36) +
                      std::string("3000,stop,daily,a.con,\0b,1\n", 27) +
                      "4000,stop,Mon,*,*,0\n");
  ASSERT_TRUE(LoadSchedule(path));
  ASSERT_TRUE(SaveSchedule(path));
  const char* expected = "2000,start,daily,s.con,m.con,1\n4000,stop,Mon,*,*,0\n";
  EXPECT_EQ(ReadFile(path), expected);
  ASSERT_TRUE(LoadSchedule(path));
  ASSERT_TRUE(SaveSchedule(path));
  EXPECT_EQ(ReadFile(path), expected);
}

}  // namespace
}  // namespace korvtest
