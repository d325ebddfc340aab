#include "lines.h"

#include "guards.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using namespace pybind11::literals;

namespace sadrel {
namespace {

/// Bytes asked for per read of a body of known length.
constexpr long long kStep = 1 << 20;

/// The urllib3 releases whose reads of a body of known length this reader
/// was checked against (constraints/py*.txt), and what their read(n) does
/// where the connection ends before the Content-Length: urllib3 1.26 hands
/// on what it got, and the next read raises IncompleteRead; urllib3 2
/// raises at once and drops what it got.
struct Urllib3 {
    const char *version;
    bool hands_on_cut;
};
constexpr Urllib3 kUrllib3[] = {{"1.26.20", true}, {"2.8.0", false}};

/// `r` is requests' own Response, with its own iter_lines and iter_content:
/// iter_lines is then the splitting of iter_content's pieces described in
/// lines.h.
bool requests_own(py::handle r, ClassSeen &seen) {
    py::object response = loaded_class("requests.models", "Response");
    if (!response || reinterpret_cast<PyObject *>(Py_TYPE(r.ptr())) != response.ptr() ||
        !own_function(response, "iter_lines", "requests.models") ||
        !own_function(response, "iter_content", "requests.models") || !bound_own(r, response, "iter_lines") ||
        !bound_own(r, response, "iter_content")) {
        return false;
    }
    return seen.take(response);
}

/// The checked release `version` names, or nullptr.
const Urllib3 *known_urllib3(py::handle version) {
    if (!version || !PyUnicode_Check(version.ptr())) {
        return nullptr;
    }
    for (const Urllib3 &release : kUrllib3) {
        if (PyUnicode_CompareWithASCIIString(version.ptr(), release.version) == 0) {
            return &release;
        }
    }
    return nullptr;
}

/// A body of known length, not content-coded, read by urllib3's own
/// HTTPResponse (of a checked release) from http.client's own over a
/// buffered socket file: each read(n) returns n bytes, or fewer only at
/// the end of the data; a time-out or a reset loses what that read had.
bool steps_allowed(py::handle r, ClassSeen &raw_seen, ClassSeen &client_seen, bool *hands_on_cut) {
    py::object raw = attr_or_empty(r, "raw");
    py::object urllib3_response = loaded_class("urllib3.response", "HTTPResponse");
    py::object client_response = loaded_class("http.client", "HTTPResponse");
    PyObject *urllib3 = loaded("urllib3");
    const Urllib3 *release = urllib3 != nullptr ? known_urllib3(attr_or_empty(urllib3, "__version__")) : nullptr;
    if (!raw || !urllib3_response || !client_response || release == nullptr ||
        reinterpret_cast<PyObject *>(Py_TYPE(raw.ptr())) != urllib3_response.ptr()) {
        return false;
    }
    *hands_on_cut = release->hands_on_cut;
    for (const char *name : {"stream", "read", "_fp_read", "_decode"}) {
        if (!own_function(urllib3_response, name, "urllib3.response")) {
            return false;
        }
    }
    if (!release->hands_on_cut && !own_function(urllib3_response, "_raw_read", "urllib3.response")) {
        return false;
    }
    for (const char *name : {"read", "readinto", "_close_conn"}) {
        if (!own_function(client_response, name, "http.client")) {
            return false;
        }
    }
    py::object fp = attr_or_empty(raw, "_fp");
    if (!fp || reinterpret_cast<PyObject *>(Py_TYPE(fp.ptr())) != client_response.ptr()) {
        return false;
    }
    py::object file = attr_or_empty(fp, "fp");
    PyObject *io = loaded("_io");
    py::object buffered = io != nullptr ? attr_or_empty(io, "BufferedReader") : py::object();
    if (!file || !buffered || reinterpret_cast<PyObject *>(Py_TYPE(file.ptr())) != buffered.ptr()) {
        return false;
    }
    py::object chunked = attr_or_empty(raw, "chunked");
    py::object remaining = attr_or_empty(raw, "length_remaining");
    py::object enforce = attr_or_empty(raw, "enforce_content_length");
    py::object decoder = attr_or_empty(raw, "_decoder");
    py::object headers = attr_or_empty(raw, "headers");
    if (!chunked || chunked.ptr() != Py_False || !remaining || !PyLong_CheckExact(remaining.ptr()) ||
        !enforce || enforce.ptr() != Py_True || !decoder || !decoder.is_none() || !headers) {
        return false;
    }
    py::object coding = headers.attr("get")("content-encoding");
    if (!coding.is_none()) {
        return false;
    }
    // urllib3 2: nothing decoded and waiting.
    py::object waiting = attr_or_empty(raw, "_decoded_buffer");
    if (waiting && py::len(waiting) != 0) {
        return false;
    }
    return raw_seen.take(urllib3_response) && client_seen.take(client_response);
}

/// `e` is requests' ChunkedEncodingError for urllib3's IncompleteRead: the
/// read found the end of the data before the Content-Length.
bool ended_early(const py::error_already_set &e) {
    py::object error = loaded_class("requests.exceptions", "ChunkedEncodingError");
    py::object incomplete = loaded_class("urllib3.exceptions", "IncompleteRead");
    if (!error || !incomplete || !e.matches(error)) {
        return false;
    }
    py::object args = attr_or_empty(e.value(), "args");
    if (!args || !PyTuple_Check(args.ptr()) || PyTuple_GET_SIZE(args.ptr()) != 1) {
        return false;
    }
    py::object inner = attr_or_empty(PyTuple_GET_ITEM(args.ptr(), 0), "args");
    if (!inner || !PyTuple_Check(inner.ptr()) || PyTuple_GET_SIZE(inner.ptr()) != 2) {
        return false;
    }
    return Py_TYPE(PyTuple_GET_ITEM(inner.ptr(), 1)) == reinterpret_cast<PyTypeObject *>(incomplete.ptr());
}

/// The first "\n" or "\r" in [p, end), or nullptr.
const char *line_break(const char *p, const char *end) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    while (end - p >= 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, lf), _mm_cmpeq_epi8(block, cr)));
        if (mask != 0) {
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        }
        p += 16;
    }
    for (; p < end; ++p) {
        if (*p == '\n' || *p == '\r') {
            return p;
        }
    }
    return nullptr;
