# ThinkDataQuery in plain Python, as korvane.sadrel.sadrel behaves: the same
# calls in the same order, the same globals looked up at each use, and the
# native module's own soundness steps (the status check, the end of a body
# before its Content-Length, no redirects, the removal of a partial file that
# the export made and of nothing else, the check that each block appends to
# the file the last block left, the cancel of a failed engine query, the
# errors of a rejected query and of an empty response). No fast paths: every
# block goes through pandas. The differential tests and the benchmark hold
# the native module against this file.
"""
@des: 这个文件仅仅作为views，接口调用访问，归因内部不用这个文件
@des: 调用方法
from korvane.common.defines import BMOBJ, Et
tdq = ThinkDataQuery("http://xxx.xxx.xxx.xxx:xxxx/querySql", token="xxxxxxxxxxxxxxxx")
try:
    sql = ''' select * from v_user_7 limit 100  '''
    local_file = tdq.get_data_csv({}, sql, block_size=50000)
    df = pandas.read_csv(local_file, header=0)
finally:
    BMOBJ.remove_file(local_file)
"""
import requests
import pandas
import json
import time
import os
import uuid
import urllib3
from korvane.common.defines import BMOBJ, Et
from concurrent.futures import ThreadPoolExecutor, wait, ALL_COMPLETED, FIRST_COMPLETED

# The block writer's own view of the file system, which rebinding the
# module's `os` does not change (the native writer calls the C library).
import os as _os
import stat as _stat
import sys as _sys
import threading as _threading
import types as _types


