// korvctl refuses by the shared access rule before sending, and names what an account lacks.
#include <gtest/gtest.h>

#include "korvctl/protocol.h"

namespace {

TEST(KorvctlAccess, LettersAndNeedsInWords) {
  EXPECT_EQ(korvctl::AccessLetters(0x41), "SgfiatMpbuhc");
  EXPECT_EQ(korvctl::AccessLetters(0xFFFFFFFF), "-- admin --");
  EXPECT_EQ(korvctl::AccessLetters(0x1080), "sgfiatmPbuhc +power");
  EXPECT_EQ(korvctl::AccessNeeded(0xBABE0025), "the P (players) letter or the B (bans) letter");
  EXPECT_EQ(korvctl::AccessNeeded(0xBABE0029), "the administrator account");
  EXPECT_EQ(korvctl::AccessNeeded(0xBABE0032), "nothing");
}

}  // namespace
