// Process-level tests of gamesim, the stand-in game server: the console's
// login and packets byte for byte, its commands and files, the status port,
// the scenario's faults and the process shape the daemon relies on.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "support/console_keys.h"
#include "support/gamesim_client.h"
#include "support/process_harness.h"

namespace {

using namespace std::chrono_literals;
using gamesimtest::ConsoleClient;
using gamesimtest::GameDir;
using gamesimtest::Packet;
using gamesimtest::StatusQuery;
using gamesimtest::StatusValue;
using gamesimtest::U32;
using korvtest::ReadFile;
using Strings = std::vector<std::string>;

constexpr char kGuid[] = "0123456789abcdef0123456789abcdef";
const std::string kPlayers =
    "player 3 1 10 5 2 80 10.0.0.5:23000 0123 " + std::string(kGuid) + " Mike\n"
    "player 4 2 -2 0 3 120 10.0.0.6:23001 - - Bob the Great\n"
    "bot 5 1 0 0 0 Bot Alpha\n";

class GamesimTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenario, const std::string& extra_settings = "") {
    gamesimtest::LayOut(&game_, scenario, extra_settings);
    ASSERT_TRUE(gamesimtest::StartGame(game_, &process_)) << ReadFile(game_.out());
  }
  void LogIn(ConsoleClient* client) {
    ASSERT_TRUE(client->Connect(game_.console_port));
    ASSERT_EQ(client->Login("UserName", "Sesamine"), 1);
  }
  std::string Report(const std::string& query = std::string("\\status\\") + '\0') {
    std::string report;
    for (const std::string& d : StatusQuery(game_.status_port, query)) report += d;
    return report;
  }
  // Waits until a changed scenario shows in the status report.
  bool WaitForStatus(const std::string& key, const std::string& value) {
    for (int i = 0; i < 50; ++i) {
      if (StatusValue(Report(), key) == value) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  std::string SettingsFile(const std::string& name) { return ReadFile(game_.settings() + "/" + name); }

  GameDir game_;
  korvtest::Process process_;
};

TEST_F(GamesimTest, LoginIsScrambledWithTheTenByteKey) {
  Start(kPlayers);
  ConsoleClient client;
  ASSERT_TRUE(client.Connect(game_.console_port));
  std::optional<std::string> key = client.ReadBytes(10);
  ASSERT_TRUE(key);
  // A two-letter user name travels as length 3, the letters XOR k0 and k1, then 0.
  std::string user = U32(9);
  for (int i = 0; i < 8; ++i) user.push_back(static_cast<char>("UserName"[i] ^ (*key)[i]));
  user.push_back('\0');
  ASSERT_TRUE(client.SendRaw(user + gamesimtest::LoginField("Sesamine", *key)));
  EXPECT_EQ(client.ReadBytes(1), std::string(1, '\1'));

  // The unscrambled name is refused with one zero byte, then the link closes.
  ConsoleClient plain;
  ASSERT_TRUE(plain.Connect(game_.console_port));
  ASSERT_TRUE(plain.ReadBytes(10));
  ASSERT_TRUE(plain.SendRaw(U32(9) + std::string("UserName") + '\0' + U32(9) + "Sesamine" + '\0'));
  EXPECT_EQ(plain.ReadBytes(1), std::string(1, '\0'));
  EXPECT_TRUE(plain.Closed());

  ConsoleClient wrong;
  ASSERT_TRUE(wrong.Connect(game_.console_port));
  EXPECT_EQ(wrong.Login("UserName", "sesamine"), 0);
}

TEST_F(GamesimTest, MultiLineCommandsAnswerInOnePacketWithChatMixedIn) {
  Start(kPlayers + "chat Mike: hello there\nevent Round started\n");
  ConsoleClient client;
  LogIn(&client);
  // a, an empty line and b: the console answers all of them in one packet.
  ASSERT_TRUE(client.SendRaw(Packet({"ConsoleMessage 0", "game.listPlayers", "", "admin.timeLimit", "\r"})));
  std::optional<std::string> count = client.ReadBytes(4);
  ASSERT_EQ(count, U32(6));
  std::optional<std::string> first = client.ReadBytes(4 + 30);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, U32(30) + std::string("##-- Global Mike: hello there") + '\0');
  std::optional<Strings> rest;
  Strings tail;
  for (int i = 0; i < 5; ++i) {
    std::optional<std::string> length = client.ReadBytes(4);
    ASSERT_TRUE(length);
    std::uint32_t l = static_cast<unsigned char>((*length)[0]);
    std::optional<std::string> bytes = client.ReadBytes(l);
    ASSERT_TRUE(bytes);
    tail.push_back(bytes->substr(0, l - 1));
  }
  EXPECT_EQ(tail, (Strings{"##-- Event Round started", "Id:3 - Mike is remote ip: 10.0.0.5:23000 hash:0123",
                           "Id:4 - Bob the Great is remote ip: 10.0.0.6:23001",
                           "Id:5 - Bot Alpha is an AI bot", "1200"}));
  // Chat goes out once; a command without output answers an empty packet.
  ASSERT_TRUE(client.SendRaw(Packet({"ConsoleMessage 0", "admin.scoreLimit 50", "\r"})));
  EXPECT_EQ(client.ReadBytes(4), U32(0));
  EXPECT_EQ(client.Command({"admin.scoreLimit"}), (Strings{"50"}));
  EXPECT_EQ(client.Command({"no.suchCommand"}), (Strings{"Unknown command: no.suchCommand"}));
}

