"""korvane export: a query's whole result into -o's file or stream."""
import contextlib
import logging
import os
import shutil
import sys
import tempfile

from .errors import OptionError, _Stopped, step
from .inputs import _read_sql, _read_token
from .output import _Output, _Owned, _quiet_stdout, _Tail
from .secrets import _note_url_secrets
from .signals import SafePoints, safe_point

log = logging.getLogger("korvane.cli")


def cmd_export(args):
    from korvane.progress import ExportProgress
    from korvane.sadrel.sadrel import ThinkDataQuery

    direct_only = [o for o, v in (("--fetch-size", args.fetch_size), ("--retries", args.retries),
                                  ("--read-timeout", args.read_timeout), ("--upcount", args.upcount))
                   if v is not None]
    if args.presto is None and direct_only:
        raise OptionError("%s %s only with --presto" % (", ".join(direct_only), "applies" if len(direct_only) == 1
                                                         else "apply"))
    if args.presto is None and not args.uri:
        raise OptionError("no endpoint: give --uri or set KORVANE_URI (or use --presto HOST:PORT)")
    _note_url_secrets(args.uri)
    umask = os.umask(0o22)
    os.umask(umask)
    output = _Output(args.output, umask)
    try:
        return _export(args, output, ExportProgress, ThinkDataQuery)
    finally:
        output.close()


def _export(args, output, ExportProgress, ThinkDataQuery):
    sql = _read_sql(args.sql)
    if args.presto is None:
        token = _read_token(args)
        route, what = "openapi", "export through the OpenAPI endpoint"
    else:
        token = ""
        route, what = "presto", "export through Presto at %s:%d" % args.presto

    # The export is written under a temporary name beside -o's file (or in a
    # private temporary directory), and renamed or copied onto it once
    # complete; a stream gets its blocks as they land.
    owned = _Owned()
    reserved = []
    scratch = None
    attempts = [0]

    class Client(ThinkDataQuery):
        def gen_local_unique_file(self, ext="csv"):
            safe_point()
            path = reserved.pop() if reserved else new_file()
            if tail is not None:
                tail.path = path
            return path

        def get_data_raw_pyhive_i(self, *args, **kwargs):
            safe_point()
            attempts[0] += 1
            return super().get_data_raw_pyhive_i(*args, **kwargs)

    def new_file():
        path = output.reserve(scratch, owned)
        log.info("export file: %s", path)
        return path

    options = {"block_size": args.block_size}
    if route == "presto":
        options.update(fetch_size=args.fetch_size, retry_count=args.retries,
                       read_timeout=args.read_timeout, upcount=args.upcount)
    options = {k: v for k, v in options.items() if v is not None}
    ctx = {}
    tail = _Tail(ctx, output.stream, owned, output.name) if output.kind == "stream" else None
    korvane_log = logging.getLogger("korvane")
    safe_points = SafePoints()  # each record of the export is one
    try:
        with step("writing %s" % output.name):
            scratch = tempfile.mkdtemp(prefix="korvane-")
            reserved.append(new_file())  # fails here, before the query, if the directory is not writable
        with step(what):
            tdq = Client(args.uri or "", token, list(args.presto or ("host", 0)))
            with ExportProgress(ctx, route=route, label="export", expected=args.upcount) as progress:
                korvane_log.addHandler(safe_points)
                if tail is not None:
                    korvane_log.addHandler(tail)
                try:
                    if route == "presto":
                        path = tdq.get_data_raw_pyhive(ctx, sql, **options)
                    else:
                        path = tdq.get_data_csv(ctx, sql, **options)
                except Exception as e:
                    if route == "presto" and (attempts[0] > 1 or "Read timed out" in str(e)):
                        with contextlib.suppress(AttributeError, TypeError):
                            e.korvane_attempts = attempts[0]
                    raise
                finally:
                    korvane_log.removeHandler(tail)
                    korvane_log.removeHandler(safe_points)
            safe_point()  # a signal that the export swallowed: its result is no result
            if path is None or not os.path.isfile(path):
                raise RuntimeError("the export left no file")
            owned.note(path)
        if tail is not None:
            tail.pump()
        else:
            with step("writing %s" % output.name):
                output.put_in_place(path)
    except _Stopped as e:
        if e.message is None and args.output == "-":
            _quiet_stdout()
        raise
    finally:
        owned.remove_all()  # the temporary file, unless it was renamed onto -o's
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)
    rows = progress.total if progress.total is not None else progress.rows
    retried = " after %d retries" % progress.retries if progress.retries else ""
    print("%d rows in %.1f s%s -> %s" % (rows, progress.seconds, retried, output.name), file=sys.stderr)
    return 0
