"""Generated and mangled OpenAPI answers: get_data_csv either returns a
complete, correct file or raises and leaves no file."""
import json
import os
import tempfile
import uuid

import pandas
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from korvane.sadrel.sadrel import ThinkDataQuery
from korvane.testing.openapi import OpenApiServer

SQL = "select fuzz"

scalars = (st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False)
           | st.text(max_size=6) | st.sampled_from([10 ** 40, -(10 ** 400), 1e308, 5e-324]))
values = st.recursive(scalars, lambda kids: st.lists(kids, max_size=2)
                      | st.dictionaries(st.text(max_size=2), kids, max_size=2), max_leaves=3)


@st.composite
def answers(draw):
    headers = draw(st.lists(st.text(min_size=1, max_size=4), min_size=1, max_size=3, unique=True))
    code = draw(st.sampled_from([0, 0, 0, 0, 1]))
    lines = [json.dumps({"return_code": code, "data": {"headers": headers}})]
    for _ in range(draw(st.integers(0, 9))):
        width = draw(st.sampled_from([len(headers)] * 6 + [0, len(headers) + 1]))
        row = draw(st.lists(values, min_size=width, max_size=width))
        lines.append(json.dumps(row, ensure_ascii=draw(st.booleans())))
        if draw(st.integers(0, 5)) == 0:
            lines.append(draw(st.sampled_from(["", " ", "\t", "null", "{}", "[[1, [2]]]"])))
    body = draw(st.sampled_from(["\n", "\r\n", "\r"])).join(lines).encode("utf-8", "surrogatepass")
    mangle = draw(st.sampled_from(["none"] * 4 + ["cut", "drop", "bad-utf8", "status"]))
    status, complete = 200, True
    if mangle in ("cut", "drop", "bad-utf8"):
        at = draw(st.integers(0, len(body)))
        if mangle == "bad-utf8":
            body = body[:at] + draw(st.sampled_from([b"\xff", b"\xc3", b"\xed\xa0\x80"])) + body[at:]
        else:
            body, complete = body[:at], mangle == "cut"
    elif mangle == "status":
        status = draw(st.sampled_from([204, 302, 400, 404, 500, 503]))
    return {"body": body, "status": status, "complete": complete,
            "chunk_bytes": draw(st.none() | st.integers(1, 13))}


def expected_file(answer, block_size):
    """The CSV bytes that a correct export writes for this answer, or None
    when the export has to fail."""
    if answer["status"] >= 300 or not answer["complete"]:
        return None
    lines = [line for line in answer["body"].splitlines() if line]
    try:
        status = json.loads(lines[0])
        if status["return_code"] != 0:
            return None
        cols = status["data"]["headers"]
        text = pandas.DataFrame(data=[], columns=cols).to_csv(index=None)
        rows = [json.loads(line) for line in lines[1:] if line.strip()]
        rows = [row for row in rows if row is not None]
        for start in range(0, len(rows), block_size):
            df = pandas.DataFrame(data=rows[start:start + block_size], columns=cols)
            text += df.to_csv(index=None, header=False)
        return text.encode("utf-8")
    except Exception:
        return None


@pytest.fixture(scope="module")
def server():
    with OpenApiServer(token="tok") as srv:
        yield srv


def test_every_answer_gives_a_whole_file_or_an_error(server, request):
    out_dir = tempfile.mkdtemp()

    class Here(ThinkDataQuery):
        def gen_local_unique_file(self, ext="csv"):
            return os.path.join(out_dir, uuid.uuid4().hex + ".csv")

    tdq = Here(server.url, "tok")

    @settings(max_examples=request.config.getoption("--fuzz-examples"), deadline=None,
              database=None, suppress_health_check=list(HealthCheck))
    @given(answer=answers(), block_size=st.integers(1, 4))
    def check(answer, block_size):
        server.set_fault("raw", **answer)
        want = expected_file(answer, block_size)
        try:
            path = tdq.get_data_csv({}, SQL, block_size)
        except Exception:
            assert want is None
            assert os.listdir(out_dir) == []
        else:
            assert want is not None
            with open(path, "rb") as f:
                assert f.read() == want
            os.remove(path)

    try:
        check()
    finally:
        server.clear_faults()
        os.rmdir(out_dir)
