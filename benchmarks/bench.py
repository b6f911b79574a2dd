"""Benchmarks: the native modules against a pure-Python equivalent and the
builtin reference operations, all measured in one process and one run.

    tools/py314 tools/bench [--quick] [--scaling] [--json FILE] [--only WORD]

For each operation it prints ns per call for the native module, for the
pure-Python equivalent (benchmarks/reference.py) and for the builtin
reference operation, each the best of many short timeit batches taken in
interleaved rounds (so that the ratios hold up on a busy machine), then the ratios
native/builtin and python/native and whether the target is met.  Figures
include the timing loop itself (printed first, a few ns per iteration), as
timeit's always do.  --scaling adds the cost of kDict.get on growing stores,
of construction and toJson on growing inputs, kTag.New from 1 and 8 threads,
and the peak memory of a large kDict.  --quick uses fewer rounds and smaller
sizes.  Rows whose native module is not built are reported as skipped.
"""
import argparse
import dataclasses
import gc
import importlib
import json
import os
import platform
import sys
import threading
import timeit
import tracemalloc
from datetime import datetime, timezone
from enum import IntEnum

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference as ref  # noqa: E402


def load_native():
    """The native classes by module name; None where the module is missing."""
    found = {}
    for name in ("kDict", "kTag", "kEnvelope", "kState"):
        try:
            module = importlib.import_module(f"kestrune.utils.{name}")
        except ImportError:
            found[name] = None
        else:
            found[name] = getattr(module, name)
    # The layout floor (benchmarks/native/_kst_floor.cpp): built beside the
    # test modules, not part of the package.
    try:
        found["floor"] = importlib.import_module("_kst_floor")
    except ImportError:
        found["floor"] = None
    return found


NATIVE = load_native()

# Time per measured batch, and number of rounds (the best batch is kept).
SETTINGS = {"rounds": 21, "seconds": 0.01}


def _timer(stmt, ns, seconds):
    """A timeit.Timer for `stmt` and a loop count making one batch last
    about `seconds`."""
    timer = timeit.Timer(stmt, globals=ns)
    number = 1
    while True:
        t = timer.timeit(number)
        if t >= seconds / 5 or number >= 1 << 30:
            break
        number *= 2 if t > seconds / 50 else 8
    return timer, max(1, int(number * seconds / max(t, 1e-9)))


def ns_per_call(*stmts, ns, seconds=None):
    """Best ns per execution of each statement.  The statements are timed in
    interleaved rounds, so that a slow spell of the machine hits them alike
    and the ratios between them stay steady."""
    seconds = seconds or SETTINGS["seconds"]
    timers = [_timer(s, ns, seconds) for s in stmts]
    best = [float("inf")] * len(stmts)
    for _ in range(SETTINGS["rounds"]):
        for i, (timer, number) in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number * 1e9)
    return best[0] if len(stmts) == 1 else best


@dataclasses.dataclass
class Point:
    x: int
    when: datetime


class Plain(IntEnum):
    open = 1


def fields(n):
    """n fields with short ASCII keys of mixed case."""
    return {(f"Key{i}" if i % 2 else f"key{i}"): i for i in range(n)}


def make_tree(envelope_cls, state_cls):
    """An envelope of 25 fields: text, numbers, datetimes, a tuple, a list
    holding a tuple and a dict, a data class, a status and a nested child."""
    e = envelope_cls()
    e.put("Name", "Ann").put("AGE", 7).put("Active", True).put("ratio", 0.5)
    e.put("Created", datetime(2026, 3, 15, 8, 30, 45, 123000, tzinfo=timezone.utc))
    e.put("Updated", datetime(2026, 3, 16, 9, 0, 0))
    e.put("tags", ("a", "b", "c")).put("point", Point(3, datetime(2026, 1, 1)))
    e.put("list", [1, 2, (3, 4), {"k": (5,)}]).put("State", state_cls.hold).put("Note", None)
    e.put("Owner", "bob").put("Id", "alice_payment_2026-03-15:08.30.45.1237F3A200001")
    for i in range(10):
        e.put(f"F{i}", i * 1.5)
    child = e.nest("child")
    child.put("x", 1).put("y", "two").put("when", datetime(2026, 2, 2, 2, 2, 2))
    child.put("pair", (1, 2))
    return e


