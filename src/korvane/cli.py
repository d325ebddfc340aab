"""korvane: export ThinkData query results and manage the pods of the Spark cluster.

    korvane export SQL|@FILE -o PATH [--uri URI] [--presto HOST:PORT] ...
    korvane pods list|info|log|delete [NAME] [--kubeconfig FILE]

Run ``korvane COMMAND --help`` for the options. Errors print one line and
exit with status 1 (2 for a usage error, 130 when interrupted); ``--verbose``
adds the log and the traceback.
"""
import argparse
import ast
import contextlib
import errno
import getpass
import json
import logging
import os
import shutil
import sys
import tempfile
import time
import traceback
import warnings

__all__ = ["main"]

PROG = "korvane"
log = logging.getLogger("korvane.cli")
_secrets = []  # texts that never reach the terminal: the ThinkData token


def _scrub(text):
    for secret in _secrets:
        text = text.replace(secret, "***")
    return text


class _ScrubbingFormatter(logging.Formatter):
    def format(self, record):
        return _scrub(super().format(record))


class Failure(Exception):
    """A step of a command failed; ``what`` names it, the cause says why."""

    def __init__(self, what):
        super().__init__(what)
        self.what = what


@contextlib.contextmanager
def step(what):
    try:
        yield
    except Exception as e:
        raise Failure(what) from e


class UsageError(Exception):
    pass


def _describe(exc):
    """One line about ``exc``."""
    status = getattr(exc, "status", None)
    if type(exc).__name__ == "ApiException" and status is not None:
        text = "HTTP %s %s" % (status, getattr(exc, "reason", "") or "")
        try:
            message = json.loads(exc.body).get("message")
        except (TypeError, ValueError, AttributeError):
            message = None
        return text.strip() + (": %s" % message if message else "")
    if len(exc.args) > 1:
        text = " ".join(str(a) for a in exc.args)
    else:
        text = str(exc)
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return type(exc).__name__ + (": " + lines[0] if lines else "")


# ---- export ---------------------------------------------------------------------


def _read_sql(text):
    if not text.startswith("@"):
        return text
    with step("reading the SQL file %s" % text[1:]):
        if text == "@-":
            return sys.stdin.read()
        with open(text[1:], encoding="utf-8") as f:
            return f.read()


def _read_token(args):
    if args.token_file:
        with step("reading the token file %s" % args.token_file):
            with open(args.token_file, encoding="utf-8") as f:
                token = f.read().strip()
    elif os.environ.get("KORVANE_TOKEN"):
        token = os.environ["KORVANE_TOKEN"].strip()
    elif sys.stdin.isatty():
        token = getpass.getpass("ThinkData token: ").strip()
    else:
        raise UsageError("no token: give --token-file, set KORVANE_TOKEN, or run on a terminal to be asked")
    if not token:
        raise UsageError("the token is empty")
    _secrets.append(token)
    return token


def _host_port(text):
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit():
        raise argparse.ArgumentTypeError("expected HOST:PORT, got %r" % text)
    return host, int(port)


def _positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _remove(path):
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)


def _deliver(path, output):
    """Move the finished export to ``output``; "-" writes it to stdout."""
    if output == "-":
        with open(path, "rb") as f:
            shutil.copyfileobj(f, sys.stdout.buffer, 1 << 20)
        sys.stdout.buffer.flush()
        os.remove(path)
        return
    target = os.path.abspath(output)
    if os.path.isdir(target):
        raise IsADirectoryError(errno.EISDIR, "is a directory", output)
    try:
        os.replace(path, target)  # same file system: one rename
        return
    except OSError as e:
        if e.errno != errno.EXDEV:
            raise
    fd, part = tempfile.mkstemp(prefix=".%s." % os.path.basename(target), suffix=".part",
                                dir=os.path.dirname(target))
    try:
        with os.fdopen(fd, "wb") as out, open(path, "rb") as f:
            shutil.copyfileobj(f, out, 1 << 20)
        shutil.copymode(path, part)
        os.replace(part, target)
    except BaseException:
        _remove(part)
        raise
    os.remove(path)


