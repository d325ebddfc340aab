"""Loopback emulator of a Presto coordinator's statement REST protocol.

The real ``pyhive.presto`` client (over ``requests``) runs queries against
it::

    with PrestoServer(page_rows=10000) as server:
        server.load_sample("sample", 1000)
        conn = presto.connect(host=server.host, port=server.port, ...)

Queries run for real on an in-memory sqlite3 database.  ``POST
/v1/statement`` answers with the columns and the first page of rows at
once; every further page is one ``GET`` of the absolute ``nextUri``.  Each
page is read from a sqlite cursor kept per query, so a result is never
held as JSON in one piece.

Paging and pyhive: pyhive only sleeps (``poll_interval``, one second) when
a response leaves it with no buffered rows while ``nextUri`` is still set.
Every page we send carries rows (the last page carries the remainder and
no ``nextUri``; an empty result is a single response without ``data``), so
no sleep ever happens, whatever ``page_rows`` and the client's fetch size
are.  Keep ``page_rows`` at or above the fetch size all the same: a
fetch then costs at most one HTTP round trip.

Faults are planned per attempt (one attempt = one ``POST /v1/statement``)
with :meth:`PrestoServer.plan`; see :class:`Fault` for the kinds.

Cancels: a ``DELETE`` of a query's ``nextUri`` (what ``Cursor.cancel()``
sends) stops the query if it still runs, and its id is noted in
``cancels`` either way; ``running`` lists the
queries that still have pages to send, that is, those that neither ran to
their last page nor were cancelled or failed.  ``cancel_delay`` holds each
cancel that long before it is answered (a coordinator too busy to answer).

sqlite stores booleans as 0/1; they are turned back into ``true``/``false``
by the declared column type.  ``date``/``timestamp`` values are stored and
returned as text, the way Presto renders them (``datetime`` objects are
formatted as ``YYYY-MM-DD`` / ``YYYY-MM-DD HH:MM:SS.mmm`` on load).
Table names may be written bare, as ``schema.table`` or as
``catalog.schema.table`` (the catalog and schema sent by the client).
"""
from __future__ import annotations

import base64
import collections
import datetime
import decimal
import json
import re
import socket
import sqlite3
import struct
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import TracebackType
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Set, Tuple, Type, Union

from . import data as _data

__all__ = ["Fault", "FAULT_KINDS", "PrestoServer", "RecordedRequest"]

FAULT_KINDS = ("stall_headers", "stall_body", "drop", "http_500", "query_error")

RecordedRequest = collections.namedtuple(
    "RecordedRequest", ["method", "path", "headers", "body"])
RecordedRequest.__doc__ = """One request as received: ``headers`` is a dict
with the header names as sent, ``body`` the decoded text ('' if none)."""

# Presto type name (without parameters) -> sqlite column affinity.
_AFFINITY = {
    "bigint": "INTEGER", "integer": "INTEGER", "smallint": "INTEGER",
    "tinyint": "INTEGER", "boolean": "INTEGER",
    "double": "REAL", "real": "REAL",
    "varbinary": "BLOB",
}
_STATEMENT_PATH = re.compile(r"^/v1/statement/([^/]+)(?:/(\d+))?/?$")
_LITERAL = re.compile(r"('(?:[^']|'')*')")
_LOCATION = re.compile(r"line (\d+):(\d+): ")


def _base_type(presto_type: str) -> str:
    return presto_type.split("(")[0].strip().lower()


def _quote(identifier: object) -> str:
    return '"%s"' % str(identifier).replace('"', '""')


