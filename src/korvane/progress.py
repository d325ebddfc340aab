"""Live progress of one export, fed by the counts that the export logs.

Both export routes of ``ThinkDataQuery`` report through ``BMOBJ.clog(ctx,
...)``: the row count after every block, "total: N" at the end and "retry N"
after a timed-out attempt of the direct route. ``BMOBJ.clog`` turns each call
into one record on the "korvane" logger that carries the export's ``ctx`` as
``korvane_ctx`` and the values as ``korvane_values``.

``ExportProgress`` is a logging handler that follows one export: it takes
only the records whose ``ctx`` is the very object handed to that export, so
concurrent exports with their own ``ctx`` never mix. It keeps the latest
count and, on a terminal, draws a tqdm bar with rows and rows per second::

    ctx = {}
    with ExportProgress(ctx, route="openapi", label="OpenAPI") as progress:
        path = tdq.get_data_csv(ctx, sql)
    print(progress.rows, progress.seconds)

The OpenAPI route counts the status line with the rows, so ``route="openapi"``
takes one off its counts. Counts arrive once per block, so the bar moves in
steps of ``block_size`` rows.
"""
import logging
import os
import sys
import time
from types import TracebackType
from typing import Any, Optional, TextIO, Tuple, Type

from tqdm import tqdm

__all__ = ["ExportProgress"]

LOGGER = "korvane"


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _size(stream: TextIO) -> Tuple[int, int]:
    """The terminal's columns and lines; 0 for what it does not report."""
    try:
        size = os.get_terminal_size(stream.fileno())
    except (AttributeError, ValueError, OSError):
        return 0, 0
    return size.columns, size.lines


class ExportProgress(logging.Handler):
    """Follows the ``BMOBJ.clog`` counts of the export that gets ``ctx``.

    ``show`` decides whether a bar is drawn on ``stream`` (stderr by
    default); by default only when that stream is a terminal. ``rows`` is
    the latest count, ``total`` the final one once the export has logged it,
    ``retries`` the number of timed-out attempts, ``seconds`` the time from
    entering the block to leaving it.
    """

    def __init__(self, ctx: object, route: str = "openapi", label: str = "export", stream: Optional[TextIO] = None,
                 show: Optional[bool] = None, expected: Optional[int] = None) -> None:
        super().__init__(logging.INFO)
        self.ctx = ctx
        self.offset = 1 if route == "openapi" else 0
        self.label = label
        self.stream = stream if stream is not None else sys.stderr
        self.show = _is_terminal(self.stream) if show is None else show
        self.expected = expected
        self.rows = 0
        self.total: Optional[int] = None
        self.retries = 0
        self.seconds = 0.0
        self._bar: Any = None  # the tqdm bar while the block runs
        self._started = 0.0
        self._level: Optional[int] = None

    def __enter__(self) -> "ExportProgress":
        logger = logging.getLogger(LOGGER)
        # The counts are logged at info level: let them reach this handler.
        if not logger.isEnabledFor(logging.INFO):
            self._level = logger.level
            logger.setLevel(logging.INFO)
        logger.addHandler(self)
        # A terminal that reports no size (a bare pseudo-terminal, a serial
        # console) gets 80 columns and 24 lines: tqdm draws nothing on a
        # terminal of no lines.
        columns, lines = _size(self.stream)
        self._bar = tqdm(desc=self.label, total=self.expected, unit=" rows", unit_scale=False,
                         file=self.stream, disable=not self.show, ncols=None if columns else 80,
                         nrows=None if lines else 24)
        self._started = time.monotonic()
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.seconds = time.monotonic() - self._started
        logger = logging.getLogger(LOGGER)
        logger.removeHandler(self)
        if self._level is not None:
            logger.setLevel(self._level)
        self._bar.close()

    def emit(self, record: logging.LogRecord) -> None:
        if getattr(record, "korvane_ctx", None) is not self.ctx:
            return
        values: Tuple[object, ...] = getattr(record, "korvane_values", ())
        if len(values) != 1:
            return
        value = values[0]
        if isinstance(value, int) and not isinstance(value, bool):
            self._move_to(value - self.offset)
        elif isinstance(value, str) and value.startswith("total: "):
            self.total = max(int(value[len("total: "):]) - self.offset, 0)
            self._move_to(self.total)
        elif isinstance(value, str) and value.startswith("retry "):
            # The next attempt writes the file afresh.
            self.retries += 1
            self.rows = 0
            self._bar.reset(total=self.expected)
            self._bar.set_postfix_str("retry %d" % self.retries)

    def _move_to(self, rows: int) -> None:
        # tqdm's scaled form shows a small count as "1.00": counts below 100
        # are shown as they are.
        self._bar.unit_scale = rows >= 100
        self._bar.update(rows - self.rows)
        self.rows = rows
