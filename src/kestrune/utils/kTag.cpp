// kestrune.utils.kTag: transaction identifiers, made and taken apart.
//
// An identifier is  user "_" type "_" temp_id,  where temp_id is a 23-character
// UTC timestamp YYYY-MM-DD:HH.MM.SS.mmm followed by a ten-digit hexadecimal
// unique code (five digits of process code, five of counter).
//
// Every member reaches the others through the class it was called on and the
// module-level names at call time, so subclasses and rebound names change the
// behaviour.  The code below is written as that general sequence of lookups
// and calls; at each step a shortcut replaces a lookup or a call by the same
// work done natively, only where the result cannot differ:
//   * a member of kTag itself whose class-dict entry is still the original
//     classmethod/staticmethod wrapping the original function is run
//     directly (arguments that its checks would refuse go the normal way);
//   * a data attribute of kTag is read straight from its class dict when the
//     value there is no descriptor (that is all `kTag.name` would do: the
//     metaclass is `type`, and kTag heads its own MRO);
//   * the genuine `datetime`/`timezone` classes (identity with the objects
//     imported at initialisation) let the clock be read and the fixed
//     timestamp layout be written and parsed natively; anything outside the
//     fixed layout goes to the real datetime.strptime;
//   * values of the exact built-in types (str, int, datetime, timedelta) are
//     compared, formatted and subtracted natively.
#include "support/capi.hpp"
#include "support/module.hpp"
#include "support/ops.hpp"
#include "support/text.hpp"
#include "support/with.hpp"

#include <datetime.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace {

using namespace kst;

ModuleOnce once{"kTag"};

// ------------------------------------------------------------ module state

// Interned names and constant texts (process lifetime).
PyObject *s_user_name, *s_transaction_type, *s_lock, *s_counter, *s_last_timestamp, *s_process_code,
    *s_timestamp_length, *s_unique_length, *s_epoch, *s_datetime, *s_timezone, *s_now, *s_utc, *s_strftime,
    *s_strptime, *s_replace, *s_microsecond, *s_days, *s_seconds, *s_microseconds, *s_parse_pattern,
    *s_stamp_pattern, *s_exact_pattern, *s_empty, *s_fmt_03d, *s_fmt_06d, *s_fmt_05X, *s_tzinfo_kwnames,
    *s_bad_timestamp;

PyObject* g_globals;     // the module's namespace
PyObject* g_class;       // kTag as created
PyObject* g_class_dict;  // its namespace dict
PyObject* g_datetime;    // datetime.datetime as imported
PyObject* g_timezone;    // datetime.timezone as imported
PyObject* g_utc;         // timezone.utc
bool g_native_datetime;  // the datetime C interface matches the imported classes
NativeLock g_lock;  // the interpreter's own lock type, when recognised

constexpr long kCounterLimit = 1 << 20;  // first counter value five hex digits cannot hold
constexpr int kStampLength = 23;
constexpr int kUniqueLength = 10;

// ------------------------------------------------------------ the calendar

constexpr long long days_from_civil(long long y, int m, int d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

constexpr bool is_leap(int y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

constexpr int days_in_month(int y, int m) {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

// Broken-down instant (the fields of a datetime).
struct Stamp {
    int year, month, day, hour, minute, second, micro;
};

inline long long micros_since_1970(const Stamp& s) {
    const long long secs =
        days_from_civil(s.year, s.month, s.day) * 86400 + s.hour * 3600LL + s.minute * 60LL + s.second;
    return secs * 1000000 + s.micro;
}

inline Stamp stamp_of(PyObject* dt) {
    return {PyDateTime_GET_YEAR(dt),        PyDateTime_GET_MONTH(dt),         PyDateTime_GET_DAY(dt),
            PyDateTime_DATE_GET_HOUR(dt),   PyDateTime_DATE_GET_MINUTE(dt),   PyDateTime_DATE_GET_SECOND(dt),
            PyDateTime_DATE_GET_MICROSECOND(dt)};
}

inline PyObject* tzinfo_of(PyObject* dt) {
    return PyDateTime_DATE_GET_TZINFO(dt);  // borrowed; Py_None when naive
}

// Both texts of an instant, the identifier's layout and the exact creation
// text, put year, month, day, hour, minute, second and millisecond at the
// same places and differ in their separators: writes the fields into `p`,
// whose separators are in place.
inline void write_fields(char* p, const Stamp& s) {
    text::fixed(p, static_cast<unsigned>(s.year), 4);
    text::fixed(p + 5, static_cast<unsigned>(s.month), 2);
    text::fixed(p + 8, static_cast<unsigned>(s.day), 2);
    text::fixed(p + 11, static_cast<unsigned>(s.hour), 2);
    text::fixed(p + 14, static_cast<unsigned>(s.minute), 2);
    text::fixed(p + 17, static_cast<unsigned>(s.second), 2);
    text::fixed(p + 20, static_cast<unsigned>(s.micro / 1000), 3);
}

// Writes the timestamp layout YYYY-MM-DD:HH.MM.SS.mmm (23 characters).
void write_layout(char* p, const Stamp& s) {
    std::memcpy(p, "YYYY-MM-DD:HH.MM.SS.mmm", kStampLength);
    write_fields(p, s);
}

// Reads the timestamp layout at s[start:start+23]: ASCII digits and separators
// in place, and fields that make a valid datetime.  Text in that form is
// parsed by strptime("%Y-%m-%d:%H.%M.%S.%f") to exactly these fields; anything
// else is left to strptime itself.
bool parse_layout(PyObject* s, Py_ssize_t start, Stamp& out) {
    if (PyUnicode_GET_LENGTH(s) < start + kStampLength) return false;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    static constexpr char shape[] = "dddd-dd-dd:dd.dd.dd.ddd";
    int digits[kStampLength];
    for (int i = 0; i < kStampLength; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, start + i);
        if (shape[i] == 'd') {
            if (c < '0' || c > '9') return false;
            digits[i] = static_cast<int>(c - '0');
        } else if (c != static_cast<Py_UCS4>(shape[i])) {
            return false;
        }
    }
    auto num = [&](int at, int n) {
        int v = 0;
        for (int i = 0; i < n; ++i) v = v * 10 + digits[at + i];
        return v;
    };
    out = {num(0, 4), num(5, 2), num(8, 2), num(11, 2), num(14, 2), num(17, 2), num(20, 3) * 1000};
    return out.year >= 1 && out.month >= 1 && out.month <= 12 && out.day >= 1 &&
           out.day <= days_in_month(out.year, out.month) && out.hour <= 23 && out.minute <= 59 && out.second <= 59;
}

// The digits of the timestamp in `s` as one number, which orders as the text
// does; -1 for the empty text, which sorts before every timestamp.  False
// for any other text.
bool layout_key(PyObject* s, long long& key) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0) {
        key = -1;
        return true;
    }
    if (n != kStampLength) return false;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    static constexpr char shape[] = "dddd-dd-dd:dd.dd.dd.ddd";
    long long k = 0;
    for (int i = 0; i < kStampLength; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (shape[i] == 'd') {
            if (c < '0' || c > '9') return false;
            k = k * 10 + (c - '0');
        } else if (c != static_cast<Py_UCS4>(shape[i])) {
            return false;
        }
    }
    key = k;
    return true;
}

inline long long stamp_key(const Stamp& s) {
    long long k = s.year;
    for (int v : {s.month, s.day, s.hour, s.minute, s.second}) k = k * 100 + v;
    return k * 1000 + s.micro / 1000;
}

