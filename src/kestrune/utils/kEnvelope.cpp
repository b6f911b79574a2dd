// kestrune.utils.kEnvelope: a payload envelope over a kDict store, with
// nested child envelopes and conversion to plain data and JSON text.
//
// The store is whatever object the instance attribute `_data` holds, read at
// every operation; its methods are called by name.  Module-level names
// (kDict, kEnvelope, json, asdict, is_dataclass, datetime) are read from the
// module globals at each use.  `_flatten` and `_serialize_value` reach each
// other through `cls`; while `cls` is the class itself, unmodified, and the
// globals still hold the objects bound at import, the walk runs natively
// without those lookups, which then cannot make a difference.
#include "support/module.hpp"

#include <datetime.h>

namespace {

using namespace kst;

ModuleOnce once{"kEnvelope"};

// ------------------------------------------------------------ module state
// Process-lifetime objects, set once in exec.

PyObject* s_data;             // "_data"
PyObject* s_has;              // "has"
PyObject* s_add;              // "add"
PyObject* s_set;              // "set"
PyObject* s_remove;           // "remove"
PyObject* s_get;              // "get"
PyObject* s_raw;              // "Raw"
PyObject* s_items;            // "items"
PyObject* s_isoformat;        // "isoformat"
PyObject* s_dumps;            // "dumps"
PyObject* s_flatten;          // "_flatten"
PyObject* s_serialize_value;  // "_serialize_value"
PyObject* s_indent_kwnames;   // ("indent",)
PyObject* s_four;             // 4

PyObject* s_globals;  // the module's globals (strong reference)
PyObject* s_cls;      // the class kEnvelope as created
PyObject* s_cm_flatten;    // the classmethod objects in its namespace
PyObject* s_cm_serialize;
unsigned int s_tag;      // its version tag while those are unchanged
unsigned int s_bad_tag;  // a version tag seen with them replaced

PyTypeObject* s_datetime_type;  // datetime.datetime
PyTypeObject* s_date_type;      // datetime.date
PyTypeObject* s_timezone_type;  // datetime.timezone
PyObject* s_utcoffset;          // "utcoffset"
// datetime, date and timezone are immutable types: their methods are fixed,
// and no attribute (such as a data-class marker) can be added to them.
bool s_dates_fixed = false;

// Module-level names read at call time.  The first four steer the walk.
enum Global : int { G_kDict, G_is_dataclass, G_asdict, G_datetime, G_json, G_kEnvelope, G_count };
constexpr int kWalkGlobals = 4;
constexpr const char* kGlobalNames[G_count] = {"kDict", "is_dataclass", "asdict", "datetime", "json", "kEnvelope"};
PyObject* s_gname[G_count];
PyObject* s_genuine[G_count];  // the objects bound at import (strong references)

// Values of the globals as last read (borrowed from the globals dict).  A dict
// watcher on the globals marks them stale on any change, so they are re-read
// only after a write.  Without a watcher every use reads the dict.
PyObject* s_cur[G_count];
bool s_watched = false;
bool s_stale = true;
bool s_walk_genuine = false;  // s_cur holds the import-time walk globals
bool s_kdict_plain = false;   // the import-time kDict allows the shortcuts

int globals_watcher(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    s_stale = true;
    return 0;
}

void refresh_globals() {
    s_stale = false;
    bool genuine = true;
    for (int i = 0; i < G_count; ++i) {
        PyObject* v = PyDict_GetItemWithError(s_globals, s_gname[i]);
        if (!v && PyErr_Occurred()) {
            // Only a key with a colliding hash and a failing __eq__ can do
            // this; the plain lookup at the use raises it again.
            PyErr_Clear();
            s_stale = true;
            return;
        }
        s_cur[i] = v;
        if (i < kWalkGlobals && v != s_genuine[i]) genuine = false;
    }
    s_walk_genuine = genuine;
    // A lookup that ran code changing the globals left s_stale set again.
}

inline bool cache_valid() {
    if (!s_stale) return true;
    if (!s_watched) return false;
    refresh_globals();
    return !s_stale;
}

// The current value of a module-level name, or NameError.
Ref global_value(Global g) {
    if (cache_valid()) {
        if (s_cur[g]) return Ref::borrow(s_cur[g]);
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", s_gname[g]);
        return {};
    }
    return global(s_globals, s_gname[g]);
}

// True while kDict, is_dataclass, asdict and datetime are the objects bound
// at import.
bool walk_globals_genuine() {
    if (!s_kdict_plain) return false;
    if (cache_valid()) return s_walk_genuine;
    for (int i = 0; i < kWalkGlobals; ++i) {
        PyObject* v = PyDict_GetItemWithError(s_globals, s_gname[i]);
        if (!v) PyErr_Clear();
        if (v != s_genuine[i]) return false;
    }
    return true;
}

// True while cls._flatten and cls._serialize_value are this module's own:
// cls is the class itself and its namespace still holds the two classmethod
// objects (its metaclass is `type` and cannot change, and the class's own
// namespace comes first in every lookup).
bool class_unchanged(PyObject* cls) {
    if (cls != s_cls) return false;
    auto* t = reinterpret_cast<PyTypeObject*>(cls);
    const unsigned int tag = t->tp_version_tag;
    if (tag != 0 && tag == s_tag) return true;
    if (tag != 0 && tag == s_bad_tag) return false;
    Ref ns = Ref::steal(PyType_GetDict(t));
    if (!ns) {
        PyErr_Clear();
        return false;
    }
    PyObject* f = PyDict_GetItemWithError(ns.get(), s_flatten);
    PyObject* s = f ? PyDict_GetItemWithError(ns.get(), s_serialize_value) : nullptr;
    if (PyErr_Occurred()) PyErr_Clear();
    const bool ok = f == s_cm_flatten && s == s_cm_serialize;
    if (PyUnstable_Type_AssignVersionTag(t)) (ok ? s_tag : s_bad_tag) = t->tp_version_tag;
    return ok;
}

// ---------------------------------------------------------------- the walk

PyObject* serialize(PyObject* cls, PyObject* value);
PyObject* flatten(PyObject* cls, PyObject* source);

// Values that every rule of _serialize_value leaves as they are, while the
// walk globals are genuine: exact built-in types that are no kDict, no data
// class and no datetime, and whose type nobody can change.
inline bool plain_leaf(PyTypeObject* t) {
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == Py_TYPE(Py_None) || t == &PyBytes_Type || (t == s_date_type && s_dates_fixed);
}

// cls._serialize_value(item), run natively when that cannot be told apart.
PyObject* serialize_child(PyObject* cls, PyObject* item) {
    if (!class_unchanged(cls)) return call_method(cls, s_serialize_value, {item}).release();
    if (plain_leaf(Py_TYPE(item)) && walk_globals_genuine()) return Py_NewRef(item);
    // A container that holds itself ends in RecursionError, never in a
    // C stack overflow.
    if (Py_EnterRecursiveCall(" while converting a nested value")) return nullptr;
    PyObject* r = serialize(cls, item);
    Py_LeaveRecursiveCall();
    return r;
}

// cls._flatten(source), likewise.
PyObject* flatten_child(PyObject* cls, PyObject* source) {
    if (!class_unchanged(cls)) return call_method(cls, s_flatten, {source}).release();
    if (!check_exact(source, "source", &PyDict_Type)) return nullptr;
    if (Py_EnterRecursiveCall(" while converting a nested value")) return nullptr;
    PyObject* r = flatten(cls, source);
    Py_LeaveRecursiveCall();
    return r;
}

// Walks an exact dict as `for key, value in d.items()` does, including its
// RuntimeError when the dict changes on the way.  `each` gets new references.
template <class Each>
bool walk_dict(PyObject* d, Each&& each) {
    const Py_ssize_t used = PyDict_GET_SIZE(d);
    Py_ssize_t remaining = used, pos = 0;
    PyObject *k, *v;
    for (;;) {
        if (PyDict_GET_SIZE(d) != used) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
        if (!PyDict_Next(d, &pos, &k, &v)) return true;
        if (remaining-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return false;
        }
        // Converting the value may run code that changes the dict.
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        if (!each(key.get(), value.get())) return false;
    }
}

// An empty dict sized for the entries of `d`, so that filling it in needs no
// resizing.
inline PyObject* new_dict_like(PyObject* d) { return _PyDict_NewPresized(PyDict_GET_SIZE(d)); }

// `key, value = item`, with the interpreter's messages.
bool unpack_pair(PyObject* item, Ref& key, Ref& value) {
    if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) && Py_SIZE(item) == 2) {
        const bool tuple = PyTuple_CheckExact(item);
        key = Ref::borrow(tuple ? PyTuple_GET_ITEM(item, 0) : PyList_GET_ITEM(item, 0));
        value = Ref::borrow(tuple ? PyTuple_GET_ITEM(item, 1) : PyList_GET_ITEM(item, 1));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr && !PySequence_Check(item)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return false;
    }
    Ref* slots[2] = {&key, &value};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (!extra) return !PyErr_Occurred();
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

