#!/usr/bin/env bash
# Builds bench/json_scanners.cpp against CPython 3.11 and simdjson
# (apt-get install libsimdjson-dev) and runs it on 200,000 benchmark rows.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-.venv/py311/bin/python}
config=$("$py" -c 'import sys, sysconfig, os; print(os.path.join(sysconfig.get_config_var("BINDIR"), "python%d.%d-config" % sys.version_info[:2]))')
out=$(mktemp -d)
"$py" -c '
import sys; sys.path.insert(0, "bench")
from export_bench import encoded_lines
sys.stdout.buffer.write(b"\n".join(encoded_lines(200000)[1:]) + b"\n")' > "$out/lines.jsonl"
g++ -O2 -std=c++17 -Isrc/runtime -Isrc/korvane/sadrel $("$config" --includes) bench/json_scanners.cpp src/korvane/sadrel/export/row_parser.cpp \
  -o "$out/json_scanners" -lsimdjson $("$config" --ldflags --embed) -Wl,-rpath,"$("$config" --prefix)/lib"
"$out/json_scanners" "$out/lines.jsonl" 5
rm -rf "$out"
