"""The lines of the OpenAPI export are those of ``r.iter_lines(chunk_size=104857600)``.

The module against its plain-Python twin, on the same raw bodies from the
emulator: the file, the log calls, the error. Endings ``\\n``, ``\\r\\n``
and ``\\r`` (mixed too), empty and blank lines, a last line without an
ending; chunked bodies cut into chunks of 1, 3 and 7 bytes (a piece boundary
everywhere), bodies of known length, gzip-encoded ones; bodies cut short, a
reset, and a bad line before the cut. Each over plain HTTP and over HTTPS,
with the warnings the request gives (``InsecureRequestWarning``) the same.
"""
import json
import os
import random
import types

import pytest
import requests
import urllib3

from korvane.testing.openapi import OpenApiServer
from twins import differ

STATUS = b'{"return_code":0,"return_message":"success","data":{"headers":["n","s"]}}'
MiB = 1 << 20


class ShortReadTimeout(requests.Session):
    """A session whose reads wait ``read_timeout`` seconds, not the export's 600."""
    read_timeout = 600

    def post(self, url, **kwargs):
        kwargs["timeout"] = (kwargs["timeout"][0], self.read_timeout)
        return requests.Session.post(self, url, **kwargs)


@pytest.fixture
def compare(export_dir):
    """compare(server, block_size, read_timeout=600, **fault): the native
    export of the raw body ``fault`` describes, as the twin's; returns its outcome."""
    def run(server, block_size, read_timeout=600, **fault):
        def export(Query):
            server.set_fault("raw", **fault)
            module, real = Query.module, Query.module.requests
            if read_timeout != 600:
                session = type("Session", (ShortReadTimeout,), {"read_timeout": read_timeout})
                module.requests = types.SimpleNamespace(session=session)
            try:
                return Query(server.url, "t").get_data_csv({}, "q", block_size)
            finally:
                module.requests = real

        native = differ(export, export_dir)
        assert native.left == [] and (native.error is None) == (native.content is not None)
        assert bool(native.key[4]) == server.tls  # verify=False warns over HTTPS only
        return native

    return run


def body(rows, newline, rnd, blank=True, last_end=True):
    lines = [STATUS] + [json.dumps(row).encode() for row in rows]
    out = []
    for k, line in enumerate(lines):
        if blank and k and rnd.random() < 0.1:
            out.append(rnd.choice([b"", b"", b"  \t", b"null"]))
        out.append(line)
    ends = [rnd.choice([b"\n", b"\r\n", b"\r"]) if newline == "mixed" else newline for _ in out]
    text = b"".join(line + end for line, end in zip(out, ends))
    return text if last_end else text[:-len(ends[-1])]


def rows(count, rnd):
    return [[k, rnd.choice(["a", "b c", "é,\"q\"", "\\r\\n", ""]) * rnd.randint(0, 3)] for k in range(count)]


@pytest.fixture(scope="module", params=["http", "https"])
def server(request):
    with OpenApiServer(token="t", tls=request.param == "https") as srv:
        yield srv


FRAMINGS = {
    "chunked-1": dict(chunk_bytes=1), "chunked-3": dict(chunk_bytes=3), "chunked-7": dict(chunk_bytes=7),
    "chunked": {}, "length": dict(length=-1), "gzip-chunked": dict(encoding="gzip", chunk_bytes=5),
    "gzip-length": dict(encoding="gzip", length=-1),
}


@pytest.mark.parametrize("framing", sorted(FRAMINGS))
@pytest.mark.parametrize("newline", [b"\n", b"\r\n", b"\r", "mixed"], ids=["lf", "crlf", "cr", "mixed"])
@pytest.mark.parametrize("last_end", [True, False], ids=["ended", "unended"])
def test_lines_as_iter_lines(compare, server, framing, newline, last_end):
    rnd = random.Random(hash((framing, str(newline), last_end)) & 0xFFFF)
    data = body(rows(150, rnd), newline, rnd, last_end=last_end)
    compare(server, 7, body=data, **FRAMINGS[framing])


def sized(size, spell="%x"):
    """The body in chunks of ``size`` bytes, cut anywhere, each size spelled by ``spell``."""
    def frame(data):
        return [b"".join(b"%s\r\n%s\r\n" % (spelled(spell, len(data[k:k + size])), data[k:k + size])
                         for k in range(0, len(data), size)) + b"0\r\n\r\n"]
    return frame


def spelled(spell, n):
    """``spell % n``, where "%xX" alternates lower and upper case: 171 as "00aB"."""
    text = "%04x" % n if spell == "%xX" else spell % n
    return "".join(c.upper() if spell == "%xX" and k % 2 else c for k, c in enumerate(text)).encode()


def per_row(data, extension=b"", last=b"0\r\n\r\n"):
    """Each line a chunk of its own, as an endpoint that flushes after each row sends it."""
    lines = data.splitlines(True)
    return b"".join(b"%x%s\r\n%s\r\n" % (len(line), extension if k % 5 == 1 else b"", line)
                    for k, line in enumerate(lines)) + last


def halves(framing, cut=None):
    """The framing in two pieces, sent apart (the second dropped with ``cut``)."""
    middle = len(framing) // 2
    return [framing[:middle], framing[middle:cut]]


