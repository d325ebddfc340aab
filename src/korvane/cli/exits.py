"""How each outcome of a command becomes one line on stderr and its exit status."""
import contextlib
import errno
import signal
import sys
import traceback

from .errors import Failure, OptionError, UsageError, _describe, _query_error, _Stopped
from .parser import PROG
from .secrets import _scrub
from .signals import _SIGNAL_TEXTS, DEADLINE, TIMED_OUT, _deadline, settle


def _say(text):
    with contextlib.suppress(OSError, ValueError, AttributeError):
        sys.stderr.write(text)
        sys.stderr.flush()


def run(args, parser, verbose):
    """Runs the command that ``args`` name; returns its exit status."""
    try:
        if sys.stdout is None and args.command == "pods":
            raise Failure("writing to stdout") from OSError(errno.EBADF, "stdout is closed")
        if verbose:
            from tqdm.contrib.logging import logging_redirect_tqdm

            with logging_redirect_tqdm():
                status = args.run(args)
        else:
            status = args.run(args)
    except BaseException as e:
        # A signal decides the status, whatever it became on its way here.
        signum = settle()
        if signum is not None or isinstance(e, KeyboardInterrupt):
            if verbose:
                _say(_scrub(traceback.format_exc()))
            return _signalled(signum if signum is not None else getattr(e, "signum", signal.SIGINT))
        return _failed(args, parser, verbose, e)
    signum = settle()
    return status if signum is None else _signalled(signum)


def _signalled(signum):
    if signum == DEADLINE:
        _say("%s: timed out after %s s (--max-time)\n" % (PROG, "%g" % _deadline.seconds))
        return TIMED_OUT
    _say("%s: %s\n" % (PROG, _SIGNAL_TEXTS.get(signum, "interrupted")))
    return 128 + signum


def _failed(args, parser, verbose, e):
    """The status of an error ``e``, with its line on stderr."""
    if isinstance(e, OptionError):
        getattr(args, "usage_of", parser).error(str(e))
    if isinstance(e, UsageError):
        _say("%s: %s\n" % (PROG, e))
        return 2
    if isinstance(e, Failure):
        cause = e.__cause__
        if verbose:
            _say(_scrub("".join(traceback.format_exception(type(cause), cause, cause.__traceback__))))
        query = _query_error(cause)
        attempts = getattr(cause, "korvane_attempts", None)
        after = " after %d attempt%s" % (attempts, "s" if attempts != 1 else "") if attempts else ""
        if query is not None:
            # An engine that words its message "query failed: ..." itself is not repeated.
            if query.lower().startswith("query failed: "):
                query = query[len("query failed: "):]
            _say("%s: query failed%s: %s\n" % (PROG, after, _scrub(query)))
        else:
            _say("%s: %s failed%s: %s\n" % (PROG, e.what, after, _scrub(_describe(cause))))
        return 1
    if isinstance(e, _Stopped):
        if e.message is None:  # stdout's reader has gone, as under `| head`: done, quietly
            return 141
        _say("%s: export failed: %s\n" % (PROG, _scrub(e.message)))
        return 1
    if not isinstance(e, Exception):
        raise e
    if verbose:
        _say(_scrub(traceback.format_exc()))
    _say("%s: %s failed: %s\n" % (PROG, args.command, _scrub(_describe(e))))
    return 1
