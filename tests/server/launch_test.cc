// The pre-launch checks and the server's argument vector.
#include "server/launch.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/helpers.h"
#include "core/manager_state.h"
#include "settings/settings_table.h"
#include "support/process_harness.h"

namespace {

class PreLaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetManagerState();
    g_manager.core.server_dir = dir_.path();
    g_manager.core.daemon = true;
    InitSettings();
    Setting(kSetServerName).text = "Server";
    Setting(kSetServerIp).value = 0x7F000001;
    Setting(kSetConsoleUsername).text = "admin";
    Setting(kSetConsolePassword).text = "secret";
    Setting(kSetEnableRemoteConsole).value = 1;
  }
  // True when the checks refuse with exactly this message.
  bool RefusedWith(const std::string& message) {
    std::filesystem::remove(dir_ / "korvd.log");
    SetLastError(99);
    bool passed = PassesPreLaunchChecks();
    std::string log = korvtest::ReadFile(dir_ / "korvd.log");
    return !passed && LastError() == 0 &&
           log.find(" : Couldn't start the server! " + message + "\r\n") != std::string::npos &&
           log.find('\n') == log.size() - 1;
  }
  korvtest::TempDir dir_;
};

TEST_F(PreLaunchTest, EachCheckRefusesWithItsMessage) {
  EXPECT_TRUE(PassesPreLaunchChecks());
  Setting(kSetServerIp).value = 0;
  EXPECT_TRUE(RefusedWith("Server IP address is invalid."));
  SetUp();
  Setting(kSetServerPort).value = 80;
  EXPECT_TRUE(RefusedWith("Game port address is invalid."));
  SetUp();
  Setting(kSetConsolePort).value = 70000;
  EXPECT_TRUE(RefusedWith("Remote Console port address is invalid."));
  Setting(kSetEnableRemoteConsole).value = 0;
  EXPECT_TRUE(PassesPreLaunchChecks());  // the console port only counts when enabled
  SetUp();
  Setting(kSetConsolePort).value = g_manager.core.listen_port;
  EXPECT_TRUE(RefusedWith("Remote Console port address is the same as the Korvane port address. "
                          "These ports must NOT be the same address."));
  SetUp();
  Setting(kSetServerPort).value = 14667;
  EXPECT_TRUE(RefusedWith("Game port address is the same as the Korvane port address. These "
                          "ports must NOT be the same address."));
  SetUp();
  Setting(kSetServerName).text.clear();
  EXPECT_TRUE(RefusedWith("You must provide a name for the server."));
  SetUp();
  Setting(kSetEnableRemoteAdmin).value = 1;
  Setting(kSetConsolePassword).text.clear();
  EXPECT_TRUE(RefusedWith("You must provide a password for Remote Admin."));
  SetUp();
  Setting(kSetConsoleUsername).text.clear();
  EXPECT_TRUE(RefusedWith("You must provide a username and password to use the Remote Console."));
}

TEST_F(PreLaunchTest, DefaultPasswordsOnAnInternetServer) {
  Setting(kSetServerInternet).value = 1;
  Setting(kSetEnableRemoteAdmin).value = 1;
  Setting(kSetConsolePassword).text = "SESAMINE";
  EXPECT_TRUE(RefusedWith("Using the default Remote Admin password is disallowed for an Internet "
                          "server to prevent unauthorized access."));
  // Without remote admin the console check compares with case: "SESAMINE"
  // is not the default.
  Setting(kSetEnableRemoteAdmin).value = 0;
  Setting(kSetConsoleUsername).text = "UserName";
  EXPECT_TRUE(PassesPreLaunchChecks());
  Setting(kSetConsolePassword).text = "Sesamine";
  EXPECT_TRUE(RefusedWith("Using the default Remote Console username and password is disallowed "
                          "for an Internet server to prevent unauthorized access."));
  Setting(kSetServerInternet).value = 0;
  EXPECT_TRUE(PassesPreLaunchChecks());
}

TEST_F(PreLaunchTest, ArgumentVectorSplitsAtRunsOfBlanks) {
  g_manager.core.status_monitor = 0;
  g_manager.core.server_args = " +dedicated 1";
  EXPECT_EQ(ServerArgumentVector("/srv/bf/bf1942_lnxded"),
            (std::vector<std::string>{"/srv/bf/bf1942_lnxded", "+statusMonitor", "0",
                                      "+dedicated", "1"}));
  g_manager.core.overlay_path = "/ov/";
  g_manager.core.server_args = "  +a   b ";
  EXPECT_EQ(ServerArgumentVector("/my dir/bf1942_lnxded"),
            (std::vector<std::string>{"/my", "dir/bf1942_lnxded", "+statusMonitor", "0",
                                      "+overlayPath", "/ov/", "+a", "b"}));
}

}  // namespace
