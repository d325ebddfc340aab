#include "guards.h"

namespace sadrel {
namespace {

/// A class whose attributes can be set: anything else keeps its __dict__.
bool mutable_type(PyTypeObject *type) {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        return false;
    }
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    if (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) {
        return false;
    }
#endif
    return true;
}

/// Every key of `copy` maps to the very same object in `dict`.
bool holds(PyObject *dict, PyObject *copy) {
    PyObject *key;
    PyObject *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(copy, &pos, &key, &value)) {
        PyObject *now = PyDict_GetItemWithError(dict, key);
        if (now != value) {
            if (now == nullptr && PyErr_Occurred()) {
                throw py::error_already_set();
            }
            return false;
        }
    }
    return true;
}

py::object copy_of(PyObject *dict) {
    PyObject *copy = PyDict_Copy(dict);
    if (copy == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(copy);
}

}  // namespace

PyObject *loaded(const char *name) {
    return PyDict_GetItemString(PyImport_GetModuleDict(), name);  // borrowed
}

/// `getattr(obj, name)`, or an empty object for a missing attribute.
py::object attr_or_empty(py::handle obj, const char *name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), kvrt::intern(name));
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return py::object();
    }
    return py::reinterpret_steal<py::object>(value);
}

/// `cls.name`, as the class's MRO finds it, is a plain function of the module `module`.
bool own_function(py::handle cls, const char *name, const char *module) {
    PyObject *mro = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_mro;
    PyObject *fn = nullptr;
    for (Py_ssize_t k = 0; mro != nullptr && fn == nullptr && k < PyTuple_GET_SIZE(mro); ++k) {
        PyObject *dict = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, k))->tp_dict;
        fn = dict != nullptr ? PyDict_GetItemString(dict, name) : nullptr;
    }
    PyObject *mod = loaded(module);
    return fn != nullptr && PyFunction_Check(fn) && mod != nullptr && PyModule_Check(mod) &&
           PyFunction_GetGlobals(fn) == PyModule_GetDict(mod);
}

/// The class `module.name`, as loaded.
py::object loaded_class(const char *module, const char *name) {
    PyObject *mod = loaded(module);
    if (mod == nullptr) {
        return py::object();
    }
    py::object cls = attr_or_empty(mod, name);
    return cls && PyType_Check(cls.ptr()) ? cls : py::object();
}

bool bound_own(py::handle obj, py::handle cls, const char *name) {
    py::object bound = attr_or_empty(obj, name);
    PyObject *dict = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict;
    PyObject *fn = dict != nullptr ? PyDict_GetItemString(dict, name) : nullptr;
    return bound && fn != nullptr && PyMethod_Check(bound.ptr()) && PyMethod_GET_SELF(bound.ptr()) == obj.ptr() &&
           PyMethod_GET_FUNCTION(bound.ptr()) == fn;
}

bool ClassSeen::take(py::handle type) {
    dicts_.clear();
    if (!type || !PyType_Check(type.ptr())) {
        type_ = py::object();
        return false;
    }
    auto *t = reinterpret_cast<PyTypeObject *>(type.ptr());
    type_ = py::reinterpret_borrow<py::object>(type);
    mro_ = py::reinterpret_borrow<py::object>(t->tp_mro);
    if (!mro_ || !PyTuple_Check(mro_.ptr())) {
        type_ = py::object();
        return false;
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro_.ptr()); ++k) {
        auto *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro_.ptr(), k));
        if (mutable_type(base) && base->tp_dict != nullptr) {
            dicts_.emplace_back(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(base)),
                                copy_of(base->tp_dict));
        }
    }
    return true;
}

bool ClassSeen::same() const {
    if (!type_) {
        return false;
    }
    auto *t = reinterpret_cast<PyTypeObject *>(type_.ptr());
    if (t->tp_mro != mro_.ptr()) {
        return false;
    }
    for (const auto &entry : dicts_) {
        PyObject *dict = reinterpret_cast<PyTypeObject *>(entry.first.ptr())->tp_dict;
        if (dict == nullptr || PyDict_GET_SIZE(dict) != PyDict_GET_SIZE(entry.second.ptr()) ||
            !holds(dict, entry.second.ptr())) {
            return false;
        }
    }
    return true;
}

bool ModuleSeen::take(py::handle module) {
    if (!module || !PyModule_Check(module.ptr())) {
        module_ = py::object();
        return false;
    }
    module_ = py::reinterpret_borrow<py::object>(module);
    copy_ = copy_of(PyModule_GetDict(module.ptr()));
    return true;
}

bool ModuleSeen::same() const {
    return module_ && holds(PyModule_GetDict(module_.ptr()), copy_.ptr());
}

}  // namespace sadrel
