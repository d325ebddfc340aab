"""How each outcome of a command becomes one line on stderr and its exit status."""
import contextlib
import errno
import signal
import sys
import traceback

from .errors import Failure, OptionError, UsageError, _describe, _query_error, _Stopped
from .parser import PROG
from .secrets import _scrub
from .signals import _SIGNAL_TEXTS, Signalled


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
                return args.run(args)
        return args.run(args)
    except OptionError as e:
        getattr(args, "usage_of", parser).error(str(e))
    except UsageError as e:
        _say("%s: %s\n" % (PROG, e))
        return 2
    except Failure as e:
        cause = e.__cause__
        if verbose:
            _say(_scrub("".join(traceback.format_exception(type(cause), cause, cause.__traceback__))))
        query = _query_error(cause)
        attempts = getattr(cause, "korvane_attempts", None)
        after = " after %d attempt%s" % (attempts, "s" if attempts != 1 else "") if attempts else ""
        if query is not None:
            _say("%s: query failed%s: %s\n" % (PROG, after, _scrub(query)))
        else:
            _say("%s: %s failed%s: %s\n" % (PROG, e.what, after, _scrub(_describe(cause))))
        return 1
    except _Stopped as e:
        if e.message is None:  # stdout's reader has gone, as under `| head`: done, quietly
            return 141
        _say("%s: export failed: %s\n" % (PROG, _scrub(e.message)))
        return 1
    except KeyboardInterrupt as e:
        signum = e.signum if isinstance(e, Signalled) else signal.SIGINT
        if verbose:
            _say(_scrub(traceback.format_exc()))
        _say("%s: %s\n" % (PROG, _SIGNAL_TEXTS.get(signum, "interrupted")))
        return 128 + signum
    except Exception as e:
        if verbose:
            _say(_scrub(traceback.format_exc()))
        _say("%s: %s failed: %s\n" % (PROG, args.command, _scrub(_describe(e))))
        return 1
