"""ThinkDataQuery.get_data_csv against the OpenAPI emulator on loopback."""
import json
import os
import signal
import subprocess
import sys
import warnings

import pandas
import pytest
import requests

from korvane.testing import data
from korvane.testing.openapi import OpenApiServer
import twins

TOKEN = "tok-1"
SQL = "select * from v_user_7 where city = 'São Paulo' & note <> '?'"
H = ["n", "name"]
R7 = [[k, "r%d" % k] for k in range(1, 8)]
IN_QUERY = ("log_error", "in query")


@pytest.fixture(params=twins.IMPLS)
def sadrel(request):
    return twins.load(request.param)


@pytest.fixture
def server():
    with OpenApiServer(token=TOKEN) as srv:
        srv.add_result(SQL, H, R7)
        yield srv


@pytest.fixture
def make_client(local_class, bm):
    class Client(local_class()):
        """Records each file name it is given, and each block write into bm.calls."""

        def __init__(self, *args):
            super(Client, self).__init__(*args)
            self.paths = []

        def gen_local_unique_file(self, ext="csv"):
            self.paths.append(super(Client, self).gen_local_unique_file(ext))
            return self.paths[-1]

        def g_to_csv_notmp(self, filepath, df, index=True, compression=None, mode="w", header=True):
            assert filepath == self.paths[-1] and index is None and compression is None
            bm.calls.append(("write", mode, header, len(df)))
            return super(Client, self).g_to_csv_notmp(filepath, df, index, compression, mode, header)

    return lambda srv, token=TOKEN: Client(srv.url, token)


def typed(calls):
    """Calls with every value paired with its type, so 3 != 3.0 != True."""
    return [tuple((type(v), v) for v in call) for call in calls]


def blocks(rows, size):
    rows = [r for r in rows if r is not None]
    return [rows[k:k + size] for k in range(0, len(rows), size)]


def expected_csv(headers, rows, size):
    text = pandas.DataFrame(data=[], columns=headers).to_csv(index=None)
    for block in blocks(rows, size):
        text += pandas.DataFrame(data=block, columns=headers).to_csv(index=None, header=False)
    return text.encode("utf-8")


def read(path):
    with open(path, "rb") as fh:
        return fh.read()


def messages(caught):
    return [(w.category, str(w.message)) for w in caught]


