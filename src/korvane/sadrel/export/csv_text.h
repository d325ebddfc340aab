// The CSV text of a block: each value as pandas prints it, quoted as Python's csv module quotes it.
#pragma once

#include "export/chars.h"
#include "export/row_parser.h"
#include "kvrt.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sadrel {

using fastjson::Tag;

/// Blocks are handed to the file in pieces of about this size.
constexpr std::size_t kPiece = 1 << 20;

/// A row changed between the check of a block and its text: only code run
/// meanwhile (a finalizer, another thread while the file is written) can do that.
struct Changed {};

/// The text of a block on its way to the file: a plain growing buffer whose
/// The text of a block on its way to the file: a plain growing buffer whose
/// appends are inlined (most of the writer's time goes into them).
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { std::free(data_); }

    void reserve(std::size_t n) {
        if (n > cap_) {
            grow(n);
        }
    }
    void push_back(char c) {
        if (size_ == cap_) {
            grow(size_ + 1);
        }
        data_[size_++] = c;
    }
    void append(const char *p, std::size_t n) {
        if (cap_ - size_ < n) {
            grow(size_ + n);
        }
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    void append(const char *p) { append(p, std::strlen(p)); }
    void append(const char *p, const char *end) { append(p, static_cast<std::size_t>(end - p)); }
    void append(std::size_t n, char c) {
        if (cap_ - size_ < n) {
            grow(size_ + n);
        }
        std::memset(data_ + size_, c, n);
        size_ += n;
    }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const char *data() const { return data_; }
    void clear() { size_ = 0; }

private:
    void grow(std::size_t need) {
        std::size_t cap = cap_ ? cap_ * 2 : 4096;
        while (cap < need) {
            cap *= 2;
        }
        char *data = static_cast<char *>(std::realloc(data_, cap));
        if (data == nullptr) {
            throw std::bad_alloc();
        }
        data_ = data;
        cap_ = cap;
    }

    char *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};


/// Builds the CSV text of rows, field by field.
class Text {
public:
    Text(bool quote_cr, bool quote_nul) {
        special_[static_cast<unsigned char>(',')] = true;
        special_[static_cast<unsigned char>('"')] = true;
        special_[static_cast<unsigned char>('\n')] = true;
        special_['\r'] = quote_cr;
        special_[0] = quote_nul;
        out.reserve(kPiece + (kPiece >> 2));
    }

    Buffer out;

