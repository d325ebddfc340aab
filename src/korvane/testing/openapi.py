"""Loopback emulator of a ThinkData deployment's OpenAPI SQL query endpoint.

The endpoint takes a form-encoded POST (``token`` and ``sql``) and answers
with a chunked stream of JSON lines: first a status object, then one JSON
array per result row::

    {"return_code":0,"return_message":"success","data":{"headers":["id","user"]}}
    [1,"a"]
    [2,"b"]

A failed query (bad token, unknown SQL) gets HTTP 200 with a single status
line whose ``return_code`` is non-zero and ``data`` is null, and no rows.

Responses are ``Transfer-Encoding: chunked`` with
``Content-Type: application/json;charset=UTF-8``.  Lines are encoded like
``json.dumps(value, ensure_ascii=False, separators=(",", ":"))`` in UTF-8,
gathered into HTTP chunks of about 64 KiB and sent as they are produced, so a
result given as a callable is streamed without being held in memory.

``OpenApiServer(tls=True)`` serves HTTPS instead, with a certificate for
127.0.0.1 and localhost signed by a CA made at start-up
(:mod:`korvane.testing.tls`); ``server.ca_file`` is that CA, for a client
that verifies (``requests.post(server.url, ..., verify=server.ca_file)``).
The faults are the same: a drop closes the TCP connection without TLS's
close_notify, so a client sees the end of the data as over plain HTTP.

Usage::

    with OpenApiServer(token="t") as server:
        server.add_result("select 1", ["x"], [[1]])
        server.add_sample("select * from big", 1000000)
        server.add_error("select oops", "line 1:8: syntax error")
        requests.post(server.url, data={"token": "t", "sql": "select 1"})
        server.requests[-1]["form"]   # {"token": "t", "sql": "select 1"}

Faults
------
``server.set_fault(kind=None, times=1, **options)`` queues a fault.  Each
request to the query path takes the fault at the head of the queue and uses
it up once; ``times=None`` keeps it for every request until
``server.clear_faults()``.  Kinds and their options:

``None``
    no fault; only the layout options below.
``"stall_headers"`` (``seconds``)
    wait before sending the status line and headers, then answer normally.
``"stall_body"`` (``seconds``, ``after_rows=0``, ``then="continue"``)
    send the status line and ``after_rows`` rows, wait, then go on
    (``then="continue"``) or drop the connection (``then="drop"``).
``"drop"`` (``after_rows=0``, ``how="fin"``)
    send the status line and ``after_rows`` rows, then close the connection
    without the terminating zero-length chunk.  ``how="fin"`` closes
    normally (the client sees a premature end of the chunked body);
    ``how="rst"`` resets the connection (SO_LINGER 0), which may discard
    bytes still queued in the server's send buffer.
``"bad_line"`` (``position=0``, ``text="<<not json>>"``, ``replace=True``)
    the line at ``position`` (0 = status line, 1 = first row, ...) is
    replaced by ``text`` (or, with ``replace=False``, ``text`` is inserted
    before it).  A position past the last row puts it at the end.
``"http_500"`` (``body=None``)
    ``HTTP/1.1 500`` with a small multi-line HTML error page (or ``body``).
``"empty_body"``
    HTTP 200, chunked, with no data at all (just the terminating chunk).
``"redirect"`` (``status=307``, ``location="http://127.0.0.1:9/querySql"``)
    a redirect answer with that status and ``Location`` and an empty body.
``"raw"`` (``body=b""``, ``status=200``, ``complete=True``, ``length=None``, ``encoding=None``,
``seconds=0``, ``how="fin"``)
    ``body`` sent as it is (bytes, chunked, cut by ``chunk_bytes``) with
    that status; ``complete=False`` drops the connection instead of sending
    the terminating chunk.  With ``length``, the body goes unchunked under
    ``Content-Length: length`` (``-1``: the body's own length), and the
    connection closes after it: a ``length`` beyond the body is a body cut
    short, closed after ``seconds`` the way ``how`` says (as for ``"drop"``).
    ``encoding="gzip"`` sends the body gzip-compressed, with
    ``Content-Encoding: gzip``. ``framing=[bytes, ...]`` sends, after
    ``Transfer-Encoding: chunked``, these pieces of a chunked body as they
    are (sizes, extensions, trailers, malformed ones too), ``seconds`` apart,
    then closes the connection the way ``how`` says; ``body`` and
    ``complete`` do not apply then. The layout options other than
    ``chunk_bytes`` do not apply.

Layout options, accepted with every kind:

``newline="\\n"``
    line terminator for the whole body: ``"\\n"``, ``"\\r\\n"`` or ``"\\r"``.
``extra_lines={position: text_or_list}`` (or a list of ``(position, text)``)
    extra raw lines (e.g. ``""`` or ``"  \\t"``) inserted before the line at
    ``position``; a position past the last row puts them at the end.
``trailing_newline=True``
    ``False`` leaves the last line of the body unterminated.
``chunk_bytes=None``
    cut the data into HTTP chunks of at most this many bytes, at arbitrary
    byte offsets (inside a line, a ``"\\r\\n"`` pair or a UTF-8 sequence).
    The cut restarts at each flush (every ~64 KiB, and before a stall or a
    drop).

Stalls wait on an event that ``close()`` sets, so shutting down never waits
for a stall to run out.  Every request is recorded in ``server.requests`` as a
dict with ``method``, ``path``, ``headers``, ``body`` (bytes), ``form`` (dict
of str to str, first value of each field) and ``fault`` (the kind used, or
``None``).
"""
from __future__ import annotations

