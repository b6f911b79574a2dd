// kestrune.utils.kState: the IntEnum of statuses with display labels.
#include "support/module.hpp"

namespace {

using namespace kst;

ModuleOnce once{"kState"};
PyObject* s_name;  // "name"

// display_name: the member's name, as the enumeration stores it.
PyObject* display_name(PyObject* const* a) { return PyObject_GetAttr(a[0], s_name); }

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
    if (!module_name || !s_name) return -1;

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
    if (!set_global(globals, "kState", body.create())) return -1;
    end_exec(once, module);
    return 0;
}

}  // namespace

KST_MODULE(kState, "Status enumeration helpers.", exec)
