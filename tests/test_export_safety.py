"""What both export routes leave behind when things go wrong: no partial
file, nothing deleted that the call did not write, no query left running on
the engine, no redirect followed, and the token nowhere in what they say."""
import json
import logging
import os
import time

import pytest
import requests
from pyhive import exc

from korvane.pyspark_k8s.podwarden import PodWarden
from korvane.sadrel.sadrel import ThinkDataQuery
from korvane.testing.kubernetes import KubeApiServer
from korvane.testing.openapi import OpenApiServer
from korvane.testing.presto import Fault, PrestoServer

SQL = "select * from t"
ROWS = [[n, "r%d" % n] for n in range(9)]


class To(ThinkDataQuery):
    """Exports to one chosen path."""

    def __init__(self, path, *args):
        super(To, self).__init__(*args)
        self.path = path

    def gen_local_unique_file(self, ext="csv"):
        return self.path


@pytest.fixture
def api():
    with OpenApiServer(token="tok") as srv:
        srv.add_result(SQL, ["n", "s"], ROWS)
        yield srv


@pytest.fixture
def presto():
    with PrestoServer(page_rows=2) as srv:
        srv.load_table("t", [("n", "bigint"), ("s", "varchar")], ROWS)
        yield srv


@pytest.mark.parametrize("fault, kept", [
    ({"kind": "bad_line"}, True),                   # the status line is not JSON
    ({"kind": "http_500"}, True),
    ({"kind": "redirect", "status": 302}, True),
    ({"kind": "bad_line", "position": 4}, False),   # after the header: this call's file
])
def test_only_a_file_this_call_wrote_is_removed(api, bm, tmp_path, fault, kept):
    target = tmp_path / "yours.csv"
    target.write_text("not ours to delete\n")
    api.set_fault(**fault)
    with pytest.raises(Exception) as info:
        To(str(target), api.url, "tok").get_data_csv({}, SQL, 2)
    assert target.exists() is kept
    if kept:
        assert target.read_text() == "not ours to delete\n"
    assert bm.of("log_error")[-1] == ("log_error", "get data error", info.value)


class Replacing(logging.Handler):
    """Puts ``kind`` in the place of the export file once its first count is
    logged, as another process might; the export's next block then fails."""

    def __init__(self, ctx, path, kind):
        super(Replacing, self).__init__()
        self.ctx, self.path, self.kind, self.done = ctx, path, kind, False

    def emit(self, record):
        if getattr(record, "korvane_ctx", None) is not self.ctx or self.done:
            return
        if not isinstance(getattr(record, "korvane_values", ("",))[0], int):
            return
        self.done = True
        os.remove(self.path)
        if self.kind == "file":
            with open(self.path, "w") as f:
                f.write("theirs\n")
        elif self.kind == "directory":
            os.mkdir(self.path)
            with open(os.path.join(self.path, "inside"), "w") as f:
                f.write("theirs\n")
        elif self.kind == "symlink":
            os.symlink(os.path.join(os.path.dirname(self.path), "target"), self.path)


@pytest.mark.parametrize("kind", ["file", "directory", "symlink", "deleted"])
@pytest.mark.parametrize("route", ["openapi", "direct"])
def test_what_replaced_the_export_file_survives_its_clean_up(api, presto, bm, tmp_path, route, kind):
    (tmp_path / "target").write_text("theirs\n")
    tdq = To(str(tmp_path / "x.csv"), api.url, "tok", [presto.host, presto.port])
    ctx = {}
    handler = Replacing(ctx, tdq.path, kind)
    logger = logging.getLogger("korvane")
    level = logger.level
    logger.setLevel(logging.INFO)
    logger.addHandler(handler)
    try:
        with pytest.raises(OSError, match="x.csv"):
            if route == "openapi":
                tdq.get_data_csv(ctx, SQL, 2)
            else:
                tdq.get_data_raw_pyhive(ctx, SQL, 2, 2, 5, 5)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)
    assert handler.done
    left = {p.name: p.read_text() if p.is_file() else sorted(os.listdir(str(p))) for p in tmp_path.iterdir()}
    if kind == "deleted":  # nothing stands in its place: the clean-up goes on as ever
        assert left == {"target": "theirs\n"}
        removals = [("remove_file", tdq.path)] + ([("remove_folder", tdq.path)] if route == "direct" else [])
    else:
        assert left == {"target": "theirs\n", "x.csv": "theirs\n" if kind != "directory" else ["inside"]}
        assert os.path.islink(tdq.path) == (kind == "symlink")
        removals = []
    assert bm.of("remove_file", "remove_folder") == removals


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
def test_redirects_are_not_followed(api, bm, tmp_path, status):
    target = tmp_path / "x.csv"
    with OpenApiServer(token="tok") as elsewhere:
        elsewhere.add_result(SQL, ["n"], [["elsewhere"]])
        api.set_fault("redirect", status=status, location=elsewhere.url)
        with pytest.raises(requests.HTTPError) as info:
            To(str(target), api.url, "tok").get_data_csv({}, SQL)
        assert elsewhere.requests == []
        assert str(status) in str(info.value) and elsewhere.url in str(info.value)
    assert info.value.response.status_code == status
    assert bm.of("log_error")[-1] == ("log_error", "get data error", info.value)
    assert not target.exists()


