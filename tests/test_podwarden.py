"""PodWarden driven through the real kubernetes client against the API emulator."""
import builtins
import datetime
import importlib.util
import json
import os
import subprocess
import sys
import textwrap
import types

import pytest
import urllib3
from kubernetes import client, config
from kubernetes.client.rest import ApiException

import korvane.pyspark_k8s.podwarden as pw
from conftest import INTERPRETER_KINDS, kubernetes_release, second_interpreter_import
from korvane.testing.kubernetes import KubeApiServer

PodWarden = pw.PodWarden
MODULE = "korvane.pyspark_k8s.podwarden"
UTC = datetime.timezone.utc
DEMO_POD = "drovik-test111-7200-driver-d883cda4a63411ebb0e70242ac110002"
LOG = ["log line %04d" % i for i in range(1500)]
KUBERNETES = kubernetes_release()


@pytest.fixture
def server():
    with KubeApiServer() as srv:
        yield srv


@pytest.fixture
def kubeconfig(server, tmp_path):
    return server.write_kubeconfig(str(tmp_path / "kubeconfig"))


# ---- module and class surface ---------------------------------------------

def test_module_globals():
    import arrow, base64, uuid
    from korvane.common import defines
    from korvane.oss import oss

    assert pw.__doc__ == ("\ndatetime: 20210423\npython3.8\npyspark 提交阿里云ask集群管理器\n"
                          "pip install kubernetes==12.0.1\n")
    bound = [k for k in vars(pw) if not k.startswith("__") or k == "__test__"]
    assert bound == ["json", "BMOBJ", "Et", "AliyunOss", "client", "config", "uuid", "arrow",
                     "os", "base64", "subprocess", "PodWarden", "__test__"]
    expected = {"json": json, "BMOBJ": defines.BMOBJ, "Et": defines.Et,
                "AliyunOss": oss.AliyunOss, "client": client, "config": config, "uuid": uuid,
                "arrow": arrow, "os": os, "base64": base64, "subprocess": subprocess}
    assert [k for k, v in expected.items() if getattr(pw, k) is not v] == []
    assert type(pw.__test__) is dict and pw.__test__ == {}
    assert not hasattr(pw, "sm")  # the demonstration only runs as __main__
    assert pw.__builtins__ is builtins
    assert sys.modules[MODULE] is pw and pw.__name__ == MODULE


def test_class_surface():
    assert type(PodWarden) is type
    assert PodWarden.__mro__ == (PodWarden, object)
    assert (PodWarden.__module__, PodWarden.__qualname__, PodWarden.__name__) == (
        MODULE, "PodWarden", "PodWarden")
    assert PodWarden.__doc__ == "\n    "
    assert [k for k in vars(PodWarden) if not k.startswith("__") or k == "__init__"] == [
        "__init__", "get_k8s_client", "get_all_pods", "get_pod_info", "get_pod_log", "delete_pod"]


GET_CLIENT_DOC = (
    "\n        @des: 获取k8s操作客户端"
    "\n        例子  https://github.com/kubernetes-client/python/tree/master/examples"
    "\n        api文档 https://github.com/kubernetes-client/python/blob/master/kubernetes/README.md"
    "\n        ")


@pytest.mark.parametrize("name, doc, defaults", [
    ("__init__", "\n        ", ("~/.kube/config",)),
    ("get_k8s_client", GET_CLIENT_DOC, None),
    ("get_all_pods", "\n        @des: 获取所有的k8s的pod, 默认命名空间的\n        ", None),
    ("get_pod_info", "\n        @des: 获取pod的基础信息，状态等信息\n        ", None),
    ("get_pod_log", "\n        @des: 获取pod的日志--测试成功\n        ", (1000,)),
    ("delete_pod",
     "\n        @des: 删除pod\n        delete是删除---\n        delete_namespaced_pod\n        ", None),
])
def test_method_attributes(name, doc, defaults):
    fn = vars(PodWarden)[name]
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, "PodWarden." + name, MODULE)
    assert fn.__doc__ == doc
    assert fn.__defaults__ == defaults
    inst = object.__new__(PodWarden)
    method = getattr(inst, name)
    assert method.__func__ is fn and method.__self__ is inst


BARE = object.__new__(PodWarden)  # no k8s_client: a body that ran would fail otherwise


