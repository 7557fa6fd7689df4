#!/usr/bin/env bash
# Checks what an administrator installs: the man pages lint clean, the
# systemd unit verifies, and `cmake --install` lays out every file. Needs a
# configured build/ (scripts/setup.sh). With KORV_CHECK_DEB=1 it also builds
# the Debian package (about 2.5 minutes on two cores) and checks its contents,
# its maintainer scripts and conffile, and that lintian finds no error (or
# checks the package KORV_DEB names instead of building one).
set -euo pipefail
cd "$(dirname "$0")/.."

for page in man/*.[0-9]; do
  mandoc -T lint -W warning "$page"
  # Rendered, an optional part closes before the next one opens: no
  # "idle-map [map, restart-map]".
  rendered=$(MANWIDTH=200 man -l "$page" 2>/dev/null)
  if nested=$(grep -E '\[[^]]*\[' <<<"$rendered"); then
    echo "check-ops: $page renders nested brackets: $nested" >&2; exit 1
  fi
  # Nor does a part open on one line and close on another, or never.
  if unbalanced=$(awk '{ if (gsub(/\[/, "[") != gsub(/\]/, "]")) print }' <<<"$rendered" | grep .); then
    echo "check-ops: $page renders unbalanced brackets: $unbalanced" >&2; exit 1
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
  usr/local/share/korvd/prometheus/korvd-alerts.yml
)
for file in "${expected[@]}"; do
  [ -f "$stage/$file" ] || { echo "check-ops: $file was not installed" >&2; exit 1; }
done
unit=$stage/usr/local/lib/systemd/system/korvd@.service
grep -q '^ExecStart=/usr/local/sbin/korvd -path ' "$unit" ||
  { echo "check-ops: the unit does not run the installed daemon" >&2; exit 1; }

grep -q '^SuccessExitStatus=15 2$' "$unit" ||
  { echo "check-ops: a stop (exit status 15) would leave the unit failed" >&2; exit 1; }
# The configuration check runs before every start and before the reload's
# signal, and the instance may write its metrics directory.
grep -q '^ExecStartPre=/usr/local/sbin/korvd -t -path ' "$unit" &&
  [ "$(grep '^ExecReload=' "$unit" | head -1)" = "$(sed -n 's/^ExecStartPre=/ExecReload=/p' "$unit")" ] ||
  { echo "check-ops: the unit does not run korvd -t before a start and a reload" >&2; exit 1; }
grep -q '^ReadWritePaths=-/var/lib/korvd/metrics$' "$unit" &&
  grep -q '^d /var/lib/korvd/metrics 0755 korvd korvd' "$stage/usr/local/lib/tmpfiles.d/korvd.conf" ||
  { echo "check-ops: the metrics directory is not made or not writable by the unit" >&2; exit 1; }

# verify wants the programs the unit runs where the unit names them.
mkdir -p "$stage/root/etc/systemd/system"
cp "$unit" "$stage/root/etc/systemd/system/"
sed -i "s|/usr/local/sbin/korvd|$(pwd)/build/korvd|" "$stage/root/etc/systemd/system/korvd@.service"
SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no \
  "$stage/root/etc/systemd/system/korvd@demo.service"

if [ "${KORV_CHECK_DEB:-0}" = 1 ]; then
  deb=${KORV_DEB:-$(scripts/build-deb.sh "$stage/dist" | tail -1)}
  # Clean: no error and no warning either.
  if command -v lintian >/dev/null && ! lintian --fail-on error,warning "$deb"; then
    echo "check-ops: lintian finds fault with the package" >&2; exit 1
  fi
  contents=$(dpkg-deb -c "$deb")
  for file in usr/sbin/korvd usr/bin/korvctl usr/bin/gamesim lib/systemd/system/korvd@.service \
              usr/share/man/man8/korvd.8.gz usr/share/man/man1/korvctl.1.gz \
              usr/lib/tmpfiles.d/korvd.conf usr/lib/sysusers.d/korvd.conf etc/default/korvd; do
    grep -q " ./$file\$" <<<"$contents" || { echo "check-ops: $file not in the package" >&2; exit 1; }
  done
  control=$stage/control
  dpkg-deb -e "$deb" "$control"
  for script in postinst prerm postrm; do
    [ -x "$control/$script" ] || { echo "check-ops: no $script in the package" >&2; exit 1; }
  done
  grep -qx /etc/default/korvd "$control/conffiles" ||
    { echo "check-ops: /etc/default/korvd is no conffile" >&2; exit 1; }
  grep -q 'systemd-tmpfiles .*--create korvd.conf' "$control/postinst" &&
    grep -q "deb-systemd-invoke stop" "$control/prerm" &&
    grep -q "deb-systemd-invoke try-restart" "$control/postinst" &&
    grep -q "daemon-reload" "$control/postrm" ||
    { echo "check-ops: the maintainer scripts do not make the tmpfiles or handle the instances" >&2; exit 1; }
  # Every line of the conffile is a comment or blank: the unit's values hold.
  if dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./etc/default/korvd | grep -v '^#' | grep -q .; then
    echo "check-ops: /etc/default/korvd sets something" >&2; exit 1
  fi
fi
echo "check-ops: man pages, unit and install layout are fine"
