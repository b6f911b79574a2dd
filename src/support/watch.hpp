// Facts about dictionaries that stay true while the dictionary is unchanged.
//
// A shortcut that reads attributes or module globals once and then skips the
// lookups needs to know that nothing was written since.  The interpreter's
// dict watchers tell: every event on a watched dictionary (an item added,
// replaced or deleted, a clear, a merge into it, its deallocation) is
// reported before the change takes effect.  The interpreter leaves only six
// watcher ids to all the extensions of a process, so each module takes at
// most one, through its WatchHub, and dispatches the events itself to the
// listeners that registered with it.  kEnvelope takes none: it listens on
// kDict's hub (reached through kDict's C interface).  Without a free id a hub
// stays off: nothing can be watched, and every listener's owner takes its
// full check at each use.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <cstdint>

namespace kst {

class WatchHub {
public:
    // Called for each event on any dictionary this hub watches; must not
    // raise or run Python code.  `key` is null for events without one.
    using Listener = void (*)(void* ctx, PyObject* dict, PyObject* key);

    // Takes this module's watcher id (call once, in the exec function).  A
    // lack of free ids leaves the hub off, which is no error.
    void start(PyDict_WatchCallback callback) {
        if (id_ >= 0) return;
        id_ = PyDict_AddWatcher(callback);
        if (id_ < 0) PyErr_Clear();  // (all ids taken: the only failure)
    }

    bool on() const { return id_ >= 0; }

    // Watches `dict`; false (no error) when the hub is off.
    bool watch(PyObject* dict) { return id_ >= 0 && PyDict_Watch(id_, dict) == 0; }

    // Adds a listener (exec time only); false with SystemError when full.
    bool listen(Listener fn, void* ctx) {
        if (count_ == kMaxListeners) {
            PyErr_SetString(PyExc_SystemError, "too many dictionary listeners");
            return false;
        }
        listeners_[count_++] = {fn, ctx};
        return true;
    }

    void dispatch(PyObject* dict, PyObject* key) const {
        for (int i = 0; i < count_; ++i) listeners_[i].fn(listeners_[i].ctx, dict, key);
    }

private:
    static constexpr int kMaxListeners = 16;
    struct Entry {
        Listener fn;
        void* ctx;
    };
    int id_ = -1;
    int count_ = 0;
    Entry listeners_[kMaxListeners] = {};
};

// This module's own hub, and the watcher callback that feeds it.
inline WatchHub& module_hub() {
    static WatchHub hub;
    return hub;
}
inline int module_hub_event(PyDict_WatchEvent, PyObject* dict, PyObject* key, PyObject*) {
    module_hub().dispatch(dict, key);
    return 0;
}
inline void start_module_hub() { module_hub().start(module_hub_event); }

// Per dictionary, two objects found in it after a full check, kept while the
// dictionary is unchanged.  An entry that is found is still true; a missing
// entry only means "check again".  The table is direct-mapped by address and
// forgets on collisions.
class DictMemo {
public:
    struct Entry {
        PyObject* dict = nullptr;   // the dictionary (borrowed)
        PyObject* first = nullptr;  // objects it holds (borrowed: the dict keeps them alive)
        PyObject* second = nullptr;
    };

    // Listens on `hub` (exec time); false with an exception only when the
    // hub is full.
    bool start(WatchHub& hub) {
        hub_ = &hub;
        return hub.listen([](void* self, PyObject* dict, PyObject*) { static_cast<DictMemo*>(self)->forget(dict); },
                          this);
    }

    // The entry recorded for `dict`, or nullptr.
    const Entry* find(PyObject* dict) const {
        const Entry& e = entries_[index(dict)];
        return e.dict == dict ? &e : nullptr;
    }

    // Records `first` and `second`, which `dict` must hold, and watches
    // `dict`.  Nothing is recorded when the dict cannot be watched.
    void remember(PyObject* dict, PyObject* first, PyObject* second) {
        if (hub_ && hub_->watch(dict)) entries_[index(dict)] = {dict, first, second};
    }

    void forget(PyObject* dict) {
        Entry& e = entries_[index(dict)];
        if (e.dict == dict) e = {};
    }

private:
    static constexpr std::size_t kSlots = 64;
    static std::size_t index(PyObject* p) {
        return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(p) * 0x9E3779B97F4A7C15ULL) >> 58) %
               kSlots;
    }
    Entry entries_[kSlots];
    WatchHub* hub_ = nullptr;
};

}  // namespace kst
