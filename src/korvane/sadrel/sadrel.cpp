// korvane.sadrel.sadrel: ThinkDataQuery, which saves a ThinkData query result as a local CSV file.
//
// The module is the native form of this Python (bodies abridged; each C++
// body below carries its own Python beside it):
//
//     import requests
//     import pandas
//     import json
//     import time
//     import os
//     import uuid
//     import urllib3
//     from korvane.common.defines import BMOBJ, Et
//     from concurrent.futures import ThreadPoolExecutor, wait, ALL_COMPLETED, FIRST_COMPLETED
//
//     class ThinkDataQuery(object):
//         def __init__(self, query_uri, token, hive_conn_info=["host", 0]): ...
//         def gen_local_unique_file(self, ext="csv"): ...
//         def g_to_csv_notmp(self, filepath, df, index=True, compression=None, mode="w", header=True): ...
//         def get_data_csv(self, ctx, sql, block_size=100000): ...
//         def get_data_raw_pyhive(self, ctx, sql, block_size=100000, fetch_size=10000,
//                                 retry_count=5, read_timeout=300, upcount=None): ...
//         def get_data_raw_pyhive_i(self, ctx, unique_path, sql, block_size=100000,
//                                   fetch_size=10000, read_timeout=300, upcount=None): ...
//
//     __test__ = {}
#include "kvrt.h"
#include "csvblock.h"
#include "lines.h"
#include "rows.h"

#include <sys/stat.h>
#include <vector>

using namespace pybind11::literals;
using kvrt::Globals;

namespace {

constexpr const char *kModule = "korvane.sadrel.sadrel";

constexpr const char *kModuleDoc =
    "\n"
    "@des: 这个文件仅仅作为views，接口调用访问，归因内部不用这个文件\n"
    "@des: 调用方法\n"
    "from korvane.common.defines import BMOBJ, Et\n"
    "tdq = ThinkDataQuery(\"http://xxx.xxx.xxx.xxx:xxxx/querySql\", token=\"xxxxxxxxxxxxxxxx\")\n"
    "try:\n"
    "    sql = ''' select * from v_user_7 limit 100  '''\n"
    "    local_file = tdq.get_data_csv({}, sql, block_size=50000)\n"
    "    df = pandas.read_csv(local_file, header=0)\n"
    "finally:\n"
    "    BMOBJ.remove_file(local_file)\n";

constexpr const char *kClassDoc = "\n    @des: thinkdata openapi查询基础类----这个只能再thinkdata内网执行\n    ";

extern const kvrt::FunctionDef to_csv_def;  // g_to_csv_notmp

/// Whether something stands at `path`:
///     try:
///         os.lstat(path)
///     except OSError:
///         return False
///     return True
bool path_taken(const Globals &g, py::handle path) {
    try {
        g["os"].attr("lstat")(path);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) {
            throw;
        }
        return false;
    }
    return true;
}

/// The file an export made at its path, by device and inode (`known` false
/// while it made none).
struct MadeFile {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
};

/// Whether the clean-up of a failed export may remove `path`: nothing
/// stands there, or the very file that the export made does. Anything else
/// there (a file that replaced it, a link, a directory) is someone else's.
///     try:
///         st = os.lstat(path)
///     except OSError:
///         return True
///     return made is not None and (st.st_dev, st.st_ino) == made
bool may_remove(const Globals &g, py::handle path, const MadeFile &made) {
    py::object st;
    try {
        st = g["os"].attr("lstat")(path);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) {
            throw;
        }
        return true;
    }
    return made.known && kvrt::eq(st.attr("st_dev"), py::int_(made.dev)) &&
           kvrt::eq(st.attr("st_ino"), py::int_(made.ino));
}

/// The file made by `writer`'s header write, if any.
MadeFile made_by(const sadrel::BlockWriter &writer) {
    MadeFile made;
    made.known = writer.made(made.dev, made.ino);
    return made;
}

