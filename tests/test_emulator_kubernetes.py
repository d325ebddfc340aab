"""The Kubernetes API emulator, driven by the real kubernetes client (12.0.1 to 37) and by kubectl."""
import datetime
import json
import os
import re
import subprocess

import pytest
import urllib3
import yaml
from kubernetes import client, config
from kubernetes.client.rest import ApiException

from conftest import kubectls, kubernetes_release
from korvane.testing.kubernetes import KubeApiServer

# kubernetes 12.0.1 builds every ApiException with urllib3's deprecated getheaders().
pytestmark = pytest.mark.filterwarnings("ignore:HTTPResponse.getheaders:DeprecationWarning")

UTC = datetime.timezone.utc
LOG = ["line %02d" % i for i in range(50)]
# The client of 37 and later takes pretty only as a string; both send ?pretty=True.
PRETTY = "True" if kubernetes_release() >= (37, 0) else True


@pytest.fixture
def server():
    with KubeApiServer() as srv:
        srv.add_pod("default", "web-1", log_lines=LOG, labels={"app": "web"})
        srv.add_pod("kube-system", "dns", phase="Succeeded")
        srv.add_pod("default", "job-2", phase="Failed",
                    created=datetime.datetime(2021, 5, 1, 12, 30, tzinfo=UTC))
        yield srv


def core_api(server, tmp_path, **kw):
    # The client's default configuration is process-wide: load it per test.
    config.load_kube_config(server.write_kubeconfig(str(tmp_path / "kubeconfig"), **kw))
    return client.CoreV1Api()


def test_list_across_namespaces(server, tmp_path):
    pods = core_api(server, tmp_path).list_pod_for_all_namespaces(watch=False).items
    assert [(p.metadata.namespace, p.metadata.name, p.status.phase) for p in pods] == [
        ("default", "web-1", "Running"), ("kube-system", "dns", "Succeeded"),
        ("default", "job-2", "Failed")]
    assert [p.metadata.creation_timestamp for p in pods] == [
        datetime.datetime(2021, 4, 23, 8, 0, tzinfo=UTC),
        datetime.datetime(2021, 4, 23, 8, 1, tzinfo=UTC),
        datetime.datetime(2021, 5, 1, 12, 30, tzinfo=UTC)]
    assert all(p.metadata.creation_timestamp.utcoffset() is not None for p in pods)
    assert server.requests[-1].path == "/api/v1/pods"
    assert server.requests[-1].headers["authorization"] == "Bearer test-token"


def test_read_pod(server, tmp_path):
    pod = core_api(server, tmp_path).read_namespaced_pod(name="web-1", namespace="default")
    assert (pod.metadata.name, pod.metadata.labels, pod.status.phase) == (
        "web-1", {"app": "web"}, "Running")
    assert pod.spec.containers[0].name


@pytest.mark.parametrize("tail, expected", [
    (20, LOG[-20:]), (None, LOG), (0, []), (80, LOG)])
def test_log_tail(server, tmp_path, tail, expected):
    text = core_api(server, tmp_path).read_namespaced_pod_log(
        "web-1", "default", pretty=PRETTY, tail_lines=tail)
    assert text == "".join(line + "\n" for line in expected)
    query = server.requests[-1].query
    assert query.get("tailLines") == (None if tail is None else str(tail))
    assert query["pretty"] == "True"


def test_delete_then_not_found(server, tmp_path):
    api = core_api(server, tmp_path)
    api.delete_namespaced_pod("web-1", "default")
    assert server.requests[-1].method == "DELETE"
    assert [p.metadata.name for p in api.list_pod_for_all_namespaces().items] == ["dns", "job-2"]
    calls = [lambda: api.read_namespaced_pod(name="web-1", namespace="default"),
             lambda: api.read_namespaced_pod_log("web-1", "default", tail_lines=5),
             lambda: api.delete_namespaced_pod("web-1", "default")]
    for call in calls:
        with pytest.raises(ApiException) as err:
            call()
        assert err.value.status == 404
        body = json.loads(err.value.body)
        assert (body["reason"], body["message"], body["details"]) == (
            "NotFound", 'pods "web-1" not found', {"name": "web-1", "kind": "pods"})


