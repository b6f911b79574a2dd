// kestrune.utils.kEnvelope: a payload envelope over a kDict store, with
// nested child envelopes and conversion to plain data and JSON text.
//
// The store is whatever object the instance attribute `_data` holds, read at
// every operation; its methods are called by name.  Module-level names
// (kDict, kEnvelope, json, asdict, is_dataclass, datetime) are read from the
// module globals at each use.  `_flatten` and `_serialize_value` reach each
// other through `cls`; while `cls` is the class itself, unmodified, and the
// globals still hold the objects bound at import, the walk runs natively
// without those lookups, which then cannot make a difference.  Likewise a
// plain data-class instance is converted without asdict, and toJson writes
// its text without json.dumps, while everything those functions depend on
// is as it was at import (see the guards below).
#include "support/capi.hpp"
#include "support/dataclass_tree.hpp"
#include "support/iterate.hpp"
#include "support/json_text.hpp"
#include "support/module.hpp"
#include "support/datetime_text.hpp"
#include "support/stdlib.hpp"
#include "support/text.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

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

PyTypeObject* s_datetime_type;  // datetime.datetime
PyTypeObject* s_date_type;      // datetime.date
PyTypeObject* s_timezone_type;  // datetime.timezone
PyObject* s_utcoffset;          // "utcoffset"
text::DatetimeText s_dt_text;   // the text of exact datetimes
// datetime, date and timezone are immutable types: their methods are fixed,
// and no attribute (such as a data-class marker) can be added to them.
bool s_dates_fixed = false;

// Module-level names read at call time.  The first four steer the walk.
enum Global : int { G_kDict, G_is_dataclass, G_asdict, G_datetime, G_json, G_kEnvelope, G_count };
constexpr int kWalkGlobals = 4;
constexpr const char* kGlobalNames[G_count] = {"kDict", "is_dataclass", "asdict", "datetime", "json", "kEnvelope"};
PyObject* s_gname[G_count];
PyObject* s_genuine[G_count];  // the objects bound at import (strong references)

// --------------------------------------------------------------- shortcuts
// Every member reaches the store, the other members and the module-level
// names by lookup at each call.  The lookups are skipped only where that
// cannot be seen:
//   globals   the module-level names are re-read only after a write to the
//             module namespace (watched);
//   walk      _flatten and _serialize_value reach each other through `cls`;
//             while `cls` is the class itself as made (ClassGuard) and
//             kDict, is_dataclass, asdict and datetime are the objects bound
//             at import, the walk runs natively without those lookups;
//   store     post, put, delete, has and nest read `_data` from the
//             envelope's __dict__ directly while the envelope is exactly a
//             kEnvelope as made and its __dict__ holds only str keys, and
//             call the store through kDict's direct entries (kDict's C
//             interface), which serve exactly the stores on which the lookup
//             would find kDict's own members;
//   dataclass a plain data-class instance is converted without asdict while
//             dataclasses and copy are as they were at import (pins);
//   json      toJson writes its text without json.dumps while json and its
//             encoder are as they were at import (pins), and in one pass over
//             the stores, with no tree in between, while the walk and the
//             stores' Raw run natively as well.
// kEnvelope takes no dict-watcher id of its own: it listens on kDict's hub.

const KDictInterface* s_kdict_api;  // kDict's C interface, or nullptr
WatchHub s_no_hub;                  // stands in (off) when kDict gives none
WatchHub& hub() { return s_kdict_api ? *s_kdict_api->hub : s_no_hub; }

ClassGuard s_class;        // kEnvelope, as made
MemberSnapshot s_members;  // its namespace as made
bool class_as_made(PyTypeObject* t) { return s_members.same(t); }

NamespaceNames<G_count> s_names;  // the module-level names above
bool s_kdict_plain = false;       // the import-time kDict allows the shortcuts