/// An attempt of the direct route, as its caller follows it: the path it
/// was given and the file it made there. `get_data_raw_pyhive` sets one up
/// on this thread for each attempt; the attempt at that path reports into it.
struct Attempt {
    py::handle path;
    MadeFile made;
    Attempt *outer;
};

thread_local Attempt *current_attempt = nullptr;

/// `get_data_raw_pyhive`'s hold on one attempt, for as long as it runs and is cleaned up after.
class Following {
public:
    explicit Following(py::handle path) : attempt_{path, MadeFile(), current_attempt} { current_attempt = &attempt_; }
    ~Following() { current_attempt = attempt_.outer; }
    Following(const Following &) = delete;
    Following &operator=(const Following &) = delete;
    const MadeFile &made() const { return attempt_.made; }

private:
    Attempt attempt_;
};

/// An attempt's report of the file it made, on every way out of it, to the
/// `get_data_raw_pyhive` that gave it its path (none when called by itself).
class Reporting {
public:
    Reporting(py::handle unique_path, const sadrel::BlockWriter &writer) : writer_(writer) {
        Attempt *a = current_attempt;
        if (a != nullptr && (a->path.is(unique_path) || (PyUnicode_CheckExact(a->path.ptr()) &&
                                                         PyUnicode_CheckExact(unique_path.ptr()) &&
                                                         PyUnicode_Compare(a->path.ptr(), unique_path.ptr()) == 0))) {
            to_ = a;
        }
    }
    ~Reporting() {
        if (to_ != nullptr) {
            to_->made = made_by(writer_);
        }
    }
    Reporting(const Reporting &) = delete;
    Reporting &operator=(const Reporting &) = delete;

private:
    const sadrel::BlockWriter &writer_;
    Attempt *to_ = nullptr;
};

/// One export's rows on their way to the file, shared by both routes: rows
/// gather in `datas`, and each full block of `block_size` rows is appended
/// at once, so at most one block is held in memory. `datas`, `i` and `cols`
/// are the locals of the export loop. `writer` writes a block natively when
/// that gives the file pandas would write, and checks before each append
/// that the file is still the one this export left.
///
/// While the lines come from a piece of the response that is not yet read
/// whole (see sadrel::ResponseLines), the progress messages wait for it, and
/// if it never arrives they are dropped and the file is taken back to what
/// it was before the piece: as if its lines had never been seen.
struct Blocks : sadrel::ResponseLines::Listener {
    Blocks(const Globals &g, py::handle self, py::handle ctx, py::handle unique_path, py::handle block_size)
        : g(g), self(self), ctx(ctx), unique_path(unique_path), block_size(block_size), loads(g),
          writer(g, to_csv_def, self, unique_path) {}

    const Globals &g;
    py::handle self;
    py::handle ctx;
    py::handle unique_path;
    sadrel::BlockSize block_size;
    py::list datas;
    sadrel::Count i;
    py::object cols = py::list();
    sadrel::JsonLoads loads;  // json.loads, for the rows
    sadrel::BlockWriter writer;
    bool written = false;                     // whether this call created or truncated the file
    const sadrel::ResponseLines *lines = nullptr;
    std::vector<long long> waiting;           // progress counts of the piece being read
    bool written_before_piece = false;        // `written` when the piece began
    off_t size_before_piece = -1;             // the file's size then

    sadrel::fastjson::Rows parsed;  // the block's first rows, parsed natively

    /// `datas.append(json.loads(row))` for a line that is an array of
    /// scalars, as native values while the block holds no row made
    /// otherwise; false leaves the line to the plain steps, after the rows
    /// parsed so far have become the objects json.loads makes of them.
    bool append_parsed(const sadrel::Line &row) {
        if (row.after_read) {
            loads.python_ran();
        }
        if (PyList_GET_SIZE(datas.ptr()) == 0 && loads.parse_into(row, parsed)) {
            return true;
        }
        to_objects();
        return false;
    }

    void to_objects() {
        for (std::size_t r = 0; r < parsed.count(); ++r) {
            PyObject *row = parsed.object(r);
            if (row == nullptr) {
                throw py::error_already_set();
            }
            append(py::reinterpret_steal<py::object>(row));
        }
        parsed.clear();
    }