def make_plain_tree(state_cls):
    """The tree of make_tree built of plain dicts, with the same values."""
    e = {}
    e["Name"] = "Ann"
    e["AGE"] = 7
    e["Active"] = True
    e["ratio"] = 0.5
    e["Created"] = datetime(2026, 3, 15, 8, 30, 45, 123000, tzinfo=timezone.utc)
    e["Updated"] = datetime(2026, 3, 16, 9, 0, 0)
    e["tags"] = ("a", "b", "c")
    e["point"] = Point(3, datetime(2026, 1, 1))
    e["list"] = [1, 2, (3, 4), {"k": (5,)}]
    e["State"] = state_cls.hold
    e.pop("Note", None)
    e["Owner"] = "bob"
    e["Id"] = "alice_payment_2026-03-15:08.30.45.1237F3A200001"
    for i in range(10):
        e[f"F{i}"] = i * 1.5
    child = e.setdefault("child", {})
    child["x"] = 1
    child["y"] = "two"
    child["when"] = datetime(2026, 2, 2, 2, 2, 2)
    child["pair"] = (1, 2)
    return e


# Targets: ("builtin", x) means native <= x * builtin; ("python", x) means
# native at least x times faster than Python.
LE = "builtin"
GE = "python"


def row_table():
    """(operation, needed native modules, native stmt, python stmt, builtin
    stmt or None, targets)."""
    d15, d22, d35, d13 = [(LE, 1.5)], [(LE, 2.2)], [(LE, 3.5)], [(LE, 1.3)]
    return [
        ("kDict.get hit", "kDict", "d.get('Name')", "r.get('Name')", "p.get('name')", d15),
        ("kDict.get miss", "kDict", "d.get('Absent')", "r.get('Absent')", "p.get('absent')", d15),
        ("kDict[k]", "kDict", "d['NAME']", "r['NAME']", "p.get('name')", d15),
        ("kDict.has", "kDict", "d.has('Name')", "r.has('Name')", "p.get('name')", d15),
        ("kDict.set existing", "kDict", "d.set('Other', 1)", "r.set('Other', 1)", "p.get('other')", d22),
        ("kDict[k] = v existing", "kDict", "d['Other'] = 1", "r['Other'] = 1", "p.get('other')", d22),
        ("kDict.getInt '42'", "kDict", "d.getInt('Count')", "r.getInt('Count')", "p.get('count')", d35),
        ("kDict.getBool 'yes'", "kDict", "d.getBool('Flag')", "r.getBool('Flag')", "p.get('flag')", d35),
        ("kDict.getString 5", "kDict", "d.getString('Num')", "r.getString('Num')", "p.get('num')", d35),
        ("kDict.getDouble 2.5", "kDict", "d.getDouble('Ratio')", "r.getDouble('Ratio')", "p.get('ratio')", d35),
        ("kDict.getList", "kDict", "d.getList('Items')", "r.getList('Items')", "p.get('items')", d35),
        ("kDict.getOr '42', 0", "kDict", "d.getOr('Count', 0)", "r.getOr('Count', 0)", "p.get('count')", d35),
        ("kDict.getDate ISO", "kDict", "d.getDate('When')", "r.getDate('When')",
         "datetime.fromisoformat(p.get('when'))", d13),
        ("kDict(dict of 15)", "kDict", "kDict(n15)", "rDict(n15)", "dict(n15)", [(LE, 6.0), (GE, 6.0)]),
        ("str(kDict of 15)", "kDict", "str(ks)", "str(rs)", "str(n15)", [(LE, 0.35), (GE, 6.0)]),
        ("kTag.New", "kTag", "kTag.New('alice', 'payment')", "rTag.New('alice', 'payment')",
         "datetime.now(timezone.utc)", [(LE, 1.5), (GE, 10.0)]),
        ("kTag.GetTempId", "kTag", "kTag.GetTempId(tid)", "rTag.GetTempId(tid)", None, [(GE, 20.0)]),
        ("kTag.GetCreatedAt", "kTag", "kTag.GetCreatedAt(tid)", "rTag.GetCreatedAt(tid)", None, [(GE, 20.0)]),
        ("kTag.GetTicksSinceEpoch", "kTag", "kTag.GetTicksSinceEpoch(tid)", "rTag.GetTicksSinceEpoch(tid)",
         None, [(GE, 20.0)]),
        ("kTag.GetExactCreationWithMsNs", "kTag", "kTag.GetExactCreationWithMsNs(tid)",
         "rTag.GetExactCreationWithMsNs(tid)", None, [(GE, 20.0)]),
        # The write path; the floors are the native store's own operations
        # and the same tree built of plain dicts.
        ("kEnvelope.put existing", "kEnvelope", "wenv.put('Other', 1)", "rwenv.put('Other', 1)",
         "kd.set('Other', 1)", [(LE, 1.2)]),
        ("kEnvelope.post existing", "kEnvelope", "wenv.post('Other', 1)", "rwenv.post('Other', 1)",
         "kd.set('Other', 1)", [(LE, 1.2)]),
        ("kEnvelope().put(..)x4", "kEnvelope", "kEnvelope().put('a', 1).put('B', 2).put('c', 3).put('D', 4)",
         "rEnv().put('a', 1).put('B', 2).put('c', 3).put('D', 4)", None, [(GE, 1.5)]),
        ("kEnvelope.nest existing", "kEnvelope", "wenv.nest('child')", "rwenv.nest('child')",
         "kEnvelope(); kd.get('Other')", [(LE, 1.0)]),
        ("envelope tree (vs plain dicts)", "kEnvelope kState", "make_tree(kEnvelope, kState)",
         "make_tree(rEnv, rState)", "make_plain_tree(kState)", [(LE, 1.8)]),
        # The same operations on classes of the store's and the envelope's
        # layout whose members read nothing from it and check nothing (below
        # what any store or envelope of that layout can cost): the store's
        # get, set and construction called as functions of the package's
        # kind, the tree with its members called as plain method descriptors,
        # then as functions of the package's kind.
        ("kDict.get hit, layout floor", "floor", "fb.get('Name')", "r.get('Name')", "p.get('name')", []),
        ("kDict.set, layout floor", "floor", "fb.set('Other', 1)", "r.set('Other', 1)", "p.get('other')", []),
        ("kDict(dict of 15), layout floor", "floor", "floor.BoundStore(n15)", "rDict(n15)", "dict(n15)", []),
        ("tree, layout floor", "kState floor", "make_tree(floor.Envelope, kState)", "make_tree(rEnv, rState)",
         "make_plain_tree(kState)", []),
        ("tree, floor, package calls", "kState floor", "make_tree(floor.BoundEnvelope, kState)",
         "make_tree(rEnv, rState)", "make_plain_tree(kState)", []),
        ("kEnvelope.get() 25 fields", "kEnvelope kState", "env.get()", "renv.get()", None, [(GE, 6.0)]),
        ("kEnvelope.toJson()", "kEnvelope kState", "env.toJson()", "renv.toJson()", "json.dumps(tree, indent=4)",
         [(LE, 1.2)]),
        ("kState.open.display_name", "kState", "kState.open.display_name", "rState.open.display_name",
         "Plain.open.name", [(LE, 0.75)]),
    ]


