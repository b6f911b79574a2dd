// The text json.dumps(tree, indent=4) returns, written directly for a tree
// of the JSON types (None, bool, int, float, str, and exact lists, tuples
// and dicts of them): ASCII only, written byte by byte into the str that
// becomes the result.  JsonWriter::value() returns false where it cannot be
// sure to match (any other type, an int too long for text, a tree deeper
// than the stack allows, no memory); the caller then hands the tree to
// json.dumps, which gives its own text or error.  Nesting is bounded by the
// recursion guard, as json.dumps's is, and by kDocDepth.
//
// On the free-threaded build a list or dict that another thread may change
// is written from a copy taken in one step (a tuple cannot change); on the
// default build the GIL keeps the walk whole.
#pragma once

#include "compat.hpp"
#include "text.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

namespace kst {

// The text being written: the characters of a compact ASCII str that is
// grown as needed, by a quarter each time as the interpreter's own writers
// grow (realloc: a large text is moved by the allocator's page mapping, not
// copied), and cut to its length at the end, so that no text is copied into
// the result.  Out of memory throws std::bad_alloc, which ends
// the writing.
class JsonOut {
public:
    JsonOut() = default;
    JsonOut(const JsonOut&) = delete;
    JsonOut& operator=(const JsonOut&) = delete;
    ~JsonOut() { Py_XDECREF(str_); }

    void push_back(char c) {
        if (p_ == end_) grow(1);
        *p_++ = c;
    }
    void append(const char* s, size_t n) {
        if (static_cast<size_t>(end_ - p_) < n) grow(n);
        std::memcpy(p_, s, n);
        p_ += n;
    }
    void append(const char* s) { append(s, std::strlen(s)); }
    void append(size_t n, char c) {
        if (static_cast<size_t>(end_ - p_) < n) grow(n);
        std::memset(p_, c, n);
        p_ += n;
    }

    // The str holding the text written (a new reference), or null with an
    // error set.
    PyObject* finish() {
        if (!str_) return PyUnicode_New(0, 127);
        if (PyUnicode_Resize(&str_, p_ - begin()) < 0) return nullptr;
        p_ = end_ = nullptr;
        return std::exchange(str_, nullptr);
    }

private:
    char* begin() const { return reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str_)); }

    Py_NO_INLINE void grow(size_t n) {
        const Py_ssize_t used = str_ ? p_ - begin() : 0;
        const Py_ssize_t have = str_ ? end_ - begin() : 0;
        if (static_cast<size_t>(PY_SSIZE_T_MAX / 2 - used) < n) throw std::bad_alloc();
        const Py_ssize_t want = std::max<Py_ssize_t>({256, have + (have < 4096 ? have / 2 : have / 8), used + static_cast<Py_ssize_t>(n)});
        // (a fresh str is ours alone and not yet hashed, so it may be resized)
        if (!str_ ? !(str_ = PyUnicode_New(want, 127)) : PyUnicode_Resize(&str_, want) < 0) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
        p_ = begin() + used;
        end_ = begin() + want;
    }

    PyObject* str_ = nullptr;
    char* p_ = nullptr;
    char* end_ = nullptr;
};

// Py_EnterRecursiveCall for one level, left again however the level ends.
struct Depth {
    bool ok = !Py_EnterRecursiveCall(" while encoding a JSON object");
    Depth() = default;
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
    ~Depth() {
        if (ok) Py_LeaveRecursiveCall();
    }
};

struct JsonWriter {
    // Nesting past this depth (a container that holds itself, mostly) is
    // left to json.dumps, which reports a cycle on its second visit and
    // fails on a deeper tree before writing anything; the text of each
    // level is indented by its depth, so a writer run to the stack's end
    // would first write a text of the square of that depth.
    static constexpr int kDocDepth = 2000;

    JsonOut out;

    void indent(int level) {
        out.push_back('\n');
        out.append(static_cast<size_t>(level) * 4, ' ');
    }

    // The punctuation of an array or object at `level`: next() before each
    // member, close() after the last ("[]" or "{}" when there was none).
    struct Members {
        JsonWriter& w;
        int level;
        char open;
        bool first = true;

        void next() {
            w.out.push_back(first ? open : ',');
            first = false;
            w.indent(level + 1);
        }
        void close() {
            if (first) {
                w.out.push_back(open);
            } else {
                w.indent(level);
            }
            w.out.push_back(open == '[' ? ']' : '}');
        }
    };

    void text(PyObject* s) {
        const int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        out.push_back('"');
        if (kind == PyUnicode_1BYTE_KIND) {
            const auto* p = static_cast<const unsigned char*>(data);
            Py_ssize_t i = 0;
            while (i < n) {
                Py_ssize_t j = i;
                while (j < n && p[j] >= 0x20 && p[j] < 0x7f && p[j] != '"' && p[j] != '\\') ++j;
                out.append(reinterpret_cast<const char*>(p + i), static_cast<size_t>(j - i));
                if (j < n) escape(p[j++]);
                i = j;
            }
        } else {
            for (Py_ssize_t i = 0; i < n; ++i) {
                const Py_UCS4 c = PyUnicode_READ(kind, data, i);
                if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\')
                    out.push_back(static_cast<char>(c));
                else
                    escape(c);
            }
        }
        out.push_back('"');
    }

