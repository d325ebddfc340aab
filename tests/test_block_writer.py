"""The block writer: each block in the file is what pandas writes for it.

Every export runs twice over the same response: once with the native module,
which writes blocks natively when it can, and once with its plain-Python twin,
which leaves every block to pandas. Files, log calls, errors and warnings
must be the same.
"""
import bz2
import contextlib
import gzip
import json
import logging
import lzma
import os
import random
import re
import shutil
import sys
import tarfile
import types
import warnings
import zipfile

import numpy
import pandas
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import twins
from korvane.sadrel.sadrel import ThinkDataQuery
from korvane.testing.bodies import BodyServer
from korvane.testing.presto import PrestoServer

INT64 = 2 ** 63
# The pandas line whose releases the native writer knows; on another every
# block goes to pandas (the files are the same, only the share that the
# native writer takes is not).
def known_releases():
    """The pandas and numpy pairs that the native writer was checked against
    (src/korvane/sadrel/guards/releases.h), where the source tree is here."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "src", "korvane", "sadrel",
                        "guards", "releases.h")
    if not os.path.exists(path):
        return {("2.3.3", numpy.__version__)}
    with open(path, encoding="utf-8") as f:
        text = f.read()
    table = text[text.index("kPandasReleases[]"):]
    return set(re.findall(r'\{"([0-9.]+)", "([0-9.]+)", (?:true|false)\}', table[:table.index("};")]))


# Whether the native writer knows this pandas: elsewhere every block goes to pandas.
NATIVE_WRITER = (pandas.__version__, numpy.__version__) in known_releases()


def make_query(base, directory, name="export.csv"):
    class Query(base):
        def gen_local_unique_file(self, ext="csv"):
            return os.path.join(directory, name)

    return Query


@contextlib.contextmanager
def pandas_saves(seen):
    """Notes in ``seen`` the files pandas' CSV writer writes meanwhile (on this thread)."""
    def profile(frame, event, arg):
        code = frame.f_code
        if event == "call" and code.co_name == "save" and code.co_filename.endswith(
                os.path.join("pandas", "io", "formats", "csvs.py")):
            seen.append(code)

    sys.setprofile(profile)
    try:
        yield seen
    finally:
        sys.setprofile(None)


def lines_of(headers, rows):
    dumps = json.JSONEncoder(ensure_ascii=True, allow_nan=True, separators=(",", ":")).encode
    status = {"return_code": 0, "return_message": "success", "data": {"headers": headers}}
    return [dumps(status).encode("ascii")] + [dumps(row).encode("ascii") for row in rows]


def both(tmp_path, export, name="export.csv", read=twins.contents):
    """``export(Query)`` with the twin and with the native module: the same
    outcome. Returns the native one, and the files pandas wrote for it."""
    directory = tmp_path / "out"
    directory.mkdir(exist_ok=True)
    saves = []
    native = twins.differ(export, str(directory), lambda: pandas_saves(saves), name=name, read=read)
    return native, len(saves)


# ---- generated blocks ------------------------------------------------------------

EDGE_INTS = [0, 1, -1, 2 ** 53, 2 ** 53 + 1, INT64 - 1, -INT64, INT64, -INT64 - 1, 2 ** 64 - 1, 2 ** 64, 10 ** 30]
EDGE_FLOATS = [0.0, -0.0, 1.0, 0.1, 1e16, 1e15, 9999999999999998.0, 1e-4, 1e-5, 0.00012345, 5e-324,
               2.2250738585072014e-308, 1.7976931348623157e308, float("inf"), float("-inf"), float("nan"),
               123456789012345678.0, -1.5e-7]
SPECIAL_TEXT = [",", '"', "\r", "\n", "\r\n", "\t", " ", "\x00", "😀", "é", "北京",
                "sixteen letters!", "a text of thirty-one characters", "\ud800", ""]

text = st.lists(st.sampled_from(SPECIAL_TEXT) | st.text(max_size=3), max_size=4).map("".join)
KINDS = {
    "int": st.integers(-INT64, INT64 - 1) | st.sampled_from(EDGE_INTS),
    "float": st.floats() | st.sampled_from(EDGE_FLOATS),
    "bool": st.booleans(),
    "none": st.none(),
    "str": text,
}


