// The command table's access rules and queued codes, written out once.
#include "remote/dispatch.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <map>

#include "daemon/manager_state.h"
#include "remote/session.h"

namespace {

// The bits any of which admits code kClientSettingsDownload + n; 0: every user, kAdmin: administrators only.
constexpr std::uint32_t kAdmin = 0xFFFFFFFF;
constexpr std::uint32_t kNeed[53] = {
    0,      0,      0x20000, 0x20000, 0x20000, 0x20000, kAdmin, kAdmin,   // 0-7
    0x40,   0x40,   0x40,    0x40,    0x80,    0x800,   0x80,   0x100,    // 8-15
    0x100,  0x200,  0x200,   0x400,   0x400,   0x20,    0x10,   0x10,     // 16-23
    0x90,   0x90,   0x1000,  0x1000,  0x1000,  0x80,    0x40,   0x40,     // 24-31
    0x40,   0x40,   0x40,    0x80,    0x800,   0x180,   0x100,  0x100,    // 32-39
    0x80,   kAdmin, kAdmin,  kAdmin,  0,       0,       0x10000, 0,       // 40-47
    0x2000, 0x80,   0,       0x80,    0x80};                              // 48-52

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
  ASSERT_EQ(CommandTable().size(), 53u);
  for (int n = 0; n < 53; ++n) {
    std::uint32_t code = kClientSettingsDownload + n, need = kNeed[n];
    SCOPED_TRACE(n);
    EXPECT_TRUE(Allowed(0xFFFFFFFF, code));
    EXPECT_FALSE(Allowed(0, code));
    if (need == kAdmin || need == 0) {  // the administrator mask only, or any non-zero mask
      EXPECT_EQ(Allowed(need == 0 ? 0x4000 : 0x7FFFFFFF, code), need == 0);
      continue;
    }
    for (int bit = 0; bit < 32; ++bit) {
      std::uint32_t mask = 1u << bit;
      EXPECT_EQ(Allowed(mask, code), (need & mask) != 0) << "bit " << bit;
    }
    EXPECT_FALSE(Allowed(0x7FFFFFFF & ~need, code));
  }
  for (std::uint32_t code : {0xBABDFFFFu, (kClientLast + 1), 0u, 0xBEEF0001u})
    EXPECT_FALSE(Allowed(0xFFFFFFFF, code));
  // The daemon itself may run everything in range.
  EXPECT_TRUE(HasCommandAccess(0, kClientSyncFromServerBanList));
  // n -> queued n, and whether it carries a text; 6 and 7 are ignored, the rest run at once.
  const std::map<int, std::pair<std::uint32_t, bool>> queued{
      {4, {0x1E, false}},  {5, {0x1F, false}},  {28, {0x09, false}}, {30, {0x0A, true}},
      {31, {0x0B, false}}, {32, {0x0C, true}},  {33, {0x0D, true}},  {34, {0x0E, false}},
      {35, {0x0F, true}},  {36, {0x03, true}},  {37, {0x10, true}},  {38, {0x11, true}},
      {39, {0x12, false}}, {40, {0x13, true}},  {41, {0x14, false}}, {42, {0x15, false}},
      {43, {0x16, false}}, {44, {0x17, true}},  {45, {0x18, true}},  {46, {0x19, true}},
      {47, {0x1A, true}},  {49, {0x1B, true}}};
  for (const CommandRow& row : CommandTable()) {
    int n = static_cast<int>(row.code - kClientSettingsDownload);
    SCOPED_TRACE(n);
    auto it = queued.find(n);
    bool q = it != queued.end();
    CommandKind kind = q                    ? CommandKind::kQueued
                       : n == 6 || n == 7 ? CommandKind::kIgnored
                                          : CommandKind::kImmediate;
    // A file frame follows the eight uploads: 1, 3, 11, 16, 18, 20, 23 and 25.
    bool upload = n == 1 || n == 3 || n == 11 || n == 16 || n == 18 || n == 20 || n == 23 || n == 25;
    // The history query and note (51, 52) carry a text and answer at once.
    bool text = q ? it->second.second : n >= 51;
    EXPECT_EQ(std::tuple(row.kind, row.text, row.upload), std::tuple(kind, text, upload));
    if (q) { EXPECT_EQ(row.queued, 0xB00B0000 + it->second.first); }
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

}  // namespace
