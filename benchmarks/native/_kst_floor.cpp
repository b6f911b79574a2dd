// Benchmark-only module: the envelope and its store reduced to their object
// layout and call convention, with nothing else.  `Store` keeps `_data` and
// `_key_map` in its instance __dict__, `Envelope` keeps its store under
// `_data`; both are classes made by a class statement's road.  Each
// instance also keeps those objects in fields of a native base, so the
// members never read the __dict__ at all, and they check nothing but the
// key's type: no override or subclass tests, no key rules, no argument
// binding.  What a tree built of these costs is therefore below what any
// envelope of that layout can cost, whatever it checks.
//
// The members come twice: in `Envelope`/`Store` as plain METH_FASTCALL
// methods (the cheapest call the interpreter has for a native method), in
// `BoundEnvelope`/`BoundStore` as functions of the package's own kind, with
// the package's argument binding (which carries the signatures and
// annotations the package's classes must show).
#include "support/module.hpp"

#include <cstddef>

namespace {

using namespace kst;

ModuleOnce once{"_kst_floor"};

PyObject* s_data;
PyObject* s_key_map;

// The native base: a Store's `_data` and `_key_map`, an Envelope's store.
struct Base {
    PyObject_HEAD
    PyObject* first;
    PyObject* second;
};

int base_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Base*>(self)->first);
    Py_VISIT(reinterpret_cast<Base*>(self)->second);
    return 0;
}

int base_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Base*>(self)->first);
    Py_CLEAR(reinterpret_cast<Base*>(self)->second);
    return 0;
}

void base_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    base_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot base_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(base_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(base_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(base_dealloc)},
    {0, nullptr},
};
PyType_Spec base_type = {"_kst_floor.Base", sizeof(Base), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, base_slots};

inline Base* as_base(PyObject* o) { return reinterpret_cast<Base*>(o); }

// Folding as the package does it at best: lower-case ASCII is its own fold,
// the fold of an interned key is interned (so the key map's key matches by
// identity), and a key in repeated use is folded once (identity cache).
struct FoldEntry {
    PyObject* key;
    PyObject* folded;
};
FoldEntry g_cache[64];

inline bool upper(Py_UCS1 c) { return c >= 'A' && c <= 'Z'; }

Ref fold(PyObject* key) {
    FoldEntry& e = g_cache[(reinterpret_cast<std::uintptr_t>(key) >> 4) % 64];
    if (e.key == key) return Ref::borrow_live(e.folded);
    if (!PyUnicode_IS_ASCII(key)) return Ref::steal(PyObject_CallMethod(key, "casefold", nullptr));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    const Py_UCS1* p = PyUnicode_1BYTE_DATA(key);
    Py_ssize_t i = 0;
    while (i < n && !upper(p[i])) ++i;
    if (i == n) return Ref::borrow_live(key);
    PyObject* r = PyUnicode_New(n, 127);
    if (!r) return {};
    Py_UCS1* q = PyUnicode_1BYTE_DATA(r);
    for (Py_ssize_t j = 0; j < n; ++j) q[j] = upper(p[j]) ? static_cast<Py_UCS1>(p[j] + 32) : p[j];
    if (PyUnicode_CHECK_INTERNED(key)) PyUnicode_InternInPlace(&r);
    if (Py_REFCNT(key) > 1 || PyUnicode_CHECK_INTERNED(key)) {
        const FoldEntry old = std::exchange(e, {Py_NewRef(key), Py_NewRef(r)});
        Py_XDECREF(old.key);
        Py_XDECREF(old.folded);
    }
    return Ref::steal(r);
}

bool str_key(PyObject* key) {
    if (PyUnicode_CheckExact(key)) return true;
    PyErr_SetString(PyExc_TypeError, "key must be a str");
    return false;
}

// store.set(key, value): `_key_map[folded] = key`, `_data[key] = value`,
// dropping an entry stored under another spelling; None deletes.
bool store_set(PyObject* store, PyObject* key, PyObject* value) {
    PyObject* data = as_base(store)->first;
    PyObject* key_map = as_base(store)->second;
    if (!str_key(key)) return false;
    Ref n = fold(key);
    if (!n) return false;
    PyObject* stored = PyDict_GetItemWithError(key_map, n.get());
    if (!stored && PyErr_Occurred()) return false;
    if (value == Py_None) {
        if (!stored) return true;
        return PyDict_DelItem(data, stored) == 0 && PyDict_DelItem(key_map, n.get()) == 0;
    }
    if (stored && stored != key && PyDict_DelItem(data, stored) < 0) return false;
    if (PyDict_SetItem(data, key, value) < 0) return false;
    return stored == key || PyDict_SetItem(key_map, n.get(), key) == 0;
}

