// The korvane.con that a first start writes from the table's defaults.
#pragma once

// korvane.con as the defaults imply it: every row in table order, texts in
// empty quotes, the pause switch absent because it is off.
constexpr const char* kFirstStartFile =
    "game.serverName \"\"\ngame.serverDedicated 1\ngame.serverIP 0.0.0.0\n"
    "manager.bindAllIntefaces 0\ngame.serverPort 14567\nmanager.consolePort 4711\n"
    "game.gameSpyPort 23000\ngame.gameSpyLANPort 22000\ngame.ASEPort 14690\n"
    "game.serverMaxPlayers 32\ngame.serverInternet 0\ngame.serverBandwidthChokeLimit 0\n"
    "game.serverMaxAllowedConnectionType CTLanT1\ngame.serverCoopCPU 100\n"
    "game.serverContentCheck 0\ngame.serverPassword \"\"\ngame.serverNumberOfRounds 3\n"
    "game.serverGameTime 0\ngame.serverScoreLimit 0\ngame.serverTicketRatio 100\n"
    "game.objectiveAttackerTicketsMod 100\ngame.serverCoopAISkill 50\n"
    "game.serverAlliedTeamRatio 1\ngame.serverAxisTeamRatio 1\ngame.serverSpawnTime 15\n"
    "admin.spawnWaveTime 5\ngame.serverGameStartDelay 20\nmanager.gravity 0\n"
    "physics.gravity -4\nadmin.timeBeforeRestartMap 10\ngame.serverPunkBuster 0\n"
    "manager.banInBFandPB 0\ngame.serverSoldierFriendlyFire 100\n"
    "game.serverSoldierFriendlyFireOnSplash 100\ngame.serverVehicleFriendlyFire 100\n"
    "game.serverVehicleFriendlyFireOnSplash 100\ngame.serverKickback 0.00\n"
    "game.serverKickbackOnSplash 0.00\ngame.serverTKPunishMode 0\nadmin.banPlayerOnTKKick 0\n"
    "admin.nrOfTKToKick 3\nadmin.spawnDelayPenaltyForTK 0.0\nmanager.autoKickScore 0\n"
    "manager.autoKickScoreValue -6\nmanager.autoBan 0\nmanager.autoBanValue 3\n"
    "admin.enableKickPlayerVote 1\nadmin.enableMapVote 1\nadmin.enableKickTeamPlayerVote 1\n"
    "game.serverAutoBalanceTeams 0\nmanager.smartBalance 0\nmanager.smartBalanceValue 3\n"
    "admin.votingTime 60\nadmin.voteMapMajority 0.60\nadmin.voteKickPlayerMajority 0.60\n"
    "admin.voteKickTeamPlayerMajority 0.60\ngame.serverExternalViews 1\n"
    "game.serverAllowNoseCam 1\ngame.serverFreeCamera 0\ngame.serverHitIndication 1\n"
    "game.serverDeathCameraType 0\ngame.serverCrosshairCenterpoint 1\n"
    "game.serverNameTagDistance 100\ngame.serverNameTagDistanceScope 300\n"
    "manager.consoleUsername \"\"\nmanager.consolePassword \"\"\n"
    "manager.enableRemoteConsole 1\nmanager.enableRemoteAdmin 0\n"
    "game.serverNumReservedSlots 0\ngame.serverReservedPassword \"\"\n"
    "manager.monitorTimerPeriod 30\nmanager.autoKickPing 0\nmanager.autoKickPingValue 500\n"
    "manager.highPingWarnings 0\nmanager.autoKickWord 0\nmanager.autoAnnounce 0\n"
    "manager.autoAnnouncePeriod 60\ngame.serverEventLogging 0\n"
    "game.serverEventLogCompression 0\nmanager.statCollection 0\nmanager.statFilePath \"\"\n";
