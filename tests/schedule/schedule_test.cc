// The schedule file, the tick's warnings and window, start/stop and waiting events.
#include "schedule/schedule.h"

#include <sys/stat.h>

#include <filesystem>

#include "core/clock.h"
#include "core/files.h"
#include "core/protocol.h"
#include "links/console.h"
#include "links/fake_console.h"
#include "links/link_fixture.h"
#include "links/udp_responder.h"
#include "server/ticks.h"
#include "support/local_zone.h"

namespace korvtest {
namespace {

std::time_t g_now = 0;
std::vector<std::string> g_calls;  // "start", "stop"

// Wednesday 5 June 2024, 20:00 CEST, and a stored 20:00 of another year.
const std::time_t kEightPm = Utc(2024, 6, 5, 18, 0);
const std::string kStored = std::to_string(Utc(2001, 1, 1, 19, 0));

class ScheduleTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.settings_dir = dir_ / "settings";
    path_ = g_manager.core.settings_dir + "/serverschedule.con";
    CreateFileWithDirs(path_, 0);
    g_calls.clear();
    SetClockForTests([] { return std::int64_t{g_now} * 1000; });
    SetScheduleServerControl(
        [] { g_calls.push_back("start"); return g_manager.server.server_running = true; },
        [](bool) {
          g_calls.push_back("stop");
          g_manager.server.server_running = false;
          return true;
        });
    g_manager.server.server_running = true;
  }
  void Load(const std::string& text) {
    CreateFileWithDirs(path_, 0);
    WriteFile(path_, text);
    ASSERT_TRUE(LoadSchedule(path_));
    g_manager.schedule.looked_until = 0;  // the next tick is a first one
  }
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

TEST_F(ScheduleTest, FileLoadsSkipsBadLinesAndMovesDuplicateTimes) {
  std::string overlong = "2000,stop,daily,*,*,1" + std::string(1100, 'x') + ",x,x,x,x,1\n";
  Load("1000,stop,daily,*,*,1\n1000,Start,none,a.con,b.con,0\n" + overlong +
       "0,stop,daily,*,*,1\n3000,stop,daily,*,*\n4000,stop,,*,*,1\n1000,stopwait_and_then_some,"
       "monday_to_friday,*,*,1\n");
  EXPECT_EQ(Schedule().events[4].time, 0u);
  EXPECT_EQ(ReadFile(path_),
            "1000,stop,daily,*,*,1\n1001,Start,none,a.con,b.con,0\n2000,stop,daily,*,*,1\n"
            "1002,stopwait_and_then_s,monday_to_frida,*,*,1\n");
  EXPECT_EQ(Queued(kCmdNotifyAll), std::vector<std::string>{"-1091633137"});
  EXPECT_TRUE(!LoadSchedule(path_ + ".missing") &&
              Has(Log(), "Couldn't open event schedule file! No such file or directory")) << Log();
  EXPECT_EQ(Schedule().events[0].time, 1000u);
  // A NUL ends its line: the event is refused, or saved back whole and loaded again.
  Load(std::string("2000,start,daily,s.con,m.con,1\0tail\n", 36) +
       std::string("3000,stop,daily,a.con,\0b,1\n", 27) + "4000,stop,Mon,*,*,0\n");
  const char* expected = "2000,start,daily,s.con,m.con,1\n4000,stop,Mon,*,*,0\n";
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(SaveSchedule(path_));
    EXPECT_EQ(ReadFile(path_), expected);
    ASSERT_TRUE(LoadSchedule(path_));
  }
}

// The restart's start follows 3 seconds after its stop, at a status tick.
void FinishRestart() {
  g_now += 2;
  RunPendingEvent(g_now);
  EXPECT_EQ(g_calls, std::vector<std::string>{"stop"});
  g_now += 1;
  RunPendingEvent(g_now);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"stop", "start"}));
  g_calls.clear();
}

