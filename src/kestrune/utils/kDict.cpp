// kestrune.utils.kDict: the case-insensitive document container.
//
// A kDict keeps two ordinary instance attributes: `_data` (stored key ->
// value, in insertion order) and `_key_map` (case-folded key -> stored key).
// Every member reaches the others through attribute lookup on the instance,
// so subclasses and instance attributes can replace them.  The lookups are
// skipped only where that cannot be seen: the instance is exactly a kDict,
// the class still holds its original members (checked through the type's
// version tag), and the instance __dict__ holds nothing but `_data` and
// `_key_map`, both exact dicts.  Everything else takes the general road:
// attribute reads, method calls, and generic item operations on whatever
// objects the attributes hold.  An instance __dict__ found to qualify is
// remembered (and watched) until it is next written, so the test is usually
// one table probe.  Each member is written once, over a road that takes
// its steps either way (see "the roads" below).
#include "support/capi.hpp"
#include "support/doc_text.hpp"
#include "support/iterate.hpp"
#include "support/key_fold.hpp"
#include "support/module.hpp"
#include "support/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

using namespace kst;

ModuleOnce once{"kDict"};

// ------------------------------------------------------------ process state

// Interned names.
PyObject* s_data;
PyObject* s_key_map;
PyObject* s_set;
PyObject* s_get;
PyObject* s_getList;
PyObject* s_validate_key;
PyObject* s_normalize_key;
PyObject* s_convert_value;
PyObject* s_keys;
PyObject* s_items;
PyObject* s_clear;
PyObject* s_Raw;
PyObject* s_strip;
PyObject* s_lower;
PyObject* s_fromisoformat;
PyObject* s_datetime;
DocText g_doc_text;  // the text form

PyObject* g_globals;        // the module's namespace
PyObject* g_datetime;       // the genuine datetime class
PyObject* g_fromisoformat;  // datetime.fromisoformat, bound to the class
PyObject* g_true_words;     // tuple of the texts read as True
PyObject* g_false_words;    // tuple of the texts read as False
PyTypeObject* g_cls;        // kDict itself

// --------------------------------------------------------------- shortcuts
// Every member reaches the others through attribute lookup on the instance.
// The lookups are skipped only where that cannot be seen:
//   store     the instance is exactly a kDict (ClassGuard: the class still
//             holds every member it was made with, and no `_data`,
//             `_key_map`, __getattribute__ or __getattr__ of its own), and
//             its __dict__ holds nothing but `_data` and `_key_map`, two
//             distinct exact dicts (remembered per dict while it is
//             unwritten).  Then `_data`, `_key_map`, the key rule, set, get,
//             getList and _convert_value are used directly, and the dicts
//             are worked on with the dict API.
//   datetime  the module global `datetime` is the class bound at import;
//             conversions to it call datetime.fromisoformat directly.
//   list in place  addToList appends to the stored list itself, on the
//             store road, while nobody but the store holds that list (its
//             reference count), so that nobody can tell it from a copy.
//   direct    kDict's C interface gives kEnvelope the store shortcut of
//             has, set, add, remove, get and Raw: each entry serves exactly the
//             stores the store shortcut serves.

ClassGuard g_class;        // kDict, as made
MemberSnapshot g_members;  // its namespace as made

bool class_as_made(PyTypeObject* tp) { return g_members.same(tp); }

InstanceMemo g_instances;  // instance dicts that qualify (first: `_data`, second: `_key_map`)
DictMemo g_namespace;  // the module namespace while its `datetime` is the genuine class (first)

bool store_armed() { return g_class.armed(); }
bool datetime_armed();

const Shortcut shortcuts[] = {
    {"store", "_data _key_map _normalize_key _validate_key _convert_value set get getList",
     "class:kDict instance:kDict hub", store_armed},
    {"datetime", "datetime datetime.fromisoformat", "global:datetime hub", datetime_armed},
    {"direct", "kDict.has kDict.set kDict.add kDict.remove kDict.get kDict.Raw", "class:kDict instance:kDict hub",
     store_armed},
    {"list in place", "addToList's copy of the stored list", "class:kDict instance:kDict hub", store_armed},
};

// The two dictionaries of an instance on the shortcut road (strong refs, so
// that user code run in the middle of an operation cannot free them).
struct Store {
    Ref data;
    Ref key_map;
    DictSeen seen;  // (what fast_store read)
};

// Which of the two attributes an instance-dict key names: 1 `_data`,
// 2 `_key_map`, 0 neither.
int attr_slot(PyObject* k) {
    if (k == s_data) return 1;
    if (k == s_key_map) return 2;
    if (!PyUnicode_CheckExact(k)) return 0;
    if (PyUnicode_EqualToUTF8(k, "_data")) return 1;
    if (PyUnicode_EqualToUTF8(k, "_key_map")) return 2;
    return 0;
}

// Whether an instance __dict__ holds nothing but `_data` and `_key_map`,
// two distinct exact dicts (read whole).
bool holds_two_stores(PyObject* dict, PyObject*& data, PyObject*& key_map) {
    if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != 2) return false;
    PyObject* found[3] = {};
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (int i = 0; i < 2; ++i) {
        if (!PyDict_Next(dict, &pos, &k, &v)) return false;
        found[attr_slot(k)] = v;
    }
    data = found[1];
    key_map = found[2];
    // (one dict serving as both would see the writes in another order)
    return data && key_map && data != key_map && PyDict_CheckExact(data) && PyDict_CheckExact(key_map);
}

// 1: the shortcuts apply and `s` is filled; 0: take the general road;
// -1: error.
inline int fast_store(PyObject* self, Store& s) {
    if (!g_class.holds(Py_TYPE(self))) return 0;
    return g_instances.take(self, s.data, s.key_map, &s.seen,
                            [](PyObject* dict, PyObject*& data, PyObject*& key_map) {
                                return holds_two_stores(dict, data, key_map);
                            });
}

