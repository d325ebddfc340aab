"""korvane: export ThinkData query results and manage the pods of the Spark cluster.

    korvane export SQL|@FILE -o PATH [--uri URI] [--presto HOST:PORT] ...
    korvane pods list|info NAME|log NAME [--tail N]|delete NAME [--kubeconfig FILE]

Run ``korvane COMMAND --help`` (``korvane pods ACTION --help``) for the
options. Errors print one line and exit with status 1 (2 for a usage error,
130 when interrupted); ``--verbose`` adds the log and the traceback. An
export to stdout whose reader goes away ends quietly with status 141.
"""
import argparse
import ast
import contextlib
import errno
import getpass
import hashlib
import json
import logging
import math
import os
import re
import shutil
import sys
import tempfile
import time
import traceback
import uuid
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
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror + (": %s" % exc.filename if exc.filename is not None else "")
    if len(exc.args) > 1:
        text = " ".join(str(a) for a in exc.args)
    else:
        text = str(exc)
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return type(exc).__name__ + (": " + lines[0] if lines else "")


def _query_error(exc):
    """What the engine said about a rejected query, or None for other errors."""
    args = getattr(exc, "args", ())
    if len(args) == 2 and args[0] == "sql error:" and isinstance(args[1], dict):
        # The OpenAPI route's status line: {"return_code": -1, "return_message": ...}
        status = args[1]
        return _first_line(status.get("return_message")) or "return code %s" % status.get("return_code")
    if len(args) == 1 and isinstance(args[0], dict) and "errorName" in args[0]:
        # Presto's error object, as pyhive raises it.
        error = args[0]
        message = _first_line(error.get("message"))
        where = error.get("errorLocation") or {}
        line, column = where.get("lineNumber"), where.get("columnNumber")
        prefix = re.match(r"line (\d+):(\d+): ", message)  # Presto puts the place before the text too
        if prefix:
            message = message[prefix.end():]
            if line is None:
                line, column = prefix.groups()
        name = str(error["errorName"])
        if line is not None:
            name += " at line %s, column %s" % (line, column)
        return "%s: %s" % (name, message)
    return None


def _first_line(text):
    lines = [line.strip() for line in str(text or "").splitlines() if line.strip()]
    return lines[0] if lines else ""


# ---- export ---------------------------------------------------------------------


def _read_sql(text):
    if not text.startswith("@"):
        return text
    # A file ends with a newline, a here-document with more: the query does not.
    with step("reading the SQL file %s" % text[1:]):
        if text == "@-":
            return sys.stdin.read().rstrip()
        with open(text[1:], encoding="utf-8") as f:
            return f.read().rstrip()


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
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise argparse.ArgumentTypeError("expected HOST:PORT with a port from 1 to 65535, got %r" % text)
    return host, int(port)


def _count(least):
    """An option that takes a whole number of at least ``least``."""
    def check(text):
        try:
            value = int(text)
        except ValueError:
            value = None
        if value is None or value < least:
            raise argparse.ArgumentTypeError("expected a whole number of at least %d, got %r" % (least, text))
        return value
    return check


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError("expected a number of seconds above 0, got %r" % text)
    return value


def _remove(path):
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)


def _reserve(directory, name):
    """Create an empty file with a fresh hidden name in ``directory``."""
    while True:
        path = os.path.join(directory, ".%s.%s.part" % (name[:200], uuid.uuid4().hex[:12]))
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return path
        except FileExistsError:
            continue


class _Stopped(BaseException):
    """Ends a running export from inside one of its progress records.

    Not an ``Exception``: the export treats it as it treats Ctrl-C, so it
    is neither logged nor retried nor tolerated, and the file is removed.
    ``message`` is None when stdout's reader has gone away.
    """

    def __init__(self, message=None):
        super().__init__(message)
        self.message = message


