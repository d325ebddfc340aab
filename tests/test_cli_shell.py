"""The korvane command as shells use it: -o onto files of every kind,
signals, passwords in URLs, plain messages, kubectl's habits, and the
emulators started from a shell."""
import json
import os
import pathlib
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

import pytest

from korvane.testing import data
from korvane.testing.openapi import OpenApiServer
from korvane.testing.presto import Fault, PrestoServer
from korvane.testing.tls import ServerCertificates

from test_cli import KORVANE, ROWS, SQL, TOKEN, env, export_files, korvane, kubeconfig, services  # noqa: F401

HEADER = ",".join(data.HEADERS)


def as_nobody():
    """A command prefix that runs the command as an unprivileged user, for
    whom permissions hold; none where the suite runs unprivileged already."""
    if os.geteuid() != 0:
        return []
    if shutil.which("setpriv") is None:
        pytest.skip("running as root without setpriv: no unprivileged user to run the command as")
    wrap = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    probe = subprocess.run(wrap + KORVANE + ["--version"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           universal_newlines=True)
    if probe.returncode != 0:
        pytest.skip("the command cannot run as the unprivileged user 65534 here (its interpreter lies in "
                    "root's home?): %s" % probe.stderr.strip().splitlines()[-1:])
    return wrap


@pytest.fixture
def shared_tmp(tmp_path):
    """tmp_path, or for a command run as another user a directory that user
    can reach (pytest's own base is private to root)."""
    if os.geteuid() != 0:
        yield tmp_path
        return
    path = tempfile.mkdtemp(prefix="korvane-test-")
    os.chmod(path, 0o755)
    yield pathlib.Path(path)
    for root, dirs, _ in os.walk(path):
        for d in dirs:
            os.chmod(os.path.join(root, d), 0o755)
    shutil.rmtree(path)


@pytest.mark.parametrize("kind", ["fifo", "symlink", "mode-0600", "new-umask-027", "unwritable-dir",
                                  "new-in-unwritable-dir", "sticky-dir", "device", "dev-stdout"])
def test_output_goes_where_the_shell_would_write(services, shared_tmp, kind):
    api, _ = services
    base = shared_tmp
    out, wrap, umask, got = base / "out.csv", [], 0o22, []
    reader = None
    if kind == "fifo":
        os.mkfifo(str(out))
        def read():
            with open(str(out), "rb") as f:
                got.append(f.read())
        reader = threading.Thread(target=read)
        reader.start()
    elif kind == "symlink":
        (base / "target.csv").write_text("old\n")
        out.symlink_to("target.csv")
    elif kind == "mode-0600":
        out.write_text("old\n")
        out.chmod(0o600)
    elif kind == "new-umask-027":
        umask = 0o27
    elif kind in ("unwritable-dir", "new-in-unwritable-dir"):
        # A file the user may write (or none), in a directory where the user may not create one.
        wrap = as_nobody()
        if kind == "unwritable-dir":
            out.write_text("old\n")
            out.chmod(0o666)
            if wrap:
                os.chown(str(out), 65534, 65534)
    elif kind == "sticky-dir":
        # Another user's file that anyone may write, in a sticky directory
        # as /tmp is: only its owner may replace it, others write into it.
        if os.geteuid() != 0:
            pytest.skip("needs root to make a file of another user than the one the command runs as")
        wrap = as_nobody()
        out.write_text("old\n")
        out.chmod(0o666)
    elif kind == "device":
        if os.geteuid() != 0:
            pytest.skip("creating a device node needs root")
        os.mknod(str(out), 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # a /dev/null of our own
    before = os.lstat(str(out)) if os.path.lexists(str(out)) else None
    scratch = base / "scratch"
    scratch.mkdir()
    scratch.chmod(0o777)
    if kind in ("unwritable-dir", "new-in-unwritable-dir"):
        base.chmod(0o755 if wrap else 0o555)
    elif kind == "sticky-dir":
        base.chmod(0o1777)
    result = korvane("export", SQL, "--uri", api.url, "--block-size", "300",
                     "-o", "/dev/stdout" if kind == "dev-stdout" else str(out), token=TOKEN,
                     environ={"TMPDIR": str(scratch)}, wrap=wrap, preexec_fn=lambda: os.umask(umask))
    base.chmod(0o755)
    if kind == "new-in-unwritable-dir":  # the error names -o's path, not the export's own file
        assert result.returncode == 1 and result.stderr == "korvane: writing %s failed: Permission denied: %s\n" % (
            out, out)
        assert os.listdir(str(base)) == ["scratch"] and os.listdir(str(scratch)) == []
        return
    assert result.returncode == 0, result.stderr
    if reader is not None:
        reader.join(60)
    csv = {"fifo": lambda: got[0].decode("utf-8"), "symlink": (base / "target.csv").read_text,
           "dev-stdout": lambda: result.stdout}.get(kind, out.read_text)
    if kind != "device":
        text = csv()
        assert text.startswith(HEADER + "\n") and len(text.splitlines()) > ROWS
    st = os.lstat(str(out)) if kind != "dev-stdout" else None
    if st is not None:
        assert {"fifo": stat.S_ISFIFO, "symlink": stat.S_ISLNK, "device": stat.S_ISCHR}.get(kind, stat.S_ISREG)(
            st.st_mode)
    if kind in ("mode-0600", "unwritable-dir", "sticky-dir"):
        assert stat.S_IMODE(st.st_mode) == stat.S_IMODE(before.st_mode) and st.st_uid == before.st_uid
    if kind == "new-umask-027":
        assert stat.S_IMODE(st.st_mode) == 0o640
    if kind in ("fifo", "device", "unwritable-dir", "sticky-dir"):
        assert (st.st_dev, st.st_ino) == (before.st_dev, before.st_ino)
    assert sorted(os.listdir(str(base))) == sorted(["scratch"] + (["out.csv"] if kind != "dev-stdout" else [])
                                                   + (["target.csv"] if kind == "symlink" else []))
    assert os.listdir(str(scratch)) == []


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
@pytest.mark.parametrize("route", ["openapi", "presto"])
def test_sigterm_and_sighup_stop_as_ctrl_c_does(services, tmp_path, route, signum):
    api, presto = services
    out = tmp_path / "out.csv"
    args = ["export", SQL, "--block-size", "500", "--verbose", "-o", str(out)]
    if route == "openapi":
        api.set_fault("stall_body", seconds=60, after_rows=1200)
        args += ["--uri", api.url]
    else:
        presto.plan([Fault("stall_headers", page=2, seconds=60)])
        args += ["--presto", "%s:%d" % (presto.host, presto.port), "--fetch-size", "500", "--read-timeout", "50"]
    cancels = len(presto.cancels)
    # A suite run under nohup passes on an ignored SIGHUP, which the command
    # rightly keeps ignored: the child gets the default back.
    proc = subprocess.Popen(KORVANE + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=env(KORVANE_TOKEN=TOKEN), universal_newlines=True,
                            preexec_fn=lambda: signal.signal(signum, signal.SIG_DFL))
    path = None
    try:
        for line in proc.stderr:
            path = (export_files(line) or [path])[0]
            if "korvane: 1000" in line:  # two blocks are written, then the answer stalls
                break
        assert path and os.path.exists(path)
        time.sleep(0.3)
        proc.send_signal(signum)
        stderr = proc.communicate(timeout=30)[1]
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    api.clear_faults()
    assert proc.returncode == 128 + signum, stderr
    assert stderr.splitlines()[-1] == {signal.SIGTERM: "korvane: terminated (SIGTERM)",
                                       signal.SIGHUP: "korvane: hung up (SIGHUP)"}[signum]
    assert os.listdir(str(tmp_path)) == []
    assert len(presto.cancels) - cancels == (route == "presto") and presto.running == []


LONG_SQL = "select * from v_long"

# The command in a child that swallows the signal it sends itself AFTER
# seconds after its start, once the command handles it: the exception that
# the command's handler raises is dropped where it lands, as io.IOBase's
# finalizer drops it when it lands in urllib3's `closed` property (once per
# page of the direct route).
SWALLOWING = r"""
import os, signal, sys

from korvane.cli import main

signum, after = int(sys.argv[1]), float(sys.argv[2])


def swallow(alarm, frame):
    handler = signal.getsignal(signum)
    if not callable(handler) or handler is signal.default_int_handler:
        signal.setitimer(signal.ITIMER_REAL, 0.01)  # not yet the command's own
        return
    try:
        os.kill(os.getpid(), signum)
        for _ in range(1000):
            pass
    except BaseException as e:
        sys.stderr.write("swallowed %r\n" % e)


signal.signal(signal.SIGALRM, swallow)
signal.setitimer(signal.ITIMER_REAL, after)
sys.exit(main(sys.argv[3:]))
"""


@pytest.fixture(scope="module")
def long_services():
    rows = 1000000  # 3 to 5 s of export: every point below falls inside it
    with OpenApiServer(token=TOKEN) as api, PrestoServer() as presto:
        api.add_sample(LONG_SQL, rows)
        presto.load_sample("v_long", rows)
        yield api, presto


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
@pytest.mark.parametrize("route", ["openapi", "presto"])
def test_a_signal_stops_the_export_wherever_it_lands(long_services, tmp_path, route, signum):
    # Before the export starts, early and late in it; sent from outside, or
    # swallowed where it lands. Each run stops: the status of the signal,
    # the old file as it was, nothing left behind.
    api, presto = long_services
    out, scratch = tmp_path / "out.csv", tmp_path / "scratch"
    scratch.mkdir()
    out.write_text("other\n")
    before = os.stat(str(out))
    args = ["export", LONG_SQL, "-o", str(out)]
    args += ["--uri", api.url] if route == "openapi" else ["--presto", "%s:%d" % (presto.host, presto.port)]
    for how, after in [("swallowed", 0.01), ("swallowed", 1.0), ("swallowed", 2.0), ("sent", 1.5)]:
        child = ["-c", SWALLOWING, str(int(signum)), str(after)] if how == "swallowed" else ["-m", "korvane.cli"]
        proc = subprocess.Popen([sys.executable] + child + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env(KORVANE_TOKEN=TOKEN, TMPDIR=str(scratch)),
                                universal_newlines=True, preexec_fn=lambda: signal.signal(signum, signal.SIG_DFL))
        try:
            if how == "sent":
                time.sleep(after)
                proc.send_signal(signum)
            stderr = proc.communicate(timeout=60)[1]
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
        case = "%s at %g s: %s" % (how, after, stderr[-2000:])
        assert proc.returncode == 128 + signum, case
        assert stderr.splitlines()[-1] == {signal.SIGTERM: "korvane: terminated (SIGTERM)",
                                           signal.SIGINT: "korvane: interrupted"}[signum], case
        assert ("swallowed Signalled(" in stderr) == (how == "swallowed"), case
        assert out.read_text() == "other\n" and os.stat(str(out)).st_ino == before.st_ino, case
        assert sorted(os.listdir(str(tmp_path))) == ["out.csv", "scratch"] and os.listdir(str(scratch)) == [], case


@pytest.mark.parametrize("verbose", [False, True])
def test_no_password_of_a_uri_is_shown(services, tmp_path, verbose):
    api, _ = services
    uri = api.url.replace("http://", "http://bob:hunter2@").replace("/querySql", "/other")
    result = korvane("export", SQL, "--uri", uri, "-o", str(tmp_path / "x.csv"), *(["-v"] if verbose else []),
                     token=TOKEN)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1].startswith("korvane: export through the OpenAPI endpoint failed: HTTPError")
    assert api.url.replace("/querySql", "/other") in result.stderr
    assert "hunter2" not in result.stderr + result.stdout and "bob" not in result.stderr


@pytest.mark.parametrize("args, stdin, returncode, message", [
    (["@"], None, 2, "korvane: '@' names no SQL file"),
    (["@-"], " \n\n", 2, "korvane: the SQL of @- is empty"),
    ([" "], None, 2, "korvane: the SQL is empty"),
    ([SQL, "--read-timeout", "5"], None, 2, "korvane export: error: --read-timeout applies only with --presto"),
    ([SQL, "--presto", "{presto}", "--retries", "2", "--read-timeout", "1"], None, 1,
     "korvane: export through Presto at {presto} failed after 2 attempts: ReadTimeout"),
    ([SQL, "-o", "-"], "closed", 1, "korvane: writing to stdout failed: stdout is closed"),
    ([SQL, "--uri", "127.0.0.1:9/querySql"], None, 2,
     "korvane: --uri 127.0.0.1:9/querySql has no scheme: give http://127.0.0.1:9/querySql or https://"),
    (["select * from nowhere"], None, 1, "korvane: query failed: no table or view matches the sql: select"),
    ([SQL, "--presto", "{presto}", "--cacert", "ca.pem"], None, 2,
     "korvane export: error: --cacert applies only to the OpenAPI route"),
])
def test_messages_name_the_problem(services, tmp_path, args, stdin, returncode, message):
    api, presto = services
    where = "%s:%d" % (presto.host, presto.port)
    if "--retries" in args:
        presto.plan([Fault("stall_headers", page=1, seconds=3)] * 2)
    args = [a.format(presto=where) for a in args] + (["-o", str(tmp_path / "x.csv")] if "-o" not in args else [])
    closed = {"preexec_fn": lambda: os.close(1)} if stdin == "closed" else {"stdout": subprocess.DEVNULL}
    proc = subprocess.run(KORVANE + ["export", "--uri", api.url] + args, env=env(KORVANE_TOKEN=TOKEN),
                          input="" if stdin == "closed" else stdin or "", universal_newlines=True,
                          stderr=subprocess.PIPE, timeout=60, **closed)
    assert proc.returncode == returncode, proc.stderr
    assert proc.stderr.splitlines()[-1].startswith(message.format(presto=where))
    assert ("usage:" in proc.stderr) == ("error:" in message) and "Traceback" not in proc.stderr
    assert os.listdir(str(tmp_path)) == []


@pytest.mark.parametrize("args, returncode, expected", [
    (["list", "-o", "name"], 0, "pod/driver-1\npod/driver-2\n"),
    (["-n", "default", "info", "driver-1", "-o", "name"], 0, "pod/driver-1\n"),
    (["logs", "driver-1", "--tail", "-1"], 0, "".join("line %d\n" % n for n in range(10))),
    (["list", "-A"], 2, 'korvane: the pod manager works in the namespace "default" only, not in all namespaces'),
    # A file that is no kubeconfig fails to load, as a missing one does: status 1, as for kubectl.
    (["list", "--kubeconfig", "{passwd}"], 1,
     "korvane: loading the kubeconfig {passwd} failed: not a kubeconfig: it holds a YAML str, not a mapping\n"),
    (["list", "--kubeconfig", "{bad_yaml}"], 1, "korvane: loading the kubeconfig {bad_yaml} failed: not a kubeconfig: "
                                               "a YAML error: mapping values are not allowed here (line 1, column 5)\n"),
])
def test_kubectl_habits(kubeconfig, tmp_path, args, returncode, expected):  # noqa: F811
    files = {"passwd": tmp_path / "passwd", "bad_yaml": tmp_path / "bad.yaml"}
    files["passwd"].write_text("root:x:0:0:root:/root:/bin/bash\n")
    files["bad_yaml"].write_text("a: b: c\n")
    args = [a.format(**files) for a in args]
    # KUBECONFIG entries that do not exist are skipped, as kubectl skips them.
    result = korvane("pods", *args, environ={"KUBECONFIG": os.pathsep.join([str(tmp_path / "nope"), kubeconfig])})
    assert result.returncode == returncode, result.stderr
    if returncode == 0:
        assert result.stdout == expected
    else:
        assert result.stderr.startswith(expected.format(**files)) and len(result.stderr.splitlines()) == 1


def test_pods_as_json_and_yaml(kubeconfig):  # noqa: F811
    import yaml

    listed = json.loads(korvane("pods", "list", "-o", "json", "--kubeconfig", kubeconfig).stdout)
    assert listed["kind"] == "List" and [p["metadata"]["name"] for p in listed["items"]] == ["driver-1", "driver-2"]
    assert listed["items"][0]["kind"] == "Pod" and listed["items"][0]["status"]["phase"] == "Running"
    one = yaml.safe_load(korvane("pods", "info", "driver-1", "-o", "yaml", "--kubeconfig", kubeconfig).stdout)
    assert one == listed["items"][0]


@pytest.mark.parametrize("tls", [False, True], ids=["http", "https"])
def test_emulate_starts_and_stops(tmp_path, tls):
    env_file = tmp_path / "env.sh"
    proc = subprocess.Popen(KORVANE + ["emulate", "--rows", "5", "--env-file", str(env_file)] + ["--tls"] * tls,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=env(), universal_newlines=True)
    try:
        exports = {}
        while len(exports) < 4 + tls:
            name, value = proc.stdout.readline()[len("export "):].rstrip("\n").split("=", 1)
            exports[name] = value
        assert env_file.read_text().count("export ") == 4 + tls
        assert exports["KORVANE_URI"].startswith("https://" if tls else "http://")
        result = korvane("export", "select * from v_event_7", "--presto", exports["KORVANE_PRESTO"], "-o", "-")
        assert result.returncode == 0 and result.stdout.startswith(HEADER) and result.stderr.startswith("5 rows in ")
        if tls:
            import requests

            r = requests.post(exports["KORVANE_URI"], data={"token": "emulator-token", "sql": "select * from v_user_7"},
                              verify=exports["KORVANE_CACERT"], timeout=30)
            assert r.status_code == 200 and len(r.text.splitlines()) == 6
            # --cacert checks the endpoint against its CA, and against no other.
            other = ServerCertificates()
            try:
                plain, checked, refused = (korvane("export", "select * from v_user_7", "-o", "-", *cacert,
                                                   token="emulator-token", environ={"KORVANE_URI": exports["KORVANE_URI"]})
                                           for cacert in ([], ["--cacert", exports["KORVANE_CACERT"]],
                                                          ["--cacert", other.ca_file]))
            finally:
                other.close()
            assert plain.returncode == checked.returncode == 0 and plain.stdout == checked.stdout
            assert checked.stdout.startswith(HEADER) and checked.stderr.startswith("5 rows in ")
            port = exports["KORVANE_URI"].split(":")[2].split("/")[0]
            assert (refused.returncode, refused.stdout, refused.stderr) == (
                1, "", "korvane: export through the OpenAPI endpoint failed: TLS certificate of 127.0.0.1:%s not "
                "verified: self-signed certificate in certificate chain\n" % port)
        pods = json.loads(korvane("pods", "list", "-o", "json", environ={"KUBECONFIG": exports["KUBECONFIG"]}).stdout)
        assert "spark-driver-1" in [p["metadata"]["name"] for p in pods["items"]]
    finally:
        proc.send_signal(signal.SIGTERM)
        stderr = proc.communicate(timeout=30)[1]
    assert proc.returncode == 0 and stderr.splitlines()[-1] == "korvane: emulators stopped"
    assert not env_file.exists() and not os.path.exists(exports["KUBECONFIG"])
    assert not tls or not os.path.exists(exports["KORVANE_CACERT"])


def test_stdout_needs_no_disk_for_the_whole_result(services, tmp_path):
    """-o - into a $TMPDIR far smaller than the result: what went out is freed."""
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("needs root and unshare to mount a small tmpfs as $TMPDIR")
    api, _ = services
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    script = "mount -t tmpfs -o size=32k tmpfs \"$TMPDIR\" && exec \"$@\""
    wrap = ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh"]
    result = korvane("export", SQL, "--uri", api.url, "--block-size", "100", "-o", "-", token=TOKEN,
                     environ={"TMPDIR": str(scratch)}, wrap=wrap)
    assert result.returncode == 0, result.stderr
    assert len(result.stdout.encode("utf-8")) > 4 * 32 * 1024 and result.stdout.startswith(HEADER + "\n")


@pytest.mark.parametrize("output", ["file", "stdout"])
@pytest.mark.parametrize("route", ["openapi", "presto"])
def test_max_time_stops_the_export_as_a_signal_does(services, tmp_path, route, output):
    api, presto = services
    if route == "openapi":
        api.set_fault("stall_body", after_rows=500, seconds=10)
        args = ["--uri", api.url]
    else:
        presto.plan([Fault("stall_headers", page=2, seconds=10)])
        args = ["--presto", "%s:%d" % (presto.host, presto.port)]
    out = tmp_path / "out.csv"
    out.write_text("old\n")
    started = time.monotonic()
    result = korvane("export", SQL, "--block-size", "100", "--max-time", "1.5", "-o",
                     str(out) if output == "file" else "-", *args, token=TOKEN)
    assert (result.returncode, result.stderr) == (28, "korvane: timed out after 1.5 s (--max-time)\n")
    assert time.monotonic() - started < 8
    assert out.read_text() == "old\n" and os.listdir(str(tmp_path)) == ["out.csv"]
    assert output == "stdout" or result.stdout == ""


@pytest.mark.parametrize("output", ["file", "stdout"])
def test_a_full_disk_is_named(services, tmp_path, output):
    from conftest import _can_isolate

    if not _can_isolate():
        pytest.skip("needs root and unshare to mount a small tmpfs")
    api, _ = services
    disk = tmp_path / "disk"
    disk.mkdir()
    script = "mount -t tmpfs -o size=64k tmpfs %s && exec \"$@\"" % disk
    wrap = ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh"]
    target = str(disk / "out.csv") if output == "file" else "-"
    result = korvane("export", SQL, "--uri", api.url, "-o", target, token=TOKEN, wrap=wrap,
                     environ={"TMPDIR": str(disk)})
    shown = target if output == "file" else "$TMPDIR (%s)" % disk
    assert result.returncode == 1
    assert result.stderr == ("korvane: export through the OpenAPI endpoint failed: No space left on device: %s\n"
                             % shown)
