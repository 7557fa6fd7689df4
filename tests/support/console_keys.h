// The console keys a login reads back from the game server, in the order they are asked.
#pragma once

#include <string>
#include <vector>

namespace korvtest {

inline const std::vector<std::string> kReadBackKeys = {
    "admin.bandwidthChokeLimit", "admin.maxAllowedConnectionType", "admin.timeLimit",
    "admin.scoreLimit", "admin.timeToNextWave", "admin.spawnWaveTime",
    "admin.timeBeforeRestartMap", "admin.soldierFFRatio", "admin.soldierFFRatioOnSplash",
    "admin.vehicleFFRatio", "admin.vehicleFFRatioOnSplash", "admin.kickback",
    "admin.kickbackOnSplash", "admin.tkPunishMode", "admin.banPlayerOnTKKick",
    "admin.nrOfTKToKick", "admin.spawnDelayPenaltyForTK", "admin.enableKickPlayerVote",
    "admin.enableMapVote", "admin.enableKickTeamPlayerVote", "admin.autoBalanceTeam",
    "admin.votingTime", "admin.voteMapMajority", "admin.voteKickPlayerMajority",
    "admin.voteKickTeamPlayerMajority", "admin.externalViews", "admin.allowNoseCam",
    "game.enableFreeCamera", "admin.crossHairCenterPoint"};

}  // namespace korvtest
