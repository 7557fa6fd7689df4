// The status and supervision ticks against stand-ins, crash handling, metrics.
#include "server/ticks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "core/clock.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/protocol.h"
#include "links/console.h"
#include "links/fake_console.h"
#include "links/link_fixture.h"
#include "links/udp_responder.h"
#include "remote/command_queue.h"
#include "schedule/schedule.h"
#include "server/launch.h"
#include "server/metrics.h"
#include "server/process_finder.h"
#include "server/supervision.h"
#include "support/local_zone.h"

namespace korvtest {
namespace {

class StatusTickTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    status_ = std::make_unique<UdpResponder>(std::vector<std::string>{});
    console_ = std::make_unique<FakeConsole>("u", "p", Replies());
    korvtest::PointAtStandIns(console_->port(), 0, "u", "p");
    Setting(kSetBanInBfAndPb).value = 0;
    Report("\\numplayers\\0");
    g_manager.links.status_port = status_->port();
    g_manager.remote.sessions[2].socket = client_.a;
  }
  void Report(const std::string& fields) {
    status_->set_replies({fields + "\\queryid\\1.1\\final\\"});
  }
  void Connect() {
    ASSERT_TRUE(ConsoleConnect());
    g_manager.links.status_port = status_->port();
  }
  std::unique_ptr<UdpResponder> status_;
  std::unique_ptr<FakeConsole> console_;
  TcpPair client_;
};

TEST_F(StatusTickTest, QueuesOneReconnectAndKeepsTheLinkAlive) {
  StatusMonitorTick(ClockNow());
  StatusMonitorTick(ClockNow());
  EXPECT_TRUE(status_->queries().empty());  // without hang detection the port is not asked
  ASSERT_EQ(QueuedCommandCount(), 1);
  EXPECT_EQ(g_manager.remote.queue[0].code, kCmdConsoleReconnect);
  RunQueuedCommands(ClockNow());
  EXPECT_TRUE(g_manager.links.console_connected);
  std::size_t before = console_->requests().size();
  StatusMonitorTick(ClockNow());
  ASSERT_EQ(console_->requests().size(), before + 1);
  EXPECT_EQ(console_->requests().back()[0], "ConsoleRun 0");
  EXPECT_EQ(QueuedCommandCount(), 0);

  ConsoleDisconnect();
  g_manager.server.console_user.clear();
  StatusMonitorTick(ClockNow());
  EXPECT_EQ(QueuedCommandCount(), 0);
}

TEST_F(StatusTickTest, PauseIsAnnouncedOncePerChange) {
  Connect();
  Report("\\gamemode\\playing\\numplayers\\3");
  StatusMonitorTick(ClockNow());
  EXPECT_EQ(TcpPair::Drain(client_.b), "");
  Report("\\gamemode\\PAUSE\\numplayers\\3");
  for (int i = 0; i < 3; ++i) StatusMonitorTick(ClockNow());
  EXPECT_EQ(TcpPair::Drain(client_.b), korvclient::Notice(0x19));
  Report("\\gamemode\\playing\\numplayers\\3");
  for (int i = 0; i < 3; ++i) StatusMonitorTick(ClockNow());
  EXPECT_EQ(TcpPair::Drain(client_.b), korvclient::Notice(0x1A));
}

