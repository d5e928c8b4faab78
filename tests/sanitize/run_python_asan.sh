#!/usr/bin/env bash
# Builds the zarel_engine extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (Debug, into its own environment .venv-asan) and runs the Python suite against it (all of
# it but the allocator measurements of test_leaks.py), and the tests of exported FMUs (FMI 2.0 and
# 3.0) against the FMU runtimes built the same way.
# Any sanitizer report, in the test process or in a child interpreter a test starts, fails
# the run. Leak detection is off: the interpreter itself leaves memory allocated at exit.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"

venv="$root/.venv-asan"
if ! [ -x "$venv/bin/python" ]; then python3 -m venv "$venv"; fi
py="$venv/bin/python"
"$py" -m pip install -q --upgrade pip
# Its own build directory, so the ordinary build in build/ is left alone. The tbb wheel the
# module runs with has only the release libtbb, so a Debug build links that one too.
"$py" -m pip install -q "$root[test]" \
  -C cmake.define.ZAREL_SANITIZE=address,undefined -C cmake.build-type=Debug \
  -C cmake.define.CMAKE_MAP_IMPORTED_CONFIG_DEBUG=Release -C build-dir="build/asan-{wheel_tag}"

runtime=$(gcc -print-file-name=libasan.so)
if ! [ -f "$runtime" ]; then echo "asan: no libasan.so from gcc" >&2; exit 1; fi

logs="$root/build/sanitize/asan-logs"
rm -rf "$logs"
mkdir -p "$logs"
status=0
# run from tests/ so that the installed module, not a source tree, is imported
(
  cd tests
  # exported so that the interpreters the tests start inherit them
  export LD_PRELOAD="$runtime"
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$logs/asan"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
  export PYTHONMALLOC=malloc  # every Python allocation through ASan's allocator
  # test_leaks.py is left to the ordinary run: it measures the C heap through glibc's
  # mallinfo2, pymalloc's block count and resident memory, none of which means anything once
  # ASan's allocator (with its quarantine of freed blocks) and PYTHONMALLOC=malloc stand in
  "$py" -m pytest -q -p no:cacheprovider python --ignore=python/test_leaks.py
  # the runtimes of exported FMUs, driven by FMPy and called with hostile arguments through its C
  # API (not its dependency check: this build takes the sanitizers' libraries from the process)
  "$py" -m pytest -q -p no:cacheprovider zarel/test_fmu.py zarel/test_fmu3.py -k "not needs_none_of_our_libraries"
) || status=$?

if compgen -G "$logs/*" >/dev/null; then
  echo "asan: sanitizer reports:" >&2
  for f in "$logs"/*; do echo "== $f" >&2; cat "$f" >&2; done
  status=1
fi
if [ $status != 0 ]; then echo "asan: FAILED" >&2; exit $status; fi
echo "asan: Python suite passed under address,undefined with no reports"
