// Peers that stall, trickle, flood the handshake or never read, against the
// real daemon: a logged-in bystander is served while they do, and each limit
// ends only the peer it concerns, with its log line.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>

#include "support/process_harness.h"
#include "support/remote_client.h"

using namespace korvtest;
using korvclient::Client;
using korvclient::U32;

namespace {

class StallProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(korvclient::LoadKey(SourcePath("src/remote/client.key")));
    server_ = dir_ / "server";
    MakeServerDir(server_);
    settings_ = server_ + "/mods/bf1942/settings";
    std::filesystem::create_directories(settings_);
    WriteFile(settings_ + "/useraccess.con", "admin,Secret,,4294967295,1\n");
  }
  void StartDaemon() {
    port_ = FreePort();
    ASSERT_TRUE(korvd_.Start({BuildPath("korvd"), "-path", server_, "-port",
                              std::to_string(port_), "-ip", "127.0.0.1"},
                             dir_.path(), dir_ / "out.txt"));
    ASSERT_TRUE(WaitForText(Log(), "Listening on 127.0.0.1:" + std::to_string(port_)));
  }
  std::string Log() { return server_ + "/korvd.log"; }
  std::unique_ptr<Client> LoggedIn() {
    auto client = std::make_unique<Client>();
    EXPECT_TRUE(client->Connect(port_));
    EXPECT_EQ(client->Login("admin", "Secret").result, 0);
    return client;
  }
  static std::string AddressOf(const Client& client) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(client.fd(), reinterpret_cast<sockaddr*>(&local), &length);
    return "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
  }
  static bool KeepAliveAnswered(Client& client) {
    client.Command(0xBABE0032);
    auto n = client.WaitNotification(0xBEEF002E);
    return n && n->data.empty();
  }

  TempDir dir_;
  std::string server_;
  std::string settings_;
  int port_ = 0;
  Process korvd_;
};

TEST_F(StallProcessTest, SilentAndTricklingPeersWaitOutTheirOwnLimits) {
  StartDaemon();
  auto bystander = LoggedIn();
  Client silent;
  ASSERT_TRUE(silent.Connect(port_));
  silent.Send(std::string(10, 'x'));  // a third of a login block, then nothing
  auto trickler = LoggedIn();
  // A ban list upload whose frame stops after its header and two bytes.
  std::string frame = korvclient::Frame(std::string(5000, 'b'));
  trickler->Send(U32(0xBABE0010) + frame.substr(0, 14));
  // The bystander is served while both are still pending, before either
  // limit has acted.
  EXPECT_TRUE(KeepAliveAnswered(*bystander));
  std::string log = ReadFile(Log());
  EXPECT_EQ(log.find("Connection timed out"), std::string::npos);
  EXPECT_EQ(log.find("updated the banlist."), std::string::npos);

  EXPECT_TRUE(silent.WaitClosed());
  EXPECT_TRUE(trickler->WaitClosed());
  EXPECT_TRUE(WaitForText(Log(), "Couldn't authenticate client! Connection timed out"));
  std::string address = AddressOf(*trickler);
  EXPECT_TRUE(WaitForText(Log(), "Couldn't receive command from client at " + address +
                                     "! Connection timed out"));
  EXPECT_TRUE(WaitForText(Log(), "Client at " + address + " has disconnected."));
  EXPECT_TRUE(KeepAliveAnswered(*bystander));
}

TEST_F(StallProcessTest, AHandshakeFloodAndAPeerThatNeverReads) {
  // A ban list LZO cannot shrink: four unread copies are far beyond the
  // output cap.
  std::string bans(10u << 20, '\0');
  std::mt19937 random(7);
  for (char& c : bans) c = static_cast<char>(random());
  WriteFile(settings_ + "/serverbanlist.con", bans);
  StartDaemon();
  auto bystander = LoggedIn();

  std::vector<std::unique_ptr<Client>> flood;
  for (int i = 0; i < 40; ++i) {
    flood.push_back(std::make_unique<Client>());
    ASSERT_TRUE(flood.back()->Connect(port_));
  }
  // The oldest eight gave way to the newest; the bystander still logs in.
  EXPECT_TRUE(flood[0]->WaitClosed());
  EXPECT_TRUE(flood[7]->WaitClosed());
  EXPECT_TRUE(WaitForText(Log(), "Client at " + AddressOf(*flood[7]) +
                                     " failed to authenticate! Too many clients (32) are in "
                                     "the handshake."));
  auto second = LoggedIn();  // the ninth oldest gives way to it, the tenth stays
  EXPECT_TRUE(KeepAliveAnswered(*second));
  EXPECT_TRUE(flood[8]->WaitClosed());
  EXPECT_EQ(ReadFile(Log()).find(AddressOf(*flood[9])), std::string::npos);

  Client deaf;
  ASSERT_TRUE(deaf.Connect(port_));
  ASSERT_EQ(deaf.Login("admin", "Secret").result, 0);
  for (int i = 0; i < 4; ++i) deaf.Command(0xBABE000F);
  EXPECT_TRUE(WaitForText(Log(), "Client at " + AddressOf(deaf) + " is not reading: "));
  EXPECT_TRUE(WaitForText(Log(), "Client at " + AddressOf(deaf) + " has disconnected."));
  // The others are served, the whole list included, and what the daemon
  // answers after the list arrives after it.
  EXPECT_TRUE(KeepAliveAnswered(*bystander));
  bystander->Command(0xBABE000F);
  bystander->Command(0xBABE0032);
  auto list = bystander->ReadFrame();
  ASSERT_TRUE(list);
  EXPECT_TRUE(*list == bans);
  EXPECT_EQ(bystander->Receive(8), U32(0xBEEF002E) + U32(0));
}

}  // namespace
