// korvd.log lines, repeats, rotation and adminlog.csv.
#include "core/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <algorithm>
#include <ctime>
#include <regex>
#include <vector>

#include "links/link_fixture.h"

using korvtest::Has;
using korvtest::ReadFile;

namespace {

class LogTest : public korvtest::LogFixture {};

TEST_F(LogTest, LinesHaveTimestampAndCrLfEscapedControlsAndALimit) {
  LogMessage(6, "Hello %s %i%%", "world", 5);
  LogMessage(6, "a\nb\rc\x80" "d\x1b[2J\x07\te\x7f" "f");
  std::string text = ReadFile(dir_ / "korvd.log");
  EXPECT_TRUE(std::regex_match(text, std::regex(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d : [^\n]*\r\n){2})"))) << text;
  EXPECT_TRUE(Has(text, " : Hello world 5%\r\n"));
  EXPECT_TRUE(Has(text, " : a b c d\\x1b[2J\\x07\te\\x7f" "f\r\n"));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
  LogMessage(6, "");  // an empty format writes nothing
#pragma GCC diagnostic pop
  EXPECT_EQ(ReadFile(dir_ / "korvd.log"), text);
  LogMessage(6, "%s", std::string(5000, 'z').c_str());
  EXPECT_EQ(ReadFile(dir_ / "korvd.log").size(), text.size() + 1023u + 2u);
}

TEST_F(LogTest, RepeatedLinesPastTheThresholdAreCounted) {
  std::string junk = "Client sent junk\r\n";
  for (int threshold : {3, 0}) {  // 0 counts nothing
    g_manager.core.conf.log_repeat_threshold = threshold;
    for (int attempt = 0; attempt < 3; ++attempt) {  // a minute may turn meanwhile
      std::filesystem::remove(dir_ / "korvd.log");
      std::time_t minute = std::time(nullptr) / 60;
      for (int i = 0; i < 7; ++i) LogMessage(6, "Client sent junk");
      LogMessage(6, "other");
      if (std::time(nullptr) / 60 != minute) continue;
      std::string text = std::regex_replace(ReadFile(dir_ / "korvd.log"), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d : )"), "");
      EXPECT_EQ(text, threshold == 0 ? junk + junk + junk + junk + junk + junk + junk + "other\r\n"
                                     : junk + junk + junk + "last message repeated 4 times\r\nother\r\n");
      break;
    }
  }
}

std::vector<std::string> RotatedLogs(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string name = entry.path().filename();
    if (std::regex_match(name, std::regex(R"(\d{4}-\d\d-\d\d-\d\d-\d\d(\.[1-9]\d*)?\.log)")))
      names.push_back(name);
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    int stamp = a.compare(0, 16, b, 0, 16);
    if (stamp != 0) return stamp < 0;
    return a.size() != b.size() ? a.size() < b.size() : a < b;  // ".log", ".1.log", ".10.log"
  });
  return names;
}

// Rotations never replace a file; the caps take earlier runs' logs first, never this run's first.
TEST_F(LogTest, RotationNeverReplacesAnEarlierLogAndThisRunsFirstLogOutlivesTheCaps) {
  for (const char* earlier : {"2001-01-01-00-00.log", "2001-01-01-00-00.1.log", "2001-01-02-00-00.log"})
    korvtest::WriteFile(dir_ / earlier, "earlier run\r\n");
  std::string chunk(900, 'r');
  std::uintmax_t written = 0;
  int line = 0;
  for (; line < 1740; ++line) {
    LogMessage(6, "%i %s", line, chunk.c_str());
    written += std::to_string(line).size() + 1 + chunk.size() + 24;
  }
  std::vector<std::string> rotated = RotatedLogs(dir_.path());
  ASSERT_EQ(rotated.size(), 6u);
  rotated.erase(rotated.begin(), rotated.begin() + 3);
  std::uintmax_t kept = std::filesystem::file_size(dir_ / "korvd.log");
  for (const std::string& name : rotated) {
    std::uintmax_t size = std::filesystem::file_size(dir_ / name);
    EXPECT_TRUE(size >= 512000u && size < 512000u + 1000u) << name << " " << size;
    kept += size;
  }
  EXPECT_EQ(kept, written);
  EXPECT_TRUE(Has(ReadFile(dir_ / rotated[0]), " : 0 rrr"));

  g_manager.core.conf.log_keep_rotated = 2;
  for (; line < 2300; ++line) LogMessage(6, "%i %s", line, chunk.c_str());
  std::vector<std::string> left = RotatedLogs(dir_.path());
  ASSERT_EQ(left.size(), 4u);
  EXPECT_EQ(std::vector(left.begin(), left.begin() + 3), rotated);
  g_manager.core.conf.log_keep_rotated_bytes = 1100000;
  for (; line < 2900; ++line) LogMessage(6, "%i %s", line, chunk.c_str());
  EXPECT_EQ(RotatedLogs(dir_.path()), (std::vector{rotated[0], RotatedLogs(dir_.path()).back()}));
  EXPECT_TRUE(Has(ReadFile(dir_ / rotated[0]), " : 0 rrr"));
  EXPECT_LT(ReadFile(dir_ / "korvd.log").size(), 512000u);
}

