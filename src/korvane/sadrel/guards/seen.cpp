// Facts about library objects as first seen, and their checks.
#include "guards/seen.h"

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

py::object borrowed(PyObject *value) { return py::reinterpret_borrow<py::object>(value); }

}  // namespace

PyObject *loaded(const char *name) {
    return PyDict_GetItemString(PyImport_GetModuleDict(), name);  // borrowed
}

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

py::object loaded_class(const char *module, const char *name) {
    PyObject *mod = loaded(module);
    if (mod == nullptr) {
        return py::object();
    }
    py::object cls = attr_or_empty(mod, name);
    return cls && PyType_Check(cls.ptr()) ? cls : py::object();
}

bool str_equals(py::handle value, const char *text) {
    return value && PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

py::object resolve(const ObjectPath &path) {
    PyObject *module = loaded(path.module);
    if (module == nullptr) {
        return py::object();
    }
    py::object value = borrowed(module);
    for (const char *attr : path.attrs) {
        if (attr == nullptr) {
            break;
        }
        value = attr_or_empty(value, attr);
        if (!value) {
            break;
        }
    }
    return value;
}

bool ClassSeen::take(py::handle type) {
    dicts_.clear();
    if (!type || !PyType_Check(type.ptr())) {
        type_ = py::object();
        return false;
    }
    auto *t = reinterpret_cast<PyTypeObject *>(type.ptr());
    type_ = borrowed(type.ptr());
    mro_ = borrowed(t->tp_mro);
    if (!mro_ || !PyTuple_Check(mro_.ptr())) {
        type_ = py::object();
        return false;
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro_.ptr()); ++k) {
        auto *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro_.ptr(), k));
        if (mutable_type(base) && base->tp_dict != nullptr) {
            dicts_.emplace_back(borrowed(reinterpret_cast<PyObject *>(base)), copy_of(base->tp_dict));
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
    module_ = borrowed(module.ptr());
    copy_ = copy_of(PyModule_GetDict(module.ptr()));
    return true;
}

bool ModuleSeen::same() const { return module_ && holds(PyModule_GetDict(module_.ptr()), copy_.ptr()); }

bool FunctionSeen::take(py::handle fn) {
    function_ = py::object();
    if (!fn || !PyFunction_Check(fn.ptr())) {
        return false;
    }
    function_ = borrowed(fn.ptr());
    code_ = borrowed(PyFunction_GetCode(fn.ptr()));
    defaults_ = borrowed(PyFunction_GetDefaults(fn.ptr()));
    kwdefaults_ = borrowed(PyFunction_GetKwDefaults(fn.ptr()));
    return true;
}

bool FunctionSeen::same(PyObject *fn) const {
    return function_ && fn == function_.ptr() && PyFunction_GetCode(fn) == code_.ptr() &&
           PyFunction_GetDefaults(fn) == defaults_.ptr() && PyFunction_GetKwDefaults(fn) == kwdefaults_.ptr();
}

void FunctionSeen::abandon() {
    for (py::object *o : {&function_, &code_, &defaults_, &kwdefaults_}) {
        o->release();
    }
}

py::handle ObjectSeen::take() {
    object_ = resolve(path_);
    return object_;
}

bool Facts::take_class(py::handle type) {
    ClassSeen seen;
    if (!seen.take(type)) {
        return false;
    }
    classes_.push_back(std::move(seen));
    return true;
}

bool Facts::take_module(py::handle module) {
    ModuleSeen seen;
    if (!seen.take(module)) {
        return false;
    }
    modules_.push_back(std::move(seen));
    return true;
}

py::handle Facts::take_object(const ObjectPath &path) {
    objects_.emplace_back(path);
    return objects_.back().take();
}

bool Facts::hold() const {
    for (const ClassSeen &seen : classes_) {
        if (!seen.same()) {
            return false;
        }
    }
    for (const ModuleSeen &seen : modules_) {
        if (!seen.same()) {
            return false;
        }
    }
    for (const ObjectSeen &seen : objects_) {
        if (!seen.same()) {
            return false;
        }
    }
    return true;
}

void Facts::clear() {
    classes_.clear();
    modules_.clear();
    objects_.clear();
}

}  // namespace sadrel
