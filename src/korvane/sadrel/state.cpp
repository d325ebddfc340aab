// The module's state for one interpreter life.
#include "state.h"

#include "guards/json_facts.h"
#include "kvrt.h"

namespace sadrel {
namespace {

LifeState state;

void end_life() {
    if (state.std_json != nullptr) {
        state.std_json->abandon();
        delete state.std_json;
    }
    state = LifeState();
}

}  // namespace

LifeState &life() { return state; }

bool read_bytes_warning() {
    if (state.bytes_warning < 0) {
        PyObject *flags = PySys_GetObject("flags");  // borrowed
        if (flags == nullptr) {
            return true;  // cannot tell: take the plain path
        }
        py::object value = py::reinterpret_borrow<py::object>(flags).attr("bytes_warning");
        state.bytes_warning = kvrt::is_true(value) ? 1 : 0;
    }
    return state.bytes_warning != 0;
}

void begin_life() { kvrt::at_interpreter_end(end_life); }

}  // namespace sadrel