// Whether the shortcuts still apply to an instance that qualified before,
// read into `s`: the class unchanged and the instance __dict__ unwritten.
// (false: look again with fast_store.)
inline bool still_fast(PyObject* self, const Store& s) {
    return g_class.holds(Py_TYPE(self)) && g_instances.still(self, s.seen);
}

// The module global `datetime` as a new reference (NameError when unbound).
Ref datetime_global() {
    if (g_namespace.find(g_globals)) return Ref::borrow(g_datetime);
    Ref dt = global(g_globals, s_datetime);
    if (dt.get() == g_datetime) g_namespace.remember(g_globals, g_datetime, nullptr);
    return dt;
}

bool datetime_armed() {
    if (g_namespace.find(g_globals)) return true;
    return quiet_entry(g_globals, s_datetime) == g_datetime && g_namespace.remember(g_globals, g_datetime, nullptr);
}

// ------------------------------------------------------------- generic ops

Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// mapping.get(key): the value, or None when absent.
Ref map_get(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = nullptr;
        if (PyDict_GetItemRef(mapping, key, &v) < 0) return {};
        return v ? Ref::steal(v) : none();
    }
    return call_method(mapping, s_get, {key});
}

Py_NO_INLINE void raise_key_error(PyObject* key) {
    Ref exc = call(PyExc_KeyError, {key});
    if (exc) PyErr_SetRaisedException(exc.release());
}

bool map_clear(PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) {
        PyDict_Clear(mapping);
        return true;
    }
    return static_cast<bool>(call_method(mapping, s_clear));
}

// ------------------------------------------------------------------- keys

// The rule of _validate_key for an exact str.
Ref validate_fold(PyObject* key, bool remember = true) {
    if (PyUnicode_GET_LENGTH(key) == 0 || all_space(key)) {
        PyErr_SetString(PyExc_ValueError, "Key cannot be empty.");
        return {};
    }
    return fold(key, remember);
}

// ------------------------------------------------------------- conversion

// The boolean word table for a str (subclasses included): 1 a true word,
// 0 a false word, -1 not in the table, -2 error.
int bool_word(PyObject* value) {
    Ref low;
    if (PyUnicode_CheckExact(value)) {
        // value.strip().lower() without building objects for ASCII text
        const int kind = PyUnicode_KIND(value);
        const void* data = PyUnicode_DATA(value);
        Py_ssize_t b = 0, e = PyUnicode_GET_LENGTH(value);
        while (b < e && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, b))) ++b;
        while (e > b && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, e - 1))) --e;
        bool ascii = true;
        for (Py_ssize_t i = b; i < e && ascii; ++i) ascii = PyUnicode_READ(kind, data, i) < 128;
        if (ascii) {
            if (e - b > 5) return -1;
            char buf[6] = {};
            for (Py_ssize_t i = b; i < e; ++i) {
                const auto c = static_cast<char>(PyUnicode_READ(kind, data, i));
                buf[i - b] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
            }
            const std::string_view w(buf, static_cast<std::size_t>(e - b));
            for (const char* t : {"true", "1", "yes", "y", "on"})
                if (w == t) return 1;
            for (const char* f : {"false", "0", "no", "n", "off"})
                if (w == f) return 0;
            return -1;
        }
        Ref sub = Ref::steal(PyUnicode_Substring(value, b, e));
        if (!sub) return -2;
        low = call_method(sub.get(), s_lower);
    } else {
        // a str subclass: its own strip and lower
        Ref stripped = call_method(value, s_strip);
        if (stripped) low = call_method(stripped.get(), s_lower);
    }
    if (!low) return -2;
    int r = PySequence_Contains(g_true_words, low.get());
    if (r != 0) return r > 0 ? 1 : -2;
    r = PySequence_Contains(g_false_words, low.get());
    if (r != 0) return r > 0 ? 0 : -2;
    return -1;
}

// int(text) for the plainest decimal text: ASCII, an optional sign and 1 to
// 18 digits, nothing else.  nullptr (no error) for anything else, which the
// interpreter's parser then reads (white space, underscores, other digits,
// large numbers, errors).
PyObject* plain_int(PyObject* text) {
    if (!PyUnicode_IS_ASCII(text)) return nullptr;
    const char* p = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
    const char* end = p + PyUnicode_GET_LENGTH(text);
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    if (p == end || end - p > 18) return nullptr;
    long long v = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9') return nullptr;
        v = v * 10 + (*p - '0');
    }
    return PyLong_FromLongLong(negative ? -v : v);
}

// float(text) for plain decimal text: ASCII [+-]digits[.digits][(e|E)[+-]digits],
// read with the correctly rounded std::from_chars, which gives the same
// double as the interpreter's (also correctly rounded) parser.  nullptr (no
// error) for anything else, including results out of range.
PyObject* plain_float(PyObject* text) {
    if (!PyUnicode_IS_ASCII(text)) return nullptr;
    const char* begin = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
    const char* end = begin + PyUnicode_GET_LENGTH(text);
    if (end - begin > 64) return nullptr;
    const char* p = begin;
    const bool sign = p < end && (*p == '-' || *p == '+');
    if (sign) ++p;
    const char* digits = p;
    auto run = [&] {
        const char* q = p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        return p > q;
    };
    if (!run()) return nullptr;
    if (p < end && *p == '.') {
        ++p;
        if (!run()) return nullptr;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '-' || *p == '+')) ++p;
        if (!run()) return nullptr;
    }
    if (p != end) return nullptr;
    double v = 0;
    const auto [stop, ec] = std::from_chars(digits, end, v, std::chars_format::general);
    if (ec != std::errc() || stop != end) return nullptr;
    return PyFloat_FromDouble(sign && *begin == '-' ? -v : v);
}

