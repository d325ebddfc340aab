"""Deterministic sample tables shared by the emulators, tests, demo and benchmarks.

The same ``(headers, rows)`` feed the OpenAPI emulator and the Presto
emulator, so an export through either route can be compared byte for byte.
"""
import random
import sys
from typing import Iterable, Iterator, List, Optional, TextIO, Tuple, TypeVar, Union

T = TypeVar("T")

# One value of a sample row: id, user, score, city, note, active.
Value = Union[int, float, str, bool, None]

HEADERS = ["id", "user", "score", "city", "note", "active"]
# Presto type names of HEADERS, for the Presto emulator.
PRESTO_TYPES = ["bigint", "varchar", "double", "varchar", "varchar", "boolean"]

_CITIES: List[Optional[str]] = ["北京", "上海", "Zürich", "São Paulo", "New York, NY", None]
_NOTES: List[Optional[str]] = ['plain', 'has, comma', 'has "quotes"', "multi\nline", "", None, "ünïcødé ✓"]


def sample_row(n: int, rnd: random.Random) -> List[Value]:
    """Row number ``n`` as a JSON-ready list matching HEADERS."""
    return [
        n,
        "user_%d" % rnd.randrange(1000000),
        None if n % 97 == 0 else round(rnd.uniform(-1e6, 1e6), 6),
        _CITIES[n % len(_CITIES)],
        _NOTES[n % len(_NOTES)],
        n % 3 == 0,
    ]


def sample_rows(count: int, seed: int = 7) -> Iterator[List[Value]]:
    """Yield ``count`` rows; the same seed always gives the same rows."""
    rnd = random.Random(seed)
    for n in range(count):
        yield sample_row(n, rnd)


def sample_table(count: int, seed: int = 7) -> Tuple[List[str], List[List[Value]]]:
    """Return ``(HEADERS, list_of_rows)``."""
    return list(HEADERS), list(sample_rows(count, seed))


def building(rows: Iterable[T], total: int, label: str, stream: Optional[TextIO] = None) -> Iterator[T]:
    """Yields ``rows`` while showing that a table of ``total`` rows is being
    built: a bar on a terminal, else one line on ``stream`` (stderr) for a
    table of 100,000 rows or more, so that a long build is never silent."""
    from korvane.progress import _is_terminal, _size
    from tqdm import tqdm

    stream = stream if stream is not None else sys.stderr
    terminal = _is_terminal(stream)
    if not terminal and total >= 100000:
        stream.write("%s: %d rows...\n" % (label, total))
        stream.flush()
    columns, lines = _size(stream)  # a terminal that reports no size gets 80 by 24, as for the exports
    with tqdm(desc=label, total=total, unit=" rows", file=stream, disable=not terminal, leave=False,
              ncols=None if columns else 80, nrows=None if lines else 24, mininterval=0.5) as bar:
        step = 0
        for step, row in enumerate(rows, 1):
            if not step % 10000:
                bar.update(10000)
            yield row
        bar.update(step % 10000)
