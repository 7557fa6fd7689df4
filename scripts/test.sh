#!/usr/bin/env bash
# Sets everything up, builds with warnings as errors, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh -DKORV_WERROR=ON
cd build
ctest --output-on-failure --timeout 480 -j2