// A new list of the converted items of a list or tuple, in iteration order.
PyObject* serialize_sequence(PyObject* cls, PyObject* seq) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        // Indexing again at each step follows a list that changes meanwhile,
        // as its iterator would.
        const bool is_list = PyList_CheckExact(seq);
        for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
            Ref item = Ref::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            Ref conv = Ref::steal(serialize_child(cls, item.get()));
            if (!conv || PyList_Append(out.get(), conv.get()) < 0) return nullptr;
        }
        return out.release();
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return nullptr;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref conv = Ref::steal(serialize_child(cls, item.get()));
        if (!conv || PyList_Append(out.get(), conv.get()) < 0) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : out.release();
}

// A new dict with the same keys and converted values: an exact dict walked
// directly, a subclass through its items().
PyObject* serialize_mapping(PyObject* cls, PyObject* mapping) {
    Ref out = Ref::steal(PyDict_CheckExact(mapping) ? new_dict_like(mapping) : PyDict_New());
    if (!out) return nullptr;
    auto store = [&](PyObject* key, PyObject* value) {
        Ref conv = Ref::steal(serialize_child(cls, value));
        return conv && PyDict_SetItem(out.get(), key, conv.get()) == 0;
    };
    if (PyDict_CheckExact(mapping)) return walk_dict(mapping, store) ? out.release() : nullptr;
    Ref items = call_method(mapping, s_items);
    Ref it = Ref::steal(items ? PyObject_GetIter(items.get()) : nullptr);
    if (!it) return nullptr;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref key, value;
        if (!unpack_pair(pair.get(), key, value) || !store(key.get(), value.get())) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : out.release();
}

