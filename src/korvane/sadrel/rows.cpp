#include "rows.h"

#include "fastjson.h"

#include <climits>
#include <cstring>

namespace sadrel {
namespace {

PyObject *name(const char *text) { return kvrt::intern(text); }

/// Whether the interpreter runs with -b: comparing bytes with str warns then.
bool bytes_warnings() {
    static int flag = -1;
    if (flag < 0) {
        PyObject *flags = PySys_GetObject("flags");  // borrowed
        if (flags == nullptr) {
            return true;  // cannot tell: take the plain path
        }
        py::object value = py::reinterpret_borrow<py::object>(flags).attr("bytes_warning");
        flag = kvrt::is_true(value) ? 1 : 0;
    }
    return flag != 0;
}

/// `globals[key]` as an owned object, empty when missing.
py::object dict_item(PyObject *globals, PyObject *key) {
    PyObject *value = PyDict_GetItemWithError(globals, key);
    if (value == nullptr && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

/// `obj.<attr>` or an empty object when it is missing.
py::object attr_or_none(py::handle obj, const char *attr) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name(attr));
    if (value == nullptr) {
        PyErr_Clear();
        return py::object();
    }
    return py::reinterpret_steal<py::object>(value);
}

/// `function(argument)`
py::object call(PyObject *function, py::handle argument) {
    PyObject *result = PyObject_CallFunctionObjArgs(function, argument.ptr(), nullptr);
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace

// ---- the counter -----------------------------------------------------------------

PyObject *Count::ptr() const {
    if (!cache_ || cached_ != value_) {
        PyObject *number = PyLong_FromLongLong(value_);
        if (number == nullptr) {
            throw py::error_already_set();
        }
        cache_ = py::reinterpret_steal<py::object>(number);
        cached_ = value_;
    }
    return cache_.ptr();
}

BlockSize::BlockSize(py::handle block_size) : object_(block_size) {
    if (PyLong_CheckExact(block_size.ptr())) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(block_size.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        if (overflow == 0 && value > 0) {
            value_ = value;
        }
    }
}

bool BlockSize::equals(Py_ssize_t length) const {
    if (value_ > 0) {
        return static_cast<long long>(length) == value_;
    }
    return kvrt::eq(py::int_(length), object_);
}

bool BlockSize::divides(const Count &i) const {
    if (value_ > 0) {
        return i.value() % value_ == 0;
    }
    PyObject *remainder = PyNumber_Remainder(i.ptr(), object_.ptr());
    if (remainder == nullptr) {
        throw py::error_already_set();
    }
    return kvrt::eq(py::reinterpret_steal<py::object>(remainder), py::int_(0));
}

// ---- the line check --------------------------------------------------------------

bool has_content(py::handle row) {
    if (PyBytes_CheckExact(row.ptr()) && !bytes_warnings()) {
        // bytes.strip() takes ASCII whitespace off both ends.
        const char *p = PyBytes_AS_STRING(row.ptr());
        const char *end = p + PyBytes_GET_SIZE(row.ptr());
        for (; p < end; ++p) {
            if (!Py_ISSPACE(*p)) {
                return true;
            }
        }
        return false;
    }
    py::object stripped = row.attr("strip")();
    return !kvrt::eq(stripped, py::bytes("")) && !kvrt::eq(stripped, py::str(""));
}

bool has_content(const Line &row) {
    if (row.object || bytes_warnings()) {
        return has_content(row.bytes());  // with -b, the comparisons warn
    }
    for (Py_ssize_t k = 0; k < row.size; ++k) {
        if (!Py_ISSPACE(row.data[k])) {
            return true;
        }
    }
    return false;
}

// ---- json.loads ------------------------------------------------------------------

namespace {

/// A plain Python function and the parts of it that decide what a call does.
/// Holds references to all of them, so that no other object can take the
/// place (and the address) of one that has been swapped out.
struct FunctionParts {
    PyObject *function = nullptr;
    PyObject *code = nullptr;
    PyObject *defaults = nullptr;
    PyObject *kwdefaults = nullptr;

    /// Takes `fn` when it is a plain function named `fname` that runs with `globals`.
    bool take(py::handle fn, PyObject *globals, const char *fname) {
        if (!fn || Py_TYPE(fn.ptr()) != &PyFunction_Type || PyFunction_GetGlobals(fn.ptr()) != globals) {
            return false;
        }
        py::object co_name = attr_or_none(PyFunction_GetCode(fn.ptr()), "co_name");
        if (!co_name || !PyUnicode_Check(co_name.ptr()) ||
            PyUnicode_CompareWithASCIIString(co_name.ptr(), fname) != 0) {
            return false;
        }
        function = fn.inc_ref().ptr();
        code = PyFunction_GetCode(function);
        defaults = PyFunction_GetDefaults(function);
        kwdefaults = PyFunction_GetKwDefaults(function);
        Py_XINCREF(code);
        Py_XINCREF(defaults);
        Py_XINCREF(kwdefaults);
        return true;
    }

    /// `fn` is the function taken, still with the same code and defaults.
    bool same(PyObject *fn) const {
        return fn == function && PyFunction_GetCode(fn) == code && PyFunction_GetDefaults(fn) == defaults &&
               PyFunction_GetKwDefaults(fn) == kwdefaults;
    }

    void release() {
        Py_CLEAR(function);
        Py_CLEAR(code);
        Py_CLEAR(defaults);
        Py_CLEAR(kwdefaults);
    }
};

/// The standard library's json, as the row parser may stand for it.
struct StdJson {
    PyObject *module = nullptr;  // json
    FunctionParts loads;
    FunctionParts detect_encoding;
    PyObject *decoder_type = nullptr;  // json.JSONDecoder
    FunctionParts decode;
    FunctionParts raw_decode;
    PyObject *scanner_type = nullptr;  // the C scanner's type, _json.make_scanner

    void release() {
        Py_CLEAR(module);
        loads.release();
        detect_encoding.release();
        Py_CLEAR(decoder_type);
        decode.release();
        raw_decode.release();
        Py_CLEAR(scanner_type);
    }
};

/// json as this interpreter life first showed it, or nullptr if it was not
/// the standard library's own by then. Its references go with the
/// interpreter at the end of its life, unreleased, as the module's do.
StdJson *std_json_seen = nullptr;
bool std_json_taken = false;

void forget_std_json() {
    delete std_json_seen;
    std_json_seen = nullptr;
    std_json_taken = false;
}

/// Every value of a keyword-defaults dict is None (or there is none).
bool all_none(PyObject *kwdefaults) {
    if (kwdefaults == nullptr) {
        return true;
    }
    PyObject *key;
    PyObject *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwdefaults, &pos, &key, &value)) {
        if (value != Py_None) {
            return false;
        }
    }
    return true;
}

/// `module.__name__ == name` for a module or a module's globals.
bool named(py::handle globals, const char *module_name) {
    PyObject *value = PyDict_GetItemWithError(globals.ptr(), name("__name__"));
    if (value == nullptr) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, module_name) == 0;
}

/// The type of the C scanner: `make_scanner` of the extension module `_json`,
/// a type defined in C (a class of that name made in Python is not it).
PyObject *c_scanner_type() {
    PyObject *imported = PyImport_ImportModule("_json");
    if (imported == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    py::object module = py::reinterpret_steal<py::object>(imported);
    PyModuleDef *def = PyModule_Check(imported) ? PyModule_GetDef(imported) : nullptr;
    if (def == nullptr || def->m_name == nullptr || std::strcmp(def->m_name, "_json") != 0) {
        PyErr_Clear();
        return nullptr;
    }
    py::object type = attr_or_none(module, "make_scanner");
    if (!type || !PyType_Check(type.ptr())) {
        return nullptr;
    }
    auto *scanner = reinterpret_cast<PyTypeObject *>(type.ptr());
    if (std::strcmp(scanner->tp_name, "_json.Scanner") != 0) {
        return nullptr;
    }
    // Every class made by a class statement or by type() has the same
    // deallocator; the module's own types have their own.
    py::object probe = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type))(
        "probe", py::tuple(), py::dict());
    if (scanner->tp_dealloc == reinterpret_cast<PyTypeObject *>(probe.ptr())->tp_dealloc) {
        return nullptr;
    }
    return type.release().ptr();
}

