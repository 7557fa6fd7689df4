// The real daemon over loopback with a protocol client: logins, limits, refusals, transfers; with
// gamesim: replies, settings upload, hostile contents.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <thread>

#include "remote/dispatch.h"
#include "support/gamesim_client.h"
#include "support/korvane_con.h"
#include "support/process_harness.h"

using namespace korvtest;
using korvclient::Client;
using namespace std::string_literals;

namespace {

constexpr std::uint32_t kKeepAlive = kClientKeepAlive;

class RemoteProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeServerDir(run_.dir());
    WriteFile(Settings("useraccess.con"),  // maps: M only, users: U only, multi: C and bit 14
              "admin,Secret,,4294967295,1\nmaps,pw,,64,1\nusers,pw,,512,1\noff,pw,,1,0\n"
              "zero,pw,,0,1\nmulti,pw,,18432,1\ngroup0,pw,,1,1\nstarter,pw,,4096,1\n");
  }
  void StartDaemon() { ASSERT_TRUE(run_.Start()); }
  std::string Settings(const std::string& name) { return run_.Settings(name); }
  std::string Log() { return run_.LogPath(); }
  bool Logged(const std::string& text) { return WaitForText(Log(), text); }
  // The line of a refused login, with "SECURITY ALERT! " before it when `alert`.
  bool Refused(const Client& c, const std::string& reason, bool alert = false) {
    return Logged((alert ? "SECURITY ALERT! Client at " : "Client at ") + c.Address() +
                  " failed to authenticate! " + reason);
  }
  std::unique_ptr<Client> LoggedIn(const std::string& user, const std::string& password) { return run_.LoggedIn(user, password); }
  gamesimtest::DaemonRun run_;
};

TEST_F(RemoteProcessTest, LoginResultsAndTheirLogLines) {
  StartDaemon();
  const std::tuple<const char*, const char*, int, const char*> cases[] = {
      {"nobody", "pw", 1, "Bad username (nobody)."},
      {"admin", "typo", 2, "Bad password (********) for user account (admin)."},
      {"off", "pw", 3, "User account (off) is inactive."},
      {"zero", "pw", 4, nullptr}};
  for (const auto& [user, password, result, reason] : cases) {
    Client client;
    korvclient::LoginReply reply = run_.Login(client, user, password);
    EXPECT_EQ(std::tie(reply.result, reply.closed_after), std::make_tuple(result, true)) << user;
    EXPECT_TRUE(reason == nullptr || Refused(client, reason, true)) << user;
  }
  EXPECT_FALSE(Has(ReadFile(Log()), "typo") || Has(ReadFile(Log()), "zero"));

  auto admin = std::make_unique<Client>();
  korvclient::LoginReply reply = run_.Login(*admin, "ADMIN", "secret");
  EXPECT_EQ(std::tie(reply.result, reply.access, reply.version, reply.running),
            std::make_tuple(0, 0xFFFFFFFFu, 0x20, 0));
  // The session carries the account's spelling: changing its own password finds the account.
  EXPECT_TRUE(Logged("Client at " + admin->Address() +
                     " connected as user admin with access -- admin --."));
  EXPECT_TRUE(admin->KeepAlive());
  admin->CommandText(kClientChangeOwnPassword, "Changed");
  EXPECT_EQ(admin->ReadNotification()->code, 0xBEEF0014u);
  Client changed;
  EXPECT_EQ(run_.Login(changed, "admin", "changed").result, 0);

  auto maps = LoggedIn("maps", "pw");
  Client again;
  EXPECT_EQ(run_.Login(again, "Maps", "PW").result, 6);  // no bit 14
  EXPECT_TRUE(Logged("with access sgfiatMpbuhc."));
  std::string address = maps->Address();
  maps.reset();
  EXPECT_TRUE(Logged("Client at " + address + " has disconnected."));
  auto back = LoggedIn("maps", "pw");

  // A different protocol version is refused after the mask and version.
  Client old;
  reply = run_.Login(old, "users", "pw", 0x21);
  EXPECT_EQ(std::tie(reply.access, reply.version, reply.closed_after),
            std::make_tuple(0x200u, 0x20, true));
  EXPECT_TRUE(Refused(old, "Client is using a different protocol version."));
  EXPECT_FALSE(Has(ReadFile(Log()), "Couldn't authenticate client!"));

  // The file is read at every login: without accounts nobody gets in.
  WriteFile(Settings("useraccess.con"), "");
  Client late;
  EXPECT_EQ(run_.Login(late, "admin", "Changed").result, 5);
  EXPECT_TRUE(Refused(late, "No remote access is permitted.", true));
}