TEST_F(StatusTickTest, EmptyServerSwitchesToTheIdleMap) {
  Connect();
  g_manager.core.idle_map = "bf1942/maps/wake/conquest";
  g_manager.ticks.current_map = "bf1942/maps/berlin/conquest";
  for (int i = 0; i < 99; ++i) StatusMonitorTick(ClockNow());
  EXPECT_EQ(QueuedCommandCount(), 0);
  StatusMonitorTick(ClockNow());
  ASSERT_EQ(QueuedCommandCount(), 1);
  EXPECT_TRUE(Has(Log(), "Server is idle, changing to idle map combo bf1942/maps/wake/conquest."));
  EXPECT_EQ(g_manager.ticks.idle_count, 0u);
  RunQueuedCommands(ClockNow());  // as the operator's
  EXPECT_TRUE(Has(Log(), "User operator at console changed the map to bf1942/maps/wake/conquest."));

  // Already on the idle map: nothing is queued, the count starts again.
  g_manager.remote.queue = {};
  g_manager.ticks.current_map = "BF1942/maps/wake/conquest";
  for (int i = 0; i < 100; ++i) StatusMonitorTick(ClockNow());
  EXPECT_EQ(QueuedCommandCount(), 0);
  EXPECT_EQ(g_manager.ticks.idle_count, 0u);
  for (int i = 0; i < 50; ++i) StatusMonitorTick(ClockNow());
  Report("\\numplayers\\1");
  StatusMonitorTick(ClockNow());
  EXPECT_EQ(g_manager.ticks.idle_count, 0u);
}

// Written once per round end while collection is on; a failed snapshot is tried again.
TEST_F(StatusTickTest, StatisticsOncePerRoundEnd) {
  Connect();
  const std::string csv = dir_ / "stats.csv";
  Setting(kSetStatFilePath).text = csv;
  const std::string game =
      "\\numplayers\\1\\hostname\\S\\mapname\\Wake\\gametype\\cq\\number_of_rounds\\3"
      "\\roundTime\\1200\\tickets1\\0\\tickets2\\5\\teamname_0\\Axis\\teamname_1\\Allies"
      "\\playername_0\\Mike\\team_0\\1\\score_0\\2\\kills_0\\1\\deaths_0\\0\\ping_0\\9";
  Report("\\gamemode\\end" + game);
  StatusMonitorTick(ClockNow());  // collection is off
  EXPECT_FALSE(FileExists(csv));
  Setting(kSetStatCollection).value = 1;
  Report("\\gamemode\\end\\numplayers\\1\\hostname\\S");
  StatusMonitorTick(ClockNow());
  EXPECT_TRUE(Has(Log(), "Couldn't log player stats to CSV file! Invalid argument"));
  Report("\\gamemode\\end" + game);
  for (int i = 0; i < 3; ++i) StatusMonitorTick(ClockNow());
  EXPECT_EQ(Count(ReadFile(csv), ",\"S\",Wake,cq,3,1200,0,5\n\"Mike\",Axis,2,1,0,9,"), 1);
  Report("\\gamemode\\playing" + game);
  StatusMonitorTick(ClockNow());
  Report("\\gamemode\\end" + game);
  StatusMonitorTick(ClockNow());
  StatusMonitorTick(ClockNow());
  EXPECT_EQ(Count(ReadFile(csv), ",\"S\",Wake,"), 2);
  EXPECT_EQ(Count(Log(), "Player stats logged to CSV file."), 2);
}

TEST_F(StatusTickTest, VersionWarningAndPunkBusterOncePerRun) {
  Connect();
  g_manager.core.debug = true;
  Report("\\numplayers\\1\\version\\v1.6\\sv_punkbuster\\1");
  StatusMonitorTick(ClockNow());
  EXPECT_FLOAT_EQ(g_manager.links.server_version, 1.6f);
  EXPECT_TRUE(g_manager.links.punkbuster_enabled && Has(Log(), "DEBUG: PunkBuster is enabled."));
  EXPECT_FALSE(Has(Log(), "WARNING"));

  Report("\\numplayers\\1\\version\\v1.61\\sv_punkbuster\\0");
  StatusMonitorTick(ClockNow());  // the version is known: nothing is read again
  EXPECT_TRUE(g_manager.links.punkbuster_enabled);
  g_manager.links.server_version = 0.0f;
  StatusMonitorTick(ClockNow());
  EXPECT_FALSE(g_manager.links.punkbuster_enabled);
  StatusMonitorTick(ClockNow());
  EXPECT_EQ(Count(Log(), " : WARNING: This version of Korvane is intended for BF v1.60 and may not work correctly "
                         "with this v1.61 server.\r\n"), 1);
  EXPECT_TRUE(Has(Log(), "DEBUG: Detected server version 1.61."));
}

class CrashTickTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.ticks.current_map = "wake GPM_TDM bf1942";
    g_manager.core.conf.metrics_server = "s";
    g_manager.server.server_running = true;
    g_manager.server.server_pid = 999999;  // beyond any pid in use here
  }
  // The server started at `started` is gone at this supervision tick.
  static void Crash(std::time_t started, int restart_counter) {
    g_manager.server.server_running = true;
    g_manager.server.server_pid = 999999;
    g_manager.server.last_start_time = started;
    g_manager.server.restart_counter = restart_counter;
    SupervisionTick(ClockNow());
  }
};

TEST_F(CrashTickTest, CrashIsBroadcastAndQuickCrashesCountTowardTheRestartLoop) {
  Crash(0, 0);
  EXPECT_FALSE(g_manager.server.server_running);
  EXPECT_NE(g_manager.ticks.last_crash_time, 0);
  EXPECT_TRUE(Has(Log(), " : Server has crashed\r\n")) << Log();
  EXPECT_TRUE(Has(Log(), " : Auto-restart is disabled, server will not be restarted.\r\n"));
  EXPECT_EQ(g_manager.ticks.current_map, "wake GPM_TDM bf1942");  // no report, no map change
  EXPECT_TRUE(std::any_of(g_manager.remote.queue.begin(), g_manager.remote.queue.end(), [](auto& c) {
    return c.code == kCmdNotifyAll && std::string(c.text) == "-1091633146";  // 0xBEEF0006
  }));
  g_manager.core.restart = true;
  Crash(ClockNow() - 10, 2);
  EXPECT_EQ(g_manager.server.restart_counter, 3);
  EXPECT_TRUE(Has(Log(), " : Server is in a restart loop, disabling auto-restart.\r\n"));
  EXPECT_FALSE(Has(Log(), "Auto-restart is enabled"));

  // A crash long after the start does not count; the restart keeps the map being played.
  Crash(ClockNow() - 100, 0);
  EXPECT_EQ(g_manager.server.restart_counter, 0);
  EXPECT_TRUE(Has(Log(), " : Auto-restart is enabled, restarting the server.\r\n"));
  // (The launch itself is refused here: no address is configured.)
  EXPECT_EQ(g_manager.remote.start_map, "wake GPM_TDM bf1942");
}

std::time_t g_now = 0;
std::int64_t FakeNow() { return std::int64_t{g_now} * 1000; }

// A restart loop with a cool-down that doubles up to the cap; a refused launch waits again.
TEST_F(CrashTickTest, RestartLoopIsTriedAgainAfterADoublingCooldown) {
  g_now = 1000000;
  SetClockForTests(FakeNow);
  g_manager.core.restart = true;
  g_manager.core.conf.loop_cooldown_seconds = 100;
  g_manager.core.conf.loop_cooldown_max_seconds = 250;
  Crash(g_now - 10, 2);
  EXPECT_TRUE(Has(Log(), " : Server is in a restart loop, trying again after a cool-down of 100 seconds.\r\n"));
  EXPECT_FALSE(Has(Log(), "disabling auto-restart"));
  EXPECT_EQ(std::pair(g_manager.ticks.restart_loop, g_manager.ticks.crashes_total), std::pair(true, 1ul));
  g_now += 99;
  SupervisionTick(ClockNow());
  EXPECT_FALSE(Has(Log(), "cool-down is over"));
  EXPECT_TRUE(Has(FormatMetrics(g_now, 0), "\nkorvd_restart_loop_retry_seconds{server=\"s\"} 1\n"));
  g_now += 1;
  SupervisionTick(ClockNow());
  EXPECT_TRUE(Has(Log(), " : Restart-loop cool-down is over, starting the server again.\r\n"));
  EXPECT_EQ(std::pair(g_manager.server.restart_counter, g_manager.ticks.restarts_total), std::pair(0, 1ul));
  // The launch is refused here (no address): the next wait has doubled.
  EXPECT_TRUE(Has(Log(), "trying again after a cool-down of 200 seconds."));
  EXPECT_EQ(g_manager.ticks.loop_retry_at, g_now + 200);
  Crash(g_now - 10, 2);
  EXPECT_TRUE(Has(Log(), "trying again after a cool-down of 250 seconds."));  // the cap
  // A server started meanwhile ends the wait; after a minute's run the doubling starts over.
  g_manager.server.server_running = true;
  g_manager.server.last_start_time = g_now;
  g_manager.server.server_pid = ::getpid();
  RetryAfterCooldown(g_now);
  EXPECT_EQ(std::pair(g_manager.ticks.loop_retry_at, g_manager.ticks.restart_loop), std::pair(std::int64_t{0}, false));
  RetryAfterCooldown(g_now + 61);
  EXPECT_EQ(g_manager.ticks.loop_cooldowns, 0);
}

