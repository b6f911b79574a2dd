"""kEnvelope driven by random operations against a plain model.

A Node models one kDict: a dict keyed by casefold() holding (stored key,
value) in the store's order, where a value is a plain object or another
Node.  Envelopes are tracked with the Node they write into: the root, and
the children that nest() hands out (on a stored kDict, or on the kDict made
from a stored plain dict, which replaces it).  The machine drives kEnvelope
on a kDict, subclasses of both that override nothing (the general road),
and the pure-Python reference."""
import datetime as dt
import json

import pytest
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, rule

from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope
from kestrune.utils.kState import kState
from test_kdict_model import PlainSub, machine_test, model_write, reference

KEYS = st.sampled_from(["a", "A", "Name", "NAME", "ß", "SS", "ss", "Σ", "ς", "child", "CHILD", "", " ", "\t"]) | st.text(
    max_size=4)
LEAVES = (st.none() | st.booleans() | st.integers() | st.text(max_size=3) | st.sampled_from(list(kState))
          | st.builds(dt.datetime, st.integers(1, 9999), st.integers(1, 12), st.integers(1, 28),
                      st.integers(0, 23), st.integers(0, 59), st.integers(0, 59), st.sampled_from([0, 1, 999999])))
VALUES = st.recursive(LEAVES, lambda inner: st.lists(inner, max_size=3) | st.lists(inner, max_size=2).map(tuple)
                      | st.dictionaries(KEYS, inner, max_size=3), max_leaves=6)


def blank(key):
    return not key or key.isspace()


class Node:
    def __init__(self, kd):
        self.kd, self.entries = kd, {}

    def write(self, key, value):
        model_write(self.entries, key, value)

    def reaches(self, other):
        return self is other or any(isinstance(v, Node) and v.reaches(other) for _, v in self.entries.values())


def flat(v):
    if isinstance(v, Node):
        return {k: flat(x) for k, x in v.entries.values()}
    if isinstance(v, (list, tuple)):
        return [flat(x) for x in v]
    if isinstance(v, dict):
        return {k: flat(x) for k, x in v.items()}
    return v.isoformat() if isinstance(v, dt.datetime) else v


def actual(v):
    """The object the envelope is given for a model value."""
    return v.kd if isinstance(v, Node) else v


class PlainEnvelopeSub(kEnvelope):
    """Overrides nothing: every member takes the general road."""


class EnvelopeMachine(RuleBasedStateMachine):
    envelopes = Bundle("envelopes")
    # The envelope class under test, the store class given to it, and the
    # classes its module makes (for a store not given, and for children).
    cls, store, made_envelope, made_store = kEnvelope, kDict, kEnvelope, kDict

    @initialize(target=envelopes, given=st.booleans())
    def start(self, given):
        kd = self.store() if given else None
        self.root = self.cls(kd)
        assert (self.root._data is kd) if given else type(self.root._data) is self.made_store
        self.node = Node(self.root._data)
        self.nodes = [self.node]
        return self.root, self.node

    def refused(self, call):
        with pytest.raises(ValueError, match=r"^Key cannot be empty\.$"):
            call()

    @rule(pair=envelopes, key=KEYS, value=VALUES, how=st.sampled_from(["post", "put"]))
    def write(self, pair, key, value, how):
        env, node = pair
        if blank(key):
            return self.refused(lambda: getattr(env, how)(key, value))
        assert getattr(env, how)(key, value) is env
        if how == "put" or key.casefold() not in node.entries:
            node.write(key, value)

    @rule(pair=envelopes, key=KEYS, other=st.integers(0, 10**6))
    def share(self, pair, key, other):
        """Puts the store of another tracked node as a value (no cycles)."""
        env, node = pair
        child = self.nodes[other % len(self.nodes)]
        if blank(key) or child.reaches(node):
            return
        env.put(key, child.kd)
        node.write(key, child)

    @rule(pair=envelopes, key=KEYS)
    def delete(self, pair, key):
        env, node = pair
        assert env.delete(key) is env
        node.entries.pop(key.casefold(), None)

    @rule(pair=envelopes, key=KEYS)
    def has(self, pair, key):
        env, node = pair
        assert env.has(key) is (key.casefold() in node.entries)

    @rule(target=envelopes, pair=envelopes, key=KEYS)
    def nest(self, pair, key):
        env, node = pair
        entry = node.entries.get(key.casefold())
        stored = entry[1] if entry else None
        if blank(key):
            self.refused(lambda: env.nest(key))
            return pair
        child = env.nest(key)
        assert type(child) is self.made_envelope and child is not env
        if isinstance(stored, Node):
            assert child._data is stored.kd
            return child, stored
        new = Node(child._data)
        self.nodes.append(new)
        if type(stored) is dict and all(type(k) is str and not blank(k) for k in stored):
            for k, v in stored.items():  # the kDict made from a plain dict replaces it
                new.write(k, v)
        node.write(key, new)
        return child, new

    @invariant()
    def matches_model(self):
        expected = flat(self.node)
        got = self.root.get()
        assert got == expected and list(got) == list(expected)
        assert self.root.toJson() == json.dumps(expected, indent=4)
        for node in self.nodes:
            assert list(node.kd.Raw()) == [k for k, _ in node.entries.values()]
            assert all(node.kd.Raw()[k] is actual(v) for k, v in node.entries.values())


class GeneralRoadMachine(EnvelopeMachine):
    cls, store = PlainEnvelopeSub, PlainSub


class ReferenceMachine(EnvelopeMachine):
    cls = made_envelope = reference().kEnvelope
    store = made_store = reference().kDict


TestEnvelopeMachine = machine_test(EnvelopeMachine, kEnvelope)
TestEnvelopeMachineGeneralRoad = machine_test(GeneralRoadMachine, PlainEnvelopeSub)
TestEnvelopeMachineReference = machine_test(ReferenceMachine, reference().kEnvelope)
