// Queued commands against a stand-in console: the console lines each
// command sends, the audit lines, the admin-log row and the notifications
// the issuer and the other sessions receive.
#include "remote/execute.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "core/helpers.h"
#include "links/console.h"
#include "links/fake_console.h"
#include "links/link_fixture.h"
#include "links/player_table.h"
#include "links/udp_responder.h"
#include "remote/session.h"

namespace {

using korvtest::FakeConsole;
using korvtest::Has;
using korvtest::TcpPair;

class ExecuteTest : public korvtest::LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.settings_dir = dir_.path();
    status_ = std::make_unique<korvtest::UdpResponder>(
        std::vector<std::string>{"\\numplayers\\1\\mapname\\berlin\\queryid\\1.1\\final\\"});
    console_ = std::make_unique<FakeConsole>("ab", "secret", [this](const auto& request) {
      return Answer(request);
    });
    korvtest::PointAtStandIns(console_->port(), status_->port(), "ab", "secret");
    InitSessionTable();
    for (int slot : {1, 2}) {
      g_manager.remote.sessions[slot].socket = pairs_[slot - 1].a;
      g_manager.remote.sessions[slot].user_name = slot == 1 ? "alice" : "bob";
      g_manager.remote.sessions[slot].address = "127.0.0.1:500" + std::to_string(slot);
    }
    ASSERT_TRUE(ConsoleConnect()) << ErrorText(LastError());
    first_request_ = console_->requests().size();
  }
  void TearDown() override {
    if (g_manager.links.console_socket >= 0) ::close(g_manager.links.console_socket);
    LogFixture::TearDown();
  }
  std::vector<std::string> Answer(const std::vector<std::string>& request) {
    if (request.size() > 1 && request[1] == "game.listPlayers")
      return {"Id:3 - Mike is remote ip: 10.0.0.5:14567 hash:0123456789abcdef0123456789abcdef\n"};
    if (request.size() > 1 && request[1].find(fail_) != std::string::npos && !fail_.empty())
      return {korvtest::kDropLink};
    if (request.size() > 1 && request[1] == "admin.kickPlayer 42") return {"No player with id 42"};
    return {"ok\n"};
  }
  void Run(std::uint32_t code, const std::string& text, std::uint32_t sender = 1) {
    QueuedCommand command;
    command.code = code;
    std::snprintf(command.text, sizeof command.text, "%s", text.c_str());
    command.sender = sender;
    ExecuteCommand(command);
  }
  // The console lines sent since the setup (without the channel string).
  std::vector<std::string> Sent() {
    std::vector<std::string> lines;
    auto requests = console_->requests();
    for (std::size_t i = first_request_; i < requests.size(); ++i) {
      for (std::size_t k = 1; k + 1 < requests[i].size(); ++k) lines.push_back(requests[i][k]);
    }
    return lines;
  }
  // What session `slot` received: code and data of each notification.
  std::string Received(int slot) { return TcpPair::Drain(pairs_[slot - 1].b); }
  static std::string Note(std::uint32_t code, const std::string& text = "", bool with_text = false) {
    if (!with_text) return korvclient::U32(code) + korvclient::U32(0);
    return korvclient::U32(code) + korvclient::U32(text.size() + 1) + text + '\0';
  }

  std::unique_ptr<korvtest::UdpResponder> status_;
  std::unique_ptr<FakeConsole> console_;
  TcpPair pairs_[2];
  std::size_t first_request_ = 0;
  std::string fail_;
};

TEST_F(ExecuteTest, KickSendsPunkBusterFirstAndTellsEveryone) {
  g_manager.core.admin_log = true;
  g_manager.links.punkbuster_enabled = true;
  GetPlayerList();
  first_request_ = console_->requests().size();
  Run(0xB00B000F, "3,team killing");
  EXPECT_EQ(Sent(), (std::vector<std::string>{"pb_sv_kick 4 1 team killing", "admin.kickPlayer 3"}));
  EXPECT_TRUE(Has(Log(),
                  "User alice at 127.0.0.1:5001 kicked player Mike "
                  "(0123456789abcdef0123456789abcdef) at 10.0.0.5 for team killing."));
  EXPECT_EQ(Received(1), Note(0xBEEF0020, "Mike", true));
  EXPECT_EQ(Received(2), Note(0xBEEF0020, "Mike", true));
  std::string admin_log = korvtest::ReadFile(AdminLogPath());
  EXPECT_TRUE(Has(admin_log, "Mike"));
  EXPECT_TRUE(Has(admin_log, "kick"));
  EXPECT_TRUE(Has(admin_log, "team killing"));

  // An id the game does not know: a failure, no audit line, no admin-log row.
  Run(0xB00B000F, "42,ghost");
  EXPECT_TRUE(Has(Log(), "Couldn't kick player [unknown]! The command failed."));
  EXPECT_FALSE(Has(Log(), "kicked player [unknown]"));
  EXPECT_EQ(korvtest::ReadFile(AdminLogPath()), admin_log);
  EXPECT_EQ(Received(1), Note(0xBEEF0001));
  EXPECT_EQ(Received(2), "");

  g_manager.links.punkbuster_enabled = false;
  fail_ = "admin.kickPlayer";
  Run(0xB00B000F, "3,again");
  EXPECT_TRUE(Has(Log(), "Couldn't kick player Mike! The command failed."));
  EXPECT_EQ(Received(1), Note(0xBEEF0001));
  EXPECT_EQ(Received(2), "");
}

