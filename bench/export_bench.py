"""Speed and peak memory of both export routes, native against the Python twin.

    python bench/export_bench.py                      # 200,000 and 1,000,000 rows, 5 rounds
    python bench/export_bench.py --sizes 5000000 --routes chunked --repeat 1   # the RSS check

Routes: ``chunked`` and ``length`` are the OpenAPI export of a chunked and of
a Content-Length response, ``rowchunks`` that of a chunked response that
sends each row as a chunk of its own, ``presto`` the direct route. With
``--tls`` each OpenAPI route runs over plain HTTP and over HTTPS (``ROUTE+tls``,
a self-signed certificate, the server sending the same pre-framed body in
large writes), and the report puts the two side by side. Rows are
``korvane.testing.data`` rows. Each server runs in a process of its own; the
OpenAPI body is encoded once, before the first run, so the server only sends
bytes. Every export runs in a fresh client process, which reports its wall
time, its CPU time and its peak RSS. Native and twin (tests/twins/sadrel.py)
runs alternate, round after round; the tables give medians and the ratio
twin / native. Every file of a size must be byte-identical to every other
and to pandas writing the same rows in the same blocks.

Also measured, once per size: the mandated calls on their own (iter_lines,
json.loads, DataFrame, to_csv on the same rows) and the loop's own cost per
row, with the HTTP response, pandas and the log replaced by stand-ins; and
the same loop writing its blocks for real, whose difference is the cost of
writing a block (the native writer's, or pandas').
Results go to bench/results-py<XY>.json unless --json says otherwise.
"""
import argparse
import collections
import gc
import hashlib
import io
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import types
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
SQL = "select * from v_bench"
ME = os.path.abspath(__file__)


def encoded_lines(rows):
    from korvane.testing.data import HEADERS, sample_rows

    status = {"return_code": 0, "return_message": "success", "data": {"headers": HEADERS}}
    dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode
    lines = [dumps(status).encode("utf-8")]
    lines.extend(dumps(row).encode("utf-8") for row in sample_rows(rows))
    return lines


# ---- processes ---------------------------------------------------------------------

def blank_lines(rows):
    """The lines of encoded_lines(rows), each row's text turned into blanks: the
    same bytes to read and split, but nothing to parse or write."""
    lines = encoded_lines(rows)
    return lines[:1] + [b" " * len(line) for line in lines[1:]]


def split_route(route):
    """``(framing, kind, tls)`` of a route such as ``rowchunks-blank+tls``."""
    route, _, scheme = route.partition("+")
    framing, _, kind = route.partition("-")
    return framing, kind, scheme == "tls"


def endpoint(route, port):
    return "%s://127.0.0.1:%d/querySql" % ("https" if split_route(route)[2] else "http", port)


def quiet_tls():
    """The export's verify=False warns at each request (InsecureRequestWarning):
    the same for both implementations, and nothing to print here."""
    import warnings

    import urllib3

    warnings.simplefilter("ignore", urllib3.exceptions.InsecureRequestWarning)


def serve(route, rows):
    if route == "presto":
        from korvane.testing.presto import PrestoServer

        server = PrestoServer(page_rows=50000)
        server.load_sample("v_bench", rows)
    else:
        from korvane.testing.bodies import BodyServer

        framing, kind, tls = split_route(route)
        server = BodyServer(tls=tls)
        server.put((blank_lines if kind == "blank" else encoded_lines)(rows), chunked=(framing != "length"),
                   line_chunks=(framing == "rowchunks"))
    print(server.port, flush=True)
    sys.stdin.read()
    server.close()


def private_dir():
    """A directory of our own, under $TMPDIR: the export directory may not be
    writable for whoever runs the benchmark, and test runs on a shared host
    clean it up while we write."""
    return tempfile.mkdtemp(prefix="korvane-bench-")


def query_class(impl):
    if impl == "python":
        sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))
        from twins.sadrel import ThinkDataQuery as Query
    else:
        from korvane.sadrel.sadrel import ThinkDataQuery as Query
    return Query


