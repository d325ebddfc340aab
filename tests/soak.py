"""Calls every method of both classes, on every failure path, over and over
against the emulators, and samples the process's memory as it goes.

    python tests/soak.py CALLS    # prints one JSON object

Samples (RSS in KiB, tracemalloc's traced bytes, live gc-tracked objects)
are taken at the end of each tenth of the calls; the first tenth is the
warm-up.
"""
import gc
import json
import logging
import os
import sys
import tempfile
import tracemalloc

import pandas
from kubernetes.client.rest import ApiException

import korvane.sadrel.sadrel as sadrel
from korvane.pyspark_k8s.podwarden import PodWarden
from korvane.testing.kubernetes import KubeApiServer
from korvane.testing.openapi import OpenApiServer
from korvane.testing.presto import Fault, PrestoServer

SQL = "select * from t"
ROWS = [[n, "r%d" % n] for n in range(7)]


class Abort(BaseException):
    pass


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def main(total):
    logging.disable(logging.CRITICAL)  # BMOBJ still formats and hands on every record
    out_dir = tempfile.mkdtemp()
    name = iter(range(10 ** 9))

    class Here(sadrel.ThinkDataQuery):
        def gen_local_unique_file(self, ext="csv"):
            try:  # the module's own naming runs too; the default directory may be root's
                sadrel.ThinkDataQuery.gen_local_unique_file(self, ext)
            except OSError:
                pass
            return os.path.join(out_dir, "%d.%s" % (next(name), ext))

    class Interrupted(Here):
        def g_to_csv_notmp(self, filepath, df, index=True, compression=None, mode="w", header=True):
            if mode == "a":
                raise Abort()
            return Here.g_to_csv_notmp(self, filepath, df, index, compression, mode, header)

    api = OpenApiServer(token="tok").start()
    presto = PrestoServer(page_rows=2)
    kube = KubeApiServer(token="kube-tok")
    api.add_result(SQL, ["n", "s"], ROWS)
    presto.load_table("t", [("n", "bigint"), ("s", "varchar")], ROWS)
    kube.add_pod("default", "web", log_lines=["a", "b", "c"])
    kubeconfig = kube.write_kubeconfig(os.path.join(out_dir, "kc"))
    bad_kubeconfig = kube.write_kubeconfig(os.path.join(out_dir, "kc-bad"), token="wrong")
    hive = [presto.host, presto.port]
    frame = pandas.DataFrame(data=ROWS, columns=["n", "s"])

    def openapi(fault=None, cls=Here, **options):
        if fault is not None:
            api.set_fault(fault, **options)
        return cls(api.url, "tok").get_data_csv({}, SQL, 3)

    def direct(faults=(), *args):
        presto.plan(faults)
        return Here("http://unused/querySql", "tok", hive).get_data_raw_pyhive({}, SQL, 3, 2, *args)

    def attempt(port, upcount, faults=()):
        presto.plan(faults)
        tdq = Here("http://unused/querySql", "tok", [presto.host, port])
        return tdq.get_data_raw_pyhive_i({}, tdq.gen_local_unique_file(), SQL, 3, 2, 5, upcount)

    stall = Fault("stall_headers", page=1, seconds=0.3)
    calls = [
        lambda: sadrel.ThinkDataQuery(api.url, "tok").gen_local_unique_file(),
        lambda: Here(api.url, "tok").g_to_csv_notmp(os.path.join(out_dir, "frame.csv"), frame, index=None),
        lambda: openapi(),
        lambda: openapi(cls=Interrupted),
        lambda: Here(api.url, "tok").get_data_csv({}, "select nothing"),
        lambda: openapi("http_500"),
        lambda: openapi("redirect"),
        lambda: openapi("bad_line", position=2),
        lambda: openapi("drop", after_rows=4),
        lambda: openapi("empty_body"),
        lambda: Here(api.url, "tok").get_data_csv(),
        lambda: direct(),
        lambda: direct([stall], 5, 0.05),
        lambda: direct(["http_500"]),
        lambda: direct((), 0),
        lambda: attempt(presto.port, 0, [Fault("query_error", page=1)]),
        lambda: attempt("http", None),
        lambda: PodWarden({}, kubeconfig).get_all_pods(),
        lambda: PodWarden({}, kubeconfig).get_pod_info("web"),
        lambda: PodWarden({}, kubeconfig).get_pod_info("missing"),
        lambda: PodWarden({}, kubeconfig).get_pod_log("web", 2),
        lambda: PodWarden({}, kubeconfig).delete_pod("missing"),
        lambda: PodWarden({}, kubeconfig).get_k8s_client(),
        lambda: PodWarden({}, bad_kubeconfig).get_all_pods(),
        lambda: PodWarden({}),
    ]
    outcomes = {}
    samples = []
    left = []  # failed calls that left a file behind
    tracemalloc.start()
    checkpoints = [total * k // 10 for k in range(1, 11)]
    done = 0
    try:
        while done < total:
            for call in calls:
                before = len(os.listdir(out_dir))
                try:
                    call()
                    outcome = "returned"
                except BaseException as e:
                    if isinstance(e, (KeyboardInterrupt, SystemExit)):
                        raise
                    # kubernetes 37 raises subclasses by status (NotFoundException).
                    outcome = "ApiException" if isinstance(e, ApiException) else type(e).__name__
                    if len(os.listdir(out_dir)) != before:
                        left.append(outcome)
                outcomes[outcome] = outcomes.get(outcome, 0) + 1
                done += 1
            for name_ in os.listdir(out_dir):
                if name_.endswith(".csv"):
                    os.remove(os.path.join(out_dir, name_))
            for recorded in (api.requests, presto.requests, presto.cancels, kube.requests):
                del recorded[:]
            if checkpoints and done >= checkpoints[0]:
                while checkpoints and done >= checkpoints[0]:
                    checkpoints.pop(0)
                gc.collect()
                samples.append({"calls": done, "rss_kib": rss_kib(),
                                "traced": tracemalloc.get_traced_memory()[0],
                                "objects": len(gc.get_objects())})
    finally:
        tracemalloc.stop()
        api.close()
        presto.close()
        kube.close()
    return {"calls": done, "per_cycle": len(calls), "outcomes": outcomes, "samples": samples,
            "running": presto.running, "left": left}


if __name__ == "__main__":
    print(json.dumps(main(int(sys.argv[1]))))