// The line that brings the log to 512,000 bytes, exactly, is the last one of the rotated file.
TEST_F(LogTest, TheLogRotatesWhenItReaches512000Bytes) {
  std::string pad(972, 'p');  // with the stamp and CR LF: 1,000 bytes a line
  for (int i = 0; i < 511; ++i) LogMessage(6, "%03d %s", i, pad.c_str());
  LogMessage(6, "%s", std::string(951, 'q').c_str());
  ASSERT_EQ(std::filesystem::file_size(dir_ / "korvd.log"), 511975u);
  EXPECT_TRUE(RotatedLogs(dir_.path()).empty());
  LogMessage(6, "y");
  std::vector<std::string> rotated = RotatedLogs(dir_.path());
  ASSERT_EQ(rotated.size(), 1u);
  EXPECT_EQ(std::filesystem::file_size(dir_ / rotated[0]), 512000u);
}

TEST_F(LogTest, AFifoInTheLogsPlaceNeverHoldsTheDaemon) {
  for (const char* name : {"korvd.log", "adminlog.csv"})
    ASSERT_EQ(::mkfifo((dir_ / name).c_str(), 0644), 0);
  g_manager.core.admin_log = true;
  std::string line(1000, 'f');
  pid_t child = ::fork();
  if (child == 0) {
    ::alarm(20);
    for (int i = 0; i < 100; ++i) LogMessage(6, "%i %s", i, line.c_str());
    AppendAdminLog("Bob", "1.2.3.4", "", nullptr, "auto", 1000, "berlin", "kick", 0, "x");
    _exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Under systemd lines reach standard output with their priority and no stamp; korvd.log as ever.
TEST_F(LogTest, JournalLinesCarryTheirPriorityAndNoStamp) {
  const std::pair<const char*, int> lines[] = {
      {"Couldn't bind server socket! Address already in use (98)", 3}, {"Server has crashed", 3},
      {"Server is hung: no answer from its console or status port for 30 seconds.", 3},
      {"Server is in a restart loop, disabling auto-restart.", 3},
      {"WARNING: Skipped x, which is not a regular file.", 4},
      {"SECURITY ALERT! Client at 1.2.3.4 failed to authenticate!", 4},
      {"Server terminated with exit code 1.", 4}, {"DEBUG: a", 7}, {"Connected", 6},
      {"User Couldn't at 1.2.3.4 logged in.", 6}};
  std::string out = dir_ / "stdout";
  pid_t child = ::fork();
  if (child == 0) {
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    struct stat info {};
    if (::dup2(fd, STDOUT_FILENO) < 0 || ::fstat(fd, &info) != 0) _exit(1);
    std::string stream = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
    g_manager.core.daemon = false;
    g_manager.server.server_running = true;
    g_manager.core.status_monitor = 1;
    for (const auto& [line, priority] : lines) LogMessage(6, "%s", line);
    ::setenv("JOURNAL_STREAM", (stream + "1").c_str(), 1);
    LogMessage(6, "Suppressed while the server has the terminal");
    g_manager.server.server_running = false;
    LogMessage(6, "Exited");
    _exit(0);
  }
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  std::string journal, file;
  for (const auto& [line, priority] : lines) {
    // Appends, not a chain of +: GCC 12's -Wrestrict misreads the chain at -O3.
    journal.append("<").append(std::to_string(priority)).append(">").append(line).append("\n");
    file.append(" : ").append(line).append("\r\n");
  }
  std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
  EXPECT_EQ(std::regex_replace(ReadFile(out), stamp, ""), journal + " : Exited\r\n");
  EXPECT_EQ(std::regex_replace(ReadFile(dir_ / "korvd.log"), stamp, ""), file + " : Suppressed while the server has the terminal\r\n : Exited\r\n");
}

TEST_F(LogTest, AdminLogHeaderOnceAndUnknownFields) {
  AppendAdminLog("Bob", "1.2.3.4", "", nullptr, "auto", 1000, "berlin", "kick", 0, "high-ping");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "adminlog.csv"));  // needs -adminlog
  g_manager.core.admin_log = true;
  AppendAdminLog("Bob", "1.2.3.4", "", nullptr, "auto", 1000, "berlin", "kick", 0, "high-ping");
  AppendAdminLog("Al, \"x\"", nullptr, "k", "g", "admin", 7, "", "ban", 99, "banned word in name");
  EXPECT_EQ(ReadFile(dir_ / "adminlog.csv"),
            "player, address, keyhash, guid, admin, bantime, map, action, expires, reason\n"
            "\"Bob\",1.2.3.4,[unknown],[unknown],\"auto\",1000,berlin,kick,0,high-ping\n"
            "\"Al, \"x\"\",[unknown],k,g,\"admin\",7,[unknown],ban,99,banned word in name\n");
}

}  // namespace
