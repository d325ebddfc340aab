"""Loopback emulator of a Kubernetes API server (core/v1 pods only).

``KubeApiServer`` serves HTTPS on 127.0.0.1 with a throw-away CA and checks a
bearer token on every request, so the real ``kubernetes`` client can reach it
through a kubeconfig written by ``write_kubeconfig`` with TLS verification on::

    with KubeApiServer() as server:
        server.add_pod("default", "web-1", log_lines=["started"])
        server.write_kubeconfig(path)
        config.load_kube_config(path)
        client.CoreV1Api().list_pod_for_all_namespaces(watch=False)

Served endpoints::

    GET    /version, /api, /apis, /api/v1           (discovery)
    GET    /api/v1/pods
    GET    /api/v1/namespaces/{ns}/pods             (fieldSelector, labelSelector)
    GET    /api/v1/namespaces/{ns}/pods/{name}
    DELETE /api/v1/namespaces/{ns}/pods/{name}      (dryRun)
    GET    /api/v1/namespaces/{ns}/pods/{name}/log   (tailLines, container, pretty)
    GET    /api/v1/events, /api/v1/namespaces/{ns}/events   (always empty)

so that ``kubectl`` works against it too (``get pods``, ``-o json|yaml|name``,
``get pod NAME``, ``describe pod NAME``, ``logs NAME --tail N``, ``delete pod
NAME``).  Lists and pods come as a ``meta.k8s.io`` ``Table`` to a client whose
``Accept`` asks for one (``application/json;as=Table;v=v1;g=meta.k8s.io``), as
kubectl's ``get`` does.  A served path with another method gets the API
server's 405 ``Status``, every other path its 404 ``Status``; a missing or
wrong token gets a 401 ``Status`` before any routing, as a real API server
does.  No watches: a ``watch`` request gets the 405.
"""
from __future__ import annotations

import base64
import collections
import copy
import datetime
import hmac
import http.server
import json
import os
import socket
import ssl
import threading
import uuid
from types import TracebackType
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Set, Tuple, Type, Union
from urllib.parse import parse_qsl, urlsplit, unquote

from korvane.testing.tls import make_certificates, server_context

__all__ = ["KubeApiServer", "RecordedRequest"]

# One request as the server saw it: ``query`` maps each parameter to its last
# value (strings, exactly as sent); ``headers`` has lower-cased names.
RecordedRequest = collections.namedtuple(
    "RecordedRequest", ["method", "path", "query", "headers"])

# Pods added without ``created`` get 2021-04-23T08:00:00Z, then one minute
# later for each following pod.
_FIRST_CREATED = datetime.datetime(2021, 4, 23, 8, 0, 0, tzinfo=datetime.timezone.utc)
_UID_NAMESPACE = uuid.UUID("6f1c2a5e-3b7d-4e0a-9c61-0d2b8e4f7a13")

# An answer of the routes: (HTTP status, JSON object or raw bytes, content type).
_Answer = Tuple[int, Any, str]

_TRUE_WORDS = ("1", "t", "T", "true", "TRUE", "True")  # Go's strconv.ParseBool


