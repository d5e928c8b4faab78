#!/usr/bin/env bash
# Builds and installs zarel_engine with the zarel package's extras (SymPy, xarray, matplotlib, ...)
# into .venv, then builds every example model with the front end, simulates it and writes its plot
# and energy-balance report (examples/output/, or the folder given with --out).
set -euo pipefail
cd "$(dirname "$0")"
source scripts/venv.sh all
"$py" examples/main.py "$@"
