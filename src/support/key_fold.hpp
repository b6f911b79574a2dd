// The key rule's fold: key.casefold() for exact str keys, with the folds of
// recent keys remembered, and str.isspace().
//
// ASCII is folded by table, eight bytes at a time; everything else goes
// through the interpreter's own str.casefold, so that results are identical
// for every code point.  The cache of recent folds differs between the
// builds (each kind is described where it is defined); fold(), fold_peek()
// and op_fold() give the same answers on both.
#pragma once

#include "compat.hpp"
#include "module.hpp"
#include "ref.hpp"

#include <cstdint>
#include <cstring>

namespace kst {

inline PyObject* g_casefold;  // str.casefold (start_key_fold)

// Exec time; false with an exception.
inline bool start_key_fold() {
    if (!g_casefold) g_casefold = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "casefold");
    return g_casefold != nullptr;
}

inline bool ascii_upper(Py_UCS1 c) { return c >= 'A' && c <= 'Z'; }

// For eight ASCII bytes: 0x80 in each byte that is a capital letter.  (No
// carry crosses a byte: every byte is below 0x80.)
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline std::uint64_t capitals(std::uint64_t x) {
    return (x + kOnes * (0x80 - 'A')) & ~(x + kOnes * (0x80 - 'Z' - 1)) & (kOnes * 0x80);
}

// Recently folded keys, by identity of the key object: a key read again
// (the same literal, the same stored key) skips building its folded text
// and hashing it.  Entries hold strong references, so a cached address
// cannot be reused by another object while it is in the table.  Two ways
// per set, the newer first: two keys in use together whose addresses meet
// in one set (a birthday's chance among a dozen keys) then stay, instead of
// evicting each other at every use.
struct FoldEntry {
    PyObject* key;
    PyObject* folded;
};
constexpr std::size_t kFoldSets = 64;
constexpr Py_ssize_t kFoldMaxLength = 64;
alignas(2 * sizeof(FoldEntry)) inline FoldEntry g_fold_cache[kFoldSets][2];

inline FoldEntry* fold_set(PyObject* key) {
    return g_fold_cache[(reinterpret_cast<std::uintptr_t>(key) >> 4) % kFoldSets];
}

// The free-threaded build cannot use that cache (another thread's fold
// could evict and free an entry while it is used).  It keeps instead a
// table that only grows, to a bound, of keys and their folds, found by the
// key's hash: an entry, once published, never changes and holds both
// strings for the life of the process, so it is read without a lock, and no
// other object can come to have a listed key's address.  A key that is
// another object of a listed key's text (read again from a parsed document,
// say) is found by comparing the text.
struct SharedFold {
    PyObject* key;  // written last (release), read first (acquire)
    PyObject* folded;
    Py_hash_t hash;
};
constexpr std::size_t kSharedFolds = 1024;  // slots, a power of two; filled to half at most
constexpr int kSharedProbes = 8;
inline SharedFold g_shared_folds[kSharedFolds];
inline std::size_t g_shared_count;  // (under g_shared_lock)
inline PyMutex g_shared_lock;

inline std::size_t shared_slot(Py_hash_t h) { return static_cast<std::size_t>(h) & (kSharedFolds - 1); }

inline PyObject* shared_fold(PyObject* key) {
    const Py_hash_t h = compat::str_hash(key);
    std::size_t i = shared_slot(h);
    for (int probe = 0; probe < kSharedProbes; ++probe, i = (i + 1) & (kSharedFolds - 1)) {
        const SharedFold& e = g_shared_folds[i];
        PyObject* k = compat::load_acquire(e.key);
        if (k == key) return e.folded;
        if (!k) return nullptr;
        // (exact str objects, the listed one never freed: no code runs)
        if (e.hash == h && PyUnicode_GET_LENGTH(k) == PyUnicode_GET_LENGTH(key) && PyUnicode_Compare(k, key) == 0)
            return e.folded;
    }
    return nullptr;
}

Py_NO_INLINE inline void remember_shared_fold(PyObject* key, PyObject* folded) {
    const Py_hash_t h = compat::str_hash(key);
    PyMutex_Lock(&g_shared_lock);
    if (g_shared_count < kSharedFolds / 2) {
        std::size_t i = shared_slot(h);
        for (int probe = 0; probe < kSharedProbes; ++probe, i = (i + 1) & (kSharedFolds - 1)) {
            SharedFold& e = g_shared_folds[i];
            if (e.key && e.hash == h && PyUnicode_Compare(e.key, key) == 0) break;  // (another thread's, meanwhile)
            if (!e.key) {
                e.folded = Py_NewRef(folded);  // (both held for the process)
                e.hash = h;
                compat::store_release(e.key, Py_NewRef(key));
                ++g_shared_count;
                break;
            }
        }
    }
    PyMutex_Unlock(&g_shared_lock);
}

// The cached fold of `key`, borrowed, or nullptr.
inline PyObject* fold_cached(PyObject* key) {
    if constexpr (compat::kFreeThreaded) return shared_fold(key);
    FoldEntry* set = fold_set(key);
    if (set[0].key == key) return set[0].folded;
    if (set[1].key == key) return set[1].folded;
    return nullptr;
}

