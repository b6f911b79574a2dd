// What a shortcut relies on, and how it finds out that it still holds.
//
// A member skips a lookup or a call only while nothing that would make a
// difference has changed.  Three kinds of fact cover every shortcut of the
// package:
//   - ClassGuard: an exact class whose members are still those a full check
//     of the class found;
//   - DictMemo (watch.hpp): what a dictionary held when it was last checked;
//   - PinSet: objects of the standard library (functions, namespaces, classes)
//     whose identity and contents a shortcut assumes;
//   - NamespaceNames: a module's names as read at call time.
// Each module declares its shortcuts in one table (Shortcut) that names what
// they stand in for and what they assume; the test-support module reports it.
//
// One convention for every check: it answers bool, true when the shortcut
// applies, and never leaves an exception set.  The only errors a check can
// meet come from foreign objects in a dictionary it reads (a key whose __eq__
// fails); the check then answers false, and the general road repeats the same
// lookup, so the caller sees the error there.  `quiet_entry` is that one
// place where such an error is dropped.
#pragma once

#include "module.hpp"
#include "watch.hpp"

#include <cstdint>
#include <span>

namespace kst {

// dict[key] by identity, borrowed, or nullptr when absent; an error is
// dropped (see above: the general road repeats the lookup).
inline PyObject* quiet_entry(PyObject* dict, PyObject* key) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(dict, key, &v) < 0) PyErr_Clear();
    Py_XDECREF(v);  // compared by identity only; the dict keeps it alive
    return v;
}

// ------------------------------------------------------------ ClassGuard
// An exact class and the answer of a full check of it, remembered under the
// class's version tag: the hot test is two compares.  A tag seen with the
// check failing is remembered too.  A class modified about a thousand times
// has no tags left; the guard then watches the namespaces along its MRO
// (and the MRO itself), so that it still re-checks and re-arms after a
// change instead of staying off for good.
class ClassGuard {
public:
    using Check = bool (*)(PyTypeObject*);

    // Exec time: the class and its full check.  The hub serves the
    // tag-less mode (off when the hub is).
    bool start(PyTypeObject* type, Check check, WatchHub& hub) {
        type_ = type;
        check_ = check;
        hub_ = &hub;
        return true;
    }

    PyTypeObject* type() const { return type_; }

    // Whether `tp` is the class, unchanged since a full check passed.
    bool holds(PyTypeObject* tp) {
        if (tp != type_) return false;
        const unsigned int good = compat::load_relaxed(good_);
        return (good != 0 && compat::version_tag(tp) == good) || recheck();
    }
    // The same for the class itself (reports and tests).
    bool armed() { return type_ && holds(type_); }
    // The tag under which the check last passed (0: none).
    unsigned int good_tag() const { return good_; }

private:
    Py_NO_INLINE bool recheck() {
        PyTypeObject* t = type_;
        const unsigned int tag = compat::version_tag(t);
        if (tag != 0 && tag == compat::load_relaxed(bad_)) return false;
        if (PyUnstable_Type_AssignVersionTag(t)) {
            // (the tag is read before the check: a change during the check
            // gives the class a new tag, which this answer does not cover)
            const unsigned int checked = compat::version_tag(t);
            const bool ok = check_(t);
            compat::store_relaxed(ok ? good_ : bad_, checked);
            return ok;
        }
        return tagless();
    }

    // No version tag left: the answer is kept while the namespaces along
    // the MRO are unwritten (a dict watcher) and the MRO is the same tuple.
    Py_NO_INLINE bool tagless() {
        compat::store_relaxed(good_, 0u);
        PyTypeObject* t = type_;
        // (on the free-threaded build the watched set cannot grow while other
        // threads dispatch: check every time)
        if constexpr (compat::kFreeThreaded) return check_(t);
        if (tagless_ok_ && t->tp_mro == mro_) return true;
        if (!watch_mro(t)) return check_(t);  // nothing to watch with: check every time
        tagless_ok_ = check_(t);
        return tagless_ok_;
    }

