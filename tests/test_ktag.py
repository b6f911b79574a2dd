"""kestrune.utils.kTag: identifier layout, generation under a lock, parsing
and time queries, and how subclasses and rebound module names take part."""
import gc
import inspect
import os
import re
import sys
import threading
import time
from datetime import datetime, timedelta, timezone

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kestrune.utils.kTag as ktag_module
from kestrune.utils.kTag import kTag
from threadrun import run_switching

UTC = timezone.utc
EXAMPLE = "alice_payment_2026-03-15:08.30.45.1237F3A200001"
ID_RE = re.compile(r"(?P<user>[^_]+)_(?P<type>[^_]+)_(?P<stamp>\d{4}-\d\d-\d\d:\d\d\.\d\d\.\d\d\.\d{3})"
                   r"(?P<code>[0-9A-F]{5})(?P<counter>[0-9A-F]{5})")
SLOW = hasattr(sys, "gettotalrefcount") or "libasan" in os.environ.get("LD_PRELOAD", "")
BASE = datetime(2026, 5, 1, 23, 59, 59, 990000, tzinfo=UTC)


def stamp(ms):
    """The timestamp text `ms` milliseconds after BASE."""
    t = BASE + timedelta(milliseconds=ms)
    return t.strftime("%Y-%m-%d:%H.%M.%S.") + f"{t.microsecond // 1000:03d}"


def scripted(readings, counter=0, last=""):
    """A subclass with its own state whose clock reads `readings`, then
    keeps moving on by one millisecond per read."""
    readings = list(readings)

    class Scripted(kTag):
        _counter = counter
        _last_timestamp = last
        _lock = threading.Lock()
        reads = []

        @classmethod
        def _current_timestamp(cls):
            value = readings.pop(0) if readings else stamp(10_000 + len(cls.reads))
            cls.reads.append(value)
            return value

    return Scripted


class StrSub(str):
    pass


@pytest.fixture
def ktag_state():
    """Puts kTag's counter state back after a test that moves it."""
    saved = kTag._counter, kTag._last_timestamp
    yield
    kTag._counter, kTag._last_timestamp = saved


# ---------------------------------------------------------------- structure


def test_module_and_class_namespace():
    import secrets

    assert ktag_module.__doc__ == "Transaction-style ID generator utilities."
    names = [k for k in vars(ktag_module) if not k.startswith("__")]
    assert names == ["secrets", "threading", "datetime", "timezone", "kTag"]
    assert ktag_module.secrets is secrets and ktag_module.threading is threading
    assert ktag_module.datetime is datetime and ktag_module.timezone is timezone
    assert kTag.__doc__ == "Generate IDs from user name, transaction type, timestamp, and a unique suffix."
    assert kTag.__bases__ == (object,) and type(kTag) is type and kTag.__module__ == "kestrune.utils.kTag"
    own = [k for k in vars(kTag) if not k.startswith("__")]
    assert own == ["_epoch_2026", "_unique_length", "_timestamp_length", "_process_code", "_last_timestamp",
                   "_counter", "_lock", "New", "GetCreatedAt", "GetCreatedAtUtc", "GetAge", "GetTicksSinceEpoch",
                   "GetNanosecondsSinceEpoch", "GetExactCreationWithMsNs", "GetTempId", "GetUniqueCode",
                   "_current_timestamp", "_validate_part", "_validate_timestamp", "_validate_unique_code",
                   "_split_id"]


def test_class_attributes():
    assert kTag._epoch_2026 == datetime(2026, 1, 1, tzinfo=UTC) and kTag._epoch_2026.tzinfo is UTC
    assert (kTag._unique_length, kTag._timestamp_length) == (10, 23)
    assert re.fullmatch(r"[0-9A-F]{5}", kTag._process_code)
    assert type(kTag._lock) is type(threading.Lock()) and not kTag._lock.locked()
    assert isinstance(kTag._counter, int) and isinstance(kTag._last_timestamp, str)


