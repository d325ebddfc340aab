#!/usr/bin/env bash
# Builds korvane on CPython 3.11 and runs the main job against the local emulators.
# Extra arguments go to the demo, e.g. tools/demo.sh --rows 1000000
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(tools/env.sh 3.11 | tail -n 1)
"$venv/bin/python" -m korvane.testing.demo "$@"