TEST_F(GamesimTest, SettingsKeysAnswerOneLineEachFromTheFilesAndLiveChanges) {
  Start(kPlayers);
  ConsoleClient client;
  LogIn(&client);
  const Strings& keys = korvtest::kReadBackKeys;
  std::optional<Strings> answer = client.Command(keys);
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->size(), keys.size());
  // serversettings.con gives minutes and percentages, the console seconds and fractions;
  // serverautoexec.con lines win over both.
  EXPECT_EQ((*answer)[0], "0");
  EXPECT_EQ((*answer)[1], "CTLanT1");
  EXPECT_EQ((*answer)[2], "1200");
  EXPECT_EQ((*answer)[3], "40");
  EXPECT_EQ((*answer)[7], "0.50");
  EXPECT_EQ((*answer)[8], "1.00");
  EXPECT_EQ((*answer)[22], "0.75");
  // A pushed change (the daemon sends fractions with one decimal) is remembered.
  ASSERT_TRUE(client.Command({"admin.vehicleFFRatio 0.5", "admin.timeLimit 600"}));
  EXPECT_EQ(client.Command({"admin.vehicleFFRatio", "admin.timeLimit"}), (Strings{"0.5", "600"}));
  EXPECT_EQ(StatusValue(Report(), "roundTime"), "600");
  EXPECT_EQ(StatusValue(Report(), "Ticket Ratio"), "100");
}