class _Tail(logging.Handler):
    """Copies the growing export file to stdout as its blocks land.

    The export logs a count after each block, and the file is complete up
    to its last block then; a retry of the direct route writes the file
    afresh, and what has gone out already must come again byte for byte.
    """

    def __init__(self, ctx, out):
        super().__init__(logging.INFO)
        self.ctx = ctx
        self.out = out
        self.path = None
        self.offset = 0    # bytes of the current file already handled
        self.sent = 0      # bytes written to ``out``
        self.digest = hashlib.sha256()
        self.replay = None  # (bytes sent before the retry, their digest, digest of the replay)

    def emit(self, record):
        if getattr(record, "korvane_ctx", None) is not self.ctx or self.path is None:
            return
        values = getattr(record, "korvane_values", ())
        if len(values) != 1:
            return
        if isinstance(values[0], str) and values[0].startswith("retry "):
            if self.sent:
                self.replay = (self.sent, self.digest.hexdigest(), hashlib.sha256())
            self.offset = 0
            return
        self.pump()

    def pump(self):
        try:
            f = open(self.path, "rb")
        except FileNotFoundError:
            return
        with f:
            f.seek(self.offset)
            while True:
                chunk = f.read(1 << 20)
                if not chunk:
                    return
                self.offset += len(chunk)
                if self.replay is not None:
                    chunk = self._check_replay(chunk)
                if chunk:
                    self._write(chunk)

    def _check_replay(self, chunk):
        length, expected, digest = self.replay
        seen = self.offset - len(chunk)
        head = chunk[:length - seen]
        digest.update(head)
        if seen + len(head) < length:
            return b""
        if digest.hexdigest() != expected:
            raise _Stopped("the retried query sent other rows than those already written to stdout")
        self.replay = None
        return chunk[len(head):]

    def _write(self, chunk):
        try:
            self.out.write(chunk)
            self.out.flush()
        except OSError as e:
            if e.errno in (errno.EPIPE, errno.ECONNRESET):
                raise _Stopped() from None
            raise _Stopped("writing to stdout failed: %s" % _describe(e)) from None
        self.sent += len(chunk)
        self.digest.update(chunk)


def _quiet_stdout():
    """stdout's reader is gone: let nothing try to write there again."""
    with contextlib.suppress(OSError):
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)


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
    to_stdout = args.output == "-"
    if not to_stdout:
        target = os.path.abspath(args.output)
        if os.path.isdir(target):
            raise UsageError("-o %s is a directory" % args.output)
        if not os.path.isdir(os.path.dirname(target)):
            raise UsageError("-o %s: no such directory %s" % (args.output, os.path.dirname(target)))
    sql = _read_sql(args.sql)
    if args.presto is None:
        token = _read_token(args)
        route, what = "openapi", "export through the OpenAPI endpoint"
    else:
        token = ""
        route, what = "presto", "export through Presto at %s:%d" % args.presto

    # The export is written under a temporary name beside -o's file (stdout:
    # in a private temporary directory), and renamed onto it once complete.
    exported = []
    reserved = []
    scratch = None

    def new_file():
        if to_stdout:
            path = _reserve(scratch, "stdout")
        else:
            path = _reserve(os.path.dirname(target), os.path.basename(target))
        exported.append(path)
        log.info("export file: %s", path)
        return path

    class Client(ThinkDataQuery):
        def gen_local_unique_file(self, ext="csv"):
            path = reserved.pop() if reserved else new_file()
            if tail is not None:
                tail.path = path
            return path

    options = {"block_size": args.block_size}
    if route == "presto":
        options.update(fetch_size=args.fetch_size, retry_count=args.retries,
                       read_timeout=args.read_timeout, upcount=args.upcount)
    options = {k: v for k, v in options.items() if v is not None}
    ctx = {}
    tail = _Tail(ctx, sys.stdout.buffer) if to_stdout else None
    korvane_log = logging.getLogger("korvane")
    try:
        with step("writing %s" % ("to stdout" if to_stdout else args.output)):
            if to_stdout:
                scratch = tempfile.mkdtemp(prefix="korvane-")
            reserved.append(new_file())  # fails here, before the query, if the directory is not writable
        with step(what):
            tdq = Client(args.uri or "", token, list(args.presto or ("host", 0)))
            with ExportProgress(ctx, route=route, label="export", expected=args.upcount) as progress:
                if tail is not None:
                    korvane_log.addHandler(tail)
                try:
                    if route == "presto":
                        path = tdq.get_data_raw_pyhive(ctx, sql, **options)
                    else:
                        path = tdq.get_data_csv(ctx, sql, **options)
                finally:
                    korvane_log.removeHandler(tail)
            if path is None or not os.path.isfile(path):
                raise RuntimeError("the export left no file")
        if to_stdout:
            tail.pump()
        else:
            with step("writing %s" % args.output):
                os.replace(path, target)  # one step: a reader sees the old file or the whole new one
    except _Stopped as e:
        if e.message is None:
            _quiet_stdout()
        raise
    finally:
        for leftover in exported:  # the temporary file, unless renamed onto -o's
            _remove(leftover)
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)
    rows = progress.total if progress.total is not None else progress.rows
    retried = " after %d retries" % progress.retries if progress.retries else ""
    print("%d rows in %.1f s%s -> %s" % (rows, progress.seconds, retried, "stdout" if to_stdout else args.output),
          file=sys.stderr)
    return 0