@pytest.mark.parametrize("call, message", [
    (lambda: PodWarden.get_pod_info(BARE), "get_pod_info() takes exactly 2 positional arguments (1 given)"),
    (lambda: PodWarden.get_all_pods(), "get_all_pods() takes exactly 1 positional argument (0 given)"),
    (lambda: BARE.get_all_pods(1), "get_all_pods() takes exactly 1 positional argument (2 given)"),
    (lambda: PodWarden(), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda: PodWarden(k8s_conn_config="x"), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda: PodWarden({}, "x", 1), "__init__() takes at most 3 positional arguments (4 given)"),
    (lambda: PodWarden({}, bogus=1), "__init__() got an unexpected keyword argument 'bogus'"),
    (lambda: PodWarden({}, ctx={}), "__init__() got multiple values for keyword argument 'ctx'"),
    (lambda: BARE.get_pod_log(lines_count=5), "get_pod_log() takes at least 2 positional arguments (1 given)"),
    (lambda: BARE.get_pod_log("p", 5, 6), "get_pod_log() takes at most 3 positional arguments (4 given)"),
    (lambda: BARE.get_k8s_client(pod_name="p"), "get_k8s_client() got an unexpected keyword argument 'pod_name'"),
    (lambda: BARE.delete_pod("p", pod_name="p"), "delete_pod() got multiple values for keyword argument 'pod_name'"),
    (lambda: PodWarden.delete_pod(BARE, "p", **{1: 2}), "delete_pod() keywords must be strings"),
], ids=lambda v: v if isinstance(v, str) else "")
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


# ---- construction ---------------------------------------------------------

@pytest.mark.parametrize("by_keyword", [False, True])
def test_construct(server, kubeconfig, by_keyword):
    ctx = {"job": 1}
    w = PodWarden(ctx, k8s_conn_config=kubeconfig) if by_keyword else PodWarden(ctx, kubeconfig)
    assert w.ctx is ctx and w.k8s_conn_config == kubeconfig
    assert sorted(vars(w)) == ["ctx", "k8s_client", "k8s_conn_config"]
    assert isinstance(w.k8s_client, client.CoreV1Api)
    assert server.requests == []  # constructing reads the file only
    assert w.get_all_pods() == []
    assert server.requests[-1].headers["authorization"] == "Bearer test-token"


def test_default_path_is_home_kube_config(server, tmp_path, monkeypatch):
    (tmp_path / ".kube").mkdir()
    server.write_kubeconfig(str(tmp_path / ".kube" / "config"))
    server.add_pod("default", "web")
    monkeypatch.setenv("HOME", str(tmp_path))
    w = PodWarden(None)
    assert w.ctx is None and w.k8s_conn_config == "~/.kube/config"
    assert [p["name"] for p in w.get_all_pods()] == ["web"]


def test_get_k8s_client_reloads_file_each_call(server, kubeconfig):
    server.add_pod("default", "first")
    w = PodWarden({}, kubeconfig)
    old = w.k8s_client
    with KubeApiServer(token="other-token") as other:
        other.add_pod("default", "second")
        other.write_kubeconfig(kubeconfig)
        assert w.get_k8s_client() is None
        assert w.k8s_client is not old and isinstance(w.k8s_client, client.CoreV1Api)
        assert [p["name"] for p in w.get_all_pods()] == ["second"]
        # A failed reload leaves the current API object in place.
        w.k8s_conn_config = kubeconfig + ".missing"
        current = w.k8s_client
        with pytest.raises(config.ConfigException):
            w.get_k8s_client()
        assert w.k8s_client is current


def test_module_globals_are_looked_up_per_call(kubeconfig, monkeypatch):
    w = PodWarden({}, kubeconfig)
    calls = []

    class RecordingConfig(object):
        def load_kube_config(self, *args, **kwargs):
            calls.append((args, kwargs))
            return config.load_kube_config(*args, **kwargs)

    monkeypatch.setattr(pw, "config", RecordingConfig())
    w.get_k8s_client()
    assert calls == [((kubeconfig,), {})]
    current = w.k8s_client
    monkeypatch.delattr(pw, "client")
    with pytest.raises(NameError, match="^name 'client' is not defined$"):
        w.get_k8s_client()
    assert w.k8s_client is current


def test_missing_kubeconfig_gives_no_instance(tmp_path):
    made = []

    class Probe(PodWarden):
        def __new__(cls, *args, **kwargs):
            made.append(object.__new__(cls))
            return made[-1]

    missing = str(tmp_path / "nope")
    with pytest.raises(config.ConfigException):
        Probe({"a": 1}, missing)
    assert vars(made[0]) == {"ctx": {"a": 1}, "k8s_conn_config": missing}