def _k8s_time(value: datetime.datetime) -> str:
    """Format a datetime the way the API server does (UTC, whole seconds)."""
    if value.tzinfo is None:
        value = value.replace(tzinfo=datetime.timezone.utc)
    return value.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def _status(code: int, reason: str, message: str, details: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    body: Dict[str, Any] = {
        "kind": "Status",
        "apiVersion": "v1",
        "metadata": {},
        "status": "Failure",
        "message": message,
        "reason": reason,
        "code": code,
    }
    if details is not None:
        body["details"] = details
    return body


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "korvane-kube-emulator"
    # Idle keep-alive connections are dropped after this long; close() drops
    # them at once.
    timeout = 30
    # Headers and body go out in separate writes; without this each answer
    # waits for the client's delayed ACK (some 40 ms).
    disable_nagle_algorithm = True
    server: _TLSServer

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def version_string(self) -> str:
        return self.server_version

    def do_GET(self) -> None:
        self._handle("GET")

    def do_DELETE(self) -> None:
        self._handle("DELETE")

    def do_POST(self) -> None:
        self._handle("POST")

    def do_PUT(self) -> None:
        self._handle("PUT")

    def do_PATCH(self) -> None:
        self._handle("PATCH")

    def do_HEAD(self) -> None:
        self._handle("HEAD")

    def do_OPTIONS(self) -> None:
        self._handle("OPTIONS")

    def _handle(self, method: str) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        if length:
            self.rfile.read(length)
        parts = urlsplit(self.path)
        path = unquote(parts.path)
        query = dict(parse_qsl(parts.query, keep_blank_values=True))
        owner = self.server.owner
        headers = {k.lower(): v for k, v in self.headers.items()}
        owner._record(RecordedRequest(method, path, query, headers))

        if not owner._authorized(self.headers.get("Authorization")):
            self._send_json(401, _status(401, "Unauthorized", "Unauthorized"), query)
            return
        code, body, content_type = owner._route(method, path, query, self.headers.get("Accept") or "")
        if content_type == "application/json":
            self._send_json(code, body, query, head=(method == "HEAD"))
        else:
            self._send(code, body, content_type, head=(method == "HEAD"))

    def _send_json(self, code: int, obj: Any, query: Mapping[str, str], head: bool = False) -> None:
        if query.get("pretty") in _TRUE_WORDS:
            text = json.dumps(obj, indent=2, ensure_ascii=False) + "\n"
        else:
            text = json.dumps(obj, separators=(",", ":"), ensure_ascii=False) + "\n"
        self._send(code, text.encode("utf-8"), "application/json", head=head)

    def _send(self, code: int, data: bytes, content_type: str, head: bool = False) -> None:
        self.send_response(code)
        self.send_header("Audit-Id", str(uuid.uuid4()))
        self.send_header("Cache-Control", "no-cache, private")
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if not head:
            self.wfile.write(data)


class _TLSServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False

    def __init__(self, owner: KubeApiServer, ssl_context: ssl.SSLContext) -> None:
        self.owner = owner
        self.ssl_context = ssl_context
        self._live: Set[ssl.SSLSocket] = set()
        self._live_lock = threading.Lock()
        self._closing = False
        http.server.ThreadingHTTPServer.__init__(self, ("127.0.0.1", 0), _Handler)

    def server_bind(self) -> None:
        # Skip HTTPServer's getfqdn() lookup; we only ever serve 127.0.0.1.
        self.socket.bind(self.server_address)
        self.server_address = self.socket.getsockname()
        self.server_name = "127.0.0.1"
        self.server_port = self.server_address[1]

    def finish_request(self, request: Any, client_address: Any) -> None:
        # The TLS handshake runs here, in the connection's own thread, so a
        # client that never completes it cannot hold up accept().
        request.settimeout(5)
        conn = self.ssl_context.wrap_socket(
            request, server_side=True, do_handshake_on_connect=False)
        with self._live_lock:
            if self._closing:
                conn.close()
                return
            self._live.add(conn)
        try:
            conn.do_handshake()
            _Handler(conn, client_address, self)
        except (OSError, ValueError):
            pass
        finally:
            with self._live_lock:
                self._live.discard(conn)
            conn.close()

    def handle_error(self, request: Any, client_address: Any) -> None:
        pass

    def drop_connections(self) -> None:
        with self._live_lock:
            self._closing = True
            live = list(self._live)
        for conn in live:
            try:
                # Plain socket shutdown: wakes a thread blocked reading this
                # connection without touching its TLS state from here.
                socket.socket.shutdown(conn, socket.SHUT_RDWR)
            except OSError:
                pass


class KubeApiServer(object):
    """HTTPS Kubernetes API server emulator on 127.0.0.1 (core/v1 pods).

    Pods are kept in insertion order. Every request, authorized or not, is
    appended to ``requests`` as a ``RecordedRequest``.
    """

    def __init__(self, token: str = "test-token") -> None:
        self.token = token
        self.requests: List[RecordedRequest] = []
        self._lock = threading.Lock()
        self._pods: Dict[Tuple[str, str], Dict[str, Any]] = collections.OrderedDict()  # (namespace, name) -> pod object
        self._logs: Dict[Tuple[str, str], List[str]] = {}  # (namespace, name) -> list of lines
        self._resource_version = 1000
        self._added = 0

        self._ca_pem, cert_pem, key_pem = make_certificates("kube-apiserver")
        ctx = server_context(cert_pem, key_pem, self._ca_pem)

        self._server = _TLSServer(self, ctx)
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
            name="kube-emulator", daemon=True)
        self._thread.start()
        self._closed = False

    # -- lifecycle ---------------------------------------------------------

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        self._server.shutdown()
        self._server.drop_connections()
        self._server.server_close()
        self._thread.join(5)

    def __enter__(self) -> KubeApiServer:
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    # -- addresses ---------------------------------------------------------

    @property
    def host(self) -> str:
        return "127.0.0.1"

    @property
    def port(self) -> int:
        return self._server.server_port

    @property
    def url(self) -> str:
        return "https://127.0.0.1:%d" % self.port

    @property
    def ca_pem(self) -> bytes:
        """PEM bytes of the CA that signed the server certificate."""
        return self._ca_pem

    def write_kubeconfig(self, path: str, token: Optional[str] = None) -> str:
        """Write a kubeconfig for this server to ``path`` and return ``path``.

        ``token`` replaces the user's token (an empty string means none).
        """
        token = self.token if token is None else token
        ca_data = base64.b64encode(self._ca_pem).decode("ascii")
        q = json.dumps  # JSON strings are valid double-quoted YAML scalars
        text = "\n".join([
            "apiVersion: v1",
            "kind: Config",
            "preferences: {}",
            "clusters:",
            "- name: korvane-emulator",
            "  cluster:",
            "    server: %s" % q(self.url),
            "    certificate-authority-data: %s" % q(ca_data),
            "users:",
            "- name: korvane-emulator-user",
            "  user:",
            "    token: %s" % q(token),
            "contexts:",
            "- name: korvane-emulator",
            "  context:",
            "    cluster: korvane-emulator",
            "    user: korvane-emulator-user",
            "    namespace: default",
            "current-context: korvane-emulator",
            "",
        ])
        with open(path, "w") as f:
            f.write(text)
        return path

    # -- pods --------------------------------------------------------------

    def add_pod(self, namespace: str, name: str, phase: str = "Running",
                created: Optional[datetime.datetime] = None,
                log_lines: Union[str, Sequence[str], None] = None,
                labels: Optional[Mapping[str, str]] = None) -> Dict[str, Any]:
        """Add a pod and return a copy of its API object.

        ``log_lines`` is a sequence of lines without newlines (a string is
        split into lines). ``created`` is a datetime (naive means UTC).
        """
        if isinstance(log_lines, str):
            log_lines = log_lines.splitlines()
        with self._lock:
            key = (namespace, name)
            if key in self._pods:
                raise ValueError("pod %s/%s already exists" % key)
            if created is None:
                created = _FIRST_CREATED + datetime.timedelta(minutes=self._added)
            self._added += 1
            self._resource_version += 1
            pod = self._pod_object(namespace, name, phase, created, labels or {},
                                   str(self._resource_version))
            self._pods[key] = pod
            self._logs[key] = list(log_lines or [])
            return copy.deepcopy(pod)

    @staticmethod
    def _pod_object(namespace: str, name: str, phase: str, created: datetime.datetime,
                    labels: Mapping[str, str], resource_version: str) -> Dict[str, Any]:
        stamp = _k8s_time(created)
        uid = str(uuid.uuid5(_UID_NAMESPACE, "%s/%s/%s" % (namespace, name, resource_version)))
        container = "main"
        image = "registry.local/korvane/worker:1.0"
        started = phase in ("Running", "Succeeded", "Failed")
        ready = phase == "Running"
        cond = "True" if ready else "False"
        status: Dict[str, Any] = {
            "phase": phase,
            "conditions": [
                {"type": t, "status": "True" if t in ("Initialized", "PodScheduled") else cond,
                 "lastProbeTime": None, "lastTransitionTime": stamp}
                for t in ("Initialized", "Ready", "ContainersReady", "PodScheduled")
            ],
            "hostIP": "10.0.0.11",
            "qosClass": "BestEffort",
        }
        if started:
            status["podIP"] = "10.244.0.%d" % (int(resource_version) % 250 + 2)
            status["podIPs"] = [{"ip": status["podIP"]}]
            status["startTime"] = stamp
            if phase == "Running":
                state: Dict[str, Any] = {"running": {"startedAt": stamp}}
            else:
                state = {"terminated": {
                    "exitCode": 0 if phase == "Succeeded" else 1,
                    "reason": "Completed" if phase == "Succeeded" else "Error",
                    "startedAt": stamp, "finishedAt": stamp,
                    "containerID": "containerd://" + uid.replace("-", ""),
                }}
            status["containerStatuses"] = [{
                "name": container,
                "state": state,
                "lastState": {},
                "ready": ready,
                "restartCount": 0,
                "image": image,
                "imageID": image + "@sha256:" + "0" * 64,
                "containerID": "containerd://" + uid.replace("-", ""),
                "started": ready,
            }]
        return {
            "kind": "Pod",
            "apiVersion": "v1",
            "metadata": {
                "name": name,
                "namespace": namespace,
                "selfLink": "/api/v1/namespaces/%s/pods/%s" % (namespace, name),
                "uid": uid,
                "resourceVersion": resource_version,
                "creationTimestamp": stamp,
                "labels": dict(labels),
            },
            "spec": {
                "containers": [{
                    "name": container,
                    "image": image,
                    "resources": {},
                    "terminationMessagePath": "/dev/termination-log",
                    "terminationMessagePolicy": "File",
                    "imagePullPolicy": "IfNotPresent",
                }],
                "restartPolicy": "Never",
                "terminationGracePeriodSeconds": 30,
                "dnsPolicy": "ClusterFirst",
                "serviceAccountName": "default",
                "serviceAccount": "default",
                "nodeName": "node-1",
                "schedulerName": "default-scheduler",
                "priority": 0,
            },
            "status": status,
        }

    # -- request handling (called from connection threads) ------------------

    def _record(self, req: RecordedRequest) -> None:
        with self._lock:
            self.requests.append(req)

    def _authorized(self, header: Optional[str]) -> bool:
        if not header or not header.startswith("Bearer "):
            return False
        given = header[len("Bearer "):].strip().encode("utf-8")
        return bool(self.token) and hmac.compare_digest(given, self.token.encode("utf-8"))

    def _route(self, method: str, path: str, query: Mapping[str, str], accept: str = "") -> _Answer:
        """Return ``(code, body, content_type)``; JSON bodies are objects."""
        segs = path.strip("/").split("/")
        n = len(segs)
        namespaced = n >= 4 and segs[:3] == ["api", "v1", "namespaces"] and bool(segs[3])
        if segs in (["version"], ["api"], ["apis"], ["api", "v1"]):
            route = "discovery"
        elif segs == ["api", "v1", "pods"] or (namespaced and n == 5 and segs[4] == "pods"):
            route = "pods"
        elif segs == ["api", "v1", "events"] or (namespaced and n == 5 and segs[4] == "events"):
            route = "events"
        elif namespaced and n in (6, 7) and segs[4] == "pods" and segs[5] and segs[6:] in ([], ["log"]):
            route = "pod" if n == 6 else "log"
        else:
            return _NOT_FOUND
        allowed = ("GET", "DELETE") if route == "pod" else ("GET",)
        if method not in allowed or query.get("watch") in _TRUE_WORDS:
            return _NOT_ALLOWED
        table = _table_version(accept)
        if route == "discovery":
            return 200, self._discovery(segs), "application/json"
        if route == "events":
            items: List[Dict[str, Any]] = []
            with self._lock:
                rv = str(self._resource_version)
            if table:
                return 200, _table(table, _EVENT_COLUMNS, [], rv), "application/json"
            return 200, {"kind": "EventList", "apiVersion": "v1",
                         "metadata": {"resourceVersion": rv}, "items": items}, "application/json"
        if route == "pods":
            return self._list_pods(segs[3] if namespaced else None, query, table)
        key = (segs[3], segs[5])
        if route == "log":
            return self._pod_log(key, query)
        if method == "DELETE":
            return self._delete_pod(key, dry_run=bool(query.get("dryRun")))
        return self._read_pod(key, query, table)

    def _discovery(self, segs: List[str]) -> Dict[str, Any]:
        if segs == ["version"]:
            return dict(_VERSION)
        if segs == ["api"]:
            return {"kind": "APIVersions", "versions": ["v1"], "serverAddressByClientCIDRs": [
                {"clientCIDR": "0.0.0.0/0", "serverAddress": "127.0.0.1:%d" % self.port}]}
        if segs == ["apis"]:
            return {"kind": "APIGroupList", "apiVersion": "v1", "groups": []}
        return {"kind": "APIResourceList", "groupVersion": "v1",
                "resources": copy.deepcopy(_RESOURCES)}

    def _list_pods(self, namespace: Optional[str] = None, query: Optional[Mapping[str, str]] = None,
                   table: Optional[str] = None) -> _Answer:
        query = query or {}
        try:
            match = _selector(query.get("fieldSelector", ""), query.get("labelSelector", ""))
        except ValueError as exc:
            return 400, _status(400, "BadRequest", str(exc)), "application/json"
        with self._lock:
            items = copy.deepcopy([pod for (ns, _), pod in self._pods.items()
                                   if namespace in (None, ns) and match(pod)])
            rv = str(self._resource_version)
        if table:
            return 200, _pod_table(table, items, rv, query), "application/json"
        self_link = ("/api/v1/pods" if namespace is None
                     else "/api/v1/namespaces/%s/pods" % namespace)
        body = {
            "kind": "PodList",
            "apiVersion": "v1",
            "metadata": {"selfLink": self_link, "resourceVersion": rv},
            "items": items,
        }
        return 200, body, "application/json"

    @staticmethod
    def _not_found(key: Tuple[str, str]) -> _Answer:
        return (404, _status(404, "NotFound", 'pods "%s" not found' % key[1],
                             {"name": key[1], "kind": "pods"}), "application/json")

    def _read_pod(self, key: Tuple[str, str], query: Optional[Mapping[str, str]] = None,
                  table: Optional[str] = None) -> _Answer:
        with self._lock:
            pod = copy.deepcopy(self._pods.get(key))
        if pod is None:
            return self._not_found(key)
        if table:
            return 200, _pod_table(table, [pod], pod["metadata"]["resourceVersion"],
                                   query or {}), "application/json"
        return 200, pod, "application/json"

    def _delete_pod(self, key: Tuple[str, str], dry_run: bool = False) -> _Answer:
        """Delete at once (no kubelet waits out the grace period); the answer
        is the pod as a graceful deletion leaves it.  ``dry_run`` changes
        nothing."""
        with self._lock:
            if dry_run:
                pod = copy.deepcopy(self._pods.get(key))
            else:
                pod = self._pods.pop(key, None)
                self._logs.pop(key, None)
            if pod is None:
                return self._not_found(key)
            if not dry_run:
                self._resource_version += 1
            rv = str(self._resource_version)
        grace = pod["spec"].get("terminationGracePeriodSeconds", 30)
        meta = pod["metadata"]
        meta["resourceVersion"] = rv
        meta["deletionTimestamp"] = _k8s_time(
            datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=grace))
        meta["deletionGracePeriodSeconds"] = grace
        return 200, pod, "application/json"

    def _pod_log(self, key: Tuple[str, str], query: Mapping[str, str]) -> _Answer:
        with self._lock:
            lines = self._logs.get(key)
            lines = None if lines is None else list(lines)
            containers = [c["name"] for c in self._pods[key]["spec"]["containers"]] if lines is not None else []
        if lines is None:
            return self._not_found(key)
        container = query.get("container")
        if container and container not in containers:
            return (400, _status(400, "BadRequest", "container %s is not valid for pod %s"
                                 % (container, key[1])), "application/json")
        tail = query.get("tailLines")
        if tail is not None:
            try:
                n = int(tail)
            except ValueError:
                return (400, _status(400, "BadRequest",
                                     'invalid value for tailLines: "%s"' % tail),
                        "application/json")
            if n < 0:
                return (422, _status(422, "Invalid",
                                     "PodLogOptions is invalid: tailLines: must be greater "
                                     "than or equal to 0", {"kind": "PodLogOptions"}),
                        "application/json")
            lines = lines[-n:] if n else []
        text = "".join(line + "\n" for line in lines)
        return 200, text.encode("utf-8"), "text/plain"