@st.composite
def blocks(draw):
    width = draw(st.integers(1, 5))
    headers = [draw(text if draw(st.integers(0, 9)) else st.one_of(st.integers(), st.none(), st.floats()))
               for _ in range(width)]
    columns = [draw(st.lists(st.sampled_from(sorted(KINDS)), min_size=1, max_size=3, unique=True))
               for _ in range(width)]
    nrows = draw(st.integers(0, 12))
    rows = [[draw(st.one_of([KINDS[k] for k in kinds])) for kinds in columns] for _ in range(nrows)]
    if rows and not draw(st.integers(0, 15)):
        rows[draw(st.integers(0, nrows - 1))] = draw(st.sampled_from([[], [1] * (width + 1), {"a": 1}, 7, "x"]))
    return headers, rows, draw(st.integers(1, 6))


# Fixed cases at each formatting rule's boundary, checked before any draw:
# UTF-8 sequence lengths, the float layouts' exponent thresholds, integral
# floats, ints that a missing value turns into floats, the lone "" row.
UTF8_EDGES = ["\x7f", "\x80", "\u07ff", "\u0800", "\uffff", "\U00010000", "\U0010ffff"]
FIXED_BLOCKS = {
    "utf8": (["a", "b\u0800", "c"], [[c, c + ',"' + c, c * 3] for c in UTF8_EDGES]),
    "exponents": (["x", "y"], [[x, -x] for x in (1e-4, 9.999999999999999e-05, 1e-5, 0.00012345, 1.5e-4,
                                                  1e16, 9999999999999998.0, 1e17, 1.5e16, 1.2345e17)]),
    "integral": (["x", "y"], [[x, x] for x in (1.0, -3.0, 0.0, -0.0, 1e15, 123456789.0, 2.0 ** 53)] + [[1, 2.5]]),
    "ints_as_floats": (["n", "m"], [[n, n] for n in (2 ** 53, 2 ** 53 + 1, -2 ** 53 - 1, 2 ** 53 - 1, 10 ** 15 + 1)]
                       + [[None, 3]]),
    "empty_row": (["only"], [[""], [None], ["x"], [""]]),
}


@pytest.mark.parametrize("case", sorted(FIXED_BLOCKS))
def test_fixed_blocks_as_pandas(tmp_path, case):
    headers, rows = FIXED_BLOCKS[case]
    with BodyServer() as server:
        server.put(lines_of(headers, rows))
        server.put(lines_of(headers, rows))
        native, saves = both(tmp_path, lambda Q: Q(server.url, "t").get_data_csv({}, "q", 100))
    assert native.content is not None
    assert saves == (0 if NATIVE_WRITER else 2), "the native writer did not take the block"


# Rows not of the header's width: what happens is pandas' call (a short row
# is padded by pandas 2 and 3 alike, pandas 3 with a Pandas4Warning; a wider
# row fails on both), and the export does what pandas does, warnings included.
RAGGED_BLOCKS = {
    "short_row": [[1, "a"], [2], [3, "c"]],
    "empty_row": [[1, "a"], [], [3, "c"]],
    "wide_row": [[1, "a"], [2, "b", 0], [3, "c"]],
    "all_narrow": [[1], [2], [3]],
    "all_wide": [[1, "a", 0], [2, "b", 0]],
}


@pytest.mark.parametrize("case", sorted(RAGGED_BLOCKS))
def test_ragged_blocks_as_pandas(tmp_path, case):
    with BodyServer() as server:
        server.put(lines_of(["n", "name"], RAGGED_BLOCKS[case]))
        server.put(lines_of(["n", "name"], RAGGED_BLOCKS[case]))
        native, saves = both(tmp_path, lambda Q: Q(server.url, "t").get_data_csv({}, "q", 100))
    assert saves >= 1 or native.error is not None  # a padded block is pandas' to write


def members(path):
    """What a compressed or archived export holds: (name, bytes) of each
    member, without the time stamps that differ from run to run."""
    if path.endswith(".tar"):
        with tarfile.open(path) as tar:
            return [(m.name, tar.extractfile(m).read()) for m in tar.getmembers()]
    if path.endswith(".zip"):
        with zipfile.ZipFile(path) as archive:
            return [(n, archive.read(n)) for n in archive.namelist()]
    opener = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}.get(os.path.splitext(path)[1])
    if opener is None:
        import zstandard
        opener = zstandard.open
    with opener(path, "rb") as f:
        return [("", f.read())]


