#include "chunks.h"

#include "fastjson.h"

#include <sys/ioctl.h>

namespace sadrel {
namespace {

/// The urllib3 releases whose read_chunked this was checked against: per
/// chunk, _update_chunk_length reads the size line from the connection's
/// buffered file (cutting an extension at ";", int(line, 16)), _handle_chunk
/// reads the data and the two bytes after it through http.client's
/// _safe_read, and with no content coding _decode hands the data on as it is.
/// urllib3 2 notes each chunk read as an uncached read (see take()).
constexpr const char *kUrllib3[] = {"1.26.20", "2.8.0"};

/// A size line longer than this is left to urllib3 (a chunk of 4 GiB or more).
constexpr int kMaxDigits = 8;

/// The buffered file's refill: at most its buffer (io.DEFAULT_BUFFER_SIZE).
constexpr unsigned long long kRefill = 8192;

/// Refills taken in one go (about 1 MiB of body).
constexpr int kMaxRefills = 128;

/// Where the chunks of a buffer end: whole chunks are taken, the last one
/// may have only begun.
struct Scan {
    Py_ssize_t taken = 0;       // bytes of the whole chunks
    Py_ssize_t begun = 0;       // bytes of a chunk begun after them (its size line whole)
    unsigned long long need = 0;  // bytes that chunk still needs: the rest of its data and the two after it
    std::size_t partial = 0;    // bytes of its data appended
};

/// Takes the whole chunks at the start of `data`, each a size line of hex
/// digits and CRLF, its data and two bytes more (CRLF; urllib3 drops those
/// two unread), and appends their data to `out`; a last chunk whose size line
/// is whole is noted as begun. Anything else (an extension, the last chunk)
/// ends the scan and stays for urllib3.
Scan whole_chunks(const char *data, Py_ssize_t size, std::string &out) {
    Scan scan;
    for (;;) {
        Py_ssize_t p = scan.taken;
        unsigned long long length = 0;
        int digits = 0;
        for (int v; p < size && digits < kMaxDigits && (v = fastjson::hex_value(static_cast<unsigned char>(data[p]))) >= 0; ++p, ++digits) {
            length = length * 16 + static_cast<unsigned>(v);
        }
        if (digits == 0 || length == 0 || p + 2 > size || data[p] != '\r' || data[p + 1] != '\n') {
            return scan;  // not a plain size line, not whole here, or the last chunk
        }
        p += 2;
        const unsigned long long here = static_cast<unsigned long long>(size - p);
        if (here < length + 2) {
            scan.begun = size - scan.taken;
            scan.need = length + 2 - here;
            scan.partial = static_cast<std::size_t>(here < length ? here : length);
            out.append(data + p, scan.partial);
            return scan;
        }
        out.append(data + p, static_cast<std::size_t>(length));
        scan.taken = p + static_cast<Py_ssize_t>(length) + 2;
    }
}

}  // namespace

bool BufferedChunks::open(py::handle r) {
    fd_ = -1;
    PyObject *urllib3 = loaded("urllib3");
    py::object version = urllib3 != nullptr ? attr_or_empty(urllib3, "__version__") : py::object();
    bool known = false;
    for (const char *release : kUrllib3) {
        known = known || (version && PyUnicode_Check(version.ptr()) &&
                          PyUnicode_CompareWithASCIIString(version.ptr(), release) == 0);
    }
    py::object urllib3_response = loaded_class("urllib3.response", "HTTPResponse");
    py::object client_response = loaded_class("http.client", "HTTPResponse");
    py::object socket_io = loaded_class("socket", "SocketIO");
    py::object socket_type = loaded_class("socket", "socket");
    PyObject *io = loaded("_io");
    py::object buffered_reader = io != nullptr ? attr_or_empty(io, "BufferedReader") : py::object();
    if (!known || !urllib3_response || !client_response || !socket_io || !socket_type || !buffered_reader) {
        return false;
    }
    for (const char *name : {"stream", "read_chunked", "_update_chunk_length", "_handle_chunk", "_decode",
                             "_init_decoder", "supports_chunked_reads"}) {
        if (!own_function(urllib3_response, name, "urllib3.response")) {
            return false;
        }
    }
    if (!own_function(client_response, "_safe_read", "http.client") ||
        !own_function(socket_io, "readinto", "socket")) {
        return false;
    }
    // r.raw, its http.client response, the buffered file and the socket:
    // each exactly the standard library's or urllib3's class.
    raw_ = attr_or_empty(r, "raw");
    if (!exactly(raw_, urllib3_response)) {
        return false;
    }
    py::object client = attr_or_empty(raw_, "_fp");
    file_ = client ? attr_or_empty(client, "fp") : py::object();
    py::object socket_file = file_ ? attr_or_empty(file_, "raw") : py::object();
    socket_ = socket_file ? attr_or_empty(socket_file, "_sock") : py::object();
    if (!exactly(client, client_response) || !exactly(file_, buffered_reader) ||
        !exactly(socket_file, socket_io) || !exactly(socket_, socket_type)) {
        return false;
    }
    // Chunked, with nothing to decode: urllib3 hands each chunk's data on.
    py::object chunked = attr_or_empty(raw_, "chunked");
    py::object decoder = attr_or_empty(raw_, "_decoder");
    py::object headers = attr_or_empty(raw_, "headers");
    if (!chunked || chunked.ptr() != Py_True || !decoder || !decoder.is_none() || !headers ||
        !headers.attr("get")("content-encoding").is_none()) {
        return false;
    }
    py::object fd = socket_.attr("fileno")();
    long number = PyLong_AsLong(fd.ptr());
    if (number < 0) {
        PyErr_Clear();
        return false;
    }
    if (!urllib3_.take(urllib3_response) || !client_.take(client_response) || !socket_io_.take(socket_io) ||
        !socket_class_.take(socket_type)) {
        return false;
    }
    fd_ = static_cast<int>(number);
    return true;
}

/// The classes are as they were, and urllib3 stands between two chunks of
/// the same connection.
bool BufferedChunks::still_plain() {
    if (fd_ < 0) {
        return false;
    }
    if (!urllib3_.same() || !client_.same() || !socket_io_.same() || !socket_class_.same()) {
        fd_ = -1;
        return false;
    }
    py::object left = attr_or_empty(raw_, "chunk_left");
    py::object client = attr_or_empty(raw_, "_fp");
    py::object file = client ? attr_or_empty(client, "fp") : py::object();
    return left && left.is_none() && file && file.ptr() == file_.ptr();
}

/// Bytes the socket holds that a read would return at once.
long long queued(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

bool BufferedChunks::take(std::string &out) {
    if (!still_plain()) {
        return false;
    }
    // What is there without waiting: the buffer, and what the socket holds
    // already. A chunk begun in the buffer is finished from the socket only
    // where the socket holds all that it still needs, so that the buffer's
    // refill returns at once with it; waiting, and the errors of reading,
    // stay urllib3's.
    if (queued(fd_) == 0) {
        return false;  // the buffer may be empty, and a refill would wait
    }
    const std::size_t before = out.size();
    py::object held = file_.attr("peek")();
    for (int refills = 0;; ++refills) {
        if (!PyBytes_Check(held.ptr()) || PyBytes_GET_SIZE(held.ptr()) == 0) {
            break;
        }
        const Py_ssize_t size = PyBytes_GET_SIZE(held.ptr());
        Scan scan = whole_chunks(PyBytes_AS_STRING(held.ptr()), size, out);
        if (scan.begun == 0 || scan.need > kRefill || refills >= kMaxRefills ||
            static_cast<unsigned long long>(queued(fd_)) < scan.need) {
            // The chunk begun, if any, stays in the buffer for urllib3.
            out.resize(out.size() - scan.partial);
            if (scan.taken > 0) {
                consume(scan.taken);
            }
            break;
        }
        // The buffer is used up; its refill holds the rest of the chunk begun.
        consume(size);
        held = file_.attr("peek")();
        if (!PyBytes_Check(held.ptr()) || static_cast<unsigned long long>(PyBytes_GET_SIZE(held.ptr())) < scan.need) {
            kvrt::raise(PyExc_RuntimeError, "the connection gave less than it held while its chunks were taken");
        }
        const char *rest = PyBytes_AS_STRING(held.ptr());
        const Py_ssize_t data_left = static_cast<Py_ssize_t>(scan.need) - 2 > 0 ? static_cast<Py_ssize_t>(scan.need) - 2 : 0;
        out.append(rest, static_cast<std::size_t>(data_left));
        consume(static_cast<Py_ssize_t>(scan.need));
        held = file_.attr("peek")();
    }
    if (out.size() == before) {
        return false;
    }
    // read_chunked of urllib3 2 marks each chunk it reads: self._uncached_read_occurred = True
    if (PyObject_HasAttr(raw_.ptr(), kvrt::intern("_uncached_read_occurred"))) {
        raw_.attr("_uncached_read_occurred") = py::bool_(true);
    }
    return true;
}

void BufferedChunks::consume(Py_ssize_t n) {
    py::object gone = file_.attr("read")(n);
    if (!PyBytes_Check(gone.ptr()) || PyBytes_GET_SIZE(gone.ptr()) != n) {
        kvrt::raise(PyExc_RuntimeError, "the connection's buffer changed while its chunks were taken");
    }
}

}  // namespace sadrel
