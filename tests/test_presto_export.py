"""CSV export straight from the Presto engine: one attempt, and the retrying
route around it, driven through the real pyhive client against the emulator."""
import json
import os

import pandas
import pytest
import requests
from pyhive import exc

import twins
from korvane.testing import data
from korvane.testing.openapi import OpenApiServer
from korvane.testing.presto import Fault, PrestoServer

SQL = "SELECT * FROM hive.ta.sample ORDER BY id"
CTX = {"job": "presto-export"}
STALL = Fault("stall_headers", seconds=3)


@pytest.fixture(params=twins.IMPLS)
def sadrel(request):
    return twins.load(request.param)


class BlockLog(object):
    """Keeps the shape of every CSV write (rows, keywords), then writes."""

    def g_to_csv_notmp(self, filepath, df, **kwargs):
        self.writes.append((len(df), kwargs))
        return super(BlockLog, self).g_to_csv_notmp(filepath, df, **kwargs)


@pytest.fixture
def client(local_class, sadrel):
    """client(server, port=None, log=True): a client of ``server`` that
    exports into the test's own directory (a BlockLog with ``log``)."""
    def make(server, port=None, log=True):
        cls = type("BlockLog", (BlockLog, sadrel.ThinkDataQuery), {}) if log else sadrel.ThinkDataQuery
        tdq = local_class(cls)("http://unused/querySql", "tok", [server.host, server.port if port is None else port])
        tdq.writes = []
        return tdq
    return make


def rows(count):
    return list(data.sample_rows(count))


def expected_csv(headers, all_rows, block_size):
    """What pandas writes for a header-only frame followed by the row blocks."""
    text = pandas.DataFrame(data=[], columns=headers).to_csv(index=None)
    for start in range(0, len(all_rows), block_size):
        block = all_rows[start:start + block_size]
        text += pandas.DataFrame(data=block, columns=headers).to_csv(index=None, header=False)
    return text


