// kestrune.utils.kState: the IntEnum of statuses with display labels.
#include "support/capi.hpp"
#include "support/module.hpp"
#include "support/stdlib.hpp"

namespace {

using namespace kst;

ModuleOnce once{"kState"};
PyObject* s_name;   // "name"
PyObject* s_name_;  // "_name_"
PyObject* s_fget;   // "fget"
PyObject* s_get;    // "__get__"

// display_name: the member's name, as the enumeration stores it.
PyObject* display_name(PyObject* const* a);

const FuncDef display_name_def{
    .name = "display_name",
    .kind = Kind::Getter,
    .impl = display_name,
    .ret = "str",
    .result = Result::Str,
    .doc = "Return the display label used by external callers.",
};

// --------------------------------------------------------------- shortcuts
// display_name reads self.name: the enumeration's `name` descriptor, whose
// __get__ (Python code) calls its fget (Python code), which returns
// self._name_.  While every piece of that is the original one, the getter
// reads self._name_ itself and skips the two Python calls:
// - the member's class is kState, unchanged (ClassGuard: `name` is still the
//   descriptor found at initialisation, attribute access still the generic
//   one; the class's version tag covers its bases);
// - the descriptor's class is unchanged (ClassGuard: its __get__ is the same
//   function, no class-level `fget`), and that __get__ and the fget still
//   have their original code objects;
// - the descriptor's own `fget` attribute is still that function (its
//   __dict__ remembered while unwritten).

stdlib::EnumName g;
PyObject* g_get_code = nullptr;
PyObject* g_fget_code = nullptr;
ClassGuard g_class;      // kState
ClassGuard g_prop_type;  // enum.property
InstanceMemo g_prop_dict;  // the descriptor's __dict__ while its fget is g.fget

bool class_as_made(PyTypeObject* t) {
    return t->tp_getattro == PyObject_GenericGetAttr && stdlib::lookup_mro(t, s_name) == g.prop &&
           Py_TYPE(g.prop) == g.prop_type;
}
bool prop_type_as_made(PyTypeObject* t) {
    return stdlib::lookup_mro(t, s_fget) == nullptr && stdlib::lookup_mro(t, s_get) == g.get;
}

// Whether the descriptor's __dict__ still holds the original fget: the
// last answer stands while that dict is unwritten (on the free-threaded
// build, each thread keeps what it last found).
KST_PER_THREAD DictSeen g_fget_seen;

bool fget_unchanged() {
    if (g_prop_dict.still(g.prop, g_fget_seen)) return true;
    Ref fget, none;
    DictSeen seen;
    const int got = g_prop_dict.take(g.prop, fget, none, &seen, [](PyObject* dict, PyObject*& a, PyObject*&) {
        a = quiet_entry(dict, s_fget);
        return a == g.fget;
    });
    if (got <= 0) {
        if (got < 0) PyErr_Clear();  // (a failed allocation: the general road meets it again)
        return false;
    }
    g_fget_seen = seen;
    return true;
}

bool shortcut_applies(PyObject* self) {
    if (!g.prop || !g_class.holds(Py_TYPE(self)) || !g_prop_type.holds(g.prop_type)) return false;
    if (PyFunction_GET_CODE(g.get) != g_get_code || PyFunction_GET_CODE(g.fget) != g_fget_code) return false;
    return fget_unchanged();
}

bool name_armed() {
    PyObject* member = g_class.type() ? stdlib::lookup_mro(g_class.type(), intern("open")) : nullptr;
    return member && shortcut_applies(member);
}

const Shortcut shortcuts[] = {
    {"name", "self.name enum.property.__get__ Enum.name.fget",
     "member:kState.name getattribute:kState pin:enum.property.__get__ pin:enum.Enum.name.fget pin:enum.Enum.name "
     "hub",
     name_armed},
};

// Records the pieces the shortcut depends on; leaves it off (no error)
// when the enumeration is not built as expected.
bool prepare_shortcut(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!stdlib::probe_enum_name(type, g)) return true;
    g_get_code = Py_NewRef(PyFunction_GET_CODE(g.get));
    g_fget_code = Py_NewRef(PyFunction_GET_CODE(g.fget));
    return g_class.start(type, class_as_made, module_hub()) &&
           g_prop_type.start(g.prop_type, prop_type_as_made, module_hub()) && g_prop_dict.start(module_hub());
}

PyObject* display_name(PyObject* const* a) {
    if (shortcut_applies(a[0])) return PyObject_GetAttr(a[0], s_name_);
    return PyObject_GetAttr(a[0], s_name);
}

PyObject* report() { return shortcut_report(shortcuts); }

ModuleInterface g_interface = {kInterfaceVersion, sizeof(ModuleInterface), report, compat::probe_report};

int exec(PyObject* module) {
    if (!begin_exec(once, module)) return -1;
    PyObject* globals = PyModule_GetDict(module);
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name || !intern_names({{&s_name, "name"}, {&s_name_, "_name_"}, {&s_fget, "fget"}, {&s_get, "__get__"}}))
        return -1;

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
    start_module_hub();
    if (!cls || !PyType_Check(cls.get()) || !prepare_shortcut(cls.get())) return -1;
    if (!set_global(globals, "kState", cls) || !export_interface(module, &g_interface)) return -1;
    end_exec(once, module);
    return 0;
}

}  // namespace

KST_MODULE(kState, "Status enumeration helpers.", exec)
