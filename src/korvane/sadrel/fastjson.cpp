// The scanner behind sadrel::fastjson::parse_scalar_array. It accepts a strict
// subset of what json.loads accepts and builds the same objects the
// standard library's C scanner builds; everything else is declined, never
// reported, so json.loads sees it and raises its own errors.
#include "fastjson.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace sadrel {
namespace fastjson {
namespace {

/// The items of the array being read: a few inline, more on the heap.
class Items {
public:
    Items() = default;
    Items(const Items &) = delete;
    Items &operator=(const Items &) = delete;
    ~Items() {
        for (Py_ssize_t k = 0; k < size_; ++k) {
            Py_DECREF(data_[k]);
        }
        if (data_ != inline_) {
            PyMem_Free(data_);
        }
    }

    bool push(PyObject *item) {
        if (size_ == capacity_) {
            Py_ssize_t capacity = capacity_ * 2;
            auto *grown = static_cast<PyObject **>(PyMem_Malloc(sizeof(PyObject *) * capacity));
            if (grown == nullptr) {
                Py_DECREF(item);
                PyErr_NoMemory();
                return false;
            }
            std::memcpy(grown, data_, sizeof(PyObject *) * size_);
            if (data_ != inline_) {
                PyMem_Free(data_);
            }
            data_ = grown;
            capacity_ = capacity;
        }
        data_[size_++] = item;
        return true;
    }

    /// Moves the items into a new list that the collector does not track.
    PyObject *release_list() {
        PyObject *list = PyList_New(size_);
        if (list == nullptr) {
            return nullptr;
        }
        for (Py_ssize_t k = 0; k < size_; ++k) {
            PyList_SET_ITEM(list, k, data_[k]);
        }
        size_ = 0;
        PyObject_GC_UnTrack(list);
        return list;
    }

private:
    PyObject *inline_[32];
    PyObject **data_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 32;
};

/// What reading one value ended in.
enum class Step { ok, decline, error };

inline bool is_ws(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

/// Moves `p` past a run of digits; false when there is none.
inline bool skip_digits(const char *&p, const char *end) {
    const char *first = p;
    while (p < end && is_digit(static_cast<unsigned char>(*p))) {
        ++p;
    }
    return p != first;
}

inline const char *skip_ws(const char *p, const char *end) {
    while (p < end && is_ws(static_cast<unsigned char>(*p))) {
        ++p;
    }
    return p;
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

/// Four hex digits at `p` (bounds checked by the caller), or -1.
long hex4(const char *p) {
    long value = 0;
    for (int k = 0; k < 4; ++k) {
        int digit = hex_value(static_cast<unsigned char>(p[k]));
        if (digit < 0) {
            return -1;
        }
        value = value * 16 + digit;
    }
    return value;
}

void put_utf8(std::string &out, long cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

/// A str from UTF-8 bytes; declines bytes that are not strict UTF-8.
Step make_str(const char *data, Py_ssize_t size, bool ascii, PyObject **out) {
    if (ascii && size == 1) {
        // The interpreter's own one-character string, as json.loads gives it.
        *out = PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, data, 1);
        return *out != nullptr ? Step::ok : Step::error;
    }
    if (ascii) {
        PyObject *s = PyUnicode_New(size, 127);
        if (s == nullptr) {
            return Step::error;
        }
        std::memcpy(PyUnicode_DATA(s), data, static_cast<size_t>(size));
        *out = s;
        return Step::ok;
    }
    PyObject *s = PyUnicode_DecodeUTF8(data, size, nullptr);
    if (s == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            PyErr_Clear();
            return Step::decline;
        }
        return Step::error;
    }
    *out = s;
    return Step::ok;
}

/// A string whose opening quote is at p[-1]; leaves *pp after the closing one.
Step read_string(const char **pp, const char *end, PyObject **out) {
    const char *p = *pp;
    const char *start = p;
    unsigned char high = 0;
    while (p < end) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20) {
            break;
        }
        high |= c;
        ++p;
    }
    if (p == end || static_cast<unsigned char>(*p) < 0x20) {
        return Step::decline;  // unterminated, or a raw control character
    }
    if (*p == '"') {
        *pp = p + 1;
        return make_str(start, p - start, high < 0x80, out);
    }
    // Escapes: gather the text as UTF-8, then decode it in one go.
    std::string text(start, static_cast<size_t>(p - start));
    while (p < end) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"') {
            *pp = p + 1;
            return make_str(text.data(), static_cast<Py_ssize_t>(text.size()), false, out);
        }
        if (c < 0x20) {
            return Step::decline;
        }
        if (c != '\\') {
            text.push_back(static_cast<char>(c));
            ++p;
            continue;
        }
        if (end - p < 2) {
            return Step::decline;
        }
        char e = p[1];
        p += 2;
        switch (e) {
        case '"': text.push_back('"'); break;
        case '\\': text.push_back('\\'); break;
        case '/': text.push_back('/'); break;
        case 'b': text.push_back('\b'); break;
        case 'f': text.push_back('\f'); break;
        case 'n': text.push_back('\n'); break;
        case 'r': text.push_back('\r'); break;
        case 't': text.push_back('\t'); break;
        case 'u': {
            if (end - p < 4) {
                return Step::decline;
            }
            long cp = hex4(p);
            if (cp < 0) {
                return Step::decline;
            }
            p += 4;
            if (cp >= 0xDC00 && cp <= 0xDFFF) {
                return Step::decline;  // a lone low surrogate
            }
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                // Only a complete pair makes one character here.
                if (end - p < 6 || p[0] != '\\' || p[1] != 'u') {
                    return Step::decline;
                }
                long low = hex4(p + 2);
                if (low < 0xDC00 || low > 0xDFFF) {
                    return Step::decline;
                }
                p += 6;
                cp = 0x10000 + (((cp - 0xD800) << 10) | (low - 0xDC00));
            }
            put_utf8(text, cp);
            break;
        }
        default:
            return Step::decline;
        }
    }
    return Step::decline;
}

