// quakestat -gps, a status client written elsewhere, reads gamesim's status port and the port
// the daemon found: gamesim answers as the game does, not only as our own reader expects.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/gamesim_client.h"

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

// quakestat's reading of a status port, its players sorted by name; null when it fails.
json Quakestat(int port) {
  std::string out;
  int status = RunToEnd({"/usr/bin/quakestat", "-gps", "127.0.0.1:" + std::to_string(port), "-R",
                         "-P", "-json", "-timeout", "10"},
                        "/", &out);
  json read = json::parse(out, nullptr, false);
  if (status != 0 || !read.is_array() || read.size() != 1 || !read[0].contains("players")) {
    ADD_FAILURE() << "quakestat: " << out;
    return nullptr;
  }
  std::sort(read[0]["players"].begin(), read[0]["players"].end(),
            [](const json& a, const json& b) { return a["name"] < b["name"]; });
  return read[0];
}

// What quakestat reads of each player: "score" is the game's kills.
TEST(Quakestat, ReadsGamesimAsTheScenarioSetsIt) {
  if (::access("/usr/bin/quakestat", X_OK) != 0) GTEST_SKIP() << "no quakestat here";
  gamesimtest::GameDir game;
  gamesimtest::LayOutForDaemon(&game, Players() + "hostname Sand & <Dunes>\nmaxplayers 24\n"
                                                  "version v1.61\npunkbuster 1\n");
  Process server;
  ASSERT_TRUE(gamesimtest::StartGame(game, &server)) << ReadFile(game.out());
  json read = Quakestat(game.status_port);
  ASSERT_FALSE(read.is_null());
  EXPECT_EQ(read["status"], "online");
  EXPECT_EQ(read["name"], "Sand & <Dunes>");
  EXPECT_EQ(read["map"], "Berlin");
  EXPECT_EQ(read["gametype"], "conquest");
  EXPECT_EQ(read["numplayers"], 12);
  EXPECT_EQ(read["maxplayers"], 24);
  json rules = read["rules"];
  for (const auto& [key, value] : std::map<std::string, std::string>{
           {"gamename", "bfield1942"}, {"gamever", "v1.61"}, {"version", "v1.61"},
           {"hostport", std::to_string(game.game_port)}, {"sv_punkbuster", "1"},
           {"gamemode", "openplaying"}, {"tickets1", "60"}})
    EXPECT_EQ(rules.value(key, ""), value) << key;
  json expected = json::array();
  for (int i : {1, 10, 11, 12, 2, 3, 4, 5, 6, 7, 8, 9})
    expected.push_back({{"name", "Player " + std::to_string(i)}, {"score", 20 + i},
                        {"deaths", i % 5}, {"team", i % 2 + 1}, {"ping", 40 + i}});
  EXPECT_EQ(read["players"], expected);
}

// The daemon identifies the status port by its "hostport" and reads the same players there.
TEST(Quakestat, ReadsThePortTheDaemonIdentifiedAsTheDaemonDoes) {
  if (::access("/usr/bin/quakestat", X_OK) != 0) GTEST_SKIP() << "no quakestat here";
  gamesimtest::DaemonRun run(Players());
  ASSERT_TRUE(run.Start({"-start", "-debug"})) << ReadFile(run.Out());
  ASSERT_TRUE(run.Connected()) << run.Log();
  const int port = run.game.status_port;
  EXPECT_TRUE(Has(run.Log(), " : DEBUG: Identified server status port (" +
                                 std::to_string(port) + ").\r\n"));
  std::string players;
  ASSERT_EQ(run.Ctl({"get", "players", "-o", "-"}, &players), 0) << players;
  json read = Quakestat(port);
  ASSERT_FALSE(read.is_null());
  // The daemon's rows as quakestat gives them: name, kills, deaths, team, ping.
  json daemon = json::array();
  for (std::size_t at = 0; at < players.size();) {
    std::size_t end = players.find('\n', at);
    std::vector<std::string> fields;
    std::stringstream row(players.substr(at, end - at));
    for (std::string field; std::getline(row, field, ',');) fields.push_back(field);
    at = end == std::string::npos ? players.size() : end + 1;
    ASSERT_EQ(fields.size(), 10u) << players;
    daemon.push_back({{"name", fields[0].substr(1, fields[0].size() - 2)},
                      {"score", std::stoi(fields[4])}, {"deaths", std::stoi(fields[5])},
                      {"team", fields[2] == "axis" ? 1 : 2}, {"ping", std::stoi(fields[6])}});
  }
  std::sort(daemon.begin(), daemon.end(),
            [](const json& a, const json& b) { return a["name"] < b["name"]; });
  EXPECT_EQ(daemon.size(), 12u);
  EXPECT_EQ(daemon, read["players"]);
}

}  // namespace
}  // namespace korvtest