def namespace():
    n15 = fields(15)
    data = {"Name": "Ann", "COUNT": "42", "flag": "yes", "Num": 5, "Ratio": "2.5", "Items": [1, 2],
            "When": "2026-12-07T10:00:00", "Other": 1}
    ns = {"rDict": ref.kDict, "rTag": ref.kTag, "rState": ref.kState, "Plain": Plain, "datetime": datetime,
          "timezone": timezone, "json": json, "n15": n15,
          "tid": "alice_payment_2026-03-15:08.30.45.1237F3A200001", "rEnv": ref.kEnvelope,
          "make_tree": make_tree, "make_plain_tree": make_plain_tree}
    ns.update(NATIVE)
    ns.update(r=ref.kDict(data), rs=ref.kDict(n15), p={k.casefold(): v for k, v in data.items()})
    ns.update(renv=make_tree(ref.kEnvelope, ref.kState), rwenv=make_tree(ref.kEnvelope, ref.kState))
    ns["tree"] = ns["renv"].get()
    if NATIVE["kDict"]:
        ns.update(d=NATIVE["kDict"](data), ks=NATIVE["kDict"](n15))
        ns["kd"] = NATIVE["kDict"]({"Other": 1, "child": None})
    if NATIVE["kEnvelope"] and NATIVE["kState"]:
        ns["env"] = make_tree(NATIVE["kEnvelope"], NATIVE["kState"])
        ns["wenv"] = make_tree(NATIVE["kEnvelope"], NATIVE["kState"])  # for the writing rows
    if NATIVE["floor"]:
        ns["fb"] = NATIVE["floor"].BoundStore()
        for key, value in data.items():
            ns["fb"].set(key, value)
    return ns