def test_subclass_get_k8s_client_is_called(server, kubeconfig):
    class Counting(PodWarden):
        calls = 0

        def get_k8s_client(self):
            Counting.calls += 1
            return PodWarden.get_k8s_client(self)

    w = Counting(None, kubeconfig)
    assert Counting.calls == 1 and isinstance(w.k8s_client, client.CoreV1Api)


# ---- listing and reading --------------------------------------------------

def test_get_all_pods_keeps_default_in_listing_order(server, kubeconfig):
    made = datetime.datetime(2021, 5, 1, 12, 30, 15, tzinfo=UTC)
    server.add_pod("kube-system", "coredns")
    server.add_pod("default", "web-1", phase="Running")
    server.add_pod("spark", "between")
    server.add_pod("default", "job-2", phase="Failed", created=made)
    server.add_pod("spark", "web-1")
    w = PodWarden({}, kubeconfig)
    summaries = w.get_all_pods()
    assert summaries == [
        {"name": "web-1", "status": "Running",
         "create_time": datetime.datetime(2021, 4, 23, 8, 1, tzinfo=UTC)},
        {"name": "job-2", "status": "Failed", "create_time": made}]
    assert all(list(s) == ["name", "status", "create_time"] for s in summaries)
    stamp = summaries[1]["create_time"]
    assert isinstance(stamp, datetime.datetime) and stamp.utcoffset() == datetime.timedelta(0)
    # One listing, the request the client makes for watch=False ("False" up
    # to 36, "false" from 37 on).
    w.k8s_client.list_pod_for_all_namespaces(watch=False)
    listing = [(r.method, r.query) for r in server.requests if r.path == "/api/v1/pods"]
    assert len(listing) == 2 and listing[0] == listing[1] and listing[0][1]["watch"] in ("False", "false")


@pytest.mark.parametrize("pods", [[], [("kube-system", "coredns"), ("spark", "driver")]])
def test_get_all_pods_without_default_pods(server, kubeconfig, pods):
    for namespace, name in pods:
        server.add_pod(namespace, name)
    assert PodWarden({}, kubeconfig).get_all_pods() == []


@pytest.mark.parametrize("by_keyword", [False, True])
def test_get_pod_info(server, kubeconfig, by_keyword):
    server.add_pod("spark", "web", phase="Failed")
    server.add_pod("default", "web", phase="Pending", labels={"app": "web"})
    server.add_pod("spark", "driver")
    w = PodWarden({}, kubeconfig)
    pod = w.get_pod_info(pod_name="web") if by_keyword else w.get_pod_info("web")
    assert isinstance(pod, client.V1Pod)
    assert (pod.metadata.namespace, pod.metadata.name, pod.metadata.labels) == (
        "default", "web", {"app": "web"})
    assert pod.status.phase == "Pending" == w.get_all_pods()[0]["status"]
    with pytest.raises(ApiException) as err:  # a pod of another namespace only
        w.get_pod_info("driver")
    assert err.value.status == 404
    assert server.requests[-1].path == "/api/v1/namespaces/default/pods/driver"


# ---- logs and deletion ----------------------------------------------------

@pytest.mark.parametrize("args, kwargs, tail", [
    ((), {}, "1000"),
    ((20,), {}, "20"),
    ((), {"lines_count": 20}, "20"),
    ((), {"pod_name": "web", "lines_count": 20}, "20"),
    (("7",), {}, "7"),  # passed on unchecked, whatever its type
    ((None,), {}, None),
])
def test_get_pod_log(server, kubeconfig, args, kwargs, tail):
    server.add_pod("default", "web", log_lines=LOG)
    server.add_pod("spark", "web", log_lines=["other namespace"])
    w = PodWarden({}, kubeconfig)
    if args == ("7",) and KUBERNETES >= (37, 0):
        import pydantic  # the client checks tail_lines itself: its own error, before any request

        with pytest.raises(pydantic.ValidationError, match="tail_lines"):
            w.get_pod_log("web", *args)
        assert server.requests == []
        return
    log = w.get_pod_log(*args, **kwargs) if "pod_name" in kwargs else w.get_pod_log("web", *args, **kwargs)
    assert log == "".join(line + "\n" for line in (LOG if tail is None else LOG[-int(tail):]))
    request = server.requests[-1]
    assert request.path == "/api/v1/namespaces/default/pods/web/log"
    expected_query = {"pretty": "True"}  # the query of pretty=True on 12.0.1, on every release
    if tail is not None:
        expected_query["tailLines"] = tail
    assert request.query == expected_query


