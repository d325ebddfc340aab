// The row parser: the scanner behind sadrel::fastjson::parse_scalar_array and Rows::parse.
//
// It accepts a strict subset of what json.loads accepts and builds the same
// objects (or native values) the standard library's C scanner builds;
// everything else is declined, never reported, so json.loads sees it and
// raises its own errors.
#include "export/row_parser.h"

#include <charconv>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstdint>
#include <cstring>
#include <new>
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

/// Whether `data` is UTF-8 as Python's strict decoder takes it: no
/// overlong forms, no surrogates, nothing beyond U+10FFFF, nothing cut.
bool strict_utf8(const unsigned char *p, const unsigned char *end) {
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int n;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
        } else if (c == 0xE0) {
            n = 2, lo = 0xA0;
        } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
            n = 2;
        } else if (c == 0xED) {
            n = 2, hi = 0x9F;
        } else if (c == 0xF0) {
            n = 3, lo = 0x90;
        } else if (c >= 0xF1 && c <= 0xF3) {
            n = 3;
        } else if (c == 0xF4) {
            n = 3, hi = 0x8F;
        } else {
            return false;
        }
        if (end - p <= n || p[1] < lo || p[1] > hi) {
            return false;
        }
        for (int k = 2; k <= n; ++k) {
            if (p[k] < 0x80 || p[k] > 0xBF) {
                return false;
            }
        }
        p += n + 1;
    }
    return true;
}

/// The double of 0.d1...dn times 10**point, as float() converts its text.
double decimal_value(bool negative, const char *digits, int n, int point) {
    char text[48];
    char *q = text;
    if (negative) {
        *q++ = '-';
    }
    std::memcpy(q, digits, static_cast<std::size_t>(n));
    q += n;
    *q++ = 'e';
    q = std::to_chars(q, text + sizeof text, point - n).ptr;
    *q = '\0';
    return PyOS_string_to_double(text, nullptr, nullptr);  // cannot fail: well in range
}

/// Gathers the items of one array as Python objects.
struct ObjectSink {
    static constexpr bool takes_decimals = false;
    Items items;
    Step str(const char *data, Py_ssize_t size, bool ascii, bool /*escaped*/) {
        PyObject *item = nullptr;
        Step step = make_str(data, size, ascii, &item);
        return step != Step::ok ? step : add(item);
    }
    Step integer(long long value) { return add(PyLong_FromLongLong(value)); }
    Step real(double value) { return add(PyFloat_FromDouble(value)); }
    Step decimal(bool negative, const char *digits, int n, int point) {
        return real(decimal_value(negative, digits, n, point));
    }
    Step literal(Tag tag) {
        PyObject *value = tag == Tag::yes ? Py_True : tag == Tag::no ? Py_False : Py_None;
        Py_INCREF(value);
        return add(value);
    }
    Step add(PyObject *item) {
        if (item == nullptr) {
            return Step::error;
        }
        return items.push(item) ? Step::ok : Step::error;
    }
};

/// Appends the items of one array to native rows.
struct ValueSink {
    static constexpr bool takes_decimals = true;
    Rows &rows;
    Step decimal(bool negative, const char *digits, int n, int point) {
        Value v;
        v.tag = Tag::decimal;
        v.negative = negative;
        v.size = (static_cast<unsigned int>(point + 1024) << 8) | static_cast<unsigned int>(n);
        v.offset = rows.text_.size();
        rows.text_.append(digits, static_cast<std::size_t>(n));
        rows.values_.push_back(v);
        return Step::ok;
    }
    Step str(const char *data, Py_ssize_t size, bool ascii, bool escaped) {
        if (size > 0xFFFFFFFFLL ||
            (!ascii && !strict_utf8(reinterpret_cast<const unsigned char *>(data),
                                    reinterpret_cast<const unsigned char *>(data) + size))) {
            return Step::decline;
        }
        Value v;
        v.tag = Tag::text;
        v.ascii = ascii;
        // A raw NUL byte declines the line (a control character): only an escape makes one.
        v.nul = escaped && std::memchr(data, 0, static_cast<size_t>(size)) != nullptr;
        v.size = static_cast<unsigned int>(size);
        v.offset = rows.text_.size();
        rows.text_.append(data, static_cast<size_t>(size));
        rows.values_.push_back(v);
        return Step::ok;
    }
    Step integer(long long value) {
        Value v;
        v.tag = Tag::integer;
        v.integer = value;
        rows.values_.push_back(v);
        return Step::ok;
    }
    Step real(double value) {
        Value v;
        v.tag = Tag::real;
        v.real = value;
        rows.values_.push_back(v);
        return Step::ok;
    }
    Step literal(Tag tag) {
        Value v;
        v.tag = tag;
        rows.values_.push_back(v);
        return Step::ok;
    }
};

