// kestrune.utils.kState: the IntEnum of statuses with display labels.
#include "support/module.hpp"
#include "support/watch.hpp"

namespace {

using namespace kst;

ModuleOnce once{"kState"};
PyObject* s_name;   // "name"
PyObject* s_name_;  // "_name_"
PyObject* s_fget;   // "fget"
PyObject* s_get;    // "__get__"

// display_name reads self.name: the enumeration's `name` descriptor, whose
// __get__ (Python code) calls its fget (Python code), which returns
// self._name_.  While every piece of that is the original one, the getter
// reads self._name_ itself and skips the two Python calls:
// - the member's class is kState, unchanged (its version tag covers its own
//   and its bases' attributes: `name` is still the descriptor found at
//   initialisation, attribute access is still the generic one);
// - the descriptor's class is unchanged (its __get__ is the same function,
//   no class-level `fget`), and that __get__ and the fget still have their
//   original code objects;
// - the descriptor's own `fget` attribute is still that function (its
//   __dict__ is remembered under a dict watcher).
// Otherwise self.name is read the ordinary way.
struct Shortcut {
    PyTypeObject* cls = nullptr;        // kState
    PyObject* prop = nullptr;           // the `name` descriptor
    PyTypeObject* prop_type = nullptr;  // its class (enum.property)
    PyObject* get = nullptr;            // prop_type's __get__
    PyObject* get_code = nullptr;
    PyObject* fget = nullptr;
    PyObject* fget_code = nullptr;
    unsigned int cls_tag = 0;  // version tags under which the above held
    unsigned int prop_tag = 0;
    unsigned int bad_cls_tag = 0;  // ... and under which it was last found not to
    unsigned int bad_prop_tag = 0;
    bool ready = false;
} g;
DictMemo g_prop_dict;  // the descriptor's __dict__ while its fget is g.fget

// `name` looked up along the MRO of `tp`, as attribute access finds it
// (borrowed; nullptr when absent or on error, with the error cleared).
PyObject* lookup_mro(PyTypeObject* tp, PyObject* name) {
    PyObject* mro = tp->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return nullptr;
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) break;
        PyObject* v = nullptr;
        const int r = PyDict_GetItemRef(dict.get(), name, &v);
        Py_XDECREF(v);  // compared by identity only; the class dict keeps it
        if (r < 0) break;
        if (r > 0) return v;
    }
    PyErr_Clear();
    return nullptr;
}

// Checks the classes against what the shortcut relies on and records their
// version tags; false (no error) when something differs.
[[gnu::noinline]] bool classes_unchanged() {
    if (g.cls->tp_version_tag != 0 && g.cls->tp_version_tag == g.bad_cls_tag &&
        g.prop_type->tp_version_tag == g.bad_prop_tag)
        return false;
    if (!PyUnstable_Type_AssignVersionTag(g.cls) || !PyUnstable_Type_AssignVersionTag(g.prop_type)) return false;
    const bool ok = g.cls->tp_getattro == PyObject_GenericGetAttr && lookup_mro(g.cls, s_name) == g.prop &&
                    Py_TYPE(g.prop) == g.prop_type && lookup_mro(g.prop_type, s_fget) == nullptr &&
                    lookup_mro(g.prop_type, s_get) == g.get;
    (ok ? g.cls_tag : g.bad_cls_tag) = g.cls->tp_version_tag;
    (ok ? g.prop_tag : g.bad_prop_tag) = g.prop_type->tp_version_tag;
    if (!ok) g.cls_tag = g.prop_tag = 0;
    return ok;
}

// Whether the descriptor's fget is still the original function; remembers
// its __dict__ when it is.
[[gnu::noinline]] bool fget_unchanged(PyObject* dict) {
    PyObject* f = nullptr;
    if (PyDict_GetItemRef(dict, s_fget, &f) < 0) {
        PyErr_Clear();
        return false;
    }
    Py_XDECREF(f);
    if (f != g.fget) return false;
    g_prop_dict.remember(dict, g.fget, nullptr);
    return true;
}

bool shortcut_applies(PyObject* self) {
    if (!g.ready || Py_TYPE(self) != g.cls) return false;
    if ((g.cls->tp_version_tag != g.cls_tag || g.prop_type->tp_version_tag != g.prop_tag || g.cls_tag == 0) &&
        !classes_unchanged())
        return false;
    if (PyFunction_GET_CODE(g.get) != g.get_code || PyFunction_GET_CODE(g.fget) != g.fget_code) return false;
    PyObject* dict = PyObject_GenericGetDict(g.prop, nullptr);
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    const bool ok = g_prop_dict.find(dict) || fget_unchanged(dict);
    Py_DECREF(dict);
    return ok;
}

