"""A loopback HTTP server that answers every POST with a body encoded beforehand.

Where :class:`korvane.testing.openapi.OpenApiServer` encodes each row as it
streams it, this server sends bytes that are ready: the status line and the
rows are encoded once, and so is the chunked framing. It suits benchmarks,
where the server must not be the slower side, and tests that need exact raw
lines (malformed ones included) in a response::

    with BodyServer() as server:
        server.put([b'{"return_code":0,"data":{"headers":["x"]}}', b"[1]"])
        ThinkDataQuery(server.url, "t").get_data_csv({}, "select 1")

``put(lines, chunked=True, newline=b"\\n")`` queues one body: each POST takes
the oldest queued body; with none queued, the last one taken is sent again.
``chunked=False`` sends it with a Content-Length header instead of
``Transfer-Encoding: chunked`` (chunks of 64 KiB); ``line_chunks=True`` sends
each line as a chunk of its own. The request body is read
and dropped. ``BodyServer(tls=True)`` serves HTTPS, as
:class:`~korvane.testing.openapi.OpenApiServer` does (``ca_file``).
"""
import collections
import socketserver
import sys
import threading
from http.server import BaseHTTPRequestHandler
from types import TracebackType
from typing import Any, Deque, Iterable, List, Optional, Tuple, Type

from korvane.testing.tls import ServerCertificates, TLSServing

# The headers and the payload of one encoded response.
Encoded = Tuple[List[Tuple[str, str]], bytes]

CHUNK_BYTES = 65536


def encode_body(lines: Iterable[bytes], chunked: bool = True, newline: bytes = b"\n",
                line_chunks: bool = False) -> Encoded:
    """``(headers, payload)`` of a response whose body holds ``lines``."""
    if line_chunks:  # one chunk for each line, as an endpoint that flushes after each row sends it
        parts = [b"%x\r\n" % (len(line) + len(newline)) + line + newline + b"\r\n" for line in lines]
        parts.append(b"0\r\n\r\n")
        return [("Transfer-Encoding", "chunked")], b"".join(parts)
    body = b"".join(line + newline for line in lines)
    if not chunked:
        return [("Content-Length", str(len(body)))], body
    parts = []
    for start in range(0, len(body), CHUNK_BYTES):
        piece = body[start:start + CHUNK_BYTES]
        parts.append(b"%x\r\n" % len(piece) + piece + b"\r\n")
    parts.append(b"0\r\n\r\n")
    return [("Transfer-Encoding", "chunked")], b"".join(parts)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:
        pass

    server: "_TCPServer"

    def do_POST(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        self.rfile.read(length)
        headers, payload = self.server.owner._take()
        self.send_response(200)
        self.send_header("Content-Type", "application/json;charset=UTF-8")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(payload)


class _TCPServer(TLSServing, socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    owner: "BodyServer"
    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client may stop reading and hang up mid-body; anything else is a bug.
        if not isinstance(sys.exc_info()[1], OSError):
            socketserver.TCPServer.handle_error(self, request, client_address)


class BodyServer(object):
    """Answers POSTs on 127.0.0.1 with the bodies queued by :meth:`put`."""

    def __init__(self, tls: bool = False) -> None:
        self._bodies: Deque[Encoded] = collections.deque()
        self._current = encode_body([])
        self._lock = threading.Lock()
        self.tls = tls
        self._server = _TCPServer(("127.0.0.1", 0), _Handler)
        self._server.owner = self
        self._certificates = self._server.certificates = ServerCertificates("thinkdata-openapi") if tls else None
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05}, daemon=True)
        self._thread.start()

    @property
    def port(self) -> int:
        return int(self._server.server_address[1])

    @property
    def url(self) -> str:
        return "%s://127.0.0.1:%d/querySql" % ("https" if self.tls else "http", self.port)

    @property
    def ca_file(self) -> str:
        """The CA file that verifies the server's certificate (``tls=True`` only)."""
        if self._certificates is None:
            raise RuntimeError("the server runs without tls=True")
        return self._certificates.ca_file

    def put(self, lines: Iterable[bytes], chunked: bool = True, newline: bytes = b"\n",
            line_chunks: bool = False) -> None:
        encoded = encode_body(lines, chunked, newline, line_chunks)
        with self._lock:
            self._bodies.append(encoded)

    def _take(self) -> Encoded:
        with self._lock:
            if self._bodies:
                self._current = self._bodies.popleft()
            return self._current

    def close(self) -> None:
        self._server.shutdown()
        self._server.server_close()
        if self._certificates is not None:
            self._certificates.close()

    def __enter__(self) -> "BodyServer":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()