// The millisecond after a timestamp in the layout, in the layout; empty (no
// exception) when `last` is not such a timestamp or has no successor.
Ref following_millisecond(PyObject* last) {
    Stamp s;
    if (!PyUnicode_Check(last) || PyUnicode_GET_LENGTH(last) != kStampLength || !parse_layout(last, 0, s)) return {};
    s.micro += 1000;
    if (s.micro == 1000000) {
        s.micro = 0;
        if (++s.second == 60) {
            s.second = 0;
            if (++s.minute == 60) {
                s.minute = 0;
                if (++s.hour == 24) {
                    s.hour = 0;
                    if (++s.day > days_in_month(s.year, s.month)) {
                        s.day = 1;
                        if (++s.month == 13) {
                            s.month = 1;
                            if (++s.year == 10000) return {};
                        }
                    }
                }
            }
        }
    }
    char text[kStampLength];
    write_layout(text, s);
    return ascii_str(text, kStampLength);
}

// ------------------------------------------------------------ the clock

// The wall clock as datetime.now(timezone.utc) reads it: PyTime_Time floored
// to the microsecond, broken down by gmtime (leap seconds clamped to 59).
// The breakdown is cached per second.
struct SecondCache {
    bool valid = false;
    long long secs = 0;
    Stamp fields{};
};
KST_PER_THREAD SecondCache g_second;

// 1 with `out` filled, 0 when datetime could not represent the instant (the
// caller takes the general way, which raises), -1 on error.
int read_clock(Stamp& out) {
    PyTime_t t;
    if (PyTime_Time(&t) < 0) return -1;
    long long secs = t / 1000000000;
    long long rest = t % 1000000000;
    if (rest < 0) {
        rest += 1000000000;
        --secs;
    }
    if (!g_second.valid || g_second.secs != secs) {
        const std::time_t tt = static_cast<std::time_t>(secs);
        std::tm tm{};
        if (!gmtime_r(&tt, &tm)) return 0;
        const int year = tm.tm_year + 1900;
        if (year < 1 || year > 9999) return 0;
        g_second.fields = {year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, std::min(59, tm.tm_sec), 0};
        g_second.secs = secs;
        g_second.valid = true;
    }
    out = g_second.fields;
    out.micro = static_cast<int>(rest / 1000);
    return 1;
}

// ------------------------------------------------------------ lookups

// Borrowed dict entry, nullptr when absent (see quiet_entry).
inline PyObject* entry(PyObject* dict, PyObject* key) { return quiet_entry(dict, key); }

// The same as a strong reference, for an entry that is read or kept (another
// thread may replace it meanwhile and free the old one).
inline Ref held_entry(PyObject* dict, PyObject* key) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(dict, key, &v) < 0) PyErr_Clear();  // (see quiet_entry)
    return Ref::steal(v);
}

// A module-level name at call time.
inline Ref global(PyObject* name) { return kst::global(g_globals, name); }

// `cls.name` for a data attribute.
inline Ref class_attr(PyObject* cls, PyObject* name) {
    if (cls == g_class) {
        Ref v = held_entry(g_class_dict, name);
        if (v && !Py_TYPE(v.get())->tp_descr_get) return v;
    }
    return Ref::steal(PyObject_GetAttr(cls, name));
}

// `cls.name = value`.
inline bool class_set(PyObject* cls, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(cls, name, value) == 0;
}

// The members, in class-body order.
enum Member : int {
    kNew,
    kGetCreatedAt,
    kGetCreatedAtUtc,
    kGetAge,
    kGetTicksSinceEpoch,
    kGetNanosecondsSinceEpoch,
    kGetExactCreationWithMsNs,
    kGetTempId,
    kGetUniqueCode,
    kCurrentTimestamp,
    kValidatePart,
    kValidateTimestamp,
    kValidateUniqueCode,
    kSplitId,
    kMemberCount
};

extern const FuncDef members[kMemberCount];

struct Original {
    PyObject* name;     // interned member name
    PyObject* wrapper;  // the classmethod/staticmethod in the class dict
    PyObject* func;     // the function it wraps
};
Original g_orig[kMemberCount];


// ------------------------------------------------------------ the view

// What the shortcuts need to know about kTag's namespace and the module's
// globals.  A dict watcher on both counts the changes (g_epoch); the view is
// read again before its next use when it was read under another count.
// New's own writes of _counter and _last_timestamp keep it current instead.
// It is read and written under g_view_mutex (ViewLock), and a use that
// outlasts the lock keeps a compat::LockedRead of it.
struct View {
    std::uint64_t epoch = ~std::uint64_t{0};  // the count it was read under (never: none)
    bool intact[kMemberCount] = {};  // the class-dict entry is the original wrapper
    bool datetime_ok = false;        // module-level datetime / timezone genuine
    bool timezone_ok = false;
    bool lengths_ok = false;  // _timestamp_length 23 and _unique_length 10, exact ints
    Ref lock;                 // _lock, when of the interpreter's lock type
    Ref process_code;         // _process_code, when an exact str
    Ref counter;              // _counter, when an exact int in [0, 2**20)
    long counter_value = 0;
    Ref last;  // _last_timestamp, when an exact str in the layout or empty
    long long last_key = 0;
};
// Allocated once and never freed: its references must not be dropped by a
// static destructor after the interpreter has finalised.
View& g_view = *new View();
compat::EventCount g_epoch;            // changes seen to the watched dicts
compat::ParallelMutex g_view_mutex;
KST_PER_THREAD PyObject* g_own_write;  // the key New is writing itself, while it writes

// Holds g_view_mutex (on the free-threaded build; nothing on the other).
struct ViewLock : compat::ParallelLock {
    ViewLock() : ParallelLock(g_view_mutex) {}
};

bool layout_key(PyObject* s, long long& key);

void view_counter(PyObject* c) {
    long long v;
    if (c && exact_int_value(c, v) && v >= 0 && v < kCounterLimit) {
        g_view.counter = Ref::borrow(c);
        g_view.counter_value = static_cast<long>(v);
    } else {
        g_view.counter.reset();
    }
}

void view_last(PyObject* last) {
    if (last && PyUnicode_CheckExact(last) && layout_key(last, g_view.last_key))
        g_view.last = Ref::borrow(last);
    else
        g_view.last.reset();
}

void refresh_view() {
    View& v = g_view;
    // (read before the entries: a change meanwhile leaves the view stale)
    const std::uint64_t epoch = g_epoch.now();
    for (int m = 0; m < kMemberCount; ++m) v.intact[m] = entry(g_class_dict, g_orig[m].name) == g_orig[m].wrapper;
    v.datetime_ok = g_native_datetime && entry(g_globals, s_datetime) == g_datetime;
    v.timezone_ok = g_native_datetime && entry(g_globals, s_timezone) == g_timezone;
    long long tl, ul;
    Ref held_x = held_entry(g_class_dict, s_timestamp_length), held_y = held_entry(g_class_dict, s_unique_length);
    PyObject* x = held_x.get();
    PyObject* y = held_y.get();
    v.lengths_ok = x && y && exact_int_value(x, tl) && exact_int_value(y, ul) && tl == kStampLength &&
                   ul == kUniqueLength;
    Ref held = held_entry(g_class_dict, s_lock);
    x = held.get();
    v.lock = x && g_lock.is(x) ? Ref::borrow(x) : Ref();
    held = held_entry(g_class_dict, s_process_code);
    x = held.get();
    v.process_code = x && PyUnicode_CheckExact(x) ? Ref::borrow(x) : Ref();
    view_counter(held_entry(g_class_dict, s_counter).get());
    view_last(held_entry(g_class_dict, s_last_timestamp).get());
    v.epoch = module_hub().on() ? epoch : ~std::uint64_t{0};
}

// The watcher of this module's hub, which watches only kTag's namespace and
// the module globals (and serves no listener): any event but New's own
// writes makes the view stale.
int on_dict_change(PyDict_WatchEvent, PyObject* dict, PyObject* key, PyObject*) {
    if (!(dict == g_class_dict && key && key == g_own_write)) g_epoch.bump();
    return 0;
}

// What `f` answers from the current view (read under g_view_mutex on the
// free-threaded build, where an answer that needs no reference is thus had
// without copying the view).  `f` must not run code.
template <class F>
Py_ALWAYS_INLINE inline decltype(auto) read_view(F f) {
    ViewLock hold;
    if (g_view.epoch != g_epoch.now()) refresh_view();
    return f(static_cast<const View&>(g_view));
}