class ThinkDataQuery(object):
    """
    @des: thinkdata openapi查询基础类----这个只能再thinkdata内网执行
    """

    def __init__(self, query_uri, token, hive_conn_info=["host", 0]):
        """
        @des:初始化类
        """
        self.query_uri = query_uri
        self.token = token
        self.hive_conn_info = hive_conn_info

    def gen_local_unique_file(self, ext="csv"):
        """
        @des:生成本地文件唯一路径
        """
        media_root = "/mydata/media"
        base_dir = os.path.join(media_root, "docs")
        if not os.path.exists(base_dir):
            try:
                os.makedirs(base_dir)
            except FileExistsError:
                # Another caller may have made it since the check: that is
                # fine as long as a directory stands there now.
                if not os.path.isdir(base_dir):
                    raise
        real_name = str(uuid.uuid1().hex) + str(uuid.uuid1().hex) + "." + str(ext)
        file_path = os.path.join(base_dir, real_name)
        return file_path

    def g_to_csv_notmp(self, filepath, df, index=True, compression=None, mode="w", header=True):
        """
        @des: pandas生成csv文件---用于追加文件，不能用临时文件
        compression: 压缩格式 ‘gzip’, ‘bz2’, ‘zip’, ‘xz’. 
        """
        tmp_filepath = filepath
        if index is None:
            if compression is None:
                df.to_csv(tmp_filepath, index=None, mode=mode, header=header)
            else:
                df.to_csv(tmp_filepath, index=None, compression=compression, mode=mode, header=header)
        else:
            if compression is None:
                df.to_csv(tmp_filepath, mode=mode, header=header)
            else:
                df.to_csv(tmp_filepath, compression=compression, mode=mode, header=header)
        return True

    def get_data_csv(self, ctx, sql, block_size=100000):
        """
        @des:从thinkdata的openapi获取数据----流式，为了节省内存---配合下面的getquerycsv
        """
        session = requests.session()
        post_data = {"token": self.token, "sql": sql}
        unique_path = self.gen_local_unique_file()
        BMOBJ.log_error("in query")
        # The token is in the body: a redirect must not carry it elsewhere.
        r = session.post(self.query_uri, data=post_data, stream=True, verify=False, timeout=(300, 600),
                         allow_redirects=False)
        blocks = _Blocks(self, ctx, unique_path, block_size)  # datas = []; i = 0; cols = []
        sql_error = None  # the status line of a rejected query
        try:
            try:
                _check_status(r)
                for row in r.iter_lines(chunk_size=104857600):
                    if not row:
                        continue
                    data = None
                    if blocks.i == 0:
                        data = json.loads(row)
                        if data["return_code"] == 0:
                            blocks.cols = data["data"]["headers"]
                            blocks.written = True
                            blocks.write_header()
                            data = None
                        else:
                            BMOBJ.log_error("sql error:", data)
                            blocks.datas = []
                            sql_error = data
                            break
                    else:
                        if row.strip() not in (b"", ""):
                            data = json.loads(row)
                    if data is not None:
                        blocks.datas.append(data)
                    blocks.count()
                BMOBJ.clog(ctx, "total: " + str(blocks.i))
                blocks.append_rest()
            except BaseException as e:
                # A partial file must not look like a result, even if logging
                # fails or the export was interrupted; a file this call never
                # wrote stays.
                if isinstance(e, Exception):
                    try:
                        BMOBJ.log_error("get data error", e)
                    except BaseException:
                        blocks.remove_written()
                        raise
                blocks.remove_written()
                raise
        finally:
            blocks.close()
        if sql_error is not None:
            raise RuntimeError("sql error:", sql_error)
        if blocks.i == 0:
            raise RuntimeError("no status line: the query endpoint sent an empty response")
        return unique_path

    def get_data_raw_pyhive(self, ctx, sql, block_size=100000, fetch_size=10000,
                            retry_count=5, read_timeout=300, upcount=None):
        """
        @des:presto直连方式读取-----重试的方式
        tobj = ThinkDataQuery("http://xxx.xxx.xxx.xxx:xxxx/querySql", "查询token",
                              ["presto-host", 8080])
        sql = ''' select * from v_event_7 where "$part_date"='2022-02-24' limit 100 '''
        unique_path = tobj.get_data_raw_pyhive({}, sql)
        """
        unique_path = self.gen_local_unique_file()
        gol_e = None
        for i in range(retry_count):
            attempt = _Attempt(unique_path)  # learns the file that the attempt makes
            try:
                return self.get_data_raw_pyhive_i(ctx, unique_path, sql, block_size, fetch_size,
                                                  read_timeout, upcount)
            except BaseException as e:
                if not isinstance(e, Exception):
                    # An interrupt: not retried and not logged, but no partial file either.
                    attempt.remove()
                    raise
                gol_e = e
                attempt.remove()
                if "Read timed out" in str(gol_e):
                    BMOBJ.clog(ctx, "retry " + str(i))
                    continue
                break
            finally:
                attempt.end()
        if gol_e is None:
            return None
        raise gol_e

    def get_data_raw_pyhive_i(self, ctx, unique_path, sql, block_size=100000,
                              fetch_size=10000, read_timeout=300, upcount=None):
        """
        @des: 内部调用
        """
        from pyhive import presto
        BMOBJ.log_error("in query")
        blocks = _Blocks(self, ctx, unique_path, block_size)  # datas = []; i = 0; cols = []
        report = _Attempt.following(unique_path)
        conn = None  # until the connection is open
        cursor = None  # until there is a cursor
        try:
            try:
                try:
                    host = self.hive_conn_info[0]
                    port = int(self.hive_conn_info[1])
                    requests_kwargs = {"timeout": (30, read_timeout), "stream": True, "verify": False}
                    conn = presto.connect(host=host, port=port, username="ta", catalog="hive", schema="ta",
                                          requests_kwargs=requests_kwargs)
                    cursor = conn.cursor()
                    cursor.execute(sql)
                    BMOBJ.clog(ctx, "文件大小")
                    blocks.cols = []
                    for entry in cursor.description:
                        blocks.cols.append(entry[0])
                    blocks.write_header()

                    def yx_fetch_many():
                        return cursor.fetchmany(fetch_size)

                    rows = yx_fetch_many()
                    while rows:
                        for row in rows:
                            if not row:
                                continue
                            blocks.datas.append(row)
                            blocks.count()
                        rows = yx_fetch_many()
                    BMOBJ.clog(ctx, "total: " + str(blocks.i))
                    blocks.append_rest()
                except Exception as e:
                    BMOBJ.clog(ctx, "get data error:", str(e))
                    if upcount is None:
                        raise
                    if blocks.i < upcount:
                        raise
                    # Tolerated: the rows already taken still belong in the
                    # file. If they cannot be written either, that error is
                    # not tolerated.
                    _cancel_query(cursor, read_timeout)
                    blocks.append_rest()
            except BaseException:
                # finally: conn.close() runs with the error in flight
                _cancel_query(cursor, read_timeout)
                if conn is not None:
                    conn.close()
                raise
            if conn is not None:
                conn.close()
            return unique_path
        finally:
            if report is not None:
                report.made = blocks.made
            blocks.close()


