"""Where -o sends the result: the export's own files, the replacement of a file, and the tail of a stream."""
import contextlib
import ctypes
import errno
import hashlib
import logging
import os
import shutil
import stat
import sys
import uuid

from .errors import Failure, OptionError, _describe, _shown_as, _Stopped, step
from .signals import _signals_held


class _Owned(object):
    """The command's own temporary files, by path and by what stood there when
    the command last looked: device and inode. A path is removed only while a
    file seen there stands there, never whatever took its place."""

    def __init__(self):
        self.seen = {}  # path -> set of (st_dev, st_ino)

    def note(self, path, st=None):
        with contextlib.suppress(OSError):
            st = st if st is not None else os.lstat(path)
            if stat.S_ISREG(st.st_mode):
                self.seen.setdefault(path, set()).add((st.st_dev, st.st_ino))

    def remove_all(self):
        for path, ids in self.seen.items():
            with contextlib.suppress(OSError):
                st = os.lstat(path)
                if stat.S_ISREG(st.st_mode) and (st.st_dev, st.st_ino) in ids:
                    os.remove(path)


def _reserve(directory, name, owned, shown=None):
    """Create an empty private file with a fresh hidden name in ``directory``;
    messages call it ``shown`` if given."""
    while True:
        path = os.path.join(directory, ".%s.%s.part" % (name[:200], uuid.uuid4().hex[:12]))
        if shown is not None:
            _shown_as[path] = shown
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        except FileExistsError:
            continue
        try:
            owned.note(path, os.fstat(fd))
        finally:
            os.close(fd)
        return path


FALLOC_FL_KEEP_SIZE = 0x01
FALLOC_FL_PUNCH_HOLE = 0x02


def _punch_hole(fd, length):
    """Frees the first ``length`` bytes of the file on disk, keeping its size
    (fallocate(2) with FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE); False
    where the system or the file system cannot."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        fallocate = libc.fallocate
    except (OSError, AttributeError):
        return False
    fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int64, ctypes.c_int64]
    fallocate.restype = ctypes.c_int
    return fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, length) == 0


class _Tail(logging.Handler):
    """Copies the growing export file to a stream (stdout, a device, a FIFO)
    as its blocks land, and frees on disk what went out.

    The export logs a count after each block, and the file is complete up
    to its last block then; a retry of the direct route writes the file
    afresh, and what has gone out already must come again byte for byte.
    What has gone out is punched out of the file, which keeps its size, so
    the export's own checks of the file still hold and the disk holds about
    one block of it at a time.
    """

    def __init__(self, ctx, out, owned, name="stdout"):
        super().__init__(logging.INFO)
        self.ctx = ctx
        self.out = out
        self.owned = owned
        self.name = name
        self.path = None
        self.offset = 0    # bytes of the current file already handled
        self.punched = 0   # bytes of the current file freed on disk
        self.punch = True  # False once the file system refused
        self.sent = 0      # bytes written to ``out``
        self.digest = hashlib.sha256()
        self.replay = None  # (bytes sent before the retry, their digest, digest of the replay)

    def emit(self, record):
        if getattr(record, "korvane_ctx", None) is not self.ctx or self.path is None:
            return
        values = getattr(record, "korvane_values", ())
        if len(values) != 1:
            return
        if isinstance(values[0], str) and values[0].startswith("retry "):
            if self.sent:
                self.replay = (self.sent, self.digest.hexdigest(), hashlib.sha256())
            self.offset = self.punched = 0
            return
        self.pump()

    def pump(self):
        try:
            fd = os.open(self.path, os.O_RDWR | os.O_CLOEXEC)
        except FileNotFoundError:
            return
        with open(fd, "r+b", buffering=0) as f:
            self.owned.note(self.path, os.fstat(fd))
            f.seek(self.offset)
            while True:
                chunk = f.read(1 << 20)
                if not chunk:
                    break
                self.offset += len(chunk)
                if self.replay is not None:
                    chunk = self._check_replay(chunk)
                if chunk:
                    self._write(chunk)
            # Whole pages only: the page that the next block goes on stays.
            done = self.offset - self.offset % 4096
            if self.punch and done > self.punched:
                self.punch = _punch_hole(fd, done)
                self.punched = done

    def _check_replay(self, chunk):
        length, expected, digest = self.replay
        seen = self.offset - len(chunk)
        head = chunk[:length - seen]
        digest.update(head)
        if seen + len(head) < length:
            return b""
        if digest.hexdigest() != expected:
            raise _Stopped("the retried query sent other rows than those already written to %s" % self.name)
        self.replay = None
        return chunk[len(head):]

    def _write(self, chunk):
        try:
            view = memoryview(chunk)
            while view:
                written = self.out.write(view)
                view = view[written if written is not None else len(view):]
            self.out.flush()
        except OSError as e:
            if e.errno in (errno.EPIPE, errno.ECONNRESET):
                raise _Stopped() from None
            raise _Stopped("writing to %s failed: %s" % (self.name, _describe(e))) from None
        self.sent += len(chunk)
        self.digest.update(chunk)


def _quiet_stdout():
    """stdout's reader is gone: let nothing try to write there again."""
    with contextlib.suppress(OSError):
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)