inline compat::LockedRead<View> view() {
    return read_view([](const View& v) -> compat::LockedRead<View> { return v; });
}

inline bool genuine_datetime() {
    return read_view([](const View& v) { return v.datetime_ok; });
}
inline bool genuine_timezone() {
    return read_view([](const View& v) { return v.timezone_ok; });
}

// Whether each member m of kTag is the original one in `v`.
Py_ALWAYS_INLINE inline bool members_intact(const View& v, std::initializer_list<Member> ms) {
    for (Member m : ms)
        if (!v.intact[m] || compat::wrapped_callable(g_orig[m].wrapper) != g_orig[m].func) return false;
    return true;
}

// True when `cls.<m>` is the original member of kTag, for each m.
inline bool intact(PyObject* cls, std::initializer_list<Member> ms) {
    if (cls != g_class) return false;
    return read_view([&](const View& v) { return members_intact(v, ms); });
}

inline bool new_natively(PyObject* cls);
inline bool temp_id_natively(PyObject* cls, bool with_temp_id);

bool members_armed() {
    return intact(g_class, {kNew, kGetCreatedAt, kGetCreatedAtUtc, kGetAge, kGetTicksSinceEpoch,
                            kGetNanosecondsSinceEpoch, kGetExactCreationWithMsNs, kGetTempId, kGetUniqueCode,
                            kCurrentTimestamp, kValidatePart, kValidateTimestamp, kValidateUniqueCode, kSplitId});
}
bool datetime_armed() { return genuine_datetime() && genuine_timezone(); }
bool new_armed() { return new_natively(g_class); }
bool parse_armed() { return temp_id_natively(g_class, true); }

// The shortcuts, each described where it is used.
const Shortcut shortcuts[] = {
    {"members", "cls.<member> for every member of kTag", "class:kTag hub", members_armed},
    {"datetime", "datetime.now datetime.strftime datetime.strptime timezone.utc",
     "global:datetime global:timezone hub", datetime_armed},
    {"new", "cls._validate_part cls._current_timestamp cls._lock cls._counter cls._last_timestamp",
     "member:kTag._validate_part member:kTag._current_timestamp global:datetime global:timezone "
     "state:kTag._lock state:kTag._process_code state:kTag._counter state:kTag._last_timestamp hub",
     new_armed},
    {"parse", "cls._split_id cls._validate_timestamp cls._validate_unique_code cls.GetTempId",
     "member:kTag._split_id member:kTag._validate_timestamp member:kTag._validate_unique_code "
     "member:kTag.GetTempId hub",
     parse_armed},
};

// `cls.<member>(*args)`.
Ref call_member(PyObject* cls, Member m, std::initializer_list<PyObject*> args) {
    const FuncDef& def = members[m];
    if (intact(cls, {m})) {
        PyObject* stack[kMaxArgs];
        std::size_t n = 0;
        if (def.kind == Kind::ClassMethod) stack[n++] = cls;
        bool accepted = true;
        std::size_t i = 0;
        for (PyObject* a : args) {
            if (def.params[i++].check == Check::Str && !PyUnicode_CheckExact(a)) accepted = false;
            stack[n++] = a;
        }
        if (accepted) return Ref::steal(check_result(def.result, def.impl(stack)));
    }
    return call_method(cls, g_orig[m].name, args);
}

// `datetime.now(timezone.utc)` through the module-level names.
Ref general_now() {
    Ref dt = global(s_datetime);
    Ref now = dt ? Ref::steal(PyObject_GetAttr(dt.get(), s_now)) : Ref();
    Ref tz = now ? global(s_timezone) : Ref();
    Ref utc = tz ? Ref::steal(PyObject_GetAttr(tz.get(), s_utc)) : Ref();
    return utc ? call(now.get(), {utc.get()}) : Ref();
}

// ------------------------------------------------------------ members: making

// _validate_part(value, field_name): the field stripped of surrounding
// whitespace; refused when empty, blank or holding "_".
PyObject* validate_part(PyObject* const* a) {
    PyObject* value = a[0];
    PyObject* field = a[1];
    if (PyUnicode_IS_ASCII(value)) {
        const Py_UCS1* d = PyUnicode_1BYTE_DATA(value);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
        Py_ssize_t lo = 0, hi = n;
        while (lo < hi && Py_UNICODE_ISSPACE(d[lo])) ++lo;
        if (lo == hi) {
            PyErr_Format(PyExc_ValueError, "%U cannot be empty.", field);
            return nullptr;
        }
        while (Py_UNICODE_ISSPACE(d[hi - 1])) --hi;
        if (std::memchr(d + lo, '_', static_cast<std::size_t>(hi - lo))) {
            PyErr_Format(PyExc_ValueError, "%U cannot contain underscores.", field);
            return nullptr;
        }
        return lo == 0 && hi == n ? Py_NewRef(value) : PyUnicode_Substring(value, lo, hi);
    }
    const int kind = PyUnicode_KIND(value);
    const void* data = PyUnicode_DATA(value);
    Py_ssize_t lo = 0, hi = PyUnicode_GET_LENGTH(value);
    while (lo < hi && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, lo))) ++lo;
    if (lo == hi) {
        PyErr_Format(PyExc_ValueError, "%U cannot be empty.", field);
        return nullptr;
    }
    while (Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, hi - 1))) --hi;
    for (Py_ssize_t i = lo; i < hi; ++i) {
        if (PyUnicode_READ(kind, data, i) == '_') {
            PyErr_Format(PyExc_ValueError, "%U cannot contain underscores.", field);
            return nullptr;
        }
    }
    return PyUnicode_Substring(value, lo, hi);
}

// _current_timestamp(): the UTC wall clock as YYYY-MM-DD:HH.MM.SS.mmm,
// milliseconds truncated.
PyObject* current_timestamp(PyObject* const*) {
    if (genuine_datetime() && genuine_timezone()) {
        Stamp now;
        const int got = read_clock(now);
        if (got < 0) return nullptr;
        if (got > 0) {
            char text[kStampLength];
            write_layout(text, now);
            return ascii_str(text, kStampLength).release();
        }
    }
    Ref now = general_now();
    if (!now) return nullptr;
    Ref head = call_method(now.get(), s_strftime, {s_stamp_pattern});
    if (!head) return nullptr;
    Ref micro = Ref::steal(PyObject_GetAttr(now.get(), s_microsecond));
    Ref thousand = micro ? new_int(1000) : Ref();
    Ref ms = thousand ? Ref::steal(PyNumber_FloorDivide(micro.get(), thousand.get())) : Ref();
    Ref tail = ms ? format(ms.get(), s_fmt_03d) : Ref();
    return tail ? add(head.get(), tail.get()).release() : nullptr;
}

// The counter formatted "05X", natively for 0 to FFFFF.
Ref counter_text(PyObject* counter, char (&buf)[5], bool& in_buf) {
    long long v;
    in_buf = exact_int_value(counter, v) && v >= 0 && v < kCounterLimit;
    if (in_buf) {
        text::hex_upper(buf, static_cast<unsigned long long>(v), 5);
        return Ref::borrow(counter);
    }
    return format(counter, s_fmt_05X);
}

