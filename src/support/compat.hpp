// The supported CPython versions, 3.14 and 3.15, built from one source.
//
// Everything that differs between them is decided here, and so is every name
// the modules use from outside the public, documented API, so that a new
// version is checked in one place:
//   - _PyType_Lookup / _PyType_LookupRef: a class attribute found along the
//     MRO without running code (no descriptor is called);
//   - _PyDict_NewPresized: an empty dict sized for a known number of items;
//   - the module object's field holding its state block (see
//     module_state_field), laid out differently in 3.14 and 3.15;
//   - where an instance keeps the pointer to its managed __dict__ (see
//     instance_dict), the same in both;
//   - 3.15's lazy imports, whose placeholders in a module's namespace are
//     replaced on first use (see resolve_lazy_imports);
//   - where classmethod and staticmethod objects keep their callable (see
//     wrapped_callable);
//   - what type.__setattr__ does for a plain name on a class of metaclass
//     `type` (see class_store).
// Each of these is probed at import, and the outcome recorded (see Probe):
// where a probe fails, the code falls back to the public API, and the test
// suite reports the failure, so that a new version that moves a field fails
// loudly instead of slowing down in silence.  Knowledge of the standard
// library's internals lives in the companion stdlib.hpp.
// The unstable-tier names (PyUnstable_Long_*, PyUnstable_Type_AssignVersionTag,
// tp_version_tag, dict watchers) behave alike in both versions and are used
// directly.
#pragma once

#include "ref.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

// The versions this file knows.  Another one is refused here, at build
// time, rather than built on guesses about its layout.
#if PY_VERSION_HEX < 0x030E0000
#error "kestrune utils needs CPython 3.14 or later"
#endif
#if PY_VERSION_HEX >= 0x03100000
#error "kestrune utils knows the layouts of CPython 3.14 and 3.15 only: check compat.hpp for this version"
#endif

