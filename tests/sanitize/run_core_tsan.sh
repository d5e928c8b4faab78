#!/usr/bin/env bash
# Builds the core's concurrency stress test with ThreadSanitizer and runs the tests whose
# threads it can follow (SharedModel.*: one model simulated and evaluated by 8 std::threads at
# once). Any report fails the run; there are no suppressions.
#
# The batch tests (Batch.*) are left out here: the pool library (oneTBB, a prebuilt wheel) is
# not instrumented, so ThreadSanitizer sees neither the hand-over of work to its workers nor
# the join, and reports every access of a run as a race with the caller. They run in the
# ordinary and AddressSanitizer builds instead.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
py="$root/.venv/bin/python"
export PATH="$root/.venv/bin:$PATH"

cmake -S . -B build/core-tsan -G Ninja -DZAREL_BUILD_PYTHON=OFF -DZAREL_BUILD_TESTS=ON -DZAREL_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAREL_SANITIZE=thread -DPython_EXECUTABLE="$py" >/dev/null
cmake --build build/core-tsan --target test_concurrency
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
  build/core-tsan/tests/core/test_concurrency --gtest_filter='SharedModel.*' --gtest_repeat=20
echo "tsan: core concurrency tests passed under ThreadSanitizer with no reports"