// The part of New under the lock.  `timestamp` is bound where the body's
// local of that name would be (it matters to a suppressing __exit__); on
// success `process_text` holds f"{cls._process_code}" and `counter` the
// counter to write after it.
bool new_locked(PyObject* cls, Ref& timestamp, Ref& process_text, Ref& counter) {
    Ref reading = call_member(cls, kCurrentTimestamp, {});
    if (!reading) return false;
    Ref last = class_attr(cls, s_last_timestamp);
    if (!last) return false;
    int same = compare(reading.get(), last.get(), Py_EQ);
    if (same < 0) return false;
    int behind = 0;
    if (!same && (behind = compare(reading.get(), last.get(), Py_LT)) < 0) return false;
    // Within the millisecond of the last identifier, the one already stored
    // is used (equal text): that leaves the class untouched.
    Ref ts = behind || (same && cls == g_class && PyUnicode_CheckExact(last.get()) &&
                        PyUnicode_CheckExact(reading.get()))
                 ? last
                 : reading;
    timestamp = ts;
    if (!same && !behind) {
        // A later millisecond: the counter starts again at 0.
        Ref zero = new_int(0);
        if (!zero) return false;
        PyObject* current = cls == g_class ? entry(g_class_dict, s_counter) : nullptr;
        if (current != zero.get() && !class_set(cls, s_counter, zero.get())) return false;
    } else {
        Ref c = class_attr(cls, s_counter);
        if (!c) return false;
        long long v;
        Ref next = exact_int_value(c.get(), v) && v < (1LL << 62) ? new_int(v + 1) : Ref();
        if (!next) {
            Ref one = new_int(1);
            if (!one || !(next = add(c.get(), one.get()))) return false;
        }
        if (!class_set(cls, s_counter, next.get())) return false;
        Ref now_counter = class_attr(cls, s_counter);
        Ref limit = now_counter ? new_int(kCounterLimit) : Ref();
        int full = limit ? compare(now_counter.get(), limit.get(), Py_GE) : -1;
        if (full < 0) return false;
        if (full) {
            // The counter ran out within this millisecond: a clock that is
            // behind the last identifier continues at the millisecond after
            // it; otherwise wait for the clock to pass it.
            for (;;) {
                int lt = compare(reading.get(), last.get(), Py_LT);
                if (lt < 0) return false;
                if (lt) {
                    Ref after = following_millisecond(last.get());
                    if (PyErr_Occurred()) return false;
                    if (after) {
                        ts = after;
                        break;
                    }
                }
                int le = compare(reading.get(), last.get(), Py_LE);
                if (le < 0) return false;
                if (!le) {
                    ts = reading;
                    break;
                }
                // A busy wait: let signals and other threads in.
                if (PyErr_CheckSignals() < 0) return false;
                Py_BEGIN_ALLOW_THREADS
                Py_END_ALLOW_THREADS
                reading = call_member(cls, kCurrentTimestamp, {});
                if (!reading) return false;
                last = class_attr(cls, s_last_timestamp);
                if (!last) return false;
            }
            timestamp = ts;
            Ref zero = new_int(0);
            if (!zero || !class_set(cls, s_counter, zero.get())) return false;
        }
    }
    PyObject* stored = cls == g_class ? entry(g_class_dict, s_last_timestamp) : nullptr;
    if (stored != ts.get() && !class_set(cls, s_last_timestamp, ts.get())) return false;
    Ref code = class_attr(cls, s_process_code);
    if (!code) return false;
    process_text = format(code.get(), s_empty);
    if (!process_text) return false;
    counter = class_attr(cls, s_counter);
    return bool(counter);
}

// New's work from the lock on, the general way: the body under the lock, the
// way out of it, and the identifier joined from its parts.
PyObject* new_general(PyObject* cls, const Ref& user, const Ref& type, With& with) {
    // unique_code = f"{cls._process_code}{cls._counter:05X}", kept in its two
    // parts until the identifier is joined.
    Ref timestamp, process_text, counter, counter_str;
    char hex[5];
    bool hex_ok = false;
    bool unique_bound = new_locked(cls, timestamp, process_text, counter);
    if (unique_bound) unique_bound = bool(counter_str = counter_text(counter.get(), hex, hex_ok));
    const int left = with.leave();
    if (left < 0) return nullptr;
    if (left == 0) {  // __exit__ swallowed an exception of the body
        if (!timestamp) return unbound_local("timestamp");
        if (!unique_bound) return unbound_local("unique_code");
    }
    const Piece counter_piece = hex_ok ? Piece(hex, 5) : Piece(counter_str.get());
    // temp_id = f"{timestamp}{unique_code}"; user + "_" + type + "_" + temp_id
    Ref ts_text = format(timestamp.get(), s_empty);
    if (!ts_text) return nullptr;
    if (PyUnicode_CheckExact(user.get()) && PyUnicode_CheckExact(type.get()))
        return join({Piece(user.get()), Piece("_", 1), Piece(type.get()), Piece("_", 1), Piece(ts_text.get()),
                     Piece(process_text.get()), counter_piece})
            .release();
    Ref unique = join({Piece(process_text.get()), counter_piece});
    Ref temp = unique ? join({Piece(ts_text.get()), Piece(unique.get())}) : Ref();
    Ref sep = temp ? ascii_str("_", 1) : Ref();
    Ref r = sep ? add(user.get(), sep.get()) : Ref();
    if (r) r = add(r.get(), type.get());
    if (r) r = add(r.get(), sep.get());
    if (r) r = add(r.get(), temp.get());
    return r.release();
}

// Whether New on kTag may run natively: its members and the module-level
// datetime names are the originals, and the state it reads has the types
// it writes.
inline bool new_natively(PyObject* cls) {
    if (cls != g_class) return false;
    return read_view([](const View& v) {
        return members_intact(v, {kValidatePart, kCurrentTimestamp}) && v.datetime_ok && v.timezone_ok && v.lock &&
               v.process_code && v.counter && v.last;
    });
}

// Writes kTag.<key> as New does (as type.__setattr__ would), keeping the
// view current.
bool own_write(PyObject* key, PyObject* value) {
    ViewLock hold;
    g_own_write = key;
    const bool ok = compat::class_store(reinterpret_cast<PyTypeObject*>(g_class), g_class_dict, key, value) == 0;
    g_own_write = nullptr;
    if (!ok) {
        g_view.epoch = ~std::uint64_t{0};
        return false;
    }
    if (key == s_counter)
        view_counter(value);
    else
        view_last(value);
    return true;
}

// New on kTag with every member original: the same steps with the clock
// read, compared and written natively.  The rare cases (a full counter, a
// clock that cannot be represented, state changed while the lock was waited
// for) continue the general way, still under the lock.
PyObject* new_native(PyObject* user_name, PyObject* transaction_type) {
    PyObject* part_args[] = {user_name, s_user_name};
    Ref user = Ref::steal(validate_part(part_args));
    if (!user) return nullptr;
    part_args[0] = transaction_type;
    part_args[1] = s_transaction_type;
    Ref type = Ref::steal(validate_part(part_args));
    if (!type) return nullptr;
    Ref lock = read_view([](const View& v) { return v.lock; });
    if (!g_lock.acquire(lock.get())) return nullptr;
    With with{g_lock};
    with.adopt(lock.get());
    // The wait for the lock lets other threads run.
    if (!new_natively(g_class)) return new_general(g_class, user, type, with);
    compat::LockedRead<View> v = view();  // (read under the lock)
    if (!v.counter || !v.last || !v.process_code) return new_general(g_class, user, type, with);
    Stamp now;
    const int got = read_clock(now);
    if (got <= 0) {
        if (got < 0) {
            with.leave();
            return nullptr;
        }
        return new_general(g_class, user, type, with);
    }
    const long long key = stamp_key(now);
    long counter = 0;
    Ref ts;
    if (key > v.last_key) {
        char text[kStampLength];
        write_layout(text, now);
        ts = ascii_str(text, kStampLength);
    } else {
        // The same millisecond, or a clock behind the last identifier: the
        // last timestamp again, with the next counter value.
        counter = v.counter_value + 1;
        if (counter >= kCounterLimit) return new_general(g_class, user, type, with);
        ts = v.last;
    }
    bool ok = bool(ts);
    if (ok && counter != v.counter_value) {
        Ref c = new_int(counter);
        ok = c && own_write(s_counter, c.get());
    }
    if (ok && ts.get() != v.last.get()) ok = own_write(s_last_timestamp, ts.get());
    Ref code = v.process_code;
    if (with.leave() < 0) return nullptr;
    char hex[5];
    text::hex_upper(hex, static_cast<unsigned long>(counter), 5);
    PyObject* u = user.get();
    PyObject* t = type.get();
    PyObject* c = code.get();
    if (PyUnicode_IS_ASCII(u) && PyUnicode_IS_ASCII(t) && PyUnicode_IS_ASCII(c)) {
        const Py_ssize_t nu = PyUnicode_GET_LENGTH(u), nt = PyUnicode_GET_LENGTH(t), nc = PyUnicode_GET_LENGTH(c);
        PyObject* r = PyUnicode_New(nu + nt + nc + 2 + kStampLength + 5, 127);
        if (!r) return nullptr;
        char* d = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(r));
        std::memcpy(d, PyUnicode_1BYTE_DATA(u), static_cast<std::size_t>(nu));
        d += nu;
        *d++ = '_';
        std::memcpy(d, PyUnicode_1BYTE_DATA(t), static_cast<std::size_t>(nt));
        d += nt;
        *d++ = '_';
        std::memcpy(d, PyUnicode_1BYTE_DATA(ts.get()), kStampLength);
        d += kStampLength;
        std::memcpy(d, PyUnicode_1BYTE_DATA(c), static_cast<std::size_t>(nc));
        std::memcpy(d + nc, hex, 5);
        return r;
    }
    return join({Piece(user.get()), Piece("_", 1), Piece(type.get()), Piece("_", 1), Piece(ts.get()),
                 Piece(code.get()), Piece(hex, 5)})
        .release();
}