namespace kst::compat {

// ------------------------------------------------------- free threading
// The free-threaded build (CPython 3.14t) runs threads truly in parallel.
// What differs there is decided with this constant, so that each place that
// differs names it:
//   - the modules declare that they do not need the GIL (Py_mod_gil);
//   - memos of dictionaries, whose borrowed entries another thread could
//     free, are off: every check is made at each use, with strong references;
//   - caches of plain data that every thread writes are per thread
//     (KST_PER_THREAD), and caches of objects are left out;
//   - folded keys are not interned (interned strings are immortal there);
//   - containers shared between threads are read under their critical
//     section, or copied first.
#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#define KST_PER_THREAD thread_local
inline constexpr int kModGil = 1;  // (Py_MOD_GIL_NOT_USED)
#else
inline constexpr bool kFreeThreaded = false;
#define KST_PER_THREAD
inline constexpr int kModGil = 0;  // (Py_MOD_GIL_USED)
#endif

// A lock for C-level state that threads share only on the free-threaded
// build.  There it is a PyMutex (one byte), held around short C steps that
// run no Python code, so that a reader sees the state whole; on the default
// build it is nothing, since the GIL already keeps those steps whole.
class ParallelMutex {
public:
#ifdef Py_GIL_DISABLED
    void lock() { PyMutex_Lock(&m_); }
    void unlock() { PyMutex_Unlock(&m_); }

private:
    PyMutex m_ = {};
#else
    void lock() {}
    void unlock() {}
#endif
};

// Holds a ParallelMutex for a scope.
class ParallelLock {
public:
    explicit ParallelLock(ParallelMutex& m) : m_(m) { m_.lock(); }
    ~ParallelLock() { m_.unlock(); }
    ParallelLock(const ParallelLock&) = delete;
    ParallelLock& operator=(const ParallelLock&) = delete;

private:
    ParallelMutex& m_;
};

// What a reader keeps of state guarded by a ParallelMutex after it has left
// the lock.  Free-threaded build: a copy, taken under the lock, since
// another thread may rewrite the state as soon as it is left.  Default
// build: the state itself (no copy), which only the thread holding the GIL
// writes; the reader then sees its own later writes through it, and must
// not run code that could make others.
template <class T>
using LockedRead = std::conditional_t<kFreeThreaded, T, const T&>;

// Runs f() inside the critical section of `op` (locked2: of `a` and `b`
// together) and returns what it returns.  On the free-threaded build that is
// the per-object lock that the object's own methods take, so that a short
// C step over it (reading a dict another thread may write, writing two
// dicts together) is whole as other threads see it; f must run no Python
// code, since a critical section is suspended while its thread blocks.  On
// the default build f() runs as it is: the GIL keeps the step whole.
template <class F>
inline decltype(auto) locked([[maybe_unused]] PyObject* op, F&& f) {
#ifdef Py_GIL_DISABLED
    PyCriticalSection cs;
    PyCriticalSection_Begin(&cs, op);
    struct End {
        PyCriticalSection* cs;
        ~End() { PyCriticalSection_End(cs); }
    } end{&cs};
#endif
    return f();
}
template <class F>
inline decltype(auto) locked2([[maybe_unused]] PyObject* a, [[maybe_unused]] PyObject* b, F&& f) {
#ifdef Py_GIL_DISABLED
    PyCriticalSection2 cs;
    PyCriticalSection2_Begin(&cs, a, b);
    struct End {
        PyCriticalSection2* cs;
        ~End() { PyCriticalSection2_End(cs); }
    } end{&cs};
#endif
    return f();
}

// A read of two dicts that every writer changes together under both their
// critical sections (locked2), as one step: run(a, b, f) calls f() without
// a lock.  A reader that finds the two between a writer's steps (an entry
// of one missing from the other, say) calls torn() and returns, and f()
// runs once more under both critical sections, where may_tear() is false.
// On the default build the GIL keeps f() whole: it runs once, and
// may_tear() is false.  Costs nothing more than f() when no writer is met.
class PairReadOnce {  // (the default build: nothing to keep)
public:
    static constexpr bool may_tear() { return false; }
    static void torn() {}
    template <class F>
    static auto run(PyObject*, PyObject*, F&& f) { return f(); }
};
class PairReadRetried {
public:
    bool may_tear() const { return !locked_; }
    void torn() { torn_ = true; }
    template <class F>
    auto run(PyObject* a, PyObject* b, F&& f) {
        auto r = f();
        if (torn_) {
            torn_ = false;
            locked_ = true;
            r = locked2(a, b, f);
        }
        return r;
    }

private:
    bool locked_ = false;
    bool torn_ = false;
};
using PairRead = std::conditional_t<kFreeThreaded, PairReadRetried, PairReadOnce>;

// Whether `refs` references are all that `op` has, so that nobody else can
// see a change made to it in place.  Never on the free-threaded build,
// where another thread may take a reference at any moment.
inline bool sole_holders([[maybe_unused]] PyObject* op, [[maybe_unused]] Py_ssize_t refs) {
    if constexpr (kFreeThreaded) return false;
    else return Py_REFCNT(op) == refs;
}

// The item at `i` of a list that another thread may change, as a new
// reference; empty (no error set) past the list's end.  On the
// free-threaded build PyList_GetItemRef, which holds the item before the
// list can drop it; on the default build the item itself, which nothing
// can take from the list while this thread holds the GIL.
inline Ref list_item(PyObject* list, Py_ssize_t i) {
#ifdef Py_GIL_DISABLED
    Ref item = Ref::steal(PyList_GetItemRef(list, i));
    if (!item) PyErr_Clear();
    return item;
#else
    return i < PyList_GET_SIZE(list) ? Ref::borrow_live(PyList_GET_ITEM(list, i)) : Ref();
#endif
}

// Words that threads share (version tags, remembered answers, event counts,
// published pointers), read and written whole.  Relaxed: the value alone
// matters.  Acquire/release: a reader that sees a value published with
// store_release (or counted with add_release) also sees every write the
// publisher made before it.  On x86-64 each is a plain load or store (the
// count a locked add); nothing here is a lock.
template <class T>
inline std::atomic_ref<T> shared_word(const T& x) { return std::atomic_ref<T>(const_cast<T&>(x)); }
template <class T>
inline T load_relaxed(const T& x) { return shared_word(x).load(std::memory_order_relaxed); }
template <class T>
inline void store_relaxed(T& x, T v) { shared_word(x).store(v, std::memory_order_relaxed); }
template <class T>
inline T load_acquire(const T& x) { return shared_word(x).load(std::memory_order_acquire); }
template <class T>
inline void store_release(T& x, T v) { shared_word(x).store(v, std::memory_order_release); }
template <class T>
inline void add_release(T& x, T v) { shared_word(x).fetch_add(v, std::memory_order_release); }
inline unsigned int version_tag(PyTypeObject* t) { return load_relaxed(t->tp_version_tag); }

// Whether `x` is an exact int stored compactly (a value that fits a machine
// word), and that value.
inline bool compact_int(PyObject* x) {
    return PyLong_CheckExact(x) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(x));
}
inline long long compact_value(PyObject* x) { return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(x)); }

