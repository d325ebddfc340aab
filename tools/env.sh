#!/usr/bin/env bash
# Creates (or refreshes) .venv/pyXY for one interpreter version and installs
# korvane into it with the pinned dependency set.  Usage: tools/env.sh 3.8
#
# The dependencies are installed first, each built in pip's usual isolated
# environment (PyHive comes as an sdist and needs setuptools and wheel there).
# Only korvane itself is built without isolation, against the build tools
# installed in the venv, so that its CMake build directory is reused.
#
# With KORVANE_SANITIZE set (e.g. address,undefined) the sanitized build gets
# a venv and a build directory of its own, .venv/pyXY-sanitize and
# build/sanitize-<wheel tag>, and leaves the normal ones alone.
set -euo pipefail
cd "$(dirname "$0")/.."
ver=$1
tag=py${ver/./}
venv=.venv/$tag
build=()
if [ -n "${KORVANE_SANITIZE:-}" ]; then
  venv=.venv/$tag-sanitize
  build=(-C "build-dir=build/sanitize-{wheel_tag}" -C cmake.build-type=RelWithDebInfo)
fi

# The interpreter the search finds now; a venv made with another one (another
# patch release, say pyenv's 3.11.7 where Debian's 3.11.2 was taken before)
# is refused rather than quietly kept or replaced.
python=$(tools/find-python.sh "$ver")
now=$("$python" -c 'import platform; print(platform.python_version())')
if [ -x "$venv/bin/python" ]; then
  made=$(sed -n 's/^version *= *//p' "$venv/pyvenv.cfg" 2>/dev/null | head -n 1)
  home=$(sed -n 's/^home *= *//p' "$venv/pyvenv.cfg" 2>/dev/null | head -n 1)
  if [ "$made" != "$now" ]; then
    {
      echo "tools/env.sh: $venv was made with CPython ${made:-unknown} ($home), but the search now finds"
      echo "  CPython $now ($python). Remove $venv to rebuild it with $now,"
      echo "  or keep it with KORVANE_PYTHON=$home/python$ver."
    } >&2
    exit 1
  fi
else
  echo "tools/env.sh: making $venv with CPython $now ($python)" >&2
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
"${pip[@]}" -r "constraints/$tag.txt"
"${pip[@]}" --upgrade "scikit-build-core>=0.10" "pybind11>=3.0,<3.1" cmake ninja
"${pip[@]}" --no-build-isolation --no-deps "${build[@]}" .
"$venv/bin/python" -m pip check -q >/dev/null || "$venv/bin/python" -m pip check >&2
# kubectl for the tests that drive it: Debian's kubernetes-client, unpacked
# into .venv (tools/kubectl.sh); where it cannot be had, those tests skip.
bash tools/kubectl.sh >/dev/null || true
echo "$venv"
