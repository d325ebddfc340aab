"""The interpreter search and the demo tell a newcomer what they need."""
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
VER = "%d.%d" % sys.version_info[:2]


def run(args, **env):
    environ = {k: v for k, v in os.environ.items() if k not in ("KORVANE_PYTHON", "PYENV_ROOT")}
    environ.update(env)
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environ,
                          universal_newlines=True, timeout=120)


@pytest.mark.parametrize("how", ["nothing-found", "korvane-python", "venv-of-another-release"])
def test_interpreter_search_says_what_it_looked_at(tmp_path, how):
    tools = tmp_path / "tools"  # a copy: the venv checked is the copy's own
    tools.mkdir()
    for name in ("find-python.sh", "env.sh"):
        shutil.copy(os.path.join(ROOT, "tools", name), str(tools / name))
    empty = tmp_path / "empty"
    empty.mkdir()
    if how == "nothing-found":
        result = run([shutil.which("bash"), str(tools / "find-python.sh"), "3.99"], PYENV_ROOT=str(empty), PATH="/nonexistent")
        assert result.returncode == 1 and result.stdout == ""
        for named in ("no CPython 3.99 found", "%s/versions/3.99.* (none installed)" % empty,
                      "python3.99 (not on /nonexistent)", "KORVANE_PYTHON=", "PYENV_ROOT=", "--all"):
            assert named in result.stderr
    elif how == "korvane-python":
        result = run(["bash", str(tools / "find-python.sh"), VER], KORVANE_PYTHON=sys.executable)
        assert (result.returncode, result.stdout) == (0, sys.executable + "\n"), result.stderr
    else:
        venv = tmp_path / ".venv" / ("py" + VER.replace(".", ""))
        (venv / "bin").mkdir(parents=True)
        os.symlink(sys.executable, str(venv / "bin" / "python"))
        (venv / "pyvenv.cfg").write_text("home = /opt/old/bin\nversion = %s.99\n" % VER)
        result = run(["bash", str(tools / "env.sh"), VER], KORVANE_PYTHON=sys.executable)
        assert result.returncode == 1
        assert "was made with CPython %s.99 (/opt/old/bin)" % VER in result.stderr, result.stderr
        assert sorted(os.listdir(str(venv))) == ["bin", "pyvenv.cfg"]  # refused, not rebuilt


def test_demo_checks_its_export_directory_first(tmp_path):
    blocked = tmp_path / "file"
    blocked.write_text("")
    result = run([sys.executable, "-m", "korvane.testing.demo", "--rows", "3", "--dir", str(blocked / "out")])
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.splitlines() == [
        "demo: cannot export into %s: %s is not a directory; give --dir with a directory you can write "
        "(e.g. --dir ~/korvane-demo)" % (blocked / "out", blocked)]
    out = tmp_path / "new"
    result = run([sys.executable, "-m", "korvane.testing.demo", "--rows", "300", "--dir", str(out)])
    assert result.returncode == 0, result.stderr
    assert "Both files identical: True" in result.stdout and " -> %s/" % out in result.stdout
    assert not out.exists()  # made by the demo, emptied and removed at the end