class _Output(object):
    """Where -o sends the result, decided as ``> PATH`` would open it.

    - "stream": stdout, or a path that is no regular file (a device, a FIFO,
      /dev/stdout, /dev/fd/N): opened for writing as it is and written
      block by block; the export's file lies in a private directory under
      $TMPDIR and loses each block on disk once it went out.
    - "rename": a regular file or a new one: the export is written under a
      hidden name beside the file that PATH names (the target of a link),
      and renamed onto it once complete, with the mode (and where allowed
      the owner and group) of the file it replaces, or 0666 & ~umask.
    - "copy": a writable regular file in a directory that takes no new file:
      the export is written in a private directory under $TMPDIR and copied
      into PATH once complete.
    """

    def __init__(self, text, umask):
        self.text = text
        self.name = "stdout" if text == "-" else text
        self.stream = None      # the stream written to
        self.directory = None   # where the export file goes; None: a private one under $TMPDIR
        self.target = None      # the file renamed onto, or copied into
        self.mode = 0o666 & ~umask
        self.owner = None       # (uid, gid) of the file replaced
        self.kind = self._decide()
        if self.target is not None and self.target != text:
            _shown_as[self.target] = text  # the file a link points to

    def _decide(self):
        if self.text == "-":
            if sys.stdout is None:
                raise Failure("writing to stdout") from OSError(errno.EBADF, "stdout is closed")
            self.stream = sys.stdout.buffer
            return "stream"
        path = self.text
        with step("writing %s" % path):
            try:
                st = os.stat(path)
            except FileNotFoundError:
                st = None
            except NotADirectoryError:
                raise OptionError("-o %s: a part of its directory is no directory" % path) from None
        if st is not None and stat.S_ISDIR(st.st_mode):
            raise OptionError("-o %s is a directory" % path)
        if st is not None and not stat.S_ISREG(st.st_mode):
            with step("writing %s" % path):
                # As the shell opens it: no file is created, nothing renamed.
                fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC | os.O_NOCTTY)
                if stat.S_ISREG(os.fstat(fd).st_mode):  # it changed meanwhile
                    os.close(fd)
                    raise OSError(errno.EAGAIN, "it was replaced while it was opened", path)
            self.stream = open(fd, "wb", buffering=0)
            return "stream"
        real = os.path.realpath(path)  # the file a link points to, the link stays
        if st is None:
            if not os.path.isdir(os.path.dirname(real)):
                raise OptionError("-o %s: no such directory %s" % (path, os.path.dirname(real)))
            self.target, self.directory = real, os.path.dirname(real)
            return "rename"
        self.mode = stat.S_IMODE(st.st_mode)
        self.owner = (st.st_uid, st.st_gid)
        with step("writing %s" % path):
            if not os.access(path, os.W_OK):
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
        try:
            same = os.stat(real)
            same = (same.st_dev, same.st_ino) == (st.st_dev, st.st_ino)
        except OSError:
            same = False
        if not same:  # reached through /proc (/dev/fd/N, /dev/stdout): no name to rename onto
            self.target = path
            return "copy"
        self.target, self.directory = real, os.path.dirname(real)
        return "rename"

    def reserve(self, scratch, owned):
        """The export's file: beside the target, else in ``scratch``."""
        if self.directory is not None:
            try:
                return _reserve(self.directory, os.path.basename(self.target), owned, self.text)
            except OSError as e:
                # A directory that takes no new file, around a file that may
                # be written: the export goes elsewhere and is copied in.
                if e.errno not in (errno.EACCES, errno.EPERM, errno.EROFS) or self.owner is None:
                    raise
                self.kind, self.directory = "copy", None
        return _reserve(scratch, "stdout" if self.text == "-" else os.path.basename(self.text), owned)

    def put_in_place(self, path):
        """The complete export at ``path`` becomes the result."""
        if self.kind == "rename":
            if self.owner is not None:
                with contextlib.suppress(OSError):
                    current = os.stat(path)
                    if (current.st_uid, current.st_gid) != self.owner:
                        try:
                            os.chown(path, *self.owner)
                        except PermissionError:
                            os.chown(path, -1, self.owner[1])  # a group of the user's own
            os.chmod(path, self.mode)
            try:
                with _signals_held():
                    os.replace(path, self.target)  # one step: a reader sees the old file or the whole new one
                return
            except OSError as e:
                # In a sticky directory (/tmp) only its owner may replace a
                # file; one that may be written is written in place instead.
                if e.errno not in (errno.EACCES, errno.EPERM) or self.owner is None:
                    raise
                self.kind = "copy"
        if self.kind == "copy":
            # Opened as `> PATH` opens it, O_CREAT included, so that the
            # kernel's checks of such opens (fs.protected_regular) hold too.
            flags = os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC
            with _signals_held():
                with open(path, "rb") as src, open(os.open(self.target, flags, 0o666), "wb") as dst:
                    try:
                        dst.truncate(0)
                        shutil.copyfileobj(src, dst, 1 << 20)
                        dst.flush()
                    except OSError:
                        # The old content is gone: no part of the new one stays.
                        with contextlib.suppress(OSError):
                            dst.truncate(0)
                        raise

    def close(self):
        if self.stream is not None and self.text != "-":
            with contextlib.suppress(OSError):
                self.stream.close()


def _open_closed_std():
    """Gives a closed stdin, stdout or stderr /dev/null, so that no file of
    the command takes its number; sys.stdout stays None and is refused."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