// Steps 3 to 5 of the conversion; TypeError and ValueError are caught by the
// caller.
Ref convert_steps(PyObject* value, PyObject* expected) {
    if (expected == reinterpret_cast<PyObject*>(&PyBool_Type)) {
        if (PyUnicode_Check(value)) {
            const int w = bool_word(value);
            if (w == -2) return {};
            if (w >= 0) return boolean(w);
        }
        const int t = PyObject_IsTrue(value);
        if (t < 0) return {};
        return boolean(t);
    }
    if (g_namespace.find(g_globals)) {  // the global is the genuine class
        if (expected == g_datetime && PyUnicode_Check(value)) return call(g_fromisoformat, {value});
    } else {
        Ref dt = datetime_global();
        if (!dt) return {};
        if (expected == dt.get() && PyUnicode_Check(value)) {
            if (dt.get() == g_datetime) return call(g_fromisoformat, {value});
            return call_method(dt.get(), s_fromisoformat, {value});
        }
    }
    // The builtin types called with one argument, without the call: int and
    // float parse exact str as their constructors do, str is str(value).
    if (expected == reinterpret_cast<PyObject*>(&PyLong_Type) && PyUnicode_CheckExact(value)) {
        if (PyObject* r = plain_int(value)) return Ref::steal(r);
        return Ref::steal(PyLong_FromUnicodeObject(value, 10));
    }
    if (expected == reinterpret_cast<PyObject*>(&PyFloat_Type) && PyUnicode_CheckExact(value)) {
        if (PyObject* r = plain_float(value)) return Ref::steal(r);
        return Ref::steal(PyFloat_FromString(value));
    }
    if (expected == reinterpret_cast<PyObject*>(&PyUnicode_Type)) return Ref::steal(PyObject_Str(value));
    return call(expected, {value});
}

// isinstance(value, expected).  For a plain class and a value of one of
// these builtin types (immutable, and whose __class__ is the object's own
// type) the interpreter's test comes down to the subtype test; anything else
// takes the interpreter's test, with __instancecheck__ and __class__.
inline int is_instance(PyObject* value, PyObject* expected) {
    PyTypeObject* vt = Py_TYPE(value);
    if (vt == reinterpret_cast<PyTypeObject*>(expected)) return 1;
    if (PyType_CheckExact(expected) &&
        (vt == &PyUnicode_Type || vt == &PyLong_Type || vt == &PyFloat_Type || vt == &PyBool_Type ||
         vt == &PyList_Type || vt == &PyTuple_Type || vt == &PyDict_Type || value == Py_None))
        return PyType_IsSubtype(vt, reinterpret_cast<PyTypeObject*>(expected));
    return PyObject_IsInstance(value, expected);
}

PyObject* converted(PyObject* value, PyObject* expected) {
    const int inst = is_instance(value, expected);
    if (inst < 0) return nullptr;
    if (inst) return Py_NewRef(value);
    Ref r = convert_steps(value, expected);
    if (!r && (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError))) {
        PyErr_Clear();
        return Py_NewRef(Py_None);
    }
    return r.release();
}

// ---------------------------------------------------------------- the roads
// Each member below is written once, as its Python form reads, over a road
// `self` that takes its steps:
//   Looked  every step as Python takes it: attributes read from the
//           instance, members called through the attribute lookup, item
//           operations on whatever objects the attributes hold.
//   InHand  the store shortcut holds (fast_store): `_data` and `_key_map`
//           are the exact dicts in hand, the key rule and _convert_value are
//           their native bodies, and item operations are the dict API's.
// Both give the same names to the same steps.  The entry of a member picks
// the road when the member is called; a member that calls another (invoke)
// lets the callee's road be picked afresh, since the caller's steps may
// have run code.

struct Looked {
    PyObject* obj;

    Ref self_ref() const { return Ref::borrow(obj); }
    Held data() const { return getattr(obj, s_data); }
    Held key_map() const { return getattr(obj, s_key_map); }
    Held normalize_key(PyObject* key) const { return call_method(obj, s_normalize_key, {key}); }
    Held validate_key(PyObject* key) const { return call_method(obj, s_validate_key, {key}); }
    Ref convert_value(PyObject* value, PyObject* expected) const {
        return call_method(obj, s_convert_value, {value, expected});
    }

    // Item operations on any mapping: `key in m`, m.get(key) (0: None or
    // absent), m[key], m[key] = value, del m[key], m.clear(), a != b.
    static int contains(PyObject* m, PyObject* key) { return PySequence_Contains(m, key); }
    static int lookup(PyObject* m, PyObject* key, Ref& value) {
        value = map_get(m, key);
        if (!value) return -1;
        if (value.get() != Py_None) return 1;
        value.reset();
        return 0;
    }
    static int lookup_or_name(PyObject* m, PyObject* key, PyObject*, Ref& value, bool& named) {
        named = false;
        return lookup(m, key, value);
    }
    static bool unname(PyObject*, PyObject*, bool) { return false; }
    static Ref item(PyObject* m, PyObject* key) { return Ref::steal(PyObject_GetItem(m, key)); }
    static bool put(PyObject* m, PyObject* key, PyObject* value) { return PyObject_SetItem(m, key, value) == 0; }
    static bool del(PyObject* m, PyObject* key) { return PyObject_DelItem(m, key) == 0; }
    static bool clear(PyObject* m) { return map_clear(m); }
    static int differ(PyObject* a, PyObject* b) { return PyObject_RichCompareBool(a, b, Py_NE); }
    // Whether `self._key_map[n] = key` may be skipped: never here.
    static bool names_already(PyObject*, PyObject*) { return false; }

    // A step over both stores, and a read of both: as they come.
    template <class F>
    static auto write(F&& f) { return f(); }
    template <class F>
    static auto read(F&& f) { return f(); }
};

Py_NO_INLINE Ref convert_read(PyObject* obj, const Store& s, PyObject* value, PyObject* expected) {
    if (still_fast(obj, s)) return Ref::steal(converted(value, expected));
    Store again;
    const int f = fast_store(obj, again);
    if (f < 0) return {};
    if (f) return Ref::steal(converted(value, expected));
    return call_method(obj, s_convert_value, {value, expected});
}