import gzip
import json
import socket
import socketserver
import struct
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler
from types import TracebackType
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Type, Union

from korvane.testing import data as _data
from korvane.testing.tls import ServerCertificates, TLSServing

__all__ = ["OpenApiServer", "FAULT_KINDS"]

FAULT_KINDS = (None, "stall_headers", "stall_body", "drop", "bad_line", "http_500", "empty_body",
               "redirect", "raw")

_NEWLINES = ("\n", "\r\n", "\r")
_FLUSH_CHARS = 64 * 1024

_KIND_OPTIONS: Dict[Optional[str], Dict[str, Any]] = {
    None: {},
    "stall_headers": {"seconds": None},
    "stall_body": {"seconds": None, "after_rows": 0, "then": "continue"},
    "drop": {"after_rows": 0, "how": "fin"},
    "bad_line": {"position": 0, "text": "<<not json>>", "replace": True},
    "http_500": {"body": None},
    "empty_body": {},
    "redirect": {"status": 307, "location": "http://127.0.0.1:9/querySql"},
    "raw": {"body": b"", "status": 200, "complete": True, "length": None, "encoding": None, "seconds": 0,
            "how": "fin", "framing": None},
}
_LAYOUT_OPTIONS: Dict[str, Any] = {"newline": "\n", "extra_lines": None, "trailing_newline": True, "chunk_bytes": None}

_ERROR_PAGE = (
    "<!DOCTYPE html>\n"
    "<html>\n"
    "<head><title>500 Internal Server Error</title></head>\n"
    "<body>\n"
    "<h1>Whitelabel Error Page</h1>\n"
    "<p>There was an unexpected error (type=Internal Server Error, status=500).</p>\n"
    "</body>\n"
    "</html>\n"
)


def _make_encoder() -> Callable[[Any], str]:
    """Return ``f(value) -> str`` equal to the compact, non-ASCII-escaping json.dumps."""
    plain = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"))
    try:
        from json.encoder import c_make_encoder, encode_basestring  # type: ignore[attr-defined]
    except ImportError:  # pragma: no cover - pure-Python json
        c_make_encoder = None
    if c_make_encoder is None:  # pragma: no cover
        return plain.encode
    # The C encoder built once is about twice as fast per row as
    # JSONEncoder.encode, which builds a new one on every call.
    fast = c_make_encoder(None, plain.default, encode_basestring, None, ":", ",", False, False, True)
    join = "".join

    def encode(value: Any) -> str:
        if isinstance(value, str):
            return encode_basestring(value)
        return join(fast(value, 0))

    return encode


_encode = _make_encoder()