PinSet s_dc_pins;    // dataclasses.asdict and copy.deepcopy of a datetime
PinSet s_json_pins;  // json.dumps with indent=4
DataclassTree s_dct;  // the data-class conversion (its dataclasses knowledge filled at import)
PyObject* s_json_dumps;  // json.dumps as bound at import

// The current value of a module-level name, or NameError.
Ref global_value(Global g) { return s_names.value(g); }

// True while kDict, is_dataclass, asdict and datetime are the objects bound
// at import.
bool walk_globals_genuine() { return s_kdict_plain && s_names.genuine(); }

// True while cls._flatten and cls._serialize_value are this module's own.
inline bool class_unchanged(PyObject* cls) { return s_class.holds(reinterpret_cast<PyTypeObject*>(cls)); }

bool walk_armed() { return s_class.armed() && walk_globals_genuine(); }
bool store_armed() { return s_class.armed() && s_kdict_api; }
bool dataclass_armed() { return walk_armed() && s_dates_fixed && s_dc_pins.holds(); }
bool json_armed() { return quiet_entry(s_globals, s_gname[G_json]) == s_genuine[G_json] && s_json_pins.holds(); }
bool globals_armed() { return hub().on(); }

const Shortcut shortcuts[] = {
    {"globals", "kDict is_dataclass asdict datetime json kEnvelope", "hub", globals_armed},
    {"walk", "cls._flatten cls._serialize_value", "class:kEnvelope global:kDict global:is_dataclass "
     "global:asdict global:datetime hub", walk_armed},
    {"store", "_data kDict.has kDict.set kDict.add kDict.remove kDict.get", "class:kEnvelope instance:kEnvelope "
     "hub", store_armed},
    {"dataclass", "asdict dataclasses._asdict_inner copy.deepcopy", "class:kEnvelope global:asdict "
     "global:is_dataclass pin:dataclasses.asdict pin:dataclasses._asdict_inner pin:copy.deepcopy hub",
     dataclass_armed},
    {"json", "json.dumps", "global:json pin:json.dumps pin:json.JSONEncoder hub", json_armed},
};

// ----------------------------------------------------------------- members
// The members in the class's order; the store calls, the walk and the JSON
// text they use follow them.

enum StoreMember : int { M_set, M_add, M_has, M_remove, M_get, M_count };
inline Ref plain_store(PyObject* self);
template <class... Args>
inline Ref store_call(PyObject* store, StoreMember m, Args... args);
inline Ref store_get(PyObject* store, PyObject* key);
PyObject* write_doc(PyObject* self);
PyObject* flatten(PyObject* cls, PyObject* source);
PyObject* serialize(PyObject* cls, PyObject* value);

Py_NO_INLINE Ref store_of(PyObject* self) { return Ref::steal(PyObject_GetAttr(self, s_data)); }

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

// The envelope's store: self._data.
inline Ref store_for(PyObject* self) {
    if (Ref s = plain_store(self)) return s;
    return store_of(self);
}

PyObject* post(PyObject* const* a) {
    Ref store = store_for(a[0]);
    Ref present = store ? store_call(store.get(), M_has, a[1]) : Ref();
    if (!present) return nullptr;
    const int t = PyObject_IsTrue(present.get());
    if (t < 0) return nullptr;
    if (!t && !store_call(store.get(), M_add, a[1], a[2])) return nullptr;
    return Py_NewRef(a[0]);
}

PyObject* put(PyObject* const* a) {
    Ref store = store_for(a[0]);
    if (!store || !store_call(store.get(), M_set, a[1], a[2])) return nullptr;
    return Py_NewRef(a[0]);
}

PyObject* remove(PyObject* const* a) {
    Ref store = store_for(a[0]);
    if (!store || !store_call(store.get(), M_remove, a[1])) return nullptr;
    return Py_NewRef(a[0]);
}

PyObject* has(PyObject* const* a) {
    Ref store = store_for(a[0]);
    return store ? store_call(store.get(), M_has, a[1]).release() : nullptr;
}