/// Takes json's parts when they are the standard library's own: the package,
/// its loads (no defaults but None) and detect_encoding, JSONDecoder of
/// json.decoder with its decode and raw_decode, and the C scanner's type.
bool fill_std_json(StdJson *seen) {
    PyObject *json = PyImport_ImportModule("json");
    if (json == nullptr) {
        PyErr_Clear();
        return false;
    }
    seen->module = json;
    if (!PyModule_CheckExact(json)) {
        return false;
    }
    PyObject *globals = PyModule_GetDict(json);
    py::handle module(json);
    if (!named(globals, "json") || !seen->loads.take(attr_or_none(module, "loads"), globals, "loads") ||
        seen->loads.defaults != nullptr || !all_none(seen->loads.kwdefaults) ||
        !seen->detect_encoding.take(attr_or_none(module, "detect_encoding"), globals, "detect_encoding")) {
        return false;
    }
    py::object decoder_type = attr_or_none(module, "JSONDecoder");
    if (!decoder_type || !PyType_Check(decoder_type.ptr())) {
        return false;
    }
    seen->decoder_type = decoder_type.inc_ref().ptr();
    py::object decode = attr_or_none(decoder_type, "decode");
    PyObject *decoder_globals = decode && Py_TYPE(decode.ptr()) == &PyFunction_Type
                                    ? PyFunction_GetGlobals(decode.ptr())
                                    : nullptr;
    if (decoder_globals == nullptr || !named(decoder_globals, "json.decoder") ||
        !seen->decode.take(decode, decoder_globals, "decode") ||
        !seen->raw_decode.take(attr_or_none(decoder_type, "raw_decode"), decoder_globals, "raw_decode")) {
        return false;
    }
    seen->scanner_type = c_scanner_type();
    if (seen->scanner_type == nullptr) {
        return false;
    }
    return true;
}

