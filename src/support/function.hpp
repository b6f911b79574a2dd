// Native function objects that look and bind like Python functions.
//
// Every member of the classes is one Function: a callable with vectorcall, a
// method descriptor (binds to instances like a Python function), carrying
// __name__, __qualname__, __module__, __doc__, __annotations__ (annotation
// texts), __defaults__, __kwdefaults__, __dict__ and a lazily built
// __signature__.  Arguments are bound by one table-driven binder that raises
// the interpreter's standard messages and applies the parameter checks.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>

namespace kst {

// How the function sits in its class.
enum class Kind : std::uint8_t {
    Method,        // instance method: args[0] is self
    ClassMethod,   // wrapped in classmethod: args[0] is cls
    StaticMethod,  // wrapped in staticmethod: no leading argument
    Getter,        // wrapped in property: args[0] is self
};

// Check applied to a parameter when the call is bound.  Conversions (Int,
// Bool, Float) replace the argument and run first, then the exact-type tests,
// each group in parameter order.
enum class Check : std::uint8_t {
    None,
    Str,         // exactly str
    Dict,        // exactly dict
    DictOrNone,  // exactly dict, or None
    Int,         // exact int kept; any other number converted with int()
    Bool,        // replaced by its truth value
    Float,       // converted by the C-level float conversion
};

// Check applied to the value a function returns.
enum class Result : std::uint8_t { Any, Str, Dict, List, Int };

struct Default {
    enum Tag : std::uint8_t { Required, None, False, Int, Float } tag = Required;
    double number = 0;
};
inline constexpr Default kNone{Default::None};
inline constexpr Default kFalse{Default::False};
constexpr Default int_default(long v) { return {Default::Int, static_cast<double>(v)}; }
constexpr Default float_default(double v) { return {Default::Float, v}; }

struct Param {
    const char* name;
    const char* annotation;  // annotation text, or nullptr
    Check check = Check::None;
    Default dflt = {};
};

// Receives the bound arguments: self/cls first where the kind has one, then
// every parameter (defaults filled in).  Returns a new reference or nullptr.
using Impl = PyObject* (*)(PyObject* const* args);

// A member's direct entry, for a sibling module that calls the member
// without the binder or the attribute lookup (see capi.hpp): 1 with *result
// set (a new reference), -1 with an exception set, 0 when the entry does not
// serve this object (the caller then calls the member through the lookup).
using Direct = int (*)(PyObject* const* args, PyObject** result);

struct FuncDef {
    const char* name;
    Kind kind;
    Impl impl;
    const char* ret = nullptr;  // return annotation text
    std::span<const Param> params = {};
    Result result = Result::Any;
    const char* doc = nullptr;
};

inline constexpr int kMaxArgs = 8;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;  // tuple, or nullptr when there are none
    PyObject* dict;
    PyObject* signature;  // built on first request
    PyObject* weakrefs;
    PyObject* argnames[kMaxArgs];  // interned names, self/cls included
    std::uint8_t nargs_total;      // parameters including self/cls
    std::uint8_t nrequired;        // leading parameters without default
    bool converts;                 // some parameter has a conversion check
    bool tests;                    // some parameter has a type test
    std::uint8_t first_convert;    // slot of the first converted parameter (nargs_total: none)
    bool defaults_fixed;           // each converted parameter's default converts to itself
    std::uint8_t str_slots;        // bit j set: slot j is tested to be exactly str
    bool other_tests;              // some parameter has a type test other than Str
};

// ---------------------------------------------------------------- messages

// The name shown for a type in messages: its __name__.
inline Ref type_name(PyTypeObject* t) { return Ref::steal(PyType_GetName(t)); }

// Raises TypeError(message), with a note when `note` is given (as add_note
// would attach it: a one-element __notes__ list).
inline void raise_type_error(PyObject* message, const char* note) {
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message));
    if (!exc) return;
    if (note) {
        Ref text = Ref::steal(PyUnicode_FromString(note));
        Ref notes = Ref::steal(text ? PyList_New(1) : nullptr);
        if (!notes) return;
        PyList_SET_ITEM(notes.get(), 0, text.release());
        if (PyObject_SetAttrString(exc.get(), "__notes__", notes.get()) < 0) return;
    }
    PyErr_SetRaisedException(exc.release());
}

