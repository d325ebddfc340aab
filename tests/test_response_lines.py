"""The lines of the OpenAPI export are those of ``r.iter_lines(chunk_size=104857600)``.

The module against the plain loop below, on the same raw bodies from the
emulator: the file, the progress messages, and the error (type and text). Endings ``\\n``, ``\\r\\n``
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
import warnings

import pandas
import pytest
import requests
import urllib3

from korvane.testing.openapi import OpenApiServer

STATUS = b'{"return_code":0,"return_message":"success","data":{"headers":["n","s"]}}'
MiB = 1 << 20


def plain_export(url, block_size, path, read_timeout=600):
    """The plain loop, with the module's status check and its removal of a
    partial file: (file bytes or None, clogs, error, whether a file was made)."""
    clogs, datas, i, cols = [], [], 0, None
    r = requests.session().post(url, data={"token": "t", "sql": "q"}, stream=True, verify=False,
                                timeout=(300, read_timeout))
    r.raw.enforce_content_length = True

    def write(rows, **kwargs):
        pandas.DataFrame(data=rows, columns=cols).to_csv(path, index=None, **kwargs)

    try:
        for row in r.iter_lines(chunk_size=104857600):
            if not row:
                continue
            data = None
            if i == 0:
                cols = json.loads(row)["data"]["headers"]
                write([])
            elif row.strip() not in (b"", ""):
                data = json.loads(row)
            if data is not None:
                datas.append(data)
            i += 1
            if len(datas) == block_size:
                write(datas, mode="a", header=False)
                datas = []
            if i % block_size == 0:
                clogs.append(i)
        clogs.append("total: %d" % i)
        if datas:
            write(datas, mode="a", header=False)
    except Exception as e:
        made = os.path.exists(path)
        if made:
            os.remove(path)
        return None, clogs, (type(e), str(e)), made
    return read(path), clogs, None, True


def read(path):
    with open(path, "rb") as f:
        data = f.read()
    os.remove(path)
    return data


class ShortReadTimeout(requests.Session):
    """A session whose reads wait ``read_timeout`` seconds, not the export's 600."""
    read_timeout = 600

    def post(self, url, **kwargs):
        kwargs["timeout"] = (kwargs["timeout"][0], self.read_timeout)
        return requests.Session.post(self, url, **kwargs)


def recorded(caught):
    return [(w.category, str(w.message), w.filename, w.lineno) for w in caught]


@pytest.fixture
def compare(sadrel, bm, local_class, export_dir, monkeypatch):
    def run(server, block_size, read_timeout=600, **fault):
        server.set_fault("raw", **fault)
        del bm.calls[:]
        error, data = None, None
        if read_timeout != 600:
            session = type("Session", (ShortReadTimeout,), {"read_timeout": read_timeout})
            monkeypatch.setattr(sadrel, "requests", types.SimpleNamespace(session=session))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                data = read(local_class()(server.url, "t").get_data_csv({}, "q", block_size))
            except Exception as e:
                error = (type(e), str(e))
        monkeypatch.undo()
        native = (data, [c[2] for c in bm.of("clog")], error, data is not None or bool(bm.of("remove_file")),
                  recorded(caught))
        server.set_fault("raw", **fault)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            plain = plain_export(server.url, block_size, os.path.join(export_dir, "plain.csv"), read_timeout)
        assert native == plain + (recorded(caught),)
        assert bool(native[4]) == server.tls  # verify=False warns over HTTPS only
        assert os.listdir(export_dir) == []
        return native[:3]

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


def sized(size):
    """The body in chunks of ``size`` bytes, cut anywhere."""
    def frame(data):
        return [b"".join(b"%x\r\n%s\r\n" % (len(data[k:k + size]), data[k:k + size])
                         for k in range(0, len(data), size)) + b"0\r\n\r\n"]
    return frame


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
    _, _, error = compare(server, 7, framing=framing, seconds=3 if stalled else 0.3,
                          read_timeout=1 if stalled else 600)
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
    _, clogs, error = compare(server, 1000, **options)
    assert error is not None and bool(clogs) == (urllib3.__version__.startswith("1.") or framing == "chunked")


@pytest.mark.parametrize("cut", [MiB + 12345, 2 * MiB + 7])
def test_reset_loses_the_whole_piece(compare, server, big_body, cut):
    """A reset inside a piece of known length: the plain call's read of
    100 MiB loses all of it, so no line of it was ever seen. Over HTTPS, ssl
    reads the reset as an end of the data (suppress_ragged_eofs): a cut."""
    _, clogs, error = compare(server, 1000, body=big_body[:cut], length=len(big_body), seconds=settle(server),
                              how="rst")
    assert error is not None and error[0] is requests.exceptions.ChunkedEncodingError
    assert clogs == [] or server.tls


@pytest.mark.parametrize("at", [100, 60000, 100000])
def test_bad_line_before_a_cut(compare, server, big_body, at):
    """A line json.loads rejects, then the body ends early: the read error
    comes first only where the plain call's piece had not arrived whole."""
    lines = big_body.split(b"\n")
    lines[at] = b"<<not json>>"
    broken = b"\n".join(lines)
    compare(server, 1000, body=broken[:2 * MiB + 99], length=len(broken))
    compare(server, 1000, body=broken[:2 * MiB + 99], length=len(broken), seconds=settle(server), how="rst")


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
