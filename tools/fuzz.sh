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
#   tools/fuzz.sh tessera_json,head_pt_load 600   those two, ten minutes each
#   LE_FUZZ_JOBS=2 tools/fuzz.sh     two fuzzing processes per target
#   LE_FUZZ_RUNS=10000000 tools/fuzz.sh imx_unwrap 7200
#                                    stop at ten million executions (shared
#                                    among the jobs) or after two hours
set -euo pipefail

# The whole script is one function, read before anything runs: editing the
# file while a long campaign is under way cannot derail it.
main() {
  here=$(cd "$(dirname "$0")/.." && pwd)
  cd "$here"

  which=${1:-all}
  seconds=${2:-60}
  jobs=${LE_FUZZ_JOBS:-1}
  runs=${LE_FUZZ_RUNS:-0}
  dir=build/test-fuzz

  mapfile -t all < <(ls fuzz/*.cpp | xargs -n1 basename | sed 's/\.cpp$//' | grep -vx replay_main)
  if [ "$which" = all ]; then targets=("${all[@]}"); else read -ra targets <<<"${which//,/ }"; fi
  for t in "${targets[@]}"; do
    if [ ! -f "fuzz/$t.cpp" ]; then echo "no fuzz target $t (have: ${all[*]})" >&2; exit 2; fi
  done

  CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DLE_CORE_BUILD_FUZZERS=ON >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target "${targets[@]/%/_fuzzer}"

  # No allocation stacks: recording one per malloc took a quarter of the
  # parsers' time (the ONNX target allocates a string per name). Every check
  # still runs; a finding's full report comes from replaying it under ctest.
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:malloc_context_size=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  # Writes go to tmpfs where there is one.
  scratch_root=/tmp
  [ -d /dev/shm ] && scratch_root=/dev/shm

  # Parallel jobs are independent libFuzzer processes sharing the scratch
  # corpus (each reloads what the others add), so every job ends with its own
  # final statistics and the executions add up exactly.
  report=()
  status=0
  # SIGINT or SIGTERM ends the campaign early but in order: the jobs stop (each
  # still prints its final statistics), the new inputs are merged and the table
  # covers the targets run so far.
  pids=()
  stopping=0
  trap 'stopping=1; [ ${#pids[@]} -eq 0 ] || kill -TERM "${pids[@]}" 2>/dev/null || true' INT TERM
  for t in "${targets[@]}"; do
    [ "$stopping" -eq 0 ] || break
    corpus="fuzz/corpus/$t"
    findings="build/fuzz-findings/$t"
    bin="$dir/fuzz/${t}_fuzzer"
    mkdir -p "$corpus" "$findings"
    rm -f "$findings"/job*.log
    scratch=$(mktemp -d "$scratch_root/le_fuzz_${t}_XXXXXX")
    log="$findings/last.log"
    before=$(ls "$corpus" | wc -l)
    echo "=== $t: ${seconds}s, $jobs job(s), from $before stored inputs ==="
    # New inputs go to the scratch corpus (the first directory); the stored one
    # is read only. The library's own stderr lines are closed off; libFuzzer and
    # the sanitizers still report.
    mkdir "$scratch/new"
    t0=$(date +%s.%N)
    pids=()
    limit=()
    [ "$runs" -le 0 ] || limit=(-runs=$(((runs + jobs - 1) / jobs)))
    # fuzz/<target>.options: further libFuzzer flags ('#' starts a comment).
    opts=()
    [ ! -f "fuzz/$t.options" ] || read -ra opts < <(sed 's/#.*//' "fuzz/$t.options" | tr '\n' ' ') || true
    for ((j = 1; j <= jobs; ++j)); do
      mkdir "$scratch/tmp$j"
      LE_FUZZ_TMP="$scratch/tmp$j" "$bin" "$scratch/new" "$corpus" -max_total_time="$seconds" \
        -print_final_stats=1 -close_fd_mask=2 -timeout=10 -rss_limit_mb=4096 \
        -artifact_prefix="$findings/" "${limit[@]}" "${opts[@]}" >"$findings/job$j.log" 2>&1 &
      pids+=($!)
    done
    rc=0
    for p in "${pids[@]}"; do
      # A trapped signal interrupts `wait`; wait again until the job has gone.
      while :; do
        r=0
        wait "$p" || r=$?
        if [ "$r" -gt 128 ] && kill -0 "$p" 2>/dev/null; then continue; fi
        break
      done
      # libFuzzer leaves with 72 when interrupted.
      if [ "$r" -ne 0 ] && ! { [ "$stopping" -eq 1 ] && [ "$r" -eq 72 ]; }; then rc=$r; fi
    done
    pids=()
    t1=$(date +%s.%N)
    cat "$findings"/job*.log >"$log"
    # Of the new inputs, those that reach an edge the stored corpus does not
    # join it (edges alone, not hit counts: the stored corpus stays small).
    LE_FUZZ_TMP="$scratch/tmp1" "$bin" -merge=1 -use_counters=0 -close_fd_mask=2 "$corpus" "$scratch/new" \
      >>"$log" 2>&1 || true
    after=$(ls "$corpus" | wc -l)
    # Coverage of the stored corpus after the merge: one pass over it.
    covline=$(LE_FUZZ_TMP="$scratch/tmp1" "$bin" -runs=0 -close_fd_mask=2 "$corpus" 2>&1 |
      grep -m1 -E 'INITED|DONE' || true)
    rm -rf "$scratch"
    # Executions: the sum of every job's final count (the initial corpus pass
    # included); a job killed before its final statistics counts from its last
    # progress line.
    execs=0
    for ((j = 1; j <= jobs; ++j)); do
      n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$findings/job$j.log" | tail -1)
      [ -n "$n" ] || n=$(grep -oE '^#[0-9]+' "$findings/job$j.log" | tail -1 | tr -d '#')
      execs=$((execs + ${n:-0}))
    done
    secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.0f", b - a }')
    rate=$(awk -v n="$execs" -v s="$secs" 'BEGIN { printf "%.0f", (s > 0 ? n / s : 0) }')
    cov=$(grep -oE 'cov: [0-9]+' <<<"$covline" | awk '{print $2}')
    ft=$(grep -oE 'ft: [0-9]+' <<<"$covline" | awk '{print $2}')
    found=$(find "$findings" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
      -o -name 'oom-*' \) | wc -l)
    if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then status=1; fi
    if [ "$rate" -gt 0 ]; then to10m=$(awk -v r="$rate" 'BEGIN { printf "%.1f h", 10e6 / r / 3600 }')
    else to10m="-"; fi
    report+=("$(printf '%-24s %12s %7s %8s %6s %7s %9s %8s %9s' "$t" "$execs" "$secs" "$rate" "${cov:-?}" \
      "${ft:-?}" "$before>$after" "$found" "$to10m")")
  done
  trap - INT TERM
  [ "$stopping" -eq 0 ] || echo "stopped early by a signal"

  echo
  printf '%-24s %12s %7s %8s %6s %7s %9s %8s %9s\n' target executions seconds exec/s cov ft corpus findings \
    "to 10M"
  printf '%s\n' "${report[@]}"
  [ $status -eq 0 ] || echo "findings or failures: see build/fuzz-findings/<target>/ (job*.log, crash-*)"
  exit $status
}

main "$@"
