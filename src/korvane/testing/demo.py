"""The main job, end to end, against the loopback emulators.

    python -m korvane.testing.demo [--rows N] [--block-size N] [--keep] [--dir DIR]

Exports a generated table through both ThinkData routes (the streamed OpenAPI
endpoint and the direct Presto engine), with live progress on a terminal,
checks that the two CSV files are identical, then lists, inspects, tails and
deletes pods through the Kubernetes API emulator. The exported files are
removed at the end unless --keep is given. They go to the modules' default
directory, /mydata/media/docs, or with --dir into DIR (through a subclass
whose gen_local_unique_file points there), which is checked before anything
is built.
"""
import argparse
import contextlib
import datetime
import filecmp
import os
import sys
import tempfile
import uuid
from typing import Dict, List, Optional, Sequence

import pandas

from korvane.cli.parser import _count  # the options are checked as the korvane command checks them
from korvane.common.defines import BMOBJ
from korvane.progress import ExportProgress
from korvane.testing.data import HEADERS, PRESTO_TYPES, building, sample_rows
from korvane.testing.kubernetes import KubeApiServer
from korvane.testing.openapi import OpenApiServer
from korvane.testing.presto import PrestoServer

SQL = "select * from v_user_7"
DEFAULT_DIR = "/mydata/media/docs"  # where ThinkDataQuery's own gen_local_unique_file puts the exports


def query_class(directory: Optional[str]) -> type:
    """ThinkDataQuery itself, or with ``directory`` a subclass that exports there."""
    from korvane.sadrel.sadrel import ThinkDataQuery

    if directory is None:
        return ThinkDataQuery

    class LocalQuery(ThinkDataQuery):  # type: ignore[misc]
        def gen_local_unique_file(self, ext: object = "csv") -> str:
            return os.path.join(directory, "%s.%s" % (uuid.uuid4().hex, ext))

    return LocalQuery


def unwritable(directory: str) -> Optional[str]:
    """Why the exports could not be written into ``directory`` (which the
    module creates if it is missing), or None if they can."""
    probe = os.path.abspath(directory)
    while not os.path.isdir(probe):  # the nearest directory that stands
        if os.path.lexists(probe):
            return "%s is not a directory" % probe
        probe = os.path.dirname(probe)
    if not os.access(probe, os.W_OK | os.X_OK):
        return "%s is not writable by this user" % probe
    return None


def export_both_routes(rows: int, block_size: int, keep: bool, directory: Optional[str] = None) -> bool:
    paths: List[str] = []
    with OpenApiServer(token="demo-token") as api, PrestoServer(page_rows=50000) as presto:
        api.add_sample(SQL, rows)
        presto.load_table("v_user_7", list(zip(HEADERS, PRESTO_TYPES)),
                          building(sample_rows(rows), rows, "building v_user_7"))
        tdq = query_class(directory)(api.url, "demo-token", [presto.host, presto.port])
        try:
            ctx: Dict[str, object] = {}
            with ExportProgress(ctx, route="openapi", label="OpenAPI", expected=rows) as via_api:
                paths.append(tdq.get_data_csv(ctx, SQL, block_size=block_size))
            ctx = {}
            with ExportProgress(ctx, route="presto", label="Presto ", expected=rows) as via_presto:
                direct = tdq.get_data_raw_pyhive(ctx, SQL, block_size=block_size, read_timeout=60)
            if direct is None:  # only when no attempt is allowed
                raise RuntimeError("the direct route made no attempt")
            paths.append(direct)
            for name, progress, path in zip(("OpenAPI", "Presto "), (via_api, via_presto), paths):
                print("%s route: %d rows in %.1f s (%.0f rows/s) -> %s" % (
                    name, progress.rows, progress.seconds, progress.rows / progress.seconds, path))
            same = filecmp.cmp(paths[0], paths[1], shallow=False)
            print("Both files identical: %s" % same)
            print(pandas.read_csv(paths[0], header=0, nrows=3).to_string())
        finally:
            if not keep:
                for path in paths:
                    BMOBJ.remove_file(path)
    if keep:
        print("Kept:", *paths)
    return same and via_api.total == via_presto.total == rows


def manage_pods() -> None:
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


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=_count(0), default=2500000, metavar="N",
                        help="rows of the generated table (default 2500000)")
    parser.add_argument("--block-size", type=_count(1), default=100000, metavar="N",
                        help="rows per written block (default 100000)")
    parser.add_argument("--keep", action="store_true", help="keep the exported files")
    parser.add_argument("--dir", metavar="DIR",
                        help="export into DIR (created if missing) rather than %s" % DEFAULT_DIR)
    args = parser.parse_args(argv)
    if args.dir:
        args.dir = os.path.abspath(os.path.expanduser(args.dir))
    why = unwritable(args.dir or DEFAULT_DIR)
    if why is not None:
        hint = "give --dir with a directory you can write" if args.dir else "give --dir DIR to export elsewhere"
        print("demo: cannot export into %s: %s; %s (e.g. --dir ~/korvane-demo)"
              % (args.dir or DEFAULT_DIR, why, hint), file=sys.stderr)
        return 2
    made = bool(args.dir) and not os.path.isdir(args.dir)
    if made:
        os.makedirs(args.dir)
    try:
        same = export_both_routes(args.rows, args.block_size, args.keep, args.dir)
    finally:
        if made and not args.keep:
            with contextlib.suppress(OSError):  # only while empty: nothing else is removed
                os.rmdir(args.dir)
    manage_pods()
    return 0 if same else 1


if __name__ == "__main__":
    raise SystemExit(main())
