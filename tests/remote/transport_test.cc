// The file frame byte for byte (the target touched only when it arrived intact); the status line.
#include "remote/transport.h"

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <thread>

#include "core/files.h"
#include "core/last_error.h"
#include "links/console.h"
#include "links/fake_console.h"
#include "links/link_fixture.h"
#include "links/player_table.h"
#include "links/udp_responder.h"
#include "records/client_lists.h"
#include "remote/status_line.h"

namespace korvtest {
namespace {


class TransportTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    ASSERT_EQ(lzo_init(), LZO_E_OK);
  }
  std::string Path(const std::string& name) { return dir_ / name; }
  // `wire` received into t.con, which held "old": whether it was taken, and what t.con holds.
  std::pair<bool, std::string> Receive(const std::string& wire, TcpPair* pair = nullptr) {
    if (pair == nullptr) pair = &pair_;
    WriteFile(Path("t.con"), "old");
    ::send(pair->a, wire.data(), wire.size(), 0);
    bool ok = ReceiveFile(Path("t.con"), pair->b);
    return {ok, ReadFile(Path("t.con"))};
  }
  TcpPair pair_;
};

TEST_F(TransportTest, FrameLayoutAndMarkers) {
  EXPECT_EQ(EncodeFrame(""), std::string(4, '\0'));
  // Plain length, packed length, Adler-32 of the packed bytes, then the LZO1X-1 data.
  std::string text = "game.serverName \"Test\"\ngame.serverName \"Test\"\n";
  EXPECT_EQ(EncodeFrame(text), korvclient::Frame(text));
}

TEST_F(TransportTest, SendFileWritesFramesAndAbortMarker) {
  WriteFile(Path("full.con"), "admin.kickPlayer 3\n");
  ASSERT_TRUE(SendFile(Path("full.con"), pair_.a));
  EXPECT_EQ(TcpPair::Drain(pair_.b), EncodeFrame("admin.kickPlayer 3\n"));

  WriteFile(Path("empty.con"), "");
  ASSERT_TRUE(SendFile(Path("empty.con"), pair_.a));
  EXPECT_EQ(TcpPair::Drain(pair_.b), std::string(4, '\0'));
  EXPECT_EQ(Log(), "");  // an empty file is no failure

  EXPECT_FALSE(SendFile(Path("missing.con"), pair_.a));
  EXPECT_EQ(TcpPair::Drain(pair_.b), "\xBE\xBA\xEF\xBE");
  EXPECT_TRUE(Has(Log(), " : Couldn't send " + Path("missing.con") + " to peer at 127.0.0.1! " + ErrorText(ENOENT) + "\r\n"));
}

TEST_F(TransportTest, RoundTripOfLargeFileIntoNewDirectory) {
  std::string data;
  for (int i = 0; data.size() < 3'000'000; ++i) data += "line " + std::to_string(i * 7919) + "\n";
  auto round_trip = [&] {
    bool sent = false;
    std::thread sender([&] { sent = SendFile(Path("source.bin"), pair_.a); });
    bool received = ReceiveFile(Path("sub/dir/target.bin"), pair_.b);
    sender.join();
    EXPECT_EQ(std::pair(sent, received), std::pair(true, true));
    EXPECT_EQ(ReadFile(Path("sub/dir/target.bin")), data);
  };
  WriteFile(Path("source.bin"), data);
  round_trip();
  round_trip();  // the frame kept from the first time
  // A change of the same size, in place or by a new file, is sent anew.
  data[100] = 'X';
  WriteFile(Path("source.bin"), data);
  round_trip();
  data[200] = 'Y';
  WriteFile(Path("new.bin"), data);
  ASSERT_EQ(std::rename(Path("new.bin").c_str(), Path("source.bin").c_str()), 0);
  round_trip();
}

