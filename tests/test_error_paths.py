"""Every kind of error the modules raise, or raise and handle inside, once
checked and then in a loop: in the debug build the loop must leave the
reference and block totals where they were."""
import dataclasses
import datetime as dt
import math
import re
import sys
import threading

import pytest

from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope
from kestrune.utils.kState import kState
from kestrune.utils.kTag import kTag

DEBUG = hasattr(sys, "gettotalrefcount")
GOOD = "alice_payment_2026-03-15:08.30.45.1237F3A200001"


class Boom(Exception):
    pass


def _raise(*_):
    raise Boom("raised on purpose")


class StrSub(str):
    pass


class DictSub(dict):
    pass


class BadInt:
    __index__ = __int__ = _raise


class BadBool:
    __bool__ = _raise


class BadDate(dt.datetime):
    isoformat = _raise


def items_yielding(*pairs):
    return type("Items", (dict,), {"items": lambda self: list(pairs)})()


@dataclasses.dataclass
class Record:
    a: int


class NoneRaw(kDict):
    def Raw(self):
        return None


class TextGet(kDict):
    def get(self, key, expected_type=None):
        return "x"


class ListFlatten(kEnvelope):
    @classmethod
    def _flatten(cls, source):
        return [1]


class Growing(kEnvelope):
    """Adds to the dict being walked when it meets a list."""

    @classmethod
    def _serialize_value(cls, value):
        if type(value) is list:
            walked = WALKING.dict
            walked[len(walked)] = 0
        return super()._serialize_value(value)


WALKING = threading.local()  # the dict each thread's walk_growing walks


def walk_growing(top):
    WALKING.dict = walked = {"a": [], "b": 1}
    return Growing._flatten(walked) if top else Growing._serialize_value({"x": walked})


class NoLock(kTag):
    _lock = 5


class IntSplit(kTag):
    @classmethod
    def _split_id(cls, id):
        return 5


class IntClock(kTag):
    _counter, _last_timestamp = 0, ""

    @classmethod
    def _current_timestamp(cls):
        return 5


def self_list():
    x = [1]
    x.append(x)
    return x


def kd(**items):
    return kDict(items)


