#!/usr/bin/env bash
# Prints the path of a CPython VER interpreter: pyenv's newest VER.x, else
# pythonVER on the PATH.  Usage: tools/find-python.sh 3.13
set -euo pipefail
ver=$1
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  for p in $(ls -d "$root"/versions/"$ver".* 2>/dev/null | sort -V -r); do
    if [ -x "$p/bin/python" ]; then echo "$p/bin/python"; exit 0; fi
  done
fi
command -v "python$ver" || { echo "no CPython $ver found" >&2; exit 1; }