TEST_F(ExecuteTest, SayToAllCutsPiecesAndAuditsUnlessStarred) {
  std::string text = std::string(40, 'a') + " " + std::string(40, 'b');
  Run(0xB00B0017, text);
  std::string blank(1, static_cast<char>(0x80));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"game.sayAll \"" + std::string(40, 'a') + "\"",
                                              "game.sayAll \"" + std::string(40, 'b') + "\""}));
  EXPECT_TRUE(Has(Log(), "User alice at 127.0.0.1:5001 said '" + text + "'."));
  EXPECT_EQ(Received(1), Note(0xBEEF0024));
  EXPECT_EQ(Received(2), "");

  first_request_ = console_->requests().size();
  Run(0xB00B0017, "*Welcome to the server");
  EXPECT_EQ(Sent(), (std::vector<std::string>{"game.sayAll \"*Welcome" + blank + "to" + blank +
                                              "the" + blank + "server\""}));
  EXPECT_FALSE(Has(Log(), "said '*Welcome"));
  EXPECT_EQ(Received(1), Note(0xBEEF0024));

  // A line break must not reach the console as a command of its own, nor
  // a quote end the message's argument.
  first_request_ = console_->requests().size();
  Run(0xB00B0018, "hi\n\"quit");
  EXPECT_EQ(Sent(), (std::vector<std::string>{"admin.serverMessage \"hi 'quit\""}));
  EXPECT_EQ(Received(1), Note(0xBEEF0025));
}

TEST_F(ExecuteTest, RawConsoleIsNeverAFormat) {
  Run(0xB00B0019, "game.sayAll \"%s %n %x\"");
  EXPECT_EQ(Sent(), (std::vector<std::string>{"game.sayAll \"%s %n %x\""}));
  EXPECT_TRUE(Has(Log(), "issued console command 'game.sayAll \"%s %n %x\"'."));
  EXPECT_EQ(Received(1), Note(0xBEEF0002));
}

TEST_F(ExecuteTest, MapCommandsAndTheStartMap) {
  Run(0xB00B000A, "berlin GPM_CQ bf1942");
  Run(0xB00B0009, "", 2);
  Run(0xB00B0009, "", 2);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"admin.changeMap berlin GPM_CQ bf1942",
                                              "admin.toggleGamePause", "admin.toggleGamePause"}));
  EXPECT_EQ(Received(1), Note(0xBEEF001B, "berlin GPM_CQ bf1942", true) + Note(0xBEEF0019) +
                             Note(0xBEEF001A));
  EXPECT_TRUE(Has(Log(), "User bob at 127.0.0.1:5002 paused the server."));
  EXPECT_TRUE(Has(Log(), "User bob at 127.0.0.1:5002 unpaused the server."));

  // With the server stopped the next map is only recorded.
  g_manager.server.server_running = false;
  first_request_ = console_->requests().size();
  Run(0xB00B000C, "kursk GPM_CQ bf1942", 0);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(g_manager.remote.start_map, "kursk GPM_CQ bf1942");
  EXPECT_TRUE(Has(Log(), "User operator at console changed the next map to kursk GPM_CQ bf1942."));
}

TEST_F(ExecuteTest, NameBanAndIdleMapFiles) {
  Run(0xB00B0013, "First");  // a missing file is created
  EXPECT_EQ(korvtest::ReadFile(dir_ / "bannedwords.con"), "$First\n");
  korvtest::WriteFile(dir_ / "bannedwords.con", "noob");
  Run(0xB00B0013, "Bad\nName");
  EXPECT_EQ(korvtest::ReadFile(dir_ / "bannedwords.con"), "noob\n$Bad Name\n");
  EXPECT_EQ(Received(2), Note(0xBEEF002C, "First", true) + Note(0xBEEF002C, "Bad Name", true));
  // A file that cannot be read bans nothing and tells only the issuer.
  std::remove((dir_ / "bannedwords.con").c_str());
  std::filesystem::create_directory(dir_ / "bannedwords.con");
  Received(1);
  Run(0xB00B0013, "Third");
  EXPECT_EQ(Received(1), Note(0xBEEF0001));
  EXPECT_EQ(Received(2), "");
  std::filesystem::remove(dir_ / "bannedwords.con");
  korvtest::WriteFile(dir_ / "servermaplist.con", "game.setIdleLevel old\nother\n");
  Run(0xB00B000D, "idle GPM_CQ bf1942\nadmin.enableRemoteConsole evil evil 4712");
  EXPECT_EQ(g_manager.core.idle_map, "idle GPM_CQ bf1942 admin.enableRemoteConsole evil evil 4712");
  EXPECT_EQ(korvtest::ReadFile(dir_ / "servermaplist.con"),
            "game.setIdleLevel idle GPM_CQ bf1942 admin.enableRemoteConsole evil evil 4712\nother\n");
  Run(0xB00B000D, "");
  EXPECT_TRUE(Has(Log(), "User alice at 127.0.0.1:5001 cleared the idle map."));
  EXPECT_EQ(Received(2), Note(0xBEEF001E, "idle GPM_CQ bf1942 admin.enableRemoteConsole evil evil 4712",
                              true) + Note(0xBEEF001E, "", true));
  // A rotation file that cannot be rewritten changes and announces nothing.
  std::remove((dir_ / "servermaplist.con").c_str());
  Received(1);
  Run(0xB00B000D, "kursk GPM_CQ bf1942");
  EXPECT_EQ(g_manager.core.idle_map, "");
  EXPECT_EQ(Received(1), Note(0xBEEF0001));
  EXPECT_EQ(Received(2), "");
  EXPECT_TRUE(Has(Log(), "Couldn't open " + (dir_ / "servermaplist.con") + "! "));
}

}  // namespace
