// The status line's 19 fields, the cached PunkBuster version, the player list file.
#include "remote/status_line.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>

#include "core/last_error.h"
#include "links/console.h"
#include "links/fake_console.h"
#include "links/link_fixture.h"
#include "links/player_table.h"
#include "links/udp_responder.h"
#include "records/client_lists.h"

namespace {

using korvtest::FakeConsole;
using korvtest::Has;

class StatusLineTest : public korvtest::LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.settings_dir = dir_.path();
    Setting(kSetServerName).text = "Alpha";
    Setting(kSetServerIp).value = 0x0A000001;
    Setting(kSetServerPort).value = 14567;
    Setting(kSetSmartBalance).value = 0;
  }
  void ConnectConsole(const std::string& report) {
    status_ = std::make_unique<korvtest::UdpResponder>(std::vector<std::string>{report});
    console_ = std::make_unique<FakeConsole>("ab", "secret", [](const auto& request) {
      if (request.size() > 1 && request[1] == "game.listPlayers")
        return std::vector<std::string>{"Id:3 - Mike is remote ip: 10.0.0.5:14567 hash:" +
                                        std::string(32, 'c') + "\n"};
      if (!request.empty() && request[0].rfind("ConsoleRun ", 0) == 0)
        return std::vector<std::string>{"x", ">", "PunkBuster Server: (v1.0 | A1.1) x)"};
      return std::vector<std::string>{"ok\n"};
    });
    korvtest::PointAtStandIns(console_->port(), status_->port(), "ab", "secret");
    ASSERT_TRUE(ConsoleConnect()) << ErrorText(LastError());
  }
  int PbVersionRequests() {
    int count = 0;
    for (const auto& r : console_->requests()) count += r.size() > 1 && r[1] == "pb_sv_ver";
    return count;
  }
  std::unique_ptr<korvtest::UdpResponder> status_;
  std::unique_ptr<FakeConsole> console_;
};

TEST_F(StatusLineTest, StoppedAndDisconnected) {
  g_manager.links.status_report = "\\maxplayers\\32\\gamemode\\openplaying";
  korvtest::WriteFile(dir_ / "servermaplist.con", "");
  std::string line;
  ASSERT_TRUE(GetServerStatusString(&line));
  EXPECT_EQ(line,
            "\"Alpha\",10.0.0.1:14567,-- of 32,-,-,??,Stopped,?,Disconnected,??,??,??,??,??,??,"
            "??,??,?? / ??,Not installed,");
  // A crash is shown as its ctime text; the idle map as it is.
  std::time_t crash = 1700000000;
  g_manager.ticks.last_crash_time = crash;
  g_manager.core.idle_map = "idle GPM_CQ bf1942";
  g_manager.core.punkbuster_installed = true;
  ASSERT_TRUE(GetServerStatusString(&line));
  std::string when = std::ctime(&crash);
  when.back() = ',';
  EXPECT_TRUE(Has(line, ",idle GPM_CQ bf1942,Stopped," + when + "Disconnected,"));
  EXPECT_EQ(line.substr(line.size() - 28), ",Disabled (version unknown),");
  EXPECT_FALSE(GetServerStatusString(nullptr));
}

TEST_F(StatusLineTest, ConnectedFieldsAndTheCachedPunkBusterVersion) {
  ConnectConsole("\\numplayers\\1\\maxplayers\\64\\gamemode\\openplaying\\gamever\\v1.6\\"
                 "password\\1\\tk_mode\\punish\\content_check\\2\\roundTimeRemain\\-1\\"
                 "tickets1\\150\\tickets2\\99\\hostport\\14567\\sv_punkbuster\\1\\"
                 "queryid\\1.1\\final\\");
  g_manager.core.punkbuster_installed = true;
  g_manager.links.punkbuster_enabled = true;
  std::string line;
  ASSERT_TRUE(GetServerStatusString(&line));
  EXPECT_EQ(line, "\"Alpha\",127.0.0.1:14567,1 of 64,-,??,??,Running,?,Connected,openplaying,v1.6,Yes,punish,"
                  "Unpure mode,0 / 0 / 0,0 / 0 / 1,Unlimited,150 / 99,Enabled (v1.0 | A1.1),,");
  EXPECT_EQ(PbVersionRequests(), 1);
  ASSERT_TRUE(GetServerStatusString(&line));
  EXPECT_EQ(PbVersionRequests(), 1);  // asked once per console connection
  // Huge report values are cut: the line stays bounded.
  g_manager.links.punkbuster_enabled = false;
  status_->set_replies({"\\gamever\\" + std::string(1023, 'v') + "\\queryid\\1.1\\final\\"});
  ASSERT_TRUE(GetServerStatusString(&line));
  EXPECT_LT(line.size(), 1000u);
  // A failing status query gives no line.
  status_->set_replies({});
  EXPECT_FALSE(GetServerStatusString(&line));
}

TEST_F(StatusLineTest, PlayerListFile) {
  ConnectConsole("\\numplayers\\1\\playername_0\\Mike\\team_0\\1\\score_0\\5\\kills_0\\7\\deaths_0\\2\\"
                 "ping_0\\50\\queryid\\1.1\\final\\");
  ASSERT_TRUE(GetPlayerList()) << Log();
  ASSERT_TRUE(WritePlayerListFile(dir_ / "playerlist.con"));
  EXPECT_EQ(korvtest::ReadFile(dir_ / "playerlist.con"),
            "\"Mike\",3,axis,5,7,2,50,10.0.0.5," + std::string(32, 'c') + ",[unknown]\n");
  ClearPlayerTable();
  ASSERT_TRUE(WritePlayerListFile(dir_ / "playerlist.con"));
  EXPECT_EQ(korvtest::ReadFile(dir_ / "playerlist.con"), "");
}

}  // namespace