// A child envelope on the kDict under `key`.  A plain dict stored there is
// converted by the store into a new kDict, which then replaces it, so that
// the child's writes reach the parent.
PyObject* nest(PyObject* const* a) {
    PyObject* key = a[1];
    Ref store = store_for(a[0]);
    if (!store) return nullptr;
    Ref kdict = global_value(G_kDict);
    Ref nested = kdict ? store_call(store.get(), M_get, key, kdict.get()) : Ref();
    if (!nested) return nullptr;
    if (nested.get() == Py_None) {
        kdict = global_value(G_kDict);
        nested = kdict ? call(kdict.get()) : Ref();
        if (!nested || !store_call(store.get(), M_set, key, nested.get())) return nullptr;
    } else {
        Ref stored = store_get(store.get(), key);
        if (!stored) return nullptr;
        if (stored.get() != nested.get() && !store_call(store.get(), M_set, key, nested.get())) return nullptr;
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
    if (!dumps) return nullptr;
    // The genuine json.dumps with the genuine encoder behind it: the text is
    // written here where it is sure (asked again after get(), which may run
    // code that changes json).
    auto genuine = [&] { return json.get() == s_genuine[G_json] && dumps.get() == s_json_dumps && s_json_pins.holds(); };
    if (genuine())
        if (PyObject* text = write_doc(a[0])) return text;
    Ref tree = call_method(a[0], s_get);
    if (!tree) return nullptr;
    if (genuine())
        if (PyObject* text = write_json(tree.get())) return text;
    PyObject* args[] = {tree.get(), s_four};
    return PyObject_Vectorcall(dumps.get(), args, 1, s_indent_kwnames);
}

// ------------------------------------------------------- store shortcuts

PyObject* s_member_name[M_count];  // the names, interned
Direct s_member_direct[M_count];   // kDict's direct entries, or nullptr

// Envelope instance dicts known to hold only exact-str keys, with the store
// under `_data` (first).  Watched: any write to one forgets it.
InstanceMemo s_env_dicts;

// Whether `dict` holds only exact-str keys (so lookups in it run no code);
// `found` is the value under `name` (interned), borrowed, or nullptr.
bool str_keys_only(PyObject* dict, PyObject* name, PyObject*& found) {
    found = nullptr;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) return false;
        // (two interned strings are equal only when they are the same object)
        if (k == name || (!PyUnicode_CHECK_INTERNED(k) && PyUnicode_Equal(k, name))) found = v;
    }
    return true;
}

// The envelope's store, as a strong reference, when `_data` may be read
// from its __dict__ directly (the class as made, and only exact-str keys in
// the __dict__, found once per dict while it is unwritten); empty (no
// error) otherwise.
inline Ref plain_store(PyObject* self) {
    if (!s_class.holds(Py_TYPE(self))) return {};
    Ref store, unused;
    const int r = s_env_dicts.take(self, store, unused, nullptr, [](PyObject* dict, PyObject*& found, PyObject*&) {
        return str_keys_only(dict, s_data, found) && found;
    });
    if (r < 0) PyErr_Clear();  // (a failed allocation: the general road's getattr meets it again)
    return store;
}

// Calls kDict's direct entry of `m` with `bound` (the store first, then
// every parameter); false when there is none or it does not serve the store.
inline bool call_direct(StoreMember m, PyObject* const* bound, Ref& result) {
    Direct direct = s_member_direct[m];
    PyObject* r;
    const int done = direct ? direct(bound, &r) : 0;
    if (done) result = Ref::steal(done > 0 ? r : nullptr);
    return done != 0;
}

// store.<name>(*args) through the lookup (out of line: the direct entries
// serve the common case).
template <class... Args>
Py_NO_INLINE Ref store_lookup_call(PyObject* store, PyObject* name, Args... args) {
    return call_method(store, name, {args...});
}