TEST_F(GamesimTest, PunkBusterOutputComesWithTheNextKeyRequest) {
  Start(kPlayers + "punkbuster 1\n");
  ConsoleClient client;
  LogIn(&client);
  EXPECT_EQ(client.Command({"pb_sv_plist"}), Strings{});
  std::optional<Strings> output = client.RunKey();
  ASSERT_TRUE(output);
  ASSERT_EQ(output->size(), 4u);
  EXPECT_EQ((*output)[0], ">");
  // The GUID starts five characters after the first colon and ends before '('.
  const std::string& line = (*output)[2];
  EXPECT_EQ(line.substr(line.find(':') + 5, 32), kGuid);
  EXPECT_EQ(line.substr(line.find(':') + 5 + 32, 1), "(");
  EXPECT_EQ(line.substr(line.find(" (W) ") + 5), "Mike");
  EXPECT_EQ(client.RunKey(), (Strings{">"}));
  EXPECT_EQ(client.Command({"pb_sv_ver"}), Strings{});
  output = client.RunKey();
  ASSERT_TRUE(output && output->size() == 2);
  EXPECT_NE((*output)[1].find('('), std::string::npos);
  EXPECT_NE((*output)[1].find(')'), std::string::npos);
  // PunkBuster kicks count slots from 1: slot 4 is player 3.
  ASSERT_TRUE(client.Command({"pb_sv_kick 4 1 testing"}));
  EXPECT_EQ(gamesimtest::OutputOnly(*client.Command({"game.listPlayers"})).size(), 2u);
  ASSERT_TRUE(client.Command({"pb_sv_banguid " + std::string(kGuid)}));
  EXPECT_NE(ReadFile(game_.dir / "pb/pbbans.dat").find(std::string(" ") + kGuid + " \"\" \"\" \r\n\r\n"),
            std::string::npos);
  ASSERT_TRUE(client.Command({"pb_sv_unbanguid " + std::string(kGuid)}));
  EXPECT_EQ(ReadFile(game_.dir / "pb/pbbans.dat"), "");
}

TEST_F(GamesimTest, BansChangeThePlayersAndTheBanFile) {
  Start(kPlayers);
  ConsoleClient client;
  LogIn(&client);
  const std::string old_ban = "admin.addKeyToBanList 99999999999999999999999999999999 Perm\n";
  ASSERT_TRUE(client.Command({"admin.banPlayer 3"}));
  EXPECT_EQ(SettingsFile("banlist.con"), "admin.addAddressToBanList 10.0.0.5:0 Perm\n" + old_ban);
  EXPECT_EQ(gamesimtest::OutputOnly(*client.Command({"game.listPlayers"})).size(), 2u);
  EXPECT_EQ(StatusValue(Report(), "numplayers"), "2");
  // A banned player cannot come back when the scenario is read again.
  game_.WriteScenario(kPlayers + "mode openplaying\n");
  ASSERT_TRUE(WaitForStatus("gamemode", "openplaying"));
  EXPECT_EQ(StatusValue(Report(), "numplayers"), "2");

  ASSERT_TRUE(client.Command({"admin.addAddressToBanList 10.0.0.51", "admin.addKeyToBanList abcd"}));
  ASSERT_TRUE(client.Command({"admin.removeAddressFromBanList 10.0.0.5"}));
  EXPECT_EQ(SettingsFile("banlist.con"),
            "admin.addAddressToBanList 10.0.0.51:0 Perm\n" + old_ban + "admin.addKeyToBanList abcd Perm\n");
  ASSERT_TRUE(client.Command({"admin.removeKeyFromBanList abcd", "admin.clearBanList"}));
  EXPECT_EQ(SettingsFile("banlist.con"), "");
  std::optional<Strings> kicked = client.Command({"admin.kickPlayer 4", "admin.kickPlayer 42"});
  ASSERT_TRUE(kicked);
  EXPECT_EQ(gamesimtest::OutputOnly(*kicked), (Strings{"No player with id 42"}));
  EXPECT_EQ(client.Command({"admin.scoreLimit"}), (Strings{"##-- Event Bob the Great was kicked", "40"}));
}

TEST_F(GamesimTest, MapsFollowTheRotationAndPauseToggles) {
  Start(kPlayers);
  ConsoleClient client;
  LogIn(&client);
  std::string report = Report();
  EXPECT_EQ(StatusValue(report, "mapname"), "Berlin");
  EXPECT_EQ(StatusValue(report, "gametype"), "conquest");
  ASSERT_TRUE(client.Command({"admin.runNextLevel"}));
  report = Report();
  EXPECT_EQ(StatusValue(report, "mapname"), "El Alamein");
  EXPECT_EQ(StatusValue(report, "gametype"), "ctf");
  ASSERT_TRUE(client.Command({"admin.setNextLevel battle_of_britain GPM_OBJECTIVEMODE xpack1", "admin.runNextLevel"}));
  report = Report();
  EXPECT_EQ(StatusValue(report, "mapname"), "Battle Of Britain");
  EXPECT_EQ(StatusValue(report, "gametype"), "objectivemode");
  EXPECT_EQ(StatusValue(report, "gameId"), "xpack1");
  ASSERT_TRUE(client.Command({"admin.changeMap wake GPM_TDM bf1942"}));
  EXPECT_EQ(StatusValue(Report(), "gametype"), "tdm");
  ASSERT_TRUE(client.Command({"admin.toggleGamePause"}));
  EXPECT_EQ(StatusValue(Report(), "gamemode"), "pause");
  ASSERT_TRUE(client.Command({"admin.toggleGamePause"}));
  EXPECT_EQ(StatusValue(Report(), "gamemode"), "openplaying");
}