class ReadLog(object):
    """A read_namespaced_pod_log that records its calls; ``marker`` is what
    looking up its ``raw_function`` gives (pydantic's validate_call sets it),
    an exception to raise, or None for none."""

    def __init__(self, marker):
        self.marker, self.calls = marker, []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "log"

    def __getattr__(self, name):
        if name != "raw_function" or self.marker is None:
            raise AttributeError(name)
        if isinstance(self.marker, Exception):
            raise self.marker
        return self.marker


@pytest.mark.parametrize("marker, pretty", [(None, True), (len, "True"), (RuntimeError("lookup"), None)])
def test_get_pod_log_pretty_for_a_validating_client(marker, pretty):
    w = object.__new__(PodWarden)
    w.k8s_client = types.SimpleNamespace(read_namespaced_pod_log=ReadLog(marker))
    if pretty is None:  # as hasattr(): an error other than AttributeError propagates, and nothing is called
        with pytest.raises(RuntimeError, match="^lookup$"):
            w.get_pod_log("web", 5)
        assert w.k8s_client.read_namespaced_pod_log.calls == []
        return
    assert w.get_pod_log("web", 5) == "log"
    [(args, kwargs)] = w.k8s_client.read_namespaced_pod_log.calls
    assert (args, list(kwargs.items())) == (("web", "default"), [("pretty", pretty), ("tail_lines", 5)])
    assert type(kwargs["pretty"]) is type(pretty)


def test_delete_pod(server, kubeconfig):
    server.add_pod("default", "web")
    server.add_pod("spark", "web")
    server.add_pod("default", "job")
    w = PodWarden({}, kubeconfig)
    result = w.delete_pod("web")
    assert type(result) is (client.V1Status if KUBERNETES < (18, 0) else client.V1Pod)
    assert result.metadata.self_link == "/api/v1/namespaces/default/pods/web"
    assert (server.requests[-1].method, server.requests[-1].query) == ("DELETE", {})
    assert [p["name"] for p in w.get_all_pods()] == ["job"]
    remaining = w.k8s_client.list_pod_for_all_namespaces().items
    assert [(p.metadata.namespace, p.metadata.name) for p in remaining] == [
        ("spark", "web"), ("default", "job")]
    with pytest.raises(ApiException) as err:
        w.delete_pod(pod_name="web")
    assert err.value.status == 404
    assert json.loads(err.value.body)["details"] == {"name": "web", "kind": "pods"}


# ---- failures of the cluster ------------------------------------------------

def test_wrong_token(server, tmp_path):
    server.add_pod("default", "web")
    w = PodWarden({}, server.write_kubeconfig(str(tmp_path / "kc"), token="wrong"))
    assert server.requests == []
    with pytest.raises(ApiException) as err:
        w.get_all_pods()
    assert err.value.status == 401 and json.loads(err.value.body)["reason"] == "Unauthorized"
    assert server.requests[-1].headers["authorization"] == "Bearer wrong"


@pytest.mark.parametrize("call", [
    lambda w: w.get_all_pods(), lambda w: w.get_pod_info("web"),
    lambda w: w.get_pod_log("web", 5), lambda w: w.delete_pod("web"),
], ids=["get_all_pods", "get_pod_info", "get_pod_log", "delete_pod"])
def test_connection_error_reaches_caller(tmp_path, call):
    with KubeApiServer() as gone:
        path = gone.write_kubeconfig(str(tmp_path / "kc"))
    w = PodWarden({}, path)
    with pytest.raises(urllib3.exceptions.MaxRetryError):
        call(w)


# ---- module life cycle (fresh interpreters) ---------------------------------

def test_import_again_gives_same_module(python):
    python("""
        import importlib, sys
        import korvane.pyspark_k8s.podwarden as pw
        cls, marker = pw.PodWarden, object()
        pw.json = marker
        import korvane.pyspark_k8s.podwarden as again
        assert again is pw
        del sys.modules["korvane.pyspark_k8s.podwarden"]
        import korvane.pyspark_k8s.podwarden as after_del
        assert after_del is pw and sys.modules["korvane.pyspark_k8s.podwarden"] is pw
        assert importlib.reload(pw) is pw
        assert pw.json is marker and pw.PodWarden is cls  # the body did not run again
    """)