// New(user_name, transaction_type): a new identifier.
PyObject* new_id(PyObject* const* a) {
    PyObject* cls = a[0];
    if (new_natively(cls)) return new_native(a[1], a[2]);
    Ref user = call_member(cls, kValidatePart, {a[1], s_user_name});
    if (!user) return nullptr;
    Ref type = call_member(cls, kValidatePart, {a[2], s_transaction_type});
    if (!type) return nullptr;
    Ref mgr = class_attr(cls, s_lock);
    if (!mgr) return nullptr;
    With with{g_lock};
    if (!with.enter(mgr.get())) return nullptr;
    return new_general(cls, user, type, with);
}

// ------------------------------------------------------------ members: reading

PyObject* invalid_format() {
    PyErr_SetString(PyExc_ValueError, "Invalid kTag format.");
    return nullptr;
}

// Finds the two underscores of an identifier: exactly two, with text on
// every side, in an identifier that is not blank.
bool split_points(PyObject* id, Py_ssize_t (&cut)[2]) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(id);
    const int kind = PyUnicode_KIND(id);
    const void* data = PyUnicode_DATA(id);
    Py_ssize_t blank = 0;
    while (blank < n && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, blank))) ++blank;
    if (blank == n) return invalid_format();
    int cuts = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_READ(kind, data, i) != '_') continue;
        if (cuts == 2) return invalid_format();
        cut[cuts++] = i;
    }
    if (cuts != 2 || cut[0] == 0 || cut[1] == cut[0] + 1 || cut[1] == n - 1) return invalid_format();
    return true;
}

// _split_id(id): the three fields between the underscores.
PyObject* split_id(PyObject* const* a) {
    PyObject* id = a[1];
    Py_ssize_t cut[2];
    if (!split_points(id, cut)) return nullptr;
    Ref user = Ref::steal(PyUnicode_Substring(id, 0, cut[0]));
    Ref type = user ? Ref::steal(PyUnicode_Substring(id, cut[0] + 1, cut[1])) : Ref();
    Ref temp = type ? Ref::steal(PyUnicode_Substring(id, cut[1] + 1, PyUnicode_GET_LENGTH(id))) : Ref();
    return temp ? PyTuple_Pack(3, user.get(), type.get(), temp.get()) : nullptr;
}

// The ten characters of s[start:] are a unique code (0-9, A-F).
bool unique_code_ok(PyObject* s, Py_ssize_t start) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = start; i < start + kUniqueLength; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            PyErr_SetString(PyExc_ValueError, "Invalid kTag unique code.");
            return false;
        }
    }
    return true;
}

// _validate_unique_code(value): ten characters of 0-9, A-F.
PyObject* validate_unique_code(PyObject* const* a) {
    PyObject* value = a[0];
    if (PyUnicode_GET_LENGTH(value) != kUniqueLength) {
        PyErr_SetString(PyExc_ValueError, "Invalid kTag unique code length.");
        return nullptr;
    }
    if (!unique_code_ok(value, 0)) return nullptr;
    Py_RETURN_NONE;
}

// `datetime.strptime(text, "%Y-%m-%d:%H.%M.%S.%f")`.
Ref strptime(PyObject* text) {
    Stamp s;
    if (PyUnicode_CheckExact(text) && PyUnicode_GET_LENGTH(text) == kStampLength && genuine_datetime() &&
        parse_layout(text, 0, s))
        return Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTime(s.year, s.month, s.day, s.hour, s.minute, s.second,
                                                                  s.micro, Py_None, PyDateTimeAPI->DateTimeType));
    Ref dt = global(s_datetime);
    return dt ? call_method(dt.get(), s_strptime, {text, s_parse_pattern}) : Ref();
}

// _validate_timestamp(value): refuses what strptime refuses, as a ValueError
// caused by the parser's own.
PyObject* validate_timestamp(PyObject* const* a) {
    PyObject* value = a[0];
    Stamp s;
    if (PyUnicode_GET_LENGTH(value) == kStampLength && genuine_datetime() && parse_layout(value, 0, s))
        Py_RETURN_NONE;
    Ref dt = global(s_datetime);
    if (!dt) return nullptr;
    if (call_method(dt.get(), s_strptime, {value, s_parse_pattern})) Py_RETURN_NONE;
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
    PyObject* cause = PyErr_GetRaisedException();
    PyObject* exc = PyObject_CallOneArg(PyExc_ValueError, s_bad_timestamp);
    if (!exc) {
        Py_DECREF(cause);
        return nullptr;
    }
    PyException_SetContext(exc, Py_NewRef(cause));
    PyException_SetCause(exc, cause);  // also sets __suppress_context__
    PyErr_SetRaisedException(exc);
    return nullptr;
}

// Whether GetTempId on kTag may check in place: _split_id,
// _validate_timestamp and _validate_unique_code are the originals (and so is
// GetTempId when `with_temp_id`), the lengths are 23 and 10, and datetime is
// genuine.
inline bool temp_id_natively(PyObject* cls, bool with_temp_id) {
    if (with_temp_id ? !intact(cls, {kGetTempId, kSplitId, kValidateTimestamp, kValidateUniqueCode})
                     : !intact(cls, {kSplitId, kValidateTimestamp, kValidateUniqueCode}))
        return false;
    return read_view([](const View& v) { return v.lengths_ok && v.datetime_ok; });
}

// GetTempId's checks done in place, in its order: the start of the temp_id
// field, or -1 with the exception the general way raises.  `stamp` gets the
// timestamp's fields when it is in the layout.
Py_ssize_t check_id(PyObject* id, Stamp& stamp, bool& in_layout) {
    Py_ssize_t cut[2];
    if (!split_points(id, cut)) return -1;
    const Py_ssize_t start = cut[1] + 1;
    if (PyUnicode_GET_LENGTH(id) - start != kStampLength + kUniqueLength) {
        PyErr_Format(PyExc_ValueError, "Invalid kTag format. Expected tempId length %d.", kStampLength + kUniqueLength);
        return -1;
    }
    in_layout = parse_layout(id, start, stamp);
    if (!in_layout) {
        Ref head = Ref::steal(PyUnicode_Substring(id, start, start + kStampLength));
        if (!head) return -1;
        PyObject* args[] = {head.get()};
        Ref ok = Ref::steal(validate_timestamp(args));
        if (!ok) return -1;
    }
    return unique_code_ok(id, start + kStampLength) ? start : -1;
}