struct InHand {
    explicit InHand(PyObject* o) : obj(o) {}

    PyObject* obj;
    Store s;
    [[no_unique_address]] compat::PairRead pair;

    Ref self_ref() const { return Ref::borrow(obj); }
    // (`s` holds both for the whole call)
    Live data() const { return {s.data.get()}; }
    Live key_map() const { return {s.key_map.get()}; }
    // The class's own key rule (static methods: the instance plays no part).
    static Held normalize_key(PyObject* key) { return op_fold(key); }
    static Held validate_key(PyObject* key) {
        // A key that nothing but the caller holds is a temporary (f"F{i}"):
        // folding it afresh next time costs less than what it would evict.
        return validate_fold(key, Py_REFCNT(key) > 1 || PyUnicode_CHECK_INTERNED(key));
    }
    // self._convert_value(value, expected) after steps that may have run
    // code (keys written into the dicts directly): the class and the
    // instance __dict__ are looked at again before the attribute is skipped.
    Ref convert_value(PyObject* value, PyObject* expected) const { return convert_read(obj, s, value, expected); }

    // The dict API on the two exact dicts.  The dicts in hand serve the
    // whole body: a step that runs code (a key of another type written in
    // directly, a value's finalizer) does not send the rest of it back to
    // the attributes.
    static int contains(PyObject* m, PyObject* key) { return PyDict_Contains(m, key); }
    int lookup(PyObject* m, PyObject* key, Ref& value) {
        PyObject* v = nullptr;
        const int found = PyDict_GetItemRef(m, key, &v);
        if (v == Py_None) Py_CLEAR(v);
        value = Ref::steal(v);
        return found < 0 ? -1 : v != nullptr;
    }
    // lookup() of `_key_map` in set, which writes `name` under an absent key
    // in the same probe (`named`), before the body's write of `_data` rather
    // than after it: only a failure of that write could tell, and unname()
    // then takes the entry out again.
    int lookup_or_name(PyObject* m, PyObject* key, PyObject* name, Ref& value, bool& named) {
        PyObject* v = nullptr;
        const int r = PyDict_SetDefaultRef(m, key, name, &v);
        value = Ref::steal(v);
        named = r == 0;
        if (r < 0) return -1;
        if (named || v == Py_None) value.reset();
        return value ? 1 : 0;
    }
    static bool unname(PyObject* m, PyObject* key, bool named) {
        if (named) {
            PyObject* exc = PyErr_GetRaisedException();
            PyDict_DelItem(m, key);
            PyErr_SetRaisedException(exc);
        }
        return false;
    }
    Ref item(PyObject* m, PyObject* key) {
        PyObject* v = nullptr;
        if (PyDict_GetItemRef(m, key, &v) == 0) {
            if (pair.may_tear()) pair.torn();  // (a writer between its two steps)
            else raise_key_error(key);
        }
        return Ref::steal(v);
    }
    bool put(PyObject* m, PyObject* key, PyObject* value) {
        return PyDict_SetItem(m, key, value) == 0;
    }
    bool del(PyObject* m, PyObject* key) {
        return PyDict_DelItem(m, key) == 0;
    }
    bool clear(PyObject* m) {
        PyDict_Clear(m);
        return true;
    }
    int differ(PyObject* a, PyObject* b) {
        if (a == b) return 0;
        if (PyUnicode_CheckExact(a)) return !PyUnicode_Equal(a, b);
        return PyObject_RichCompareBool(a, b, Py_NE);
    }
    // An equal stored str already names the entry: a dict keeps its key
    // object when a value is replaced, so `_key_map` holds the very key
    // `_data` keeps.
    static bool names_already(PyObject* stored, PyObject*) { return PyUnicode_CheckExact(stored); }

    // One step on the two dicts as other threads see it; a read of both
    // without a lock, made again under both where it met a writer.
    template <class F>
    auto write(F&& f) { return compat::locked2(s.data.get(), s.key_map.get(), f); }
    template <class F>
    auto read(F&& f) { return pair.run(s.key_map.get(), s.data.get(), f); }
};

// An argument not given (where a member calls self.get(key)).
constexpr PyObject* kNotGiven = nullptr;

