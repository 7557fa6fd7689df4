// The command table against the access rules the clients rely on, and the
// cutting of chat texts into console pieces.
#include "remote/dispatch.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "core/manager_state.h"
#include "remote/execute.h"
#include "remote/session.h"

namespace {

// n = code - 0xBABE0000 and the bits of which one admits it; 0 = everyone,
// kAdmin = the administrator mask only.
constexpr std::uint32_t kAdmin = 0xFFFFFFFF;
const std::map<int, std::uint32_t>& Rules() {
  static const std::map<int, std::uint32_t> rules = [] {
    std::map<int, std::uint32_t> r;
    auto set = [&](std::initializer_list<int> ns, std::uint32_t need) {
      for (int n : ns) r[n] = need;
    };
    set({0, 1, 44, 45, 47, 50}, 0);
    set({2, 3, 4, 5}, 0x20000);
    set({8, 9, 10, 11, 30, 31, 32, 33, 34}, 0x40);
    set({12, 14, 29, 35, 40, 49}, 0x80);
    set({13, 36}, 0x800);
    set({15, 16, 38, 39}, 0x100);
    set({17, 18}, 0x200);
    set({19, 20}, 0x400);
    set({21}, 0x20);
    set({22, 23}, 0x10);
    set({24, 25}, 0x90);
    set({26, 27, 28}, 0x1000);
    set({37}, 0x180);
    set({46}, 0x10000);
    set({48}, 0x2000);
    set({6, 7, 41, 42, 43}, kAdmin);
    return r;
  }();
  return rules;
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetManagerState();
    InitSessionTable();
  }
  bool Allowed(std::uint32_t access, std::uint32_t code) {
    g_manager.remote.sessions[1].socket = 99;
    g_manager.remote.sessions[1].access = access;
    return HasCommandAccess(1, code);
  }
};

TEST_F(DispatchTest, EveryCodeFollowsItsAccessRule) {
  ASSERT_EQ(Rules().size(), 51u);
  ASSERT_EQ(CommandTable().size(), 51u);
  for (const auto& [n, need] : Rules()) {
    std::uint32_t code = 0xBABE0000 + n;
    SCOPED_TRACE(n);
    EXPECT_TRUE(Allowed(0xFFFFFFFF, code));
    EXPECT_FALSE(Allowed(0, code));
    if (need == kAdmin) {
      EXPECT_FALSE(Allowed(0x7FFFFFFF, code));
      continue;
    }
    if (need == 0) {
      EXPECT_TRUE(Allowed(0x4000, code));  // any non-zero mask
      continue;
    }
    for (int bit = 0; bit < 32; ++bit) {
      std::uint32_t mask = 1u << bit;
      EXPECT_EQ(Allowed(mask, code), (need & mask) != 0) << "bit " << bit;
    }
    EXPECT_FALSE(Allowed(0x7FFFFFFF & ~need, code));
  }
  for (std::uint32_t code : {0xBABDFFFFu, 0xBABE0033u, 0u, 0xBEEF0001u}) {
    EXPECT_FALSE(Allowed(0xFFFFFFFF, code));
  }
  // The daemon itself may run everything in range.
  EXPECT_TRUE(HasCommandAccess(0, 0xBABE002B));
}

TEST_F(DispatchTest, QueuedRowsCarryTheirCodesAndTexts) {
  const std::map<int, std::pair<std::uint32_t, bool>> queued = {
      {0x04, {0xB00B001E, false}}, {0x05, {0xB00B001F, false}}, {0x1C, {0xB00B0009, false}},
      {0x1E, {0xB00B000A, true}},  {0x1F, {0xB00B000B, false}}, {0x20, {0xB00B000C, true}},
      {0x21, {0xB00B000D, true}},  {0x22, {0xB00B000E, false}}, {0x23, {0xB00B000F, true}},
      {0x24, {0xB00B0003, true}},  {0x25, {0xB00B0010, true}},  {0x26, {0xB00B0011, true}},
      {0x27, {0xB00B0012, false}}, {0x28, {0xB00B0013, true}},  {0x29, {0xB00B0014, false}},
      {0x2A, {0xB00B0015, false}}, {0x2B, {0xB00B0016, false}}, {0x2C, {0xB00B0017, true}},
      {0x2D, {0xB00B0018, true}},  {0x2E, {0xB00B0019, true}},  {0x2F, {0xB00B001A, true}},
      {0x31, {0xB00B001B, true}}};
  for (const CommandRow& row : CommandTable()) {
    int n = static_cast<int>(row.code - 0xBABE0000);
    SCOPED_TRACE(n);
    auto it = queued.find(n);
    if (it == queued.end()) {
      EXPECT_NE(row.kind, CommandKind::kQueued);
      EXPECT_FALSE(row.text);
      if (row.kind == CommandKind::kImmediate) {
        EXPECT_NE(row.handler, nullptr);
      }
      continue;
    }
    EXPECT_EQ(row.kind, CommandKind::kQueued);
    EXPECT_EQ(row.queued, it->second.first);
    EXPECT_EQ(row.text, it->second.second);
  }
  EXPECT_EQ(CommandTable()[6].kind, CommandKind::kIgnored);
  EXPECT_EQ(CommandTable()[7].kind, CommandKind::kIgnored);
}

TEST_F(DispatchTest, UnknownOrFreeSlotsAreNotRead) {
  EXPECT_FALSE(DispatchClientCommand(-1));
  EXPECT_FALSE(DispatchClientCommand(17));
  EXPECT_FALSE(DispatchClientCommand(0));  // the daemon's own slot has no socket
  EXPECT_FALSE(DispatchClientCommand(5));  // free
}

TEST(ChatPieces, CutAtTheLastBlankWithinSixtyThreeCharacters) {
  const char blank = static_cast<char>(0x80);
  std::vector<std::string> pieces = SplitIntoPieces(std::string(100, 'a'), blank);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].size(), 63u);
  EXPECT_EQ(pieces[1].size(), 37u);

  std::string words = std::string(40, 'a') + blank + std::string(30, 'b') + blank + "end";
  pieces = SplitIntoPieces(words, blank);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], std::string(40, 'a'));
  EXPECT_EQ(pieces[1], std::string(30, 'b') + blank + "end");

  // A separator at index 63 makes a full piece and is dropped.
  pieces = SplitIntoPieces(std::string(63, 'c') + blank + "d", blank);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], std::string(63, 'c'));
  EXPECT_EQ(pieces[1], "d");

  // Exactly 63 characters stay one piece; an empty text is one empty piece.
  EXPECT_EQ(SplitIntoPieces(std::string(63, 'e'), blank).size(), 1u);
  EXPECT_EQ(SplitIntoPieces("", blank), std::vector<std::string>{""});
  // A separator at index 0 does not count: the piece is cut at 63.
  pieces = SplitIntoPieces(std::string(1, blank) + std::string(99, 'f'), blank);
  EXPECT_EQ(pieces[0].size(), 63u);
  // Server messages cut at ordinary spaces.
  pieces = SplitIntoPieces(std::string(60, 'g') + " " + std::string(10, 'h'), ' ');
  EXPECT_EQ(pieces, (std::vector<std::string>{std::string(60, 'g'), std::string(10, 'h')}));
}

}  // namespace