TEST_F(ScheduleTest, RestartWarnsOnceAtEachMinuteFiresWithinOnePeriodAndWaitsForAnEmptyServer) {
  WriteFile(dir_ / "settings/s.con", "game.serverName Evening\n");
  WriteFile(dir_ / "settings/m.con", "bf1942/levels/wake conquest\n");
  Load(kStored + ",start,daily," + dir_ / "settings/s.con" + "," + dir_ / "settings/m.con" + ",1\n");
  const std::pair<int, const char*> ticks[] = {
      {-181, nullptr}, {-180, "three minutes"}, {-120, "two minutes"},
      {-61, nullptr}, {-60, "one minute or less"}, {-1, nullptr}};
  for (const auto& [offset, when] : ticks) {
    g_now = kEightPm + offset;
    EXPECT_FALSE(ScheduleTick(g_now));
    std::vector<std::string> expected;
    if (when) expected.push_back(std::string("[KORV] Server is scheduled to restart in ") + when + "!");
    EXPECT_EQ(Queued(), expected) << offset;
  }
  EXPECT_TRUE(g_calls.empty());
  g_now = kEightPm + 29;  // within the 30-second period
  EXPECT_TRUE(ScheduleTick(g_now));
  FinishRestart();
  EXPECT_TRUE(Has(Log(), "Restarting server per scheduled event."));
  EXPECT_EQ(std::pair(SettingText(kSetServerName), ReadFile(dir_ / "settings/servermaplist.con")),
            std::pair(std::string("Evening"), std::string("bf1942/levels/wake conquest\n")));
  g_now = kEightPm + 30;  // fired once
  EXPECT_FALSE(ScheduleTick(g_now));
  g_now = kEightPm + 86400;
  EXPECT_TRUE(ScheduleTick(g_now));
  FinishRestart();
  g_manager.core.admin_message_style = 0;
  g_now = kEightPm - 100;
  ScheduleTick(g_now);
  EXPECT_EQ(Queued(kCmdSayToAll).size(), 1u);
  g_calls.clear();
  // With restart_when_empty_seconds a due restart waits for an empty server or the deadline.
  WriteFile(dir_ / "settings/s.con", "game.serverName Evening\n");
  Load(kStored + ",start,daily," + dir_ / "settings/s.con" + "," + path_ + ",1\n");
  g_manager.core.conf.restart_when_empty_seconds = 600;
  g_manager.links.players[0].name = "Mike";
  for (std::time_t day : {kEightPm, kEightPm + 86400}) {
    g_now = day + 1;
    EXPECT_FALSE(ScheduleTick(g_now));
    EXPECT_FALSE(ScheduleTick(g_now));  // once only
    std::string log = Log(), line = "Scheduled restart waits for an empty server (1 players on, "
                                    "at most 600 seconds).";
    EXPECT_EQ(log.find(line, log.find(line) + 1) == std::string::npos, day == kEightPm);
    g_now = day + 599;
    RunPendingEvent(g_now);
    EXPECT_TRUE(g_calls.empty());
    if (day == kEightPm) g_manager.links.players[0].name.clear();
    g_now = day + 601;
    RunPendingEvent(g_now);
    FinishRestart();
    g_manager.links.players[0].name = "Mike";
  }
  for (const char* why : {"The server is empty", "The server did not empty in time"})
    EXPECT_TRUE(Has(Log(), std::string(why) + ": the scheduled restart goes ahead.")) << why;
}

