"""The direct route's pages, natively and through pyhive's own fetch loop.

Each case runs the same export twice on the Presto emulator: "plain" with
pyhive's logger at DEBUG (its fetch loop then formats every page, so the
module takes pyhive's own calls) and "native" as it is. Compared: the file,
the progress and error messages, the error raised, and the cursor's state
while each page is fetched (the emulator's request hook reads it) and after
the last one, and the requests as the emulator received them.
"""
import base64
import contextlib
import gc
import logging
import re
import sys

import pytest
from pyhive import presto

from korvane.testing.presto import Fault, PrestoServer

QID = re.compile(r"\d{8}_\d{6}_\d{5}_[0-9a-f]{5}")
PATH = re.compile(r"/[^ ']*\.csv|(?<=127\.0\.0\.1:)\d+|(?<=port=)\d+")
SQL = "SELECT * FROM t ORDER BY k"

SCALARS = [("k", "bigint"), ("s", "varchar"), ("x", "double"), ("b", "boolean"), ("d", "date")]
SCALAR_ROWS = [(k, [None, "plain", "ünï,cødé", 'q"uo\\te', "tab\there\nline", "\u2028\U0001f600", ""][k % 7],
                [None, 0.1, -2.5e-7, 1e300, 123456.789][k % 5], [None, True, False][k % 3],
                "2024-02-%02d" % (k % 28 + 1)) for k in range(57)]
BIG = SCALAR_ROWS[:5] + [(10 ** 18 + 7, "big", 1.0, True, "2024-01-01")] + SCALAR_ROWS[5:9]
CONVERTED = [("k", "bigint"), ("m", "decimal(10,2)"), ("v", "varbinary")]
CONVERTED_ROWS = [(k, None if k % 4 == 0 else "%d.%02d" % (k, k), None if k % 3 == 0 else bytes([k, 0, 255]))
                  for k in range(9)]
NESTED = [("k", "bigint"), ("a", "array(bigint)"), ("m", "map(varchar,bigint)")]
NESTED_ROWS = [(k, [k, k + 1], {"x": k}) for k in range(6)]

CASES = {
    # name: (columns, rows, page_rows, fetch_size, block_size, faults, server options, upcount)
    "empty": (SCALARS, [], 10, 7, 20, [], {}, None),
    "one-row": (SCALARS, SCALAR_ROWS[:1], 1, 7, 20, [], {}, None),
    "pages-of-one": (SCALARS, SCALAR_ROWS[:5], 1, 2, 3, [], {}, None),
    "many": (SCALARS, SCALAR_ROWS, 10, 7, 20, [], {}, None),
    "fetch-beyond-page": (SCALARS, SCALAR_ROWS, 4, 9, 11, [], {}, None),
    "queued": (SCALARS, SCALAR_ROWS[:12], 5, 3, 4, [], dict(queue_first=True), None),
    "big-int": (SCALARS, BIG, 3, 2, 4, [], {}, None),
    "converted": (CONVERTED, CONVERTED_ROWS, 4, 3, 5, [], {}, None),
    "nested": (NESTED, NESTED_ROWS, 2, 3, 4, [], {}, None),
    "session": (SCALARS, SCALAR_ROWS[:9], 3, 2, 4, [], dict(page_headers={
        1: {"X-Presto-Set-Session": "a=1"},
        2: {"X-Presto-Clear-Session": "a", "X-Presto-Set-Session": "b=2=3"}}), None),
    "bad-session": (SCALARS, SCALAR_ROWS[:9], 3, 2, 4, [], dict(page_headers={1: {"X-Presto-Set-Session": "a"}}), None),
    "error-page": (SCALARS, SCALAR_ROWS, 10, 7, 20, [Fault("query_error", page=2, message="worker lost")], {}, None),
    "error-tolerated": (SCALARS, SCALAR_ROWS, 10, 7, 20, [Fault("query_error", page=3)], {}, 5),
    "http-500": (SCALARS, SCALAR_ROWS, 10, 7, 20, [Fault("http_500", page=1)], {}, None),
    "cut-short": (SCALARS, SCALAR_ROWS, 10, 7, 20, [Fault("drop", page=2, chunked=False)], {}, None),
    "cut-chunked": (SCALARS, SCALAR_ROWS, 10, 7, 20, [Fault("drop", page=1)], {}, None),
    "stall": (SCALARS, SCALAR_ROWS, 10, 7, 20, [Fault("stall_body", page=2, seconds=3)], {}, None),
}