/// A number as the JSON grammar has it; ints of up to 18 digits only.
Step read_number(const char **pp, const char *end, PyObject **out) {
    const char *p = *pp;
    const char *start = p;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    if (p == end || !is_digit(static_cast<unsigned char>(*p))) {
        return Step::decline;  // "-Infinity", or no number at all
    }
    const char *digits = p;
    if (*p == '0') {
        ++p;
    } else {
        skip_digits(p, end);
    }
    const char *int_end = p;
    bool is_float = false;
    if (p < end && *p == '.') {
        ++p;
        if (!skip_digits(p, end)) {
            return Step::decline;
        }
        is_float = true;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) {
            ++p;
        }
        if (!skip_digits(p, end)) {
            return Step::decline;
        }
        is_float = true;
    }
    if (!is_float) {
        if (int_end - digits > 18) {
            return Step::decline;
        }
        long long value = 0;
        for (const char *d = digits; d < int_end; ++d) {
            value = value * 10 + (*d - '0');
        }
        PyObject *number = PyLong_FromLongLong(negative ? -value : value);
        if (number == nullptr) {
            return Step::error;
        }
        *out = number;
        *pp = p;
        return Step::ok;
    }
    // The same conversion float() makes, on the same characters.
    char buffer[128];
    Py_ssize_t size = p - start;
    if (size >= static_cast<Py_ssize_t>(sizeof buffer)) {
        return Step::decline;
    }
    std::memcpy(buffer, start, static_cast<size_t>(size));
    buffer[size] = '\0';
    char *stop = nullptr;
    double value = PyOS_string_to_double(buffer, &stop, nullptr);
    if (value == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return Step::decline;
        }
        return Step::error;
    }
    if (stop != buffer + size) {
        return Step::decline;
    }
    PyObject *number = PyFloat_FromDouble(value);
    if (number == nullptr) {
        return Step::error;
    }
    *out = number;
    *pp = p;
    return Step::ok;
}

Step read_literal(const char **pp, const char *end, const char *word, size_t size, PyObject *value,
                  PyObject **out) {
    if (static_cast<size_t>(end - *pp) < size || std::memcmp(*pp, word, size) != 0) {
        return Step::decline;
    }
    *pp += size;
    Py_INCREF(value);
    *out = value;
    return Step::ok;
}

Step read_scalar(const char **pp, const char *end, PyObject **out) {
    switch (**pp) {
    case '"':
        ++*pp;
        return read_string(pp, end, out);
    case 't':
        return read_literal(pp, end, "true", 4, Py_True, out);
    case 'f':
        return read_literal(pp, end, "false", 5, Py_False, out);
    case 'n':
        return read_literal(pp, end, "null", 4, Py_None, out);
    default:
        return read_number(pp, end, out);
    }
}

}  // namespace

PyObject *parse_scalar_array(const char *text, Py_ssize_t size) {
    const char *end = text + size;
    // json.loads picks the encoding of bytes from a byte-order mark or from
    // where the NUL bytes are: with neither, the text is UTF-8.
    if (size == 0 || (text[0] != '[' && !is_ws(static_cast<unsigned char>(text[0]))) ||
        std::memchr(text, 0, static_cast<size_t>(size)) != nullptr) {
        return nullptr;
    }
    const char *p = skip_ws(text, end);
    if (p == end || *p != '[') {
        return nullptr;
    }
    p = skip_ws(p + 1, end);
    Items items;
    if (p < end && *p == ']') {
        ++p;
    } else {
        for (;;) {
            if (p == end) {
                return nullptr;
            }
            PyObject *item = nullptr;
            Step step = read_scalar(&p, end, &item);
            if (step != Step::ok) {
                return nullptr;  // declined, or an error already set
            }
            if (!items.push(item)) {
                return nullptr;
            }
            p = skip_ws(p, end);
            if (p < end && *p == ',') {
                p = skip_ws(p + 1, end);
                continue;
            }
            if (p < end && *p == ']') {
                ++p;
                break;
            }
            return nullptr;
        }
    }
    if (skip_ws(p, end) != end) {
        return nullptr;  // extra data: json.loads says where
    }
    return items.release_list();
}

}  // namespace fastjson
}  // namespace sadrel