// obj.<name>(*args), an argument not given (nullptr) ending the arguments.
template <class... A>
Py_NO_INLINE PyObject* call_named(PyObject* obj, PyObject* name, A... args) {
    PyObject* stack[] = {obj, args...};
    const std::size_t n = static_cast<std::size_t>(std::find(stack, std::end(stack), nullptr) - stack);
    return PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// obj.<name>(key, *args) through the attribute lookup, or Body on the
// direct road where the shortcut holds for `obj` (a bare new reference,
// which travels in a register).
template <auto Body, class... A>
PyObject* on_road(PyObject* obj, PyObject* name, PyObject* key, A... args) {
    InHand self{obj};
    const int f = fast_store(obj, self.s);
    if (f <= 0) return f < 0 ? nullptr : call_named(obj, name, key, args...);
    return check_str(key, "key") ? Body(self, key, args...).release() : nullptr;
}

// self.<name>(key, *args), a member calling another: the callee's road is
// picked afresh, since the caller's steps may have run code.
template <auto Body, class Road, class... A>
Ref invoke(Road& self, PyObject* name, PyObject* key, A... args) {
    return Ref::steal(on_road<Body>(self.obj, name, key, args...));
}

// Body with the bound arguments (self first), as many as it takes.
template <auto Body, class Road>
Ref run_body(Road& self, PyObject* const* a) {
    if constexpr (requires { Body(self, a[1], a[2]); }) return Body(self, a[1], a[2]);
    else if constexpr (requires { Body(self, a[1]); }) return Body(self, a[1]);
    else return Body(self);
}

// The entry of a member whose first step calls another member: the callee
// chooses the road.
template <auto Body>
PyObject* forwarding(PyObject* const* a) {
    Looked self{a[0]};
    return run_body<Body>(self, a).release();
}

// The member's entry: the road chosen for the instance, then the body.
template <auto Body>
Py_NO_INLINE PyObject* looked(PyObject* const* a) {
    Looked self{a[0]};
    return run_body<Body>(self, a).release();
}
template <auto Body>
PyObject* entry(PyObject* const* a) {
    InHand self{a[0]};
    const int f = fast_store(a[0], self.s);
    if (f < 0) return nullptr;
    return f ? run_body<Body>(self, a).release() : looked<Body>(a);
}

// The member's direct entry in kDict's C interface: it serves exactly the
// instances that the member's own shortcut serves, for which the attribute
// lookup finds the class's member (the class's members and the instance
// __dict__ are what fast_store checks).  A key is checked as the binder
// would.
template <auto Body>
int direct(PyObject* const* a, PyObject** result) {
    InHand self{a[0]};
    const int f = fast_store(a[0], self.s);
    if (f <= 0) return f;
    if constexpr (requires { Body(self, a[1]); })
        if (!check_str(a[1], "key")) return -1;
    *result = run_body<Body>(self, a).release();
    return *result ? 1 : -1;
}

// --------------------------------------------------------------- members

// Fills the fresh, empty dicts of a store from `data` when every item
// qualifies: an exact str key, neither empty nor blank, no two keys folding
// alike, no None value.  Setting the items one by one then gives `_data` as
// an ordered copy of `data`, and `_key_map` mapping each folded key to its
// key in the same order; both are built directly.  1: done; 0: some item
// does not qualify (the dicts are left empty); -1: error.  No user code runs.
// `store` nullptr: `_key_map` only (`data` is then the store).
int fill_plain(PyObject* data, PyObject* store, PyObject* key_map) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(data, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k) || v == Py_None || PyUnicode_GET_LENGTH(k) == 0 || all_space(k)) {
            PyDict_Clear(key_map);
            if (store) PyDict_Clear(store);
            return 0;
        }
        Ref fresh;
        PyObject* n = fold_peek(k, fresh);
        if (!n) return -1;
        // (key_map is new and holds exact str keys only: no code runs)
        const int r = PyDict_SetDefaultRef(key_map, n, k, nullptr);
        if (r < 0) return -1;
        if (r == 1) {
            PyDict_Clear(key_map);
            if (store) PyDict_Clear(store);
            return 0;
        }
    }
    if (!store) return 1;
    return PyDict_Merge(store, data, 1) < 0 ? -1 : 1;
}

constexpr auto set = [](auto& self, PyObject* key, PyObject* value) -> Ref {
    Held normalized = self.validate_key(key);
    if (!normalized) return {};
    const bool ok = self.write([&] {
        auto key_map = self.key_map();
        if (!key_map) return false;
        Ref stored;  // stored = self._key_map.get(normalized)
        if (value == Py_None) {
            const int found = self.lookup(key_map.get(), normalized.get(), stored);
            if (found <= 0) return found == 0;
            auto data = self.data();  // del self._data[stored]; del self._key_map[normalized]
            if (!data || !self.del(data.get(), stored.get())) return false;
            key_map = self.key_map();
            return key_map && self.del(key_map.get(), normalized.get());
        }
        bool named = false;  // (self._key_map[normalized] = key written already: see lookup_or_name)
        const int found = self.lookup_or_name(key_map.get(), normalized.get(), key, stored, named);
        const int differ = found > 0 ? self.differ(stored.get(), key) : 1;
        if (found < 0 || differ < 0) return false;
        if (found && differ) {  // del self._data[stored]
            auto data = self.data();
            if (!data || !self.del(data.get(), stored.get())) return false;
        }
        auto data = self.data();  // self._data[key] = value
        if (!data || !self.put(data.get(), key, value)) return self.unname(key_map.get(), normalized.get(), named);
        if (named || (!differ && self.names_already(stored.get(), key))) return true;
        key_map = self.key_map();  // self._key_map[normalized] = key
        return key_map && self.put(key_map.get(), normalized.get(), key);
    });
    return ok ? self.self_ref() : Ref();
};

// self.set(key, value) for each (key, value) pair that iterating `items`
// yields, in order; a yielded item that is not a pair fails as unpacking does.
bool set_each(PyObject* obj, PyObject* items) {
    Looked self{obj};
    Ref it = Ref::steal(PyObject_GetIter(items));
    if (!it) return false;
    for (;;) {
        PyObject* item = nullptr;
        const int r = PyIter_NextItem(it.get(), &item);
        if (r < 0) return false;
        if (r == 0) return true;
        Ref owned = Ref::steal(item), k, v;
        if (!unpack_pair(item, k, v) || !invoke<set>(self, s_set, k.get(), v.get())) return false;
    }
}

// get(key, expected_type): `expected` nullptr when not given (a member
// calling self.get(key)).
constexpr auto get = [](auto& self, PyObject* key, PyObject* expected) -> Ref {
    Held normalized = self.normalize_key(key);
    if (!normalized) return {};
    bool absent = false;
    Ref value = self.read([&]() -> Ref {
        auto key_map = self.key_map();
        Ref stored;  // stored = self._key_map.get(normalized)
        const int found = key_map ? self.lookup(key_map.get(), normalized.get(), stored) : -1;
        absent = found == 0;
        if (found <= 0) return found < 0 ? Ref() : none();
        auto data = self.data();  // value = self._data[stored]
        return data ? self.item(data.get(), stored.get()) : Ref();
    });
    if (!value || absent || !expected || expected == Py_None) return value;
    return self.convert_value(value.get(), expected);
};

// Whether an instance __dict__ holds no attribute but the stores.
bool holds_only_stores(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v))
        if (!attr_slot(k)) return false;
    return true;
}

