"""Generated and mangled OpenAPI answers: get_data_csv either returns a
complete, correct file or raises and leaves no file, as its twin does."""
import json
import os
import tempfile

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

from korvane.testing.openapi import OpenApiServer
from twins import differ

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


# Texts longer than the scanner's 16-byte steps, with escapes, an escaped NUL
# and non-ASCII bytes before and after the first step.
FIXED = {"body": b'{"return_code": 0, "data": {"headers": ["a", "b"]}}\n'
                 b'["nul\\u0000 in a text of more than sixteen bytes", "\xc3\xa9 then ascii for sixteen, \\"q\\""]\n'
                 b'["sixteen bytes!!", "ascii for sixteen bytes, then \xe5\x8c\x97\\tx"]\n["short", "\\u00e9"]',
         "status": 200, "complete": True, "chunk_bytes": None}


@pytest.fixture(scope="module")
def server():
    with OpenApiServer(token="tok") as srv:
        yield srv


def test_every_answer_gives_a_whole_file_or_an_error(server, request):
    """Each answer as the twin takes it: the same file, or the same error and no file."""
    out_dir = tempfile.mkdtemp()

    @settings(max_examples=request.config.getoption("--fuzz-examples"), deadline=None,
              database=None, suppress_health_check=list(HealthCheck))
    @given(answer=answers(), block_size=st.integers(1, 4))
    @example(answer=FIXED, block_size=2)
    def check(answer, block_size):
        def export(Query):
            server.set_fault("raw", **answer)
            return Query(server.url, "tok").get_data_csv({}, SQL, block_size)

        native = differ(export, out_dir)
        assert native.left == [] and (native.error is None) == (native.content is not None)

    try:
        check()
    finally:
        server.clear_faults()
        os.rmdir(out_dir)
