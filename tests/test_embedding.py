"""The modules inside a host program that embeds CPython, as servers and
schedulers do: a thread state of the host's own, and a second interpreter
life after Py_FinalizeEx."""
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from korvane.testing.kubernetes import KubeApiServer

HOST = r"""
#include <Python.h>
#include <stdlib.h>
#include <string.h>

/* host <module> <plain|own-thread-state> <lives>: imports <module> once in
   each interpreter life, on the thread state Py_Initialize made or on a second
   one of the same thread. */
int main(int argc, char **argv) {
    int lives = atoi(argv[3]);
    for (int life = 0; life < lives; ++life) {
        Py_Initialize();
        PyThreadState *first = PyThreadState_Get();
        PyThreadState *second = NULL;
        if (strcmp(argv[2], "own-thread-state") == 0) {
            second = PyThreadState_New(PyInterpreterState_Main());
            PyThreadState_Swap(second);
        }
        PyObject *module = PyImport_ImportModule(argv[1]);
        if (module == NULL) {
            PyErr_Print();
            return 1;
        }
        Py_DECREF(module);
        if (second != NULL) {
            PyThreadState_Swap(first);
            PyThreadState_Clear(second);
            PyThreadState_Delete(second);
        }
        if (Py_FinalizeEx() < 0) {
            return 2;
        }
    }
    return 0;
}
"""

# Errors raised to the caller, and errors handled inside a method.
ERRORS = """
import os
from korvane.sadrel.sadrel import ThinkDataQuery
from korvane.pyspark_k8s.podwarden import PodWarden
path = os.environ["SCENARIO_DIR"] + "/export.csv"
class Here(ThinkDataQuery):
    def gen_local_unique_file(self, ext="csv"):
        return path
tdq = Here("u", "t", ["127.0.0.1", "no port"])
calls = [
    lambda: ThinkDataQuery(),
    lambda: PodWarden.get_pod_info(),
    lambda: tdq.g_to_csv_notmp("p", None),
    lambda: tdq.get_data_raw_pyhive({}, "select 1"),
]
for call in calls:
    try:
        call()
    except Exception as e:
        print(type(e).__name__)
print(tdq.get_data_raw_pyhive_i({}, path, "select 1", upcount=0) == path)
"""

# One life of a pod manager against the Kubernetes emulator of the test. Many
# compiled modules cannot load twice in a process; PyYAML's compiled parser
# has a pure twin, the others are first tried on their own, the client with
# one call (kubernetes 37's pydantic-core fails only when first used).
LIFE = """
import os, sys
sys.modules["yaml._yaml"] = None
import kubernetes.client, kubernetes.config, arrow
kubeconfig = os.environ["SCENARIO_DIR"] + "/kubeconfig"
kubernetes.config.load_kube_config(kubeconfig)
kubernetes.client.CoreV1Api().read_namespaced_pod(name="driver-1", namespace="default")
print("dependencies")
from korvane.pyspark_k8s.podwarden import PodWarden
print(PodWarden({}, kubeconfig).get_pod_info("driver-1").status.phase)
"""


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    cc = shutil.which(os.environ.get("CC", "cc"))
    if cc is None:
        pytest.skip("needs a C compiler")
    work = tmp_path_factory.mktemp("host")
    (work / "host.c").write_text(HOST)
    var = sysconfig.get_config_var
    libdir = var("LIBDIR")
    cmd = [cc, str(work / "host.c"), "-o", str(work / "host"), "-I" + sysconfig.get_paths()["include"],
           "-L" + libdir, "-Wl,-rpath," + libdir, "-lpython" + var("LDVERSION")] + var("LIBS").split()
    built = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    if built.returncode != 0:
        pytest.skip("cannot build an embedding host: " + built.stdout[-500:])

    def run(scenario, mode, lives, check=True):
        (work / "scenario.py").write_text(textwrap.dedent(scenario))
        paths = [str(work)] + [p for p in sys.path if p.endswith("-packages")]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), SCENARIO_DIR=str(work))
        env.pop("PYTHONHOME", None)
        try:
            done = subprocess.run([str(work / "host"), "scenario", mode, str(lives)], env=env, timeout=60,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        except subprocess.TimeoutExpired:
            pytest.fail("the host hangs")
        assert done.returncode == 0 or not check, done.stderr
        return done.stdout.split()

    run.dir = str(work)
    return run


@pytest.mark.parametrize("mode", ["plain", "own-thread-state"])
def test_errors_cross_on_a_thread_state_of_the_host(host, mode):
    assert host(ERRORS, mode, 1) == ["TypeError", "TypeError", "AttributeError", "ValueError", "True"]


def test_a_second_interpreter_life_imports_afresh(host):
    with KubeApiServer() as kube:
        kube.add_pod("default", "driver-1", phase="Running")
        kube.write_kubeconfig(host.dir + "/kubeconfig")
        out = host(LIFE, "plain", 2, check=False)
    if out.count("dependencies") < 2:
        pytest.skip("the libraries cannot start a second interpreter life here")
    assert out == ["dependencies", "Running"] * 2
