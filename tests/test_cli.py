"""The korvane command, run as a user runs it: a subprocess against the emulators."""
import fcntl
import os
import pty
import re
import signal
import struct
import subprocess
import sys
import termios
import time

import pandas
import pytest

from korvane.testing import data
from korvane.testing.kubernetes import KubeApiServer
from korvane.testing.openapi import OpenApiServer
from korvane.testing.presto import PrestoServer

TOKEN = "s3cret-Tok3n-4711"
SQL = "select * from v_user_7"
ROWS = 2500
KORVANE = [os.path.join(os.path.dirname(sys.executable), "korvane")]


def env(**extra):
    e = {k: v for k, v in os.environ.items() if not k.startswith("KORVANE_")}
    e.update(extra)
    return e


def korvane(*args, token=None, **kw):
    return subprocess.run(KORVANE + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, env=env(**({"KORVANE_TOKEN": token} if token else {})),
                          universal_newlines=True, timeout=120, **kw)


@pytest.fixture(scope="module")
def services():
    with OpenApiServer(token=TOKEN) as api, PrestoServer(page_rows=1000) as presto:
        api.add_sample(SQL, ROWS)
        api.add_error("select leak", "no access for token %s" % TOKEN)
        presto.load_sample("v_user_7", ROWS)
        yield api, presto


def export_files(stderr):
    """The export files that a --verbose run names."""
    return re.findall(r"export file: (\S+)", stderr)


@pytest.mark.parametrize("how", ["openapi", "token-file-to-stdout", "presto"])
def test_export_moves_the_whole_result_to_the_output(services, tmp_path, how):
    api, presto = services
    out = tmp_path / "out.csv"
    args, token = ["export", SQL, "--block-size", "1000", "-o", str(out)], None
    if how == "openapi":
        args, token = args + ["--uri", api.url], TOKEN
    elif how == "token-file-to-stdout":
        (tmp_path / "token").write_text(TOKEN + "\n")
        args = ["export", "@" + str(tmp_path / "sql"), "--uri", api.url, "--token-file", str(tmp_path / "token"), "-o", "-"]
        (tmp_path / "sql").write_text(SQL)
    else:
        args += ["--presto", "%s:%d" % (presto.host, presto.port), "--fetch-size", "700", "--retries", "2"]
    result = korvane(*args, token=token)
    assert result.returncode == 0, result.stderr
    if args[-1] == "-":
        out.write_text(result.stdout, encoding="utf-8")
    frame = pandas.read_csv(str(out), header=0)
    assert list(frame.columns) == data.HEADERS and len(frame) == ROWS
    assert frame["id"].tolist() == list(range(ROWS))
    assert result.stderr.startswith("%d rows in " % ROWS) and "rows/s" not in result.stderr
    assert TOKEN not in result.stdout + result.stderr


@pytest.mark.parametrize("args, token, verbose, message", [
    (["--uri", "{api}", SQL], "wrong-" + TOKEN, False,
     "export through the OpenAPI endpoint failed: RuntimeError: sql error:"),
    (["--uri", "{api}", "select leak"], TOKEN, False, "no access for token ***"),
    (["--uri", "{api}", "select leak"], TOKEN, True, "no access for token ***"),
    (["--uri", "http://127.0.0.1:9/querySql", SQL], TOKEN, False, "ConnectionError"),
    (["--presto", "{presto}", "select * from nowhere"], None, True, "export through Presto at 127.0.0.1"),
    (["--uri", "{api}", SQL], None, False, "no token: give --token-file, set KORVANE_TOKEN"),
])
def test_export_errors_are_one_line_without_the_token(services, tmp_path, args, token, verbose, message):
    api, presto = services
    args = [a.format(api=api.url, presto="%s:%d" % (presto.host, presto.port)) for a in args]
    out = tmp_path / "out.csv"
    result = korvane("export", "-o", str(out), *args + (["--verbose"] if verbose else []), token=token)
    assert result.returncode == (2 if token is None and "--presto" not in args else 1)
    assert message in result.stderr.splitlines()[-1]
    assert TOKEN not in result.stdout + result.stderr
    assert ("Traceback" in result.stderr) == (verbose and result.returncode == 1)
    if verbose and result.returncode == 1:
        assert " ERROR korvane: in query" in result.stderr or "--presto" in args
        assert not [path for path in export_files(result.stderr) if os.path.exists(path)]
    else:
        assert len(result.stderr.splitlines()) == 1
    assert not out.exists()


