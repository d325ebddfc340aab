"""Rows of the OpenAPI export are exactly what json.loads makes of each line.

The rows reach ``pandas.DataFrame`` one block at a time; a recording stand-in
for the module's ``pandas`` global keeps them, so each can be compared with
``json.loads`` of its line: type, value and float bits, and for a line that
``json.loads`` rejects, the error's type and text.

Set KORVANE_DIFF_ROWS (e.g. 1000000) for a long run; the default is short.
"""
import decimal
import gc
import json
import os
import random
import struct
import subprocess
import sys
import textwrap
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvane.testing.bodies import BodyServer

STATUS = b'{"return_code":0,"return_message":"success","data":{"headers":["a","b"]}}'
LONG_ROWS = int(os.environ.get("KORVANE_DIFF_ROWS", "0"))
VARIANTS = max(1, LONG_ROWS // 4000)  # lines made of each generated row
EXAMPLES = LONG_ROWS * 11 // (10 * VARIANTS) if LONG_ROWS else 60
CHECKED = [0]  # lines compared so far


@pytest.fixture(scope="module", autouse=True)
def long_run_size():
    yield
    if LONG_ROWS:
        assert CHECKED[0] >= LONG_ROWS, "only %d lines compared" % CHECKED[0]


class Frames(object):
    """Stands in for the module's pandas: keeps the rows of every block."""

    def __init__(self):
        self.rows = []

    def DataFrame(self, data, columns):
        self.rows.extend(data)
        return types.SimpleNamespace(to_csv=lambda *args, **kwargs: None)


@pytest.fixture
def server():
    with BodyServer() as srv:
        yield srv


@pytest.fixture
def export(sadrel, bm, server, tmp_path):
    """export(lines) -> (rows, error): the rows handed on, and the error logged."""

    class Query(sadrel.ThinkDataQuery):
        def gen_local_unique_file(self, ext="csv"):
            return str(tmp_path / "out.csv")

    def run(lines):
        frames = Frames()
        real = sadrel.pandas
        sadrel.pandas = frames
        del bm.calls[:]
        server.put([STATUS] + lines)
        try:
            Query(server.url, "t").get_data_csv({}, "q", block_size=1)
        except Exception:
            pass  # whether it is raised again is not the concern here
        finally:
            sadrel.pandas = real
        errors = [c[2] for c in bm.of("log_error") if c[1] == "get data error"]
        return frames.rows, (errors[0] if errors else None)

    return run


def same(a, b):
    """Equal in type and value, floats bit for bit."""
    if type(a) is not type(b):
        return False
    if type(a) is float:
        return struct.pack("<d", a) == struct.pack("<d", b)
    if type(a) is list:
        return len(a) == len(b) and all(map(same, a, b))
    if type(a) is dict:
        return list(a) == list(b) and all(map(same, a.values(), b.values()))
    return a == b


def check(export, lines):
    """Exports `lines`, then the rest after each rejected line, comparing as it goes."""
    CHECKED[0] += len(lines)
    while lines:
        expected, error, rest = [], None, []
        for k, line in enumerate(lines):
            if not line or not line.strip():
                continue
            try:
                value = json.loads(line)
            except Exception as e:
                error, rest = e, lines[k + 1:]
                break
            if value is not None:
                expected.append((line, value))
        rows, logged = export(lines)
        assert len(rows) == len(expected), (lines, rows)
        for row, (line, value) in zip(rows, expected):
            assert same(row, value), (line, row, value)
            atomic = type(row) is list and all(type(v) in (type(None), bool, int, float, str) for v in row)
            assert gc.is_tracked(row) is (not atomic and gc.is_tracked(value)), line
        assert type(logged) is type(error) and str(logged) == str(error), (lines, logged, error)
        lines = rest


SCALARS = st.one_of(
    st.none(), st.booleans(),
    st.integers(), st.integers(-2 ** 70, 2 ** 70),
    st.floats(), st.floats(width=32),
    st.text(), st.text(st.characters(max_codepoint=0x7f)),
)
ROWS = st.lists(st.one_of(SCALARS, st.lists(SCALARS, max_size=2)), max_size=7)


def spell(value, rnd):
    """One of the JSON spellings of `value` that json.loads reads back as `value`."""
    if type(value) is float and value == value and abs(value) != float("inf"):
        return rnd.choice([repr(value), "%.17g" % value, "%.17e" % value, "%.17E" % value, json.dumps(value)])
    if type(value) is str:
        text = json.dumps(value, ensure_ascii=rnd.random() < 0.3)
        if rnd.random() < 0.2:
            text = text.replace("/", "\\/").replace("a", "\\u0061").replace("é", "\\u00E9")
        return text
    if type(value) is list:
        return "[" + ",".join(spell(v, rnd) for v in value) + "]"
    return json.dumps(value)


NOISE = b' \t"\\,.:[]{}-+0123456789eEuntrfalsNI\x00\x0b\x7f\x80\xc3\xa9\xed\xa0\xef\xbb\xbf\xff'


def mutate(line, rnd):
    """`line` with a random edit: often still JSON, often not."""
    kind = rnd.randrange(7)
    at = rnd.randrange(len(line) + 1)
    if kind == 0:
        return line[:at]
    if kind == 1:
        return line[:at] + line[at + 1:]
    if kind == 2:
        return line[:at] + bytes([rnd.choice(NOISE)]) + line[at:]
    if kind == 3:
        return line[:at] + rnd.choice([b' ', b'\t', b'"\\ud83d\\ude00"', b'"\\udc00"', b'1e400', b'-0', b'1.0E-7',
                                       b'NaN', b'-Infinity', b'12345678901234567890', b'"\xed\xa0\x80"']) + line[at:]
    if kind == 4:
        return rnd.choice([b'\xef\xbb\xbf', b' ', b'\t', b'[', b'\x00']) + line
    if kind == 5:
        return line + rnd.choice([b' ', b'\t', b',', b']', b' 1', b'\x0c'])
    return b"[" + line + b"]"


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck), derandomize=True)
@given(st.lists(ROWS, min_size=1, max_size=20), st.randoms(use_true_random=False))
def test_rows_are_what_json_loads_makes_of_each_line(export, rows, rnd):
    lines = []
    for row in rows:
        for _ in range(VARIANTS):
            sep = rnd.choice([",", ", ", " ,\t"])
            line = ("[" + sep.join(spell(v, rnd) for v in row) + "]").encode("utf-8", "surrogatepass")
            lines.append(line if rnd.random() < 0.8 else mutate(line, rnd))
    lines += [b"", b" \t ", b"null", b"5", b'"x"', b"[]", b" [ ] "]
    rnd.shuffle(lines)
    # Rejected lines cost an export each; a long run keeps them rare.
    if LONG_ROWS:
        lines = [line for line in lines if not rejected(line)] + [line for line in lines if rejected(line)][:3]
    check(export, lines)