    /// `len(datas)`
    Py_ssize_t held() const { return static_cast<Py_ssize_t>(parsed.count()) + PyList_GET_SIZE(datas.ptr()); }

    void piece_begun() override {
        written_before_piece = written;
        size_before_piece = writer.size();
    }

    void piece_done() override {
        std::vector<long long> counts;
        counts.swap(waiting);
        for (long long count : counts) {
            g["BMOBJ"].attr("clog")(ctx, py::int_(count));
        }
        loads.python_ran();
    }

    void piece_lost() override {
        waiting.clear();
        if (written && !written_before_piece) {
            writer.take_back(-1);  // the header line's file: made within the piece
            written = false;
        } else if (written && size_before_piece >= 0) {
            writer.take_back(size_before_piece);
        }
    }

    /// `self.g_to_csv_notmp(unique_path, pandas.DataFrame(data=[], columns=cols), index=None)`:
    /// creates or truncates the file and writes the header line only. The
    /// writer notes the file so made, the one a clean-up may remove.
    void write_header() {
        loads.python_ran();
        if (writer.write(cols, py::list(), false)) {
            return;
        }
        const bool was_free = !path_taken(g, unique_path);
        try {
            py::object df = g["pandas"].attr("DataFrame")("data"_a = py::list(), "columns"_a = cols);
            self.attr("g_to_csv_notmp")(unique_path, df, "index"_a = py::none());
        } catch (py::error_already_set &e) {
            kvrt::Handling handling(e);
            writer.note_made(was_free);
            throw;
        }
        writer.note_made(was_free);
        writer.written();
    }

    /// `self.g_to_csv_notmp(unique_path, pandas.DataFrame(data=datas, columns=cols), index=None, mode='a', header=False)`
    /// then `datas = []`.
    void append_datas() {
        if (parsed.count() > 0) {
            if (writer.write(cols, parsed, true)) {
                parsed.clear();
                loads.recheck();
                return;
            }
            to_objects();  // the plain steps, with the rows json.loads makes
        }
        if (!writer.write(cols, datas, true)) {
            py::object df = g["pandas"].attr("DataFrame")("data"_a = datas, "columns"_a = cols);
            self.attr("g_to_csv_notmp")(unique_path, df, "index"_a = py::none(), "mode"_a = "a",
                                        "header"_a = false);
            writer.written();
        }
        datas = py::list();
        loads.recheck();  // json may have changed while the block was written
    }

    /// `datas.append(row)`
    void append(py::handle row) {
        if (PyList_Append(datas.ptr(), row.ptr()) < 0) {
            throw py::error_already_set();
        }
    }

    /// After each counted line:
    ///     i += 1
    ///     if len(datas) == block_size: <append datas>
    ///     if i % block_size == 0: BMOBJ.clog(ctx, i)
    void count() {
        i += 1;
        if (block_size.equals(held())) {
            append_datas();
        }
        if (block_size.divides(i)) {
            if (lines != nullptr && lines->deferring()) {
                waiting.push_back(i.value());
            } else {
                g["BMOBJ"].attr("clog")(ctx, i.object());
                loads.python_ran();
            }
        }
    }

    /// `BMOBJ.clog(ctx, "total: " + str(i))`
    void log_total() { g["BMOBJ"].attr("clog")(ctx, py::str("total: ") + py::str(i.object())); }

    /// `if len(datas) > 0: <append datas>`: the last, shorter block.
    void append_rest() {
        if (held() > 0) {
            append_datas();
        }
    }
};

// ---- __init__ ------------------------------------------------------------------

// def __init__(self, query_uri, token, hive_conn_info=["host", 0]):
py::object tdq_init(const Globals &, py::handle self, py::handle query_uri, py::handle token,
                    py::handle hive_conn_info) {
    self.attr("query_uri") = query_uri;            // self.query_uri = query_uri
    self.attr("token") = token;                    // self.token = token
    self.attr("hive_conn_info") = hive_conn_info;  // self.hive_conn_info = hive_conn_info
    return py::none();
}

