#!/usr/bin/env bash
# Checks the layer order of the includes, sets everything up, builds with
# warnings as errors, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/check-layers.sh
scripts/setup.sh -DKORV_WERROR=ON
scripts/check-ops.sh
cd build
ctest --output-on-failure --timeout 480 -j2