def client(route, impl, port, block_size):
    import logging

    logging.getLogger("korvane").setLevel(logging.CRITICAL)
    Base = query_class(impl)
    private = private_dir()

    class Query(Base):
        # The export's file, in the directory of our own.
        def gen_local_unique_file(self, ext="csv"):
            return os.path.join(private, uuid.uuid4().hex + "." + ext)

    quiet_tls()
    tdq = Query(endpoint(route, port), "bench", ["127.0.0.1", port])
    wall, cpu = time.perf_counter(), time.process_time()
    if route == "presto":
        path = tdq.get_data_raw_pyhive({}, SQL, block_size=block_size, read_timeout=120)
    else:
        path = tdq.get_data_csv({}, SQL, block_size=block_size)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    peak = peak_rss_mb()
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    os.remove(path)
    os.rmdir(private)
    print(json.dumps({"wall": wall, "cpu": cpu, "peak_mb": peak, "sha256": digest.hexdigest()}))


def read_only(route, port):
    """CPU seconds of reading the response alone, in the pieces the module reads."""
    import requests

    quiet_tls()
    t = time.process_time()
    r = requests.session().post(endpoint(route, port), data={"token": "bench", "sql": SQL},
                                stream=True, verify=False, timeout=(300, 600))
    step = 104857600 if route.startswith("chunked") else 1 << 20
    size = sum(len(piece) for piece in r.iter_content(chunk_size=step))
    print(json.dumps({"cpu": time.process_time() - t, "bytes": size}))


