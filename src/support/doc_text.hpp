// The text form of a document: its items as "k=v" joined by ", ", each side
// as format(x, "") (what an f-string of each pair gives).  An exact dict of
// str and compact int items is written in one step with no formatting call;
// any other is walked as its items() iterator would be, since formatting a
// value may run code that changes it.  Values whose text their exact
// built-in type fixes are written without a __format__ call.
#pragma once

#include "compat.hpp"
#include "datetime_text.hpp"
#include "iterate.hpp"
#include "module.hpp"
#include "text.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace kst {

class DocText {
public:
    // Exec time, after PyDateTime_IMPORT.  own(t): whether a value of type
    // `t` is a document of the class as made, whose text is own_text(x)
    // (object.__format__ would call str(), hence its __str__); false with an
    // exception on failure.
    bool start(bool (*own)(PyTypeObject*), PyObject* (*own_text)(PyObject*)) {
        own_ = own;
        own_text_ = own_text;
        if (!intern_names({{&empty_, ""},
                           {&true_, "True"},
                           {&false_, "False"},
                           {&none_, "None"},
                           {&format_, "__format__"},
                           {&items_, "items"}}))
            return false;
        object_format_ = compat::type_lookup(&PyBaseObject_Type, format_);
        return dt_.start() && object_format_;
    }

