// kvrt: the small runtime that korvane's native modules share.
//
// It knows how a function object behaves like a Python `def`, how arguments
// bind, how a module is created and executed, how globals are found at call
// time, and where C++ exceptions turn into Python errors. The modules
// themselves only hold method bodies written against pybind11's object layer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Everything here runs on a thread that holds the GIL, and nothing here
// releases it. pybind11 still takes the GIL around its error clean-up (the
// destruction of an error_already_set, its what()) through PyGILState_Ensure,
// which waits forever for itself when the host runs this thread on a thread
// state of its own making (PyThreadState_New, then PyThreadState_Swap). So
// inside pybind11 the GIL is taken as held: errors cross without taking it.
#ifdef PYBIND11_VERSION_MAJOR
#error "include kvrt.h before any pybind11 header"
#endif
namespace kvrt {
inline PyGILState_STATE gil_is_held_() noexcept { return PyGILState_LOCKED; }
inline void gil_stays_held_(PyGILState_STATE) noexcept {}
}  // namespace kvrt
#define PyGILState_Ensure() ::kvrt::gil_is_held_()
#define PyGILState_Release(state) ::kvrt::gil_stays_held_(state)
#define PyGILState_Check() 1
#include <pybind11/pybind11.h>
#undef PyGILState_Ensure
#undef PyGILState_Release
#undef PyGILState_Check

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

namespace py = pybind11;

#define KVRT_NOINLINE __attribute__((noinline, cold))