// TypeError for an argument of the wrong type; returns nullptr.
Py_NO_INLINE inline PyObject* arg_type_error(PyObject* obj, const char* param, PyTypeObject* expected) {
    Ref got = type_name(Py_TYPE(obj));
    Ref want = type_name(expected);
    if (!got || !want) return nullptr;
    Ref message = Ref::steal(PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200U, got %.200U)",
                                                  param, want.get(), got.get()));
    if (!message) return nullptr;
    const bool subclass = PyObject_TypeCheck(obj, expected);
    raise_type_error(message.get(),
                     subclass ? "Subclasses of built-in types are not accepted; pass an exact instance of the "
                                "built-in type."
                              : nullptr);
    return nullptr;
}

// Exact type test of one argument (None allowed when allow_none).
inline bool check_exact(PyObject* obj, const char* param, PyTypeObject* expected, bool allow_none = false) {
    if (Py_IS_TYPE(obj, expected) || (allow_none && obj == Py_None)) return true;
    arg_type_error(obj, param, expected);
    return false;
}
inline bool check_str(PyObject* obj, const char* param) { return check_exact(obj, param, &PyUnicode_Type); }

// TypeError for a result of the wrong type; returns nullptr.
Py_NO_INLINE inline PyObject* result_type_error(PyObject* obj, PyTypeObject* expected) {
    Ref got = type_name(Py_TYPE(obj));
    Ref want = type_name(expected);
    if (got && want) PyErr_Format(PyExc_TypeError, "Expected %U, got %.200U", want.get(), got.get());
    return nullptr;
}

// An int result that is not an exact int: int() of a number, else the error.
Py_NO_INLINE inline PyObject* int_result(PyObject* r) {
    Ref owned = Ref::steal(r);
    if (PyNumber_Check(r)) return PyNumber_Long(r);
    return result_type_error(r, &PyLong_Type);
}

// Applies a Result check to a new reference, consuming it.
inline PyObject* check_result(Result kind, PyObject* r) {
    if (!r) return nullptr;
    Ref owned = Ref::steal(r);
    PyTypeObject* want = nullptr;
    switch (kind) {
        case Result::Any: return owned.release();
        case Result::Str: want = &PyUnicode_Type; break;
        case Result::Dict: want = &PyDict_Type; break;
        case Result::List: want = &PyList_Type; break;
        case Result::Int: return PyLong_CheckExact(r) ? owned.release() : int_result(owned.release());
    }
    if (Py_IS_TYPE(r, want) || r == Py_None) return owned.release();
    return result_type_error(r, want);
}

// Conversion for an `int` parameter: exact int kept, other numbers int()-ed.
inline Ref convert_int(PyObject* obj, const char* param) {
    if (PyLong_CheckExact(obj)) return Ref::borrow(obj);
    if (PyNumber_Check(obj)) return Ref::steal(PyNumber_Long(obj));
    arg_type_error(obj, param, &PyLong_Type);
    return {};
}

// Conversion for a `float` parameter (numbers and objects with __float__ or
// __index__; text is refused with the interpreter's TypeError).
inline Ref convert_float(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return Ref::borrow(obj);
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return {};
    return Ref::steal(PyFloat_FromDouble(v));
}

inline Ref convert_bool(PyObject* obj) {
    int t = PyObject_IsTrue(obj);
    if (t < 0) return {};
    return boolean(t);
}

// ------------------------------------------------------------------ binding

inline const char* func_name(const Function* f) { return f->def->name; }

