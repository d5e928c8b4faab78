#!/usr/bin/env bash
# Type checks: the extension's stub against the installed module (mypy's stubtest), then the zarel
# package strictly and the examples' bodies, all against the installed stub.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
py=${PYTHON:-$root/.venv/bin/python}
config="$root/scripts/mypy.ini"
# from a folder without sources, so that the installed module and stub are the ones checked
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
status=0
"$py" -m mypy.stubtest zarel_engine zarel._engine --mypy-config-file "$config" || status=1
"$py" -m mypy --config-file "$config" "$root/src/zarel" || status=1
# examples are short scripts: their bodies are checked, annotations are not required of them
"$py" -m mypy --config-file "$config" --allow-untyped-defs --allow-untyped-calls --allow-incomplete-defs \
  --check-untyped-defs "$root/examples" || status=1
exit $status
