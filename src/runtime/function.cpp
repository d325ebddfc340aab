// The function type: a C++ body that binds, calls and introspects like a Python `def`.
#include "kvrt.h"

#include <structmember.h>

#include <cstring>

namespace kvrt {
namespace {

/// Enough for every method of both modules; checked when a function is made.
constexpr int kMaxParams = 16;

struct Function {
    PyObject_HEAD
    const FunctionDef *def;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;  // tuple, or NULL for none
    PyObject *globals;
    PyObject *closure;
    PyObject *dict;
    PyObject *weakrefs;
};

// ---- argument binding --------------------------------------------------------

KVRT_NOINLINE void raise_arg_count(const Function *f, Py_ssize_t ndefaults, Py_ssize_t found) {
    const Py_ssize_t nmax = f->def->nparams;
    const Py_ssize_t nmin = nmax - ndefaults;
    const Py_ssize_t expected = found < nmin ? nmin : nmax;
    const char *more_or_less = ndefaults == 0 ? "exactly" : (found < nmin ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->def->name, more_or_less, expected, expected == 1 ? "" : "s", found);
}

KVRT_NOINLINE void raise_unexpected_keyword(const Function *f, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f->def->name, key);
}

KVRT_NOINLINE void raise_multiple_values(const Function *f, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", f->def->name,
                 key);
}

KVRT_NOINLINE void raise_keywords_not_strings(const Function *f) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->def->name);
}

/// Index of the parameter named `key`, -1 if none, -2 on error. Names are
/// interned, so identity almost always decides; equal strings still match.
int find_param(const Function *f, PyObject *key) {
    const int nparams = f->def->nparams;
    for (int i = 0; i < nparams; ++i) {
        if (intern(f->def->params[i]) == key) {
            return i;
        }
    }
    for (int i = 0; i < nparams; ++i) {
        int cmp = PyUnicode_Compare(intern(f->def->params[i]), key);
        if (cmp == 0) {
            return i;
        }
        if (cmp == -1 && PyErr_Occurred()) {
            return -2;
        }
    }
    return -1;
}

/// Binds `args` and `kwargs` to the parameters, as a Python function with
/// only positional-or-keyword parameters does, in its order of checks:
/// positional arguments fill the first parameters; then each keyword, in the
/// dict's order, must be a str naming a parameter not yet given; then come
/// too many positional arguments; then the first required parameter still
/// missing, counted by the parameters before it; the rest take defaults.
bool bind(const Function *f, PyObject *defaults, PyObject *args, PyObject *kwargs, py::object *out) {
    const int nparams = f->def->nparams;
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    const Py_ssize_t nrequired = nparams - ndefaults;
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    const Py_ssize_t ncopied = npos < nparams ? npos : nparams;
    for (Py_ssize_t i = 0; i < ncopied; ++i) {
        out[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key;
        PyObject *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                raise_keywords_not_strings(f);
                return false;
            }
            int found = find_param(f, key);
            if (found == -2) {
                return false;
            }
            if (found < 0) {
                raise_unexpected_keyword(f, key);
                return false;
            }
            if (out[found]) {
                raise_multiple_values(f, key);
                return false;
            }
            out[found] = py::reinterpret_borrow<py::object>(value);
        }
    }
    if (npos > nparams) {
        raise_arg_count(f, ndefaults, npos);
        return false;
    }
    for (Py_ssize_t i = npos; i < nparams; ++i) {
        if (out[i]) {
            continue;
        }
        if (i < nrequired) {
            raise_arg_count(f, ndefaults, i);
            return false;
        }
        out[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(defaults, i - nrequired));
    }
    return true;
}

// ---- the type --------------------------------------------------------------

PyObject *function_call(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    auto *f = reinterpret_cast<Function *>(self);
    return guarded([&] {
        if (f->globals == nullptr) {
            raise(PyExc_SystemError, "function object was cleared");
        }
        // Our own references: the call may replace __defaults__ meanwhile.
        py::object defaults = py::reinterpret_borrow<py::object>(f->defaults);
        py::object globals = py::reinterpret_borrow<py::object>(f->globals);
        py::object closure = py::reinterpret_borrow<py::object>(f->closure);
        py::object bound[kMaxParams];
        if (!bind(f, defaults.ptr(), args, kwargs, bound)) {
            throw py::error_already_set();
        }
        return f->def->body(Globals(globals), closure, bound);
    });
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    auto *f = reinterpret_cast<Function *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<Function *>(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->closure);
    Py_VISIT(f->dict);
    return 0;
}

/// Breaks cycles; __name__ and __qualname__ stay (always str, part of no cycle)
/// so repr and the getters keep working on a cleared function.
int function_clear(PyObject *self) {
    auto *f = reinterpret_cast<Function *>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<Function *>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    PyObject_GC_Del(self);
}

