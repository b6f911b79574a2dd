"""Benchmarks: the native modules against a pure-Python equivalent and the
builtin reference operations, measured in one process and one run.

    tools/py314 tools/bench [--quick] [--scaling] [--json FILE]

Prints ns per call (best of several repeats) and the ratios; the targets
column says what each ratio should reach.
"""
import argparse
import dataclasses
import json
import os
import sys
import threading
import timeit
import tracemalloc
from datetime import datetime, timezone
from enum import IntEnum

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference as ref  # noqa: E402

from kestrune.utils.kDict import kDict  # noqa: E402
from kestrune.utils.kEnvelope import kEnvelope  # noqa: E402
from kestrune.utils.kState import kState  # noqa: E402
from kestrune.utils.kTag import kTag  # noqa: E402

REPEAT = 7


def ns_per_call(stmt, ns, setup="pass", target_seconds=0.05):
    timer = timeit.Timer(stmt, setup=setup, globals=ns)
    number, _ = timer.autorange()
    number = max(1, int(number * target_seconds / 0.2))
    best = min(timer.repeat(repeat=REPEAT, number=number))
    return best / number * 1e9


@dataclasses.dataclass
class Point:
    x: int
    when: datetime


class Plain(IntEnum):
    open = 1


def fields(n):
    return {(f"Key{i}" if i % 2 else f"key{i}"): i for i in range(n)}


def make_tree(envelope_cls):
    e = envelope_cls()
    e.put("Name", "Ann").put("AGE", 7).put("Active", True).put("ratio", 0.5)
    e.put("Created", datetime(2026, 3, 15, 8, 30, 45, 123000, tzinfo=timezone.utc))
    e.put("tags", ("a", "b", "c")).put("point", Point(3, datetime(2026, 1, 1)))
    e.put("list", [1, 2, (3, 4), {"k": (5,)}]).put("State", 2).put("none", None)
    for i in range(10):
        e.put(f"F{i}", i * 1.5)
    child = e.nest("child")
    child.put("x", 1).put("y", "two").put("when", datetime(2026, 2, 2, 2, 2, 2))
    child.put("pair", (1, 2))
    return e


def plain_tree():
    return make_tree(ref.kEnvelope).get()


def rows(quick):
    """(operation, native stmt, python stmt, builtin stmt or None, target, namespace)."""
    n15 = fields(15)
    ns = {
        "kDict": kDict, "rDict": ref.kDict, "kTag": kTag, "rTag": ref.kTag, "kState": kState,
        "rState": ref.kState, "Plain": Plain, "datetime": datetime, "timezone": timezone,
        "json": json, "n15": n15,
    }
    data = {"Name": "Ann", "Count": "42", "Flag": "yes", "Num": 5, "Ratio": "2.5", "Items": [1, 2],
            "When": "2026-12-07T10:00:00", "Other": 1}
    ns.update(d=kDict(data), r=ref.kDict(data), p={k.casefold(): v for k, v in data.items()})
    ns.update(ks=kDict(n15), rs=ref.kDict(n15))
    tag_id = "alice_payment_2026-03-15:08.30.45.1237F3A200001"
    ns.update(tid=tag_id, env=make_tree(kEnvelope), renv=make_tree(ref.kEnvelope), tree=plain_tree())
    return [
        ("kDict.get hit", "d.get('name')", "r.get('name')", "p.get('name')", "<= 2.0x dict.get"),
        ("kDict.get miss", "d.get('absent')", "r.get('absent')", "p.get('absent')", "<= 2.0x dict.get"),
        ("kDict[k]", "d['NAME']", "r['NAME']", "p.get('name')", "<= 2.0x dict.get"),
        ("kDict.has", "d.has('Name')", "r.has('Name')", "p.get('name')", "<= 2.0x dict.get"),
        ("kDict.set existing", "d.set('Other', 1)", "r.set('Other', 1)", "p.get('other')", "<= 3.5x dict.get"),
        ("kDict[k] = v existing", "d['Other'] = 1", "r['Other'] = 1", "p.get('other')", "<= 3.5x dict.get"),
        ("kDict.getInt '42'", "d.getInt('count')", "r.getInt('count')", "p.get('count')", "<= 3.5x dict.get"),
        ("kDict.getBool 'yes'", "d.getBool('flag')", "r.getBool('flag')", "p.get('flag')", "<= 3.5x dict.get"),
        ("kDict.getString 5", "d.getString('num')", "r.getString('num')", "p.get('num')", "<= 3.5x dict.get"),
        ("kDict.getDouble '2.5'", "d.getDouble('ratio')", "r.getDouble('ratio')", "p.get('ratio')", "<= 3.5x dict.get"),
        ("kDict.getList", "d.getList('items')", "r.getList('items')", "p.get('items')", "<= 3.5x dict.get"),
        ("kDict.getOr", "d.getOr('count', 0)", "r.getOr('count', 0)", "p.get('count')", "<= 3.5x dict.get"),
        ("kDict.getDate ISO", "d.getDate('when')", "r.getDate('when')",
         "datetime.fromisoformat(p.get('when'))", "<= 1.3x (dict.get + fromisoformat)"),
        ("kDict(dict of 15)", "kDict(n15)", "rDict(n15)", None, ">= 6x faster than Python"),
        ("str(kDict of 15)", "str(ks)", "str(rs)", None, ">= 6x faster than Python"),
        ("kTag.New", "kTag.New('alice', 'payment')", "rTag.New('alice', 'payment')",
         "datetime.now(timezone.utc)", "<= 1.5x now(utc); >= 10x faster than Python"),
        ("kTag.GetTempId", "kTag.GetTempId(tid)", "rTag.GetTempId(tid)", None, ">= 20x faster than Python"),
        ("kTag.GetCreatedAt", "kTag.GetCreatedAt(tid)", "rTag.GetCreatedAt(tid)", None, ">= 20x faster than Python"),
        ("kTag.GetTicksSinceEpoch", "kTag.GetTicksSinceEpoch(tid)", "rTag.GetTicksSinceEpoch(tid)", None,
         ">= 20x faster than Python"),
        ("kTag.GetExactCreationWithMsNs", "kTag.GetExactCreationWithMsNs(tid)",
         "rTag.GetExactCreationWithMsNs(tid)", None, ">= 20x faster than Python"),
        ("kEnvelope.get() ~25 fields", "env.get()", "renv.get()", None, ">= 6x faster than Python"),
        ("kEnvelope.toJson()", "env.toJson()", "renv.toJson()", "json.dumps(tree, indent=4)",
         "<= 1.2x json.dumps(plain tree)"),
        ("kState.display_name", "kState.open.display_name", "rState.open.display_name", "Plain.open.name",
         "<= 0.75x IntEnum .name"),
    ], ns


