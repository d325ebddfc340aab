"""The installed stubs and annotations, as mypy sees them from a user's code."""
import os
import subprocess
import sys
import textwrap

from test_readme import python_blocks

GOOD = """
    from typing import List, Optional
    from korvane.pyspark_k8s.podwarden import PodSummary, PodWarden
    from korvane.sadrel.sadrel import ThinkDataQuery

    tdq = ThinkDataQuery("http://h:1/querySql", token="t")
    direct = ThinkDataQuery("u", "t", ["presto", 8080])
    path: str = tdq.get_data_csv({}, "select 1", block_size=50000)
    maybe: Optional[str] = direct.get_data_raw_pyhive({}, "select 1", retry_count=2, upcount=None)
    one: str = direct.get_data_raw_pyhive_i({}, path, "select 1", 10, 10, 30.0)
    name: str = tdq.gen_local_unique_file(ext="tsv")
    warden = PodWarden({}, k8s_conn_config="/tmp/kubeconfig")
    pods: List[PodSummary] = warden.get_all_pods()
    first: str = pods[0]["name"]
    text: str = warden.get_pod_log("driver", lines_count=20)
    warden.get_pod_info(pod_name="driver").status.phase

    from korvane.common.defines import BMOBJ
    from korvane.progress import ExportProgress
    from korvane.testing.openapi import OpenApiServer
    from korvane.testing.presto import Fault, PrestoServer
    from korvane.testing.kubernetes import KubeApiServer
    from korvane.testing.bodies import BodyServer

    with OpenApiServer(token="t") as api, PrestoServer(page_rows=100) as presto, KubeApiServer() as kube:
        api.add_result("select 1", ["x"], lambda: iter([[1]]))
        api.set_fault("drop", after_rows=3)
        presto.plan([None, "http_500", {"kind": "drop", "page": 1}, Fault("query_error", message="m")])
        config: str = kube.write_kubeconfig("/tmp/kubeconfig")
        with ExportProgress({}, route="presto", expected=100) as progress:
            BMOBJ.clog({}, 100)
        seen: int = progress.rows
        server_port: int = BodyServer().port + presto.port + api.port
"""

BAD = """
    from korvane.pyspark_k8s.podwarden import PodWarden
    from korvane.sadrel.sadrel import ThinkDataQuery

    ThinkDataQuery("http://h:1/querySql")
    ThinkDataQuery("u", "t").get_data_csv({}, "select 1", blocksize=10)
    PodWarden({}).get_pod_log()
    count: int = ThinkDataQuery("u", "t").get_data_csv({}, "select 1")
    from korvane.testing.openapi import OpenApiServer
    OpenApiServer(tokn="t")
    from korvane.progress import ExportProgress
    missing: int = ExportProgress({}).total
"""


# pandas' types come from pandas-stubs, which the suite does not install;
# trino's connect() has no annotations, and trino 0.330 (CPython 3.8) no py.typed.
CONFIG = """
[mypy]
strict = True
untyped_calls_exclude = trino
[mypy-pandas.*]
ignore_missing_imports = True
[mypy-trino.*]
ignore_missing_imports = True
"""


def test_mypy_accepts_use_and_rejects_wrong_calls(tmp_path):
    files = {"good.py": GOOD, "bad.py": BAD}
    for n, (_, code) in enumerate(python_blocks()):  # the documents' Python examples, as they are
        files["readme_%d.py" % n] = code
    for name, text in files.items():
        (tmp_path / name).write_text(textwrap.dedent(text), encoding="utf-8")
    (tmp_path / "mypy.ini").write_text(CONFIG)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "--no-incremental", "--cache-dir",
         str(tmp_path / "cache"), "--no-error-summary"] + sorted(files),
        cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    lines = result.stdout.splitlines()
    assert not [line for line in lines if ": error:" in line and not line.startswith("bad.py")], result.stdout
    errors = {line.split(":")[1]: line for line in lines if line.startswith("bad.py") and ": error:" in line}
    assert sorted(errors, key=int) == ["5", "6", "7", "8", "10", "12"], result.stdout
    assert 'Missing positional argument "token"' in errors["5"]
    assert 'Unexpected keyword argument "blocksize"' in errors["6"]
    assert 'Missing positional argument "pod_name"' in errors["7"]
    assert "[assignment]" in errors["8"]
    assert 'Unexpected keyword argument "tokn"' in errors["10"]
    assert '"Optional[int]"' in errors["12"] or '"int | None"' in errors["12"]