    void unit(unsigned int u) {
        static const char hex[] = "0123456789abcdef";
        const char buf[6] = {'\\', 'u', hex[u >> 12 & 15], hex[u >> 8 & 15], hex[u >> 4 & 15], hex[u & 15]};
        out.append(buf, 6);
    }

    void escape(Py_UCS4 c) {
        switch (c) {
            case '"': out.append("\\\""); return;
            case '\\': out.append("\\\\"); return;
            case '\b': out.append("\\b"); return;
            case '\f': out.append("\\f"); return;
            case '\n': out.append("\\n"); return;
            case '\r': out.append("\\r"); return;
            case '\t': out.append("\\t"); return;
            default: break;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            unit(0xd800 | (c >> 10));
            unit(0xdc00 | (c & 0x3ff));
        } else {
            unit(c);
        }
    }

    // float.__repr__, or the tokens json uses for the non-finite values.
    bool real(double d) {
        if (std::isnan(d)) {
            out.append("NaN");
        } else if (std::isinf(d)) {
            out.append(d > 0 ? "Infinity" : "-Infinity");
        } else {
            char buf[text::kFloatReprMax];
            out.append(buf, static_cast<size_t>(text::float_repr(buf, d) - buf));
        }
        return true;
    }

    // int.__repr__ (also for int subclasses such as IntEnum members).
    bool integer(PyObject* v) {
        if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) {
            char buf[24];
            char* end = buf + sizeof buf;
            const char* p = text::decimal(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v)), end);
            out.append(p, static_cast<size_t>(end - p));
            return true;
        }
        Ref r = Ref::steal(PyLong_Type.tp_repr(v));  // may refuse a very long int
        if (!r) return false;
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(r.get(), &n);
        if (!s) return false;
        out.append(s, static_cast<size_t>(n));
        return true;
    }

    bool key(PyObject* k) {
        if (PyUnicode_Check(k)) {
            text(k);
            return true;
        }
        out.push_back('"');
        if (PyFloat_Check(k)) {
            if (!real(PyFloat_AS_DOUBLE(k))) return false;
        } else if (k == Py_True || k == Py_False || k == Py_None) {
            out.append(k == Py_True ? "true" : k == Py_False ? "false" : "null");
        } else if (!PyLong_Check(k) || !integer(k)) {
            return false;
        }
        out.push_back('"');
        return true;
    }

    bool value(PyObject* v, int level) {
        if (v == Py_None) {
            out.append("null");
        } else if (v == Py_True) {
            out.append("true");
        } else if (v == Py_False) {
            out.append("false");
        } else if (PyUnicode_Check(v)) {
            text(v);
        } else if (PyLong_Check(v)) {
            return integer(v);
        } else if (PyFloat_Check(v)) {
            return real(PyFloat_AS_DOUBLE(v));
        } else if (PyList_CheckExact(v) || PyTuple_CheckExact(v) || PyDict_CheckExact(v)) {
            Depth depth;
            if (!depth.ok || level >= kDocDepth) return false;
            if constexpr (compat::kFreeThreaded) {
                // A container another thread may change is written from a
                // copy, taken in one step.
                if (!PyTuple_CheckExact(v)) {
                    Ref copy = Ref::steal(PyDict_CheckExact(v) ? PyDict_Copy(v) : PyList_GetSlice(v, 0, PY_SSIZE_T_MAX));
                    if (!copy) return false;
                    return PyDict_CheckExact(v) ? object(copy.get(), level) : array(copy.get(), level);
                }
            }
            return PyDict_CheckExact(v) ? object(v, level) : array(v, level);
        } else {
            return false;
        }
        return true;
    }

    bool array(PyObject* seq, int level) {
        Members m{*this, level, '['};
        const bool list = PyList_CheckExact(seq);
        for (Py_ssize_t i = 0, n = Py_SIZE(seq); i < n; ++i) {
            m.next();
            if (!value(list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i), level + 1)) return false;
        }
        m.close();
        return true;
    }

    bool object(PyObject* d, int level) {
        Members m{*this, level, '{'};
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d, &pos, &k, &v)) {
            m.next();
            if (!key(k)) return false;
            out.append(": ");
            if (!value(v, level + 1)) return false;
        }
        m.close();
        return true;
    }
};

// The JSON text of `tree`, or null with no error set where json.dumps must
// write it.
inline PyObject* write_json(PyObject* tree) {
    JsonWriter w;
    bool ok = false;
    try {
        ok = w.value(tree, 0);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    PyObject* s = ok ? w.out.finish() : nullptr;
    if (!s) PyErr_Clear();
    return s;
}

}  // namespace kst
