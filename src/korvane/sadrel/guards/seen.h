// Facts about library objects as an export first saw them, and the guard that checks them again.
//
// A fast path stands for a library's own code only while that code is what
// was checked: each fast path gathers facts once (a class's whole __dict__
// and its bases', a module's globals, the object at a path, a function's
// parts) and checks them again before each step that stands for them. The
// facts hold references to what they saw, so no other object can take the
// place (and the address) of one that was swapped out.
#pragma once

#include "kvrt.h"

#include <utility>
#include <vector>

namespace sadrel {

/// `sys.modules.get(name)`, borrowed, or nullptr.
PyObject *loaded(const char *name);

/// `getattr(obj, name)`, or an empty object for a missing attribute. Only an
/// AttributeError means missing: anything else (an interrupt, a MemoryError
/// from a property) is raised.
py::object attr_or_empty(py::handle obj, const char *name);

/// The class `module.name`, as loaded, or an empty object.
py::object loaded_class(const char *module, const char *name);

/// `type(obj) is type`
inline bool exactly(py::handle obj, py::handle type) {
    return obj && type && reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr())) == type.ptr();
}

/// `value` is a str equal to the ASCII `text`.
bool str_equals(py::handle value, const char *text);

/// An object reached from a module of sys.modules through attributes.
struct ObjectPath {
    const char *module;
    const char *attrs[3];
};

/// The object at `path` now, or an empty object when any step is missing.
py::object resolve(const ObjectPath &path);

/// A class as first seen: every entry of its __dict__ and of its bases'
/// (functions, properties, class attributes), and its method resolution
/// order. Classes that cannot change (built-in and immutable extension
/// types) are not recorded.
class ClassSeen {
public:
    /// Records `type`; false if it is no class.
    bool take(py::handle type);
    /// Every class of the recorded MRO holds exactly the entries it held, and
    /// the MRO is the same tuple.
    bool same() const;
    py::handle type() const { return type_; }

private:
    py::object type_;
    py::object mro_;
    std::vector<std::pair<py::object, py::object>> dicts_;  // (class, copy of its __dict__)
};

/// A module's globals as first seen: each recorded name still holds the same
/// object (names added later, such as submodules, do not count).
class ModuleSeen {
public:
    bool take(py::handle module);
    bool same() const;

private:
    py::object module_;
    py::object copy_;
};

/// A plain Python function and the parts of it that decide what a call
/// does: its code, defaults and keyword defaults.
class FunctionSeen {
public:
    /// Records `fn`; false if it is no plain function.
    bool take(py::handle fn);
    /// `fn` is the function recorded, with the same code and defaults.
    bool same(PyObject *fn) const;
    py::handle function() const { return function_; }
    /// Lets go of the references without releasing them (the interpreter is gone).
    void abandon();

private:
    py::object function_;
    py::object code_;
    py::object defaults_;
    py::object kwdefaults_;
};

/// The object at a path as first seen (a missing one stays missing).
class ObjectSeen {
public:
    explicit ObjectSeen(const ObjectPath &path) : path_(path) {}
    /// Records what stands at the path now, and returns it.
    py::handle take();
    bool same() const { return resolve(path_).ptr() == object_.ptr(); }
    py::handle object() const { return object_; }

private:
    ObjectPath path_;
    py::object object_;
};

/// The facts of one fast path: each holds as it was first seen, or the
/// fast path gives way to the plain call.
class Facts {
public:
    bool take_class(py::handle type);
    bool take_module(py::handle module);
    /// Records the object at `path` and returns it (empty when missing).
    py::handle take_object(const ObjectPath &path);
    bool hold() const;
    void clear();

private:
    std::vector<ClassSeen> classes_;
    std::vector<ModuleSeen> modules_;
    std::vector<ObjectSeen> objects_;
};

/// A guard's verdict, kept until Python code may have run: everything a
/// fast path checked may have changed then (a read, a log call, pandas).
class Verdict {
public:
    template <class Check>
    bool holds(Check &&check) {
        if (!known_) {
            holds_ = check();
            known_ = true;
        }
        return holds_;
    }
    void python_ran() { known_ = false; }

private:
    bool known_ = false;
    bool holds_ = false;
};

}  // namespace sadrel
