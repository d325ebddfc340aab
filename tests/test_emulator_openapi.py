import json
import os

import pytest
import requests

from korvane.testing import data
from korvane.testing.bodies import BodyServer
from korvane.testing.openapi import OpenApiServer

ROWS = [[1, "北京", None, True], None, [3, 'a "q"\nb', 2.5, False]]
STATUS = {"return_code": 0, "return_message": "success", "data": {"headers": ["a", "b", "c", "d"]}}


@pytest.fixture
def server():
    with OpenApiServer(token="tok") as srv:
        srv.add_result("select small", ["a", "b", "c", "d"], ROWS)
        srv.add_sample("select big", 20000, seed=3)
        srv.add_error("select bad", "line 1:8: mismatched input")
        yield srv


def post(server, sql="select small", token="tok", read_timeout=600):
    return requests.session().post(server.url, data={"token": token, "sql": sql}, stream=True,
                                   verify=False, timeout=(300, read_timeout))


def lines(resp):
    return list(resp.iter_lines(chunk_size=104857600))


def values(resp):
    return [json.loads(line) for line in lines(resp) if line.strip()]


@pytest.mark.parametrize("sql, expected", [
    ("select small", [STATUS] + ROWS),
    ("select big", [{"return_code": 0, "return_message": "success", "data": {"headers": data.HEADERS}}]
     + data.sample_table(20000, seed=3)[1]),
])
def test_round_trip_and_recorded_form(server, sql, expected):
    resp = post(server, sql)
    assert resp.headers["Transfer-Encoding"] == "chunked"
    assert values(resp) == expected
    assert server.requests[-1]["form"] == {"token": "tok", "sql": sql}
    assert server.requests[-1]["method"] == "POST"


@pytest.mark.parametrize("sql, token, message", [
    ("select small", "wrong", "token invalid"), ("select nothing", "tok", "select nothing"),
    ("select bad", "tok", "mismatched input")])
def test_failures_are_one_status_line(server, sql, token, message):
    resp = post(server, sql, token)
    (status,) = values(resp)
    assert resp.status_code == 200 and status["return_code"] != 0 and status["data"] is None
    assert message in status["return_message"]


@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"])
@pytest.mark.parametrize("chunk_bytes", [None, 1, 7])
def test_layout(server, newline, chunk_bytes):
    server.set_fault(newline=newline, chunk_bytes=chunk_bytes, extra_lines={0: "", 2: ["  \t", ""], 9: " "})
    resp = post(server)
    texts = ["", json.dumps(STATUS, ensure_ascii=False, separators=(",", ":")), '[1,"北京",null,true]',
             "  \t", "", "null", '[3,"a \\"q\\"\\nb",2.5,false]', " "]
    assert b"".join(resp.iter_content(None)) == (newline.join(texts) + newline).encode("utf-8")
    assert values(post(server)) == [STATUS] + ROWS  # the fault was used up
    server.set_fault(newline=newline, chunk_bytes=chunk_bytes, extra_lines={0: "", 2: ["  \t", ""], 9: " "})
    got = [line for line in lines(post(server)) if line]  # a CRLF cut by a chunk boundary adds a b""
    assert got == [t.encode("utf-8") for t in texts if t]


@pytest.mark.parametrize("position, replace, expect", [
    (0, True, ["X", "[1", "null", "[3"]),
    (2, True, ["{", "[1", "X", "[3"]),
    (2, False, ["{", "[1", "X", "null", "[3"])])
def test_bad_line(server, position, replace, expect):
    server.set_fault("bad_line", position=position, text="X", replace=replace)
    assert [line.decode("utf-8")[:len(e)] for line, e in zip(lines(post(server)), expect)] == expect


@pytest.mark.parametrize("kind, options, exc", [
    ("drop", {"after_rows": 2}, requests.exceptions.ChunkedEncodingError),
    ("stall_body", {"after_rows": 2, "seconds": 0.1, "then": "drop"},
     requests.exceptions.ChunkedEncodingError),
    ("stall_body", {"after_rows": 2, "seconds": 30}, requests.exceptions.ConnectionError),
])
def test_broken_body_after_rows(server, kind, options, exc):
    server.set_fault(kind, **options)
    resp, got = post(server, "select big", read_timeout=1), []
    with pytest.raises(exc):
        for line in resp.iter_lines(chunk_size=104857600):
            got.append(json.loads(line))
    assert got[1:] == data.sample_table(2, seed=3)[1]


def test_short_stall_then_continue_and_stalled_headers(server):
    server.set_fault("stall_body", after_rows=1, seconds=0.2)
    assert values(post(server)) == [STATUS] + ROWS
    server.set_fault("stall_headers", seconds=30)
    with pytest.raises((requests.exceptions.ReadTimeout, requests.exceptions.ConnectionError),
                       match="Read timed out"):
        post(server, read_timeout=1)


def test_http_500_and_empty_body(server):
    server.set_fault("http_500")
    resp = post(server)
    page = lines(resp)
    assert resp.status_code == 500 and resp.headers["Content-Type"].startswith("text/html") and len(page) > 3
    with pytest.raises(ValueError):
        json.loads(page[0])
    server.set_fault("empty_body")
    resp = post(server)
    assert resp.status_code == 200 and lines(resp) == []


@pytest.mark.parametrize("make", [OpenApiServer, BodyServer], ids=["openapi", "bodies"])
def test_tls_serves_https_that_its_ca_verifies(make):
    """tls=True: HTTPS that the server's own CA file verifies and any other
    CA rejects; the CA file goes with the server, and without tls there is
    none."""
    with make(tls=True) as srv, OpenApiServer(tls=True) as other:
        if make is OpenApiServer:
            srv.token = "tok"
            srv.add_result("select small", ["a", "b", "c", "d"], ROWS)
        assert srv.url.startswith("https://127.0.0.1:")
        form = {"token": "tok", "sql": "select small"}
        r = requests.post(srv.url, data=form, verify=srv.ca_file, timeout=30)
        assert r.status_code == 200
        assert make is BodyServer or [json.loads(line) for line in r.iter_lines()] == [STATUS] + ROWS
        with pytest.raises(requests.exceptions.SSLError, match="CERTIFICATE_VERIFY_FAILED"):
            requests.post(srv.url, data=form, verify=other.ca_file, timeout=30)
        ca_file = srv.ca_file
        with open(ca_file, "rb") as f:
            assert f.read().startswith(b"-----BEGIN CERTIFICATE-----")
    assert not os.path.exists(ca_file) and not os.path.exists(os.path.dirname(ca_file))
    with make() as plain:
        assert plain.url.startswith("http://")
        with pytest.raises(RuntimeError):
            plain.ca_file
