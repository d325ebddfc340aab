// Every library release that a fast path was checked against, in one table each.
#pragma once

#include "kvrt.h"

namespace sadrel {

/// The urllib3 releases (constraints/py*.txt) whose reads the line reader
/// and the chunk taker were checked against.
///
/// A body of known length: each read(n) returns n bytes, or fewer only at
/// the end of the data; where the connection ends before the Content-Length,
/// urllib3 1.26 hands on what it got and the next read raises IncompleteRead,
/// urllib3 2 raises at once and drops what it got (`hands_on_cut`).
///
/// A chunked body: per chunk, _update_chunk_length reads the size line from
/// the connection's buffered file (cutting an extension at ";", int(line,
/// 16)), _handle_chunk reads the data and the two bytes after it through
/// http.client's _safe_read, and with no content coding _decode hands the
/// data on as it is; urllib3 2 notes each chunk read as an uncached read.
///
/// Over TLS the chunk taker relies on the ssl module's SSLSocket (checked
/// whole, as its functions are the stdlib's own) and on OpenSSL's SSL_read
/// handing on what SSL_pending counts without reading the socket, as
/// OpenSSL 1.1.1 and 3.x do (checked against 3.0.19, the build's).
struct Urllib3Release {
    const char *version;
    bool hands_on_cut;
};
constexpr Urllib3Release kUrllib3Releases[] = {{"1.26.20", true}, {"2.8.0", false}};

/// The pandas and numpy releases whose output the block writer's
/// differential test compares with its own (constraints/py*.txt), and the
/// default of pandas' future.infer_string there: off up to pandas 2, on from
/// pandas 3, where a column of str becomes the str dtype (it prints the same).
struct PandasRelease {
    const char *pandas;
    const char *numpy;
    bool infer_string;
};
constexpr PandasRelease kPandasReleases[] = {
    {"2.0.3", "1.24.4", false}, {"2.3.3", "2.0.2", false}, {"2.3.3", "2.2.6", false},
    {"2.3.3", "2.4.6", false},  {"2.3.3", "2.5.5", false}, {"3.1.2", "2.5.5", true},
};

/// The pyhive releases whose Presto cursor the page stand-in was checked
/// against (constraints/py*.txt): fetchmany takes rows through fetchone,
/// _fetch_while, _fetch_more, _process_response and _process_data, as
/// pyhive/common.py and pyhive/presto.py of 0.7.0 have them.
constexpr const char *kPyhiveReleases[] = {"0.7.0"};

/// Whether the loaded pyhive is a checked release.
bool pyhive_release();

/// The checked release of the loaded urllib3, or nullptr.
const Urllib3Release *urllib3_release();

/// The checked release of the loaded pandas and numpy, or nullptr.
const PandasRelease *pandas_release(py::handle pandas, py::handle numpy);

}  // namespace sadrel
