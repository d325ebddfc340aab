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
import re
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
    """export(lines[, frames]) -> (rows, error): the rows handed on, and the error logged."""

    class Query(sadrel.ThinkDataQuery):
        def gen_local_unique_file(self, ext="csv"):
            return str(tmp_path / "out.csv")

    def run(lines, frames=None):
        frames = frames or Frames()
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
            # Only the native parser's own lists of atomic values leave the collector.
            atomic = type(row) is list and all(type(v) in (type(None), bool, int, float, str) for v in row)
            assert atomic or gc.is_tracked(row) is gc.is_tracked(value), line
            if type(row) is list:
                # Where json.loads hands out the interpreter's shared string, so does the export.
                again = json.loads(line)
                assert all(r is v for r, v, w in zip(row, value, again) if type(v) is str and v is w), line
        assert type(logged) is type(error) and str(logged) == str(error), (lines, logged, error)
        lines = rest


# Where a native integer stops: the digit counts and the int64 range.
INT_EDGES = [sign * edge for sign in (1, -1) for edge in (10 ** 17, 10 ** 18, 10 ** 19, 10 ** 20, 2 ** 63, 2 ** 64)]
SCALARS = st.one_of(
    st.none(), st.booleans(),
    st.integers(), st.integers(-2 ** 70, 2 ** 70),
    st.builds(int.__add__, st.sampled_from(INT_EDGES), st.integers(-2, 2)),
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


# 18, 19 and 20 digits, and int64's ends with their neighbours, each in a line of its own.
EDGE_LINES = [("[%d]" % n).encode() for n in sorted(set(
    [sign * edge for sign in (1, -1) for edge in (10 ** 18 - 1, 10 ** 18, 10 ** 19 - 1, 10 ** 19, 10 ** 20 - 1)]
    + [sign * 2 ** 63 + d for sign in (1, -1) for d in (-2, -1, 0, 1)] + [2 ** 64, -2 ** 64]))]


FIXED_LINES = {
    "int-edges": EDGE_LINES,
    # \u escapes with hex digits in lower, upper and mixed case, surrogate pairs included.
    "hex-case": [b'["\\u00e9", "\\u00E9", "\\u00eA", "\\uABCD\\uabcd\\uAbCd", "\\uFFFF", "\\u20AC\\u20ac"]',
                 b'["\\ud83d\\ude00", "\\uD83D\\uDE00", "\\uD83d\\uDe00", "\\udBFF\\uDfFf", "\\uDBFFz"]',
                 b'["\\u00E9"]', b'["\\uD83D\\uDE00"]', b'["\\u00Eg"]', b'["\\uD83D\\uDE0G"]'],
    # Strings of one character are the interpreter's shared ones, as json.loads gives them.
    "one-character": [b'["a", "\\u0041", "\xc3\xa9", "\\u00e9", "\xc3\xbf", "", "\\u20ac", "ab", "\\n"]', b'["z"]'],
}


@pytest.mark.parametrize("lines", sorted(FIXED_LINES))
def test_fixed_lines(export, lines):
    check(export, FIXED_LINES[lines])


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck), derandomize=True)
@given(st.lists(ROWS, min_size=1, max_size=20), st.randoms(use_true_random=False))
def test_rows_are_what_json_loads_makes_of_each_line(export, rows, rnd):
    lines = []
    for row in rows:
        for _ in range(VARIANTS):
            sep = rnd.choice([",", ", ", " ,\t"])
            line = ("[" + sep.join(spell(v, rnd) for v in row) + "]").encode("utf-8", "surrogatepass")
            lines.append(line if rnd.random() < 0.8 else mutate(line, rnd))
    lines += [b"", b" \t ", b"null", b"5", b'"x"', b"[]", b" [ ] "] + EDGE_LINES
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


def tag(value):
    return value + ["x"] if type(value) is list else value


class LookAlikeScanner(object):
    """A scanner that passes for the C one by its name and attributes."""
    strict, parse_float, parse_int = True, float, int

    def __init__(self, real):
        self.real = real

    def __call__(self, text, idx):
        value, end = self.real(text, idx)
        return tag(value), end


LookAlikeScanner = type("_json.Scanner", (LookAlikeScanner,), {})


# Stand-ins whose code objects are put into the standard library's functions;
# they run with the globals of the function they land in.
def loads(s, **kw):
    value = _default_decoder.decode(s.decode())  # noqa: F821
    return value + ["x"] if type(value) is list else value


def decode(self, s, _w=None):
    value = self.raw_decode(s)[0]
    return value + ["x"] if type(value) is list else value


