// `json.loads(row)` for the rows of one export.
#include "export/json_loads.h"

#include "guards/json_facts.h"

namespace sadrel {
namespace {

/// `function(argument)`
py::object call(py::handle function, py::handle argument) {
    PyObject *result = PyObject_CallFunctionObjArgs(function.ptr(), argument.ptr(), nullptr);
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

/// `globals[key]`, borrowed, or nullptr when missing.
PyObject *item(PyObject *globals, const char *key) {
    PyObject *value = PyDict_GetItemWithError(globals, kvrt::intern(key));
    if (value == nullptr && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return value;
}

}  // namespace

void JsonLoads::python_ran() {
    json_ = py::object();
    native_ = false;
    looked_up_ = false;
    unchanged_.python_ran();
}

bool JsonLoads::stdlib_now() {
    if (looked_up_) {
        return native_;  // no Python code ran since: the global is the one looked up
    }
    looked_up_ = true;
    // The global `json`: the module's own binding, else the builtins' (g_ does both).
    PyObject *bound = item(g_.dict().ptr(), "json");
    py::object json = bound != nullptr ? py::reinterpret_borrow<py::object>(bound) : g_["json"];
    if (json.ptr() != json_.ptr()) {
        json_ = json;
        native_ = stdlib_json(json, loads_, decoder_);
        unchanged_.python_ran();
    }
    return native_;
}

/// json.loads and json._default_decoder are still the ones stdlib_now() found.
bool JsonLoads::loads_unchanged() {
    PyObject *globals = PyModule_GetDict(json_.ptr());
    return item(globals, "loads") == loads_.ptr() && item(globals, "_default_decoder") == decoder_.ptr();
}

py::object JsonLoads::operator()(py::handle row) {
    if (PyBytes_CheckExact(row.ptr())) {
        return loads(row, PyBytes_AS_STRING(row.ptr()), PyBytes_GET_SIZE(row.ptr()));
    }
    return loads(row, nullptr, 0);
}

py::object JsonLoads::operator()(const Line &row) {
    if (row.object) {
        return (*this)(row.object);
    }
    return loads(py::handle(), row.data, row.size);
}

/// json.loads of `row`, or of the bytes `data` when `row` is empty.
py::object JsonLoads::loads(py::handle row, const char *data, Py_ssize_t size) {
    py::object made;
    auto text = [&]() -> py::handle {
        if (row) {
            return row;
        }
        if (!made) {
            made = py::bytes(data, static_cast<std::size_t>(size));
        }
        return made;
    };
    stdlib_now();
    py::object json = json_;
    if (native_) {
        PyObject *found = item(PyModule_GetDict(json.ptr()), "loads");
        if (found != nullptr) {
            if (data != nullptr && loads_unchanged()) {
                PyObject *parsed = fastjson::parse_scalar_array(data, size);
                if (parsed != nullptr) {
                    return py::reinterpret_steal<py::object>(parsed);
                }
                if (PyErr_Occurred()) {
                    throw py::error_already_set();
                }
            }
            // json.loads(row), with the function just found, held while it runs
            py::object function = py::reinterpret_borrow<py::object>(found);
            return call(function, text());
        }
    }
    py::object function = json.attr("loads");
    return call(function, text());
}

}  // namespace sadrel
