"""The sadrel module as Python sees it: surface, docstrings, life cycle, binary."""
import inspect
import os
import pydoc
import re

import pytest

import korvane.sadrel.sadrel as sadrel
from conftest import INTERPRETER_KINDS, second_interpreter_import

TDQ = sadrel.ThinkDataQuery

METHOD_DOCS = {
    "__init__": "\n        @des:初始化类\n        ",
    "gen_local_unique_file": "\n        @des:生成本地文件唯一路径\n        ",
    "g_to_csv_notmp": "\n        @des: pandas生成csv文件---用于追加文件，不能用临时文件\n"
                      "        compression: 压缩格式 ‘gzip’, ‘bz2’, ‘zip’, ‘xz’. \n        ",
    "get_data_csv": "\n        @des:从thinkdata的openapi获取数据----流式，为了节省内存---配合下面的getquerycsv\n        ",
    "get_data_raw_pyhive_i": "\n        @des: 内部调用\n        ",
}

DEFAULTS = {
    "gen_local_unique_file": ("csv",),
    "g_to_csv_notmp": (True, None, "w", True),
    "get_data_csv": (100000,),
    "get_data_raw_pyhive": (100000, 10000, 5, 300, None),
    "get_data_raw_pyhive_i": (100000, 10000, 300, None),
}

SIGNATURES = {
    "__init__": "(self, query_uri, token, hive_conn_info=['host', 0])",
    "gen_local_unique_file": "(self, ext='csv')",
    "g_to_csv_notmp": "(self, filepath, df, index=True, compression=None, mode='w', header=True)",
    "get_data_csv": "(self, ctx, sql, block_size=100000)",
    "get_data_raw_pyhive": "(self, ctx, sql, block_size=100000, fetch_size=10000, retry_count=5, "
                           "read_timeout=300, upcount=None)",
    "get_data_raw_pyhive_i": "(self, ctx, unique_path, sql, block_size=100000, fetch_size=10000, "
                             "read_timeout=300, upcount=None)",
}


def test_module_namespace_in_binding_order():
    names = [n for n in vars(sadrel) if not n.startswith("__") or n == "__test__"]
    assert names == ["requests", "pandas", "json", "time", "os", "uuid", "urllib3", "BMOBJ", "Et",
                     "ThreadPoolExecutor", "wait", "ALL_COMPLETED", "FIRST_COMPLETED",
                     "ThinkDataQuery", "__test__"]
    import builtins
    import concurrent.futures
    import korvane.common.defines as defines
    assert sadrel.__builtins__ is builtins
    assert sadrel.BMOBJ is defines.BMOBJ and sadrel.Et is defines.Et
    assert sadrel.wait is concurrent.futures.wait
    assert sadrel.__test__ == {}
    assert "korvane" not in vars(sadrel) and "concurrent" not in vars(sadrel)


def test_module_docstring():
    lines = sadrel.__doc__.split("\n")
    assert sadrel.__doc__.startswith("\n") and sadrel.__doc__.endswith("\n")
    assert lines[1:4] == ["@des: 这个文件仅仅作为views，接口调用访问，归因内部不用这个文件", "@des: 调用方法",
                          "from korvane.common.defines import BMOBJ, Et"]
    assert lines[4].startswith("tdq = ThinkDataQuery(") and "/querySql" in lines[4] and "token=" in lines[4]
    assert lines[5:12] == ["try:", "    sql = ''' select * from v_user_7 limit 100  '''",
                           "    local_file = tdq.get_data_csv({}, sql, block_size=50000)",
                           "    df = pandas.read_csv(local_file, header=0)", "finally:",
                           "    BMOBJ.remove_file(local_file)", ""]


def test_class_surface():
    assert TDQ.__module__ == "korvane.sadrel.sadrel"
    assert TDQ.__qualname__ == TDQ.__name__ == "ThinkDataQuery"
    assert TDQ.__bases__ == (object,) and type(TDQ) is type
    assert TDQ.__doc__ == "\n    @des: thinkdata openapi查询基础类----这个只能再thinkdata内网执行\n    "
    own = [n for n in vars(TDQ) if n not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert own == list(SIGNATURES)

    class Sub(TDQ):
        pass

    assert Sub("u", "t").__dict__ == {"query_uri": "u", "token": "t", "hive_conn_info": ["host", 0]}


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_method_introspection(name):
    fn = vars(TDQ)[name]
    assert fn.__name__ == name
    assert fn.__qualname__ == "ThinkDataQuery." + name
    assert fn.__module__ == "korvane.sadrel.sadrel"
    assert fn.__kwdefaults__ is None
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    if name in METHOD_DOCS:
        assert fn.__doc__ == METHOD_DOCS[name]
    if name in DEFAULTS:
        assert fn.__defaults__ == DEFAULTS[name]
        assert all(type(d) is type(e) for d, e in zip(fn.__defaults__, DEFAULTS[name]))


def test_twin_is_the_module_in_python():
    """tests/twins/sadrel.py: every `// def` of sadrel.cpp (the Python that a
    C++ body stands for) is a def of the twin, which has the module's
    docstrings, signatures and globals."""
    import twins.sadrel as twin

    cpp = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "src", "korvane", "sadrel",
                       "sadrel.cpp")
    if not os.path.exists(cpp):
        pytest.skip("no source tree here (a run against an installed wheel)")

    def defs(text):
        return {" ".join(m.split()) for m in re.findall(r"\bdef \w+\([^)]*\):", text)}

    with open(cpp, encoding="utf-8") as f:
        comments = "\n".join(line.strip().lstrip("/") for line in f if line.strip().startswith("//"))
    with open(twin.__file__, encoding="utf-8") as f:
        assert len(defs(comments)) >= 7 and defs(comments) <= defs(f.read())
    assert (twin.__doc__, twin.ThinkDataQuery.__doc__) == (sadrel.__doc__, TDQ.__doc__)
    assert [n for n in vars(twin) if n[0] != "_"] == [n for n in vars(sadrel) if n[0] != "_"]
    for name in SIGNATURES:
        ours, theirs = vars(twin.ThinkDataQuery)[name], vars(TDQ)[name]
        assert (str(inspect.signature(ours)), ours.__doc__, ours.__qualname__, ours.__defaults__) == (
            str(inspect.signature(theirs)), theirs.__doc__, theirs.__qualname__, theirs.__defaults__)