// store.<member>(*args): through kDict's direct entry when it serves the
// store, else through the lookup.
template <class... Args>
inline Ref store_call(PyObject* store, StoreMember m, Args... args) {
    PyObject* bound[] = {store, args...};
    Ref r;
    return call_direct(m, bound, r) ? std::move(r) : store_lookup_call(store, s_member_name[m], args...);
}

// store.get(key): the direct entry takes every parameter, the lookup only
// the one given.
inline Ref store_get(PyObject* store, PyObject* key) {
    PyObject* bound[] = {store, key, Py_None};
    Ref r;
    return call_direct(M_get, bound, r) ? std::move(r) : store_lookup_call(store, s_member_name[M_get], key);
}

// Takes kDict's C interface from the module of the class bound as kDict at
// import; without it every store is called through the lookup.
bool setup_store_shortcuts(PyObject* kdict) {
    // (the names are used by the lookups too, shortcut or not)
    PyObject* const names[M_count] = {s_set, s_add, s_has, s_remove, s_get};
    std::copy(std::begin(names), std::end(names), s_member_name);
    Ref module_name = Ref::steal(PyObject_GetAttrString(kdict, "__module__"));
    Ref module = Ref::steal(module_name ? PyImport_GetModule(module_name.get()) : nullptr);
    if (!module) {
        if (PyErr_Occurred()) return false;
        return true;
    }
    s_kdict_api = import_interface<KDictInterface>(module.get());
    if (!s_kdict_api) return true;
    const Direct found[M_count] = {s_kdict_api->set, s_kdict_api->add, s_kdict_api->has, s_kdict_api->remove,
                                   s_kdict_api->get};
    std::copy(std::begin(found), std::end(found), s_member_direct);
    return true;
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

// A new list of the converted items of a list or tuple, in iteration order.
PyObject* serialize_sequence(PyObject* cls, PyObject* seq) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        // Indexing again at each step follows a list that changes meanwhile,
        // as its iterator would.
        const bool is_list = PyList_CheckExact(seq);
        for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
            Ref item = is_list ? compat::list_item(seq, i) : Ref::borrow_live(PyTuple_GET_ITEM(seq, i));
            if (!item) break;  // (shrunk meanwhile by another thread: the end, as for its iterator)
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
    Ref out = Ref::steal(PyDict_CheckExact(mapping) ? compat::dict_sized_like(mapping) : PyDict_New());
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

// isoformat() of an exact datetime, written directly where the text is sure
// (a naive value or a fixed timezone); other values get the method itself.
PyObject* exact_isoformat(PyObject* v) {
    if (!s_dt_text.applies(v)) return isoformat(v);
    char buf[text::DatetimeText::kMax];
    const char* end = s_dt_text.write(buf, v, 'T');
    if (!end) return PyErr_Occurred() ? nullptr : isoformat(v);
    return PyUnicode_FromStringAndSize(buf, end - buf);
}

// ------------------------------------------------------- data-class shortcut
// _serialize_value of a data-class instance is the conversion of what
// asdict makes of it: DataclassTree builds it in one pass (s_dct, see
// support/dataclass_tree.hpp) while the shortcut applies.

// Whether a rule of _serialize_value that comes before the data-class one
// takes `v` (a list, tuple or dict, or a kDict).
inline bool before_dataclass_rule(PyObject* v) {
    return PyList_Check(v) || PyTuple_Check(v) || PyDict_Check(v) ||
           PyType_IsSubtype(Py_TYPE(v), reinterpret_cast<PyTypeObject*>(s_genuine[G_kDict]));
}

// cls._serialize_value(value) for a data-class instance, when the shortcut
// applies; null (with no error) when the general path must run.
PyObject* dataclass_shortcut(PyObject* cls, PyObject* value) {
    if (!s_dates_fixed || !class_unchanged(cls) || !s_dc_pins.holds()) return nullptr;
    return before_dataclass_rule(value) ? nullptr : s_dct.convert(value);
}

// ------------------------------------------------------ toJson in one pass
// toJson is json.dumps(self.get(), indent=4).  While every step of get() is
// this module's own and runs no code (the envelope and its stores as made,
// the walk globals and json genuine), the text is written while walking the
// stores, with no tree in between.  A value whose conversion would run code
// or whose text is not sure (another type, a datetime with a tzinfo of its
// own, a store off its shortcut road, an error) stops the pass: nothing has
// run or changed by then, and toJson starts again on the general road, which
// gives the same text or the error.
struct DocWriter : JsonWriter {
    // Item i of an exact list or tuple (null, no error, past the end of a
    // list another thread shrank meanwhile: the pass then stops).
    static Ref seq_item(PyObject* seq, bool list, Py_ssize_t i) {
        return list ? compat::list_item(seq, i) : Ref::borrow_live(PyTuple_GET_ITEM(seq, i));
    }

    // The text of cls._serialize_value(v).
    bool doc(PyObject* v, int level) {
        PyTypeObject* t = Py_TYPE(v);
        if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || v == Py_None)
            return value(v, level);
        if (t == &PyList_Type || t == &PyTuple_Type) return doc_array(v, level);
        if (t == &PyDict_Type) return doc_object(v, level);
        if (t == s_datetime_type) return s_dates_fixed && datetime(v);
        if (t == reinterpret_cast<PyTypeObject*>(s_genuine[G_kDict])) return doc_store(v, level);
        if (!dataclasses) return false;
        if (unconverted(v)) return value(v, level);  // (an enum member, an int or str subclass)
        return doc_dataclass(v, level);
    }

    // Whether _serialize_value(v) gives v itself with no code run: v is of
    // no type a rule names, and the rules' isinstance(v, ...) and
    // is_dataclass(v) (pinned) are answered by plain lookups, since its class
    // and metaclass keep the generic attribute access and the genuine
    // __class__, and neither has a data-class marker.
    static bool unconverted(PyObject* v) {
        PyTypeObject* t = Py_TYPE(v);
        if (PyType_Check(v) || PyList_Check(v) || PyTuple_Check(v) || PyDict_Check(v) ||
            PyType_IsSubtype(t, s_datetime_type) || PyType_IsSubtype(t, reinterpret_cast<PyTypeObject*>(s_genuine[G_kDict])))
            return false;
        if (t->tp_getattro != PyObject_GenericGetAttr || compat::type_lookup(t, s_dct.class_name) != s_dct.dc.class_descr)
            return false;
        PyTypeObject* meta = Py_TYPE(t);
        return meta->tp_getattro == PyType_Type.tp_getattro && !compat::type_lookup(meta, s_dct.fields_name) &&
               !compat::type_lookup(t, s_dct.fields_name);
    }

    // ------------------------------------------------ data-class instances
    // The text of what dataclass_shortcut makes of `v` (the same checks,
    // written as they are met).
    bool dataclasses = false;  // the data-class shortcut is armed

    bool doc_dataclass(PyObject* v, int level) {
        if (before_dataclass_rule(v)) return false;
        Ref fields = Ref::steal(s_dct.fields_of(v));
        return fields && dc_instance_text(v, fields.get(), level);
    }

    bool dc_instance_text(PyObject* obj, PyObject* fields, int level) {
        Depth depth;
        if (!depth.ok || level >= kDocDepth) return false;
        Members m{*this, level, '{'};
        const bool ok = s_dct.each_field(obj, fields, [&](PyObject* name, PyObject* v) {
            m.next();
            text(name);
            out.append(": ");
            return dc_value_text(v, level + 1);
        });
        if (ok) m.close();
        return ok;
    }

    bool dc_value_text(PyObject* v, int level) {
        PyTypeObject* t = Py_TYPE(v);
        if (DataclassTree::atomic(t)) return value(v, level);  // (bytes and complex: no text, the general road)
        if (t == s_datetime_type) return datetime(v);
        if (t == &PyList_Type || t == &PyTuple_Type)
            return array_text(v, level, [&](PyObject* item) { return dc_value_text(item, level + 1); });
        if (t == &PyDict_Type)
            return object_text(v, level, [&](PyObject* k, PyObject* item) {
                // (a key asdict would copy stops the pass, whatever was written)
                return DataclassTree::atomic(Py_TYPE(k)) && dc_value_text(item, level + 1);
            });
        Ref fields = Ref::steal(s_dct.fields_of(v));
        return fields && dc_instance_text(v, fields.get(), level);
    }

    // cls._flatten(store.Raw()) of a store on its shortcut road.
    bool doc_store(PyObject* store, int level) {
        const Direct raw = s_kdict_api->raw;
        PyObject* bound[] = {store};
        PyObject* data;
        if (!raw || raw(bound, &data) <= 0) return false;
        Ref owned = Ref::steal(data);
        return doc_object(data, level);
    }

    bool doc_object(PyObject* d, int level) {
        return object_text(d, level, [&](PyObject*, PyObject* v) { return doc(v, level + 1); });
    }

    bool doc_array(PyObject* seq, int level) {
        return array_text(seq, level, [&](PyObject* item) { return doc(item, level + 1); });
    }

    // An exact list or tuple, each item written by item(x).
    template <class Item>
    bool array_text(PyObject* seq, int level, Item&& item) {
        Depth depth;
        if (!depth.ok || level >= kDocDepth) return false;
        Members m{*this, level, '['};
        const bool list = PyList_CheckExact(seq);
        for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
            m.next();
            Ref x = seq_item(seq, list, i);
            if (!x || !item(x.get())) return false;
        }
        m.close();
        return true;
    }

    // An exact dict, read a step at a time; each value written by
    // item(key, value) after its key.
    template <class Item>
    bool object_text(PyObject* d, int level, Item&& item) {
        Depth depth;
        if (!depth.ok || level >= kDocDepth) return false;
        Members m{*this, level, '{'};
        const bool ok = walk_dict(d, [&](PyObject* k, PyObject* v) {
            m.next();
            if (!key(k)) return false;
            out.append(": ");
            return item(k, v);
        });
        if (ok) m.close();
        return ok;
    }

    // The quoted isoformat() text of an exact datetime, where it is sure.
    bool datetime(PyObject* v) {
        if (!s_dt_text.applies(v)) return false;
        char buf[text::DatetimeText::kMax + 2];
        buf[0] = '"';
        char* end = s_dt_text.write(buf + 1, v, 'T');
        if (!end) return false;
        *end++ = '"';
        out.append(buf, static_cast<size_t>(end - buf));
        return true;
    }
};