StdJson *take_std_json() {
    auto *seen = new StdJson();
    bool taken = false;
    try {
        taken = fill_std_json(seen);
    } catch (...) {
        seen->release();
        delete seen;
        throw;
    }
    if (!taken) {
        seen->release();
        delete seen;
        return nullptr;
    }
    return seen;
}

/// `decoder.<attr>` is `parts`' function bound to `decoder`, as a call
/// `self.<attr>(...)` inside json would find it.
bool bound_method_is(py::handle decoder, const char *attr, const FunctionParts &parts) {
    py::object method = attr_or_none(decoder, attr);
    return method && PyMethod_Check(method.ptr()) && PyMethod_Self(method.ptr()) == decoder.ptr() &&
           parts.same(PyMethod_Function(method.ptr()));
}

}  // namespace

void note_stdlib_json() {
    if (std_json_taken) {
        return;
    }
    std_json_taken = true;
    if (Py_AtExit(forget_std_json) == 0) {
        try {
            std_json_seen = take_std_json();
        } catch (py::error_already_set &) {
            PyErr_Clear();  // no native parsing in this interpreter life, only slower
        }
    }
}

bool JsonLoads::is_stdlib(py::handle json) {
    // The json package as first seen, with its own loads, detect_encoding and
    // default decoder: of JSONDecoder itself, with its own decode and
    // raw_decode, the C scanner and the default number types.
    note_stdlib_json();
    const StdJson *seen = std_json_seen;
    // A module of a subclass (json.__class__ = ...) may answer json.loads
    // other than from its dict.
    if (seen == nullptr || json.ptr() != seen->module || Py_TYPE(json.ptr()) != &PyModule_Type) {
        return false;
    }
    PyObject *globals = PyModule_GetDict(json.ptr());
    py::object loads = dict_item(globals, loads_name_);
    py::object detect_encoding = dict_item(globals, name("detect_encoding"));
    // Owned: the lookups below can run Python code that rebinds it.
    py::object decoder = dict_item(globals, decoder_name_);
    if (!loads || !seen->loads.same(loads.ptr()) || !all_none(PyFunction_GetKwDefaults(loads.ptr())) ||
        !detect_encoding || !seen->detect_encoding.same(detect_encoding.ptr()) || !decoder ||
        reinterpret_cast<PyObject *>(Py_TYPE(decoder.ptr())) != seen->decoder_type ||
        Py_TYPE(decoder.ptr())->tp_getattro != PyObject_GenericGetAttr) {
        return false;
    }
    py::handle instance(decoder);
    if (!bound_method_is(instance, "decode", seen->decode) ||
        !bound_method_is(instance, "raw_decode", seen->raw_decode)) {
        return false;
    }
    py::object scanner = attr_or_none(instance, "scan_once");
    if (!scanner || reinterpret_cast<PyObject *>(Py_TYPE(scanner.ptr())) != seen->scanner_type) {
        return false;
    }
    py::object strict = attr_or_none(scanner, "strict");
    py::object parse_float = attr_or_none(scanner, "parse_float");
    py::object parse_int = attr_or_none(scanner, "parse_int");
    if (!strict || strict.ptr() != Py_True ||
        parse_float.ptr() != reinterpret_cast<PyObject *>(&PyFloat_Type) ||
        parse_int.ptr() != reinterpret_cast<PyObject *>(&PyLong_Type)) {
        return false;
    }
    loads_ = loads;
    decoder_ = decoder;
    return true;
}

