// The one test of "the library's own function", for every guard.
#pragma once

#include "kvrt.h"

namespace sadrel {

/// `fn` is a plain Python function that runs with the globals of the loaded
/// module `module`; with `package`, of any loaded module of the package
/// `module` (the package itself or a module under it).
bool own_function(py::handle fn, const char *module, bool package = false);

/// `cls.name`, as the class's MRO finds it (no descriptor called), is such
/// a function of `module`.
bool own_method(py::handle cls, const char *name, const char *module);

/// `cls.__dict__[name]` is a property whose getter is such a function of `module`.
bool own_property(py::handle cls, const char *name, const char *module);

/// `obj.name` is `cls.name` bound to `obj`: no instance attribute shadows it.
bool bound_own(py::handle obj, py::handle cls, const char *name);

}  // namespace sadrel