// toJson's text written in one pass, or null with no error set where the
// general road must run.
PyObject* write_doc(PyObject* self) {
    // (On the free-threaded build each container is read a step at a time,
    // with strong references, as get() reads it: the text is that of the
    // tree get() would have built meanwhile.)
    PyTypeObject* t = Py_TYPE(self);
    if (!class_unchanged(reinterpret_cast<PyObject*>(t)) || !walk_globals_genuine() || !s_kdict_api) return nullptr;
    // self.get() and self._flatten are the class's own while the instance
    // __dict__ holds nothing but `_data`.
    Ref dict = compat::instance_dict_ref(self);
    if (!dict || PyDict_GET_SIZE(dict.get()) != 1) {
        PyErr_Clear();
        return nullptr;
    }
    Ref store = plain_store(self);
    if (!store) return nullptr;
    DocWriter w;
    w.dataclasses = s_dates_fixed && s_dc_pins.holds();
    bool ok = false;
    try {
        ok = w.doc_store(store.get(), 0);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    PyObject* s = ok ? w.out.finish() : nullptr;
    if (!s) PyErr_Clear();
    return s;
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
        if (PyObject* r = dataclass_shortcut(cls, value)) return r;
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

// Whether flatten gives a copy of `d` as it is: every key an exact str
// (hashing it runs no code), every value one that the rules leave as it is.
bool plain_items(PyObject* d) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v))
        if (!PyUnicode_CheckExact(k) || !plain_leaf(Py_TYPE(v))) return false;
    return true;
}