# -- what kubectl needs besides the pods themselves ---------------------------

_NOT_FOUND: _Answer = (404, _status(404, "NotFound", "the server could not find the requested resource", {}),
                       "application/json")
_NOT_ALLOWED: _Answer = (405, _status(405, "MethodNotAllowed",
                                      "the server does not allow this method on the requested resource", {}),
                         "application/json")

_VERSION = {
    "major": "1", "minor": "19", "gitVersion": "v1.19.16",
    "gitCommit": "e37e4ab4cc8dcda84f1344dda47a97bb1927d074", "gitTreeState": "clean",
    "buildDate": "2021-10-27T16:20:18Z", "goVersion": "go1.15.15", "compiler": "gc",
    "platform": "linux/amd64",
}

# The core/v1 resources served, as /api/v1 lists them.
_RESOURCES = [
    {"name": "events", "singularName": "", "namespaced": True, "kind": "Event",
     "verbs": ["list"], "shortNames": ["ev"]},
    {"name": "pods", "singularName": "", "namespaced": True, "kind": "Pod",
     "verbs": ["delete", "get", "list"], "shortNames": ["po"], "categories": ["all"]},
    {"name": "pods/log", "singularName": "", "namespaced": True, "kind": "Pod", "verbs": ["get"]},
]


def _column_definition(name: str, type_: str, description: str, priority: int = 0,
                       format_: str = "") -> Dict[str, Any]:
    return {"name": name, "type": type_, "format": format_, "description": description,
            "priority": priority}


