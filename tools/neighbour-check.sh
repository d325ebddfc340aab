#!/usr/bin/env bash
# Shows that the test suite is a good neighbour: while another process writes
# an export of its own into /mydata/media/docs every 50 ms, RUNS copies of the
# suite (2 by default) run at once.  Passes when every run passes and every
# file of the other process is still there, unchanged.  That process's files
# are removed at the end, and only they.
#
#   tools/neighbour-check.sh [PYTHON] [-- PYTEST ARGS]
#
# PYTHON is a venv's interpreter with korvane installed (.venv/py311 by
# default); RUNS=1 runs the suite once.  The check works on the real
# directory: on a shared host, give it a mount namespace of its own, e.g.
# unshare --mount sh -c 'mount -t tmpfs tmpfs /mydata && exec tools/neighbour-check.sh'.
set -euo pipefail
cd "$(dirname "$0")/.."
python=.venv/py311/bin/python
if [ $# -gt 0 ] && [ "$1" != "--" ]; then python=$1; shift; fi
[ "${1:-}" != "--" ] || shift
runs=${RUNS:-2}
docs=/mydata/media/docs
mkdir -p "$docs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The neighbour: one file every 50 ms, named and filled so that it is known
# as its own; on SIGTERM it checks them all, prints what it found and removes them.
"$python" - "$docs" >"$work/neighbour.json" <<'PY' &
import json, os, signal, sys, time
docs, written, stop = sys.argv[1], [], []
signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
tag = "neighbour-%d-" % os.getpid()
while not stop:
    path = os.path.join(docs, "%s%06d.csv" % (tag, len(written)))
    with open(path, "w") as f:
        f.write("id,owner\n%d,%s\n" % (len(written), tag))
    written.append(path)
    time.sleep(0.05)
intact = 0
for n, path in enumerate(written):
    try:
        with open(path) as f:
            intact += f.read() == "id,owner\n%d,%s\n" % (n, tag)
        os.remove(path)
    except FileNotFoundError:
        pass
print(json.dumps({"written": len(written), "intact": intact}))
PY
neighbour=$!
sleep 1

start=$(date +%s)
pids=()
for n in $(seq "$runs"); do
  "$python" -m pytest -q "$@" >"$work/run$n.log" 2>&1 &
  pids+=($!)
done
status=0
for n in $(seq "$runs"); do
  if wait "${pids[$((n - 1))]}"; then result=passed; else result=FAILED; status=1; fi
  echo "suite run $n: $result: $(tail -n 1 "$work/run$n.log")"
  [ "$result" = passed ] || tail -n 40 "$work/run$n.log"
done
echo "wall time of the runs: $(($(date +%s) - start)) s"

kill -TERM "$neighbour"
wait "$neighbour"
read -r written intact < <("$python" -c 'import json, sys; d = json.load(sys.stdin); print(d["written"], d["intact"])' <"$work/neighbour.json")
echo "neighbour: $written files written into $docs, $intact still there unchanged"
[ "$written" -gt 0 ] && [ "$intact" -eq "$written" ] || status=1
left=$(find "$docs" -mindepth 1 | wc -l)
echo "left in $docs by the suite runs: $left"
exit $status
