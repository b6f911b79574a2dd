// The text of a datetime written directly: what its isoformat() method
// gives (with 'T' between date and time, or ' ' as str() asks for), for the
// exact datetime class with no tzinfo or a fixed `timezone`.  Both classes
// are immutable, so nothing of theirs can be replaced; any other tzinfo gets
// the methods themselves.
#pragma once

#include "ref.hpp"
#include "text.hpp"

#include <datetime.h>

namespace kst::text {

// The classes and names the writer needs, taken in the exec function after
// PyDateTime_IMPORT.
struct DatetimeText {
    PyTypeObject* datetime_type = nullptr;
    PyTypeObject* timezone_type = nullptr;
    PyObject* utc = nullptr;        // datetime.timezone.utc
    PyObject* utcoffset = nullptr;  // "utcoffset", interned
    bool fixed = false;             // both classes immutable

    bool start() {
        if (!PyDateTimeAPI) return false;
        datetime_type = PyDateTimeAPI->DateTimeType;
        utc = PyDateTime_TimeZone_UTC;
        timezone_type = Py_TYPE(utc);
        utcoffset = intern("utcoffset");
        fixed = PyType_HasFeature(datetime_type, Py_TPFLAGS_IMMUTABLETYPE) &&
                PyType_HasFeature(timezone_type, Py_TPFLAGS_IMMUTABLETYPE) &&
                PyType_HasFeature(PyDateTimeAPI->DeltaType, Py_TPFLAGS_IMMUTABLETYPE);
        return utcoffset != nullptr;
    }

    // Whether `v` is a datetime whose text write() can give.
    bool applies(PyObject* v) const {
        if (!fixed || !Py_IS_TYPE(v, datetime_type)) return false;
        PyObject* tz = PyDateTime_DATE_GET_TZINFO(v);
        return tz == Py_None || Py_IS_TYPE(tz, timezone_type);
    }

    // Writes the text of `v` (applies(v) true) at `p`, which has room for
    // kMax characters; returns the end, or nullptr: with an error set when
    // asking the timezone failed, else the method must answer.
    static constexpr int kMax = 48;
    Py_NO_INLINE char* write(char* p, PyObject* v, char sep) const {
        PyObject* tz = PyDateTime_DATE_GET_TZINFO(v);
        p = fixed_digits(p, PyDateTime_GET_YEAR(v), 4, '-');
        p = fixed_digits(p, PyDateTime_GET_MONTH(v), 2, '-');
        p = fixed_digits(p, PyDateTime_GET_DAY(v), 2, sep);
        p = fixed_digits(p, PyDateTime_DATE_GET_HOUR(v), 2, ':');
        p = fixed_digits(p, PyDateTime_DATE_GET_MINUTE(v), 2, ':');
        p = text::fixed(p, PyDateTime_DATE_GET_SECOND(v), 2);
        if (const int us = PyDateTime_DATE_GET_MICROSECOND(v)) {
            *p++ = '.';
            p = text::fixed(p, us, 6);
        }
        if (tz == Py_None) return p;
        int days = 0, secs = 0, us = 0;
        if (tz != utc) {
            PyObject* args[] = {tz, v};
            Ref offset = Ref::steal(PyObject_VectorcallMethod(utcoffset, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                              nullptr));
            if (!offset) return nullptr;
            if (!PyDelta_Check(offset.get())) return nullptr;  // (not for a timezone)
            days = PyDateTime_DELTA_GET_DAYS(offset.get());
            secs = PyDateTime_DELTA_GET_SECONDS(offset.get());
            us = PyDateTime_DELTA_GET_MICROSECONDS(offset.get());
        }
        char sign = '+';
        if (days < 0) {  // -(days, secs, us) in normalised form
            sign = '-';
            const long long total = -((static_cast<long long>(days) * 86400 + secs) * 1000000 + us);
            secs = static_cast<int>(total / 1000000);
            us = static_cast<int>(total % 1000000);
        }
        *p++ = sign;
        p = fixed_digits(p, secs / 3600, 2, ':');
        p = text::fixed(p, secs / 60 % 60, 2);
        if (secs % 60 || us) {
            *p++ = ':';
            p = text::fixed(p, secs % 60, 2);
            if (us) {
                *p++ = '.';
                p = text::fixed(p, us, 6);
            }
        }
        return p;
    }

private:
    static char* fixed_digits(char* p, int v, int width, char then) {
        p = text::fixed(p, static_cast<unsigned long long>(v), width);
        *p++ = then;
        return p;
    }
};

}  // namespace kst::text