Py_NO_INLINE inline PyObject* count_error(const Function* f, Py_ssize_t given) {
    const Py_ssize_t total = f->nargs_total, required = f->nrequired;
    const char* how;
    Py_ssize_t expected;
    if (required == total) {
        how = "exactly";
        expected = total;
    } else if (given < required) {
        how = "at least";
        expected = required;
    } else {
        how = "at most";
        expected = total;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func_name(f), how,
                 expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

// Index of a keyword among the parameter names, -1 if none matches, -2 on error.
inline int keyword_index(const Function* f, PyObject* key) {
    for (int j = 0; j < f->nargs_total; ++j)
        if (f->argnames[j] == key) return j;
    for (int j = 0; j < f->nargs_total; ++j) {
        int eq = PyUnicode_Compare(f->argnames[j], key);
        if (eq == 0) return j;
        if (eq == -1 && PyErr_Occurred()) return -2;
    }
    return -1;
}

// Binds a general call into slots[0..nargs_total).  Borrowed references.
inline bool bind(const Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const int total = f->nargs_total;
    if (nargs > total) {
        count_error(f, nargs);
        return false;
    }
    for (Py_ssize_t j = 0; j < total; ++j) slots[j] = j < nargs ? args[j] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, i);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_name(f));
                return false;
            }
            int j = keyword_index(f, key);
            if (j == -2) return false;
            if (j < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_name(f), key);
                return false;
            }
            if (slots[j]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func_name(f), key);
                return false;
            }
            slots[j] = args[nargs + i];
        }
    }
    const int first_default = f->nrequired;
    for (int j = static_cast<int>(nargs); j < total; ++j) {
        if (slots[j]) continue;
        if (j < first_default) {
            count_error(f, j);
            return false;
        }
        slots[j] = PyTuple_GET_ITEM(f->defaults, j - first_default);
    }
    return true;
}

// Runs the conversions (Int, Bool, Float) in place; converted arguments are
// kept alive in `owned`.
inline bool apply_conversions(const Function* f, PyObject** slots, Ref* owned) {
    const auto& params = f->def->params;
    const int lead = f->nargs_total - static_cast<int>(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        const int j = lead + static_cast<int>(i);
        Ref r;
        switch (params[i].check) {
            case Check::Int: r = convert_int(slots[j], params[i].name); break;
            case Check::Bool: r = convert_bool(slots[j]); break;
            case Check::Float: r = convert_float(slots[j]); break;
            default: continue;
        }
        if (!r) return false;
        slots[j] = r.get();
        owned[j] = std::move(r);
    }
    return true;
}

// Runs the exact-type tests (Str, Dict, DictOrNone).
inline bool apply_tests(const Function* f, PyObject* const* args) {
    const auto& params = f->def->params;
    const int lead = f->nargs_total - static_cast<int>(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        PyObject* a = args[lead + static_cast<int>(i)];
        bool ok = true;
        switch (params[i].check) {
            case Check::Str: ok = check_exact(a, params[i].name, &PyUnicode_Type); break;
            case Check::Dict: ok = check_exact(a, params[i].name, &PyDict_Type); break;
            case Check::DictOrNone: ok = check_exact(a, params[i].name, &PyDict_Type, true); break;
            default: break;
        }
        if (!ok) return false;
    }
    return true;
}

// apply_tests, with the common exact-str tests done from the slot mask (the
// ordered tests run when one fails, so the first failing parameter in order
// is the one reported).
Py_ALWAYS_INLINE inline bool quick_tests(const Function* f, PyObject* const* args) {
    for (unsigned m = f->str_slots; m; m &= m - 1)
        if (!PyUnicode_CheckExact(args[std::countr_zero(m)])) return apply_tests(f, args);
    return !f->other_tests || apply_tests(f, args);
}

// Runs the implementation under the recursion guard and applies the result
// check.  Native code calling back into Python (text forms, nested
// containers) must end in RecursionError, never exhaust the C stack.
Py_ALWAYS_INLINE inline PyObject* invoke(const Function* f, PyObject* const* bound) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* r = f->def->impl(bound);
    Py_LeaveRecursiveCall();
    return f->def->result == Result::Any ? r : check_result(f->def->result, r);
}

// Any call: keywords, missing arguments, conversions.
Py_NO_INLINE inline PyObject* function_vectorcall_general(Function* f, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    PyObject* slots[kMaxArgs];
    PyObject* const* bound = args;
    if (kwnames || nargs != f->nargs_total) {
        if (!bind(f, args, nargs, kwnames, slots)) return nullptr;
        bound = slots;
    }
    Ref owned[kMaxArgs];
    if (f->converts) {
        if (bound == args)
            for (Py_ssize_t j = 0; j < nargs; ++j) slots[j] = args[j];
        if (!apply_conversions(f, slots, owned)) return nullptr;
        bound = slots;
    }
    if (f->tests && !apply_tests(f, bound)) return nullptr;
    return invoke(f, bound);
}