inline Ref fold_uncached(PyObject* key) {
    if (!PyUnicode_IS_ASCII(key)) return call(g_casefold, {key});
    const Py_UCS1* p = PyUnicode_1BYTE_DATA(key);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    Py_ssize_t i = 0;
    for (std::uint64_t w; i + 8 <= n; i += 8) {
        std::memcpy(&w, p + i, 8);
        if (capitals(w)) break;
    }
    while (i < n && !ascii_upper(p[i])) ++i;
    if (i == n) return Ref::borrow(key);
    PyObject* r = PyUnicode_New(n, 127);
    if (!r) return {};
    Py_UCS1* q = PyUnicode_1BYTE_DATA(r);
    std::memcpy(q, p, static_cast<std::size_t>(i));
    for (std::uint64_t w; i + 8 <= n; i += 8) {
        std::memcpy(&w, p + i, 8);
        w += capitals(w) >> 2;  // 0x20 added to each capital
        std::memcpy(q + i, &w, 8);
    }
    for (; i < n; ++i) q[i] = ascii_upper(p[i]) ? static_cast<Py_UCS1>(p[i] + ('a' - 'A')) : p[i];
    return Ref::steal(r);
}

Py_NO_INLINE inline Ref fold_miss(PyObject* key, bool remember) {
    Ref r = fold_uncached(key);
    // The folded text of an interned key (a literal, mostly) is interned
    // too: whichever object of that key is folded later, its folded form is
    // then the very key object `_key_map` holds, which a lookup matches by
    // identity.
    // (Not on the free-threaded build, where interned strings are immortal:
    // every distinct key would stay for the life of the process.)
    if (!compat::kFreeThreaded && r && r.get() != key && PyUnicode_CHECK_INTERNED(key)) {
        PyObject* p = r.release();
        PyUnicode_InternInPlace(&p);
        r = Ref::steal(p);
    }
    if (!remember || !r || r.get() == key || PyUnicode_GET_LENGTH(key) > kFoldMaxLength) return r;
    if constexpr (compat::kFreeThreaded) {
        remember_shared_fold(key, r.get());
    } else {
        FoldEntry* set = fold_set(key);
        const FoldEntry old = set[1];
        set[1] = set[0];
        set[0] = {Py_NewRef(key), Py_NewRef(r.get())};
        Py_XDECREF(old.key);  // exact str objects: no user code runs
        Py_XDECREF(old.folded);
    }
    return r;
}

// Short ASCII without capitals: folds to itself.
inline bool short_folded(PyObject* key) {
    if (!PyUnicode_IS_ASCII(key) || PyUnicode_GET_LENGTH(key) > 16) return false;
    const Py_UCS1* p = PyUnicode_1BYTE_DATA(key);
    const Py_UCS1* end = p + PyUnicode_GET_LENGTH(key);
    while (p < end && !ascii_upper(*p)) ++p;
    return p == end;
}

// key.casefold() for an exact str.  Lower-case ASCII comes back as the same
// object; other ASCII is folded by table; everything else goes through the
// interpreter's own str.casefold, so results are identical for every code
// point, lone surrogates included.  `remember`: whether a key folded
// afresh enters the cache (a key made on the fly is seldom seen again).
inline Ref fold(PyObject* key, bool remember = true) {
    if (PyObject* folded = fold_cached(key)) return Ref::borrow_live(folded);
    if (short_folded(key)) return Ref::borrow_live(key);
    return fold_miss(key, remember);
}

// fold() for a caller that runs no code before it is done with the result
// (folding another key may evict the cache entry): borrowed from the key or
// the cache, or held by `fresh` when folded afresh.
inline PyObject* fold_peek(PyObject* key, Ref& fresh) {
    if (PyObject* folded = fold_cached(key)) return folded;
    if (short_folded(key)) return key;
    fresh = fold_miss(key, true);
    return fresh.get();
}

// The fold of `key` for one operation, held where needed: as
// fold() on the default build; on the free-threaded build a fold that the
// table lists, or the key itself, is borrowed (the table's entries are never
// freed, and the caller holds the key), so that no reference count other
// threads write too is written.
inline Held op_fold(PyObject* key) {
    if constexpr (compat::kFreeThreaded) {
        Ref fresh;
        PyObject* n = fold_peek(key, fresh);
        return fresh ? Held(std::move(fresh)) : Held::borrowed(n);
    }
    return fold(key);
}


// str.isspace() for an exact str.
inline bool all_space_rest(PyObject* key);

inline bool all_space(PyObject* key) {
    if (PyUnicode_GET_LENGTH(key) == 0) return false;
    // most keys start with a character that is not white space
    if (PyUnicode_IS_ASCII(key) && !Py_UNICODE_ISSPACE(PyUnicode_1BYTE_DATA(key)[0])) return false;
    return all_space_rest(key);
}

inline bool all_space_rest(PyObject* key) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    const int kind = PyUnicode_KIND(key);
    const void* data = PyUnicode_DATA(key);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return false;
    return true;
}

}  // namespace kst