/// A string whose opening quote is at p[-1]; leaves *pp after the closing one.
template <class Sink>
Step read_string(const char **pp, const char *end, Sink &sink) {
    const char *p = *pp;
    const char *start = p;
    unsigned char high = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time up to the first quote, backslash or control
    // character; any byte of 0x80 or above makes the text non-ASCII.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i below_space = _mm_set1_epi8(0x1F);
    while (end - p >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(block, below_space), below_space);
        const int stops = _mm_movemask_epi8(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)), control));
        const int highs = _mm_movemask_epi8(block);
        if (stops != 0) {
            const int k = __builtin_ctz(static_cast<unsigned>(stops));
            if ((highs & ((1 << k) - 1)) != 0) {
                high = 0x80;
            }
            p += k;
            break;
        }
        if (highs != 0) {
            high = 0x80;
        }
        p += 16;
    }
#endif
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
        return sink.str(start, p - start, high < 0x80, false);
    }
    // Escapes: gather the text as UTF-8, then decode it in one go.
    std::string text(start, static_cast<size_t>(p - start));
    while (p < end) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"') {
            *pp = p + 1;
            return sink.str(text.data(), static_cast<Py_ssize_t>(text.size()), false, true);
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
            put_utf8(text, static_cast<std::uint32_t>(cp));
            break;
        }
        default:
            return Step::decline;
        }
    }
    return Step::decline;
}

/// The significant digits of a JSON number's text (`digits` to `end`, the
/// integer part ending at `int_end`) when there are 1 to 15 of them and the
/// value lies between 1e-290 and 1e290: d1...dn into `out`, the number being
/// 0.d1...dn times 10**`point`.
bool decimal_digits(const char *digits, const char *int_end, const char *end, char *out, int *n, int *point) {
    // The fraction, if any, and where the exponent begins.
    const char *frac = int_end;
    const char *frac_end = int_end;
    if (frac < end && *frac == '.') {
        ++frac;
        frac_end = frac;
        while (frac_end < end && is_digit(static_cast<unsigned char>(*frac_end))) {
            ++frac_end;
        }
    }
    const char *exp = frac_end;
    // The integer part is "0" or starts with a nonzero digit.
    const char *first_int = digits;
    int place = static_cast<int>(int_end - digits);
    if (*digits == '0') {
        first_int = int_end;
        place = 0;
    }
    const char *first_frac = frac;
    if (first_int == int_end) {
        while (first_frac < frac_end && *first_frac == '0') {
            ++first_frac;
        }
        place = -static_cast<int>(first_frac - frac);
    }
    // Trailing zeros are no significant digits.
    const char *last_frac = frac_end;
    while (last_frac > first_frac && last_frac[-1] == '0') {
        --last_frac;
    }
    const char *last_int = int_end;
    if (last_frac == first_frac) {
        while (last_int > first_int && last_int[-1] == '0') {
            --last_int;
        }
    }
    const std::ptrdiff_t int_count = (last_frac == first_frac ? last_int : int_end) - first_int;
    const std::ptrdiff_t frac_count = last_frac - first_frac;
    const std::ptrdiff_t count = int_count + frac_count;
    if (count == 0 || count > 15) {
        return false;  // a zero (its sign matters), or more digits than a double holds
    }
    if (exp < end && (*exp == 'e' || *exp == 'E')) {
        ++exp;
        bool minus = false;
        if (*exp == '+' || *exp == '-') {
            minus = *exp == '-';
            ++exp;
        }
        int exponent = 0;
        for (; exp < end && is_digit(static_cast<unsigned char>(*exp)); ++exp) {
            if (exponent > 1000) {
                return false;
            }
            exponent = exponent * 10 + (*exp - '0');
        }
        place += minus ? -exponent : exponent;
    }
    if (place < -289 || place > 290) {
        return false;
    }
    std::memcpy(out, first_int, static_cast<std::size_t>(int_count));
    std::memcpy(out + int_count, first_frac, static_cast<std::size_t>(frac_count));
    *n = static_cast<int>(count);
    *point = place;
    return true;
}

