// Module life cycle, imports, class creation, global lookup and the error boundary.
#include "kvrt.h"

#include <frameobject.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>

namespace kvrt {

namespace {

// Interned names, keyed by the literal's address: each call site's name is
// made once per interpreter life.
std::unordered_map<const char *, PyObject *> interned_names;

}  // namespace

PyObject *intern(const char *text) {
    auto &names = interned_names;
    auto it = names.find(text);
    if (it != names.end()) {
        return it->second;
    }
    PyObject *name = PyUnicode_InternFromString(text);
    if (name == nullptr) {
        throw py::error_already_set();
    }
    names.emplace(text, name);
    return name;
}

// ---- globals ---------------------------------------------------------------

namespace {

/// The builtins that code running with `globals` sees: globals' own
/// `__builtins__` (a module stands for its dictionary), else the current ones.
py::handle builtins_of(py::handle globals) {
    PyObject *builtins = PyDict_GetItemWithError(globals.ptr(), intern("__builtins__"));
    if (builtins == nullptr && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (builtins == nullptr) {
        builtins = PyEval_GetBuiltins();
    } else if (PyModule_Check(builtins)) {
        builtins = PyModule_GetDict(builtins);
    }
    return builtins;
}

/// `builtins[name]`, or an empty object when there is no such builtin.
py::object find_builtin(py::handle globals, PyObject *name) {
    py::handle builtins = builtins_of(globals);
    if (PyDict_Check(builtins.ptr())) {
        PyObject *value = PyDict_GetItemWithError(builtins.ptr(), name);
        if (value == nullptr && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        return py::reinterpret_borrow<py::object>(value);
    }
    PyObject *value = PyObject_GetItem(builtins.ptr(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
    }
    return py::reinterpret_steal<py::object>(value);
}

KVRT_NOINLINE py::object lookup_builtin(py::handle globals, PyObject *name) {
    py::object value = find_builtin(globals, name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw py::error_already_set();
    }
    return value;
}

}  // namespace

py::object Globals::operator[](const char *name) const {
    PyObject *key = intern(name);
    PyObject *value = PyDict_GetItemWithError(dict_.ptr(), key);
    if (value != nullptr) {
        return py::reinterpret_borrow<py::object>(value);
    }
    if (PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return lookup_builtin(dict_, key);
}

void Globals::set(const char *name, py::handle value) const {
    if (PyDict_SetItem(dict_.ptr(), intern(name), value.ptr()) < 0) {
        throw py::error_already_set();
    }
}

// ---- handling ------------------------------------------------------------

// The public calls read the topmost exception being handled, which may be an
// outer frame's, and write the innermost slot. To restore that slot as it
// was, it is emptied once after reading: if the outer frames then show the
// same exception, the slot was empty (or held the very exception they show).

#if PY_VERSION_HEX >= 0x030B0000

Handling::Handling(const py::error_already_set &e) noexcept {
    value_ = PyErr_GetHandledException();
    PyErr_SetHandledException(Py_None);
    PyObject *outer = PyErr_GetHandledException();
    if (outer == value_) {
        Py_CLEAR(value_);
    }
    Py_XDECREF(outer);
    PyErr_SetHandledException(e.value().ptr());
}

Handling::~Handling() {
    PyErr_SetHandledException(value_ ? value_ : Py_None);
    Py_XDECREF(value_);
}

#else

Handling::Handling(const py::error_already_set &e) noexcept {
    PyErr_GetExcInfo(&type_, &value_, &traceback_);
    PyErr_SetExcInfo(nullptr, nullptr, nullptr);
    PyObject *type, *value, *traceback;
    PyErr_GetExcInfo(&type, &value, &traceback);
    if (type == type_ && value == value_ && traceback == traceback_) {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(traceback_);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_SetExcInfo(e.type().inc_ref().ptr(), e.value().inc_ref().ptr(), e.trace().inc_ref().ptr());
}

Handling::~Handling() { PyErr_SetExcInfo(type_, value_, traceback_); }

#endif

// ---- raising ---------------------------------------------------------------

void raise(py::handle exc) {
    if (!PyExceptionInstance_Check(exc.ptr()) && !PyExceptionClass_Check(exc.ptr())) {
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    if (PyExceptionInstance_Check(exc.ptr())) {
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr()));
        Py_INCREF(type);
        Py_INCREF(exc.ptr());
        PyErr_Restore(type, exc.ptr(), PyException_GetTraceback(exc.ptr()));
    } else {
        PyErr_SetNone(exc.ptr());
    }
    throw py::error_already_set();
}

void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw py::error_already_set();
}

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// ---- imports ---------------------------------------------------------------

namespace {

/// `__import__(name, globals, locals, fromlist, 0)` with the `__import__` of
/// the globals' builtins, as the import statement calls it; `locals` is the
/// module dictionary at module level and None inside a function.
py::object import_level0(const Globals &g, const char *name, py::handle locals, py::handle fromlist) {
    py::object import = find_builtin(g.dict(), intern("__import__"));
    if (!import) {
        raise(PyExc_ImportError, "__import__ not found");
    }
    return import(py::reinterpret_borrow<py::object>(intern(name)), g.dict(), locals, fromlist, 0);
}

/// `from module import name` for one name: the attribute, else an already
/// imported submodule of that name, else ImportError.
py::object import_name(py::handle module, const char *name) {
    PyObject *key = intern(name);
    PyObject *value = PyObject_GetAttr(module.ptr(), key);
    if (value != nullptr) {
        return py::reinterpret_steal<py::object>(value);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw py::error_already_set();
    }
    PyErr_Clear();
    PyObject *package = PyModule_Check(module.ptr()) ? PyModule_GetNameObject(module.ptr()) : nullptr;
    if (package != nullptr) {
        PyObject *full = PyUnicode_FromFormat("%U.%U", package, key);
        Py_DECREF(package);
        if (full == nullptr) {
            throw py::error_already_set();
        }
        PyObject *sub = PyImport_GetModule(full);
        Py_DECREF(full);
        if (sub != nullptr) {
            return py::reinterpret_steal<py::object>(sub);
        }
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
    } else {
        PyErr_Clear();  // clears: a module without a name, reported as the import statement reports it
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", key);
    throw py::error_already_set();
}

}  // namespace

void import_module(const Globals &g, const char *name) {
    py::object module = import_level0(g, name, g.dict(), py::none());
    const char *dot = std::strchr(name, '.');
    if (dot == nullptr) {
        g.set(name, module);
    } else {
        PyObject *top = PyUnicode_FromStringAndSize(name, dot - name);
        if (top == nullptr || PyDict_SetItem(g.dict().ptr(), top, module.ptr()) < 0) {
            Py_XDECREF(top);
            throw py::error_already_set();
        }
        Py_DECREF(top);
    }
}

void import_from(const Globals &g, const char *module, std::initializer_list<const char *> names) {
    py::tuple fromlist(names.size());
    size_t i = 0;
    for (const char *name : names) {
        fromlist[i++] = py::reinterpret_borrow<py::object>(intern(name));
    }
    py::object source = import_level0(g, module, g.dict(), fromlist);
    for (const char *name : names) {
        g.set(name, import_name(source, name));
    }
}

py::object from_import(const Globals &g, const char *module, const char *name) {
    py::object source =
        import_level0(g, module, py::none(), py::make_tuple(py::reinterpret_borrow<py::object>(intern(name))));
    return import_name(source, name);
}

// ---- classes ---------------------------------------------------------------

py::object make_class(const Globals &, const char *module, const char *name, const char *doc,
                      std::initializer_list<py::object> methods) {
    py::object bases = py::make_tuple(py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    // The most derived metaclass of (object,) is type(object), that is `type`.
    py::object metaclass = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject *>(Py_TYPE(reinterpret_cast<PyObject *>(&PyBaseObject_Type))));
    py::str class_name(name);
    py::object ns;
    PyObject *prepare = PyObject_GetAttr(metaclass.ptr(), intern("__prepare__"));
    if (prepare != nullptr) {
        ns = py::reinterpret_steal<py::object>(prepare)(class_name, bases);
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        ns = py::dict();
    } else {
        throw py::error_already_set();
    }
    ns[py::str("__module__")] = py::str(module);
    ns[py::str("__qualname__")] = class_name;
    ns[py::str("__doc__")] = py::str(doc);
    for (const py::object &method : methods) {
        ns[method.attr("__name__")] = method;
    }
    return metaclass(class_name, bases, ns);
}

// ---- module life cycle -----------------------------------------------------

namespace {

// The interpreter this binary's module belongs to, once recorded. Atomic:
// interpreters with a GIL of their own may import at the same time.
std::atomic<int64_t> recorded_interpreter{-1};

// What the module asked to forget at the end of the life (at_interpreter_end).
constexpr std::size_t kMaxLifeEndHooks = 8;
void (*life_end_hooks[kMaxLifeEndHooks])() = {};
std::size_t life_end_count = 0;

// The module state of this binary (each binary holds one module and its own
// copy of the runtime), known from the first create step of a life.
ModuleState *this_module = nullptr;

/// At the end of Py_FinalizeEx: forgets everything that belonged to the
/// interpreter that has just ended, so that a later Py_Initialize imports
/// the module afresh. Its objects are gone with it and are not released.
void end_of_interpreter_life() {
    for (std::size_t k = 0; k < life_end_count; ++k) {
        life_end_hooks[k]();
    }
    life_end_count = 0;
    if (this_module != nullptr) {
        this_module->module = nullptr;
        this_module = nullptr;
    }
    interned_names.clear();
    forget_function_type();
    recorded_interpreter = -1;
}

/// Arranges end_of_interpreter_life for this interpreter's end, once a life.
void watch_interpreter_life(ModuleState &state) {
    if (this_module == nullptr && Py_AtExit(end_of_interpreter_life) == 0) {
        this_module = &state;
    }
}

}  // namespace

void at_interpreter_end(void (*forget)()) noexcept {
    for (std::size_t k = 0; k < life_end_count; ++k) {
        if (life_end_hooks[k] == forget) {
            return;
        }
    }
    if (life_end_count < kMaxLifeEndHooks) {
        life_end_hooks[life_end_count++] = forget;
    }
}

namespace {

int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

/// Copies spec.<attr> to module.<name>; a missing attribute is skipped.
void copy_spec_attr(py::handle spec, py::handle module, const char *attr, const char *name,
                    bool skip_none) {
    PyObject *value = PyObject_GetAttrString(spec.ptr(), attr);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return;
    }
    py::object owned = py::reinterpret_steal<py::object>(value);
    if (skip_none && owned.is_none()) {
        return;
    }
    if (PyObject_SetAttrString(module.ptr(), name, value) < 0) {
        throw py::error_already_set();
    }
}

/// The traceback entry "init <qualified name>" for a failed exec step, made as
/// the interpreter makes one for native code: an empty code object of that
/// name, at line 0, in a frame of its own. Keeps the pending error; if the
/// entry cannot be made, the error goes on without it.
void add_init_traceback(const ModuleState &state) noexcept {
    std::string funcname = std::string("init ") + state.qualified_name;
    std::string file = state.qualified_name;
    for (char &c : file) {
        if (c == '.') {
            c = '/';
        }
    }
    file += ".cpp";
    // Building the entry may run Python code (the file-system codec), which
    // must not see the pending error.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject *globals = PyDict_New();
    PyCodeObject *code = globals != nullptr ? PyCode_NewEmpty(file.c_str(), funcname.c_str(), 0) : nullptr;
    PyFrameObject *frame = code != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(code);
    Py_XDECREF(globals);
    if (frame == nullptr) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace

PyObject *module_create(ModuleState &state, PyObject *spec) noexcept {
    // Checked with the bare C API, before any pybind11 object exists: this
    // may run in an interpreter that the module refuses.
    std::atomic<int64_t> &interpreter = recorded_interpreter;
    int64_t current = current_interpreter_id();
    if (current == -1) {
        return nullptr;
    }
    int64_t first = -1;
    if (!interpreter.compare_exchange_strong(first, current) && first != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    watch_interpreter_life(state);
    return guarded([&] {
        if (state.module != nullptr) {
            return py::reinterpret_borrow<py::object>(state.module);
        }
        py::handle s(spec);
        py::object name = s.attr("name");
        PyObject *created = PyModule_NewObject(name.ptr());
        if (created == nullptr) {
            throw py::error_already_set();
        }
        py::object module = py::reinterpret_steal<py::object>(created);
        if (PyModule_SetDocString(module.ptr(), state.doc) < 0) {
            throw py::error_already_set();
        }
        copy_spec_attr(s, module, "loader", "__loader__", false);
        copy_spec_attr(s, module, "origin", "__file__", false);
        copy_spec_attr(s, module, "parent", "__package__", false);
        copy_spec_attr(s, module, "submodule_search_locations", "__path__", true);
        return module;
    });
}

int module_exec(ModuleState &state, PyObject *module) noexcept {
    if (state.module != nullptr) {
        if (state.module == module) {
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     state.name);
        return -1;
    }
    Py_INCREF(module);
    state.module = module;
    bool registered_here = false;
    PyObject *ok = guarded([&] {
        py::handle m(module);
        PyObject *dict = PyModule_GetDict(module);
        if (dict == nullptr) {
            throw py::error_already_set();
        }
        Globals g{dict};
        PyObject *builtins = PyImport_ImportModule("builtins");
        if (builtins == nullptr) {
            throw py::error_already_set();
        }
        g.set("__builtins__", py::reinterpret_steal<py::object>(builtins));
        PyObject *modules = PyImport_GetModuleDict();
        PyObject *key = intern(state.qualified_name);
        PyObject *existing = PyDict_GetItemWithError(modules, key);
        if (existing == nullptr) {
            if (PyErr_Occurred() || PyDict_SetItem(modules, key, module) < 0) {
                throw py::error_already_set();
            }
            registered_here = true;
        }
        state.body(g);
        return py::none();
    });
    if (ok != nullptr) {
        Py_DECREF(ok);
        return 0;
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "init %s", state.qualified_name);
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (registered_here) {
        if (PyDict_DelItemString(PyImport_GetModuleDict(), state.qualified_name) < 0) {
            PyErr_Clear();
        }
    }
    PyErr_Restore(type, value, tb);
    add_init_traceback(state);
    Py_CLEAR(state.module);
    return -1;
}

}  // namespace kvrt
