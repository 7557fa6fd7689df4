#!/usr/bin/env bash
# Checks the layer order of the includes, sets everything up, builds with
# warnings as errors, and runs every test; then the sanitizer build, the
# short fuzz runs and the valgrind session (scripts/check-hardened.sh); last,
# the GCC Debug and Release builds (the main build is GCC RelWithDebInfo and
# the sanitizer build is clang, so together every variant is built).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/check-layers.sh
scripts/setup.sh -DKORV_WERROR=ON
scripts/check-ops.sh
cd build
ctest --output-on-failure --timeout 480 -j2
cd ..
scripts/check-hardened.sh
scripts/check-builds.sh gcc-debug gcc-release
