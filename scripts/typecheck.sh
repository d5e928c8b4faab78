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

# A script a user might write with mistakes the package's types must catch: each expected error
# is checked on its own line, as the start of mypy's message there.
cat > misuse.py <<'PY'
import numpy as np
import zarel

system = zarel.load("model.json")
zarel.simulate(1, 2, 3, 4, 5, 6, 7)  # error: Too many
zarel.no_such_function()  # error: Module has no attribute "no_such_function"
zarel.simulate(system, [1.0], np.linspace(0, 1, 11), methd="rk4")  # error: Unexpected keyword argument "methd"
PY
report=$("$py" -m mypy --config-file "$config" misuse.py 2>&1 || true)
while IFS= read -r line; do
  message=${line#*: }
  number=$(grep -n -F "# $line" misuse.py | cut -d: -f1)
  if ! grep -q -F "misuse.py:$number: error: $message" <<<"$report"; then
    echo "typecheck: mypy did not report, line $number: $message"
    status=1
  fi
done < <(grep -o -E 'error: .*$' misuse.py)
exit $status
