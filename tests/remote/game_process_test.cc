// The daemon with gamesim and a protocol client: replies, settings upload, hostile contents.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <regex>
#include <thread>

#include "remote/dispatch.h"
#include "support/gamesim_client.h"
#include "support/process_harness.h"

using namespace korvtest;
using korvclient::Client;

namespace {

constexpr char kHash[] = "0123456789abcdef0123456789abcdef";

class GameProcessTest : public ::testing::Test {
 protected:
  virtual std::string Extra() { return ""; }
  void SetUp() override {
    run_ = std::make_unique<gamesimtest::DaemonRun>(
        Extra() + "lively 0\nplayer 3 1 5 1 0 50 10.0.0.5:14567 " + kHash + " - Mike\n",
        std::map<std::string, std::string>{{"game.serverName", "\"Test Server\""}},
        "admin,Secret,,4294967295,1\nmod,pw,,128,1\n");
    ASSERT_TRUE(gamesimtest::StartGame(run_->game, &run_->server));
    ASSERT_TRUE(run_->Start({"-messagelog", "-adminlog", "-debug"}));
    ASSERT_TRUE(run_->Connected()) << run_->Log();
  }
  std::string Log() { return run_->LogPath(); }
  std::unique_ptr<Client> LoggedIn(const std::string& user, const std::string& password) {
    return run_->LoggedIn(user, password);
  }
  std::unique_ptr<gamesimtest::DaemonRun> run_;
};

TEST_F(GameProcessTest, RepliesAndASettingsUploadPushedToTheServer) {
  auto admin = LoggedIn("admin", "Secret");
  const std::string port = std::to_string(run_->game.game_port);
  admin->Command(kClientStatusLine);
  auto line = admin->ReadReply();
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind("\"Test Server\",127.0.0.1:" + port + ",", 0), 0u) << *line;
  EXPECT_TRUE(Has(*line, ",Running,?,Connected,")) << *line;
  EXPECT_EQ(line->back(), '\0');
  admin->Command(kClientGameAddress);
  EXPECT_EQ(admin->ReadReply(), port + ",0" + std::string(1, '\0'));
  auto mod = LoggedIn("mod", "pw");
  admin->Command(kClientSettingsDownload);
  auto settings = admin->ReadFrame();
  ASSERT_TRUE(settings);
  admin->Command(kClientSettingsUpload);
  admin->SendFrame(std::regex_replace(*settings, std::regex("game.serverSpawnTime \\d+"),
                                      "game.serverSpawnTime 42"));
  EXPECT_TRUE(mod->WaitNotification(0xBEEF000B));
  EXPECT_TRUE(WaitForText(run_->game.dir / "message.log", "admin.timeToNextWave 42"))
      << ReadFile(run_->game.dir / "message.log");
}

// PunkBuster gets a second to write its settings: the asker waits, others are served.
class PunkBusterProcessTest : public GameProcessTest {
  std::string Extra() override { return "punkbuster 1\n"; }
};

TEST_F(PunkBusterProcessTest, ConfigDownloadWaitsForTheFileWithoutHoldingOthers) {
  ASSERT_TRUE(WaitForText(Log(), "DEBUG: Detected server version"));
  auto admin = LoggedIn("admin", "Secret");
  auto mod = LoggedIn("mod", "pw");
  admin->Command(kClientPbCfgDownload);
  admin->Command(kClientKeepAlive);  // served after the file
  mod->Command(kClientKeepAlive);
  ASSERT_TRUE(mod->WaitNotification(0xBEEF002E));
  pollfd waiting{admin->fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&waiting, 1, 0), 0) << "the file came before the other client was served";
  EXPECT_EQ(admin->ReadFrame(), "pb_sv_enable\npb_sv_kicklen 2\npb_sv_sleep 100\n");
  EXPECT_TRUE(admin->WaitNotification(0xBEEF002E));
}