@pytest.mark.parametrize("route", ["openapi", "presto"])
@pytest.mark.parametrize("suffix", [".tar", ".zip", ".gz", ".bz2", ".xz", ".zst"])
def test_compressed_exports_as_pandas(tmp_path, suffix, route):
    """pandas compresses by the path's suffix, and such a file need not grow
    with each block (a tar appends inside its record padding): no false
    "changed" error, and what pandas alone writes."""
    rows = [[n, "v%d" % n, n / 3] for n in range(30)]
    with BodyServer() as server, PrestoServer() as presto:
        presto.load_table("t", [("a", "bigint"), ("b", "varchar"), ("c", "double")], rows)

        def export(Q):
            tdq = Q(server.url, "t", [presto.host, presto.port])
            if route == "presto":
                return tdq.get_data_raw_pyhive({}, "select * from t", block_size=10, read_timeout=30)
            server.put(lines_of(["a", "b", "c"], rows))
            return tdq.get_data_csv({}, "q", 10)

        native, _ = both(tmp_path, export, "export" + suffix, members)
    assert native.content is not None


def test_openapi_blocks_as_pandas(tmp_path):
    """Generated blocks through the OpenAPI route: every category and mix of
    column values, None patterns, int64 edges and beyond, NaN/Infinity
    literals, subnormals, special and non-BMP text, one column and many,
    zero rows, names that are no str, rows of the wrong shape."""
    native_blocks = []
    with BodyServer() as server:

        @settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
        @given(blocks())
        def check(block):
            headers, rows, block_size = block
            server.put(lines_of(headers, rows))
            server.put(lines_of(headers, rows))
            _, saves = both(tmp_path, lambda Q: Q(server.url, "t").get_data_csv({}, "q", block_size))
            if saves == 0:
                native_blocks.append(block)

        check()
    # The comparison means something only if the native writer took part
    # (about a third of the examples take it; the share varies with the draw).
    assert len(native_blocks) >= 10 or not NATIVE_WRITER


# Float texts as a server may write them, other than repr's: fewer than 16
# significant digits (printed from the digits themselves), more, zeros,
# and the edges of the range where that holds.
FLOAT_TEXTS = ["1.50", "0.10", "100e-2", "1E5", "1e16", "1e15", "1e17", "12345678901234.5", "123456789012345e-20",
               "0.000123", "0.0001", "1.0e-4", "-2.5E+3", "1e-289", "1e-290", "1e290", "1e291",
               "9.99999999999999e290", "0.0", "-0.0", "0e10", "1234567890123456.0", "4.35", "0.1e1", "100.000",
               "7e0", "-0.00001000", "999999999999999.0", "99999999999999.99", "1.7976931348623157e308"]


@pytest.mark.parametrize("tail", [[], [b"[[1],0]"]], ids=["native", "after-fallback"])
def test_float_texts_as_pandas(tmp_path, tail):
    lines = [lines_of(["x", "n"], [])[0]] + [b"[%s,%d]" % (t.encode(), k) for k, t in enumerate(FLOAT_TEXTS)]
    with BodyServer() as server:
        server.put(lines + tail)
        server.put(lines + tail)
        native, saves = both(tmp_path, lambda Q: Q(server.url, "t").get_data_csv({}, "q", 1000))
    assert native.content is not None
    assert saves == (len(tail) if NATIVE_WRITER else 2)  # the nested value sends its block to pandas


@st.composite
def presto_tables(draw):
    types = draw(st.lists(st.sampled_from(["bigint", "double", "varchar", "boolean"]), min_size=1, max_size=4))
    values = {"bigint": st.integers(-INT64, INT64 - 1), "double": KINDS["float"], "boolean": st.booleans(),
              "varchar": text.filter(lambda s: "\ud800" not in s and "\x00" not in s)}
    rows = draw(st.lists(st.tuples(*[st.none() | values[t] for t in types]), max_size=12))
    return [("c%d" % k, t) for k, t in enumerate(types)], rows, draw(st.integers(1, 5))


def test_presto_blocks_as_pandas(tmp_path):
    """Typed Presto columns, doubles with Infinity, -0.0 and subnormals, NULLs."""
    with PrestoServer() as presto:

        @settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
        @given(presto_tables())
        def check(table):
            columns, rows, block_size = table
            presto.load_table("t", columns, rows)
            both(tmp_path, lambda Q: Q("http://127.0.0.1:1/q", "t", [presto.host, presto.port])
                 .get_data_raw_pyhive({}, "select * from t", block_size, read_timeout=30))

        check()