def tidy(value):
    return PATH.sub("PATH", QID.sub("Q", value)) if isinstance(value, str) else value


def state_of(cursor):
    columns = cursor._columns
    return (cursor._state, tidy(cursor._nextUri), columns, tidy(cursor.last_query_id), cursor._rownumber,
            dict(cursor._session_props), list(cursor._data),
            None if columns is None else [(c["name"], c["type"], None, None, None, None, True) for c in columns])


def load(server, columns, rows):
    fixed = [tuple(base64.b64encode(v).decode() if isinstance(v, bytes) else v for v in row) for row in rows]
    if any(t.startswith(("array", "map")) for _, t in columns):
        fixed = rows
    server.load_table("t", columns, fixed)


@contextlib.contextmanager
def taking(mode):
    """"plain": pyhive's logger at DEBUG, into a NullHandler; "native": as it is."""
    logger = logging.getLogger("pyhive.presto")
    saved = logger.level, logger.propagate, list(logger.handlers)
    if mode == "plain":
        logger.setLevel(logging.DEBUG)
        logger.propagate = False
        logger.handlers[:] = [logging.NullHandler()]
    try:
        yield
    finally:
        logger.setLevel(saved[0])
        logger.propagate = saved[1]
        logger.handlers[:] = saved[2]


def run(case, mode, local_class, bm):
    columns, rows, page_rows, fetch_size, block_size, faults, options, upcount = CASES[case]
    options = dict(options)
    page_headers = options.pop("page_headers", {})
    del bm.calls[:]
    with PrestoServer(page_rows=page_rows, **options) as server, taking(mode):
        load(server, columns, rows)
        server.page_headers = page_headers
        server.plan(faults)
        cursors, states = [], []
        # Cursors of earlier exports that the collector has not freed yet.
        earlier = [o for o in gc.get_objects() if type(o) is presto.Cursor]

        def seen(request):
            # The client waits for this answer: its cursor holds still.
            if request.method == "POST":
                cursors.append(next(o for o in gc.get_objects() if type(o) is presto.Cursor and o._state == 1
                                    and all(o is not c for c in cursors + earlier)))
            elif request.method == "GET":
                states.append(state_of(cursors[-1]))

        server.on_request = seen
        calls = []

        def profile(frame, event, arg):
            if event == "call" and frame.f_code.co_name == "_process_response":
                calls.append(frame.f_code.co_filename)

        tdq = local_class()("http://unused/querySql", "tok", [server.host, server.port])
        error, data = None, None
        sys.setprofile(profile)
        try:
            path = tdq.get_data_raw_pyhive("ctx", SQL, block_size, fetch_size, 2, 1, upcount)
            with open(path, "rb") as f:
                data = f.read()
        except Exception as e:
            error = (type(e), tidy(str(e)))
        finally:
            sys.setprofile(None)
        states += [state_of(c) for c in cursors]
        logged = [tuple(tidy(v) for v in c) for c in bm.calls]
        sent = [(r.method, tidy(r.path), {k: tidy(v) for k, v in r.headers.items()}, r.body) for r in server.requests]
        return (data, logged, error, states, sent), len(calls)


# Cases whose pages after the first are all the parser's.
ALL_NATIVE = {"many", "fetch-beyond-page", "pages-of-one", "session", "one-row"}


@pytest.mark.parametrize("case", list(CASES))
def test_pages_natively_as_through_pyhive(case, local_class, bm):
    plain, plain_responses = run(case, "plain", local_class, bm)
    native, native_responses = run(case, "native", local_class, bm)
    assert native == plain
    data, logged, error, states, sent = native
    assert states and (error is None) is (data is not None)
    assert native_responses <= plain_responses
    if case in ALL_NATIVE:
        assert native_responses == 0  # execute's own page included
