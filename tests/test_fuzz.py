"""Random calls of every member of the four classes.

Each example builds a small world (a kDict with varied, sometimes directly
written contents, envelopes on it, subclasses whose overrides may answer
junk) and makes a few calls on instances, subclass instances and the classes
themselves.  Argument lists follow each member's signature most of the time,
with values meant to get past the binder, and are sometimes wrong in count or
keyword names.  The only acceptable outcomes are a result or an ordinary
exception: never a crash, never SystemError (the native code broke the C
API's rules), never an unraisable error, and in the debug build never a
leaked reference.

One chooser interface drives the generators: hypothesis for the property
test (it shrinks a failure to a short example), a seeded random.Random for
the leak test (each run repeats the same example from scratch).

    KESTRUNE_FUZZ_EXAMPLES=5000 tools/py314 tools/test --variant release tests/test_fuzz.py

runs a long local fuzz; KESTRUNE_FUZZ_REPORT=1 prints the number of calls and
the outcomes per member.
"""
import collections
import dataclasses
import datetime as dt
import inspect
import math
import os
import random
import struct
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope
from kestrune.utils.kState import kState
from kestrune.utils.kTag import kTag

SEEN = collections.defaultdict(collections.Counter)  # member -> outcome -> count
CALLS = [0]
DEBUG = hasattr(sys, "gettotalrefcount")


# ---------------------------------------------------------------- choosers


class Hypo:
    TEXT = st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF, exclude_categories=()), max_size=10)

    def __init__(self, data):
        self.data = data

    def below(self, n):
        return self.data.draw(st.integers(0, n - 1)) if n > 1 else 0

    def bits(self, k):
        return self.data.draw(st.integers(0, (1 << k) - 1))

    def real(self):
        return self.data.draw(st.floats())

    def text(self):
        return self.data.draw(self.TEXT)


class Seeded:
    replay = True  # the same example again must take the same paths

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def below(self, n):
        return self.rng.randrange(n)

    def bits(self, k):
        return self.rng.getrandbits(k)

    def real(self):
        return struct.unpack("<d", self.rng.randbytes(8))[0]  # every bit pattern, nan and inf included

    def text(self):
        r = self.rng
        return "".join(chr(r.randrange(0x110000)) if r.random() < 0.3 else r.choice("aAzZß _-:.09Σσς\t")
                       for _ in range(r.randrange(10)))


def pick(c, seq):
    return seq[c.below(len(seq))]


def chance(c, percent):
    return c.below(100) >= 100 - percent  # shrinks towards the ordinary path


# ---------------------------------------------------------------- hostile values


class Boom(Exception):
    pass


def _raise(*_):
    raise Boom("raised on purpose")


def hostile(*names):
    """A class whose protocol methods `names` raise; the rest behave."""
    ns = {name: _raise for name in names}
    if "__eq__" in names and "__hash__" not in names:
        ns["__hash__"] = lambda self: 7  # hashable, so it can sit in a dict and be compared
    return type("Hostile_" + "_".join(n.strip("_") for n in names), (), ns)


HOSTILE = [hostile(n) for n in ("__eq__", "__hash__", "__str__", "__format__", "__bool__", "__index__", "isoformat",
                                "__len__", "__iter__", "__float__", "__int__")]
HOSTILE.append(hostile("__eq__", "__hash__", "__str__", "__repr__", "__format__", "__bool__", "__index__",
                       "__int__", "__float__", "__len__", "__iter__", "isoformat"))


class StrSub(str):
    pass


class EvilStr(str):
    """A str subclass whose comparison and hash raise."""

    __eq__ = __hash__ = _raise


class DictSub(dict):
    pass


class ListSub(list):
    pass


class BadItems(dict):
    def items(self):
        return [1, (2,), (3, 4, 5)]


class BadDate(dt.datetime):
    isoformat = _raise


class LateDate(dt.datetime):
    def isoformat(self, *a):
        return 42  # not text


@dataclasses.dataclass
class Record:
    a: int
    when: dt.datetime