    // Watches the namespaces along the MRO (each once for the process);
    // false when they cannot all be watched.
    bool watch_mro(PyTypeObject* t) {
        PyObject* mro = t->tp_mro;
        if (!hub_ || !hub_->on() || !mro) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
            auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
            if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE)) continue;  // static types cannot change
            Ref dict = Ref::steal(PyType_GetDict(base));
            if (!dict) {
                PyErr_Clear();  // (a failed allocation: checked at every use instead)
                return false;
            }
            bool known = false;
            for (int j = 0; j < nwatched_; ++j) known = known || watched_[j] == dict.get();
            if (known) continue;
            if (nwatched_ == kMaxWatched || !hub_->watch_for(dict.get(), on_write, this)) return false;
            watched_[nwatched_++] = dict.get();  // (held: see below)
            Py_INCREF(dict.get());
        }
        Py_XSETREF(mro_, Py_NewRef(mro));  // held: its address is compared
        return true;
    }

    static void on_write(void* self, PyObject*, PyObject*) { static_cast<ClassGuard*>(self)->tagless_ok_ = false; }

    static constexpr int kMaxWatched = 8;
    PyTypeObject* type_ = nullptr;
    Check check_ = nullptr;
    unsigned int good_ = 0;
    unsigned int bad_ = 0;
    WatchHub* hub_ = nullptr;
    bool tagless_ok_ = false;
    PyObject* mro_ = nullptr;
    PyObject* watched_[kMaxWatched] = {};
    int nwatched_ = 0;
};

// The check most classes need: the MRO is (type, object), the class
// namespace still holds every entry it held when the snapshot was taken (its
// texts aside), and
// the names that were absent then (such as __getattr__) are still absent.
class MemberSnapshot {
public:
    // Exec time; false with an exception on failure.
    bool take(PyTypeObject* t, std::initializer_list<const char*> absent) {
        Ref ns = Ref::steal(PyType_GetDict(t));
        if (!ns) return false;
        copy_ = PyDict_Copy(ns.get());
        absent_ = PyList_New(0);
        if (!copy_ || !absent_) return false;
        // Texts that no lookup of a member goes through (a new docstring
        // keeps the shortcuts).
        for (const char* text : {"__doc__", "__module__"})
            if (PyDict_DelItemString(copy_, text) < 0) PyErr_Clear();
        for (const char* name : absent) {
            Ref key = Ref::steal(PyUnicode_InternFromString(name));
            if (!key || PyList_Append(absent_, key.get()) < 0) return false;
        }
        return true;
    }

    // Whether `t`'s namespace still agrees with the snapshot.
    bool same(PyTypeObject* t) const {
        PyObject* mro = t->tp_mro;
        if (!mro || PyTuple_GET_SIZE(mro) != 2 || PyTuple_GET_ITEM(mro, 0) != reinterpret_cast<PyObject*>(t) ||
            PyTuple_GET_ITEM(mro, 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type))
            return false;
        Ref ns = Ref::steal(PyType_GetDict(t));
        if (!ns) {
            PyErr_Clear();  // (only a failed allocation; the general road meets it again)
            return false;
        }
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(copy_, &pos, &k, &v))
            if (quiet_entry(ns.get(), k) != v) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(absent_); ++i)
            if (quiet_entry(ns.get(), PyList_GET_ITEM(absent_, i))) return false;
        return true;
    }

private:
    PyObject* copy_ = nullptr;  // (held for the process: guards are never destroyed)
    PyObject* absent_ = nullptr;
};

// The guards below live in static storage for the life of the process and
// are never destroyed: they hold their strong references as plain pointers,
// which no destructor drops after the interpreter has finalised.

// ------------------------------------------------------------------ PinSet
// Objects of the standard library that a shortcut imitates: namespace
// entries (a module's name, a builtin) pinned to the object found at import
// or to their absence, Python functions pinned to their code and defaults,
// and classes pinned to their namespace and MRO.  Namespaces are watched
// through the hub, so the entries are compared again only after a write.
class PinSet {
public:
    // Exec time, before anything is pinned: the hub that watches the
    // pinned namespaces.
    bool start(WatchHub& hub) {
        hub_ = &hub;
        return true;
    }

