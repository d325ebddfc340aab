// The facts behind the page stand-in: pyhive's Presto cursor, its module globals, requests' session and Response.
#pragma once

#include "guards/seen.h"
#include "kvrt.h"

namespace sadrel {

/// What one export's stand-in for pyhive's fetch loop found, once, and
/// checks again before each page: pyhive of a checked release; `cursor`
/// exactly pyhive.presto.Cursor, whose class and bases (DBAPICursor) are
/// checked whole, with its own fetchmany, fetchone, _fetch_while, execute,
/// _reset_state, _fetch_more, _process_response, _process_data and description; the
/// globals of pyhive.presto and pyhive.common (requests, _logger,
/// TYPES_CONVERTER, OperationalError, DatabaseError, time) as first seen;
/// _logger exactly logging's Logger, its class checked whole; requests'
/// Response class whole, and requests.models' json the standard library's.
class PyhiveFacts {
public:
    /// Takes the facts for `cursor`; false where the stand-in may not act.
    bool take(py::handle cursor);
    /// The facts still hold, no instance attribute of the cursor shadows
    /// one of the methods, and its session is requests' own: the module
    /// `requests` with its own get, or exactly a requests Session with its own get.
    bool hold(py::handle cursor) const;
    /// The session's post is requests' own (the module's function, or Session's method).
    bool own_post(py::handle cursor) const;
    /// `pyhive.presto.<name>` as bound now, or an empty object.
    py::object presto_global(const char *name) const;
    /// `_logger.isEnabledFor(logging.DEBUG)`: pyhive's debug call would format the page.
    bool debug_enabled() const;
    /// `_logger.isEnabledFor(logging.INFO)`: execute's log calls would emit.
    bool info_enabled() const;
    /// `response` is exactly requests' Response, its json not shadowed.
    bool own_response(py::handle response) const;
    /// The standard library's json.loads that requests.models uses now, or an empty object.
    py::object stdlib_loads() const;
    /// `TYPES_CONVERTER`, as bound now (an exact dict), or nullptr.
    PyObject *converters() const;

    py::handle common() const { return common_; }  // pyhive.common, for its `time`
    long long running = 1, finished = 2, none = 0;  // Cursor._STATE_*

private:
    bool session_own(py::handle cursor, const char *verb) const;

    Facts facts_;
    py::object cursor_type_;
    py::object presto_;
    py::object common_;
    py::object requests_;
    py::object logger_;
    py::object session_type_;
    py::object response_type_;
    py::object models_;
};

}  // namespace sadrel