CHUNKINGS = {
    "1-byte": sized(1), "2-byte": sized(2), "7-byte": sized(7), "80-byte": sized(80), "64-KiB": sized(65536),
    "upper-hex": sized(26, "%X"), "mixed-hex": sized(171, "%xX"),  # sizes "1A" and "00aB"
    "per-row": lambda data: [per_row(data)],
    "extensions": lambda data: [per_row(data, extension=b";name=value")],
    "trailers": lambda data: [per_row(data, last=b"0\r\nX-Rows: 150\r\nX-Done: yes\r\n\r\n")],
    "paused": lambda data: halves(per_row(data)),
    "cut-in-chunk": lambda data: [per_row(data)[:len(per_row(data)) // 2 + 3]],
    "cut-in-size-line": lambda data: [per_row(data, last=b"1")],
    "bad-size": lambda data: [per_row(data, last=b"zz\r\n[1]\r\n0\r\n\r\n")],
    "stalled": lambda data: halves(per_row(data), cut=0),
}


@pytest.mark.parametrize("chunking", sorted(CHUNKINGS))
def test_chunked_framing(compare, server, chunking):
    """A chunked body in chunks of every size, with extensions and trailers,
    cut inside a chunk or its size line, with a bad size, paused, or stalled
    past the read time-out: as the plain reading of the same bytes."""
    rnd = random.Random(7)
    framing = CHUNKINGS[chunking](body(rows(1500, rnd), b"\n", rnd))
    stalled = chunking == "stalled"
    error = compare(server, 7, framing=framing, seconds=3 if stalled else 0.3,
                    read_timeout=1 if stalled else 600).error
    assert (error is None) == (chunking not in ("cut-in-chunk", "cut-in-size-line", "bad-size", "stalled"))


@pytest.fixture(scope="module")
def big_body():
    """About 3 MiB of rows: three steps of the reader and a bit."""
    rnd = random.Random(5)
    data = body(rows(180000, rnd), "mixed", rnd)
    assert 3 * MiB < len(data) < 4 * MiB
    return data


CUTS = [MiB, MiB + 12345, 2 * MiB - 1, 3 * MiB // 2]


def settle(server):
    """Seconds between the last byte and a reset: time enough for the client
    to have read all that came before it (decrypting it too, over HTTPS)."""
    return 1.0 if server.tls else 0.3


@pytest.mark.parametrize("framing", ["length", "gzip-length", "chunked"])
@pytest.mark.parametrize("cut", CUTS)
def test_body_cut_short(compare, server, big_body, framing, cut):
    """The connection closes early: urllib3 1.26 hands on what arrived, then
    raises at the next read; urllib3 2 raises at once and drops the piece."""
    options = dict(FRAMINGS[framing], body=big_body[:cut])
    if framing == "chunked":
        options["complete"] = False
    else:
        options["length"] = len(big_body) if framing == "length" else len(big_body) * 3
    native = compare(server, 1000, **options)
    assert native.error is not None and bool(native.clogs) == (urllib3.__version__.startswith("1.") or framing == "chunked")


@pytest.mark.parametrize("cut", [MiB + 12345, 2 * MiB + 7])
def test_reset_loses_the_whole_piece(compare, server, big_body, cut):
    """A reset inside a piece of known length: the plain call's read of
    100 MiB loses all of it, so no line of it was ever seen. Over HTTPS, ssl
    reads the reset as an end of the data (suppress_ragged_eofs): a cut."""
    native = compare(server, 1000, body=big_body[:cut], length=len(big_body), seconds=settle(server), how="rst")
    assert type(native.error) is requests.exceptions.ChunkedEncodingError
    assert native.clogs == [] or server.tls


@pytest.mark.parametrize("at", [100, 60000, 100000])
def test_bad_line_before_a_cut(compare, server, big_body, at):
    """A line json.loads rejects, then the body ends early: the read error
    comes first only where the plain call's piece had not arrived whole."""
    lines = big_body.split(b"\n")
    lines[at] = b"<<not json>>"
    broken = b"\n".join(lines)
    compare(server, 1000, body=broken[:2 * MiB + 99], length=len(broken))
    compare(server, 1000, body=broken[:2 * MiB + 99], length=len(broken), seconds=settle(server), how="rst")


@pytest.mark.parametrize("cut", [MiB - 1, MiB, MiB + 1])
@pytest.mark.parametrize("first", [STATUS, b'{"return_code":1,"return_message":"no table"}'], ids=["bad-line", "rejected"])
def test_cut_where_a_step_ends(compare, server, big_body, cut, first):
    """The body ends 100 bytes short of its Content-Length, at or next to a
    step of the reader, after a line that ends the loop: the loop's own
    error and logs, not the read error of a read the plain loop never makes."""
    lines = big_body.split(b"\n")
    lines[0], lines[100] = first, b"<<not json>>"
    broken = b"\n".join(lines)[:cut]
    compare(server, 1000, body=broken, length=cut + 100)


@pytest.mark.skipif(not os.environ.get("KORVANE_LONG_LINES"), reason="long run: set KORVANE_LONG_LINES=1")
@pytest.mark.parametrize("framing", ["length", "chunked"])
def test_crlf_across_the_100_mib_boundary(compare, server, framing):
    rnd = random.Random(3)
    head = body(rows(1000, rnd), b"\r\n", rnd, blank=False)
    line = b'[1,"' + b"x" * 1000 + b'"]\r\n'
    # The "\r" of the last long line is the last byte of the first 100 MiB.
    count = (104857599 - len(head) - 6 - 10) // len(line)
    width = 104857599 - len(head) - count * len(line) - 6
    data = head + line * count + b'[2,"' + b"y" * width + b'"]\r\n' + line * 10
    assert data[104857599:104857601] == b"\r\n"
    compare(server, 100000, body=data, **FRAMINGS[framing])