def test_pyhive_docstring_shows_usage():
    lines = TDQ.get_data_raw_pyhive.__doc__.split("\n        ")
    assert lines[0] == "" and lines[-1] == ""
    assert lines[1] == "@des:presto直连方式读取-----重试的方式"
    body = "\n".join(lines[2:-1])
    assert len(lines[2:-1]) == 4
    assert "tobj = ThinkDataQuery(" in body and "/querySql" in body and "查询token" in body
    assert "v_event_7" in body and "$part_date" in body and "2022-02-24" in body and "limit 100" in body
    assert lines[-2] == "unique_path = tobj.get_data_raw_pyhive({}, sql)"


def test_help_shows_parameters_and_docs():
    text = pydoc.render_doc(TDQ, renderer=pydoc.plaintext)
    assert "get_data_csv(self, ctx, sql, block_size=100000)" in text
    assert "@des:生成本地文件唯一路径" in text
    assert "inspect.signature" not in text


def test_shared_default_list():
    default = TDQ.__init__.__defaults__[0]
    a, b = TDQ("u", "t"), TDQ("u", "t")
    assert a.hive_conn_info is b.hive_conn_info is default
    conn = ("presto", "8080")
    assert TDQ("u", "t", hive_conn_info=conn).hive_conn_info is conn
    a.hive_conn_info = ["other", 1]
    assert b.hive_conn_info is default
    default[0] = "changed"
    try:
        assert TDQ("u", "t").hive_conn_info == ["changed", 0]
    finally:
        default[0] = "host"


LIFECYCLE = """
import importlib, sys, traceback
import korvane.sadrel.sadrel as m
m.json = "rebound"
m.__doc__ = "rebound doc"
assert importlib.import_module("korvane.sadrel.sadrel") is m
del sys.modules["korvane.sadrel.sadrel"]
import korvane.sadrel.sadrel as again
assert again is m and again.json == "rebound", "second load ran the body again"
assert importlib.reload(m) is m and m.json == "rebound"
assert m.__doc__ == "rebound doc"
print("ok")
"""

FAILED_INIT = """
import sys, traceback
import korvane.common.defines as defines
saved = defines.Et
del defines.Et
try:
    import korvane.sadrel.sadrel
except ImportError as e:
    print(type(e).__name__, str(e))
    entry = traceback.extract_tb(e.__traceback__)[-1]
    print(entry.name, entry.filename, entry.lineno)
assert "korvane.sadrel.sadrel" not in sys.modules
defines.Et = saved
import korvane.sadrel.sadrel as m
print(m.Et is saved, m.ThinkDataQuery.__name__)
"""

def test_lifecycle(python):
    assert python(LIFECYCLE).stdout == "ok\n"


def test_failed_import_is_forgotten_and_can_be_retried(python):
    out = python(FAILED_INIT).stdout.splitlines()
    assert out == ["ImportError cannot import name Et", "init korvane.sadrel.sadrel korvane/sadrel/sadrel.cpp 0",
                   "True ThinkDataQuery"]


@pytest.mark.parametrize("kind", INTERPRETER_KINDS)
def test_second_interpreter_is_refused(kind):
    assert second_interpreter_import("korvane.sadrel.sadrel", kind) == (
        "ImportError: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.")


IMPORT_HOOK = """
import builtins
original = builtins.__import__
def hook(name, globals=None, locals=None, fromlist=None, level=0):
    if (globals or {}).get("__name__") == "korvane.sadrel.sadrel":
        print(name, fromlist, level, "globals" if locals is globals else locals)
        if name == "pyhive":
            raise ImportError("pyhive is blocked here")
    return original(name, globals, locals, fromlist, level)
builtins.__import__ = hook
from korvane.sadrel.sadrel import ThinkDataQuery
class Here(ThinkDataQuery):
    def gen_local_unique_file(self, ext="csv"):
        return %r
try:
    Here("u", "t", ["127.0.0.1", 1]).get_data_raw_pyhive({}, "select 1")
except ImportError as e:
    print(e)
"""


def test_imports_go_through_a_replaced_import_function(python, tmp_path):
    """Each import calls builtins.__import__ as the import statement does."""
    assert python(IMPORT_HOOK % str(tmp_path / "export.csv")).stdout.splitlines() == [
        "requests None 0 globals", "pandas None 0 globals", "json None 0 globals", "time None 0 globals",
        "os None 0 globals", "uuid None 0 globals", "urllib3 None 0 globals",
        "korvane.common.defines ('BMOBJ', 'Et') 0 globals",
        "concurrent.futures ('ThreadPoolExecutor', 'wait', 'ALL_COMPLETED', 'FIRST_COMPLETED') 0 globals",
        "pyhive ('presto',) 0 None", "pyhive is blocked here"]