def raw_decode(self, s, idx=0):
    value, end = self.scan_once(s, idx)
    return (value + ["x"] if type(value) is list else value), end


def detect_encoding(b):
    return "latin-1"


LOOK_ALIKES = {
    "scanner named _json.Scanner": (json._default_decoder, "scan_once", LookAlikeScanner(json._default_decoder.scan_once)),
    "loads.__code__": (json.loads, "__code__", loads.__code__),
    "decode.__code__": (json.JSONDecoder.decode, "__code__", decode.__code__),
    "raw_decode.__code__": (json.JSONDecoder.raw_decode, "__code__", raw_decode.__code__),
    "detect_encoding.__code__": (json.detect_encoding, "__code__", detect_encoding.__code__),
    "decode.__defaults__": (json.JSONDecoder.decode, "__defaults__", (re.compile(r"[\s\[]*").match,)),
}
LINES = [b"[true]", b'[1, "\xc3\xa9", null]', b'["a", 2.5]']


@pytest.mark.parametrize("part", sorted(LOOK_ALIKES))
def test_look_alike_json_parts_are_called(export, monkeypatch, part):
    plain = outcomes(LINES)
    monkeypatch.setattr(*LOOK_ALIKES[part])
    assert outcomes(LINES) != plain  # the part does change what json.loads gives
    check(export, LINES)


def outcomes(lines):
    """What json.loads makes of each line: a value, or the error's type and text, comparable."""
    result = []
    for line in lines:
        try:
            result.append(repr(json.loads(line)))
        except Exception as e:
            result.append((type(e), str(e)))
    return result


def changes(monkeypatch):
    decoder, cls = json._default_decoder, json.JSONDecoder
    real_decode, real_raw_decode = cls.decode, cls.raw_decode

    class Tagging(cls):
        def decode(self, s, *args, **kwargs):
            return tag(real_decode(self, s, *args, **kwargs))

    return {
        "JSONDecoder.decode": lambda: monkeypatch.setattr(cls, "decode", Tagging.decode),
        "JSONDecoder.raw_decode": lambda: monkeypatch.setattr(
            cls, "raw_decode", lambda self, s, idx=0: (lambda v, end: (tag(v), end))(*real_raw_decode(self, s, idx))),
        "decoder.decode": lambda: monkeypatch.setitem(vars(decoder), "decode", lambda s: Tagging.decode(decoder, s)),
        "decoder.__class__": lambda: monkeypatch.setattr(decoder, "__class__", Tagging),
        "decoder.scan_once": lambda: monkeypatch.setattr(decoder, "scan_once", LookAlikeScanner(decoder.scan_once)),
        "json.detect_encoding": lambda: monkeypatch.setattr(json, "detect_encoding", lambda b: "latin-1"),
        "json.__class__": lambda: monkeypatch.setattr(json, "__class__", TaggingModule),
    }


class TaggingModule(types.ModuleType):
    """A module class whose loads is not the one in the module's dict."""

    @property
    def loads(self):
        return lambda s: tag(json.__dict__["loads"](s))


@pytest.mark.parametrize("change", ["JSONDecoder.decode", "JSONDecoder.raw_decode", "decoder.decode",
                                    "decoder.__class__", "decoder.scan_once", "json.detect_encoding",
                                    "json.__class__"])
def test_a_change_during_the_export_is_honoured_by_the_next_block(export, monkeypatch, change):
    """The first block's write changes a part of json; the rows after it see the change."""
    make = changes(monkeypatch)[change]
    plain = [json.loads(line) for line in LINES]

    class Changing(Frames):
        def DataFrame(self, data, columns):
            if data and not self.rows:
                make()
            return Frames.DataFrame(self, data, columns)

    rows, error = export(LINES, Changing())
    changed = [json.loads(line) for line in LINES[1:]]
    assert error is None and not same(changed, plain[1:])
    assert same(rows, plain[:1] + changed), rows


@pytest.mark.parametrize("where", ["global", "json.loads"])
def test_rows_of_a_users_own_loads_stay_tracked(export, sadrel, monkeypatch, where):
    """Such a row may be kept and join a cycle: the collector must still see it."""
    native, _ = export([b"[1, 2]"])
    real = json.loads
    if where == "global":
        monkeypatch.setattr(sadrel, "json", types.SimpleNamespace(loads=real))
    else:
        monkeypatch.setattr(json, "loads", lambda s: real(s))
    rows, _ = export([b"[1, 2]", b'["a", null]'])
    assert not gc.is_tracked(native[0])
    assert rows == [[1, 2], ["a", None]] and all(gc.is_tracked(row) for row in rows)