    // The text form of the store `data` (an exact dict, or a mapping read
    // through its items()), or nullptr with an exception.
    PyObject* of(PyObject* data) const {
        if (PyDict_CheckExact(data)) {
            // (sized and filled in one step, as seen from other threads)
            PyObject* r = compat::locked(data, [&] { return plain_text(data); });
            if (r) return r;
            if (PyErr_Occurred()) return nullptr;
            // Walks the dict as its items() iterator would, with the iterator's
            // checks, since formatting a value may change it.
            Form form(*this, PyDict_GET_SIZE(data));
            if (!walk_dict(data, [&](PyObject* k, PyObject* v) { return form.add(k, v); })) return nullptr;
            return form.finish();
        }
        Ref items = call_method(data, items_);
        Ref it = Ref::steal(items ? PyObject_GetIter(items.get()) : nullptr);
        if (!it) return nullptr;
        Form form(*this, 0);
        for (;;) {
            PyObject* item = nullptr;
            const int r = PyIter_NextItem(it.get(), &item);
            if (r < 0) return nullptr;
            if (r == 0) break;
            Ref owned = Ref::steal(item), k, v;
            if (!unpack_pair(item, k, v)) return nullptr;
            owned.reset();
            if (!form.add(k.get(), v.get())) return nullptr;
        }
        return form.finish();
    }

private:
    // str() of an exact list whose items are all compact exact ints, finite
    // floats, True, False or None, written directly (their repr texts joined by
    // ", " in brackets, as the list's repr writes them); nullptr without an
    // error for any other list, which the list's own repr then writes.
    Py_NO_INLINE static PyObject* number_list_text(PyObject* list) {
        const Py_ssize_t n = PyList_GET_SIZE(list);
        if (n == 0 || n > 64) return nullptr;  // (short lists only: no allocation but the result)
        char buf[64 * (text::kFloatReprMax + 2) + 2];
        char* p = buf;
        *p++ = '[';
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* x = PyList_GET_ITEM(list, i);
            if (i) {
                *p++ = ',';
                *p++ = ' ';
            }
            if (compat::compact_int(x)) {
                const long long v = compat::compact_value(x);
                p += text::decimal_width(v);
                text::decimal(v, p);
            } else if (PyFloat_CheckExact(x) && std::isfinite(PyFloat_AS_DOUBLE(x))) {
                p = text::float_repr(p, PyFloat_AS_DOUBLE(x));
            } else if (x == Py_True || x == Py_False || x == Py_None) {
                const char* word = x == Py_True ? "True" : x == Py_False ? "False" : "None";
                const std::size_t len = std::strlen(word);
                std::memcpy(p, word, len);
                p += len;
            } else {
                return nullptr;
            }
        }
        *p++ = ']';
        return PyUnicode_FromStringAndSize(buf, p - buf);
    }

    // format(x, "") for an object that is not an exact str.  Where the text is
    // fixed by the object's exact built-in type (whose __format__ and __str__
    // nobody can replace), it is made without looking up and calling __format__:
    // float, bool and None give their repr; an int, a list, a tuple and a dict
    // their str (which may format their items: the same calls, in the same
    // order); a datetime with no tzinfo or a fixed timezone is written directly.
    // A nested kDict of the class as made (which gives object.__format__, hence
    // str(), hence its own __str__) gets the text form directly.  Everything
    // else is formatted.
    Py_NO_INLINE Ref format_text(PyObject* x) const {
        PyTypeObject* t = Py_TYPE(x);
        if (t == &PyFloat_Type) {
            const double d = PyFloat_AS_DOUBLE(x);
            if (!std::isfinite(d)) return Ref::steal(PyFloat_Type.tp_repr(x));
            char buf[text::kFloatReprMax];
            return Ref::steal(PyUnicode_FromStringAndSize(buf, text::float_repr(buf, d) - buf));
        }
        if (x == Py_True || x == Py_False || x == Py_None)
            return Ref::borrow(x == Py_True ? true_ : x == Py_False ? false_ : none_);
        if (t == &PyList_Type) {
            // (read whole: another thread may change the list meanwhile)
            PyObject* r = compat::locked(x, [&] { return number_list_text(x); });
            if (r) return Ref::steal(r);
            if (PyErr_Occurred()) return {};
        }
        if (t == &PyLong_Type || t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type)
            return Ref::steal(PyObject_Str(x));
        if (dt_.applies(x)) {
            char buf[text::DatetimeText::kMax];
            const char* end = dt_.write(buf, x, ' ');
            if (end) return Ref::steal(PyUnicode_FromStringAndSize(buf, end - buf));
            if (PyErr_Occurred()) return {};
        } else if (own_ && own_(t) && compat::type_lookup(t, format_) == object_format_) {
            // (str() of an object enters a recursion level; so does this, so
            // that a store holding itself ends in RecursionError)
            if (Py_EnterRecursiveCall(" while getting the str of an object")) return {};
            Ref r = Ref::steal(own_text_(x));
            Py_LeaveRecursiveCall();
            return r;
        }
        return Ref::steal(PyObject_Format(x, empty_));
    }

    // The pieces of the text form, gathered first and then copied into one new
    // str.  A piece is a str (its content is used, as the interpreter joins
    // formatted texts) or a compact exact int, whose digits are written directly.
    class Form {
    public:
        Form(const DocText& doc, Py_ssize_t items) : doc_(doc) { parts_.reserve(static_cast<std::size_t>(items) * 2); }

        // Adds format(key, "") and format(value, "").
        bool add(PyObject* key, PyObject* value) {
            total_ += parts_.empty() ? 1 : 3;  // "=", and ", " before all but the first
            return piece(key) && piece(value);
        }

        PyObject* finish() {
            if (parts_.empty()) return Py_NewRef(doc_.empty_);
            Ref out = Ref::steal(PyUnicode_New(total_, maxchar_));
            if (!out) return nullptr;
            PyObject* o = out.get();
            kind_ = PyUnicode_KIND(o);
            data_ = PyUnicode_DATA(o);
            for (std::size_t i = 0; i < parts_.size(); ++i) {
                if (i % 2)
                    ascii("=", 1);
                else if (i)
                    ascii(", ", 2);
                PyObject* x = parts_[i].get();
                if (!PyUnicode_Check(x)) {
                    char digits[24];
                    const char* first = text::decimal(compat::compact_value(x), digits + sizeof digits);
                    ascii(first, static_cast<int>(digits + sizeof digits - first));
                    continue;
                }
                const Py_ssize_t len = PyUnicode_GET_LENGTH(x);
                if (PyUnicode_KIND(x) == kind_)
                    std::memcpy(static_cast<char*>(data_) + at_ * kind_, PyUnicode_DATA(x),
                                static_cast<std::size_t>(len) * static_cast<std::size_t>(kind_));
                else if (PyUnicode_CopyCharacters(o, at_, x, 0, len) < 0)
                    return nullptr;
                at_ += len;
            }
            return out.release();
        }

    private:
        bool piece(PyObject* x) {
            Ref text;
            if (compat::compact_int(x)) {
                total_ += text::decimal_width(compat::compact_value(x));
                parts_.push_back(Ref::borrow(x));
                return true;
            }
            text = PyUnicode_CheckExact(x) ? Ref::borrow(x) : doc_.format_text(x);
            if (!text) return false;
            const Py_ssize_t len = PyUnicode_GET_LENGTH(text.get());
            if (len > PY_SSIZE_T_MAX / 4 - total_) {
                PyErr_NoMemory();
                return false;
            }
            total_ += len;
            maxchar_ = std::max(maxchar_, PyUnicode_MAX_CHAR_VALUE(text.get()));
            parts_.push_back(std::move(text));
            return true;
        }

        void ascii(const char* p, int n) {
            if (kind_ == PyUnicode_1BYTE_KIND)
                std::memcpy(static_cast<char*>(data_) + at_, p, static_cast<std::size_t>(n));
            else
                for (int i = 0; i < n; ++i) PyUnicode_WRITE(kind_, data_, at_ + i, static_cast<Py_UCS1>(p[i]));
            at_ += n;
        }

        const DocText& doc_;
        std::vector<Ref> parts_;
        Py_ssize_t total_ = 0;
        Py_UCS4 maxchar_ = 127;
        int kind_ = 0;
        void* data_ = nullptr;
        Py_ssize_t at_ = 0;
    };


    // Copies the pieces (str or compact int, in key, value order) with their
    // separators into `out` of kind Char.
    template <typename Char>
    static bool write_plain(PyObject* out, PyObject* const* parts, Py_ssize_t count) {
        Char* dst = reinterpret_cast<Char*>(PyUnicode_DATA(out));
        constexpr int kind = sizeof(Char);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i) {
                if (i & 1) {
                    *dst++ = '=';
                } else {
                    *dst++ = ',';
                    *dst++ = ' ';
                }
            }
            PyObject* x = parts[i];
            if (!PyUnicode_CheckExact(x)) {
                const long long v = compat::compact_value(x);
                dst += text::decimal_width(v);
                text::decimal(v, dst);
                continue;
            }
            const Py_ssize_t len = PyUnicode_GET_LENGTH(x);
            if (PyUnicode_KIND(x) == kind) {
                const Char* src = reinterpret_cast<const Char*>(PyUnicode_DATA(x));
                if (len <= 16)
                    for (Py_ssize_t j = 0; j < len; ++j) dst[j] = src[j];
                else
                    std::memcpy(dst, src, static_cast<std::size_t>(len) * sizeof(Char));
            } else if (PyUnicode_CopyCharacters(out, dst - reinterpret_cast<Char*>(PyUnicode_DATA(out)), x, 0, len) <
                       0) {
                return false;
            }
            dst += len;
        }
        return true;
    }

    // The text form of an exact dict whose keys and values are all exact str or
    // compact exact int: their text needs no formatting call, so no user code
    // runs and the dict's keys and values can be used borrowed.  nullptr without
    // an error when some key or value is of another kind.
    PyObject* plain_text(PyObject* d) const {
        const Py_ssize_t n = PyDict_GET_SIZE(d);
        if (n == 0) return Py_NewRef(empty_);
        PyObject* stack[64];
        std::vector<PyObject*> heap;
        PyObject** parts = stack;
        if (2 * n > 64) {
            heap.resize(static_cast<std::size_t>(2 * n));
            parts = heap.data();
        }
        Py_ssize_t total = 3 * n - 2;  // "=" per item, ", " between items
        Py_UCS4 maxchar = 127;
        Py_ssize_t pos = 0, count = 0;
        PyObject *k, *v;
        while (PyDict_Next(d, &pos, &k, &v)) {
            parts[count++] = k;
            parts[count++] = v;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* x = parts[i];
            if (PyUnicode_CheckExact(x)) {
                const Py_ssize_t len = PyUnicode_GET_LENGTH(x);
                if (len > PY_SSIZE_T_MAX / 4 - total) return PyErr_NoMemory();
                total += len;
                if (!PyUnicode_IS_ASCII(x)) maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(x));
            } else if (compat::compact_int(x)) {
                total += text::decimal_width(compat::compact_value(x));
            } else {
                return nullptr;
            }
        }
        Ref out = Ref::steal(PyUnicode_New(total, maxchar));
        if (!out) return nullptr;
        bool ok;
        switch (PyUnicode_KIND(out.get())) {
            case PyUnicode_1BYTE_KIND: ok = write_plain<Py_UCS1>(out.get(), parts, count); break;
            case PyUnicode_2BYTE_KIND: ok = write_plain<Py_UCS2>(out.get(), parts, count); break;
            default: ok = write_plain<Py_UCS4>(out.get(), parts, count); break;
        }
        return ok ? out.release() : nullptr;
    }

    PyObject *empty_ = nullptr, *true_ = nullptr, *false_ = nullptr, *none_ = nullptr, *format_ = nullptr,
             *items_ = nullptr;
    PyObject* object_format_ = nullptr;  // object.__format__
    text::DatetimeText dt_;              // the text of exact datetimes
    bool (*own_)(PyTypeObject*) = nullptr;
    PyObject* (*own_text_)(PyObject*) = nullptr;
};

}  // namespace kst
