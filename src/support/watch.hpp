// Facts about dictionaries that stay true while the dictionary is unchanged.
//
// A shortcut that reads attributes or module globals once and then skips the
// lookups needs to know that nothing was written since.  The interpreter's
// dict watchers tell: every event on a watched dictionary (an item added,
// replaced or deleted, a clear, a merge into it, its deallocation) is
// reported before the change takes effect.  The interpreter leaves only six
// watcher ids to all the extensions of a process, so each module takes at
// most one, through its WatchHub, and dispatches the events itself: to the
// memos, and to the listeners of the dictionary concerned.  kEnvelope takes none: it listens on
// kDict's hub (reached through kDict's C interface).  Without a free id a hub
// stays off: nothing can be watched, and every listener's owner takes its
// full check at each use.
#pragma once

#include "compat.hpp"

#include <cstddef>
#include <cstdint>

namespace kst {

// What a memo knows of one dictionary.
struct MemoEntry {
    PyObject* dict = nullptr;   // the dictionary (borrowed)
    PyObject* first = nullptr;  // objects it holds (borrowed: the dict keeps them alive)
    PyObject* second = nullptr;
};
inline constexpr std::size_t kMemoSlots = 64;
// The memo slot of a dictionary (the same in every memo).
inline std::size_t memo_slot(PyObject* p) {
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(p) * 0x9E3779B97F4A7C15ULL) >> 58);
}

class WatchHub {
public:
    // Called for each event on one dictionary it was registered for; must
    // not raise or run Python code.  `key` is null for events without one.
    using Listener = void (*)(void* ctx, PyObject* dict, PyObject* key);

    // Takes this module's watcher id (call once, in the exec function).  A
    // lack of free ids leaves the hub off, which is no error.
    void start(PyDict_WatchCallback callback) {
        if (id_ >= 0) return;
        id_ = PyDict_AddWatcher(callback);
        if (id_ < 0) PyErr_Clear();  // (all ids taken: the only failure)
        // (a failed probe leaves watching() answering false: watch again)
        else if (!compat::probe_dict_watch_bits(id_)) PyErr_Clear();
    }

    bool on() const { return id_ >= 0; }

    // Whether `dict` is watched already (false when that cannot be told).
    bool watching(PyObject* dict) const { return id_ >= 0 && compat::dict_watched(dict, id_); }

    // Events dispatched so far, counted on the free-threaded build only: an
    // unchanged count means that no watched dictionary changed meanwhile.
    std::uint64_t events() const { return compat::load_acquire(events_); }

    // Watches `dict`; false (no error) when the hub is off.
    bool watch(PyObject* dict) { return id_ >= 0 && PyDict_Watch(id_, dict) == 0; }

    // Watches `dict` and calls `fn` at each event on it; false (no error)
    // when the hub is off or its table is full.
    bool watch_for(PyObject* dict, Listener fn, void* ctx) {
        if (count_ == kMaxWatched || !watch(dict)) return false;
        watched_[count_++] = {dict, fn, ctx};
        filter_ |= filter_bit(dict);
        return true;
    }

    // Registers the table of a memo (exec time), whose entry for a
    // dictionary is dropped at each event on it; false with SystemError
    // when full.
    bool add_memo(MemoEntry* table) {
        if (nmemos_ == kMaxMemos) {
            PyErr_SetString(PyExc_SystemError, "too many dictionary memos");
            return false;
        }
        memos_[nmemos_++] = table;
        return true;
    }

    void dispatch(PyObject* dict, PyObject* key) const {
        if constexpr (compat::kFreeThreaded) compat::add_release(events_, std::uint64_t{1});
        const std::size_t slot = memo_slot(dict);
        for (int i = 0; i < nmemos_; ++i) {
            MemoEntry& e = memos_[i][slot];
            if (e.dict == dict) e = {};
        }
        if (filter_ & filter_bit(dict))
            for (int i = 0; i < count_; ++i)
                if (watched_[i].dict == dict) watched_[i].fn(watched_[i].ctx, dict, key);
    }

private:
    // One bit per listened dictionary, by address: most events (on the
    // memos' dictionaries) skip the scan of the listeners.
    static std::uint64_t filter_bit(PyObject* dict) {
        // (addresses of dicts are 64-byte aligned: hashed, not shifted)
        return std::uint64_t{1} << ((reinterpret_cast<std::uintptr_t>(dict) * 0xD6E8FEB86659FD93ULL) >> 58);
    }

    static constexpr int kMaxWatched = 48, kMaxMemos = 8;
    struct Entry {
        PyObject* dict;
        Listener fn;
        void* ctx;
    };
    int id_ = -1;
    mutable std::uint64_t events_ = 0;
    int count_ = 0;
    int nmemos_ = 0;
    std::uint64_t filter_ = 0;
    MemoEntry* memos_[kMaxMemos] = {};
    Entry watched_[kMaxWatched] = {};
};

