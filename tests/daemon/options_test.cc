// The command-line scanner: options, server arguments, commands, stray words, refusals.
#include "daemon/options.h"

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <tuple>
#include <vector>

#include "daemon/manager_state.h"
#include "support/process_harness.h"

namespace {

using korvtest::Has;

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetManagerState();
    SetCommandLineDefaults();
    g_manager.core.server_dir = dir_.path();
  }
  ScanOutcome Scan(const std::vector<const char*>& words) {
    args_.assign(1, std::string("korvd"));
    for (const char* word : words) args_.emplace_back(word);
    pointers_.clear();
    for (std::string& arg : args_) pointers_.push_back(arg.data());
    return ScanCommandLine(static_cast<int>(pointers_.size()), pointers_.data());
  }
  const CoreState& core() { return g_manager.core; }
  korvtest::TempDir dir_;
  std::vector<std::string> args_;
  std::vector<char*> pointers_;
};

TEST_F(OptionsTest, UsageStartsWithBannerAndBlankLine) {
  ScanOutcome out = Scan({"-?"});
  EXPECT_EQ(std::pair(out.exit_now, out.status), std::pair(true, 0));
  EXPECT_EQ(out.output.rfind("Korvane v2.0 beta 4g\n\nUsage: korvd [-path <path>]", 0), 0u);
  EXPECT_TRUE(Has(out.output, "     \t-nodelay\tkicks/bans players without a delay\n") && out.output.ends_with("\n\n"));
  EXPECT_FALSE(Has(out.output, "-debug"));
}

TEST_F(OptionsTest, OptionNamesIgnoreCaseSetFlagsAndDaemonClearsStatusMonitor) {
  ScanOutcome out = Scan({"-DAEMON", "-Restart", "-exit", "-quit", "-adminlog", "-debug", "-statuslog", "-messagelog",
                          "-reuseaddr", "-noadmin", "-nodelay", "-start", "-stop", "-port", "15000", "+statusMonitor", "1",
                          "-unknown"});
  EXPECT_FALSE(out.exit_now);
  EXPECT_EQ(out.ignored, std::vector<std::string>{"-unknown"});
  EXPECT_TRUE(core().daemon && core().restart && core().exit_stops_server && core().quit);
  EXPECT_TRUE(core().admin_log && core().debug && core().status_log && core().message_log);
  EXPECT_TRUE(core().reuse_address && core().start && core().stop);
  // -daemon clears the status monitor.
  EXPECT_EQ(std::tuple(core().admin_message_style, core().kick_delay, core().listen_port, core().status_monitor),
            std::tuple(0, 0, 15000, 0));
}

TEST_F(OptionsTest, StrayWordSwallowsTheNextArgument) {
  Scan({"stray", "-daemon", "-restart"});
  EXPECT_EQ(std::pair(core().daemon, core().restart), std::pair(false, true));
  // "+game" is ignored and its value then swallows the word after it.
  Scan({"+game", "BF1942", "-start", "-debug"});
  EXPECT_EQ(std::tuple(core().start, core().debug, core().server_args), std::tuple(false, true, ""));
}

TEST_F(OptionsTest, ServerArgumentsAndCommands) {
  Scan({"+maxPlayers", "32", "+statusMonitor", "1", "+dedicated", "1", "@game.gameSpyPort", "23000", "@admin.x", "y"});
  EXPECT_EQ(std::tuple(core().status_monitor, core().server_args, core().server_commands),
            std::tuple(1, " +maxPlayers 32 +dedicated 1", "game.gameSpyPort 23000\nadmin.x y\n"));
  ASSERT_EQ(core().pending_port_commands.size(), 1u);
  EXPECT_EQ(core().pending_port_commands[0].second, 23000);
}

TEST_F(OptionsTest, ServerArgumentsStopGrowingAtTheirLimit) {
  std::string big(1020, 'v');
  Scan({"+first", big.c_str(), "+second", "2", "-debug"});
  // Cut to its buffer: the second name's value is a stray word and swallows "-debug".
  EXPECT_EQ(core().server_args, (" +first " + big).substr(0, 1023));
  EXPECT_FALSE(core().debug);
}

