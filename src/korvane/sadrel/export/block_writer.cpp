// The block writer: one write over both forms of a block's rows.
#include "export/block_writer.h"

#include "export/csv_columns.h"
#include "export/csv_text.h"
#include "export/row_parser.h"
#include "guards/seen.h"

#include <string>
#include <sys/stat.h>
#include <vector>

namespace sadrel {
namespace {

/// The rows of a block as the export loop holds them: a list of lists (the
/// OpenAPI route) or of tuples (pyhive's rows). Python code that runs while
/// the block is written (open() does, and each write may let other threads
/// run) could change them: each row is checked again as it is formatted.
class ObjectRows {
public:
    static constexpr bool can_change = true;

    explicit ObjectRows(py::handle datas) : datas_(datas) {}
    /// The rows, or -1 where `datas` is no list.
    Py_ssize_t count() const { return PyList_Check(datas_.ptr()) ? PyList_GET_SIZE(datas_.ptr()) : -1; }

    /// Whether every row may be written here, noting its columns.
    bool classify(Py_ssize_t width, std::vector<Column> &columns, int nul) {
        if (!PyList_CheckExact(datas_.ptr())) {
            return false;
        }
        const Py_ssize_t nrows = PyList_GET_SIZE(datas_.ptr());
        // All lists or all tuples.
        row_type_ = nrows > 0 ? Py_TYPE(PyList_GET_ITEM(datas_.ptr(), 0)) : &PyList_Type;
        if (row_type_ != &PyList_Type && row_type_ != &PyTuple_Type) {
            return false;
        }
        for (Py_ssize_t i = 0; i < nrows; ++i) {
            PyObject *row = PyList_GET_ITEM(datas_.ptr(), i);
            if (Py_TYPE(row) != row_type_ || PySequence_Fast_GET_SIZE(row) != width) {
                return false;
            }
            PyObject **values = PySequence_Fast_ITEMS(row);
            for (Py_ssize_t j = 0; j < width; ++j) {
                if (!sadrel::classify(values[j], columns[j], nul)) {
                    return false;
                }
            }
        }
        nrows_ = nrows;
        return true;
    }

    /// Row `i` into `text`; with `seen`, its values classified again, as
    /// they must be to give the columns of the first check.
    void format(Text &text, Py_ssize_t i, Py_ssize_t width, const std::vector<char> &as_float,
                std::vector<Column> *seen, const std::vector<Column> &columns, int nul) const {
        if (PyList_GET_SIZE(datas_.ptr()) != nrows_) {
            throw Changed();
        }
        PyObject *row = PyList_GET_ITEM(datas_.ptr(), i);
        if (Py_TYPE(row) != row_type_ || PySequence_Fast_GET_SIZE(row) != width) {
            throw Changed();
        }
        PyObject **values = PySequence_Fast_ITEMS(row);
        for (Py_ssize_t j = 0; j < width; ++j) {
            if (seen != nullptr && (!sadrel::classify(values[j], (*seen)[j], nul) || !((*seen)[j] == columns[j]))) {
                throw Changed();
            }
            if (j > 0) {
                text.out.push_back(',');
            }
            text.field(values[j], as_float[j]);
        }
    }

private:
    py::handle datas_;
    PyTypeObject *row_type_ = nullptr;
    Py_ssize_t nrows_ = 0;
};

/// The rows of a block as the native row parser made them: nothing else
/// can change them.
class ParsedRows {
public:
    static constexpr bool can_change = false;

    explicit ParsedRows(const fastjson::Rows &rows) : rows_(rows) {}
    Py_ssize_t count() const { return static_cast<Py_ssize_t>(rows_.count()); }

    bool classify(Py_ssize_t width, std::vector<Column> &columns, int nul) const {
        for (std::size_t i = 0; i < rows_.count(); ++i) {
            std::size_t n = 0;
            const fastjson::Value *values = rows_.row(i, &n);
            if (n != static_cast<std::size_t>(width)) {
                return false;
            }
            for (std::size_t j = 0; j < n; ++j) {
                if (!sadrel::classify(values[j], columns[j], nul)) {
                    return false;
                }
            }
        }
        return true;
    }

