// What the shortcuts know of the standard library's internals.
//
// Three shortcuts imitate standard-library code: the data-class conversion
// (dataclasses.asdict, with copy.deepcopy of the leaves), the JSON text
// (json.dumps with indent=4, through the C encoder) and the display name of
// an enumeration member (enum's `name` property).  Each is sound only while
// the names, functions and classes that code looks up are the ones it found
// at import.  The functions below pin them in a PinSet and record the outcome
// as a probe (compat::record_probe): a standard library that no longer looks
// as expected leaves the shortcut off, and the probe report says so.
#pragma once

#include "compat.hpp"
#include "guard.hpp"

#include <datetime.h>

#include <initializer_list>

namespace kst::stdlib {

// The namespace of a standard module, its lazy imports resolved (they would
// change it on first use); nullptr (error possibly set) on failure.
inline PyObject* module_dict(const char* name) {
    Ref m = Ref::steal(PyImport_ImportModule(name));
    if (!m || !PyModule_Check(m.get()) || !compat::resolve_lazy_imports(m.get())) return nullptr;
    return PyModule_GetDict(m.get());  // modules stay imported
}

// The builtins that the functions of the namespaces `modules` use, and no
// module-level name shadowing them.
inline bool pin_builtins(PinSet& g, PyObject* builtins, std::initializer_list<PyObject*> modules) {
    for (const char* name : {"type", "id", "issubclass", "getattr", "setattr", "isinstance", "hasattr", "tuple", "dict",
                             "list", "len", "float", "str", "repr", "zip", "ValueError", "TypeError"}) {
        if (!g.pin(builtins, name)) return false;
        PyObject* key = g.last_key();
        for (PyObject* d : modules)
            if (PyDict_Contains(d, key) != 0 || !g.pin_key(d, key, nullptr)) return false;
    }
    return g.watch(builtins);
}

// What the data-class conversion reads of dataclasses' internals.
struct Dataclasses {
    PyTypeObject* field_type = nullptr;  // dataclasses.Field
    PyObject* field_marker = nullptr;    // dataclasses._FIELD
    PyObject* class_descr = nullptr;     // object.__dict__['__class__']
};

// Pins dataclasses.asdict (the given objects must be the module's asdict and
// is_dataclass) and copy.deepcopy of a datetime; fills `out`.  false when
// the shortcut must stay off (an error possibly set: the caller clears it).
inline bool pin_asdict_inner(PinSet& g, PyObject* asdict, PyObject* is_dataclass, Dataclasses& out) {
    PyObject *dcd = module_dict("dataclasses"), *cpd = module_dict("copy"), *bi = module_dict("builtins");
    if (!dcd || !cpd || !bi) return false;
    for (const char* name : {"_asdict_inner", "_is_dataclass_instance", "fields", "_ATOMIC_TYPES", "copy"})
        if (!g.pin(dcd, name)) return false;
    if (g.pin(dcd, "asdict") != asdict || g.pin(dcd, "is_dataclass") != is_dataclass) return false;
    PyObject* fields_name = g.pin(dcd, "_FIELDS");
    if (!fields_name || !PyUnicode_CheckExact(fields_name) ||
        PyUnicode_CompareWithASCIIString(fields_name, "__dataclass_fields__") != 0)
        return false;
    out.field_marker = g.pin(dcd, "_FIELD");
    PyObject* field = g.pin(dcd, "Field");
    if (!out.field_marker || !field || !g.pin_type(field)) return false;
    out.field_type = reinterpret_cast<PyTypeObject*>(field);
    for (const char* name : {"deepcopy", "_reconstruct", "_keep_alive", "_atomic_types"})
        if (!g.pin(cpd, name)) return false;
    // deepcopy of a datetime: no copier registered for it or its tzinfo.
    for (const char* table : {"_deepcopy_dispatch", "dispatch_table"}) {
        PyObject* d = g.pin(cpd, table);
        if (!d || !PyDict_CheckExact(d) || !g.watch(d)) return false;
        for (PyTypeObject* t : {PyDateTimeAPI->DateTimeType, Py_TYPE(PyDateTime_TimeZone_UTC), PyDateTimeAPI->DeltaType}) {
            auto* key = reinterpret_cast<PyObject*>(t);
            if (PyDict_Contains(d, key) != 0 || !g.pin_key(d, key, nullptr)) return false;
        }
    }
    if (!pin_builtins(g, bi, {dcd, cpd}) || !g.watch(dcd) || !g.watch(cpd)) return false;
    out.class_descr = compat::type_lookup(&PyBaseObject_Type, intern("__class__"));
    return out.class_descr && g.ready();
}
inline bool pin_asdict(PinSet& g, PyObject* asdict, PyObject* is_dataclass, Dataclasses& out) {
    return compat::record_probe("dataclasses.asdict", pin_asdict_inner(g, asdict, is_dataclass, out));
}

// Pins json.dumps with the C encoder behind it; `dumps` receives the
// function.  false when the shortcut must stay off (error possibly set).
inline bool pin_json_dumps_inner(PinSet& g, PyObject* json, PyObject*& dumps) {
    PyObject *encd = module_dict("json.encoder"), *bi = module_dict("builtins");
    if (!PyModule_Check(json) || !encd || !bi || !compat::resolve_lazy_imports(json)) return false;
    PyObject* jd = PyModule_GetDict(json);
    dumps = g.pin(jd, "dumps");
    PyObject* encoder = g.pin(jd, "JSONEncoder");
    if (!dumps || !encoder || g.pin(encd, "JSONEncoder") != encoder || !g.pin_type(encoder)) return false;
    for (const char* name : {"__init__", "encode", "iterencode"}) {
        PyObject* fn = compat::type_lookup(reinterpret_cast<PyTypeObject*>(encoder), intern(name));
        if (!fn || !g.pin_function(fn)) return false;
    }
    // The C encoder and string escaper, which the native text imitates.
    PyObject* c_encoder = g.pin(encd, "c_make_encoder");
    if (!c_encoder || !g.pin_type(c_encoder)) return false;
    PyObject* c_escape = g.pin(encd, "encode_basestring_ascii");
    if (!c_escape || !PyCFunction_Check(c_escape) || !g.pin(encd, "encode_basestring")) return false;
    if (!pin_builtins(g, bi, {jd, encd}) || !g.watch(jd) || !g.watch(encd)) return false;
    return g.ready();
}
inline bool pin_json_dumps(PinSet& g, PyObject* json, PyObject*& dumps) {
    return compat::record_probe("json.dumps", pin_json_dumps_inner(g, json, dumps));
}

// `name` looked up along the MRO of `tp`, as attribute access finds it
// (borrowed; nullptr when absent, or on an error, which the general road
// meets again).
inline PyObject* lookup_mro(PyTypeObject* tp, PyObject* name) {
    PyObject* mro = tp->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return nullptr;
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) break;
        if (PyObject* v = quiet_entry(dict.get(), name)) return v;
    }
    PyErr_Clear();
    return nullptr;
}