_POD_COLUMNS = [
    _column_definition("Name", "string", "Name of the pod, unique within its namespace.", format_="name"),
    _column_definition("Ready", "string", "The aggregate readiness state of this pod for accepting traffic."),
    _column_definition("Status", "string", "The aggregate status of the containers in this pod."),
    _column_definition("Restarts", "integer", "The number of times the containers in this pod have been restarted."),
    _column_definition("Age", "string", "Time since the pod was created."),
    _column_definition("IP", "string", "IP address allocated to the pod.", 1),
    _column_definition("Node", "string", "The node the pod runs on.", 1),
    _column_definition("Nominated Node", "string", "The node the pod is to preempt other pods on.", 1),
    _column_definition("Readiness Gates", "string", "Readiness gates of the pod that are ready.", 1),
]
_EVENT_COLUMNS = [
    _column_definition("Last Seen", "string", "Time since the event was last seen."),
    _column_definition("Type", "string", "Type of the event (Normal, Warning)."),
    _column_definition("Reason", "string", "Why the event happened."),
    _column_definition("Object", "string", "The object the event is about."),
    _column_definition("Message", "string", "What happened."),
]


def _table_version(accept: str) -> Optional[str]:
    """The ``meta.k8s.io`` version of the ``Table`` that ``accept`` asks for
    (the first acceptable one), or None for a plain object."""
    for media in accept.split(","):
        params = dict(p.strip().partition("=")[::2] for p in media.split(";")[1:])
        if params.get("as") == "Table" and params.get("g") == "meta.k8s.io" \
                and params.get("v") in ("v1", "v1beta1"):
            return "meta.k8s.io/" + params["v"]
    return None


