#!/usr/bin/env bash
# How long korvctl --fleet takes against many daemons: starts N korvd +
# gamesim pairs (default 20) on loopback, each on its own demo server
# directory and ports, waits until every game server's console is
# connected, then times korvctl --fleet status, health, players and ping
# over all of them, and once more with one dead address added; then
# korvweb --fleet over the same daemons: its resident memory and login time.
#
#   bench/fleet.sh [N]
#
# As root it runs in a private network namespace, so that the game ports it
# gives out touch nothing else on the machine. Every process it starts is
# ended by its pid on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-20}
if [ "$(id -u)" = 0 ] && [ -z "${KORV_FLEET_NETNS:-}" ] && command -v unshare >/dev/null; then
  exec env KORV_FLEET_NETNS=1 unshare --net bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
build=$(cd "${KORV_BUILD:-build}" && pwd)
[ -x "$build/korvd" ] && [ -x "$build/korvctl" ] && [ -x "$build/gamesim" ] ||
  { echo "fleet.sh: build the project first" >&2; exit 1; }
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

ms() { date +%s%3N; }
start=$(ms)
for i in $(seq 1 "$count"); do
  dir=$work/s$i
  scripts/make_demo_server.sh "$dir" >/dev/null
  base=$((30000 + i * 10))
  sed -i -e "s/^game.serverPort .*/game.serverPort $base/" \
    -e "s/^manager.consolePort .*/manager.consolePort $((base + 1))/" \
    -e "s/^game.gameSpyPort .*/game.gameSpyPort $((base + 2))/" \
    -e "s/^game.gameSpyLANPort .*/game.gameSpyLANPort $((base + 3))/" \
    -e "s/^game.ASEPort .*/game.ASEPort $((base + 4))/" \
    -e "s/^game.serverName .*/game.serverName \"fleet $i\"/" "$dir/mods/bf1942/settings/korvane.con"
  port=$((base + 5))
  (cd "$dir" && exec "$build/korvd" -path "$dir" -port "$port" -ip 127.0.0.1 -start -exit -nodelay \
    >"$dir/korvd-out.txt" 2>&1) &
  pids+=($!)
  echo "s$i 127.0.0.1:$port" >>"$work/fleet"
done
for i in $(seq 1 "$count"); do
  for _ in $(seq 600); do
    grep -q ' : Connected' "$work/s$i/korvd.log" 2>/dev/null && break
    sleep 0.1
  done
  grep -q ' : Connected' "$work/s$i/korvd.log" || { echo "fleet.sh: s$i never connected" >&2; exit 1; }
done
echo "fleet.sh: $count daemons with their game servers up in $(($(ms) - start)) ms"

export KORV_USER=admin KORV_PASSWORD=changeme
run() {
  local label=$1 before after status=0
  shift
  before=$(ms)
  "$build/korvctl" "$@" >"$work/out" 2>&1 || status=$?
  after=$(ms)
  printf 'fleet.sh: %-44s %5d ms  exit %d  %d daemons ok\n' "$label" $((after - before)) "$status" \
    "$(grep -c ' ok$' "$work/out" || true)"
}
for command in status health players ping; do
  run "korvctl --fleet ($count) $command" --fleet "$work/fleet" "$command"
  [ "$command" != status ] || head -3 "$work/out"
done
# A dead address (nothing listens) and a silent one (a port that accepts and
# never answers) beside the live daemons.
python3 -c 'import socket,time,sys
s=socket.socket(); s.bind(("127.0.0.1",29999)); s.listen(64); open(sys.argv[1],"w").close(); time.sleep(3600)' \
  "$work/silent" &
pids+=($!)
for _ in $(seq 100); do [ -e "$work/silent" ] && break; sleep 0.1; done
{ cat "$work/fleet"; echo "dead 127.0.0.1:29998"; echo "silent 127.0.0.1:29999"; } >"$work/fleet2"
run "status, + a dead and a silent one, -t 2" --fleet "$work/fleet2" -t 2 status
grep -E '^(dead|silent) ' "$work/out"

# korvweb's resident memory with the fleet page over the live daemons (the
# dead and silent ones left out): idle, then with one administrator logged
# in to all of them and a few polls done.
[ -x "$build/korvweb" ] || exit 0
webport=29990
"$build/korvweb" --listen 127.0.0.1:$webport --fleet "$work/fleet" >"$work/korvweb-out.txt" 2>&1 &
web=$!
pids+=($web)
rss() { awk '/^VmRSS/ { printf "%.1f MiB", $2 / 1024 }' "/proc/$web/status"; }
for _ in $(seq 100); do grep -q serving "$work/korvweb-out.txt" && break; sleep 0.1; done
echo "fleet.sh: korvweb resident, idle with $count daemons in its fleet: $(rss)"
python3 - "$webport" "$count" <<'PY'
import json, sys, time, urllib.request
port, count = sys.argv[1], int(sys.argv[2])
base = "http://127.0.0.1:%s" % port
request = urllib.request.Request(base + "/api/fleet/login", method="POST",
    data=json.dumps({"user": "admin", "password": "changeme"}).encode(),
    headers={"Content-Type": "application/json"})
start = time.monotonic()
with urllib.request.urlopen(request, timeout=60) as reply:
    cookie = reply.headers["Set-Cookie"].split(";")[0]
    cards = json.load(reply)["cards"]
print("fleet.sh: korvweb fleet login to %d daemons: %d ms, %d running" % (
    count, (time.monotonic() - start) * 1000, sum(card["state"] == "running" for card in cards)))
time.sleep(6)  # three polls
request = urllib.request.Request(base + "/api/fleet", headers={"Cookie": cookie})
with urllib.request.urlopen(request, timeout=60) as reply:
    print("fleet.sh: first card after the polls: %s" % json.load(reply)["cards"][0]["words"])
PY
echo "fleet.sh: korvweb resident, one fleet session on $count daemons: $(rss)"