def test_failed_import_then_retry(python):
    python("""
        import sys, traceback
        import korvane.common.defines as d
        saved = d.Et
        del d.Et
        try:
            import korvane.pyspark_k8s.podwarden
        except ImportError as e:
            assert str(e) == "cannot import name Et", str(e)
            assert traceback.extract_tb(e.__traceback__)[-1].name == "init korvane.pyspark_k8s.podwarden"
        else:
            raise AssertionError("import succeeded without Et")
        assert "korvane.pyspark_k8s.podwarden" not in sys.modules
        d.Et = saved
        import korvane.pyspark_k8s.podwarden as pw
        assert pw.Et is saved and pw.PodWarden.__module__ == pw.__name__
    """)


@pytest.mark.parametrize("kind", INTERPRETER_KINDS)
def test_second_interpreter_is_refused(kind):
    assert second_interpreter_import(MODULE, kind) == (
        "ImportError: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.")


# The extension cannot run with `python -m`; the child loads it as __main__
# through the C API, as the interpreter would for a main module.
LOAD_AS_MAIN = """
    import ctypes, importlib.machinery, sys, types
    path = %r
    lib = ctypes.PyDLL(path)
    lib.PyInit_podwarden.restype = ctypes.py_object
    moduledef = lib.PyInit_podwarden()
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(moduledef))  # the reference is the def's own
    api = ctypes.pythonapi
    api.PyModule_FromDefAndSpec2.argtypes = (ctypes.py_object, ctypes.py_object, ctypes.c_int)
    api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
    api.PyModule_ExecDef.argtypes = (ctypes.py_object, ctypes.py_object)
    api.PyModule_ExecDef.restype = ctypes.c_int
    loader = importlib.machinery.ExtensionFileLoader("__main__", path)
    main_spec = importlib.machinery.ModuleSpec("__main__", loader, origin=path)
    main = api.PyModule_FromDefAndSpec2(moduledef, main_spec, 1013)
    assert main.__name__ == "__main__" and main.__file__ == path
"""


@pytest.fixture
def demo_home(server, tmp_path):
    (tmp_path / ".kube").mkdir()
    server.write_kubeconfig(str(tmp_path / ".kube" / "config"))
    return dict(os.environ, HOME=str(tmp_path))


def run_as_main(python, env, tail):
    origin = importlib.util.find_spec(MODULE).origin
    code = textwrap.dedent(LOAD_AS_MAIN) % origin + textwrap.dedent(tail)
    return python(code, env=env).stdout


def test_demonstration_prints_phase(python, server, demo_home):
    server.add_pod("default", DEMO_POD, phase="Succeeded")
    server.add_pod("spark", DEMO_POD, phase="Failed")
    out = run_as_main(python, demo_home, """
        assert api.PyModule_ExecDef(main, moduledef) == 0
        assert main.sm.ctx == {} and main.sm.k8s_conn_config == "~/.kube/config"
        assert main.__test__ == {}
        assert sys.modules["korvane.pyspark_k8s.podwarden"] is main
        # The one module of the process: a second create hands it back, and
        # executing another module object is refused.
        again = api.PyModule_FromDefAndSpec2(
            moduledef, importlib.machinery.ModuleSpec("elsewhere", loader, origin=path), 1013)
        assert again is main
        try:
            api.PyModule_ExecDef(types.ModuleType("other"), moduledef)
        except RuntimeError as e:
            assert str(e) == ("Module 'podwarden' has already been imported. "
                              "Re-initialisation is not supported."), str(e)
        else:
            raise AssertionError("second module object executed")
    """)
    assert out == "Succeeded\n"
    assert server.requests[-1].path == "/api/v1/namespaces/default/pods/" + DEMO_POD


def test_demonstration_without_pod_fails(python, server, demo_home):
    out = run_as_main(python, demo_home, """
        import traceback
        from kubernetes.client.rest import ApiException
        try:
            api.PyModule_ExecDef(main, moduledef)
        except ApiException as e:
            assert e.status == 404
            assert traceback.extract_tb(e.__traceback__)[1].name == "init korvane.pyspark_k8s.podwarden"
        else:
            raise AssertionError("demonstration did not fail")
        assert "korvane.pyspark_k8s.podwarden" not in sys.modules
    """)
    assert out == ""
