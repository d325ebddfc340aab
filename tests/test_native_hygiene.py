"""What loading a native module leaves behind, and what its binary needs."""
import importlib
import shutil
import subprocess

import pytest

MODULES = ["korvane.sadrel.sadrel", "korvane.pyspark_k8s.podwarden"]

NO_TRACE = """
import builtins, ctypes, importlib
api = ctypes.pythonapi
get_interp = getattr(api, "PyInterpreterState_Get", None) or api._PyInterpreterState_Get
get_interp.restype = ctypes.c_void_p
api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
api.PyInterpreterState_GetDict.restype = ctypes.py_object
state = api.PyInterpreterState_GetDict(get_interp())
import pandas, kubernetes.client, arrow  # libraries may cache modules there (datetime on 3.13)
before = (set(vars(builtins)), set(state))
m = importlib.import_module(%r)
cls = [v for v in vars(m).values() if isinstance(v, type) and v.__module__ == m.__name__][0]
try:
    cls()
except TypeError as e:
    str(e)
try:
    cls.__init__(object(), **{"bogus": 1})
except TypeError:
    pass
print(set(vars(builtins)) - before[0], set(state) - before[1])
"""


@pytest.mark.parametrize("name", MODULES)
def test_import_leaves_no_trace_in_the_interpreter(python, name):
    assert python(NO_TRACE % name).stdout == "set() set()\n"


@pytest.mark.skipif(shutil.which("nm") is None or shutil.which("readelf") is None, reason="needs binutils")
@pytest.mark.parametrize("name", MODULES)
def test_binary_exports_only_the_entry_point(name):
    path = importlib.import_module(name).__file__
    symbols = subprocess.run(["nm", "-D", "--defined-only", path], stdout=subprocess.PIPE,
                             universal_newlines=True, check=True).stdout.split()
    assert [s for s in symbols if len(s) > 1 and not all(c in "0123456789abcdef" for c in s)] == \
        ["PyInit_" + name.rsplit(".", 1)[1]]
    dynamic = subprocess.run(["readelf", "-d", path], stdout=subprocess.PIPE,
                             universal_newlines=True, check=True).stdout
    needed = [line for line in dynamic.splitlines() if "(NEEDED)" in line]
    assert needed and not any("libstdc++" in line or "libgcc_s" in line for line in needed)
