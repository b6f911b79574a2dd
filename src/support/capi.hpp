// The C interface each module exports as the capsule `__kst_capi__`, the way
// datetime exports its own: a versioned record of what a sibling module or
// the test-support module may call directly.  A reader takes the record only
// when its version and size are the ones it was built with, and otherwise
// goes without (the general road, or no report).
#pragma once

#include "function.hpp"
#include "guard.hpp"

#include <cstdint>
#include <cstring>

namespace kst {

inline constexpr std::uint32_t kInterfaceVersion = 1;
inline constexpr const char* kInterfaceAttr = "__kst_capi__";

struct ModuleInterface {
    std::uint32_t version;
    std::uint32_t size;  // of the whole record (a module's own record extends this one)
    // The module's shortcut table as a report (see shortcut_report).
    PyObject* (*report)();
    // The interpreter probes this module made at import (see compat.hpp).
    PyObject* (*probes)();
};

// What kEnvelope may call of kDict without looking it up: the watcher hub it
// listens on, and the direct entries of the store members (Raw as `raw`).  A direct entry
// serves exactly the stores on which the attribute lookup would find kDict's
// own member (it answers 0 for any other, and the caller then calls the
// member through the lookup).
struct KDictInterface {
    ModuleInterface base;
    WatchHub* hub;
    Direct has, set, add, remove, get, raw;
};

// Binds `record` to the module as its capsule (exec time).
inline bool export_interface(PyObject* module, ModuleInterface* record) {
    Ref name = Ref::steal(PyUnicode_FromFormat("%U.%s", Ref::steal(PyModule_GetNameObject(module)).get(),
                                               kInterfaceAttr));
    if (!name) return false;
    // (the capsule keeps its name pointer: the interned text lives for the process)
    PyObject* interned = name.release();
    PyUnicode_InternInPlace(&interned);
    Ref capsule = Ref::steal(PyCapsule_New(record, PyUnicode_AsUTF8(interned), nullptr));
    return capsule && PyModule_AddObjectRef(module, kInterfaceAttr, capsule.get()) == 0;
}

// The record of `module` when it is of this version and at least `size`
// bytes; nullptr (no exception) otherwise.
template <class Record>
const Record* import_interface(PyObject* module) {
    PyObject* capsule = nullptr;
    if (PyObject_GetOptionalAttrString(module, kInterfaceAttr, &capsule) <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    Ref owned = Ref::steal(capsule);
    if (!PyCapsule_CheckExact(capsule)) return nullptr;
    auto* r = static_cast<const ModuleInterface*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
    if (!r) {
        PyErr_Clear();
        return nullptr;
    }
    if (r->version != kInterfaceVersion || r->size < sizeof(Record)) return nullptr;
    return reinterpret_cast<const Record*>(r);
}

}  // namespace kst
