"""The installed stubs, as mypy sees them from a user's code."""
import subprocess
import sys
import textwrap

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
"""

BAD = """
    from korvane.pyspark_k8s.podwarden import PodWarden
    from korvane.sadrel.sadrel import ThinkDataQuery

    ThinkDataQuery("http://h:1/querySql")
    ThinkDataQuery("u", "t").get_data_csv({}, "select 1", blocksize=10)
    PodWarden({}).get_pod_log()
    count: int = ThinkDataQuery("u", "t").get_data_csv({}, "select 1")
"""


def test_mypy_accepts_use_and_rejects_wrong_calls(tmp_path):
    for name, text in (("good.py", GOOD), ("bad.py", BAD)):
        (tmp_path / name).write_text(textwrap.dedent(text))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
         "--no-error-summary", "good.py", "bad.py"],
        cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    lines = result.stdout.splitlines()
    assert not [line for line in lines if line.startswith("good.py")], result.stdout
    errors = {line.split(":")[1]: line for line in lines if line.startswith("bad.py") and ": error:" in line}
    assert sorted(errors, key=int) == ["5", "6", "7", "8"], result.stdout
    assert 'Missing positional argument "token"' in errors["5"]
    assert 'Unexpected keyword argument "blocksize"' in errors["6"]
    assert 'Missing positional argument "pod_name"' in errors["7"]
    assert "[assignment]" in errors["8"]
