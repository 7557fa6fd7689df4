// The deferred command queue: packing, due times, the full queue, once-only; the command
// table's access rules and queued codes, written out once.
#include "remote/command_queue.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <stdexcept>
#include <string>

#include "core/clock.h"
#include "core/wake.h"
#include "daemon/manager_state.h"
#include "links/link_fixture.h"
#include "remote/dispatch.h"
#include "remote/session.h"

namespace {

using korvtest::Has;

class CommandQueueTest : public korvtest::LogFixture {};

TEST_F(CommandQueueTest, TextIsCutTo255AndThe33rdCommandIsDroppedWithItsLine) {
  std::string long_text(400, 'x');
  QueueCommand(0xB00B0017, long_text.c_str(), 3, 0);
  QueueCommand(0xB00B0018, nullptr, 0, 0);
  const auto& queue = g_manager.remote.queue;
  auto row = [](const QueuedCommand& c) { return std::tuple(c.code, std::string(c.text), c.sender); };
  EXPECT_EQ(row(queue[0]), std::tuple(0xB00B0017u, long_text.substr(0, 255), 3u));
  EXPECT_EQ(row(queue[1]), std::tuple(0xB00B0018u, "", 0u));
  EXPECT_EQ(QueuedCommandCount(), 2);
  g_manager.remote.queue = {};
  for (int i = 0; i < 33; ++i) QueueCommand(0xB00B0040 + i, nullptr, 0, 0);
  EXPECT_EQ(QueuedCommandCount(), 32);
  EXPECT_TRUE(Has(Log(), "DEBUG: Couldn't queue command B00B0060, the queue is full!\r\n"));
  QueueCommandOnce(0xB00B0000, nullptr, 0, 0);
  EXPECT_TRUE(Has(Log(), "Couldn't queue command B00B0000! The queue is full.\r\n"));
  // The first of a full queue runs: the others move up and the last slot is freed.
  for (int i = 1; i < kQueueSlots; ++i) g_manager.remote.queue[i].due = INT64_MAX;
  SetCommandRunner([](const QueuedCommand&) {});
  RunQueuedCommands(ClockNow());
  EXPECT_EQ(std::pair(queue[30].code, queue[31].code), std::pair(0xB00B005Fu, 0u));
}

TEST_F(CommandQueueTest, DueCommandsRunInQueueOrderAndNewOnesWaitAPass) {
  static std::string ran;
  ran.clear();
  SetCommandRunner([](const QueuedCommand& command) {
    ran += std::to_string(command.code & 0xFF) + " ";
    if (command.code == 0xB00B0041) QueueCommand(0xB00B0041, nullptr, 0, 0);  // queues itself
  });
  // The pass's clock is a second older than these: those without delay run all the same.
  SetClockForTests([] { return std::int64_t{1700000001000}; });
  const std::time_t now = 1700000000;
  for (std::uint32_t code : {0xB00B0041u, 0xB00B0042u, 0xB00B0044u, 0xB00B0045u})
    QueueCommand(code, nullptr, 0, 0);
  QueueCommand(0xB00B0043, nullptr, 0, 100);
  RunQueuedCommands(now);
  EXPECT_EQ(ran, "65 66 68 69 ");
  const auto& queue = g_manager.remote.queue;
  ASSERT_EQ(QueuedCommandCount(), 2);
  EXPECT_EQ(std::pair(queue[0].code, queue[1].code), std::pair(0xB00B0043u, 0xB00B0041u));
  RunQueuedCommands(now + 100);
  EXPECT_EQ(ran, "65 66 68 69 65 ");
  RunQueuedCommands(now + 101);
  EXPECT_EQ(ran, "65 66 68 69 65 67 65 ");
  EXPECT_EQ(QueuedCommandCount(), 1);
}

// True once the loop's wake-up pipe was written to; empties it.
bool LoopWoken() {
  pollfd wake{WakePipeFd(), POLLIN, 0};
  if (::poll(&wake, 1, 0) != 1) return false;
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(WakePipeFd(), &ready);
  return DrainWakePipe(&ready);
}

TEST_F(CommandQueueTest, ARunStopsStartingCommandsAfter100MsAndWakesTheLoopForTheRest) {
  static std::int64_t clock_ms = 1700000000000;
  static std::string ran;
  ran.clear();
  SetClockForTests([] { return clock_ms; });
  SetCommandRunner([](const QueuedCommand& command) {  // each takes 60 ms
    ran += std::to_string(command.code & 0xFF) + " ";
    clock_ms += 60;
  });
  OpenWakePipe();
  ASSERT_GE(WakePipeFd(), 0);
  for (std::uint32_t code : {0xB00B0041u, 0xB00B0042u, 0xB00B0043u, 0xB00B0044u})
    QueueCommand(code, nullptr, 0, 0);
  QueueCommand(0xB00B0045, nullptr, 0, 100);
  const std::time_t now = ClockNow();
  RunQueuedCommands(now);
  EXPECT_EQ(ran, "65 66 ");
  const auto& queue = g_manager.remote.queue;
  EXPECT_EQ(std::tuple(queue[0].code, queue[1].code, queue[2].code),
            std::tuple(0xB00B0043u, 0xB00B0044u, 0xB00B0045u));
  EXPECT_TRUE(LoopWoken());
  RunQueuedCommands(now);
  EXPECT_EQ(ran, "65 66 67 68 ");
  EXPECT_FALSE(LoopWoken());  // what is left is not due yet
}

TEST_F(CommandQueueTest, ACommandThatThrowsIsLoggedAndTheQueueGoesOn) {
  static std::string ran;
  ran.clear();
  SetCommandRunner([](const QueuedCommand& command) {
    if (command.code == 0xB00B0041) throw std::out_of_range("basic_string::substr");
    ran += std::to_string(command.code & 0xFF) + " ";
  });
  QueueCommand(0xB00B0041, nullptr, 0, 0);
  QueueCommand(0xB00B0042, nullptr, 0, 0);
  RunQueuedCommands(ClockNow());
  RunQueuedCommands(ClockNow());
  EXPECT_EQ(ran, "66 ");
  EXPECT_TRUE(Has(Log(), "Couldn't run command B00B0041! basic_string::substr.\r\n"));
}

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