// Hang detection counts from the last answer or the start, whichever is later.
TEST_F(CrashTickTest, HangIsReportedOnceWithoutRestartAndMetricsCount) {
  g_manager.core.conf.hang_seconds = 30;
  g_manager.server.last_start_time = 1000;
  EXPECT_FALSE(CheckForHang(1100));  // never answered: still coming up
  NoteServerAnswered(1010);
  EXPECT_FALSE(CheckForHang(1039));
  EXPECT_FALSE(Has(Log(), "hung"));
  EXPECT_FALSE(CheckForHang(1040));
  EXPECT_FALSE(CheckForHang(1100));
  EXPECT_TRUE(Has(FormatMetrics(1100, 0), "\nkorvd_server_hung{server=\"s\"} 1\n"));
  EXPECT_EQ(Count(Log(), " : Server is hung: no answer from its console or status port for 30 seconds.\r\n"), 1);
  EXPECT_TRUE(Has(Log(), " : Auto-restart is disabled, the hung server is left running.\r\n"));
  NoteServerAnswered(1101);
  EXPECT_TRUE(Has(Log(), " : Server is answering again.\r\n"));
  g_manager.core.restart = true;  // a hang that restarts the server counts too
  EXPECT_TRUE(CheckForHang(1131));
  g_manager.core.conf.hang_seconds = 0;
  EXPECT_FALSE(CheckForHang(5000));
  ++g_manager.remote.failed_logins;
  g_manager.remote.commands_served[0x1E] = 2;  // change map
  NoteLoopPass(110000, 40);
  NoteLoopPass(130000, 7);
  std::string text = FormatMetrics(1000, 150000);
  for (const char* part : {"# HELP korvd_failed_logins_total Client logins refused.\n# TYPE korvd_failed_logins_total "
                           "counter\nkorvd_failed_logins_total{server=\"s\"} 1\n",
                           "\nkorvd_commands_total{server=\"s\",command=\"change_map\"} 2\n",
                           "\nkorvd_main_loop_longest_pass_seconds{server=\"s\"} 0.04\n",
                           "\nkorvd_server_hung{server=\"s\"} 0\n# HELP korvd_server_hangs_total Server hangs seen.\n"
                           "# TYPE korvd_server_hangs_total counter\nkorvd_server_hangs_total{server=\"s\"} 2\n",
                           "\nkorvd_metrics_timestamp_seconds{server=\"s\"} 1000\n"})
    EXPECT_TRUE(Has(text, part)) << part;
  // From the next minute on the older pass is forgotten; a minute later both are.
  EXPECT_TRUE(Has(FormatMetrics(1000, 180000), "_longest_pass_seconds{server=\"s\"} 0.007\n"));
  EXPECT_TRUE(Has(FormatMetrics(1000, 240000), "_longest_pass_seconds{server=\"s\"} 0\n"));
}

