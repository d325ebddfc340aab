#!/usr/bin/env bash
# Dependency drift check: on each CPython VER, installs korvane with the newest
# releases that the ranges in pyproject.toml allow (a fresh venv, no
# constraints, as a user's plain `pip install .` would), runs the test suite and
# reports which pins moved and what fails.  Exits non-zero if any run fails.
# The suite runs on PYTEST_WORKERS workers (default 2).
# Usage: tools/drift.sh [VER ...]   (default: 3.8 3.11 3.13)
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || set -- 3.8 3.11 3.13
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for ver in "$@"; do
  tag=py${ver/./}
  echo "== CPython $ver: newest allowed releases =="
  rm -rf "$scratch/venv" "$scratch/build"
  "$(tools/find-python.sh "$ver")" -m venv "$scratch/venv"
  py=$scratch/venv/bin/python
  "$py" -m pip install -q --disable-pip-version-check --upgrade pip
  "$py" -m pip install -q --disable-pip-version-check -C "build-dir=$scratch/build" ".[test]"
  "$py" -m pip freeze --exclude korvane >"$scratch/$tag.txt"
  if [ -f "constraints/$tag.txt" ]; then
    # Pins that differ from the tested set, as "name: pinned -> newest".
    "$py" - "constraints/$tag.txt" "$scratch/$tag.txt" <<'PY'
import sys
def pins(path):
    with open(path) as f:
        rows = (line.strip().split("==") for line in f if "==" in line)
        return {name.lower().replace("_", "-"): version for name, version in rows}
old, new = pins(sys.argv[1]), pins(sys.argv[2])
# pip freeze leaves out setuptools, which a venv may bring along anyway.
names = sorted((set(old) | set(new)) - {"setuptools"})
moved = ["%s: %s -> %s" % (n, old.get(n, "-"), new.get(n, "-"))
         for n in names if old.get(n) != new.get(n)]
print("moved from %s: %s" % (sys.argv[1], ", ".join(moved) or "none"))
PY
  fi
  if ! "$py" -m pytest -n "${PYTEST_WORKERS:-2}" -q -p no:cacheprovider -rfE >"$scratch/pytest.log" 2>&1; then
    status=1
    grep -E "^(FAILED|ERROR) " "$scratch/pytest.log" || true
  fi
  tail -n 1 "$scratch/pytest.log"
done
exit $status
