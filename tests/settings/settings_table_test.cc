// The settings table: row sanity, round trip, each kind's conversions and messages.
#include "settings/settings_table.h"

#include <set>

#include "core/choice_list.h"
#include "core/ids.h"
#include "settings/settings_files.h"
#include "settings_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class SettingsTable : public SettingsFixture {
 protected:
  Lines Parse(int index, const std::string& rest) {
    TakeLog();
    ParseSettingValue(index, rest);
    return TakeLog();
  }
  int Value(int index, const std::string& rest) { ParseSettingValue(index, rest); return SettingValue(index); }
  std::string Text(int index, const std::string& rest) { ParseSettingValue(index, rest); return SettingText(index); }
  std::string Line(int index) {
    std::string out;
    WriteSettingLine(&out, SettingName(index), index);
    return out;
  }
};

TEST_F(SettingsTable, EveryRowIsSaneAndSurvivesSaveAndLoad) {
  EXPECT_STREQ(SettingName(kSetBindAllInterfaces), "manager.bindAllIntefaces");
  EXPECT_STREQ(SettingName(83), "[bad index]");
  EXPECT_STREQ(SettingName(-1), "[bad index]");
  std::set<std::string> names;
  for (int i = 0; i < kSettingCount; ++i) {
    const SettingEntry& row = Setting(i);
    EXPECT_TRUE(names.insert(SettingName(i)).second) << SettingName(i);
    EXPECT_LE(row.group, 4u);
    EXPECT_TRUE(i == 0 || row.group >= Setting(i - 1).group) << "rows are ordered by group";
    EXPECT_TRUE(row.type != SettingType::kChoice || ChoiceLabel(row.default_text, row.text)) << i;
    using T = SettingType;
    if (row.type == T::kBoolean || row.type == T::kInteger || row.type == T::kNegativeInteger ||
        row.type == T::kHundredths || row.type == T::kTenths) {
      EXPECT_GE(row.default_value, row.minimum) << i;
      EXPECT_LE(row.default_value, row.maximum) << i;
    }
  }
  // Give every row a valid value other than its default, save, reload.
  for (int i = 0; i < kSettingCount; ++i) {
    SettingEntry& row = Setting(i);
    if (row.type == SettingType::kText) row.text = std::string("t").append(std::to_string(i));
    if (row.type == SettingType::kWelcomeText) row.text = "Hi there\r\nsecond\r\n";
    if (row.type == SettingType::kChoice) row.text = *ChoiceValue(row.default_text, 2);
    if (row.type == SettingType::kAddress) row.value = static_cast<std::int32_t>(0x0A000001u + i);
    if (row.type == SettingType::kAction) row.value = 1;
    if (row.maximum > row.minimum && row.type != SettingType::kText &&
        row.type != SettingType::kWelcomeText)
      row.value = row.default_value == row.maximum ? row.minimum : row.maximum;
  }
  auto wanted = g_manager.settings.table;
  ASSERT_TRUE(SaveSettings(Path("korvane.con"), kAllGroups));
  ResetManagerState();
  g_manager.core.daemon = true;
  g_manager.core.server_dir = dir_.path();
  InitSettings();
  ASSERT_TRUE(LoadSettings(Path("korvane.con"), kAllGroups, kNoCaller));
  for (int i = 0; i < kSettingCount; ++i) {
    if (i == kSetAutoBalanceTeams) continue;  // turned off beside smart balance
    EXPECT_EQ(Setting(i).value, wanted[i].value) << SettingName(i);
    EXPECT_EQ(Setting(i).text, wanted[i].text) << SettingName(i);
  }
}

TEST_F(SettingsTable, OnlyTheStartDelayAndThePauseArePushedWithoutReadBack) {
  std::vector<std::string> pushed;
  for (int i = 0; i < kSettingCount; ++i)
    if (Setting(i).exchange == ConsoleExchange::kPushed) pushed.emplace_back(Setting(i).console_key);
  EXPECT_EQ(pushed, (std::vector<std::string>{"admin.delayBeforeStartingGame", "admin.toggleGamePause"}));
}