def long_rows(count, seed=11):
    rnd = random.Random(seed)
    pools = [EDGE_FLOATS[:-1] + [rnd.uniform(-1e9, 1e9) for _ in range(50)],
             [rnd.randrange(-INT64, INT64) for _ in range(50)] + EDGE_INTS[:7],
             SPECIAL_TEXT[:-2] + ["name %d" % k for k in range(50)]]
    for n in range(count):
        yield [n, rnd.choice(pools[0]), None if n % 89 == 0 else rnd.choice(pools[1]),
               rnd.choice(pools[2]), rnd.choice(pools[2] + [None, 1, 2.5]), n % 3 == 0,
               None if n % 7 == 0 else n % 2 == 0]


@pytest.mark.skipif(not os.environ.get("KORVANE_DIFF_ROWS"), reason="long run: set KORVANE_DIFF_ROWS=1000000")
def test_long_export_as_pandas(tmp_path):
    rows = list(long_rows(int(os.environ["KORVANE_DIFF_ROWS"])))
    headers = ["id", "x", "n", "s", "mix", "b", "bn"]
    with BodyServer() as server:
        server.put(lines_of(headers, rows))
        server.put(lines_of(headers, rows))
        native, saves = both(tmp_path, lambda Q: Q(server.url, "t").get_data_csv({}, "q"))
    assert native.content is not None
    assert saves == 0 or not NATIVE_WRITER


# ---- guards ------------------------------------------------------------------------

SAMPLE_HEADERS = ["id", "name", "score", "flag"]
SAMPLE_ROWS = [[n, "n,%d" % n, None if n % 5 == 0 else n / 7, float("inf") if n % 4 == 0 else n % 2 == 0]
               for n in range(40)]


def rebound_pandas(patch, stack, tdq):
    patch.setattr(tdq.module, "pandas", types.SimpleNamespace(DataFrame=pandas.DataFrame))


def patched_to_csv(patch, stack, tdq):
    to_csv = pandas.DataFrame.to_csv
    patch.setattr(pandas.DataFrame, "to_csv", lambda self, *a, **k: to_csv(self, *a, sep=";", **k))


def instance_attribute(patch, stack, tdq):
    tdq.g_to_csv_notmp = lambda *a, **k: tdq.module.ThinkDataQuery.g_to_csv_notmp(tdq, *a, **k)


def inf_as_na(patch, stack, tdq):
    warnings.simplefilter("ignore", FutureWarning)  # deprecated in pandas 2.1, still honoured
    try:
        pandas.get_option("mode.use_inf_as_na")
    except pandas.errors.OptionError:
        pytest.skip("pandas %s has no mode.use_inf_as_na" % pandas.__version__)
    stack.enter_context(pandas.option_context("mode.use_inf_as_na", True))


def numpy_legacy_printing(patch, stack, tdq):
    import numpy

    stack.enter_context(numpy.printoptions(legacy="1.13"))


def compressed_path(patch, stack, tdq):
    pass


def csv_compressed(patch, stack, tdq):
    patch.setitem(pandas.io.common.extension_to_compression, ".csv", "gzip")


def header_default(patch, stack, tdq):
    patch.setattr(tdq.module.ThinkDataQuery.g_to_csv_notmp, "__defaults__", (True, None, "w", False))


def extra_row(patch, stack, tdq):
    from pandas.io.formats.csvs import CSVFormatter

    save_body = CSVFormatter._save_body

    def _save_body(self):
        save_body(self)
        self.writer.writerow(["extra"])

    patch.setattr(CSVFormatter, "_save_body", _save_body)


def na_rep(patch, stack, tdq):
    if hasattr(pandas.DataFrame, "_get_values_for_csv"):  # pandas 2.3
        owner, name = pandas.DataFrame, "_get_values_for_csv"
    else:
        owner, name = pandas.core.internals.managers.BlockManager, "to_native_types"
    values = getattr(owner, name)
    patch.setattr(owner, name, lambda self, **k: values(self, **dict(k, na_rep="NA")))


def wrapped(patch, owner, name, change_kwargs):
    original = getattr(owner, name)

    def wrapper(self, *args, **kwargs):
        change_kwargs(kwargs)
        return original(self, *args, **kwargs)

    patch.setattr(owner, name, wrapper)


def crlf_linesep(patch, stack, tdq):
    patch.setattr(os, "linesep", "\r\n")


def quote_minimal_is_all(patch, stack, tdq):
    import csv

    patch.setattr(csv, "QUOTE_MINIMAL", csv.QUOTE_ALL)


