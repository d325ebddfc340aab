"""The README's examples of use from Python run as they are."""
import os
import re

import pytest

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