TEST_F(RemoteProcessTest, SeventeenthClientIsRefusedAndSlotsAreReused) {
  StartDaemon();
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 16; ++i) clients.push_back(LoggedIn("multi", "pw"));
  Client extra;
  EXPECT_EQ(run_.Login(extra, "admin", "Secret").result, 7);
  EXPECT_TRUE(Refused(extra, "Maximum number of connected clients (16) has been reached."));
  EXPECT_TRUE(clients[15]->KeepAlive());
  EXPECT_TRUE(clients[0]->KeepAlive());

  clients[0]->CommandText(kClientDisconnectClient, "2");
  EXPECT_EQ(clients[1]->Receive(8), korvclient::Notice(3));
  EXPECT_TRUE(clients[1]->WaitClosed());
  EXPECT_TRUE(Logged("User multi at " + clients[0]->Address() + " disconnected client multi at " +
                     clients[1]->Address() + "."));
  auto replacement = LoggedIn("admin", "Secret");

  // Slots in order; a client without a command yet shows "*", the others ctime and an empty line.
  replacement->Command(kClientClientListDownload);
  auto list = replacement->ReadFrame();
  ASSERT_TRUE(list);
  EXPECT_EQ(list->rfind("\"multi\",1," + clients[0]->Address() + ",Connected,", 0), 0u);
  EXPECT_TRUE(std::regex_search(*list, std::regex("^[^\n]*Connected,[A-Z][a-z]{2} [A-Z][a-z]{2} .*\n\n")))
      << *list;
  for (const std::string& row : {"\"admin\",2," + replacement->Address() + ",Connected,*\n",
                                 "\"multi\",3," + clients[2]->Address() + ",Connected,*\n"})
    EXPECT_TRUE(Has(*list, row)) << row;
}

TEST_F(RemoteProcessTest, RefusalsBogusCodesAndHostileBytesCostOnlyTheirSession) {
  StartDaemon();
  // An overlong text is dropped and the stream stays in step.
  auto admin = LoggedIn("admin", "Secret");
  admin->CommandText(kClientRawConsoleCommand, std::string(5000, 'a'));
  EXPECT_TRUE(admin->KeepAlive(false));
  EXPECT_FALSE(Has(ReadFile(Log()), "Received bogus command"));
  WriteFile(Settings("maps.con"), "bf1942,berlin,1\n");
  auto maps = LoggedIn("maps", "pw");
  std::string address = maps->Address();
  for (const auto& [code, line] : std::vector<std::pair<std::uint32_t, std::string>>{
           {kClientPlayerListDownload, "SECURITY ALERT! Client at " + address +
                            " does not have access to command BABE000C!"},
           {(kClientLast + 1), "Received bogus command BABE0035 from client at " + address + "!"},
           {0xBABDFFFF, "Received bogus command BABDFFFF from client at " + address + "!"},
           {kClientVerifyBanLists, "does not have access to command BABE0029!"}}) {
    maps->Command(code);
    EXPECT_TRUE(Logged(line)) << line;
  }
  EXPECT_TRUE(maps->KeepAlive());
  maps->Command(kClientRotationDownload);  // the map rotation, an empty file
  EXPECT_EQ(maps->ReadFrame(), "");
  // A burst is served in turns with no further bytes to wake the loop, all in order.
  std::string burst, answers;
  for (int i = 0; i < 300; ++i) {
    burst += korvclient::U32(kKeepAlive);
    answers += korvclient::U32(0xBEEF002E) + korvclient::U32(0);
  }
  ASSERT_TRUE(maps->Send(burst));
  EXPECT_EQ(maps->Receive(answers.size()), answers);
  // Random bytes (mostly valid-looking codes) cost only their own session.
  std::mt19937 random(7);
  for (int round = 0; round < 3; ++round) {
    auto noisy = LoggedIn("multi", "pw");
    std::string garbage;
    for (int i = 0; i < 3000; ++i)
      garbage += (i % 4 == 3 && random() % 2) ? '\xBA' : static_cast<char>(random() % 256);
    noisy->Send(garbage);
  }
  admin->Send(korvclient::U32(kClientRawConsoleCommand) + korvclient::U32(0x7FFFFFFF));
  EXPECT_TRUE(admin->WaitClosed());
  EXPECT_TRUE(Logged("The text of 2147483647 bytes is too long."));
  EXPECT_TRUE(maps->KeepAlive());
  EXPECT_TRUE(run_.daemon.running());
}

