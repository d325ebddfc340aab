// The column rule: what each column's values make pandas print, decided as pandas decides a column's dtype.
#pragma once

#include "export/row_parser.h"
#include "kvrt.h"

namespace sadrel {

using fastjson::Tag;

/// What each column's values make pandas print.
struct Column {
    bool str = false;
    bool boolean = false;
    bool number_or_null = false;  // a float (NaN included) or a None
    /// The rule for one value of the column, of whichever form.
    void note(Tag tag) {
        switch (tag) {
        case Tag::null:
        case Tag::real:
        case Tag::decimal: number_or_null = true; break;
        case Tag::text: str = true; break;
        case Tag::no:
        case Tag::yes: boolean = true; break;
        case Tag::integer: break;
        }
    }
    bool operator==(const Column &o) const {
        return str == o.str && boolean == o.boolean && number_or_null == o.number_or_null;
    }
    /// Ints print as floats: the column became float64.
    bool ints_as_floats() const { return !str && !boolean && number_or_null; }
};

/// Whether the str `s` can be written: ready, free of lone surrogates.
inline bool encodable(PyObject *s) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) {
        throw py::error_already_set();
    }
#endif
    const int kind = PyUnicode_KIND(s);
    if (kind == PyUnicode_1BYTE_KIND) {
        return true;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void *data = PyUnicode_DATA(s);
    for (Py_ssize_t k = 0; k < n; ++k) {
        Py_UCS4 c = PyUnicode_READ(kind, data, k);
        if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

/// Whether `value` may stand in a block, noting what it tells of its column.
inline bool classify(PyObject *value, Column &column, int nul) {
    if (value == Py_None) {
        column.note(Tag::null);
        return true;
    }
    PyTypeObject *type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        column.note(Tag::text);
        if (nul < 0) {
            const Py_ssize_t at = PyUnicode_FindChar(value, 0, 0, PY_SSIZE_T_MAX, 1);
            if (at == -2) {
                throw py::error_already_set();
            }
            if (at >= 0) {
                return false;  // a NUL, and the csv module's way with it is not known
            }
        }
        return encodable(value);
    }
    if (type == &PyFloat_Type) {
        column.note(Tag::real);
        return true;
    }
    if (type == &PyBool_Type) {
        column.note(Tag::yes);
        return true;
    }
    if (type == &PyLong_Type) {
        column.note(Tag::integer);
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(value, &overflow);
        return overflow == 0;
    }
    return false;
}

/// The same for a value of the native row parser: a text that UTF-8 already
/// holds; its NUL characters only where the csv module's way with them is known.
inline bool classify(const fastjson::Value &value, Column &column, int nul) {
    column.note(value.tag);
    return value.tag != Tag::text || !value.nul || nul >= 0;
}

}  // namespace sadrel