    /// One field: a value that passed classify().
    void field(PyObject *value, bool int_as_float) {
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyUnicode_Type) {
            str(value);
        } else if (type == &PyFloat_Type) {
            double x = PyFloat_AS_DOUBLE(value);
            if (!std::isnan(x)) {
                real(x);
            }
        } else if (type == &PyLong_Type) {
            int overflow = 0;
            long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow != 0) {
                throw Changed();
            }
            integer(n, int_as_float);
        } else if (value == Py_True) {
            out.append("True", 4);
        } else if (value == Py_False) {
            out.append("False", 5);
        } else if (value != Py_None) {
            throw Changed();
        }
    }

    /// One field: a value of the native row parser.
    void field(const fastjson::Value &value, const fastjson::Rows &rows, bool int_as_float) {
        switch (value.tag) {
        case Tag::text: utf8(rows.text(value), value.size, value.ascii); break;
        case Tag::real:
            if (!std::isnan(value.real)) {
                real(value.real);
            }
            break;
        case Tag::integer: integer(value.integer, int_as_float); break;
        case Tag::decimal: {
            if (value.negative) {
                out.push_back('-');
            }
            layout(rows.text(value), value.digits(), value.point() - 1);
            break;
        }
        case Tag::yes: out.append("True", 4); break;
        case Tag::no: out.append("False", 5); break;
        case Tag::null: break;
        }
    }

    /// An int as str() prints it, or as a float64 column prints it.
    void integer(long long n, bool as_float) {
        if (as_float) {
            real(static_cast<double>(n));
        } else {
            char buffer[24];
            auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
            out.append(buffer, result.ptr);
        }
    }

    /// A text given in UTF-8, quoted when it holds a special character: the
    /// same bytes as str() writes for its str.
    void utf8(const char *data, std::size_t size, bool) {
        if (!needs_quotes(reinterpret_cast<const unsigned char *>(data), size)) {
            out.append(data, size);
            return;
        }
        out.push_back('"');
        const char *p = data;
        const char *end = data + size;
        while (p < end) {
            const char *q = static_cast<const char *>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
            if (q == nullptr) {
                out.append(p, static_cast<std::size_t>(end - p));
                break;
            }
            out.append(p, static_cast<std::size_t>(q - p + 1));
            out.push_back('"');
            p = q + 1;
        }
        out.push_back('"');
    }

    /// `repr(x)`: the shortest digits that read back as x, laid out as
    /// Python lays them out (an exponent below 1e-4 and from 1e16 on).
    void real(double x) {
        if (std::isinf(x)) {
            out.append(x < 0 ? "-inf" : "inf");
            return;
        }
        char buffer[40];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
        const char *p = buffer;
        const char *end = result.ptr;
        if (*p == '-') {
            out.push_back('-');
            ++p;
        }
        char digits[24];
        int ndigits = 0;
        for (; p < end && *p != 'e'; ++p) {
            if (*p != '.') {
                digits[ndigits++] = *p;
            }
        }
        int exponent = 0;
        std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
        layout(digits, ndigits, exponent);
    }

    /// The digits d1d2...dn of d1.d2...dn x 10**exponent, laid out as repr() does.
    void layout(const char *digits, int ndigits, int exponent) {
        const int decpt = exponent + 1;  // digits are 0.d1d2... x 10**decpt
        if (decpt <= -4 || decpt > 16) {
            out.push_back(digits[0]);
            if (ndigits > 1) {
                out.push_back('.');
                out.append(digits + 1, ndigits - 1);
            }
            out.push_back('e');
            out.push_back(exponent < 0 ? '-' : '+');
            int magnitude = exponent < 0 ? -exponent : exponent;
            if (magnitude < 10) {
                out.push_back('0');
            }
            char expbuf[8];
            auto r = std::to_chars(expbuf, expbuf + sizeof expbuf, magnitude);
            out.append(expbuf, r.ptr);
        } else if (decpt <= 0) {
            out.append("0.", 2);
            out.append(static_cast<std::size_t>(-decpt), '0');
            out.append(digits, ndigits);
        } else if (decpt >= ndigits) {
            out.append(digits, ndigits);
            out.append(static_cast<std::size_t>(decpt - ndigits), '0');
            out.append(".0", 2);
        } else {
            out.append(digits, decpt);
            out.push_back('.');
            out.append(digits + decpt, ndigits - decpt);
        }
    }

    /// A str, in UTF-8, quoted when it holds a special character.
    void str(PyObject *s) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const int kind = PyUnicode_KIND(s);
        const void *data = PyUnicode_DATA(s);
        bool quote = false;
        if (kind == PyUnicode_1BYTE_KIND) {
            const unsigned char *bytes = static_cast<const unsigned char *>(data);
            quote = needs_quotes(bytes, static_cast<std::size_t>(n));  // Latin-1: the table's bytes are ASCII
            if (!quote && PyUnicode_IS_ASCII(s)) {
                out.append(reinterpret_cast<const char *>(bytes), n);
                return;
            }
        } else {
            for (Py_ssize_t k = 0; k < n && !quote; ++k) {
                Py_UCS4 c = PyUnicode_READ(kind, data, k);
                quote = c < 128 && special_[c];
            }
        }
        if (quote) {
            out.push_back('"');
        }
        for (Py_ssize_t k = 0; k < n; ++k) {
            Py_UCS4 c = PyUnicode_READ(kind, data, k);
            if (c == '"') {
                out.push_back('"');
            }
            put_utf8(out, c);
        }
        if (quote) {
            out.push_back('"');
        }
    }

    /// Ends a row that began at `start`: a row of one empty field is `""`.
    void end_row(std::size_t start, Py_ssize_t width) {
        if (width == 1 && out.size() == start) {
            out.append("\"\"", 2);
        }
        out.push_back('\n');
    }

private:
    /// Whether the text holds a byte that makes the csv writer quote it (the
    /// table's bytes are all ASCII: a byte of a multi-byte character never is one).
    bool needs_quotes(const unsigned char *bytes, std::size_t size) const {
        std::size_t k = 0;
#if defined(__SSE2__)
        if (size >= 16) {
            const __m128i comma = _mm_set1_epi8(',');
            const __m128i quote = _mm_set1_epi8('"');
            const __m128i lf = _mm_set1_epi8('\n');
            const __m128i cr = special_['\r'] ? _mm_set1_epi8('\r') : comma;
            const __m128i nul = special_[0] ? _mm_setzero_si128() : comma;
            for (; k + 16 <= size; k += 16) {
                const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + k));
                const __m128i hits = _mm_or_si128(
                    _mm_or_si128(_mm_cmpeq_epi8(block, comma), _mm_cmpeq_epi8(block, quote)),
                    _mm_or_si128(_mm_cmpeq_epi8(block, lf),
                                 _mm_or_si128(_mm_cmpeq_epi8(block, cr), _mm_cmpeq_epi8(block, nul))));
                if (_mm_movemask_epi8(hits) != 0) {
                    return true;
                }
            }
        }
#endif
        for (; k < size; ++k) {
            if (special_[bytes[k]]) {
                return true;
            }
        }
        return false;
    }

    bool special_[256] = {};
};

}  // namespace sadrel