def run_table(quick):
    table, ns = rows(quick)
    results = []
    for name, native, python, builtin, target in table:
        row = {"operation": name, "target": target}
        row["native_ns"] = ns_per_call(native, ns)
        row["python_ns"] = ns_per_call(python, ns)
        row["builtin_ns"] = ns_per_call(builtin, ns) if builtin else None
        row["native_over_builtin"] = row["native_ns"] / row["builtin_ns"] if builtin else None
        row["python_over_native"] = row["python_ns"] / row["native_ns"]
        results.append(row)
    return results


def print_table(results):
    head = f"{'operation':32} {'native ns':>10} {'python ns':>10} {'builtin ns':>10} {'nat/bltn':>9} {'py/nat':>8}  target"
    print(head)
    print("-" * len(head))
    for r in results:
        b = f"{r['builtin_ns']:10.1f}" if r["builtin_ns"] else f"{'':10}"
        nb = f"{r['native_over_builtin']:9.2f}" if r["native_over_builtin"] else f"{'':9}"
        print(f"{r['operation']:32} {r['native_ns']:10.1f} {r['python_ns']:10.1f} {b} {nb} "
              f"{r['python_over_native']:8.1f}  {r['target']}")


def new_from_threads(cls, threads, per_thread):
    def work():
        new = cls.New
        for _ in range(per_thread):
            new("alice", "payment")

    ts = [threading.Thread(target=work) for _ in range(threads)]
    start = timeit.default_timer()
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    return (timeit.default_timer() - start) / (threads * per_thread) * 1e9


def run_scaling(quick):
    out = {}
    sizes = (10, 10_000, 100_000 if quick else 1_000_000)
    for n in sizes:
        data = fields(n)
        d, p = kDict(data), {k.casefold(): v for k, v in data.items()}
        key = "KEY0"
        ns = {"d": d, "p": p, "k": key, "kf": key.casefold()}
        out[f"kDict.get, {n} keys"] = (ns_per_call("d.get(k)", ns), ns_per_call("p.get(kf)", ns))
    for n in (10, 1000, 10_000 if quick else 100_000):
        data = fields(n)
        env = kEnvelope(kDict(data))
        ns = {"data": data, "kDict": kDict, "env": env}
        out[f"kDict(...), {n} fields"] = (ns_per_call("kDict(data)", ns, target_seconds=0.02), None)
        out[f"toJson, {n} fields"] = (ns_per_call("env.toJson()", ns, target_seconds=0.02), None)
    per = 20_000 if quick else 100_000
    out["kTag.New, 1 thread"] = (new_from_threads(kTag, 1, per), None)
    out["kTag.New, 8 threads"] = (new_from_threads(kTag, 8, per // 4), None)
    n = 100_000 if quick else 1_000_000
    data = fields(n)
    tracemalloc.start()
    d = kDict(data)
    native_peak = tracemalloc.get_traced_memory()[1]
    del d
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    p = dict(data)
    plain_peak = tracemalloc.get_traced_memory()[1] - base
    del p
    tracemalloc.stop()
    out[f"peak memory, kDict of {n} keys (bytes)"] = (native_peak, plain_peak)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes")
    parser.add_argument("--scaling", action="store_true", help="also the scaling and memory figures")
    parser.add_argument("--json", metavar="FILE", help="write the figures as JSON")
    args = parser.parse_args()
    results = {"table": run_table(args.quick)}
    print_table(results["table"])
    if args.scaling:
        scaling = run_scaling(args.quick)
        results["scaling"] = {k: {"native": a, "reference": b} for k, (a, b) in scaling.items()}
        print()
        print(f"{'scaling':44} {'native':>14} {'reference':>14}")
        for k, (a, b) in scaling.items():
            print(f"{k:44} {a:14.1f} {'' if b is None else f'{b:14.1f}'}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
