// The chunk taker: a chunked body's whole chunks, taken from the connection's buffer.
#include "export/chunk_taker.h"

#include "export/chars.h"

#include <sys/ioctl.h>

namespace sadrel {
namespace {

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
        for (int v; p < size && digits < kMaxDigits && (v = hex_value(static_cast<unsigned char>(data[p]))) >= 0; ++p, ++digits) {
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
    facts_.clear();
    return chunks_allowed(r, facts_, conn_);
}

/// The classes are as they were, and urllib3 stands between two chunks of
/// the same connection (over TLS, on the same SSL object).
bool BufferedChunks::still_plain() {
    if (conn_.fd < 0) {
        return false;
    }
    if (!facts_.hold()) {
        conn_.fd = -1;
        return false;
    }
    if (conn_.tls) {
        py::object tls = attr_or_empty(conn_.socket, "_sslobj");
        if (!tls || tls.ptr() != conn_.tls.ptr()) {
            conn_.fd = -1;  // unwrapped or closed: whatever comes now is urllib3's
            return false;
        }
    }
    py::object left = attr_or_empty(conn_.raw, "chunk_left");
    py::object client = attr_or_empty(conn_.raw, "_fp");
    py::object file = client ? attr_or_empty(client, "fp") : py::object();
    return left && left.is_none() && file && file.ptr() == conn_.file.ptr();
}

/// Bytes that a read of the socket beneath the buffer returns at once, at
/// least one of them: over plain TCP, what the kernel holds (FIONREAD); over
/// TLS, what the SSL object holds decrypted (SSLSocket.pending()), which its
/// read hands on without touching the socket. Bytes still encrypted in the
/// kernel do not count: a record may have only begun to arrive, or be no
/// data (a ticket, an alert), and reading it may wait or fail.
long long BufferedChunks::ready() {
    if (conn_.tls) {
        // def pending(self): ... return self._sslobj.pending()
        py::object n = py::reinterpret_steal<py::object>(
            PyObject_CallMethodObjArgs(conn_.tls.ptr(), kvrt::intern("pending"), nullptr));
        if (!n) {
            throw py::error_already_set();
        }
        const long long count = PyLong_AsLongLong(n.ptr());
        if (count == -1 && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        return count;
    }
    int n = 0;
    return ::ioctl(conn_.fd, FIONREAD, &n) == 0 ? n : 0;
}

bool BufferedChunks::take(std::string &out) {
    // What is there without waiting: the buffer, and what the socket gives
    // at once (ready()). A chunk begun in the buffer is finished from the
    // socket only where all that it still needs is ready, so that each of
    // the buffer's refills returns at once with part of it; waiting, and the
    // errors of reading, stay urllib3's. (ready() asks only the kernel or the
    // SSL object seen at open(), whatever became of the classes: it comes
    // first, being the cheaper test.)
    if (conn_.fd < 0 || ready() == 0) {
        return false;  // the buffer may be empty, and a refill would wait
    }
    if (!still_plain()) {
        return false;
    }
    const std::size_t before = out.size();
    py::object held = conn_.file.attr("peek")();
    for (int refills = 0;; ++refills) {
        if (!PyBytes_Check(held.ptr()) || PyBytes_GET_SIZE(held.ptr()) == 0) {
            break;
        }
        const Py_ssize_t size = PyBytes_GET_SIZE(held.ptr());
        Scan scan = whole_chunks(PyBytes_AS_STRING(held.ptr()), size, out);
        if (scan.begun == 0 || scan.need > kRefill || refills >= kMaxRefills ||
            static_cast<unsigned long long>(ready()) < scan.need) {
            // The chunk begun, if any, stays in the buffer for urllib3.
            out.resize(out.size() - scan.partial);
            if (scan.taken > 0) {
                consume(scan.taken);
            }
            break;
        }
        // The buffer is used up; its refills hold the rest of the chunk begun.
        consume(size);
        if (finish_chunk(scan.need, out) == 0 && ready() == 0) {
            break;  // the buffer is empty, and its refill would wait
        }
        held = conn_.file.attr("peek")();
    }
    if (out.size() == before) {
        return false;
    }
    // read_chunked of urllib3 2 marks each chunk it reads: self._uncached_read_occurred = True
    if (PyObject_HasAttr(conn_.raw.ptr(), kvrt::intern("_uncached_read_occurred"))) {
        conn_.raw.attr("_uncached_read_occurred") = py::bool_(true);
    }
    return true;
}

/// Reads the last `need` bytes of a chunk begun (the rest of its data and the
/// two after it) through the emptied buffer, appending the data to `out`;
/// returns how many bytes the buffer holds after them. ready() was at least
/// `need`: each refill returns at once, with one byte or more of them, and
/// what it gives is no longer ready.
Py_ssize_t BufferedChunks::finish_chunk(unsigned long long need, std::string &out) {
    Py_ssize_t left = 0;
    while (need > 0) {
        py::object held = conn_.file.attr("peek")();
        if (!PyBytes_Check(held.ptr()) || PyBytes_GET_SIZE(held.ptr()) == 0) {
            kvrt::raise(PyExc_RuntimeError, "the connection gave less than it held while its chunks were taken");
        }
        const unsigned long long here = static_cast<unsigned long long>(PyBytes_GET_SIZE(held.ptr()));
        const unsigned long long step = here < need ? here : need;
        // Of the step, what comes before the last two bytes is data.
        const unsigned long long data = need > 2 ? (step < need - 2 ? step : need - 2) : 0;
        out.append(PyBytes_AS_STRING(held.ptr()), static_cast<std::size_t>(data));
        consume(static_cast<Py_ssize_t>(step));
        need -= step;
        left = static_cast<Py_ssize_t>(here - step);
    }
    return left;
}

void BufferedChunks::consume(Py_ssize_t n) {
    py::object gone = conn_.file.attr("read")(n);
    if (!PyBytes_Check(gone.ptr()) || PyBytes_GET_SIZE(gone.ptr()) != n) {
        kvrt::raise(PyExc_RuntimeError, "the connection's buffer changed while its chunks were taken");
    }
}

}  // namespace sadrel
