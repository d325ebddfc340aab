"""SIGINT, SIGTERM and SIGHUP: how they stop the command, and where they wait."""
import contextlib
import signal

_FINAL_SIGNALS = [getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)]


@contextlib.contextmanager
def _signals_held():
    """SIGINT, SIGTERM and SIGHUP wait until the block has run: a file is
    put in place whole, or not at all."""
    try:
        old = signal.pthread_sigmask(signal.SIG_BLOCK, _FINAL_SIGNALS)
    except (AttributeError, ValueError, OSError):
        old = None
    try:
        yield
    finally:
        if old is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, old)


_SIGNAL_TEXTS = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated (SIGTERM)"}
if hasattr(signal, "SIGHUP"):
    _SIGNAL_TEXTS[signal.SIGHUP] = "hung up (SIGHUP)"


class Signalled(KeyboardInterrupt):
    """SIGINT, SIGTERM or SIGHUP: the command stops as on Ctrl-C."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


_signalled = []


def _on_signal(signum, frame):
    # The first one stops the command; later ones wait for its clean-up.
    if not _signalled:
        _signalled.append(signum)
        raise Signalled(signum)


def _catch_signals():
    """SIGTERM and SIGHUP stop the command as Ctrl-C does. A signal ignored
    when the command started (nohup, a background job) stays ignored."""
    for signum in _SIGNAL_TEXTS:
        with contextlib.suppress(ValueError, OSError):  # not the main thread
            if signal.getsignal(signum) != signal.SIG_IGN:
                signal.signal(signum, _on_signal)
