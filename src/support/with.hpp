// The `with` statement over a context manager, as the interpreter runs it,
// with the interpreter's own lock type entered and left directly.
#pragma once

#include "compat.hpp"
#include "module.hpp"

#include <cstring>

namespace kst {

// The interpreter's lock type (_thread.lock, what threading.Lock makes) and
// its acquire and release, when recognised at import.  The type is
// immutable: its __enter__ (a blocking acquire, which releases the GIL or
// detaches while it waits) and its release, which is all its __exit__ does,
// can be called directly.
struct NativeLock {
    struct Names {
        PyObject *enter, *exit, *aenter, *aexit, *release;
    } names{};
    PyTypeObject* type = nullptr;
    PyObject* enter = nullptr;  // its __enter__ and release method descriptors
    PyObject* leave = nullptr;

    // Exec time, with `lock` a lock that threading.Lock made; false with an
    // exception.  A lock type not recognised leaves `type` unset: every lock
    // then goes through __enter__ and __exit__.
    bool find(PyObject* lock) {
        if (!intern_names({{&names.enter, "__enter__"},
                           {&names.exit, "__exit__"},
                           {&names.aenter, "__aenter__"},
                           {&names.aexit, "__aexit__"},
                           {&names.release, "release"}}))
            return false;
        Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
        if (!thread) return false;
        Ref lock_type = Ref::steal(PyObject_GetAttrString(thread.get(), "LockType"));
        if (!lock_type) return false;
        auto* tp = reinterpret_cast<PyTypeObject*>(lock_type.get());
        if (!PyType_Check(lock_type.get()) || !Py_IS_TYPE(lock, tp) ||
            !PyType_HasFeature(tp, Py_TPFLAGS_IMMUTABLETYPE) || std::strcmp(tp->tp_name, "_thread.lock") != 0)
            return true;
        Ref e = Ref::steal(compat::type_lookup_ref(tp, names.enter));
        Ref r = Ref::steal(compat::type_lookup_ref(tp, names.release));
        if (PyErr_Occurred()) return false;
        if (!e || !r) return true;
        type = reinterpret_cast<PyTypeObject*>(lock_type.release());
        enter = e.release();
        leave = r.release();
        return true;
    }

    bool is(PyObject* o) const { return type && Py_IS_TYPE(o, type); }
    bool acquire(PyObject* lock) const { return bool(call(enter, {lock})); }
    Ref release(PyObject* lock) const { return call(leave, {lock}); }
};

// `with mgr:` -- enter, then leave with or without the exception that ended
// the body.  A lock of the interpreter's lock type is acquired and released
// directly; any other object goes through its type's __enter__ and
// __exit__.
class With {
public:
    explicit With(const NativeLock& lock) : lock_(lock) {}

    bool enter(PyObject* mgr) {
        mgr_ = Ref::borrow(mgr);
        if (lock_.is(mgr)) {
            own_lock_ = true;
            return lock_.acquire(mgr);
        }
        exit_ = special(mgr, lock_.names.exit, "__exit__");
        if (!exit_) return false;
        Ref enter = special(mgr, lock_.names.enter, "__enter__");
        return enter && call(enter.get());
    }

    // Takes over a lock of the interpreter's lock type already entered.
    void adopt(PyObject* lock) {
        mgr_ = Ref::borrow(lock);
        own_lock_ = true;
    }

    // 1 when left normally, 0 when __exit__ suppressed the body's exception,
    // -1 with an exception set.
    int leave() {
        if (!PyErr_Occurred()) {
            Ref r = own_lock_ ? lock_.release(mgr_.get())
                              : call(exit_.get(), {Py_None, Py_None, Py_None});
            return r ? 1 : -1;
        }
        PyObject* exc = PyErr_GetRaisedException();
        // __exit__ runs while the exception is being handled, so one it
        // raises is chained to it.
        PyObject* handled = PyErr_GetHandledException();
        PyErr_SetHandledException(exc);
        Ref r;
        if (own_lock_) {
            r = lock_.release(mgr_.get());
        } else {
            PyObject* tb = PyException_GetTraceback(exc);
            r = call(exit_.get(), {reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, tb ? tb : Py_None});
            Py_XDECREF(tb);
        }
        PyErr_SetHandledException(handled);
        Py_XDECREF(handled);
        int suppress = r ? (own_lock_ ? 0 : PyObject_IsTrue(r.get())) : -1;
        if (suppress < 0) {
            Py_DECREF(exc);
            return -1;
        }
        if (suppress) {
            Py_DECREF(exc);
            return 0;
        }
        PyErr_SetRaisedException(exc);
        return -1;
    }

private:
    // The special method `name` of type(obj), bound to obj.
    Ref special(PyObject* obj, PyObject* name, const char* label) const {
        PyTypeObject* tp = Py_TYPE(obj);
        Ref descr = Ref::steal(compat::type_lookup_ref(tp, name));
        if (!descr) {
            if (PyErr_Occurred()) return {};
            Ref a = Ref::steal(compat::type_lookup_ref(tp, lock_.names.aenter));
            Ref b = Ref::steal(compat::type_lookup_ref(tp, lock_.names.aexit));
            if (PyErr_Occurred()) return {};
            if (a && b)
                PyErr_Format(PyExc_TypeError,
                             "'%T' object does not support the context manager protocol (missed %s method) but it "
                             "supports the asynchronous context manager protocol. Did you mean to use 'async with'?",
                             obj, label);
            else
                PyErr_Format(PyExc_TypeError,
                             "'%T' object does not support the context manager protocol (missed %s method)", obj,
                             label);
            return {};
        }
        descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
        if (!get) return descr;
        return Ref::steal(get(descr.get(), obj, reinterpret_cast<PyObject*>(tp)));
    }

    const NativeLock& lock_;
    Ref mgr_, exit_;
    bool own_lock_ = false;
};

}  // namespace kst
