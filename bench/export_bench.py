"""Speed and peak memory of both export routes on a generated table.

    python bench/export_bench.py [--rows 1000000] [--block-size 100000]

The emulator runs in a process of its own, so the client's peak RSS is the
export's alone. Each route runs with the native module and with its
plain-Python twin (bench/reference.py). The OpenAPI export is checked byte
for byte against pandas writing the same rows in the same blocks, and the
Presto export against the OpenAPI one.
"""
import argparse
import filecmp
import io
import json
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SQL = "select * from v_bench"


def serve(kind, rows):
    from korvane.testing.openapi import OpenApiServer
    from korvane.testing.presto import PrestoServer

    if kind == "openapi":
        server = OpenApiServer(token="bench")
        server.__enter__()
        server.add_sample(SQL, rows)
    else:
        server = PrestoServer(page_rows=50000)
        server.load_sample("v_bench", rows)
    print(server.port, flush=True)
    sys.stdin.read()
    server.close()


def client(route, impl, port, block_size):
    import logging
    logging.getLogger("korvane").setLevel(logging.CRITICAL)
    if impl == "python":
        sys.path.insert(0, HERE)
        from reference import PyThinkDataQuery as Query
    else:
        from korvane.sadrel.sadrel import ThinkDataQuery as Query
    tdq = Query("http://127.0.0.1:%d/querySql" % port, "bench", ["127.0.0.1", port])
    started = time.perf_counter()
    if route == "openapi":
        path = tdq.get_data_csv({}, SQL, block_size=block_size)
    else:
        path = tdq.get_data_raw_pyhive({}, SQL, block_size=block_size, read_timeout=120)
    seconds = time.perf_counter() - started
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(json.dumps({"seconds": seconds, "peak_mb": peak_mb, "path": path}))


def expected_csv(rows, block_size):
    import pandas
    from korvane.testing.data import HEADERS, sample_rows

    out = io.StringIO()
    out.write(pandas.DataFrame(data=[], columns=HEADERS).to_csv(index=None))
    block = []
    for row in sample_rows(rows):
        block.append(row)
        if len(block) == block_size:
            out.write(pandas.DataFrame(data=block, columns=HEADERS).to_csv(index=None, header=False))
            block = []
    if block:
        out.write(pandas.DataFrame(data=block, columns=HEADERS).to_csv(index=None, header=False))
    return out.getvalue().encode("utf-8")


def run(route, impl, rows, block_size):
    me = os.path.abspath(__file__)
    server = subprocess.Popen([sys.executable, me, "--serve", route, "--rows", str(rows)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, universal_newlines=True)
    try:
        port = int(server.stdout.readline())
        out = subprocess.run([sys.executable, me, "--client", route, "--impl", impl, "--port", str(port),
                              "--block-size", str(block_size)],
                             stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
        return json.loads(out.strip().splitlines()[-1])
    finally:
        server.stdin.close()
        server.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--block-size", type=int, default=100000)
    parser.add_argument("--serve")
    parser.add_argument("--client")
    parser.add_argument("--impl", default="native")
    parser.add_argument("--port", type=int)
    parser.add_argument("--only-native", action="store_true")
    args = parser.parse_args()
    if args.serve:
        return serve(args.serve, args.rows)
    if args.client:
        return client(args.client, args.impl, args.port, args.block_size)

    print("rows=%d block_size=%d python=%s" % (args.rows, args.block_size, sys.version.split()[0]))
    results = {}
    impls = ["native"] if args.only_native else ["native", "python"]
    for route in ("openapi", "presto"):
        for impl in impls:
            r = run(route, impl, args.rows, args.block_size)
            results[route, impl] = r
            print("%-8s %-7s %7.2f s  peak RSS %7.1f MiB" % (route, impl, r["seconds"], r["peak_mb"]))
    with open(results["openapi", "native"]["path"], "rb") as f:
        got = f.read()
    import csv
    records = sum(1 for _ in csv.reader(io.StringIO(got.decode("utf-8"))))
    print("OpenAPI file: %d CSV records (header included), %d physical lines, identical to pandas blocks: %s"
          % (records, got.count(b"\n"), got == expected_csv(args.rows, args.block_size)))
    print("Presto file identical to OpenAPI file: %s"
          % filecmp.cmp(results["openapi", "native"]["path"], results["presto", "native"]["path"], shallow=False))
    for r in results.values():
        os.remove(r["path"])


if __name__ == "__main__":
    main()
