"""The Kubernetes API emulator, driven by the real kubernetes 12.0.1 client."""
import datetime
import json

import pytest
import urllib3
from kubernetes import client, config
from kubernetes.client.rest import ApiException

from korvane.testing.kubernetes import KubeApiServer

# kubernetes 12.0.1 builds every ApiException with urllib3's deprecated getheaders().
pytestmark = pytest.mark.filterwarnings("ignore:HTTPResponse.getheaders:DeprecationWarning")

UTC = datetime.timezone.utc
LOG = ["line %02d" % i for i in range(50)]


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
        "web-1", "default", pretty=True, tail_lines=tail)
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
