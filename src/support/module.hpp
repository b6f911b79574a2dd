// Module initialisation and class creation shared by the extension modules.
//
// Each module is initialised once per process, in one interpreter: running
// its body again (importlib.reload, a fresh import after removal from
// sys.modules) raises RuntimeError, and loading it into another interpreter
// raises ImportError before any of its body runs.  Classes are made the way a
// class statement makes them: the metaclass's __prepare__, the namespace
// filled in order, then the metaclass called with name, bases and namespace.
#pragma once

#include "compat.hpp"
#include "function.hpp"

#include <initializer_list>

namespace kst {

struct ModuleOnce {
    const char* name;       // the module's short name, for messages
    std::int64_t interp = -1;
    bool done = false;
};

// The interpreter marks an executed module by giving it a (here empty) state
// block, and importlib.reload of a marked module skips the exec slot without
// a word.  Dropping the mark lets a reload reach the exec slot, which then
// refuses it with the re-initialisation error.  Where the module object's
// layout is not the expected one, the mark stays (reload then does nothing).
inline void drop_exec_mark(PyObject* module) {
    if (void** field = compat::module_state_field(module)) {
        PyMem_Free(*field);
        *field = nullptr;
    }
}

// Call first in the exec slot; false (with an exception set) means stop.
inline bool begin_exec(ModuleOnce& once, PyObject* module) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return false;
    if (once.interp >= 0 && once.interp != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return false;
    }
    if (once.done) {
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     once.name);
        drop_exec_mark(module);  // every later reload is refused too
        return false;
    }
    once.interp = id;
    return compat::check_instance_dict_slot();
}

// Call when the body has run to its end.
inline void end_exec(ModuleOnce& once, PyObject* module) {
    once.done = true;
    compat::probe_module_state_field(module);
    drop_exec_mark(module);
}

// `from <module> import <name>`, at the given import level, with the module's
// globals for resolving a relative import.  A missing name raises ImportError
// "cannot import name <name>".
inline Ref import_from(PyObject* globals, const char* module, const char* name, int level = 0) {
    Ref mod_name = Ref::steal(PyUnicode_FromString(module));
    Ref attr = Ref::steal(PyUnicode_FromString(name));
    if (!mod_name || !attr) return {};
    Ref fromlist = Ref::steal(PyTuple_Pack(1, attr.get()));
    if (!fromlist) return {};
    Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(mod_name.get(), globals, nullptr, fromlist.get(), level));
    if (!mod) return {};
    PyObject* value = nullptr;
    int found = PyObject_GetOptionalAttr(mod.get(), attr.get(), &value);
    if (found < 0) return {};
    if (found == 0) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", attr.get());
        return {};
    }
    return Ref::steal(value);
}

// Binds a module global; false on error.
inline bool set_global(PyObject* globals, const char* name, const Ref& value) {
    return value && PyDict_SetItemString(globals, name, value.get()) == 0;
}

// Looks up a module-level name at call time, raising NameError like Python.
inline Ref global(PyObject* globals, PyObject* name) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(globals, name, &v) == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::steal(v);
}

// A class namespace being filled in order.
class ClassBody {
public:
    ClassBody(const char* name, PyObject* module_name) : name_(name), module_name_(module_name) {}

    // Asks the metaclass for the namespace and puts __module__, __qualname__
    // and __doc__ into it.
    bool prepare(PyObject* meta, PyObject* bases, const char* doc) {
        meta_ = Ref::borrow(meta);
        bases_ = Ref::borrow(bases);
        name_obj_ = Ref::steal(PyUnicode_FromString(name_));
        if (!name_obj_) return false;
        Ref prepare = Ref::steal(PyObject_GetAttrString(meta, "__prepare__"));
        if (!prepare) return false;
        ns_ = Ref::steal(PyObject_CallFunctionObjArgs(prepare.get(), name_obj_.get(), bases, nullptr));
        if (!ns_) return false;
        Ref d = Ref::steal(PyUnicode_FromString(doc));
        return set("__module__", Ref::borrow(module_name_)) && set("__qualname__", name_obj_) && set("__doc__", d);
    }

    // The same for a plain class statement: metaclass `type`, no bases.
    bool prepare(const char* doc) {
        Ref no_bases = Ref::steal(PyTuple_New(0));
        return no_bases && prepare(reinterpret_cast<PyObject*>(&PyType_Type), no_bases.get(), doc);
    }

    bool set(const char* key, const Ref& value) {
        if (!value) return false;
        Ref k = Ref::steal(PyUnicode_InternFromString(key));
        return k && PyObject_SetItem(ns_.get(), k.get(), value.get()) == 0;
    }

    // Adds a member function, wrapped as its kind says (classmethod,
    // staticmethod and property taken from the builtins).
    bool add(const FuncDef& def) {
        Ref f = make_function(def, name_, module_name_);
        if (!f) return false;
        const char* wrapper = nullptr;
        switch (def.kind) {
            case Kind::Method: return set(def.name, f);
            case Kind::ClassMethod: wrapper = "classmethod"; break;
            case Kind::StaticMethod: wrapper = "staticmethod"; break;
            case Kind::Getter: wrapper = "property"; break;
        }
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        Ref wrap = Ref::steal(builtins ? PyObject_GetAttrString(builtins.get(), wrapper) : nullptr);
        if (!wrap) return false;
        return set(def.name, Ref::steal(PyObject_CallOneArg(wrap.get(), f.get())));
    }

    bool add_all(std::span<const FuncDef> defs) {
        for (const FuncDef& d : defs)
            if (!add(d)) return false;
        return true;
    }

    // Calls the metaclass with name, bases and namespace.
    Ref create() {
        return Ref::steal(PyObject_CallFunctionObjArgs(meta_.get(), name_obj_.get(), bases_.get(), ns_.get(), nullptr));
    }

private:
    const char* name_;
    PyObject* module_name_;
    Ref meta_, bases_, name_obj_, ns_;
};

// Calls obj.name(*args) through the method-call protocol.
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {}) {
    PyObject* stack[kMaxArgs + 1];
    stack[0] = obj;
    std::size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    return Ref::steal(PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls a callable with positional arguments.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}) {
    PyObject* stack[kMaxArgs + 1];
    std::size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace kst

// Defines the module's PyModuleDef and PyInit function: multi-phase, one exec
// function, no module state.
#define KST_MODULE(NAME, DOC, EXEC)                                                                          \
    static PyModuleDef_Slot NAME##_slots[] = {                                                               \
        {Py_mod_exec, reinterpret_cast<void*>(EXEC)},                                                        \
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},                                \
        {Py_mod_gil, kst::compat::kModGil ? Py_MOD_GIL_NOT_USED : Py_MOD_GIL_USED},                          \
        {0, nullptr},                                                                                        \
    };                                                                                                       \
    static PyModuleDef NAME##_def = {                                                                        \
        PyModuleDef_HEAD_INIT, #NAME, DOC, 0, nullptr, NAME##_slots, nullptr, nullptr, nullptr,             \
    };                                                                                                       \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&NAME##_def); }
