#!/usr/bin/env bash
# Builds korvane with AddressSanitizer and UndefinedBehaviorSanitizer on
# CPython 3.11 (in .venv/py311-sanitize, see tools/env.sh) and runs the whole
# test suite under them, with PYTHONMALLOC=malloc so that every Python object
# is checked too. The first report, in the test process or in any child it
# starts, fails the run. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(KORVANE_SANITIZE=address,undefined tools/env.sh 3.11 | tail -n 1)
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
# The interpreter itself is not instrumented: the sanitizer runtime comes first.
export LD_PRELOAD="$(${CXX:-g++} -print-file-name=libasan.so)${LD_PRELOAD:+ $LD_PRELOAD}"
export PYTHONMALLOC=malloc
# CPython keeps much of its memory until exit by design: no leak checking.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
status=0
"$venv/bin/python" -m pytest -x -p no:cacheprovider "$@" || status=$?
if compgen -G "$reports/*" >/dev/null; then
  cat "$reports"/* >&2
  echo "sanitizer report(s) above" >&2
  status=1
fi
exit $status