def test_progress_is_drawn_on_a_terminal(services, tmp_path):
    api, _ = services
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    proc = subprocess.Popen(KORVANE + ["export", SQL, "--uri", api.url, "--block-size", "500", "-o",
                                       str(tmp_path / "out.csv")],
                            stdin=slave, stdout=slave, stderr=slave, env=env(KORVANE_TOKEN=TOKEN))
    os.close(slave)
    screen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO: the child has closed the terminal
            break
        if not chunk:
            break
        screen += chunk
    os.close(master)
    assert proc.wait(timeout=60) == 0
    text = screen.decode("utf-8", "replace")
    assert "rows/s" in text and "2.50k rows" in text and "%d rows in " % ROWS in text
    assert TOKEN not in text


def test_interrupt_exits_130_and_leaves_no_file(services, tmp_path):
    api, _ = services
    api.set_fault("stall_body", seconds=60, after_rows=1200)
    out = tmp_path / "out.csv"
    proc = subprocess.Popen(KORVANE + ["export", SQL, "--uri", api.url, "--block-size", "500", "-o", str(out),
                                       "--verbose"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=env(KORVANE_TOKEN=TOKEN), universal_newlines=True,
                            # A suite started in the background inherits an ignored SIGINT.
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    path = None
    for line in proc.stderr:
        if "korvane: 1000" in line:  # two blocks written, the stream stalls after the next 200 rows
            break
        path = (export_files(line) or [path])[0]
    assert path and os.path.exists(path)
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=30)
    api.clear_faults()
    assert proc.returncode == 130, stderr
    assert stderr.splitlines()[-1] == "korvane: interrupted"
    assert not os.path.exists(path) and not out.exists()


@pytest.fixture(scope="module")
def kubeconfig(tmp_path_factory):
    with KubeApiServer() as kube:
        kube.add_pod("default", "driver-1", phase="Running", log_lines=["line %d" % n for n in range(10)])
        kube.add_pod("kube-system", "coredns", phase="Running")
        kube.add_pod("default", "driver-2", phase="Succeeded")
        yield kube.write_kubeconfig(str(tmp_path_factory.mktemp("kube") / "config"))


@pytest.mark.parametrize("args, returncode, expected", [
    (["list"], 0, ["NAME      STATUS     CREATED", "driver-1  Running    2021-04-23 08:00:00+00:00",
                   "driver-2  Succeeded  2021-04-23 08:02:00+00:00"]),
    (["info", "driver-1"], 0, ["name:      driver-1", "namespace: default", "phase:     Running",
                               "container: main registry.local/korvane/worker:1.0 ready=True restarts=0"]),
    (["log", "driver-1", "-n", "3"], 0, ["line 7\nline 8\nline 9\n"]),
    (["info", "coredns"], 1, ["korvane: pods info coredns failed: HTTP 404 Not Found"]),
    (["delete", "driver-2"], 2, ["korvane: not deleting pod driver-2 without --yes"]),
    (["delete", "driver-2", "--yes"], 0, ["pod driver-2: deleting (Succeeded)"]),
])
def test_pods(kubeconfig, args, returncode, expected):
    result = korvane("pods", *args, "--kubeconfig", kubeconfig)
    assert result.returncode == returncode, result.stderr
    output = result.stdout + result.stderr
    for text in expected:
        assert text in output
    assert "Traceback" not in output
    if args[0] == "delete" and returncode == 0:
        listed = korvane("pods", "list", "--kubeconfig", kubeconfig).stdout
        assert "driver-1" in listed and "driver-2" not in listed


def test_missing_kubeconfig_names_it(tmp_path):
    result = korvane("pods", "list", "--kubeconfig", str(tmp_path / "nope"))
    assert result.returncode == 1
    assert result.stderr.startswith("korvane: loading the kubeconfig %s failed: " % (tmp_path / "nope"))
    assert len(result.stderr.splitlines()) == 1
