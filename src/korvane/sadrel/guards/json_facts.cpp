// The facts behind the native row parser.
#include "guards/json_facts.h"

#include "guards/own.h"
#include "state.h"

#include <cstring>

namespace sadrel {
namespace {

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

/// `fn` is json's own function `fname` of the module `module`.
bool take_own(FunctionSeen &seen, py::handle fn, const char *module, const char *fname) {
    if (!own_function(fn, module)) {
        return false;
    }
    py::object co_name = attr_or_empty(PyFunction_GetCode(fn.ptr()), "co_name");
    return str_equals(co_name, fname) && seen.take(fn);
}

/// The type of the C scanner: `make_scanner` of the extension module `_json`,
/// a type defined in C (a class of that name made in Python is not it).
py::object c_scanner_type() {
    PyObject *imported = PyImport_ImportModule("_json");
    if (imported == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return py::object();
    }
    py::object module = py::reinterpret_steal<py::object>(imported);
    PyModuleDef *def = PyModule_Check(imported) ? PyModule_GetDef(imported) : nullptr;
    if (def == nullptr || def->m_name == nullptr || std::strcmp(def->m_name, "_json") != 0) {
        return py::object();
    }
    py::object type = attr_or_empty(module, "make_scanner");
    if (!type || !PyType_Check(type.ptr())) {
        return py::object();
    }
    auto *scanner = reinterpret_cast<PyTypeObject *>(type.ptr());
    if (std::strcmp(scanner->tp_name, "_json.Scanner") != 0) {
        return py::object();
    }
    // Every class made by a class statement or by type() has the same
    // deallocator; the module's own types have their own.
    py::object probe = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type))(
        "probe", py::tuple(), py::dict());
    if (scanner->tp_dealloc == reinterpret_cast<PyTypeObject *>(probe.ptr())->tp_dealloc) {
        return py::object();
    }
    return type;
}

/// Takes json's parts when they are the standard library's own.
bool fill(StdJson &seen) {
    PyObject *json = PyImport_ImportModule("json");
    if (json == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return false;
    }
    seen.module = py::reinterpret_steal<py::object>(json);
    if (!PyModule_CheckExact(json) || !str_equals(attr_or_empty(seen.module, "__name__"), "json")) {
        return false;
    }
    if (!take_own(seen.loads, attr_or_empty(seen.module, "loads"), "json", "loads") ||
        PyFunction_GetDefaults(seen.loads.function().ptr()) != nullptr ||
        !all_none(PyFunction_GetKwDefaults(seen.loads.function().ptr())) ||
        !take_own(seen.detect_encoding, attr_or_empty(seen.module, "detect_encoding"), "json", "detect_encoding")) {
        return false;
    }
    seen.decoder_type = attr_or_empty(seen.module, "JSONDecoder");
    if (!seen.decoder_type || !PyType_Check(seen.decoder_type.ptr())) {
        return false;
    }
    if (!take_own(seen.decode, attr_or_empty(seen.decoder_type, "decode"), "json.decoder", "decode") ||
        !take_own(seen.raw_decode, attr_or_empty(seen.decoder_type, "raw_decode"), "json.decoder", "raw_decode")) {
        return false;
    }
    seen.scanner_type = c_scanner_type();
    return static_cast<bool>(seen.scanner_type);
}

/// `decoder.<attr>` is `seen`'s function bound to `decoder`, as a call
/// `self.<attr>(...)` inside json would find it.
bool bound_method_is(py::handle decoder, const char *attr, const FunctionSeen &seen) {
    py::object method = attr_or_empty(decoder, attr);
    return method && PyMethod_Check(method.ptr()) && PyMethod_Self(method.ptr()) == decoder.ptr() &&
           seen.same(PyMethod_Function(method.ptr()));
}

/// `globals[key]` as an owned object, empty when missing.
py::object dict_item(PyObject *globals, const char *key) {
    PyObject *value = PyDict_GetItemWithError(globals, kvrt::intern(key));
    if (value == nullptr && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

}  // namespace

void StdJson::abandon() {
    for (py::object *o : {&module, &decoder_type, &scanner_type}) {
        o->release();
    }
    for (FunctionSeen *f : {&loads, &detect_encoding, &decode, &raw_decode}) {
        f->abandon();
    }
}

void note_stdlib_json() {
    LifeState &state = life();
    if (state.json_taken) {
        return;
    }
    state.json_taken = true;
    auto *seen = new StdJson();
    bool taken = false;
    try {
        taken = fill(*seen);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            delete seen;
            throw;
        }
        // no native parsing in this interpreter life, only slower
    }
    if (!taken) {
        delete seen;
        return;
    }
    state.std_json = seen;
}

bool stdlib_json(py::handle json, py::object &loads, py::object &decoder) {
    note_stdlib_json();
    const StdJson *seen = life().std_json;
    // A module of a subclass (json.__class__ = ...) may answer json.loads
    // other than from its dict.
    if (seen == nullptr || json.ptr() != seen->module.ptr() || Py_TYPE(json.ptr()) != &PyModule_Type) {
        return false;
    }
    PyObject *globals = PyModule_GetDict(json.ptr());
    py::object found_loads = dict_item(globals, "loads");
    py::object detect_encoding = dict_item(globals, "detect_encoding");
    // Owned: the lookups below can run Python code that rebinds it.
    py::object found_decoder = dict_item(globals, "_default_decoder");
    if (!found_loads || !seen->loads.same(found_loads.ptr()) ||
        !all_none(PyFunction_GetKwDefaults(found_loads.ptr())) || !detect_encoding ||
        !seen->detect_encoding.same(detect_encoding.ptr()) || !found_decoder ||
        reinterpret_cast<PyObject *>(Py_TYPE(found_decoder.ptr())) != seen->decoder_type.ptr() ||
        Py_TYPE(found_decoder.ptr())->tp_getattro != PyObject_GenericGetAttr) {
        return false;
    }
    if (!bound_method_is(found_decoder, "decode", seen->decode) ||
        !bound_method_is(found_decoder, "raw_decode", seen->raw_decode)) {
        return false;
    }
    py::object scanner = attr_or_empty(found_decoder, "scan_once");
    if (!scanner || reinterpret_cast<PyObject *>(Py_TYPE(scanner.ptr())) != seen->scanner_type.ptr()) {
        return false;
    }
    py::object strict = attr_or_empty(scanner, "strict");
    py::object parse_float = attr_or_empty(scanner, "parse_float");
    py::object parse_int = attr_or_empty(scanner, "parse_int");
    if (!strict || strict.ptr() != Py_True || parse_float.ptr() != reinterpret_cast<PyObject *>(&PyFloat_Type) ||
        parse_int.ptr() != reinterpret_cast<PyObject *>(&PyLong_Type)) {
        return false;
    }
    loads = found_loads;
    decoder = found_decoder;
    return true;
}

}  // namespace sadrel
