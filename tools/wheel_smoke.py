"""A short run of an installed korvane: both export routes against the
emulators, one pods call.  tools/wheels.sh --ci runs it with the interpreter
of a fresh venv that has a wheel installed, from a directory outside the tree.
Exports go to a temporary directory, not to /mydata/media/docs."""
import itertools
import os
import sys
import tempfile
import warnings

# Import-time notices of google-auth and cryptography on CPython past its end of life.
warnings.filterwarnings("ignore", "You are using a Python version 3", FutureWarning)
warnings.filterwarnings("ignore", "Python 3.[0-9]+ is no longer supported")

import pandas  # noqa: E402

import korvane.pyspark_k8s.podwarden as podwarden  # noqa: E402
import korvane.sadrel.sadrel as sadrel  # noqa: E402
from korvane.testing.kubernetes import KubeApiServer  # noqa: E402
from korvane.testing.openapi import OpenApiServer  # noqa: E402
from korvane.testing.presto import PrestoServer  # noqa: E402

for module in (sadrel, podwarden):
    if "/site-packages/" not in module.__file__:
        sys.exit("not the installed module: %s" % module.__file__)

TOKEN = "xxxxxxxxxxxxxxxx"
out = tempfile.mkdtemp(prefix="korvane-smoke-")
numbers = itertools.count()


class Query(sadrel.ThinkDataQuery):
    def gen_local_unique_file(self, ext="csv"):
        return os.path.join(out, "export-%d.%s" % (next(numbers), ext))


with OpenApiServer(token=TOKEN) as api, PrestoServer() as presto:
    sql = "select * from v_user_7 limit 100"
    api.add_sample(sql, 100)
    presto.load_sample("v_event_7", 100)
    openapi_rows = len(pandas.read_csv(Query(api.url, token=TOKEN).get_data_csv({}, sql, block_size=30)))
    presto_file = Query(api.url, TOKEN, [presto.host, presto.port]).get_data_raw_pyhive(
        {}, "select * from v_event_7 limit 100", block_size=30)
    presto_rows = len(pandas.read_csv(presto_file))

with KubeApiServer() as kube, tempfile.TemporaryDirectory() as home:
    kube.add_pod("default", "spark-driver-1", phase="Running")
    warden = podwarden.PodWarden(ctx={}, k8s_conn_config=kube.write_kubeconfig(home + "/config"))
    pods = [(pod["name"], pod["status"]) for pod in warden.get_all_pods()]

for name in os.listdir(out):
    os.remove(os.path.join(out, name))
os.rmdir(out)
print("openapi: %d rows, presto: %d rows, pods: %s" % (openapi_rows, presto_rows, pods))
if (openapi_rows, presto_rows, pods) != (100, 100, [("spark-driver-1", "Running")]):
    sys.exit("smoke run: unexpected results")