TEST_F(SettingsTable, NumbersConvertFallBackWithTheirMessagesAndNeverOverflow) {
  struct Case {
    int index;
    const char* text;
    int value;
    std::string invalid;  // what the fallback message names, "" for none
  };
  // Hundredths are truncated, but a saved 0.59 reads back as 0.59.
  const Case cases[] = {
      {kSetGravity, "20", 4, "-20 detected for setting physics.gravity, using default -4."},
      {kSetGravity, "9", 9, ""},
      {kSetGravity, "-9", 9, ""},
      {kSetVoteMapMajority, "0", 60, "0.00 detected for setting admin.voteMapMajority, using default 0.60."},
      {kSetVoteMapMajority, "0.599", 59, ""},
      {kSetVoteMapMajority, "0.59", 59, ""},
      {kSetSpawnDelayPenaltyForTk, "10.1", 0,
       "10.1 detected for setting admin.spawnDelayPenaltyForTK, using default 0.0."},
      {kSetSpawnDelayPenaltyForTk, "2.5", 25, ""},
      {kSetServerDedicated, "2", 1, "2 detected for setting game.serverDedicated, using default 1."},
      {kSetServerDedicated, "yes", 1, "0 detected for setting game.serverDedicated, using default 1."},
      // A missing word shows the value as it stood.
      {kSetServerPort, "", 14567, "15000 detected for setting game.serverPort, using default 14567."},
      {kSetServerPort, "   20000   ", 20000, ""}};
  Setting(kSetServerPort).value = 15000;
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.index, c.text), c.invalid.empty() ? Lines{} : Lines{"Invalid value of " + c.invalid})
        << c.text;
    EXPECT_EQ(SettingValue(c.index), c.value) << c.text;
  }
  EXPECT_EQ(Line(kSetGravity) + Line(kSetVoteMapMajority) + Line(kSetSpawnDelayPenaltyForTk),
            "physics.gravity -9\nadmin.voteMapMajority 0.59\nadmin.spawnDelayPenaltyForTK 2.5\n");
  for (const char* word : {"99999999999", "-99999999999", "nan", "inf", "-2147483648"}) {
    for (int index : {kSetServerPort, kSetGravity, kSetKickback, kSetSpawnDelayPenaltyForTk}) {
      ParseSettingValue(index, word);
      EXPECT_EQ(SettingValue(index), Setting(index).default_value) << index << " " << word;
    }
  }
  EXPECT_EQ(Value(kSetKickback, "1e30"), 0);
  EXPECT_EQ(Value(kSetGravity, "1e30"), 1);  // read as atol reads it
  EXPECT_EQ(FormatDottedIp(static_cast<std::uint32_t>(Value(kSetServerIp, "300.1.2.3.4.5.6.7.8.9"))),
            "0.1.2.3");
  EXPECT_EQ(Value(kSetServerIp, ""), 0);
}

TEST_F(SettingsTable, ChoicesTextsAndWelcomeLinesKeepWithinTheirLimits) {
  EXPECT_EQ(Parse(kSetMaxConnectionType, "ctlant1"), Lines{});
  EXPECT_EQ(SettingText(kSetMaxConnectionType), "ctlant1");  // case kept as written
  EXPECT_EQ(Parse(kSetBandwidthChokeLimit, "12"),
            Lines{"Invalid value of 12 detected for setting game.serverBandwidthChokeLimit, using "
                "default 0."});
  EXPECT_EQ(SettingText(kSetBandwidthChokeLimit), "0");

  EXPECT_EQ(Parse(kSetServerName, "\"\""),
            Lines{"Invalid value detected for setting game.serverName, using default BFSERVER."});
  EXPECT_EQ(SettingText(kSetServerName), "BFSERVER");
  EXPECT_EQ(Parse(kSetServerPassword, "\"\""), Lines{});
  EXPECT_EQ(SettingText(kSetServerPassword), "");
  EXPECT_EQ(Parse(kSetServerName, "\"  My Server \" trailing"), Lines{});
  EXPECT_EQ(SettingText(kSetServerName), "  My Server ");
  EXPECT_EQ(Text(kSetServerName, "\"" + std::string(100, 'x') + "\""), std::string(32, 'x'));
  EXPECT_EQ(Text(kSetStatFilePath, std::string(2000, 'p')), std::string(324, 'p'));
  // A control character could end a line of the game's files early.
  EXPECT_EQ(Text(kSetServerName, "\"a\rgame.serverPassword x\""), "a game.serverPassword x");
  // Line 0 keeps 62 characters, later lines 63; the whole stays within 324.
  ParseSettingValue(kSetWelcomeMessage, "0 \"" + std::string(80, 'a') + "\"");
  EXPECT_EQ(Text(kSetWelcomeMessage, "5 \"ignored\""), std::string(62, 'a') + "\r\n");
  for (int n = 1; n <= 4; ++n)
    ParseSettingValue(kSetWelcomeMessage, std::to_string(n) + " \"" + std::string(80, 'b') + "\"");
  const std::string& text = SettingText(kSetWelcomeMessage);
  EXPECT_EQ(text.size(), 64u + 3 * 65 + 63);
  EXPECT_EQ(text.substr(text.size() - 63), std::string(63, 'b'));
  // Three more characters would pass 324: the line is dropped, "\r\n" fits.
  EXPECT_EQ(Text(kSetWelcomeMessage, "1 \"ccc\"").size(), 324u);
}

}  // namespace