// ---- gen_local_unique_file -----------------------------------------------------

// def gen_local_unique_file(self, ext="csv"):
py::object tdq_gen_local_unique_file(const Globals &g, py::handle, py::handle ext) {
    py::object media_root = py::str("/mydata/media");
    py::object base_dir = g["os"].attr("path").attr("join")(media_root, "docs");
    if (!kvrt::is_true(g["os"].attr("path").attr("exists")(base_dir))) {
        try {
            g["os"].attr("makedirs")(base_dir);
        } catch (py::error_already_set &e) {
            // Another caller may have made it since the check: that is fine
            // as long as a directory stands there now.
            if (!e.matches(g["FileExistsError"]) ||
                !kvrt::is_true(g["os"].attr("path").attr("isdir")(base_dir))) {
                throw;
            }
        }
    }
    // real_name = str(uuid.uuid1().hex) + str(uuid.uuid1().hex) + "." + str(ext)
    py::object first = py::str(g["uuid"].attr("uuid1")().attr("hex"));
    py::object second = py::str(g["uuid"].attr("uuid1")().attr("hex"));
    py::object real_name = first + second + py::str(".") + py::str(ext);
    py::object file_path = g["os"].attr("path").attr("join")(base_dir, real_name);
    return file_path;
}

// ---- g_to_csv_notmp ------------------------------------------------------------

// def g_to_csv_notmp(self, filepath, df, index=True, compression=None, mode="w", header=True):
py::object tdq_g_to_csv_notmp(const Globals &, py::handle, py::handle filepath, py::handle df,
                              py::handle index, py::handle compression, py::handle mode,
                              py::handle header) {
    py::handle tmp_filepath = filepath;
    if (index.is_none()) {
        if (compression.is_none()) {
            df.attr("to_csv")(tmp_filepath, "index"_a = py::none(), "mode"_a = mode, "header"_a = header);
        } else {
            df.attr("to_csv")(tmp_filepath, "index"_a = py::none(), "compression"_a = compression,
                              "mode"_a = mode, "header"_a = header);
        }
    } else {
        if (compression.is_none()) {
            df.attr("to_csv")(tmp_filepath, "mode"_a = mode, "header"_a = header);
        } else {
            df.attr("to_csv")(tmp_filepath, "compression"_a = compression, "mode"_a = mode,
                              "header"_a = header);
        }
    }
    return py::bool_(true);
}

// ---- get_data_csv --------------------------------------------------------------

/// Refuses an answer that is no result stream, before a line of it is read,
/// and lets its connection go; a result stream whose body ends before its
/// Content-Length is an error rather than a shorter result:
///     if r.status_code < 300:
///         if hasattr(r.raw, "enforce_content_length"):
///             r.raw.enforce_content_length = True
///         return
///     if r.status_code < 400:
///         r.close()
///         raise requests.HTTPError("{} redirect to {} not followed".format(r.status_code, r.headers.get("Location")), response=r)
///     r.close()
///     r.raise_for_status()
void check_status(const Globals &g, py::handle r) {
    py::object status_code = r.attr("status_code");
    if (kvrt::lt(status_code, py::int_(300))) {
        // urllib3 before 2.0 takes a connection closed early for the end of
        // the body: a cut at a line end would pass as a complete result.
        py::object raw = r.attr("raw");
        if (py::hasattr(raw, "enforce_content_length")) {
            raw.attr("enforce_content_length") = true;
        }
        return;
    }
    r.attr("close")();
    if (kvrt::lt(status_code, py::int_(400))) {
        py::object location = r.attr("headers").attr("get")("Location");
        py::object message = py::str("{} redirect to {} not followed").format(status_code, location);
        kvrt::raise(g["requests"].attr("HTTPError")(message, "response"_a = r));
    }
    r.attr("raise_for_status")();
}

