"""The korvane command, run as a user runs it: a subprocess against the emulators."""
import fcntl
import os
import pty
import re
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time

import pandas
import pytest
from conftest import _can_isolate

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


def korvane(*args, token=None, environ=None, wrap=(), **kw):
    extra = dict(environ or {}, **({"KORVANE_TOKEN": token} if token else {}))
    return subprocess.run(list(wrap) + KORVANE + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, env=env(**extra), universal_newlines=True, timeout=120, **kw)


def read_only_mydata():
    """A command prefix that runs the command with /mydata read-only, in a
    mount namespace of its own: the module's default export directory
    cannot be written, as for a user without root. Without root to set
    that up (no root, no unshare, or no private mounts, as in a chroot
    or an unprivileged container), the command runs as it is."""
    if not _can_isolate():
        return []
    os.makedirs("/mydata", exist_ok=True)
    script = "mount -t tmpfs -o ro tmpfs /mydata && exec \"$@\""
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh"]


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


@pytest.mark.parametrize("how", ["openapi", "token-file-to-stdout", "presto", "presto-retried-to-stdout"])
def test_export_moves_the_whole_result_to_the_output(services, tmp_path, how):
    # Run where /mydata cannot be written: the export goes beside -o's file,
    # or, for stdout, into a temporary directory of its own.
    api, presto = services
    out_dir, scratch = tmp_path / "out", tmp_path / "scratch"
    out_dir.mkdir(), scratch.mkdir()
    out = out_dir / "out.csv"
    args, token = ["export", SQL, "--block-size", "1000", "-o", str(out)], None
    if how == "openapi":
        args, token = args + ["--uri", api.url], TOKEN
    elif how == "token-file-to-stdout":
        (tmp_path / "token").write_text(TOKEN + "\n")
        (tmp_path / "sql").write_text(SQL + " \t\n\n")  # as an editor may save it
        args = ["export", "@" + str(tmp_path / "sql"), "--uri", api.url, "--token-file", str(tmp_path / "token"), "-o", "-"]
    else:
        args += ["--presto", "%s:%d" % (presto.host, presto.port), "--fetch-size", "700", "--retries", "2"]
    if how == "presto-retried-to-stdout":
        # The first attempt times out after its first block went out; the
        # second sends the same bytes again, and stdout gets each row once.
        args[args.index("-o") + 1] = "-"
        args += ["--read-timeout", "1"]
        presto.plan([{"kind": "stall_headers", "page": 2, "seconds": 3}])
    result = korvane(*args, token=token, environ={"TMPDIR": str(scratch)}, wrap=read_only_mydata())
    assert result.returncode == 0, result.stderr
    if args[args.index("-o") + 1] == "-":
        out.write_text(result.stdout, encoding="utf-8")
    frame = pandas.read_csv(str(out), header=0)
    assert list(frame.columns) == data.HEADERS and len(frame) == ROWS
    assert frame["id"].tolist() == list(range(ROWS))
    assert result.stderr.startswith("%d rows in " % ROWS) and "rows/s" not in result.stderr
    assert ("after 1 retries" in result.stderr) == (how == "presto-retried-to-stdout")
    assert TOKEN not in result.stdout + result.stderr
    assert os.listdir(str(out_dir)) == ["out.csv"] and os.listdir(str(scratch)) == []


@pytest.mark.parametrize("args, token, verbose, message", [
    (["--uri", "{api}", SQL], "wrong-" + TOKEN, False, "korvane: query failed: token invalid"),
    (["--uri", "{api}", "select leak"], TOKEN, False, "korvane: query failed: no access for token ***"),
    (["--uri", "{api}", "select leak"], TOKEN, True, "korvane: query failed: no access for token ***"),
    (["--uri", "http://127.0.0.1:9/querySql", SQL], TOKEN, False,
     "korvane: export through the OpenAPI endpoint failed: cannot connect to 127.0.0.1:9: Connection refused"),
    (["--presto", "{presto}", "select * from nowhere"], None, True,
     "korvane: query failed: SYNTAX_ERROR: no such table: nowhere"),
    (["--presto", "{presto}", "select * form v_user_7"], None, False,
     "korvane: query failed: SYNTAX_ERROR at line 1, column 10: mismatched input 'form'"),
    (["--uri", "{api}", SQL], None, False, "korvane: no token: give --token-file, set KORVANE_TOKEN"),
])
def test_export_errors_are_one_line_without_the_token(services, tmp_path, args, token, verbose, message):
    api, presto = services
    args = [a.format(api=api.url, presto="%s:%d" % (presto.host, presto.port)) for a in args]
    if "form" in args[-1]:
        presto.plan([{"kind": "query_error", "error_name": "SYNTAX_ERROR",
                      "message": "line 1:10: mismatched input 'form'. Expecting: <EOF>"}])
    out = tmp_path / "out.csv"
    result = korvane("export", "-o", str(out), *args + (["--verbose"] if verbose else []), token=token)
    assert result.returncode == (2 if token is None and "--presto" not in args else 1)
    assert result.stderr.splitlines()[-1].startswith(message)
    assert "{" not in result.stderr.splitlines()[-1]
    assert TOKEN not in result.stdout + result.stderr
    assert ("Traceback" in result.stderr) == (verbose and result.returncode == 1)
    if verbose and result.returncode == 1:
        assert " ERROR korvane: in query" in result.stderr or "--presto" in args
        assert not [path for path in export_files(result.stderr) if os.path.exists(path)]
    else:
        assert len(result.stderr.splitlines()) == 1
    assert not out.exists() and os.listdir(str(tmp_path)) == []