class Fault(object):
    """A fault injected into one page of one attempt.

    ``page``: 0 is the ``POST`` response, 1 the first ``nextUri`` GET, ...
    (a page the result never reaches is never faulted).  Kinds:

    ``stall_headers``
        wait ``seconds`` (default 5) before the status line.  After the
        stall (if the client is still there) the page is sent normally, so
        a stall shorter than the read time-out only slows the query down.
    ``stall_body``
        send the headers (``Content-Length`` of the full body) and
        ``send_bytes`` bytes of the body (default: half), wait ``seconds``,
        then send the rest.
    ``drop``
        write ``send_bytes`` bytes of the response (status line and headers
        included; default: headers plus half the body) and close the
        connection.  ``reset=True`` closes with a TCP reset instead of a
        FIN (which of the client's errors follows is then a race).

    ``chunked`` frames the body of ``stall_body``/``drop`` with
    ``Transfer-Encoding: chunked`` instead of ``Content-Length``; by
    default ``drop`` is chunked (as a coordinator streams a large page) and
    ``stall_body`` is not.  The difference shows after a drop: urllib3 1.26
    does not check ``Content-Length``, so a short fixed-length body reaches
    the JSON parser, while a cut chunked body is a broken connection.
    ``http_500``
        answer HTTP 500 with a text body (``message``).
    ``query_error``
        answer with a Presto error object (``message``, ``error_name``).

    Every kind except the stalls abandons the query.  Stalls end at once
    when the server closes.
    """

    def __init__(self, kind: str, page: int = 0, seconds: float = 5.0, send_bytes: Optional[int] = None,
                 reset: bool = False, chunked: Optional[bool] = None, message: Optional[str] = None,
                 error_name: str = "GENERIC_INTERNAL_ERROR") -> None:
        if kind not in FAULT_KINDS:
            raise ValueError("unknown fault kind %r (expected one of %s)"
                             % (kind, ", ".join(FAULT_KINDS)))
        self.kind = kind
        self.page = int(page)
        self.seconds = float(seconds)
        self.send_bytes = send_bytes
        self.reset = bool(reset)
        self.chunked = (kind == "drop") if chunked is None else bool(chunked)
        self.message = message
        self.error_name = error_name

    @classmethod
    def coerce(cls, value: Union[Fault, str, Dict[str, Any], None]) -> Optional[Fault]:
        """Accept a Fault, a kind name, a dict of Fault arguments or None."""
        if value is None or isinstance(value, cls):
            return value
        if isinstance(value, str):
            return cls(value)
        if isinstance(value, dict):
            return cls(**value)
        raise TypeError("cannot make a Fault of %r" % (value,))

    def __repr__(self) -> str:
        default = Fault(self.kind)
        extra = "".join(", %s=%r" % (k, getattr(self, k)) for k in
                        ("page", "seconds", "send_bytes", "reset", "chunked", "message")
                        if getattr(self, k) != getattr(default, k))
        return "Fault(%r%s)" % (self.kind, extra)


class _Query(object):
    """Server-side state of one statement: a sqlite cursor read page by page."""

    def __init__(self, qid: str, attempt: int, fault: Optional[Fault]) -> None:
        self.qid = qid
        self.attempt = attempt
        self.fault = fault
        self.cursor: Optional[sqlite3.Cursor] = None
        self.columns: Optional[List[Dict[str, Any]]] = None  # Presto column dicts
        self.fixers: Tuple[Tuple[int, Callable[[Any], Any]], ...] = ()  # applied to each row
        self.peek: Any = None    # first row of the next page, if any
        self.pending: Optional[Tuple[List[Any], bool]] = None  # first page held back (queue_first)
        self.next_token = 1
        self.served: Tuple[Optional[int], Optional[bytes]] = (None, None)  # (token, body) of the last page sent
        self.rows_sent = 0

    def close(self) -> None:
        if self.cursor is not None:
            try:
                self.cursor.close()
            except sqlite3.Error:
                pass
            self.cursor = None