/// Whether anything stands at `path` (a str or bytes path), as lstat sees it.
bool exists(py::handle path) {
    if (!PyUnicode_Check(path.ptr())) {
        return true;  // not known: take it as there
    }
    const char *text = PyUnicode_AsUTF8(path.ptr());
    if (text == nullptr) {
        PyErr_Clear();
        return true;
    }
    struct stat st;
    return ::lstat(text, &st) == 0 || errno != ENOENT;
}

// def get_data_csv(self, ctx, sql, block_size=100000):
py::object tdq_get_data_csv(const Globals &g, py::handle self, py::handle ctx, py::handle sql,
                            py::handle block_size) {
    py::object session = g["requests"].attr("session")();
    py::dict post_data;
    post_data["token"] = self.attr("token");
    post_data["sql"] = sql;
    py::object unique_path = self.attr("gen_local_unique_file")();
    g["BMOBJ"].attr("log_error")("in query");
    py::object query_uri = self.attr("query_uri");
    // The token is in the body: a redirect must not carry it elsewhere.
    py::object r = session.attr("post")(query_uri, "data"_a = post_data, "stream"_a = true,
                                        "verify"_a = false, "timeout"_a = py::make_tuple(300, 600),
                                        "allow_redirects"_a = false);
    Blocks blocks(g, self, ctx, unique_path, block_size);  // datas = []; i = 0; cols = []
    py::object sql_error = py::none();  // the status line of a rejected query
    try {
        check_status(g, r);
        // for row in r.iter_lines(chunk_size=104857600): the lines split natively
        // where the guards allow; a body of known length read in steps where
        // no file stands at the path yet and the blocks run no one else's code
        bool steps = !exists(unique_path) && blocks.loads.stdlib_now() && blocks.writer.may_write();
        sadrel::ResponseLines lines(g, r, 104857600, steps);
        lines.listen(&blocks);
        blocks.lines = &lines;
        sadrel::Line row;
        try {
            while (lines.next(row)) {
                if (row.empty()) {
                    continue;
                }
                py::object data = py::none();
                if (blocks.i == 0) {
                    data = g["json"].attr("loads")(row.bytes());
                    if (kvrt::eq(data["return_code"], py::int_(0))) {
                        blocks.cols = data["data"]["headers"];
                        blocks.written = true;
                        blocks.write_header();
                        data = py::none();
                    } else {
                        lines.settle();
                        g["BMOBJ"].attr("log_error")("sql error:", data);
                        blocks.datas = py::list();
                        sql_error = data;
                        break;
                    }
                } else {
                    if (sadrel::has_content(row)) {  // row.strip() not in (b"", "")
                        if (blocks.append_parsed(row)) {  // datas.append(json.loads(row)), natively
                            blocks.count();
                            continue;
                        }
                        data = blocks.loads(row);     // json.loads(row)
                    }
                }
                if (!data.is_none()) {
                    blocks.append(data);
                }
                blocks.count();
            }
        } catch (py::error_already_set &e) {
            if (e.matches(PyExc_Exception)) {
                lines.settle();  // a read error of the piece at hand comes first
            }
            throw;
        }
        blocks.lines = nullptr;
        blocks.log_total();
        blocks.append_rest();
    } catch (py::error_already_set &e) {
        blocks.lines = nullptr;
        kvrt::Handling handling(e);
        // A partial file must not look like a result, even if logging fails
        // or the export was interrupted; a file this call never wrote stays.
        auto remove_written = [&] {
            if (blocks.written && may_remove(g, unique_path, made_by(blocks.writer))) {
                g["BMOBJ"].attr("remove_file")(unique_path);
            }
        };
        if (e.matches(PyExc_Exception)) {
            try {
                g["BMOBJ"].attr("log_error")("get data error", e.value());
            } catch (...) {
                remove_written();
                throw;
            }
        }
        remove_written();
        throw;
    }
    if (!sql_error.is_none()) {
        kvrt::raise(g["RuntimeError"]("sql error:", sql_error));
    }
    if (kvrt::eq(blocks.i, py::int_(0))) {
        kvrt::raise(g["RuntimeError"]("no status line: the query endpoint sent an empty response"));
    }
    return unique_path;
}