TEST_F(RemoteProcessTest, AccountUploadNotifiesOthersAndPasswordChange) {
  StartDaemon();
  auto users = LoggedIn("users", "pw");
  auto admin = LoggedIn("admin", "Secret");
  users->Command(kClientAccountsDownload);
  auto listing = users->ReadFrame();
  ASSERT_TRUE(listing);  // what it holds is the export's, shown in the account tests
  users->Command(kClientAccountsUpload);
  users->SendFrame(*listing + "helper,pw,,512,1\nboss,pw,,4294967295,1\n");
  auto note = admin->WaitNotification(0xBEEF000E);
  EXPECT_TRUE(note && note->data.empty());
  EXPECT_TRUE(Logged("User users at " + users->Address() + " updated the user list."));
  EXPECT_FALSE(std::filesystem::exists(run_.dir() + "/useraccess.con"));
  Client helper;
  EXPECT_EQ(run_.Login(helper, "helper", "pw").result, 0);

  // Changing one's own password tells the issuer and then everyone.
  admin->CommandText(kClientChangeOwnPassword, "NewSecret");
  ASSERT_TRUE(admin->WaitNotification(0xBEEF0014));
  EXPECT_TRUE(users->WaitNotification(0xBEEF000E));
  Client relog;
  EXPECT_EQ(run_.Login(relog, "admin", "newsecret").result, 0);

  run_.daemon.Signal(SIGHUP);
  EXPECT_TRUE(users->WaitNotification(0xBEEF000E));
}

TEST_F(RemoteProcessTest, SettingsUploadByAGroupZeroUserChangesOnlyGroupZero) {
  StartDaemon();
  // The settings travel through memory: nothing is written in the server directory.
  std::filesystem::create_directory(run_.dir() + "/korvane.con");
  auto admin = LoggedIn("admin", "Secret");
  auto group0 = LoggedIn("group0", "pw");
  admin->Command(kClientSettingsDownload);
  auto all = admin->ReadFrame();
  group0->Command(kClientSettingsDownload);
  auto own = group0->ReadFrame();
  ASSERT_TRUE(all && own);
  EXPECT_NE(own->find("game.serverName "), std::string::npos);
  EXPECT_EQ(own->find("game.serverName "), all->find("game.serverName "));
  EXPECT_LT(own->size(), all->size());
  // A group-0 text, a group-0 start-only setting (needs bit 15) and another group's setting.
  std::string upload = *all;
  for (const auto& [from, to] : {std::pair{"game.serverName \"\"", "game.serverName \"Renamed\""},
                                 {"game.serverSpawnTime 15", "game.serverSpawnTime 20"},
                                 {"game.serverMaxPlayers 32", "game.serverMaxPlayers 40"}})
    upload = std::regex_replace(upload, std::regex(from), to);
  group0->Command(kClientSettingsUpload);
  group0->SendFrame(upload);
  EXPECT_EQ(admin->Receive(8), korvclient::Notice(0x0B));
  EXPECT_TRUE(group0->KeepAlive());  // the uploader is not told
  std::string stored = ReadFile(Settings("korvane.con"));
  for (const char* line : {"game.serverName \"Renamed\"\n", "game.serverSpawnTime 15\n",
                           "game.serverMaxPlayers 32\n"})
    EXPECT_TRUE(Has(stored, line));
  EXPECT_TRUE(std::filesystem::is_empty(run_.dir() + "/korvane.con"));
  // The log arrives whole while short, then as its last 32768 bytes.
  admin->Command(kClientLogDownload);
  auto whole = admin->ReadFrame();
  EXPECT_EQ(whole, ReadFile(Log()));
  std::string log = ReadFile(Log());
  while (log.size() < 80000) log += "filler line " + std::to_string(log.size()) + "\r\n";
  WriteFile(Log(), log);
  admin->Command(kClientLogDownload);
  auto excerpt = admin->ReadFrame();
  log = ReadFile(Log());
  EXPECT_EQ(excerpt, log.substr(log.size() - 32768));
}

