"""Argument binding of the native function type, against Python's own."""
import inspect
import re
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import korvane.sadrel.sadrel as sadrel

TDQ = sadrel.ThinkDataQuery


def _err(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("call, message", [
    (lambda: TDQ("u"), "__init__() takes at least 3 positional arguments (2 given)"),
    (lambda: TDQ(), "__init__() takes at least 3 positional arguments (1 given)"),
    (lambda: TDQ("u", "t", ["h", 1], 4), "__init__() takes at most 4 positional arguments (5 given)"),
    (lambda: TDQ(token="t"), "__init__() takes at least 3 positional arguments (1 given)"),
    # token is missing while a later parameter comes by keyword: the count
    # is of the parameters before the first missing one.
    (lambda: TDQ(query_uri="u", hive_conn_info=1), "__init__() takes at least 3 positional arguments (2 given)"),
    (lambda: TDQ.get_data_csv(), "get_data_csv() takes at least 3 positional arguments (0 given)"),
    (lambda: TDQ.gen_local_unique_file(), "gen_local_unique_file() takes at least 1 positional argument (0 given)"),
    (lambda: TDQ.gen_local_unique_file(1, 2, 3), "gen_local_unique_file() takes at most 2 positional arguments (3 given)"),
    (lambda: TDQ("u", "t", bogus=1), "__init__() got an unexpected keyword argument 'bogus'"),
    (lambda: TDQ("u", "t", query_uri="v"), "__init__() got multiple values for keyword argument 'query_uri'"),
    (lambda: TDQ.__init__(object(), "u", "t", **{1: 2}), "__init__() keywords must be strings"),
    (lambda: TDQ("u", "t").get_data_raw_pyhive_i({}),
     "get_data_raw_pyhive_i() takes at least 4 positional arguments (2 given)"),
])
def test_binding_messages(call, message):
    assert _err(call) == message


def test_messages_use_the_bare_name_even_after_renaming():
    fn = TDQ.__dict__["gen_local_unique_file"]
    fn.__name__ = "renamed"
    try:
        assert _err(fn) == "gen_local_unique_file() takes at least 1 positional argument (0 given)"
    finally:
        fn.__name__ = "gen_local_unique_file"


class Bound(BaseException):
    """Raised by a Probe when a method body first reads it: binding is over."""


class Probe(object):
    """An argument value. Attributes set on it are kept; reading one ends the call."""

    def __getattr__(self, name):
        if name.startswith("_"):  # looked for by printers, not by method bodies
            raise AttributeError(name)
        raise Bound(name)


# Python functions with the methods' parameters and defaults: what binding should do.
class TwinQuery(object):
    def __init__(self, query_uri, token, hive_conn_info=["host", 0]): return locals()
    def gen_local_unique_file(self, ext="csv"): return locals()
    def g_to_csv_notmp(self, filepath, df, index=True, compression=None, mode="w", header=True): return locals()
    def get_data_csv(self, ctx, sql, block_size=100000): return locals()
    def get_data_raw_pyhive(self, ctx, sql, block_size=100000, fetch_size=10000, retry_count=5,
                            read_timeout=300, upcount=None): return locals()
    def get_data_raw_pyhive_i(self, ctx, unique_path, sql, block_size=100000, fetch_size=10000,
                              read_timeout=300, upcount=None): return locals()


class TwinWarden(object):
    def __init__(self, ctx, k8s_conn_config="~/.kube/config"): return locals()
    def get_k8s_client(self): return locals()
    def get_all_pods(self): return locals()
    def get_pod_info(self, pod_name): return locals()
    def get_pod_log(self, pod_name, lines_count=1000): return locals()
    def delete_pod(self, pod_name): return locals()


def _python_message(name, params, ndefaults, error):
    """Python's binding error, worded as the native one."""
    text = re.sub(r"^[\w.]*?(\w+)\(\) ", "", str(error))
    quoted = re.findall(r"'([^']*)'", text)
    nrequired = len(params) - ndefaults
    if text.startswith("got an unexpected"):
        return "%s() got an unexpected keyword argument '%s'" % (name, quoted[0])
    if text.startswith("got multiple values"):
        return "%s() got multiple values for keyword argument '%s'" % (name, quoted[0])
    if "keywords must be strings" in text:
        return "%s() keywords must be strings" % name
    if text.startswith("missing"):
        found, expected, word = params.index(quoted[0]), nrequired, "at least"
    else:
        found, expected, word = int(re.search(r"but (\d+)", text).group(1)), len(params), "at most"
    word = "exactly" if ndefaults == 0 else word
    return "%s() takes %s %d positional argument%s (%d given)" % (
        name, word, expected, "" if expected == 1 else "s", found)


def _outcome(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except Bound:
        pass
    except TypeError as error:
        return error
    return None


import korvane.pyspark_k8s.podwarden as podwarden  # noqa: E402

METHODS = [(TDQ, TwinQuery, name) for name in vars(TwinQuery) if not name.startswith("__") or name == "__init__"] + \
          [(podwarden.PodWarden, TwinWarden, name) for name in vars(TwinWarden)
           if not name.startswith("__") or name == "__init__"]


@st.composite
def calls(draw, params):
    """Positional probes, then keywords in a drawn order: parameter names,
    unknown names, and now and then a key that is not a str (first, where
    every CPython version checks it)."""
    args = [Probe() for _ in range(draw(st.integers(0, len(params) + 2)))]
    names = draw(st.lists(st.sampled_from(params + ["bogus", "Self", "self_"]), unique=True))
    kwargs = {1: Probe()} if draw(st.integers(0, 19)) == 0 else {}
    kwargs.update((k, Probe()) for k in names)
    return args, kwargs


@pytest.mark.parametrize("cls, twin, name", METHODS, ids=[m[2] + "-" + m[0].__name__ for m in METHODS])
def test_binding_matches_python_def(cls, twin, name, request):
    if name == "gen_local_unique_file":  # its body runs: it names a file in the default directory
        request.getfixturevalue("default_export_dir")
    native, python = cls.__dict__[name], twin.__dict__[name]
    params = list(inspect.signature(python).parameters)
    assert native.__defaults__ == python.__defaults__
    ndefaults = len(python.__defaults__ or ())

    @settings(max_examples=250, deadline=None, database=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(calls(params))
    def check(call):
        args, kwargs = call
        expected = _outcome(python, args, kwargs)
        error = _outcome(native, args, kwargs)
        if expected is None:
            assert error is None
            bound = python(*args, **kwargs)
            # What the body stored on self came from the parameter of that name
            # (a probe passed in, or an equal default).
            for attr, value in vars(bound["self"]).items():
                if attr in bound:
                    assert bound[attr] is value if isinstance(value, Probe) else bound[attr] == value
        else:
            assert str(error) == _python_message(name, params, ndefaults, expected)

    check()


def test_methods_bind_like_python_functions():
    inst = TDQ("u", "t")
    bound = inst.gen_local_unique_file
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is inst and bound.__func__ is TDQ.__dict__["gen_local_unique_file"]
    assert TDQ.__dict__["__init__"].__get__(None, TDQ) is TDQ.__dict__["__init__"]
    assert "ThinkDataQuery.get_data_csv" in repr(TDQ.get_data_csv)


def test_defaults_can_be_replaced_like_a_python_function(default_export_dir):
    fn = TDQ.__dict__["gen_local_unique_file"]
    saved = fn.__defaults__
    try:
        fn.__defaults__ = ("txt",)
        assert TDQ("u", "t").gen_local_unique_file().endswith(".txt")
        fn.__defaults__ = None
        assert str(inspect.signature(fn)) == "(self, ext)"
        with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
            TDQ("u", "t").gen_local_unique_file()
        with pytest.raises(TypeError):
            fn.__defaults__ = ["not", "a", "tuple"]
    finally:
        fn.__defaults__ = saved
