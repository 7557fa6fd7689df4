// The command table's access rules and queued codes, written out once; chat pieces.
#include "remote/dispatch.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <map>

#include "daemon/manager_state.h"
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

TEST_F(DispatchTest, EveryCodeFollowsItsAccessRuleAndQueuedCommandsHaveTheirCodeAndText) {
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
  // n -> queued n, and whether it carries a text; 6 and 7 are ignored, the rest run at once.
  const std::map<int, std::pair<std::uint32_t, bool>> queued{
      {4, {0x1E, false}},  {5, {0x1F, false}},  {28, {0x09, false}}, {30, {0x0A, true}},
      {31, {0x0B, false}}, {32, {0x0C, true}},  {33, {0x0D, true}},  {34, {0x0E, false}},
      {35, {0x0F, true}},  {36, {0x03, true}},  {37, {0x10, true}},  {38, {0x11, true}},
      {39, {0x12, false}}, {40, {0x13, true}},  {41, {0x14, false}}, {42, {0x15, false}},
      {43, {0x16, false}}, {44, {0x17, true}},  {45, {0x18, true}},  {46, {0x19, true}},
      {47, {0x1A, true}},  {49, {0x1B, true}}};
  for (const CommandRow& row : CommandTable()) {
    int n = static_cast<int>(row.code - 0xBABE0000);
    SCOPED_TRACE(n);
    auto it = queued.find(n);
    if (it == queued.end()) {
      EXPECT_EQ(row.kind, n == 6 || n == 7 ? CommandKind::kIgnored : CommandKind::kImmediate);
      EXPECT_FALSE(row.text);
      continue;
    }
    EXPECT_EQ(row.kind, CommandKind::kQueued);
    EXPECT_EQ(row.queued, 0xB00B0000 + it->second.first);
    EXPECT_EQ(row.text, it->second.second);
  }
}

// A free slot has no connection: a notification must not reach whatever descriptor 0 is.
TEST_F(DispatchTest, NotifyingAFreeSlotWritesNowhere) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  int saved = ::dup(0);
  ::dup2(pair[0], 0);
  EXPECT_FALSE(NotifyClient(0xBEEF0001, 3, "x", 1));
  saved >= 0 ? ::dup2(saved, 0) : ::close(0);
  char byte;
  EXPECT_EQ(::recv(pair[1], &byte, 1, MSG_DONTWAIT), -1);
  for (int fd : {saved, pair[0], pair[1]}) ::close(fd);
}

TEST(ChatPieces, CutAtTheLastBlankWithinSixtyThreeCharacters) {
  const char blank = static_cast<char>(0x80);
  const std::string b(1, blank), a63(63, 'a'), a37(37, 'a');
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(SplitIntoPieces(std::string(100, 'a'), blank), (Pieces{a63, a37}));
  std::string words = std::string(40, 'a') + b + std::string(30, 'b') + b + "end";
  EXPECT_EQ(SplitIntoPieces(words, blank), (Pieces{std::string(40, 'a'), std::string(30, 'b') + b + "end"}));
  // A separator at index 63 ends a full piece and is dropped; one at index 0 does not count.
  EXPECT_EQ(SplitIntoPieces(a63 + b + "d", blank), (Pieces{a63, "d"}));
  EXPECT_EQ(SplitIntoPieces(b + std::string(99, 'a'), blank), (Pieces{b + std::string(62, 'a'), a37}));
  EXPECT_EQ(SplitIntoPieces(a63, blank), Pieces{a63});
  EXPECT_EQ(SplitIntoPieces("", blank), Pieces{""});
}

}  // namespace