def _table(api_version: str, columns: List[Dict[str, Any]], rows: List[Dict[str, Any]],
           resource_version: str) -> Dict[str, Any]:
    return {"kind": "Table", "apiVersion": api_version,
            "metadata": {"resourceVersion": resource_version},
            "columnDefinitions": columns, "rows": rows}


def _pod_table(api_version: str, pods: List[Dict[str, Any]], resource_version: str,
               query: Mapping[str, str]) -> Dict[str, Any]:
    """The pods as the API server prints them for ``kubectl get``."""
    include = query.get("includeObject") or "Metadata"
    now = datetime.datetime.now(datetime.timezone.utc)
    rows = []
    for pod in pods:
        status, spec, meta = pod["status"], pod["spec"], pod["metadata"]
        statuses = status.get("containerStatuses", [])
        reason = status.get("reason") or status["phase"]
        for cs in statuses:
            state = cs["state"].get("waiting") or cs["state"].get("terminated") or {}
            reason = state.get("reason", reason)
        if meta.get("deletionTimestamp"):
            reason = "Terminating"
        created = datetime.datetime.strptime(meta["creationTimestamp"], "%Y-%m-%dT%H:%M:%SZ")
        cells = [
            meta["name"],
            "%d/%d" % (sum(1 for cs in statuses if cs["ready"]), len(spec["containers"])),
            reason,
            sum(cs["restartCount"] for cs in statuses),
            _human_duration(now - created.replace(tzinfo=datetime.timezone.utc)),
            status.get("podIP") or "<none>",
            spec.get("nodeName") or "<none>",
            "<none>",
            "<none>",
        ]
        row: Dict[str, Any] = {"cells": cells}
        if include == "Object":
            row["object"] = pod
        elif include != "None":
            row["object"] = {"kind": "PartialObjectMetadata", "apiVersion": "meta.k8s.io/v1",
                             "metadata": meta}
        rows.append(row)
    return _table(api_version, _POD_COLUMNS, rows, resource_version)