// Hostile contents in well-formed commands; KORV_FUZZ_SEED and KORV_FUZZ_ROUNDS vary the run.
TEST_F(GameProcessTest, HostileContentsInWellFormedCommandsLeaveTheDaemonServing) {
  const char* seed_text = std::getenv("KORV_FUZZ_SEED");
  const char* rounds_text = std::getenv("KORV_FUZZ_ROUNDS");
  std::mt19937 random(seed_text ? std::atoi(seed_text) : 11);
  int rounds = rounds_text ? std::atoi(rounds_text) : 150;
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const std::vector<std::string> pieces = {
      "game.serverName", "game.serverMaxPlayers", "manager.autoKickPing", "game.serverIP",
      "manager.consolePort", "game.serverGameTime", "game.addLevel", "admin.banPlayerKey",
      "\"", ",", ",,,,", " ", "\t", "\r\n", "\n", "$", "*", "-1", "4294967296",
      "99999999999999999999", "0.29", "%s%n%x", "0123456789abcdef0123456789abcdef",
      std::string(300, 'A'), std::string(5000, 'B'), std::string(1, '\0'), "\xff\xfe"};
  auto garbage = [&](int most) {
    std::string text;
    int length = pick(most + 1);
    bool bytes = pick(2) == 0;
    while (static_cast<int>(text.size()) < length)
      text += bytes ? std::string(1, static_cast<char>(random())) : pieces[pick(pieces.size())];
    return text;
  };
  // Uploads take a frame; accounts, start, stop and disconnect are left out to keep the login.
  const std::vector<std::uint32_t> uploads = {kClientSettingsUpload, kClientPbCfgUpload, kClientRotationUpload, kClientBanListUpload,
                                              kClientScheduleUpload, kClientAnnouncementsUpload, kClientBannedWordsUpload};
  const std::vector<std::uint32_t> left_out = {kClientAccountsUpload, kClientStartServer, kClientStopServer, kClientDisconnectClient,
                                               kClientChangeOwnPassword};
  auto admin = LoggedIn("admin", "Secret");
  int fd = admin->fd();
  std::thread drain([fd] {
    char buffer[65536];
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) continue;
  });
  for (int round = 0; round < rounds; ++round) {
    std::uint32_t code = kClientSettingsDownload + static_cast<std::uint32_t>(pick(0x33));
    if (std::find(left_out.begin(), left_out.end(), code) != left_out.end()) continue;
    bool text = false;
    for (const CommandRow& row : CommandTable()) text = text || (row.code == code && row.text);
    text ? admin->CommandText(code, garbage(300), pick(4) != 0) : admin->Command(code);
    if (std::find(uploads.begin(), uploads.end(), code) == uploads.end()) continue;
    std::string contents;
    for (int line = pick(40); line > 0; --line) contents += garbage(120) + "\n";
    int how = pick(8);  // 0: a checksum that does not match, 1: the abort marker
    if (how < 2)
      admin->Send(how == 1 ? korvclient::U32(0xBEEFBABE)
                           : korvclient::U32(contents.size() + 1) + korvclient::U32(4) +
                                 korvclient::U32(12345) + "abcd");
    else
      admin->SendFrame(contents);
  }
  ::shutdown(fd, SHUT_WR);
  drain.join();
  EXPECT_TRUE(run_->daemon.running());
  auto check = LoggedIn("admin", "Secret");
  EXPECT_TRUE(check->KeepAlive());
  // Last, a hostile account upload; the daemon still answers a handshake.
  check->Command(kClientAccountsUpload);
  std::string accounts;
  for (int line = 0; line < 30; ++line) accounts += garbage(200) + "\n";
  check->SendFrame(accounts);
  check->KeepAlive(false);  // answered once the upload is handled, or the session ends
  EXPECT_TRUE(run_->daemon.running());
  Client late;
  EXPECT_GE(run_->Login(late, "admin", "Secret").result, 0);
}

}  // namespace