/// A number as the JSON grammar has it; ints of up to 18 digits only.
template <class Sink>
Step read_number(const char **pp, const char *end, Sink &sink) {
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
    if (is_float && Sink::takes_decimals) {
        char significant[16];
        int n = 0;
        int point = 0;
        if (decimal_digits(digits, int_end, p, significant, &n, &point)) {
            *pp = p;
            return sink.decimal(negative, significant, n, point);
        }
    }
    if (!is_float) {
        if (int_end - digits > 18) {
            return Step::decline;
        }
        long long value = 0;
        for (const char *d = digits; d < int_end; ++d) {
            value = value * 10 + (*d - '0');
        }
        *pp = p;
        return sink.integer(negative ? -value : value);
    }
    // The same conversion float() makes, on the same characters: both round
    // correctly, so the double is the same; out of range, float()'s own.
    Py_ssize_t size = p - start;
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    {
        double value = 0;
        auto result = std::from_chars(start, p, value, std::chars_format::general);
        if (result.ec == std::errc() && result.ptr == p) {
            *pp = p;
            return sink.real(value);
        }
    }
#endif
    char buffer[128];
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
    *pp = p;
    return sink.real(value);
}

template <class Sink>
Step read_literal(const char **pp, const char *end, const char *word, size_t size, Tag tag, Sink &sink) {
    if (static_cast<size_t>(end - *pp) < size || std::memcmp(*pp, word, size) != 0) {
        return Step::decline;
    }
    *pp += size;
    return sink.literal(tag);
}

template <class Sink>
Step read_scalar(const char **pp, const char *end, Sink &sink) {
    switch (**pp) {
    case '"':
        ++*pp;
        return read_string(pp, end, sink);
    case 't':
        return read_literal(pp, end, "true", 4, Tag::yes, sink);
    case 'f':
        return read_literal(pp, end, "false", 5, Tag::no, sink);
    case 'n':
        return read_literal(pp, end, "null", 4, Tag::null, sink);
    default:
        return read_number(pp, end, sink);
    }
}

}  // namespace

namespace {

/// The items of an array of scalars whose opening bracket is at **pp, into
/// `sink`; leaves *pp after its closing bracket.
template <class Sink>
Step parse_items(const char **pp, const char *end, Sink &sink) {
    const char *p = skip_ws(*pp + 1, end);
    if (p < end && *p == ']') {
        *pp = p + 1;
        return Step::ok;
    }
    for (;;) {
        if (p == end) {
            return Step::decline;
        }
        Step step = read_scalar(&p, end, sink);
        if (step != Step::ok) {
            return step;  // declined, or an error already set
        }
        p = skip_ws(p, end);
        if (p < end && *p == ',') {
            p = skip_ws(p + 1, end);
            continue;
        }
        if (p < end && *p == ']') {
            *pp = p + 1;
            return Step::ok;
        }
        return Step::decline;
    }
}

/// The array of scalars in `text`, item by item into `sink`.
template <class Sink>
Step parse_array(const char *text, Py_ssize_t size, Sink &sink) {
    const char *end = text + size;
    // json.loads picks the encoding of bytes from a byte-order mark or from
    // where the NUL bytes are: with neither, the text is UTF-8.
    if (size == 0 || (text[0] != '[' && !is_ws(static_cast<unsigned char>(text[0]))) ||
        std::memchr(text, 0, static_cast<size_t>(size)) != nullptr) {
        return Step::decline;
    }
    const char *p = skip_ws(text, end);
    if (p == end || *p != '[') {
        return Step::decline;
    }
    Step step = parse_items(&p, end, sink);
    if (step != Step::ok) {
        return step;
    }
    if (skip_ws(p, end) != end) {
        return Step::decline;  // extra data: json.loads says where
    }
    return Step::ok;
}

/// Checks a value without keeping it: strict UTF-8 strings, ints of up to
/// 18 digits, no NaN or Infinity.
struct CheckSink {
    static constexpr bool takes_decimals = false;
    Step str(const char *data, Py_ssize_t size, bool ascii, bool /*escaped*/) {
        return ascii || strict_utf8(reinterpret_cast<const unsigned char *>(data),
                                    reinterpret_cast<const unsigned char *>(data) + size)
                   ? Step::ok
                   : Step::decline;
    }
    Step integer(long long) { return Step::ok; }
    Step real(double) { return Step::ok; }
    Step decimal(bool, const char *, int, int) { return Step::ok; }
    Step literal(Tag) { return Step::ok; }
};

/// Any JSON value at *pp, checked as CheckSink checks scalars, nested at most `depth` deep.
Step check_value(const char **pp, const char *end, int depth) {
    CheckSink sink;
    const char *p = *pp;
    if (p == end) {
        return Step::decline;
    }
    if (*p != '[' && *p != '{') {
        return read_scalar(pp, end, sink);
    }
    if (depth == 0) {
        return Step::decline;
    }
    const char close = *p == '[' ? ']' : '}';
    const bool object = *p == '{';
    p = skip_ws(p + 1, end);
    if (p < end && *p == close) {
        *pp = p + 1;
        return Step::ok;
    }
    for (;;) {
        if (object) {
            if (p == end || *p != '"') {
                return Step::decline;
            }
            ++p;
            if (read_string(&p, end, sink) != Step::ok) {
                return Step::decline;
            }
            p = skip_ws(p, end);
            if (p == end || *p != ':') {
                return Step::decline;
            }
            p = skip_ws(p + 1, end);
        }
        if (check_value(&p, end, depth - 1) != Step::ok) {
            return Step::decline;
        }
        p = skip_ws(p, end);
        if (p < end && *p == ',') {
            p = skip_ws(p + 1, end);
            continue;
        }
        if (p < end && *p == close) {
            *pp = p + 1;
            return Step::ok;
        }
        return Step::decline;
    }
}

}  // namespace

