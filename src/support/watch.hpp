// Facts about dictionaries that stay true while the dictionary is unchanged.
//
// A fast path that reads attributes or module globals once and then skips
// the lookups needs to know that nothing was written since.  A DictMemo
// records, per dictionary, two objects found in it after a full check, and
// watches the dictionary (the interpreter's dict watchers): every event on a
// watched dictionary -- an item added, replaced or deleted, a clear, a merge
// into it, its deallocation -- drops its entry before the change takes
// effect.  So an entry that is found is still true; a missing entry only
// means "check again".  The table is direct-mapped by address and forgets
// on collisions.  Without a free watcher id the memo stays empty and every
// caller takes its full check.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <cstdint>

namespace kst {

class DictMemo;

namespace detail {
inline constexpr int kMaxMemos = 4;
struct MemoRegistry {
    DictMemo* memos[kMaxMemos] = {};
    int count = 0;
    int watcher = -1;  // this module's watcher id, -1 until registered
};
inline MemoRegistry& memo_registry() {
    static MemoRegistry r;
    return r;
}
inline int memo_watch(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*);
}  // namespace detail

class DictMemo {
public:
    struct Entry {
        PyObject* dict = nullptr;  // the dictionary (borrowed)
        PyObject* first = nullptr;  // objects it holds (borrowed: the dict keeps them alive)
        PyObject* second = nullptr;
    };

    // Registers the memo with this module's watcher (call once, in the exec
    // function).  false with an exception only on an unexpected failure; a
    // lack of watcher ids leaves the memo disabled.
    bool start() {
        detail::MemoRegistry& r = detail::memo_registry();
        if (r.watcher < 0) {
            r.watcher = PyDict_AddWatcher(detail::memo_watch);
            if (r.watcher < 0) {
                PyErr_Clear();  // all ids taken: run without memo
                return true;
            }
        }
        if (r.count == detail::kMaxMemos) {
            PyErr_SetString(PyExc_SystemError, "too many dictionary memos");
            return false;
        }
        r.memos[r.count++] = this;
        enabled_ = true;
        return true;
    }

    // The entry recorded for `dict`, or nullptr.
    const Entry* find(PyObject* dict) const {
        const Entry& e = entries_[index(dict)];
        return e.dict == dict ? &e : nullptr;
    }

    // Records `first` and `second`, which `dict` must hold, and watches
    // `dict`.  Nothing is recorded when the dict cannot be watched.
    void remember(PyObject* dict, PyObject* first, PyObject* second) {
        if (!enabled_) return;
        if (PyDict_Watch(detail::memo_registry().watcher, dict) < 0) {
            PyErr_Clear();
            return;
        }
        entries_[index(dict)] = {dict, first, second};
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
    bool enabled_ = false;
};

namespace detail {
// Any event on a watched dictionary forgets what the memos knew of it.
inline int memo_watch(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    MemoRegistry& r = memo_registry();
    for (int i = 0; i < r.count; ++i) r.memos[i]->forget(dict);
    return 0;
}
}  // namespace detail

}  // namespace kst