// The common calls take a shorter road: positional arguments only, every
// parameter given or the trailing ones left to their defaults, and no
// conversion to run (none among the given arguments, and the defaults are
// already what their conversion would make of them).
inline PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<Function*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames || nargs > f->first_convert) return function_vectorcall_general(f, args, nargs, kwnames);
    const int total = f->nargs_total;
    if (nargs == total) {
        if (f->tests && !quick_tests(f, args)) return nullptr;
        return invoke(f, args);
    }
    if (nargs < f->nrequired || !f->defaults_fixed) return function_vectorcall_general(f, args, nargs, kwnames);
    PyObject* slots[kMaxArgs];
    // (a few pointers: element by element, not through a memcpy call)
    switch (nargs) {
        case 7: slots[6] = args[6]; [[fallthrough]];
        case 6: slots[5] = args[5]; [[fallthrough]];
        case 5: slots[4] = args[4]; [[fallthrough]];
        case 4: slots[3] = args[3]; [[fallthrough]];
        case 3: slots[2] = args[2]; [[fallthrough]];
        case 2: slots[1] = args[1]; [[fallthrough]];
        case 1: slots[0] = args[0]; [[fallthrough]];
        default: break;
    }
    // The missing trailing parameters take their defaults: the last one
    // first, since most such calls leave out one, then any others.
    PyObject* const* defaults = &PyTuple_GET_ITEM(f->defaults, 0);
    const int first_default = f->nrequired;
    slots[total - 1] = defaults[total - 1 - first_default];
    for (int j = static_cast<int>(nargs); j < total - 1; ++j) slots[j] = defaults[j - first_default];
    if (f->tests && !quick_tests(f, slots)) return nullptr;
    return invoke(f, slots);
}

// The commonest shapes get an entry of their own, chosen when the function
// is made: `Total` parameters (self/cls included), the first `Required` of
// them without default, and `Total - Required` at most one; no parameter
// converted, none tested but for being exactly a str.  A call passing
// positional arguments for the required parameters and perhaps the last
// one, goes straight to the type tests and the implementation; any other
// call (keywords, a wrong count) is left to the general road, which also
// words the error.
template <int Total, int Required>
PyObject* function_vectorcall_shaped(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static_assert(Total <= kMaxArgs && Required <= Total && Total - Required <= 1);
    auto* f = reinterpret_cast<Function*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames || nargs < Required || nargs > Total) [[unlikely]]
        return function_vectorcall_general(f, args, nargs, kwnames);
    PyObject* const* bound = args;
    PyObject* slots[Total];
    if constexpr (Required < Total) {
        if (nargs == Required) {
            // One pointer at a time: the implementation reads them one at a
            // time, and a load from part of a wider vector store can wait
            // for that store to retire instead of taking its data.
            for (int j = 0; j < Required; ++j) {
                PyObject* a = args[j];
                asm("" : "+r"(a));  // (keeps the compiler from merging the copies)
                slots[j] = a;
            }
            slots[Required] = PyTuple_GET_ITEM(f->defaults, 0);
            bound = slots;
        }
    }
    if (!quick_tests(f, bound)) return nullptr;
    return invoke(f, bound);
}

// The entry for a function of `total` parameters, `required` of them
// without default, when only exact-str tests apply to them.
inline vectorcallfunc shaped_entry(int total, int required) {
    switch (total * 8 + required) {
        case 1 * 8 + 1: return function_vectorcall_shaped<1, 1>;
        case 1 * 8 + 0: return function_vectorcall_shaped<1, 0>;
        case 2 * 8 + 2: return function_vectorcall_shaped<2, 2>;
        case 2 * 8 + 1: return function_vectorcall_shaped<2, 1>;
        case 3 * 8 + 3: return function_vectorcall_shaped<3, 3>;
        case 3 * 8 + 2: return function_vectorcall_shaped<3, 2>;
        case 4 * 8 + 4: return function_vectorcall_shaped<4, 4>;
        case 4 * 8 + 3: return function_vectorcall_shaped<4, 3>;
        default: return function_vectorcall;
    }
}

// ------------------------------------------------------------ the type