// store.get(key): the value under any spelling of `key`, or None.
PyObject* store_get(PyObject* store, PyObject* key) {
    if (!str_key(key)) return nullptr;
    Ref n = fold(key);
    if (!n) return nullptr;
    PyObject* stored = PyDict_GetItemWithError(as_base(store)->second, n.get());
    if (!stored) return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    PyObject* v = PyDict_GetItemWithError(as_base(store)->first, stored);
    return v ? Py_NewRef(v) : (PyErr_Occurred() ? nullptr : Py_NewRef(Py_None));
}

// The classes of one variant: a Store's envelope class makes its children.
struct Classes {
    PyObject* store;
    PyObject* envelope;
};
Classes g_plain, g_bound;

bool store_init(PyObject* self) {
    Ref d1 = Ref::steal(PyDict_New());
    if (!d1 || PyObject_SetAttr(self, s_data, d1.get()) < 0) return false;
    Ref d2 = Ref::steal(PyDict_New());
    if (!d2 || PyObject_SetAttr(self, s_key_map, d2.get()) < 0) return false;
    Py_XSETREF(as_base(self)->first, d1.release());
    Py_XSETREF(as_base(self)->second, d2.release());
    return true;
}

bool envelope_init(const Classes& c, PyObject* self, PyObject* existing) {
    Ref store = existing ? Ref::borrow(existing) : Ref::steal(PyObject_CallNoArgs(c.store));
    if (!store || PyObject_SetAttr(self, s_data, store.get()) < 0) return false;
    Py_XSETREF(as_base(self)->first, store.release());
    return true;
}

// The child envelope on the store under `key`, made (and stored) when absent.
PyObject* envelope_nest(const Classes& c, PyObject* self, PyObject* key) {
    PyObject* store = as_base(self)->first;
    Ref child = Ref::steal(store_get(store, key));
    if (!child) return nullptr;
    if (child.get() == Py_None) {
        child = Ref::steal(PyObject_CallNoArgs(c.store));
        if (!child || !store_set(store, key, child.get())) return nullptr;
    }
    return PyObject_CallOneArg(c.envelope, child.get());
}

// ----------------------------------------------- as METH_FASTCALL methods

