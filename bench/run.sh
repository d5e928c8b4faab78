#!/usr/bin/env bash
# The benchmark suite in one command: prepares bench/.venv-bench with this project and its peers
# (SciPy, Matplotlib, CasADi, scikit-sundae, numbalsoda, heyoka), builds the native benchmark
# program when its sources are there, then runs bench/suite.py. Results land in bench/results/.
#
#   bench/run.sh               full run (about 10 minutes)
#   bench/run.sh --quick       reduced set (1-2 minutes)
#   bench/run.sh --no-setup    skip the installs and the native build; run the suite as it is
#   other arguments go to suite.py (--only REGEX, --out DIR, --native PATH)
#
# A peer that will not install is reported and left out; only the project itself, NumPy and SciPy
# are required. ZAREL_BENCH_NATIVE_BUILD overrides the native build folder (default
# build/bench-native).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
venv="$here/.venv-bench"
py="$venv/bin/python"
results="$here/results"
status="$results/install-status.tsv"
native_build=${ZAREL_BENCH_NATIVE_BUILD:-$root/build/bench-native}

setup=1
suite_args=()
for arg in "$@"; do
  case "$arg" in
    --no-setup) setup=0 ;;
    *) suite_args+=("$arg") ;;
  esac
done

mkdir -p "$results"
if [ "$setup" = 1 ] || [ ! -x "$py" ]; then
  if [ ! -x "$py" ]; then
    echo "creating $venv"
    python3 -m venv "$venv"
  fi
  "$py" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
  : > "$status"

  # The project, built in its own build folder so that it never disturbs the development builds,
  # with the package's modelling and sweep parts, which the ensembles run through.
  echo "installing zarel_engine from $root into the benchmark environment"
  "$py" -m pip install -q "$root[model,sweep]" --config-settings=build-dir=build/bench-{wheel_tag}

  # numbalsoda builds its Fortran solvers from source
  if ! command -v gfortran >/dev/null 2>&1 && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gfortran) >/dev/null 2>&1 ||
      echo "gfortran could not be installed; numbalsoda may not build"
  fi
  for pkg in scipy matplotlib casadi scikit-sundae numbalsoda heyoka; do
    if log=$("$py" -m pip install -q "$pkg" 2>&1); then
      printf '%s\tinstalled\n' "$pkg" >> "$status"
    else
      reason=$(printf '%s\n' "$log" | grep -m1 -iE 'No CMAKE_Fortran_COMPILER|No matching distribution|error:' || true)
      case "$log" in
        *Fortran*) reason="needs a Fortran compiler to build (apt-get install gfortran)" ;;
      esac
      printf '%s\tnot installed: %s\n' "$pkg" "${reason:-pip failed}" >> "$status"
      echo "peer $pkg: NOT INSTALLED (${reason:-pip failed}); the suite runs without it"
    fi
  done
  if ! "$py" -c "import scipy" 2>/dev/null; then
    echo "scipy is required for the reference solutions" >&2
    exit 1
  fi

  # The native limit: optional; the suite skips the section when the program is missing. Its
  # configure step finds nlohmann-json and oneTBB through the interpreter it is given, so both go
  # into the benchmark environment (the project's own install got them only in its isolated build
  # environment), with CMake and Ninja from the same place.
  if [ -f "$root/bench/native/CMakeLists.txt" ]; then
    gen=()
    if [ ! -f "$native_build/CMakeCache.txt" ]; then gen=(-G Ninja); fi
    echo "building the native benchmark program in $native_build"
    if ! { "$py" -m pip install -q "tbb-devel==2023.2.0" "nlohmann-json>=3.11" cmake ninja &&
           PATH="$venv/bin:$PATH" cmake -S "$root" -B "$native_build" "${gen[@]}" -DZAREL_BUILD_BENCH=ON \
             -DZAREL_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" &&
           PATH="$venv/bin:$PATH" cmake --build "$native_build" --target bench_native -j2; } \
         >"$results/native-build.log" 2>&1; then
      echo "native benchmark: build failed (see $results/native-build.log); section skipped"
    fi
  fi
fi

# the printed report is kept beside the results
"$py" "$here/suite.py" --peer-status "$status" --native "$native_build/bench/native/bench_native" \
  "${suite_args[@]+"${suite_args[@]}"}" 2>&1 | tee "$results/report.txt"
