// korvctl refuses commands by its own copy of the access rule, because the
// daemon does not answer a refused command; the copy must agree with the
// daemon's rule for every code and every right.
#include <gtest/gtest.h>

#include "core/manager_state.h"
#include "remote/dispatch.h"

// The client's protocol code is built into korvctl, not into the library.
#include "../../tools/korvctl/protocol.cc"

namespace {

TEST(KorvctlAccess, ClientRuleMatchesTheDaemonsForEveryCodeAndRight) {
  ResetManagerState();
  std::vector<std::uint32_t> masks{0, 0x41, 0x3FFFF, 0xFFFFFFFF, 0x80 | 0x100, 0x10 | 0x4000};
  for (int bit = 0; bit < 32; ++bit) masks.push_back(1u << bit);
  for (std::uint32_t mask : masks) {
    g_manager.remote.sessions[1].access = mask;
    for (std::uint32_t code = 0xBABDFFFE; code <= 0xBABE0034; ++code)
      EXPECT_EQ(korvctl::HasCommandAccess(mask, code), HasCommandAccess(1, code))
          << std::hex << "mask " << mask << " code " << code;
  }
  ResetManagerState();
}

TEST(KorvctlAccess, LettersAndNeedsInWords) {
  EXPECT_EQ(korvctl::AccessLetters(0x41), "SgfiatMpbuhc");
  EXPECT_EQ(korvctl::AccessLetters(0xFFFFFFFF), "-- admin --");
  EXPECT_EQ(korvctl::AccessLetters(0x1080), "sgfiatmPbuhc +power");
  EXPECT_EQ(korvctl::AccessNeeded(0xBABE0025), "the P (players) letter or the B (bans) letter");
  EXPECT_EQ(korvctl::AccessNeeded(0xBABE0029), "the administrator account");
  EXPECT_EQ(korvctl::AccessNeeded(0xBABE0032), "nothing");
}

}  // namespace