// GetTempId(id): the validated temp_id field.
PyObject* get_temp_id(PyObject* const* a) {
    PyObject* cls = a[0];
    if (temp_id_natively(cls, false)) {
        Stamp stamp;
        bool in_layout;
        const Py_ssize_t start = check_id(a[1], stamp, in_layout);
        return start < 0 ? nullptr : PyUnicode_Substring(a[1], start, PyUnicode_GET_LENGTH(a[1]));
    }
    Ref parts = call_member(cls, kSplitId, {a[1]});
    if (!parts) return nullptr;
    Ref temp = PyTuple_CheckExact(parts.get()) && PyTuple_GET_SIZE(parts.get()) > 2
                   ? Ref::borrow(PyTuple_GET_ITEM(parts.get(), 2))
                   : Ref::steal(PySequence_GetItem(parts.get(), 2));
    if (!temp) return nullptr;
    Ref stamp_len = class_attr(cls, s_timestamp_length);
    Ref unique_len = stamp_len ? class_attr(cls, s_unique_length) : Ref();
    Ref expected = unique_len ? add(stamp_len.get(), unique_len.get()) : Ref();
    if (!expected) return nullptr;
    const Py_ssize_t n = PyObject_Length(temp.get());
    if (n < 0) return nullptr;
    long long want;
    int differs;
    if (exact_int_value(expected.get(), want)) {
        differs = n != want;
    } else {
        Ref len = new_int(n);
        if (!len) return nullptr;
        Ref r = Ref::steal(PyObject_RichCompare(len.get(), expected.get(), Py_NE));
        if (!r || (differs = PyObject_IsTrue(r.get())) < 0) return nullptr;
    }
    if (differs) {
        Ref text = format(expected.get(), s_empty);
        if (text) PyErr_Format(PyExc_ValueError, "Invalid kTag format. Expected tempId length %U.", text.get());
        return nullptr;
    }
    stamp_len = class_attr(cls, s_timestamp_length);
    Ref head = stamp_len ? slice(temp.get(), nullptr, stamp_len.get()) : Ref();
    if (!head || !call_member(cls, kValidateTimestamp, {head.get()})) return nullptr;
    stamp_len = class_attr(cls, s_timestamp_length);
    Ref tail = stamp_len ? slice(temp.get(), stamp_len.get(), nullptr) : Ref();
    if (!tail || !call_member(cls, kValidateUniqueCode, {tail.get()})) return nullptr;
    return temp.release();
}

// GetUniqueCode(id): the ten characters after the timestamp.
PyObject* get_unique_code(PyObject* const* a) {
    PyObject* cls = a[0];
    if (temp_id_natively(cls, true)) {
        Stamp stamp;
        bool in_layout;
        const Py_ssize_t start = check_id(a[1], stamp, in_layout);
        return start < 0 ? nullptr : PyUnicode_Substring(a[1], start + kStampLength, PyUnicode_GET_LENGTH(a[1]));
    }
    Ref temp = call_member(cls, kGetTempId, {a[1]});
    Ref stamp_len = temp ? class_attr(cls, s_timestamp_length) : Ref();
    return stamp_len ? slice(temp.get(), stamp_len.get(), nullptr).release() : nullptr;
}

// GetCreatedAt(id): the creation instant, a datetime in UTC.
PyObject* get_created_at(PyObject* const* a) {
    PyObject* cls = a[0];
    Ref created;
    if (temp_id_natively(cls, true) && genuine_timezone()) {
        Stamp s;
        bool in_layout;
        const Py_ssize_t start = check_id(a[1], s, in_layout);
        if (start < 0) return nullptr;
        if (in_layout)
            return PyDateTimeAPI->DateTime_FromDateAndTime(s.year, s.month, s.day, s.hour, s.minute, s.second, s.micro,
                                                           g_utc, PyDateTimeAPI->DateTimeType);
        Ref text = Ref::steal(PyUnicode_Substring(a[1], start, start + kStampLength));
        created = text ? strptime(text.get()) : Ref();
    } else {
        Ref temp = call_member(cls, kGetTempId, {a[1]});
        Ref stamp_len = temp ? class_attr(cls, s_timestamp_length) : Ref();
        Ref text = stamp_len ? slice(temp.get(), nullptr, stamp_len.get()) : Ref();
        created = text ? strptime(text.get()) : Ref();
    }
    if (!created) return nullptr;
    // created.replace(tzinfo=timezone.utc)
    if (g_native_datetime && PyDateTime_CheckExact(created.get()) && genuine_timezone()) {
        const Stamp s = stamp_of(created.get());
        return PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(s.year, s.month, s.day, s.hour, s.minute, s.second,
                                                              s.micro, g_utc, PyDateTime_DATE_GET_FOLD(created.get()),
                                                              PyDateTimeAPI->DateTimeType);
    }
    Ref replace = Ref::steal(PyObject_GetAttr(created.get(), s_replace));
    Ref tz = replace ? global(s_timezone) : Ref();
    Ref utc = tz ? Ref::steal(PyObject_GetAttr(tz.get(), s_utc)) : Ref();
    if (!utc) return nullptr;
    PyObject* args[] = {utc.get()};
    return PyObject_Vectorcall(replace.get(), args, 0, s_tzinfo_kwnames);
}

// GetCreatedAtUtc(id): the same as GetCreatedAt.
PyObject* get_created_at_utc(PyObject* const* a) { return call_member(a[0], kGetCreatedAt, {a[1]}).release(); }

// Whether `dt` is an exact datetime whose arithmetic we may do natively.
inline bool plain_datetime(PyObject* dt) { return g_native_datetime && PyDateTime_CheckExact(dt); }

// The decimal text of a signed count of microseconds as seconds with nine
// fraction digits: "-" and the magnitude for a negative count.
Ref age_text(long long micros) {
    const bool negative = micros < 0;
    unsigned long long mag = negative ? 0ULL - static_cast<unsigned long long>(micros) : micros;
    char buf[40];
    char* end = buf + sizeof buf;
    char* p = end;
    for (const char* z = "000"; *z; ++z) *--p = *z;
    unsigned long long frac = mag % 1000000;
    for (int i = 0; i < 6; ++i, frac /= 10) *--p = static_cast<char>('0' + frac % 10);
    *--p = '.';
    mag /= 1000000;
    do {
        *--p = static_cast<char>('0' + mag % 10);
        mag /= 10;
    } while (mag);
    if (negative) *--p = '-';
    return ascii_str(p, end - p);
}