    void format(Text &text, Py_ssize_t i, Py_ssize_t, const std::vector<char> &as_float, std::vector<Column> *,
                const std::vector<Column> &, int) const {
        std::size_t n = 0;
        const fastjson::Value *values = rows_.row(static_cast<std::size_t>(i), &n);
        for (std::size_t j = 0; j < n; ++j) {
            if (j > 0) {
                text.out.push_back(',');
            }
            text.field(values[j], rows_, as_float[j]);
        }
    }

private:
    const fastjson::Rows &rows_;
};

[[noreturn]] KVRT_NOINLINE void raise_row_changed() {
    kvrt::raise(PyExc_RuntimeError, "a row changed while its block was written");
}

}  // namespace

/// `self.g_to_csv_notmp` is the module's own method, bound to `self`, with
/// its own defaults (compression=None).
bool BlockWriter::resolve_own() {
    py::object method = attr_or_empty(self_, "g_to_csv_notmp");  // a missing one: the plain call meets the same error
    PyObject *bound = method.ptr();
    if (!method || !PyMethod_Check(bound) || PyMethod_GET_SELF(bound) != self_.ptr() ||
        !kvrt::is_function_of(PyMethod_GET_FUNCTION(bound), own_def_)) {
        return false;
    }
    // (index=True, compression=None, mode="w", header=True): the header-only
    // write leaves mode and header to them.
    py::object defaults = attr_or_empty(py::handle(PyMethod_GET_FUNCTION(bound)), "__defaults__");
    if (!defaults || !PyTuple_CheckExact(defaults.ptr()) || PyTuple_GET_SIZE(defaults.ptr()) != 4) {
        return false;
    }
    PyObject *mode = PyTuple_GET_ITEM(defaults.ptr(), 2);
    return PyTuple_GET_ITEM(defaults.ptr(), 0) == Py_True && PyTuple_GET_ITEM(defaults.ptr(), 1) == Py_None &&
           PyUnicode_CheckExact(mode) && str_equals(mode, "w") && PyTuple_GET_ITEM(defaults.ptr(), 3) == Py_True;
}

void BlockWriter::note_written() {
    if (!own_) {
        file_.forget();
        return;
    }
    if (append_) {
        file_.check_appended(path_plain(), rows_);
    }
    file_.remember();
}

/// A str path that pandas opens as it is: no compression inferred from its
/// suffix, no URL, no "~" to expand. Decided once, from the suffixes that
/// pandas knew at the export's first block.
bool BlockWriter::path_plain() {
    if (path_rule_ == PathRule::undecided) {
        path_rule_ = PathRule::other;
        py::object compressions = py::reinterpret_borrow<py::object>(pandas_.compressions());
        PyObject *common = compressions ? nullptr : loaded("pandas.io.common");
        if (common != nullptr) {
            compressions = attr_or_empty(py::handle(common), "extension_to_compression");
        }
        if (!compressions || !PyDict_Check(compressions.ptr()) || !PyUnicode_CheckExact(path_.ptr())) {
            return false;
        }
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(path_.ptr(), &size);
        if (text == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                throw py::error_already_set();
            }
            PyErr_Clear();
            return false;
        }
        std::string lower(text, static_cast<std::size_t>(size));
        for (char &c : lower) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        if (lower.empty() || lower[0] == '~' || lower.back() == '/' || lower.find(':') != std::string::npos ||
            lower.find('\0') != std::string::npos) {
            return false;
        }
        // infer_compression: path.lower().endswith(suffix) for each suffix.
        py::object folded = path_.attr("lower")();
        Py_ssize_t pos = 0;
        PyObject *suffix = nullptr;
        PyObject *compression = nullptr;
        while (PyDict_Next(compressions.ptr(), &pos, &suffix, &compression)) {
            if (!PyUnicode_Check(suffix)) {
                return false;
            }
            Py_ssize_t n = PyUnicode_Tailmatch(folded.ptr(), suffix, 0, PY_SSIZE_T_MAX, 1);
            if (n != 0) {
                if (n < 0) {
                    throw py::error_already_set();
                }
                return false;
            }
        }
        path_rule_ = PathRule::plain;
    }
    return path_rule_ == PathRule::plain;
}

/// A plain path whose directory exists (else pandas raises its own error).
bool BlockWriter::path_allowed() {
    if (!path_plain()) {
        return false;
    }
    py::object parent = g_["os"].attr("path").attr("dirname")(path_);
    if (!kvrt::is_true(parent)) {
        return true;  // the current directory
    }
    return kvrt::is_true(g_["os"].attr("path").attr("isdir")(parent));
}

