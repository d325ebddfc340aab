// The per-row steps of both export loops, with fast forms for the common
// objects behind cheap identity and type checks. Each falls back to the plain
// Python operation, so calls, results and errors are the same either way.
#pragma once

#include "kvrt.h"
#include "fastjson.h"
#include "lines.h"

namespace sadrel {

/// The row counter `i` of an export loop: a C integer that becomes a Python
/// int whenever Python code is to see it.
class Count {
public:
    Count &operator+=(long long step) {
        value_ += step;
        return *this;
    }
    bool operator==(long long other) const { return value_ == other; }
    long long value() const { return value_; }
    /// The int object, as `i` is in Python (for comparisons and calls).
    PyObject *ptr() const;
    py::object object() const { return py::reinterpret_borrow<py::object>(ptr()); }

private:
    long long value_ = 0;
    mutable py::object cache_;
    mutable long long cached_ = -1;
};

/// `block_size` as the loop compares with it: in C while it is a positive
/// exact int, through Python's `==` and `%` otherwise.
class BlockSize {
public:
    explicit BlockSize(py::handle block_size);
    /// `len(datas) == block_size`
    bool equals(Py_ssize_t length) const;
    /// `i % block_size == 0`
    bool divides(const Count &i) const;

private:
    py::handle object_;
    long long value_ = 0;  // 0 when the comparisons go through Python
};

/// `row.strip()` is neither b"" nor "": the line carries something to parse.
bool has_content(py::handle row);
bool has_content(const Line &row);

/// Notes the standard library's json as this interpreter life shows it now,
/// once a life: what the row parser's guards compare with, object by object.
void note_stdlib_json();

/// `json.loads(row)` for the rows of one export, the global `json` and its
/// `loads` looked up on every call. While they are the standard library's
/// own, an array of scalars is parsed natively into the same objects, in a
/// list that the cyclic collector does not track (it holds atomic objects
/// only, and no one else has it yet).
class JsonLoads {
public:
    explicit JsonLoads(const kvrt::Globals &g);
    py::object operator()(py::handle row);
    /// The same for a line of the native reader: a bytes object is made only
    /// where json.loads itself is called.
    py::object operator()(const Line &row);
    /// Checks json whole again at the next row: its decoder, the decoder's
    /// class and methods, the scanner and detect_encoding may have changed
    /// meanwhile. Cheap enough for once a block.
    void recheck();
    /// Whether json is the standard library's own now: json.loads then
    /// calls no code of anyone else.
    bool stdlib_now();
    /// `json.loads(row)` as a row of native values appended to `rows`, where
    /// json is the standard library's own and the line an array of scalars
    /// (see fastjson::Rows::parse); false otherwise, with nothing appended.
    bool parse_into(const Line &row, fastjson::Rows &rows);
    /// Python code may have run (a read, a call out): parse_into checks json
    /// again before its next row.
    void python_ran() { checked_ = false; }

private:
    bool is_stdlib(py::handle json);
    py::object loads(py::handle row, const char *data, Py_ssize_t size);

    const kvrt::Globals &g_;
    // Interned names, taken once per export: an interpreter life of its own
    // may follow, with strings of its own.
    PyObject *json_name_;
    PyObject *loads_name_;
    PyObject *decoder_name_;
    py::object json_;     // the last module checked
    bool native_ = false; // whether it passed
    bool checked_ = false; // parse_into's checks hold, and no Python code ran since
    py::object loads_;    // its loads and _default_decoder at the time
    py::object decoder_;
};

}  // namespace sadrel