// ---- get_data_raw_pyhive -------------------------------------------------------

// def get_data_raw_pyhive(self, ctx, sql, block_size=100000, fetch_size=10000,
//                         retry_count=5, read_timeout=300, upcount=None):
py::object tdq_get_data_raw_pyhive(const Globals &g, py::handle self, py::handle ctx, py::handle sql,
                                   py::handle block_size, py::handle fetch_size,
                                   py::handle retry_count, py::handle read_timeout,
                                   py::handle upcount) {
    py::object unique_path = self.attr("gen_local_unique_file")();
    py::object gol_e = py::none();
    for (py::handle i : g["range"](retry_count)) {
        Following attempt(unique_path);  // learns the file that the attempt makes
        try {
            return self.attr("get_data_raw_pyhive_i")(ctx, unique_path, sql, block_size, fetch_size,
                                                      read_timeout, upcount);
        } catch (py::error_already_set &e) {
            kvrt::Handling handling(e);
            // The attempt's file goes; whatever took its place stays:
            //     if may_remove(unique_path, made):
            //         BMOBJ.remove_file(unique_path)
            //         BMOBJ.remove_folder(unique_path)
            auto remove_attempt = [&] {
                if (may_remove(g, unique_path, attempt.made())) {
                    g["BMOBJ"].attr("remove_file")(unique_path);
                    g["BMOBJ"].attr("remove_folder")(unique_path);
                }
            };
            if (!e.matches(PyExc_Exception)) {
                // An interrupt: not retried and not logged, but no partial file either.
                remove_attempt();
                throw;
            }
            gol_e = e.value();
            remove_attempt();
            if (py::str(gol_e).contains("Read timed out")) {
                g["BMOBJ"].attr("clog")(ctx, py::str("retry ") + py::str(i));
                continue;
            }
            break;
        }
    }
    if (gol_e.is_none()) {
        return py::none();
    }
    kvrt::raise(gol_e);
}

// ---- get_data_raw_pyhive_i -----------------------------------------------------

/// Seconds that a failed attempt waits for the engine to take back its query.
constexpr int kCancelSeconds = 5;

/// Stops the attempt's query on the engine once the attempt has failed, so
/// that a retry does not run next to it. Best effort and bounded: the cancel
/// request waits at most kCancelSeconds (never the attempt's full read
/// time-out), and its own errors are dropped, so the attempt's error stands.
///     if cursor is not None:
///         try:
///             if hasattr(cursor, "_requests_kwargs"):
///                 wait = 5 if read_timeout is None else min(5, read_timeout)
///                 cursor._requests_kwargs = dict(cursor._requests_kwargs, timeout=(5, wait))
///             cursor.cancel()
///         except Exception:
///             pass
void cancel_query(const Globals &g, py::handle cursor, py::handle read_timeout) {
    if (!cursor) {
        return;
    }
    try {
        py::object wait = py::int_(kCancelSeconds);
        if (!read_timeout.is_none() && kvrt::lt(read_timeout, wait)) {
            wait = py::reinterpret_borrow<py::object>(read_timeout);
        }
        if (py::hasattr(cursor, "_requests_kwargs")) {
            py::dict kwargs = g["dict"](cursor.attr("_requests_kwargs"));
            kwargs["timeout"] = py::make_tuple(kCancelSeconds, wait);
            cursor.attr("_requests_kwargs") = kwargs;
        }
        cursor.attr("cancel")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
    }
}

// def yx_fetch_many():
//     return cursor.fetchmany(fetch_size)
py::object yx_fetch_many(const Globals &, py::handle closure, kvrt::Args) {
    py::handle cursor = PyTuple_GET_ITEM(closure.ptr(), 0);
    py::handle fetch_size = PyTuple_GET_ITEM(closure.ptr(), 1);
    return cursor.attr("fetchmany")(fetch_size);
}

const kvrt::FunctionDef yx_fetch_many_def{
    "yx_fetch_many", "ThinkDataQuery.get_data_raw_pyhive_i.<locals>.yx_fetch_many", nullptr,
    nullptr, 0, &yx_fetch_many};