def peak_rss_mb():
    """This process's peak RSS. Linux keeps ru_maxrss across exec, so a child
    would report the driver's own peak where that is higher: VmHWM is the
    process image's own."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def costs(port, block_size):
    """CPU seconds of the mandated calls alone, on one Content-Length response."""
    import pandas
    import requests

    out = {}
    t = time.process_time()
    r = requests.session().post("http://127.0.0.1:%d/querySql" % port, data={"token": "bench", "sql": SQL},
                                stream=True, verify=False, timeout=(300, 600))
    lines = [row for row in r.iter_lines(chunk_size=104857600) if row]
    out["iter_lines"] = time.process_time() - t
    t = time.process_time()
    values = [json.loads(row) for row in lines]
    out["json.loads"] = time.process_time() - t
    cols, rows = values[0]["data"]["headers"], values[1:]
    blocks = [rows[k:k + block_size] for k in range(0, len(rows), block_size)]
    t = time.process_time()
    frames = [pandas.DataFrame(data=block, columns=cols) for block in blocks]
    out["DataFrame"] = time.process_time() - t
    fd, path = tempfile.mkstemp(suffix=".csv")
    os.close(fd)
    t = time.process_time()
    for df in frames:
        df.to_csv(path, index=None, mode="a", header=False)
    out["to_csv"] = time.process_time() - t
    os.remove(path)
    print(json.dumps(out))


def own(impl, rows, block_size, mode):
    """ns per row of the export loop itself, the calls around it made trivial.

    mode "stub": each row's value comes from a dict lookup and pandas is a
    stand-in; "parse": the rows are parsed (natively, for the module);
    "write": as "stub", but the blocks are written to a file for real (by
    the native writer, for the module; by pandas, for the twin).
    """
    Query = query_class(impl)
    module = sys.modules[Query.get_data_csv.__module__]
    # A thousand distinct lines over and over: they stay in the CPU's caches,
    # so the harness costs little beside the loop.
    sample = encoded_lines(1000)
    lines = sample[:1] + sample[1:] * (rows // 1000)
    # A response that passes the status check: 200, and nothing to enforce.
    response = types.SimpleNamespace(status_code=200, raw=types.SimpleNamespace(),
                                     iter_lines=lambda chunk_size: iter(lines))
    session = types.SimpleNamespace(post=lambda *args, **kwargs: response)
    frame = types.SimpleNamespace(to_csv=lambda *args, **kwargs: None)
    module.requests = types.SimpleNamespace(session=lambda: session)
    if mode != "write":
        module.pandas = types.SimpleNamespace(DataFrame=lambda data, columns: frame)
    module.BMOBJ = types.SimpleNamespace(log_error=lambda *args: None, clog=lambda *args: None)
    if mode != "parse":
        # Each line's value, parsed beforehand, comes from a dict lookup.
        module.json = types.SimpleNamespace(loads=dict(zip(lines, map(json.loads, lines))).__getitem__)
    private = private_dir()
    target = os.path.join(private, "own.csv") if mode == "write" else "/dev/null"
    tdq = Query("http://127.0.0.1:1/querySql", "bench")
    tdq.gen_local_unique_file = lambda ext="csv": target
    gc.collect()
    gc.freeze()  # the prepared lines and values are the harness's, not the loop's
    best = None
    for _ in range(3):
        t = time.process_time()
        tdq.get_data_csv({}, SQL, block_size=block_size)
        t = time.process_time() - t
        best = t if best is None else min(best, t)
    if mode == "write":
        os.remove(target)
    os.rmdir(private)
    # What the stand-ins cost on their own: the lines iterated, and in the
    # stub case each row looked up, from C.
    loads = module.json.loads if mode != "parse" else len
    harness = None
    for _ in range(3):
        t = time.process_time()
        collections.deque(map(loads, lines[1:]), 0)
        t = time.process_time() - t
        harness = t if harness is None else min(harness, t)
    print(json.dumps({"ns_per_row": best / rows * 1e9, "harness_ns_per_row": harness / rows * 1e9}))


# ---- the driver --------------------------------------------------------------------

def child(*args):
    out = subprocess.run([sys.executable, ME] + [str(a) for a in args], stdout=subprocess.PIPE,
                         universal_newlines=True, check=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def expected_sha256(rows, block_size):
    import pandas
    from korvane.testing.data import HEADERS, sample_rows

    digest = hashlib.sha256()
    digest.update(pandas.DataFrame(data=[], columns=HEADERS).to_csv(index=None).encode("utf-8"))
    block = []
    for row in sample_rows(rows):
        block.append(row)
        if len(block) == block_size:
            digest.update(pandas.DataFrame(data=block, columns=HEADERS).to_csv(index=None, header=False).encode("utf-8"))
            block = []
    if block:
        digest.update(pandas.DataFrame(data=block, columns=HEADERS).to_csv(index=None, header=False).encode("utf-8"))
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="200000,1000000")
    parser.add_argument("--routes", default="chunked,length,rowchunks,presto")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--block-size", type=int, default=100000)
    parser.add_argument("--only-native", action="store_true")
    parser.add_argument("--no-extras", action="store_true", help="skip the cost and own-code figures")
    parser.add_argument("--json")
    parser.add_argument("--serve", nargs=2)
    parser.add_argument("--client", nargs=4)
    parser.add_argument("--costs", nargs=2, type=int)
    parser.add_argument("--read", nargs=2)
    parser.add_argument("--stages", action="store_true",
                        help="native CPU by stage (read, lines, parse and write) and peak RSS, by framing")
    parser.add_argument("--own", nargs=4)
    parser.add_argument("--tls", action="store_true",
                        help="each OpenAPI route over HTTP and over HTTPS, side by side")
    args = parser.parse_args()
    if args.serve:
        return serve(args.serve[0], int(args.serve[1]))
    if args.client:
        route, impl, port, block_size = args.client
        return client(route, impl, int(port), int(block_size))
    if args.costs:
        return costs(*args.costs)
    if args.read:
        return read_only(args.read[0], int(args.read[1]))
    if args.own:
        impl, rows, block_size, mode = args.own
        return own(impl, int(rows), int(block_size), mode)

    sizes = [int(s) for s in args.sizes.split(",")]
    routes = args.routes.split(",")
    if args.stages:
        routes = [r for r in routes if r != "presto"]
        routes += ["%s-blank" % r for r in routes]
    if args.tls:
        routes += ["%s+tls" % r for r in routes if r != "presto"]
    impls = ["native"] if args.only_native else ["native", "python"]
    report = {"python": sys.version.split()[0], "machine": machine(), "block_size": args.block_size,
              "repeat": args.repeat, "sizes": {}}
    print("CPython %s, block_size %d, %d rounds, %s" % (report["python"], args.block_size, args.repeat,
                                                       report["machine"]))
    for rows in sizes:
        servers = {}
        for route in routes:
            proc = subprocess.Popen([sys.executable, ME, "--serve", route, str(rows)], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, universal_newlines=True)
            servers[route] = (proc, int(proc.stdout.readline()))
        runs = {(route, impl): [] for route in routes for impl in impls}
        reads = {route: [] for route in routes if args.stages and split_route(route)[1] != "blank"}
        try:
            for k in range(args.repeat):
                for route in routes:
                    order = impls if k % 2 == 0 else impls[::-1]
                    if split_route(route)[1] == "blank":
                        order = ["native"]
                    for impl in order:
                        runs[route, impl].append(child("--client", route, impl, servers[route][1], args.block_size))
                    if route in reads:
                        reads[route].append(child("--read", route, servers[route][1]))
            extras = {}
            if not args.no_extras and "length" in servers:
                extras["mandated_cpu_s"] = child("--costs", servers["length"][1], args.block_size)
            if not args.no_extras:
                for impl in impls:
                    for mode in ("stub", "parse", "write"):
                        own_rows = min(rows, 1000000)
                        own_run = child("--own", impl, own_rows, args.block_size, mode)
                        extras["own_ns_per_row_%s_%s" % (impl, mode)] = own_run["ns_per_row"]
                        extras["harness_ns_per_row_%s" % mode] = own_run["harness_ns_per_row"]
        finally:
            for proc, _ in servers.values():
                proc.stdin.close()
                proc.wait()
        expected = expected_sha256(rows, args.block_size)
        table = {}
        for route in routes:
            entry = {}
            for impl in (["native"] if split_route(route)[1] == "blank" else impls):
                rs = runs[route, impl]
                entry[impl] = {"wall_s": statistics.median(r["wall"] for r in rs),
                               "cpu_s": statistics.median(r["cpu"] for r in rs),
                               "peak_rss_mb": statistics.median(r["peak_mb"] for r in rs),
                               "runs": rs}
            if "python" in entry:
                entry["ratio_wall"] = entry["python"]["wall_s"] / entry["native"]["wall_s"]
                entry["ratio_cpu"] = entry["python"]["cpu_s"] / entry["native"]["cpu_s"]
            table[route] = entry
        odd = sorted("%s/%s run %d" % (route, impl, k + 1) for (route, impl), rs in runs.items()
                     for k, r in enumerate(rs) if r["sha256"] != expected and split_route(route)[1] != "blank")
        for route, rs in reads.items():
            full = table[route]["native"]["cpu_s"]
            framing, _, tls = split_route(route)
            blank = table[framing + "-blank" + ("+tls" if tls else "")]["native"]["cpu_s"]
            read = statistics.median(r["cpu"] for r in rs)
            extras["stages_cpu_s_%s" % route] = {"read": read, "lines": blank - read, "parse and write": full - blank,
                                                 "total": full}
        report["sizes"][rows] = {"routes": table, "identical_files": not odd, "differing_files": odd, **extras}
        if args.tls:
            report["sizes"][rows]["tls"] = side_by_side(table)
        print_size(rows, table, not odd, extras)
        if args.tls:
            print_tls(report["sizes"][rows]["tls"])
        if odd:
            print("files that differ: " + ", ".join(odd))
    path = args.json or os.path.join(HERE, "results-py%d%d.json" % sys.version_info[:2])
    with open(path, "w") as f:
        json.dump(report, f, indent=1)
    print("written: %s" % path)
    if any(size["differing_files"] for size in report["sizes"].values()):
        sys.exit("files differ from what pandas writes")


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return "%s, %d CPUs, %s" % (cpu, os.cpu_count(), platform.platform())


def side_by_side(table):
    """For each framing, HTTP against HTTPS: the native CPU, twin / native
    (CPU), the native peak RSS; and the TLS targets' ratios."""
    out = {"framings": {}}
    for route, entry in table.items():
        framing, kind, tls = split_route(route)
        if tls or kind or route + "+tls" not in table:
            continue
        secure = table[route + "+tls"]
        row = {"native_cpu_s": [entry["native"]["cpu_s"], secure["native"]["cpu_s"]],
               "native_peak_rss_mb": [entry["native"]["peak_rss_mb"], secure["native"]["peak_rss_mb"]]}
        if "ratio_cpu" in entry and "ratio_cpu" in secure:
            row["ratio_cpu"] = [entry["ratio_cpu"], secure["ratio_cpu"]]
        row["https_rss_over_http"] = row["native_peak_rss_mb"][1] / row["native_peak_rss_mb"][0]
        out["framings"][route] = row
    if "rowchunks+tls" in table and "chunked+tls" in table:
        out["https_rowchunks_over_chunked_native_cpu"] = (
            table["rowchunks+tls"]["native"]["cpu_s"] / table["chunked+tls"]["native"]["cpu_s"])
    return out