// __init__(data): self._data = {}; self._key_map = {}; then
// self.set(key, value) for each item of `data` (an exact dict, whose
// items() cannot be replaced).  On the class as made the two stores replace
// the old ones as one step (compat's set_attrs_together), and when every
// item qualifies (fill_plain) they are filled before they are seen: `_data`
// a copy of `data` (read in one step), `_key_map` built beside it, which is
// what setting the items one by one leaves while the instance __dict__
// holds nothing but the stores (another attribute may be named after a
// member: the items then go through set one by one).  Plain new
// dicts, not presized ones: the interpreter presizes with a table for keys
// of any type, while a dict grown from str keys keeps the compact str-only
// table, whose lookups compare keys inline.
PyObject* init_impl(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* data = a[1];
    const Py_ssize_t size = data == Py_None ? 0 : PyDict_GET_SIZE(data);
    const bool as_made = g_class.holds(Py_TYPE(self));
    Ref store, key_map;
    int plain = 0;
    if (as_made && size > 0) {
        store = Ref::steal(PyDict_Copy(data));
        key_map = Ref::steal(store ? PyDict_New() : nullptr);
        plain = key_map ? fill_plain(store.get(), nullptr, key_map.get()) : -1;
        if (plain < 0) return nullptr;
    }
    if (plain) {
        const int done = compat::set_attrs_together(self, s_data, store.get(), s_key_map, key_map.get(),
                                                    holds_only_stores);
        if (done) return done < 0 ? nullptr : Py_NewRef(Py_None);
    }
    store = Ref::steal(PyDict_New());
    key_map = Ref::steal(store ? PyDict_New() : nullptr);
    if (!key_map) return nullptr;
    const bool ok = as_made ? compat::set_attrs_together(self, s_data, store.get(), s_key_map, key_map.get())
                            : PyObject_SetAttr(self, s_data, store.get()) == 0 &&
                                  PyObject_SetAttr(self, s_key_map, key_map.get()) == 0;
    if (!ok) return nullptr;
    if (size == 0) Py_RETURN_NONE;
    Ref items = call_method(data, s_items);
    if (!items || !set_each(self, items.get())) return nullptr;
    Py_RETURN_NONE;
}

constexpr auto getitem = [](auto& self, PyObject* key) -> Ref { return invoke<get>(self, s_get, key, kNotGiven); };

constexpr auto setitem = [](auto& self, PyObject* key, PyObject* value) -> Ref {
    return invoke<set>(self, s_set, key, value) ? none() : Ref();
};

constexpr auto has = [](auto& self, PyObject* key) -> Ref {
    Held normalized = self.normalize_key(key);
    if (!normalized) return {};
    auto key_map = self.key_map();
    const int r = key_map ? self.contains(key_map.get(), normalized.get()) : -1;
    return r < 0 ? Ref() : boolean(r);
};

constexpr auto Count = [](auto& self) -> Ref {
    auto data = self.data();
    const Py_ssize_t n = data ? PyObject_Size(data.get()) : -1;
    return Ref::steal(n < 0 ? nullptr : PyLong_FromSsize_t(n));
};

constexpr auto Keys = [](auto& self) -> Ref {
    auto data = self.data();
    return data ? call_method(data.get(), s_keys) : Ref();
};

constexpr auto Raw = [](auto& self) -> Ref { return self.data().take(); };

constexpr auto add = [](auto& self, PyObject* key, PyObject* value) -> Ref {
    return invoke<set>(self, s_set, key, value);
};

constexpr auto remove = [](auto& self, PyObject* key) -> Ref {
    Held normalized = self.normalize_key(key);
    if (!normalized) return {};
    return self.write([&]() -> Ref {
        auto key_map = self.key_map();
        Ref stored;  // stored = self._key_map.get(normalized)
        const int found = key_map ? self.lookup(key_map.get(), normalized.get(), stored) : -1;
        if (found <= 0) return found < 0 ? Ref() : boolean(false);
        auto data = self.data();  // del self._data[stored]; del self._key_map[normalized]
        if (!data || !self.del(data.get(), stored.get())) return {};
        key_map = self.key_map();
        return key_map && self.del(key_map.get(), normalized.get()) ? boolean(true) : Ref();
    });
};

constexpr auto clear = [](auto& self) -> Ref {
    const bool ok = self.write([&] {
        auto data = self.data();
        if (!data || !self.clear(data.get())) return false;
        auto key_map = self.key_map();
        return key_map && self.clear(key_map.get());
    });
    return ok ? none() : Ref();
};

constexpr auto getOr = [](auto& self, PyObject* key, PyObject* fallback) -> Ref {
    Ref r = invoke<get>(self, s_get, key, reinterpret_cast<PyObject*>(Py_TYPE(fallback)));
    return r && r.get() == Py_None ? Ref::borrow(fallback) : r;
};

constexpr auto Require = [](auto& self, PyObject* key, PyObject* expected) -> Ref {
    Ref r = invoke<get>(self, s_get, key, expected);
    if (r && r.get() == Py_None) return Ref::steal(PyErr_Format(PyExc_Exception, "Missing required key: %U", key));
    return r;
};

constexpr auto getString = [](auto& self, PyObject* key) -> Ref {
    return invoke<get>(self, s_get, key, reinterpret_cast<PyObject*>(&PyUnicode_Type));
};

// getInt, getBool, getDouble: the fall-back (already converted by the
// binder) when the read gives None.
template <PyTypeObject* Type>
constexpr auto get_typed = [](auto& self, PyObject* key, PyObject* fallback) -> Ref {
    Ref r = invoke<get>(self, s_get, key, reinterpret_cast<PyObject*>(Type));
    return r && r.get() == Py_None ? Ref::borrow(fallback) : r;
};

constexpr auto getDate = [](auto& self, PyObject* key) -> Ref {
    Ref dt = datetime_global();
    return dt ? invoke<get>(self, s_get, key, dt.get()) : Ref();
};

// getList: the stored list, or a new empty one.  A stored list of a
// subclass is refused with the result check's error; the check is made here,
// where it is one more compare on the way, rather than by the binder.
constexpr auto getList = [](auto& self, PyObject* key) -> Ref {
    Ref r = invoke<get>(self, s_get, key, kNotGiven);
    if (!r || PyList_CheckExact(r.get())) return r;
    if (PyList_Check(r.get())) return Ref::steal(result_type_error(r.get(), &PyList_Type));
    return Ref::steal(PyList_New(0));
};

