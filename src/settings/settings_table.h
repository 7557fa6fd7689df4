// The settings table: 83 compiled-in rows (keys, kinds, defaults, limits),
// their initial state, their names, and the validation of a value text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "settings/settings_state.h"

// Indices of the rows; a row's index is its identity.
enum SettingIndex : int {
  kSetServerName = 0,
  kSetServerDedicated,
  kSetServerIp,
  kSetBindAllInterfaces,
  kSetServerPort,
  kSetConsolePort,
  kSetGameSpyPort,
  kSetGameSpyLanPort,
  kSetAsePort,
  kSetServerMaxPlayers,
  kSetWelcomeMessage,  // 10
  kSetServerInternet,
  kSetBandwidthChokeLimit,
  kSetMaxConnectionType,
  kSetCoopCpu,
  kSetContentCheck,
  kSetServerPassword,
  kSetNumberOfRounds,
  kSetGameTime,
  kSetScoreLimit,
  kSetTicketRatio,  // 20
  kSetAttackerTicketsMod,
  kSetCoopAiSkill,
  kSetAlliedTeamRatio,
  kSetAxisTeamRatio,
  kSetSpawnTime,
  kSetSpawnWaveTime,
  kSetGameStartDelay,
  kSetGravityEnabled,
  kSetGravity,
  kSetTimeBeforeRestartMap,  // 30
  kSetPunkBuster,
  kSetBanInBfAndPb,
  kSetSoldierFriendlyFire,
  kSetSoldierFriendlyFireOnSplash,
  kSetVehicleFriendlyFire,
  kSetVehicleFriendlyFireOnSplash,
  kSetKickback,
  kSetKickbackOnSplash,
  kSetTkPunishMode,
  kSetBanPlayerOnTkKick,  // 40
  kSetTkToKick,
  kSetSpawnDelayPenaltyForTk,
  kSetAutoKickScore,
  kSetAutoKickScoreValue,
  kSetAutoBan,
  kSetAutoBanValue,
  kSetKickPlayerVote,
  kSetMapVote,
  kSetKickTeamPlayerVote,
  kSetAutoBalanceTeams,  // 50
  kSetSmartBalance,
  kSetSmartBalanceValue,
  kSetVotingTime,
  kSetVoteMapMajority,
  kSetVoteKickPlayerMajority,
  kSetVoteKickTeamPlayerMajority,
  kSetExternalViews,
  kSetAllowNoseCam,
  kSetFreeCamera,
  kSetHitIndication,  // 60
  kSetDeathCameraType,
  kSetCrosshairCenterpoint,
  kSetNameTagDistance,
  kSetNameTagDistanceScope,
  kSetConsoleUsername,
  kSetConsolePassword,
  kSetEnableRemoteConsole,
  kSetEnableRemoteAdmin,
  kSetReservedSlots,
  kSetReservedPassword,  // 70
  kSetMonitorTimerPeriod,
  kSetAutoKickPing,
  kSetAutoKickPingValue,
  kSetHighPingWarnings,
  kSetToggleGamePause,
  kSetAutoKickWord,
  kSetAutoAnnounce,
  kSetAutoAnnouncePeriod,
  kSetEventLogging,
  kSetEventLogCompression,  // 80
  kSetStatCollection,
  kSetStatFilePath,
};

// The game-mode codes and their labels (no row of the table).
inline constexpr std::string_view kGameModeChoices =
    "GPM_CQ/Conquest,GPM_COOP/Cooperative,GPM_CTF/Capture The Flag,"
    "GPM_TDM/Team Deathmatch,GPM_OBJECTIVEMODE/Objective Mode";

// Puts every row into its initial state: numbers and choices take their
// defaults, texts start empty, Action rows are off.
void InitSettings();

// The name a row is stored and logged under: game key, else console key,
// else "[unknown]"; "[bad index]" outside 0 to 82.
const char* SettingName(int index);

// Validates the value part of one settings line (everything after the key)
// and stores it in the row. Bad or missing values fall back to the default
// with a log message; the row always ends up holding a valid value.
void ParseSettingValue(int index, std::string_view rest);

// The row, for reading and writing its current value (index 0 to 82).
SettingEntry& Setting(int index);
inline std::int32_t SettingValue(int index) { return Setting(index).value; }
inline const std::string& SettingText(int index) { return Setting(index).text; }

// A decimal text as atof reads it, through single precision, times `scale`
// and truncated toward zero; values beyond 32 bits saturate, NaN is the
// lowest.
std::int32_t ScaledValue(std::string_view text, double scale);

// True for the kinds whose value is their text (Text, WelcomeText, Choice).
bool UsesText(SettingType type);

// Applies the "@game.gameSpyPort N" / "@game.gameSpyLANPort N" values that
// the command line gave, so they win over korvane.con.
void ApplyCommandLinePorts();

// Copies the whole table into the snapshot.
void TakeSettingsSnapshot();
// Zeroed snapshot rows, one per setting: nothing is known of a server yet.
void ClearSettingsSnapshot();