__test__ = {}


# ---- the native module's steps beyond the plain calls ---------------------------

def _check_status(r):
    """Refuses an answer that is no result stream, before a line of it is
    read, and lets its connection go; a result stream whose body ends before
    its Content-Length is an error rather than a shorter result."""
    status_code = r.status_code
    if status_code < 300:
        # urllib3 before 2.0 takes a connection closed early for the end of
        # the body: a cut at a line end would pass as a complete result.
        if hasattr(r.raw, "enforce_content_length"):
            r.raw.enforce_content_length = True
        return
    r.close()
    if status_code < 400:
        location = r.headers.get("Location")
        raise requests.HTTPError("{} redirect to {} not followed".format(status_code, location), response=r)
    r.raise_for_status()


def _path_taken(path):
    """Whether something stands at `path`."""
    try:
        os.lstat(path)
    except OSError:
        return False
    return True


def _may_remove(path, made):
    """Whether the clean-up of a failed export may remove `path`: nothing
    stands there, or the very file that the export made (`made`, its device
    and inode) does. Anything else there (a file that replaced it, a link, a
    directory) is someone else's."""
    try:
        st = os.lstat(path)
    except OSError:
        return True
    return made is not None and (st.st_dev, st.st_ino) == made


# Seconds that a failed attempt waits for the engine to take back its query.
_CANCEL_SECONDS = 5


def _cancel_query(cursor, read_timeout):
    """Stops the attempt's query on the engine once the attempt has failed,
    so that a retry does not run next to it. Best effort and bounded: the
    cancel request waits at most _CANCEL_SECONDS, and its own errors are
    dropped, so the attempt's error stands."""
    if cursor is None:
        return
    try:
        wait = _CANCEL_SECONDS
        if read_timeout is not None and read_timeout < wait:
            wait = read_timeout
        if hasattr(cursor, "_requests_kwargs"):
            kwargs = dict(cursor._requests_kwargs)
            kwargs["timeout"] = (_CANCEL_SECONDS, wait)
            cursor._requests_kwargs = kwargs
        cursor.cancel()
    except Exception:
        pass


_following = _threading.local()


class _Attempt(object):
    """An attempt of the direct route, as get_data_raw_pyhive follows it: the
    path it was given and the file it made there (device and inode, or None).
    The attempt at that path on this thread reports into it."""

    def __init__(self, path):
        self.path = path
        self.made = None
        self.outer = getattr(_following, "attempt", None)
        _following.attempt = self

    def end(self):
        _following.attempt = self.outer

    def remove(self):
        """The attempt's file goes; whatever took its place stays."""
        if _may_remove(self.path, self.made):
            BMOBJ.remove_file(self.path)
            BMOBJ.remove_folder(self.path)

    @staticmethod
    def following(path):
        """The attempt that a get_data_raw_pyhive on this thread follows at `path`, or None."""
        a = getattr(_following, "attempt", None)
        if a is not None and (a.path is path or (type(a.path) is str and type(path) is str and a.path == path)):
            return a
        return None


