"""kDict driven by random operations against a plain model: a dict keyed by
casefold() holding (stored key, value), whose order is the store's order.
The same machine drives kDict itself, a subclass that overrides nothing
(which the shortcuts leave to the general road of lookups and calls) and
the pure-Python reference, so any road that strays from the model fails."""
import importlib.util
import pathlib
import sys

import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from kestrune.utils.kDict import kDict

SPECIAL = ["a", "A", "ß", "SS", "ss", "ﬁ", "FI", "Σ", "σ", "ς", "ꭰ", "Ꭰ", "İ", "i̇", " a", "a ", "", "  ", "\t\n", "\u2003\u3000",
           "\ud800", "\udfffX", "Content-Type", "CONTENT-TYPE", "x" * 70, "X" * 70]
ANY_TEXT = st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF, exclude_categories=()), max_size=12)
# ASCII keys long enough to be folded eight bytes at a time, with the
# neighbours of the capitals ('@', '[', '`', '{') among the letters.
ASCII_TEXT = st.text(st.sampled_from("AZaz@[`{ -_09") | st.characters(max_codepoint=127), max_size=40)
KEYS = st.sampled_from(SPECIAL) | ANY_TEXT | ASCII_TEXT
VALUES = st.none() | st.integers() | st.text(max_size=3) | st.lists(st.integers(), max_size=2)


def blank(key):
    return not key or key.isspace()


def reference():
    """The pure-Python reference module (benchmarks/reference.py), loaded once."""
    name = "kestrune_reference"
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(
            name, pathlib.Path(__file__).resolve().parent.parent / "benchmarks" / "reference.py")
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        sys.modules[name] = module
    return sys.modules[name]


class PlainSub(kDict):
    """Overrides nothing: every member takes the general road."""


def model_write(model, key, value):
    """A write into the model of a store: folded key -> (stored key, value).
    None removes the entry; a key stored in another letter case replaces the
    entry and goes to the end, as the store's own dict does."""
    n = key.casefold()
    if value is None:
        model.pop(n, None)
        return
    if n in model and model[n][0] != key:
        del model[n]
    model[n] = (key, value)


class KDictMachine(RuleBasedStateMachine):
    cls = kDict  # the class under test

    @initialize(items=st.lists(st.tuples(KEYS, VALUES), max_size=6))
    def build(self, items):
        self.model = {}
        source = dict(items)
        if any(blank(k) for k in source):
            with pytest.raises(ValueError, match=r"^Key cannot be empty\.$"):
                self.cls(source)
            self.d = self.cls()
            return
        for key, value in source.items():
            self.write(key, value)
        self.d = self.cls(source)

    def write(self, key, value):
        model_write(self.model, key, value)

    @rule(key=KEYS, value=VALUES, how=st.sampled_from(["set", "add", "item"]))
    def set(self, key, value, how):
        if blank(key):
            try:
                self.d.set(key, value)
            except ValueError as e:
                assert str(e) == "Key cannot be empty."
                return
            raise AssertionError("blank key accepted")
        result = {"set": self.d.set, "add": self.d.add, "item": self.d.__setitem__}[how](key, value)
        assert result is (None if how == "item" else self.d)
        self.write(key, value)

    @rule(key=KEYS)
    def read(self, key):
        entry = self.model.get(key.casefold())
        assert self.d.has(key) is (entry is not None)
        value = self.d.get(key)
        assert value is self.d[key] and value == (entry[1] if entry else None)

    @rule(key=KEYS)
    def remove(self, key):
        assert self.d.remove(key) is (self.model.pop(key.casefold(), None) is not None)

    @rule(key=KEYS, item=st.integers())
    def add_to_list(self, key, item):
        if blank(key):
            return
        entry = self.model.get(key.casefold())
        old = entry[1] if entry and type(entry[1]) is list else []
        self.d.addToList(key, item)
        self.write(key, old + [item])

    @rule(items=st.lists(st.tuples(KEYS, VALUES), max_size=4))
    def merge(self, items):
        other = self.cls()
        for key, value in items:
            if not blank(key):
                other.Raw()[key] = value  # direct writes: None values and case twins reach Merge
        for key, value in other.Raw().items():
            self.write(key, value)
        self.d.Merge(other)

    @rule()
    def clear(self):
        assert self.d.clear() is None
        self.model.clear()

    @invariant()
    def matches_model(self):
        entries = list(self.model.values())
        assert list(self.d.Raw().items()) == entries and list(self.d.Keys) == [k for k, _ in entries]
        assert self.d._key_map == {n: k for n, (k, _) in self.model.items()} and self.d.Count == len(entries)


def machine_test(machine, cls):
    """The TestCase of `machine` run on `cls`."""
    variant = type(f"{machine.__name__}On{cls.__name__}", (machine,), {"cls": cls})
    case = pytest.mark.no_refleak(variant.TestCase)  # hypothesis keeps state of its own
    case.settings = settings(stateful_step_count=30)
    return case


TestKDictMachine = machine_test(KDictMachine, kDict)
TestKDictMachineGeneralRoad = machine_test(KDictMachine, PlainSub)
TestKDictMachineReference = machine_test(KDictMachine, reference().kDict)


@pytest.mark.no_refleak
@given(key=KEYS)
def test_key_rule_is_casefold(key):
    for _ in range(2):  # a second read of the same key object
        assert kDict._normalize_key(key) == key.casefold()
    if blank(key):
        assert kDict().has(key) is False and kDict().get(key) is None
    else:
        assert kDict._validate_key(key) == key.casefold()
        assert kDict({key: 1}).get(key.casefold()) == 1


WORDS = ["true", "1", "yes", "y", "on", "false", "0", "no", "n", "off"]


@pytest.mark.no_refleak
@given(text=st.sampled_from(WORDS).map(lambda w: w.upper()) | ANY_TEXT,
       pad=st.sampled_from(["", " ", "\t\u2003", "\u00a0"]))
def test_bool_words(text, pad):
    value = pad + text + pad
    word = value.strip().lower()
    expected = word in WORDS[:5] or (word not in WORDS[5:] and bool(value))
    assert kDict._convert_value(value, bool) is expected
