"""The command line: the commands, their options, and the checks of option values."""
import argparse
import math
import os

from .emulate import cmd_emulate
from .export import cmd_export
from .pods import cmd_pods
from .signals import TIMED_OUT

PROG = "korvane"


def _host_port(text):
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise argparse.ArgumentTypeError("expected HOST:PORT with a port from 1 to 65535, got %r" % text)
    return host, int(port)


def _count(least):
    """An option that takes a whole number of at least ``least``."""
    def check(text):
        try:
            value = int(text)
        except ValueError:
            value = None
        if value is None or value < least:
            raise argparse.ArgumentTypeError("expected a whole number of at least %d, got %r" % (least, text))
        return value
    return check


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError("expected a number of seconds above 0, got %r" % text)
    return value


def _version():
    try:
        from importlib.metadata import version
        return version("korvane")
    except Exception:
        return "unknown"


def _summary():
    """The first paragraph of the package's docstring."""
    import korvane.cli

    return korvane.cli.__doc__.split("\n\n")[0]


def _parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-v", "--verbose", action="store_true", default=argparse.SUPPRESS,
                        help="show the log, and the traceback of an error")
    parser = argparse.ArgumentParser(prog=PROG, parents=[common],
                                     description=_summary())
    parser.add_argument("--version", action="version", version="%(prog)s " + _version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    ex = commands.add_parser("export", parents=[common], help="run a SQL query and save the result as CSV",
                             description="Run a SQL query on a ThinkData deployment and save the whole "
                             "result as a CSV file. The token is read from --token-file, KORVANE_TOKEN "
                             "or a hidden prompt, and is never shown.",
                             epilog="-o PATH gets what '> PATH' would get, and nothing else changes: a "
                             "regular file is replaced in one step once the export is complete, keeping "
                             "its mode (a new file gets 0666 & ~umask); a link's target is written, the "
                             "link stays; a device or FIFO (or /dev/stdout) is written block by block. "
                             "After a failure or a signal no part of the result stands at PATH. Streams "
                             "(-o - included) keep about one block of the result in $TMPDIR, where the "
                             "file system can punch holes (tmpfs, ext4, xfs, btrfs), else the whole "
                             "result until the end. SIGINT, SIGTERM and SIGHUP stop the export, remove "
                             "its files and cancel a Presto query (exit 130, 143, 129).")
    ex.add_argument("sql", metavar="SQL|@FILE", help="the query, or @FILE to read it from FILE (@- for stdin)")
    output = ex.add_argument("-o", "--output", required=True, metavar="PATH", help="where the CSV file goes; - for stdout")
    ex.add_argument("--uri", default=os.environ.get("KORVANE_URI"),
                    help="the OpenAPI query endpoint, e.g. http://host:port/querySql (default: $KORVANE_URI)")
    route = ex.add_mutually_exclusive_group()
    route.add_argument("--openapi", dest="presto", action="store_const", const=None,
                       help="export through the OpenAPI endpoint (the default)")
    route.add_argument("--presto", type=_host_port, metavar="HOST:PORT",
                       help="export directly from the Presto engine")
    ex.add_argument("--token-file", metavar="FILE", help="read the ThinkData token from FILE")
    ex.add_argument("--cacert", metavar="FILE",
                    help="check the OpenAPI endpoint's TLS certificate against the CA certificates in FILE "
                    "(PEM). Without it the certificate is not checked, as by ThinkDataQuery: whoever "
                    "answers the URL gets the token and the query")
    ex.add_argument("--max-time", type=_seconds, metavar="SECONDS",
                    help="stop the whole command after SECONDS, as a signal does: nothing is put at -o, "
                    "no file is left (exit %d). Without it the OpenAPI route waits up to 600 s per read"
                    % TIMED_OUT)
    ex.add_argument("--block-size", type=_count(1), metavar="N", help="rows per written block (default 100000)")
    ex.add_argument("--fetch-size", type=_count(1), metavar="N", help="rows per Presto fetch (default 10000)")
    ex.add_argument("--retries", type=_count(1), metavar="N",
                    help="Presto attempts in all, repeated on read time-outs (default 5)")
    ex.add_argument("--read-timeout", type=_seconds, metavar="SECONDS",
                    help="Presto read time-out per request (default 300)")
    ex.add_argument("--upcount", type=_count(0), metavar="N",
                    help="expected rows: a Presto error after N rows still counts as done")
    ex.set_defaults(run=cmd_export, usage_of=ex)
    # -o is required, but checked after unknown options (a misspelt
    # --output is named as such): the usage keeps showing it as required.
    ex.usage = ex.format_usage().partition("usage: ")[2].rstrip()
    output.required = False

    # kubectl's options, taken before the action as after it.
    cluster = argparse.ArgumentParser(add_help=False)
    cluster.add_argument("--kubeconfig", metavar="FILE", default=argparse.SUPPRESS,
                         help="the kubeconfig file (default: the first entry of $KUBECONFIG that exists, "
                         "else ~/.kube/config)")
    cluster.add_argument("-n", "--namespace", default=argparse.SUPPRESS,
                         help='the namespace; the pod manager works in "default" only')
    cluster.add_argument("-A", "--all-namespaces", action="store_true", default=argparse.SUPPRESS,
                         help='refused: the pod manager works in "default" only')
    pods = commands.add_parser("pods", parents=[common, cluster], help="list, inspect, tail or delete pods",
                               description="Pods of the namespace \"default\" of the Spark cluster. "
                               "Run 'korvane pods ACTION --help' for the options of an action.")
    actions = pods.add_subparsers(dest="action", metavar="ACTION")
    actions.required = True
    for name, text in (("list", "list the pods: name, phase, creation time"),
                       ("info", "show a pod's phase, node, IP, times and containers"),
                       ("log", "print the last lines of a pod's log"),
                       ("delete", "delete a pod")):
        action = actions.add_parser(name, parents=[common, cluster], help=text, description=text[0].upper() + text[1:]
                                    + ' (namespace "default").', aliases=["logs"] if name == "log" else [])
        if name != "list":
            action.add_argument("name", metavar="NAME", help="the pod")
        if name in ("list", "info"):
            action.add_argument("-o", "--output", dest="form", choices=["json", "yaml", "wide", "name"],
                                help="kubectl's output formats: the API's objects as JSON or YAML, more "
                                "columns, or pod/NAME")
        if name == "log":
            action.add_argument("--tail", type=_count(-1), metavar="N",
                                help="how many lines from the end, -1 for all (default 1000)")
        if name == "delete":
            action.add_argument("-y", "--yes", action="store_true", help="do not ask for confirmation")
        action.set_defaults(run=cmd_pods, usage_of=action, name=None, tail=None, yes=False, form=None)
    pods.set_defaults(usage_of=pods, kubeconfig=None)

    em = commands.add_parser("emulate", parents=[common], help="run the emulators of the three services",
                             description="Start the emulators of the OpenAPI endpoint, the Presto "
                             "coordinator and the Kubernetes API server on 127.0.0.1, with sample tables "
                             "and pods; print the shell exports that point korvane at them, then run until "
                             "Ctrl-C or SIGTERM.")
    from korvane.testing.emulate import add_arguments

    add_arguments(em, rows=_count(0))
    em.set_defaults(run=cmd_emulate, usage_of=em)
    return parser
