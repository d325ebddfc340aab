"""The house rules of the C++ sources, checked on the text."""
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
SRC = ROOT / "src"
SOURCES = sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".h"))


def lines_of(path):
    return path.read_text(encoding="utf-8").splitlines()


def test_sources_are_found():
    assert any(p.name == "sadrel.cpp" for p in SOURCES) and len(SOURCES) > 10


@pytest.mark.parametrize("path", [p for p in SOURCES if p.suffix == ".cpp"], ids=lambda p: str(p.relative_to(SRC)))
def test_each_cpp_opens_with_one_line_saying_what_it_is(path):
    first = lines_of(path)[0]
    assert first.startswith("// ") and len(first) > 10, first


def test_only_the_runtime_registers_exit_hooks():
    offenders = [
        "%s:%d" % (p.relative_to(SRC), n)
        for p in SOURCES
        if SRC / "runtime" not in p.parents
        for n, line in enumerate(lines_of(p), 1)
        if "Py_AtExit" in line
    ]
    assert offenders == []


def test_every_cleared_error_was_matched_first():
    """PyErr_Clear() comes only after the error was matched, inside an error
    scope (between PyErr_Fetch and PyErr_Restore), or with its reason."""
    offenders = []
    for path in SOURCES:
        lines = lines_of(path)
        for n, line in enumerate(lines):
            if "PyErr_Clear()" not in line or "clears:" in line:
                continue
            before = "\n".join(lines[max(0, n - 4):n])
            scope = "\n".join(lines[max(0, n - 12):n])
            if re.search(r"ExceptionMatches\(|\.matches\(", before) or "PyErr_Fetch(" in scope:
                continue
            offenders.append("%s:%d" % (path.relative_to(SRC), n + 1))
    assert offenders == []