class _Fault(object):
    def __init__(self, kind: Optional[str], times: Optional[int], options: Dict[str, Any]) -> None:
        if kind not in _KIND_OPTIONS:
            raise ValueError("unknown fault kind %r; expected one of %r" % (kind, FAULT_KINDS))
        if times is not None and times < 1:
            raise ValueError("times must be >= 1 or None")
        allowed: Dict[str, Any] = dict(_LAYOUT_OPTIONS)
        allowed.update(_KIND_OPTIONS[kind])
        unknown = set(options) - set(allowed)
        if unknown:
            raise TypeError("fault %r does not take %s" % (kind, ", ".join(sorted(unknown))))
        allowed.update(options)
        if kind in ("stall_headers", "stall_body") and allowed["seconds"] is None:
            raise TypeError("fault %r needs seconds=" % kind)
        if allowed["newline"] not in _NEWLINES:
            raise ValueError("newline must be one of %r" % (_NEWLINES,))
        if allowed.get("then", "continue") not in ("continue", "drop"):
            raise ValueError("then must be 'continue' or 'drop'")
        if allowed.get("how", "fin") not in ("fin", "rst"):
            raise ValueError("how must be 'fin' or 'rst'")
        if allowed["chunk_bytes"] is not None and allowed["chunk_bytes"] < 1:
            raise ValueError("chunk_bytes must be >= 1")
        self.kind = kind
        self.times = times
        self.opts = allowed
        self.extra = _normalise_extra(allowed["extra_lines"])


def _normalise_extra(extra: Any) -> Dict[int, List[str]]:
    out: Dict[int, List[str]] = {}
    if not extra:
        return out
    items = extra.items() if isinstance(extra, dict) else extra
    for position, texts in items:
        if isinstance(texts, str):
            texts = [texts]
        out.setdefault(int(position), []).extend(texts)
    return out


_PLAIN = _Fault(None, None, {})


class _Dropped(Exception):
    """The response was cut off on purpose, or the server is closing."""