TEST_F(RemoteProcessTest, StartAndStopWithTheirNotifications) {
  WriteFile(Settings("korvane.con"), KorvaneCon({{"game.serverName", "\"Test Server\""}, {"game.serverIP", "127.0.0.1"},
                                                  {"manager.consoleUsername", "\"admin\""},
                                                  {"manager.consolePassword", "\"secret\""}}));
  WriteFile(Settings("servermaplist.con"), "game.addLevel berlin ctf\n");
  StartDaemon();
  auto watcher = LoggedIn("maps", "pw");
  auto starter = LoggedIn("starter", "pw");
  std::string by = "User starter at " + starter->Address();
  starter->Command(kClientStartServer);
  EXPECT_EQ(watcher->Receive(8), korvclient::Notice(4)) << ReadFile(Log());
  EXPECT_TRUE(Logged(by + " started the server."));
  starter->Command(kClientStartServer);
  EXPECT_EQ(watcher->Receive(8), korvclient::Notice(9));
  EXPECT_TRUE(Logged(by + " tried to start the server but it is already running."));
  Client late;
  EXPECT_EQ(run_.Login(late, "admin", "Secret").running, 1);

  starter->Command(kClientStopServer);
  ASSERT_TRUE(watcher->WaitNotification(0xBEEF0005));
  EXPECT_TRUE(Logged(by + " stopped the server."));
  starter->Command(kClientStopServer);
  EXPECT_TRUE(watcher->WaitNotification(0xBEEF000A));
  EXPECT_TRUE(Logged(by + " tried to stop the server but it is already stopped."));
  watcher->Command(kClientStartServer);
  EXPECT_TRUE(Logged("does not have access to command BABE001A!"));
}

// Each peer limit ends only its peer, with its log line; a bystander is served meanwhile.
TEST_F(RemoteProcessTest, SilentAndTricklingPeersWaitOutTheirOwnLimits) {
  StartDaemon();
  auto bystander = LoggedIn("admin", "Secret");
  Client silent;
  ASSERT_TRUE(silent.Connect(run_.port));
  silent.Send(std::string(10, 'x'));  // a third of a login block, then nothing
  auto trickler = LoggedIn("admin", "Secret");
  // A ban list upload whose frame stops after its header and two bytes.
  std::string frame = korvclient::Frame(std::string(5000, 'b'));
  trickler->Send(korvclient::U32(kClientBanListUpload) + frame.substr(0, 14));
  // The bystander is served before either limit has acted.
  EXPECT_TRUE(bystander->KeepAlive(false));
  EXPECT_FALSE(Has(ReadFile(Log()), "Connection timed out") || Has(ReadFile(Log()), "updated the banlist."));

  EXPECT_TRUE(silent.WaitClosed() && trickler->WaitClosed());
  std::string address = trickler->Address();
  for (const std::string& line : {"Couldn't authenticate client! Connection timed out"s,
                                  "Couldn't receive command from client at " + address + "! Connection timed out",
                                  "Client at " + address + " has disconnected."})
    EXPECT_TRUE(Logged(line)) << line;
  EXPECT_TRUE(bystander->KeepAlive(false));
}

