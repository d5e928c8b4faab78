#!/usr/bin/env bash
# Builds the zarel_engine extension with ThreadSanitizer (into its own environment .venv-tsan)
# and runs the Python tests that use one model from several Python threads: two simulations of
# the same model at the same time (the interpreter lock released during both), and parameter
# assignments refused while another thread simulates. Any report fails the run.
#
# CPython and NumPy are not instrumented, so their internal synchronisation is invisible to
# ThreadSanitizer; tests/sanitize/tsan.supp silences reports that lie entirely in their frames
# and names no zarel code.
#
# tests/python/test_batch.py is not run here: the batch pool's library (oneTBB, a prebuilt
# wheel) is not instrumented either, and without its fork and join ThreadSanitizer reports
# every access a worker makes to the shared model and every read of a run's result as a race.
# The sharing a batch relies on (one model, many runs at once) is stressed with plain threads
# by the core's test run under ThreadSanitizer in run_core_tsan.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"

venv="$root/.venv-tsan"
if ! [ -x "$venv/bin/python" ]; then python3 -m venv "$venv"; fi
py="$venv/bin/python"
"$py" -m pip install -q --upgrade pip
"$py" -m pip install -q "$root[test]" \
  -C cmake.define.ZAREL_SANITIZE=thread -C cmake.build-type=RelWithDebInfo -C build-dir="build/tsan-{wheel_tag}"

runtime=$(gcc -print-file-name=libtsan.so)
if ! [ -f "$runtime" ]; then echo "tsan: no libtsan.so from gcc" >&2; exit 1; fi

logs="$root/build/sanitize/tsan-logs"
rm -rf "$logs"
mkdir -p "$logs"
status=0
(
  cd tests
  export LD_PRELOAD="$runtime"
  export TSAN_OPTIONS="suppressions=$root/tests/sanitize/tsan.supp:halt_on_error=1:second_deadlock_stack=1:log_path=$logs/tsan"
  "$py" -m pytest -q -p no:cacheprovider \
    python/test_simulate.py::test_two_simulations_run_at_the_same_time \
    python/test_simulate.py::test_params_cannot_change_under_a_running_simulation
) || status=$?

if compgen -G "$logs/*" >/dev/null; then
  echo "tsan: sanitizer reports:" >&2
  for f in "$logs"/*; do echo "== $f" >&2; cat "$f" >&2; done
  status=1
fi
if [ $status != 0 ]; then echo "tsan: FAILED" >&2; exit $status; fi
echo "tsan: threaded Python tests passed under ThreadSanitizer with no reports"