PyObject* serialize_kdict(PyObject* cls, PyObject* value) {
    Ref raw = call_method(value, s_raw);
    return raw ? flatten_child(cls, raw.get()) : nullptr;
}

PyObject* isoformat(PyObject* value) { return call_method(value, s_isoformat).release(); }

// Writes `v` as `width` decimal digits.
inline char* digits(char* p, int v, int width) {
    for (int i = width - 1; i >= 0; --i, v /= 10) p[i] = static_cast<char>('0' + v % 10);
    return p + width;
}

// isoformat() of an exact datetime, written directly: the same text as the
// method gives, for a naive value or one whose tzinfo is a fixed timezone
// (both immutable types, so nothing of theirs can be replaced).  Other
// tzinfo objects get the method itself.
PyObject* exact_isoformat(PyObject* v) {
    PyObject* tz = PyDateTime_DATE_GET_TZINFO(v);
    if (tz != Py_None && !Py_IS_TYPE(tz, s_timezone_type)) return isoformat(v);
    char buf[48];
    char* p = digits(buf, PyDateTime_GET_YEAR(v), 4);
    *p++ = '-';
    p = digits(p, PyDateTime_GET_MONTH(v), 2);
    *p++ = '-';
    p = digits(p, PyDateTime_GET_DAY(v), 2);
    *p++ = 'T';
    p = digits(p, PyDateTime_DATE_GET_HOUR(v), 2);
    *p++ = ':';
    p = digits(p, PyDateTime_DATE_GET_MINUTE(v), 2);
    *p++ = ':';
    p = digits(p, PyDateTime_DATE_GET_SECOND(v), 2);
    if (const int us = PyDateTime_DATE_GET_MICROSECOND(v)) {
        *p++ = '.';
        p = digits(p, us, 6);
    }
    if (tz != Py_None) {
        int days = 0, secs = 0, us = 0;
        if (tz != PyDateTime_TimeZone_UTC) {
            Ref offset = call_method(tz, s_utcoffset, {v});
            if (!offset) return nullptr;
            if (!PyDelta_Check(offset.get())) return isoformat(v);  // not for a timezone
            days = PyDateTime_DELTA_GET_DAYS(offset.get());
            secs = PyDateTime_DELTA_GET_SECONDS(offset.get());
            us = PyDateTime_DELTA_GET_MICROSECONDS(offset.get());
        }
        char sign = '+';
        if (days < 0) {  // -(days, secs, us) in normalised form
            sign = '-';
            long long total = -((static_cast<long long>(days) * 86400 + secs) * 1000000 + us);
            secs = static_cast<int>(total / 1000000);
            us = static_cast<int>(total % 1000000);
        }
        *p++ = sign;
        p = digits(p, secs / 3600, 2);
        *p++ = ':';
        p = digits(p, secs / 60 % 60, 2);
        if (secs % 60 || us) {
            *p++ = ':';
            p = digits(p, secs % 60, 2);
            if (us) {
                *p++ = '.';
                p = digits(p, us, 6);
            }
        }
    }
    return PyUnicode_FromStringAndSize(buf, p - buf);
}