def cmd_export(args):
    from korvane.progress import ExportProgress
    from korvane.sadrel.sadrel import ThinkDataQuery

    direct_only = [o for o, v in (("--fetch-size", args.fetch_size), ("--retries", args.retries),
                                  ("--read-timeout", args.read_timeout), ("--upcount", args.upcount))
                   if v is not None]
    if args.presto is None and direct_only:
        raise UsageError("%s only apply to --presto" % ", ".join(direct_only))
    if args.presto is None and not args.uri:
        raise UsageError("no endpoint: give --uri or set KORVANE_URI (or use --presto HOST:PORT)")
    sql = _read_sql(args.sql)
    if args.presto is None:
        token = _read_token(args)
        route, what = "openapi", "export through the OpenAPI endpoint"
    else:
        token = ""
        route, what = "presto", "export through Presto at %s:%d" % args.presto

    exported = []

    class Client(ThinkDataQuery):
        # Remember each path handed out, so that a failed or interrupted
        # export leaves nothing behind.
        def gen_local_unique_file(self, ext="csv"):
            path = super().gen_local_unique_file(ext)
            exported.append(path)
            log.info("export file: %s", path)
            return path

    options = {"block_size": args.block_size}
    if route == "presto":
        options.update(fetch_size=args.fetch_size, retry_count=args.retries,
                       read_timeout=args.read_timeout, upcount=args.upcount)
    options = {k: v for k, v in options.items() if v is not None}
    ctx = {}
    try:
        with step(what):
            tdq = Client(args.uri or "", token, list(args.presto or ("host", 0)))
            with ExportProgress(ctx, route=route, label="rows", expected=args.upcount) as progress:
                if route == "presto":
                    path = tdq.get_data_raw_pyhive(ctx, sql, **options)
                else:
                    path = tdq.get_data_csv(ctx, sql, **options)
            if path is None or not os.path.isfile(path):
                raise RuntimeError("the export left no file")
        with step("writing %s" % ("to stdout" if args.output == "-" else args.output)):
            _deliver(path, args.output)
    except BaseException:
        for path in exported:
            _remove(path)
        raise
    rows = progress.total if progress.total is not None else progress.rows
    retried = " after %d retries" % progress.retries if progress.retries else ""
    print("%d rows in %.1f s%s -> %s" % (rows, progress.seconds, retried,
                                       "stdout" if args.output == "-" else args.output),
          file=sys.stderr)
    return 0


# ---- pods -----------------------------------------------------------------------


def _warden(args):
    from korvane.pyspark_k8s.podwarden import PodWarden

    path = args.kubeconfig or "~/.kube/config"
    with step("loading the kubeconfig %s" % path):
        if args.kubeconfig:
            return PodWarden({}, args.kubeconfig)
        return PodWarden({})


def _table(rows, headers):
    widths = [max(len(str(r[i])) for r in [headers] + rows) for i in range(len(headers))]
    for r in [headers] + rows:
        print("  ".join(str(v).ljust(w) for v, w in zip(r, widths)).rstrip())


def cmd_pods(args):
    if args.action != "list" and not args.name:
        raise UsageError("pods %s needs a pod NAME" % args.action)
    warden = _warden(args)
    what = "pods %s%s" % (args.action, " " + args.name if args.name else "")
    if args.action == "list":
        with step(what):
            pods = warden.get_all_pods()
        _table([[p["name"], p["status"], p["create_time"]] for p in pods], ["NAME", "STATUS", "CREATED"])
    elif args.action == "info":
        with step(what):
            pod = warden.get_pod_info(args.name)
        meta, spec, status = pod.metadata, pod.spec, pod.status
        fields = [("name", meta.name), ("namespace", meta.namespace), ("phase", status.phase),
                  ("node", spec.node_name), ("pod ip", status.pod_ip),
                  ("created", meta.creation_timestamp), ("started", status.start_time)]
        for c in status.container_statuses or []:
            fields.append(("container", "%s %s ready=%s restarts=%s" % (c.name, c.image, c.ready, c.restart_count)))
        for key, value in fields:
            print("%-10s %s" % (key + ":", "-" if value is None else value))
    elif args.action == "log":
        with step(what):
            text = warden.get_pod_log(args.name, args.lines) if args.lines is not None else warden.get_pod_log(args.name)
        sys.stdout.write(text if not text or text.endswith("\n") else text + "\n")
    else:
        if not args.yes:
            if not sys.stdin.isatty():
                raise UsageError("not deleting pod %s without --yes" % args.name)
            answer = input("Delete pod %s in namespace default? [y/N] " % args.name)
            if answer.strip().lower() not in ("y", "yes"):
                print("not deleted", file=sys.stderr)
                return 1
        with step(what):
            r = warden.delete_pod(args.name)
        # The API answers with the pod; the client reads it as a V1Status
        # whose status is the text of the pod's status object.
        status = getattr(r, "status", None)
        if isinstance(status, str) and status.startswith("{"):
            with contextlib.suppress(ValueError, SyntaxError, AttributeError):
                status = ast.literal_eval(status).get("phase")
        print("pod %s: deleting (%s)" % (args.name, getattr(status, "phase", status)))
    return 0