SPECIAL_TEXT = ["", " ", "\t\n", "\u2003\u3000", "_", "a_b", "Straße", "SS", "ß", "ﬁ", "FI", "Σ", "σ", "ς", "Ꭰ",
                "ꭰ", "İ", "\ud800", "\udfffx", "x" * 3000, "2026-12-07T10:00:00", "2026-02-30", "yes", "OFF", "n",
                "42", " -7 ", "2.5", "1e400", "nan", "-inf", "0x1F", "١٢", "True",
                "alice_payment_2026-03-15:08.30.45.1237F3A200001", "a_b_2026-02-30:08.30.45.1237F3A200001",
                "a_b_2026-3-15:08.30.45.12347F3A200001", "a_b_2026-03-15:08.30.45.123 7F3A20000",
                "_b_2026-03-15:08.30.45.1237F3A200001", "a_b_9999-12-31:23.59.59.999FFFFFFFFFF",
                "a_b_0001-01-01:00.00.00.0000000000000"]
FLOATS = [math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 1e308, 5e-324, 2.5, 1e16]
TYPES = [int, str, float, bool, dict, list, tuple, dt.datetime, dt.date, kDict, kEnvelope, type(None), object,
         StrSub, DictSub, BadDate, Record, kState, (int, str), 5, None, "int"]


def self_list():
    x = [1]
    x.append(x)
    return x


def self_dict():
    x = {"a": 1}
    x["self"] = x
    return x


class World:
    """The objects of one example, which drawn values may refer to."""

    def __init__(self):
        self.objects = []


def big_int(c):
    n = c.bits(pick(c, [4, 8, 31, 32, 33, 63, 64, 65, 128, 1400, 15000]))
    return -n if chance(c, 40) else n


def text(c):
    return pick(c, SPECIAL_TEXT) if chance(c, 40) else c.text()


def value(c, w, depth=0):
    kinds = [
        lambda: None, lambda: bool(c.below(2)), lambda: c.below(5) - 2, lambda: big_int(c),
        lambda: pick(c, FLOATS), lambda: c.real(), lambda: text(c), lambda: text(c),
        lambda: text(c).encode("utf-8", "surrogatepass")[:8], lambda: StrSub(text(c)), lambda: EvilStr(text(c)),
        lambda: pick(c, HOSTILE)(), lambda: pick(c, TYPES), lambda: pick(c, list(kState)),
        lambda: dt.datetime(1 + c.below(9999), 1 + c.below(12), 1 + c.below(28), c.below(24), microsecond=c.below(3)),
        lambda: dt.datetime(2026, 1, 1, tzinfo=dt.timezone(dt.timedelta(minutes=c.below(1439) - 719))),
        lambda: BadDate(2026, 1, 1), lambda: LateDate(2026, 1, 1), lambda: dt.date(2026, 1, 1),
        lambda: Record(c.below(3), dt.datetime(2026, 1, 1)), lambda: {1, 2}, self_list, self_dict,
        lambda: pick(c, w.objects) if w.objects else None,
    ]
    if depth < 2:
        kinds += [
            lambda: [value(c, w, depth + 1) for _ in range(c.below(4))],
            lambda: tuple(value(c, w, depth + 1) for _ in range(c.below(3))),
            lambda: ListSub(value(c, w, depth + 1) for _ in range(c.below(3))),
            lambda: mapping(c, w, depth + 1),
            lambda: mapping(c, w, depth + 1, lambda c, w: value(c, w, 2)),
            lambda: DictSub(mapping(c, w, depth + 1)),
            lambda: BadItems({"a": 1}),
            lambda: make_kdict(c, w, depth + 1),
            lambda: kEnvelope(make_kdict(c, w, depth + 1)),
        ]
    return quiet(pick(c, kinds))  # None when a hostile or unhashable key met a dict


def mapping(c, w, depth, keys=None, n=4):
    """A dict of up to n-1 items; keys that cannot be hashed are left out."""
    m = {}
    for _ in range(c.below(n)):
        k, v = (keys or key)(c, w), value(c, w, depth)
        quiet(lambda: m.__setitem__(k, v))
    return m