TEST_F(OptionsTest, MissingOrOptionLikeValuesAreRefused) {
  const std::vector<std::vector<const char*>> refused = {{"-path"}, {"-path", "-daemon"}, {"-path", "."}, {"-pid", "."},
                                                         {"-port", "+x"}, {"-ip", "@x"}, {"+statusMonitor"}, {"@game.x"}};
  for (const auto& words : refused) {
    std::string name = words[0][0] == '@' ? words[0] + 1 : words[0];
    EXPECT_EQ(Scan(words).output, ">>> Error: " + name + " requires an argument!\n");
  }
  ScanOutcome out = Scan({"-priority"});
  EXPECT_EQ(std::pair(out.output, out.status), std::pair(std::string(">>> Error: -priority requires an argument!\n"), 1));
  EXPECT_FALSE(Scan({"-priority", "-5"}).exit_now);
  EXPECT_EQ(std::pair(core().priority_value, core().priority), std::pair(-5, true));
}

TEST_F(OptionsTest, PathsAreCutAndLoseOneTrailingSlash) {
  Scan({"-path", "/srv/game/"});
  EXPECT_EQ(std::tuple(core().server_dir, core().settings_dir), std::tuple("/srv/game", "/srv/game/mods/bf1942/settings"));
  // A relative path is taken from the start directory at once.
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  Scan({"-path", "tmp/x/", "-pid", "tmp/y/k.pid", "+overlayPath", "no-such-dir/ov"});
  EXPECT_EQ(std::tuple(core().server_dir, core().pid_file_path, core().overlay_path),
            std::tuple(std::string(cwd) + "/tmp/x", std::string(cwd) + "/tmp/y/k.pid",
                       std::string(cwd) + "/no-such-dir/ov/"));
  std::string huge = "/" + std::string(5000, 'p');
  Scan({"-path", huge.c_str()});
  EXPECT_EQ(core().server_dir.size(), 4095u);
}

TEST_F(OptionsTest, OverlayPathGetsSlashLogsDirAndSettings) {
  std::string overlay = dir_ / "overlay";
  ::mkdir(overlay.c_str(), 0755);
  Scan({"+overlayPath", overlay.c_str()});
  EXPECT_EQ(std::pair(core().overlay_path, core().settings_dir), std::pair(overlay + "/", overlay + "/settings"));
  EXPECT_TRUE(std::filesystem::is_directory(overlay + "/logs"));
}

TEST_F(OptionsTest, SyslogFacilities) {
  EXPECT_EQ(Scan({"-syslog", "8"}).output, ">>> Error: Syslog local facility number must be between 0 and 7.\n");
  EXPECT_FALSE(Scan({"-syslog", "7"}).exit_now);
  EXPECT_EQ(std::pair(core().syslog_facility, core().syslog), std::pair(LOG_LOCAL7, true));
  closelog();
}

TEST_F(OptionsTest, KillNeedsPidFileAndAValidPid) {
  EXPECT_EQ(Scan({"-kill"}).output, ">>> Error: -kill requires -pid!\n");
  std::string pid_file = dir_ / "k.pid";
  ScanOutcome out = Scan({"-kill", "-pid", pid_file.c_str()});
  EXPECT_EQ(std::pair(out.output, out.status), std::pair(">>> Error: Couldn't open pid file: " + pid_file + "!\n", 1));
  korvtest::WriteFile(pid_file, "");
  EXPECT_EQ(Scan({"-kill", "-pid", pid_file.c_str()}).output, ">>> Error: Couldn't read pid file: " + pid_file + "!\n");
  // Only a korvd process is signalled: never another program...
  korvtest::Process other;
  ASSERT_TRUE(other.Start({"/bin/sleep", "30"}, dir_.path(), dir_ / "sleep.txt"));
  // Until it has run exec the child is still this test program.
  ASSERT_TRUE(korvtest::WaitForText("/proc/" + std::to_string(other.pid()) + "/comm", "sleep"));
  korvtest::WriteFile(pid_file, std::to_string(other.pid()));
  ASSERT_EQ(Scan({"-kill", "-pid", pid_file.c_str()}).output,
            ">>> Error: Pid " + std::to_string(other.pid()) + " is not a korvd process!\n");
  EXPECT_TRUE(other.running());
  // ...nor a process group, nor every process (-1), nor init; junk reads as 0.
  for (auto [text, pid] : {std::pair{"-2147483647", "-2147483647"}, {"-1", "-1"}, {"1", "1"}, {"junk\n", "0"}}) {
    korvtest::WriteFile(pid_file, text);
    EXPECT_EQ(Scan({"-kill", "-pid", pid_file.c_str()}).output,
              std::string(">>> Error: Pid file contains an invalid pid! (") + pid + ")\n");
  }
}

}  // namespace