namespace kvrt {

/// A process-wide interned str for a C string literal, made once and kept.
PyObject *intern(const char *text);

/// The globals of a module as a function body sees them: the module
/// dictionary first, then the builtins, else NameError (as LOAD_GLOBAL does).
class Globals {
public:
    explicit Globals(py::handle dict) : dict_(dict) {}
    /// Look a global up now, every time it is called.
    py::object operator[](const char *name) const;
    /// Bind a module global.
    void set(const char *name, py::handle value) const;
    py::handle dict() const { return dict_; }

private:
    py::handle dict_;
};

/// Arguments of one call, bound in parameter order.
using Args = const py::object *;

/// The C++ body behind a function object. `closure` is what the function
/// object was made with (None for methods).
using Body = py::object (*)(const Globals &g, py::handle closure, Args args);

/// Everything about a function that is fixed when the module is built.
struct FunctionDef {
    const char *name;      // bare name, also used in binding errors
    const char *qualname;  // "Class.method" or "Class.method.<locals>.inner"
    const char *doc;
    const char *const *params;
    int nparams;
    Body body;
};

/// Adapts a body written with one parameter per argument.
template <typename... H, std::size_t... I>
py::object invoke_(py::object (*fn)(const Globals &, H...), const Globals &g, Args a,
                   std::index_sequence<I...>) {
    return fn(g, a[I]...);
}

template <typename R, typename... H>
constexpr std::size_t arity_(R (*)(const Globals &, H...)) {
    return sizeof...(H);
}

template <auto Fn>
py::object plain_body_(const Globals &g, py::handle, Args a) {
    return invoke_(Fn, g, a, std::make_index_sequence<arity_(Fn)>{});
}

/// Describes a function whose body takes its parameters one by one:
/// `def_<&body>(name, qualname, doc, params)`; the parameter count is checked
/// against the body at compile time. `params` and the result must be static:
/// function objects keep pointing at them.
template <auto Fn, std::size_t N>
constexpr FunctionDef def_(const char *name, const char *qualname, const char *doc,
                           const char *const (&params)[N]) {
    static_assert(arity_(Fn) == N, "parameter names and body arity differ");
    return FunctionDef{name, qualname, doc, params, static_cast<int>(N), &plain_body_<Fn>};
}

/// A new function object: binds like a Python function, carries the usual
/// introspection attributes, and runs `def.body` with `globals`.
py::object make_function(const FunctionDef &def, const char *module, py::handle globals,
                         py::tuple defaults, py::handle closure = py::none());

/// Whether `obj` is a function object made by make_function from `def`.
bool is_function_of(py::handle obj, const FunctionDef &def) noexcept;

/// `class <name>(object):` with the given docstring and methods, in order.
py::object make_class(const Globals &g, const char *module, const char *name, const char *doc,
                      std::initializer_list<py::object> methods);

/// `import <name>`: binds the top-level package under its own name.
void import_module(const Globals &g, const char *name);

/// `from <module> import <names...>`: binds each name, in order.
void import_from(const Globals &g, const char *module, std::initializer_list<const char *> names);

/// `from <module> import <name>` inside a function: the value, bound nowhere.
py::object from_import(const Globals &g, const char *module, const char *name);

/// Python's rich comparison `a <op> b` as a bool.
inline bool compare(PyObject *a, PyObject *b, int op) {
    int result = PyObject_RichCompareBool(a, b, op);
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

/// `a == b`, for handles, objects and item/attribute accessors alike.
template <typename A, typename B>
bool eq(const A &a, const B &b) {
    return compare(a.ptr(), b.ptr(), Py_EQ);
}

/// `a != b`
template <typename A, typename B>
bool ne(const A &a, const B &b) {
    return compare(a.ptr(), b.ptr(), Py_NE);
}

/// `a < b`
template <typename A, typename B>
bool lt(const A &a, const B &b) {
    return compare(a.ptr(), b.ptr(), Py_LT);
}

/// Python truth of `value` (`if value:`); raises what `__bool__`/`__len__` raise.
inline bool is_true(py::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) {
        throw py::error_already_set();
    }
    return truth != 0;
}

/// While alive, `e` is the exception being handled, as inside `except`:
/// sys.exc_info() shows it, and an error raised meanwhile gets it as
/// __context__. Like `except`, it sets and afterwards restores the innermost
/// slot (that of the running generator or coroutine, else the thread's),
/// never the handled exception of an outer frame.
class Handling {
public:
    explicit Handling(const py::error_already_set &e) noexcept;
    ~Handling();
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;

private:
#if PY_VERSION_HEX >= 0x030B0000
    PyObject *value_;
#else
    PyObject *type_;
    PyObject *value_;
    PyObject *traceback_;
#endif
};

/// Raise `exc` (a type or an instance) as Python's `raise` does, keeping an
/// instance's traceback.
[[noreturn]] void raise(py::handle exc);

/// Raise `type(message)`.
[[noreturn]] void raise(PyObject *type, const char *message);

/// The one boundary where C++ exceptions become Python errors.
void set_python_error_from_current_exception() noexcept;

template <typename F>
PyObject *guarded(F &&fn) noexcept {
    try {
        return fn().release().ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

/// What a module is: its names, its body and its process-wide record.
struct ModuleState {
    const char *name;            // "sadrel"
    const char *qualified_name;  // "korvane.sadrel.sadrel"
    const char *doc;
    void (*body)(const Globals &g);
    PyObject *module = nullptr;  // the one module object of this process
};

/// Has `forget` run when this interpreter's life ends (at the end of
/// Py_FinalizeEx), once however often it is asked in one life: what a module
/// keeps for one life is forgotten there, as the runtime forgets its own.
/// The objects of that life are gone by then and must not be released.
void at_interpreter_end(void (*forget)()) noexcept;

/// Forgets the function type, so that the next interpreter of this process
/// makes it afresh; only for the end of an interpreter's life.
void forget_function_type() noexcept;

PyObject *module_create(ModuleState &state, PyObject *spec) noexcept;
int module_exec(ModuleState &state, PyObject *module) noexcept;

}  // namespace kvrt

// The create step itself refuses every interpreter but the first, and does so
// safely under any GIL. Declaring that lets an interpreter with a GIL of its own
// reach the create step, so the importer gets the module's own refusal rather
// than the import system's generic one.
#ifdef Py_mod_multiple_interpreters
#define KVRT_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define KVRT_INTERPRETER_SLOT
#endif

/// Defines the module's multi-phase definition and its one exported entry
/// point, `PyInit_<name>`, which returns the definition and does nothing else.
#define KVRT_MODULE(NAME, QUALIFIED, DOC, BODY)                                              \
    static kvrt::ModuleState kvrt_state_{#NAME, QUALIFIED, DOC, BODY};                        \
    static PyObject *kvrt_create_(PyObject *spec, PyModuleDef *) {                            \
        return kvrt::module_create(kvrt_state_, spec);                                        \
    }                                                                                         \
    static int kvrt_exec_(PyObject *module) { return kvrt::module_exec(kvrt_state_, module); } \
    static PyModuleDef_Slot kvrt_slots_[] = {{Py_mod_create, (void *)kvrt_create_},           \
                                             {Py_mod_exec, (void *)kvrt_exec_},               \
                                             KVRT_INTERPRETER_SLOT                            \
                                             {0, nullptr}};                                   \
    /* The docstring is set by the create step, so a re-import keeps __doc__. */              \
    static PyModuleDef kvrt_def_ = {PyModuleDef_HEAD_INIT, #NAME, nullptr, 0,                 \
                                    nullptr, kvrt_slots_, nullptr, nullptr, nullptr};         \
    extern "C" __attribute__((visibility("default"))) PyObject *PyInit_##NAME(void) {         \
        return PyModuleDef_Init(&kvrt_def_);                                                  \
    }
