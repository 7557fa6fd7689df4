#!/usr/bin/env bash
# The reliability figures: per fuzz target its executions and findings
# (scripts/fuzz.sh, SECONDS each, default 10), the sanitizer findings of the
# whole suite in the ASan+UBSan build, and per fault whether the daemon
# survived it and whether any file was lost. Uses build/ (the normal build)
# and build-asan/ (as scripts/check-hardened.sh makes it); builds both when
# missing.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
out=build-asan
work=$(mktemp -d /tmp/korv-faults.XXXXXX)
trap 'rm -rf "$work"' EXIT

[ -f build/build.ninja ] || cmake -S . -B build -G Ninja >/dev/null
cmake --build build >/dev/null || exit 1
[ -f "$out/build.ninja" ] || cmake -S . -B "$out" -G Ninja -DKORV_FUZZ=ON -DKORV_BENCH=OFF \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only" >/dev/null
cmake --build "$out" >/dev/null || exit 1

echo "== fuzz targets, ${seconds} s each"
FUZZ_BUILD="$out" scripts/fuzz.sh "$seconds"

echo
echo "== sanitizer findings (the whole suite under ASan+UBSan)"
(cd "$out" && ASAN_OPTIONS=detect_leaks=1 ctest -j2 --timeout 480 --output-on-failure) \
  >"$work/asan.log" 2>&1
tests=$(grep -c ' Test  *#' "$work/asan.log")
failed=$(grep -c '\*\*\*Failed\|\*\*\*Exception\|\*\*\*Timeout' "$work/asan.log")
reports=$(grep -c 'ERROR: AddressSanitizer\|ERROR: LeakSanitizer\|runtime error:' "$work/asan.log")
printf '%-28s %6s\n' tests "$tests" "failed" "$failed" "sanitizer reports" "$reports"

echo
echo "== faults (each row is a test that checks both columns)"
faults=(
  "server killed (SIGKILL)|FaultProcessTest.HungServerHoldsTheLoopBrieflyAndKilledServerIsRestarted"
  "server hung (SIGSTOP)|FaultProcessTest.HungServerHoldsTheLoopBrieflyAndKilledServerIsRestarted"
  "console reset mid-answer|FaultProcessTest.ConsoleResetMidAnswerFailsTheCommandAndReconnects"
  "client gone mid-upload|FaultProcessTest.ClientGoneMidUploadLeavesTheFile"
  "daemon killed saving, 200x|SaveFaultsTest.KilledWhileSavingLeavesTheOldOrTheNewFile"
  "full disk saving the files|SaveFaultsTest.FullDiskKeepsEveryOldFileAndSaysWhy"
  "full disk, client uploads|FaultProcessTest.FullDiskFailsEachUploadAndKeepsTheOldFile"
  "read-only server directory|FaultProcessTest.ReadOnlyServerDirectoryRefusesTheStart"
)
printf '%-28s %-9s %-11s %s\n' fault survived "files lost" test
for row in "${faults[@]}"; do
  name=${row%%|*}
  test=${row#*|}
  if build/korv_tests --gtest_filter="$test" >"$work/fault.log" 2>&1 &&
     grep -q '\[  PASSED  \] 1 test' "$work/fault.log"; then
    printf '%-28s %-9s %-11s %s\n' "$name" yes none "$test"
  elif grep -q '\[  SKIPPED \]' "$work/fault.log"; then
    printf '%-28s %-9s %-11s %s\n' "$name" skipped "-" "$test (no mount namespace)"
  else
    printf '%-28s %-9s %-11s %s\n' "$name" NO "see test" "$test"
  fi
done