TEST_F(GamesimTest, StatusRepliesCarryEveryKeyInNumberedSegments) {
  Start(kPlayers + "segment-size 200\n");
  std::vector<std::string> datagrams = StatusQuery(game_.status_port, std::string("\\status\\") + '\0');
  ASSERT_GE(datagrams.size(), 3u);
  std::string report;
  std::string query_number;
  for (std::size_t i = 0; i < datagrams.size(); ++i) {
    std::optional<std::string> id = StatusValue(datagrams[i], "queryid");
    ASSERT_TRUE(id);
    if (i == 0) query_number = id->substr(0, id->find('.'));
    EXPECT_EQ(*id, query_number + "." + std::to_string(i + 1));
    bool last = i + 1 == datagrams.size();
    EXPECT_EQ(datagrams[i].ends_with("\\final\\"), last);
    report += datagrams[i];
  }
  for (const char* key : {"hostport", "hostname", "numplayers", "maxplayers", "mapname", "gameId", "gametype",
                          "gamemode", "gamever", "version", "password", "tk_mode", "content_check",
                          "sv_punkbuster", "number_of_rounds", "roundTime", "roundTimeRemain", "teamname_0",
                          "teamname_1", "tickets1", "tickets2", "Number Of Rounds", "Ticket Ratio"}) {
    EXPECT_TRUE(StatusValue(report, key)) << key;
  }
  EXPECT_EQ(StatusValue(report, "hostport"), std::to_string(game_.game_port));
  EXPECT_EQ(StatusValue(report, "numplayers"), "3");
  EXPECT_EQ(StatusValue(report, "playername_1"), "Bob the Great");
  EXPECT_EQ(StatusValue(report, "team_1"), "2");
  EXPECT_EQ(StatusValue(report, "score_1"), "-2");
  EXPECT_EQ(StatusValue(report, "ping_0"), "80");
  EXPECT_EQ(StatusValue(report, "playername_2"), "Bot Alpha");
  // \info\ without its NUL answers the server keys without the players.
  std::string info = Report("\\info\\");
  EXPECT_EQ(StatusValue(info, "hostport"), std::to_string(game_.game_port));
  EXPECT_FALSE(StatusValue(info, "playername_0"));
  EXPECT_TRUE(StatusQuery(game_.status_port, "\\nonsense\\", 300).empty());
}

TEST_F(GamesimTest, InternetServerAnswersOnTheGameSpyPort) {
  GameDir& g = game_;
  int internet_port = korvtest::FreePort(true);
  Start(kPlayers, "game.serverInternet 1\ngame.gameSpyPort " + std::to_string(internet_port) + "\n");
  EXPECT_TRUE(StatusQuery(g.status_port, "\\info\\", 300).empty());
  std::vector<std::string> reply = StatusQuery(internet_port, "\\info\\");
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(StatusValue(reply[0], "hostport"), std::to_string(g.game_port));
}

