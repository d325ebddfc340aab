// A scanner for the commonest JSON text of a result stream: one array of
// scalars, given as UTF-8 bytes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace sadrel {
namespace fastjson {

/// Parses `text` as `json.loads` with the standard library's default decoder
/// does, when it is an array whose items are all strings, numbers, `true`,
/// `false` or `null`, and returns a new list of exactly the objects that
/// `json.loads` would give: `str`, `int`, `float` (converted as `float()`
/// converts), `True`, `False` and `None`.
///
/// Returns nullptr with no error set for every text it leaves to
/// `json.loads`: anything else, anything malformed (so that the error comes
/// from `json.loads` itself), a byte-order mark, NUL bytes, bytes that are
/// not strict UTF-8, lone surrogates, integers of 19 digits or more, `NaN`
/// and `Infinity`. Returns nullptr with an error set only when Python ran
/// out of memory.
///
/// The list is returned untracked by the cyclic garbage collector: it holds
/// atomic objects only.
PyObject *parse_scalar_array(const char *text, Py_ssize_t size);

}  // namespace fastjson
}  // namespace sadrel
