// The facts behind the native row parser: the standard library's json as this interpreter life first showed it.
#pragma once

#include "guards/seen.h"
#include "kvrt.h"

namespace sadrel {

/// The standard library's json, as the row parser may stand for it: the
/// package, its loads (no defaults but None) and detect_encoding,
/// JSONDecoder of json.decoder with its decode and raw_decode, and the type
/// of the C scanner.
struct StdJson {
    py::object module;
    FunctionSeen loads;
    FunctionSeen detect_encoding;
    py::object decoder_type;
    FunctionSeen decode;
    FunctionSeen raw_decode;
    py::object scanner_type;

    /// Lets go of every reference without releasing it: for the end of the
    /// interpreter life, when the objects are gone already.
    void abandon();
};

/// Notes json as this interpreter life shows it now, once a life: what the
/// checks below compare with, object by object.
void note_stdlib_json();

/// `json` is the standard library's json as first seen, with its own loads,
/// detect_encoding and default decoder: of JSONDecoder itself, with its own
/// decode and raw_decode, the C scanner and the default number types. Gives
/// the loads and the decoder it found, for the checks before each parse.
bool stdlib_json(py::handle json, py::object &loads, py::object &decoder);

}  // namespace sadrel