// [metrics] server, else the server directory's base name as given; bad bytes become '_'.
TEST_F(CrashTickTest, EverySeriesCarriesTheServerLabelSanitisedAndEscaped) {
  std::filesystem::create_directories(dir_ / "demo");
  std::filesystem::create_symlink(dir_ / "demo", dir_ / "link");
  const std::string a127(127, 'a');
  const struct {
    std::string name, dir, label;
  } cases[] = {
      {"", dir_ / "link", "link"},
      {"", dir_ / "demo/.", "demo"},
      {"", dir_ / "link/../demo/", "demo"},
      {"", "/", "/"},
      {"Fleet \"A\" \\ \xc3\xa9\xff\x01\x7f", "/", "Fleet \\\"A\\\" \\\\ \xc3\xa9___"},
      // overlong, surrogate, past U+10FFFF, then a four-byte character
      {"\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80\xf0\x9f\x8e\xae", "/", "_________\xf0\x9f\x8e\xae"},
      {a127 + "\xc3\xa9", "/", a127},
      {std::string(200, 'b'), "/", std::string(128, 'b')},
  };
  for (const auto& c : cases) {
    g_manager.core.conf.metrics_server = c.name;
    g_manager.core.server_dir = c.dir;
    std::istringstream text(FormatMetrics(1000, 0));
    int samples = 0;
    for (std::string line; std::getline(text, line);) {
      if (line[0] == '#') continue;
      ++samples;
      EXPECT_EQ(line.substr(line.find('{'), c.label.size() + 10), "{server=\"" + c.label + "\"") << line;
    }
    EXPECT_EQ(samples, 19 + static_cast<int>(std::size(protocol_rows::kCommandRows)));  // one series per command
  }
}

// Counted again only when size, time or inode change; a FIFO or device counts nothing, holds nothing up.
TEST_F(CrashTickTest, MetricsCountABanFileOnlyWhenItChanges) {
  g_manager.core.settings_dir = dir_.path();
  std::string list = dir_ / "serverbanlist.con";
  auto bans = [] {
    std::string text = FormatMetrics(1000, 0);
    const std::string series = "korvd_bans{server=\"s\",store=\"daemon\"} ";
    std::size_t at = text.find(series) + series.size();
    return text.substr(at, text.find('\n', at) - at);
  };
  WriteFile(list, "a\n;c\nb\n");
  EXPECT_EQ(bans(), "2");
  struct stat before {};
  ::stat(list.c_str(), &before);
  WriteFile(list, "a\n;c\n;\n");  // the same inode and size
  timespec times[2] = {before.st_atim, before.st_mtim};
  ::utimensat(AT_FDCWD, list.c_str(), times, 0);
  ASSERT_EQ(bans(), "2");
  times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
  ::utimensat(AT_FDCWD, list.c_str(), times, 0);
  EXPECT_EQ(bans(), "1");
  std::filesystem::remove(list);
  std::filesystem::create_symlink("/dev/zero", list);
  ASSERT_EQ(::mkfifo((dir_ / "banlist.con").c_str(), 0644), 0);
  EXPECT_EQ(bans(), "0");
}

// As the verify command finds, compared quietly; a missing store holds none.
TEST_F(CrashTickTest, MetricsTellWhetherTheBanStoresAreInSync) {
  g_manager.core.settings_dir = dir_.path();
  auto in_sync = [] {
    return Has(FormatMetrics(1000, 0), "\nkorvd_ban_stores_in_sync{server=\"s\"} 1\n");
  };
  EXPECT_TRUE(in_sync());
  const std::string key = "0123456789abcdef0123456789abcdef";
  WriteFile(dir_ / "serverbanlist.con", "\"Mike\",*," + key + ",*,\"admin\",0,0,cheat\n");
  EXPECT_FALSE(in_sync());
  WriteFile(dir_ / "banlist.con", "admin.addKeyToBanList " + key + " Perm\n");
  std::filesystem::create_directories(dir_ / "pb");
  WriteFile(dir_ / "pb/pbbans.dat", "");
  EXPECT_TRUE(in_sync());
  std::filesystem::remove(dir_ / "pb/pbbans.dat");  // now the bans elsewhere count
  EXPECT_FALSE(in_sync());
  WriteFile(dir_ / "pb/pbbans.dat", "");
  EXPECT_TRUE(in_sync());
  WriteFile(dir_ / "banlist.con",
            "admin.addKeyToBanList " + key + " Perm\nadmin.addAddressToBanList 10.0.0.9:0 Perm\n");
  EXPECT_FALSE(in_sync());
  EXPECT_EQ(Log(), "");
}

