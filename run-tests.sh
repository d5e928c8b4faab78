#!/usr/bin/env bash
# Sets up everything and runs every test: the core's GoogleTest suite through CTest, then the
# Python suite against the module installed in .venv.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/venv.sh test
"$py" -m pip install -q "tbb-devel==2023.2.0" "nlohmann-json>=3.11" cmake ninja
if ! [ -f /usr/include/gtest/gtest.h ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
fi
export PATH="$root/.venv/bin:$PATH"
cmake -S . -B build/core-tests -G Ninja -DZAREL_BUILD_PYTHON=OFF -DZAREL_BUILD_TESTS=ON -DZAREL_WERROR=ON \
  -DPython_EXECUTABLE="$py"
cmake --build build/core-tests
ctest --test-dir build/core-tests --output-on-failure -j2
# run from tests/ so that the installed module, not a source tree, is imported
(cd tests && "$py" -m pytest -q python)