NAMED = "Argument '{}' has incorrect type \\(expected {}, got {}\\)"
CASES = {
    # binder
    "too few": (lambda: kDict().get(), TypeError, r"get\(\) takes at least 2 positional arguments \(1 given\)"),
    "too many": (lambda: kDict().has("a", "b"), TypeError, r"has\(\) takes exactly 2 positional arguments \(3 given\)"),
    "at most": (lambda: kDict().get("a", None, 3), TypeError, r"takes at most 3"),
    "unknown keyword": (lambda: kDict().has(bogus=1), TypeError, "unexpected keyword argument 'bogus'"),
    "repeated keyword": (lambda: kDict().has("a", key="a"), TypeError, "multiple values for keyword argument 'key'"),
    "keyword not text": (lambda: kTag.New(**{1: 2}), TypeError, "keywords must be strings"),
    "class method unbound": (lambda: kDict.has(), TypeError, r"takes exactly 2"),
    # parameter checks and conversions
    "key int": (lambda: kDict().has(5), TypeError, NAMED.format("key", "str", "int")),
    "key subclass": (lambda: kEnvelope().put(StrSub("a"), 1), TypeError, NAMED.format("key", "str", "StrSub")),
    "data subclass": (lambda: kDict(DictSub()), TypeError, NAMED.format("data", "dict", "DictSub")),
    "source None": (lambda: kEnvelope._flatten(None), TypeError, NAMED.format("source", "dict", "NoneType")),
    "int fallback": (lambda: kDict().getInt("a", "x"), TypeError, NAMED.format("fallback", "int", "str")),
    "int fallback raises": (lambda: kDict().getInt("a", BadInt()), Boom, None),
    "float fallback": (lambda: kDict().getDouble("a", "x"), TypeError, None),
    "bool fallback raises": (lambda: kDict().getBool("a", BadBool()), Boom, None),
    # key rule and missing values
    "blank key set": (lambda: kDict().set(" \t", 1), ValueError, r"^Key cannot be empty\.$"),
    "blank key init": (lambda: kDict({"": 1}), ValueError, r"^Key cannot be empty\.$"),
    "blank key list": (lambda: kDict().addToList("", 1), ValueError, None),
    "blank key nest": (lambda: kEnvelope().nest(" "), ValueError, None),
    "validate key": (lambda: kDict._validate_key("\u3000"), ValueError, None),
    "require": (lambda: kDict().Require("Name"), Exception, r"^Missing required key: Name$"),
    "require unconvertible": (lambda: kd(a="x").Require("a", int), Exception, r"^Missing required key: a$"),
    "merge plain dict": (lambda: kDict().Merge({}), AttributeError, None),
    "merge None raw": (lambda: kDict().Merge(NoneRaw()), AttributeError, "'NoneType' object has no attribute 'items'"),
    # conversions handled inside, and those that propagate
    "int of text": (lambda: kd(a="x").getInt("a", 7), None, 7),
    "int of huge text": (lambda: kd(a="9" * 5000).getInt("a"), None, 0),
    "text of huge int": (lambda: kd(a=10**5000).getString("a"), None, None),
    "date of bad text": (lambda: kd(a="07/12/2026").getDate("a"), None, None),
    "kDict of list": (lambda: kd(a=[1]).get("a", kDict), None, None),
    "kDict of blank-keyed dict": (lambda: kd(a={" ": 1}).get("a", kDict), None, None),
    "bool of bad truth": (lambda: kd(a=BadBool()).getBool("a"), Boom, None),
    "int of inf": (lambda: kd(a=math.inf).getInt("a"), OverflowError, None),
    "int raising": (lambda: kd(a=BadInt()).getInt("a"), Boom, None),
    "uncallable type": (lambda: kd(a=1).get("a", 5), TypeError, None),
    # result checks
    "str-subclass result": (lambda: kd(a=StrSub("x")).getString("a"), TypeError, r"^Expected str, got StrSub$"),
    "int result": (lambda: TextGet().getInt("a"), TypeError, r"^Expected int, got str$"),
    "dict result": (lambda: ListFlatten().get(), TypeError, r"^Expected dict, got list$"),
    # serialisation
    "items not pairs": (lambda: kEnvelope._serialize_value(items_yielding(1)), TypeError, "cannot unpack non-iterable"),
    "items too short": (lambda: kEnvelope._serialize_value(items_yielding((1,))), ValueError, "not enough values"),
    "items too long": (lambda: kEnvelope._serialize_value(items_yielding((1, 2, 3))), ValueError, "too many values"),
    "flattened dict grows": (lambda: walk_growing(True), RuntimeError, "changed size during iteration"),
    "walked dict grows": (lambda: walk_growing(False), RuntimeError, "changed size during iteration"),
    "self-containing": (lambda: kEnvelope().put("a", self_list()).toJson(), RecursionError, None),
    "data class type": (lambda: kEnvelope._serialize_value(Record), TypeError, None),
    "isoformat raises": (lambda: kEnvelope().put("a", [BadDate(2026, 1, 1)]).get(), Boom, None),
    "json refuses": (lambda: kEnvelope().put("a", dt.date(2026, 1, 1)).toJson(), TypeError, "not JSON serializable"),
    "no store": (lambda: kEnvelope(5).put("a", 1), AttributeError, None),
    # identifiers
    "empty field": (lambda: kTag.New(" ", "t"), ValueError, r"^user_name cannot be empty\.$"),
    "underscore": (lambda: kTag.New("u", "a_b"), ValueError, r"^transaction_type cannot contain underscores\.$"),
    "field type": (lambda: kTag.New("u", 5), TypeError, NAMED.format("transaction_type", "str", "int")),
    "format": (lambda: kTag.GetCreatedAt("abc"), ValueError, r"^Invalid kTag format\.$"),
    "temp id length": (lambda: kTag.GetAge("a_b_2026"), ValueError, r"Expected tempId length 33\.$"),
    "timestamp": (lambda: kTag.GetTicksSinceEpoch(GOOD.replace("03-15", "02-30")), ValueError,
                  r"^Invalid kTag timestamp format\.$"),
    "unique code": (lambda: kTag.GetUniqueCode(GOOD[:-1] + "g"), ValueError, r"^Invalid kTag unique code\.$"),
    "unique code length": (lambda: kTag._validate_unique_code("12"), ValueError, r"length\.$"),
    "split": (lambda: kTag._split_id("nounderscore"), ValueError, r"^Invalid kTag format\.$"),
    "split result": (lambda: IntSplit.GetTempId(GOOD), TypeError, None),
    "lock": (lambda: NoLock.New("u", "t"), (TypeError, AttributeError), None),
    "clock": (lambda: IntClock.New("u", "t"), TypeError, None),
    # enumeration
    "display name of int": (lambda: kState.display_name.fget(5), AttributeError, None),
}


@pytest.mark.no_refleak  # checks its own loop
@pytest.mark.parametrize("name", CASES)
def test_error_path_is_exact_and_leaks_nothing(name):
    func, exc, expected = CASES[name]

    def once():
        if exc is None:
            assert func() == expected
            return
        with pytest.raises(exc) as info:
            func()
        if expected is not None:
            assert re.search(expected, str(info.value)), str(info.value)
        if name in ("key subclass", "data subclass"):
            assert info.value.__notes__

    once()
    if DEBUG:
        from refleak import leaks

        assert leaks(lambda: [once() for _ in range(10)]) is None