@pytest.mark.parametrize("lines, columns", [(24, 100), (0, 0), (0, 100), (24, 0)])
def test_progress_is_drawn_on_a_terminal(services, tmp_path, lines, columns):
    # A terminal that reports no size still gets a bar.
    api, _ = services
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", lines, columns, 0, 0))
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
    assert "rows/s" in text and "export: 2.50k rows" in text
    assert re.search(r"%d rows in (\d+ ms|\d+\.\d s) -> " % ROWS, text), text
    assert TOKEN not in text


@pytest.mark.parametrize("output", ["file", "stdout"])
def test_interrupt_exits_130_and_leaves_no_file(services, tmp_path, output):
    api, _ = services
    api.set_fault("stall_body", seconds=60, after_rows=1200)
    out, scratch = tmp_path / "out.csv", tmp_path / "scratch"
    scratch.mkdir()
    proc = subprocess.Popen(KORVANE + ["export", SQL, "--uri", api.url, "--block-size", "500", "--verbose",
                                       "-o", str(out) if output == "file" else "-"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=env(KORVANE_TOKEN=TOKEN, TMPDIR=str(scratch)), universal_newlines=True,
                            # A suite started in the background inherits an ignored SIGINT.
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    path = None
    if output == "stdout":
        # The first blocks reach stdout while the stream still stalls.
        assert [proc.stdout.readline() for _ in range(2)] == [",".join(data.HEADERS) + "\n",
                                                            "0,user_339563,,北京,plain,True\n"]
    else:
        for line in proc.stderr:
            if "korvane: 1000" in line:  # two blocks written, the stream stalls after the next 200 rows
                break
            path = (export_files(line) or [path])[0]
        # Half the rows are written, beside -o's file, which does not exist yet.
        assert path and os.path.exists(path) and os.path.dirname(path) == str(tmp_path) and not out.exists()
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=30)
    api.clear_faults()
    assert proc.returncode == 130, stderr
    assert stderr.splitlines()[-1] == "korvane: interrupted"
    assert not os.path.exists(path or export_files(stderr)[0])
    assert os.listdir(str(tmp_path)) == ["scratch"] and os.listdir(str(scratch)) == []


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
    (["info", "driver-1", "-n", "default"], 0, ["name:      driver-1", "namespace: default", "phase:     Running",
                                                "container: main registry.local/korvane/worker:1.0 ready=True restarts=0"]),
    (["log", "driver-1", "--tail", "3"], 0, ["line 7\nline 8\nline 9\n"]),
    (["log", "driver-1", "--kubeconfig", "{kubeconfig}", "--tail", "0"], 0, [""]),
    (["info", "coredns"], 1, ["korvane: pods info coredns failed: HTTP 404 Not Found"]),
    (["info", "coredns", "--namespace", "kube-system"], 2,
     ['korvane: the pod manager works in the namespace "default" only, not "kube-system"']),
    (["delete", "driver-2"], 2, ["korvane: not deleting pod driver-2 without --yes"]),
    (["delete", "driver-2", "--yes"], 0, ["pod driver-2: deleting (Succeeded)"]),
])
def test_pods(kubeconfig, tmp_path, args, returncode, expected):
    # The cluster comes from KUBECONFIG's first entry, as for kubectl; an
    # explicit --kubeconfig goes first.
    first = kubeconfig if "--kubeconfig" not in args else str(tmp_path / "missing")
    environ = {"KUBECONFIG": os.pathsep.join([first, str(tmp_path / "missing-too")])}
    result = korvane("pods", *[a.format(kubeconfig=kubeconfig) for a in args], environ=environ)
    assert result.returncode == returncode, result.stderr
    output = result.stdout + result.stderr
    assert all(text in output for text in expected) and output if expected != [""] else output == "", output
    assert "Traceback" not in output
    if args[0] == "delete" and returncode == 0:
        listed = korvane("pods", "list", "--kubeconfig", kubeconfig).stdout
        assert "driver-1" in listed and "driver-2" not in listed


