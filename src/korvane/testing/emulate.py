"""The three emulators from a shell, until Ctrl-C or SIGTERM.

    korvane emulate [--rows N] [--env-file FILE] [--tls]
    python -m korvane.testing [--rows N] [--env-file FILE] [--tls]

Starts the OpenAPI endpoint, the Presto coordinator and the Kubernetes API
server on 127.0.0.1, each with sample data: the tables v_user_7 and
v_event_7 (the OpenAPI endpoint answers ``select * from v_user_7`` and
``select * from v_event_7``; Presto answers any query on them), and pods of
the namespace "default" with their logs. Writes a kubeconfig into a private
directory and prints the shell exports that point ``korvane`` at them::

    export KORVANE_URI=http://127.0.0.1:PORT/querySql
    export KORVANE_TOKEN=emulator-token
    export KORVANE_PRESTO=127.0.0.1:PORT
    export KUBECONFIG=/tmp/korvane-emulate-XXXXXXXX/kubeconfig

``KORVANE_PRESTO`` is for ``--presto "$KORVANE_PRESTO"``. With ``--tls`` the
OpenAPI endpoint serves HTTPS (``KORVANE_URI=https://...``) with a certificate
signed by a CA made at start-up, whose file ``KORVANE_CACERT`` names; the
Presto route stays plain HTTP, as the module speaks it. ``--env-file`` also
writes the exports to a file once the emulators listen, for a script to
source; it is removed at the end if it is still the one written.
"""
import argparse
import datetime
import os
import shlex
import signal
import sys
import tempfile
import threading
import uuid
from typing import List, Optional, Sequence

from korvane.testing.data import HEADERS, PRESTO_TYPES, building, sample_rows

TOKEN = "emulator-token"
TABLES = [("v_user_7", 7), ("v_event_7", 8)]  # name, seed of its rows


def add_arguments(parser: argparse.ArgumentParser, rows: "object" = int) -> None:
    parser.add_argument("--rows", type=rows, default=1000, metavar="N",  # type: ignore[arg-type]
                        help="rows of each sample table (default 1000)")
    parser.add_argument("--env-file", metavar="FILE",
                        help="also write the exports to FILE (new or replaced) once the emulators listen")
    parser.add_argument("--tls", action="store_true",
                        help="serve the OpenAPI endpoint over HTTPS; KORVANE_CACERT names the CA file that verifies it")


def _write_env(path: str, text: str) -> "os.stat_result":
    """Writes ``text`` to ``path`` in one step: a reader sees all of it or none."""
    directory = os.path.dirname(os.path.abspath(path))
    temp = os.path.join(directory, ".%s.%s.part" % (os.path.basename(path), uuid.uuid4().hex[:12]))
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        with open(fd, "w", encoding="utf-8", closefd=True) as f:
            f.write(text)
        os.replace(temp, path)
    except BaseException:
        try:
            os.remove(temp)
        except OSError:
            pass
        raise
    return os.stat(path)


def _remove_if_same(path: str, written: "os.stat_result") -> None:
    try:
        st = os.lstat(path)
        if (st.st_dev, st.st_ino) == (written.st_dev, written.st_ino):
            os.remove(path)
    except OSError:
        pass


def run(args: argparse.Namespace) -> int:
    from korvane.testing.kubernetes import KubeApiServer
    from korvane.testing.openapi import OpenApiServer
    from korvane.testing.presto import PrestoServer

    if args.rows < 0:
        raise SystemExit("%s: --rows: expected a whole number of at least 0, got %d" % (sys.argv[0], args.rows))
    stop = threading.Event()
    caught: List[int] = []

    def on_signal(signum: int, frame: object) -> None:
        caught.append(signum)
        stop.set()

    signums = [s for s in (signal.SIGINT, signal.SIGTERM, getattr(signal, "SIGHUP", None)) if s is not None]
    previous = {s: signal.signal(s, on_signal) for s in signums}
    env_written = None
    try:
        with OpenApiServer(token=TOKEN, tls=args.tls) as api, PrestoServer() as presto, KubeApiServer() as kube, \
                tempfile.TemporaryDirectory(prefix="korvane-emulate-") as home:
            for table, seed in TABLES:
                api.add_sample("select * from %s" % table, args.rows, seed)
                presto.load_table(table, list(zip(HEADERS, PRESTO_TYPES)),
                                  building(sample_rows(args.rows, seed), args.rows, "korvane: building " + table))
            start = datetime.datetime(2021, 4, 23, 8, 0)
            kube.add_pod("default", "spark-driver-1", phase="Running", created=start,
                         log_lines=["line %d" % n for n in range(50)])
            kube.add_pod("default", "spark-exec-1", phase="Running", created=start + datetime.timedelta(minutes=1),
                         log_lines=["executor started", "task 1 done"])
            kube.add_pod("default", "spark-driver-2", phase="Succeeded", created=start + datetime.timedelta(minutes=2))
            kube.add_pod("kube-system", "coredns-1", phase="Running")
            kubeconfig = kube.write_kubeconfig(os.path.join(home, "kubeconfig"))
            exports = [("KORVANE_URI", api.url), ("KORVANE_TOKEN", TOKEN),
                       ("KORVANE_PRESTO", "%s:%d" % (presto.host, presto.port)), ("KUBECONFIG", kubeconfig)]
            if args.tls:
                exports.append(("KORVANE_CACERT", api.ca_file))
            text = "".join("export %s=%s\n" % (name, shlex.quote(value)) for name, value in exports)
            if args.env_file:
                env_written = _write_env(args.env_file, text)
            sys.stdout.write(text)
            sys.stdout.flush()
            sys.stderr.write("korvane: emulators running (tables %s; --presto \"$KORVANE_PRESTO\"); "
                             "Ctrl-C or SIGTERM stops them\n" % ", ".join(t for t, _ in TABLES))
            sys.stderr.flush()
            while not stop.wait(0.5):
                pass
    finally:
        if env_written is not None:
            _remove_if_same(args.env_file, env_written)
        for s, handler in previous.items():
            signal.signal(s, handler)
    sys.stderr.write("korvane: emulators stopped\n")
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m korvane.testing", description=__doc__.splitlines()[0])
    add_arguments(parser)
    return run(parser.parse_args(argv))
