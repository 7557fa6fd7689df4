// The schedule file, the tick's warnings and firing window on a clock the
// tests set, start and stop events, and the event that waits for the end
// of the game.
#include "schedule/schedule.h"

#include <gtest/gtest.h>

#include "core/helpers.h"
#include "core/protocol.h"
#include "links/console.h"
#include "links/fake_console.h"
#include "links/link_fixture.h"
#include "links/udp_responder.h"
#include "remote/command_queue.h"
#include "server/ticks.h"
#include "settings/settings_table.h"
#include "support/local_zone.h"

namespace korvtest {
namespace {

std::time_t g_now = 0;
std::vector<std::string> g_calls;  // "start", "stop", "wait 3"

class ScheduleTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.settings_dir = dir_ / "settings";
    path_ = g_manager.core.settings_dir + "/serverschedule.con";
    g_calls.clear();
    SetScheduleClock([] { return g_now; });
    SetScheduleWait([](unsigned s) { g_calls.push_back("wait " + std::to_string(s)); });
    SetScheduleServerControl(
        [] {
          g_calls.push_back("start");
          g_manager.server.server_running = true;
          ++g_manager.server.server_pid;
          return true;
        },
        [](bool) {
          g_calls.push_back("stop");
          g_manager.server.server_running = false;
          return true;
        });
  }
  void TearDown() override {
    SetScheduleClock(nullptr);
    SetScheduleWait(nullptr);
    LogFixture::TearDown();
  }
  void Load(const std::string& text) {
    CreateFileWithDirs(path_, 0);
    WriteFile(path_, text);
    ASSERT_TRUE(LoadSchedule(path_));
  }
  // The texts queued since the last call, emptying the queue.
  std::vector<std::string> Queued(std::uint32_t code = kCmdServerMessage) {
    std::vector<std::string> texts;
    for (const QueuedCommand& c : g_manager.remote.queue)
      if (c.code == code) texts.push_back(c.text);
    g_manager.remote.queue = {};
    return texts;
  }
  LocalZone zone_{kBerlinRules};
  std::string path_;
};

// Wednesday 5 June 2024, 20:00 CEST.
const std::time_t kEightPm = Utc(2024, 6, 5, 18, 0);

TEST_F(ScheduleTest, FileLoadsSkipsBadLinesAndMovesDuplicateTimes) {
  std::string overlong = "2000,stop,daily,*,*,1" + std::string(1100, 'x') + ",x,x,x,x,1\n";
  Load("1000,stop,daily,*,*,1\n1000,Start,none,a.con,b.con,0\n" + overlong +
       "0,stop,daily,*,*,1\n3000,stop,daily,*,*\n4000,stop,,*,*,1\n1000,stopwait_and_then_some,"
       "monday_to_friday,*,*,1\n");
  const auto& events = Schedule().events;
  ASSERT_EQ(events[0].time, 1000u);
  EXPECT_EQ(events[1].time, 1001u);
  EXPECT_EQ(events[1].action, "Start");
  EXPECT_EQ(events[1].settings_file, "a.con");
  EXPECT_EQ(events[2].time, 2000u);  // the over-long line's tail is no event
  EXPECT_EQ(events[3].time, 1002u);
  EXPECT_EQ(events[3].action, "stopwait_and_then_s");  // 19 characters
  EXPECT_EQ(events[3].day, "monday_to_frida");         // 15
  EXPECT_EQ(events[4].time, 0u);
  // The moved times were written back and the clients are told.
  EXPECT_EQ(ReadFile(path_),
            "1000,stop,daily,*,*,1\n1001,Start,none,a.con,b.con,0\n2000,stop,daily,*,*,1\n"
            "1002,stopwait_and_then_s,monday_to_frida,*,*,1\n");
  EXPECT_EQ(Queued(kCmdNotifyAll), std::vector<std::string>{"-1091633137"});

  // Without a moved time nothing is rewritten or queued.
  Load("5,stop,daily,*,*,1\n");
  EXPECT_EQ(Queued(kCmdNotifyAll).size(), 0u);
  EXPECT_EQ(ReadFile(path_), "5,stop,daily,*,*,1\n");
  // A missing file leaves the table as it was.
  EXPECT_FALSE(LoadSchedule(path_ + ".missing"));
  EXPECT_TRUE(Has(Log(), "Couldn't open event schedule file! No such file or directory"));
  EXPECT_EQ(Schedule().events[0].time, 5u);
}

