"""Errors met while an export handles another error behave as in Python's
`except` and `finally`: the first error is the one being handled, and a
later one is chained to it."""
import errno
import sys

import pytest
import requests

from korvane.common.defines import BaseManager
from korvane.sadrel.sadrel import ThinkDataQuery
from korvane.testing.openapi import OpenApiServer
from korvane.testing.presto import Fault, PrestoServer

SQL = "select * from t"


class FailingRemoval(BaseManager):
    """Logs as usual, notes what was being handled, and cannot remove files."""

    def __init__(self):
        self.handled = []

    def log_error(self, *values):
        self.handled.append(sys.exc_info()[1])

    def clog(self, ctx, *values):
        self.handled.append(sys.exc_info()[1])

    def remove_file(self, path):
        raise PermissionError("cannot remove " + path)


@pytest.fixture
def failing_bm(sadrel):
    real = sadrel.BMOBJ
    sadrel.BMOBJ = FailingRemoval()
    yield sadrel.BMOBJ
    sadrel.BMOBJ = real


def test_openapi_failure_chains_a_failed_removal(failing_bm, local_class):
    with OpenApiServer(token="t") as server:
        server.add_result(SQL, ["a"], [[1], [2], [3]])
        server.set_fault("drop", after_rows=2)
        with pytest.raises(PermissionError) as info:
            local_class()(server.url, "t").get_data_csv({}, SQL, block_size=1)
    cause = info.value.__context__
    assert isinstance(cause, requests.exceptions.ChunkedEncodingError)
    # "in query" ran outside the handler; "get data error" inside it.
    assert failing_bm.handled[0] is None and failing_bm.handled[-1] is cause


def test_presto_retry_chains_a_failed_removal(failing_bm, local_class):
    with PrestoServer(page_rows=10) as server:
        server.load_table("t", [("a", "bigint")], [[1]])
        server.plan([Fault("http_500")])
        tdq = local_class()("http://unused/querySql", "t", [server.host, server.port])
        with pytest.raises(PermissionError) as info:
            tdq.get_data_raw_pyhive({}, SQL, read_timeout=5)
    assert type(info.value.__context__).__name__ == "OperationalError"
    assert failing_bm.handled[-1] is info.value.__context__


class AppendsFail(ThinkDataQuery):
    """The disk fills up once the header is written."""

    def g_to_csv_notmp(self, filepath, df, index=True, compression=None, mode="w", header=True):
        if mode == "a":
            raise OSError(errno.ENOSPC, "No space left on device")
        return super(AppendsFail, self).g_to_csv_notmp(filepath, df, index, compression, mode, header)


def test_a_tolerated_error_still_fails_when_taken_rows_cannot_be_written(bm, export_dir):
    """Rows counted towards `upcount` but never written must not pass for a result."""
    with PrestoServer(page_rows=10) as server:
        server.load_table("t", [("a", "bigint")], [[n] for n in range(5)])
        tdq = AppendsFail("http://unused/querySql", "t", [server.host, server.port])
        with pytest.raises(OSError) as info:
            tdq.get_data_raw_pyhive_i({}, export_dir + "/tolerate.csv", SQL, block_size=2, upcount=0)
    assert info.value.errno == errno.ENOSPC
    assert [c[2] for c in bm.of("clog") if c[2] == "get data error:"] == ["get data error:"]


def _openapi_drop(tdq, server, path):
    server.add_result(SQL, ["a"], [[1], [2], [3]])
    server.set_fault("drop", after_rows=2)
    tdq.get_data_csv({}, SQL, block_size=1)


@pytest.mark.parametrize("call", [
    lambda tdq, server, path: tdq.get_data_raw_pyhive_i({}, path, SQL, upcount=0),  # tolerated
    lambda tdq, server, path: tdq.get_data_raw_pyhive_i({}, path, SQL),
    lambda tdq, server, path: tdq.get_data_raw_pyhive({}, SQL),
    _openapi_drop,
])
def test_a_generator_keeps_its_own_handled_exception(call, bm, local_class, export_dir):
    """Called in a generator while an outer frame handles KeyError, a method
    leaves the generator's slot as Python's `except` does: empty."""
    with OpenApiServer(token="t") as server:
        tdq = local_class()(server.url, "t", ["127.0.0.1", "no port"])

        def steps():
            yield
            try:
                call(tdq, server, export_dir + "/handled.csv")
            except Exception:
                pass
            yield  # here the outer frame leaves its handler
            yield sys.exc_info()[1]
            raise LookupError("later")

        gen = steps()
        next(gen)
        try:
            raise KeyError("outer")
        except KeyError:
            next(gen)
        assert next(gen) is None
        with pytest.raises(LookupError) as info:
            next(gen)
    assert info.value.__context__ is None