bool parse_page(const char *text, Py_ssize_t size, Rows &rows, Page &page) {
    const std::size_t values = rows.values_.size();
    const std::size_t ends = rows.ends_.size();
    const std::size_t chars = rows.text_.size();
    page.members.clear();
    page.has_data = false;
    auto decline = [&] {
        rows.values_.resize(values);
        rows.ends_.resize(ends);
        rows.text_.resize(chars);
        page.members.clear();
        page.has_data = false;
        return false;
    };
    const char *end = text + size;
    if (size == 0 || (text[0] != '{' && !is_ws(static_cast<unsigned char>(text[0]))) ||
        std::memchr(text, 0, static_cast<size_t>(size)) != nullptr) {
        return decline();
    }
    const char *p = skip_ws(text, end);
    if (p == end || *p != '{') {
        return decline();
    }
    p = skip_ws(p + 1, end);
    if (p < end && *p == '}') {
        ++p;
    } else {
        for (;;) {
            // A key: plain ASCII, no escapes, seen once.
            if (p == end || *p != '"') {
                return decline();
            }
            const char *key = ++p;
            while (p < end && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20 &&
                   static_cast<unsigned char>(*p) < 0x80) {
                ++p;
            }
            if (p == end || *p != '"') {
                return decline();
            }
            std::string name(key, static_cast<std::size_t>(p - key));
            p = skip_ws(p + 1, end);
            if (p == end || *p != ':') {
                return decline();
            }
            p = skip_ws(p + 1, end);
            if (name == "data" ? page.has_data : page.find(name.c_str()) != nullptr) {
                return decline();  // json.loads keeps the last of them
            }
            if (name == "data") {
                // An array of rows, each an array of scalars.
                if (p == end || *p != '[') {
                    return decline();
                }
                p = skip_ws(p + 1, end);
                if (p < end && *p == ']') {
                    ++p;
                } else {
                    for (;;) {
                        if (p == end || *p != '[') {
                            return decline();
                        }
                        ValueSink sink{rows};
                        if (parse_items(&p, end, sink) != Step::ok) {
                            return decline();
                        }
                        rows.ends_.push_back(rows.values_.size());
                        p = skip_ws(p, end);
                        if (p < end && *p == ',') {
                            p = skip_ws(p + 1, end);
                            continue;
                        }
                        if (p < end && *p == ']') {
                            ++p;
                            break;
                        }
                        return decline();
                    }
                }
                page.has_data = true;
            } else {
                const char *value = p;
                if (check_value(&p, end, 32) != Step::ok) {
                    return decline();
                }
                page.members.push_back({std::move(name), value, p - value});
            }
            p = skip_ws(p, end);
            if (p < end && *p == ',') {
                p = skip_ws(p + 1, end);
                continue;
            }
            if (p < end && *p == '}') {
                ++p;
                break;
            }
            return decline();
        }
    }
    if (skip_ws(p, end) != end) {
        return decline();
    }
    return true;
}

const Page::Member *Page::find(const char *key) const {
    for (const Member &member : members) {
        if (member.key == key) {
            return &member;
        }
    }
    return nullptr;
}

