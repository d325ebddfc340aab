#!/usr/bin/env bash
# Prints the path of a CPython VER interpreter.  Usage: tools/find-python.sh 3.13
#
# It takes, in this order, the first that runs and is CPython VER:
#   1. $KORVANE_PYTHON, when it names an interpreter (a path or a command)
#      rather than a version;
#   2. pyenv's newest VER.x under $PYENV_ROOT (else `pyenv root`, else ~/.pyenv);
#   3. pythonVER on the PATH.
# When none is found it says, on stderr, what it looked at and why each was
# not taken, and how to point it elsewhere.
set -euo pipefail
ver=${1:?usage: tools/find-python.sh VERSION (e.g. 3.11)}
looked=()

# Prints the full version (3.11.7) of the interpreter $1 if it is CPython $ver.
version_of() {
  "$1" -c 'import platform, sys
if platform.python_implementation() == "CPython" and "%d.%d" % sys.version_info[:2] == sys.argv[1]:
    print(platform.python_version())' "$ver" 2>/dev/null
}

try() {  # $1: the interpreter, $2: where it came from
  local full
  if full=$(version_of "$1") && [ -n "$full" ]; then
    if [ ${#looked[@]} -gt 0 ]; then  # say what was passed over on the way
      echo "tools/find-python.sh: took CPython $full ($1); passed over:" >&2
      printf '  %s\n' "${looked[@]}" >&2
    fi
    echo "$1"
    exit 0
  fi
  looked+=("$2: $1 (does not run, or is not CPython $ver)")
}

if [ -n "${KORVANE_PYTHON:-}" ] && ! [[ $KORVANE_PYTHON =~ ^[0-9]+\.[0-9]+$ ]]; then
  if py=$(command -v "$KORVANE_PYTHON"); then
    try "$py" "KORVANE_PYTHON"
  else
    looked+=("KORVANE_PYTHON: $KORVANE_PYTHON (not found)")
  fi
fi

root=${PYENV_ROOT:-}
if [ -z "$root" ] && command -v pyenv >/dev/null 2>&1; then root=$(pyenv root 2>/dev/null || true); fi
root=${root:-$HOME/.pyenv}
if [ ! -d "$root" ]; then
  case $(ls -d "$root" 2>&1 >/dev/null) in
    *"ermission denied"*) looked+=("pyenv: $root/versions/$ver.* (not readable by uid $EUID)") ;;
    *) looked+=("pyenv: $root/versions/$ver.* (no such directory)") ;;
  esac
elif [ -d "$root/versions" ] && { ! [ -r "$root/versions" ] || ! [ -x "$root/versions" ]; }; then
  looked+=("pyenv: $root/versions/$ver.* (not readable by uid $EUID)")
else
  found=0
  for p in $(ls -d "$root"/versions/"$ver".* 2>/dev/null | sort -V -r); do
    found=1
    if [ -x "$p/bin/python" ]; then try "$p/bin/python" "pyenv"; fi
  done
  [ $found = 1 ] || looked+=("pyenv: $root/versions/$ver.* (none installed)")
fi

if py=$(command -v "python$ver"); then
  try "$py" "PATH"
else
  looked+=("PATH: python$ver (not on $PATH)")
fi

{
  echo "no CPython $ver found; looked at:"
  printf '  %s\n' "${looked[@]}"
  echo "Point to one with KORVANE_PYTHON=/path/to/python$ver, or to pyenv's with PYENV_ROOT=DIR;"
  echo "tools/test.sh --all runs the suite only on the versions that are found."
} >&2
exit 1
