#!/usr/bin/env bash
# Lays out a complete demo server installation in DIR: gamesim installed as
# bf1942_lnxded, the bf1942 mod and a few others with synthetic map archives
# that carry game types, a map rotation, an administrator account, the
# daemon's settings and a lively gamesim scenario. Files an administrator
# may have changed (settings, accounts, rotation, scenario) are kept when
# they already exist; the binary and the archives are always refreshed.
set -euo pipefail
dir=${1:?usage: make_demo_server.sh DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
gamesim=${GAMESIM_BINARY:-$root/build/gamesim}
# Installed beside the programs, the script takes the installed gamesim.
[ -x "$gamesim" ] || [ -n "${GAMESIM_BINARY:-}" ] || gamesim=$(command -v gamesim || echo "$gamesim")
if [ ! -x "$gamesim" ]; then
  echo "make_demo_server.sh: $gamesim is missing; build the project first" >&2
  exit 1
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
settings=$dir/mods/bf1942/settings
mkdir -p "$settings" "$dir/pb"

# A running copy cannot be overwritten in place; replace it by rename.
cp "$gamesim" "$dir/.bf1942_lnxded.new"
chmod 755 "$dir/.bf1942_lnxded.new"
mv -f "$dir/.bf1942_lnxded.new" "$dir/bf1942_lnxded"
: > "$dir/pb/pbsv.so"   # marks PunkBuster as installed (it stays disabled)

# Little-endian 32-bit number on standard output.
u32() {
  local n=$1
  printf "\\x$(printf %02x $((n & 255)))\\x$(printf %02x $(((n >> 8) & 255)))"
  printf "\\x$(printf %02x $(((n >> 16) & 255)))\\x$(printf %02x $(((n >> 24) & 255)))"
}

# make_map MOD MAP GAMETYPE...: an archive whose directory lists one
# Map/GameTypes/<type>.con entry per game type (24 data bytes each).
make_map() {
  local mod=$1 map=$2
  shift 2
  local levels=$dir/mods/$mod/archives/bf1942/levels
  mkdir -p "$levels"
  {
    u32 4
    u32 $#
    for type in "$@"; do
      local name="$map/GameTypes/$type.con"
      u32 ${#name}
      printf '%s' "$name"
      printf '%024d' 0 | tr 0 '\0'
    done
  } > "$levels/$map.rfa"
}

make_mod() {
  mkdir -p "$dir/mods/$1"
  [ -f "$dir/mods/$1/init.con" ] || printf 'game.setActiveMod %s\n' "$1" > "$dir/mods/$1/init.con"
  if [ "${2:-}" = pure ]; then
    : > "$dir/mods/$1/contentcrc32.con"
  fi
}

make_mod bf1942 pure
make_mod xpack1 pure
make_mod xpack2 pure
make_mod dc
make_map bf1942 berlin Conquest TDM
make_map bf1942 el_alamein Conquest CTF
make_map bf1942 wake Conquest Coop
make_map bf1942 battle_of_britain Conquest ObjectiveMode
make_map bf1942 kursk Conquest TDM
make_map bf1942 stalingrad Conquest
make_map xpack1 anzio Conquest
make_map xpack1 monte_cassino Conquest CTF
make_map xpack2 peenemunde Conquest ObjectiveMode
make_map dc berlin CTF

write_once() {  # write_once FILE: standard input becomes FILE unless it has content
  if [ -s "$1" ]; then cat > /dev/null; else cat > "$1"; fi
}

write_once "$settings/servermaplist.con" <<'MAPS'
game.setCurrentLevel berlin GPM_CQ bf1942
game.addLevel berlin GPM_CQ bf1942
game.addLevel el_alamein GPM_CTF bf1942
game.addLevel kursk GPM_TDM bf1942
game.addLevel monte_cassino GPM_CQ xpack1
game.addLevel battle_of_britain GPM_OBJECTIVEMODE bf1942
game.addLevel berlin GPM_CTF dc
game.setIdleLevel wake GPM_COOP bf1942
MAPS

# The administrator logs in as admin / changeme; the key hash is that of the
# player Commander in the scenario, so the in-game "!" commands work for him.
admin_hash=c0ffee00c0ffee00c0ffee00c0ffee00
write_once "$settings/useraccess.con" <<ACCOUNTS
admin,changeme,$admin_hash,4294967295,1
ACCOUNTS

write_once "$settings/bannedwords.con" <<'WORDS'
noob
$Cheater
WORDS

write_once "$dir/gamesim.scenario" <<SCENARIO
# gamesim scenario of the demo server: a lively game (players come and go,
# fight, talk and finish rounds) with the administrator's own player on it.
# See README.md, "gamesim scenario files", for every line this file may hold.
lively 1
player 1 2 0 0 0 45 198.51.100.7:14568 $admin_hash 00c0ffee00c0ffee00c0ffee00c0ffee Commander
chat Commander: !nextmap
SCENARIO

# The daemon's own settings: the chat follows the game within 200 ms.
write_once "$settings/korvd.conf" <<'CONF'
[console]
chat_poll_ms = 200
CONF

# The daemon's settings: every row, so that the first start already has a
# server name and address and the moderation worth watching is switched on.
write_once "$settings/korvane.con" <<'SETTINGS'
game.serverName "gamesim demo"
game.serverDedicated 1
game.serverIP 127.0.0.1
manager.bindAllIntefaces 0
game.serverPort 14567
manager.consolePort 4711
game.gameSpyPort 23000
game.gameSpyLANPort 22000
game.ASEPort 14690
game.serverMaxPlayers 32
game.setServerWelcomeMessage 0 "Welcome_to_the_gamesim_demo_server!"
game.serverInternet 0
game.serverBandwidthChokeLimit 0
game.serverMaxAllowedConnectionType CTLanT1
game.serverCoopCPU 100
game.serverContentCheck 0
game.serverPassword ""
game.serverNumberOfRounds 3
game.serverGameTime 4
game.serverScoreLimit 0
game.serverTicketRatio 100
game.objectiveAttackerTicketsMod 100
game.serverCoopAISkill 50
game.serverAlliedTeamRatio 1
game.serverAxisTeamRatio 1
game.serverSpawnTime 15
admin.spawnWaveTime 5
game.serverGameStartDelay 20
manager.gravity 0
physics.gravity -4
admin.timeBeforeRestartMap 10
game.serverPunkBuster 0
manager.banInBFandPB 0
game.serverSoldierFriendlyFire 100
game.serverSoldierFriendlyFireOnSplash 100
game.serverVehicleFriendlyFire 100
game.serverVehicleFriendlyFireOnSplash 100
game.serverKickback 0.00
game.serverKickbackOnSplash 0.00
game.serverTKPunishMode 0
admin.banPlayerOnTKKick 0
admin.nrOfTKToKick 3
admin.spawnDelayPenaltyForTK 0.0
manager.autoKickScore 1
manager.autoKickScoreValue -6
manager.autoBan 0
manager.autoBanValue 3
admin.enableKickPlayerVote 1
admin.enableMapVote 1
admin.enableKickTeamPlayerVote 1
game.serverAutoBalanceTeams 0
manager.smartBalance 1
manager.smartBalanceValue 3
admin.votingTime 60
admin.voteMapMajority 0.60
admin.voteKickPlayerMajority 0.60
admin.voteKickTeamPlayerMajority 0.60
game.serverExternalViews 1
game.serverAllowNoseCam 1
game.serverFreeCamera 0
game.serverHitIndication 1
game.serverDeathCameraType 0
game.serverCrosshairCenterpoint 1
game.serverNameTagDistance 100
game.serverNameTagDistanceScope 300
manager.consoleUsername "UserName"
manager.consolePassword "Sesamine"
manager.enableRemoteConsole 1
manager.enableRemoteAdmin 0
game.serverNumReservedSlots 0
game.serverReservedPassword ""
manager.monitorTimerPeriod 30
manager.autoKickPing 1
manager.autoKickPingValue 500
manager.highPingWarnings 1
manager.autoKickWord 1
manager.autoAnnounce 0
manager.autoAnnouncePeriod 60
game.serverEventLogging 0
game.serverEventLogCompression 0
manager.statCollection 1
manager.statFilePath "statistics.csv"
SETTINGS
echo "Demo server laid out in $dir"
