// Failed logins by address: free ones, the doubling wait and cap, the summaries, forgetting.
#include "remote/login_penalty.h"

#include <gtest/gtest.h>

#include "links/link_fixture.h"

namespace {

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
  EXPECT_EQ(korvtest::Count(Log(), "SECURITY ALERT!"), 1);
  EXPECT_TRUE(korvtest::Has(Log(), first));
  CheckLoginPenalties(t0 + seconds(61));
  EXPECT_TRUE(korvtest::Has(Log(), rest));
  EXPECT_EQ(korvtest::Count(Log(), "SECURITY ALERT!"), 2);
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