# ---- pods -----------------------------------------------------------------------


def _kubeconfig(args):
    """The kubeconfig file and where it was named: --kubeconfig, else the
    first entry of KUBECONFIG (as kubectl), else ~/.kube/config."""
    if args.kubeconfig:
        return args.kubeconfig, ""
    entries = [e for e in os.environ.get("KUBECONFIG", "").split(os.pathsep) if e]
    if entries:
        return entries[0], " (from KUBECONFIG)"
    return "~/.kube/config", ""


def _warden(args):
    from korvane.pyspark_k8s.podwarden import PodWarden

    path, source = _kubeconfig(args)
    with step("loading the kubeconfig %s%s" % (path, source)):
        if not os.path.isfile(os.path.expanduser(path)):
            raise FileNotFoundError(errno.ENOENT, "no such file")
        return PodWarden({}, path)


def _table(rows, headers):
    widths = [max(len(str(r[i])) for r in [headers] + rows) for i in range(len(headers))]
    for r in [headers] + rows:
        print("  ".join(str(v).ljust(w) for v, w in zip(r, widths)).rstrip())


def cmd_pods(args):
    if args.namespace != "default":
        raise UsageError('the pod manager works in the namespace "default" only, not "%s"' % args.namespace)
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
            text = warden.get_pod_log(args.name, args.tail) if args.tail is not None else warden.get_pod_log(args.name)
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
    ex.add_argument("--block-size", type=_count(1), metavar="N", help="rows per written block (default 100000)")
    ex.add_argument("--fetch-size", type=_count(1), metavar="N", help="rows per Presto fetch (default 10000)")
    ex.add_argument("--retries", type=_count(1), metavar="N",
                    help="Presto attempts in all, repeated on read time-outs (default 5)")
    ex.add_argument("--read-timeout", type=_seconds, metavar="SECONDS",
                    help="Presto read time-out per request (default 300)")
    ex.add_argument("--upcount", type=_count(0), metavar="N",
                    help="expected rows: a Presto error after N rows still counts as done")
    ex.set_defaults(run=cmd_export, usage_of=ex)

    pods = commands.add_parser("pods", parents=[common], help="list, inspect, tail or delete pods",
                               description="Pods of the namespace \"default\" of the Spark cluster. "
                               "Run 'korvane pods ACTION --help' for the options of an action.")
    actions = pods.add_subparsers(dest="action", metavar="ACTION")
    actions.required = True
    cluster = argparse.ArgumentParser(add_help=False)
    cluster.add_argument("--kubeconfig", metavar="FILE",
                         help="the kubeconfig file (default: the first entry of $KUBECONFIG, else ~/.kube/config)")
    cluster.add_argument("-n", "--namespace", default="default",
                         help='the namespace; the pod manager works in "default" only')
    for name, text in (("list", "list the pods: name, phase, creation time"),
                       ("info", "show a pod's phase, node, IP, times and containers"),
                       ("log", "print the last lines of a pod's log"),
                       ("delete", "delete a pod")):
        action = actions.add_parser(name, parents=[common, cluster], help=text, description=text[0].upper() + text[1:]
                                    + ' (namespace "default").')
        if name != "list":
            action.add_argument("name", metavar="NAME", help="the pod")
        if name == "log":
            action.add_argument("--tail", type=_count(0), metavar="N", help="how many lines from the end (default 1000)")
        if name == "delete":
            action.add_argument("-y", "--yes", action="store_true", help="do not ask for confirmation")
        action.set_defaults(run=cmd_pods, usage_of=action, name=None, tail=None, yes=False)
    pods.set_defaults(usage_of=pods)
    return parser


def main(argv=None):
    parser = _parser()
    args, extra = parser.parse_known_args(argv)
    if extra:  # shown with the usage of the command they follow
        getattr(args, "usage_of", parser).error("unrecognized arguments: %s" % " ".join(extra))
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
        query = _query_error(cause)
        if query is not None:
            sys.stderr.write("%s: query failed: %s\n" % (PROG, _scrub(query)))
        else:
            sys.stderr.write("%s: %s failed: %s\n" % (PROG, e.what, _scrub(_describe(cause))))
        return 1
    except _Stopped as e:
        if e.message is None:  # stdout's reader has gone, as under `| head`: done, quietly
            return 141
        sys.stderr.write("%s: export failed: %s\n" % (PROG, _scrub(e.message)))
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
