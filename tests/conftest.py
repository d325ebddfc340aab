import os
import shutil
import subprocess
import sys
import textwrap
import uuid

import pytest
from hypothesis import settings

import twins
from twins import Recorder

# Under CI every generated test draws the same examples, so that one commit
# always gets one verdict; local runs keep exploring new draws.
settings.register_profile("ci", derandomize=True, database=None)
if os.environ.get("CI"):
    settings.load_profile("ci")

# The module's default export directory. Other processes export there while
# the suite runs, so only the tests of the default use it (see
# `default_export_dir`); every other export goes to a directory of its test.
DEFAULT_EXPORT_DIR = "/mydata/media/docs"

# Debian's kubectl, as tools/kubectl.sh unpacks it (KORVANE_KUBECTL names another).
DEBIAN_KUBECTL = os.environ.get("KORVANE_KUBECTL") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), os.pardir, ".venv", "kubernetes-client", "usr", "bin", "kubectl")
NO_DEBIAN_KUBECTL = ("Debian's kubectl is not unpacked (bash tools/kubectl.sh needs apt-get, dpkg-deb "
                     "and the package kubernetes-client)")


def kubernetes_release():
    """The installed kubernetes client's (major, minor): 18 and later answer a
    pod's deletion with a V1Pod, 37 and later validate API arguments."""
    from importlib.metadata import version

    return tuple(int(part) for part in version("kubernetes").split(".")[:2])


def kubectls():
    """Parameters: Debian's kubectl (skipped, saying why, where it is
    missing), and any other kubectl on the PATH."""
    found = os.access(DEBIAN_KUBECTL, os.X_OK)
    params = [pytest.param(DEBIAN_KUBECTL, id="kubernetes-client",
                           marks=[] if found else pytest.mark.skip(reason=NO_DEBIAN_KUBECTL))]
    other = shutil.which("kubectl")
    if other and not (found and os.path.samefile(other, DEBIAN_KUBECTL)):
        params.append(pytest.param(other, id="PATH"))
    return params


@pytest.fixture
def sadrel():
    """The native module. A test file that holds the twin to the same cases
    overrides this with a fixture over `twins.IMPLS`."""
    return twins.load("native")


@pytest.fixture
def bm(sadrel):
    """The module's BMOBJ replaced by a recorder for one test."""
    real = sadrel.BMOBJ
    recorder = Recorder(real)
    sadrel.BMOBJ = recorder
    yield recorder
    sadrel.BMOBJ = real


@pytest.fixture
def export_dir(tmp_path):
    """This test's own export directory (see `local_class`)."""
    path = tmp_path / "docs"
    path.mkdir()
    return str(path)


def exporting_to(directory, base):
    """A subclass of ``base`` (ThinkDataQuery) whose exports get the module's
    kind of name, but in ``directory``. The module looks the method up at each
    use, so every route honours it."""
    class Local(base):
        def gen_local_unique_file(self, ext="csv"):
            return os.path.join(directory, uuid.uuid1().hex + uuid.uuid1().hex + "." + str(ext))

    Local.__name__ = Local.__qualname__ = "Local" + base.__name__
    return Local


@pytest.fixture
def local_class(export_dir, sadrel):
    """``local_class(base=sadrel.ThinkDataQuery)``: ``base`` exporting into `export_dir`."""
    return lambda base=None: exporting_to(export_dir, base or sadrel.ThinkDataQuery)


@pytest.fixture
def default_export_dir():
    """The module's default export directory, for the tests of the default;
    skips the test where this user cannot write it (no root, and /mydata is
    root's). Other processes export there meanwhile: such a test removes only
    the paths it was given, and asserts on those paths, never on the listing."""
    try:
        os.makedirs(DEFAULT_EXPORT_DIR, exist_ok=True)
        usable = os.access(DEFAULT_EXPORT_DIR, os.W_OK | os.X_OK)
    except OSError:
        usable = False
    if not usable:
        pytest.skip("%s cannot be written here (uid %d); this test is of the module's default export "
                    "directory" % (DEFAULT_EXPORT_DIR, os.geteuid()))
    return DEFAULT_EXPORT_DIR


def _can_isolate():
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return probe.returncode == 0


def run_python(code, isolate_mydata=False, tmpfs_size=None, env=None, check=True):
    """Run ``code`` in a fresh interpreter and return the CompletedProcess.

    With ``isolate_mydata`` the child gets a private mount namespace with an
    empty tmpfs on /mydata (of ``tmpfs_size`` if given), so file-system
    states of the export directory can be set up without touching the host.
    """
    code = textwrap.dedent(code)
    cmd = [sys.executable, "-c", code]
    if isolate_mydata:
        if not _can_isolate():
            pytest.skip("needs root and unshare for a private /mydata")
        os.makedirs("/mydata", exist_ok=True)
        opts = "-o size=%s " % tmpfs_size if tmpfs_size else ""
        script = "mount -t tmpfs %stmpfs /mydata && exec \"$@\"" % opts
        cmd = ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh"] + cmd
    result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, env=env, timeout=120)
    if check and result.returncode != 0:
        raise AssertionError("child failed (%d):\n%s\n%s" % (result.returncode, result.stdout, result.stderr))
    return result


@pytest.fixture
def python():
    return run_python


SECOND_INTERPRETER = r"""
import re, sys
import %(module)s as first
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
if sys.version_info >= (3, 13):
    sub = interpreters.create(%(kind)r)
elif sys.version_info >= (3, 12):
    sub = interpreters.create(isolated=%(kind)r == "isolated")
else:
    sub = interpreters.create()
try:
    failure = interpreters.run_string(sub, "import %(module)s")
except interpreters.RunFailedError as e:
    failure = re.sub("^<class '(.*)'>", r"\1", str(e))  # before 3.12: "<class 'T'>: message"
else:
    failure = failure and failure.formatted
interpreters.destroy(sub)
assert first.__test__ == {}
print(failure)
"""

# Interpreters with a GIL of their own exist from CPython 3.12 on; before,
# every sub-interpreter shares the main one's ("legacy").
INTERPRETER_KINDS = ["legacy"] + (["isolated"] if sys.version_info >= (3, 12) else [])


def second_interpreter_import(module, kind):
    """Imports ``module`` in a child's main interpreter, then in a second one
    of ``kind``; returns what the second import raised, as "Type: message"."""
    # Short time-out: a wrong GIL hand-off in the refusal path deadlocks.
    child = subprocess.run([sys.executable, "-c", SECOND_INTERPRETER % dict(module=module, kind=kind)],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           universal_newlines=True, timeout=60)
    assert child.returncode == 0, child.stderr
    return child.stdout.strip()


def pytest_addoption(parser):
    group = parser.getgroup("korvane long runs")
    group.addoption("--soak-calls", type=int, default=125,
                    help="calls made by the soak test (20000 for the full soak; default %(default)s)")
    group.addoption("--fuzz-examples", type=int, default=120,
                    help="generated response bodies per fuzz test (default %(default)s)")