/// What every block checks first: `g_to_csv_notmp` is the module's own, an
/// append finds the file the last block left, the guards and the path
/// hold, and the names are a list of str of known output. Returns the
/// width, or 0 where the block is the plain calls'.
Py_ssize_t BlockWriter::begin(py::handle cols, Py_ssize_t rows, bool append) {
    own_ = resolve_own();
    append_ = append;
    rows_ = rows;
    if (!own_) {
        file_.forget();
        return 0;
    }
    if (append) {
        file_.check_unchanged();
    }
    if (!pandas_.hold(g_) || !path_allowed() || !PyList_CheckExact(cols.ptr())) {
        return 0;
    }
    const Py_ssize_t width = PyList_GET_SIZE(cols.ptr());
    Column header;
    for (Py_ssize_t j = 0; j < width; ++j) {
        PyObject *name = PyList_GET_ITEM(cols.ptr(), j);
        if (!PyUnicode_CheckExact(name) || !classify(name, header, pandas_.nul())) {
            return 0;
        }
    }
    return width;
}

bool BlockWriter::may_write() { return resolve_own() && pandas_.hold(g_) && path_allowed(); }

bool BlockWriter::write(py::handle cols, py::handle datas, bool append) {
    return write_rows(cols, ObjectRows(datas), append);
}

bool BlockWriter::write(py::handle cols, const fastjson::Rows &rows, bool append) {
    return write_rows(cols, ParsedRows(rows), append);
}

template <class Source>
bool BlockWriter::write_rows(py::handle cols, const Source &const_rows, bool append) {
    Source rows = const_rows;
    const Py_ssize_t width = begin(cols, rows.count(), append);
    if (width == 0) {
        return false;
    }
    const int nul = pandas_.nul();
    std::vector<Column> columns(static_cast<std::size_t>(width));
    if (!rows.classify(width, columns, nul)) {
        return false;
    }
    const Py_ssize_t nrows = rows.count();
    if (append && nrows == 0) {
        return false;
    }
    std::vector<char> as_float(static_cast<std::size_t>(width));
    for (Py_ssize_t j = 0; j < width; ++j) {
        as_float[j] = columns[j].ints_as_floats();
    }

    // The text, the first piece of it before any Python code runs: the rows
    // formatted later are checked again as they are formatted, where they can change.
    Text text(pandas_.quote_cr(), nul == 1);
    Py_ssize_t i = 0;
    auto format_rows = [&](bool recheck, File *file) {
        std::vector<Column> seen(columns);
        for (; i < nrows; ++i) {
            std::size_t start = text.out.size();
            rows.format(text, i, width, as_float, recheck ? &seen : nullptr, columns, nul);
            text.end_row(start, width);
            if (text.out.size() >= kPiece) {
                if (file == nullptr) {
                    ++i;
                    return;
                }
                file->write(text.out.data(), text.out.size());
                text.out.clear();
            }
        }
    };
    try {
        if (!append) {
            for (Py_ssize_t j = 0; j < width; ++j) {
                if (j > 0) {
                    text.out.push_back(',');
                }
                text.str(PyList_GET_ITEM(cols.ptr(), j));
            }
            text.end_row(0, width);
        }
        format_rows(false, nullptr);
    } catch (const Changed &) {
        raise_row_changed();
    }

    const bool checkable = file_.checkable();
    File file(g_, path_, append ? "a" : "w");
    struct stat st;
    if (!append) {  // the file this export made: the one its header write opened
        file_.note_made_here(file.stat(st, false) ? &st : nullptr);
    }
    // The file opened is the one the checks saw.
    if (append && file_.known() && (!file.stat(st, false) || !file_.is_last(st))) {
        file.close();
        file_.raise_changed();
    }
    try {
        file.write(text.out.data(), text.out.size());
        text.out.clear();
        format_rows(Source::can_change, &file);
        file.write(text.out.data(), text.out.size());
        text.out.clear();
    } catch (const std::bad_alloc &) {
        file.close();
        throw;
    } catch (const Changed &) {
        file.close();
        raise_row_changed();
    }
    // The file as this block left it, seen through the descriptor written to.
    file_.forget();
    if (checkable && file.stat(st, true)) {
        file_.remember(st);
    }
    file.close();
    return true;
}

}  // namespace sadrel
