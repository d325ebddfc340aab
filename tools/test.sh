#!/usr/bin/env bash
# Builds korvane and runs the test suite on CPython 3.8 and 3.11.
# Extra arguments go to pytest, e.g. tools/test.sh -k binding
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
for ver in 3.8 3.11; do
  venv=$(tools/env.sh "$ver" | tail -n 1)
  echo "== CPython $ver =="
  "$venv/bin/python" -m pytest "$@" || status=$?
done
exit $status
