"""SIGINT, SIGTERM, SIGHUP and --max-time: how they stop the command, and where they wait."""
import contextlib
import logging
import signal
import threading
import weakref

_FINAL_SIGNALS = [getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)]

_SIGNAL_TEXTS = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated (SIGTERM)"}
if hasattr(signal, "SIGHUP"):
    _SIGNAL_TEXTS[signal.SIGHUP] = "hung up (SIGHUP)"

# How often a signal that has not stopped the command yet is raised again.
_AGAIN_SECONDS = 0.1

# --max-time runs out: recorded as a signal is, and stops the command as
# one does, with status TIMED_OUT (curl's for a time-out).
DEADLINE = "deadline"
TIMED_OUT = 28


class Signalled(KeyboardInterrupt):
    """SIGINT, SIGTERM or SIGHUP: the command stops as on Ctrl-C."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class _Pending(object):
    """The signals received, until the command has stopped for them.

    The handler raises Signalled in whatever Python code runs when the
    signal lands, and not all of it passes the exception on: io.IOBase's
    finalizer reads ``self.closed`` (a property of urllib3's responses,
    freed once per page of the direct route) and clears whatever that
    raised, and the garbage collector and ``__del__`` only print it. So the
    signal stays pending, and is raised again until the command has it in
    hand: at every safe point of the export (each record it logs, each file
    and attempt it starts, its end), and from a short timer while no
    Signalled is on its way. One that is still alive is being passed on
    or handled (a clean-up runs): then later signals wait for it.
    """

    def __init__(self):
        self.signums = []
        self.last = None       # a weak reference to the last Signalled raised
        self.settled = False   # the command has stopped: signals wait for its end

    def first(self):
        return self.signums[0] if self.signums else None

    def raise_again(self, always):
        """Raises Signalled while a signal has not stopped the command;
        unless ``always``, only while none is on its way."""
        if not self.signums or self.settled:
            return
        if not always and self.last is not None and self.last() is not None:
            return
        raise self._new()

    def _new(self):
        # No frame of the raise may hold the exception: it would live on in
        # its own traceback, and seem on its way after it was dropped.
        e = Signalled(self.signums[0])
        self.last = weakref.ref(e)
        return e


_pending = _Pending()


def _on_signal(signum, frame):
    _pending.signums.append(signum)
    if len(_pending.signums) == 1:
        _start_timer()
    _pending.raise_again(always=False)


def _on_timer(signum, frame):
    _pending.raise_again(always=False)


def _start_timer():
    with contextlib.suppress(AttributeError, ValueError, OSError):
        signal.signal(signal.SIGALRM, _on_timer)
        signal.setitimer(signal.ITIMER_REAL, _AGAIN_SECONDS, _AGAIN_SECONDS)


class _Deadline(object):
    """--max-time: SIGALRM from a one-shot ITIMER_REAL records a stop.

    A signal that comes first takes the timer over for its own repeats,
    and the deadline no longer matters; once the result is in place the
    deadline is disarmed: a complete result is not taken back.
    """

    seconds = None
    armed = False

    def arm(self, seconds):
        self.seconds, self.armed = seconds, True
        signal.signal(signal.SIGALRM, self._expired)
        signal.setitimer(signal.ITIMER_REAL, seconds)

    def disarm(self):
        if self.armed:
            self.armed = False
            if not _pending.signums:  # else the timer repeats a signal
                with contextlib.suppress(AttributeError, ValueError, OSError):
                    signal.setitimer(signal.ITIMER_REAL, 0)

    def _expired(self, signum, frame):
        if self.armed:
            self.armed = False
            _on_signal(DEADLINE, frame)


_deadline = _Deadline()


def safe_point():
    """A point of the export where it may stop: a signal that something
    swallowed stops it here."""
    if threading.current_thread() is threading.main_thread():
        _pending.raise_again(always=True)


def settle():
    """The command has stopped, or finished: signals from now on wait for
    its end. Returns the first signal received, or None."""
    _pending.settled = True
    _deadline.disarm()
    if _pending.signums:
        with contextlib.suppress(AttributeError, ValueError, OSError):
            signal.setitimer(signal.ITIMER_REAL, 0)
    return _pending.first()


class SafePoints(logging.Handler):
    """Makes every record that the export logs a safe point."""

    def __init__(self):
        super().__init__(logging.DEBUG)

    def emit(self, record):
        safe_point()


@contextlib.contextmanager
def _signals_deferred():
    """SIGINT, SIGTERM, SIGHUP and the deadline wait until the block has run."""
    try:
        old = signal.pthread_sigmask(signal.SIG_BLOCK, _FINAL_SIGNALS + [signal.SIGALRM])
    except (AttributeError, ValueError, OSError):
        old = None
    try:
        yield
    finally:
        if old is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, old)


@contextlib.contextmanager
def _signals_held():
    """As _signals_deferred, for the step that puts the file in place: a file
    is put in place whole, or not at all, and the deadline is off after it."""
    with _signals_deferred():
        safe_point()  # one that came just before
        yield
        _deadline.disarm()  # the result is in place


def _catch_signals():
    """SIGTERM and SIGHUP stop the command as Ctrl-C does. A signal ignored
    when the command started (nohup, a background job) stays ignored."""
    for signum in _SIGNAL_TEXTS:
        with contextlib.suppress(ValueError, OSError):  # not the main thread
            if signal.getsignal(signum) != signal.SIG_IGN:
                signal.signal(signum, _on_signal)