// addToList on the direct road when the list stored under the key can be
// seen by nobody else: an exact list held only by `_data` (compat's
// sole_holders).  Appending to it in place then leaves what storing a copy
// with the item appended leaves, since nobody holds the list stored before.
// With the stored key equal to `key` the store is then as set() would leave
// it; otherwise set() runs with the same list (the entry takes the new
// key).  1: done; 0: not such a list, nothing changed; -1: error.  A key the
// key rule refuses, and an entry whose parts are missing, take the copying
// road, which reports them.
Py_NO_INLINE int append_in_place(InHand& self, PyObject* key, PyObject* item) {
    if (PyUnicode_GET_LENGTH(key) == 0 || all_space(key)) return 0;
    Held normalized = self.normalize_key(key);
    if (!normalized) return -1;
    Ref stored;
    const int found = self.lookup(self.s.key_map.get(), normalized.get(), stored);
    if (found <= 0) return found;
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(self.s.data.get(), stored.get(), &v) < 0) return -1;
    Ref list = Ref::steal(v);
    // (ours and `_data`'s: a list cannot be a key, so nothing else is counted)
    if (!v || !PyList_CheckExact(v) || !compat::sole_holders(v, 2)) return 0;
    if (PyList_Append(v, item) < 0) return -1;
    if (PyUnicode_CheckExact(stored.get()) && (stored.get() == key || PyUnicode_Equal(stored.get(), key))) return 1;
    return invoke<set>(self, s_set, key, v) ? 1 : -1;
}
int append_in_place(Looked&, PyObject*, PyObject*) { return 0; }

constexpr auto addToList = [](auto& self, PyObject* key, PyObject* item) -> Ref {
    if (const int done = append_in_place(self, key, item)) return done > 0 ? self.self_ref() : Ref();
    Ref current = invoke<getList>(self, s_getList, key);  // items = list(self.getList(key))
    Ref items = Ref::steal(current ? PySequence_List(current.get()) : nullptr);
    if (!items || PyList_Append(items.get(), item) < 0) return {};
    return invoke<set>(self, s_set, key, items.get()) ? self.self_ref() : Ref();
};

// for key, value in other.Raw().items(): self.set(key, value)
PyObject* Merge_impl(PyObject* const* a) {
    Ref raw = call_method(a[1], s_Raw);
    Ref items = raw ? call_method(raw.get(), s_items) : Ref();
    if (!items || !set_each(a[0], items.get())) return nullptr;
    return Py_NewRef(a[0]);
}


// The text form: "k=v" pieces joined by ", ", each side as format(x, "").
constexpr auto text = [](auto& self) -> Ref {
    auto data = self.data();
    return data ? Ref::steal(g_doc_text.of(data.get())) : Ref();
};

PyObject* str_impl(PyObject* const* a) { return entry<text>(a); }

PyObject* normalize_key_impl(PyObject* const* a) { return fold(a[0]).release(); }
PyObject* validate_key_impl(PyObject* const* a) { return validate_fold(a[0]).release(); }
PyObject* convert_value_impl(PyObject* const* a) { return converted(a[0], a[1]); }

// ------------------------------------------------------------ the class

constexpr Param init_params[] = {{"data", "dict[str, Any] | None", Check::DictOrNone, kNone}};
constexpr Param key_params[] = {{"key", "str", Check::Str}};
constexpr Param key_value_params[] = {{"key", "str", Check::Str}, {"value", "Any | None"}};
constexpr Param add_params[] = {{"key", "str", Check::Str}, {"value", "Any"}};
constexpr Param get_params[] = {{"key", "str", Check::Str}, {"expected_type", "type[T] | None", Check::None, kNone}};
constexpr Param getOr_params[] = {{"key", "str", Check::Str}, {"fallback", "T"}};
constexpr Param getInt_params[] = {{"key", "str", Check::Str}, {"fallback", "int", Check::Int, int_default(0)}};
constexpr Param getBool_params[] = {{"key", "str", Check::Str}, {"fallback", "bool", Check::Bool, kFalse}};
constexpr Param getDouble_params[] = {{"key", "str", Check::Str},
                                      {"fallback", "float", Check::Float, float_default(0.0)}};
constexpr Param addToList_params[] = {{"key", "str", Check::Str}, {"item", "Any"}};
constexpr Param merge_params[] = {{"other", "'kDict'"}};
constexpr Param convert_params[] = {{"value", "Any"}, {"expected_type", "type[T]"}};