# ---- entry point ------------------------------------------------------------------


def _version():
    try:
        from importlib.metadata import version
        return version("korvane")
    except Exception:
        return "unknown"


def _parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-v", "--verbose", action="store_true", default=argparse.SUPPRESS,
                        help="show the log, and the traceback of an error")
    parser = argparse.ArgumentParser(prog=PROG, parents=[common],
                                     description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", action="version", version="%(prog)s " + _version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    ex = commands.add_parser("export", parents=[common], help="run a SQL query and save the result as CSV",
                             description="Run a SQL query on a ThinkData deployment and save the whole "
                             "result as a CSV file. The token is read from --token-file, KORVANE_TOKEN "
                             "or a hidden prompt, and is never shown.")
    ex.add_argument("sql", metavar="SQL|@FILE", help="the query, or @FILE to read it from FILE (@- for stdin)")
    ex.add_argument("-o", "--output", required=True, metavar="PATH", help="where the CSV file goes; - for stdout")
    ex.add_argument("--uri", default=os.environ.get("KORVANE_URI"),
                    help="the OpenAPI query endpoint, e.g. http://host:port/querySql (default: $KORVANE_URI)")
    route = ex.add_mutually_exclusive_group()
    route.add_argument("--openapi", dest="presto", action="store_const", const=None,
                       help="export through the OpenAPI endpoint (the default)")
    route.add_argument("--presto", type=_host_port, metavar="HOST:PORT",
                       help="export directly from the Presto engine")
    ex.add_argument("--token-file", metavar="FILE", help="read the ThinkData token from FILE")
    ex.add_argument("--block-size", type=_positive, metavar="N", help="rows per written block (default 100000)")
    ex.add_argument("--fetch-size", type=_positive, metavar="N", help="rows per Presto fetch (default 10000)")
    ex.add_argument("--retries", type=_positive, metavar="N",
                    help="Presto attempts in all, repeated on read time-outs (default 5)")
    ex.add_argument("--read-timeout", type=float, metavar="SECONDS",
                    help="Presto read time-out per request (default 300)")
    ex.add_argument("--upcount", type=int, metavar="N",
                    help="expected rows: a Presto error after N rows still counts as done")
    ex.set_defaults(run=cmd_export)

    pods = commands.add_parser("pods", parents=[common], help="list, inspect, tail or delete pods",
                               description="Pods of the namespace \"default\" of the Spark cluster.")
    pods.add_argument("action", choices=["list", "info", "log", "delete"])
    pods.add_argument("name", nargs="?", metavar="NAME", help="the pod (not for list)")
    pods.add_argument("--kubeconfig", metavar="FILE", help="the kubeconfig file (default ~/.kube/config)")
    pods.add_argument("-n", "--lines", type=int, metavar="N", help="log: how many lines from the end (default 1000)")
    pods.add_argument("-y", "--yes", action="store_true", help="delete: do not ask")
    pods.set_defaults(run=cmd_pods)
    return parser


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    verbose = getattr(args, "verbose", False)
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_ScrubbingFormatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
    if verbose:
        logging.root.addHandler(handler)
        logging.root.setLevel(logging.INFO)
        logging.captureWarnings(True)
    else:
        # Warnings of the libraries (the modules switch TLS verification off
        # on purpose) and the log stay out of a plain run.
        logging.root.addHandler(logging.NullHandler())
        warnings.simplefilter("ignore")
    try:
        if verbose:
            from tqdm.contrib.logging import logging_redirect_tqdm

            with logging_redirect_tqdm():
                return args.run(args)
        return args.run(args)
    except UsageError as e:
        parser.exit(2, "%s: %s\n" % (PROG, e))
    except Failure as e:
        cause = e.__cause__
        if verbose:
            text = "".join(traceback.format_exception(type(cause), cause, cause.__traceback__))
            sys.stderr.write(_scrub(text))
        sys.stderr.write("%s: %s failed: %s\n" % (PROG, e.what, _scrub(_describe(cause))))
        return 1
    except KeyboardInterrupt:
        if verbose:
            sys.stderr.write(_scrub(traceback.format_exc()))
        sys.stderr.write("%s: interrupted\n" % PROG)
        return 130
    except Exception as e:
        if verbose:
            sys.stderr.write(_scrub(traceback.format_exc()))
        sys.stderr.write("%s: %s failed: %s\n" % (PROG, args.command, _scrub(_describe(e))))
        return 1


if __name__ == "__main__":
    sys.exit(main())
