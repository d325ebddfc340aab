"""The README's examples of use from Python run as they are."""
import os
import re

import pytest

from conftest import kubectls

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "README.md")


def examples():
    if not os.path.exists(README):  # a copy of the suite outside the source tree
        return []
    with open(README, encoding="utf-8") as f:
        text = f.read()
    section = text.split("\n## Use from Python\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, re.S)


@pytest.mark.parametrize("code", examples() or [pytest.param(None, marks=pytest.mark.skip("no README"))],
                         ids=lambda code: "example")
def test_example_runs(python, code, request):
    """An example that exports does so into the default directory, and removes
    the file it was given there."""
    if "ThinkDataQuery" in code:
        request.getfixturevalue("default_export_dir")
    out = python(code).stdout
    assert re.search(r"^(100 rows in /mydata/media/docs/\w+\.csv|Running)$", out, re.M), out
    assert not [path for path in re.findall(r"/mydata/media/docs/\w+\.csv", out) if os.path.exists(path)]


def emulator_examples():
    """The blocks of the emulators' section that export nothing, each with
    the output it shows: the text block after it, or the comments of its
    print() calls."""
    if not os.path.exists(README):
        return [pytest.param(None, None, None, marks=pytest.mark.skip("no README"))]
    with open(README, encoding="utf-8") as f:
        text = f.read()
    section = text.split("\n## Testing your own code against the emulators\n", 1)[1].split("\n## ", 1)[0]
    params = []
    for code, shown in re.findall(r"```python\n(.*?)```(?:\n\n```text\n(.*?)```)?", section, re.S):
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
