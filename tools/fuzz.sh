#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer, in the same build directory as the test command's fuzz build)
# and runs a campaign per target from its stored corpus. Inputs that reach new
# coverage are merged back into fuzz/corpus/<target> (only those that add
# coverage to what is stored); crashes, leaks and timeouts are kept under
# build/fuzz-findings/<target>/. Prints executions, coverage and findings per
# target.
#
#   tools/fuzz.sh                    every target, 60 s each
#   tools/fuzz.sh imx_unwrap 600     one target for ten minutes
#   tools/fuzz.sh all 300            every target, five minutes each
#   LE_FUZZ_JOBS=2 tools/fuzz.sh     parallel fuzzing processes per target
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

which=${1:-all}
seconds=${2:-60}
jobs=${LE_FUZZ_JOBS:-1}
dir=build/test-fuzz

mapfile -t all < <(ls fuzz/*.cpp | xargs -n1 basename | sed 's/\.cpp$//' | grep -vx replay_main)
if [ "$which" = all ]; then targets=("${all[@]}"); else targets=("$which"); fi
for t in "${targets[@]}"; do
  if [ ! -f "fuzz/$t.cpp" ]; then echo "no fuzz target $t (have: ${all[*]})" >&2; exit 2; fi
done

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DLE_CORE_BUILD_FUZZERS=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]/%/_fuzzer}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Writes go to tmpfs where there is one.
scratch_root=/tmp
[ -d /dev/shm ] && scratch_root=/dev/shm

fork=()
[ "$jobs" -gt 1 ] && fork=(-fork="$jobs")
report=()
status=0
for t in "${targets[@]}"; do
  corpus="fuzz/corpus/$t"
  findings="build/fuzz-findings/$t"
  mkdir -p "$corpus" "$findings"
  scratch=$(mktemp -d "$scratch_root/le_fuzz_${t}_XXXXXX")
  log="$findings/last.log"
  echo "=== $t: ${seconds}s from $(ls "$corpus" | wc -l) stored inputs ==="
  # New inputs go to the scratch corpus (the first directory); the stored one
  # is read only. The library's own stderr lines are closed off; libFuzzer and
  # the sanitizers still report.
  set +e
  mkdir "$scratch/tmp" "$scratch/new"
  LE_FUZZ_TMP="$scratch/tmp" "$dir/fuzz/${t}_fuzzer" "$scratch/new" "$corpus" -max_total_time="$seconds" -print_final_stats=1 \
    -close_fd_mask=2 -timeout=10 -rss_limit_mb=4096 -artifact_prefix="$findings/" "${fork[@]}" \
    >"$log" 2>&1
  rc=$?
  set -e
  before=$(ls "$corpus" | wc -l)
  LE_FUZZ_TMP="$scratch/tmp" "$dir/fuzz/${t}_fuzzer" -merge=1 -close_fd_mask=2 "$corpus" "$scratch/new" \
    >>"$log" 2>&1 || true
  after=$(ls "$corpus" | wc -l)
  rm -rf "$scratch"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | awk '{print $2}')
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | awk '{print $2}')
  found=$(find "$findings" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
    -o -name 'oom-*' \) | wc -l)
  if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then status=1; fi
  execs=${execs:-0} rate=${rate:-0}
  if [ "$rate" -gt 0 ]; then to10m=$(awk -v r="$rate" 'BEGIN { printf "%.1f h", 10e6 / r / 3600 }')
  else to10m="-"; fi
  report+=("$(printf '%-24s %12s %8s %6s %7s %9s %8s %9s' "$t" "$execs" "$rate" "${cov:-?}" "${ft:-?}" \
    "$before>$after" "$found" "$to10m")")
done

echo
printf '%-24s %12s %8s %6s %7s %9s %8s %9s\n' target executions exec/s cov ft corpus findings "to 10M"
printf '%s\n' "${report[@]}"
[ $status -eq 0 ] || echo "findings or failures: see build/fuzz-findings/<target>/ (last.log, crash-*)"
exit $status