def pandas_warnings(rows, columns):
    """The warnings of ``pandas.DataFrame(data=rows, columns=columns)``, raise or not."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            pandas.DataFrame(data=rows, columns=columns)
        except ValueError:
            pass
    return messages(caught)


def W(n):
    return ("write", "a", False, n)


HEADER = ("write", "w", True, 0)


@pytest.mark.parametrize("rows, size, between", [
    ([], 3, [HEADER]),
    (R7[:3], 3, [HEADER, ("clog", 3), W(3)]),
    (R7[:4], 3, [HEADER, ("clog", 3), W(3)]),
    (R7, 3, [HEADER, ("clog", 3), W(3), ("clog", 6), W(3)]),
    (R7[:2], 1, [HEADER, ("clog", 1), W(1), ("clog", 2), W(1), ("clog", 3)]),
], ids=["header-only", "exactly-block", "block-plus-one", "r1-r7", "block-of-one"])
def test_blocks_progress_and_total(server, make_client, bm, rows, size, between):
    server.add_result(SQL, H, rows)
    client, ctx = make_client(server), object()
    path = client.get_data_csv(ctx, SQL, block_size=size)
    assert client.paths == [path]
    tail = [W(len(rows) % size)] if len(rows) % size else []
    expected = [IN_QUERY] + [(c[0], ctx) + c[1:] if c[0] == "clog" else c for c in between]
    expected += [("clog", ctx, "total: %d" % (len(rows) + 1))] + tail
    assert typed(bm.calls) == typed(expected)
    assert read(path) == expected_csv(H, rows, size)
    assert [list(r["form"].items()) for r in server.requests] == [[("token", TOKEN), ("sql", SQL)]] \
        and server.requests[0]["method"] == "POST" and server.requests[0]["path"] == "/querySql"


@pytest.mark.parametrize("size", [1, 64, 250, 1000])
def test_file_is_what_pandas_writes_block_by_block(server, make_client, bm, size):
    server.add_sample("select sample", 250, seed=11)
    path = make_client(server).get_data_csv({}, "select sample", block_size=size)
    headers, rows = data.sample_table(250, seed=11)
    assert read(path) == expected_csv(headers, rows, size)
    assert bm.of("clog")[-1] == ("clog", {}, "total: 251")


LAYOUT_ROWS = [[1, "a"], [2, "b"], None, [3, "c,\"d\"\n"], [4, None], [5, "é"]]
EXTRA = {0: ["", ""], 1: ["", "  \t"], 4: [" ", "null", ""], 99: ["", "\t"]}


@pytest.mark.parametrize("fault", [
    {"newline": "\n"}, {"newline": "\r\n"}, {"newline": "\r"},
    {"newline": "\n", "chunk_bytes": 7}, {"newline": "\r\n", "chunk_bytes": 7},
    {"newline": "\r", "chunk_bytes": 7}, {"newline": "\r\n", "chunk_bytes": 1},
    {"kind": "stall_headers", "seconds": 0.3},
    {"kind": "stall_body", "seconds": 0.3, "after_rows": 2, "newline": "\r\n"},
], ids=lambda f: "-".join("%s=%r" % kv for kv in sorted(f.items())))
def test_line_layout_does_not_change_the_file(server, make_client, bm, fault):
    """Empty lines are skipped uncounted; blank and null lines count but add no row."""
    server.add_result(SQL, H, LAYOUT_ROWS)
    server.set_fault(extra_lines=EXTRA, **fault)
    path = make_client(server).get_data_csv({}, SQL, block_size=2)
    total = 1 + len(LAYOUT_ROWS) + 4  # status, rows with the null one, 3 blank lines and 1 "null"
    progress = [(n,) for n in range(2, total + 1, 2)] + [("total: %d" % total,)]
    assert typed(c[2:] for c in bm.of("clog")) == typed(progress)
    assert [c[1:] for c in bm.of("write")] == [("w", True, 0), ("a", False, 2), ("a", False, 2),
                                               ("a", False, 1)]
    assert read(path) == expected_csv(H, LAYOUT_ROWS, 2)


def assert_no_file(client, export_dir):
    assert len(client.paths) == 1 and os.listdir(export_dir) == []


@pytest.mark.parametrize("kind, options", [("empty_body", {}), ("raw", {"body": b"\n\r\n\n"})])
def test_empty_response_raises(server, make_client, bm, export_dir, kind, options):
    server.set_fault(kind, **options)
    client, ctx = make_client(server), object()
    with pytest.raises(RuntimeError, match="empty") as info:
        client.get_data_csv(ctx, SQL, block_size=3)
    assert type(info.value) is RuntimeError
    assert typed(bm.calls) == typed([IN_QUERY, ("clog", ctx, "total: 0")])
    assert_no_file(client, export_dir)


@pytest.mark.parametrize("token, sql, code, message", [
    ("wrong", SQL, -1, "token invalid"),
    (TOKEN, "select * from nowhere", -1, "no table or view"),
    (TOKEN, "select oops", 1002, "line 1:8: syntax error"),
], ids=["wrong-token", "unknown-sql", "syntax-error"])
def test_rejected_sql_raises_with_the_status_line(server, make_client, bm, export_dir, token, sql,
                                                  code, message):
    server.add_error("select oops", "line 1:8: syntax error", code=1002)
    client, ctx = make_client(server, token), object()
    with pytest.raises(RuntimeError) as info:
        client.get_data_csv(ctx, sql)
    exc = info.value
    assert type(exc) is RuntimeError and len(exc.args) == 2 and exc.args[0] == "sql error:"
    status = exc.args[1]
    assert status["return_code"] == code and message in status["return_message"]
    assert bm.calls == [IN_QUERY, ("log_error", "sql error:", status), ("clog", ctx, "total: 0")]
    assert bm.calls[1][2] is status
    assert server.requests[-1]["form"] == {"token": token, "sql": sql}
    assert_no_file(client, export_dir)


BROKEN = [
    ("not-json", {"kind": "bad_line"}, json.JSONDecodeError, []),
    ("http-500", {"kind": "http_500"}, requests.HTTPError, []),
    ("no-headers", {"kind": "bad_line", "text": '{"return_code":0,"data":{}}'}, KeyError, []),
    ("wrong-width", {"kind": "bad_line", "position": 5, "text": "[5,\"r5\",0]"}, ValueError,
     [HEADER, ("clog", 3), W(3), ("clog", 6)]),
    ("drop", {"kind": "drop", "after_rows": 7}, requests.exceptions.ChunkedEncodingError,
     [HEADER, ("clog", 3), W(3), ("clog", 6), W(3)]),
    ("stall-then-drop", {"kind": "stall_body", "seconds": 0.3, "after_rows": 4, "then": "drop"},
     requests.exceptions.ChunkedEncodingError, [HEADER, ("clog", 3), W(3)]),
]


@pytest.mark.parametrize("fault, exc_type, between", [b[1:] for b in BROKEN], ids=[b[0] for b in BROKEN])
def test_failure_while_reading_removes_the_file_and_reraises(server, make_client, bm, export_dir,
                                                             fault, exc_type, between):
    server.set_fault(**fault)
    client, ctx = make_client(server), object()
    with pytest.raises(Exception) as info, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        client.get_data_csv(ctx, SQL, block_size=3)
    exc = info.value
    assert type(exc) is exc_type
    # The wide row's block warns as pandas warns for it (pandas 3 deprecates
    # rows of unequal length before it raises).
    block = [R7[3], json.loads(fault["text"]), R7[5]] if fault.get("position") == 5 else None
    assert messages(caught) == (pandas_warnings(block, H) if block else [])
    expected = [IN_QUERY] + [(c[0], ctx) + c[1:] if c[0] == "clog" else c for c in between]
    expected += [("log_error", "get data error", exc)]
    expected += [("remove_file", client.paths[0])] if HEADER in between else []
    assert typed(bm.calls) == typed(expected) and bm.of("log_error")[-1][2] is exc
    if fault.get("position") == 5:  # the dataframe constructor's own error, not a wrapper
        assert "pandas" in str(info.traceback[-1].path)
    assert_no_file(client, export_dir)


def test_base_exceptions_pass_through_and_leave_no_file(server, make_client, bm, export_dir):
    class Abort(BaseException):
        pass

    client = make_client(server)
    writer = type(client).g_to_csv_notmp

    def write(self, filepath, df, *args, **kwargs):
        if kwargs.get("mode") == "a":
            raise Abort()
        return writer(self, filepath, df, *args, **kwargs)

    type(client).g_to_csv_notmp = write
    with pytest.raises(Abort):
        client.get_data_csv({}, SQL, block_size=3)
    # Not logged as an export error, but the partial file is gone.
    assert bm.calls == [IN_QUERY, HEADER, ("clog", {}, 3), ("remove_file", client.paths[0])]
    assert_no_file(client, export_dir)


def test_full_disk_propagates_and_leaves_nothing(python):
    child = python("""
        import json, os
        import korvane.sadrel.sadrel as sadrel
        from korvane.testing.openapi import OpenApiServer

        real, calls = sadrel.BMOBJ, []

        class Recorder(object):
            def __getattr__(self, name):
                def record(*args):
                    calls.append((name,) + args)
                    return getattr(real, name)(*args)
                return record

        sadrel.BMOBJ = Recorder()
        out = {}
        with OpenApiServer(token="t") as server:
            server.add_sample("select big", 4000)
            try:
                out["returned"] = sadrel.ThinkDataQuery(server.url, "t").get_data_csv({}, "select big", 500)
            except Exception as exc:
                logged = [c for c in calls if c[:2] == ("log_error", "get data error")]
                out.update(type=type(exc).__name__, errno=getattr(exc, "errno", None),
                           oserror=isinstance(exc, OSError), same=[c[2] is exc for c in logged],
                           removed=len([c for c in calls if c[0] == "remove_file"]),
                           blocks=[c[2] for c in calls if c[0] == "clog"],
                           left=os.listdir("/mydata/media/docs"))
        print(json.dumps(out))
    """, isolate_mydata=True, tmpfs_size="64k")
    out = json.loads(child.stdout.strip().splitlines()[-1])
    assert "returned" not in out, out
    assert out["oserror"] and out["errno"] == 28, out
    assert out["same"] == [True] and out["removed"] == 1 and out["left"] == [], out
    assert 500 in out["blocks"] and not any(str(b).startswith("total") for b in out["blocks"]), out


def test_overrides_and_rebound_globals_are_looked_up_per_call(sadrel, server, bm, tmp_path):
    target = str(tmp_path / "mine.csv")
    with open(target, "w") as fh:
        fh.write("stale content that must go\n" * 10)

    class Mine(sadrel.ThinkDataQuery):
        def gen_local_unique_file(self, ext="csv"):
            return target

    class JsonProxy(object):
        def __init__(self):
            self.seen = []

        def loads(self, text):
            self.seen.append(text)
            return json.loads(text)

    proxy = JsonProxy()
    real_json, sadrel.json = sadrel.json, proxy
    try:
        server.set_fault(extra_lines={2: ["", " "]})
        assert Mine(server.url, TOKEN).get_data_csv({}, SQL, 4) == target
    finally:
        sadrel.json = real_json
    assert read(target) == expected_csv(H, R7, 4)
    assert [type(t) for t in proxy.seen] == [bytes] * 8 and json.loads(proxy.seen[3]) == R7[2]


# -- block sizes that are no positive int, on both routes, against the Python twin ---

BLOCK_SIZES = [0, -2, 2.0, True]
PRESTO_SQL = "SELECT * FROM hive.ta.sample ORDER BY id"

# Runs every case in a child of its own: a fault in the native arithmetic
# (a C `% 0`) kills the interpreter, and that must fail the cases, not pytest.
NATIVE_EXPORTS = r"""
import json, os, sys
import korvane.sadrel.sadrel as sadrel
cfg = json.loads(sys.argv[1])
clogs = []

