#!/usr/bin/env bash
# Writes constraints/pyXY.txt: the exact set that pip resolves for korvane and
# its test extra, from the ranges declared in pyproject.toml, on CPython VER.
# Nothing is installed; the resolution runs in a scratch venv with a current
# pip.  Re-run it for every interpreter after changing a dependency, then run
# tools/test.sh --all.  Requirements after "--" narrow the resolution, e.g. to hold
# the oldest supported release of a library in some of the sets:
#   tools/freeze.sh 3.9 3.10 3.12 3.13
#   tools/freeze.sh 3.8 3.11 -- kubernetes==12.0.1 "urllib3<2"
set -euo pipefail
cd "$(dirname "$0")/.."
versions=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do versions+=("$1"); shift; done
[ $# -eq 0 ] || shift
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for ver in "${versions[@]}"; do
  tag=py${ver/./}
  rm -rf "$scratch/venv"
  "$(tools/find-python.sh "$ver")" -m venv "$scratch/venv"
  py=$scratch/venv/bin/python
  "$py" -m pip install -q --disable-pip-version-check --upgrade pip
  "$py" -m pip install -q --disable-pip-version-check --dry-run --ignore-installed \
    --report "$scratch/$tag.json" ".[test]" "$@"
  "$py" - "$scratch/$tag.json" >"constraints/$tag.txt" <<'PY'
import json, sys
with open(sys.argv[1]) as f:
    report = json.load(f)
pins = [(i["metadata"]["name"], i["metadata"]["version"]) for i in report["install"]]
for name, version in sorted(pins, key=lambda p: p[0].lower()):
    if name != "korvane":
        print("%s==%s" % (name, version))
PY
  echo "constraints/$tag.txt: $(wc -l <"constraints/$tag.txt") pins"
done
