// The links against gamesim; quakestat, a status client written elsewhere, reads both status ports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/gamesim_client.h"
#include "support/process_harness.h"

namespace korvtest {
namespace {

using nlohmann::json;

// Twelve players in segments of 200 bytes: quakestat must put the report together.
std::string Players() {
  std::string lines = "lively 0\nsegment-size 200\n";
  for (int i = 1; i <= 12; ++i) {
    const std::string n = std::to_string(i);
    lines += "player " + n + " " + std::to_string(i % 2 + 1) + " " + std::to_string(100 + i) + " " +
             std::to_string(20 + i) + " " + std::to_string(i % 5) + " " + std::to_string(40 + i) +
             " 10.0.0." + n + ":14567 - - Player " + n + "\n";
  }
  return lines;
}

// quakestat's reading of a status port; null when it fails.
json Quakestat(int port) {
  std::string out;
  int status =
      RunToEnd({"/usr/bin/quakestat", "-gps", "127.0.0.1:" + std::to_string(port), "-R", "-P", "-json", "-timeout", "10"}, "/", &out);
  json read = json::parse(out, nullptr, false);
  if (status == 0 && read.is_array() && read.size() == 1 && read[0].contains("players"))
    return read[0];
  ADD_FAILURE() << "quakestat: " << out;
  return nullptr;
}

// One "name|kills|deaths|team|ping" line per player, sorted (quakestat's "score" is the kills).
std::string Rows(std::vector<std::string> rows) {
  std::sort(rows.begin(), rows.end());
  std::string text;
  for (const std::string& row : rows) text += row + "\n";
  return text;
}
std::string Rows(const json& players) {
  std::vector<std::string> rows;
  for (const json& p : players)
    rows.push_back(p["name"].get<std::string>() + "|" + p["score"].dump() + "|" + p["deaths"].dump() + "|" + p["team"].dump() +
                   "|" + p["ping"].dump());
  return Rows(rows);
}

TEST(Quakestat, ReadsGamesimAsTheScenarioSetsIt) {
  if (::access("/usr/bin/quakestat", X_OK) != 0) GTEST_SKIP() << "no quakestat here";
  gamesimtest::GameDir game;
  gamesimtest::LayOutForDaemon(&game, Players() + "hostname Sand & <Dunes>\nmaxplayers 24\nversion v1.61\npunkbuster 1\n");
  Process server;
  ASSERT_TRUE(gamesimtest::StartGame(game, &server)) << ReadFile(game.out());
  json read = Quakestat(game.status_port);
  ASSERT_FALSE(read.is_null());
  EXPECT_EQ(json({read["status"], read["name"], read["map"], read["gametype"], read["numplayers"], read["maxplayers"]}),
            json({"online", "Sand & <Dunes>", "Berlin", "conquest", 12, 24}));
  for (const auto& [key, value] : std::map<std::string, std::string>{
           {"gamename", "bfield1942"}, {"gamever", "v1.61"}, {"version", "v1.61"},
           {"hostport", std::to_string(game.game_port)}, {"sv_punkbuster", "1"},
           {"gamemode", "openplaying"}, {"tickets1", "60"}})
    EXPECT_EQ(read["rules"].value(key, ""), value) << key;
  std::vector<std::string> given;
  for (int i = 1; i <= 12; ++i)
    given.push_back("Player " + std::to_string(i) + "|" + std::to_string(20 + i) + "|" + std::to_string(i % 5) + "|" +
                    std::to_string(i % 2 + 1) + "|" + std::to_string(40 + i));
  EXPECT_EQ(Rows(read["players"]), Rows(given));
}

TEST(Quakestat, ReadsThePortTheDaemonIdentifiedAsTheDaemonDoes) {
  if (::access("/usr/bin/quakestat", X_OK) != 0) GTEST_SKIP() << "no quakestat here";
  gamesimtest::DaemonRun run(Players());
  ASSERT_TRUE(run.Start({"-start", "-debug"})) << ReadFile(run.Out());
  ASSERT_TRUE(run.Connected()) << run.Log();
  const int port = run.game.status_port;
  EXPECT_TRUE(Has(run.Log(), " : DEBUG: Identified server status port (" + std::to_string(port) + ").\r\n"));
  std::string players;
  ASSERT_EQ(run.Ctl({"get", "players", "-o", "-"}, &players), 0) << players;
  json read = Quakestat(port);
  ASSERT_FALSE(read.is_null());
  // The daemon's rows: "name",id,team,score,kills,deaths,ping,address,keyhash,guid.
  std::vector<std::string> rows;
  std::stringstream lines(players);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f;
    std::stringstream row(line);
    for (std::string field; std::getline(row, field, ',');) f.push_back(field);
    ASSERT_EQ(f.size(), 10u) << players;
    rows.push_back(f[0].substr(1, f[0].size() - 2) + "|" + f[4] + "|" + f[5] + "|" + (f[2] == "axis" ? "1" : "2") + "|" + f[6]);
  }
  EXPECT_EQ(rows.size(), 12u);
  EXPECT_EQ(Rows(rows), Rows(read["players"]));
}

// The game does not escape backslashes in names: the console still connects, all figures read.
TEST(LinksProcess, BackslashesInServerAndPlayerNamesShiftNoKey) {
  gamesimtest::DaemonRun run("lively 0\nhostname My\\Server\nplayer 3 1 30 7 0 70 10.0.0.7:23000 - - Evil\\x\n"
                             "player 1 1 10 5 2 80 10.0.0.5:23000 - - Anna\nplayer 2 2 20 6 1 90 10.0.0.6:23000 - - Mike\n");
  ASSERT_TRUE(run.Start({"-start", "-debug"})) << ReadFile(run.Out());
  ASSERT_TRUE(run.Connected()) << run.Log();
  std::string players;
  ASSERT_EQ(run.Ctl({"get", "players", "-o", "-"}, &players), 0) << players;
  EXPECT_EQ(players, "\"Evil\\x\",3,axis,30,7,0,70,10.0.0.7,[unknown],[unknown]\n"
            "\"Anna\",1,axis,10,5,2,80,10.0.0.5,[unknown],[unknown]\n"
            "\"Mike\",2,allied,20,6,1,90,10.0.0.6,[unknown],[unknown]\n");
  EXPECT_FALSE(Has(run.Log(), "Couldn't") || Has(run.Log(), "more than once")) << run.Log();
}

}  // namespace
}  // namespace korvtest