// An enumeration member's `name`: the `name` descriptor of enum.Enum, an
// enum.property whose __get__ (Python code) calls its fget (Python code),
// which returns self._name_.
struct EnumName {
    PyObject* prop = nullptr;           // the `name` descriptor found on the class
    PyTypeObject* prop_type = nullptr;  // its class (enum.property)
    PyObject* get = nullptr;            // prop_type's __get__ (a function)
    PyObject* fget = nullptr;           // the descriptor's fget (a function)
};

// Finds those pieces for the enumeration `cls` (new references in `out`);
// false, with no error, when they are not as described.
inline bool probe_enum_name_inner(PyTypeObject* cls, EnumName& out) {
    PyObject* prop = lookup_mro(cls, intern("name"));
    Ref enum_module = Ref::steal(PyImport_ImportModule("enum"));
    Ref enum_property = Ref::steal(enum_module ? PyObject_GetAttrString(enum_module.get(), "property") : nullptr);
    PyErr_Clear();
    if (!prop || !enum_property || reinterpret_cast<PyObject*>(Py_TYPE(prop)) != enum_property.get()) return false;
    PyObject* get = lookup_mro(Py_TYPE(prop), intern("__get__"));
    Ref dict = Ref::steal(PyObject_GenericGetDict(prop, nullptr));
    PyObject* fget = dict ? quiet_entry(dict.get(), intern("fget")) : nullptr;
    PyErr_Clear();
    if (!get || !PyFunction_Check(get) || !fget || !PyFunction_Check(fget)) return false;
    // fget must be the plain `return self._name_`: one name read.
    Ref names = Ref::steal(PyObject_GetAttrString(PyFunction_GET_CODE(fget), "co_names"));
    PyErr_Clear();
    if (!names || !PyTuple_Check(names.get()) || PyTuple_GET_SIZE(names.get()) != 1 ||
        !PyUnicode_Check(PyTuple_GET_ITEM(names.get(), 0)) ||
        !PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(names.get(), 0), "_name_"))
        return false;
    out = {Py_NewRef(prop), reinterpret_cast<PyTypeObject*>(Py_NewRef(Py_TYPE(prop))), Py_NewRef(get),
           Py_NewRef(fget)};
    return true;
}
inline bool probe_enum_name(PyTypeObject* cls, EnumName& out) {
    return compat::record_probe("enum.name", probe_enum_name_inner(cls, out));
}

}  // namespace kst::stdlib
