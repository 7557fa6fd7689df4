#!/usr/bin/env bash
# The hardened half of CI, after the normal suite: the whole suite built
# with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/), every
# fuzz target for a short run (FUZZ_SECONDS, default 10, two at a time), and
# one working session with the daemon of the normal build under valgrind
# memcheck (no error, no definite leak).
set -euo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds=${FUZZ_SECONDS:-10}

echo "== ASan+UBSan suite (build-asan)"
cmake -S . -B build-asan -G Ninja -DKORV_SANITIZE=ON -DKORV_WERROR=ON >/dev/null
cmake --build build-asan
# The whole suite, the process tests included: the daemon, gamesim and
# korvctl carry the sanitizers too. A leak report makes a program fail.
(cd build-asan && ASAN_OPTIONS=abort_on_error=0:detect_leaks=1 \
  UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure --timeout 480 -j2)

echo "== fuzz targets, ${fuzz_seconds} s each"
scripts/fuzz.sh "$fuzz_seconds"

echo "== valgrind scenario"
logs=$(mktemp -d /tmp/korv-valgrind.XXXXXX)
trap 'rm -rf "$logs"' EXIT
KORV_TEST_WRAPPER="valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite --log-file=$logs/korvd.%p.log" \
  build/korv_tests --gtest_filter='ScenarioProcess.*'
# Every daemon valgrind watched ended with its report and no error.
found=0
for f in "$logs"/korvd.*.log; do
  [ -e "$f" ] || continue
  found=1
  if ! grep -q 'ERROR SUMMARY: 0 errors' "$f"; then
    cat "$f"
    echo "valgrind found errors: $f"
    exit 1
  fi
done
[ "$found" -eq 1 ] || { echo "valgrind wrote no report"; exit 1; }
echo "valgrind: no errors, no definite leaks"
