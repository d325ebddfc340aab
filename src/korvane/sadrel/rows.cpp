#include "rows.h"

#include "fastjson.h"

#include <climits>
#include <string>

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

/// `obj.<attr>` or an empty object when it is missing.
py::object attr_or_none(py::handle obj, const char *attr) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name(attr));
    if (value == nullptr) {
        PyErr_Clear();
        return py::object();
    }
    return py::reinterpret_steal<py::object>(value);
}

/// A plain Python function defined in the module whose dict is `globals`.
bool defined_in(py::handle function, py::handle globals, const char *fname) {
    if (!function || Py_TYPE(function.ptr()) != &PyFunction_Type) {
        return false;
    }
    if (PyFunction_GetGlobals(function.ptr()) != globals.ptr()) {
        return false;
    }
    py::object code = attr_or_none(function, "__code__");
    py::object co_name = code ? attr_or_none(code, "co_name") : py::object();
    return co_name && PyUnicode_Check(co_name.ptr()) && PyUnicode_CompareWithASCIIString(co_name.ptr(), fname) == 0;
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

// ---- rows held for the collector ---------------------------------------------------

void untrack_if_atomic(py::handle row) {
    PyObject *list = row.ptr();
    if (!PyList_CheckExact(list)) {
        return;
    }
    Py_ssize_t size = PyList_GET_SIZE(list);
    for (Py_ssize_t k = 0; k < size; ++k) {
        PyObject *item = PyList_GET_ITEM(list, k);
        PyTypeObject *type = Py_TYPE(item);
        if (item != Py_None && type != &PyBool_Type && type != &PyLong_Type && type != &PyFloat_Type &&
            type != &PyUnicode_Type && type != &PyBytes_Type) {
            return;
        }
    }
    PyObject_GC_UnTrack(list);
}

// ---- json.loads ------------------------------------------------------------------

bool JsonLoads::is_stdlib(py::handle json) {
    // The json package itself, its own loads, and its own default decoder
    // with the C scanner and the default number types.
    if (!PyModule_CheckExact(json.ptr())) {
        return false;
    }
    py::handle globals = PyModule_GetDict(json.ptr());
    py::object module_name = attr_or_none(json, "__name__");
    if (!module_name || !PyUnicode_Check(module_name.ptr()) ||
        PyUnicode_CompareWithASCIIString(module_name.ptr(), "json") != 0) {
        return false;
    }
    py::object loads = attr_or_none(json, "loads");
    if (!defined_in(loads, globals, "loads") || PyFunction_GetDefaults(loads.ptr()) != nullptr) {
        return false;
    }
    PyObject *kwdefaults = PyFunction_GetKwDefaults(loads.ptr());
    if (kwdefaults != nullptr) {
        PyObject *key;
        PyObject *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwdefaults, &pos, &key, &value)) {
            if (value != Py_None) {
                return false;
            }
        }
    }
    if (!defined_in(attr_or_none(json, "detect_encoding"), globals, "detect_encoding")) {
        return false;
    }
    py::object decoder = attr_or_none(json, "_default_decoder");
    py::object decoder_type = attr_or_none(json, "JSONDecoder");
    if (!decoder || !decoder_type || reinterpret_cast<PyObject *>(Py_TYPE(decoder.ptr())) != decoder_type.ptr()) {
        return false;
    }
    py::object decoder_module = attr_or_none(decoder_type, "__module__");
    if (!decoder_module || !PyUnicode_Check(decoder_module.ptr()) ||
        PyUnicode_CompareWithASCIIString(decoder_module.ptr(), "json.decoder") != 0) {
        return false;
    }
    py::object decode = attr_or_none(decoder_type, "decode");
    if (!decode || Py_TYPE(decode.ptr()) != &PyFunction_Type) {
        return false;
    }
    py::handle decoder_globals = PyFunction_GetGlobals(decode.ptr());
    if (!defined_in(decode, decoder_globals, "decode") ||
        !defined_in(attr_or_none(decoder_type, "raw_decode"), decoder_globals, "raw_decode")) {
        return false;
    }
    PyObject *instance_dict = PyObject_GenericGetDict(decoder.ptr(), nullptr);
    if (instance_dict == nullptr) {
        PyErr_Clear();
        return false;
    }
    py::object own = py::reinterpret_steal<py::object>(instance_dict);
    if (PyDict_GetItemWithError(own.ptr(), name("decode")) != nullptr ||
        PyDict_GetItemWithError(own.ptr(), name("raw_decode")) != nullptr || PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    py::object scanner = attr_or_none(decoder, "scan_once");
    if (!scanner || std::string(Py_TYPE(scanner.ptr())->tp_name) != "_json.Scanner") {
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

py::object JsonLoads::operator()(py::handle row) {
    // The global `json`: the module's own binding, else the builtins' (g_ does both).
    PyObject *bound = PyDict_GetItemWithError(g_.dict().ptr(), json_name_);
    if (bound == nullptr && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    py::object json = bound != nullptr ? py::reinterpret_borrow<py::object>(bound) : g_["json"];
    if (json.ptr() != json_.ptr()) {
        json_ = json;
        native_ = is_stdlib(json);
    }
    if (native_) {
        PyObject *globals = PyModule_GetDict(json.ptr());
        PyObject *loads = PyDict_GetItemWithError(globals, loads_name_);
        if (loads != nullptr) {
            if (loads == loads_.ptr() && PyBytes_CheckExact(row.ptr()) &&
                PyDict_GetItemWithError(globals, decoder_name_) == decoder_.ptr()) {
                PyObject *parsed = fastjson::parse_scalar_array(PyBytes_AS_STRING(row.ptr()),
                                                                      PyBytes_GET_SIZE(row.ptr()));
                if (parsed != nullptr) {
                    return py::reinterpret_steal<py::object>(parsed);
                }
            }
            if (PyErr_Occurred()) {
                throw py::error_already_set();
            }
            return call(loads, row);  // json.loads(row), with the function just found
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
    return call(function.ptr(), row);
}

}  // namespace sadrel