// A count of events that threads share (writes a watcher saw).  A reader
// takes now() before it reads the state the events change; the same count
// later means that no event came in between.
class EventCount {
public:
    std::uint64_t now() const { return load_acquire(n_); }
    void bump() { add_release(n_, std::uint64_t{1}); }

private:
    std::uint64_t n_ = 0;
};

// On the free-threaded build the interpreter's specialised attribute reads
// (a method looked up on an instance, a member on a class) keep a borrowed
// pointer to the class attribute found, and only do so for an object whose
// reference count is deferred, as its own functions defined in a class body
// are.  The package's function objects are made so too; without it every
// `obj.method(...)` takes the generic lookup.  (Nothing on the default
// build.)  `op` must be tracked by the collector.
inline void defer_refcount([[maybe_unused]] PyObject* op) {
    if constexpr (kFreeThreaded) PyUnstable_Object_EnableDeferredRefcount(op);
}

// The hash of an exact str: the one it keeps once computed (read whole,
// another thread may be storing it), else computed now (and kept).
inline Py_hash_t str_hash(PyObject* s) {
    const Py_hash_t h = load_relaxed(reinterpret_cast<PyASCIIObject*>(s)->hash);
    return h != -1 ? h : PyObject_Hash(s);
}

// ------------------------------------------------------------------ probes
// The outcome of each probe of an internal this module made at import.
struct Probe {
    const char* name;
    bool ok;
};
struct ProbeTable {
    static constexpr int kMax = 16;
    Probe probes[kMax] = {};
    int count = 0;
};
inline ProbeTable& probe_table() {
    static ProbeTable t;
    return t;
}
// Records (or updates) the outcome of the probe `name`; returns `ok`.
inline bool record_probe(const char* name, bool ok) {
    ProbeTable& t = probe_table();
    for (int i = 0; i < t.count; ++i)
        if (std::strcmp(t.probes[i].name, name) == 0) return t.probes[i].ok = ok;
    if (t.count < ProbeTable::kMax) t.probes[t.count++] = {name, ok};
    return ok;
}
// The probes as a dict {name: outcome}.
inline PyObject* probe_report() {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    const ProbeTable& t = probe_table();
    for (int i = 0; i < t.count; ++i)
        if (PyDict_SetItemString(out.get(), t.probes[i].name, t.probes[i].ok ? Py_True : Py_False) < 0) return nullptr;
    return out.release();
}

// Borrowed: the attribute `name` of class `t` along its MRO, or nullptr
// (no exception set).  Runs no code.
inline PyObject* type_lookup(PyTypeObject* t, PyObject* name) { return _PyType_Lookup(t, name); }
// The same as a new reference.
inline PyObject* type_lookup_ref(PyTypeObject* t, PyObject* name) { return _PyType_LookupRef(t, name); }

// A new empty dict with room for `n` items.
inline PyObject* dict_presized(Py_ssize_t n) { return _PyDict_NewPresized(n); }
// An empty dict sized for the entries of the dict `d`, so that filling it in
// with as many needs no resizing.
inline PyObject* dict_sized_like(PyObject* d) { return dict_presized(PyDict_GET_SIZE(d)); }

// A copy of the dict `d` when `whole(dict)` holds for it (it must run no
// code); empty with no exception when it does not, with one when the copy
// fails.
//   free-threaded build: the copy is taken in one step and is the one
//     asked (another thread may write `d` between a test and a copy);
//   default build: `d` is asked first, so that a dict that fails is not
//     copied.
template <class Whole>
Ref dict_copy_if(PyObject* d, Whole whole) {
    if constexpr (kFreeThreaded) {
        Ref copy = Ref::steal(PyDict_Copy(d));
        return !copy || whole(copy.get()) ? copy : Ref();
    } else {
        return whole(d) ? Ref::steal(PyDict_Copy(d)) : Ref();
    }
}

// The module object's field that holds its state block, or nullptr when the
// layout is not the one expected.  The interpreter takes a non-null state
// block as the mark of an executed module.  The fields after the object
// header are
//   3.14: md_dict, md_def, md_state, ...
//   3.15: md_dict, md_state, ...
// and the layout is checked against the public accessors before it is used.
inline void** module_state_field(PyObject* module) {
    void* state = PyModule_GetState(module);
    if (!state) return nullptr;
    auto** fields = reinterpret_cast<void**>(reinterpret_cast<char*>(module) + sizeof(PyObject));
    if (fields[0] != PyModule_GetDict(module)) return nullptr;
#if PY_VERSION_HEX >= 0x030F0000
    void** field = &fields[1];
#else
    if (fields[1] != PyModule_GetDef(module)) return nullptr;
    void** field = &fields[2];
#endif
    return *field == state ? field : nullptr;
}