TEST_F(ScheduleTest, DaysOneShotsRefusedStartEventsAndTheNightsTheClockChanges) {
  std::time_t saturday = Utc(2024, 6, 8, 18, 0);
  std::string at = std::to_string(saturday);
  g_now = saturday;
  const std::pair<const char*, bool> days[] = {{"weekdays", false}, {"fri", false},
                                               {"someday", false}, {"weekends", true},
                                               {"Saturday", true}, {"none", true}};
  for (const auto& [day, fires] : days) {
    Load(at + ",stop," + day + ",*,*,1\n");
    EXPECT_EQ(ScheduleTick(g_now), fires) << day;
  }
  // The one-shot is disabled and never fires again; the file is not touched.
  EXPECT_TRUE(Has(Log(), "Stopping server per scheduled event."));
  EXPECT_FALSE(ScheduleTick(g_now));
  EXPECT_EQ(std::pair(Schedule().events[0].enabled, ReadFile(path_)), std::pair(0, at + ",stop,none,*,*,1\n"));

  // Start events need both files: "*" refuses, the server is untouched and the event stays enabled.
  g_calls.clear();
  WriteFile(dir_ / "settings/s.con", "game.serverName Night\n");
  Load(at + ",start,daily,*,*,1\n" + std::to_string(saturday + 1) + ",start,none," +
       dir_ / "settings/s.con" + ",*,1\n");
  EXPECT_TRUE(ScheduleTick(g_now));
  EXPECT_TRUE(Has(Log(), "Couldn't execute scheduled start event! Couldn't load the specified "
                         "server settings file *."));
  EXPECT_FALSE(FireEvent(saturday + 1));
  EXPECT_TRUE(Has(Log(), "Couldn't execute scheduled start event! Couldn't load the specified "
                         "maplist file *."));
  EXPECT_EQ(std::pair(g_calls.size(), Schedule().events[1].enabled), std::pair(std::size_t{0}, 1));
  // The rotation itself as the maplist is not copied; a stopped server starts.
  g_manager.server.server_running = false;
  WriteFile(dir_ / "settings/servermaplist.con", "");
  Load(at + ",start,none," + dir_ / "settings/s.con" + "," + dir_ / "settings/servermaplist.con,1\n");
  EXPECT_TRUE(FireEvent(saturday));
  EXPECT_TRUE(Has(Log(), "Starting server per scheduled event."));
  g_manager.core.debug = true;
  Load(std::to_string(Utc(2024, 1, 10, 1, 30)) + ",stop,daily,*,*,1\n");  // 02:30 CET
  // Ticks every 30 s through both nights of change (03:00 CEST, the first 02:30 CEST).
  const std::pair<std::time_t, std::time_t> nights[] = {
      {Utc(2024, 3, 30, 22, 0), Utc(2024, 3, 31, 1, 0)},
      {Utc(2024, 10, 26, 22, 0), Utc(2024, 10, 27, 0, 30)}};
  for (const auto& [night, expected] : nights) {
    std::vector<std::time_t> fired;
    for (g_now = night; g_now < night + 6 * 3600; g_now += 30)
      if (ScheduleTick(g_now)) fired.push_back(g_now);
    EXPECT_EQ(fired, std::vector<std::time_t>{expected});
  }
  EXPECT_TRUE(Has(Log(), "DEBUG: Event 0, clock=1711846800, event=1711846800, diff=0, result=fired"));
}

// Two lines at one time and lines out of order (midnight: the supervision tick's tests).
TEST_F(ScheduleTest, EventsDueInOneWindowFireInTimeOrder) {
  std::string at = std::to_string(kEightPm), before = std::to_string(kEightPm - 1);
  std::string start = ",start,none," + dir_ / "settings/s.con" + "," + path_ + ",1\n";
  WriteFile(dir_ / "settings/s.con", "game.serverName Evening\n");
  for (const std::string& lines : {at + ",stop,none,*,*,1\n" + at + start,
                                   at + start + before + ",stop,none,*,*,1\n"}) {
    Load(lines);
    g_now = kEightPm + 5;
    EXPECT_TRUE(ScheduleTick(g_now));
    EXPECT_EQ(g_calls, (std::vector<std::string>{"stop", "start"})) << lines;
    EXPECT_EQ(Schedule().events[0].enabled + Schedule().events[1].enabled, 0);
    g_calls.clear();
  }
}