class _BodyWriter(object):
    """Collects lines and sends them as HTTP chunks of bounded size."""

    def __init__(self, sock: socket.socket, stop: threading.Event, newline: str, chunk_bytes: Optional[int]) -> None:
        self.sock = sock
        self.stop = stop
        self.newline = newline
        self.chunk_bytes = chunk_bytes
        self.lines: List[str] = []
        self.size = 0
        self.tail = ""  # terminator still owed for the last line already sent

    def add(self, line: str) -> None:
        self.lines.append(line)
        self.size += len(line)
        if self.size >= _FLUSH_CHARS:
            self.flush()

    def flush(self, terminate_last: bool = True) -> None:
        if not self.lines:
            if terminate_last and self.tail:
                self._send(self.tail)
                self.tail = ""
            return
        nl = self.newline
        text = self.tail + nl.join(self.lines)
        if terminate_last:
            text += nl
            self.tail = ""
        else:
            self.tail = nl
        self.lines = []
        self.size = 0
        self._send(text)

    def _send(self, text: str) -> None:
        if self.stop.is_set():
            raise _Dropped()
        payload = text.encode("utf-8")
        step = self.chunk_bytes or len(payload)
        for i in range(0, len(payload), step):
            piece = payload[i:i + step]
            self.sock.sendall(b"%x\r\n%s\r\n" % (len(piece), piece))

    def finish(self, trailing_newline: bool) -> None:
        self.flush(terminate_last=trailing_newline)
        self.sock.sendall(b"0\r\n\r\n")


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "ThinkDataOpenAPI/1.0"
    server: "_TCPServer"

    def setup(self) -> None:
        BaseHTTPRequestHandler.setup(self)
        self.server.owner._track(self.connection, True)

    def finish(self) -> None:
        try:
            BaseHTTPRequestHandler.finish(self)
        except OSError:
            pass
        self.server.owner._track(self.connection, False)

    def log_message(self, format: str, *args: Any) -> None:  # keep test output quiet
        pass

    def handle_one_request(self) -> None:
        try:
            BaseHTTPRequestHandler.handle_one_request(self)
        except (_Dropped, OSError):
            self.close_connection = True

    def do_POST(self) -> None:
        self._serve()

    def do_GET(self) -> None:
        self._serve()

    def _read_body(self) -> bytes:
        length = self.headers.get("Content-Length")
        if length is not None:
            return self.rfile.read(int(length))
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            parts: List[bytes] = []
            while True:
                size = int(self.rfile.readline().split(b";", 1)[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(parts)
                parts.append(self.rfile.read(size))
                self.rfile.readline()
        return b""

    def _serve(self) -> None:
        owner = self.server.owner
        body = self._read_body()
        split = urllib.parse.urlsplit(self.path)
        form: Dict[str, str] = {}
        query = split.query if self.command == "GET" else body.decode("utf-8", "replace")
        for key, values in urllib.parse.parse_qs(query, keep_blank_values=True).items():
            form[key] = values[0]
        record: Dict[str, Any] = {
            "method": self.command,
            "path": self.path,
            "headers": dict(self.headers.items()),
            "body": body,
            "form": form,
            "fault": None,
        }
        if split.path != owner.path:
            owner._record(record)
            self._send_simple(404, "text/plain", "no such endpoint: %s\n" % split.path)
            return
        if self.command != "POST":
            owner._record(record)
            self._send_simple(405, "text/plain", "method not allowed\n", [("Allow", "POST")])
            return
        fault = owner._take_fault()
        record["fault"] = fault.kind
        owner._record(record)
        opts = fault.opts
        stop = owner._stop

        if fault.kind == "stall_headers":
            stop.wait(opts["seconds"])
            if stop.is_set():
                raise _Dropped()
        if fault.kind == "http_500":
            page = opts["body"] if opts["body"] is not None else _ERROR_PAGE
            self._send_simple(500, "text/html;charset=UTF-8", page)
            return
        if fault.kind == "redirect":
            self._send_simple(opts["status"], "text/plain", "", [("Location", opts["location"])])
            return
        if fault.kind == "raw":
            self._send_raw(opts)
            return

        status, headers, rows = owner._answer(form)
        self.connection.sendall(
            b"HTTP/1.1 200 OK\r\n"
            b"Content-Type: application/json;charset=UTF-8\r\n"
            b"Transfer-Encoding: chunked\r\n\r\n"
        )
        writer = _BodyWriter(self.connection, stop, opts["newline"], opts["chunk_bytes"])
        if fault.kind == "empty_body":
            self.connection.sendall(b"0\r\n\r\n")
            return
        self._write_lines(writer, fault, status, rows)

    def _write_lines(self, writer: _BodyWriter, fault: _Fault, status: Dict[str, Any],
                     rows: Optional[Iterable[Sequence[Any]]]) -> None:
        opts = fault.opts
        extra = fault.extra
        kind = fault.kind
        bad_at = opts["position"] if kind == "bad_line" else -1
        hold_after = opts["after_rows"] if kind in ("stall_body", "drop") else -1
        marked = set(extra)
        if bad_at >= 0:
            marked.add(bad_at)
        add = writer.add
        encode = _encode

        def emit_marked(position: int, line: Optional[str]) -> None:
            for text in extra.get(position, ()):
                add(text)
            if position == bad_at:
                add(opts["text"])
                if opts["replace"]:
                    return
            if line is not None:
                add(line)

        if 0 in marked:
            emit_marked(0, encode(status))
        else:
            add(encode(status))
        sent = 0
        if sent == hold_after:
            self._hold(writer, fault)
        if rows is not None:
            if not marked and hold_after < 0:
                # Plain path: nothing to check per row.
                for row in rows:
                    add(encode(row))
            else:
                for row in rows:
                    sent += 1
                    if sent in marked:
                        emit_marked(sent, encode(row))
                    else:
                        add(encode(row))
                    if sent == hold_after:
                        self._hold(writer, fault)
        for position in sorted(p for p in marked if p > sent):
            emit_marked(position, None)
        if hold_after > sent:
            self._hold(writer, fault)
        writer.finish(opts["trailing_newline"])

    def _hold(self, writer: _BodyWriter, fault: _Fault) -> None:
        """Stall and/or drop after the rows sent so far."""
        writer.flush()
        opts = fault.opts
        stop = self.server.owner._stop
        if fault.kind == "stall_body":
            stop.wait(opts["seconds"])
            if stop.is_set():
                raise _Dropped()
            if opts["then"] == "continue":
                return
        self._drop(fault.kind == "drop" and opts["how"] == "rst")

    def _drop(self, reset: bool) -> None:
        sock = self.connection
        self.close_connection = True
        if reset:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        else:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        sock.close()
        raise _Dropped()

    def _send_raw(self, opts: Dict[str, Any]) -> None:
        reason = self.responses.get(opts["status"], ("",))[0]
        self.connection.sendall(
            b"HTTP/1.1 %d %s\r\n"
            b"Content-Type: application/json;charset=UTF-8\r\n" % (opts["status"], reason.encode("latin-1")))
        payload = bytes(opts["body"])
        if opts["encoding"] == "gzip":
            payload = gzip.compress(payload, mtime=0)
            self.connection.sendall(b"Content-Encoding: gzip\r\n")
        if opts["length"] is not None:
            length = len(payload) if opts["length"] == -1 else opts["length"]
            self.connection.sendall(b"Content-Length: %d\r\n\r\n%s" % (length, payload))
            if opts["seconds"]:
                self.server.owner._stop.wait(opts["seconds"])
            self._drop(opts["how"] == "rst")
        self.connection.sendall(b"Transfer-Encoding: chunked\r\n\r\n")
        if opts["framing"] is not None:
            for k, piece in enumerate(opts["framing"]):
                if k and opts["seconds"] and self.server.owner._stop.wait(opts["seconds"]):
                    break
                self.connection.sendall(bytes(piece))
            self._drop(opts["how"] == "rst")
        step = opts["chunk_bytes"] or len(payload) or 1
        # One send for all the chunks: many tiny writes would wait on Nagle.
        framed = b"".join(b"%x\r\n%s\r\n" % (len(payload[i:i + step]), payload[i:i + step])
                          for i in range(0, len(payload), step))
        if not opts["complete"]:
            self.connection.sendall(framed)
            self._drop(False)
        self.connection.sendall(framed + b"0\r\n\r\n")

    def _send_simple(self, code: int, ctype: str, text: str,
                     extra_headers: Iterable[Tuple[str, str]] = ()) -> None:
        payload = text.encode("utf-8")
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(payload)))
        for name, value in extra_headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(payload)