// Probes module_state_field on `module` (exec time).
inline void probe_module_state_field(PyObject* module) {
    record_probe("module_state_field", module_state_field(module) != nullptr);
}

// An instance of a class with a managed __dict__ keeps the pointer to that
// dict three words before the object (one word in a free-threaded build),
// null until the dict is made.  check_instance_dict_slot() confirms that at
// import against PyObject_GenericGetDict; until it has, and wherever it
// could not, instance_dict() takes the public call.
#ifdef Py_GIL_DISABLED
inline constexpr int kManagedDictWord = -1;
#else
inline constexpr int kManagedDictWord = -3;
#endif

inline bool& instance_dict_slot_known() {
    static bool known = false;
    return known;
}

inline PyObject* managed_dict_slot(PyObject* obj) {
    return load_relaxed(reinterpret_cast<PyObject**>(obj)[kManagedDictWord]);
}

// Call once, in the exec function; false with an exception only on an
// unexpected failure (a layout that differs leaves the public call in use).
inline bool check_instance_dict_slot() {
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(){}", "probe"));
    Ref obj = Ref::steal(cls ? PyObject_CallNoArgs(cls.get()) : nullptr);
    if (!obj) return false;
    if (!PyType_HasFeature(Py_TYPE(obj.get()), Py_TPFLAGS_MANAGED_DICT) || managed_dict_slot(obj.get()))
        return !record_probe("instance_dict_slot", false);
    Ref dict = Ref::steal(PyObject_GenericGetDict(obj.get(), nullptr));
    if (!dict) return false;
    instance_dict_slot_known() = record_probe("instance_dict_slot", managed_dict_slot(obj.get()) == dict.get());
    return true;
}

// The __dict__ of `obj`, an instance of a class with a managed __dict__,
// made if it does not exist yet; borrowed (the instance holds it), or
// nullptr with an exception.  Not on the free-threaded build, where another
// thread could free it: instance_dict_ref.
inline PyObject* instance_dict(PyObject* obj) {
    if (instance_dict_slot_known())
        if (PyObject* dict = managed_dict_slot(obj)) return dict;
    PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
    Py_XDECREF(dict);  // the instance holds it
    return dict;
}

// The same as a strong reference, on any build (another thread may replace
// the __dict__ and free the old one).
inline Ref instance_dict_ref(PyObject* obj) {
    if constexpr (kFreeThreaded) return Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    else return Ref::borrow(instance_dict(obj));
}

// obj.<n1> = v1 and obj.<n2> = v2 as one step as other threads see it, for
// an object whose class has no descriptor under either name (its __dict__
// takes both), when `go(dict)`, asked first with the instance __dict__ in
// the same step, says so.  1: written; 0: `go` said no, nothing written;
// -1: error.  On the free-threaded build both are written into the
// instance __dict__ under its critical section, where a reader that takes
// the two together (under the same section) finds the old two or the new
// two; the values replaced are released after it.  On the default build
// the two attribute writes (the GIL keeps `go` and them together).
template <class Go>
inline int set_attrs_together(PyObject* obj, PyObject* n1, PyObject* v1, PyObject* n2, PyObject* v2, Go&& go) {
    Ref dict = instance_dict_ref(obj);
    if (!dict) return -1;
    if constexpr (kFreeThreaded) {
        Ref old1, old2;  // (released after the critical section: their finalizers may run code)
        return locked(dict.get(), [&] {
            if (!go(dict.get())) return 0;
            PyObject *o1 = nullptr, *o2 = nullptr;
            const bool ok = PyDict_GetItemRef(dict.get(), n1, &o1) >= 0 && PyDict_GetItemRef(dict.get(), n2, &o2) >= 0 &&
                            PyDict_SetItem(dict.get(), n1, v1) == 0 && PyDict_SetItem(dict.get(), n2, v2) == 0;
            old1 = Ref::steal(o1);
            old2 = Ref::steal(o2);
            return ok ? 1 : -1;
        });
    } else {
        if (!go(dict.get())) return 0;
        return PyObject_SetAttr(obj, n1, v1) == 0 && PyObject_SetAttr(obj, n2, v2) == 0 ? 1 : -1;
    }
}
// The same without a question (and, on the default build, without making
// the instance __dict__ where it has none yet).
inline bool set_attrs_together(PyObject* obj, PyObject* n1, PyObject* v1, PyObject* n2, PyObject* v2) {
    if constexpr (kFreeThreaded) return set_attrs_together(obj, n1, v1, n2, v2, [](PyObject*) { return true; }) > 0;
    else return PyObject_SetAttr(obj, n1, v1) == 0 && PyObject_SetAttr(obj, n2, v2) == 0;
}

