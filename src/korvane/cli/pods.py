"""korvane pods: list, inspect, tail and delete the pods of the namespace "default"."""
import ast
import contextlib
import errno
import json
import os
import sys

from .errors import Reason, UsageError, _first_line, step


def _kubeconfig(args):
    """The kubeconfig file and where it was named: --kubeconfig, else the
    first entry of KUBECONFIG that exists (kubectl skips the others), else
    ~/.kube/config."""
    if args.kubeconfig:
        return args.kubeconfig, ""
    entries = [e for e in os.environ.get("KUBECONFIG", "").split(os.pathsep) if e]
    for entry in entries:
        if os.path.exists(os.path.expanduser(entry)):
            return entry, " (from KUBECONFIG)"
    if entries:
        return entries[0], " (from KUBECONFIG)"
    return "~/.kube/config", ""


def _check_kubeconfig(path):
    """A file that is no kubeconfig is named as such, in one line, as a
    failure to load it (kubectl's status 1, not a usage error)."""
    import yaml

    try:
        with open(os.path.expanduser(path), encoding="utf-8") as f:
            config = yaml.safe_load(f)
    except yaml.YAMLError as e:
        mark = getattr(e, "problem_mark", None)
        problem = getattr(e, "problem", None) or str(e)
        where = " (line %d, column %d)" % (mark.line + 1, mark.column + 1) if mark is not None else ""
        raise Reason("not a kubeconfig: a YAML error: %s%s" % (_first_line(problem), where)) from None
    except UnicodeDecodeError:
        raise Reason("not a kubeconfig: it is not UTF-8 text") from None
    if not isinstance(config, dict):
        raise Reason("not a kubeconfig: it holds %s, not a mapping" % (
            "nothing" if config is None else "a YAML %s" % type(config).__name__))
    missing = [k for k in ("clusters", "contexts") if not isinstance(config.get(k), list)]
    if missing:
        raise Reason("not a kubeconfig: no list of %s" % " or ".join(missing))


def _warden(args):
    from korvane.pyspark_k8s.podwarden import PodWarden

    path, source = _kubeconfig(args)
    with step("loading the kubeconfig %s%s" % (path, source)):
        if not os.path.isfile(os.path.expanduser(path)):
            raise FileNotFoundError(errno.ENOENT, "no such file")
        with open(os.path.expanduser(path), "rb"):
            pass  # unreadable: said here, in the loader's place
        _check_kubeconfig(path)
        return PodWarden({}, path)


def _table(rows, headers):
    widths = [max(len(str(r[i])) for r in [headers] + rows) for i in range(len(headers))]
    for r in [headers] + rows:
        print("  ".join(str(v).ljust(w) for v, w in zip(r, widths)).rstrip())


def _pod_document(warden, pod):
    """The pod as the API gives it, in kubectl's order of keys."""
    doc = warden.k8s_client.api_client.sanitize_for_serialization(pod)
    doc.update(apiVersion=doc.get("apiVersion") or "v1", kind=doc.get("kind") or "Pod")
    return doc


def _print_pods(warden, pods, form, single):
    """kubectl's -o json|yaml|wide|name for the pods given."""
    if form == "name":
        for pod in pods:
            print("pod/%s" % pod.metadata.name)
        return
    if form == "wide":
        rows = []
        for pod in pods:
            statuses = pod.status.container_statuses or []
            ready = "%d/%d" % (sum(1 for c in statuses if c.ready), len(pod.spec.containers or statuses))
            rows.append([pod.metadata.name, pod.status.phase, pod.metadata.creation_timestamp, ready,
                         sum(c.restart_count or 0 for c in statuses), pod.status.pod_ip or "<none>",
                         pod.spec.node_name or "<none>"])
        _table(rows, ["NAME", "STATUS", "CREATED", "READY", "RESTARTS", "IP", "NODE"])
        return
    docs = [_pod_document(warden, pod) for pod in pods]
    doc = docs[0] if single else {"apiVersion": "v1", "items": docs, "kind": "List",
                                  "metadata": {"resourceVersion": ""}}
    if form == "json":
        print(json.dumps(doc, indent=4, sort_keys=True, ensure_ascii=False))
    else:
        import yaml

        sys.stdout.write(yaml.safe_dump(doc, default_flow_style=False, allow_unicode=True))


def cmd_pods(args):
    namespace = getattr(args, "namespace", None) or "default"
    if getattr(args, "all_namespaces", False) or namespace != "default":
        raise UsageError('the pod manager works in the namespace "default" only, not %s' % (
            "in all namespaces (-A)" if getattr(args, "all_namespaces", False) else '"%s"' % namespace))
    warden = _warden(args)
    action = "log" if args.action == "logs" else args.action
    form = getattr(args, "form", None)
    what = "pods %s%s" % (action, " " + args.name if args.name else "")
    if action == "list" and form:
        with step(what):
            listed = warden.k8s_client.list_pod_for_all_namespaces(watch=False)
        _print_pods(warden, [p for p in listed.items if p.metadata.namespace == "default"], form, False)
    elif action == "list":
        with step(what):
            pods = warden.get_all_pods()
        _table([[p["name"], p["status"], p["create_time"]] for p in pods], ["NAME", "STATUS", "CREATED"])
    elif action == "info":
        with step(what):
            pod = warden.get_pod_info(args.name)
        if form:
            _print_pods(warden, [pod], form, True)
            return 0
        meta, spec, status = pod.metadata, pod.spec, pod.status
        fields = [("name", meta.name), ("namespace", meta.namespace), ("phase", status.phase),
                  ("node", spec.node_name), ("pod ip", status.pod_ip),
                  ("created", meta.creation_timestamp), ("started", status.start_time)]
        for c in status.container_statuses or []:
            fields.append(("container", "%s %s ready=%s restarts=%s" % (c.name, c.image, c.ready, c.restart_count)))
        for key, value in fields:
            print("%-10s %s" % (key + ":", "-" if value is None else value))
    elif action == "log":
        with step(what):
            if args.tail is None:
                text = warden.get_pod_log(args.name)
            else:  # -1: all lines, as kubectl reads it
                text = warden.get_pod_log(args.name, None if args.tail < 0 else args.tail)
        sys.stdout.write(text if not text or text.endswith("\n") else text + "\n")
    else:
        if not args.yes:
            if sys.stdin is None or not sys.stdin.isatty():
                raise UsageError("not deleting pod %s without --yes" % args.name)
            try:
                answer = input("Delete pod %s in namespace default? [y/N] " % args.name)
            except EOFError:
                answer = ""
            if answer.strip().lower() not in ("y", "yes"):
                print("not deleted", file=sys.stderr)
                return 1
        with step(what):
            r = warden.delete_pod(args.name)
        # The API answers with the pod; the client reads it as a V1Status
        # whose status is the text of the pod's status object.
        status = getattr(r, "status", None)
        if isinstance(status, str) and status.startswith("{"):
            with contextlib.suppress(ValueError, SyntaxError, AttributeError):
                status = ast.literal_eval(status).get("phase")
        print("pod %s: deleting (%s)" % (args.name, getattr(status, "phase", status)))
    return 0
