// Identity guards: a library's objects as an export first saw them, checked
// again before each step that stands for them. A class is covered whole:
// every entry of its __dict__ and of its bases' (functions, properties,
// class attributes), and its method resolution order.
#pragma once

#include "kvrt.h"

#include <initializer_list>
#include <utility>
#include <vector>

namespace sadrel {

/// `sys.modules.get(name)`, borrowed, or nullptr.
PyObject *loaded(const char *name);

/// `getattr(obj, name)`, or an empty object for a missing attribute.
py::object attr_or_empty(py::handle obj, const char *name);

/// The class `module.name`, as loaded, or an empty object.
py::object loaded_class(const char *module, const char *name);

/// `cls.name`, as the class's MRO finds it, is a plain function of the module `module`.
bool own_function(py::handle cls, const char *name, const char *module);

/// `obj.name` is `cls.name` bound to `obj`: no instance attribute shadows it.
bool bound_own(py::handle obj, py::handle cls, const char *name);

/// `type(obj) is type`
inline bool exactly(py::handle obj, py::handle type) {
    return obj && type && reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr())) == type.ptr();
}

/// A class as first seen. Classes that cannot change (built-in and immutable
/// extension types) are not recorded.
class ClassSeen {
public:
    ClassSeen() = default;
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
    ModuleSeen() = default;
    bool take(py::handle module);
    bool same() const;

private:
    py::object module_;
    py::object copy_;
};

}  // namespace sadrel