TEST_F(GamesimTest, StatusFaultsReorderOrDropTheFinalSegment) {
  Start(kPlayers + "segment-size 200\nstatus-out-of-order\n");
  std::vector<std::string> reply = StatusQuery(game_.status_port, "\\status\\");
  ASSERT_GE(reply.size(), 2u);
  EXPECT_NE(StatusValue(reply[0], "queryid")->substr(StatusValue(reply[0], "queryid")->find('.')), ".1");
  game_.WriteScenario(kPlayers + "status-no-final\nmode end\n");
  for (int i = 0; i < 50 && StatusValue(Report(), "gamemode") != "end"; ++i) std::this_thread::sleep_for(50ms);
  reply = StatusQuery(game_.status_port, "\\status\\");
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(reply[0].find("\\final\\"), std::string::npos);
  EXPECT_EQ(StatusValue(reply[0], "gamemode"), "end");
  game_.WriteScenario(kPlayers + "silent-status\n");
  for (int i = 0; i < 50 && !StatusQuery(game_.status_port, "\\info\\", 300).empty(); ++i) {
  }
  EXPECT_TRUE(StatusQuery(game_.status_port, "\\info\\", 300).empty());
}

TEST_F(GamesimTest, QstatReadsTheStatusPortAsAnOutsideClient) {
  if (access("/usr/bin/quakestat", X_OK) != 0) GTEST_SKIP() << "qstat is not installed";
  Start(kPlayers + "segment-size 150\n");
  std::string output;
  ASSERT_EQ(korvtest::RunToEnd({"/usr/bin/quakestat", "-gps", "127.0.0.1:" + std::to_string(game_.status_port),
                                "-P", "-raw", ";"},
                               game_.dir.path(), &output),
            0);
  std::string server_line = "GPS;127.0.0.1:" + std::to_string(game_.status_port) + ";Test Server;Berlin;32;3;";
  EXPECT_NE(output.find(server_line), std::string::npos) << output;
  EXPECT_NE(output.find("Bob the Great;"), std::string::npos) << output;
  EXPECT_NE(output.find("Mike;5;80;1"), std::string::npos) << output;
}

// Reads field `index` (1-based, after the command name) of /proc/PID/stat.
long StatField(pid_t pid, int index) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream in(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= index && in >> field; ++i) {
  }
  return std::stol(field);
}

TEST_F(GamesimTest, ProcessShapeIsALeaderWithFurtherProcessesThatEndOnQuit) {
  Start(kPlayers);
  pid_t pid = process_.pid();
  EXPECT_EQ(StatField(pid, 6), pid);  // session id
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe").parent_path(),
            std::filesystem::path(game_.dir.path()));
  std::vector<pid_t> others;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t other = std::stoi(name);
    if (other != pid && ReadFile(entry.path() / "comm") == "bf1942_lnxded\n" && StatField(other, 6) == pid) {
      others.push_back(other);
    }
  }
  ASSERT_FALSE(others.empty());
  ConsoleClient client;
  LogIn(&client);
  EXPECT_EQ(client.Command({"quit"}), Strings{});
  EXPECT_EQ(process_.Wait(5s), 0);
  for (int i = 0; i < 100 && ::kill(others[0], 0) == 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_NE(::kill(others[0], 0), 0);
}

TEST_F(GamesimTest, CrashAndIgnoredQuitFollowTheScenario) {
  Start(kPlayers + "ignore-quit\n");
  ConsoleClient client;
  LogIn(&client);
  EXPECT_EQ(client.Command({"quit"}), Strings{});
  EXPECT_EQ(process_.Wait(500ms), -1);
  game_.WriteScenario(kPlayers + "crash 0 7\n");
  EXPECT_EQ(process_.Wait(5s), 7);

  korvtest::Process second;
  game_.WriteScenario("crash 0.3 SIGSEGV\n");
  ASSERT_TRUE(gamesimtest::StartGame(game_, &second));
  EXPECT_EQ(second.Wait(5s), 128 + SIGSEGV);
}