STATIC = {"_validate_part", "_validate_timestamp", "_validate_unique_code"}
SIGNATURES = {
    "New": "(cls, user_name: 'str', transaction_type: 'str') -> 'str'",
    "GetCreatedAt": "(cls, id: 'str') -> 'datetime'",
    "GetCreatedAtUtc": "(cls, id: 'str') -> 'datetime'",
    "GetAge": "(cls, id: 'str') -> 'str'",
    "GetTicksSinceEpoch": "(cls, id: 'str') -> 'int'",
    "GetNanosecondsSinceEpoch": "(cls, id: 'str') -> 'int'",
    "GetExactCreationWithMsNs": "(cls, id: 'str') -> 'str'",
    "GetTempId": "(cls, id: 'str') -> 'str'",
    "GetUniqueCode": "(cls, id: 'str') -> 'str'",
    "_current_timestamp": "(cls) -> 'str'",
    "_validate_part": "(value: 'str', field_name: 'str') -> 'str'",
    "_validate_timestamp": "(value: 'str') -> 'None'",
    "_validate_unique_code": "(value: 'str') -> 'None'",
    "_split_id": "(cls, id: 'str') -> 'tuple[str, str, str]'",
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_member_kinds_and_annotations(name):
    wrapper = vars(kTag)[name]
    assert type(wrapper) is (staticmethod if name in STATIC else classmethod)
    func = wrapper.__func__
    assert func.__qualname__ == f"kTag.{name}" and func.__module__ == "kestrune.utils.kTag"
    assert str(inspect.signature(func)) == SIGNATURES[name]
    params = [p for p in inspect.signature(func).parameters if p != "cls"]
    assert func.__annotations__ == {**{p: "str" for p in params}, "return": SIGNATURES[name].split("-> ")[1][1:-1]}


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
@pytest.mark.no_refleak  # the reference totals of a refused import vary from run to run
def test_reinitialisation_is_refused(fresh_import):
    with pytest.raises(RuntimeError, match=r"^Module 'kTag' has already been imported\. Re-initialisation"):
        fresh_import("kestrune.utils.kTag")


# ---------------------------------------------------------------- New


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_new_layout_and_clock(ktag_state):
    before = datetime.now(UTC)
    ident = kTag.New("  bob ", "payment")
    after = datetime.now(UTC)
    m = ID_RE.fullmatch(ident)
    assert m and m["user"] == "bob" and m["type"] == "payment" and m["code"] == kTag._process_code
    created = kTag.GetCreatedAt(ident)
    assert before.replace(microsecond=before.microsecond // 1000 * 1000) <= created <= after
    assert kTag._last_timestamp == m["stamp"] and kTag._counter == int(m["counter"], 16)
    assert kTag.GetTempId(ident) == ident[-33:] and kTag.GetUniqueCode(ident) == ident[-10:]


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_new_keeps_inner_and_unicode_text(ktag_state):
    ident = kTag.New("\u2003John Smith\u00a0", "caf\u00e9-\U0001f600:1.2")
    assert ident.startswith("John Smith_caf\u00e9-\U0001f600:1.2_") and len(ident.split("_")[2]) == 33


def test_current_timestamp_reads_the_clock_truncated():
    def text(t):
        return t.strftime("%Y-%m-%d:%H.%M.%S.") + f"{t.microsecond // 1000:03d}"

    for _ in range(200):
        before = text(datetime.now(UTC))
        value = kTag._current_timestamp()
        assert type(value) is str and before <= value <= text(datetime.now(UTC))


@pytest.mark.parametrize(
    "user, kind, message",
    [
        ("", "payment", "user_name cannot be empty."),
        ("   ", "payment", "user_name cannot be empty."),
        ("\t\n\u3000", "payment", "user_name cannot be empty."),
        ("a_b", "payment", "user_name cannot contain underscores."),
        (" _ ", "payment", "user_name cannot contain underscores."),
        ("a_b", "", "user_name cannot contain underscores."),
        ("alice", " ", "transaction_type cannot be empty."),
        ("alice", " _ ", "transaction_type cannot contain underscores."),
    ],
)
@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_new_value_errors(ktag_state, user, kind, message):
    state = kTag._counter, kTag._last_timestamp
    with pytest.raises(ValueError) as info:
        kTag.New(user, kind)
    assert str(info.value) == message and (kTag._counter, kTag._last_timestamp) == state


@pytest.mark.parametrize(
    "user, kind, message",
    [
        (None, "x", "Argument 'user_name' has incorrect type (expected str, got NoneType)"),
        (StrSub("a"), "x", "Argument 'user_name' has incorrect type (expected str, got StrSub)"),
        ("", None, "Argument 'transaction_type' has incorrect type (expected str, got NoneType)"),
        (None, 5, "Argument 'user_name' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_new_type_errors_come_first(user, kind, message):
    with pytest.raises(TypeError) as info:
        kTag.New(user, kind)
    assert str(info.value) == message
    assert bool(getattr(info.value, "__notes__", None)) == isinstance(user, StrSub)


def test_validate_part_directly():
    assert kTag._validate_part("  x y ", "f") == "x y"
    assert kTag._validate_part(value="ab", field_name="f") == "ab"
    with pytest.raises(ValueError, match=r"^my field cannot be empty\.$"):
        kTag._validate_part(" ", "my field")


@pytest.mark.parametrize(
    "value, message",
    [("abcdef0123", "Invalid kTag unique code."), ("ABCDEF012G", "Invalid kTag unique code."),
     ("ABCDEF012", "Invalid kTag unique code length."), ("abcdef01234", "Invalid kTag unique code length."),
     ("\uff10" * 10, "Invalid kTag unique code.")],
)
def test_validate_unique_code(value, message):
    assert kTag._validate_unique_code("0123456789") is None and kTag._validate_unique_code("ABCDEF0000") is None
    with pytest.raises(ValueError) as info:
        kTag._validate_unique_code(value)
    assert str(info.value) == message


# ------------------------------------------------------- counter and clock


@pytest.mark.no_refleak  # each run makes a class whose reference total settles only over many runs
def test_counter_within_a_millisecond_and_after():
    Sub = scripted([stamp(0), stamp(0), stamp(0), stamp(1), stamp(1)])
    got = [Sub.New("u", "t")[-5:] for _ in range(5)]
    assert got == ["00000", "00001", "00002", "00000", "00001"]
    assert Sub._last_timestamp == stamp(1) and Sub._counter == 1
    assert "_counter" in vars(Sub) and kTag._last_timestamp != stamp(1)


@pytest.mark.no_refleak  # each run makes a class whose reference total settles only over many runs
def test_full_counter_waits_for_the_next_millisecond():
    Sub = scripted([stamp(0), stamp(0), stamp(0), stamp(2)], counter=0xFFFFF, last=stamp(0))
    ident = Sub.New("u", "t")
    assert ident.endswith(stamp(2) + kTag._process_code + "00000")
    assert Sub.reads == [stamp(0)] * 3 + [stamp(2)] and Sub._counter == 0


@pytest.mark.no_refleak  # each run makes a class whose reference total settles only over many runs
def test_clock_behind_continues_after_the_last_timestamp():
    Sub = scripted([stamp(5), stamp(3), stamp(4), stamp(6)])
    got = [Sub.New("u", "t").split("_")[2] for _ in range(4)]
    code = kTag._process_code
    assert got == [stamp(5) + code + "00000", stamp(5) + code + "00001", stamp(5) + code + "00002",
                   stamp(6) + code + "00000"]


@pytest.mark.parametrize("last, expected", [
    ("2026-05-01:23.59.59.999", "2026-05-02:00.00.00.000"),
    ("2028-02-28:23.59.59.999", "2028-02-29:00.00.00.000"),
    ("2026-12-31:23.59.59.999", "2027-01-01:00.00.00.000"),
    ("2026-06-01:10.20.30.400", "2026-06-01:10.20.30.401"),
])
@pytest.mark.no_refleak  # each run makes a class whose reference total settles only over many runs
def test_full_counter_behind_takes_the_millisecond_after(last, expected):
    Sub = scripted([stamp(0)], counter=0xFFFFF, last=last)
    assert Sub.New("u", "t").endswith(expected + kTag._process_code + "00000")
    assert len(Sub.reads) == 1 and Sub._last_timestamp == expected


@pytest.mark.no_refleak  # each run makes a class whose reference total settles only over many runs
def test_full_counter_behind_an_unparsable_last_waits():
    Sub = scripted([stamp(0), stamp(1)], counter=0xFFFFF, last=stamp(1)[:-1] + "x")
    assert Sub.New("u", "t").endswith(stamp(10_002) + kTag._process_code + "00000")
    assert len(Sub.reads) == 3


class Model:
    """The generation rule in plain Python."""

    def __init__(self, clock, counter, last):
        self.clock, self.counter, self.last = clock, counter, last

    def following(self):
        t = datetime.strptime(self.last, "%Y-%m-%d:%H.%M.%S.%f") + timedelta(milliseconds=1)
        return t.strftime("%Y-%m-%d:%H.%M.%S.") + f"{t.microsecond // 1000:03d}"

    def new(self):
        reading = self.clock()
        if reading > self.last:
            self.counter, ts = 0, reading
        else:
            ts = self.last
            self.counter += 1
            if self.counter >= 1 << 20:
                while True:
                    if reading < self.last:
                        ts = self.following()
                        break
                    if reading > self.last:
                        ts = reading
                        break
                    reading = self.clock()
                self.counter = 0
        self.last = ts
        return ts + kTag._process_code + f"{self.counter:05X}"


@settings(max_examples=60 if SLOW else 300, deadline=None)
@given(st.lists(st.integers(0, 8), min_size=1, max_size=25), st.sampled_from([0, 0xFFFFD, 0xFFFFF]),
       st.sampled_from([None, 0, 4, 9]))
@pytest.mark.no_refleak  # each run makes a class whose reference total settles only over many runs
def test_generation_follows_the_model(offsets, counter, last_offset):
    last = "" if last_offset is None else stamp(last_offset)
    Sub = scripted([stamp(o) for o in offsets], counter=counter, last=last)
    readings = [stamp(o) for o in offsets]
    model_reads = []

    def clock():
        value = readings.pop(0) if readings else stamp(10_000 + len(model_reads))
        model_reads.append(value)
        return value

    model = Model(clock, counter, last)
    got = [Sub.New("u", "t").split("_")[2] for _ in offsets]
    assert got == [model.new() for _ in offsets]
    assert got == sorted(set(got)) and (last == "" or got[0] > last)


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_native_generation_with_a_later_last_timestamp(ktag_state):
    # A stored timestamp ahead of the real clock (as after the clock was set back).
    kTag._last_timestamp, kTag._counter = "2999-12-31:23.59.59.998", 5
    a, b = kTag.New("u", "t"), kTag.New("u", "t")
    assert a.endswith("2999-12-31:23.59.59.998" + kTag._process_code + "00006") and b[-5:] == "00007"
    kTag._counter = 0xFFFFF
    assert kTag.New("u", "t").endswith("2999-12-31:23.59.59.999" + kTag._process_code + "00000")
    kTag._counter = 0xFFFFF
    assert kTag.New("u", "t").endswith("3000-01-01:00.00.00.000" + kTag._process_code + "00000")


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_native_generation_picks_up_outside_writes(ktag_state):
    kTag._last_timestamp, kTag._counter = "2999-12-31:23.59.59.998", 41
    assert kTag.New("u", "t")[-5:] == "0002A"
    kTag._counter = 7
    assert kTag.New("u", "t")[-5:] == "00008"
    kTag._last_timestamp = ""
    ident = kTag.New("u", "t")
    assert ident[-5:] == "00000" and kTag._last_timestamp == ident[-33:-10] and kTag._counter == 0


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
@pytest.mark.no_refleak  # thread states and a large run; the leak test covers New
def test_threads_get_distinct_ordered_identifiers(ktag_state):
    per_thread = 5000 if SLOW else 50000
    results = [None] * 8
    start = threading.Barrier(8)

    def run(i):
        start.wait()
        results[i] = [kTag.New("user", f"t{i}").split("_")[2] for _ in range(per_thread)]

    run_switching(run, [(i,) for i in range(8)])  # threads switch inside New as often as they can
    everything = [x for r in results for x in r]
    assert len(set(everything)) == 8 * per_thread
    assert all(r == sorted(r) for r in results)


@pytest.mark.no_refleak  # makes a class per run
def test_threads_with_a_python_clock_share_the_lock():
    Sub = scripted([])
    results = [None] * 4

    def run(i):
        results[i] = [Sub.New("u", "t").split("_")[2] for _ in range(300)]

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    everything = [x for r in results for x in r]
    assert len(set(everything)) == 1200 and all(r == sorted(r) for r in results)


# -------------------------------------------------------------- the lock


def test_lock_released_when_the_clock_raises():
    class Boom(kTag):
        _lock = threading.Lock()

        @classmethod
        def _current_timestamp(cls):
            raise KeyError("clock")

    with pytest.raises(KeyError):
        Boom.New("u", "t")
    assert not Boom._lock.locked() and "_counter" not in vars(Boom)


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_blocked_new_waits_for_the_lock_without_the_gil(ktag_state):
    done = []
    with kTag._lock:
        worker = threading.Thread(target=lambda: done.append(kTag.New("u", "t")))
        worker.start()
        time.sleep(0.05)
        assert not done and worker.is_alive()  # this thread kept running meanwhile
    worker.join(5)
    assert done and ID_RE.fullmatch(done[0])


class Recorder:
    def __init__(self, suppress=False):
        self.calls, self.suppress = [], suppress

    def __enter__(self):
        self.calls.append("enter")
        return self

    def __exit__(self, *exc):
        self.calls.append(exc)
        return self.suppress


@pytest.mark.no_refleak  # makes classes per run; the class caches settle slowly
def test_any_context_manager_serves_as_lock():
    rec = Recorder()
    Sub = scripted([stamp(0)])
    Sub._lock = rec
    Sub.New("u", "t")
    assert rec.calls == ["enter", (None, None, None)]

    failing = scripted([])
    failing._lock = Recorder()

    def boom(cls):
        raise KeyError("x")

    failing._current_timestamp = classmethod(boom)
    with pytest.raises(KeyError) as info:
        failing.New("u", "t")
    kind, value, tb = failing._lock.calls[1]
    assert kind is KeyError and value is info.value
    chain = value.__traceback__  # it grew on the way out; what __exit__ got is its tail
    while chain is not None and chain is not tb:
        chain = chain.tb_next
    assert tb is not None and chain is tb


@pytest.mark.no_refleak  # makes a class per run; the class caches settle slowly
def test_suppressing_exit_leaves_locals_unbound():
    Sub = scripted([])
    Sub._lock = Recorder(suppress=True)
    Sub._current_timestamp = classmethod(lambda cls: 1 / 0)
    with pytest.raises(UnboundLocalError, match="local variable 'timestamp'"):
        Sub.New("u", "t")
    Sub._current_timestamp = classmethod(lambda cls: stamp(0))
    Sub._counter = "x"  # the same millisecond: "x" + 1 fails
    Sub._last_timestamp = stamp(0)
    with pytest.raises(UnboundLocalError, match="local variable 'unique_code'"):
        Sub.New("u", "t")


@pytest.mark.parametrize("lock, missing", [(object(), "__exit__"), (type("OnlyExit", (), {"__exit__": print})(),
                                                                    "__enter__")])
@pytest.mark.no_refleak  # each run makes a class whose reference total settles only over many runs
def test_lock_without_context_protocol(lock, missing):
    Sub = scripted([])
    Sub._lock = lock
    with pytest.raises(TypeError, match=rf"does not support the context manager protocol \(missed {missing}"):
        Sub.New("u", "t")


# --------------------------------------------------------------- parsing


def test_example_through_every_query():
    created = datetime(2026, 3, 15, 8, 30, 45, 123000, tzinfo=UTC)
    ticks = ((73 * 86400 + 8 * 3600 + 30 * 60 + 45) * 1000 + 123) * 10_000
    assert kTag._split_id(EXAMPLE) == ("alice", "payment", "2026-03-15:08.30.45.1237F3A200001")
    assert kTag.GetTempId(EXAMPLE) == "2026-03-15:08.30.45.1237F3A200001"
    assert kTag.GetUniqueCode(EXAMPLE) == "7F3A200001"
    for got in (kTag.GetCreatedAt(EXAMPLE), kTag.GetCreatedAtUtc(id=EXAMPLE)):
        assert got == created and got.tzinfo is UTC and type(got) is datetime
    assert kTag.GetExactCreationWithMsNs(EXAMPLE) == "2026-03-15 08:30:45:123:000000 UTC"
    assert kTag.GetTicksSinceEpoch(EXAMPLE) == ticks and kTag.GetNanosecondsSinceEpoch(EXAMPLE) == ticks * 100
    age = kTag.GetAge(EXAMPLE)
    expected = (datetime.now(UTC) - created).total_seconds()
    assert re.fullmatch(r"-?\d+\.\d{6}000", age) and abs(float(age) - expected) < 5


@pytest.mark.parametrize(
    "stamp_text, ticks",
    [("2026-01-01:00.00.00.000", 0), ("2025-12-31:23.59.59.999", -10_000),
     ("2026-11-20:12.51.18.933", ((323 * 86400 + 12 * 3600 + 51 * 60 + 18) * 1000 + 933) * 10_000),
     ("0001-01-01:00.00.00.000", -(datetime(2026, 1, 1) - datetime(1, 1, 1)) // timedelta(microseconds=1) * 10)],
)
def test_exact_ticks(stamp_text, ticks):
    ident = f"a_b_{stamp_text}0000000000"
    assert kTag.GetTicksSinceEpoch(ident) == ticks and kTag.GetNanosecondsSinceEpoch(ident) == ticks * 100


def test_hand_made_timestamp_with_short_fields():
    ident = "x_y_2026-3-15:08.30.45.12347F3A200001"
    created = kTag.GetCreatedAt(ident)
    assert created == datetime(2026, 3, 15, 8, 30, 45, 123400, tzinfo=UTC)
    assert kTag.GetExactCreationWithMsNs(ident) == "2026-03-15 08:30:45:123:400000 UTC"
    assert kTag.GetTicksSinceEpoch(ident) == kTag.GetTicksSinceEpoch("x_y_2026-03-15:08.30.45.1237F3A200001") + 4000


@pytest.mark.parametrize(
    "ident, message",
    [
        ("", "Invalid kTag format."), (" \t ", "Invalid kTag format."), ("a_b", "Invalid kTag format."),
        ("a_b_c_d", "Invalid kTag format."), ("_b_c", "Invalid kTag format."), ("a__c", "Invalid kTag format."),
        ("a_b_", "Invalid kTag format."), ("a_b_c", "Invalid kTag format. Expected tempId length 33."),
        ("a_b_" + EXAMPLE[-33:] + "0", "Invalid kTag format. Expected tempId length 33."),
        ("a_b_2026-02-30:08.30.45.1237F3A200001", "Invalid kTag timestamp format."),
        ("a_b_2026-03-15:24.30.45.1237F3A200001", "Invalid kTag timestamp format."),
        ("a_b_2026-03-15:08.30.45.123xyzxyzxyzx", "Invalid kTag unique code."),
        ("a_b_2026-03-15:08.30.45.1237f3a200001", "Invalid kTag unique code."),
        ("a_b_x026-03-15:08.30.45.123zzzzzzzzzz", "Invalid kTag timestamp format."),
    ],
)
@pytest.mark.parametrize("query", ["GetTempId", "GetUniqueCode", "GetCreatedAt", "GetAge", "GetTicksSinceEpoch",
                                   "GetExactCreationWithMsNs", "GetNanosecondsSinceEpoch", "GetCreatedAtUtc"])
def test_parse_errors_in_order(query, ident, message):
    with pytest.raises(ValueError) as info:
        getattr(kTag, query)(ident)
    assert str(info.value) == message
    if "timestamp" in message:
        cause = info.value.__cause__
        assert type(cause) is ValueError and info.value.__suppress_context__ and info.value.__context__ is cause


def test_single_space_fields_and_type_errors():
    ident = " _ _" + EXAMPLE[-33:]
    assert kTag._split_id(ident) == (" ", " ", EXAMPLE[-33:]) and kTag.GetUniqueCode(ident) == "7F3A200001"
    with pytest.raises(TypeError, match=r"^Argument 'id' has incorrect type \(expected str, got NoneType\)$"):
        kTag.GetAge(None)
    with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected str, got StrSub\)"):
        kTag._validate_timestamp(StrSub("2026-03-15:08.30.45.123"))


@pytest.mark.parametrize("text", ["2026-03-15:08.30.45.123", "2026-3-5:8.3.4.123456", "\u0662\u0660\u0662\u0666-03-15:08.30.45.123"])
def test_validate_timestamp_accepts_what_strptime_accepts(text):
    assert kTag._validate_timestamp(text) is None


# ------------------------------------------------------------------ age


class FixedClock(datetime):
    """A datetime whose now() is a fixed instant."""
    instant = datetime(2026, 3, 15, 8, 30, 50, 246456, tzinfo=UTC)

    @classmethod
    def now(cls, tz=None):
        return cls.instant


@pytest.mark.parametrize("instant, age", [
    (datetime(2026, 3, 15, 8, 30, 50, 246456, tzinfo=UTC), "5.123456000"),
    (datetime(2026, 3, 15, 8, 30, 44, 873000, tzinfo=UTC), "-0.250000000"),
    (datetime(2026, 3, 15, 8, 30, 45, 123000, tzinfo=UTC), "0.000000000"),
    (datetime(2026, 3, 14, 8, 30, 45, 123001, tzinfo=UTC), "-86399.999999000"),
    (datetime(2027, 3, 15, 8, 30, 45, 123000, tzinfo=UTC), "31536000.000000000"),
])
@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_age_from_a_rebound_clock(monkeypatch, instant, age):
    monkeypatch.setattr(FixedClock, "instant", instant)
    monkeypatch.setattr(ktag_module, "datetime", FixedClock)
    assert kTag.GetAge(EXAMPLE) == age


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_age_of_a_new_identifier(ktag_state):
    age = kTag.GetAge(kTag.New("u", "t"))
    assert re.fullmatch(r"0\.\d{6}000", age) and float(age) < 1
    future = "a_b_2999-01-01:00.00.00.0000000000000"
    assert kTag.GetAge(future).startswith("-") and not kTag.GetAge(future).startswith("--")


# ----------------------------------------------------- overrides and names


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
@pytest.mark.no_refleak  # makes a datetime subclass per run; 3,000 rounds of it leave the totals flat
def test_rebound_module_names_are_used(monkeypatch, ktag_state):
    calls = []

    class Spy(datetime):
        @classmethod
        def strptime(cls, text, pattern):
            calls.append((text, pattern))
            return super().strptime(text, pattern)

        @classmethod
        def now(cls, tz=None):
            calls.append(tz)
            return datetime(2030, 1, 2, 3, 4, 5, 999999, tzinfo=tz)

    monkeypatch.setattr(ktag_module, "datetime", Spy)
    assert kTag._current_timestamp() == "2030-01-02:03.04.05.999" and calls == [UTC]
    assert kTag.New("u", "t").split("_")[2][:23] == "2030-01-02:03.04.05.999"
    calls.clear()
    created = kTag.GetCreatedAt(EXAMPLE)
    assert type(created) is Spy and created.tzinfo is UTC
    assert calls == [("2026-03-15:08.30.45.123", "%Y-%m-%d:%H.%M.%S.%f")] * 2
    monkeypatch.delattr(ktag_module, "datetime")
    with pytest.raises(NameError, match="name 'datetime' is not defined"):
        kTag._validate_timestamp("2026-03-15:08.30.45.123")
    monkeypatch.undo()
    assert kTag._validate_timestamp("2026-03-15:08.30.45.123") is None


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_rebound_timezone_is_used(monkeypatch):
    other = timezone(timedelta(hours=2))
    utc_ticks = kTag.GetTicksSinceEpoch("a_b_" + EXAMPLE[-33:])
    monkeypatch.setattr(ktag_module, "timezone", type("TZ", (), {"utc": other}))
    assert kTag.GetCreatedAt(EXAMPLE).tzinfo is other
    assert kTag.GetTicksSinceEpoch(EXAMPLE) == utc_ticks - 2 * 3600 * 10**7
    monkeypatch.undo()
    assert kTag.GetCreatedAt(EXAMPLE).tzinfo is UTC


def test_subclass_overrides_reach_the_callers():
    class Sub(kTag):
        @classmethod
        def GetTempId(cls, id):
            return "2026-01-01:00.00.01.0000000000000"

    assert Sub.GetUniqueCode(EXAMPLE) == "0000000000" and Sub.GetTicksSinceEpoch(EXAMPLE) == 10_000_000
    assert Sub.GetCreatedAt(EXAMPLE) == datetime(2026, 1, 1, 0, 0, 1, tzinfo=UTC)

    class Late(kTag):
        _epoch_2026 = datetime(2026, 1, 1, 0, 0, 1, tzinfo=UTC)

    assert Late.GetTicksSinceEpoch(EXAMPLE) == kTag.GetTicksSinceEpoch(EXAMPLE) - 10_000_000

    class Split(kTag):
        _timestamp_length = 22
        _unique_length = 11

    # "2026-03-15:08.30.45.12" parses; "37F3A200001" is one character too long
    with pytest.raises(ValueError, match=r"^Invalid kTag unique code length\.$"):
        Split.GetTempId(EXAMPLE)
    Split._unique_length = 12
    with pytest.raises(ValueError, match=r"^Invalid kTag format\. Expected tempId length 34\.$"):
        Split.GetCreatedAt(EXAMPLE)

    class Naive(kTag):
        _epoch_2026 = datetime(2026, 1, 1)

    with pytest.raises(TypeError, match="can't subtract offset-naive and offset-aware"):
        Naive.GetTicksSinceEpoch(EXAMPLE)


def test_results_are_checked():
    class Sub(kTag):
        @classmethod
        def _split_id(cls, id):
            return ("a", "b", StrSub(EXAMPLE[-33:]))

    with pytest.raises(TypeError, match=r"^Expected str, got StrSub$"):
        Sub.GetTempId(EXAMPLE)

    class Floaty(kTag):
        @classmethod
        def GetTicksSinceEpoch(cls, id):
            return 2.5

    assert Floaty.GetNanosecondsSinceEpoch(EXAMPLE) == 250


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_shortcuts_step_aside_for_replaced_members(monkeypatch, ktag_state):
    monkeypatch.setattr(kTag, "_current_timestamp", classmethod(lambda cls: "2031-01-01:00.00.00.000"))
    assert "_2031-01-01:00.00.00.000" in kTag.New("u", "t")
    monkeypatch.setattr(kTag, "_split_id", classmethod(lambda cls, id: ("a", "b", EXAMPLE[-33:])))
    assert kTag.GetTempId("nonsense") == EXAMPLE[-33:] and kTag.GetUniqueCode("x") == "7F3A200001"
    monkeypatch.setattr(kTag, "_validate_unique_code", staticmethod(lambda value: None))
    assert kTag.GetUniqueCode("x") == "7F3A200001"
    monkeypatch.setattr(kTag, "_validate_part", staticmethod(lambda value, field: field))
    assert kTag.New("  ", "t").startswith("user_name_transaction_type_2031")
    monkeypatch.undo()
    assert ID_RE.fullmatch(kTag.New("u", "t")) and kTag.GetUniqueCode(EXAMPLE) == "7F3A200001"


@pytest.mark.thread_unsafe(reason="re-wraps a member of the class every thread shares")
def test_rewrapped_static_method_is_noticed():
    wrapper = vars(kTag)["_validate_unique_code"]
    original = wrapper.__func__

    def refuse(value):
        raise LookupError(value)

    wrapper.__init__(refuse)
    try:
        with pytest.raises(LookupError):
            kTag.GetTempId(EXAMPLE)
    finally:
        wrapper.__init__(original)
    assert kTag.GetTempId(EXAMPLE) == EXAMPLE[-33:]


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_replaced_lock_and_class_data_are_used(monkeypatch, ktag_state):
    rec = Recorder()
    monkeypatch.setattr(kTag, "_lock", rec)
    monkeypatch.setattr(kTag, "_process_code", 0xAB)
    ident = kTag.New("u", "t")
    assert rec.calls == ["enter", (None, None, None)] and re.fullmatch(r"u_t_.{23}171[0-9A-F]{5}", ident)


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
@pytest.mark.no_refleak  # a leak check of its own
@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="needs the interpreter's own allocator")
def test_no_leaked_objects(ktag_state):
    Sub = scripted([])
    Sub.reads = type("Forgetful", (list,), {"append": lambda self, value: None})()

    def work():
        for cls in (kTag, Sub):
            ident = cls.New("u", "t")
            for q in ("GetTempId", "GetCreatedAt", "GetAge", "GetNanosecondsSinceEpoch",
                      "GetExactCreationWithMsNs", "GetUniqueCode"):
                getattr(cls, q)(ident)
                for bad in ("a_b", "a_b_2026-02-30:08.30.45.1237F3A200001", "a_b_" + ident[-33:-1] + "g"):
                    with pytest.raises(ValueError):
                        getattr(cls, q)(bad)
            cls._split_id(ident)
            cls.GetCreatedAt("a_b_2026-3-15:08.30.45.12347F3A200001")
            for bad_call in (lambda: cls.New("", "t"), lambda: cls.New(None, "t")):
                with pytest.raises((ValueError, TypeError)):
                    bad_call()

    growth = []
    for _ in range(4):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(200):
            work()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    assert min(growth[1:]) < 50
