// The facts behind the HTTP fast paths: requests' Response, urllib3's and http.client's reads, the socket.
#pragma once

#include "guards/seen.h"
#include "kvrt.h"

namespace sadrel {

/// `r` is requests' own Response, with its own iter_lines and iter_content:
/// iter_lines is then the splitting of iter_content's pieces that the line
/// reader does natively. Records the class.
bool requests_own(py::handle r, Facts &facts);

/// A body of known length, not content-coded, read by urllib3's own
/// HTTPResponse (of a checked release) from http.client's own over a
/// buffered socket file: each read(n) returns n bytes, or fewer only at
/// the end of the data; a time-out or a reset loses what that read had.
/// Records the classes; `hands_on_cut` tells what the release's read does
/// with what arrived before a cut. `whole`: the body is taken whole or not
/// at all, as requests' `content` takes it; then urllib3 may leave the
/// length unchecked (as 1.26 does by default), since a cut ends the reads
/// at the same byte whatever their size.
bool steps_allowed(py::handle r, Facts &facts, bool *hands_on_cut, bool whole = false);

/// A chunked response's connection, as the chunk taker reads its buffer.
struct ChunkedConnection {
    py::object raw;     // r.raw, urllib3's HTTPResponse
    py::object file;    // r.raw._fp.fp, the connection's BufferedReader
    py::object socket;  // the socket under it: socket.socket, or ssl.SSLSocket
    py::object tls;     // over TLS, the socket's own _sslobj (an _ssl._SSLSocket); else empty
    int fd = -1;
};

/// `r` is requests' own over urllib3's and http.client's own responses, on a
/// plain socket or the ssl module's own SSLSocket, not content-coded,
/// chunked, with urllib3 of a checked release: its whole chunks may be
/// taken from the connection's buffer. Records the classes (ssl.SSLSocket
/// whole, its bases with it) and fills `conn`.
bool chunks_allowed(py::handle r, Facts &facts, ChunkedConnection &conn);

/// `e` is requests' ChunkedEncodingError for urllib3's IncompleteRead: the
/// read found the end of the data before the Content-Length.
bool ended_early(const py::error_already_set &e);

}  // namespace sadrel
