// The lines of a streamed response, split natively from its pieces.
#include "export/response_lines.h"

#include "guards/http_facts.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using namespace pybind11::literals;

namespace sadrel {
namespace {

/// Bytes asked for per read of a body of known length.
constexpr long long kStep = 1 << 20;

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
    Facts facts;
    if (!requests_own(r, facts)) {
        plain_ = r.attr("iter_lines")("chunk_size"_a = chunk_size).attr("__iter__")();
        return;
    }
    if (small_steps && chunk_size > kStep && chunk_size % kStep == 0 && steps_allowed(r, facts, &hands_on_cut_)) {
        stepping_ = true;
        step_ = kStep;
    }
    // for chunk in self.iter_content(chunk_size=chunk_size, decode_unicode=False), as iter_lines has it
    pieces_ = r.attr("iter_content")("chunk_size"_a = step_, "decode_unicode"_a = false).attr("__iter__")();
    // A chunked body's pieces are its chunks: those already received are
    // taken together (the lines do not depend on where pieces end).
    taking_ = !stepping_ && chunks_.open(r);
    if (!facts.hold()) {
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
        try {
            read_piece();
        } catch (py::error_already_set &) {
            if (piece_read_) {
                // The data ended before the Content-Length, where the plain
                // call's read of this piece hands on what arrived: its error
                // would come with the next read, which the loop never makes.
                return;
            }
            throw;
        }
    }
}

}  // namespace sadrel
