// What pandas writes for a block of rows, found without pandas.
//
// `pandas.DataFrame(data=datas, columns=cols)` infers one dtype per column
// from all its values, and `to_csv(path, index=None, ...)` formats each dtype
// in its own way before Python's csv module quotes the fields. For the
// values a row of either route holds (None, bool, int, float, str), that
// comes down to these rules, which tests/test_block_writer.py checks against
// pandas itself on generated blocks:
//
//   - None, and a float NaN, print nothing; a bool prints True or False; a
//     float prints as repr() does (inf, -0.0 and 5e-324 included); a str
//     prints as it is;
//   - an int prints as str() does, except in a column that holds no str and
//     no bool but a float or a None: pandas makes that column float64, and
//     the int prints as repr(float(int));
//   - a field with a comma, a double quote or a line feed is quoted, its
//     quotes doubled (a carriage return and NUL as the csv module of the
//     interpreter does it, asked once per export); a row of one empty field
//     is written `""`; every row ends with "\n";
//   - the file is opened as pandas opens a path: open(path, mode,
//     encoding="utf-8", errors="strict", newline="").
//
// Everything else goes to pandas: ints outside int64, other types, rows of
// another width, strings UTF-8 cannot encode, names that are no str, paths
// pandas would compress or resolve, other pandas or numpy releases, options
// that change the result, and any of pandas' objects on the way replaced.
#include "csvblock.h"

#include "fastjson.h"
#include "guards.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace pybind11::literals;