    // Exec time.  Each returns false (no exception: the caller leaves the
    // shortcut off) when the object is not as the shortcut expects, and the
    // namespace-pinning ones return the pinned object.
    PyObject* pin(PyObject* dict, const char* name) {
        PyObject* key = intern(name);
        PyObject* v = key ? PyDict_GetItemWithError(dict, key) : nullptr;
        if (!v || !pin_key(dict, key, v)) return nullptr;
        if (PyFunction_Check(v) && !pin_function(v)) return nullptr;
        return v;
    }
    bool pin_key(PyObject* dict, PyObject* key, PyObject* value) {
        if (npins_ == kMaxPins) return false;
        pins_[npins_++] = {Py_NewRef(dict), Py_NewRef(key), Py_XNewRef(value)};
        return true;
    }
    // The key most recently pinned.
    PyObject* last_key() const { return pins_[npins_ - 1].key; }
    bool pin_function(PyObject* fn) {
        if (!PyFunction_Check(fn) || nfns_ == kMaxFunctions) return false;
        PyObject* kw = PyFunction_GetKwDefaults(fn);
        fns_[nfns_++] = {Py_NewRef(fn), Py_NewRef(PyFunction_GetCode(fn)), Py_XNewRef(PyFunction_GetDefaults(fn)),
                         Py_XNewRef(kw)};
        if (kw) {  // its entries are pinned like module-level names
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(kw, &pos, &k, &v))
                if (!pin_key(kw, k, v)) return false;
            if (!watch(kw)) return false;
        }
        return true;
    }
    bool pin_type(PyObject* t) {
        if (!PyType_Check(t) || ntypes_ == kMaxTypes) return false;
        auto* type = reinterpret_cast<PyTypeObject*>(t);
        Ref ns = Ref::steal(PyType_GetDict(type));
        Ref copy = Ref::steal(ns ? PyDict_Copy(ns.get()) : nullptr);
        if (!copy || !type->tp_mro || !PyUnstable_Type_AssignVersionTag(type)) return false;
        types_[ntypes_++] = {Py_NewRef(t), copy.release(), Py_NewRef(type->tp_mro), type->tp_version_tag, 0};
        return true;
    }
    bool watch(PyObject* dict) {
        return hub_ && hub_->watch_for(
                           dict,
                           [](void* self, PyObject*, PyObject*) {
                               compat::add_release(static_cast<PinSet*>(self)->epoch_, std::uint64_t{1});
                           },
                           this);
    }
    // Everything pinned as expected: the shortcut may be armed.
    bool ready() { return ready_ = true; }

    // Whether every pin holds.
    bool holds() {
        if (!entries_hold()) return false;
        for (int i = 0; i < nfns_; ++i) {
            PyObject* f = fns_[i].fn;
            if (PyFunction_GetCode(f) != fns_[i].code || PyFunction_GetDefaults(f) != fns_[i].defaults ||
                PyFunction_GetKwDefaults(f) != fns_[i].kwdefaults)
                return false;
        }
        for (int i = 0; i < ntypes_; ++i)
            if (!types_[i].unchanged()) return false;
        return true;
    }

private:
    // The namespace entries are compared again after each write to a
    // watched namespace: a write bumps the epoch, and the answer is kept
    // with the epoch it was computed under (both in one word, so that a
    // thread never pairs an answer with another epoch).
    bool entries_hold() {
        const std::uint64_t epoch = compat::load_acquire(epoch_);
        const std::uint64_t kept = compat::load_relaxed(answer_);
        if (hub_ && hub_->on() && kept >> 1 == epoch + 1) return kept & 1;
        bool hold = ready_;
        for (int i = 0; i < npins_ && hold; ++i) hold = quiet_entry(pins_[i].dict, pins_[i].key) == pins_[i].value;
        compat::store_relaxed(answer_, (epoch + 1) << 1 | hold);
        return hold;
    }

    struct Pin {
        PyObject* dict;
        PyObject* key;
        PyObject* value;  // nullptr: must stay absent
    };
    struct FnPin {
        PyObject* fn;
        PyObject* code;
        PyObject* defaults;
        PyObject* kwdefaults;
    };
    // A class whose namespace and bases must stay as they were, with
    // metaclass `type`; a new version tag is checked against the copy.
    struct TypePin {
        PyObject *type, *ns, *mro;
        unsigned int tag = 0, bad_tag = 0;

        bool unchanged() {
            auto* t = reinterpret_cast<PyTypeObject*>(type);
            if (!Py_IS_TYPE(t, &PyType_Type)) return false;
            const unsigned int now = t->tp_version_tag;
            if (now != 0 && now == tag) return true;
            if (now != 0 && now == bad_tag) return false;
            bool same = t->tp_mro == mro;
            Ref current = Ref::steal(same ? PyType_GetDict(t) : nullptr);
            same = current && PyDict_GET_SIZE(current.get()) == PyDict_GET_SIZE(ns);
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (same && PyDict_Next(ns, &pos, &k, &v)) same = quiet_entry(current.get(), k) == v;
            if (PyUnstable_Type_AssignVersionTag(t)) (same ? tag : bad_tag) = t->tp_version_tag;
            return same;
        }
    };
    static constexpr int kMaxPins = 160, kMaxFunctions = 16, kMaxTypes = 4;
    WatchHub* hub_ = nullptr;
    Pin pins_[kMaxPins] = {};
    FnPin fns_[kMaxFunctions] = {};
    TypePin types_[kMaxTypes] = {};
    int npins_ = 0, nfns_ = 0, ntypes_ = 0;
    bool ready_ = false;
    std::uint64_t epoch_ = 0;   // writes seen to the watched namespaces
    std::uint64_t answer_ = 0;  // (epoch + 1) << 1 | answer, 0 for none
};

