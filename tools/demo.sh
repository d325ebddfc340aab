#!/usr/bin/env bash
# Builds korvane and runs the main job against the local emulators, on
# CPython 3.11 or on the version in KORVANE_PYTHON (e.g. KORVANE_PYTHON=3.8).
# Extra arguments go to the demo, e.g. tools/demo.sh --rows 100000 --keep
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(tools/env.sh "${KORVANE_PYTHON:-3.11}" | tail -n 1)
"$venv/bin/python" -m korvane.testing.demo "$@"