PyObject* m_store_init(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    if (!store_init(self)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* m_store_set(PyObject* self, PyObject* const* a, Py_ssize_t n) {
    if (n != 2) return PyErr_Format(PyExc_TypeError, "set() takes 2 arguments");
    return store_set(self, a[0], a[1]) ? Py_NewRef(self) : nullptr;
}

PyObject* m_store_get(PyObject* self, PyObject* const* a, Py_ssize_t n) {
    if (n != 1) return PyErr_Format(PyExc_TypeError, "get() takes 1 argument");
    return store_get(self, a[0]);
}

PyObject* m_envelope_init(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject*) {
    if (!envelope_init(g_plain, self, n > 0 ? a[0] : nullptr)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* m_envelope_put(PyObject* self, PyObject* const* a, Py_ssize_t n) {
    if (n != 2) return PyErr_Format(PyExc_TypeError, "put() takes 2 arguments");
    return store_set(as_base(self)->first, a[0], a[1]) ? Py_NewRef(self) : nullptr;
}

PyObject* m_envelope_nest(PyObject* self, PyObject* const* a, Py_ssize_t n) {
    if (n != 1) return PyErr_Format(PyExc_TypeError, "nest() takes 1 argument");
    return envelope_nest(g_plain, self, a[0]);
}

template <auto F>
PyCFunction cfunc() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef store_methods[] = {
    {"__init__", cfunc<m_store_init>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"set", cfunc<m_store_set>(), METH_FASTCALL, nullptr},
    {"get", cfunc<m_store_get>(), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef envelope_methods[] = {
    {"__init__", cfunc<m_envelope_init>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"put", cfunc<m_envelope_put>(), METH_FASTCALL, nullptr},
    {"nest", cfunc<m_envelope_nest>(), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------ as the package's own functions

// BoundStore(data): the store filled from a dict of str keys, each key
// folded into `_key_map` and the items copied into `_data`.
PyObject* f_store_init(PyObject* const* a) {
    if (!store_init(a[0])) return nullptr;
    PyObject* data = a[1];
    if (data == Py_None) Py_RETURN_NONE;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(data, &pos, &k, &v)) {
        if (!str_key(k)) return nullptr;
        Ref n = fold(k);
        if (!n || PyDict_SetItem(as_base(a[0])->second, n.get(), k) < 0) return nullptr;
    }
    if (PyDict_Merge(as_base(a[0])->first, data, 1) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* f_store_set(PyObject* const* a) { return store_set(a[0], a[1], a[2]) ? Py_NewRef(a[0]) : nullptr; }
PyObject* f_store_get(PyObject* const* a) { return store_get(a[0], a[1]); }

PyObject* f_envelope_init(PyObject* const* a) {
    if (!envelope_init(g_bound, a[0], a[1] == Py_None ? nullptr : a[1])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* f_envelope_put(PyObject* const* a) {
    return store_set(as_base(a[0])->first, a[1], a[2]) ? Py_NewRef(a[0]) : nullptr;
}

PyObject* f_envelope_nest(PyObject* const* a) { return envelope_nest(g_bound, a[0], a[1]); }

constexpr Param p_key[] = {{"key", "str", Check::Str}};
constexpr Param p_key_value[] = {{"key", "str", Check::Str}, {"value", "Any"}};
constexpr Param p_existing[] = {{"existing", "'BoundStore | None'", Check::None, kNone}};
constexpr Param p_data[] = {{"data", "dict | None", Check::DictOrNone, kNone}};

const FuncDef bound_store[] = {
    {.name = "__init__", .kind = Kind::Method, .impl = f_store_init, .ret = "None", .params = p_data},
    {.name = "set", .kind = Kind::Method, .impl = f_store_set, .ret = "'BoundStore'", .params = p_key_value},
    {.name = "get", .kind = Kind::Method, .impl = f_store_get, .ret = "Any", .params = p_key},
};

const FuncDef bound_envelope[] = {
    {.name = "__init__", .kind = Kind::Method, .impl = f_envelope_init, .ret = "None", .params = p_existing},
    {.name = "put", .kind = Kind::Method, .impl = f_envelope_put, .ret = "'BoundEnvelope'", .params = p_key_value},
    {.name = "nest", .kind = Kind::Method, .impl = f_envelope_nest, .ret = "'BoundEnvelope'", .params = p_key},
};

// ------------------------------------------------------------ the module

// `class name(Base)` with the given members.
Ref make_class(const char* name, PyObject* module_name, PyObject* base, PyMethodDef* methods,
               std::span<const FuncDef> functions) {
    Ref bases = Ref::steal(PyTuple_Pack(1, base));
    ClassBody body(name, module_name);
    if (!bases || !body.prepare(reinterpret_cast<PyObject*>(&PyType_Type), bases.get(), "Benchmark floor.") ||
        !body.add_all(functions))
        return {};
    Ref cls = body.create();
    if (!cls) return {};
    for (PyMethodDef* m = methods; m && m->ml_name; ++m) {
        Ref d = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.get()), m));
        if (!d || PyObject_SetAttrString(cls.get(), m->ml_name, d.get()) < 0) return {};
    }
    return cls;
}

int exec(PyObject* module) {
    if (!begin_exec(once, module)) return -1;
    if (!intern_names({{&s_data, "_data"}, {&s_key_map, "_key_map"}})) return -1;
    PyObject* globals = PyModule_GetDict(module);
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref base = Ref::steal(PyType_FromModuleAndSpec(module, &base_type, nullptr));
    if (!module_name || !base) return -1;
    PyObject* m = module_name.get();
    const Ref classes[] = {
        make_class("Store", m, base.get(), store_methods, {}),
        make_class("Envelope", m, base.get(), envelope_methods, {}),
        make_class("BoundStore", m, base.get(), nullptr, bound_store),
        make_class("BoundEnvelope", m, base.get(), nullptr, bound_envelope),
    };
    const char* names[] = {"Store", "Envelope", "BoundStore", "BoundEnvelope"};
    for (int i = 0; i < 4; ++i)
        if (!set_global(globals, names[i], classes[i])) return -1;
    // (the module keeps the classes)
    g_plain = {classes[0].get(), classes[1].get()};
    g_bound = {classes[2].get(), classes[3].get()};
    end_exec(once, module);
    return 0;
}

}  // namespace

KST_MODULE(_kst_floor, "Benchmark floor: the envelope's layout with no checks.", exec)