// def get_data_raw_pyhive_i(self, ctx, unique_path, sql, block_size=100000,
//                           fetch_size=10000, read_timeout=300, upcount=None):
py::object tdq_get_data_raw_pyhive_i(const Globals &g, py::handle self, py::handle ctx,
                                     py::handle unique_path, py::handle sql, py::handle block_size,
                                     py::handle fetch_size, py::handle read_timeout,
                                     py::handle upcount) {
    py::object presto = kvrt::from_import(g, "pyhive", "presto");
    g["BMOBJ"].attr("log_error")("in query");
    Blocks blocks(g, self, ctx, unique_path, block_size);  // datas = []; i = 0; cols = []
    Reporting report(unique_path, blocks.writer);
    py::object conn;    // stays empty until the connection is open
    py::object cursor;  // stays empty until there is a cursor
    auto close_if_opened = [&] {
        if (conn) {
            conn.attr("close")();
        }
    };
    try {
        try {
            py::object host = self.attr("hive_conn_info")[py::int_(0)];
            py::object port = g["int"](self.attr("hive_conn_info")[py::int_(1)]);
            py::dict requests_kwargs;
            requests_kwargs["timeout"] = py::make_tuple(30, read_timeout);
            requests_kwargs["stream"] = true;
            requests_kwargs["verify"] = false;
            conn = presto.attr("connect")("host"_a = host, "port"_a = port, "username"_a = "ta",
                                          "catalog"_a = "hive", "schema"_a = "ta",
                                          "requests_kwargs"_a = requests_kwargs);
            cursor = conn.attr("cursor")();
            cursor.attr("execute")(sql);
            g["BMOBJ"].attr("clog")(ctx, "文件大小");
            blocks.cols = py::list();
            for (py::handle entry : cursor.attr("description")) {
                blocks.cols.attr("append")(entry[py::int_(0)]);
            }
            blocks.write_header();
            py::object fetch_many = kvrt::make_function(yx_fetch_many_def, kModule, g.dict(), py::tuple(),
                                                        py::make_tuple(cursor, fetch_size));
            py::object rows = fetch_many();
            while (kvrt::is_true(rows)) {
                for (py::handle row : rows) {
                    if (!kvrt::is_true(row)) {
                        continue;
                    }
                    blocks.append(row);
                    blocks.count();
                }
                rows = fetch_many();
            }
            blocks.log_total();
            blocks.append_rest();
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
            kvrt::Handling handling(e);
            g["BMOBJ"].attr("clog")(ctx, "get data error:", py::str(e.value()));
            if (upcount.is_none()) {
                throw;
            }
            if (kvrt::lt(blocks.i, upcount)) {
                throw;
            }
            // Tolerated: the rows already taken still belong in the file. If
            // they cannot be written either, that error is not tolerated.
            cancel_query(g, cursor, read_timeout);
            blocks.append_rest();
        }
    } catch (py::error_already_set &e) {
        kvrt::Handling handling(e);  // finally: conn.close() runs with the error in flight
        cancel_query(g, cursor, read_timeout);
        close_if_opened();
        throw;
    } catch (...) {
        cancel_query(g, cursor, read_timeout);
        close_if_opened();
        throw;
    }
    close_if_opened();
    return py::reinterpret_borrow<py::object>(unique_path);
}

// ---- the class -----------------------------------------------------------------

const char *const init_params[] = {"self", "query_uri", "token", "hive_conn_info"};
const char *const gen_params[] = {"self", "ext"};
const char *const to_csv_params[] = {"self", "filepath", "df", "index", "compression", "mode", "header"};
const char *const csv_params[] = {"self", "ctx", "sql", "block_size"};
const char *const pyhive_params[] = {"self",       "ctx",          "sql",    "block_size",
                                     "fetch_size", "retry_count", "read_timeout", "upcount"};
const char *const pyhive_i_params[] = {"self",       "ctx",        "unique_path",  "sql",
                                       "block_size", "fetch_size", "read_timeout", "upcount"};

