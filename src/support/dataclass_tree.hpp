// The plain data that serialize(dataclasses.asdict(obj)) makes of a
// data-class instance, built in one pass with no intermediate copies, where
// serialize is the envelope's conversion (lists and tuples to lists, dicts
// to dicts, datetimes to their isoformat() text).  It runs no code that
// asdict would run (attribute reads of plain instances, deep copies of
// immutable values), so it cannot be told apart, for these shapes:
//   - an instance whose type is a data class read by plain attribute access
//     (metaclass `type`, the generic getattr, the genuine __class__), whose
//     fields are read without descriptors other than slots;
//   - field values of the types asdict passes through (str, int, float,
//     bool, None, bytes, complex), exact datetimes that are naive or of a
//     fixed offset (asdict deep-copies them; the copy gives the same text),
//     exact lists, tuples and dicts of such values (dict keys of those
//     pass-through types: asdict would copy any other), and such instances.
// A null result with no error set means "not such a shape" (or a read that
// failed, whose error is dropped): the caller then takes the general road,
// which also reproduces the error with the standard library's own message.
// The caller checks that dataclasses is as the conversion knows it
// (stdlib::pin_asdict) and fills `dc` from it.
#pragma once

#include "compat.hpp"
#include "iterate.hpp"
#include "stdlib.hpp"

#include <datetime.h>

namespace kst {

struct DataclassTree {
    stdlib::Dataclasses dc;                        // what is known of dataclasses
    PyTypeObject* datetime_type = nullptr;         // datetime.datetime
    PyTypeObject* timezone_type = nullptr;         // datetime.timezone
    PyObject* (*isoformat)(PyObject*) = nullptr;  // the text of an exact datetime (a new reference)
    PyObject* fields_name = nullptr;               // "__dataclass_fields__"
    PyObject* class_name = nullptr;                // "__class__"

    // The names it reads; false with an error set.
    bool intern() {
        return intern_names({{&fields_name, "__dataclass_fields__"},
                             {&field_type_name_, "_field_type"},
                             {&name_, "name"},
                             {&class_name, "__class__"}});
    }

    // Types that asdict passes through and the conversion leaves as they are.
    static bool atomic(PyTypeObject* t) {
        return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
               t == Py_TYPE(Py_None) || t == &PyBytes_Type || t == &PyComplex_Type;
    }

    // The fields dict that dataclasses.fields(obj) reads, for an instance of
    // a data class read by plain attribute access (a new reference); null
    // without error otherwise.
    PyObject* fields_of(PyObject* obj) const {
        PyTypeObject* t = Py_TYPE(obj);
        if (!Py_IS_TYPE(t, &PyType_Type) || t->tp_getattro != PyObject_GenericGetAttr) return nullptr;
        if (compat::type_lookup(t, class_name) != dc.class_descr) return nullptr;
        Ref on_type = Ref::steal(compat::type_lookup_ref(t, fields_name));
        if (!on_type || !PyDict_CheckExact(on_type.get())) return nullptr;
        // fields() reads the name on the instance: an entry in its __dict__
        // comes before the class's plain dict.
        PyObject* f = PyObject_GetAttr(obj, fields_name);
        if (!f || !PyDict_CheckExact(f)) {
            PyErr_Clear();
            Py_XDECREF(f);
            return nullptr;
        }
        return f;
    }

    // Calls each(name, value) for the fields of a plain data-class instance
    // (its fields dict given), in order, reading each value as asdict does
    // and running no code; false where a field is not of that shape, a read
    // failed or `each` answered false.
    template <class Each>
    bool each_field(PyObject* obj, PyObject* fields, Each&& each) const {
        PyTypeObject* t = Py_TYPE(obj);
        return walk_dict_quiet(fields, [&](PyObject*, PyObject* f) {
            if (!Py_IS_TYPE(f, dc.field_type)) return false;
            Ref kind = Ref::steal(PyObject_GetAttr(f, field_type_name_));
            if (!kind) return false;
            if (kind.get() != dc.field_marker) return true;  // a pseudo-field
            Ref name = Ref::steal(PyObject_GetAttr(f, name_));
            if (!name || !PyUnicode_CheckExact(name.get())) return false;
            // getattr(obj, name) runs no code unless the class has a
            // descriptor other than a slot under that name.
            Ref d = Ref::steal(compat::type_lookup_ref(t, name.get()));
            if (d && !Py_IS_TYPE(d.get(), &PyMemberDescr_Type) &&
                (Py_TYPE(d.get())->tp_descr_get || Py_TYPE(d.get())->tp_descr_set))
                return false;
            Ref v = Ref::steal(PyObject_GetAttr(obj, name.get()));
            return v && each(name.get(), v.get());
        });
    }