inline PyTypeObject*& function_type_slot() {
    static PyTypeObject* type = nullptr;
    return type;
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<Function*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->signature);
    return 0;
}

inline int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->signature);
    return 0;
}

inline void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<Function*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    for (int j = 0; j < kMaxArgs; ++j) Py_CLEAR(f->argnames[j]);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Pickled by reference, like a Python function: by its qualified name.
inline PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

inline PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->name); }
inline PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}
inline PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->doc); }
inline PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->annotations);
}
inline PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
inline PyObject* get_defaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<Function*>(self);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

// inspect.Signature carrying the annotation texts and defaults, built once.
inline PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<Function*>(self);
    // (set once, with release: another thread may be setting it)
    if (PyObject* built = compat::load_acquire(f->signature)) return Py_NewRef(built);
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref sig_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    Ref par_cls = Ref::steal(sig_cls ? PyObject_GetAttrString(inspect.get(), "Parameter") : nullptr);
    Ref kind = Ref::steal(par_cls ? PyObject_GetAttrString(par_cls.get(), "POSITIONAL_OR_KEYWORD") : nullptr);
    if (!kind) return nullptr;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;
    const int lead = f->nargs_total - static_cast<int>(f->def->params.size());
    for (int j = 0; j < f->nargs_total; ++j) {
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        if (j >= lead) {
            const Param& p = f->def->params[static_cast<std::size_t>(j - lead)];
            if (p.annotation) {
                Ref ann = Ref::steal(PyUnicode_FromString(p.annotation));
                if (!ann || PyDict_SetItemString(kwargs.get(), "annotation", ann.get()) < 0) return nullptr;
            }
            if (j >= f->nrequired &&
                PyDict_SetItemString(kwargs.get(), "default", PyTuple_GET_ITEM(f->defaults, j - f->nrequired)) < 0)
                return nullptr;
        }
        Ref args = Ref::steal(PyTuple_Pack(2, f->argnames[j], kind.get()));
        Ref p = Ref::steal(args ? PyObject_Call(par_cls.get(), args.get(), kwargs.get()) : nullptr);
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    if (f->def->ret) {
        Ref ret = Ref::steal(PyUnicode_FromString(f->def->ret));
        if (!ret || PyDict_SetItemString(kwargs.get(), "return_annotation", ret.get()) < 0) return nullptr;
    }
    Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
    Ref sig = Ref::steal(args ? PyObject_Call(sig_cls.get(), args.get(), kwargs.get()) : nullptr);
    if (!sig) return nullptr;
    // (the first one built is kept and returned, also when threads race to
    // build it)
    return compat::locked(self, [&] {
        if (!f->signature) compat::store_release(f->signature, Py_NewRef(sig.get()));
        return Py_NewRef(f->signature);
    });
}

// The namespace of the module the function belongs to, found in sys.modules
// when asked (typing.get_type_hints and inspect evaluate the annotation texts
// there); AttributeError while that module is not imported.
inline PyObject* get_globals(PyObject* self, void*) {
    auto* f = reinterpret_cast<Function*>(self);
    if (!f->module || !PyUnicode_Check(f->module)) {
        PyErr_Format(PyExc_AttributeError, "'%U' has no module name", f->qualname);
        return nullptr;
    }
    Ref mod = Ref::steal(PyImport_GetModule(f->module));
    if (!mod) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_AttributeError, "module '%S' of '%U' is not imported", f->module, f->qualname);
        return nullptr;
    }
    if (!PyModule_Check(mod.get())) {
        PyErr_Format(PyExc_AttributeError, "'%U' has no module namespace", f->qualname);
        return nullptr;
    }
    return Py_NewRef(PyModule_GetDict(mod.get()));
}

