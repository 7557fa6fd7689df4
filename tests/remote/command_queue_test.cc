// The deferred command queue: packing, due times, the full queue, once-only.
#include "remote/command_queue.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <stdexcept>
#include <string>

#include "core/clock.h"
#include "core/wake.h"
#include "links/link_fixture.h"

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

}  // namespace
