// The facts behind the native block writer.
#include "guards/pandas_facts.h"

#include "guards/own.h"
#include "guards/releases.h"

#include <cstring>

using namespace pybind11::literals;

namespace sadrel {
namespace {

/// What a checked object must be when first seen.
enum class Kind {
    module,    // a module
    type,      // a class defined in pandas
    function,  // a Python function of one of pandas' modules
    native,    // a C or Cython function
    isna,      // a function, or (once the option changed) partial(function, inf_as_na=False)
    property,  // a property whose getter is such a function
    any,       // anything, compared by identity only
};

/// The objects that decide what `pandas.DataFrame(data=rows, columns=cols)`
/// holds and what its `to_csv` writes. Each must stay the object seen first;
/// one that a release lacks (`optional`) must stay missing.
struct Entry {
    ObjectPath path;
    Kind kind;
    bool optional = false;
};
constexpr Entry kEntries[] = {
    {{"numpy", {}}, Kind::module},
    {{"pandas", {"DataFrame"}}, Kind::type},
    {{"pandas.core.frame", {"DataFrame"}}, Kind::type},
    {{"pandas.core.frame", {"DataFrame", "__init__"}}, Kind::function},
    {{"pandas.core.frame", {"DataFrame", "to_csv"}}, Kind::function},
    {{"pandas.core.frame", {"nested_data_to_arrays"}}, Kind::function},
    {{"pandas.core.internals.construction", {"to_arrays"}}, Kind::function},
    {{"pandas.core.internals.construction", {"_list_to_arrays"}}, Kind::function},
    {{"pandas.core.internals.construction", {"_finalize_columns_and_data"}}, Kind::function},
    {{"pandas.core.internals.construction", {"convert_object_array"}}, Kind::function},
    {{"pandas.core.internals.construction", {"maybe_infer_to_datetimelike"}}, Kind::function, true},  // up to pandas 2
    {{"pandas.core.internals.construction", {"lib", "maybe_convert_objects"}}, Kind::native},
    {{"pandas.core.internals.construction", {"lib", "to_object_array"}}, Kind::native},
    {{"pandas.core.internals.construction", {"lib", "to_object_array_tuples"}}, Kind::native},
    {{"pandas.core.dtypes.missing", {"_isna"}}, Kind::isna},
    {{"pandas.io.formats.format", {"DataFrameFormatter"}}, Kind::type},
    {{"pandas.io.formats.format", {"DataFrameRenderer", "to_csv"}}, Kind::function},
    {{"pandas.io.formats.csvs", {"CSVFormatter"}}, Kind::type},
    {{"pandas.io.formats.csvs", {"CSVFormatter", "save"}}, Kind::function},
    {{"pandas.io.formats.csvs", {"CSVFormatter", "_save"}}, Kind::function},
    {{"pandas.io.formats.csvs", {"CSVFormatter", "_save_body"}}, Kind::function},
    {{"pandas.io.formats.csvs", {"CSVFormatter", "encoded_labels"}}, Kind::property},
    {{"pandas.io.formats.csvs", {"CSVFormatter", "_number_format"}}, Kind::property},
    {{"pandas.io.formats.csvs", {"CSVFormatter", "_save_header"}}, Kind::function},
    {{"pandas.io.formats.csvs", {"CSVFormatter", "_save_chunk"}}, Kind::function},
    {{"pandas.io.formats.csvs", {"get_handle"}}, Kind::function},
    {{"pandas.io.formats.csvs", {"csvlib"}}, Kind::module},
    {{"pandas.io.formats.csvs", {"csvlib", "writer"}}, Kind::native},
    {{"pandas.io.formats.csvs", {"libwriters", "write_csv_rows"}}, Kind::native},
    {{"pandas.io.common", {"get_handle"}}, Kind::function},
    {{"pandas.io.common", {"infer_compression"}}, Kind::function},
    {{"pandas.io.common", {"get_compression_method"}}, Kind::function},
    {{"pandas.io.common", {"check_parent_directory"}}, Kind::function},
    // The values of a block as text: pandas 2.3, then pandas 2.0.
    {{"pandas.core.frame", {"DataFrame", "_get_values_for_csv"}}, Kind::function, true},
    {{"pandas.core.internals.blocks", {"get_values_for_csv"}}, Kind::function, true},
    {{"pandas.core.internals.managers", {"BlockManager", "to_native_types"}}, Kind::function, true},
    {{"pandas.core.internals.blocks", {"Block", "to_native_types"}}, Kind::function, true},
    {{"pandas.core.internals.blocks", {"to_native_types"}}, Kind::function, true},
};

/// The objects whose values the checks read, each compared by identity too.
constexpr ObjectPath kOpen{"io", {"open"}};
constexpr ObjectPath kConfig{"pandas._config.config", {"_global_config"}};
constexpr ObjectPath kPrintOptions{"numpy", {"get_printoptions"}};
constexpr ObjectPath kCompressions{"pandas.io.common", {"extension_to_compression"}};

/// The pandas classes whose every method, property and class attribute
/// decides the frame or its text, and the modules whose globals do.
constexpr ObjectPath kClasses[] = {
    {"pandas.core.frame", {"DataFrame"}},
    {"pandas.io.formats.format", {"DataFrameFormatter"}},
    {"pandas.io.formats.format", {"DataFrameRenderer"}},
    {"pandas.io.formats.csvs", {"CSVFormatter"}},
};
constexpr const char *kModules[] = {
    "os", "csv", "pandas.io.formats.csvs", "pandas.io.formats.format", "pandas.io.common",
};

/// `value` names pandas or a module of it ("pandas", as pandas 3 gives its
/// public classes, or "pandas.<...>").
bool of_pandas(py::handle value) {
    if (!value || !PyUnicode_Check(value.ptr())) {
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "pandas") == 0) {
        return true;
    }
    Py_ssize_t n = PyUnicode_Tailmatch(value.ptr(), py::str("pandas.").ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (n < 0) {
        throw py::error_already_set();
    }
    return n == 1;
}

/// Whether `value` is what `kind` asks for, as pandas itself made it.
bool genuine(py::handle value, Kind kind) {
    switch (kind) {
    case Kind::module:
        return PyModule_Check(value.ptr());
    case Kind::type:
        return PyType_Check(value.ptr()) && of_pandas(attr_or_empty(value, "__module__"));
    case Kind::function:
        return own_function(value, "pandas", true);
    case Kind::native:
        return PyCFunction_Check(value.ptr()) ||
               std::strstr(Py_TYPE(value.ptr())->tp_name, "cython_function_or_method") != nullptr;
    case Kind::isna: {
        if (own_function(value, "pandas", true)) {
            return true;
        }
        // pandas' own callback of mode.use_inf_as_na, back at the default.
        if (std::strcmp(Py_TYPE(value.ptr())->tp_name, "functools.partial") != 0) {
            return false;
        }
        py::object func = attr_or_empty(value, "func");
        py::object args = attr_or_empty(value, "args");
        py::object keywords = attr_or_empty(value, "keywords");
        if (!func || !own_function(func, "pandas", true) || !args || !PyTuple_CheckExact(args.ptr()) ||
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
        return own_function(attr_or_empty(value, "fget"), "pandas", true);
    }
    case Kind::any:
        return true;
    }
    return false;
}

/// Every function reachable from `value` (itself, a staticmethod's,
/// classmethod's or property's, a descriptor's `func`) is pandas' own.
bool pandas_made(py::handle value) {
    if (PyFunction_Check(value.ptr())) {
        return own_function(value, "pandas", true);
    }
    PyTypeObject *type = Py_TYPE(value.ptr());
    if (type == &PyStaticMethod_Type || type == &PyClassMethod_Type) {
        py::object func = attr_or_empty(value, "__func__");
        return func && pandas_made(func);
    }
    if (type == &PyProperty_Type) {
        for (const char *part : {"fget", "fset", "fdel"}) {
            py::object func = attr_or_empty(value, part);
            if (func && !func.is_none() && !pandas_made(func)) {
                return false;
            }
        }
        return true;
    }
    // pandas' own descriptors (cache_readonly and the like) hold a function.
    if (!PyType_Check(value.ptr()) &&
        of_pandas(attr_or_empty(py::handle(reinterpret_cast<PyObject *>(type)), "__module__"))) {
        py::object func = attr_or_empty(value, "func");
        return !func || !PyFunction_Check(func.ptr()) || pandas_made(func);
    }
    return true;
}

/// A class of pandas whose own entries, and those of its bases from
/// pandas, are all made by pandas: no function wrapped or put in from
/// outside.
bool pandas_class(py::handle cls) {
    PyObject *mro = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_mro;
    for (Py_ssize_t k = 0; mro != nullptr && k < PyTuple_GET_SIZE(mro); ++k) {
        PyObject *base = PyTuple_GET_ITEM(mro, k);
        if (!of_pandas(attr_or_empty(base, "__module__"))) {
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
            if (!pandas_made(value)) {
                return false;
            }
        }
    }
    return true;
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

/// pandas' options that change the inferred types or the text are at the
/// release's defaults: mode.use_inf_as_na and mode.data_manager (up to
/// pandas 2), future.infer_string, future.distinguish_nan_and_na (pandas 3)
/// (display options do not reach to_csv).
bool options_at_defaults(py::handle config, bool infer_string) {
    if (!PyDict_CheckExact(config.ptr())) {
        return false;
    }
    PyObject *mode = PyDict_GetItemString(config.ptr(), "mode");
    if (mode == nullptr || !PyDict_CheckExact(mode)) {
        return false;
    }
    PyObject *inf_as_na = PyDict_GetItemString(mode, "use_inf_as_na");
    if (inf_as_na != nullptr && inf_as_na != Py_False) {
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
        PyObject *infer = PyDict_GetItemString(future, "infer_string");
        if (infer != nullptr ? infer != (infer_string ? Py_True : Py_False) : infer_string) {
            return false;
        }
        PyObject *distinguish = PyDict_GetItemString(future, "distinguish_nan_and_na");
        if (distinguish != nullptr && distinguish != Py_False) {
            return false;
        }
    } else if (infer_string) {
        return false;
    }
    return true;
}

}  // namespace

bool PandasFacts::hold(const kvrt::Globals &g) {
    if (!taken_) {
        taken_ = true;
        usable_ = take(g);
    }
    return usable_ && still(g);
}

/// Checks pandas, numpy and the csv module at the first block of an export.
bool PandasFacts::take(const kvrt::Globals &g) {
    pandas_ = g["pandas"];
    PyObject *pandas = loaded("pandas");
    PyObject *numpy = loaded("numpy");
    const PandasRelease *release =
        pandas != nullptr && pandas == pandas_.ptr() && numpy != nullptr ? pandas_release(pandas_, numpy) : nullptr;
    if (release == nullptr) {
        return false;
    }
    infer_string_ = release->infer_string;
    // The modules the entries start from, as to_csv would import them.
    for (const char *name : {"pandas.io.formats.format", "pandas.io.formats.csvs", "pandas.io.common",
                             "pandas.core.internals.construction", "pandas.core.internals.blocks",
                             "pandas.core.internals.managers", "pandas.core.dtypes.missing",
                             "pandas._config.config", "io"}) {
        if (loaded(name) == nullptr) {
            py::module_::import(name);
        }
    }
    for (const Entry &entry : kEntries) {
        py::handle value = facts_.take_object(entry.path);
        if (!value ? !entry.optional : !genuine(value, entry.kind)) {
            return false;
        }
    }
    open_ = py::reinterpret_borrow<py::object>(facts_.take_object(kOpen));
    config_ = py::reinterpret_borrow<py::object>(facts_.take_object(kConfig));
    printoptions_ = py::reinterpret_borrow<py::object>(facts_.take_object(kPrintOptions));
    compressions_seen_ = py::reinterpret_borrow<py::object>(facts_.take_object(kCompressions));
    if (!open_ || !genuine(open_, Kind::native) || !config_ || !printoptions_ || !compressions_seen_) {
        return false;
    }
    // The suffixes from which pandas infers a compression: str to str.
    PyObject *compressions = compressions_seen_.ptr();
    if (!PyDict_CheckExact(compressions)) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(compressions, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || !PyUnicode_CheckExact(value)) {
            return false;
        }
    }
    compressions_ = py::reinterpret_steal<py::object>(PyDict_Copy(compressions));
    if (!compressions_) {
        throw py::error_already_set();
    }
    py::object csvlib = resolve({"pandas.io.formats.csvs", {"csvlib"}});
    if (csv_quotes(csvlib, "", 0) != 0 || csv_quotes(csvlib, "a,b", 3) != 1 || csv_quotes(csvlib, "a\"b", 3) != 1 ||
        csv_quotes(csvlib, "a\nb", 3) != 1 || csv_quotes(csvlib, "a\tb", 3) != 0) {
        return false;
    }
    int cr = csv_quotes(csvlib, "a\rb", 3);
    if (cr < 0) {
        return false;
    }
    quote_cr_ = cr == 1;
    nul_ = csv_quotes(csvlib, "a\0b", 3);
    if (!stdlib_text_settings()) {
        return false;
    }
    for (const ObjectPath &path : kClasses) {
        py::object cls = resolve(path);
        if (!cls || !PyType_Check(cls.ptr()) || !pandas_class(cls) || !facts_.take_class(cls)) {
            return false;
        }
    }
    for (const char *name : kModules) {
        if (!facts_.take_module(py::handle(loaded(name)))) {
            return false;
        }
    }
    return true;
}

/// pandas, its objects and options are as at the first block.
bool PandasFacts::still(const kvrt::Globals &g) const {
    py::object pandas = g["pandas"];
    if (pandas.ptr() != pandas_.ptr() || loaded("pandas") != pandas.ptr() || !facts_.hold()) {
        return false;
    }
    // `open` is the builtin for this module and for pandas' io.common.
    if (g["open"].ptr() != open_.ptr()) {
        return false;
    }
    PyObject *common = loaded("pandas.io.common");
    if (common == nullptr || PyDict_GetItemString(PyModule_GetDict(common), "open") != nullptr) {
        return false;
    }
    if (!options_at_defaults(config_, infer_string_)) {
        return false;
    }
    // The suffixes that the block writer's path rule read.
    int same = PyObject_RichCompareBool(compressions_seen_.ptr(), compressions_.ptr(), Py_EQ);
    if (same < 0) {
        throw py::error_already_set();
    }
    if (same == 0) {
        return false;
    }
    // numpy's legacy printing (legacy="1.13") changes how float64 columns print.
    py::object printoptions = printoptions_();
    return PyDict_Check(printoptions.ptr()) && PyDict_GetItemString(printoptions.ptr(), "legacy") == Py_False;
}

}  // namespace sadrel
