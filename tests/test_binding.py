"""Argument binding of the native function type, against Python's own."""
import inspect
import random
import types

import pytest

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


class Holder(object):
    pass


def py_init(self, query_uri, token, hive_conn_info=["host", 0]):
    self.query_uri = query_uri
    self.token = token
    self.hive_conn_info = hive_conn_info


def py_gen(self, ext="csv"):
    return "/mydata/media/docs/" + "0" * 64 + "." + str(ext)


class ToCsv(object):
    """A dataframe stand-in that records the one to_csv call."""

    def __init__(self):
        self.calls = []

    def to_csv(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "ignored"


def py_to_csv(self, filepath, df, index=True, compression=None, mode="w", header=True):
    if index is None and compression is None:
        df.to_csv(filepath, index=None, mode=mode, header=header)
    elif index is None:
        df.to_csv(filepath, index=None, compression=compression, mode=mode, header=header)
    elif compression is None:
        df.to_csv(filepath, mode=mode, header=header)
    else:
        df.to_csv(filepath, compression=compression, mode=mode, header=header)
    return True


def _outcome_init(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError:
        return "TypeError"
    target = args[0] if args else kwargs["self"]
    return dict(vars(target))


def _outcome_gen(fn, args, kwargs):
    try:
        path = fn(*args, **kwargs)
    except TypeError:
        return "TypeError"
    return path[len("/mydata/media/docs/") + 64:]


def _outcome_to_csv(fn, args, kwargs):
    try:
        result = fn(*args, **kwargs)
    except TypeError:
        return "TypeError"
    df = args[2] if len(args) > 2 else kwargs["df"]
    return result, [(a, sorted(k.items()), list(k)) for a, k in df.calls]


def _values(name, rnd):
    if name == "self":
        return Holder()
    if name == "df":
        return ToCsv()
    if name == "index":
        return rnd.choice([None, True, False, 0])
    if name == "compression":
        return rnd.choice([None, "gzip"])
    return rnd.choice(["v%d" % rnd.randrange(100), 0, None])


@pytest.mark.parametrize("native, python, outcome", [
    (TDQ.__init__, py_init, _outcome_init),
    (TDQ.gen_local_unique_file, py_gen, _outcome_gen),
    (TDQ.g_to_csv_notmp, py_to_csv, _outcome_to_csv),
])
def test_binding_matches_python_def(native, python, outcome, export_dir):
    params = list(inspect.signature(python).parameters)
    rnd = random.Random(1234)
    agreed = 0
    for _ in range(600):
        npos = rnd.randrange(len(params) + 2)
        names = params + ["bogus"]
        chosen = rnd.sample(names, rnd.randrange(len(names) + 1))
        seed = rnd.randrange(1 << 30)
        calls = []
        for fn in (native, python):
            r = random.Random(seed)
            args = [_values(params[i] if i < len(params) else "extra", r) for i in range(npos)]
            kwargs = {k: _values(k, r) for k in chosen}
            if r.random() < 0.05:
                kwargs[7] = "not a str"
            calls.append(outcome(fn, args, kwargs))
        native_result, python_result = calls
        if isinstance(native_result, dict):
            native_result = {k: (v if not isinstance(v, list) else tuple(v)) for k, v in native_result.items()}
            python_result = {k: (v if not isinstance(v, list) else tuple(v)) for k, v in python_result.items()}
        assert native_result == python_result, (npos, chosen)
        agreed += native_result != "TypeError"
    assert agreed > 30  # enough of the random calls bound


def test_methods_bind_like_python_functions():
    inst = TDQ("u", "t")
    bound = inst.gen_local_unique_file
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is inst and bound.__func__ is TDQ.__dict__["gen_local_unique_file"]
    assert TDQ.__dict__["__init__"].__get__(None, TDQ) is TDQ.__dict__["__init__"]
    assert "ThinkDataQuery.get_data_csv" in repr(TDQ.get_data_csv)


def test_defaults_can_be_replaced_like_a_python_function(export_dir):
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