def formatter_quotes_nonnumeric(patch, stack, tdq):
    import csv
    from pandas.io.formats.csvs import CSVFormatter

    wrapped(patch, CSVFormatter, "__init__", lambda k: k.update(quoting=csv.QUOTE_NONNUMERIC))


def frame_formatter_na_rep(patch, stack, tdq):
    from pandas.io.formats.format import DataFrameFormatter

    wrapped(patch, DataFrameFormatter, "__init__", lambda k: k.update(na_rep="NULL"))


def columns_wrapped(patch, stack, tdq):
    from pandas.io.formats.csvs import CSVFormatter

    wrapped(patch, CSVFormatter, "_initialize_columns", lambda k: None)


OUTPUT_CHANGES = {crlf_linesep: b"\r\n", quote_minimal_is_all: b'"id","name"', formatter_quotes_nonnumeric: b',"n,1",',
                  frame_formatter_na_rep: b",NULL,"}


@pytest.mark.parametrize("change", [rebound_pandas, patched_to_csv, "override", instance_attribute, inf_as_na,
                                    numpy_legacy_printing, compressed_path, csv_compressed, header_default,
                                    extra_row, na_rep, crlf_linesep, quote_minimal_is_all,
                                    formatter_quotes_nonnumeric, frame_formatter_na_rep, columns_wrapped],
                         ids=lambda c: getattr(c, "__name__", c))
def test_guards_fall_back_to_pandas(tmp_path, monkeypatch, change):
    """Whatever a guard catches, the file is what the plain calls write."""
    name = "export.csv.gz" if change is compressed_path else "export.csv"

    def export(Query):
        if change == "override":  # the plain calls for every block
            class Query(Query):
                def g_to_csv_notmp(self, filepath, df, index=True, compression=None, mode="w", header=True):
                    return self.module.ThinkDataQuery.g_to_csv_notmp(self, filepath, df, index, compression,
                                                                     mode, header)
        server.put(lines_of(SAMPLE_HEADERS, SAMPLE_ROWS))
        tdq = Query(server.url, "t")
        with monkeypatch.context() as patch, contextlib.ExitStack() as stack, pandas_saves([]) as saves:
            if callable(change):
                change(patch, stack, tdq)
            path = tdq.get_data_csv({}, "q", block_size=16)
        assert saves, "the plain calls wrote no block"
        return path

    read = (lambda path: gzip.decompress(twins.contents(path))) if change in (compressed_path, csv_compressed) \
        else twins.contents
    with BodyServer() as server:
        content = both(tmp_path, export, name, read)[0].content
    if change is patched_to_csv:
        assert content.startswith(b"id;name;")
    if change is inf_as_na:
        assert b"inf" not in content
    if change is numpy_legacy_printing:
        assert b"0.142857142857," in content
    if change is header_default:
        assert content.startswith(b"0,")
    if change is extra_row:
        assert b"\nextra\n" in content
    if change is na_rep:
        assert b",NA," in content
    if change in OUTPUT_CHANGES:
        assert OUTPUT_CHANGES[change] in content


def test_guard_passes_on_an_interrupt(tmp_path):
    """A guard that meets anything but a missing attribute lets it through:
    an interrupt raised while the writer looks up g_to_csv_notmp ends the export."""
    class Interrupted(make_query(ThinkDataQuery, str(tmp_path))):
        def __getattribute__(self, name):
            if name == "g_to_csv_notmp" and not seen:
                seen.append(name)
                raise KeyboardInterrupt
            return ThinkDataQuery.__getattribute__(self, name)

    seen = []
    with BodyServer() as server, pytest.raises(KeyboardInterrupt):
        server.put(lines_of(SAMPLE_HEADERS, SAMPLE_ROWS))
        Interrupted(server.url, "t").get_data_csv({}, "q", block_size=16)
    assert seen and os.listdir(str(tmp_path)) == []


# ---- failures ----------------------------------------------------------------------

class OnFirstBlock(logging.Handler):
    """Runs ``action`` once, at the first progress log after a block of rows
    has reached the file at ``path`` (which then holds more than ``header``)."""

    def __init__(self, action, path, header):
        logging.Handler.__init__(self)
        self.action = action
        self.path = path
        self.header = header

    def emit(self, record):
        if isinstance(getattr(record, "korvane_values", (None,))[0], int) and self.action \
                and os.path.getsize(self.path) > len(self.header):
            action, self.action = self.action, None
            action()


def deleted(path):
    os.remove(path)


def truncated(path):
    with open(path, "r+b") as f:
        f.truncate(os.path.getsize(path) - 3)