void Chars::grow(std::size_t need) {
    std::size_t cap = cap_ != 0 ? cap_ * 2 : 1 << 16;
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

void Rows::append_row(const Rows &from, std::size_t r) {
    std::size_t width = 0;
    const Value *row = from.row(r, &width);
    for (std::size_t k = 0; k < width; ++k) {
        Value v = row[k];
        if (v.tag == Tag::text || v.tag == Tag::decimal) {
            const std::size_t n = v.tag == Tag::text ? v.size : static_cast<std::size_t>(v.digits());
            const std::size_t offset = text_.size();
            text_.append(from.text(row[k]), n);
            v.offset = offset;
        }
        values_.push_back(v);
    }
    ends_.push_back(values_.size());
}

void Rows::append_rows(const Rows &from, std::size_t r, std::size_t n) {
    const std::size_t begin = r == 0 ? 0 : from.ends_[r - 1];
    const std::size_t shift = values_.size() - begin;
    values_.reserve(values_.size() + from.ends_[r + n - 1] - begin);
    ends_.reserve(ends_.size() + n);
    for (std::size_t k = r; k < r + n; ++k) {
        ends_.push_back(from.ends_[k] + shift);
    }
    for (std::size_t k = begin; k < from.ends_[r + n - 1]; ++k) {
        Value v = from.values_[k];
        if (v.tag == Tag::text || v.tag == Tag::decimal) {
            const std::size_t size = v.tag == Tag::text ? v.size : static_cast<std::size_t>(v.digits());
            const std::size_t offset = text_.size();
            text_.append(from.text(v), size);
            v.offset = offset;
        }
        values_.push_back(v);
    }
}

bool Rows::append_values(PyObject *row) {
    if (!PyTuple_CheckExact(row)) {
        return false;
    }
    const std::size_t values = values_.size();
    const std::size_t chars = text_.size();
    auto decline = [&] {
        values_.resize(values);
        text_.resize(chars);
        return false;
    };
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(row); ++k) {
        PyObject *item = PyTuple_GET_ITEM(row, k);
        PyTypeObject *type = Py_TYPE(item);
        Value v;
        if (item == Py_None) {
            v.tag = Tag::null;
        } else if (type == &PyBool_Type) {
            v.tag = item == Py_True ? Tag::yes : Tag::no;
        } else if (type == &PyLong_Type) {
            int overflow = 0;
            v.tag = Tag::integer;
            v.integer = PyLong_AsLongLongAndOverflow(item, &overflow);
            if (overflow != 0) {
                return decline();
            }
        } else if (type == &PyFloat_Type) {
            v.tag = Tag::real;
            v.real = PyFloat_AS_DOUBLE(item);
        } else if (type == &PyUnicode_Type) {
            Py_ssize_t size = 0;
            const char *data = PyUnicode_AsUTF8AndSize(item, &size);
            if (data == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                    return decline();  // the error stays set
                }
                PyErr_Clear();
                return decline();
            }
            if (size > 0xFFFFFFFFLL) {
                return decline();
            }
            v.tag = Tag::text;
            v.ascii = PyUnicode_IS_ASCII(item);
            v.nul = std::memchr(data, 0, static_cast<std::size_t>(size)) != nullptr;
            v.size = static_cast<unsigned int>(size);
            v.offset = text_.size();
            text_.append(data, static_cast<std::size_t>(size));
        } else {
            return decline();
        }
        values_.push_back(v);
    }
    ends_.push_back(values_.size());
    return true;
}

PyObject *Rows::tuple(std::size_t r) const {
    PyObject *list = object(r);
    if (list == nullptr) {
        return nullptr;
    }
    PyObject *tuple = PyList_AsTuple(list);
    Py_DECREF(list);
    return tuple;
}

PyObject *parse_scalar_array(const char *text, Py_ssize_t size) {
    ObjectSink sink;
    if (parse_array(text, size, sink) != Step::ok) {
        return nullptr;  // declined, or an error already set
    }
    return sink.items.release_list();
}

bool Rows::parse(const char *text, Py_ssize_t size) {
    std::size_t values = values_.size();
    std::size_t chars = text_.size();
    ValueSink sink{*this};
    if (parse_array(text, size, sink) != Step::ok) {
        values_.resize(values);
        text_.resize(chars);
        return false;
    }
    ends_.push_back(values_.size());
    return true;
}

PyObject *Rows::object(std::size_t r) const {
    std::size_t width = 0;
    const Value *values = row(r, &width);
    ObjectSink sink;
    for (std::size_t k = 0; k < width; ++k) {
        const Value &v = values[k];
        Step step;
        switch (v.tag) {
        case Tag::text: step = sink.str(text(v), v.size, v.ascii, v.nul); break;
        case Tag::integer: step = sink.integer(v.integer); break;
        case Tag::real: step = sink.real(v.real); break;
        case Tag::decimal:
            step = sink.decimal(v.negative, text(v), v.digits(), v.point());
            break;
        default: step = sink.literal(v.tag); break;
        }
        if (step != Step::ok) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "a parsed value no longer decodes");
            }
            return nullptr;
        }
    }
    return sink.items.release_list();
}

}  // namespace fastjson
}  // namespace sadrel
