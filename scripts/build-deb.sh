#!/usr/bin/env bash
# Builds the Debian package from the working tree, in a copy under a
# temporary directory, and leaves korvd_*.deb in OUTDIR (default dist/).
# Runs lintian on it when lintian is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar --exclude='./build*' --exclude='./obj-*' --exclude='./dist' --exclude='./.git' \
    --exclude='./demo-server' -cf - . | (mkdir "$work/korvd" && cd "$work/korvd" && tar -xf -)
# Compiler-cache hits across the copies' differing paths.
export CCACHE_BASEDIR=$work CCACHE_NOHASHDIR=1
(cd "$work/korvd" && dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) || {
  tail -50 "$work/build.log" >&2
  exit 1
}
cp "$work"/korvd_*.deb "$out"/
deb=$(ls "$out"/korvd_*.deb | tail -1)
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb"
fi
echo "$deb"