@pytest.mark.parametrize("status", [404, 500, 503])
def test_http_errors_are_reported_as_such(api, bm, tmp_path, status):
    target = tmp_path / "x.csv"
    api.set_fault("raw", status=status, body=b'{"return_code":0,"data":{"headers":["n"]}}\n[1]\n')
    with pytest.raises(requests.HTTPError) as info:
        To(str(target), api.url, "tok").get_data_csv({}, SQL)
    assert info.value.response.status_code == status
    assert bm.of("log_error")[-1] == ("log_error", "get data error", info.value)
    assert not target.exists()


@pytest.mark.parametrize("cut", [0, 3])  # at a line end, inside a row
def test_a_body_cut_short_of_its_length_is_an_error(api, bm, tmp_path, cut):
    target = tmp_path / "x.csv"
    body = b'{"return_code":0,"data":{"headers":["n"]}}\n[1]\n[2]\n[3]\n'
    body = body[:len(body) - cut]
    api.set_fault("raw", body=body, length=len(body) + 40)
    with pytest.raises(requests.exceptions.ChunkedEncodingError) as info:
        To(str(target), api.url, "tok").get_data_csv({}, SQL, 2)
    assert bm.of("log_error")[-1] == ("log_error", "get data error", info.value)
    assert not target.exists()


@pytest.mark.parametrize("route", ["openapi", "direct"])
def test_cleanup_never_hides_the_write_error(api, presto, bm, tmp_path, route):
    (tmp_path / "file").write_text("a regular file where a directory should be")
    tdq = To(str(tmp_path / "file" / "x.csv"), api.url, "tok", [presto.host, presto.port])
    with pytest.raises(Exception) as info:
        if route == "openapi":
            tdq.get_data_csv({}, SQL)
        else:
            tdq.get_data_raw_pyhive({}, SQL, read_timeout=5)
    assert info.value.__context__ is None  # raised by the writer, not by the clean-up
    assert "x.csv" in str(info.value) or "directory" in str(info.value)
    assert bm.of("remove_file") == [("remove_file", tdq.path)]


def test_failed_attempts_leave_no_query_running(presto, bm, local_class):
    stall = Fault("stall_headers", page=1, seconds=5)
    presto.plan([stall, stall])
    tdq = local_class()("http://unused/querySql", "tok", [presto.host, presto.port])
    path = tdq.get_data_raw_pyhive({}, SQL, 2, 2, 5, 0.5)
    with open(path) as f:
        assert len(f.read().splitlines()) == 1 + len(ROWS)
    assert presto.attempts == 3 and len(presto.cancels) == 2
    assert presto.running == []
    assert [c[2] for c in bm.of("clog") if str(c[2]).startswith("retry")] == ["retry 0", "retry 1"]


def test_a_silent_coordinator_does_not_hold_up_the_failure(presto, bm, tmp_path):
    presto.plan([Fault("http_500", page=1, message="worker lost")])
    presto.cancel_delay = 60
    tdq = To(str(tmp_path / "x.csv"), "http://unused/querySql", "tok", [presto.host, presto.port])
    start = time.monotonic()
    with pytest.raises(exc.OperationalError) as info:
        tdq.get_data_raw_pyhive({}, SQL, 2, 2, 5, 60)
    assert time.monotonic() - start < 30  # well below the 60 s read time-out
    assert "worker lost" in str(info.value) and info.value.__context__ is None
    assert len(presto.cancels) == 1 and not os.path.exists(tdq.path)


