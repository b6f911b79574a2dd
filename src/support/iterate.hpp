// Walking containers as the interpreter's own loops do, with their errors.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

namespace kst {

// Walks an exact dict as `for key, value in d.items()` does, including the
// RuntimeError of a dict changed on the way.  `each(key, value)` gets
// references it may keep past a change of the dict; false stops the walk.
template <class Each>
bool walk_dict(PyObject* d, Each&& each) {
    const Py_ssize_t used = PyDict_GET_SIZE(d);
    Py_ssize_t remaining = used, pos = 0;
    PyObject *k, *v;
    for (;;) {
        Ref key, value;
        int step;  // 1: an item, 0: the end, -1: the dict changed size
        // (each step whole, as seen from other threads)
        Py_BEGIN_CRITICAL_SECTION(d);
        if (PyDict_GET_SIZE(d) != used) {
            step = -1;
        } else if ((step = PyDict_Next(d, &pos, &k, &v))) {
            key = Ref::borrow(k);
            value = Ref::borrow(v);
        }
        Py_END_CRITICAL_SECTION();
        if (step < 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
        if (!step) return true;
        if (remaining-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return false;
        }
        // `each` may run code that changes the dict.
        if (!each(key.get(), value.get())) return false;
    }
}

// Walks an exact dict that nothing changes while it is walked but another
// thread: directly, with borrowed items, on the default build; as walk_dict
// does on the free-threaded build.
template <class Each>
bool walk_dict_quiet(PyObject* d, Each&& each) {
    if constexpr (compat::kFreeThreaded) {
        return walk_dict(d, each);
    } else {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d, &pos, &k, &v))
            if (!each(k, v)) return false;
        return true;
    }
}

// `a, b = item`, with the interpreter's messages; false with an exception.
inline bool unpack_pair(PyObject* item, Ref& a, Ref& b) {
    if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) && Py_SIZE(item) == 2) {
        const bool tuple = PyTuple_CheckExact(item);
        a = Ref::borrow(tuple ? PyTuple_GET_ITEM(item, 0) : PyList_GET_ITEM(item, 0));
        b = Ref::borrow(tuple ? PyTuple_GET_ITEM(item, 1) : PyList_GET_ITEM(item, 1));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item)->tp_iter && !PySequence_Check(item)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return false;
    }
    Ref* out[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        PyObject* v = nullptr;
        const int r = PyIter_NextItem(it.get(), &v);
        if (r < 0) return false;
        if (r == 0) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return false;
        }
        *out[i] = Ref::steal(v);
    }
    PyObject* extra = nullptr;
    const int r = PyIter_NextItem(it.get(), &extra);
    if (r <= 0) return r == 0;
    Py_DECREF(extra);
    // The count is given for the built-in containers, whose size is known.
    if (PyList_CheckExact(item) || PyTuple_CheckExact(item) || PyDict_CheckExact(item)) {
        const Py_ssize_t n = PyDict_CheckExact(item) ? PyDict_GET_SIZE(item) : Py_SIZE(item);
        if (n > 2) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
            return false;
        }
    }
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return false;
}

}  // namespace kst
