#!/usr/bin/env bash
# Checks what an administrator installs: the man pages lint clean, the
# systemd unit verifies, and `cmake --install` lays out every file. Needs a
# configured build/ (scripts/setup.sh). With KORV_CHECK_DEB=1 it also builds
# the Debian package (about 2.5 minutes on two cores) and checks its contents.
set -euo pipefail
cd "$(dirname "$0")/.."

for page in man/*.[0-9]; do
  mandoc -T lint -W warning "$page"
  # Rendered, an optional part closes before the next one opens: no
  # "idle-map [map, restart-map]".
  if nested=$(MANWIDTH=200 man -l "$page" 2>/dev/null | grep -E '\[[^]]*\['); then
    echo "check-ops: $page renders nested brackets: $nested" >&2; exit 1
  fi
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install build --prefix /usr/local >/dev/null
expected=(
  usr/local/sbin/korvd usr/local/bin/korvctl usr/local/bin/gamesim
  usr/local/share/man/man8/korvd.8 usr/local/share/man/man1/korvctl.1
  usr/local/share/man/man6/gamesim.6 usr/local/lib/systemd/system/korvd@.service
  usr/local/lib/sysusers.d/korvd.conf usr/local/lib/tmpfiles.d/korvd.conf
  usr/local/share/korvd/make_demo_server.sh
)
for file in "${expected[@]}"; do
  [ -f "$stage/$file" ] || { echo "check-ops: $file was not installed" >&2; exit 1; }
done
unit=$stage/usr/local/lib/systemd/system/korvd@.service
grep -q '^ExecStart=/usr/local/sbin/korvd -path ' "$unit" ||
  { echo "check-ops: the unit does not run the installed daemon" >&2; exit 1; }

grep -q '^SuccessExitStatus=15 2$' "$unit" ||
  { echo "check-ops: a stop (exit status 15) would leave the unit failed" >&2; exit 1; }

# verify wants the programs the unit runs where the unit names them.
mkdir -p "$stage/root/etc/systemd/system"
cp "$unit" "$stage/root/etc/systemd/system/"
sed -i "s|/usr/local/sbin/korvd|$(pwd)/build/korvd|" "$stage/root/etc/systemd/system/korvd@.service"
SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no \
  "$stage/root/etc/systemd/system/korvd@demo.service"

if [ "${KORV_CHECK_DEB:-0}" = 1 ]; then
  deb=$(scripts/build-deb.sh "$stage/dist" | tail -1)
  contents=$(dpkg-deb -c "$deb")
  for file in usr/sbin/korvd usr/bin/korvctl usr/bin/gamesim lib/systemd/system/korvd@.service \
              usr/share/man/man8/korvd.8.gz usr/share/man/man1/korvctl.1.gz; do
    grep -q " ./$file\$" <<<"$contents" || { echo "check-ops: $file not in the package" >&2; exit 1; }
  done
fi
echo "check-ops: man pages, unit and install layout are fine"
