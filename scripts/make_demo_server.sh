#!/usr/bin/env bash
# Lays out a minimal server installation for the daemon in the given
# directory: the server binary, the bf1942 mod folder and its init.con.
set -euo pipefail
dir=${1:?usage: make_demo_server.sh DIR}
mkdir -p "$dir/mods/bf1942/settings"
touch "$dir/mods/bf1942/init.con"
if [ ! -x "$dir/bf1942_lnxded" ]; then
  printf '#!/bin/sh\nexec sleep 1000000\n' > "$dir/bf1942_lnxded"
  chmod 755 "$dir/bf1942_lnxded"
fi
