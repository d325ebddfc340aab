"""What an export reads before it runs: the SQL (given, from a file or from stdin) and the token."""
import errno
import getpass
import os
import sys

from .errors import UsageError, step
from .secrets import _secrets


def _read_sql(text):
    if not text.startswith("@"):
        sql = text
    elif text == "@":
        raise UsageError("'@' names no SQL file: give @FILE, or @- to read the query from stdin")
    else:
        # A file ends with a newline, a here-document with more: the query does not.
        with step("reading the SQL file %s" % text[1:]):
            if text == "@-":
                if sys.stdin is None:
                    raise OSError(errno.EBADF, "stdin is closed")
                sql = sys.stdin.read().rstrip()
            else:
                with open(text[1:], encoding="utf-8") as f:
                    sql = f.read().rstrip()
    if not sql.strip():
        raise UsageError("the SQL %sis empty" % ("" if text == sql else "of %s " % text))
    return sql


def _read_token(args):
    if args.token_file:
        with step("reading the token file %s" % args.token_file):
            with open(args.token_file, encoding="utf-8") as f:
                token = f.read().strip()
    elif os.environ.get("KORVANE_TOKEN"):
        token = os.environ["KORVANE_TOKEN"].strip()
    elif sys.stdin is not None and sys.stdin.isatty():
        try:
            token = getpass.getpass("ThinkData token: ").strip()
        except EOFError:
            raise UsageError("no token: the prompt got the end of input") from None
    else:
        raise UsageError("no token: give --token-file, set KORVANE_TOKEN, or run on a terminal to be asked")
    if not token:
        raise UsageError("the token is empty")
    _secrets.append(token)
    return token