def print_tls(tls):
    print("\nHTTP / HTTPS, medians, CPU")
    print("%-10s %19s %19s %23s" % ("framing", "native CPU s", "twin / native", "native peak MiB"))
    for route, row in tls["framings"].items():
        ratio = "%8.1fx / %5.1fx" % tuple(row["ratio_cpu"]) if "ratio_cpu" in row else "-"
        print("%-10s %8.3f / %8.3f %19s %9.1f / %6.1f (%.2f)" % (
            route, row["native_cpu_s"][0], row["native_cpu_s"][1], ratio, row["native_peak_rss_mb"][0],
            row["native_peak_rss_mb"][1], row["https_rss_over_http"]))
    if "https_rowchunks_over_chunked_native_cpu" in tls:
        print("HTTPS, one row per chunk / 64 KiB chunks, native CPU: %.2f"
              % tls["https_rowchunks_over_chunked_native_cpu"])


def print_size(rows, table, identical, extras):
    print("\n%d rows; every file byte-identical to pandas' own blocks: %s" % (rows, identical))
    print("%-13s %-7s %9s %9s %10s" % ("route", "impl", "wall s", "CPU s", "peak MiB"))
    for route, entry in table.items():
        for impl in ("native", "python"):
            if impl in entry:
                e = entry[impl]
                print("%-13s %-7s %9.2f %9.2f %10.1f" % (route, impl, e["wall_s"], e["cpu_s"], e["peak_rss_mb"]))
        if "ratio_cpu" in entry:
            print("%-13s %-7s %8.2fx %8.2fx" % (route, "ratio", entry["ratio_wall"], entry["ratio_cpu"]))
    if "mandated_cpu_s" in extras:
        m = extras["mandated_cpu_s"]
        print("mandated calls alone, CPU s: " + ", ".join("%s %.2f" % kv for kv in m.items())
              + ", total %.2f" % sum(m.values()))
    for key in sorted(k for k in extras if k.startswith("stages_cpu_s_")):
        print("native CPU by stage, %s: " % key[len("stages_cpu_s_"):]
              + ", ".join("%s %.3f s" % kv for kv in extras[key].items()))
    if "chunked" in table and "length" in table:
        print("peak RSS, Content-Length / chunked (native): %.1f / %.1f MiB = %.2f" % (
            table["length"]["native"]["peak_rss_mb"], table["chunked"]["native"]["peak_rss_mb"],
            table["length"]["native"]["peak_rss_mb"] / table["chunked"]["native"]["peak_rss_mb"]))
    for key in sorted(k for k in extras if k.startswith("own_")):
        mode = key.rsplit("_", 1)[1]
        print("%s: %.0f ns (stand-ins alone %.0f ns: %.0f ns net)" % (
            key, extras[key], extras["harness_ns_per_row_" + mode], extras[key] - extras["harness_ns_per_row_" + mode]))
    for impl in ("native", "python"):
        if "own_ns_per_row_%s_write" % impl in extras:
            print("%s: writing the blocks, %.0f ns per row (write - stub)" % (
                impl, extras["own_ns_per_row_%s_write" % impl] - extras["own_ns_per_row_%s_stub" % impl]))


if __name__ == "__main__":
    main()