def _human_duration(delta: datetime.timedelta) -> str:
    """Go's ``duration.HumanDuration``, the API server's AGE column."""
    seconds = int(delta.total_seconds())
    if seconds < -1:
        return "<invalid>"
    if seconds < 0:
        return "0s"
    if seconds < 120:
        return "%ds" % seconds
    minutes = seconds // 60
    if minutes < 10:
        return "%dm%ds" % (minutes, seconds % 60) if seconds % 60 else "%dm" % minutes
    if minutes < 180:
        return "%dm" % minutes
    hours = seconds // 3600
    if hours < 8:
        return "%dh%dm" % (hours, minutes % 60) if minutes % 60 else "%dh" % hours
    if hours < 48:
        return "%dh" % hours
    if hours < 24 * 8:
        return "%dd%dh" % (hours // 24, hours % 24) if hours % 24 else "%dd" % (hours // 24)
    if hours < 24 * 365 * 2:
        return "%dd" % (hours // 24)
    if hours < 24 * 365 * 8:
        years, days = hours // 24 // 365, hours // 24 % 365
        return "%dy%dd" % (years, days) if days else "%dy" % years
    return "%dy" % (hours // 24 // 365)


_FIELDS: Dict[str, Callable[[Dict[str, Any]], str]] = {
    "metadata.name": lambda pod: pod["metadata"]["name"],
    "metadata.namespace": lambda pod: pod["metadata"]["namespace"],
    "spec.nodeName": lambda pod: pod["spec"].get("nodeName", ""),
    "status.phase": lambda pod: pod["status"]["phase"],
}


def _selector(fields: str, labels: str) -> Callable[[Dict[str, Any]], bool]:
    """A test of a pod for a ``fieldSelector`` and a ``labelSelector`` in
    their equality forms (``a=b``, ``a==b``, ``a!=b``; labels also ``a`` and
    ``!a``).  Raises ValueError with the API server's message otherwise."""
    # (field getter or None for a label, key, value or None for existence, wanted)
    terms: List[Tuple[Optional[Callable[[Dict[str, Any]], str]], str, Optional[str], bool]] = []
    for term in filter(None, (t.strip() for t in fields.split(","))):
        key, op, value = _split_term(term)
        if op is None:
            raise ValueError("invalid selector: '%s'; can't understand '%s'" % (fields, term))
        if key not in _FIELDS:
            raise ValueError("field label not supported: %s" % key)
        terms.append((_FIELDS[key], key, value, op != "!="))
    for term in filter(None, (t.strip() for t in labels.split(","))):
        key, op, value = _split_term(term)
        if op is not None:
            terms.append((None, key, value, op != "!="))
        elif " " in term or "(" in term:
            raise ValueError("unable to parse requirement: %s" % term)
        else:
            terms.append((None, term.lstrip("!"), None, not term.startswith("!")))

    def match(pod: Dict[str, Any]) -> bool:
        labels_of = pod["metadata"]["labels"]
        for get, key, value, wanted in terms:
            if get is not None:
                found = get(pod) == value
            elif value is None:
                found = key in labels_of
            else:
                found = labels_of.get(key) == value
            if found != wanted:
                return False
        return True
    return match


def _split_term(term: str) -> Tuple[str, Optional[str], str]:
    for op in ("!=", "==", "="):
        key, found, value = term.partition(op)
        if found:
            return key.strip(), op, value.strip()
    return term, None, ""
