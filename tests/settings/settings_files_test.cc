// korvane.con loads and saves, the game server's two files, single key lines; the settings
// table: row sanity, round trip, each kind's conversions and messages.
#include "settings/settings_files.h"

#include <unistd.h>

#include <cerrno>
#include <set>

#include "core/choice_list.h"
#include "core/ids.h"
#include "core/last_error.h"
#include "daemon/hooks.h"
#include "first_start_golden.h"
#include "settings/settings_table.h"
#include "settings_fixture.h"

namespace {

using korvtest::Has;
using korvtest::ReadFile;
using korvtest::WriteFile;
using Lines = std::vector<std::string>;

class SettingsFiles : public SettingsFixture {
 protected:
  bool Load(const std::string& contents, std::uint32_t mask = kAllGroups,
            int caller = kNoCaller) {
    WriteFile(Path("k.con"), contents);
    TakeLog();
    return LoadSettings(Path("k.con"), mask, caller);
  }
  static std::vector<int> Values(std::initializer_list<int> indices) {
    std::vector<int> values;
    for (int index : indices) values.push_back(SettingValue(index));
    return values;
  }
};

TEST_F(SettingsFiles, FirstStartFileAndItsReload) {
  ASSERT_TRUE(SaveSettings(Path("settings/korvane.con"), kAllGroups));
  EXPECT_EQ(ReadFile(Path("settings/korvane.con")), kFirstStartFile);
  EXPECT_TRUE(Load(kFirstStartFile));
  EXPECT_EQ(TakeLog(),
            (Lines{"Invalid value detected for setting game.serverName, using default BFSERVER.",
                 "Invalid value detected for setting manager.consoleUsername, using default UserName.",
                 "Invalid value detected for setting manager.consolePassword, using default Sesamine.",
                 "Invalid value detected for setting manager.statFilePath, using default statistics.csv."}));
  EXPECT_EQ(SettingText(kSetConsolePassword) + "|" + SettingText(kSetServerPassword), "Sesamine|");
}

TEST_F(SettingsFiles, EmptyOrMissingFilesFailWithErrorTwoAndAPipeIsReadInOnePass) {
  EXPECT_FALSE(Load(""));
  EXPECT_EQ((std::pair{LastError(), TakeLog()}), std::pair(ENOENT, Lines{}));
  EXPECT_FALSE(LoadSettings(Path("none.con"), kAllGroups, kNoCaller));
  EXPECT_EQ((std::pair{LastError(), TakeLog()}),
            std::pair(ENOENT, Lines{"Couldn't open settings file! " + ErrorText(ENOENT)}));
}

TEST_F(SettingsFiles, KeysMatchOnceWithoutCaseAndAbsentKeysKeepValues) {
  Setting(kSetServerPort).value = 15000;
  Setting(kSetToggleGamePause).value = 1;
  EXPECT_TRUE(Load("GAME.SERVERIP 10.1.2.3\ngame.serverIP 10.9.9.9\n  game.serverMaxPlayers 16\r\n"));
  EXPECT_EQ(FormatDottedIp(static_cast<std::uint32_t>(SettingValue(kSetServerIp))), "10.1.2.3");
  EXPECT_EQ(Values({kSetServerMaxPlayers, kSetServerPort, kSetToggleGamePause}), (std::vector{16, 15000, 0}));
  EXPECT_TRUE(Load("admin.toggleGamePause\n"));
  EXPECT_EQ(SettingValue(kSetToggleGamePause), 1);
}

TEST_F(SettingsFiles, GroupMaskRestartOnlyRowsAndTheBalanceConflict) {
  const std::string file =
      "game.serverName \"Other\"\ngame.serverPort 2000\ngame.serverMaxPlayers 8\n"
      "game.serverInternet 1\ngame.serverContentCheck 2\ngame.serverNumberOfRounds 7\n";
  EXPECT_TRUE(Load(file, 0x1));
  EXPECT_EQ(SettingText(kSetServerName), "Other");
  // Restart-only rows stay, and group 1 is not selected.
  const auto values = [] {
    return Values({kSetContentCheck, kSetServerPort, kSetServerMaxPlayers, kSetServerInternet,
                   kSetNumberOfRounds});
  };
  EXPECT_EQ(values(), (std::vector{2, 14567, 32, 0, 3}));
  EXPECT_TRUE(Load(file, 0x1 | kRestartOnlyBit));
  EXPECT_EQ(values(), (std::vector{2, 2000, 8, 1, 3}));
  EXPECT_TRUE(Load("game.serverAutoBalanceTeams 1\nmanager.smartBalance 1\n"));
  EXPECT_EQ(SettingValue(kSetAutoBalanceTeams), 0);
  EXPECT_EQ(TakeLog(), Lines{"Both auto-balance and smart-balance are enabled, disabling auto-balance."});
}

TEST_F(SettingsFiles, ClientChangesAreAuditedByKind) {
  ClientSession& session = g_manager.remote.sessions[16];
  session.user_name = "alice";
  session.address = "10.0.0.9:5000";
  Setting(kSetServerName).text = "Old";
  Setting(kSetSpawnDelayPenaltyForTk).value = 10;
  EXPECT_TRUE(Load("game.serverName \"New\"\ngame.serverIP 1.2.3.4\ngame.serverPort 14567\n"
                   "game.serverMaxPlayers 20\nadmin.spawnDelayPenaltyForTK 1.5\n"
                   "physics.gravity -7\nadmin.toggleGamePause\ngame.serverPassword \"pw\"\n"
                   "manager.consolePassword \"S3cret\"\ngame.serverReservedPassword \"r\"\n",
                   kAllGroups, 16));
  Lines changes = {"game.serverName from [Old] to [New]", "game.serverIP from 0.0.0.0 to 1.2.3.4",
                   "game.serverMaxPlayers from 32 to 20",
                   "game.serverPassword from [********] to [********]", "physics.gravity from 4 to 7",
                   "admin.spawnDelayPenaltyForTK from 1.0 to 1.5",
                   "manager.consolePassword from [********] to [********]",
                   "game.serverReservedPassword from [********] to [********]",
                   "admin.toggleGamePause from 0 to 1"};
  for (std::string& line : changes) line = "User alice at 10.0.0.9:5000 changed " + line + ".";
  EXPECT_EQ(TakeLog(), changes);
  EXPECT_EQ(SettingText(kSetConsolePassword), "S3cret");
  EXPECT_TRUE(Load("game.serverName \"Again\"\n"));  // the daemon's own load
  EXPECT_EQ(TakeLog(), Lines{});
}

TEST_F(SettingsFiles, DaemonHooksAuditTheClientOfASessionSlotAndNoOther) {
  InstallSubsystemHooks();
  g_manager.remote.sessions[kSessionSlots - 1].user_name = "ann";
  g_manager.remote.sessions[kSessionSlots - 1].address = "10.0.0.9:2000";
  EXPECT_TRUE(Load("game.serverPort 15017\n", kAllGroups, kSessionSlots));
  EXPECT_EQ(TakeLog(), Lines{});
  EXPECT_TRUE(Load("game.serverPort 15016\n", kAllGroups, kSessionSlots - 1));
  EXPECT_EQ(TakeLog(), Lines{"User ann at 10.0.0.9:2000 changed game.serverPort from 15017 to 15016."});
}

TEST_F(SettingsFiles, OverlongLinesAreSkippedWholeAndJunkIsNamed) {
  // 1022 characters and the line end fit; a longer line is no setting, however it continues.
  std::string fits = "game.serverName \"" + std::string(1004, 'n') + "\"";
  std::string over = "game.serverMaxPlayers 12" + std::string(999, ' ');
  std::string hidden = std::string(1023, '#') + "game.serverPort 2000";
  EXPECT_TRUE(Load(fits + "\n" + over + "\n" + hidden + "\ngame.serverInternet 1"));
  EXPECT_EQ(SettingText(kSetServerName), std::string(32, 'n'));
  EXPECT_EQ(Values({kSetServerMaxPlayers, kSetServerPort, kSetServerInternet}), (std::vector{32, 14567, 1}));
  EXPECT_EQ(TakeLog(),
            Lines{"WARNING: Skipped 2 lines longer than 1023 characters in " + Path("k.con") + "."});
  EXPECT_TRUE(Load(std::string("\x7f" "ELF\0\x02\x01", 7) + "\n\xff\xfe junk\n"));
  EXPECT_EQ(TakeLog(),
            Lines{"WARNING: Found no settings in " + Path("k.con") + ", the settings keep their "
                "values."});
  // A pipe in the file's place is skipped, not waited on: the settings keep their values.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  std::string pipe = "/proc/self/fd/" + std::to_string(ends[0]);
  std::string text = "game.serverMaxPlayers 16\ngame.serverName \"x\"\n";
  ASSERT_EQ(::write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  EXPECT_FALSE(LoadSettings(pipe, kAllGroups, kNoCaller));
  for (int fd : ends) ::close(fd);
  EXPECT_EQ((std::pair{LastError(), TakeLog()[0]}),
            std::pair(EINVAL, "WARNING: Skipped " + pipe + ", which is not a regular file."));
  EXPECT_EQ(Values({kSetServerMaxPlayers}), std::vector{32});
}

TEST_F(SettingsFiles, WelcomeLinesAllCountAndAnAbsentMessageIsEmptied) {
  EXPECT_TRUE(Load("game.setServerWelcomeMessage 0 \"Line_zero\"\ngame.serverName \"x\"\n"
                   "game.setServerWelcomeMessage 1 \"Line one\"\n"));
  EXPECT_EQ(SettingText(kSetWelcomeMessage), "Line zero\r\nLine one\r\n");
  EXPECT_TRUE(Load("game.serverName \"x\"\n"));
  EXPECT_EQ(SettingText(kSetWelcomeMessage), "");
}

class ServerFiles : public SettingsFixture {
 protected:
  void SetUp() override {
    SettingsFixture::SetUp();
    for (auto [index, value] : {std::pair{kSetServerIp, 0x0A000005}, {kSetBindAllInterfaces, 1}, {kSetGameTime, 20},
                                {kSetNumberOfRounds, 0}, {kSetSoldierFriendlyFire, 50}, {kSetEnableRemoteAdmin, 1}})
      Setting(index).value = value;
    for (auto [index, text] : {std::pair{kSetServerName, "My Server"}, {kSetWelcomeMessage, "Hello all\r\nBe nice\r\n"},
                               {kSetConsoleUsername, "admin"}, {kSetConsolePassword, "secret"}})
      Setting(index).text = text;
    g_manager.settings.unpure_mods = "dc,xpack1";
    g_manager.core.server_commands = "game.gameSpyPort 23001\n";
  }
};

TEST_F(ServerFiles, ServerSettingsAndAutoexecFilesWithUnitsGravityAndPause) {
  ASSERT_TRUE(WriteServerSettings(Path("settings/serversettings.con")));
  EXPECT_EQ(ReadFile(Path("settings/serversettings.con")),
            "game.serverName \"My Server\"\ngame.serverDedicated 1\ngame.serverIP 0.0.0.0\n"
            "game.serverPort 14567\ngame.gameSpyPort 23000\ngame.gameSpyLANPort 22000\n"
            "game.ASEPort 14690\ngame.serverMaxPlayers 32\n"
            "game.setServerWelcomeMessage 0 \"Hello_all\"\n"
            "game.setServerWelcomeMessage 1 \"Be_nice\"\ngame.serverInternet 0\n"
            "game.serverBandwidthChokeLimit 0\ngame.serverMaxAllowedConnectionType CTLanT1\n"
            "game.serverCoopCPU 100\ngame.serverContentCheck 0\ngame.serverPassword \"\"\n"
            "game.serverNumberOfRounds 0\ngame.serverGameTime 20\ngame.serverScoreLimit 0\n"
            "game.serverTicketRatio 100\ngame.objectiveAttackerTicketsMod 100\n"
            "game.serverCoopAISkill 50\ngame.serverAlliedTeamRatio 1\n"
            "game.serverAxisTeamRatio 1\ngame.serverSpawnTime 15\ngame.serverSpawnDelay 5\n"
            "game.serverGameStartDelay 20\ngame.serverPunkBuster 0\n"
            "game.serverSoldierFriendlyFire 50\ngame.serverSoldierFriendlyFireOnSplash 100\n"
            "game.serverVehicleFriendlyFire 100\ngame.serverVehicleFriendlyFireOnSplash 100\n"
            "game.serverKickback 0.00\ngame.serverKickbackOnSplash 0.00\n"
            "game.serverTKPunishMode 0\ngame.serverAutoBalanceTeams 0\n"
            "game.serverExternalViews 1\ngame.serverAllowNoseCam 1\ngame.serverFreeCamera 0\n"
            "game.serverHitIndication 1\ngame.serverDeathCameraType 0\n"
            "game.serverCrosshairCenterpoint 1\ngame.serverNameTagDistance 100\n"
            "game.serverNameTagDistanceScope 300\ngame.serverNumReservedSlots 0\n"
            "game.serverReservedPassword \"\"\ngame.serverEventLogging 0\n"
            "game.serverEventLogCompression 0\ngame.serverUnpureMods dc,xpack1\r\n"
            "game.gameSpyPort 23001\n");
  EXPECT_EQ(SettingValue(kSetServerIp), 0x0A000005);  // the table keeps the address
  constexpr const char* kTail =
      "admin.timeBeforeRestartMap 10\nadmin.soldierFFRatio 0.50\n"
      "admin.soldierFFRatioOnSplash 1.00\nadmin.vehicleFFRatio 1.00\n"
      "admin.vehicleFFRatioOnSplash 1.00\nadmin.kickback 0.00\nadmin.kickbackOnSplash 0.00\n"
      "admin.tkPunishMode 0\nadmin.banPlayerOnTKKick 0\nadmin.nrOfTKToKick 3\n"
      "admin.spawnDelayPenaltyForTK 0.0\nadmin.enableKickPlayerVote 1\nadmin.enableMapVote 1\n"
      "admin.enableKickTeamPlayerVote 1\nadmin.autoBalanceTeam 0\nadmin.votingTime 60\n"
      "admin.voteMapMajority 0.60\nadmin.voteKickPlayerMajority 0.60\n"
      "admin.voteKickTeamPlayerMajority 0.60\nadmin.externalViews 1\nadmin.allowNoseCam 1\n"
      "game.enableFreeCamera 0\nadmin.crossHairCenterPoint 1\n";
  const std::string head =
      "admin.enableRemoteConsole admin secret 4711\nadmin.enableRemoteAdmin secret\n"
      "admin.bandwidthChokeLimit 0\nadmin.maxAllowedConnectionType CTLanT1\n"
      "admin.setNrOfRounds -1\nadmin.timeLimit 1200\nadmin.scoreLimit 0\n"
      "admin.setTicketRatio 1.00\nadmin.timeToNextWave 15\nadmin.spawnWaveTime 5\n"
      "admin.delayBeforeStartingGame 20\n";
  ASSERT_TRUE(WriteServerAutoexec(Path("ae.con")));
  EXPECT_EQ(ReadFile(Path("ae.con")), head + kTail);
  Setting(kSetGravityEnabled).value = 1;
  Setting(kSetToggleGamePause).value = 1;
  ASSERT_TRUE(WriteServerAutoexec(Path("ae.con")));
  EXPECT_EQ(ReadFile(Path("ae.con")), head + "physics.gravity -4\n" + kTail + "admin.toggleGamePause\n");
}

TEST_F(SettingsFiles, ConValuesAreReadAndReplaced) {
  const std::string maps = Path("servermaplist.con");
  WriteFile(maps, "game.addLevel berlin GPM_CQ bf1942\ngame.setIdleLevel\n"
                  "GAME.SETIDLELEVEL  stalingrad GPM_CQ bf1942\r\n"
                  "game.setIdleLevel second GPM_CQ bf1942\n");
  EXPECT_EQ((std::vector{ReadConValue(maps, "game.setIdleLevel", 128), ReadConValue(maps, "game.setIdleLevel", 6),
                         ReadConValue(maps, "game.none", 128)}),
            (std::vector<std::optional<std::string>>{" stalingrad GPM_CQ bf1942", " stal", std::nullopt}));
  ASSERT_TRUE(SetConValue(maps, "game.setIdleLevel", "kursk GPM_CQ bf1942"));
  EXPECT_EQ(ReadFile(maps), "game.addLevel berlin GPM_CQ bf1942\n"
                            "game.setIdleLevel kursk GPM_CQ bf1942\n"
                            "GAME.SETIDLELEVEL  stalingrad GPM_CQ bf1942\r\n"
                            "game.setIdleLevel kursk GPM_CQ bf1942\n");
  ASSERT_TRUE(SetConValue(maps, "game.setIdleLevel", ""));
  EXPECT_EQ(ReadFile(maps), "game.addLevel berlin GPM_CQ bf1942\n"
                            "GAME.SETIDLELEVEL  stalingrad GPM_CQ bf1942\r\n");
  WriteFile(maps, "");
  TakeLog();
  EXPECT_EQ((std::pair{ReadConValue(maps, "game.setIdleLevel", 128), LastError()}),
            std::pair(std::optional<std::string>(), ENOENT));
  EXPECT_EQ(ReadConValue(Path("missing.con"), "game.setIdleLevel", 128), std::nullopt);
  EXPECT_EQ(TakeLog(), Lines{"Couldn't open file " + Path("missing.con") + "! " + ErrorText(ENOENT)});
}

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
  EXPECT_EQ(std::string(SettingName(83)) + SettingName(-1), "[bad index][bad index]");
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
      EXPECT_TRUE(row.minimum <= row.default_value && row.default_value <= row.maximum) << i;
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
    EXPECT_EQ(std::pair(Setting(i).value, Setting(i).text), std::pair(wanted[i].value, wanted[i].text))
        << SettingName(i);
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
      {kSetGravity, "9", 9, ""}, {kSetGravity, "-9", 9, ""},
      {kSetVoteMapMajority, "0", 60, "0.00 detected for setting admin.voteMapMajority, using default 0.60."},
      {kSetVoteMapMajority, "0.599", 59, ""}, {kSetVoteMapMajority, "0.59", 59, ""},
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
  EXPECT_EQ((std::vector{Value(kSetKickback, "1e30"), Value(kSetGravity, "1e30")}), (std::vector{0, 1}));  // as atol reads
  EXPECT_EQ(FormatDottedIp(static_cast<std::uint32_t>(Value(kSetServerIp, "300.1.2.3.4.5.6.7.8.9"))),
            "0.1.2.3");
  EXPECT_EQ(Value(kSetServerIp, ""), 0);
}

TEST_F(SettingsTable, ChoicesTextsAndWelcomeLinesKeepWithinTheirLimits) {
  // A choice keeps its case as written.
  const std::tuple<int, std::string, Lines, std::string> cases[] = {
      {kSetMaxConnectionType, "ctlant1", {}, "ctlant1"},
      {kSetBandwidthChokeLimit, "12",
       {"Invalid value of 12 detected for setting game.serverBandwidthChokeLimit, using default 0."}, "0"},
      {kSetServerName, "\"\"", {"Invalid value detected for setting game.serverName, using default BFSERVER."},
       "BFSERVER"},
      {kSetServerPassword, "\"\"", {}, ""},
      {kSetServerName, "\"  My Server \" trailing", {}, "  My Server "}};
  for (const auto& [index, rest, log, text] : cases) {
    const Lines said = Parse(index, rest);
    EXPECT_EQ(std::pair(said, SettingText(index)), std::pair(log, text)) << rest;
  }
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
  EXPECT_EQ(std::pair(text.size(), text.substr(text.size() - 63)),
            std::pair(std::size_t{64 + 3 * 65 + 63}, std::string(63, 'b')));
  // Three more characters would pass 324: the line is dropped, "\r\n" fits.
  EXPECT_EQ(Text(kSetWelcomeMessage, "1 \"ccc\"").size(), 324u);
}

}  // namespace
