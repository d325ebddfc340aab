"""The examples of the README and of the documents it links to run as they
are: the Python examples in a fresh interpreter, and the shell tour with
bash, as any user, each in a directory of its own."""
import contextlib
import glob
import os
import re
import signal
import subprocess
import sys

import pytest

from conftest import kubectls

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
README = os.path.join(ROOT, "README.md")
# The README and the documents it links to.
DOCUMENTS = [README, os.path.join(ROOT, "CONTRIBUTING.md")] + sorted(
    glob.glob(os.path.join(ROOT, "docs", "*.md")))


def section(name):
    """The section ``name`` of whichever document holds it ("" outside the
    source tree, where the documents are not)."""
    for path in filter(os.path.exists, DOCUMENTS):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        if "\n## %s\n" % name in text:
            return text.split("\n## %s\n" % name, 1)[1].split("\n## ", 1)[0]
    assert not os.path.exists(README), "no section %r" % name
    return ""


def python_blocks():
    """Every Python example of every document, as (document, code)."""
    blocks = []
    for path in filter(os.path.exists, DOCUMENTS):
        with open(path, encoding="utf-8") as f:
            blocks += [(os.path.relpath(path, ROOT), code) for code in re.findall(r"```python\n(.*?)```", f.read(), re.S)]
    return blocks


def examples():
    """The blocks that export: all of "Use from Python", and those of the
    emulators' section that use ThinkDataQuery (the others, with the output
    they show, are `emulator_examples`)."""
    return [code for name in ("Use from Python", "Testing your own code against the emulators")
            for code in re.findall(r"```python\n(.*?)```", section(name), re.S)
            if name == "Use from Python" or "ThinkDataQuery" in code]


@pytest.mark.parametrize("code", examples() or [pytest.param(None, marks=pytest.mark.skip("no README"))],
                         ids=lambda code: "example")
def test_example_runs(python, code, tmp_path):
    """An example that exports does so into a temporary directory of its own
    and leaves nothing there, nor in the module's default directory."""
    before = set(os.listdir(str(tmp_path)))
    out = python(code, env=dict(os.environ, TMPDIR=str(tmp_path))).stdout
    assert re.search(r"^(100 rows in \w+\.csv|Running|2 files in the temporary directory)$", out, re.M), out
    assert set(os.listdir(str(tmp_path))) == before



def emulator_examples():
    """The blocks of the emulators' section that export nothing, each with
    the output it shows: the text block after it, or the comments of its
    print() calls."""
    if not os.path.exists(README):
        return [pytest.param(None, None, None, marks=pytest.mark.skip("no README"))]
    params = []
    for code, shown in re.findall(r"```python\n(.*?)```(?:\n\n```text\n(.*?)```)?",
                                  section("Testing your own code against the emulators"), re.S):
        if "ThinkDataQuery" in code:
            continue
        expected = shown.splitlines() if shown else re.findall(r"print\(.*\)  # (.*)", code)
        if "kubectl" in code:
            params += [pytest.param(code, expected, os.path.dirname(p.values[0]), marks=p.marks,
                                    id="kubectl-" + p.id) for p in kubectls()]
        else:
            params.append(pytest.param(code, expected, None, id="example"))
    return params


@pytest.mark.parametrize("code, expected, bindir", emulator_examples())
def test_emulator_example_runs(python, tmp_path, code, expected, bindir):
    # kubectl keeps its cache under $HOME: here, tmp_path.
    env = dict(os.environ, HOME=str(tmp_path), PATH=os.pathsep.join(filter(None, [bindir, os.defpath])))
    env.pop("KUBECONFIG", None)
    out = python(code, env=env).stdout
    age = re.compile(r"\s+\d+y\d*d?$")  # the AGE column
    assert [age.sub("", line) for line in out.splitlines()] == [age.sub("", line) for line in expected]


def test_shell_tour_runs(tmp_path):
    tour = re.findall(r"```sh\n(.*?)```", section("A tour from the shell"), re.S)
    if not tour:
        pytest.skip("no README")
    bin_dir = os.path.dirname(sys.executable)
    environ = {k: v for k, v in os.environ.items() if not k.startswith("KORVANE_") and k != "KUBECONFIG"}
    environ.update(PATH=bin_dir + os.pathsep + environ.get("PATH", ""), TMPDIR=str(tmp_path))
    work = tmp_path / "tour"
    work.mkdir()
    with open(str(tmp_path / "out"), "w+") as out, open(str(tmp_path / "err"), "w+") as err:
        # A session of its own: whatever the tour leaves running goes with it.
        proc = subprocess.Popen(["bash", "-eu", "-c", tour[0]], cwd=str(work), env=environ, stdout=out,
                                stderr=err, start_new_session=True)
        try:
            returncode = proc.wait(timeout=300)
        finally:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)
        out.seek(0), err.seek(0)
        stdout, stderr = out.read(), err.read()
    os.remove(str(tmp_path / "out")), os.remove(str(tmp_path / "err"))
    assert returncode == 0, stderr
    assert "pod/spark-driver-1" in stdout and "pod spark-driver-2: deleting (Succeeded)" in stdout
    assert "line 49" in stdout and "korvane: emulators stopped" in stderr
    assert sorted(os.listdir(str(work))) == ["cities.csv", "users.csv"]
    assert len((work / "users.csv").read_text(encoding="utf-8").splitlines()) > 2000
    assert sorted(os.listdir(str(tmp_path))) == ["tour"]  # the emulators' kubeconfig is gone too


def test_every_python_example_is_run_and_links_resolve():
    """No Python example of any document escapes the tests above, and every
    relative link between the documents names a file and a heading that exist."""
    if not os.path.exists(README):
        pytest.skip("no README")
    run = {code for code in examples()} | {p.values[0] for p in emulator_examples()}
    run |= set(re.findall(r"```python\n(.*?)```", section("Logging and progress"), re.S))  # type-checked only
    assert [doc for doc, code in python_blocks() if code not in run] == []
    for path in DOCUMENTS:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        for target, anchor in re.findall(r"\]\(((?!https?:)[^)#]+)(?:#([^)]+))?\)", text):
            linked = os.path.join(os.path.dirname(path), target)
            assert os.path.isfile(linked), (path, target)
            if anchor:
                with open(linked, encoding="utf-8") as f:
                    slugs = {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-")
                             for h in re.findall(r"^#+ (.*)$", f.read(), re.M)}
                assert anchor in slugs, (path, target, anchor)
