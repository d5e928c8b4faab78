#!/usr/bin/env bash
# Sets up everything and runs every test: the core's GoogleTest suite through CTest, the
# extension's Python suite on both evaluation paths (machine code, then the interpreter), the
# zarel package's suite, and the type checks.
set -euo pipefail
cd "$(dirname "$0")"
if ! [ -f /usr/include/gtest/gtest.h ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
fi
source scripts/venv.sh test
"$py" -m pip install -q "tbb-devel==2023.2.0" "nlohmann-json>=3.11" cmake ninja
export PATH="$root/.venv/bin:$PATH"
cmake -S . -B build/core-tests -G Ninja -DZAREL_BUILD_PYTHON=OFF -DZAREL_BUILD_TESTS=ON -DZAREL_WERROR=ON \
  -DPython_EXECUTABLE="$py"
cmake --build build/core-tests
ctest --test-dir build/core-tests --output-on-failure -j2
echo "the core suite again on the interpreter (ZAREL_JIT=0)"
ZAREL_JIT=0 ctest --test-dir build/core-tests --output-on-failure -j2
# run from tests/ so that the installed packages, not the source tree, are imported; each suite
# has its own conftest, so each runs on its own
(cd tests && "$py" -m pytest -q python)
echo "the extension's suite again on the interpreter (ZAREL_JIT=0)"
(cd tests && ZAREL_JIT=0 "$py" -m pytest -q python)
echo "the batch suites again without lanes (ZAREL_LANES=1), on two (ZAREL_LANES=2) and on four (ZAREL_LANES=4;"
echo "the default is eight where the processor has AVX-512F)"
for lanes in 1 2 4; do
  ZAREL_LANES=$lanes ctest --test-dir build/core-tests --output-on-failure -j2 -R '^(Batch|Lanes|SharedModel)\.'
  (cd tests && ZAREL_LANES=$lanes "$py" -m pytest -q python/test_batch.py)
done
(cd tests && "$py" -m pytest -q zarel)
"$py" bench/regression.py
ZAREL_LANES=1 "$py" bench/regression.py
ZAREL_LANES=4 "$py" bench/regression.py
bash scripts/typecheck.sh