const FuncDef members[] = {
    {.name = "__init__", .kind = Kind::Method, .impl = init_impl, .ret = "None", .params = init_params},
    {.name = "__getitem__", .kind = Kind::Method, .impl = forwarding<getitem>, .ret = "Any | None", .params = key_params},
    {.name = "__setitem__", .kind = Kind::Method, .impl = forwarding<setitem>, .ret = "None", .params = key_value_params},
    {.name = "has", .kind = Kind::Method, .impl = entry<has>, .ret = "bool", .params = key_params},
    {.name = "Count", .kind = Kind::Getter, .impl = entry<Count>, .ret = "int", .result = Result::Int},
    {.name = "Keys", .kind = Kind::Getter, .impl = entry<Keys>, .ret = "Iterable[str]"},
    {.name = "Raw", .kind = Kind::Method, .impl = entry<Raw>, .ret = "dict[str, Any]", .result = Result::Dict},
    {.name = "set", .kind = Kind::Method, .impl = entry<set>, .ret = "'kDict'", .params = key_value_params},
    {.name = "add", .kind = Kind::Method, .impl = forwarding<add>, .ret = "'kDict'", .params = add_params},
    {.name = "remove", .kind = Kind::Method, .impl = entry<remove>, .ret = "bool", .params = key_params},
    {.name = "clear", .kind = Kind::Method, .impl = entry<clear>, .ret = "None"},
    {.name = "get", .kind = Kind::Method, .impl = entry<get>, .ret = "T | Any | None", .params = get_params},
    {.name = "getOr", .kind = Kind::Method, .impl = forwarding<getOr>, .ret = "T", .params = getOr_params},
    {.name = "Require", .kind = Kind::Method, .impl = forwarding<Require>, .ret = "T | Any", .params = get_params},
    {.name = "getString", .kind = Kind::Method, .impl = forwarding<getString>, .ret = "str | None", .params = key_params,
     .result = Result::Str},
    {.name = "getInt", .kind = Kind::Method, .impl = forwarding<get_typed<&PyLong_Type>>, .ret = "int", .params = getInt_params,
     .result = Result::Int},
    {.name = "getBool", .kind = Kind::Method, .impl = forwarding<get_typed<&PyBool_Type>>, .ret = "bool", .params = getBool_params},
    {.name = "getDouble", .kind = Kind::Method, .impl = forwarding<get_typed<&PyFloat_Type>>, .ret = "float", .params = getDouble_params},
    {.name = "getDate", .kind = Kind::Method, .impl = forwarding<getDate>, .ret = "datetime | None", .params = key_params},
    {.name = "getList", .kind = Kind::Method, .impl = forwarding<getList>, .ret = "list[Any]", .params = key_params},
    {.name = "addToList", .kind = Kind::Method, .impl = entry<addToList>, .ret = "'kDict'", .params = addToList_params},
    {.name = "Merge", .kind = Kind::Method, .impl = Merge_impl, .ret = "'kDict'", .params = merge_params},
    {.name = "__str__", .kind = Kind::Method, .impl = str_impl, .ret = "str", .result = Result::Str},
    {.name = "_normalize_key", .kind = Kind::StaticMethod, .impl = normalize_key_impl, .ret = "str",
     .params = key_params},
    {.name = "_validate_key", .kind = Kind::StaticMethod, .impl = validate_key_impl, .ret = "str",
     .params = key_params},
    {.name = "_convert_value", .kind = Kind::StaticMethod, .impl = convert_value_impl, .ret = "T | None",
     .params = convert_params},
};

PyObject* report() { return shortcut_report(shortcuts); }

KDictInterface g_interface = {
    .base = {kInterfaceVersion, sizeof(KDictInterface), report, compat::probe_report},
    .hub = &module_hub(),
    .has = direct<has>,
    .set = direct<set>,
    .add = direct<add>,
    .remove = direct<remove>,
    .get = direct<get>,
    .raw = direct<Raw>,
};

bool intern_all() {
    if (!intern_names({
        {&s_data, "_data"},
        {&s_key_map, "_key_map"},
        {&s_set, "set"},
        {&s_get, "get"},
        {&s_getList, "getList"},
        {&s_validate_key, "_validate_key"},
        {&s_normalize_key, "_normalize_key"},
        {&s_convert_value, "_convert_value"},
        {&s_keys, "keys"},
        {&s_items, "items"},
        {&s_clear, "clear"},
        {&s_Raw, "Raw"},
        {&s_strip, "strip"},
        {&s_lower, "lower"},
        {&s_fromisoformat, "fromisoformat"},
        {&s_datetime, "datetime"},
    }))
        return false;
    g_true_words = Py_BuildValue("(sssss)", "true", "1", "yes", "y", "on");
    g_false_words = Py_BuildValue("(sssss)", "false", "0", "no", "n", "off");
    return g_true_words && g_false_words && start_key_fold();
}

int exec(PyObject* module) {
    if (!begin_exec(once, module)) return -1;
    PyObject* globals = PyModule_GetDict(module);
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name || !intern_all()) return -1;

    Ref datetime = import_from(globals, "datetime", "datetime");
    if (!set_global(globals, "datetime", datetime)) return -1;
    Ref type_var;
    for (const char* name : {"Any", "Iterable", "TypeVar"}) {
        Ref v = import_from(globals, "typing", name);
        if (!set_global(globals, name, v)) return -1;
        type_var = std::move(v);
    }
    Ref t_name = Ref::steal(PyUnicode_FromString("T"));
    Ref t = t_name ? call(type_var.get(), {t_name.get()}) : Ref();
    // A type variable names the module it was made in (made from native
    // code it would name the importer's frame instead).
    if (!t || PyObject_SetAttrString(t.get(), "__module__", module_name.get()) < 0) return -1;
    if (!set_global(globals, "T", t)) return -1;

    ClassBody body("kDict", module_name.get());
    if (!body.prepare("Dynamic document and metadata container with fluent helpers.") ||
        !body.add_all(members))
        return -1;
    Ref cls = body.create();
    if (!cls || !PyType_Check(cls.get())) return -1;
    auto* tp = reinterpret_cast<PyTypeObject*>(cls.get());
    if (!g_members.take(tp, {"_data", "_key_map", "__getattribute__", "__getattr__"})) return -1;
    if (!set_global(globals, "kDict", cls)) return -1;

    g_globals = Py_NewRef(globals);
    g_datetime = Py_NewRef(datetime.get());
    g_fromisoformat = PyObject_GetAttr(datetime.get(), s_fromisoformat);
    if (!g_fromisoformat) return -1;
    g_cls = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls.get()));
    PyDateTime_IMPORT;
    if (!g_doc_text.start([](PyTypeObject* t) { return g_class.holds(t); },
                          [](PyObject* x) {
                              PyObject* self[] = {x};
                              return str_impl(self);
                          }))
        return -1;
    start_module_hub();
    if (!g_class.start(tp, class_as_made, module_hub()) || !g_instances.start(module_hub()) ||
        !g_namespace.start(module_hub()))
        return -1;
    g_class.armed();
    if (!export_interface(module, &g_interface.base)) return -1;
    end_exec(once, module);
    return 0;
}

}  // namespace

KST_MODULE(kDict, "Lightweight wrapper around a case-insensitive dictionary.", exec)