// The body of _flatten, for an exact dict.
PyObject* flatten(PyObject* cls, PyObject* source) {
    // A store of plain values is copied whole (the dict's own copy, which
    // moves its table at once, where inserting item by item reaches into a
    // large table at random).
    if (class_unchanged(cls) && walk_globals_genuine()) {
        Ref copy = compat::dict_copy_if(source, plain_items);
        if (copy || PyErr_Occurred()) return copy.release();
    }
    Ref out = Ref::steal(compat::dict_sized_like(source));
    if (!out) return nullptr;
    bool ok = walk_dict(source, [&](PyObject* key, PyObject* value) {
        Ref conv = Ref::steal(serialize_child(cls, value));
        return conv && PyDict_SetItem(out.get(), key, conv.get()) == 0;
    });
    return ok ? out.release() : nullptr;
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
    if (!intern_names({
        {&s_data, "_data"},   {&s_has, "has"},         {&s_add, "add"},
        {&s_set, "set"},      {&s_remove, "remove"},   {&s_get, "get"},
        {&s_raw, "Raw"},      {&s_items, "items"},     {&s_isoformat, "isoformat"},
        {&s_dumps, "dumps"},  {&s_utcoffset, "utcoffset"},  {&s_flatten, "_flatten"}, {&s_serialize_value, "_serialize_value"},
    }))
        return false;
    for (int i = 0; i < G_count; ++i)
        if (!(s_gname[i] = intern(kGlobalNames[i]))) return false;
    s_indent_kwnames = Py_BuildValue("(s)", "indent");
    s_four = PyLong_FromLong(4);
    return s_indent_kwnames && s_four;
}