// What a free-threaded shortcut keeps of an instance __dict__ in place of a
// memo (whose borrowed entries another thread could free): the __dict__,
// compared and never used, and the hub's count of events when it was
// checked.  While `obj` has that __dict__ and the count is unchanged, it has
// not been written since (it is watched, and its deallocation is an event
// too, so no other dict can come to have its address meanwhile).  Zeroed
// storage is "nothing kept".
struct DictSeen {
    PyObject* dict;
    std::uint64_t events;

    // Call before checking the contents of `d`, the __dict__ of the object:
    // watches it (once) and keeps it with the count.
    void note(WatchHub& hub, PyObject* d) {
        const bool watched = hub.watching(d) || hub.watch(d);
        *this = {watched ? d : nullptr, hub.events()};
    }
    // Whether `obj`'s __dict__ is the one noted, unwritten since.
    bool still(const WatchHub& hub, PyObject* obj) const {
        return dict && compat::instance_dict_slot_known() && compat::managed_dict_slot(obj) == dict &&
               hub.events() == events;
    }
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
// entry only means "check again".  The table is direct-mapped by address
// and forgets on collisions.
class DictMemo {
public:
    using Entry = MemoEntry;

    // Exec time: the hub that watches the dictionaries and clears their
    // entries; false with an exception when it has no room.
    bool start(WatchHub& hub) {
        hub_ = &hub;
        return hub.add_memo(entries_);
    }

    // The entry recorded for `dict`, or nullptr.
    const Entry* find(PyObject* dict) const {
        const Entry& e = entries_[memo_slot(dict)];
        return e.dict == dict ? &e : nullptr;
    }

    // Records `first` and `second`, which `dict` must hold, and watches
    // `dict`.  Nothing is recorded when the dict cannot be watched, and
    // never on the free-threaded build, where another thread could free
    // what an entry points to between the probe and its use (each use
    // there checks again).  Whether the answer may be used as it stands:
    // recorded, or on that build.
    bool remember(PyObject* dict, PyObject* first, PyObject* second) {
        if constexpr (compat::kFreeThreaded) return true;
        if (!hub_ || !hub_->watch(dict)) return false;
        entries_[memo_slot(dict)] = {dict, first, second};
        return true;
    }

private:
    Entry entries_[kMemoSlots];
    WatchHub* hub_ = nullptr;
};

// Two objects that an instance __dict__ is found to hold, taken as strong
// references at every call of a shortcut that reads them.
//   default build: remembered per dict (a DictMemo) until the dict is next
//     written, so that the usual call is one probe;
//   free-threaded build: not remembered (another thread could free what an
//     entry points to between the probe and its use): each call reads the
//     dict under its critical section, and `seen` keeps which dict it read
//     and the hub's count, for still().
class InstanceMemo {
public:
    // Exec time; false with an exception.
    bool start(WatchHub& hub) {
        hub_ = &hub;
        return memo_.start(hub);
    }

    // 1: `first` and `second` taken; 0: the dict does not qualify; -1:
    // error.  read(dict, first, second) looks at the dict (whole: its
    // critical section is held; it must run no code), sets the two
    // borrowed, and says whether the dict qualifies.  `seen` (nullptr: no
    // still() to follow) is kept for still().
    template <class Read>
    int take(PyObject* obj, Ref& first, Ref& second, [[maybe_unused]] DictSeen* seen, Read&& read) {
        if constexpr (compat::kFreeThreaded) {
            Ref dict = compat::instance_dict_ref(obj);
            if (!dict) return -1;
            if (seen) seen->note(*hub_, dict.get());
            return compat::locked(dict.get(), [&] { return look(dict.get(), first, second, read); });
        } else {
            PyObject* dict = compat::instance_dict(obj);
            if (!dict) return -1;
            if (const MemoEntry* e = memo_.find(dict)) {
                first = Ref::borrow_live(e->first);
                second = Ref::borrow(e->second);
                return 1;
            }
            return look(dict, first, second, read);  // (runs no code: the instance keeps its dict)
        }
    }

    // Whether `obj`'s __dict__ is unwritten since take() took from it.
    bool still(PyObject* obj, [[maybe_unused]] const DictSeen& seen) const {
        if constexpr (compat::kFreeThreaded) {
            return seen.still(*hub_, obj);
        } else {
            PyObject* dict = compat::instance_dict(obj);
            if (!dict) {
                PyErr_Clear();
                return false;
            }
            return memo_.find(dict) != nullptr;
        }
    }

private:
    template <class Read>
    Py_NO_INLINE int look(PyObject* dict, Ref& first, Ref& second, Read& read) {
        PyObject *a = nullptr, *b = nullptr;
        if (!read(dict, a, b)) return 0;
        memo_.remember(dict, a, b);
        first = Ref::borrow(a);
        second = Ref::borrow(b);
        return 1;
    }

    DictMemo memo_;
    WatchHub* hub_ = nullptr;
};

}  // namespace kst
