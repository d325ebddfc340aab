"""Pods of the Spark cluster's namespace "default", through the Kubernetes client."""
import datetime
from typing import Any, Dict, List, Optional, TypedDict

__test__: Dict[str, Any]

class PodSummary(TypedDict):
    name: str
    status: Optional[str]
    create_time: Optional[datetime.datetime]

class PodWarden:
    """Manages the pods of the cluster that Spark jobs are submitted to."""

    ctx: Any
    k8s_conn_config: str
    # kubernetes.client.CoreV1Api
    k8s_client: Any
    def __init__(self, ctx: Any, k8s_conn_config: str = "~/.kube/config") -> None: ...
    def get_k8s_client(self) -> None: ...
    def get_all_pods(self) -> List[PodSummary]:
        """Name, phase and creation time of every pod in "default"."""
    def get_pod_info(self, pod_name: str) -> Any:
        """The pod object (kubernetes.client.V1Pod)."""
    def get_pod_log(self, pod_name: str, lines_count: Optional[int] = 1000) -> str:
        """The last ``lines_count`` lines of the pod's log."""
    def delete_pod(self, pod_name: str) -> Any:
        """Delete the pod; returns the client's answer as it gives it: a
        kubernetes.client.V1Status on kubernetes 12 to 17, a V1Pod from 18 on."""
