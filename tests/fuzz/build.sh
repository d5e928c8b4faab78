#!/usr/bin/env bash
# Builds the fuzz targets in build/fuzz, instrumented with -fsanitize=fuzzer,address,undefined,
# with the core's model, expression, machine-code, integrator and error sources: fuzz_load (the
# loader), fuzz_jit (machine code against the evaluator) and fuzz_lanes (packed code and runs in
# lanes against scalar code and runs alone). Usage: tests/fuzz/build.sh [TARGET...] (default
# all); prints each target's path, one a line.
#
# Compiler: clang from Debian's packages, installed here when missing. The core needs
# std::expected, which libstdc++ 12 only declares for compilers that announce C++20 concepts
# (__cpp_concepts >= 202002). clang 14 lacks conditionally trivial special members, so it cannot
# compile libstdc++'s <expected> or <variant> in C++23 mode at all; clang 16 implements them but
# still announces 201907, hence the macro below. Override with ZAREL_FUZZ_CLANG=clang++-NN (the
# matching libclang-rt-NN-dev must be installed).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"

version=16
cxx=${ZAREL_FUZZ_CLANG:-clang++-$version}
if ! command -v "$cxx" >/dev/null || ! [ -d "/usr/lib/llvm-$version/lib/clang" ] ||
   ! compgen -G "/usr/lib/llvm-$version/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
  if [ -z "${ZAREL_FUZZ_CLANG:-}" ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "clang-$version" "libclang-rt-$version-dev" >/dev/null
  fi
fi

# xbyak, header only, for the machine code
if ! [ -f /usr/include/xbyak/xbyak.h ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libxbyak-dev >/dev/null
fi

# nlohmann/json, header only: from the project's .venv (run-tests.sh installs it there)
py="$root/.venv/bin/python"
if ! [ -x "$py" ]; then python3 -m venv "$root/.venv"; fi
json_include() {
  "$py" -c "import importlib.util as u; s = u.find_spec('nlohmann_json'); print(s.submodule_search_locations[0] + '/include')" 2>/dev/null
}
include=$(json_include || true)
if [ -z "$include" ] || ! [ -f "$include/nlohmann/json.hpp" ]; then
  "$py" -m pip install -q "nlohmann-json>=3.11"
  include=$(json_include)
fi

out="$root/build/fuzz"
mkdir -p "$out/obj"
flags=(-std=c++2b -g -O1 -fno-omit-frame-pointer -ffp-contract=off -fno-fast-math
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -D_GLIBCXX_ASSERTIONS
       -D__cpp_concepts=202002L -Wno-macro-redefined -Wall -Wextra -Werror
       -DZAREL_HAVE_XBYAK -I"$root/core/include" -I"$root/core/src" -isystem "$include"
       -isystem /usr/include/eigen3)
targets=("$@")
if [ ${#targets[@]} = 0 ]; then targets=(fuzz_load fuzz_jit fuzz_lanes); fi
# the core library's sources as core/CMakeLists.txt lists them, but for the batches (oneTBB's pool)
mapfile -t core < <(sed -n '/^add_library(zarel_core STATIC/,/)/p' "$root/core/CMakeLists.txt" |
                    grep -o 'src/[a-z_0-9]*\.cpp' | grep -v '^src/batch' | sed 's|^|core/|')
sources=("${core[@]}")
for target in "${targets[@]}"; do
  if ! [ -f "tests/fuzz/$target.cpp" ]; then echo "fuzz: no target $target" >&2; exit 2; fi
  sources+=("tests/fuzz/$target.cpp")
done
headers=(core/include/zarel/*.hpp core/src/*.hpp tests/fuzz/*.hpp)

# rebuild an object only when its source, a header or this script is newer
objects=()
pids=()
failed=0
for src in "${sources[@]}"; do
  obj="$out/obj/$(basename "$src" .cpp).o"
  objects+=("$obj")
  stale=0
  if ! [ -f "$obj" ]; then stale=1; else
    for dep in "$src" "${headers[@]}" "${BASH_SOURCE[0]}"; do
      if [ "$dep" -nt "$obj" ]; then stale=1; break; fi
    done
  fi
  if [ $stale = 1 ]; then
    echo "fuzz: compiling $src" >&2
    rm -f "$obj"
    # two compilations at a time: the machine is shared
    if [ ${#pids[@]} -ge 2 ]; then wait "${pids[0]}" || failed=1; pids=("${pids[@]:1}"); fi
    "$cxx" "${flags[@]}" -c "$src" -o "$obj" &
    pids+=($!)
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
if [ $failed = 1 ]; then echo "fuzz: compilation failed" >&2; exit 1; fi
core_objects=("${objects[@]:0:${#core[@]}}")
for target in "${targets[@]}"; do
  linked=("${core_objects[@]}" "$out/obj/$target.o")
  if ! [ -x "$out/$target" ] || [ -n "$(find "${linked[@]}" -newer "$out/$target")" ]; then
    "$cxx" "${flags[@]}" "${linked[@]}" -o "$out/$target"
  fi
  echo "$out/$target"
done
