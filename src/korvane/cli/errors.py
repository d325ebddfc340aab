"""The error model: the failed step, usage errors, a stopped export, and their one-line descriptions."""
import contextlib
import json
import re
import ssl
import urllib.parse


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


class Reason(Exception):
    """A cause that the command words itself: described as it is."""


class UsageError(Exception):
    """A request the command refuses: one line, status 2."""


class OptionError(UsageError):
    """Options that do not go together: shown with the usage of the command."""


# The command's own files beside -o's, by the name that messages give them:
# the path the user gave, not the hidden temporary name.
_shown_as = {}


def _describe(exc):
    """One line about ``exc``."""
    network = _network_error(exc)
    if network is not None:
        return network
    status = getattr(exc, "status", None)
    # The client's ApiException, or (from kubernetes 37) one of its subclasses
    # such as NotFoundException.
    if any(c.__name__ == "ApiException" for c in type(exc).__mro__) and status is not None:
        text = "HTTP %s %s" % (status, getattr(exc, "reason", "") or "")
        try:
            message = json.loads(exc.body).get("message")
        except (TypeError, ValueError, AttributeError):
            message = None
        return text.strip() + (": %s" % message if message else "")
    if isinstance(exc, Reason):
        return str(exc)
    if isinstance(exc, OSError) and exc.strerror:
        filename = _shown_as.get(exc.filename, exc.filename)
        return exc.strerror + (": %s" % filename if filename is not None else "")
    if len(exc.args) > 1:
        text = " ".join(str(a) for a in exc.args)
    else:
        text = str(exc)
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return type(exc).__name__ + (": " + lines[0] if lines else "")


def _causes(exc):
    """``exc`` and what lies under it: causes, contexts, urllib3's reasons
    and wrapped exceptions, the nearest first."""
    seen, queue = set(), [exc]
    while queue:
        e = queue.pop(0)
        if id(e) in seen:
            continue
        seen.add(id(e))
        yield e
        queue.extend(n for n in (e.__cause__, e.__context__, getattr(e, "reason", None)) + tuple(e.args)
                     if isinstance(n, BaseException))


def _endpoint(exc):
    """HOST:PORT of the request that ``exc`` failed, or None."""
    request = getattr(exc, "request", None)
    url = getattr(request, "url", None)
    if url:
        parts = urllib.parse.urlsplit(url)
        host = parts.hostname
        try:
            port = parts.port or {"http": 80, "https": 443}.get(parts.scheme)
        except ValueError:
            port = None
    else:
        pool = next((getattr(e, "pool", None) for e in _causes(exc) if getattr(e, "pool", None)), None)
        host, port = getattr(pool, "host", None), getattr(pool, "port", None)
    if not host:
        return None
    host = "[%s]" % host if ":" in host else host
    return "%s:%s" % (host, port) if port else host


def _network_error(exc):
    """One line for requests' failure to connect (refused, unknown host,
    unverified certificate): the host and port, and the reason; None for
    other errors."""
    if not any(c.__name__ == "ConnectionError" and c.__module__.startswith("requests")
               for c in type(exc).__mro__):
        return None
    where = _endpoint(exc)
    if where is None:
        return None
    causes = list(_causes(exc))
    checks = [e for e in causes if isinstance(e, ssl.SSLCertVerificationError)]
    if checks:
        reason = checks[0].verify_message or _first_line(checks[0].strerror or checks[0])
        return "TLS certificate of %s not verified: %s" % (where, reason)
    tls = [e for e in causes if isinstance(e, ssl.SSLError)]
    if tls:
        return "TLS with %s failed: %s" % (where, _first_line(tls[0].reason or tls[0].strerror or tls[0]))
    plain = [e for e in causes if isinstance(e, OSError) and type(e).__module__ in ("builtins", "socket")
             and e.strerror]
    if plain:
        reason = plain[-1].strerror
    elif any(type(e).__name__ in ("ConnectTimeout", "ConnectTimeoutError") for e in causes):
        reason = "timed out"
    else:
        return None
    return "cannot connect to %s: %s" % (where, reason)


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


class _Stopped(BaseException):
    """Ends a running export from inside one of its progress records.

    Not an ``Exception``: the export treats it as it treats Ctrl-C, so it
    is neither logged nor retried nor tolerated, and the file is removed.
    ``message`` is None when stdout's reader has gone away.
    """

    def __init__(self, message=None):
        super().__init__(message)
        self.message = message
