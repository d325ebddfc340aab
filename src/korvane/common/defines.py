"""Shared services of the korvane package.

``BMOBJ`` is the one service object that korvane's modules log through and
remove local files with. ``Et`` is the package's error type.
"""
import logging
import os
import shutil
from typing import Iterable, Union

__all__ = ["BMOBJ", "Et", "BaseManager"]

logger = logging.getLogger("korvane")


class Et(Exception):
    """Error raised by korvane's own utilities."""


def _text(values: Iterable[object]) -> str:
    return " ".join(str(v) for v in values)


class BaseManager(object):
    """Logging and local-file housekeeping shared by korvane's modules."""

    def log_error(self, *values: object) -> None:
        """Log ``values``, joined by spaces, at error level on the "korvane" logger."""
        logger.error("%s", _text(values))

    def clog(self, ctx: object, *values: object) -> None:
        """Log ``values``, joined by spaces, at info level for the caller's ``ctx``.

        The record carries ``ctx`` as ``korvane_ctx`` and the values as they
        were given as ``korvane_values`` (a row count stays an int), so a
        handler can follow one export; see ``korvane.progress``.
        """
        logger.info("%s", _text(values), extra={"korvane_ctx": ctx, "korvane_values": values})

    def remove_file(self, path: "Union[str, os.PathLike[str]]") -> None:
        """Remove the file at ``path``; do nothing when there is none.

        "None" includes a path whose parent is no directory (a regular file
        in the way) or lies on a read-only file system: whatever kept the
        file from being written is the error worth reporting, not this.
        """
        try:
            os.remove(path)
        except IsADirectoryError:
            pass
        except OSError:
            if os.path.lexists(path):
                raise

    def remove_folder(self, path: "Union[str, os.PathLike[str]]") -> None:
        """Remove the directory tree at ``path``; do nothing for a path that is no directory."""
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=False)


BMOBJ: BaseManager = BaseManager()
