// korvd.log lines, rotation, the overlay logs directory and adminlog.csv.
#include "core/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "core/manager_state.h"
#include "support/process_harness.h"

using korvtest::ReadFile;

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetManagerState();
    g_manager.core.server_dir = dir_.path();
    g_manager.core.daemon = true;  // keep the test output quiet
  }
  korvtest::TempDir dir_;
};

TEST_F(LogTest, LineHasTimestampSeparatorAndCrLf) {
  LogMessage(6, "Hello %s %i%%", "world", 5);
  std::string text = ReadFile(dir_ / "korvd.log");
  EXPECT_TRUE(std::regex_match(
      text, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d : Hello world 5%\r\n)")))
      << text;
}

TEST_F(LogTest, LineBreaksAnd0x80BecomeBlanks) {
  LogMessage(6, "a\nb\rc\x80" "d");
  std::string text = ReadFile(dir_ / "korvd.log");
  EXPECT_NE(text.find(" : a b c d\r\n"), std::string::npos);
  const char* empty = "";
  LogMessage(6, empty, 0);  // an empty format writes nothing
  EXPECT_EQ(ReadFile(dir_ / "korvd.log"), text);
}

TEST_F(LogTest, MessagesAreCutAt1023Characters) {
  std::string big(5000, 'z');
  LogMessage(6, "%s", big.c_str());
  std::string text = ReadFile(dir_ / "korvd.log");
  EXPECT_EQ(text.size(), 1023u + 2u);
}

TEST_F(LogTest, RotatesAfterTheLineThatCrossesTheLimit) {
  std::string chunk(1000, 'r');
  for (int i = 0; i < 600; ++i) LogMessage(6, "%s", chunk.c_str());
  int rotated = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    std::string name = entry.path().filename();
    if (std::regex_match(name, std::regex(R"(\d{4}-\d\d-\d\d-\d\d-\d\d\.log)"))) {
      ++rotated;
      EXPECT_GE(entry.file_size(), 512000u);
      EXPECT_LT(entry.file_size(), 512000u + 1100u);
    }
  }
  EXPECT_EQ(rotated, 1);
  EXPECT_LT(ReadFile(dir_ / "korvd.log").size(), 512000u);
}

TEST_F(LogTest, OverlayPathLogsGoToItsLogsDirectory) {
  g_manager.core.overlay_path = dir_.path() + "/ov/";
  std::filesystem::create_directories(dir_.path() + "/ov/logs");
  LogMessage(6, "in overlay");
  EXPECT_NE(ReadFile(dir_ / "ov/logs/korvd.log").find("in overlay"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "korvd.log"));
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