def read(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8")


HEADER_WRITE = (0, {"index": None})


def block_write(n):
    return (n, {"index": None, "mode": "a", "header": False})


@pytest.fixture
def server():
    with PrestoServer(page_rows=2) as srv:
        yield srv


# -- one successful attempt ----------------------------------------------------

@pytest.mark.parametrize("digits", [False, True], ids=["int-port", "digit-string-port"])
def test_connection_settings_reach_the_engine(server, bm, client, export_dir, digits):
    server.load_sample("sample", 3)
    tdq = client(server, port=str(server.port) if digits else None)
    path = tdq.get_data_raw_pyhive(CTX, SQL, 10, 2)
    assert os.path.dirname(path) == export_dir
    assert read(path) == expected_csv(data.HEADERS, rows(3), 10)
    post = server.requests[0]
    assert (post.method, post.path, post.body) == ("POST", "/v1/statement", SQL)
    assert [post.headers.get("X-Presto-" + h) for h in ("User", "Catalog", "Schema")] == ["ta", "hive", "ta"]
    assert server.attempts == 1
    assert bm.of("remove_file", "remove_folder") == []


@pytest.mark.parametrize("count, blocks, progress", [
    (0, [], []),
    (3, [3], [3]),          # exactly one block: written in the loop, nothing left over
    (4, [3, 1], [3]),       # one full block, then a block of one row
    (7, [3, 3, 1], [3, 6]),
])
def test_rows_are_written_in_blocks(server, bm, client, count, blocks, progress):
    server.load_sample("sample", count)
    tdq = client(server)
    path = tdq.get_data_raw_pyhive(CTX, SQL, 3, 2)
    assert read(path) == expected_csv(data.HEADERS, rows(count), 3)
    assert tdq.writes == [HEADER_WRITE] + [block_write(n) for n in blocks]
    assert bm.calls == ([("log_error", "in query"), ("clog", CTX, "文件大小")]
                        + [("clog", CTX, n) for n in progress]
                        + [("clog", CTX, "total: %d" % count)])
    assert all(call[1] is CTX for call in bm.of("clog"))
    assert all(type(call[2]) is int for call in bm.of("clog")[1:-1])


def test_large_export_matches_pandas_and_the_openapi_route(bm, client, local_class):
    count, block_size = 2500, 1000
    with PrestoServer(page_rows=500) as presto_server:
        presto_server.load_sample("sample", count)
        direct = client(presto_server, log=False).get_data_raw_pyhive(
            CTX, SQL, block_size, 300)
    with OpenApiServer(token="tok") as api:
        api.add_sample(SQL, count)
        via_api = local_class()(api.url, "tok").get_data_csv(CTX, SQL, block_size)
    with open(direct, "rb") as f:
        direct_bytes = f.read()
    assert direct_bytes.decode("utf-8") == expected_csv(data.HEADERS, rows(count), block_size)
    with open(via_api, "rb") as f:
        assert f.read() == direct_bytes
    assert ("clog", CTX, "total: %d" % count) in bm.calls


# -- errors inside one attempt and the upcount rule ---------------------------

@pytest.mark.parametrize("upcount, tolerated", [(None, False), (5, False), (4, True), (0, True)])
def test_upcount_decides_whether_a_late_error_is_raised(server, bm, client, upcount, tolerated):
    # Pages of 2 rows; the third page fails, so 4 rows were taken: one block
    # of 3 is on disk and one row is still pending.
    server.load_sample("sample", 7)
    server.plan([Fault("http_500", page=2)])
    tdq = client(server)
    path = tdq.gen_local_unique_file()
    if tolerated:
        assert tdq.get_data_raw_pyhive_i(CTX, path, SQL, 3, 2, 1, upcount) == path
        # The pending row is not lost.
        assert read(path) == expected_csv(data.HEADERS, rows(4), 3)
        assert tdq.writes == [HEADER_WRITE, block_write(3), block_write(1)]
    else:
        with pytest.raises(exc.OperationalError) as info:
            tdq.get_data_raw_pyhive_i(CTX, path, SQL, 3, 2, 1, upcount)
        assert type(info.value) is exc.OperationalError
        assert "Unexpected status code 500" in str(info.value)
        assert read(path) == expected_csv(data.HEADERS, rows(3), 3)
        assert tdq.writes == [HEADER_WRITE, block_write(3)]
    errors = [c for c in bm.of("clog") if c[2] == "get data error:"]
    assert len(errors) == 1 and len(errors[0]) == 4
    assert "Unexpected status code 500" in errors[0][3]
    assert ("clog", CTX, 3) in bm.calls
    assert not any(isinstance(c[2], str) and c[2].startswith("total") for c in bm.of("clog"))


def test_tolerated_error_counts_as_success_of_the_route(server, bm, client):
    server.load_sample("sample", 7)
    server.plan([Fault("query_error", page=3, message="worker lost")])
    path = client(server).get_data_raw_pyhive(CTX, SQL, 4, 2, 5, 1, 6)
    assert read(path) == expected_csv(data.HEADERS, rows(6), 4)
    assert server.attempts == 1
    assert bm.of("remove_file", "remove_folder") == []


NON_NUMERIC_PORT = r'''
import json, os, sys
import korvane.sadrel.sadrel as sadrel
from korvane.common.defines import BaseManager

calls = []

class Recording(BaseManager):
    def log_error(self, *args):
        calls.append(["log_error"] + list(args))

    def clog(self, ctx, *args):
        calls.append(["clog"] + list(args))

sadrel.BMOBJ = Recording()
tdq = sadrel.ThinkDataQuery("http://unused/querySql", "tok", ["127.0.0.1", "http"])
path = sys.argv[1]
for upcount in (None, 5, 0):
    del calls[:]
    try:
        outcome = ["returned", tdq.get_data_raw_pyhive_i({}, path, "select 1", 3, 2, 1, upcount)]
    except Exception as e:
        outcome = ["raised", type(e).__name__, str(e)]
    print(json.dumps([upcount, outcome, calls, os.path.exists(path)]), flush=True)
'''


def test_non_numeric_port_fails_inside_the_guard(python, tmp_path):
    # Run in a child: a fault here must not take the test session down.
    path = str(tmp_path / "export.csv")
    result = python("import sys; sys.argv[1:] = [%r]\n%s" % (path, NON_NUMERIC_PORT), check=False)
    text = "invalid literal for int() with base 10: 'http'"
    logged = [["log_error", "in query"], ["clog", "get data error:", text]]
    raised = ["raised", "ValueError", text]
    expected = [[None, raised, logged, False], [5, raised, logged, False],
                [0, ["returned", path], logged, False]]
    got = [json.loads(line) for line in result.stdout.splitlines()]
    assert got == expected, "child exit status %d\n%s" % (result.returncode, result.stderr[-2000:])
    assert result.returncode == 0


# -- retries -------------------------------------------------------------------

TIMEOUT_TEXT = "Read timed out"


@pytest.mark.parametrize("faults, retry_count, error", [
    ([STALL], 5, None),
    ([Fault("stall_body", page=1, seconds=3)], 5, None),   # time-out in the middle of a page
    ([STALL, STALL], 5, None),
    ([STALL], 1, requests.exceptions.ReadTimeout),
    ([STALL, "http_500"], 5, exc.OperationalError),
    ([STALL, Fault("query_error", message="boom")], 5, exc.DatabaseError),
    (["http_500"], 5, exc.OperationalError),
    ([Fault("drop", page=1)], 5, requests.exceptions.ChunkedEncodingError),
], ids=["stall", "stall-mid-body", "two-stalls", "one-attempt", "stall-then-500",
        "stall-then-query-error", "500", "dropped"])
def test_retries_follow_read_timeouts_only(server, bm, client, faults, retry_count, error):
    server.load_sample("sample", 5)
    server.plan(faults)
    tdq = client(server)
    if error is None:
        path = tdq.get_data_raw_pyhive(CTX, SQL, 2, 2, retry_count, 1)
        # The last attempt rebuilt the file from its header line.
        assert read(path) == expected_csv(data.HEADERS, rows(5), 2)
        assert server.attempts == len(faults) + 1
    else:
        with pytest.raises(error) as info:
            tdq.get_data_raw_pyhive(CTX, SQL, 2, 2, retry_count, 1)
        assert type(info.value) is error
        path = bm.of("remove_file")[-1][1]
        assert not os.path.exists(path)
        assert server.attempts == len(faults)
    failures = [c[3] for c in bm.of("clog") if c[2] == "get data error:"]
    assert len(failures) == len(faults)
    if error is not None:
        assert failures[-1] == str(info.value)
    expected = []
    for i, text in enumerate(failures):
        expected += [("remove_file", path), ("remove_folder", path)]
        if TIMEOUT_TEXT in text:
            expected.append(("clog", CTX, "retry %d" % i))
    housekeeping = [c for c in bm.calls if c[0].startswith("remove")
                    or (c[0] == "clog" and str(c[2]).startswith("retry"))]
    assert housekeeping == expected
    # Exactly the stalls were read time-outs, and each was retried.
    stalls = [f for f in faults if isinstance(f, Fault) and f.kind.startswith("stall")]
    assert sum(TIMEOUT_TEXT in t for t in failures) == len(stalls)


@pytest.mark.parametrize("retry_count", [0, -1])
def test_no_attempt_without_retry_budget(server, bm, client, export_dir, retry_count):
    server.load_sample("sample", 3)
    assert client(server).get_data_raw_pyhive(CTX, SQL, 2, 2, retry_count, 1) is None
    assert server.requests == []
    assert bm.calls == []
    assert os.listdir(export_dir) == []