TEST_F(TransportTest, ZeroLengthEmptiesTheFileAndPasswordUploadsAreOwnerOnly) {
  EXPECT_EQ(Receive(std::string(4, '\0')), std::pair(true, std::string()));
  // The same frame kept whole by the command reader.
  WriteFile(Path("t.con"), "old");
  EXPECT_TRUE(StoreFileFrame(Path("t.con"), std::string(4, '\0'), pair_.b));
  EXPECT_EQ(ReadFile(Path("t.con")), "");
  // An upload that holds passwords is stored for the owner alone.
  namespace fs = std::filesystem;
  fs::permissions(Path("t.con"), fs::perms::all);
  EXPECT_TRUE(StoreFileFrame(Path("t.con"), EncodeFrame("pw"), pair_.b, FileAccess::kOwnerOnly));
  EXPECT_EQ(fs::status(Path("t.con")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(TransportTest, DamagedFramesLeaveTheFileUntouched) {
  std::string good = EncodeFrame("new content of the file, new content of the file\n");
  std::string bad_sum = good, bad_length = good;
  bad_sum[15] ^= 0x01;
  bad_length[0] += 1;  // announces one byte more than the data holds
  // 1000 bytes may pack into 1000 + 1000 / 16 + 67 at worst: read, then refused.
  std::string worst = korvclient::U32(1000) + korvclient::U32(1129) + korvclient::U32(1) + std::string(1129, 'x');
  const std::pair<std::string, std::int32_t> cases[] = {
      {"\xBE\xBA\xEF\xBE", kErrFrame14}, {bad_sum, kErrFrame13}, {worst, kErrFrame13}, {bad_length, kErrFrame12}};
  for (const auto& [wire, error] : cases) {
    EXPECT_EQ(Receive(wire), std::pair(false, std::string("old")));
    EXPECT_EQ(LastError(), error);
    EXPECT_TRUE(Has(Log(), "Couldn't receive " + Path("t.con") + " from peer at 127.0.0.1! " + ErrorText(error) + "\r\n"));
  }
}

TEST_F(TransportTest, AbsurdLengthsAreRefusedAndTheConnectionEnds) {
  using korvclient::U32;
  const std::pair<std::uint32_t, std::uint32_t> cases[] = {{(64u << 20) + 1, 100}, {1000, 1130}, {0xFFFFFFF0u, 0xFFFFFFF0u}};
  for (const auto& [plain, packed] : cases) {
    TcpPair pair;
    // The frame is followed by bytes that must not be read as commands.
    EXPECT_EQ(Receive(U32(plain) + U32(packed) + U32(1) + U32(kClientSettingsUpload), &pair),
              std::pair(false, std::string("old")));
    EXPECT_EQ(LastError(), ENOMEM);
    char byte;
    EXPECT_EQ(::recv(pair.b, &byte, 1, 0), 0);  // the daemon's side is shut
  }
}

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
        return std::vector<std::string>{"Id:3 - Mike is remote ip: 10.0.0.5:14567 hash:" + std::string(32, 'c') + "\n"};
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
  EXPECT_EQ(line, "\"Alpha\",10.0.0.1:14567,-- of 32,-,-,??,Stopped,?,Disconnected,??,??,??,??,??,??,??,??,?? / ??,"
                  "Not installed,");
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
  ConnectConsole("\\numplayers\\1\\maxplayers\\64\\gamemode\\openplaying\\gamever\\v1.6\\password\\1\\tk_mode\\punish"
                 "\\content_check\\2\\roundTimeRemain\\-1\\tickets1\\150\\tickets2\\99\\hostport\\14567\\sv_punkbuster"
                 "\\1\\queryid\\1.1\\final\\");
  g_manager.core.punkbuster_installed = true;
  g_manager.links.punkbuster_enabled = true;
  std::string line;
  ASSERT_TRUE(GetServerStatusString(&line));
  EXPECT_EQ(line, "\"Alpha\",127.0.0.1:14567,1 of 64,-,??,??,Running,?,Connected,openplaying,v1.6,Yes,punish,"
                  "Unpure mode,0 / 0 / 0,0 / 0 / 1,Unlimited,150 / 99,Enabled (v1.0 | A1.1),,");
  int asked = PbVersionRequests();
  ASSERT_TRUE(GetServerStatusString(&line));
  EXPECT_EQ(std::pair(asked, PbVersionRequests()), std::pair(1, 1));  // asked once per console connection
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
  EXPECT_EQ(korvtest::ReadFile(dir_ / "playerlist.con"), "\"Mike\",3,axis,5,7,2,50,10.0.0.5," + std::string(32, 'c') + ",[unknown]\n");
  ClearPlayerTable();
  ASSERT_TRUE(WritePlayerListFile(dir_ / "playerlist.con"));
  EXPECT_EQ(korvtest::ReadFile(dir_ / "playerlist.con"), "");
}

}  // namespace
}  // namespace korvtest
