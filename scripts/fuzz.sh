#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan and UBSan, in build-fuzz/)
# and runs each for SECONDS (default 60), FUZZ_JOBS at a time (default 2).
# Each target starts from its seeds in fuzz/corpus/<target>/ and keeps what
# it finds in build-fuzz/corpus/<target>/; a crash, leak or hang is written
# to build-fuzz/findings/<target>/. Prints one line per target: executions,
# executions per second, coverage and findings. Exit status 1 when any
# target has a finding. FUZZ_BUILD names another build directory made with
# -DKORV_FUZZ=ON (scripts/check-hardened.sh uses its build-asan/).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=${FUZZ_JOBS:-2}
out=${FUZZ_BUILD:-build-fuzz}
if [ ! -f "$out/build.ninja" ]; then
  cmake -S . -B "$out" -G Ninja -DKORV_FUZZ=ON -DKORV_WERROR=ON \
    -DCMAKE_CXX_COMPILER=clang++ >/dev/null
fi
cmake --build "$out" --target fuzz_all >/dev/null

rm -rf "$out/findings"
targets=()
for src in fuzz/*.cc; do targets+=("$(basename "$src" .cc)"); done

run_one() {
  local t=$1
  mkdir -p "$out/corpus/$t" "$out/findings/$t"
  # Each run starts from the working corpus and the committed seeds.
  "$out/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$out/findings/$t/" \
    "$out/corpus/$t" "fuzz/corpus/$t" >"$out/findings/$t.log" 2>&1 || true
}

running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

status=0
printf '%-16s %10s %8s %6s %8s\n' target execs exec/s cov findings
for t in "${targets[@]}"; do
  log="$out/findings/$t.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  found=$(find "$out/findings/$t" -type f | wc -l)
  printf '%-16s %10s %8s %6s %8s\n' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "$found"
  [ "$found" -eq 0 ] || status=1
  for f in "$out/findings/$t"/*; do [ -e "$f" ] && echo "  finding: $f"; done
done
exit $status