def quiet(make):
    """make(), or None when it raises an ordinary exception."""
    try:
        return make()
    except SystemError:
        raise
    except Exception:  # noqa: BLE001
        return None


def key(c, w):
    """Mostly text keys, often a case variant of a key already stored."""
    known = [k for o in w.objects if type(o) is kDict and type(o.__dict__.get("_data")) is dict
             for k in o.__dict__["_data"] if type(k) is str]
    if known and chance(c, 40):
        k = pick(c, known)
        return pick(c, [k, k.upper(), k.lower(), k.casefold(), k.swapcase(), " " + k])
    return text(c) if chance(c, 85) else value(c, w, 2)


def make_kdict(c, w, depth=0):
    cls = pick(c, [kDict, kDict, SubDict, JunkDict])
    source = mapping(c, w, depth + 1) if chance(c, 70) else None
    d = cls.__new__(cls)
    if quiet(lambda: d.__init__(source) or True) is None:  # a blank key, or a junk override
        kDict.__init__(d)
    for _ in range(c.below(4)):
        k, v = key(c, w), value(c, w, depth + 1)
        quiet(lambda: d.set(k, v))
    if chance(c, 10):  # direct writes that break the pairing of _data and _key_map
        raw = d.__dict__
        which = pick(c, ["_data", "_key_map"])
        k, v = key(c, w), value(c, w, 2)
        quiet([lambda: raw[which].__setitem__(k, v), lambda: raw[which].clear(),
               lambda: raw.__setitem__(which, v), lambda: raw.pop(which)][c.below(4)])
        w.broken = True
    w.objects.append(d)
    return d


# ---------------------------------------------------------------- subclasses


class Junk:
    """What the overrides of the Junk* classes answer while `on`."""

    on = False
    value = None


def junk_subclass(base, names):
    ns = {}

    def wrap(original, bind):
        def override(*a, **k):
            return Junk.value if Junk.on else bind(original, a, k)
        return override

    for name in names:
        raw = base.__dict__[name]
        if isinstance(raw, staticmethod):
            ns[name] = staticmethod(wrap(raw.__func__, lambda f, a, k: f(*a, **k)))
        elif isinstance(raw, classmethod):
            ns[name] = classmethod(wrap(raw.__func__, lambda f, a, k: f(*a, **k)))
        elif isinstance(raw, property):
            ns[name] = property(wrap(raw.fget, lambda f, a, k: f(*a, **k)))
        else:
            ns[name] = wrap(raw, lambda f, a, k: f(*a, **k))
    return type("Junk" + base.__name__, (base,), ns)


class SubDict(kDict):
    pass


class SubEnvelope(kEnvelope):
    pass


class SubTag(kTag):
    _counter = 0
    _last_timestamp = ""


JunkDict = junk_subclass(kDict, ["_normalize_key", "_validate_key", "_convert_value", "Raw", "get", "has", "set",
                                 "Keys", "getList"])
JunkEnvelope = junk_subclass(kEnvelope, ["_flatten", "_serialize_value", "get"])
JunkTag = junk_subclass(kTag, ["_split_id", "_current_timestamp", "_validate_part", "_validate_timestamp",
                               "_validate_unique_code", "GetCreatedAtUtc", "GetTicksSinceEpoch"])
JunkTag._counter, JunkTag._last_timestamp = 0, ""


class JunkStore:
    """An envelope store whose operations answer junk."""

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return lambda *a: Junk.value


# ---------------------------------------------------------------- members and calls


def members(cls):
    own = ("__init__", "__getitem__", "__setitem__", "__str__")
    found = []
    for name, raw in vars(cls).items():
        if isinstance(raw, (staticmethod, classmethod, property)) or callable(raw):
            if not name.startswith("__") or name in own:
                found.append(name)
    return found