JsonLoads::JsonLoads(const kvrt::Globals &g)
    : g_(g), json_name_(name("json")), loads_name_(name("loads")), decoder_name_(name("_default_decoder")) {}

void JsonLoads::recheck() {
    json_ = py::object();
    native_ = false;
    checked_ = false;
}

bool JsonLoads::stdlib_now() {
    PyObject *bound = PyDict_GetItemWithError(g_.dict().ptr(), json_name_);
    if (bound == nullptr && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    py::object json = bound != nullptr ? py::reinterpret_borrow<py::object>(bound) : g_["json"];
    if (json.ptr() != json_.ptr()) {
        json_ = json;
        native_ = is_stdlib(json);
    }
    return native_;
}

bool JsonLoads::parse_into(const Line &row, fastjson::Rows &rows) {
    if (row.object) {
        return false;
    }
    if (checked_) {
        return rows.parse(row.data, row.size);
    }
    if (!stdlib_now()) {
        return false;
    }
    // As operator() checks before its native parse.
    PyObject *globals = PyModule_GetDict(json_.ptr());
    PyObject *loads = PyDict_GetItemWithError(globals, loads_name_);
    if (loads == nullptr || loads != loads_.ptr() || PyDict_GetItemWithError(globals, decoder_name_) != decoder_.ptr()) {
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
        return false;
    }
    checked_ = true;
    return rows.parse(row.data, row.size);
}

py::object JsonLoads::operator()(py::handle row) {
    if (PyBytes_CheckExact(row.ptr())) {
        return loads(row, PyBytes_AS_STRING(row.ptr()), PyBytes_GET_SIZE(row.ptr()));
    }
    return loads(row, nullptr, 0);
}

py::object JsonLoads::operator()(const Line &row) {
    if (row.object) {
        return (*this)(row.object);
    }
    return loads(py::handle(), row.data, row.size);
}

/// json.loads of `row`, or of the bytes `data` when `row` is empty.
py::object JsonLoads::loads(py::handle row, const char *data, Py_ssize_t size) {
    py::object made;
    auto text = [&]() -> py::handle {
        if (row) {
            return row;
        }
        if (!made) {
            made = py::bytes(data, static_cast<std::size_t>(size));
        }
        return made;
    };
    // The global `json`: the module's own binding, else the builtins' (g_ does both).
    stdlib_now();
    py::object json = json_;
    if (native_) {
        PyObject *globals = PyModule_GetDict(json.ptr());
        PyObject *loads = PyDict_GetItemWithError(globals, loads_name_);
        if (loads != nullptr) {
            if (loads == loads_.ptr() && data != nullptr &&
                PyDict_GetItemWithError(globals, decoder_name_) == decoder_.ptr()) {
                PyObject *parsed = fastjson::parse_scalar_array(data, size);
                if (parsed != nullptr) {
                    return py::reinterpret_steal<py::object>(parsed);
                }
            }
            if (PyErr_Occurred()) {
                throw py::error_already_set();
            }
            // json.loads(row), with the function just found, held while it runs
            py::object function = py::reinterpret_borrow<py::object>(loads);
            return call(function.ptr(), text());
        }
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
    }
    PyObject *loads = PyObject_GetAttr(json.ptr(), loads_name_);
    if (loads == nullptr) {
        throw py::error_already_set();
    }
    py::object function = py::reinterpret_steal<py::object>(loads);
    return call(function.ptr(), text());
}

}  // namespace sadrel