class Log(object):
    def __init__(self, real):
        self.real = real
    def clog(self, *args):
        clogs.append(list(args))
    def __getattr__(self, name):
        return getattr(self.real, name)

sadrel.BMOBJ = Log(sadrel.BMOBJ)
for route, size in cfg["cases"]:
    path = os.path.join(cfg["dir"], "%s-%r.csv" % (route, size))

    class Query(sadrel.ThinkDataQuery):
        def gen_local_unique_file(self, ext="csv"):
            return path

    del clogs[:]
    error = None
    try:
        if route == "openapi":
            Query(cfg["url"], cfg["token"]).get_data_csv("ctx", cfg["sql"], size)
        else:
            Query("http://unused/querySql", "tok", cfg["presto"]).get_data_raw_pyhive("ctx", cfg["presto_sql"], size)
    except Exception as e:
        error = [type(e).__name__, str(e)]
    content = open(path, "rb").read().decode() if os.path.exists(path) else None
    print("CASE " + json.dumps([route, repr(size), content, clogs, error]), flush=True)
"""


@pytest.fixture(scope="module")
def block_size_servers():
    from korvane.testing.presto import PrestoServer

    with OpenApiServer(token=TOKEN) as api, PrestoServer() as presto:
        api.add_result(SQL, H, R7)
        presto.load_sample("sample", 5)
        yield api, presto


@pytest.fixture(scope="module")
def native_block_size_runs(block_size_servers, tmp_path_factory):
    api, presto = block_size_servers
    cfg = dict(url=api.url, token=TOKEN, sql=SQL, presto=[presto.host, presto.port], presto_sql=PRESTO_SQL,
               dir=str(tmp_path_factory.mktemp("native")))
    pending = [[route, size] for route in ("openapi", "direct") for size in BLOCK_SIZES]
    runs, deaths = {}, {}
    while pending:
        child = subprocess.run([sys.executable, "-c", NATIVE_EXPORTS, json.dumps(dict(cfg, cases=pending))],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=300)
        for line in child.stdout.splitlines():
            if line.startswith("CASE "):
                route, size, content, clogs, error = json.loads(line[5:])
                runs[route, size] = [content, clogs, error]
        pending = [case for case in pending if (case[0], repr(case[1])) not in runs]
        if pending:  # the child died in the first case it did not report; go on without it
            deaths[pending[0][0], repr(pending[0][1])] = child
            pending = pending[1:]
    return runs, deaths


@pytest.mark.parametrize("route", ["openapi", "direct"])
@pytest.mark.parametrize("size", BLOCK_SIZES, ids=repr)
def test_block_sizes_that_are_no_positive_int_behave_as_in_python(
        native_block_size_runs, block_size_servers, tmp_path, route, size):
    runs, deaths = native_block_size_runs
    child = deaths.get((route, repr(size)))
    if child is not None:
        died = "signal %s" % signal.Signals(-child.returncode).name if child.returncode < 0 else "exit %d" % (
            child.returncode)
        pytest.fail("the export process died in this case (%s):\n%s" % (died, child.stderr[-3000:]))
    api, presto = block_size_servers

    def export(Query):
        if route == "openapi":
            return Query(api.url, TOKEN).get_data_csv("ctx", SQL, size)
        return Query("http://unused/querySql", "tok", [presto.host, presto.port]).get_data_raw_pyhive(
            "ctx", PRESTO_SQL, size)

    twin = twins.outcome(twins.load("twin"), export, str(tmp_path))
    error = twin.error and [type(twin.error).__name__, str(twin.error)]
    content = twin.content and twin.content.decode("utf-8")
    clogs = [list(c[1:]) for c in twin.of("clog")]
    assert json.dumps(runs[route, repr(size)]) == json.dumps([content, clogs, error])  # 2 is not 2.0, nor True
