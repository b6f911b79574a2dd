"""Random calls of every member of the four classes with random arguments.

The only acceptable outcomes are a result or an ordinary exception: never a
crash and never SystemError (which means the native code broke the C API's
rules).  KESTRUNE_FUZZ_EXAMPLES raises the number of examples for a long
local run; KESTRUNE_FUZZ_REPORT=1 prints the exception types seen.
"""
import collections
import dataclasses
import datetime as dt
import math
import os
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope
from kestrune.utils.kState import kState
from kestrune.utils.kTag import kTag

SEEN = collections.Counter()
CALLS = [0]


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class Boom(Exception):
    pass


def _raise(*_):
    raise Boom("raised on purpose")


class Hostile:
    """Every protocol method raises."""

    __eq__ = __hash__ = __str__ = __repr__ = __format__ = __bool__ = __index__ = __int__ = __float__ = _raise
    __len__ = __iter__ = isoformat = _raise


class BadDate(dt.datetime):
    isoformat = _raise


class BadItems(dict):
    def items(self):
        return [1, 2, 3]


@dataclasses.dataclass
class Record:
    a: int
    when: dt.datetime


def self_list():
    x = [1]
    x.append(x)
    return x


def self_dict():
    x = {"a": 1}
    x["self"] = x
    return x


def self_kdict():
    d = kDict()
    d.set("me", d)
    return d


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=-(10**400), max_value=10**400),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -0.0]),
    st.text(),
    st.text(alphabet=st.characters(codec=None, categories=None, min_codepoint=0, max_codepoint=0x10FFFF)),
    st.sampled_from(["", " ", "\t\n", "_", "a_b", "Straße", "ß", "ﬁ", "Σ", "ς", "Ꭰ", "\ud800", "x" * 5000,
                     "2026-12-07T10:00:00", "yes", "off", "42", "2.5", "alice_payment_2026-03-15:08.30.45.1237F3A200001",
                     "a_b_2026-02-30:08.30.45.1237F3A200001", "a_b_2026-3-15:08.30.45.12347F3A200001"]),
    st.binary(max_size=8),
    st.builds(StrSub, st.text(max_size=5)),
    st.sampled_from([int, str, float, bool, dict, list, dt.datetime, kDict, kEnvelope, type(None), 5, (int, str)]),
    st.builds(dt.datetime, st.integers(1, 9999), st.integers(1, 12), st.integers(1, 28)),
    st.builds(lambda: BadDate(2026, 1, 1)),
    st.builds(lambda: dt.date(2026, 1, 1)),
    st.builds(Hostile),
    st.builds(lambda: Record(1, dt.datetime(2026, 1, 1))),
    st.just(Record),
    st.sampled_from(list(kState)),
    st.builds(self_list),
    st.builds(self_dict),
    st.builds(self_kdict),
)

values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=3).map(tuple),
        st.lists(inner, max_size=3).map(ListSub),
        st.dictionaries(st.one_of(st.text(max_size=4), st.integers(), st.none()), inner, max_size=4),
        st.dictionaries(st.text(max_size=4), inner, max_size=3).map(DictSub),
        st.dictionaries(st.text(max_size=4), inner, max_size=3).map(BadItems),
        st.dictionaries(st.text(min_size=1, max_size=4), inner, max_size=4).map(
            lambda m: kDict({k: v for k, v in m.items() if k.strip()})),
        st.builds(kEnvelope),
    ),
    max_leaves=8,
)


def members(cls):
    return sorted(name for name in vars(cls) if not name.startswith("__") or name in ("__init__", "__getitem__",
                                                                                       "__setitem__", "__str__"))


def targets():
    return st.one_of(
        st.builds(lambda: kDict({"Name": "Ann", "Count": "42", "items": [1]})).flatmap(
            lambda d: st.tuples(st.just(d), st.sampled_from(members(kDict)))),
        st.builds(lambda: kEnvelope()).flatmap(lambda e: st.tuples(st.just(e), st.sampled_from(members(kEnvelope)))),
        st.tuples(st.just(kTag), st.sampled_from(members(kTag))),
        st.tuples(st.sampled_from(list(kState)), st.just("display_name")),
    )


keyword_names = st.sampled_from(["key", "value", "data", "fallback", "expected_type", "item", "other", "existing",
                                 "source", "id", "user_name", "transaction_type", "field_name", "self", "bogus"])


@settings(suppress_health_check=list(HealthCheck), max_examples=settings().max_examples * 4)
@given(target=targets(), args=st.lists(values, max_size=4), kwargs=st.dictionaries(keyword_names, values, max_size=2))
def test_random_calls_end_in_a_result_or_an_ordinary_exception(target, args, kwargs):
    obj, name = target
    CALLS[0] += 1
    try:
        attr = getattr(obj, name)
        if callable(attr):
            attr(*args, **kwargs)
    except SystemError:
        raise
    except BaseException as e:  # noqa: BLE001 - any ordinary exception is an acceptable answer
        if not isinstance(e, Exception):
            raise
        SEEN[type(e).__name__] += 1


@pytest.mark.no_refleak
def test_report():
    if os.environ.get("KESTRUNE_FUZZ_REPORT"):
        print(f"\nfuzzed calls: {CALLS[0]}; exceptions: {dict(SEEN.most_common())}", file=sys.__stderr__)
