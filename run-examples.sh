#!/usr/bin/env bash
# Builds and installs zarel_engine into .venv, then simulates every shipped example model.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/venv.sh
# plots of the trajectories are drawn when matplotlib installs; the job runs without it too
"$py" -m pip install -q matplotlib >/dev/null 2>&1 || echo "matplotlib not installed: no plots"
"$py" examples/main.py "$@"