// The body of _serialize_value: the first matching rule converts the value.
PyObject* serialize(PyObject* cls, PyObject* value) {
    PyTypeObject* t = Py_TYPE(value);
    if (walk_globals_genuine()) {
        // Exact built-in types answer every rule without running any code.
        if (plain_leaf(t)) return Py_NewRef(value);
        if (t == &PyList_Type || t == &PyTuple_Type) return serialize_sequence(cls, value);
        if (t == &PyDict_Type) return serialize_mapping(cls, value);
        if (t == s_datetime_type) return s_dates_fixed ? exact_isoformat(value) : isoformat(value);
        if (t == reinterpret_cast<PyTypeObject*>(s_genuine[G_kDict])) return serialize_kdict(cls, value);
    }
    Ref kdict = global_value(G_kDict);
    if (!kdict) return nullptr;
    int r = PyObject_IsInstance(value, kdict.get());
    if (r < 0) return nullptr;
    if (r) return serialize_kdict(cls, value);
    if (PyList_Check(value) || PyTuple_Check(value)) return serialize_sequence(cls, value);
    if (PyDict_Check(value)) return serialize_mapping(cls, value);
    Ref is_dc = global_value(G_is_dataclass);
    Ref answer = is_dc ? call(is_dc.get(), {value}) : Ref();
    if (!answer) return nullptr;
    r = PyObject_IsTrue(answer.get());
    if (r < 0) return nullptr;
    if (r) {
        Ref asdict = global_value(G_asdict);
        Ref plain = asdict ? call(asdict.get(), {value}) : Ref();
        return plain ? serialize_child(cls, plain.get()) : nullptr;
    }
    Ref dt = global_value(G_datetime);
    if (!dt) return nullptr;
    r = PyObject_IsInstance(value, dt.get());
    if (r < 0) return nullptr;
    return r ? isoformat(value) : Py_NewRef(value);
}

// The body of _flatten, for an exact dict.
PyObject* flatten(PyObject* cls, PyObject* source) {
    Ref out = Ref::steal(new_dict_like(source));
    if (!out) return nullptr;
    bool ok = walk_dict(source, [&](PyObject* key, PyObject* value) {
        Ref conv = Ref::steal(serialize_child(cls, value));
        return conv && PyDict_SetItem(out.get(), key, conv.get()) == 0;
    });
    return ok ? out.release() : nullptr;
}

// ----------------------------------------------------------------- members

inline Ref store_of(PyObject* self) { return Ref::steal(PyObject_GetAttr(self, s_data)); }

