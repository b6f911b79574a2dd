"""The support layer's components on their own, against the standard
library functions whose results they must reproduce: the JSON writer
against json.dumps(indent=4), byte for byte, and the data-class conversion
against the envelope's conversion of dataclasses.asdict()."""
import dataclasses
import datetime as dt
import json

import pytest
from hypothesis import given, strategies as st

from _kst_testsupport import Components
from test_kdict_model import reference
from test_kenvelope_fast import Plain as Leaf, Slotted

TEXT = st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF, exclude_categories=()), max_size=8) | st.sampled_from(
    ['"', "\\", "\b\f\n\r\t", "\x00\x1f\x7f", "é", "\u2028", "\ud800", "\U0001f600", "a" * 300])
NUMBERS = (st.integers() | st.integers(-2**64, 2**64) | st.sampled_from([2**63 - 1, -2**63, 10**40])
           | st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([0.0, -0.0, 1e16, 1e-7, 5e-324, 1.7976931348623157e308]))
LEAVES = st.none() | st.booleans() | NUMBERS | TEXT
KEYS = TEXT | st.integers() | st.floats() | st.booleans() | st.none()
TREES = st.recursive(LEAVES, lambda inner: st.lists(inner, max_size=4) | st.lists(inner, max_size=3).map(tuple)
                     | st.dictionaries(KEYS, inner, max_size=4), max_leaves=12)


@pytest.mark.no_refleak
@given(tree=TREES)
def test_json_text_is_that_of_json_dumps_with_indent_4(tree):
    assert Components.json_text(tree) == json.dumps(tree, indent=4)


class Other:
    pass


@pytest.mark.parametrize("tree", [
    Other(), [1, {"a": Other()}], {Other(): 1}, {(1, 2): 3}, 10**5000, [b"bytes"], {1j: 0}, {1, 2},
    type("StrList", (list,), {})(), type("Dict", (dict,), {})(a=1),
], ids=lambda tree: type(tree).__name__)
def test_json_text_leaves_what_it_cannot_match_to_json_dumps(tree):
    assert Components.json_text(tree) is None


def test_json_text_leaves_a_tree_holding_itself_or_deeper_than_its_bound():
    loop = []
    loop.append(loop)
    deep = []
    for _ in range(3000):
        deep = [deep]
    assert Components.json_text(loop) is None and Components.json_text(deep) is None
    shallow = []
    for _ in range(100):
        shallow = [shallow]
    assert Components.json_text(shallow) == json.dumps(shallow, indent=4)


@dataclasses.dataclass
class Pseudo:
    value: object
    shared: dataclasses.InitVar[int] = 0  # a pseudo-field: no entry in asdict

    def __post_init__(self, shared):
        pass


MOMENTS = st.builds(dt.datetime, st.integers(1, 9999), st.integers(1, 12), st.integers(1, 28), st.integers(0, 23),
                    st.integers(0, 59), st.integers(0, 59), st.integers(0, 999999),
                    st.sampled_from([None, dt.timezone.utc, dt.timezone(dt.timedelta(hours=-5, minutes=-30))]))
FIELD_LEAVES = (st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=4)
                | st.binary(max_size=3) | st.complex_numbers(allow_nan=False, allow_infinity=False) | MOMENTS)
FIELD_VALUES = st.recursive(FIELD_LEAVES, lambda inner: st.lists(inner, max_size=3) | st.lists(inner, max_size=2).map(tuple)
                            | st.dictionaries(st.text(max_size=3) | st.integers(), inner, max_size=3)
                            | st.builds(Leaf, inner, inner) | st.builds(Slotted, inner) | st.builds(Pseudo, inner),
                            max_leaves=8)
INSTANCES = st.builds(Leaf, FIELD_VALUES, FIELD_VALUES) | st.builds(Slotted, FIELD_VALUES) | st.builds(Pseudo, FIELD_VALUES)


@pytest.mark.no_refleak
@given(obj=INSTANCES)
def test_dataclass_tree_is_the_conversion_of_asdict(obj):
    assert Components.dataclass_tree(obj) == reference().kEnvelope._serialize_value(dataclasses.asdict(obj))


class Meta(type):
    pass


@dataclasses.dataclass
class OfMeta(metaclass=Meta):
    a: int = 1


class Zone(dt.tzinfo):
    def utcoffset(self, moment):
        return dt.timedelta(hours=1)


@pytest.mark.parametrize("obj", [
    object(), Leaf, OfMeta(), Leaf({(1, 2): 3}), Leaf([{1, 2}]), Leaf(dt.datetime(2026, 1, 1, tzinfo=Zone())),
    Leaf(type("Sub", (list,), {})()), Leaf(Leaf(dt.date(2026, 1, 1))),
], ids=lambda obj: type(obj).__name__)
def test_dataclass_tree_leaves_other_shapes_to_asdict(obj):
    assert Components.dataclass_tree(obj) is None
