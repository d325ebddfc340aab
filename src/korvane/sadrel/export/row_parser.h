// A scanner for the commonest JSON text of a result stream: one array of
// scalars, given as UTF-8 bytes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "export/chars.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace sadrel {
namespace fastjson {

/// Parses `text` as `json.loads` with the standard library's default decoder
/// does, when it is an array whose items are all strings, numbers, `true`,
/// `false` or `null`, and returns a new list of exactly the objects that
/// `json.loads` would give: `str`, `int`, `float` (converted as `float()`
/// converts), `True`, `False` and `None`.
///
/// Returns nullptr with no error set for every text it leaves to
/// `json.loads`: anything else, anything malformed (so that the error comes
/// from `json.loads` itself), a byte-order mark, NUL bytes, bytes that are
/// not strict UTF-8, lone surrogates, integers of 19 digits or more, `NaN`
/// and `Infinity`. Returns nullptr with an error set only when Python ran
/// out of memory.
///
/// The list is returned untracked by the cyclic garbage collector: it holds
/// atomic objects only.
PyObject *parse_scalar_array(const char *text, Py_ssize_t size);

/// What a scalar of such an array is, without a Python object.
enum class Tag : unsigned char { null, no, yes, integer, real, text, decimal };

/// One scalar: a text is a span of its UTF-8 bytes (escapes resolved) in
/// the rows' own text. A decimal is a float given with at most 15
/// significant digits, well inside the normal range: the double nearest to
/// it prints (repr) with exactly those digits, so it is kept as them,
/// 0.d1d2...dn times 10**point.
struct Value {
    Tag tag;
    bool ascii;     // text: all bytes below 0x80
    bool nul;       // text: holds a NUL character
    bool negative;  // decimal: the sign
    unsigned int size;  // text: bytes; decimal: digits n (low byte), point + 1024 (above)
    int digits() const { return static_cast<int>(size & 0xFF); }
    int point() const { return static_cast<int>(size >> 8) - 1024; }
    union {
        long long integer;
        double real;
        std::size_t offset;  // text, decimal: where its bytes or digits d1...dn begin
    };
};

/// The bytes of the rows' texts: a growable run whose appends stay inline.
class Chars {
public:
    Chars() = default;
    Chars(const Chars &) = delete;
    Chars &operator=(const Chars &) = delete;
    Chars(Chars &&other) noexcept : data_(other.data_), size_(other.size_), cap_(other.cap_) {
        other.data_ = nullptr;
        other.size_ = other.cap_ = 0;
    }
    Chars &operator=(Chars &&other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = other.data_;
            size_ = other.size_;
            cap_ = other.cap_;
            other.data_ = nullptr;
            other.size_ = other.cap_ = 0;
        }
        return *this;
    }
    ~Chars() { std::free(data_); }

    /// Never null, so that an empty text is a valid span.
    const char *data() const { return data_ != nullptr ? data_ : ""; }
    std::size_t size() const { return size_; }
    void clear() { size_ = 0; }
    /// Back to an earlier size (never grows).
    void resize(std::size_t size) {
        if (size < size_) {
            size_ = size;
        }
    }
    void append(const char *p, std::size_t n) {
        if (cap_ - size_ < n) {
            grow(size_ + n);
        }
        if (n != 0) {
            std::memcpy(data_ + size_, p, n);
        }
        size_ += n;
    }

private:
    void grow(std::size_t need);
    char *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

/// Rows parsed without Python objects: the values of each row in turn.
class Rows {
public:
    /// Parses `text` as parse_scalar_array does and appends its values as a
    /// row. Returns false, with nothing appended, for every text that
    /// parse_scalar_array declines (never an error).
    bool parse(const char *text, Py_ssize_t size);

    std::size_t count() const { return ends_.size(); }
    const Value *row(std::size_t r, std::size_t *width) const {
        std::size_t begin = r == 0 ? 0 : ends_[r - 1];
        *width = ends_[r] - begin;
        return values_.data() + begin;
    }
    const char *text(const Value &v) const { return text_.data() + v.offset; }
    void clear() {
        values_.clear();
        ends_.clear();
        text_.clear();
    }
    /// Row `r` as the new list parse_scalar_array returns for its line;
    /// nullptr with an error set when Python ran out of memory.
    PyObject *object(std::size_t r) const;
    /// The same as a tuple, as pyhive hands on a row.
    PyObject *tuple(std::size_t r) const;
    /// Appends the values of `row`, an exact tuple of None, bool, int (in
    /// int64), float and str (without lone surrogates) as a row; false,
    /// with nothing appended, for any other object (with an error set only
    /// where Python ran out of memory).
    bool append_values(PyObject *row);
    /// Appends row `r` of `from`, its texts copied.
    void append_row(const Rows &from, std::size_t r);
    /// Appends rows `r` to `r + n - 1` of `from` (n > 0), as append_row does one by one.
    void append_rows(const Rows &from, std::size_t r, std::size_t n);

    // for the parser
    std::vector<Value> values_;
    std::vector<std::size_t> ends_;
    Chars text_;
};

/// The members of a Presto result page other than its rows, as text.
struct Page {
    struct Member {
        std::string key;
        const char *value;  // the value's JSON text, within the page
        Py_ssize_t size;
    };
    std::vector<Member> members;  // in the page's order
    bool has_data = false;        // whether it had a "data" member
    const Member *find(const char *key) const;
};

/// Parses a Presto result page, `text` of UTF-8 bytes, where it is a JSON
/// object whose keys are plain ASCII without escapes, each given once; whose
/// "data", if present, is an array of arrays of scalars (each row as
/// Rows::parse takes it), appended to `rows`; and whose other values are
/// JSON as the same scanner reads it (strict UTF-8, ints of up to 18
/// digits, no NaN or Infinity, nested at most 32 deep), noted in `page`.
/// Returns false, with nothing appended, for any other text.
bool parse_page(const char *text, Py_ssize_t size, Rows &rows, Page &page);

}  // namespace fastjson
}  // namespace sadrel