TEST_F(ScheduleTest, RestartWarnsThreeTimesThenFiresWithinOnePeriod) {
  g_manager.server.server_running = true;
  WriteFile(dir_ / "s.con", "game.serverName Evening\n");
  WriteFile(dir_ / "m.con", "bf1942/levels/wake conquest\n");
  Load(FormatInteger(static_cast<std::int32_t>(Utc(2001, 1, 1, 19, 0)), 10) + ",start,daily," +
       dir_ / "s.con" + "," + dir_ / "m.con" + ",1\n");
  const std::pair<int, const char*> ticks[] = {
      {-181, nullptr},
      {-180, "[KORV] Server is scheduled to restart in three minutes!"},
      {-121, "[KORV] Server is scheduled to restart in three minutes!"},
      {-120, "[KORV] Server is scheduled to restart in two minutes!"},
      {-61, "[KORV] Server is scheduled to restart in two minutes!"},
      {-60, "[KORV] Server is scheduled to restart in one minute or less!"},
      {-1, "[KORV] Server is scheduled to restart in one minute or less!"}};
  for (const auto& [offset, text] : ticks) {
    g_now = kEightPm + offset;
    EXPECT_FALSE(ScheduleTick());
    std::vector<std::string> queued = Queued();
    EXPECT_EQ(queued, text ? std::vector<std::string>{text} : std::vector<std::string>{})
        << offset;
  }
  EXPECT_TRUE(g_calls.empty());
  g_now = kEightPm + 29;  // within the 30-second period
  EXPECT_TRUE(ScheduleTick());
  EXPECT_EQ(g_calls, (std::vector<std::string>{"stop", "wait 3", "start"}));
  EXPECT_TRUE(Has(Log(), "Restarting server per scheduled event."));
  EXPECT_EQ(SettingText(kSetServerName), "Evening");
  EXPECT_EQ(ReadFile(dir_ / "settings/servermaplist.con"), "bf1942/levels/wake conquest\n");
  EXPECT_EQ(Schedule().events[0].enabled, 1);
  // One period late is too late; the next day it fires again.
  g_now = kEightPm + 30;
  EXPECT_FALSE(ScheduleTick());
  g_now = kEightPm + 86400;
  EXPECT_TRUE(ScheduleTick());
  // With -noadmin the warnings are chat; a stopped server hears none.
  g_manager.core.admin_message_style = 0;
  g_now = kEightPm - 100;
  ScheduleTick();
  EXPECT_EQ(Queued(kCmdSayToAll),
            std::vector<std::string>{"[KORV] Server is scheduled to restart in two minutes!"});
  g_manager.server.server_running = false;
  ScheduleTick();
  EXPECT_EQ(Queued(kCmdSayToAll).size(), 0u);
}

TEST_F(ScheduleTest, DaysOneShotsAndRefusedStartEvents) {
  // 20:00 local on Saturday 8 June 2024.
  std::time_t saturday = Utc(2024, 6, 8, 18, 0);
  std::string at = FormatInteger(static_cast<std::int32_t>(saturday), 10);
  std::string at_plus_1 = FormatInteger(static_cast<std::int32_t>(saturday + 1), 10);
  g_manager.server.server_running = true;
  g_now = saturday;
  for (const char* day : {"weekdays", "fri", "someday"}) {
    Load(at + ",stop," + day + ",*,*,1\n");
    EXPECT_FALSE(ScheduleTick()) << day;
    EXPECT_FALSE(FireEvent(0));
  }
  EXPECT_TRUE(Has(Log(), "Couldn't fire scheduled event! Event not found."));
  for (const char* day : {"weekends", "Saturday", "none"}) {
    Load(at + ",stop," + day + ",*,*,1\n");
    EXPECT_TRUE(ScheduleTick()) << day;
  }
  // The one-shot is disabled and never fires again; the file is not touched.
  EXPECT_EQ(Schedule().events[0].enabled, 0);
  EXPECT_TRUE(Has(Log(), "Stopping server per scheduled event."));
  EXPECT_FALSE(ScheduleTick());
  EXPECT_EQ(ReadFile(path_), at + ",stop,none,*,*,1\n");

  // Start events need both files: "*" refuses, the server is untouched and
  // the event stays enabled.
  g_calls.clear();
  WriteFile(dir_ / "s.con", "game.serverName Night\n");
  Load(at + ",start,daily,*,*,1\n" + at_plus_1 + ",start,none," + dir_ / "s.con" + ",*,1\n");
  EXPECT_TRUE(ScheduleTick());  // the first event is due and refused
  EXPECT_TRUE(Has(Log(), "Couldn't execute scheduled start event! Couldn't load the specified "
                         "server settings file *."));
  EXPECT_FALSE(FireEvent(saturday + 1));
  EXPECT_TRUE(Has(Log(), "Couldn't execute scheduled start event! Couldn't load the specified "
                         "maplist file *."));
  EXPECT_TRUE(g_calls.empty());
  EXPECT_EQ(Schedule().events[1].enabled, 1);
  // The rotation itself as the maplist is used without copying; a stopped
  // server is started.
  g_manager.server.server_running = false;
  Load(at + ",start,none," + dir_ / "s.con" + "," + g_manager.core.settings_dir +
       "/servermaplist.con,1\n");
  EXPECT_TRUE(FireEvent(saturday));
  EXPECT_EQ(g_calls, std::vector<std::string>{"start"});
  EXPECT_TRUE(Has(Log(), "Starting server per scheduled event."));
}

