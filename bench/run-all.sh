#!/usr/bin/env bash
# Runs every benchmark under bench/ (one program per bench/*.cc, built in
# build/ when missing or stale), shows each one's own figures, then prints
# one table of the figures that have a goal: benchmark, figure, goal, ratio
# (figure / goal; every goal is an upper bound) and whether it is met.
#
#   bench/run-all.sh [--quick] [--faults [SECONDS]]
#
# --quick runs each benchmark briefly (the sizes the test suite uses): it
# shows they work, but the figures mean little. --faults also runs
# bench/faults.sh (a sanitizer build and the whole suite under it: long).
# Each benchmark reports its figures to this table on lines of the form
# "result<TAB>NAME<TAB>FIGURE<TAB>GOAL<TAB>UNIT" (GOAL "-": no goal).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
build=${KORV_BUILD:-build}
quick=0
faults=0
fault_seconds=10
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --faults)
      faults=1
      if [[ ${2:-} =~ ^[0-9]+$ ]]; then fault_seconds=$2; shift; fi ;;
    *) echo "usage: bench/run-all.sh [--quick] [--faults [SECONDS]]" >&2; exit 2 ;;
  esac
  shift
done

# The arguments of a full run, and of a quick one.
arguments() {
  case "$1:$quick" in
    bystander_bench:0) echo 5000 ;;  # long enough to judge the status ticks
    bystander_bench:1) echo 200 ;;
    ban_bench:1) echo 2000 ;;
    idle_bench:1) echo 1 ;;
    korvweb_bench:1) echo 5 ;;
    remote_bench:1) echo 20 ;;
    transport_bench:1) echo 1 ;;
    history_bench:1) echo 100 ;;
  esac
}

[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DKORV_BENCH=ON >/dev/null || exit 1
cmake --build "$build" >/dev/null || { echo "the build failed" >&2; exit 1; }

work=$(mktemp -d /tmp/korv-bench-all.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=()
for source in bench/*.cc; do
  name=$(basename "$source" .cc)
  if [ ! -x "$build/$name" ]; then
    echo "$build/$name is missing (configured with -DKORV_BENCH=OFF?)" >&2
    failed+=("$name")
    continue
  fi
  echo "== $name $(arguments "$name")"
  # shellcheck disable=SC2046  # the arguments are words
  "$build/$name" $(arguments "$name") | tee "$work/$name.out" | grep -v '^result	'
  [ "${PIPESTATUS[0]}" -eq 0 ] || failed+=("$name")
  echo
done
# The page in a real browser (skipped without chromium or a private network namespace).
echo "== korvweb_browser_bench.py"
KORV_BUILD=$build bench/korvweb_browser_bench.py $([ "$quick" -eq 1 ] && echo 3) |
  tee "$work/korvweb_browser_bench.out" | grep -v '^result	'
case "${PIPESTATUS[0]}" in 0|77) ;; *) failed+=(korvweb_browser_bench.py) ;; esac
echo
if [ "$faults" -eq 1 ]; then
  echo "== faults.sh $fault_seconds"
  bench/faults.sh "$fault_seconds" || failed+=(faults.sh)
  echo
fi

echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
[ "$quick" -eq 1 ] && echo "(quick run: the figures show only that each benchmark works)"
cat "$work"/*.out | awk -F'\t' '
  BEGIN { printf "%-48s %12s %9s %7s  %s\n", "benchmark", "figure", "goal", "ratio", "met" }
  $1 == "result" {
    unit = $5 == "" ? "" : " " $5
    if ($4 == "-") {
      goal = "none"; ratio = "-"; met = "-"
    } else {
      goal = $4 unit
      ratio = $4 > 0 ? sprintf("%.2f", $3 / $4) : "-"
      met = $3 + 0 <= $4 + 0 ? "yes" : "NO"
    }
    printf "%-48s %12s %9s %7s  %s\n", $2, $3 unit, goal, ratio, met
  }'
if [ ${#failed[@]} -gt 0 ]; then
  echo "did not run to the end: ${failed[*]}"
  exit 1
fi