PyObject* report() { return shortcut_report(shortcuts); }

ModuleInterface s_interface = {kInterfaceVersion, sizeof(ModuleInterface), report, compat::probe_report};

// Pins what the dataclass and JSON shortcuts stand in for; a pin that does
// not take leaves its shortcut off.
bool setup_pins() {
    if (!s_dc_pins.start(hub()) || !s_json_pins.start(hub())) return false;
    if (!s_dct.intern()) return false;
    if (!hub().on()) return true;  // nothing could be watched: both stay off
    if (!stdlib::pin_asdict(s_dc_pins, s_genuine[G_asdict], s_genuine[G_is_dataclass], s_dct.dc)) PyErr_Clear();
    if (!stdlib::pin_json_dumps(s_json_pins, s_genuine[G_json], s_json_dumps)) PyErr_Clear();
    return true;
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

    ClassBody body("kEnvelope", module_name.get());
    if (!body.prepare("Mutable payload envelope for passing request and response data.") ||
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
    s_dct.datetime_type = s_datetime_type;
    s_dct.timezone_type = s_timezone_type;
    s_dct.isoformat = exact_isoformat;
    s_dates_fixed = true;
    for (PyTypeObject* t : {s_datetime_type, s_date_type, s_timezone_type, PyDateTimeAPI->DeltaType})
        s_dates_fixed = s_dates_fixed && PyType_HasFeature(t, Py_TPFLAGS_IMMUTABLETYPE);
    if (!s_dt_text.start()) return -1;
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
    if (!s_members.take(type, {"_data", "__getattribute__", "__getattr__"})) return -1;
    s_globals = Py_NewRef(globals);
    if (!setup_store_shortcuts(kdict)) return -1;
    if (!s_class.start(type, class_as_made, hub()) || !s_env_dicts.start(hub())) return -1;
    if (!s_names.start(hub(), globals, s_gname, s_genuine, kWalkGlobals)) return -1;
    s_class.armed();
    if (!setup_pins() || !export_interface(module, &s_interface)) return -1;
    end_exec(once, module);
    return 0;
}

}  // namespace

KST_MODULE(kEnvelope, "Payload wrapper built on top of kDict.", exec)