#else
    const char *lf = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char *stop = lf != nullptr ? lf : end;
    const char *cr = static_cast<const char *>(std::memchr(p, '\r', static_cast<std::size_t>(stop - p)));
    return cr != nullptr ? cr : lf;
#endif
}

}  // namespace

py::object Line::bytes() const {
    if (object) {
        return object;
    }
    return py::bytes(data, static_cast<std::size_t>(size));
}

ResponseLines::ResponseLines(const kvrt::Globals &, py::handle r, long long chunk_size, bool small_steps)
    : chunk_size_(chunk_size), step_(chunk_size) {
    ClassSeen response;
    if (!requests_own(r, response)) {
        plain_ = r.attr("iter_lines")("chunk_size"_a = chunk_size).attr("__iter__")();
        return;
    }
    ClassSeen raw;
    ClassSeen client;
    if (small_steps && chunk_size > kStep && chunk_size % kStep == 0 &&
        steps_allowed(r, raw, client, &hands_on_cut_)) {
        stepping_ = true;
        step_ = kStep;
    }
    // for chunk in self.iter_content(chunk_size=chunk_size, decode_unicode=False), as iter_lines has it
    pieces_ = r.attr("iter_content")("chunk_size"_a = step_, "decode_unicode"_a = false).attr("__iter__")();
    // A chunked body's pieces are its chunks: those already received are
    // taken together (the lines do not depend on where pieces end).
    taking_ = !stepping_ && chunks_.open(r);
    if (!response.same() || (stepping_ && (!raw.same() || !client.same()))) {
        // Something ran meanwhile and changed them: the generator is not started yet.
        pieces_ = py::object();
        stepping_ = false;
        plain_ = r.attr("iter_lines")("chunk_size"_a = chunk_size).attr("__iter__")();
    }
}

