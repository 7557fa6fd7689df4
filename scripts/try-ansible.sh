#!/usr/bin/env bash
# Applies the Ansible role contrib/ansible/roles/korvd as an administrator
# would, with a local connection inside a fresh bookworm root: it installs
# the package, lays out two instances (one in the default root, one in a
# directory of its own, both demo servers) and their options; a second
# run must change nothing. systemd cannot run in the root, so the role
# runs with korvd_service=false; the script then runs each instance as its
# unit would (as user korvd, in private PID, mount and network namespaces)
# and asks both for their status with korvctl --fleet.
#
#   scripts/try-ansible.sh [korvd_VERSION_ARCH.deb]
#
# Without a package it builds one (scripts/build-deb.sh, a few minutes).
# Needs root, mmdebstrap, unshare and the Debian mirror; making the root
# takes 3 to 4 minutes here.
set -euo pipefail
cd "$(dirname "$0")/.."

name=try-ansible
source scripts/try-start.sh "$@"

# KORV_TRY_ROOT=DIR copies a root made before with the same mmdebstrap line
# instead (a rerun then takes seconds, not minutes).
if [ -n "${KORV_TRY_ROOT:-}" ]; then
  cp -a "$KORV_TRY_ROOT" "$root"
else
  echo "try-ansible: a fresh bookworm root with ansible-core"
  mmdebstrap --quiet --variant=minbase --include=ansible-core,python3-apt,procps bookworm "$root"
fi
cp "$deb" "$root/tmp/korvd.deb"
cp -r contrib/ansible "$root/tmp/ansible"
cat >"$root/tmp/ansible/local.yml" <<'INVENTORY'
korvd_hosts:
  hosts:
    localhost:
      ansible_connection: local
      ansible_python_interpreter: /usr/bin/python3
      korvd_deb: /tmp/korvd.deb
      korvd_service: false
      korvd_instances:
        - name: alpha
          demo: true
          port: 14667
          ip: 127.0.0.1
          conf: |
            [metrics]
            textfile = /var/lib/korvd/metrics/alpha.prom
        - name: beta
          demo: true
          dir: /srv/games/beta
          port: 14668
          ip: 127.0.0.1
          options: "-start -restart -exit -nodelay"
          settings:
            game.serverName: '"beta"'
            game.serverPort: 14577
            manager.consolePort: 4712
            game.gameSpyPort: 23010
            game.gameSpyLANPort: 22010
            game.ASEPort: 14700
INVENTORY

cat >"$root/tmp/try.sh" <<'EOF_INSIDE'
#!/bin/bash
set -euo pipefail
step() { echo "try-ansible: $*"; }
case $1 in
apply)
  cd /tmp/ansible
  step "apply the role"
  ansible-playbook -i local.yml playbook.yml >/tmp/first.txt || { cat /tmp/first.txt; exit 1; }
  tail -3 /tmp/first.txt
  step "apply it again: nothing may change"
  ansible-playbook -i local.yml playbook.yml | tee /tmp/second.txt | tail -3
  grep -q 'changed=0 ' /tmp/second.txt || { echo "try-ansible: the second run changed something"; exit 1; }
  step "what it laid out"
  for f in /etc/default/korvd@alpha /etc/default/korvd@beta \
           /etc/systemd/system/korvd@beta.service.d/korvd-dir.conf \
           /srv/korvd/alpha/mods/bf1942/settings/korvd.conf; do
    echo "--- $f"; grep -v '^#' "$f"
  done
  grep -h '^game.serverPort\|^manager.consolePort' /srv/games/beta/mods/bf1942/settings/korvane.con
  stat -c '%U:%G %a %n' /srv/korvd/alpha /srv/games/beta /srv/korvd/alpha/mods/bf1942/settings/useraccess.con
  ;;
run)
  step "run both instances as their units would (systemd does not run here)"
  unit=/lib/systemd/system/korvd@.service
  start=$(sed -n 's/^ExecStart=//p' "$unit")
  pids=()
  for name in alpha beta; do
    KORVD_DIR=/srv/korvd/$name
    KORVD_OPTIONS="-start -restart -exit"
    . /etc/default/korvd
    . /etc/default/korvd@$name
    line=${start//'${KORVD_DIR}'/$KORVD_DIR}
    line=${line//'$KORVD_OPTIONS'/$KORVD_OPTIONS}
    echo "korvd@$name: $line"
    (cd "$KORVD_DIR" && exec runuser -u korvd -- $line >/tmp/$name.out 2>&1) &
    pids+=($!)
    for _ in $(seq 300); do grep -q ' : Connected' "$KORVD_DIR/korvd.log" 2>/dev/null && break; sleep 0.2; done
  done
  printf 'alpha 127.0.0.1:14667\nbeta 127.0.0.1:14668\n' >/tmp/fleet
  status=0
  KORV_PASSWORD=changeme korvctl -u admin --fleet /tmp/fleet status || status=$?
  for pid in $(pgrep -u korvd -x korvd); do kill -TERM "$pid"; done
  for pid in "${pids[@]}"; do wait "$pid" || true; done
  exit $status
  ;;
esac
EOF_INSIDE
chmod +x "$root/tmp/try.sh"

inside() {
  unshare --fork --pid --mount --mount-proc="$root/proc" "$@"
}
start=$(date +%s)
inside chroot "$root" /tmp/try.sh apply 2> >(grep -v 'posix_openpt' >&2)
inside unshare --net bash -c "ip link set lo up && chroot '$root' /tmp/try.sh run"
echo "try-ansible: done in $(($(date +%s) - start)) s after the root was made"