namespace sadrel {
namespace {

/// The pandas and numpy releases whose output the differential test
/// compares with this writer (constraints/py*.txt).
struct Release {
    const char *pandas;
    const char *numpy;
};
constexpr Release kReleases[] = {
    {"2.0.3", "1.24.4"}, {"2.3.3", "2.0.2"}, {"2.3.3", "2.2.6"}, {"2.3.3", "2.4.6"}, {"2.3.3", "2.5.5"},
};

/// What a checked object must be when first seen.
enum class Kind {
    module,    // a module
    type,      // a class defined in pandas
    function,  // a Python function whose code lies in pandas' package
    native,    // a C or Cython function
    isna,      // a function, or (once the option changed) partial(function, inf_as_na=False)
    property,  // a property whose getter is such a function
    any,       // anything, compared by identity only
};

/// The objects that decide what `pandas.DataFrame(data=rows, columns=cols)`
/// holds and what its `to_csv` writes, each reached from a module of
/// sys.modules through attributes. Each must stay the object seen first;
/// one that a release lacks (`optional`) must stay missing.
struct Entry {
    const char *module;
    const char *attrs[3];
    Kind kind;
    bool optional = false;
};
constexpr Entry kEntries[] = {
    {"numpy", {}, Kind::module},
    {"pandas", {"DataFrame"}, Kind::type},
    {"pandas.core.frame", {"DataFrame"}, Kind::type},
    {"pandas.core.frame", {"DataFrame", "__init__"}, Kind::function},
    {"pandas.core.frame", {"DataFrame", "to_csv"}, Kind::function},
    {"pandas.core.frame", {"nested_data_to_arrays"}, Kind::function},
    {"pandas.core.internals.construction", {"to_arrays"}, Kind::function},
    {"pandas.core.internals.construction", {"_list_to_arrays"}, Kind::function},
    {"pandas.core.internals.construction", {"_finalize_columns_and_data"}, Kind::function},
    {"pandas.core.internals.construction", {"convert_object_array"}, Kind::function},
    {"pandas.core.internals.construction", {"maybe_infer_to_datetimelike"}, Kind::function},
    {"pandas.core.internals.construction", {"lib", "maybe_convert_objects"}, Kind::native},
    {"pandas.core.internals.construction", {"lib", "to_object_array"}, Kind::native},
    {"pandas.core.internals.construction", {"lib", "to_object_array_tuples"}, Kind::native},
    {"pandas.core.dtypes.missing", {"_isna"}, Kind::isna},
    {"pandas.io.formats.format", {"DataFrameFormatter"}, Kind::type},
    {"pandas.io.formats.format", {"DataFrameRenderer", "to_csv"}, Kind::function},
    {"pandas.io.formats.csvs", {"CSVFormatter"}, Kind::type},
    {"pandas.io.formats.csvs", {"CSVFormatter", "save"}, Kind::function},
    {"pandas.io.formats.csvs", {"CSVFormatter", "_save"}, Kind::function},
    {"pandas.io.formats.csvs", {"CSVFormatter", "_save_body"}, Kind::function},
    {"pandas.io.formats.csvs", {"CSVFormatter", "encoded_labels"}, Kind::property},
    {"pandas.io.formats.csvs", {"CSVFormatter", "_number_format"}, Kind::property},
    {"pandas.io.formats.csvs", {"CSVFormatter", "_save_header"}, Kind::function},
    {"pandas.io.formats.csvs", {"CSVFormatter", "_save_chunk"}, Kind::function},
    {"pandas.io.formats.csvs", {"get_handle"}, Kind::function},
    {"pandas.io.formats.csvs", {"csvlib"}, Kind::module},
    {"pandas.io.formats.csvs", {"csvlib", "writer"}, Kind::native},
    {"pandas.io.formats.csvs", {"libwriters", "write_csv_rows"}, Kind::native},
    {"pandas.io.common", {"get_handle"}, Kind::function},
    {"pandas.io.common", {"infer_compression"}, Kind::function},
    {"pandas.io.common", {"get_compression_method"}, Kind::function},
    {"pandas.io.common", {"check_parent_directory"}, Kind::function},
    {"pandas.io.common", {"extension_to_compression"}, Kind::any},  // its items: see Snapshot
    // The values of a block as text: pandas 2.3, then pandas 2.0.
    {"pandas.core.frame", {"DataFrame", "_get_values_for_csv"}, Kind::function, true},
    {"pandas.core.internals.blocks", {"get_values_for_csv"}, Kind::function, true},
    {"pandas.core.internals.managers", {"BlockManager", "to_native_types"}, Kind::function, true},
    {"pandas.core.internals.blocks", {"Block", "to_native_types"}, Kind::function, true},
    {"pandas.core.internals.blocks", {"to_native_types"}, Kind::function, true},
    {"numpy", {"get_printoptions"}, Kind::any},
    {"pandas._config.config", {"_global_config"}, Kind::any},
    {"io", {"open"}, Kind::native},
};
constexpr std::size_t kNumEntries = sizeof(kEntries) / sizeof(kEntries[0]);

/// The entries the checks below read.
constexpr std::size_t kOpen = kNumEntries - 1;
constexpr std::size_t kConfig = kNumEntries - 2;
constexpr std::size_t kPrintOptions = kNumEntries - 3;
/// `a == b` for C strings, at compile time (std::strcmp is not constexpr everywhere).
constexpr bool same_text(const char *a, const char *b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}
constexpr std::size_t kCompressions = [] {
    std::size_t k = 0;
    while (!same_text(kEntries[k].module, "pandas.io.common") ||
           !same_text(kEntries[k].attrs[0], "extension_to_compression")) {
        ++k;
    }
    return k;
}();

/// Blocks are handed to the file in pieces of about this size.
constexpr std::size_t kPiece = 1 << 20;

/// Clears an AttributeError (a missing attribute) and raises anything else,
/// such as an interrupt or a MemoryError from a property.
void clear_attribute_error() {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw py::error_already_set();
    }
    PyErr_Clear();
}

/// `entry` resolved now, or an empty object when any step is missing.
py::object resolve(const Entry &entry) {
    PyObject *module = loaded(entry.module);
    if (module == nullptr) {
        return py::object();
    }
    py::object value = py::reinterpret_borrow<py::object>(module);
    for (const char *attr : entry.attrs) {
        if (attr == nullptr) {
            break;
        }
        PyObject *next = PyObject_GetAttr(value.ptr(), kvrt::intern(attr));
        if (next == nullptr) {
            clear_attribute_error();
            return py::object();
        }
        value = py::reinterpret_steal<py::object>(next);
    }
    return value;
}

bool str_equals(py::handle value, const char *text) {
    return value && PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

bool starts_with(py::handle value, py::handle prefix) {
    if (!value || !PyUnicode_Check(value.ptr())) {
        return false;
    }
    Py_ssize_t n = PyUnicode_Tailmatch(value.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (n < 0) {
        PyErr_Clear();
        return false;
    }
    return n == 1;
}

/// Whether `value` is what `kind` asks for, as pandas itself made it.
bool genuine(py::handle value, Kind kind, py::handle pandas_dir) {
    switch (kind) {
    case Kind::module:
        return PyModule_Check(value.ptr());
    case Kind::type:
        return PyType_Check(value.ptr()) && starts_with(attr_or_empty(value, "__module__"), py::str("pandas."));
    case Kind::function: {
        if (!PyFunction_Check(value.ptr())) {
            return false;
        }
        py::object code = attr_or_empty(value, "__code__");
        return code && starts_with(attr_or_empty(code, "co_filename"), pandas_dir);
    }
    case Kind::native:
        return PyCFunction_Check(value.ptr()) ||
               std::strstr(Py_TYPE(value.ptr())->tp_name, "cython_function_or_method") != nullptr;
    case Kind::isna: {
        if (genuine(value, Kind::function, pandas_dir)) {
            return true;
        }
        // pandas' own callback of mode.use_inf_as_na, back at the default.
        if (std::strcmp(Py_TYPE(value.ptr())->tp_name, "functools.partial") != 0) {
            return false;
        }
        py::object func = attr_or_empty(value, "func");
        py::object args = attr_or_empty(value, "args");
        py::object keywords = attr_or_empty(value, "keywords");
        if (!func || !genuine(func, Kind::function, pandas_dir) || !args || !PyTuple_CheckExact(args.ptr()) ||
            PyTuple_GET_SIZE(args.ptr()) != 0 || !keywords || !PyDict_CheckExact(keywords.ptr()) ||
            PyDict_Size(keywords.ptr()) != 1) {
            return false;
        }
        return PyDict_GetItemString(keywords.ptr(), "inf_as_na") == Py_False;
    }
    case Kind::property: {
        if (Py_TYPE(value.ptr()) != &PyProperty_Type) {
            return false;
        }
        py::object getter = attr_or_empty(value, "fget");
        return getter && genuine(getter, Kind::function, pandas_dir);
    }
    case Kind::any:
        return true;
    }
    return false;
}

/// How the csv module of this interpreter writes a field holding `text`
/// (as pandas' writer is set up): 1 quoted, 0 as it is, -1 otherwise.
int csv_quotes(py::handle csvlib, const char *text, Py_ssize_t size) {
    try {
        py::object buffer = py::module_::import("io").attr("StringIO")();
        py::object writer = csvlib.attr("writer")(buffer, "lineterminator"_a = "\n");
        py::str field(text, static_cast<std::size_t>(size));
        writer.attr("writerow")(py::make_tuple(field, "x"));
        py::object written = buffer.attr("getvalue")();
        if (kvrt::eq(written, field + py::str(",x\n"))) {
            return 0;
        }
        py::object doubled = field.attr("replace")("\"", "\"\"");
        if (kvrt::eq(written, py::str("\"") + doubled + py::str("\",x\n"))) {
            return 1;
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
    }
    return -1;
}

}  // namespace

/// What pandas and its surroundings were at the export's first block.
struct BlockWriter::Snapshot {
    bool usable = false;
    py::object pandas;              // the global `pandas`
    py::object objects[kNumEntries];
    py::object compressions;        // a copy of io.common.extension_to_compression
    bool quote_cr = false;          // the csv module quotes a field with "\r"
    int nul = -1;                   // ... with NUL: 1 quoted, 0 not, -1 not known
    std::vector<ClassSeen> classes; // pandas' classes on the way, whole
    std::vector<ModuleSeen> modules;
};

namespace {

/// The pandas classes whose every method, property and class attribute
/// decides the frame or its text, and the modules whose globals do.
constexpr const char *kClasses[][2] = {
    {"pandas.core.frame", "DataFrame"},
    {"pandas.io.formats.format", "DataFrameFormatter"},
    {"pandas.io.formats.format", "DataFrameRenderer"},
    {"pandas.io.formats.csvs", "CSVFormatter"},
};
constexpr const char *kModules[] = {
    "os", "csv", "pandas.io.formats.csvs", "pandas.io.formats.format", "pandas.io.common",
};

/// Every function reachable from `value` (itself, a staticmethod's,
/// classmethod's or property's, a descriptor's `func`) is pandas' own.
bool pandas_made(py::handle value, py::handle pandas_dir) {
    if (PyFunction_Check(value.ptr())) {
        return genuine(value, Kind::function, pandas_dir);
    }
    PyTypeObject *type = Py_TYPE(value.ptr());
    if (type == &PyStaticMethod_Type || type == &PyClassMethod_Type) {
        py::object func = attr_or_empty(value, "__func__");
        return func && pandas_made(func, pandas_dir);
    }
    if (type == &PyProperty_Type) {
        for (const char *part : {"fget", "fset", "fdel"}) {
            py::object func = attr_or_empty(value, part);
            if (func && !func.is_none() && !pandas_made(func, pandas_dir)) {
                return false;
            }
        }
        return true;
    }
    // pandas' own descriptors (cache_readonly and the like) hold a function.
    if (!PyType_Check(value.ptr()) && starts_with(attr_or_empty(py::handle(reinterpret_cast<PyObject *>(type)),
                                                                "__module__"),
                                                   py::str("pandas."))) {
        py::object func = attr_or_empty(value, "func");
        return !func || !PyFunction_Check(func.ptr()) || pandas_made(func, pandas_dir);
    }
    return true;
}

/// A class of pandas whose own entries, and those of its bases from
/// pandas, are all made by pandas: no function wrapped or put in from
/// outside.
bool pandas_class(py::handle cls, py::handle pandas_dir) {
    PyObject *mro = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_mro;
    for (Py_ssize_t k = 0; mro != nullptr && k < PyTuple_GET_SIZE(mro); ++k) {
        PyObject *base = PyTuple_GET_ITEM(mro, k);
        if (!starts_with(attr_or_empty(base, "__module__"), py::str("pandas."))) {
            continue;
        }
        PyObject *dict = reinterpret_cast<PyTypeObject *>(base)->tp_dict;
        PyObject *key;
        PyObject *value;
        Py_ssize_t pos = 0;
        py::object copy = py::reinterpret_steal<py::object>(PyDict_Copy(dict));
        if (!copy) {
            throw py::error_already_set();
        }
        while (PyDict_Next(copy.ptr(), &pos, &key, &value)) {
            if (!pandas_made(value, pandas_dir)) {
                return false;
            }
        }
    }
    return true;
}

/// The csv module's constants and functions are those of its C part, and
/// os.linesep is the platform's own.
bool stdlib_text_settings() {
    PyObject *csv = loaded("csv");
    PyObject *c_csv = loaded("_csv");
    PyObject *os = loaded("os");
    if (csv == nullptr || c_csv == nullptr || os == nullptr || !PyModule_Check(csv) || !PyModule_Check(c_csv)) {
        return false;
    }
    PyObject *ours = PyModule_GetDict(csv);
    PyObject *key;
    PyObject *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(PyModule_GetDict(c_csv), &pos, &key, &value)) {
        if (PyUnicode_Check(key) && PyUnicode_READ_CHAR(key, 0) == '_') {
            continue;
        }
        PyObject *now = PyDict_GetItemWithError(ours, key);
        if (now == nullptr && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        // (csv.Dialect is a class of its own, over _csv.Dialect)
        if (now != nullptr && now != value && !(PyType_Check(now) && PyType_Check(value))) {
            return false;
        }
    }
    py::object linesep = attr_or_empty(py::handle(os), "linesep");
    return str_equals(linesep, "\n") && PyUnicode_GET_LENGTH(linesep.ptr()) == 1;
}

/// Checks pandas, numpy and the csv module at the first block of an export.
void take_snapshot(const kvrt::Globals &g, BlockWriter::Snapshot &s) {
    s.pandas = g["pandas"];
    PyObject *pandas = loaded("pandas");
    if (pandas == nullptr || pandas != s.pandas.ptr()) {
        return;
    }
    PyObject *numpy = loaded("numpy");
    if (numpy == nullptr) {
        return;
    }
    py::object pandas_version = attr_or_empty(s.pandas, "__version__");
    py::object numpy_version = attr_or_empty(py::handle(numpy), "__version__");
    bool covered = false;
    for (const Release &release : kReleases) {
        covered = covered || (str_equals(pandas_version, release.pandas) && str_equals(numpy_version, release.numpy));
    }
    if (!covered) {
        return;
    }
    // The modules the entries start from, as to_csv would import them.
    for (const char *name : {"pandas.io.formats.format", "pandas.io.formats.csvs", "pandas.io.common",
                             "pandas.core.internals.construction", "pandas.core.internals.blocks",
                             "pandas.core.internals.managers", "pandas.core.dtypes.missing",
                             "pandas._config.config", "io"}) {
        if (loaded(name) == nullptr) {
            py::module_::import(name);
        }
    }
    py::object file = attr_or_empty(s.pandas, "__file__");
    if (!file) {
        return;
    }
    py::object pandas_dir = g["os"].attr("path").attr("dirname")(file) + py::str("/");
    for (std::size_t k = 0; k < kNumEntries; ++k) {
        s.objects[k] = resolve(kEntries[k]);
        if (!s.objects[k] ? !kEntries[k].optional : !genuine(s.objects[k], kEntries[k].kind, pandas_dir)) {
            return;
        }
    }
    // The suffixes from which pandas infers a compression: str to str.
    PyObject *compressions = s.objects[kCompressions].ptr();
    if (!PyDict_CheckExact(compressions)) {
        return;
    }
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(compressions, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || !PyUnicode_CheckExact(value)) {
            return;
        }
    }
    s.compressions = py::reinterpret_steal<py::object>(PyDict_Copy(compressions));
    if (!s.compressions) {
        throw py::error_already_set();
    }
    py::object csvlib = resolve({"pandas.io.formats.csvs", {"csvlib"}, Kind::module});
    if (csv_quotes(csvlib, "", 0) != 0 || csv_quotes(csvlib, "a,b", 3) != 1 ||
        csv_quotes(csvlib, "a\"b", 3) != 1 || csv_quotes(csvlib, "a\nb", 3) != 1 ||
        csv_quotes(csvlib, "a\tb", 3) != 0) {
        return;
    }
    int cr = csv_quotes(csvlib, "a\rb", 3);
    if (cr < 0) {
        return;
    }
    s.quote_cr = cr == 1;
    s.nul = csv_quotes(csvlib, "a\0b", 3);
    if (!stdlib_text_settings()) {
        return;
    }
    for (const auto &name : kClasses) {
        PyObject *module = loaded(name[0]);
        py::object cls = module != nullptr ? attr_or_empty(py::handle(module), name[1]) : py::object();
        ClassSeen seen;
        if (!cls || !PyType_Check(cls.ptr()) || !pandas_class(cls, pandas_dir) || !seen.take(cls)) {
            return;
        }
        s.classes.push_back(std::move(seen));
    }
    for (const char *name : kModules) {
        ModuleSeen seen;
        if (!seen.take(py::handle(loaded(name)))) {
            return;
        }
        s.modules.push_back(std::move(seen));
    }
    s.usable = true;
}

/// pandas' options that change the inferred types or the text are at their
/// defaults: mode.use_inf_as_na, mode.data_manager, future.infer_string
/// (display options do not reach to_csv).
bool options_at_defaults(py::handle config) {
    if (!PyDict_CheckExact(config.ptr())) {
        return false;
    }
    PyObject *mode = PyDict_GetItemString(config.ptr(), "mode");
    if (mode == nullptr || !PyDict_CheckExact(mode)) {
        return false;
    }
    if (PyDict_GetItemString(mode, "use_inf_as_na") != Py_False) {
        return false;
    }
    PyObject *manager = PyDict_GetItemString(mode, "data_manager");
    if (manager != nullptr && !str_equals(manager, "block")) {
        return false;
    }
    PyObject *future = PyDict_GetItemString(config.ptr(), "future");
    if (future != nullptr) {
        if (!PyDict_CheckExact(future)) {
            return false;
        }
        PyObject *infer_string = PyDict_GetItemString(future, "infer_string");
        if (infer_string != nullptr && infer_string != Py_False) {
            return false;
        }
    }
    return true;
}

// ---- the text --------------------------------------------------------------------

using fastjson::Tag;

/// What each column's values make pandas print.
struct Column {
    bool str = false;
    bool boolean = false;
    bool number_or_null = false;  // a float (NaN included) or a None
    /// The rule for one value of the column, of whichever form.
    void note(Tag tag) {
        switch (tag) {
        case Tag::null:
        case Tag::real:
        case Tag::decimal: number_or_null = true; break;
        case Tag::text: str = true; break;
        case Tag::no:
        case Tag::yes: boolean = true; break;
        case Tag::integer: break;
        }
    }
    bool operator==(const Column &o) const {
        return str == o.str && boolean == o.boolean && number_or_null == o.number_or_null;
    }
    /// Ints print as floats: the column became float64.
    bool ints_as_floats() const { return !str && !boolean && number_or_null; }
};

/// Whether the str `s` can be written: ready, free of lone surrogates.
bool encodable(PyObject *s) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) {
        PyErr_Clear();
        return false;
    }
#endif
    const int kind = PyUnicode_KIND(s);
    if (kind == PyUnicode_1BYTE_KIND) {
        return true;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void *data = PyUnicode_DATA(s);
    for (Py_ssize_t k = 0; k < n; ++k) {
        Py_UCS4 c = PyUnicode_READ(kind, data, k);
        if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

/// Whether `value` may stand in a block, noting what it tells of its column.
bool classify(PyObject *value, Column &column, int nul) {
    if (value == Py_None) {
        column.note(Tag::null);
        return true;
    }
    PyTypeObject *type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        column.note(Tag::text);
        if (nul < 0 && PyUnicode_FindChar(value, 0, 0, PY_SSIZE_T_MAX, 1) != -1) {
            PyErr_Clear();
            return false;
        }
        return encodable(value);
    }
    if (type == &PyFloat_Type) {
        column.note(Tag::real);
        return true;
    }
    if (type == &PyBool_Type) {
        column.note(Tag::yes);
        return true;
    }
    if (type == &PyLong_Type) {
        column.note(Tag::integer);
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(value, &overflow);
        return overflow == 0;
    }
    return false;
}

/// The same for a value of the native row parser: a text that UTF-8 already
/// holds; its NUL characters only where the csv module's way with them is known.
bool classify(const fastjson::Value &value, Column &column, int nul) {
    column.note(value.tag);
    return value.tag != Tag::text || !value.nul || nul >= 0;
}

/// A row changed between the check of a block and its text: only code run
/// meanwhile (a finalizer, another thread while the file is written) can do that.
struct Changed {};

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
        bool quote = false;
        const unsigned char *bytes = reinterpret_cast<const unsigned char *>(data);
        for (std::size_t k = 0; k < size && !quote; ++k) {
            quote = bytes[k] < 0x80 && special_[bytes[k]];
        }
        if (!quote) {
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
            for (Py_ssize_t k = 0; k < n && !quote; ++k) {
                quote = special_[bytes[k]];
            }
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
            if (c < 0x80) {
                if (c == '"') {
                    out.push_back('"');
                }
                out.push_back(static_cast<char>(c));
            } else if (c < 0x800) {
                out.push_back(static_cast<char>(0xC0 | (c >> 6)));
                out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            } else if (c < 0x10000) {
                out.push_back(static_cast<char>(0xE0 | (c >> 12)));
                out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            } else {
                out.push_back(static_cast<char>(0xF0 | (c >> 18)));
                out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            }
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
    bool special_[256] = {};
};

/// `with open(path, mode, encoding="utf-8", errors="strict", newline="") as f:`
/// and the text written through it: the file object's encoding of the text
/// is UTF-8 without translation, so its bytes go to its buffer as they are.
class File {
public:
    File(const kvrt::Globals &g, py::handle path, const char *mode) {
        file_ = g["open"](path, mode, "encoding"_a = "utf-8", "errors"_a = "strict", "newline"_a = "");
        try {
            write_ = file_.attr("buffer").attr("write");
        } catch (py::error_already_set &e) {
            kvrt::Handling handling(e);
            file_.attr("close")();
            throw;
        }
    }

    void write(Buffer &text) {
        if (text.empty()) {
            return;
        }
        closing_on_error([&] { write_(py::bytes(text.data(), text.size())); });
        text.clear();
    }

    /// fstat() of the open file, after flushing what was written: false
    /// when the file has no descriptor or fstat fails.
    bool stat(struct stat &st, bool flush) {
        int fd = -1;
        closing_on_error([&] {
            if (flush) {
                file_.attr("flush")();
            }
            py::object fileno = file_.attr("fileno")();
            fd = PyLong_Check(fileno.ptr()) ? static_cast<int>(PyLong_AsLong(fileno.ptr())) : -1;
            if (PyErr_Occurred()) {
                throw py::error_already_set();
            }
        });
        return fd >= 0 && ::fstat(fd, &st) == 0;
    }

    void close() { file_.attr("close")(); }

private:
    template <class F>
    void closing_on_error(F step) {
        try {
            step();
        } catch (py::error_already_set &e) {
            kvrt::Handling handling(e);
            file_.attr("close")();
            throw;
        }
    }

    py::object file_;
    py::object write_;
};

}  // namespace

BlockWriter::BlockWriter(const kvrt::Globals &g, const kvrt::FunctionDef &own, py::handle self, py::handle path)
    : g_(g), own_def_(own), self_(self), path_(path) {}

BlockWriter::~BlockWriter() {
    delete snapshot_;
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

/// `self.g_to_csv_notmp` is the module's own method, bound to `self`, with
/// its own defaults (compression=None).
bool BlockWriter::resolve_own() {
    PyObject *bound = PyObject_GetAttr(self_.ptr(), kvrt::intern("g_to_csv_notmp"));
    if (bound == nullptr) {
        clear_attribute_error();  // the plain call meets the same error
        return false;
    }
    py::object method = py::reinterpret_steal<py::object>(bound);
    if (!PyMethod_Check(bound) || PyMethod_GET_SELF(bound) != self_.ptr() ||
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

/// The file is still what the last block left: an append would otherwise
/// re-create a deleted file or write after a cut, and the export would pass
/// for complete.
void BlockWriter::check_unchanged() {
    if (!known_) {
        return;
    }
    struct stat st;
    if (::stat(fs_path_.c_str(), &st) != 0 || st.st_dev != dev_ || st.st_ino != ino_ || st.st_size != size_) {
        raise_changed();
    }
}

void BlockWriter::raise_changed() {
    known_ = false;
    kvrt::raise(g_["OSError"](
        py::str("export file {!r} was deleted, replaced or changed by something else while it was written")
            .format(path_)));
}

/// Whether the path names a file to check: encodes it on the first call.
bool BlockWriter::path_known() {
    if (fs_path_.empty()) {
        try {
            py::bytes encoded = g_["os"].attr("fsencode")(path_);
            fs_path_ = std::string(encoded);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
            fs_path_ = std::string(1, '\0');  // no path of the file system: nothing to check
        }
        if (fs_path_.empty() || fs_path_.find('\0') != std::string::npos) {
            fs_path_ = std::string(1, '\0');
        }
    }
    return fs_path_[0] != '\0';
}

void BlockWriter::remember() {
    known_ = false;
    struct stat st;
    if (!path_known() || ::stat(fs_path_.c_str(), &st) != 0) {
        return;
    }
    remember(st);
}

/// Remembers `st`, the file at the path, and keeps it open for reading: as
/// long as this export holds it, a file made in its place gets another
/// inode, even where the file system hands out freed inodes at once. Only a
/// regular file has a size to check (not /dev/null, say).
void BlockWriter::remember(const struct stat &st) {
    if (!S_ISREG(st.st_mode)) {
        return;
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    size_ = st.st_size;
    known_ = true;
    struct stat held;
    if (fd_ >= 0) {
        if (::fstat(fd_, &held) == 0 && held.st_dev == dev_ && held.st_ino == ino_) {
            return;
        }
        ::close(fd_);
        fd_ = -1;
    }
    int fd = ::open(fs_path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (::fstat(fd, &held) != 0 || held.st_dev != dev_ || held.st_ino != ino_) {
        ::close(fd);
        return;
    }
    fd_ = fd;
}

/// Between the check and pandas' own open the file may have gone: the block
/// must have been written into the very file that the last block left. Where
/// pandas writes the path as plain text, a block with rows grows it (a block
/// without rows, as a block_size of 0 makes, writes nothing); a compressed or
/// archived file need not grow with each block (a tar appends inside its
/// record padding), so there only the device and inode are checked.
void BlockWriter::written() {
    if (!own_) {
        known_ = false;
        return;
    }
    if (append_ && known_) {
        struct stat st;
        if (::stat(fs_path_.c_str(), &st) != 0 || st.st_dev != dev_ || st.st_ino != ino_ ||
            (path_plain() && (rows_ != 0 ? st.st_size <= size_ : st.st_size < size_))) {
            note_recreated();
            raise_changed();
        }
    }
    remember();
}

void BlockWriter::take_back(off_t size) {
    if (!known_) {
        return;
    }
    known_ = false;
    struct stat st;
    if (::lstat(fs_path_.c_str(), &st) != 0 || st.st_dev != dev_ || st.st_ino != ino_ || st.st_size != size_) {
        return;
    }
    if (size < 0) {
        ::unlink(fs_path_.c_str());
        return;
    }
    int fd = ::open(fs_path_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (::fstat(fd, &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_ && ::ftruncate(fd, size) == 0) {
        size_ = size;
        known_ = true;
    }
    ::close(fd);
}

bool BlockWriter::made(dev_t &dev, ino_t &ino) const {
    dev = made_dev_;
    ino = made_ino_;
    return made_;
}

/// The plain calls' append found the file gone and made a new one: the
/// block went there, not into the file last left, which this export still
/// holds open and which kept its size. That new file is this export's too.
void BlockWriter::note_recreated() {
    struct stat held;
    struct stat st;
    if (rows_ != 0 && fd_ >= 0 && ::fstat(fd_, &held) == 0 && held.st_size == size_ && held.st_nlink == 0 &&
        ::lstat(fs_path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_dev != dev_ || st.st_ino != ino_)) {
        made_ = true;
        made_dev_ = st.st_dev;
        made_ino_ = st.st_ino;
    }
}

void BlockWriter::note_made(bool was_free) {
    struct stat st;
    made_ = (own_ || was_free) && path_known() && ::lstat(fs_path_.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (made_) {
        made_dev_ = st.st_dev;
        made_ino_ = st.st_ino;
    }
}

/// pandas, its objects and options are as at the first block.
bool BlockWriter::guards_hold() {
    if (snapshot_ == nullptr) {
        snapshot_ = new Snapshot();
        take_snapshot(g_, *snapshot_);
    }
    Snapshot &s = *snapshot_;
    if (!s.usable) {
        return false;
    }
    py::object pandas = g_["pandas"];
    if (pandas.ptr() != s.pandas.ptr() || loaded("pandas") != pandas.ptr()) {
        return false;
    }
    for (const ClassSeen &seen : s.classes) {
        if (!seen.same()) {
            return false;
        }
    }
    for (const ModuleSeen &seen : s.modules) {
        if (!seen.same()) {
            return false;
        }
    }
    for (std::size_t k = 0; k < kNumEntries; ++k) {
        if (resolve(kEntries[k]).ptr() != s.objects[k].ptr()) {
            return false;
        }
    }
    // `open` is the builtin for this module and for pandas' io.common.
    if (g_["open"].ptr() != s.objects[kOpen].ptr()) {
        return false;
    }
    PyObject *common = loaded("pandas.io.common");
    if (common == nullptr || PyDict_GetItemString(PyModule_GetDict(common), "open") != nullptr) {
        return false;
    }
    if (!options_at_defaults(s.objects[kConfig])) {
        return false;
    }
    // The suffixes that path_allowed() read.
    int same = PyObject_RichCompareBool(s.objects[kCompressions].ptr(), s.compressions.ptr(), Py_EQ);
    if (same < 0) {
        throw py::error_already_set();
    }
    if (same == 0) {
        return false;
    }
    // numpy's legacy printing (legacy="1.13") changes how float64 columns print.
    py::object printoptions = s.objects[kPrintOptions]();
    return PyDict_Check(printoptions.ptr()) && PyDict_GetItemString(printoptions.ptr(), "legacy") == Py_False;
}

/// A str path that pandas opens as it is: no compression inferred from its
/// suffix, no URL, no "~" to expand. Decided once, from the suffixes that
/// pandas knew at the export's first block.
bool BlockWriter::path_plain() {
    if (path_state_ == 0) {
        path_state_ = -1;
        py::object compressions = snapshot_ != nullptr ? snapshot_->compressions : py::object();
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
        path_state_ = 1;
    }
    return path_state_ > 0;
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

/// What both forms of a block check first: `g_to_csv_notmp` is the
/// module's own, an append finds the file the last block left, the guards
/// and the path hold, and the names are a list of str of known output.
/// Returns the width, or 0 where the block is the plain calls'.
Py_ssize_t BlockWriter::begin(py::handle cols, Py_ssize_t rows, bool append) {
    own_ = resolve_own();
    append_ = append;
    rows_ = rows;
    if (!own_) {
        known_ = false;
        return 0;
    }
    if (append) {
        check_unchanged();
    }
    if (!guards_hold() || !path_allowed() || !PyList_CheckExact(cols.ptr())) {
        return 0;
    }
    const Py_ssize_t width = PyList_GET_SIZE(cols.ptr());
    Column header;
    for (Py_ssize_t j = 0; j < width; ++j) {
        PyObject *name = PyList_GET_ITEM(cols.ptr(), j);
        if (!PyUnicode_CheckExact(name) || !classify(name, header, snapshot_->nul)) {
            return 0;
        }
    }
    return width;
}

bool BlockWriter::write(py::handle cols, const fastjson::Rows &rows, bool append) {
    const Py_ssize_t width = begin(cols, static_cast<Py_ssize_t>(rows.count()), append);
    if (width == 0) {
        return false;
    }
    const Snapshot &s = *snapshot_;
    const std::size_t nrows = rows.count();
    if (append && nrows == 0) {
        return false;
    }
    std::vector<Column> columns(static_cast<std::size_t>(width));
    for (std::size_t i = 0; i < nrows; ++i) {
        std::size_t n = 0;
        const fastjson::Value *values = rows.row(i, &n);
        if (n != static_cast<std::size_t>(width)) {
            return false;
        }
        for (std::size_t j = 0; j < n; ++j) {
            if (!classify(values[j], columns[j], s.nul)) {
                return false;
            }
        }
    }
    std::vector<char> as_float(static_cast<std::size_t>(width));
    for (Py_ssize_t j = 0; j < width; ++j) {
        as_float[j] = columns[j].ints_as_floats();
    }

    Text text(s.quote_cr, s.nul == 1);
    if (!append) {
        for (Py_ssize_t j = 0; j < width; ++j) {
            if (j > 0) {
                text.out.push_back(',');
            }
            text.str(PyList_GET_ITEM(cols.ptr(), j));
        }
        text.end_row(0, width);
    }
    const bool checkable = path_known();
    File file(g_, path_, append ? "a" : "w");
    struct stat st;
    // The file opened is the one the checks saw.
    if (append && known_ && (!file.stat(st, false) || st.st_dev != dev_ || st.st_ino != ino_ || st.st_size != size_)) {
        file.close();
        raise_changed();
    }
    try {
        for (std::size_t i = 0; i < nrows; ++i) {
            std::size_t n = 0;
            const fastjson::Value *values = rows.row(i, &n);
            std::size_t start = text.out.size();
            for (std::size_t j = 0; j < n; ++j) {
                if (j > 0) {
                    text.out.push_back(',');
                }
                text.field(values[j], rows, as_float[j]);
            }
            text.end_row(start, width);
            if (text.out.size() >= kPiece) {
                file.write(text.out);
            }
        }
        file.write(text.out);
    } catch (const std::bad_alloc &) {
        file.close();
        throw;
    }
    known_ = false;
    if (checkable && file.stat(st, true)) {
        remember(st);
    }
    file.close();
    return true;
}

bool BlockWriter::may_write() {
    return resolve_own() && guards_hold() && path_allowed();
}

bool BlockWriter::write(py::handle cols, py::handle datas, bool append) {
    const Py_ssize_t width = begin(cols, PyList_Check(datas.ptr()) ? PyList_GET_SIZE(datas.ptr()) : -1, append);
    if (width == 0) {
        return false;
    }
    const Snapshot &s = *snapshot_;
    // The rows: lists of that width, of values whose output is known.
    if (!PyList_CheckExact(datas.ptr())) {
        return false;
    }
    const Py_ssize_t nrows = PyList_GET_SIZE(datas.ptr());
    if (append && nrows == 0) {
        return false;
    }
    // All lists (the OpenAPI route) or all tuples (pyhive's rows).
    PyTypeObject *row_type = nrows > 0 ? Py_TYPE(PyList_GET_ITEM(datas.ptr(), 0)) : &PyList_Type;
    if (row_type != &PyList_Type && row_type != &PyTuple_Type) {
        return false;
    }
    std::vector<Column> columns(static_cast<std::size_t>(width));
    for (Py_ssize_t i = 0; i < nrows; ++i) {
        PyObject *row = PyList_GET_ITEM(datas.ptr(), i);
        if (Py_TYPE(row) != row_type || PySequence_Fast_GET_SIZE(row) != width) {
            return false;
        }
        PyObject **values = PySequence_Fast_ITEMS(row);
        for (Py_ssize_t j = 0; j < width; ++j) {
            if (!classify(values[j], columns[j], s.nul)) {
                return false;
            }
        }
    }
    std::vector<char> as_float(static_cast<std::size_t>(width));
    for (Py_ssize_t j = 0; j < width; ++j) {
        as_float[j] = columns[j].ints_as_floats();
    }

    // The text, the first piece of it before any Python code runs (open()
    // does, and each write may let other threads run): the values of the
    // rows formatted later are checked again as they are formatted.
    Text text(s.quote_cr, s.nul == 1);
    Py_ssize_t i = 0;
    auto format_rows = [&](bool recheck, File *file) {
        std::vector<Column> seen(columns);
        for (; i < nrows; ++i) {
            if (PyList_GET_SIZE(datas.ptr()) != nrows) {
                throw Changed();
            }
            PyObject *row = PyList_GET_ITEM(datas.ptr(), i);
            if (Py_TYPE(row) != row_type || PySequence_Fast_GET_SIZE(row) != width) {
                throw Changed();
            }
            PyObject **values = PySequence_Fast_ITEMS(row);
            std::size_t start = text.out.size();
            for (Py_ssize_t j = 0; j < width; ++j) {
                if (recheck && (!classify(values[j], seen[j], s.nul) || !(seen[j] == columns[j]))) {
                    throw Changed();
                }
                if (j > 0) {
                    text.out.push_back(',');
                }
                text.field(values[j], as_float[j]);
            }
            text.end_row(start, width);
            if (text.out.size() >= kPiece) {
                if (file == nullptr) {
                    ++i;
                    return;
                }
                file->write(text.out);
            }
        }
    };
    try {
        if (!append) {
            std::size_t start = text.out.size();
            for (Py_ssize_t j = 0; j < width; ++j) {
                if (j > 0) {
                    text.out.push_back(',');
                }
                text.str(PyList_GET_ITEM(cols.ptr(), j));
            }
            text.end_row(start, width);
        }
        format_rows(false, nullptr);
    } catch (const Changed &) {
        kvrt::raise(PyExc_RuntimeError, "a row changed while its block was written");
    }

    const bool checkable = path_known();
    File file(g_, path_, append ? "a" : "w");
    struct stat st;
    if (!append) {  // the file this export made: the one its header write opened
        made_ = file.stat(st, false) && S_ISREG(st.st_mode);
        if (made_) {
            made_dev_ = st.st_dev;
            made_ino_ = st.st_ino;
        }
    }
    // The file opened is the one the checks saw.
    if (append && known_ && (!file.stat(st, false) || st.st_dev != dev_ || st.st_ino != ino_ || st.st_size != size_)) {
        file.close();
        raise_changed();
    }
    try {
        file.write(text.out);
        format_rows(true, &file);
        file.write(text.out);
    } catch (const std::bad_alloc &) {
        file.close();
        throw;
    } catch (const Changed &) {
        file.close();
        kvrt::raise(PyExc_RuntimeError, "a row changed while its block was written");
    }
    // The file as this block left it, seen through the descriptor written to.
    known_ = false;
    if (checkable && file.stat(st, true)) {
        remember(st);
    }
    file.close();
    return true;
}

}  // namespace sadrel