    // serialize(asdict(obj)) for a data-class instance `obj`: a new
    // reference, or null with no error set where it is not of these shapes
    // (an error met on the way is dropped: the general road meets it again).
    PyObject* convert(PyObject* obj) const {
        Ref fields = Ref::steal(fields_of(obj));
        PyObject* r = nullptr;
        if (fields && !Py_EnterRecursiveCall(" while converting a nested value")) {
            r = instance(obj, fields.get());
            Py_LeaveRecursiveCall();
        }
        if (!r) PyErr_Clear();
        return r;
    }

private:
    // serialize(asdict(obj)) for a plain data-class instance, its fields dict
    // given; null (see above).
    PyObject* instance(PyObject* obj, PyObject* fields) const {
        Ref out = Ref::steal(compat::dict_sized_like(fields));  // sized as the general road sizes it
        if (!out) return nullptr;
        const bool ok = each_field(obj, fields, [&](PyObject* name, PyObject* v) {
            Ref conv = Ref::steal(value(v));
            return conv && PyDict_SetItem(out.get(), name, conv.get()) == 0;
        });
        return ok ? out.release() : nullptr;
    }

    // serialize(asdict's conversion of v) for a field value; null (see above).
    PyObject* value(PyObject* v) const {
        PyTypeObject* t = Py_TYPE(v);
        if (atomic(t)) return Py_NewRef(v);
        if (t == datetime_type) {
            PyObject* tz = PyDateTime_DATE_GET_TZINFO(v);
            return tz == Py_None || Py_IS_TYPE(tz, timezone_type) ? isoformat(v) : nullptr;
        }
        const bool seq = t == &PyList_Type || t == &PyTuple_Type, map = t == &PyDict_Type;
        Ref fields;
        if (!seq && !map && !(fields = Ref::steal(fields_of(v)))) return nullptr;
        if (Py_EnterRecursiveCall(" while converting a nested value")) return nullptr;
        PyObject* r = seq ? items(v) : map ? mapping(v) : instance(v, fields.get());
        Py_LeaveRecursiveCall();
        return r;
    }

    // Grown by appending, as the general road grows it.  (Each item read
    // with a strong reference, and each dict a step at a time, as another
    // thread may change them meanwhile.)
    PyObject* items(PyObject* seq) const {
        Ref out = Ref::steal(PyList_New(0));
        if (!out) return nullptr;
        const bool list = PyList_CheckExact(seq);
        for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
            Ref item = list ? compat::list_item(seq, i) : Ref::borrow_live(PyTuple_GET_ITEM(seq, i));
            Ref conv = Ref::steal(item ? value(item.get()) : nullptr);
            if (!conv || PyList_Append(out.get(), conv.get()) < 0) return nullptr;
        }
        return out.release();
    }

    PyObject* mapping(PyObject* d) const {
        Ref out = Ref::steal(compat::dict_sized_like(d));
        if (!out) return nullptr;
        const bool ok = walk_dict_quiet(d, [&](PyObject* k, PyObject* v) {
            if (!atomic(Py_TYPE(k))) return false;  // asdict would copy the key
            Ref conv = Ref::steal(value(v));
            return conv && PyDict_SetItem(out.get(), k, conv.get()) == 0;
        });
        return ok ? out.release() : nullptr;
    }

    PyObject* field_type_name_ = nullptr;  // "_field_type"
    PyObject* name_ = nullptr;             // "name"
};

}  // namespace kst