// Again after a success too. Root ignores permissions: the unwritable directory is tried as nobody.
TEST_F(CrashTickTest, MetricsWriteFailureIsLoggedOncePerChange) {
  std::string dir = dir_ / "textfile";
  g_manager.core.conf.metrics_textfile = dir + "/korvd.prom";
  auto writes = [] {
    for (int i = 0; i < 3; ++i) WriteMetricsFile(ClockNow());
  };
  writes();  // no directory
  WriteFile(dir, "");
  writes();  // a file in its place
  std::filesystem::remove(dir);
  ::mkdir(dir.c_str(), 0555);
  ::chmod(dir_.path().c_str(), 0755);
  ::chmod(LogFilePath().c_str(), 0666);
  if (::geteuid() == 0) {
    pid_t child = ::fork();
    if (child == 0) {
      if (::setgid(65534) == 0 && ::setuid(65534) == 0) writes();
      _exit(0);
    }
    ::waitpid(child, nullptr, 0);
  } else {
    writes();
  }
  ::chmod(dir.c_str(), 0755);
  WriteMetricsFile(ClockNow());
  EXPECT_TRUE(Has(ReadFile(dir + "/korvd.prom"), "\nkorvd_server_up{server=\"s\"} 1\n"));
  std::filesystem::remove_all(dir);
  writes();
  std::string line = " : Couldn't write metrics file " + dir + "/korvd.prom! ";
  std::string expected;
  for (int error : {ENOENT, ENOTDIR, EACCES, ENOENT}) expected += line + ErrorText(error) + "\r\n";
  std::regex stamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d");
  EXPECT_EQ(std::regex_replace(Log(), stamp, ""), expected);
}

// Changed or cleared on reload; a file the daemon never wrote stays.
TEST_F(CrashTickTest, MetricsFileOfAnEarlierPathIsRemoved) {
  std::string first = dir_ / "first.prom", second = dir_ / "second.prom", foreign = dir_ / "foreign.prom";
  WriteFile(foreign, "x 1\n");
  g_manager.core.conf.metrics_textfile = first;
  WriteMetricsFile(ClockNow());
  ASSERT_TRUE(std::filesystem::exists(first));
  for (const std::string& path : {second, std::string(), foreign}) {
    g_manager.core.conf.metrics_textfile = path;
    WriteMetricsFile(ClockNow());
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_EQ(std::filesystem::exists(second), path == second);
  }
  EXPECT_TRUE(Has(ReadFile(foreign), "\nkorvd_server_up{server=\"s\"} 1\n"));
}

std::time_t g_schedule_now = 0;

