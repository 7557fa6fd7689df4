// korvctl refuses by the shared access rule before sending, and names what an account lacks.
#include <gtest/gtest.h>

#include "korvctl/protocol.h"

namespace {

TEST(KorvctlAccess, LettersAndNeedsInWords) {
  EXPECT_EQ(korvctl::AccessLetters(0x41), "SgfiatMpbuhc");
  EXPECT_EQ(korvctl::AccessLetters(0xFFFFFFFF), "-- admin --");
  EXPECT_EQ(korvctl::AccessLetters(0x1080), "sgfiatmPbuhc +power");
  EXPECT_EQ(korvctl::AccessNeeded(kClientBanPlayer), "the P (players) letter or the B (bans) letter");
  EXPECT_EQ(korvctl::AccessNeeded(kClientVerifyBanLists), "the administrator account");
  EXPECT_EQ(korvctl::AccessNeeded(kClientKeepAlive), "nothing");
}

}  // namespace
