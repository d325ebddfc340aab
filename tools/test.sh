#!/usr/bin/env bash
# Builds korvane and runs the test suite on CPython 3.8, 3.11 and 3.13, or with
# --all on every CPython from 3.8 to 3.13 that tools/find-python.sh finds
# (KORVANE_PYTHON, pyenv under PYENV_ROOT, or pythonX.Y on the PATH).
# Extra arguments go to pytest, e.g. tools/test.sh --all -k binding
# The tests run in parallel (pytest-xdist), one worker per core; PYTEST_WORKERS
# sets the number, and PYTEST_WORKERS=0 runs them in this process.
set -euo pipefail
cd "$(dirname "$0")/.."
versions=(3.8 3.11 3.13)
if [ "${1:-}" = "--all" ]; then
  shift
  versions=()
  for ver in 3.8 3.9 3.10 3.11 3.12 3.13; do
    if tools/find-python.sh "$ver" >/dev/null 2>&1; then versions+=("$ver"); fi
  done
  echo "CPython found (tools/find-python.sh): ${versions[*]:-none}" >&2
fi
status=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for ver in "${versions[@]}"; do
  echo "== CPython $ver =="
  # A version that cannot be had fails the run, after the others have run.
  if ! venv=$(tools/env.sh "$ver" | tail -n 1) || [ -z "$venv" ]; then
    echo "no venv for CPython $ver (above); the other versions still run" >&2
    status=1
    continue
  fi
  "$venv/bin/python" -m pytest -n "${PYTEST_WORKERS:-auto}" "$@" || status=$?
  # The benchmark at a tiny size, so that it cannot break unseen (its files
  # must match pandas' too); its figures mean nothing here.
  if ! "$venv/bin/python" bench/export_bench.py --sizes 2000 --repeat 1 --tls --json "$scratch/bench.json" \
      >"$scratch/bench.log" 2>&1; then
    cat "$scratch/bench.log"
    echo "bench/export_bench.py failed on CPython $ver"
    status=1
  fi
done
exit $status