TEST_F(RemoteProcessTest, ASlowButSteadyUploadIsNeverCutOff) {
  WriteFile(Settings("korvd.conf"), "[remote]\nstall_seconds = 3\n");
  StartDaemon();
  auto admin = LoggedIn("admin", "Secret");
  std::string bans;
  for (int i = 0; bans.size() < 40000; ++i) bans += "\"Player " + std::to_string(i * 7919) + "\"\n";
  const std::string upload = korvclient::U32(kClientBanListUpload) + korvclient::Frame(bans);
  const std::size_t piece = upload.size() / 16 + 1;  // four seconds at four pieces a second
  for (std::size_t at = 0; at < upload.size(); at += piece) {
    ASSERT_TRUE(admin->Send(upload.substr(at, piece)));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  EXPECT_TRUE(Logged("updated the banlist."));
  EXPECT_EQ(ReadFile(Settings("serverbanlist.con")), bans);
  EXPECT_FALSE(Has(ReadFile(Log()), "timed out") || Has(ReadFile(Log()), "WARNING: korvd.conf"));
}

TEST_F(RemoteProcessTest, GuessesFromOneAddressAreSlowedAndSummarised) {
  StartDaemon();
  auto bystander = LoggedIn("admin", "Secret");
  auto guess = [this](Client& c) {
    return c.Connect(run_.port, 30, "127.0.0.9") && c.Send(korvclient::Block("admin") + korvclient::Block("guess"));
  };
  for (int i = 0; i < 5; ++i) {  // the fifth waits a second
    Client c;
    ASSERT_TRUE(guess(c));
    EXPECT_EQ(c.Receive(1), std::string(1, '\2')) << i;
  }
  Client slowed;  // waits two seconds
  ASSERT_TRUE(guess(slowed));
  EXPECT_TRUE(bystander->KeepAlive(false));
  Client other;
  EXPECT_EQ(run_.Login(other, "admin", "Secret").result, 0);
  pollfd answer{slowed.fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&answer, 1, 0), 0);
  EXPECT_EQ(slowed.Receive(1), std::string(1, '\2'));
  EXPECT_EQ(Count(ReadFile(Log()), "Bad password (********) for user account (admin)."), 3);
  EXPECT_TRUE(Logged("SECURITY ALERT! 1 more failed login(s) from clients at 127.0.0.9 in 1 second(s) "
                     "(0 connection(s) dropped)! Their logins are slowed down."));
  std::vector<std::unique_ptr<Client>> unfinished;
  for (int i = 0; i < 9; ++i) {
    unfinished.push_back(std::make_unique<Client>());
    ASSERT_TRUE(unfinished.back()->Connect(run_.port, 10, "127.0.0.11"));
  }
  EXPECT_TRUE(unfinished[0]->WaitClosed());
  EXPECT_TRUE(Logged("SECURITY ALERT! 0 more failed login(s) from clients at 127.0.0.11 in 1 "
                     "second(s) (1 connection(s) dropped)!"));
}

TEST_F(RemoteProcessTest, AHandshakeFloodAndAPeerThatNeverReads) {
  // A ban list LZO cannot shrink: four unread copies are far beyond the output cap.
  std::string bans(10u << 20, '\0');
  std::mt19937 random(7);
  for (char& c : bans) c = static_cast<char>(random());
  WriteFile(Settings("serverbanlist.con"), bans);
  StartDaemon();
  auto bystander = LoggedIn("admin", "Secret");

  std::vector<std::unique_ptr<Client>> flood;  // eight from each of five addresses
  for (int i = 0; i < 40; ++i) {
    flood.push_back(std::make_unique<Client>());
    ASSERT_TRUE(flood.back()->Connect(run_.port, 10, ("127.0.0." + std::to_string(2 + i % 5)).c_str()));
    // One at a time: a full listen queue would make the oldest time out of the handshake.
    ASSERT_TRUE(WaitForAccepts(run_.port));
  }
  // The oldest eight gave way to the newest; the bystander still logs in.
  EXPECT_TRUE(flood[0]->WaitClosed() && flood[7]->WaitClosed());
  EXPECT_TRUE(Refused(*flood[7], "Too many clients (32) are in the handshake."));
  auto second = LoggedIn("admin", "Secret");  // the ninth oldest gives way to it, the tenth stays
  EXPECT_TRUE(second->KeepAlive(false));
  EXPECT_TRUE(flood[8]->WaitClosed());
  EXPECT_FALSE(Has(ReadFile(Log()), flood[9]->Address()));

  Client deaf;
  ASSERT_EQ(run_.Login(deaf, "admin", "Secret").result, 0);
  for (int i = 0; i < 4; ++i) deaf.Command(kClientBanListDownload);
  EXPECT_TRUE(Logged("Client at " + deaf.Address() + " is not reading: ") &&
              Logged("Client at " + deaf.Address() + " has disconnected."));
  // The others are served, the whole list included, and later answers follow it.
  EXPECT_TRUE(bystander->KeepAlive(false));
  bystander->Command(kClientBanListDownload);
  bystander->Command(kClientKeepAlive);
  EXPECT_TRUE(bystander->ReadFrame() == bans);
  EXPECT_EQ(bystander->Receive(8), korvclient::U32(0xBEEF002E) + korvclient::U32(0));
}

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
  std::unique_ptr<Client> LoggedIn(const std::string& user, const std::string& password) { return run_->LoggedIn(user, password); }
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
  admin->SendFrame(std::regex_replace(*settings, std::regex("game.serverSpawnTime \\d+"), "game.serverSpawnTime 42"));
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
                           : korvclient::U32(contents.size() + 1) + korvclient::U32(4) + korvclient::U32(12345) + "abcd");
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
