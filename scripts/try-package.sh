#!/usr/bin/env bash
# Tries the Debian package as an administrator would, in a fresh bookworm
# root: install it with apt, lay out the demo server, check it with
# korvd -t, run an instance as user korvd with the unit's own ExecStart line
# and ask it for its status with korvctl, stop it, remove and purge the
# package, then list what is left of it.
#
#   scripts/try-package.sh [korvd_VERSION_ARCH.deb]
#
# Without a package it builds one (scripts/build-deb.sh, a few minutes).
# Needs root, mmdebstrap, unshare and the Debian mirror; with a built
# package it takes 40 to 100 seconds, most of it making the root. systemd cannot run as PID 1 in the root: the unit's
# lines are run by hand, in private PID, mount and network namespaces, so
# the instance's fixed ports touch nothing outside.
set -euo pipefail
cd "$(dirname "$0")/.."

name=try-package
source scripts/try-start.sh "$@"

echo "try-package: a fresh bookworm root"
mmdebstrap --quiet --variant=minbase --include=systemd,procps bookworm "$root"
cp "$deb" "$root/tmp/korvd.deb"
find "$root" -xdev \( -path "$root/var/cache" -o -path "$root/var/lib/apt" -o -path "$root/var/log" \
  -o -path "$root/tmp" -o -path "$root/var/lib/dpkg" -o -path "$root/proc" \) -prune -o -print |
  sed "s|^$root||" | sort >"$work/before.txt"

# The steps inside the root, as root of the root; the instance runs as korvd.
cat >"$root/tmp/try.sh" <<'EOF'
#!/bin/bash
set -euo pipefail
step() { echo "try-package: $*"; }
as_korvd() { runuser -u korvd -- "$@"; }

case $1 in
install)
step "install"
apt-get -qq update
DEBIAN_FRONTEND=noninteractive apt-get -qq -y install /tmp/korvd.deb >/tmp/install.log
getent passwd korvd
stat -c '%U:%G %a %n' /srv/korvd /var/lib/korvd/metrics
;;
run)

step "lay out the demo server and check it as korvd"
as_korvd /usr/share/korvd/make_demo_server.sh /srv/korvd/demo >/dev/null
printf '[metrics]\ntextfile = /var/lib/korvd/metrics/demo.prom\n' |
  as_korvd tee /srv/korvd/demo/mods/bf1942/settings/korvd.conf >/dev/null
unit=/lib/systemd/system/korvd@.service
check=$(sed -n 's/^ExecStartPre=//p' "$unit")
start=$(sed -n 's/^ExecStart=//p' "$unit")
options=$(sed -n 's/^Environment="KORVD_OPTIONS=\(.*\)"$/\1/p' "$unit")
expand() { local line=${1//'${KORVD_DIR}'/\/srv\/korvd\/demo}; echo "${line//'$KORVD_OPTIONS'/$options}"; }
(cd /srv/korvd/demo && as_korvd $(expand "$check"))

step "run the instance as korvd: $(expand "$start")"
cd /srv/korvd/demo
as_korvd $(expand "$start") >/tmp/korvd.out 2>&1 &
runner=$!
for _ in $(seq 300); do
  grep -q 'Server started via command-line option.' korvd.log 2>/dev/null && break
  sleep 0.2
done
pid=$(pgrep -u korvd -x korvd)
grep 'Listening on\|Server started' korvd.log
KORV_PASSWORD=changeme korvctl -u admin status | head -5
for _ in $(seq 100); do [ -s /var/lib/korvd/metrics/demo.prom ] && break; sleep 0.2; done
grep '^korvd_server_up' /var/lib/korvd/metrics/demo.prom
ps -o user=,comm= -u korvd | sort | uniq -c

step "stop it (SIGTERM, as systemctl stop does)"
kill -TERM "$pid"
status=0
wait "$runner" || status=$?
echo "korvd ended with status $status (the unit counts 15 as a clean stop)"
sleep 1
if pgrep -u korvd >/dev/null; then echo "left running:"; ps -u korvd; exit 1; fi
;;
remove)
step "remove"
apt-get -qq -y remove korvd >/dev/null
dpkg -l korvd | tail -1
step "purge"
apt-get -y purge korvd 2>&1 | grep '^korvd:' || true
dpkg -l korvd 2>&1 | tail -1 || true
;;
esac
EOF
chmod +x "$root/tmp/try.sh"

# The install reaches the mirror; the instance runs without a network.
inside() {
  unshare --fork --pid --mount --mount-proc="$root/proc" "$@"
}
start=$(date +%s)
inside chroot "$root" /tmp/try.sh install 2> >(grep -v 'posix_openpt' >&2)
inside unshare --net bash -c "ip link set lo up && chroot '$root' /tmp/try.sh run"
inside chroot "$root" /tmp/try.sh remove 2> >(grep -v 'posix_openpt' >&2)

echo "try-package: what is left after purge (beside the apt, dpkg and log state):"
find "$root" -xdev \( -path "$root/var/cache" -o -path "$root/var/lib/apt" -o -path "$root/var/log" \
  -o -path "$root/tmp" -o -path "$root/var/lib/dpkg" -o -path "$root/proc" \) -prune -o -print |
  sed "s|^$root||" | sort >"$work/after.txt"
comm -13 "$work/before.txt" "$work/after.txt" | grep -v '^/srv/korvd/demo/' || true
echo "  ($(comm -13 "$work/before.txt" "$work/after.txt" | grep -c '^/srv/korvd/demo/') files of the demo server below /srv/korvd/demo)"
grep '^korvd:' "$root/etc/passwd" || true
echo "try-package: done in $(($(date +%s) - start)) s after the root was made"
