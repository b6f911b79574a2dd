"""The support layer's components on their own, against the standard
library functions whose results they must reproduce byte for byte."""
import json
import math
import sys

import pytest
from hypothesis import given, strategies as st

from _kst_testsupport import Components

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