MEMBERS = {kDict: members(kDict), kEnvelope: members(kEnvelope), kTag: members(kTag), kState: ["display_name"]}
PARAMS = {(cls, name): [p for p in inspect.signature(getattr(cls, name)).parameters.values()
                        if p.name not in ("self", "cls")]
          for cls, names in MEMBERS.items() for name in names if not isinstance(vars(cls)[name], property)}
RETURNS = {(cls, name): inspect.signature(getattr(cls, name)).return_annotation for cls, name in PARAMS}
KEYWORDS = sorted({p.name for ps in PARAMS.values() for p in ps} | {"self", "cls", "bogus"})


# Made once: a replayed example must not depend on the clock.
IDS = [kTag.New(user, kind) for user in ("alice", "Ann Lee", "ß", "\U0001f600") for kind in ("payment", "x:y")]


def tag_id(c, w):
    if chance(c, 40):
        return text(c)
    ident = pick(c, IDS)
    if chance(c, 50):  # one mutation: a replaced, dropped or inserted character, or a changed field
        i = c.below(len(ident))
        how = c.below(4)
        ch = pick(c, ["_", "0", "F", "g", ":", ".", "-", " ", "\ud800", "9"])
        ident = [ident[:i] + ch + ident[i + 1:], ident[:i] + ident[i + 1:], ident[:i] + ch + ident[i:],
                 text(c) + ident[ident.index("_"):]][how]
    return ident


def argument(c, w, owner, param):
    """A value for one parameter, of the kind its name and annotation ask for."""
    if chance(c, 15):
        return value(c, w)
    name, note = param.name, param.annotation
    if owner is kTag and name in ("id", "value"):
        return tag_id(c, w)
    if name in ("expected_type",):
        return pick(c, TYPES)
    if name in ("data", "source"):
        return mapping(c, w, 1)
    if name in ("other", "existing"):
        return make_kdict(c, w) if chance(c, 80) else pick(c, [None, JunkStore(), {"a": 1}])
    if note == "str":
        return key(c, w) if owner is not kTag else text(c)
    return value(c, w)


def arguments(c, w, owner, params):
    """(args, kwargs) for one call: mostly a valid binding, sometimes a wrong one."""
    args, kwargs = [], {}
    for p in params:
        if p.default is not p.empty and chance(c, 30):
            continue
        v = argument(c, w, owner, p)
        if not kwargs and chance(c, 75):
            args.append(v)
        else:
            kwargs[p.name] = v
    if chance(c, 12):
        how = c.below(4)
        if how == 0 and args:
            args.pop(c.below(len(args)))
        elif how == 1:
            args.append(value(c, w))
        elif how == 2:
            kwargs[pick(c, KEYWORDS)] = value(c, w)
        elif params:
            kwargs[params[0].name] = value(c, w)  # may repeat a positional argument
    return args, kwargs


def receiver(c, w, cls):
    """What a member of cls is reached from, and whether results must follow the annotations."""
    kind = c.below(4)
    if cls is kState:
        if kind == 3:
            return "fget", value(c, w), False
        return "obj", pick(c, list(kState)), True
    if cls is kTag:
        obj = pick(c, [kTag, kTag, kTag(), SubTag, JunkTag])
        return "obj", obj, obj is kTag or type(obj) is kTag
    if cls is kDict:
        obj = w.kd if kind == 0 else make_kdict(c, w)
    else:
        store = w.kd if kind == 0 else pick(c, [None, w.kd, make_kdict(c, w), JunkStore(), value(c, w)])
        obj = pick(c, [kEnvelope, kEnvelope, SubEnvelope, JunkEnvelope])(store)
        w.objects.append(obj)
    if kind == 3:
        return "unbound", pick(c, [obj, obj, value(c, w), kDict(), kEnvelope()]), False
    return "obj", obj, type(obj) is cls and not w.broken and (cls is kDict or type(obj._data) is kDict)


