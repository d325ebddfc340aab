#!/usr/bin/env bash
# Builds korvane and runs the main job against the local emulators, on
# CPython 3.11, or on KORVANE_PYTHON: a version (KORVANE_PYTHON=3.8) or an
# interpreter (KORVANE_PYTHON=/usr/bin/python3.11).
# Extra arguments go to the demo, e.g. tools/demo.sh --rows 100000 --keep,
# or tools/demo.sh --dir ~/exports where /mydata/media/docs is not writable.
set -euo pipefail
cd "$(dirname "$0")/.."
ver=${KORVANE_PYTHON:-3.11}
if ! [[ $ver =~ ^[0-9]+\.[0-9]+$ ]]; then
  ver=$("$ver" -c 'import sys; print("%d.%d" % sys.version_info[:2])') || {
    echo "tools/demo.sh: KORVANE_PYTHON=$KORVANE_PYTHON does not run" >&2; exit 1; }
fi
venv=$(tools/env.sh "$ver" | tail -n 1)
"$venv/bin/python" -m korvane.testing.demo "$@"
