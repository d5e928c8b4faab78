# Sourced by the project's scripts: makes .venv with the interpreter on PATH and installs the
# package (and any extras named in $1) into it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ ! -x "$root/.venv/bin/python" ]; then
  python3 -m venv "$root/.venv"
fi
py="$root/.venv/bin/python"
# the machine-code compiler's assembler (header only); without it models run on the interpreter
if ! [ -f /usr/include/xbyak/xbyak.h ] && command -v apt-get >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libxbyak-dev
fi
# the sparse LU of large models' implicit solves (header only; the build needs it)
if ! [ -f /usr/include/eigen3/Eigen/SparseLU ] && command -v apt-get >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libeigen3-dev
fi
"$py" -m pip install -q --upgrade pip
"$py" -m pip install -q "$root${1:+[$1]}"
