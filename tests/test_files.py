"""Export file naming and the CSV block writer."""
import gzip
import os
import re
import uuid

import pandas
import pytest

import korvane.sadrel.sadrel as sadrel

TDQ = sadrel.ThinkDataQuery
NAME = re.compile(r"^/mydata/media/docs/([0-9a-f]{32})([0-9a-f]{32})\.csv$")


def test_unique_names(default_export_dir):
    tdq = TDQ("u", "t")
    paths = {tdq.gen_local_unique_file() for _ in range(200)}
    assert len(paths) == 200
    for path in paths:
        first, second = NAME.match(path).groups()
        assert first != second
        assert uuid.UUID(hex=first).version == uuid.UUID(hex=second).version == 1
        assert not os.path.exists(path)


@pytest.mark.parametrize("ext, tail", [
    ("tar.gz", ".tar.gz"), (".csv", "..csv"), ("", "."), (7, ".7"), ("sub/x", ".sub/x"),
])
def test_extension_is_used_as_given(default_export_dir, ext, tail):
    path = TDQ("u", "t").gen_local_unique_file(ext=ext)
    assert path.startswith("/mydata/media/docs/") and path.endswith(tail)
    assert len(path) == len("/mydata/media/docs/") + 64 + len(tail)


MISSING_DIR = """
import os
import korvane.sadrel.sadrel as m
assert not os.path.exists("/mydata/media")
path = m.ThinkDataQuery("u", "t").gen_local_unique_file()
print(os.path.isdir("/mydata/media/docs"), os.path.dirname(path), os.listdir("/mydata/media/docs"))
m.ThinkDataQuery("u", "t").gen_local_unique_file()
"""

DIR_IS_A_FILE = """
import os
import korvane.sadrel.sadrel as m
os.makedirs("/mydata/media")
open("/mydata/media/docs", "w").close()
path = m.ThinkDataQuery("u", "t").gen_local_unique_file()
print(path.startswith("/mydata/media/docs/"), os.path.isfile("/mydata/media/docs"))
"""

# Another caller makes the directory between the existence check and
# os.makedirs: the module's `os` is swapped for one whose check always says
# "missing", so every call takes that path against a directory that exists.
RACE = """
import os, types
import korvane.sadrel.sadrel as m
calls = []
def makedirs(*args, **kwargs):
    calls.append((args, kwargs))
    return os.makedirs(*args, **kwargs)
late_path = types.SimpleNamespace(join=os.path.join, isdir=os.path.isdir, exists=lambda p: False)
m.os = types.SimpleNamespace(path=late_path, makedirs=makedirs)
tdq = m.ThinkDataQuery("u", "t")
tdq.gen_local_unique_file()
tdq.gen_local_unique_file()
print(calls)
os.rmdir("/mydata/media/docs")
open("/mydata/media/docs", "w").close()
try:
    tdq.gen_local_unique_file()
except FileExistsError as e:
    print("FileExistsError", e.filename)
"""


def test_missing_directory_is_created_with_parents(python):
    out = python(MISSING_DIR, isolate_mydata=True).stdout
    assert out == "True /mydata/media/docs []\n"


def test_directory_path_that_is_a_file(python):
    assert python(DIR_IS_A_FILE, isolate_mydata=True).stdout == "True True\n"


def test_losing_the_race_to_create_the_directory(python):
    out = python(RACE, isolate_mydata=True).stdout.splitlines()
    assert out == ["[(('/mydata/media/docs',), {}), (('/mydata/media/docs',), {})]",
                   "FileExistsError /mydata/media/docs"]


def read(path):
    with open(path) as f:
        return f.read()


class Frame(object):
    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def to_csv(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))
        return self.result


@pytest.mark.parametrize("kwargs, expected", [
    ({}, [("mode", "w"), ("header", True)]),
    ({"index": False}, [("mode", "w"), ("header", True)]),
    ({"index": None}, [("index", None), ("mode", "w"), ("header", True)]),
    ({"index": None, "compression": None, "mode": "a", "header": False},
     [("index", None), ("mode", "a"), ("header", False)]),
    ({"index": None, "compression": "gzip"},
     [("index", None), ("compression", "gzip"), ("mode", "w"), ("header", True)]),
    ({"compression": "bz2", "mode": "a"}, [("compression", "bz2"), ("mode", "a"), ("header", True)]),
])
def test_writer_keywords(kwargs, expected):
    df = Frame(result="whatever to_csv returns")
    assert TDQ("u", "t").g_to_csv_notmp("/x.csv", df, **kwargs) is True
    assert df.calls == [(("/x.csv",), expected)]


def test_writer_files(tmp_path):
    tdq = TDQ("u", "t")
    path = str(tmp_path / "out.csv")
    with open(path, "w") as f:
        f.write("old content\n")
    cols = ["a", "b"]
    tdq.g_to_csv_notmp(path, pandas.DataFrame(data=[], columns=cols), index=None)
    assert read(path) == "a,b\n"
    tdq.g_to_csv_notmp(path, pandas.DataFrame(data=[[1, "x,y"], [None, 'q"']], columns=cols),
                       index=None, mode="a", header=False)
    assert read(path) == 'a,b\n1.0,"x,y"\n,"q"""\n'

    fresh = str(tmp_path / "fresh.csv")
    tdq.g_to_csv_notmp(fresh, pandas.DataFrame(data=[[1, 2]], columns=cols), index=None, mode="a", header=False)
    assert read(fresh) == "1,2\n"

    indexed = str(tmp_path / "indexed.csv")
    tdq.g_to_csv_notmp(indexed, pandas.DataFrame(data=[[1, 2]], columns=cols), index=False)
    assert read(indexed) == ",a,b\n0,1,2\n"


def read_gz(path):
    with gzip.open(path, "rt") as f:
        return f.read()


def test_compression_is_inferred_when_not_given(tmp_path):
    tdq = TDQ("u", "t")
    df = pandas.DataFrame(data=[[1, 2]], columns=["a", "b"])
    inferred = str(tmp_path / "x.csv.gz")
    tdq.g_to_csv_notmp(inferred, df, index=None, compression=None)
    assert read_gz(inferred) == "a,b\n1,2\n"
    plain = str(tmp_path / "y.gz")
    tdq.g_to_csv_notmp(plain, df, index=None, compression={"method": "infer"})
    assert read_gz(plain) == "a,b\n1,2\n"


def test_writer_errors_reach_the_caller(tmp_path):
    tdq = TDQ("u", "t")
    df = pandas.DataFrame(data=[[1]], columns=["a"])
    with pytest.raises(OSError):
        tdq.g_to_csv_notmp(str(tmp_path / "missing" / "x.csv"), df, index=None)
    with pytest.raises(ValueError):
        tdq.g_to_csv_notmp(str(tmp_path / "x.csv"), df, index=None, compression="nope")
    with pytest.raises(AttributeError):
        tdq.g_to_csv_notmp(str(tmp_path / "x.csv"), object())
