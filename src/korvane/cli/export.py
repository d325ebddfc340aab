"""korvane export: a query's whole result into -o's file or stream."""
import contextlib
import errno
import logging
import os
import re
import shutil
import sys
import tempfile

from .errors import OptionError, UsageError, _shown_as, _Stopped, step
from .inputs import _read_sql, _read_token
from .output import _Output, _Owned, _quiet_stdout, _Tail
from .secrets import _note_url_secrets, _scrub
from .signals import SafePoints, _deadline, _signals_deferred, safe_point
from .verify import verified_tls

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
    if args.presto is not None and args.cacert is not None:
        raise OptionError("--cacert applies only to the OpenAPI route (the direct one speaks plain HTTP)")
    if args.presto is None and not args.uri:
        raise OptionError("no endpoint: give --uri or set KORVANE_URI (or use --presto HOST:PORT)")
    _note_url_secrets(args.uri)
    if args.presto is None:
        _check_uri(args.uri)
    if args.cacert is not None:
        _check_cacert(args.cacert)
    umask = os.umask(0o22)
    os.umask(umask)
    output = _Output(args.output, umask)
    try:
        return _export(args, output, ExportProgress, ThinkDataQuery)
    finally:
        output.close()


def _check_uri(uri):
    scheme = re.match(r"([A-Za-z][A-Za-z0-9+.-]*)://", uri)
    if scheme is None:
        raise UsageError("--uri %s has no scheme: give http://%s or https://%s" % ((_scrub(uri),) * 3))
    if scheme.group(1).lower() not in ("http", "https"):
        raise UsageError("--uri %s: the scheme %s is not http or https" % (_scrub(uri), scheme.group(1)))


def _check_cacert(path):
    import ssl

    with step("reading the CA file %s" % path):
        with open(path, "rb"):
            pass
        ssl.create_default_context(cafile=path)


def _duration(seconds):
    """How long an export took, in words that fit its length."""
    if seconds < 1:
        return "%d ms" % max(round(seconds * 1000), 1)
    if seconds < 60:
        return "%.1f s" % seconds
    minutes, seconds = divmod(round(seconds), 60)
    if minutes < 60:
        return "%d min %d s" % (minutes, seconds)
    return "%d h %d min" % divmod(minutes, 60)


def _name_full_disk(e, path, output):
    """A write that found the disk full names the file it was writing: -o's
    path, or $TMPDIR where the export lies in a private directory."""
    if not isinstance(e, OSError) or e.errno not in (errno.ENOSPC, errno.EDQUOT) or e.filename or not path:
        return
    directory = os.path.dirname(os.path.dirname(path))
    shown = _shown_as.get(path) or "$TMPDIR (%s)" % directory
    _shown_as[path] = shown
    with contextlib.suppress(AttributeError, TypeError):
        e.filename = path


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
    current = [None]  # the file the export writes

    class Client(ThinkDataQuery):
        def gen_local_unique_file(self, ext="csv"):
            safe_point()
            path = reserved.pop() if reserved else new_file()
            current[0] = path
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
            with _signals_deferred():  # the folder is made and noted for removal in one step
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
                        with verified_tls(args.cacert):
                            path = tdq.get_data_csv(ctx, sql, **options)
                except Exception as e:
                    _name_full_disk(e, current[0], output)
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
            _deadline.disarm()  # all of the result went out
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
    print("%d rows in %s%s -> %s" % (rows, _duration(progress.seconds), retried, output.name), file=sys.stderr)
    return 0
