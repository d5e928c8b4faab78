#!/usr/bin/env bash
# Builds and installs zarel_engine into .venv, then simulates every shipped example model.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/venv.sh
"$py" examples/main.py "$@"