TEST_F(ScheduleTest, EventsAtTimesTheClockChangeSkipsOrRepeatsFireOnce) {
  g_manager.core.debug = true;
  std::string two_thirty = FormatInteger(static_cast<std::int32_t>(Utc(2024, 1, 10, 1, 30)), 10);
  Load(two_thirty + ",stop,daily,*,*,1\n");
  // Ticks every 30 seconds through both nights of change.
  for (std::time_t night : {Utc(2024, 3, 30, 22, 0), Utc(2024, 10, 26, 22, 0)}) {
    std::vector<std::time_t> fired;
    for (g_now = night; g_now < night + 6 * 3600; g_now += 30)
      if (ScheduleTick()) fired.push_back(g_now);
    ASSERT_EQ(fired.size(), 1u);
    // 03:00 CEST in spring; the first 02:30 (CEST) in autumn.
    EXPECT_EQ(fired[0], night == Utc(2024, 3, 30, 22, 0) ? Utc(2024, 3, 31, 1, 0)
                                                         : Utc(2024, 10, 27, 0, 30));
  }
  EXPECT_TRUE(Has(Log(), "DEBUG: Event 0, clock=1711846800, event=1711846800, diff=0, "
                         "result=fired"));
  EXPECT_TRUE(Has(Log(), "DEBUG: Event 0, clock=1711846770, event=1711846800, diff=30, "
                         "result=skipped"));
}

// The waiting event against a stand-in console and status port.
class PendingEventTest : public ScheduleTest {
 protected:
  void SetUp() override {
    ScheduleTest::SetUp();
    status_ = std::make_unique<UdpResponder>(std::vector<std::string>{});
    console_ = std::make_unique<FakeConsole>(
        "u", "p", [](const std::vector<std::string>&) { return std::vector<std::string>{}; });
    PointAtStandIns(console_->port(), 0, "u", "p");
    Setting(kSetBanInBfAndPb).value = 0;
    Report("playing");
    g_manager.links.status_port = status_->port();
    g_manager.server.server_pid = 77;
    ASSERT_TRUE(ConsoleConnect());
    g_manager.links.status_port = status_->port();
    Report("playing");
  }
  void TearDown() override {
    if (g_manager.links.console_connected) ConsoleDisconnect();
    ScheduleTest::TearDown();
  }
  void Report(const std::string& mode) {
    status_->set_replies({"\\gamemode\\" + mode + "\\numplayers\\0\\queryid\\1.1\\final\\"});
  }
  std::unique_ptr<UdpResponder> status_;
  std::unique_ptr<FakeConsole> console_;
};

TEST_F(PendingEventTest, WaitingRestartFiresAtTheTickAfterTheGameEnds) {
  Load(FormatInteger(static_cast<std::int32_t>(Utc(2001, 1, 1, 19, 0)), 10) +
       ",start wait,daily," + dir_ / "s.con" + ",*,1\n");
  WriteFile(dir_ / "s.con", "game.serverName Later\n");
  // No warnings for an event that waits.
  g_now = kEightPm - 100;
  EXPECT_FALSE(ScheduleTick());
  EXPECT_TRUE(Queued().empty());
  g_now = kEightPm + 5;
  EXPECT_FALSE(ScheduleTick());
  EXPECT_EQ(Queued(), std::vector<std::string>{
                          "[KORV] Server is scheduled to restart at the end of this game!"});
  EXPECT_EQ(Schedule().pending_server_pid, 77);
  StatusMonitorTick();
  EXPECT_TRUE(g_calls.empty());
  Report("end");
  StatusMonitorTick();  // sees the end
  EXPECT_TRUE(g_calls.empty());
  StatusMonitorTick();  // 3 seconds later: fires (the maplist "*" refuses it)
  EXPECT_TRUE(Has(Log(), "Couldn't load the specified maplist file *."));
  EXPECT_EQ(Schedule().pending_time, 0u);
  EXPECT_FALSE(Schedule().round_end_seen);

  // A waiting stop fires at once when the server's process changed.
  Load(FormatInteger(static_cast<std::int32_t>(Utc(2001, 1, 1, 19, 0)), 10) +
       ",stopwait,daily,*,*,1\n");
  Report("playing");
  ScheduleTick();
  StatusMonitorTick();
  EXPECT_TRUE(g_calls.empty());
  g_manager.server.server_pid = 78;
  StatusMonitorTick();
  EXPECT_EQ(g_calls, std::vector<std::string>{"stop"});
  EXPECT_EQ(Schedule().pending_time, 0u);
}

}  // namespace
}  // namespace korvtest
