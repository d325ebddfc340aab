// What the module keeps for one interpreter life, reset by the runtime when that life ends.
#pragma once

namespace sadrel {

struct StdJson;

/// The facts that hold for a whole interpreter life. A later life of this
/// process (Py_Initialize after Py_FinalizeEx) starts afresh: its objects
/// are new, and those of the old life went with it, unreleased.
struct LifeState {
    bool json_taken = false;       // std_json was decided
    StdJson *std_json = nullptr;   // json as the life first showed it, if the standard library's own
    int bytes_warning = -1;        // sys.flags.bytes_warning: 1 with -b, 0 without, -1 not known yet
};

/// This life's state.
LifeState &life();

bool read_bytes_warning();

/// Whether the interpreter runs with -b: comparing bytes with str warns then.
inline bool bytes_warnings() {
    const int known = life().bytes_warning;
    return known >= 0 ? known != 0 : read_bytes_warning();
}

/// From the module body, once a life: has the runtime forget the state at
/// the life's end.
void begin_life();

}  // namespace sadrel