PyObject* init(PyObject* const* a) {
    Ref store;
    if (a[1] == Py_None) {
        Ref kdict = global_value(G_kDict);
        store = kdict ? call(kdict.get()) : Ref();
    } else {
        store = Ref::borrow(a[1]);
    }
    if (!store || PyObject_SetAttr(a[0], s_data, store.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* post(PyObject* const* a) {
    Ref store = store_of(a[0]);
    Ref present = store ? call_method(store.get(), s_has, {a[1]}) : Ref();
    if (!present) return nullptr;
    const int t = PyObject_IsTrue(present.get());
    if (t < 0) return nullptr;
    if (!t && !call_method(store.get(), s_add, {a[1], a[2]})) return nullptr;
    return Py_NewRef(a[0]);
}

PyObject* put(PyObject* const* a) {
    Ref store = store_of(a[0]);
    if (!store || !call_method(store.get(), s_set, {a[1], a[2]})) return nullptr;
    return Py_NewRef(a[0]);
}

PyObject* remove(PyObject* const* a) {
    Ref store = store_of(a[0]);
    if (!store || !call_method(store.get(), s_remove, {a[1]})) return nullptr;
    return Py_NewRef(a[0]);
}

PyObject* has(PyObject* const* a) {
    Ref store = store_of(a[0]);
    return store ? call_method(store.get(), s_has, {a[1]}).release() : nullptr;
}

// A child envelope on the kDict under `key`.  A plain dict stored there is
// converted by the store into a new kDict, which then replaces it, so that
// the child's writes reach the parent.
PyObject* nest(PyObject* const* a) {
    PyObject* key = a[1];
    Ref store = store_of(a[0]);
    if (!store) return nullptr;
    Ref kdict = global_value(G_kDict);
    Ref nested = kdict ? call_method(store.get(), s_get, {key, kdict.get()}) : Ref();
    if (!nested) return nullptr;
    if (nested.get() == Py_None) {
        kdict = global_value(G_kDict);
        nested = kdict ? call(kdict.get()) : Ref();
        if (!nested || !call_method(store.get(), s_set, {key, nested.get()})) return nullptr;
    } else {
        Ref stored = call_method(store.get(), s_get, {key});
        if (!stored) return nullptr;
        if (stored.get() != nested.get() && !call_method(store.get(), s_set, {key, nested.get()})) return nullptr;
    }
    Ref envelope = global_value(G_kEnvelope);
    return envelope ? call(envelope.get(), {nested.get()}).release() : nullptr;
}

PyObject* get(PyObject* const* a) {
    Ref store = store_of(a[0]);
    Ref raw = store ? call_method(store.get(), s_raw) : Ref();
    return raw ? call_method(a[0], s_flatten, {raw.get()}).release() : nullptr;
}

PyObject* to_json(PyObject* const* a) {
    Ref json = global_value(G_json);
    Ref dumps = Ref::steal(json ? PyObject_GetAttr(json.get(), s_dumps) : nullptr);
    Ref tree = dumps ? call_method(a[0], s_get) : Ref();
    if (!tree) return nullptr;
    PyObject* args[] = {tree.get(), s_four};
    return PyObject_Vectorcall(dumps.get(), args, 1, s_indent_kwnames);
}

PyObject* flatten_member(PyObject* const* a) { return flatten(a[0], a[1]); }
PyObject* serialize_member(PyObject* const* a) { return serialize(a[0], a[1]); }

const Param p_existing[] = {{"existing", "kDict | None", Check::None, kNone}};
const Param p_key_value[] = {{"key", "str", Check::Str}, {"value", "Any"}};
const Param p_key[] = {{"key", "str", Check::Str}};
const Param p_source[] = {{"source", "dict[str, Any]", Check::Dict}};
const Param p_value[] = {{"value", "Any"}};

const FuncDef members[] = {
    {.name = "__init__", .kind = Kind::Method, .impl = init, .ret = "None", .params = p_existing},
    {.name = "post", .kind = Kind::Method, .impl = post, .ret = "'kEnvelope'", .params = p_key_value},
    {.name = "put", .kind = Kind::Method, .impl = put, .ret = "'kEnvelope'", .params = p_key_value},
    {.name = "delete", .kind = Kind::Method, .impl = remove, .ret = "'kEnvelope'", .params = p_key},
    {.name = "has", .kind = Kind::Method, .impl = has, .ret = "bool", .params = p_key},
    {.name = "nest", .kind = Kind::Method, .impl = nest, .ret = "'kEnvelope'", .params = p_key},
    {.name = "get", .kind = Kind::Method, .impl = get, .ret = "dict[str, Any]", .result = Result::Dict},
    {.name = "toJson", .kind = Kind::Method, .impl = to_json, .ret = "str", .result = Result::Str},
    {.name = "_flatten",
     .kind = Kind::ClassMethod,
     .impl = flatten_member,
     .ret = "dict[str, Any]",
     .params = p_source,
     .result = Result::Dict},
    {.name = "_serialize_value", .kind = Kind::ClassMethod, .impl = serialize_member, .ret = "Any", .params = p_value},
};

// ------------------------------------------------------------------- exec

bool intern_all() {
    struct {
        PyObject** slot;
        const char* text;
    } names[] = {
        {&s_data, "_data"},   {&s_has, "has"},         {&s_add, "add"},
        {&s_set, "set"},      {&s_remove, "remove"},   {&s_get, "get"},
        {&s_raw, "Raw"},      {&s_items, "items"},     {&s_isoformat, "isoformat"},
        {&s_dumps, "dumps"},  {&s_utcoffset, "utcoffset"},  {&s_flatten, "_flatten"}, {&s_serialize_value, "_serialize_value"},
    };
    for (auto& n : names)
        if (!(*n.slot = intern(n.text))) return false;
    for (int i = 0; i < G_count; ++i)
        if (!(s_gname[i] = intern(kGlobalNames[i]))) return false;
    s_indent_kwnames = Py_BuildValue("(s)", "indent");
    s_four = PyLong_FromLong(4);
    return s_indent_kwnames && s_four;
}

int exec(PyObject* module) {
    if (!begin_exec(once, module)) return -1;
    PyObject* globals = PyModule_GetDict(module);
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name || !intern_all()) return -1;

    // import json
    Ref json_name = Ref::steal(PyUnicode_FromString("json"));
    Ref json = Ref::steal(json_name ? PyImport_ImportModuleLevelObject(json_name.get(), globals, nullptr, nullptr, 0)
                                    : nullptr);
    if (!set_global(globals, "json", json)) return -1;
    // from dataclasses import asdict, is_dataclass
    if (!set_global(globals, "asdict", import_from(globals, "dataclasses", "asdict")) ||
        !set_global(globals, "is_dataclass", import_from(globals, "dataclasses", "is_dataclass")))
        return -1;
    // from datetime import datetime
    Ref datetime = import_from(globals, "datetime", "datetime");
    if (!set_global(globals, "datetime", datetime)) return -1;
    // from typing import Any
    if (!set_global(globals, "Any", import_from(globals, "typing", "Any"))) return -1;
    // from .kDict import kDict
    if (!set_global(globals, "kDict", import_from(globals, "kDict", "kDict", 1))) return -1;

    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return -1;
    ClassBody body("kEnvelope", module_name.get());
    if (!body.prepare(reinterpret_cast<PyObject*>(&PyType_Type), bases.get(),
                      "Mutable payload envelope for passing request and response data.") ||
        !body.add_all(members))
        return -1;
    Ref cls = body.create();
    if (!set_global(globals, "kEnvelope", cls)) return -1;

    // What the native walk compares against from now on.
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return -1;
    s_datetime_type = PyDateTimeAPI->DateTimeType;
    s_date_type = PyDateTimeAPI->DateType;
    s_timezone_type = Py_TYPE(PyDateTime_TimeZone_UTC);
    s_dates_fixed = true;
    for (PyTypeObject* t : {s_datetime_type, s_date_type, s_timezone_type, PyDateTimeAPI->DeltaType})
        s_dates_fixed = s_dates_fixed && PyType_HasFeature(t, Py_TPFLAGS_IMMUTABLETYPE);
    for (int i = 0; i < G_count; ++i) {
        PyObject* v = PyDict_GetItemWithError(globals, s_gname[i]);
        if (!v) return -1;
        s_genuine[i] = Py_NewRef(v);
    }
    // The walk skips the kDict type test for exact built-in values; that is
    // sound only for a class of its own (a heap type, so none of those) whose
    // metaclass is `type` (so no __instancecheck__).
    PyObject* kdict = s_genuine[G_kDict];
    s_kdict_plain = Py_IS_TYPE(kdict, &PyType_Type) &&
                    PyType_HasFeature(reinterpret_cast<PyTypeObject*>(kdict), Py_TPFLAGS_HEAPTYPE);
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    Ref ns = Ref::steal(PyType_GetDict(type));
    if (!ns) return -1;
    s_cm_flatten = Py_XNewRef(PyDict_GetItemWithError(ns.get(), s_flatten));
    s_cm_serialize = Py_XNewRef(PyDict_GetItemWithError(ns.get(), s_serialize_value));
    if (!s_cm_flatten || !s_cm_serialize) return -1;
    s_cls = Py_NewRef(cls.get());
    if (PyUnstable_Type_AssignVersionTag(type)) s_tag = type->tp_version_tag;
    s_globals = Py_NewRef(globals);
    const int watcher = PyDict_AddWatcher(globals_watcher);
    if (watcher >= 0 && PyDict_Watch(watcher, globals) == 0) {
        s_watched = true;
    } else {
        PyErr_Clear();  // without a watcher every use reads the globals
    }
    s_stale = true;
    end_exec(once, module);
    return 0;
}

}  // namespace

KST_MODULE(kEnvelope, "Payload wrapper built on top of kDict.", exec)
