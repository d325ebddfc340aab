// The one test of "the library's own function".
#include "guards/own.h"

#include "guards/seen.h"

#include <cstring>

namespace sadrel {

bool own_function(py::handle fn, const char *module, bool package) {
    if (!fn || !PyFunction_Check(fn.ptr())) {
        return false;
    }
    PyObject *globals = PyFunction_GetGlobals(fn.ptr());
    if (!package) {
        PyObject *mod = loaded(module);
        return mod != nullptr && PyModule_Check(mod) && PyModule_GetDict(mod) == globals;
    }
    // The module the globals say they are, loaded under that name with them.
    PyObject *name = globals != nullptr ? PyDict_GetItemWithError(globals, kvrt::intern("__name__")) : nullptr;
    if (name == nullptr) {
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
        return false;
    }
    if (!PyUnicode_Check(name)) {
        return false;
    }
    const char *text = PyUnicode_AsUTF8(name);
    if (text == nullptr) {
        throw py::error_already_set();
    }
    const std::size_t n = std::strlen(module);
    if (std::strncmp(text, module, n) != 0 || (text[n] != '\0' && text[n] != '.')) {
        return false;
    }
    PyObject *mod = loaded(text);
    return mod != nullptr && PyModule_Check(mod) && PyModule_GetDict(mod) == globals;
}

bool own_method(py::handle cls, const char *name, const char *module) {
    PyObject *mro = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_mro;
    PyObject *fn = nullptr;
    for (Py_ssize_t k = 0; mro != nullptr && fn == nullptr && k < PyTuple_GET_SIZE(mro); ++k) {
        PyObject *dict = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, k))->tp_dict;
        fn = dict != nullptr ? PyDict_GetItemString(dict, name) : nullptr;
    }
    return fn != nullptr && own_function(fn, module);
}

bool bound_own(py::handle obj, py::handle cls, const char *name) {
    py::object bound = attr_or_empty(obj, name);
    PyObject *dict = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict;
    PyObject *fn = dict != nullptr ? PyDict_GetItemString(dict, name) : nullptr;
    return bound && fn != nullptr && PyMethod_Check(bound.ptr()) && PyMethod_GET_SELF(bound.ptr()) == obj.ptr() &&
           PyMethod_GET_FUNCTION(bound.ptr()) == fn;
}

bool own_property(py::handle cls, const char *name, const char *module) {
    PyObject *found = PyDict_GetItemString(reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict, name);
    return found != nullptr && Py_TYPE(found) == &PyProperty_Type &&
           own_function(attr_or_empty(found, "fget"), module);
}

}  // namespace sadrel