// GetAge(id): time since creation as decimal seconds.
PyObject* get_age(PyObject* const* a) {
    PyObject* cls = a[0];
    Ref created = call_member(cls, kGetCreatedAt, {a[1]});
    if (!created) return nullptr;
    // diff = datetime.now(timezone.utc) - created
    Ref now;
    if (genuine_datetime() && genuine_timezone()) {
        Stamp s;
        const int got = read_clock(s);
        if (got < 0) return nullptr;
        if (got > 0) {
            if (plain_datetime(created.get()) && tzinfo_of(created.get()) == g_utc)
                return age_text(micros_since_1970(s) - micros_since_1970(stamp_of(created.get()))).release();
            now = Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTime(s.year, s.month, s.day, s.hour, s.minute,
                                                                     s.second, s.micro, g_utc,
                                                                     PyDateTimeAPI->DateTimeType));
            if (!now) return nullptr;
        }
    }
    if (!now && !(now = general_now())) return nullptr;
    Ref diff = Ref::steal(PyNumber_Subtract(now.get(), created.get()));
    if (!diff) return nullptr;
    // total_microseconds = diff.days * 24 * 60 * 60 * 1000000 + diff.seconds * 1000000 + diff.microseconds
    if (g_native_datetime && PyDelta_CheckExact(diff.get())) {
        const long long days = PyDateTime_DELTA_GET_DAYS(diff.get());
        if (days > -100000000 && days < 100000000)
            return age_text(days * 86400000000LL + PyDateTime_DELTA_GET_SECONDS(diff.get()) * 1000000LL +
                            PyDateTime_DELTA_GET_MICROSECONDS(diff.get()))
                .release();
    }
    Ref total = Ref::steal(PyObject_GetAttr(diff.get(), s_days));
    if (!total) return nullptr;
    for (long long factor : {24LL, 60LL, 60LL, 1000000LL}) {
        Ref f = new_int(factor);
        if (!f || !(total = Ref::steal(PyNumber_Multiply(total.get(), f.get())))) return nullptr;
    }
    Ref secs_attr = Ref::steal(PyObject_GetAttr(diff.get(), s_seconds));
    Ref mega = secs_attr ? new_int(1000000) : Ref();
    Ref part = mega ? Ref::steal(PyNumber_Multiply(secs_attr.get(), mega.get())) : Ref();
    if (!part || !(total = add(total.get(), part.get()))) return nullptr;
    Ref micro_attr = Ref::steal(PyObject_GetAttr(diff.get(), s_microseconds));
    if (!micro_attr || !(total = add(total.get(), micro_attr.get()))) return nullptr;
    long long micros;
    if (exact_int_value(total.get(), micros)) return age_text(micros).release();
    // sign, then the magnitude split into seconds, milliseconds, nanoseconds
    Ref zero = new_int(0);
    if (!zero) return nullptr;
    const int negative = compare(total.get(), zero.get(), Py_LT);
    if (negative < 0) return nullptr;
    Ref mag = negative ? Ref::steal(PyNumber_Negative(total.get())) : total;
    Ref million = mag ? new_int(1000000) : Ref();
    Ref thousand = million ? new_int(1000) : Ref();
    Ref secs = thousand ? Ref::steal(PyNumber_FloorDivide(mag.get(), million.get())) : Ref();
    Ref rest = secs ? Ref::steal(PyNumber_Remainder(mag.get(), million.get())) : Ref();
    Ref ms = rest ? Ref::steal(PyNumber_FloorDivide(rest.get(), thousand.get())) : Ref();
    Ref sub = ms ? Ref::steal(PyNumber_Remainder(rest.get(), thousand.get())) : Ref();
    Ref ns = sub ? Ref::steal(PyNumber_Multiply(sub.get(), thousand.get())) : Ref();
    Ref secs_text = ns ? format(secs.get(), s_empty) : Ref();
    Ref ms_text = secs_text ? format(ms.get(), s_fmt_03d) : Ref();
    Ref ns_text = ms_text ? format(ns.get(), s_fmt_06d) : Ref();
    if (!ns_text) return nullptr;
    return join({Piece(negative ? "-" : "", negative ? 1 : 0), Piece(secs_text.get()), Piece(".", 1),
                 Piece(ms_text.get()), Piece(ns_text.get())})
        .release();
}

// GetTicksSinceEpoch(id): 100-nanosecond units from _epoch_2026 to the
// creation instant, counted exactly.
PyObject* get_ticks(PyObject* const* a) {
    PyObject* cls = a[0];
    Ref created = call_member(cls, kGetCreatedAt, {a[1]});
    Ref epoch = created ? class_attr(cls, s_epoch) : Ref();
    if (!epoch) return nullptr;
    // Equal tzinfo objects: the difference of the clock fields.
    if (plain_datetime(created.get()) && plain_datetime(epoch.get()) &&
        tzinfo_of(created.get()) == tzinfo_of(epoch.get()))
        return PyLong_FromLongLong(
            (micros_since_1970(stamp_of(created.get())) - micros_since_1970(stamp_of(epoch.get()))) * 10);
    Ref delta = Ref::steal(PyNumber_Subtract(created.get(), epoch.get()));
    if (!delta) return nullptr;
    // (delta.days * 86400 + delta.seconds) * 10_000_000 + delta.microseconds * 10
    Ref days = Ref::steal(PyObject_GetAttr(delta.get(), s_days));
    Ref day_secs = new_int(86400);
    Ref r = days && day_secs ? Ref::steal(PyNumber_Multiply(days.get(), day_secs.get())) : Ref();
    Ref secs = r ? Ref::steal(PyObject_GetAttr(delta.get(), s_seconds)) : Ref();
    if (!secs || !(r = add(r.get(), secs.get()))) return nullptr;
    Ref per_sec = new_int(10000000);
    if (!per_sec || !(r = Ref::steal(PyNumber_Multiply(r.get(), per_sec.get())))) return nullptr;
    Ref micro = Ref::steal(PyObject_GetAttr(delta.get(), s_microseconds));
    Ref ten = micro ? new_int(10) : Ref();
    Ref part = ten ? Ref::steal(PyNumber_Multiply(micro.get(), ten.get())) : Ref();
    return part ? add(r.get(), part.get()).release() : nullptr;
}

// GetNanosecondsSinceEpoch(id): ticks times 100.
PyObject* get_nanoseconds(PyObject* const* a) {
    Ref ticks = call_member(a[0], kGetTicksSinceEpoch, {a[1]});
    Ref hundred = ticks ? new_int(100) : Ref();
    return hundred ? PyNumber_Multiply(ticks.get(), hundred.get()) : nullptr;
}

// GetExactCreationWithMsNs(id): "YYYY-MM-DD HH:MM:SS:mmm:nnnnnn UTC".
PyObject* get_exact_creation(PyObject* const* a) {
    PyObject* cls = a[0];
    Ref created = call_member(cls, kGetCreatedAt, {a[1]});
    if (!created) return nullptr;
    if (plain_datetime(created.get()) && PyDateTime_GET_YEAR(created.get()) >= 1000) {
        const Stamp s = stamp_of(created.get());
        char buf[] = "YYYY-MM-DD HH:MM:SS:mmm:nnn000 UTC";
        write_fields(buf, s);
        text::fixed(buf + 24, static_cast<unsigned>(s.micro % 1000), 3);
        return ascii_str(buf, sizeof buf - 1).release();
    }
    // ms = created.microsecond // 1000; ns = (created.microsecond % 1000) * 1000
    Ref micro = Ref::steal(PyObject_GetAttr(created.get(), s_microsecond));
    Ref thousand = micro ? new_int(1000) : Ref();
    Ref ms = thousand ? Ref::steal(PyNumber_FloorDivide(micro.get(), thousand.get())) : Ref();
    Ref micro2 = ms ? Ref::steal(PyObject_GetAttr(created.get(), s_microsecond)) : Ref();
    Ref sub = micro2 ? Ref::steal(PyNumber_Remainder(micro2.get(), thousand.get())) : Ref();
    Ref ns = sub ? Ref::steal(PyNumber_Multiply(sub.get(), thousand.get())) : Ref();
    Ref head = ns ? call_method(created.get(), s_strftime, {s_exact_pattern}) : Ref();
    Ref head_text = head ? format(head.get(), s_empty) : Ref();
    Ref ms_text = head_text ? format(ms.get(), s_fmt_03d) : Ref();
    Ref ns_text = ms_text ? format(ns.get(), s_fmt_06d) : Ref();
    if (!ns_text) return nullptr;
    return join({Piece(head_text.get()), Piece(":", 1), Piece(ms_text.get()), Piece(":", 1), Piece(ns_text.get()),
                 Piece(" UTC", 4)})
        .release();
}

// ------------------------------------------------------------ the class

constexpr Param new_params[] = {{"user_name", "str", Check::Str}, {"transaction_type", "str", Check::Str}};
constexpr Param id_params[] = {{"id", "str", Check::Str}};
constexpr Param value_params[] = {{"value", "str", Check::Str}};
constexpr Param part_params[] = {{"value", "str", Check::Str}, {"field_name", "str", Check::Str}};