def verdict(row):
    marks = []
    for kind, x in row["targets"]:
        if kind == LE:
            ratio = row["native_over_builtin"]
            marks.append(ratio is not None and ratio <= x)
        else:
            marks.append(row["python_over_native"] >= x)
    return all(marks)


def describe(targets):
    return "; ".join(f"<= {x}x builtin" if kind == LE else f">= {x}x faster than Python" for kind, x in targets)


def run_table(only=()):
    ns = namespace()
    results = []
    for name, needs, native, python, builtin, targets in row_table():
        if only and not any(word.lower() in name.lower() for word in only):
            continue
        row = {"operation": name, "target": describe(targets), "targets": targets}
        missing = [m for m in needs.split() if NATIVE[m] is None]
        if missing:
            row["skipped"] = "not built: " + ", ".join(missing)
            results.append(row)
            continue
        figures = ns_per_call(native, python, *([builtin] if builtin else []), ns=ns)
        row["native_ns"], row["python_ns"] = figures[0], figures[1]
        row["builtin_ns"] = figures[2] if builtin else None
        row["native_over_builtin"] = row["native_ns"] / row["builtin_ns"] if builtin else None
        row["python_over_native"] = row["python_ns"] / row["native_ns"]
        row["met"] = verdict(row)
        results.append(row)
    return results


def mark(row):
    return "" if not row["targets"] else "yes" if row["met"] else "NO"


def print_table(results, loop_ns):
    print(f"Python {platform.python_version()} on {platform.machine()}; timing loop {loop_ns:.1f} ns per iteration")
    head = (f"{'operation':30} {'native ns':>10} {'python ns':>10} {'builtin ns':>10} {'nat/bltn':>9} "
            f"{'py/nat':>7}  met  target")
    print(head)
    print("-" * len(head))
    for r in results:
        if "skipped" in r:
            print(f"{r['operation']:30} {'skipped (' + r['skipped'] + ')':>50}        {r['target']}")
            continue
        b = f"{r['builtin_ns']:10.1f}" if r["builtin_ns"] is not None else f"{'':10}"
        nb = f"{r['native_over_builtin']:9.2f}" if r["native_over_builtin"] is not None else f"{'':9}"
        print(f"{r['operation']:30} {r['native_ns']:10.1f} {r['python_ns']:10.1f} {b} {nb} "
              f"{r['python_over_native']:7.1f}  {mark(r):3}  {r['target']}")


def released_together(threads, body):
    """Seconds from releasing `threads` threads, each running body(), until
    the last one ends."""
    barrier = threading.Barrier(threads + 1)

    def work():
        barrier.wait()
        body()

    ts = [threading.Thread(target=work) for _ in range(threads)]
    for t in ts:
        t.start()
    barrier.wait()
    start = timeit.default_timer()
    for t in ts:
        t.join()
    return timeit.default_timer() - start