class _Blocks(object):
    """One export's rows on their way to the file, shared by both routes: rows
    gather in `datas`, and each full block of `block_size` rows is appended at
    once. `datas`, `i` and `cols` are the locals of the export loop.

    While `g_to_csv_notmp` is the module's own, each append first checks that
    the file is still the one this export left (the same device, inode and
    size), and after it that the block went into that file: an append would
    otherwise re-create a deleted file or write after a cut, and the export
    would pass for complete."""

    def __init__(self, tdq, ctx, unique_path, block_size):
        self.tdq = tdq
        self.ctx = ctx
        self.path = unique_path
        self.block_size = block_size
        self.datas = []
        self.i = 0
        self.cols = []
        self.written = False  # whether this call created or truncated the file
        self.made = None      # (device, inode) of the file the header write opened
        self.own = False      # g_to_csv_notmp was the module's own for the last block
        self.append = False   # the last block was appended
        self.rows = 0         # its rows (-1: not known)
        self.left = None      # (device, inode, size) of the file as the last block left it
        self.held = -1        # that file, held open: a file made in its place gets another inode
        self.fs_path = None   # the path encoded for the file system ("" where it is none)
        self.plain = None     # whether pandas writes the path as plain text

    def close(self):
        if self.held >= 0:
            _os.close(self.held)
            self.held = -1

    def count(self):
        """After each counted line."""
        self.i += 1
        if len(self.datas) == self.block_size:
            self.append_datas()
        if self.i % self.block_size == 0:
            BMOBJ.clog(self.ctx, self.i)

    def append_rest(self):
        """The last, shorter block."""
        if len(self.datas) > 0:
            self.append_datas()

    def write_header(self):
        """Creates or truncates the file and writes the header line only. The
        file so made is the one a clean-up may remove."""
        self.begin(0, False)
        was_free = not _path_taken(self.path)
        try:
            df = pandas.DataFrame(data=[], columns=self.cols)
            self.tdq.g_to_csv_notmp(self.path, df, index=None)
        except BaseException:
            self.note_made(was_free)
            raise
        self.note_made(was_free)
        self.written_block()

    def append_datas(self):
        self.begin(len(self.datas) if isinstance(self.datas, list) else -1, True)
        df = pandas.DataFrame(data=self.datas, columns=self.cols)
        self.tdq.g_to_csv_notmp(self.path, df, index=None, mode="a", header=False)
        self.written_block()
        self.datas = []

    def remove_written(self):
        if self.written and _may_remove(self.path, self.made):
            BMOBJ.remove_file(self.path)

    # -- the checks ----------------------------------------------------------------

    def begin(self, rows, append):
        self.own = self.own_writer()
        self.append = append
        self.rows = rows
        if not self.own:
            self.left = None
        elif append and self.left is not None:
            st = self.stat(_os.stat)
            if st is None or (st.st_dev, st.st_ino, st.st_size) != self.left:
                self.raise_changed()

    def own_writer(self):
        """`self.g_to_csv_notmp` is the module's own method, bound to `self`,
        with its own defaults."""
        try:
            bound = self.tdq.g_to_csv_notmp
        except AttributeError:
            return False  # the plain call meets the same error
        if type(bound) is not _types.MethodType or bound.__self__ is not self.tdq or \
                bound.__func__ is not _OWN_TO_CSV:
            return False
        defaults = getattr(bound.__func__, "__defaults__", None)
        if type(defaults) is not tuple or len(defaults) != 4:
            return False
        return defaults[0] is True and defaults[1] is None and type(defaults[2]) is str and \
            defaults[2] == "w" and defaults[3] is True

    def written_block(self):
        """After a block: remembers the file as it was left, after checking
        that an append went into the file the last block left. Where pandas
        writes the path as plain text a block with rows grows it (a block
        without rows writes nothing); a compressed or archived file need not
        grow with each block, so there only the device and inode count."""
        if not self.own:
            self.left = None
            return
        if self.append and self.left is not None:
            st = self.stat(_os.stat)
            if st is None or (st.st_dev, st.st_ino) != self.left[:2] or (self.path_plain() and (
                    st.st_size <= self.left[2] if self.rows != 0 else st.st_size < self.left[2])):
                self.note_recreated()
                self.raise_changed()
        self.left = None
        st = self.stat(_os.stat)
        if st is None or not _stat.S_ISREG(st.st_mode):
            return  # only a regular file has a size to check (not /dev/null, say)
        self.left = (st.st_dev, st.st_ino, st.st_size)
        if self.held >= 0:
            held = _os.fstat(self.held)
            if (held.st_dev, held.st_ino) == self.left[:2]:
                return
            _os.close(self.held)
            self.held = -1
        try:
            fd = _os.open(self.fs_path, _os.O_RDONLY | _os.O_NONBLOCK | _os.O_CLOEXEC)
        except OSError:
            return
        held = _os.fstat(fd)
        if (held.st_dev, held.st_ino) != self.left[:2]:
            _os.close(fd)
            return
        self.held = fd

    def note_made(self, was_free):
        """After the header write, or its failure: the regular file now at the
        path is this export's, where the module's own g_to_csv_notmp wrote it
        or nothing stood there before."""
        self.made = None
        if self.own or was_free:
            st = self.stat(_os.lstat)
            if st is not None and _stat.S_ISREG(st.st_mode):
                self.made = (st.st_dev, st.st_ino)

    def note_recreated(self):
        """The append found the file gone and made a new one: the block went
        there, not into the file last left, which this export still holds
        open and which kept its size. That new file is this export's too."""
        if self.rows == 0 or self.held < 0:
            return
        held = _os.fstat(self.held)
        if held.st_size != self.left[2] or held.st_nlink != 0:
            return
        st = self.stat(_os.lstat)
        if st is not None and _stat.S_ISREG(st.st_mode) and (st.st_dev, st.st_ino) != self.left[:2]:
            self.made = (st.st_dev, st.st_ino)

    def raise_changed(self):
        self.left = None
        raise OSError("export file {!r} was deleted, replaced or changed by something else while it "
                      "was written".format(self.path))

    def stat(self, how):
        """`how(path)`, or None where the path names no file to check or the call fails."""
        if self.fs_path is None:
            try:
                self.fs_path = os.fsencode(self.path)
            except Exception:
                self.fs_path = b""  # no path of the file system: nothing to check
            if b"\0" in self.fs_path:
                self.fs_path = b""
        if not self.fs_path:
            return None
        try:
            return how(self.fs_path)
        except OSError:
            return None

    def path_plain(self):
        """A str path that pandas opens as it is: no compression inferred from
        its suffix, no URL, no "~" to expand. Decided once."""
        if self.plain is None:
            self.plain = False
            common = _sys.modules.get("pandas.io.common")
            compressions = getattr(common, "extension_to_compression", None)
            if type(compressions) is not dict or type(self.path) is not str:
                return False
            lower = self.path.lower()
            if not lower or lower[0] == "~" or lower[-1] == "/" or ":" in lower or "\0" in lower:
                return False
            for suffix in compressions:
                if not isinstance(suffix, str) or lower.endswith(suffix):
                    return False
            self.plain = True
        return self.plain


_OWN_TO_CSV = ThinkDataQuery.__dict__["g_to_csv_notmp"]


def _keep_margin(obj, margin):
    """CPython 3.13 takes the common indentation out of docstrings; the module's keep theirs."""
    if not obj.__doc__.startswith("\n" + margin):
        obj.__doc__ = obj.__doc__.replace("\n", "\n" + margin)


_keep_margin(ThinkDataQuery, " " * 4)
for _method in ("__init__", "gen_local_unique_file", "g_to_csv_notmp", "get_data_csv", "get_data_raw_pyhive",
                "get_data_raw_pyhive_i"):
    _keep_margin(ThinkDataQuery.__dict__[_method], " " * 8)
del _method