TEST_F(GamesimTest, ConsoleFaultsRefuseSilenceOrDrop) {
  Start(kPlayers + "refuse-login\n");
  ConsoleClient refused;
  ASSERT_TRUE(refused.Connect(game_.console_port));
  EXPECT_EQ(refused.Login("UserName", "Sesamine"), 0);

  game_.WriteScenario(kPlayers + "drop-console\n");
  std::this_thread::sleep_for(400ms);
  ConsoleClient dropped;
  LogIn(&dropped);
  ASSERT_TRUE(dropped.SendRaw(Packet({"ConsoleMessage 0", "game.listPlayers", "\r"})));
  EXPECT_TRUE(dropped.Closed());

  game_.WriteScenario(kPlayers + "silent-console\n");
  std::this_thread::sleep_for(400ms);
  ConsoleClient silent;
  ASSERT_TRUE(silent.Connect(game_.console_port));
  EXPECT_FALSE(silent.ReadBytes(1, 300ms));
}

TEST_F(GamesimTest, HostileInputDropsOnlyThatConnection) {
  Start(kPlayers);
  const std::vector<std::string> attacks = {
      U32(0xFFFFFFFF),                                           // absurd string count
      U32(1) + U32(0x7FFFFFFF),                                  // absurd string length
      U32(1) + U32(0),                                           // a string without even its NUL
      Packet({"HelloThere", "x"}),                               // not a console request
      U32(2) + U32(8) + "ConsoleM",                              // then hang up mid-packet
  };
  for (const std::string& attack : attacks) {
    ConsoleClient client;
    LogIn(&client);
    ASSERT_TRUE(client.SendRaw(attack));
    // The last one hangs up itself, halfway through its packet.
    if (attack != attacks.back()) {
      EXPECT_TRUE(client.Closed()) << attack.size();
    }
  }
  ConsoleClient huge_login;
  ASSERT_TRUE(huge_login.Connect(game_.console_port));
  ASSERT_TRUE(huge_login.ReadBytes(10));
  ASSERT_TRUE(huge_login.SendRaw(U32(1u << 30)));
  EXPECT_TRUE(huge_login.Closed());
  // A fixed-seed run of random bytes, before and after the login.
  std::mt19937 random(1942);
  for (int round = 0; round < 20; ++round) {
    ConsoleClient client;
    if (round % 2 == 0) {
      LogIn(&client);
    } else {
      ASSERT_TRUE(client.Connect(game_.console_port));
    }
    std::string garbage(1 + random() % 600, '\0');
    for (char& c : garbage) c = static_cast<char>(random() & 0xFF);
    client.SendRaw(garbage);
  }
  // Garbage datagrams are ignored; the server still answers everyone.
  StatusQuery(game_.status_port, std::string(3000, '\\'), 300);
  ConsoleClient fine;
  LogIn(&fine);
  EXPECT_EQ(gamesimtest::OutputOnly(*fine.Command({"game.listPlayers"})).size(), 3u);
  EXPECT_EQ(StatusValue(Report(), "numplayers"), "3");
}

TEST_F(GamesimTest, ScenarioChangesWhileRunning) {
  Start(kPlayers + "version v1.6\n");
  EXPECT_EQ(StatusValue(Report(), "version"), "v1.6");
  game_.WriteScenario("player 7 2 1 1 1 40 10.0.0.9:1 - - Zed\nversion v1.61\npunkbuster 1\n"
                      "map kursk GPM_CQ bf1942\nhostname Renamed\nbogus line\n");
  ASSERT_TRUE(WaitForStatus("version", "v1.61"));
  std::string report = Report();
  EXPECT_EQ(StatusValue(report, "numplayers"), "1");
  EXPECT_EQ(StatusValue(report, "playername_0"), "Zed");
  EXPECT_EQ(StatusValue(report, "sv_punkbuster"), "1");
  EXPECT_EQ(StatusValue(report, "mapname"), "Kursk");
  EXPECT_EQ(StatusValue(report, "hostname"), "Renamed");
  EXPECT_TRUE(korvtest::WaitForText(game_.out(), "line 6: cannot read \"bogus line\""));
}

}  // namespace