// Records the pieces the shortcut depends on; leaves it off (no error)
// when the enumeration is not built as expected.
bool prepare_shortcut(PyObject* cls) {
    if (!g_prop_dict.start()) return false;
    g.cls = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
    PyObject* prop = lookup_mro(g.cls, s_name);
    Ref enum_name = Ref::steal(PyUnicode_FromString("enum"));
    Ref enum_module = Ref::steal(enum_name ? PyImport_GetModule(enum_name.get()) : nullptr);
    Ref enum_property;
    if (enum_module) enum_property = Ref::steal(PyObject_GetAttrString(enum_module.get(), "property"));
    PyErr_Clear();
    if (!prop || !enum_property || reinterpret_cast<PyObject*>(Py_TYPE(prop)) != enum_property.get()) return true;
    g.prop = Py_NewRef(prop);
    g.prop_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(Py_TYPE(prop)));
    PyObject* get = lookup_mro(g.prop_type, s_get);
    Ref dict = Ref::steal(PyObject_GenericGetDict(prop, nullptr));
    PyObject* fget = nullptr;
    if (dict && PyDict_GetItemRef(dict.get(), s_fget, &fget) < 0) fget = nullptr;
    Ref owned_fget = Ref::steal(fget);
    PyErr_Clear();
    if (!get || !PyFunction_Check(get) || !fget || !PyFunction_Check(fget)) return true;
    // fget must be the plain `return self._name_`: one argument, one name.
    Ref names = Ref::steal(PyObject_GetAttrString(PyFunction_GET_CODE(fget), "co_names"));
    PyErr_Clear();
    if (!names || !PyTuple_Check(names.get()) || PyTuple_GET_SIZE(names.get()) != 1 ||
        PyUnicode_Compare(PyTuple_GET_ITEM(names.get(), 0), s_name_) != 0) {
        PyErr_Clear();
        return true;
    }
    g.get = Py_NewRef(get);
    g.get_code = Py_NewRef(PyFunction_GET_CODE(get));
    g.fget = owned_fget.release();
    g.fget_code = Py_NewRef(PyFunction_GET_CODE(g.fget));
    g.ready = classes_unchanged() && fget_unchanged(dict.get());
    return true;
}

// display_name: the member's name, as the enumeration stores it.
PyObject* display_name(PyObject* const* a) {
    if (shortcut_applies(a[0])) return PyObject_GetAttr(a[0], s_name_);
    return PyObject_GetAttr(a[0], s_name);
}

const FuncDef display_name_def{
    .name = "display_name",
    .kind = Kind::Getter,
    .impl = display_name,
    .ret = "str",
    .result = Result::Str,
    .doc = "Return the display label used by external callers.",
};

int exec(PyObject* module) {
    if (!begin_exec(once, module)) return -1;
    PyObject* globals = PyModule_GetDict(module);
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    s_name = intern("name");
    s_name_ = intern("_name_");
    s_fget = intern("fget");
    s_get = intern("__get__");
    if (!module_name || !s_name || !s_name_ || !s_fget || !s_get) return -1;

    Ref int_enum = import_from(globals, "enum", "IntEnum");
    if (!set_global(globals, "IntEnum", int_enum)) return -1;

    Ref bases = Ref::steal(PyTuple_Pack(1, int_enum.get()));
    if (!bases) return -1;
    ClassBody body("kState", module_name.get());
    if (!body.prepare(reinterpret_cast<PyObject*>(Py_TYPE(int_enum.get())), bases.get(),
                      "Python equivalent of the shared kState enum."))
        return -1;
    if (!body.set("open", Ref::steal(PyLong_FromLong(1))) || !body.set("hold", Ref::steal(PyLong_FromLong(2))) ||
        !body.set("closed", Ref::steal(PyLong_FromLong(3))) || !body.add(display_name_def))
        return -1;
    Ref cls = body.create();
    if (!cls || !PyType_Check(cls.get()) || !prepare_shortcut(cls.get())) return -1;
    if (!set_global(globals, "kState", cls)) return -1;
    end_exec(once, module);
    return 0;
}

}  // namespace

KST_MODULE(kState, "Status enumeration helpers.", exec)