class _HTTPServer(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64
    emulator: PrestoServer

    def handle_error(self, request: Any, client_address: Any) -> None:
        # Clients that time out and hang up are business as usual here.
        pass


class _Handler(BaseHTTPRequestHandler):
    server_version = "korvane-presto"
    protocol_version = "HTTP/1.1"
    server: _HTTPServer

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def setup(self) -> None:
        BaseHTTPRequestHandler.setup(self)
        self.server.emulator._track(self.connection, True)

    def finish(self) -> None:
        try:
            BaseHTTPRequestHandler.finish(self)
        finally:
            self.server.emulator._track(self.connection, False)

    def _dispatch(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        emu = self.server.emulator
        emu._record(RecordedRequest(self.command, self.path, dict(self.headers.items()),
                                    body.decode("utf-8", "replace")))
        self.close_connection = True
        emu._handle(self, self.command, self.path, body)

    do_GET = do_POST = do_DELETE = do_PUT = do_HEAD = _dispatch

    # -- response writing ---------------------------------------------------

    def _head(self, status: int, content_type: Optional[str], length: int, chunked: bool = False,
              headers: Optional[Dict[str, str]] = None) -> bytes:
        reason = self.responses.get(status, ("",))[0]
        lines = ["HTTP/1.1 %d %s" % (status, reason),
                 "Server: %s" % self.server_version,
                 "Date: %s" % self.date_time_string(),
                 "Connection: close"]
        lines += ["%s: %s" % item for item in (headers or {}).items()]
        if content_type:
            lines.append("Content-Type: %s" % content_type)
        if chunked:
            lines.append("Transfer-Encoding: chunked")
        else:
            lines.append("Content-Length: %d" % length)
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")

    def _write(self, payload: bytes) -> bool:
        try:
            self.wfile.write(payload)
            self.wfile.flush()
            return True
        except OSError:
            return False

    def _abort(self, reset: bool = False) -> None:
        """Close the connection now, without finishing the response."""
        self.close_connection = True
        try:
            if reset:
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                           struct.pack("ii", 1, 0))
                # The descriptor really closes when finish() closes the
                # socket files; with zero linger that sends the reset.
                self.connection.close()
            else:
                self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def send(self, status: int, body: bytes, content_type: Optional[str] = "application/json; charset=utf-8",
             fault: Optional[Fault] = None, headers: Optional[Dict[str, str]] = None) -> None:
        emu = self.server.emulator
        if fault is None:
            self._write(self._head(status, content_type, len(body), headers=headers) + body)
            return None
        kind = fault.kind
        if kind == "stall_headers":
            if emu._stall(fault.seconds):
                return self._abort()
        chunked = fault.chunked
        head = self._head(status, content_type, len(body), chunked)
        if chunked:
            head += b"%x\r\n" % len(body)
            body += b"\r\n0\r\n\r\n"
        if kind == "drop":
            whole = head + body
            n = fault.send_bytes
            if n is None:
                n = len(head) + len(body) // 2
            if n and not self._write(whole[:n]):
                return None
            return self._abort(reset=fault.reset)
        if kind == "stall_body":
            n = fault.send_bytes
            if n is None:
                n = max(1, len(body) // 2)
            if not self._write(head + body[:n]):
                return None
            if emu._stall(fault.seconds):
                return self._abort()
            self._write(body[n:])
            return None
        self._write(head + body)
        return None


class PrestoServer(object):
    """A Presto coordinator on 127.0.0.1 (ephemeral port), serving at once.

    ``page_rows``: rows per result page (see the module notes on fetch
    sizes).  Attributes: ``host``, ``port``, ``url``, ``requests`` (list of
    :class:`RecordedRequest`, DELETEs included), ``attempts`` (POSTs seen),
    ``cancels`` (query ids named by DELETEs, in order),
    ``running`` (ids of the queries still running), ``cancel_delay``
    (seconds each DELETE waits before its answer; 0 by default).

    ``queue_first``: answer each ``POST`` as a busy coordinator does, with
    the query queued and only a ``nextUri``; the columns and the first page
    come with the first ``GET``.  presto-python-client reads the columns
    (``description``) only from such later answers, so it needs this for a
    result of one page; pyhive then sleeps ``poll_interval`` once per
    query.  By default the ``POST`` answer carries the first page.

    ``page_headers``: extra response headers by page (0 is the ``POST``
    answer) of every attempt, e.g. ``{1: {"X-Presto-Set-Session": "a=1"}}``.
    ``on_request``: called with each :class:`RecordedRequest` as it
    arrives, in the server's thread, before it is answered.
    """

    def __init__(self, page_rows: int = 10000, queue_first: bool = False) -> None:
        if int(page_rows) < 1:
            raise ValueError("page_rows must be at least 1")
        self.page_rows = int(page_rows)
        self.queue_first = bool(queue_first)
        self.requests: List[RecordedRequest] = []
        self._attempts = 0
        self._plan: Dict[int, Fault] = {}  # attempt index -> Fault
        self.cancels: List[str] = []
        self.cancel_delay: float = 0
        self.page_headers: Dict[int, Dict[str, str]] = {}
        self.on_request: Optional[Callable[[RecordedRequest], None]] = None
        self._state_lock = threading.Lock()
        self._db_lock = threading.Lock()
        self._db = sqlite3.connect(":memory:", check_same_thread=False,
                                   isolation_level=None)
        self._tables: Dict[str, List[Tuple[str, str]]] = {}  # lower-case name -> [(column, presto_type)]
        self._queries: Dict[str, _Query] = {}
        self._connections: Set[socket.socket] = set()
        self._stop = threading.Event()
        self._closed = False
        self._httpd = _HTTPServer(("127.0.0.1", 0), _Handler)
        self._httpd.emulator = self
        self._thread = threading.Thread(target=self._httpd.serve_forever,
                                        kwargs={"poll_interval": 0.05},
                                        name="korvane-presto", daemon=True)
        self._thread.start()

    # -- public API ---------------------------------------------------------

    @property
    def host(self) -> str:
        return "127.0.0.1"

    @property
    def port(self) -> int:
        return int(self._httpd.server_address[1])

    @property
    def url(self) -> str:
        return "http://127.0.0.1:%d" % self.port

    @property
    def attempts(self) -> int:
        with self._state_lock:
            return self._attempts

    @property
    def running(self) -> List[str]:
        with self._state_lock:
            return sorted(self._queries)

    def plan(self, faults: Iterable[Union[Fault, str, Dict[str, Any], None]]) -> None:
        """Set the faults of the next attempts, counted from the attempts
        already seen: ``faults[i]`` applies to the i-th coming POST (None,
        a kind name, a dict of :class:`Fault` arguments or a Fault); later
        attempts have none."""
        planned = [Fault.coerce(f) for f in faults]
        with self._state_lock:
            self._plan = {self._attempts + i: f for i, f in enumerate(planned) if f is not None}

    def load_table(self, name: str, columns: Iterable[Tuple[str, str]], rows: Iterable[Sequence[Any]]) -> None:
        """(Re)create table ``name`` with ``columns`` [(name, presto_type)]
        and insert ``rows`` (any iterable of sequences)."""
        typed = [(str(c), str(t).strip().lower()) for c, t in columns]
        if not typed:
            raise ValueError("a table needs at least one column")
        ddl = ", ".join("%s %s" % (_quote(c), _AFFINITY.get(_base_type(t), "TEXT"))
                        for c, t in typed)
        fixers = [(i, _INPUT[_base_type(t)]) for i, (c, t) in enumerate(typed)
                  if _base_type(t) in _INPUT]
        if fixers:
            rows = (_fix_row(r, fixers) for r in rows)
        insert = "INSERT INTO %s VALUES (%s)" % (_quote(name), ", ".join("?" * len(typed)))
        with self._db_lock:
            if name.lower() in self._tables:
                # Open statements would keep DROP TABLE from running.
                with self._state_lock:
                    for q in self._queries.values():
                        q.close()
            self._db.execute("DROP TABLE IF EXISTS %s" % _quote(name))
            self._db.execute("CREATE TABLE %s (%s)" % (_quote(name), ddl))
            self._db.execute("BEGIN")
            try:
                self._db.executemany(insert, rows)
            except BaseException:
                self._db.execute("ROLLBACK")
                raise
            self._db.execute("COMMIT")
            self._tables[name.lower()] = typed

    def load_sample(self, name: str, count: int, seed: int = 7) -> None:
        """Load ``data.sample_rows(count, seed)`` as table ``name``."""
        self.load_table(name, list(zip(_data.HEADERS, _data.PRESTO_TYPES)),
                        _data.sample_rows(count, seed))

    def close(self) -> None:
        """Stop serving; interrupts stalls and drops open connections."""
        with self._state_lock:
            if self._closed:
                return
            self._closed = True
            connections = list(self._connections)
        self._stop.set()
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(5)
        with self._db_lock:
            with self._state_lock:
                for q in self._queries.values():
                    q.close()
                self._queries.clear()
            self._db.close()

    def __enter__(self) -> PrestoServer:
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    # -- internals ----------------------------------------------------------

    def _track(self, conn: socket.socket, add: bool) -> None:
        with self._state_lock:
            if add:
                self._connections.add(conn)
            else:
                self._connections.discard(conn)

    def _record(self, request: RecordedRequest) -> None:
        with self._state_lock:
            self.requests.append(request)
        if self.on_request is not None:
            self.on_request(request)

    def _stall(self, seconds: float) -> bool:
        """Wait; True if the server is closing meanwhile."""
        return self._stop.wait(seconds)

    def _handle(self, handler: _Handler, method: str, path: str, body: bytes) -> None:
        path = path.split("?", 1)[0]
        if method == "POST" and path.rstrip("/") == "/v1/statement":
            return self._post(handler, body.decode("utf-8"))
        m = _STATEMENT_PATH.match(path)
        if m and method == "GET" and m.group(2) is not None:
            return self._get(handler, m.group(1), int(m.group(2)))
        if m and method == "DELETE":
            with self._state_lock:
                self.cancels.append(m.group(1))
            if self.cancel_delay and self._stall(self.cancel_delay):
                return handler._abort()
            with self._state_lock:
                query = self._queries.pop(m.group(1), None)
            if query is not None:
                with self._db_lock:
                    query.close()
            return handler.send(204, b"", content_type=None)
        if method == "GET" and path == "/v1/info":
            return handler.send(200, _json({
                "nodeVersion": {"version": "0.250-korvane"}, "environment": "test",
                "coordinator": True, "starting": False, "uptime": "1.00m"}))
        return handler.send(404, b"not found\n", content_type="text/plain")

    def _post(self, handler: _Handler, sql: str) -> None:
        with self._state_lock:
            attempt = self._attempts
            self._attempts += 1
            fault = self._plan.pop(attempt, None)
            qid = "%s_%05d_%s" % (time.strftime("%Y%m%d_%H%M%S", time.gmtime()),
                                  attempt, uuid.uuid4().hex[:5])
        query = _Query(qid, attempt, fault)
        # Presto's clients send X-Presto-* headers, Trino's X-Trino-*.
        catalog = _session_header(handler, "Catalog") or "hive"
        schema = _session_header(handler, "Schema") or "default"
        with self._db_lock:
            try:
                rows, more = self._start(query, _unqualify(sql, catalog, schema))
                if self.queue_first:
                    query.pending = (rows, more)
                    more = True
                    body = self._queued_body(query)
                else:
                    body = self._page_body(query, 0, rows, more)
            except (sqlite3.Error, ValueError) as exc:
                query.close()
                more = False
                body = self._error_body(query, str(exc), "SYNTAX_ERROR" if isinstance(
                    exc, sqlite3.OperationalError) else "GENERIC_USER_ERROR")
        if more:
            with self._state_lock:
                self._queries[qid] = query
        return self._deliver(handler, query, 0, body)

    def _get(self, handler: _Handler, qid: str, token: int) -> None:
        with self._state_lock:
            query = self._queries.get(qid)
        if query is None:
            return handler.send(410, b"query is gone\n", content_type="text/plain")
        repeat = None
        more = True
        with self._db_lock:
            served_token, served_body = query.served
            if token == served_token:
                # A repeated GET of the same page gets the same answer.
                repeat = served_body
            elif token != query.next_token or (query.cursor is None and query.pending is None):
                repeat = b""
            else:
                try:
                    if query.pending is not None:
                        (rows, more), query.pending = query.pending, None
                    else:
                        rows, more = self._next_page(query)
                    body = self._page_body(query, token, rows, more)
                except sqlite3.Error as exc:
                    query.close()
                    more = False
                    body = self._error_body(query, str(exc))
                query.next_token += 1
        if repeat is not None:
            if repeat:
                return handler.send(200, repeat)
            return handler.send(404, b"no such page\n", content_type="text/plain")
        if not more:
            with self._state_lock:
                self._queries.pop(qid, None)
        return self._deliver(handler, query, token, body)

    def _deliver(self, handler: _Handler, query: _Query, page: int, body: bytes) -> None:
        fault = query.fault
        if fault is None or fault.page != page:
            query.served = (page, body)
            return handler.send(200, body, headers=self.page_headers.get(page))
        query.fault = None
        if fault.kind in ("stall_headers", "stall_body"):
            query.served = (page, body)
            return handler.send(200, body, fault=fault)
        self._abandon(query)
        if fault.kind == "http_500":
            text = fault.message or "Internal Server Error (injected)"
            return handler.send(500, (text + "\n").encode("utf-8"),
                                content_type="text/plain; charset=utf-8")
        if fault.kind == "query_error":
            body = self._error_body(query, fault.message or "Query failed (injected)",
                                    fault.error_name, "INTERNAL_ERROR")
            return handler.send(200, body)
        return handler.send(200, body, fault=fault)   # drop

    def _abandon(self, query: _Query) -> None:
        with self._state_lock:
            self._queries.pop(query.qid, None)
        with self._db_lock:
            query.close()

    # -- sqlite side (callers hold _db_lock) ---------------------------------

    def _start(self, query: _Query, sql: str) -> Tuple[List[Any], bool]:
        if self._closed:
            raise ValueError("server is closing")
        cursor = self._db.cursor()
        query.cursor = cursor
        cursor.execute(sql)
        if cursor.description is None:
            # A statement without a result set: report the row count.
            query.columns = [_column("rows", "bigint")]
            query.close()
            return [[max(cursor.rowcount, 0)]], False
        first = cursor.fetchmany(self.page_rows)
        types = self._result_types(sql, [d[0] for d in cursor.description], first)
        query.columns = [_column(d[0], t) for d, t in zip(cursor.description, types)]
        query.fixers = tuple((i, _OUTPUT[_base_type(t)]) for i, t in enumerate(types)
                             if _base_type(t) in _OUTPUT)
        query.peek = cursor.fetchone()
        more = query.peek is not None
        if not more:
            query.close()
        return self._fix(query, first), more

    def _next_page(self, query: _Query) -> Tuple[List[Any], bool]:
        assert query.cursor is not None  # a query with a next page keeps its cursor
        rows = [query.peek]
        rows.extend(query.cursor.fetchmany(self.page_rows - 1))
        query.peek = query.cursor.fetchone()
        more = query.peek is not None
        if not more:
            query.close()
        return self._fix(query, rows), more

    @staticmethod
    def _fix(query: _Query, rows: List[Any]) -> List[Any]:
        if not query.fixers:
            return rows
        return [_fix_row(r, query.fixers) for r in rows]

    def _result_types(self, sql: str, names: List[str], rows: List[Any]) -> List[str]:
        """Presto types of the result columns: the declared type of a loaded
        column of that name (tables named in the query first), else a type
        guessed from the values."""
        lowered = sql.lower()
        named = [t for t in self._tables
                 if re.search(r"(?<![\w$])%s(?![\w$])" % re.escape(t), lowered)]
        others = [t for t in self._tables if t not in named]
        types = []
        for i, name in enumerate(names):
            found = None
            for table in named + others:
                for column, presto_type in self._tables[table]:
                    if column.lower() == name.lower():
                        found = presto_type
                        break
                if found:
                    break
            if found is None:
                found = _guess_type(r[i] for r in rows)
            types.append(found)
        return types

    def _page_body(self, query: _Query, page: int, rows: List[Any], more: bool) -> bytes:
        query.rows_sent += len(rows)
        doc: Dict[str, Any] = collections.OrderedDict()
        doc["id"] = query.qid
        doc["infoUri"] = "%s/ui/query.html?%s" % (self.url, query.qid)
        if more:
            doc["nextUri"] = "%s/v1/statement/%s/%d" % (self.url, query.qid, page + 1)
        doc["columns"] = query.columns
        if rows:
            doc["data"] = rows
        doc["stats"] = _stats("RUNNING" if more else "FINISHED", query.rows_sent)
        return _json(doc)

    def _queued_body(self, query: _Query) -> bytes:
        return _json(collections.OrderedDict([
            ("id", query.qid),
            ("infoUri", "%s/ui/query.html?%s" % (self.url, query.qid)),
            ("nextUri", "%s/v1/statement/%s/1" % (self.url, query.qid)),
            ("stats", _stats("QUEUED", 0)),
        ]))

    def _error_body(self, query: _Query, message: str, name: str = "SYNTAX_ERROR", error_type: str = "USER_ERROR") -> bytes:
        code = {"GENERIC_USER_ERROR": 0, "SYNTAX_ERROR": 1}.get(name, 65536)
        error: Dict[str, Any] = collections.OrderedDict([
            ("message", message),
            ("errorCode", code),
            ("errorName", name),
            ("errorType", error_type),
        ])
        # A message that begins "line L:C: " has a place in the query, which
        # a coordinator also sends as errorLocation.
        where = _LOCATION.match(message)
        if where:
            error["errorLocation"] = {"lineNumber": int(where.group(1)), "columnNumber": int(where.group(2))}
        error["failureInfo"] = {"type": "com.facebook.presto.spi.PrestoException",
                                "message": message, "suppressed": [], "stack": []}
        return _json(collections.OrderedDict([
            ("id", query.qid),
            ("infoUri", "%s/ui/query.html?%s" % (self.url, query.qid)),
            ("stats", _stats("FAILED", query.rows_sent)),
            ("error", error),
        ]))


# -- value conversion ---------------------------------------------------------

def _date_text(value: Any) -> Any:
    if isinstance(value, datetime.datetime):
        return value.date().isoformat()
    if isinstance(value, datetime.date):
        return value.isoformat()
    return value


def _timestamp_text(value: Any) -> Any:
    if isinstance(value, datetime.datetime):
        return value.strftime("%Y-%m-%d %H:%M:%S.") + "%03d" % (value.microsecond // 1000)
    if isinstance(value, datetime.date):
        return value.isoformat() + " 00:00:00.000"
    return value


def _decimal_text(value: Any) -> Any:
    if isinstance(value, (decimal.Decimal, int, float)):
        return str(value)
    return value


# Applied on load (sqlite would store these badly or not at all).
# Arrays, maps and rows are kept as JSON text and sent as JSON values, as a
# coordinator sends them (map keys become strings).
_INPUT: Dict[str, Callable[[Any], Any]] = {
    "date": _date_text, "timestamp": _timestamp_text, "decimal": _decimal_text,
    "array": json.dumps, "map": json.dumps, "row": json.dumps,
}
# Applied on the way out, by declared type.
_OUTPUT: Dict[str, Callable[[Any], Any]] = {
    "boolean": bool,
    "varbinary": lambda v: base64.b64encode(v).decode("ascii") if isinstance(v, bytes) else v,
    "array": json.loads, "map": json.loads, "row": json.loads,
}


def _fix_row(row: Sequence[Any], fixers: Iterable[Tuple[int, Callable[[Any], Any]]]) -> List[Any]:
    fixed = list(row)
    for i, fix in fixers:
        if fixed[i] is not None:
            fixed[i] = fix(fixed[i])
    return fixed


def _guess_type(values: Iterable[Any]) -> str:
    for v in values:
        if isinstance(v, bool):
            return "boolean"
        if isinstance(v, int):
            return "bigint"
        if isinstance(v, float):
            return "double"
        if isinstance(v, bytes):
            return "varbinary"
        if v is not None:
            return "varchar"
    return "varchar"


def _column(name: str, presto_type: str) -> Dict[str, Any]:
    return collections.OrderedDict([
        ("name", name),
        ("type", presto_type),
        ("typeSignature", _type_signature(presto_type)),
    ])


# The parameters a coordinator gives a type written without them: an
# unbounded varchar has the length 2147483647, char is char(1), decimal is
# decimal(38,0), and times and timestamps have the precision 3 (milliseconds).
_DEFAULT_PARAMETERS = {
    "varchar": [2147483647], "char": [1], "decimal": [38, 0],
    "time": [3], "time with time zone": [3], "timestamp": [3], "timestamp with time zone": [3],
}


def _split_parameters(text: str) -> List[str]:
    """Split ``a, map(b, c), d`` at its top-level commas."""
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    parts.append(text[start:].strip())
    return [p for p in parts if p]


def _type_signature(presto_type: str) -> Dict[str, Any]:
    """The ``typeSignature`` of a column of type ``presto_type``: lengths,
    precisions and scales as ``LONG`` arguments, the element, key and value
    types of arrays and maps as ``TYPE`` arguments, and the fields of a row
    as ``NAMED_TYPE`` arguments.  ``typeArguments`` and ``literalArguments``
    are the older clients' view of the same: the type arguments, and a
    row's field names."""
    text = presto_type.strip()
    raw, _, rest = text.partition("(")
    raw = raw.strip().lower()
    params = _split_parameters(rest[:rest.rfind(")")]) if rest else []
    arguments: List[Dict[str, Any]] = []
    type_arguments: List[Dict[str, Any]] = []
    literal_arguments: List[str] = []
    if raw in ("array", "map"):
        for param in params:
            signature = _type_signature(param)
            arguments.append({"kind": "TYPE", "value": signature})
            type_arguments.append(signature)
    elif raw == "row":
        for param in params:
            field, _, field_type = param.partition(" ")
            signature = _type_signature(field_type)
            delimited = field.startswith('"')
            field = field.strip('"')
            arguments.append({"kind": "NAMED_TYPE", "value": {
                "fieldName": {"name": field, "delimited": delimited},
                "typeSignature": signature}})
            type_arguments.append(signature)
            literal_arguments.append(field)
    else:
        values = [int(p) for p in params if p.isdigit()] or _DEFAULT_PARAMETERS.get(raw, [])
        arguments = [{"kind": "LONG", "value": v} for v in values]
    return collections.OrderedDict([
        ("rawType", raw), ("typeArguments", type_arguments),
        ("literalArguments", literal_arguments), ("arguments", arguments),
    ])


def _session_header(handler: BaseHTTPRequestHandler, name: str) -> Optional[str]:
    return handler.headers.get("X-Presto-" + name) or handler.headers.get("X-Trino-" + name)


def _stats(state: str, rows: int) -> Dict[str, Any]:
    return collections.OrderedDict([
        ("state", state), ("queued", state == "QUEUED"), ("scheduled", state != "QUEUED"),
        ("nodes", 1), ("totalSplits", 1), ("queuedSplits", 0),
        ("runningSplits", 1 if state == "RUNNING" else 0),
        ("completedSplits", 0 if state == "RUNNING" else 1),
        ("cpuTimeMillis", 0), ("wallTimeMillis", 0), ("queuedTimeMillis", 0),
        ("elapsedTimeMillis", 0), ("processedRows", rows), ("processedBytes", 0),
        ("peakMemoryBytes", 0), ("peakTotalMemoryBytes", 0), ("peakTaskTotalMemoryBytes", 0),
        ("spilledBytes", 0),
        ("progressPercentage", 100.0 if state == "FINISHED" else 0.0),
    ])


def _json(doc: Any) -> bytes:
    return json.dumps(doc, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def _unqualify(sql: str, catalog: str, schema: str) -> str:
    """Drop ``catalog.schema.`` and ``schema.`` qualifiers (outside string
    literals): sqlite knows the tables by their bare names."""
    ident = r'(?:"%s"|%s)'
    pattern = re.compile(
        r"(?<![\w.\"])(?:%s\s*\.\s*)?%s\s*\.\s*(?=[\w\"])"
        % (ident % (re.escape(catalog), re.escape(catalog)),
           ident % (re.escape(schema), re.escape(schema))), re.IGNORECASE)
    parts = _LITERAL.split(sql)
    for i in range(0, len(parts), 2):
        parts[i] = pattern.sub("", parts[i])
    return "".join(parts)
