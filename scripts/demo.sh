#!/usr/bin/env bash
# Sets everything up, lays out a demo server directory (gamesim plays the game
# server) and runs the daemon on it in the foreground: it starts the server
# and restarts it after a crash. Ctrl-C ends the daemon; the game server keeps
# running and is adopted by the next run (add -exit to stop it as well).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
demo=${KORV_DEMO_DIR:-$PWD/demo-server}
scripts/make_demo_server.sh "$demo"
exec build/korvd -start -restart -path "$demo" "$@"
