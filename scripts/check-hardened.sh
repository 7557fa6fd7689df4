#!/usr/bin/env bash
# The hardened half of CI, after the normal suite. One clang build in
# build-asan/ with AddressSanitizer and UndefinedBehaviorSanitizer holds
# both the whole suite and the fuzz targets (the libraries are instrumented
# for libFuzzer as well; the benchmarks are left out). On it: the whole
# suite, then every fuzz target for a short run (FUZZ_SECONDS, default 5,
# two at a time). Last, one working session with the daemon of the normal
# build under valgrind memcheck (no error, no definite leak).
set -euo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds=${FUZZ_SECONDS:-5}
out=build-asan

echo "== ASan+UBSan build ($out): the suite and the fuzz targets"
# Line tables only: quicker to build than full debug information, and the
# reports still name file and line.
cmake -S . -B "$out" -G Ninja -DKORV_FUZZ=ON -DKORV_BENCH=OFF -DKORV_WERROR=ON \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only" >/dev/null
cmake --build "$out"
# The whole suite, the process tests included: the daemon, gamesim and
# korvctl carry the sanitizers too. A leak report makes a program fail.
(cd "$out" && ASAN_OPTIONS=abort_on_error=0:detect_leaks=1 \
  UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure --timeout 480 -j2)

echo "== fuzz targets, ${fuzz_seconds} s each"
FUZZ_BUILD="$out" scripts/fuzz.sh "$fuzz_seconds"

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
