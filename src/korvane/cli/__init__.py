"""korvane: export ThinkData query results and manage the pods of the Spark cluster.

    korvane export SQL|@FILE -o PATH [--uri URI] [--presto HOST:PORT] ...
    korvane pods list|info NAME|log NAME [--tail N]|delete NAME [--kubeconfig FILE]

    korvane emulate

Run ``korvane COMMAND --help`` (``korvane pods ACTION --help``) for the
options. Errors print one line and exit with status 1 (2 for a usage error;
130, 143 or 129 after SIGINT, SIGTERM or SIGHUP; 28 when --max-time runs out); ``--verbose`` adds the log
and the traceback. An export to stdout whose reader goes away ends quietly
with status 141.
"""
import logging
import sys
import warnings

from .exits import run
from .output import _open_closed_std
from .parser import _parser
from .secrets import _ScrubbingFormatter
from .signals import _catch_signals, _deadline

__all__ = ["main"]


def main(argv=None):
    _open_closed_std()
    parser = _parser()
    args, extra = parser.parse_known_args(argv)
    if extra:  # shown with the usage of the command they follow
        getattr(args, "usage_of", parser).error("unrecognized arguments: %s" % " ".join(extra))
    if getattr(args, "command", None) == "export" and args.output is None:
        args.usage_of.error("the following arguments are required: -o/--output")
    verbose = getattr(args, "verbose", False)
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_ScrubbingFormatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
    if verbose:
        logging.root.addHandler(handler)
        logging.root.setLevel(logging.INFO)
        logging.captureWarnings(True)
    else:
        # Warnings of the libraries (the modules switch TLS verification off
        # on purpose) and the log stay out of a plain run.
        logging.root.addHandler(logging.NullHandler())
        warnings.simplefilter("ignore")
    _catch_signals()
    if getattr(args, "max_time", None):
        _deadline.arm(args.max_time)
    return run(args, parser, verbose)
