#!/usr/bin/env bash
# Builds the loader fuzz target and runs it for a bounded time, then prints how many inputs it
# executed. Usage: tests/fuzz/run.sh [seconds, default 60]
#
# Seeds: the checked-in cases in tests/fuzz/corpus/ (regressions included) and the documents in
# examples/; inputs found along the way are kept in build/fuzz/corpus/ for the next run.
# ZAREL_FUZZ_JOBS=N runs N fuzzing processes side by side on that shared corpus (default 1).
# A crash, leak, sanitizer report, timeout or out-of-memory fails the script; the input that
# caused it is saved in build/fuzz/artifacts/ and its path printed. To replay one:
#   build/fuzz/fuzz_load build/fuzz/artifacts/crash-...
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
seconds=${1:-60}
jobs=${ZAREL_FUZZ_JOBS:-1}
case "$seconds" in ''|*[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;; esac

binary=$(bash "$root/tests/fuzz/build.sh" | tail -n 1)
out="$root/build/fuzz"
mkdir -p "$out/corpus" "$out/artifacts" "$out/logs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

pids=()
for ((k = 0; k < jobs; k++)); do
  "$binary" -max_total_time="$seconds" -max_len=8192 -timeout=20 -rss_limit_mb=2048 \
    -dict="$root/tests/fuzz/model.dict" -artifact_prefix="$out/artifacts/" -print_final_stats=1 \
    -seed=$((k + 1 + RANDOM)) \
    "$out/corpus" "$root/tests/fuzz/corpus" "$root/examples" >"$out/logs/job$k.log" 2>&1 &
  pids+=($!)
done
status=0
for k in "${!pids[@]}"; do
  if ! wait "${pids[$k]}"; then
    status=1
    echo "fuzz: job $k failed; its log follows" >&2
    tail -n 60 "$out/logs/job$k.log" >&2
  fi
done

executions=0
for ((k = 0; k < jobs; k++)); do
  n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/logs/job$k.log" | tail -n 1)
  executions=$((executions + ${n:-0}))
done
echo "fuzz_load: $executions executions in ${seconds} s with $jobs job(s); corpus $(ls "$out/corpus" | wc -l) inputs"
if [ $status != 0 ]; then
  echo "fuzz: failing inputs:" >&2
  grep -h -o "Test unit written to .*" "$out"/logs/job*.log >&2 || true
fi
exit $status