/// Reads the next piece; false at the end of the body.
bool ResponseLines::read_piece() {
    if (stepping_ && piece_read_) {
        piece_read_ = false;  // a new piece begins
        if (listener_ != nullptr) {
            listener_->piece_begun();
        }
    }
    if (taking_) {
        taken_.clear();
        if (chunks_.take(taken_)) {
            piece_ = py::object();
            return piece_read(taken_.data(), static_cast<Py_ssize_t>(taken_.size()));
        }
    }
    PyObject *next = PyIter_Next(pieces_.ptr());
    if (next == nullptr) {
        if (PyErr_Occurred()) {
            failed_ = true;
            py::error_already_set e;
            if (stepping_ && !piece_read_ && listener_ != nullptr) {
                // The plain call's read of this piece would have handed on
                // what arrived before the end of the data, and failed only
                // on the next read; any other error loses the piece.
                if (hands_on_cut_ && ended_early(e)) {
                    piece_read_ = true;
                    listener_->piece_done();
                } else {
                    listener_->piece_lost();
                }
            }
            throw e;
        }
        ended_ = true;
        if (stepping_ && !piece_read_) {
            piece_read_ = true;
            if (listener_ != nullptr) {
                listener_->piece_done();
            }
        }
        return false;
    }
    piece_ = py::reinterpret_steal<py::object>(next);
    if (!PyBytes_Check(piece_.ptr())) {
        kvrt::raise(PyExc_TypeError, "the response gave a piece that is no bytes");
    }
    return piece_read(PyBytes_AS_STRING(piece_.ptr()), PyBytes_GET_SIZE(piece_.ptr()));
}

bool ResponseLines::piece_read(const char *data, Py_ssize_t size) {
    data_ = data;
    size_ = size;
    pos_ = 0;
    offset_ += size_;
    if (skip_lf_ && size_ > 0) {
        skip_lf_ = false;
        if (data_[0] == '\n') {
            pos_ = 1;  // the "\n" of a "\r\n" across pieces: an empty line, skipped
        }
    }
    if (stepping_) {
        // Each read gives the whole step, or less at the end of what arrived
        // (the plain call's read would have ended there as well).
        if (offset_ % chunk_size_ == 0 || size_ < step_) {
            piece_read_ = true;
            if (listener_ != nullptr) {
                listener_->piece_done();
            }
        }
    }
    return true;
}

bool ResponseLines::next(Line &line) {
    if (plain_) {
        PyObject *row = PyIter_Next(plain_.ptr());
        if (row == nullptr) {
            if (PyErr_Occurred()) {
                throw py::error_already_set();
            }
            return false;
        }
        line.object = py::reinterpret_steal<py::object>(row);
        return true;
    }
    line.after_read = false;
    for (;;) {
        if (pos_ < size_) {
            const char *start = data_ + pos_;
            const char *end = data_ + size_;
            const char *brk = line_break(start, end);
            if (brk != nullptr) {
                pos_ = brk - data_ + 1;
                if (*brk == '\r') {
                    if (pos_ < size_) {
                        pos_ += data_[pos_] == '\n';
                    } else {
                        skip_lf_ = true;
                    }
                }
                if (carry_.empty()) {
                    line.data = start;
                    line.size = brk - start;
                } else {
                    joined_.swap(carry_);
                    joined_.append(start, static_cast<std::size_t>(brk - start));
                    carry_.clear();
                    line.data = joined_.data();
                    line.size = static_cast<Py_ssize_t>(joined_.size());
                }
                return true;
            }
            carry_.append(start, static_cast<std::size_t>(end - start));
            pos_ = size_;
        }
        if (ended_ || failed_) {
            return false;
        }
        line.after_read = true;
        if (!read_piece()) {
            if (carry_.empty()) {
                return false;
            }
            joined_.swap(carry_);
            carry_.clear();
            line.data = joined_.data();
            line.size = static_cast<Py_ssize_t>(joined_.size());
            return true;
        }
    }
}

void ResponseLines::settle() {
    if (!stepping_ || failed_) {
        return;
    }
    while (!piece_read_ && !ended_) {
        pos_ = size_;
        carry_.clear();
        read_piece();
    }
}

}  // namespace sadrel
