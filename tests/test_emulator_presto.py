"""The Presto emulator, driven by the real pyhive client over loopback."""
import datetime
import decimal
import threading
import time

import pytest
import requests
import urllib3
from pyhive import exc, presto

from korvane.testing import data
from korvane.testing.presto import Fault, PrestoServer


def run_query(server, sql, fetch_size=3, read_timeout=1):
    """One attempt, used the way the exporter uses pyhive."""
    conn = presto.connect(host=server.host, port=int(server.port), username="ta",
                          catalog="hive", schema="ta",
                          requests_kwargs={"timeout": (30, read_timeout), "stream": True,
                                           "verify": False})
    try:
        cursor = conn.cursor()
        cursor.execute(sql)
        names = [d[0] for d in cursor.description]
        rows = []
        while True:
            batch = cursor.fetchmany(fetch_size)
            if not batch:
                return names, rows
            rows.extend(list(r) for r in batch)
    finally:
        conn.close()


def test_round_trip_keeps_types_and_values():
    columns = [("b", "bigint"), ("i", "integer"), ("d", "double"), ("s", "varchar"),
               ("f", "boolean"), ("day", "date"), ("ts", "timestamp")]
    rows = [[2 ** 62, -7, 0.1, 'ünï, "q"\nline ✓', True, "2024-02-29", "2024-02-29 23:59:59.123"],
            [0, 0, -1e300, "", False, "1970-01-01", "1970-01-01 00:00:00.000"],
            [None] * 7]
    with PrestoServer() as server:
        server.load_table("typed", columns, rows)
        names, got = run_query(server, "SELECT * FROM hive.ta.typed")
        post = server.requests[0]
    assert names == [c for c, _ in columns]
    assert got == rows
    assert [[type(v) for v in r] for r in got] == [[type(v) for v in r] for r in rows]
    assert (post.method, post.path, post.body) == ("POST", "/v1/statement", "SELECT * FROM hive.ta.typed")
    assert [post.headers[h] for h in ("X-Presto-User", "X-Presto-Catalog", "X-Presto-Schema")] \
        == ["ta", "hive", "ta"]


@pytest.mark.parametrize("count, pages", [(0, 1), (1, 1), (6, 2), (7, 3)])
def test_pages_each_carry_rows(count, pages):
    # One request per page and no empty page: pyhive never has to poll.
    with PrestoServer(page_rows=3) as server:
        server.load_sample("sample", count)
        names, got = run_query(server, "SELECT * FROM ta.sample ORDER BY id")
        seen = [(r.method, r.path.rsplit("/", 1)[-1]) for r in server.requests]
    assert names == data.HEADERS
    assert got == list(data.sample_rows(count))
    assert seen == [("POST", "statement")] + [("GET", str(p)) for p in range(1, pages)]


@pytest.mark.parametrize("fault, error, text", [
    (Fault("stall_headers"), requests.exceptions.ReadTimeout, "Read timed out."),
    (Fault("stall_headers", page=2), requests.exceptions.ReadTimeout, "Read timed out."),
    (Fault("stall_body"), requests.exceptions.ConnectionError, "Read timed out."),
    (Fault("stall_body", page=1), requests.exceptions.ConnectionError, "Read timed out."),
    (Fault("drop", page=1), requests.exceptions.ChunkedEncodingError, "Connection broken"),
    # urllib3 2 reports the short body itself; urllib3 1 hands it on, and the JSON is cut.
    (Fault("drop", chunked=False),
     requests.exceptions.ChunkedEncodingError if urllib3.__version__ >= "2" else requests.exceptions.JSONDecodeError,
     ""),
    (Fault("drop", send_bytes=0), requests.exceptions.ConnectionError, "Connection aborted."),
    (Fault("http_500", page=1), exc.OperationalError, "Unexpected status code 500"),
    (Fault("query_error", message="boom"), exc.DatabaseError, "'message': 'boom'"),
], ids=lambda v: repr(v) if isinstance(v, Fault) else getattr(v, "__name__", v))
def test_fault_raises_client_error(fault, error, text):
    with PrestoServer(page_rows=3) as server:
        server.load_sample("sample", 9)
        server.plan([fault])
        with pytest.raises(error) as info:
            run_query(server, "SELECT * FROM sample")
        # The next attempt is unaffected.
        assert run_query(server, "SELECT * FROM sample")[1] == list(data.sample_rows(9))
        assert server.attempts == 2
    assert type(info.value) is error
    assert text in str(info.value)