// __name__ and __qualname__ take only str, as for Python functions.
int set_str_attr(PyObject **slot, PyObject *value, const char *what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

PyObject *get_name(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    Py_INCREF(f->name);
    return f->name;
}

int set_name(PyObject *self, PyObject *value, void *) {
    return set_str_attr(&reinterpret_cast<Function *>(self)->name, value, "__name__");
}

PyObject *get_qualname(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    Py_INCREF(f->qualname);
    return f->qualname;
}

int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_str_attr(&reinterpret_cast<Function *>(self)->qualname, value, "__qualname__");
}

PyObject *get_defaults(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    PyObject *value = f->defaults ? f->defaults : Py_None;
    Py_INCREF(value);
    return value;
}

int set_defaults(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    if (value == nullptr || value == Py_None) {
        Py_CLEAR(f->defaults);
        return 0;
    }
    if (!PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (PyTuple_GET_SIZE(value) > f->def->nparams) {
        PyErr_SetString(PyExc_ValueError, "__defaults__ has more items than the function has parameters");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(f->defaults, value);
    return 0;
}

PyObject *get_kwdefaults(PyObject *, void *) { Py_RETURN_NONE; }

PyObject *get_globals(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    PyObject *globals = f->globals ? f->globals : Py_None;
    Py_INCREF(globals);
    return globals;
}

PyObject *get_annotations(PyObject *, void *) { return PyDict_New(); }

/// inspect.Signature of the parameters and current defaults.
PyObject *get_signature(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    // Our own reference: Parameter() runs Python code, which may replace __defaults__.
    py::object defaults = py::reinterpret_borrow<py::object>(f->defaults);
    return guarded([&] {
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter = inspect.attr("Parameter");
        py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        const int nparams = f->def->nparams;
        const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
        py::list params;
        for (int i = 0; i < nparams; ++i) {
            py::str name(f->def->params[i]);
            Py_ssize_t d = i - (nparams - ndefaults);
            if (d >= 0) {
                params.append(parameter(name, kind, py::arg("default") = py::reinterpret_borrow<py::object>(
                                                        PyTuple_GET_ITEM(defaults.ptr(), d))));
            } else {
                params.append(parameter(name, kind));
            }
        }
        return inspect.attr("Signature")(params);
    });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {const_cast<char *>("__module__"), T_OBJECT, offsetof(Function, module), 0, nullptr},
    {const_cast<char *>("__doc__"), T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject function_type_template() {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "korvane_function";
    t.tp_basicsize = sizeof(Function);
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(Function, weakrefs);
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(Function, dict);
    return t;
}

// Readied once per interpreter life: what PyType_Ready fills in belongs to
// the interpreter that readied it.
PyTypeObject the_function_type = function_type_template();
bool function_type_ready = false;

PyTypeObject *function_type() {
    if (!function_type_ready) {
        if (PyType_Ready(&the_function_type) < 0) {
            throw py::error_already_set();
        }
        function_type_ready = true;
    }
    return &the_function_type;
}

}  // namespace

void forget_function_type() noexcept {
    the_function_type = function_type_template();
    function_type_ready = false;
}

bool is_function_of(py::handle obj, const FunctionDef &def) noexcept {
    return function_type_ready && Py_TYPE(obj.ptr()) == &the_function_type &&
           reinterpret_cast<const Function *>(obj.ptr())->def == &def;
}

py::object make_function(const FunctionDef &def, const char *module, py::handle globals,
                         py::tuple defaults, py::handle closure) {
    if (def.nparams > kMaxParams || static_cast<int>(defaults.size()) > def.nparams) {
        raise(PyExc_SystemError, "bad function definition");
    }
    PyTypeObject *type = function_type();
    auto *f = PyObject_GC_New(Function, type);
    if (f == nullptr) {
        throw py::error_already_set();
    }
    f->def = &def;
    f->name = f->qualname = f->module = f->doc = nullptr;
    f->defaults = f->globals = f->closure = f->dict = f->weakrefs = nullptr;
    // Owned from here on, so a failure below releases it.
    py::object result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));
    f->name = py::str(def.name).release().ptr();
    f->qualname = py::str(def.qualname).release().ptr();
    f->module = py::str(module).release().ptr();
    f->doc = def.doc ? py::str(def.doc).release().ptr() : py::none().release().ptr();
    f->defaults = defaults.size() ? defaults.release().ptr() : nullptr;
    f->globals = py::reinterpret_borrow<py::object>(globals).release().ptr();
    f->closure = py::reinterpret_borrow<py::object>(closure).release().ptr();
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return result;
}

}  // namespace kvrt
