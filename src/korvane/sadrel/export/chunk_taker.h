// The whole chunks of a chunked response body that its connection has
// received already, taken from the connection's buffer in one go rather than
// one by one through urllib3's read_chunked. Whatever is not a whole, plain
// chunk in that buffer (a chunk still arriving, an extension, the last chunk
// and its trailers, a malformed size line), and every read from the socket
// that may wait or fail, is left to urllib3, so that its errors are its own.
#pragma once

#include "guards/http_facts.h"
#include "kvrt.h"

#include <string>

namespace sadrel {

class BufferedChunks {
public:
    /// Checks the response `r` (requests' own, over urllib3's and
    /// http.client's own responses, on a plain socket or the ssl module's
    /// own SSLSocket, not content-coded, chunked); false where the chunks
    /// must all go through urllib3.
    bool open(py::handle r);

    /// Appends to `out` the data of the whole chunks that the connection's
    /// buffer holds, taking them out of it; false where none was taken.
    bool take(std::string &out);

private:
    bool still_plain();
    long long ready();
    Py_ssize_t finish_chunk(unsigned long long need, std::string &out);
    void consume(Py_ssize_t n);

    ChunkedConnection conn_;
    Facts facts_;
};

}  // namespace sadrel