@pytest.mark.parametrize("how", ["--kubeconfig", "KUBECONFIG"])
def test_missing_kubeconfig_names_it(tmp_path, how):
    missing = str(tmp_path / "nope")
    if how == "KUBECONFIG":
        result = korvane("pods", "list", environ={"KUBECONFIG": missing})
    else:
        result = korvane("pods", "list", "--kubeconfig", missing, environ={"KUBECONFIG": ""})
    assert result.returncode == 1
    assert result.stderr.startswith("korvane: loading the kubeconfig %s" % missing)
    assert result.stderr.endswith(" failed: no such file\n") and len(result.stderr.splitlines()) == 1


@pytest.mark.parametrize("args, message", [
    (["export", SQL, "-o", "-", "--block-size", "abc"], "argument --block-size: expected a whole number of at least 1"),
    (["export", SQL, "-o", "-", "--presto", "h:1", "--retries", "0"], "argument --retries: expected a whole number"),
    (["export", SQL, "-o", "-", "--presto", "h:1", "--upcount", "-1"], "argument --upcount: expected a whole number"),
    *[(["export", SQL, "-o", "-", "--presto", "h:1", "--read-timeout", value],
       "argument --read-timeout: expected a number of seconds above 0") for value in ("0", "inf", "nan", "1e999")],
    (["export", SQL, "-o", "-", "--presto", "h:99999"], "argument --presto: expected HOST:PORT with a port"),
    (["pods", "log", "driver-1", "--tail", "-2"], "argument --tail: expected a whole number of at least -1"),
    (["pods", "log", "driver-1", "--lines", "2"], "unrecognized arguments: --lines 2"),
    (["pods", "log", "--help"], "Print the last lines of a pod's log"),
    (["export", SQL, "--outptu", "x.csv"], "unrecognized arguments: --outptu x.csv"),
    (["export", SQL], "the following arguments are required: -o/--output"),
])
def test_usage_is_that_of_the_command_given(args, message):
    result = korvane(*args)
    assert result.returncode == (0 if "--help" in args else 2)
    output = result.stdout + result.stderr
    command = " ".join(a for a in args[:2] if a != SQL)
    assert output.startswith("usage: korvane %s [-h]" % command), output
    assert message in output and "_count" not in output and "invalid" not in output


BIG_SQL = "select * from v_big"


@pytest.fixture(scope="module")
def big_api():
    with OpenApiServer(token=TOKEN) as api:
        api.add_sample(BIG_SQL, 300000)
        yield api


def test_export_to_a_reader_that_goes_away(big_api, tmp_path):
    # `korvane export ... -o - | head -n 2`: head has its lines, the export
    # stops, and the command ends quietly, its files gone.
    env_ = env(KORVANE_TOKEN=TOKEN, TMPDIR=str(tmp_path))
    proc = subprocess.Popen(KORVANE + ["export", BIG_SQL, "--uri", big_api.url, "-o", "-"], env=env_,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    head = subprocess.run(["head", "-n", "2"], stdin=proc.stdout, stdout=subprocess.PIPE, timeout=120)
    proc.stdout.close()
    stderr = proc.communicate(timeout=120)[1]
    assert head.stdout.decode("utf-8").splitlines() == [",".join(data.HEADERS), "0,user_339563,,北京,plain,True"]
    assert proc.returncode == 141 and stderr == b""  # as a shell with pipefail sees it
    assert os.listdir(str(tmp_path)) == []


@pytest.mark.parametrize("route", ["openapi", "presto"])
def test_dropped_connection_leaves_nothing_at_the_output(services, tmp_path, route):
    api, presto = services
    args = ["export", SQL, "--block-size", "500", "-o", str(tmp_path / "out.csv")]
    if route == "openapi":
        api.set_fault("drop", after_rows=1200)
        args += ["--uri", api.url]
    else:
        presto.plan([{"kind": "drop", "page": 1}])
        args += ["--presto", "%s:%d" % (presto.host, presto.port), "--fetch-size", "700", "--retries", "1"]
    result = korvane(*args, token=TOKEN)
    api.clear_faults()
    assert result.returncode == 1 and "failed" in result.stderr
    assert os.listdir(str(tmp_path)) == []
