#!/usr/bin/env bash
# Sets up everything and runs every test: the core's GoogleTest suite through CTest, the
# extension's Python suite on both evaluation paths (machine code, then the interpreter), the
# zarel package's suite, and the type checks.
set -euo pipefail
cd "$(dirname "$0")"
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/xbyak/xbyak.h ] || missing+=(libxbyak-dev)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
source scripts/venv.sh test
"$py" -m pip install -q "tbb-devel==2023.2.0" "nlohmann-json>=3.11" cmake ninja
export PATH="$root/.venv/bin:$PATH"
cmake -S . -B build/core-tests -G Ninja -DZAREL_BUILD_PYTHON=OFF -DZAREL_BUILD_TESTS=ON -DZAREL_WERROR=ON \
  -DPython_EXECUTABLE="$py"
cmake --build build/core-tests
ctest --test-dir build/core-tests --output-on-failure -j2
# run from tests/ so that the installed packages, not the source tree, are imported
(cd tests && "$py" -m pytest -q python zarel)
echo "the extension's suite again on the interpreter (ZAREL_JIT=0)"
(cd tests && ZAREL_JIT=0 "$py" -m pytest -q python)
"$py" bench/regression.py
bash scripts/typecheck.sh
