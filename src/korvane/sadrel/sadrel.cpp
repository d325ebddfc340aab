// korvane.sadrel.sadrel: ThinkDataQuery, which saves a ThinkData query result as a local CSV file.
//
// The module is the native form of this Python (docstrings left out; tests/twins/sadrel.py
// is the same Python, run by the differential tests and the benchmark). `_Blocks` is the
// export loop's rows on their way to the file (export/block.h) and `_Attempt` an attempt
// of the direct route as its caller follows it (export/export_file.h); where the guards
// allow, the lines, rows and blocks take native steps that give the same files, logs and
// errors (export/, guards/).
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
//
//         def __init__(self, query_uri, token, hive_conn_info=["host", 0]):
//             self.query_uri = query_uri
//             self.token = token
//             self.hive_conn_info = hive_conn_info
//
//         def gen_local_unique_file(self, ext="csv"):
//             media_root = "/mydata/media"
//             base_dir = os.path.join(media_root, "docs")
//             if not os.path.exists(base_dir):
//                 try:
//                     os.makedirs(base_dir)
//                 except FileExistsError:
//                     # Another caller may have made it since the check: that is
//                     # fine as long as a directory stands there now.
//                     if not os.path.isdir(base_dir):
//                         raise
//             real_name = str(uuid.uuid1().hex) + str(uuid.uuid1().hex) + "." + str(ext)
//             file_path = os.path.join(base_dir, real_name)
//             return file_path
//
//         def g_to_csv_notmp(self, filepath, df, index=True, compression=None, mode="w", header=True):
//             tmp_filepath = filepath
//             if index is None:
//                 if compression is None:
//                     df.to_csv(tmp_filepath, index=None, mode=mode, header=header)
//                 else:
//                     df.to_csv(tmp_filepath, index=None, compression=compression, mode=mode, header=header)
//             else:
//                 if compression is None:
//                     df.to_csv(tmp_filepath, mode=mode, header=header)
//                 else:
//                     df.to_csv(tmp_filepath, compression=compression, mode=mode, header=header)
//             return True
//
//         def get_data_csv(self, ctx, sql, block_size=100000):
//             session = requests.session()
//             post_data = {"token": self.token, "sql": sql}
//             unique_path = self.gen_local_unique_file()
//             BMOBJ.log_error("in query")
//             # The token is in the body: a redirect must not carry it elsewhere.
//             r = session.post(self.query_uri, data=post_data, stream=True, verify=False, timeout=(300, 600),
//                              allow_redirects=False)
//             blocks = _Blocks(self, ctx, unique_path, block_size)  # datas = []; i = 0; cols = []
//             sql_error = None  # the status line of a rejected query
//             try:
//                 try:
//                     _check_status(r)
//                     for row in r.iter_lines(chunk_size=104857600):
//                         if not row:
//                             continue
//                         data = None
//                         if blocks.i == 0:
//                             data = json.loads(row)
//                             if data["return_code"] == 0:
//                                 blocks.cols = data["data"]["headers"]
//                                 blocks.written = True
//                                 blocks.write_header()
//                                 data = None
//                             else:
//                                 BMOBJ.log_error("sql error:", data)
//                                 blocks.datas = []
//                                 sql_error = data
//                                 break
//                         else:
//                             if row.strip() not in (b"", ""):
//                                 data = json.loads(row)
//                         if data is not None:
//                             blocks.datas.append(data)
//                         blocks.count()
//                     BMOBJ.clog(ctx, "total: " + str(blocks.i))
//                     blocks.append_rest()
//                 except BaseException as e:
//                     # A partial file must not look like a result, even if logging
//                     # fails or the export was interrupted; a file this call never
//                     # wrote stays.
//                     if isinstance(e, Exception):
//                         try:
//                             BMOBJ.log_error("get data error", e)
//                         except BaseException:
//                             blocks.remove_written()
//                             raise
//                     blocks.remove_written()
//                     raise
//             finally:
//                 blocks.close()
//             if sql_error is not None:
//                 raise RuntimeError("sql error:", sql_error)
//             if blocks.i == 0:
//                 raise RuntimeError("no status line: the query endpoint sent an empty response")
//             return unique_path
//
//         def get_data_raw_pyhive(self, ctx, sql, block_size=100000, fetch_size=10000,
//                                 retry_count=5, read_timeout=300, upcount=None):
//             unique_path = self.gen_local_unique_file()
//             gol_e = None
//             for i in range(retry_count):
//                 attempt = _Attempt(unique_path)  # learns the file that the attempt makes
//                 try:
//                     return self.get_data_raw_pyhive_i(ctx, unique_path, sql, block_size, fetch_size,
//                                                       read_timeout, upcount)
//                 except BaseException as e:
//                     if not isinstance(e, Exception):
//                         # An interrupt: not retried and not logged, but no partial file either.
//                         attempt.remove()
//                         raise
//                     gol_e = e
//                     attempt.remove()
//                     if "Read timed out" in str(gol_e):
//                         BMOBJ.clog(ctx, "retry " + str(i))
//                         continue
//                     break
//                 finally:
//                     attempt.end()
//             if gol_e is None:
//                 return None
//             raise gol_e
//
//         def get_data_raw_pyhive_i(self, ctx, unique_path, sql, block_size=100000,
//                                   fetch_size=10000, read_timeout=300, upcount=None):
//             from pyhive import presto
//             BMOBJ.log_error("in query")
//             blocks = _Blocks(self, ctx, unique_path, block_size)  # datas = []; i = 0; cols = []
//             report = _Attempt.following(unique_path)
//             conn = None  # until the connection is open
//             cursor = None  # until there is a cursor
//             try:
//                 try:
//                     try:
//                         host = self.hive_conn_info[0]
//                         port = int(self.hive_conn_info[1])
//                         requests_kwargs = {"timeout": (30, read_timeout), "stream": True, "verify": False}
//                         conn = presto.connect(host=host, port=port, username="ta", catalog="hive", schema="ta",
//                                               requests_kwargs=requests_kwargs)
//                         cursor = conn.cursor()
//                         cursor.execute(sql)
//                         BMOBJ.clog(ctx, "文件大小")
//                         blocks.cols = []
//                         for entry in cursor.description:
//                             blocks.cols.append(entry[0])
//                         blocks.write_header()
//
//                         def yx_fetch_many():
//                             return cursor.fetchmany(fetch_size)
//
//                         rows = yx_fetch_many()
//                         while rows:
//                             for row in rows:
//                                 if not row:
//                                     continue
//                                 blocks.datas.append(row)
//                                 blocks.count()
//                             rows = yx_fetch_many()
//                         BMOBJ.clog(ctx, "total: " + str(blocks.i))
//                         blocks.append_rest()
//                     except Exception as e:
//                         BMOBJ.clog(ctx, "get data error:", str(e))
//                         if upcount is None:
//                             raise
//                         if blocks.i < upcount:
//                             raise
//                         # Tolerated: the rows already taken still belong in the
//                         # file. If they cannot be written either, that error is
//                         # not tolerated.
//                         _cancel_query(cursor, read_timeout)
//                         blocks.append_rest()
//                 except BaseException:
//                     # finally: conn.close() runs with the error in flight
//                     _cancel_query(cursor, read_timeout)
//                     if conn is not None:
//                         conn.close()
//                     raise
//                 if conn is not None:
//                     conn.close()
//                 return unique_path
//             finally:
//                 if report is not None:
//                     report.made = blocks.made
//                 blocks.close()
//
//     __test__ = {}
//
//     def _check_status(r):
//         status_code = r.status_code
//         if status_code < 300:
//             # urllib3 before 2.0 takes a connection closed early for the end of
//             # the body: a cut at a line end would pass as a complete result.
//             if hasattr(r.raw, "enforce_content_length"):
//                 r.raw.enforce_content_length = True
//             return
//         r.close()
//         if status_code < 400:
//             location = r.headers.get("Location")
//             raise requests.HTTPError("{} redirect to {} not followed".format(status_code, location), response=r)
//         r.raise_for_status()
//
//     def _path_taken(path):
//         try:
//             os.lstat(path)
//         except OSError:
//             return False
//         return True
//
//     def _may_remove(path, made):
//         try:
//             st = os.lstat(path)
//         except OSError:
//             return True
//         return made is not None and (st.st_dev, st.st_ino) == made
//
//     _CANCEL_SECONDS = 5
//
//     def _cancel_query(cursor, read_timeout):
//         if cursor is None:
//             return
//         try:
//             wait = _CANCEL_SECONDS
//             if read_timeout is not None and read_timeout < wait:
//                 wait = read_timeout
//             if hasattr(cursor, "_requests_kwargs"):
//                 kwargs = dict(cursor._requests_kwargs)
//                 kwargs["timeout"] = (_CANCEL_SECONDS, wait)
//                 cursor._requests_kwargs = kwargs
//             cursor.cancel()
//         except Exception:
//             pass
#include "kvrt.h"
#include "export/block.h"
#include "export/export_file.h"
#include "guards/json_facts.h"
#include "state.h"

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
    sadrel::Blocks blocks(g, to_csv_def, self, ctx, unique_path, block_size);  // datas = []; i = 0; cols = []
    py::object sql_error = py::none();  // the status line of a rejected query
    try {
        check_status(g, r);
        sadrel::BlockLines lines(g, blocks, r, 104857600);  // r.iter_lines(chunk_size=104857600)
        try {
            for (sadrel::Line row; lines.next(row);) {  // for row in ...:
                if (row.empty()) {                     //     if not row:
                    continue;                          //         continue
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
                        lines.settle();  // the piece at hand is read whole, as iter_lines has it
                        g["BMOBJ"].attr("log_error")("sql error:", data);
                        blocks.drop();
                        sql_error = data;
                        break;
                    }
                } else if (sadrel::has_content(row)) {  // elif row.strip() not in (b"", ""):
                    if (blocks.append_parsed(row)) {     //     datas.append(json.loads(row)), natively
                        blocks.count();
                        continue;
                    }
                    data = blocks.loads(row);  // data = json.loads(row)
                }
                if (!data.is_none()) {
                    blocks.append(data);
                }
                blocks.count();
            }
        } catch (py::error_already_set &e) {
            lines.settle_on(e);  // a read error of the piece at hand comes first
            throw;
        }
        blocks.log_total();
        blocks.append_rest();
    } catch (py::error_already_set &e) {
        kvrt::Handling handling(e);
        // A partial file must not look like a result, even if logging fails
        // or the export was interrupted; a file this call never wrote stays.
        auto remove_written = [&] {
            if (blocks.written && sadrel::may_remove(g, unique_path, blocks.made())) {
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
        sadrel::Following attempt(unique_path);  // learns the file that the attempt makes
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
                if (sadrel::may_remove(g, unique_path, attempt.made())) {
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
// is sadrel::FetchMany (export/presto_pages.h): pyhive's own call, or its
// stand-in that keeps the rows of Presto's pages native. It is made before
// cursor.execute(sql), which it takes too, since the answer to execute's POST
// is the first page.

// def get_data_raw_pyhive_i(self, ctx, unique_path, sql, block_size=100000,
//                           fetch_size=10000, read_timeout=300, upcount=None):
py::object tdq_get_data_raw_pyhive_i(const Globals &g, py::handle self, py::handle ctx,
                                     py::handle unique_path, py::handle sql, py::handle block_size,
                                     py::handle fetch_size, py::handle read_timeout,
                                     py::handle upcount) {
    py::object presto = kvrt::from_import(g, "pyhive", "presto");
    g["BMOBJ"].attr("log_error")("in query");
    sadrel::Blocks blocks(g, to_csv_def, self, ctx, unique_path, block_size);  // datas = []; i = 0; cols = []
    sadrel::Reporting report(unique_path, blocks.file());
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
            sadrel::FetchMany fetch_many(g, cursor, fetch_size);  // def yx_fetch_many(): ...
            fetch_many.execute(sql);                               // cursor.execute(sql)
            g["BMOBJ"].attr("clog")(ctx, "文件大小");
            blocks.cols = py::list();
            for (py::handle entry : cursor.attr("description")) {
                blocks.cols.attr("append")(entry[py::int_(0)]);
            }
            blocks.write_header();
            sadrel::Fetched rows = fetch_many();
            while (rows) {
                for (sadrel::FetchedRow row : rows) {
                    if (!row) {
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
    sadrel::begin_life();
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