const FuncDef members[kMemberCount] = {
    {.name = "New", .kind = Kind::ClassMethod, .impl = new_id, .ret = "str", .params = new_params,
     .result = Result::Str},
    {.name = "GetCreatedAt", .kind = Kind::ClassMethod, .impl = get_created_at, .ret = "datetime",
     .params = id_params},
    {.name = "GetCreatedAtUtc", .kind = Kind::ClassMethod, .impl = get_created_at_utc, .ret = "datetime",
     .params = id_params},
    {.name = "GetAge", .kind = Kind::ClassMethod, .impl = get_age, .ret = "str", .params = id_params,
     .result = Result::Str},
    {.name = "GetTicksSinceEpoch", .kind = Kind::ClassMethod, .impl = get_ticks, .ret = "int", .params = id_params,
     .result = Result::Int},
    {.name = "GetNanosecondsSinceEpoch", .kind = Kind::ClassMethod, .impl = get_nanoseconds, .ret = "int",
     .params = id_params, .result = Result::Int},
    {.name = "GetExactCreationWithMsNs", .kind = Kind::ClassMethod, .impl = get_exact_creation, .ret = "str",
     .params = id_params, .result = Result::Str},
    {.name = "GetTempId", .kind = Kind::ClassMethod, .impl = get_temp_id, .ret = "str", .params = id_params,
     .result = Result::Str},
    {.name = "GetUniqueCode", .kind = Kind::ClassMethod, .impl = get_unique_code, .ret = "str",
     .params = id_params, .result = Result::Str},
    {.name = "_current_timestamp", .kind = Kind::ClassMethod, .impl = current_timestamp, .ret = "str",
     .result = Result::Str},
    {.name = "_validate_part", .kind = Kind::StaticMethod, .impl = validate_part, .ret = "str",
     .params = part_params, .result = Result::Str},
    {.name = "_validate_timestamp", .kind = Kind::StaticMethod, .impl = validate_timestamp, .ret = "None",
     .params = value_params},
    {.name = "_validate_unique_code", .kind = Kind::StaticMethod, .impl = validate_unique_code, .ret = "None",
     .params = value_params},
    {.name = "_split_id", .kind = Kind::ClassMethod, .impl = split_id, .ret = "tuple[str, str, str]",
     .params = id_params},
};

bool intern_all() {
    if (!intern_names({
        {&s_user_name, "user_name"},
        {&s_transaction_type, "transaction_type"},
        {&s_lock, "_lock"},
        {&s_counter, "_counter"},
        {&s_last_timestamp, "_last_timestamp"},
        {&s_process_code, "_process_code"},
        {&s_timestamp_length, "_timestamp_length"},
        {&s_unique_length, "_unique_length"},
        {&s_epoch, "_epoch_2026"},
        {&s_datetime, "datetime"},
        {&s_timezone, "timezone"},
        {&s_now, "now"},
        {&s_utc, "utc"},
        {&s_strftime, "strftime"},
        {&s_strptime, "strptime"},
        {&s_replace, "replace"},
        {&s_microsecond, "microsecond"},
        {&s_days, "days"},
        {&s_seconds, "seconds"},
        {&s_microseconds, "microseconds"},
        {&s_parse_pattern, "%Y-%m-%d:%H.%M.%S.%f"},
        {&s_stamp_pattern, "%Y-%m-%d:%H.%M.%S."},
        {&s_exact_pattern, "%Y-%m-%d %H:%M:%S"},
        {&s_empty, ""},
        {&s_fmt_03d, "03d"},
        {&s_fmt_06d, "06d"},
        {&s_fmt_05X, "05X"},
        {&s_bad_timestamp, "Invalid kTag timestamp format."},
    }))
        return false;
    return (s_tzinfo_kwnames = Py_BuildValue("(s)", "tzinfo")) != nullptr;
}

// The datetime C interface, used only when it is the module just imported.
void find_datetime_api() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) {
        PyErr_Clear();
        return;
    }
    g_native_datetime = reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType) == g_datetime &&
                        reinterpret_cast<PyObject*>(PyDateTimeAPI->DeltaType) != nullptr &&
                        PyDateTimeAPI->TimeZone_UTC == g_utc;
}

// Records the members as created, and where their wrappers keep the
// callable.
bool record_members() {
    for (int m = 0; m < kMemberCount; ++m) {
        Original& o = g_orig[m];
        if (!(o.name = intern(members[m].name))) return false;
        o.wrapper = PyDict_GetItemWithError(g_class_dict, o.name);
        if (!o.wrapper) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "member %U missing", o.name);
            return false;
        }
        Py_INCREF(o.wrapper);
        o.func = PyObject_GetAttrString(o.wrapper, "__func__");
        if (!o.func || (m == 0 && !compat::probe_wrapped_callable(o.wrapper))) return false;
    }
    return true;
}

PyObject* report() { return shortcut_report(shortcuts); }

ModuleInterface g_interface = {kInterfaceVersion, sizeof(ModuleInterface), report, compat::probe_report};

int exec(PyObject* module) {
    if (!begin_exec(once, module)) return -1;
    g_globals = Py_NewRef(PyModule_GetDict(module));
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name || !intern_all()) return -1;

    // import secrets; import threading; from datetime import datetime, timezone
    Ref secrets = Ref::steal(PyImport_ImportModule("secrets"));
    if (!set_global(g_globals, "secrets", secrets)) return -1;
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!set_global(g_globals, "threading", threading)) return -1;
    Ref datetime = import_from(g_globals, "datetime", "datetime");
    if (!set_global(g_globals, "datetime", datetime)) return -1;
    Ref timezone = import_from(g_globals, "datetime", "timezone");
    if (!set_global(g_globals, "timezone", timezone)) return -1;
    g_datetime = Py_NewRef(datetime.get());
    g_timezone = Py_NewRef(timezone.get());
    Ref utc = Ref::steal(PyObject_GetAttr(timezone.get(), s_utc));
    if (!utc) return -1;
    g_utc = Py_NewRef(utc.get());
    find_datetime_api();

    ClassBody body("kTag", module_name.get());
    if (!body.prepare("Generate IDs from user name, transaction type, timestamp, and a unique suffix."))
        return -1;

    // _epoch_2026 = datetime(2026, 1, 1, tzinfo=timezone.utc)
    Ref y = new_int(2026), one = new_int(1);
    if (!y || !one) return -1;
    PyObject* epoch_args[] = {y.get(), one.get(), one.get(), utc.get()};
    Ref epoch = Ref::steal(PyObject_Vectorcall(datetime.get(), epoch_args, 3, s_tzinfo_kwnames));
    // _process_code = f"{secrets.randbits(20):05X}"
    Ref bits = new_int(20);
    Ref randbits = bits ? call_method(secrets.get(), intern("randbits"), {bits.get()}) : Ref();
    Ref code = randbits ? format(randbits.get(), s_fmt_05X) : Ref();
    // _lock = threading.Lock()
    Ref lock_cls = Ref::steal(PyObject_GetAttrString(threading.get(), "Lock"));
    Ref lock = lock_cls ? call(lock_cls.get()) : Ref();
    if (!body.set("_epoch_2026", epoch) || !body.set("_unique_length", new_int(kUniqueLength)) ||
        !body.set("_timestamp_length", new_int(kStampLength)) || !body.set("_process_code", code) ||
        !body.set("_last_timestamp", Ref::borrow(s_empty)) || !body.set("_counter", new_int(0)) ||
        !body.set("_lock", lock) || !body.add_all(members))
        return -1;
    Ref cls = body.create();
    if (!cls || !g_lock.find(lock.get())) return -1;
    g_class = Py_NewRef(cls.get());
    g_class_dict = PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls.get()));
    if (!g_class_dict || !record_members() || !set_global(g_globals, "kTag", cls)) return -1;
    // Without a free watcher id the view is read again at every use.
    module_hub().start(on_dict_change);
    if (module_hub().on() && (!module_hub().watch(g_class_dict) || !module_hub().watch(g_globals))) return -1;
    if (!export_interface(module, &g_interface)) return -1;
    end_exec(once, module);
    return 0;
}

}  // namespace

KST_MODULE(kTag, "Transaction-style ID generator utilities.", exec)