INTERRUPTED = r'''
import json, os, signal, sys, tempfile, threading, time
import korvane.sadrel.sadrel as sadrel
from korvane.sadrel.sadrel import ThinkDataQuery
from korvane.testing.openapi import OpenApiServer
from korvane.testing.presto import Fault, PrestoServer

real, calls = sadrel.BMOBJ, []

class Recorder(object):
    def __getattr__(self, name):
        def record(*args):
            calls.append([name] + [a for a in args if isinstance(a, (str, int))])
            return getattr(real, name)(*args)
        return record

sadrel.BMOBJ = Recorder()
signal.signal(signal.SIGINT, signal.default_int_handler)  # a suite run in the background ignores SIGINT
out_dir = tempfile.mkdtemp()

class Here(ThinkDataQuery):
    def gen_local_unique_file(self, ext="csv"):
        return os.path.join(out_dir, "export.csv")

rows = [[n] for n in range(10)]
out = {}
with PrestoServer(page_rows=2) as presto, OpenApiServer(token="t") as api:
    presto.load_table("t", [("a", "bigint")], rows)
    presto.plan([Fault("stall_headers", page=1, seconds=60)])
    api.add_result("q", ["a"], rows)
    api.set_fault("stall_body", seconds=60, after_rows=5)
    tdq = Here(api.url, "t", [presto.host, presto.port])
    for route, call in [("direct", lambda: tdq.get_data_raw_pyhive({}, "select * from t", 2, 2, 5, 30)),
                        ("openapi", lambda: tdq.get_data_csv({}, "q", 2))]:
        del calls[:]
        threading.Timer(1.0, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT)).start()
        start = time.monotonic()
        try:
            call()
            outcome = "returned"
        except KeyboardInterrupt:
            outcome = "KeyboardInterrupt"
        out[route] = {"outcome": outcome, "seconds": time.monotonic() - start, "calls": calls[:],
                      "left": os.listdir(out_dir)}
    out["cancels"], out["running"] = len(presto.cancels), presto.running
print(json.dumps(out))
'''


def test_ctrl_c_during_a_stalled_read(python):
    out = json.loads(python(INTERRUPTED).stdout.splitlines()[-1])
    for route in ("direct", "openapi"):
        got = out[route]
        assert got["outcome"] == "KeyboardInterrupt" and got["seconds"] < 20, out
        assert got["left"] == [], out
        logged = [c[1] for c in got["calls"] if c[0] in ("clog", "log_error") and len(c) > 1]
        assert not any(str(t).startswith(("retry", "get data error")) for t in logged), out
    assert out["cancels"] == 1 and out["running"] == [], out


# -- the token stays a secret ------------------------------------------------

TOKEN = "tok-7f3a9c1e5b2d4f60-SECRET"


def _texts(error):
    while error is not None:
        yield str(error)
        yield repr(error)
        yield from (repr(a) for a in error.args)
        error = error.__context__


@pytest.mark.parametrize("case", [
    "ok", "wrong-token", "http_500", "redirect", "bad_line", "drop", "pods", "pod-404", "pods-401",
])
def test_tokens_never_show(case, caplog, capsys, local_class, tmp_path):
    caplog.set_level(1)
    error = None
    with OpenApiServer(token=TOKEN) as api, KubeApiServer(token=TOKEN) as kube:
        api.add_result(SQL, ["n"], [[1], [2]])
        if case in ("http_500", "redirect", "bad_line", "drop"):
            api.set_fault(case, **({"location": api.url + "?token=x"} if case == "redirect" else {}))
        kubeconfig = kube.write_kubeconfig(str(tmp_path / "kc"), token="wrong" if case == "pods-401" else None)
        try:
            if case.startswith("pod"):
                warden = PodWarden({}, kubeconfig)
                warden.get_pod_info("nothing") if case == "pod-404" else warden.get_all_pods()
            else:
                token = "tok-wrong-SECRET" if case == "wrong-token" else TOKEN
                local_class()(api.url, token).get_data_csv({"token": "ctx"}, SQL)
        except Exception as e:
            error = e
    assert (error is None) == (case in ("ok", "pods"))
    out = capsys.readouterr()
    said = [r.getMessage() for r in caplog.records] + list(_texts(error)) + [out.out, out.err]
    assert not [t for t in said if "SECRET" in t]
