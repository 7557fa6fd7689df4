#!/usr/bin/env bash
# Sets everything up, lays out a demo server directory and runs the daemon
# on it in the foreground (Ctrl-C ends it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
demo=${KORV_DEMO_DIR:-$PWD/demo-server}
scripts/make_demo_server.sh "$demo"
exec build/korvd -path "$demo" "$@"
