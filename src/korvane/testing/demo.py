"""The main job, end to end, against the loopback emulators.

    python -m korvane.testing.demo [--rows N]

Exports a generated table through both ThinkData routes (the streamed OpenAPI
endpoint and the direct Presto engine), checks that the two CSV files are
identical, then manages pods through the Kubernetes API emulator.
"""
import argparse
import datetime
import filecmp
import logging
import os
import tempfile
import time

import pandas

from korvane.common.defines import BMOBJ
from korvane.testing.kubernetes import KubeApiServer
from korvane.testing.openapi import OpenApiServer
from korvane.testing.presto import PrestoServer

SQL = "select * from v_user_7"


def export_both_routes(rows, block_size):
    from korvane.sadrel.sadrel import ThinkDataQuery

    with OpenApiServer(token="demo-token") as api, PrestoServer(page_rows=50000) as presto:
        api.add_sample(SQL, rows)
        presto.load_sample("v_user_7", rows)
        tdq = ThinkDataQuery(api.url, "demo-token", [presto.host, presto.port])

        started = time.time()
        via_api = tdq.get_data_csv({}, SQL, block_size=block_size)
        api_seconds = time.time() - started

        started = time.time()
        via_presto = tdq.get_data_raw_pyhive({}, SQL, block_size=block_size, read_timeout=60)
        presto_seconds = time.time() - started
    try:
        df = pandas.read_csv(via_api, header=0)
        print("OpenAPI route: %d rows x %d columns in %.1f s -> %s" % (len(df), len(df.columns), api_seconds, via_api))
        print("Presto route:  %.1f s -> %s" % (presto_seconds, via_presto))
        same = filecmp.cmp(via_api, via_presto, shallow=False)
        print("Both files identical: %s" % same)
        print(df.head(3).to_string())
        return same
    finally:
        BMOBJ.remove_file(via_api)
        BMOBJ.remove_file(via_presto)


def manage_pods():
    from korvane.pyspark_k8s.podwarden import PodWarden

    start = datetime.datetime(2021, 4, 23, 8, 0, tzinfo=datetime.timezone.utc)
    with KubeApiServer(token="demo-token") as kube, tempfile.TemporaryDirectory() as home:
        kube.add_pod("default", "spark-driver-1", phase="Running", created=start,
                     log_lines=["line %d" % n for n in range(50)])
        kube.add_pod("kube-system", "coredns-1", phase="Running")
        kube.add_pod("default", "spark-driver-2", phase="Succeeded")
        kubeconfig = kube.write_kubeconfig(os.path.join(home, "config"))

        warden = PodWarden({}, kubeconfig)
        for pod in warden.get_all_pods():
            print("pod %(name)s %(status)s created %(create_time)s" % pod)
        print("phase of spark-driver-1:", warden.get_pod_info("spark-driver-1").status.phase)
        print("last 3 log lines:", warden.get_pod_log("spark-driver-1", 3).splitlines())
        warden.delete_pod("spark-driver-2")
        print("after delete:", [p["name"] for p in warden.get_all_pods()])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200000)
    parser.add_argument("--block-size", type=int, default=100000)
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")
    same = export_both_routes(args.rows, args.block_size)
    manage_pods()
    return 0 if same else 1


if __name__ == "__main__":
    raise SystemExit(main())