// A stand-in server that takes a second to become findable: a fresh child is no crash.
TEST_F(CrashTickTest, ScheduleRunsTheRealServerThroughMidnightAndAnEndOfGameRestart) {
  LocalZone zone(kBerlinRules);
  const TempDir& dir = dir_;
  std::string settings = dir / "mods/bf1942/settings";
  MakeServerDir(dir.path());
  std::filesystem::copy_file("/bin/sleep", dir / "bf1942_lnxded.bin");
  WriteFile(dir / "bf1942_lnxded", "#!/bin/sh\nsleep 1\nexec ./bf1942_lnxded.bin 1000\n");
  WriteFile(settings + "/servermaplist.con", "game.addLevel berlin GPM_CQ bf1942\n");
  WriteFile(settings + "/evening.con", "game.serverName Evening\n");
  // Two events at 23:59:58 (loaded as :58 and :59), a restart at 00:01 waiting for the game's end.
  std::string files = "," + settings + "/evening.con," + settings + "/servermaplist.con,1\n";
  std::string late = std::to_string(Utc(2001, 1, 1, 22, 59, 58));
  WriteFile(settings + "/serverschedule.con", late + ",stop,daily,*,*,1\n" + late + ",start,daily" + files +
                                                  std::to_string(Utc(2001, 1, 1, 23, 1)) + ",start wait,daily" + files);
  g_manager.core.settings_dir = settings;
  g_manager.server.server_running = false;
  Setting(kSetServerName).text = "Sim";
  Setting(kSetServerIp).value = 0x7F000001;
  Setting(kSetEnableRemoteConsole).value = 0;
  Setting(kSetEnableRemoteAdmin).value = 0;
  Setting(kSetMonitorTimerPeriod).value = 10;
  ASSERT_TRUE(LoadSchedule(settings + "/serverschedule.con"));
  g_schedule_now = Utc(2024, 6, 5, 21, 56, 53);  // 23:56:53 summer time
  SetClockForTests([] { return std::int64_t{g_schedule_now} * 1000; });
  std::vector<pid_t> started;
  struct EndAll {  // every server started here, also when an assertion ends the test early
    std::vector<pid_t>& pids;
    ~EndAll() {
      for (pid_t pid : pids)
        if (::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    }
  } end_all{started};
  auto supervise = [&] {
    if (g_manager.server.server_running &&
        (started.empty() || started.back() != g_manager.server.server_pid))
      started.push_back(g_manager.server.server_pid);
    SupervisionTick(ClockNow());
    EXPECT_FALSE(Has(Log(), "Server has crashed"));
  };
  ASSERT_TRUE(StartServer());
  supervise();  // at once, before the child has become the server
  pid_t found = started[0];
  EXPECT_TRUE(WaitUntil([&] { return FindServerProcess(&found); }));
  std::vector<std::string> said;
  for (; g_schedule_now <= Utc(2024, 6, 5, 22, 0, 3); g_schedule_now += 10) {
    supervise();
    for (const QueuedCommand& c : g_manager.remote.queue)
      if (c.code == kCmdServerMessage) said.push_back(c.text);
    g_manager.remote.queue = {};
  }
  supervise();  // the midnight restart started a second server
  const std::string soon = "[KORV] Server is scheduled to ";
  EXPECT_EQ(said, (std::vector<std::string>{soon + "stop in three minutes!", soon + "restart in three minutes!",
                                             soon + "stop in two minutes!", soon + "restart in two minutes!",
                                             soon + "stop in one minute or less!", soon + "restart in one minute or less!"}));
  EXPECT_EQ(started.size(), 2u);
  EXPECT_EQ(SettingText(kSetServerName), "Evening");
  g_schedule_now = Utc(2024, 6, 5, 22, 1, 5);
  supervise();  // waits for the end of the game
  NoteGameEnded();
  StatusMonitorTick(ClockNow());  // fires: the server is stopped
  EXPECT_FALSE(g_manager.server.server_running);
  supervise();
  g_schedule_now += 3;
  StatusMonitorTick(ClockNow());  // the pause is over: the server starts again
  supervise();
  ASSERT_EQ(started.size(), 3u);
  EXPECT_EQ(std::pair(Count(Log(), " : Server started\r\n"), Count(Log(), " : Restarting server per scheduled event.\r\n")),
            std::pair(3, 1));
  for (pid_t old : {started[0], started[1]}) EXPECT_EQ(::waitpid(old, nullptr, WNOHANG), -1);
  EXPECT_EQ(::kill(started[2], 0), 0);
  // A stop ends the new server although it is not findable yet.
  EXPECT_TRUE(StopServer(false));
  EXPECT_EQ(::waitpid(started[2], nullptr, WNOHANG), -1);
}

}  // namespace
}  // namespace korvtest
