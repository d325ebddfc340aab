// `json.loads(row)` for the rows of one export, natively while json is the standard library's own.
#pragma once

#include "export/response_lines.h"
#include "export/row_parser.h"
#include "guards/seen.h"
#include "kvrt.h"

namespace sadrel {

/// `json.loads(row)` for the rows of one export, the global `json` and its
/// `loads` looked up on every call. While they are the standard library's
/// own, an array of scalars is parsed natively into the same objects, in a
/// list that the cyclic collector does not track (it holds atomic objects
/// only, and no one else has it yet), or into native values.
class JsonLoads {
public:
    explicit JsonLoads(const kvrt::Globals &g) : g_(g) {}
    py::object operator()(py::handle row);
    /// The same for a line of the native reader: a bytes object is made only
    /// where json.loads itself is called.
    py::object operator()(const Line &row);
    /// Whether json is the standard library's own now: json.loads then
    /// calls no code of anyone else. The global is looked up again once
    /// Python code may have run (python_ran()); until then it cannot change.
    bool stdlib_now();
    /// `json.loads(row)` as a row of native values appended to `rows`, where
    /// json is the standard library's own and the line an array of scalars
    /// (see fastjson::Rows::parse); false otherwise, with nothing appended.
    bool parse_into(const Line &row, fastjson::Rows &rows) {
        if (row.object || !stdlib_now() || !unchanged_.holds([&] { return loads_unchanged(); })) {
            return false;
        }
        return rows.parse(row.data, row.size);
    }
    /// Python code may have run (a read, a call out): json is checked whole
    /// again before the next native parse.
    void python_ran();

private:
    bool loads_unchanged();
    py::object loads(py::handle row, const char *data, Py_ssize_t size);

    const kvrt::Globals &g_;
    py::object json_;     // the global `json` last checked
    bool native_ = false; // whether it passed
    bool looked_up_ = false;  // json_ is the global as it stands (no Python code ran since)
    Verdict unchanged_;   // its loads and _default_decoder are still those found
    py::object loads_;
    py::object decoder_;
};

}  // namespace sadrel
