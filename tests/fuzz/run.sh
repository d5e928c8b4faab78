#!/usr/bin/env bash
# Builds a fuzz target and runs it for a bounded time, then prints how many inputs it executed.
# Usage: tests/fuzz/run.sh [seconds, default 60] [target: fuzz_load (default), fuzz_jit or fuzz_lanes]
#
# Seeds for fuzz_load: the checked-in cases in tests/fuzz/corpus/ (regressions included) and the
# documents in examples/; fuzz_jit and fuzz_lanes start from nothing. Inputs found along the way
# are kept in build/fuzz/corpus/ (fuzz_load), build/fuzz/corpus_jit/ or build/fuzz/corpus_lanes/
# for the next run.
# ZAREL_FUZZ_JOBS=N runs N fuzzing processes side by side on that shared corpus (default 1).
# A crash, leak, sanitizer report, timeout or out-of-memory fails the script; the input that
# caused it is saved in build/fuzz/artifacts/ and its path printed. To replay one:
#   build/fuzz/fuzz_load build/fuzz/artifacts/crash-...
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
seconds=${1:-60}
target=${2:-fuzz_load}
jobs=${ZAREL_FUZZ_JOBS:-1}
case "$seconds" in ''|*[!0-9]*) echo "usage: $0 [seconds] [fuzz_load|fuzz_jit|fuzz_lanes]" >&2; exit 2 ;; esac
case "$target" in
  fuzz_load) corpus=corpus; seeds=("$root/tests/fuzz/corpus" "$root/examples"); extra=(-dict="$root/tests/fuzz/model.dict") ;;
  fuzz_jit) corpus=corpus_jit; seeds=(); extra=() ;;
  fuzz_lanes) corpus=corpus_lanes; seeds=(); extra=() ;;
  *) echo "usage: $0 [seconds] [fuzz_load|fuzz_jit|fuzz_lanes]" >&2; exit 2 ;;
esac

binary=$(bash "$root/tests/fuzz/build.sh" "$target" | tail -n 1)
out="$root/build/fuzz"
mkdir -p "$out/$corpus" "$out/artifacts" "$out/logs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

pids=()
for ((k = 0; k < jobs; k++)); do
  "$binary" -max_total_time="$seconds" -max_len=8192 -timeout=20 -rss_limit_mb=2048 \
    "${extra[@]}" -artifact_prefix="$out/artifacts/" -print_final_stats=1 \
    -seed=$((k + 1 + RANDOM)) \
    "$out/$corpus" "${seeds[@]}" >"$out/logs/$target$k.log" 2>&1 &
  pids+=($!)
done
status=0
for k in "${!pids[@]}"; do
  if ! wait "${pids[$k]}"; then
    status=1
    echo "fuzz: job $k failed; its log follows" >&2
    tail -n 60 "$out/logs/$target$k.log" >&2
  fi
done

executions=0
for ((k = 0; k < jobs; k++)); do
  n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/logs/$target$k.log" | tail -n 1)
  executions=$((executions + ${n:-0}))
done
echo "$target: $executions executions in ${seconds} s with $jobs job(s); corpus $(ls "$out/$corpus" | wc -l) inputs"
if [ $status != 0 ]; then
  echo "fuzz: failing inputs:" >&2
  grep -h -o "Test unit written to .*" "$out/logs/$target"*.log >&2 || true
fi
exit $status