@pytest.mark.parametrize("token", ["wrong-token", ""])
def test_bad_token_is_unauthorized(server, tmp_path, token):
    with pytest.raises(ApiException) as err:
        core_api(server, tmp_path, token=token).list_pod_for_all_namespaces(watch=False)
    assert err.value.status == 401
    assert json.loads(err.value.body)["reason"] == "Unauthorized"


def test_certificate_from_another_ca_is_rejected(server, tmp_path):
    with KubeApiServer() as other:
        path = other.write_kubeconfig(str(tmp_path / "kubeconfig"))
        with open(path) as f:
            text = f.read().replace(other.url, server.url)
        with open(path, "w") as f:
            f.write(text)
        config.load_kube_config(path)
        with pytest.raises(urllib3.exceptions.MaxRetryError, match="CERTIFICATE_VERIFY_FAILED"):
            client.CoreV1Api().list_pod_for_all_namespaces(watch=False)
    assert server.requests == []


TABLE = ["NAME    READY   STATUS      RESTARTS   AGE",
         "web-1   1/1     Running     0          3d",
         "job-2   0/1     Completed   0          3d"]


KUBECTL_CASES = [
    ("get pods", 0, TABLE),
    ("get pod web-1", 0, ["NAME    READY   STATUS    RESTARTS   AGE", "web-1   1/1     Running   0          3d"]),
    ("get pods -o name", 0, ["pod/web-1", "pod/job-2"]),
    ("get pods -o json", 0, ["web-1", "job-2"]),
    ("get pods -o yaml", 0, ["web-1", "job-2"]),
    ("get pods -A -o name", 0, ["pod/web-1", "pod/dns", "pod/job-2"]),
    ("describe pod web-1", 0, ["Name: web-1", "Namespace: default", "Status: Running", "Events: <none>"]),
    ("logs web-1 --tail 2", 0, LOG[-2:]),
    ("logs web-1 --tail 0", 0, []),
    ("delete pod web-1", 0, ['pod "web-1" deleted']),
    ("delete pod web-1 --wait=false", 0, ['pod "web-1" deleted']),
    ("get pod nope", 1, ['Error from server (NotFound): pods "nope" not found']),
    ("get services", 1, ['error: the server doesn\'t have a resource type "services"']),
    ("get pods --watch", 1, TABLE + [
        "Error from server (MethodNotAllowed): the server does not allow this method on the requested resource"]),
]


@pytest.mark.parametrize("kubectl", kubectls())
@pytest.mark.parametrize("args, code, expected", KUBECTL_CASES, ids=[case[0] for case in KUBECTL_CASES])
def test_kubectl(tmp_path, kubectl, args, code, expected):
    with KubeApiServer() as srv:
        # Three days old, so that the AGE column is fixed.
        created = datetime.datetime.now(UTC) - datetime.timedelta(days=3, minutes=1)
        srv.add_pod("default", "web-1", log_lines=LOG, created=created)
        srv.add_pod("kube-system", "dns", phase="Failed", created=created)
        srv.add_pod("default", "job-2", phase="Succeeded", created=created)
        # kubectl sees only this kubeconfig and keeps its cache in tmp_path.
        env = {"PATH": os.defpath, "HOME": str(tmp_path), "NO_PROXY": "127.0.0.1"}
        run = subprocess.run(
            [kubectl, "--kubeconfig", srv.write_kubeconfig(str(tmp_path / "config")),
             "--cache-dir", str(tmp_path / "cache")] + args.split(),
            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
        left = [p.metadata.name for p in core_api(srv, tmp_path).list_pod_for_all_namespaces().items]
    out = run.stdout + run.stderr
    assert run.returncode == code, out
    # kubectl 1.20 ends an error with the command, as " (get pods)".
    lines = [re.sub(r" \(get pods\)$", "", line.rstrip()) for line in out.splitlines()]
    if " -o json" in args or " -o yaml" in args:
        items = (json.loads if "json" in args else yaml.safe_load)(run.stdout)["items"]
        assert [p["metadata"]["name"] for p in items] == expected
        assert [p["status"]["phase"] for p in items] == ["Running", "Succeeded"]
    elif args.startswith("describe"):
        assert set(expected) <= {" ".join(line.split()) for line in lines}, out
    else:
        assert lines == expected
    assert left == (["dns", "job-2"] if args.startswith("delete") else ["web-1", "dns", "job-2"])
