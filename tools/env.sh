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

if [ ! -x "$venv/bin/python" ]; then
  "$(tools/find-python.sh "$ver")" -m venv "$venv"
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
