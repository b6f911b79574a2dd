// Python expressions on objects as the interpreter evaluates them (a
// comparison used as a condition, an f-string, `+`, a slice), with the
// exact built-in types done natively, and a str joined from parts.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace kst {

inline Ref new_int(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }

// The value of an exact int that fits a long long.
inline bool exact_int_value(PyObject* o, long long& out) {
    if (!PyLong_CheckExact(o)) return false;
    if (compat::compact_int(o)) {
        out = compat::compact_value(o);
        return true;
    }
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (out == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return overflow == 0;
}

// `a <op> b` used as a condition: 1, 0, or -1 with an exception.
inline int compare(PyObject* a, PyObject* b, int op) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        int c = PyUnicode_Compare(a, b);
        if (c == -1 && PyErr_Occurred()) return -1;
        switch (op) {
            case Py_EQ: return c == 0;
            case Py_LT: return c < 0;
            case Py_LE: return c <= 0;
            default: break;
        }
    }
    long long x, y;
    if (exact_int_value(a, x) && exact_int_value(b, y) && op == Py_GE) return x >= y;
    Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// f"{value}" / f"{value:fmt}".
inline Ref format(PyObject* value, PyObject* fmt) { return Ref::steal(PyObject_Format(value, fmt)); }

// `a + b`.
inline Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }

// Piece of a string being joined: a str object or ASCII bytes.
struct Piece {
    PyObject* str = nullptr;
    const char* ascii = nullptr;
    Py_ssize_t len = 0;
    Piece(PyObject* s) : str(s), len(PyUnicode_GET_LENGTH(s)) {}
    Piece(const char* a, Py_ssize_t n) : ascii(a), len(n) {}
};

// Joins strings and ASCII text into one new str.
inline Ref join(std::initializer_list<Piece> pieces) {
    Py_UCS4 maxchar = 127;
    Py_ssize_t total = 0;
    for (const Piece& p : pieces) {
        if (p.str) maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(p.str));
        total += p.len;
    }
    Ref r = Ref::steal(PyUnicode_New(total, maxchar));
    if (!r) return {};
    const int kind = PyUnicode_KIND(r.get());
    void* data = PyUnicode_DATA(r.get());
    Py_ssize_t pos = 0;
    for (const Piece& p : pieces) {
        if (p.str) {
            const int from = PyUnicode_KIND(p.str);
            if (from == kind)
                std::memcpy(static_cast<char*>(data) + pos * kind, PyUnicode_DATA(p.str),
                            static_cast<std::size_t>(p.len) * static_cast<std::size_t>(kind));
            else if (p.len && PyUnicode_CopyCharacters(r.get(), pos, p.str, 0, p.len) < 0)
                return {};
        } else if (kind == PyUnicode_1BYTE_KIND) {
            std::memcpy(static_cast<char*>(data) + pos, p.ascii, static_cast<std::size_t>(p.len));
        } else {
            for (Py_ssize_t i = 0; i < p.len; ++i) PyUnicode_WRITE(kind, data, pos + i, p.ascii[i]);
        }
        pos += p.len;
    }
    return r;
}

inline Ref ascii_str(const char* s, Py_ssize_t n) {
    Ref r = Ref::steal(PyUnicode_New(n, 127));
    if (r) std::memcpy(PyUnicode_DATA(r.get()), s, static_cast<std::size_t>(n));
    return r;
}

// `obj[:stop]` and `obj[start:]`.
inline Ref slice(PyObject* obj, PyObject* start, PyObject* stop) {
    long long bound;
    PyObject* given = start ? start : stop;
    if (PyUnicode_CheckExact(obj) && exact_int_value(given, bound)) {
        const long long n = PyUnicode_GET_LENGTH(obj);
        if (bound < 0) bound = std::max(0LL, n + bound);
        bound = std::min(bound, n);
        return Ref::steal(start ? PyUnicode_Substring(obj, static_cast<Py_ssize_t>(bound), static_cast<Py_ssize_t>(n))
                                : PyUnicode_Substring(obj, 0, static_cast<Py_ssize_t>(bound)));
    }
    Ref s = Ref::steal(PySlice_New(start, stop, nullptr));
    return s ? Ref::steal(PyObject_GetItem(obj, s.get())) : Ref();
}

// Raises UnboundLocalError the way reading an unassigned local does.
inline PyObject* unbound_local(const char* name) {
    PyErr_Format(PyExc_UnboundLocalError, "cannot access local variable '%s' where it is not associated with a value",
                 name);
    return nullptr;
}

}  // namespace kst