# Members whose paths depend on the clock (the tests of kTag check them for leaks).
CLOCKED = ("New", "_current_timestamp", "GetAge")
RESULT_TYPES = {"str": str, "bool": bool, "int": int, "float": float, "dict[str, Any]": dict, "list[Any]": list,
                "str | None": (str, type(None)), "None": type(None), "datetime": dt.datetime,
                "datetime | None": (dt.datetime, type(None)), "'kDict'": kDict, "'kEnvelope'": kEnvelope}


def one_call(c, w):
    cls = pick(c, [kDict, kDict, kEnvelope, kEnvelope, kTag, kState])
    name = pick(c, MEMBERS[cls])
    if getattr(c, "replay", False) and name in CLOCKED:
        name = "GetTempId"
    how, obj, strict = receiver(c, w, cls)
    raw = vars(cls)[name]
    Junk.on = chance(c, 30)
    Junk.value = value(c, w, 1)
    if isinstance(raw, property):
        call, params = (lambda: raw.fget(obj)) if how != "obj" else (lambda: getattr(obj, name)), []
        annotation = raw.fget.__annotations__.get("return")
    else:
        params = PARAMS[cls, name]
        args, kwargs = arguments(c, w, cls, params)
        if how == "unbound":
            target = getattr(cls, name)
            args = args if isinstance(raw, (staticmethod, classmethod)) else [obj, *args]
        else:
            target = getattr(obj, name)
        annotation = RETURNS[cls, name]

        def call():
            return target(*args, **kwargs)
    CALLS[0] += 1
    outcome = run(call)
    if outcome is OK and strict and annotation in RESULT_TYPES:
        result = OK.result
        assert isinstance(result, RESULT_TYPES[annotation]), (cls.__name__, name, annotation, type(result))
    SEEN[f"{cls.__name__}.{name}"][outcome if isinstance(outcome, str) else "result"] += 1


class OK:
    result = None


def run(call):
    try:
        OK.result = call()
    except SystemError:
        raise
    except Exception as e:  # noqa: BLE001 - an ordinary exception is an acceptable answer
        return type(e).__name__
    return OK


def example(c):
    w = World()
    w.broken = Junk.on = False
    w.kd = make_kdict(c, w)
    for _ in range(1 + c.below(6)):
        one_call(c, w)
    OK.result = None
    Junk.value = None


class Unraisable:
    """Fails the test on an error the native code could not raise."""

    def __enter__(self):
        self.seen, self.saved = [], sys.unraisablehook
        sys.unraisablehook = self.seen.append
        return self

    def __exit__(self, *exc):
        sys.unraisablehook = self.saved
        assert not [(u.exc_type, u.exc_value, u.object) for u in self.seen]


@pytest.mark.thread_unsafe(reason="sys.unraisablehook is process-wide, and the draws depend on what other threads' calls change")
@settings(suppress_health_check=list(HealthCheck), max_examples=settings().max_examples * 3)
@given(data=st.data())
def test_random_calls_end_in_a_result_or_an_ordinary_exception(data):
    with Unraisable():
        example(Hypo(data))


@pytest.mark.no_refleak  # its own leak check
@pytest.mark.skipif(not DEBUG, reason="reference totals need the debug interpreter")
@pytest.mark.parametrize("first", range(0, 60, 15))
def test_random_calls_leak_nothing(first):
    from refleak import leaks

    seeds = range(first, first + 15)
    with Unraisable():
        for seed in seeds:  # first uses fill the counters of outcomes and the interpreter's caches
            example(Seeded(seed))
        for seed in seeds:  # one example at a time: a leak is told apart from noise
            assert leaks(lambda: example(Seeded(seed))) is None, seed


@pytest.mark.no_refleak
def test_report(capsys):
    if os.environ.get("KESTRUNE_FUZZ_REPORT"):
        totals = collections.Counter()
        with capsys.disabled():
            print(f"\nfuzzed calls: {CALLS[0]}")
            for member in sorted(SEEN):
                print(f"  {member}: {dict(SEEN[member].most_common())}")
                totals.update(SEEN[member])
            print(f"outcomes: {dict(totals.most_common())}")