const kvrt::FunctionDef init_def = kvrt::def_<&tdq_init>(
    "__init__", "ThinkDataQuery.__init__", "\n        @des:初始化类\n        ", init_params);

const kvrt::FunctionDef gen_def = kvrt::def_<&tdq_gen_local_unique_file>(
    "gen_local_unique_file", "ThinkDataQuery.gen_local_unique_file",
    "\n        @des:生成本地文件唯一路径\n        ", gen_params);

const kvrt::FunctionDef to_csv_def = kvrt::def_<&tdq_g_to_csv_notmp>(
    "g_to_csv_notmp", "ThinkDataQuery.g_to_csv_notmp",
    "\n        @des: pandas生成csv文件---用于追加文件，不能用临时文件"
    "\n        compression: 压缩格式 ‘gzip’, ‘bz2’, ‘zip’, ‘xz’. "
    "\n        ",
    to_csv_params);

const kvrt::FunctionDef csv_def = kvrt::def_<&tdq_get_data_csv>(
    "get_data_csv", "ThinkDataQuery.get_data_csv",
    "\n        @des:从thinkdata的openapi获取数据----流式，为了节省内存---配合下面的getquerycsv\n        ",
    csv_params);

const kvrt::FunctionDef pyhive_def = kvrt::def_<&tdq_get_data_raw_pyhive>(
    "get_data_raw_pyhive", "ThinkDataQuery.get_data_raw_pyhive",
    "\n        @des:presto直连方式读取-----重试的方式"
    "\n        tobj = ThinkDataQuery(\"http://xxx.xxx.xxx.xxx:xxxx/querySql\", \"查询token\","
    "\n                              [\"presto-host\", 8080])"
    "\n        sql = ''' select * from v_event_7 where \"$part_date\"='2022-02-24' limit 100 '''"
    "\n        unique_path = tobj.get_data_raw_pyhive({}, sql)"
    "\n        ",
    pyhive_params);

const kvrt::FunctionDef pyhive_i_def = kvrt::def_<&tdq_get_data_raw_pyhive_i>(
    "get_data_raw_pyhive_i", "ThinkDataQuery.get_data_raw_pyhive_i", "\n        @des: 内部调用\n        ",
    pyhive_i_params);

void sadrel_body(const Globals &g) {
    kvrt::import_module(g, "requests");
    kvrt::import_module(g, "pandas");
    kvrt::import_module(g, "json");
    sadrel::note_stdlib_json();  // for the row parser's guards
    kvrt::import_module(g, "time");
    kvrt::import_module(g, "os");
    kvrt::import_module(g, "uuid");
    kvrt::import_module(g, "urllib3");
    kvrt::import_from(g, "korvane.common.defines", {"BMOBJ", "Et"});
    kvrt::import_from(g, "concurrent.futures", {"ThreadPoolExecutor", "wait", "ALL_COMPLETED", "FIRST_COMPLETED"});

    py::handle globals = g.dict();
    py::list hive_conn_info_default;
    hive_conn_info_default.append("host");
    hive_conn_info_default.append(0);
    py::object cls = kvrt::make_class(
        g, kModule, "ThinkDataQuery", kClassDoc,
        {
            kvrt::make_function(init_def, kModule, globals, py::make_tuple(hive_conn_info_default)),
            kvrt::make_function(gen_def, kModule, globals, py::make_tuple("csv")),
            kvrt::make_function(to_csv_def, kModule, globals, py::make_tuple(true, py::none(), "w", true)),
            kvrt::make_function(csv_def, kModule, globals, py::make_tuple(100000)),
            kvrt::make_function(pyhive_def, kModule, globals,
                                py::make_tuple(100000, 10000, 5, 300, py::none())),
            kvrt::make_function(pyhive_i_def, kModule, globals, py::make_tuple(100000, 10000, 300, py::none())),
        });
    g.set("ThinkDataQuery", cls);
    g.set("__test__", py::dict());
}

}  // namespace

KVRT_MODULE(sadrel, "korvane.sadrel.sadrel", kModuleDoc, sadrel_body)