inline PyGetSetDef function_getset[] = {
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__annotate__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__text_signature__", get_none, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Creates the function type of this extension module (once per process).
inline PyTypeObject* function_type() {
    PyTypeObject*& type = function_type_slot();
    if (type) return type;
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
        {Py_tp_getset, function_getset},
        {Py_tp_members, function_members},
        {Py_tp_methods, function_methods},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "kestrune.utils.function",
        sizeof(Function),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return type;
}

inline Ref default_value(const Default& d) {
    switch (d.tag) {
        case Default::Int: return Ref::steal(PyLong_FromDouble(d.number));
        case Default::Float: return Ref::steal(PyFloat_FromDouble(d.number));
        case Default::False: return boolean(false);
        default: return none();
    }
}

// Whether the conversion of a parameter leaves its default as it is (an
// exact int for Int, True/False for Bool, an exact float for Float).
constexpr bool default_fixed(Check check, const Default& d) {
    switch (check) {
        case Check::Int: return d.tag == Default::Int;
        case Check::Bool: return d.tag == Default::False;
        case Check::Float: return d.tag == Default::Float;
        default: return true;
    }
}

// Makes the function object for `def`, a member of the class `owner`.
inline Ref make_function(const FuncDef& def, const char* owner, PyObject* module_name) {
    PyTypeObject* tp = function_type();
    if (!tp) return {};
    const int lead = (def.kind == Kind::StaticMethod) ? 0 : 1;
    const int total = lead + static_cast<int>(def.params.size());
    if (total > kMaxArgs) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
        return {};
    }
    Ref obj = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, tp)));
    if (!obj) return {};
    auto* f = reinterpret_cast<Function*>(obj.get());
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->name = f->qualname = f->module = f->doc = f->annotations = f->defaults = nullptr;
    f->dict = f->signature = f->weakrefs = nullptr;
    for (auto& n : f->argnames) n = nullptr;
    f->nargs_total = static_cast<std::uint8_t>(total);
    f->converts = f->tests = false;
    f->first_convert = static_cast<std::uint8_t>(total);
    f->defaults_fixed = true;
    f->str_slots = 0;
    f->other_tests = false;
    f->module = Py_NewRef(module_name);
    PyObject_GC_Track(obj.get());
    compat::defer_refcount(obj.get());

    f->name = intern(def.name);
    f->qualname = PyUnicode_FromFormat("%s.%s", owner, def.name);
    f->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    f->annotations = PyDict_New();
    if (!f->name || !f->qualname || !f->doc || !f->annotations) return {};
    if (lead) f->argnames[0] = intern(def.kind == Kind::ClassMethod ? "cls" : "self");
    if (lead && !f->argnames[0]) return {};

    int nrequired = lead;
    Ref defaults = Ref::steal(PyList_New(0));
    if (!defaults) return {};
    for (std::size_t i = 0; i < def.params.size(); ++i) {
        const Param& p = def.params[i];
        PyObject*& slot = f->argnames[lead + static_cast<int>(i)];
        slot = intern(p.name);
        if (!slot) return {};
        if (p.annotation) {
            Ref ann = Ref::steal(PyUnicode_FromString(p.annotation));
            if (!ann || PyDict_SetItem(f->annotations, slot, ann.get()) < 0) return {};
        }
        if (p.dflt.tag == Default::Required) {
            nrequired = lead + static_cast<int>(i) + 1;
        } else {
            Ref v = default_value(p.dflt);
            if (!v || PyList_Append(defaults.get(), v.get()) < 0) return {};
        }
        switch (p.check) {
            case Check::Int:
            case Check::Bool:
            case Check::Float:
                f->converts = true;
                f->first_convert = std::min(f->first_convert, static_cast<std::uint8_t>(lead + static_cast<int>(i)));
                if (p.dflt.tag != Default::Required && !default_fixed(p.check, p.dflt)) f->defaults_fixed = false;
                break;
            case Check::Str:
                f->tests = true;
                f->str_slots = static_cast<std::uint8_t>(f->str_slots | (1u << (lead + static_cast<int>(i))));
                break;
            case Check::Dict:
            case Check::DictOrNone: f->tests = f->other_tests = true; break;
            case Check::None: break;
        }
    }
    f->nrequired = static_cast<std::uint8_t>(nrequired);
    if (PyList_GET_SIZE(defaults.get()) > 0) {
        f->defaults = PyList_AsTuple(defaults.get());
        if (!f->defaults) return {};
    }
    if (!f->converts && !f->other_tests) f->vectorcall = shaped_entry(total, nrequired);
    if (def.ret) {
        Ref ann = Ref::steal(PyUnicode_FromString(def.ret));
        if (!ann || PyDict_SetItemString(f->annotations, "return", ann.get()) < 0) return {};
    }
    return obj;
}

}  // namespace kst