def test_sqlite_error_is_a_presto_user_error():
    with PrestoServer() as server, pytest.raises(exc.DatabaseError) as info:
        run_query(server, "SELECT * FROM nope")
    error = info.value.args[0]
    assert (error["errorType"], error["message"]) == ("USER_ERROR", "no such table: nope")


def test_plan_stall_then_success():
    with PrestoServer(page_rows=4) as server:
        server.load_sample("sample", 10)
        server.plan(["stall_headers", None])
        with pytest.raises(requests.exceptions.ReadTimeout):
            run_query(server, "SELECT * FROM sample")
        names, got = run_query(server, "SELECT * FROM sample")
        assert got == list(data.sample_rows(10))
        assert [r.method for r in server.requests] == ["POST", "POST", "GET", "GET"]


def test_close_interrupts_a_stall():
    # The client waits longer than the stall would last; closing the
    # server hangs up on it instead of letting it run into its time-out.
    server = PrestoServer()
    server.load_sample("sample", 3)
    server.plan([Fault("stall_headers", seconds=60)])
    outcome = []
    client = threading.Thread(target=lambda: outcome.append(
        _error_of(run_query, server, "SELECT * FROM sample", read_timeout=30)))
    client.start()
    while not server.requests:
        time.sleep(0.01)
    server.close()
    client.join()
    assert type(outcome[0]) is requests.exceptions.ConnectionError


def _error_of(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - the test inspects it
        return e
    return None


TYPED = [("v", "varchar(10)"), ("d", "decimal(10,2)"), ("c", "char(3)"), ("a", "array(bigint)"),
         ("m", "map(varchar,bigint)"), ("ts", "timestamp"), ("u", "varchar")]
TYPED_ROW = ["ab", "1.25", "xyz", [1, 2], {"k": 3}, "2024-02-29 23:59:59.123", None]


@pytest.mark.parametrize("driver, queue_first", [("trino", False), ("trino", True), ("prestodb", True)])
def test_other_drivers(driver, queue_first):
    """trino and presto-python-client (prestodb) read the tables, with the
    sizes, precisions and scales of the types, and raise their own user error."""
    dbapi = pytest.importorskip(driver + ".dbapi", reason="%s is not installed here" % driver)
    exceptions = pytest.importorskip(driver + ".exceptions")
    with PrestoServer(page_rows=1000, queue_first=queue_first) as server:
        server.load_sample("sample", 2500)
        server.load_table("typed", TYPED, [TYPED_ROW])
        conn = dbapi.connect(host=server.host, port=server.port, user="ta", catalog="hive", schema="ta")
        cursor = conn.cursor()
        cursor.execute("SELECT * FROM ta.sample ORDER BY id")
        assert cursor.fetchall() == list(data.sample_rows(2500))
        assert [d[:2] for d in cursor.description] == list(zip(data.HEADERS, data.PRESTO_TYPES))
        cursor.execute("SELECT * FROM typed")
        row = cursor.fetchall()[0]
        described = [tuple(d[:6]) for d in cursor.description]
        with pytest.raises(Exception) as info:  # noqa: B017 - its type is checked below
            cursor.execute("SELEC 1")
            cursor.fetchall()
    assert [d[:2] for d in described] == TYPED
    if driver == "trino":
        assert [d[3:6] for d in described] == [(10, None, None), (None, 10, 2), (3, None, None), (None, None, None),
                                               (None, None, None), (None, 3, None), (2147483647, None, None)]
        assert row == ["ab", decimal.Decimal("1.25"), "xyz", [1, 2], {"k": 3},
                       datetime.datetime(2024, 2, 29, 23, 59, 59, 123000), None]
    else:
        assert row == TYPED_ROW
    error_type = exceptions.TrinoUserError if driver == "trino" else exceptions.PrestoUserError
    assert type(info.value) is error_type
    assert (info.value.error_name, info.value.message) == ("SYNTAX_ERROR", 'near "SELEC": syntax error')
