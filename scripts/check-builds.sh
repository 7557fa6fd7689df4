#!/usr/bin/env bash
# Configures and builds the project in every mode it must build cleanly in:
# GCC Debug, Release and RelWithDebInfo, and clang. Each variant has its own
# directory under build-variants/; warnings stop the build (KORV_WERROR).
# Usage: scripts/check-builds.sh [VARIANT...]  (gcc-debug gcc-release
# gcc-relwithdebinfo clang; all four by default)
set -euo pipefail
cd "$(dirname "$0")/.."

variants=("$@")
[ ${#variants[@]} -gt 0 ] || variants=(gcc-debug gcc-release gcc-relwithdebinfo clang)

for variant in "${variants[@]}"; do
  case $variant in
    gcc-debug) cxx=g++ type=Debug ;;
    gcc-release) cxx=g++ type=Release ;;
    gcc-relwithdebinfo) cxx=g++ type=RelWithDebInfo ;;
    clang) cxx=clang++ type=RelWithDebInfo ;;
    *) echo "check-builds.sh: unknown variant $variant" >&2; exit 2 ;;
  esac
  if ! command -v "$cxx" >/dev/null; then
    echo "check-builds.sh: $cxx is missing (apt-get install ${cxx%++})" >&2
    exit 1
  fi
  dir=build-variants/$variant
  echo "== $variant ($cxx, $type) in $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE="$type" -DKORV_WERROR=ON >/dev/null
  cmake --build "$dir"
done
echo "All variants built: ${variants[*]}"
