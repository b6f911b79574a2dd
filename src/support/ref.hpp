// Owning reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>

#include <utility>

namespace kst {

// Holds one strong reference (or none).  Made explicit through its named
// constructors: steal() takes over a new reference, borrow() adds one.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes ownership of a new reference; a null pointer makes an empty Ref.
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    // The same for an object known not to be null (no test on the way).
    [[nodiscard]] static Ref borrow_live(PyObject* p) noexcept { return Ref(Py_NewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    // Gives up ownership: the caller now owns the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A reference in hand: borrowed from something that keeps the object alive
// while it is used (a caller's argument, a table that never frees it), or
// owned.  Lets one body take either without counting a reference it does
// not need (on the free-threaded build such a count is an atomic write to a
// word other threads share).
class Held {
public:
    Held() noexcept = default;
    Held(Ref r) noexcept : own_(std::move(r)), p_(own_.get()) {}
    [[nodiscard]] static Held borrowed(PyObject* p) noexcept {
        Held h;
        h.p_ = p;
        return h;
    }
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // A new reference of its own.
    [[nodiscard]] Ref take() noexcept { return own_ ? std::move(own_) : Ref::borrow(p_); }

private:
    Ref own_;
    PyObject* p_ = nullptr;
};

// An object in hand that is known to be there (its owner holds it for the
// whole use): Held's interface, with a test the compiler can see through.
struct Live {
    PyObject* p;
    PyObject* get() const noexcept { return p; }
    explicit constexpr operator bool() const noexcept { return true; }
    [[nodiscard]] Ref take() const noexcept { return Ref::borrow_live(p); }
};

// A new reference to None / True / False.
inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) noexcept { return Ref::borrow(v ? Py_True : Py_False); }

// Interned string that lives for the whole process (module-level constants).
inline PyObject* intern(const char* s) noexcept { return PyUnicode_InternFromString(s); }

// Fills each slot with the interned text; false on the first failure.
struct InternedName {
    PyObject** slot;
    const char* text;
};
inline bool intern_names(std::initializer_list<InternedName> names) noexcept {
    for (const InternedName& n : names)
        if (!(*n.slot = intern(n.text))) return false;
    return true;
}

}  // namespace kst