TEST_F(ScheduleTest, EventFilesOutsideTheSettingsDirectoryAreRefused) {
  std::string settings = dir_ / "settings";
  WriteFile(settings + "/s.con", "game.serverName Evening\n");
  WriteFile(settings + "/servermaplist.con", "game.addLevel berlin GPM_CQ bf1942\n");
  WriteFile(dir_ / "outside.con", "game.serverName Outside\n");
  std::filesystem::create_symlink("/etc/os-release", settings + "/release.con");
  std::string at = std::to_string(kEightPm);
  for (const std::string& bad : {dir_ / "outside.con", settings + "/release.con"}) {
    Load(at + ",start,daily," + bad + "," + settings + "/s.con,1\n" + std::to_string(kEightPm + 1) +
         ",start,daily," + settings + "/s.con," + bad + ",1\n");
    EXPECT_FALSE(FireEvent(kEightPm) || FireEvent(kEightPm + 1));
    EXPECT_EQ(Count(Log(), "Couldn't execute scheduled start event! The file " + bad +
                               " is not a regular file in the settings directory."), 2);
  }
  EXPECT_EQ(std::tuple(g_calls.size(), SettingText(kSetServerName), ReadFile(settings + "/servermaplist.con")),
            std::tuple(std::size_t{0}, "", "game.addLevel berlin GPM_CQ bf1942\n"));

  ::mkfifo((settings + "/fifo.con").c_str(), 0600);
  Load(at + ",stop,daily,*,*,1\n");
  const std::pair<std::string, std::string> uploads[] = {
      {"/dev/zero", "/dev/zero"}, {settings + "/fifo.con", "*"}, {"*", settings + "/missing.con"}};
  for (const auto& [file, shown] : uploads) {
    std::string line = at + ",start,daily," + file + "," + shown + ",1\n";
    WriteFile(path_ + ".upload", "1,stop,daily,*,*,1\n" + line);
    EXPECT_FALSE(AcceptUploadedSchedule(path_ + ".upload", path_)) << file;
    std::string named = file == "*" ? shown : file;
    EXPECT_TRUE(Has(Log(), "Couldn't update the event schedule! The file " + named +
                               " is not a regular file in the settings directory."));
    EXPECT_FALSE(FileExists(path_ + ".upload"));
  }
  EXPECT_EQ(std::tuple(ReadFile(path_), Schedule().events[0].day, Schedule().events[1].time),
            std::tuple(at + ",stop,daily,*,*,1\n", "daily", 0u));
  std::string good = at + ",start,daily," + settings + "/s.con,*,1\n";
  WriteFile(path_ + ".upload", good);
  EXPECT_TRUE(AcceptUploadedSchedule(path_ + ".upload", path_));
  EXPECT_EQ(std::pair(ReadFile(path_), Schedule().events[0].settings_file), std::pair(good, settings + "/s.con"));
}

TEST_F(ScheduleTest, WaitingEventFiresAtTheStatusTickAfterTheGameEnds) {
  UdpResponder status({});
  FakeConsole console("u", "p", Replies());
  auto report = [&](const std::string& mode) {
    status.set_replies({"\\gamemode\\" + mode + "\\numplayers\\0\\queryid\\1.1\\final\\"});
  };
  PointAtStandIns(console.port(), status.port(), "u", "p");
  Setting(kSetBanInBfAndPb).value = 0;
  g_manager.server.server_pid = 77;
  report("playing");
  ASSERT_TRUE(ConsoleConnect());
  Load(kStored + ",start wait,daily,*,*,1\n");
  g_now = kEightPm + 5;
  EXPECT_FALSE(ScheduleTick(g_now));
  EXPECT_EQ(Queued(), std::vector<std::string>{
                          "[KORV] Server is scheduled to restart at the end of this game!"});
  StatusMonitorTick(g_now);
  report("end");
  StatusMonitorTick(g_now);  // sees the end
  EXPECT_FALSE(Has(Log(), "maplist file"));
  StatusMonitorTick(g_now);  // 3 seconds later it fires (and "*" refuses it)
  EXPECT_TRUE(Has(Log(), "Couldn't load the specified server settings file *."));

  // A waiting stop fires at once when the server's process changed.
  Load(kStored + ",stopwait,daily,*,*,1\n");
  report("playing");
  ScheduleTick(g_now);
  g_manager.server.server_pid = 78;
  StatusMonitorTick(g_now);
  EXPECT_EQ(g_calls, std::vector<std::string>{"stop"});
  ConsoleDisconnect();
}

}  // namespace
}  // namespace korvtest