def grown(path):
    with open(path, "ab") as f:
        f.write(b"x\n")


def directory_removed(path):
    shutil.rmtree(os.path.dirname(path))


def deleted_in_block(path):
    """Deletes the file while the second block is on its way to pandas:
    after the checks before the block, before pandas opens the file."""
    calls = []

    def DataFrame(*args, **kwargs):
        calls.append(1)
        if len(calls) == 3:
            os.remove(path)
        return pandas.DataFrame(*args, **kwargs)

    return DataFrame


@pytest.mark.parametrize("writer", ["native", "pandas"])
@pytest.mark.parametrize("route", ["openapi", "presto"])
@pytest.mark.parametrize("fault", [deleted, truncated, grown, directory_removed, deleted_in_block],
                         ids=lambda f: f.__name__)
def test_file_changed_between_blocks(tmp_path, caplog, monkeypatch, fault, route, writer):
    """An append never re-creates or extends a file that something else
    deleted or changed: the export fails, says so, and leaves no file."""
    if fault is deleted_in_block and writer == "native":
        pytest.skip("only pandas' path runs Python code between the checks and the open")
    directory = tmp_path / "out"
    path = str(directory / "export.csv")
    rows = [[n, "v%d" % n, n / 3] for n in range(30)]
    logger = logging.getLogger("korvane")
    caplog.set_level(logging.INFO, logger="korvane")

    def export(Query):
        directory.mkdir(exist_ok=True)
        handler = OnFirstBlock(None if fault is deleted_in_block else lambda: fault(path), path, b"a,b,c\n")
        logger.addHandler(handler)
        try:
            with monkeypatch.context() as patch:
                if writer == "pandas":  # the module's own g_to_csv_notmp, every block through pandas
                    DataFrame = fault(path) if fault is deleted_in_block else pandas.DataFrame
                    patch.setattr(Query.module, "pandas", types.SimpleNamespace(DataFrame=DataFrame))
                tdq = Query(server.url, "t", [presto.host, presto.port])
                if route == "openapi":
                    server.put(lines_of(["a", "b", "c"], rows))
                    return tdq.get_data_csv({}, "q", block_size=10)
                presto.load_table("t", [("a", "bigint"), ("b", "varchar"), ("c", "double")], rows)
                return tdq.get_data_raw_pyhive({}, "select * from t", block_size=10, read_timeout=30)
        finally:
            logger.removeHandler(handler)

    with BodyServer() as server, PrestoServer() as presto:
        native, saves = both(tmp_path, export)
    assert isinstance(native.error, OSError) and path in str(native.error)
    assert bool(saves) == (writer == "pandas" or not NATIVE_WRITER)
    assert not os.path.exists(path)
    logged = " ".join(r.getMessage() for r in caplog.records)
    assert "get data error" in logged and path in logged


FULL_DISK = r"""
import os, logging, sys
from korvane.sadrel.sadrel import ThinkDataQuery
from korvane.testing.openapi import OpenApiServer
from korvane.testing.presto import PrestoServer
{override}
logging.basicConfig(level=logging.INFO, stream=sys.stdout)
os.makedirs("/mydata/media/docs")
with OpenApiServer(token="t") as api, PrestoServer() as presto:
    api.add_sample("q", 20000)
    presto.load_sample("t", 20000)
    tdq = Query(api.url, "t", [presto.host, presto.port])
    try:
        if {route!r} == "openapi":
            tdq.get_data_csv({{}}, "q", block_size=1000)
        else:
            tdq.get_data_raw_pyhive({{}}, "select * from t", block_size=1000, read_timeout=30)
    except OSError as e:
        print("raised", e.errno)
print("left", os.listdir("/mydata/media/docs"))
"""

OVERRIDES = {
    "native": "Query = ThinkDataQuery",
    "pandas": "class Query(ThinkDataQuery):\n"
              "    def g_to_csv_notmp(self, *args, **kwargs):\n"
              "        return ThinkDataQuery.g_to_csv_notmp(self, *args, **kwargs)",
}


@pytest.mark.parametrize("writer", ["native", "pandas"])
@pytest.mark.parametrize("route", ["openapi", "presto"])
def test_full_disk(python, route, writer):
    result = python(FULL_DISK.format(override=OVERRIDES[writer], route=route), isolate_mydata=True,
                    tmpfs_size="256k")
    assert "raised 28" in result.stdout
    assert "left []" in result.stdout
    assert "get data error" in result.stdout