// --------------------------------------------------------------- the table
// One row per shortcut of a module: its name, the members or names whose
// lookup or call it stands in for, what it assumes, and a fresh test of
// whether it is armed now.  The assumptions are words of the forms
//   member:Class.name   the class's own member `name` (every member the class
//                       was made with is watched by its ClassGuard)
//   global:name         the module-level name still bound to its import-time object
//   pin:module.name     a standard-library object, unchanged
//   instance:Class      the instance's own __dict__ as the class makes it
//   hub                 a dict-watcher id of the module (without one the shortcut checks at every use)
struct Shortcut {
    const char* name;
    const char* stands_in_for;  // space-separated
    const char* assumes;        // space-separated
    bool (*armed)();
};

// The table as a list of dicts {"name", "stands_in_for", "assumes", "armed"}.
inline PyObject* shortcut_report(std::span<const Shortcut> table) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    for (const Shortcut& s : table) {
        Ref row = Ref::steal(Py_BuildValue("{s:s,s:s,s:s,s:O}", "name", s.name, "stands_in_for", s.stands_in_for,
                                           "assumes", s.assumes, "armed", s.armed() ? Py_True : Py_False));
        if (!row || PyList_Append(out.get(), row.get()) < 0) return nullptr;
    }
    return out.release();
}

// The values of a module's names read at call time (`names`, interned), and
// whether the first `pinned` of them are still the objects bound at import
// (`genuine`).
//   default build: the values are kept, borrowed from the namespace, until
//     its next write (watched), so that a use is a load;
//   free-threaded build: nothing borrowed is kept (another thread could
//     rebind a name and free its value): each use reads the namespace, and
//     the `pinned` answer is kept with the epoch of the namespace's writes
//     (a PinSet).
// Without a hub that watches, every use reads the namespace.
template <int N>
class NamespaceNames {
public:
    // Exec time; false with an exception.
    bool start(WatchHub& hub, PyObject* ns, PyObject* const* names, PyObject* const* genuine, int pinned) {
        hub_ = &hub;
        ns_ = ns;
        names_ = names;
        genuine_ = genuine;
        pinned_ = pinned;
        stale_ = true;
        if (!hub.on()) return true;
        auto written = [](void* self, PyObject*, PyObject*) { static_cast<NamespaceNames*>(self)->stale_ = true; };
        if (!hub.watch_for(ns, written, this)) {
            PyErr_SetString(PyExc_SystemError, "too many watched dictionaries");
            return false;
        }
        if constexpr (compat::kFreeThreaded) {
            bool same = pins_.start(hub);
            for (int i = 0; i < pinned && same; ++i)
                same = quiet_entry(ns, names[i]) == genuine[i] && pins_.pin_key(ns, names[i], genuine[i]) &&
                       (!PyFunction_Check(genuine[i]) || pins_.pin_function(genuine[i]));
            pins_held_ = same && pins_.watch(ns) && pins_.ready();
        }
        return true;
    }

    // The current value of names[i], or NameError.
    Ref value(int i) {
        if (valid() && cur_[i]) return Ref::borrow(cur_[i]);
        return global(ns_, names_[i]);
    }

    // Whether names[0 .. pinned) are bound to genuine[0 .. pinned).
    bool genuine() {
        if constexpr (compat::kFreeThreaded) {
            if (pins_held_) return pins_.holds();
        } else if (valid()) {
            return genuine_now_;
        }
        for (int i = 0; i < pinned_; ++i)
            if (quiet_entry(ns_, names_[i]) != genuine_[i]) return false;
        return true;
    }

private:
    bool valid() {
        if constexpr (compat::kFreeThreaded) return false;
        if (!stale_) return true;
        if (!hub_ || !hub_->on()) return false;
        refresh();
        return !stale_;
    }

    void refresh() {
        stale_ = false;
        bool same = true;
        for (int i = 0; i < N; ++i) {
            PyObject* v = PyDict_GetItemWithError(ns_, names_[i]);
            if (!v && PyErr_Occurred()) {
                // Only a key with a colliding hash and a failing __eq__ can
                // do this; the plain lookup at the use raises it again.
                PyErr_Clear();
                stale_ = true;
                return;
            }
            cur_[i] = v;
            if (i < pinned_ && v != genuine_[i]) same = false;
        }
        genuine_now_ = same;
        // (a lookup that ran code writing the namespace left stale_ set again)
    }

    WatchHub* hub_ = nullptr;
    PyObject* ns_ = nullptr;
    PyObject* const* names_ = nullptr;
    PyObject* const* genuine_ = nullptr;
    int pinned_ = 0;
    bool stale_ = true;
    PyObject* cur_[N] = {};
    bool genuine_now_ = false;
    PinSet pins_;
    bool pins_held_ = false;
};

}  // namespace kst
