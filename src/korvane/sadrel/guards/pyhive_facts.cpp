// The facts behind the page stand-in for pyhive's fetch loop.
#include "guards/pyhive_facts.h"

#include "guards/json_facts.h"
#include "guards/own.h"
#include "guards/releases.h"

namespace sadrel {
namespace {

/// The methods of the cursor that the stand-in acts for, and their modules.
constexpr const char *kCommonMethods[] = {"fetchmany", "fetchone", "_fetch_while"};
constexpr const char *kPrestoMethods[] = {"execute", "_reset_state", "_fetch_more", "_process_response",
                                          "_process_data"};

/// `module.__dict__[name]`, or an empty object.
py::object global(py::handle module, const char *name) {
    PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(module.ptr()), kvrt::intern(name));
    if (value == nullptr && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

/// The class attribute `name` as an exact int.
bool class_int(py::handle type, const char *name, long long *out) {
    py::object value = attr_or_empty(type, name);
    if (!value || !PyLong_CheckExact(value.ptr())) {
        return false;
    }
    *out = PyLong_AsLongLong(value.ptr());
    if (*out == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return true;
}

/// `name` is in the instance's own __dict__.
bool shadowed(py::handle obj, const char *name) {
    PyObject *made = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (made == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return false;  // no __dict__: nothing to shadow
    }
    py::object dict = py::reinterpret_steal<py::object>(made);
    PyObject *found = PyDict_GetItemWithError(dict.ptr(), kvrt::intern(name));
    if (found == nullptr && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return found != nullptr;
}

}  // namespace

bool PyhiveFacts::take(py::handle cursor) {
    facts_.clear();
    PyObject *presto = loaded("pyhive.presto");
    PyObject *common = loaded("pyhive.common");
    PyObject *logging = loaded("logging");
    if (!pyhive_release() || presto == nullptr || common == nullptr || logging == nullptr ||
        !PyModule_CheckExact(presto) || !PyModule_CheckExact(common)) {
        return false;
    }
    presto_ = py::reinterpret_borrow<py::object>(presto);
    common_ = py::reinterpret_borrow<py::object>(common);
    cursor_type_ = loaded_class("pyhive.presto", "Cursor");
    if (!exactly(cursor, cursor_type_)) {
        return false;
    }
    for (const char *name : kCommonMethods) {
        if (!own_method(cursor_type_, name, "pyhive.common")) {
            return false;
        }
    }
    for (const char *name : kPrestoMethods) {
        if (!own_method(cursor_type_, name, "pyhive.presto")) {
            return false;
        }
    }
    if (!own_property(cursor_type_, "description", "pyhive.presto")) {
        return false;
    }
    if (!class_int(cursor_type_, "_STATE_NONE", &none) || !class_int(cursor_type_, "_STATE_RUNNING", &running) ||
        !class_int(cursor_type_, "_STATE_FINISHED", &finished)) {
        return false;
    }
    // The globals the methods read: requests, _logger, TYPES_CONVERTER and
    // the errors in pyhive.presto, time in pyhive.common.
    requests_ = global(presto_, "requests");
    logger_ = global(presto_, "_logger");
    if (!requests_ || requests_.ptr() != loaded("requests") || !exactly(logger_, loaded_class("logging", "Logger")) ||
        !PyModule_CheckExact(requests_.ptr())) {
        return false;
    }
    session_type_ = loaded_class("requests.sessions", "Session");
    response_type_ = loaded_class("requests.models", "Response");
    PyObject *models = loaded("requests.models");
    if (!session_type_ || !response_type_ || models == nullptr || !PyModule_CheckExact(models)) {
        return false;
    }
    models_ = py::reinterpret_borrow<py::object>(models);
    for (const char *name : {"debug", "info", "isEnabledFor"}) {
        if (!own_method(loaded_class("logging", "Logger"), name, "logging")) {
            return false;
        }
    }
    if (!own_method(response_type_, "json", "requests.models") || !own_property(response_type_, "content", "requests.models") || !own_method(session_type_, "get", "requests.sessions") ||
        !own_method(session_type_, "post", "requests.sessions")) {
        return false;
    }
    return facts_.take_class(cursor_type_) && facts_.take_class(loaded_class("logging", "Logger")) &&
           facts_.take_class(response_type_) && facts_.take_class(session_type_) && facts_.take_module(presto_) &&
           facts_.take_module(common_) && facts_.take_module(models_) && facts_.take_module(requests_) &&
           hold(cursor);
}

bool PyhiveFacts::hold(py::handle cursor) const {
    if (!cursor_type_ || !facts_.hold() || !exactly(cursor, cursor_type_)) {
        return false;
    }
    for (const char *name : kCommonMethods) {
        if (shadowed(cursor, name)) {
            return false;
        }
    }
    for (const char *name : kPrestoMethods) {
        if (shadowed(cursor, name)) {
            return false;
        }
    }
    return session_own(cursor, "get");
}

bool PyhiveFacts::own_post(py::handle cursor) const { return session_own(cursor, "post"); }

/// `cursor._requests_session.<verb>` is requests' own: the module's function, or Session's method.
bool PyhiveFacts::session_own(py::handle cursor, const char *verb) const {
    py::object session = attr_or_empty(cursor, "_requests_session");
    if (!session) {
        return false;
    }
    if (session.ptr() == requests_.ptr()) {
        return own_function(global(requests_, verb), "requests.api");
    }
    return exactly(session, session_type_) && !shadowed(session, verb);
}

py::object PyhiveFacts::presto_global(const char *name) const { return global(presto_, name); }

bool PyhiveFacts::debug_enabled() const {
    return kvrt::is_true(logger_.attr("isEnabledFor")(10));  // logging.DEBUG
}

bool PyhiveFacts::info_enabled() const {
    return kvrt::is_true(logger_.attr("isEnabledFor")(20));  // logging.INFO (DEBUG implies it)
}

bool PyhiveFacts::own_response(py::handle response) const {
    return exactly(response, response_type_) && !shadowed(response, "json");
}

py::object PyhiveFacts::stdlib_loads() const {
    py::object json = global(models_, "complexjson");
    py::object loads;
    py::object decoder;
    if (!json || !stdlib_json(json, loads, decoder)) {
        return py::object();
    }
    return loads;
}

PyObject *PyhiveFacts::converters() const {
    py::object found = global(presto_, "TYPES_CONVERTER");
    return found && PyDict_CheckExact(found.ptr()) ? found.ptr() : nullptr;  // held by the module's globals
}

}  // namespace sadrel
