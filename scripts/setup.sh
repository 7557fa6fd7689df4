#!/usr/bin/env bash
# Installs what the project needs from Debian (when missing) and builds it.
# Arguments are passed to the cmake configure step (scripts/test.sh passes
# -DKORV_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build ccache pkg-config liblzo2-dev libproc2-dev libinih-dev libgtest-dev libgmock-dev qstat procps util-linux clang libclang-rt-dev valgrind)
# korvweb: its HTTP and JSON libraries, and the headless browser its page test drives.
packages+=(libcpp-httplib-dev libssl-dev zlib1g-dev libbrotli-dev nlohmann-json3-dev chromium chromium-driver python3-selenium)
# operations: systemd, man pages, metrics parser and the Debian package.
# fleet: PostgreSQL client library, and the server its tests start.
packages+=(libpq-dev postgresql)
packages+=(libsystemd-dev systemd mandoc python3-prometheus-client debhelper dpkg-dev fakeroot lintian)
# monitoring: promtool for the alert rules' test, and the exporter and server of the chain test.
packages+=(prometheus prometheus-node-exporter)
# fleet: the Ansible role's syntax check.
packages+=(ansible-core)
# player history: SQLite.
packages+=(libsqlite3-dev)
# korvweb's browser bench: loopback brought up in its private network namespace.
packages+=(iproute2)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

cmake -S . -B build -G Ninja "$@" >/dev/null
cmake --build build
