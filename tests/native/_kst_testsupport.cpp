// Test-only module: a class whose members exercise the shared binder, the
// parameter checks and the result checks.  Each member returns the tuple of
// its bound arguments (self/cls included), so tests see defaults and
// conversions.
#include "support/capi.hpp"
#include "support/dataclass_tree.hpp"
#include "support/json_text.hpp"
#include "support/module.hpp"

namespace {

using namespace kst;

ModuleOnce once{"_kst_testsupport"};

template <int N>
PyObject* echo(PyObject* const* a) {
    PyObject* t = PyTuple_New(N);
    if (!t) return nullptr;
    for (int i = 0; i < N; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(a[i]));
    return t;
}

PyObject* second(PyObject* const* a) { return Py_NewRef(a[1]); }

constexpr Param method_params[] = {{"a", "int"}, {"b", "Any", Check::None, kNone}};
constexpr Param cls_params[] = {{"key", "str", Check::Str}};
constexpr Param static_params[] = {
    {"x", nullptr}, {"count", "int", Check::Int, int_default(0)}, {"flag", "bool", Check::Bool, kFalse}};
constexpr Param typed_params[] = {{"key", "str", Check::Str}, {"data", "dict | None", Check::DictOrNone, kNone}};
constexpr Param order_params[] = {{"key", "str", Check::Str}, {"fallback", "int", Check::Int, int_default(0)}};
constexpr Param float_params[] = {{"value", "float", Check::Float, float_default(0.0)}};
constexpr Param exact_dict_params[] = {{"source", "dict", Check::Dict}};
constexpr Param value_params[] = {{"value", "Any"}};
constexpr Param pair_params[] = {
    {"key", "str", Check::Str}, {"other", "str", Check::Str}, {"extra", "int", Check::None, int_default(7)}};

const FuncDef members[] = {
    {.name = "method", .kind = Kind::Method, .impl = echo<3>, .ret = "tuple", .params = method_params,
     .doc = "An instance method with one optional parameter."},
    {.name = "klass", .kind = Kind::ClassMethod, .impl = echo<2>, .ret = "tuple", .params = cls_params},
    {.name = "static", .kind = Kind::StaticMethod, .impl = echo<3>, .params = static_params},
    {.name = "typed", .kind = Kind::Method, .impl = echo<3>, .params = typed_params},
    {.name = "order", .kind = Kind::Method, .impl = echo<3>, .params = order_params},
    {.name = "floating", .kind = Kind::Method, .impl = echo<2>, .params = float_params},
    {.name = "exact_dict", .kind = Kind::StaticMethod, .impl = echo<1>, .params = exact_dict_params},
    {.name = "as_str", .kind = Kind::Method, .impl = second, .ret = "str", .params = value_params,
     .result = Result::Str},
    {.name = "as_int", .kind = Kind::Method, .impl = second, .ret = "int", .params = value_params,
     .result = Result::Int},
    {.name = "as_list", .kind = Kind::Method, .impl = second, .params = value_params, .result = Result::List},
    {.name = "prop", .kind = Kind::Getter, .impl = echo<1>, .ret = "tuple"},
    {.name = "pair", .kind = Kind::Method, .impl = echo<4>, .ret = "tuple", .params = pair_params},
};

// The C interface of an imported package module, or nullptr with an error.
const ModuleInterface* interface_of(PyObject* module) {
    const ModuleInterface* api = import_interface<ModuleInterface>(module);
    if (!api) PyErr_Format(PyExc_LookupError, "%R exports no C interface of this version", module);
    return api;
}

// Report.shortcuts(module): the module's shortcut table, each row with
// whether it is armed now.
PyObject* shortcuts_impl(PyObject* const* a) {
    const ModuleInterface* api = interface_of(a[0]);
    return api ? api->report() : nullptr;
}

// Report.probes(module): the interpreter probes the module made at import.
PyObject* probes_impl(PyObject* const* a) {
    const ModuleInterface* api = interface_of(a[0]);
    return api ? api->probes() : nullptr;
}

constexpr Param module_params[] = {{"module", "ModuleType"}};

const FuncDef report_members[] = {
    {.name = "shortcuts", .kind = Kind::StaticMethod, .impl = shortcuts_impl, .params = module_params},
    {.name = "probes", .kind = Kind::StaticMethod, .impl = probes_impl, .params = module_params},
};

// Components.json_text(tree): the support layer's JSON writer on its own,
// the text json.dumps(tree, indent=4) would give, or None where it leaves
// the tree to json.dumps.
PyObject* json_text_impl(PyObject* const* a) {
    PyObject* text = write_json(a[0]);
    return text ? text : Py_NewRef(Py_None);
}

// Components.dataclass_tree(obj): the support layer's data-class conversion
// on its own (datetimes written by their isoformat method), or None where it
// leaves the instance to asdict.
DataclassTree g_tree;

PyObject* method_isoformat(PyObject* v) {
    static PyObject* name = intern("isoformat");
    return PyObject_CallMethodNoArgs(v, name);
}

bool start_tree() {
    PyDateTime_IMPORT;
    Ref dataclasses = Ref::steal(PyImport_ImportModule("dataclasses"));
    if (!PyDateTimeAPI || !dataclasses || !g_tree.intern()) return false;
    Ref field = Ref::steal(PyObject_GetAttrString(dataclasses.get(), "Field"));
    Ref marker = Ref::steal(field ? PyObject_GetAttrString(dataclasses.get(), "_FIELD") : nullptr);
    if (!marker) return false;
    PyObject* class_descr = compat::type_lookup(&PyBaseObject_Type, g_tree.class_name);
    if (!PyType_Check(field.get()) || !class_descr) {
        PyErr_SetString(PyExc_ImportError, "dataclasses.Field or object.__class__ is not as expected");
        return false;
    }
    // (both kept for the process, as the module's own copy of dataclasses' names)
    g_tree.dc.field_type = reinterpret_cast<PyTypeObject*>(field.release());
    g_tree.dc.field_marker = marker.release();
    g_tree.dc.class_descr = class_descr;
    g_tree.datetime_type = PyDateTimeAPI->DateTimeType;
    g_tree.timezone_type = Py_TYPE(PyDateTime_TimeZone_UTC);
    g_tree.isoformat = method_isoformat;
    return true;
}

PyObject* dataclass_tree_impl(PyObject* const* a) {
    PyObject* tree = g_tree.convert(a[0]);
    return tree ? tree : Py_NewRef(Py_None);
}

constexpr Param tree_params[] = {{"tree", "Any"}};
constexpr Param obj_params[] = {{"obj", "Any"}};

const FuncDef component_members[] = {
    {.name = "json_text", .kind = Kind::StaticMethod, .impl = json_text_impl, .params = tree_params},
    {.name = "dataclass_tree", .kind = Kind::StaticMethod, .impl = dataclass_tree_impl, .params = obj_params},
};

int exec(PyObject* module) {
    if (!begin_exec(once, module)) return -1;
    PyObject* globals = PyModule_GetDict(module);
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return -1;
    ClassBody body("Probe", module_name.get());
    if (!body.prepare(reinterpret_cast<PyObject*>(&PyType_Type), bases.get(), "Binder probe.") ||
        !body.add_all(members))
        return -1;
    if (!set_global(globals, "Probe", body.create())) return -1;
    ClassBody report("Report", module_name.get());
    if (!report.prepare(reinterpret_cast<PyObject*>(&PyType_Type), bases.get(),
                        "The package modules' shortcut tables and interpreter probes.") ||
        !report.add_all(report_members) || !set_global(globals, "Report", report.create()))
        return -1;
    if (!start_tree()) return -1;
    ClassBody components("Components", module_name.get());
    if (!components.prepare(reinterpret_cast<PyObject*>(&PyType_Type), bases.get(),
                            "The support layer's components, called on their own.") ||
        !components.add_all(component_members) || !set_global(globals, "Components", components.create()))
        return -1;
    end_exec(once, module);
    return 0;
}

}  // namespace

KST_MODULE(_kst_testsupport, "Test-only binder probe.", exec)