// A dict keeps one bit per watcher id in the low bits of its watcher tag,
// which PyDict_Watch sets.  dict_watched() reads it, so that a dict already
// watched is not written again (the write would bounce its cache line
// between threads that only read it); probe_dict_watch_bits() confirms the
// place with watcher `id` at import, and until it has, the answer is false
// (watch again).
inline bool& dict_watch_bits_known() {
    static bool known = false;
    return known;
}
inline bool dict_watch_bit(PyObject* dict, int id) {
    return load_relaxed(reinterpret_cast<PyDictObject*>(dict)->_ma_watcher_tag) >> id & 1;
}
inline bool dict_watched(PyObject* dict, int id) { return dict_watch_bits_known() && dict_watch_bit(dict, id); }
// False with an exception only on an unexpected failure.
inline bool probe_dict_watch_bits(int id) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return false;
    const bool before = dict_watch_bit(d.get(), id);
    if (PyDict_Watch(id, d.get()) < 0) return false;
    const bool after = dict_watch_bit(d.get(), id);
    if (PyDict_Unwatch(id, d.get()) < 0) return false;
    dict_watch_bits_known() = record_probe("dict_watch_bits", !before && after && !dict_watch_bit(d.get(), id));
    return true;
}

// classmethod and staticmethod objects hold their callable right after the
// object header.  It can be replaced by calling the wrapper's __init__ again,
// which no dict notices, so a shortcut that stands in for the wrapped
// function compares it at each use.  probe_wrapped_callable() confirms the
// place against __func__ (exec time); until it has, wrapped_callable()
// answers nullptr, which matches no function.
inline bool& wrapped_callable_known() {
    static bool known = false;
    return known;
}
inline PyObject* wrapped_callable(PyObject* wrapper) {
    if (!wrapped_callable_known()) return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(wrapper) + sizeof(PyObject));
}
// `wrapper` a classmethod or staticmethod; false with an exception only on
// an unexpected failure.
inline bool probe_wrapped_callable(PyObject* wrapper) {
    Ref func = Ref::steal(PyObject_GetAttrString(wrapper, "__func__"));
    if (!func) return false;
    wrapped_callable_known() = true;
    wrapped_callable_known() =
        record_probe("wrapped_callable", (PyObject_TypeCheck(wrapper, &PyClassMethod_Type) ||
                                          PyObject_TypeCheck(wrapper, &PyStaticMethod_Type)) &&
                                             wrapped_callable(wrapper) == func.get());
    return true;
}

// cls.<key> = value for a plain attribute name (no descriptor with __set__
// on the metaclass, which is `type`), as type.__setattr__ does it: drop the
// class's lookup caches, then store into its namespace.  `ns` is the class
// namespace.  0 or -1 with an exception, as PyDict_SetItem.
inline int class_store(PyTypeObject* cls, PyObject* ns, PyObject* key, PyObject* value) {
    PyType_Modified(cls);
    return PyDict_SetItem(ns, key, value);
}

// A lazy import (3.15) binds a placeholder in the importing module's
// namespace, and the first use of the name replaces it with the imported
// object: a later write to that namespace.  Makes that happen now for every
// placeholder of `module`, as a use of each name would, so that what is read
// from the namespace afterwards stays as it is.  false with an exception when
// an import fails.  Nothing to do in 3.14.
inline bool resolve_lazy_imports([[maybe_unused]] PyObject* module) {
#if PY_VERSION_HEX >= 0x030F0000
    PyObject* dict = PyModule_GetDict(module);
    Ref keys = Ref::steal(dict ? PyDict_Keys(dict) : nullptr);
    if (!keys) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(dict, key, &value) < 0) return false;
        const bool lazy = value && std::strcmp(Py_TYPE(value)->tp_name, "lazy_import") == 0;
        Py_XDECREF(value);
        if (lazy && !Ref::steal(PyObject_GetAttr(module, key))) return false;  // the module's getattr resolves it
    }
#endif
    return true;
}

}  // namespace kst::compat