def rejected(line):
    try:
        json.loads(line)
    except Exception:
        return True
    return False


@pytest.mark.parametrize("rebind", ["module global", "loads", "default decoder"])
def test_rebound_json_is_called(export, sadrel, rebind):
    lines = [b"[1,2.5]", b'["x",null]']
    calls = []
    real_global, real_loads, real_decoder = sadrel.json, json.loads, json._default_decoder

    def loads(text):
        calls.append(text)
        return real_loads(text)

    try:
        if rebind == "module global":
            sadrel.json = types.SimpleNamespace(loads=loads)
        elif rebind == "loads":
            json.loads = loads
        else:
            json._default_decoder = json.JSONDecoder(parse_float=decimal.Decimal)
        rows, error = export(lines)
        assert error is None
        # Works after a first export with the real objects as well.
        rows_again, _ = export(lines)
    finally:
        sadrel.json, json.loads, json._default_decoder = real_global, real_loads, real_decoder
    if rebind == "default decoder":
        assert rows == rows_again == [[1, decimal.Decimal("2.5")], ["x", None]]
        assert type(rows[0][1]) is decimal.Decimal
    else:
        assert calls == ([STATUS] + lines) * 2
        assert rows == rows_again == [[1, 2.5], ["x", None]]
    rows, _ = export(lines)  # back to the standard library's own
    assert rows == [[1, 2.5], ["x", None]] and len(calls) == (0 if rebind == "default decoder" else 6)


def test_bytes_warnings_still_reach_the_log(tmp_path):
    """Under -bb, `row.strip() != ""` raises BytesWarning, and the export logs it."""
    code = textwrap.dedent("""
        import korvane.sadrel.sadrel as sadrel
        from korvane.testing.bodies import BodyServer
        logged = []
        class Log(object):
            def log_error(self, *args): logged.append(args)
            def clog(self, *args): pass
            def remove_file(self, path): pass
        class Query(sadrel.ThinkDataQuery):
            def gen_local_unique_file(self, ext="csv"): return %r
        sadrel.BMOBJ = Log()
        with BodyServer() as server:
            server.put([b'{"return_code":0,"data":{"headers":["a"]}}', b"[1]"])
            try:
                Query(server.url, "t").get_data_csv({}, "q")
            except Exception:
                pass
        print([repr(args[1]) for args in logged if args[0] == "get data error"])
    """ % str(tmp_path / "out.csv"))
    out = subprocess.run([sys.executable, "-bb", "-c", code], stdout=subprocess.PIPE,
                         universal_newlines=True, check=True).stdout
    assert "BytesWarning('Comparison between bytes and string')" in out
