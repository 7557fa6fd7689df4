// The settings form: rows from a korvane.con download with their ranges in
// file units, and the checked rewrite that leaves every other byte alone.
#include <gtest/gtest.h>

#include "korvweb/settings_form.h"
#include "settings/settings_table.h"

namespace korvwebtest {
namespace {

using nlohmann::json;

constexpr char kWelcomeRule[] =
    "game.setServerWelcomeMessage must be at most 5 lines, the first of at most 62 characters "
    "and the others of at most 63, without double quotes, underscores or empty lines";

constexpr char kFile[] =
    "game.serverName \"Sim\"\n"
    "game.serverPort 14567\n"
    "game.setServerWelcomeMessage 0 \"Hello_there\"\n"
    "game.setServerWelcomeMessage 1 \"second\"\n"
    "game.serverBandwidthChokeLimit 8\n"
    "physics.gravity -4\n"
    "game.serverKickback 0.50\n";

class SettingsForm : public ::testing::Test {
 protected:
  void SetUp() override { korvweb::InitSettingsForm(); }
  std::string Apply(const json& changes, std::string* error) {
    std::string updated;
    if (!korvweb::ApplySettingChanges(kFile, changes, &updated, error)) return "";
    return updated;
  }
};

TEST_F(SettingsForm, RowsCarryKindsRangesChoicesAndRestartMarks) {
  json form = korvweb::SettingsFormJson(kFile);
  ASSERT_EQ(form["groups"].size(), 3u) << form.dump();
  json server = form["groups"][0]["settings"];
  json gravity = form["groups"][1]["settings"][0], kickback = form["groups"][2]["settings"][0];
  EXPECT_EQ((json{server[0]["key"], server[0]["value"], server[0]["max_length"],
                  server[1]["restart_only"], server[1]["min"], server[2]["value"],
                  server[3]["choices"][1], gravity["value"], gravity["min"], gravity["max"],
                  kickback["max"], kickback["step"]}),
            json::parse(R"(["game.serverName", "Sim", 32, true, 1024, "Hello there\nsecond",
                            {"key": "8", "label": "64 Kbps"}, "-4", -15, -1, 2.0, 0.01])"));
}

TEST_F(SettingsForm, ChangesRewriteOnlyTheirLines) {
  std::string error;
  std::string updated = Apply({{"game.serverport", "20000"},
                               {"game.serverKickback", "1.5"},
                               {"game.setServerWelcomeMessage", "Be nice"}},
                              &error);
  EXPECT_EQ(updated,
            "game.serverName \"Sim\"\n"
            "game.serverPort 20000\n"
            "game.setServerWelcomeMessage 0 \"Be_nice\"\n"
            "game.serverBandwidthChokeLimit 8\n"
            "physics.gravity -4\n"
            "game.serverKickback 1.50\n")
      << error;
  // Numbers are written as the daemon writes the value it reads: no "-0.00".
  updated = Apply({{"game.serverKickback", "-0.0000000001"}}, &error);
  EXPECT_TRUE(updated.ends_with("\ngame.serverKickback 0.00\n")) << updated << error;
}

// Blanks before the key, a text up to its closing quote; a change replaces that very line.
TEST_F(SettingsForm, LinesAreReadAsTheDaemonReadsThem) {
  const char file[] = "  game.serverPort 14568\ngame.serverName \"Sim\"x\"\n";
  json server = korvweb::SettingsFormJson(file)["groups"][0]["settings"];
  EXPECT_EQ((json{server[0]["value"], server[1]["value"]}), (json{"Sim", "14568"})) << server;
  std::string updated, error;
  EXPECT_TRUE(korvweb::ApplySettingChanges(file, {{"game.serverPort", "20000"}}, &updated, &error));
  EXPECT_EQ(updated, "game.serverPort 20000\ngame.serverName \"Sim\"x\"\n") << error;
}

TEST_F(SettingsForm, RefusesWhatTheTableRefuses) {
  const std::pair<json, std::string> cases[] = {
      {{{"game.serverPort", "1023"}}, "game.serverPort must be a number from 1024 to 65535 in steps of 1"},
      {{{"game.serverPort", "2000.5"}}, "game.serverPort must be a number from 1024 to 65535 in steps of 1"},
      {{{"physics.gravity", "4"}}, "physics.gravity must be a number from -15 to -1 in steps of 1"},
      {{{"game.serverKickback", "0.505"}}, "game.serverKickback must be a number from 0 to 2 in steps of 0.01"},
      {{{"game.serverName", ""}}, "game.serverName may not be empty"},
      {{{"game.serverName", "a\"b"}}, "game.serverName must be at most 32 characters without double quotes or control characters"},
      {{{"game.serverName", std::string(33, 'x')}}, "game.serverName must be at most 32 characters without double quotes or control characters"},
      {{{"game.serverBandwidthChokeLimit", "9"}}, "game.serverBandwidthChokeLimit must be one of the listed choices"},
      {{{"game.setServerWelcomeMessage", "1\n2\n3\n4\n5\n6"}}, kWelcomeRule},
      {{{"game.serverMaxPlayers", "10"}}, "the setting game.serverMaxPlayers is not one this account may change"},
      {{{"no.such", "1"}}, "the setting no.such is not one this account may change"},
      {{{"game.serverPort", 20000}}, "the value of game.serverPort must be a text"},
      {json::object(), "no settings to change"},
  };
  for (const auto& [changes, message] : cases) {
    std::string error;
    EXPECT_EQ(Apply(changes, &error), "") << changes.dump();
    EXPECT_EQ(error, message) << changes.dump();
  }
}

// A welcome message reads back in the daemon as sent; one it could not keep whole is refused.
TEST_F(SettingsForm, WelcomeLinesReadBackInTheDaemonAsSent) {
  const std::string x62(62, 'x'), x63(63, 'x');
  const std::pair<std::string, bool> cases[] = {
      {x62, true},      {x63, false},      {"a\n" + x63, true}, {"a\n" + x63 + "y", false},
      {"a\n\nb", false}, {"a_b", false}, {"1\n2\n3\n4\n5", true}, {"a\"b", false}};
  const std::string key = "game.setServerWelcomeMessage ";
  for (const auto& [value, taken] : cases) {
    std::string error;
    const std::string updated = Apply({{"game.setServerWelcomeMessage", value}}, &error);
    EXPECT_EQ(error, taken ? "" : kWelcomeRule) << value;
    if (!taken) continue;
    Setting(kSetWelcomeMessage).text.clear();
    for (std::size_t at = 0; (at = updated.find(key, at)) != std::string_view::npos;) {
      const std::size_t end = updated.find('\n', at);
      ParseSettingValue(kSetWelcomeMessage, updated.substr(at + key.size(), end - at - key.size()));
      at = end;
    }
    std::string held;  // its lines end in CR LF; the page's in LF
    for (char c : SettingText(kSetWelcomeMessage))
      if (c != '\r') held += c;
    if (held.ends_with('\n')) held.pop_back();
    EXPECT_EQ(held, value);
  }
}

}  // namespace
}  // namespace korvwebtest