class _TCPServer(TLSServing, socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = False
    owner: OpenApiServer
    def handle_error(self, request: Any, client_address: Any) -> None:
        # Broken and reset connections are part of the job; anything else is a bug.
        if not isinstance(sys.exc_info()[1], (OSError, _Dropped)):
            socketserver.TCPServer.handle_error(self, request, client_address)


# The rows of a result: JSON-ready lists, or a callable that returns a fresh
# iterable of them for each request.
Rows = Union[Iterable[Sequence[Any]], Callable[[], Iterable[Sequence[Any]]]]


class OpenApiServer(object):
    """OpenAPI query endpoint on 127.0.0.1; see the module docstring."""

    def __init__(self, token: str = "test-token", path: str = "/querySql", tls: bool = False) -> None:
        self.token = token
        self.path = path
        self.tls = tls
        self._certificates: Optional[ServerCertificates] = None
        self.requests: List[Dict[str, Any]] = []
        self._results: Dict[str, Tuple[int, str, Optional[List[str]], Optional[Rows]]] = {}
        self._faults: List[_Fault] = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._conns: Dict[socket.socket, threading.Thread] = {}  # connection socket -> handler thread
        self._server: Optional[_TCPServer] = None
        self._thread: Optional[threading.Thread] = None

    # -- lifecycle ---------------------------------------------------------
    def start(self) -> "OpenApiServer":
        if self._server is not None:
            return self
        self._stop.clear()
        server = _TCPServer(("127.0.0.1", 0), _Handler)
        server.owner = self
        if self.tls:
            self._certificates = server.certificates = ServerCertificates("thinkdata-openapi")
        self._server = server
        self._thread = threading.Thread(
            target=server.serve_forever, kwargs={"poll_interval": 0.05},
            name="openapi-emulator", daemon=True)
        self._thread.start()
        return self

    def close(self) -> None:
        server = self._server
        if server is None:
            return
        self._stop.set()
        server.shutdown()
        server.server_close()
        with self._lock:
            conns = list(self._conns.items())
        for conn, _ in conns:
            try:
                # The socket's own shutdown: wakes the handler without touching its TLS state.
                socket.socket.shutdown(conn, socket.SHUT_RDWR)
            except OSError:
                pass
        if self._thread is not None:
            self._thread.join(2)
        for _, thread in conns:
            thread.join(1)
        self._server = None
        if self._certificates is not None:
            self._certificates.close()
            self._certificates = None

    def __enter__(self) -> "OpenApiServer":
        return self.start()

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    @property
    def port(self) -> int:
        if self._server is None:
            raise RuntimeError("the server is not running")
        return int(self._server.server_address[1])

    @property
    def url(self) -> str:
        return "%s://127.0.0.1:%d%s" % ("https" if self.tls else "http", self.port, self.path)

    @property
    def ca_file(self) -> str:
        """The CA file that verifies the server's certificate (``tls=True`` only)."""
        if self._certificates is None:
            raise RuntimeError("the server is not running with tls=True")
        return self._certificates.ca_file

    # -- results -----------------------------------------------------------
    def add_result(self, sql: str, headers: Sequence[str], rows: Rows) -> None:
        """Answer ``sql`` (exact text) with these columns and rows.

        ``rows`` is a list of JSON-ready values (``None`` is sent as ``null``)
        or a zero-argument callable returning a fresh iterable per request.
        """
        self._results[sql] = (0, "success", list(headers), rows)

    def add_sample(self, sql: str, count: int, seed: int = 7) -> None:
        """Answer ``sql`` with ``data.sample_rows(count, seed)`` under ``data.HEADERS``."""
        self.add_result(sql, _data.HEADERS, lambda: _data.sample_rows(count, seed))

    def add_error(self, sql: str, message: str, code: int = -1) -> None:
        """Answer ``sql`` with a failed status line (``data`` null, no rows)."""
        self._results[sql] = (code, message, None, None)

    # -- faults ------------------------------------------------------------
    def set_fault(self, kind: Optional[str] = None, times: Optional[int] = 1, **options: Any) -> "_Fault":
        fault = _Fault(kind, times, options)
        with self._lock:
            self._faults.append(fault)
        return fault

    def clear_faults(self) -> None:
        with self._lock:
            del self._faults[:]

    # -- internals ---------------------------------------------------------
    def _take_fault(self) -> "_Fault":
        with self._lock:
            if not self._faults:
                return _PLAIN
            fault = self._faults[0]
            if fault.times is not None:
                fault.times -= 1
                if fault.times == 0:
                    self._faults.pop(0)
            return fault

    def _record(self, record: Dict[str, Any]) -> None:
        with self._lock:
            self.requests.append(record)

    def _track(self, conn: socket.socket, add: bool) -> None:
        with self._lock:
            if add:
                self._conns[conn] = threading.current_thread()
            else:
                self._conns.pop(conn, None)
        if add and self._stop.is_set():
            # Accepted while closing: do not leave it waiting for a request.
            try:
                socket.socket.shutdown(conn, socket.SHUT_RDWR)
            except OSError:
                pass

    def _answer(self, form: Dict[str, str]) -> Tuple[Dict[str, Any], Optional[List[str]], Optional[Iterable[Sequence[Any]]]]:
        """Return ``(status, headers, rows_iterable_or_None)`` for a query form."""
        if form.get("token") != self.token:
            return _failure(-1, "token invalid"), None, None
        sql = form.get("sql")
        if not sql:
            return _failure(-1, "sql is empty"), None, None
        try:
            code, message, headers, rows = self._results[sql]
        except KeyError:
            return _failure(-1, "query failed: no table or view matches the sql: %s" % sql), None, None
        if code != 0:
            return _failure(code, message), None, None
        if callable(rows):
            rows = rows()
        status: Dict[str, Any] = {"return_code": 0, "return_message": message, "data": {"headers": headers}}
        return status, headers, rows


def _failure(code: int, message: str) -> Dict[str, Any]:
    return {"return_code": code, "return_message": message, "data": None}