def new_from_threads(cls, threads, per_thread):
    """Wall-clock ns per New call with `threads` threads calling at once."""

    def work():
        new = cls.New
        for _ in range(per_thread):
            new("alice", "payment")

    return released_together(threads, work) / (threads * per_thread) * 1e9


def peak_bytes(build):
    """Peak traced allocation while `build()` runs and its result lives."""
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    obj = build()
    peak = tracemalloc.get_traced_memory()[1] - base
    del obj
    tracemalloc.stop()
    return peak


def run_scaling(quick):
    """(label, native, python, builtin, unit) rows."""
    out = []
    kd, env_cls = NATIVE["kDict"], NATIVE["kEnvelope"]
    big = 100_000 if quick else 1_000_000
    wide = 10_000 if quick else 100_000
    if kd:
        for n in (10, 10_000, big):
            data = fields(n)
            ns = {"d": kd(data), "r": ref.kDict(data), "p": {k.casefold(): v for k, v in data.items()}}
            out.append((f"kDict.get, {n} keys", *ns_per_call("d.get('KEY0')", "r.get('KEY0')", "p.get('key0')", ns=ns),
                        "ns/call"))
        for n in (10, 1000, wide):
            data = fields(n)
            ns = {"data": data, "kDict": kd, "rDict": ref.kDict}
            figures = ns_per_call("kDict(data)", "rDict(data)", "dict(data)", ns=ns)
            out.append((f"kDict(...), {n} fields", *(x / n for x in figures), "ns/field"))
    if kd and env_cls:
        for n in (10, 1000, wide):
            data = fields(n)
            ns = {"env": env_cls(kd(data)), "renv": ref.kEnvelope(ref.kDict(data)), "data": data, "json": json}
            figures = ns_per_call("env.toJson()", "renv.toJson()", "json.dumps(data, indent=4)", ns=ns)
            out.append((f"toJson, {n} fields", *(x / n for x in figures), "ns/field"))
    if NATIVE["kTag"]:
        per = 20_000 if quick else 200_000
        for threads in (1, 8):
            out.append((f"kTag.New, {threads} thread{'s' if threads > 1 else ''}",
                         new_from_threads(NATIVE["kTag"], threads, per // threads),
                         new_from_threads(ref.kTag, threads, per // threads // 10), None, "ns/call"))
    if kd:
        n = big
        data = fields(n)
        out.append((f"peak memory, store of {n} keys", peak_bytes(lambda: kd(data)) / n,
                    peak_bytes(lambda: ref.kDict(data)) / n, peak_bytes(lambda: dict(data)) / n, "bytes/key"))
    return out


def print_scaling(rows):
    print()
    print(f"{'scaling':34} {'native':>10} {'python':>10} {'builtin':>10}  unit")
    for label, a, b, c, unit in rows:
        cells = [f"{x:10.1f}" if x is not None else f"{'':10}" for x in (a, b, c)]
        print(f"{label:34} {' '.join(cells)}  {unit}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer repeats, shorter timing (noisier)")
    parser.add_argument("--scaling", action="store_true", help="also the scaling and memory figures")
    parser.add_argument("--json", metavar="FILE", help="write the figures as JSON")
    parser.add_argument("--only", metavar="WORD", action="append", default=[],
                        help="only the operations whose name contains WORD (repeatable)")
    args = parser.parse_args()
    if args.quick:
        SETTINGS.update(rounds=5, seconds=0.005)
    loop_ns = ns_per_call("pass", ns={})
    table = run_table(args.only)
    print_table(table, loop_ns)
    results = {"python": platform.python_version(), "loop_ns": loop_ns,
               "table": [{k: v for k, v in r.items() if k != "targets"} for r in table]}
    if args.scaling:
        scaling = run_scaling(args.quick)
        print_scaling(scaling)
        results["scaling"] = [dict(zip(("operation", "native", "python", "builtin", "unit"), r)) for r in scaling]
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
