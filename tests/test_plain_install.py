"""korvane runs on what it declares: the emulators start from a site that holds
only korvane and the distributions its requirements pull in, as after a plain
``pip install korvane`` (no test extra)."""
import os
import re
import signal
import subprocess
import sys
import time
from importlib import metadata

import pytest
from packaging.requirements import Requirement


def canonical(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def runtime_closure(name="korvane"):
    """The installed distributions that ``name``'s requirements pull in,
    markers and extras evaluated as pip evaluates them here."""
    found = {}
    todo = [(name, frozenset())]
    while todo:
        wanted, extras = todo.pop()
        key = canonical(wanted)
        if key in found and extras <= found[key][1]:
            continue
        dist = metadata.distribution(wanted)
        extras = extras | (found[key][1] if key in found else frozenset())
        found[key] = (dist, extras)
        for line in dist.requires or []:
            req = Requirement(line)
            if req.marker is None or any(req.marker.evaluate({"extra": e}) for e in extras | {""}):
                todo.append((req.name, frozenset(req.extras)))
    return {key: dist for key, (dist, _) in found.items()}


@pytest.fixture(scope="module")
def plain_python(tmp_path_factory):
    """A venv whose site-packages links the files of korvane's runtime closure, and nothing else."""
    venv = tmp_path_factory.mktemp("plain") / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    site = subprocess.run([python, "-I", "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          check=True, capture_output=True, text=True).stdout.strip()
    closure = runtime_closure()
    assert "pytest" not in closure and "korvane" in closure
    for dist in closure.values():
        for entry in dist.files or []:
            if ".." in entry.parts:  # scripts and data outside site-packages
                continue
            target = os.path.join(site, *entry.parts)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if not os.path.lexists(target):
                os.symlink(os.path.realpath(str(dist.locate_file(entry))), target)
    return python


CLI = "import sys; from korvane.cli import main; sys.exit(main())"


@pytest.mark.parametrize("entry", [["-m", "korvane.testing"], ["-c", CLI, "emulate"]],
                         ids=["python -m korvane.testing", "korvane emulate"])
def test_emulators_start_from_runtime_dependencies(plain_python, tmp_path, entry):
    env_file = tmp_path / "emulators.env"
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    proc = subprocess.Popen([plain_python, "-I"] + entry + ["--rows", "3", "--env-file", str(env_file)],
                            cwd=str(tmp_path), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        deadline = time.monotonic() + 60
        while not env_file.exists() and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert (proc.returncode, err.splitlines()[-1:]) == (0, ["korvane: emulators stopped"]), err
    assert "Traceback" not in err
    assert [line.split("=")[0] for line in out.splitlines()] == [
        "export KORVANE_URI", "export KORVANE_TOKEN", "export KORVANE_PRESTO", "export KUBECONFIG"]
    assert not env_file.exists()
