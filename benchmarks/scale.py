"""Cost per element from 10 to 1,000,000 elements: the native modules, the
pure-Python equivalent (benchmarks/reference.py) and a floor (plain dicts,
lists and json doing the same work), measured in one run.

    tools/py314 sh -c 'PYTHONPATH=build/release/pkg python3.14 benchmarks/scale.py [--quick] [--only WORD]'

For each row and size it prints ns per element of the native module, of the
pure-Python equivalent and of the floor, the ratios native/floor and
python/native, and k, the growth exponent of the native total time against
the previous size (1 is linear, 2 quadratic); the exponent fitted over the
sizes from the third up (1,000 elements) closes each row.  A cell whose expected time exceeds the
time cap (a quadratic road at large sizes) is left out and marked "-".
--quick measures 10 to 10,000 with fewer rounds (a check that every row
runs); --memory adds the peak traced allocation of the toJson rows;
--json FILE writes the figures.  benchmarks/instructions.py --sizes counts
instructions per element for the same rows.
"""
import argparse
import dataclasses
import gc
import json
import math
import os
import platform
import sys
import time
import tracemalloc
from datetime import datetime, timedelta, timezone

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402
import reference as ref  # noqa: E402

SIZES = (10, 100, 1_000, 10_000, 100_000, 1_000_000)
QUICK_SIZES = (10, 100, 1_000, 10_000)
# Nesting depths of the chain row (deeper than the recursion limit's
# neighbourhood is the tests' business, not a benchmark's).
DEPTHS = (10, 50, 100, 200, 400, 800)
QUICK_DEPTHS = (10, 100, 300)

SETTINGS = {"rounds": 7, "seconds": 0.1, "cap": 20.0}
SIDES = ("native", "python", "floor")

sys.setrecursionlimit(max(sys.getrecursionlimit(), 20_000))  # the Python chain walks two frames a level


@dataclasses.dataclass
class Item:
    n: int
    label: str
    when: datetime


BASE = datetime(2026, 3, 15, 8, 30, 45, 123000)


def keys(n):
    """n distinct short keys of mixed case."""
    return [f"Key{i}" if i % 2 else f"key{i}" for i in range(n)]


def scalar(i):
    """The i-th value of a flat document: text, ints, floats, booleans."""
    return ("text %d" % i, i, i * 0.25 + 0.1, i % 3 == 0)[i % 4]


def mixed(i):
    """The i-th value of a list of mixed values."""
    kind = i % 6
    if kind == 0:
        return i
    if kind == 1:
        return i * 1.5
    if kind == 2:
        return f"value {i}"
    if kind == 3:
        return (i, str(i))
    if kind == 4:
        return Item(i, "x", BASE)
    return BASE + timedelta(seconds=i)


# Values of one type for the text-form rows.
TEXT_VALUES = {
    "str": lambda i: f"v{i}",
    "int": lambda i: i * 7,
    "float": lambda i: i * 0.1 + 1e-3,
    "bool": lambda i: i % 2 == 0,
    "None": lambda i: None,
    "list": lambda i: [i, i + 1],
    "datetime": lambda i: BASE + timedelta(seconds=i),
}


def classes(side):
    """(kDict, kEnvelope) of a side; the floor uses the native ones where it
    needs a class at all."""
    if side == "python":
        return ref.kDict, ref.kEnvelope
    return bench.NATIVE["kDict"], bench.NATIVE["kEnvelope"]


def store_of(cls, data):
    """A store of `cls` holding `data` (values None included, written
    directly, as a document read from elsewhere may hold them)."""
    d = cls()
    d.Raw().update(data)
    d._key_map.update({k.casefold(): k for k in data})
    return d


# ------------------------------------------------------------- the rows
# Each maker takes (n, side) and returns a function that does the row's work
# once over n elements.  The setup runs outside the timing.


def row_get(n, side):
    ks = keys(n)
    if side == "floor":
        p = {k.casefold(): i for i, k in enumerate(ks)}
        folded = [k.casefold() for k in ks]
        return lambda: [p.get(k) for k in folded]
    d = classes(side)[0](dict(zip(ks, range(n))))
    get = d.get
    return lambda: [get(k) for k in ks]


def row_set(n, side):
    ks = keys(n)
    if side == "floor":
        p = {k.casefold(): i for i, k in enumerate(ks)}
        folded = [k.casefold() for k in ks]

        def work():
            for k in folded:
                p[k] = 1
        return work
    d = classes(side)[0](dict(zip(ks, range(n))))
    put = d.set

    def work():
        for k in ks:
            put(k, 1)
    return work


def row_construct(n, side):
    data = dict(zip(keys(n), range(n)))
    cls = dict if side == "floor" else classes(side)[0]
    return lambda: cls(data)


def row_merge(n, side):
    data = dict(zip(keys(n), range(n)))
    if side == "floor":
        return lambda: {}.update(data)
    cls = classes(side)[0]
    other = cls(data)
    return lambda: cls().Merge(other)


def row_add_to_list(n, side):
    if side == "floor":
        def work():
            p = {}
            for i in range(n):
                p.setdefault("items", []).append(i)
        return work
    cls = classes(side)[0]

    def work():
        d = cls()
        add = d.addToList
        for i in range(n):
            add("Items", i)
    return work


def row_text(kind):
    make = TEXT_VALUES.get(kind)

    def maker(n, side):
        ks = keys(n)
        cls = classes(side)[0]
        if kind == "kDict":
            values = [cls({"a": i, "B": "x"}) for i in range(n)]
        else:
            values = [make(i) for i in range(n)]
        data = dict(zip(ks, values))
        if side == "floor":
            return lambda: str(data)
        d = store_of(cls, data)
        return lambda: str(d)
    return maker


def row_to_json(shape):
    def maker(n, side):
        cls_dict, cls_env = classes(side)
        if shape == "flat":
            env = cls_env(store_of(cls_dict, {k: scalar(i) for i, k in enumerate(keys(n))}))
        elif shape == "wide":
            env = cls_env()
            for c in range(max(1, n // 10)):
                child = env.nest(f"child{c}")
                for f in range(10):
                    child.put(f"F{f}", scalar(c + f))
        elif shape == "list":
            env = cls_env().put("items", [mixed(i) for i in range(n)])
        else:  # chain: n levels
            env = top = cls_env()
            for level in range(n):
                env.put("level", level)
                env = env.nest("next")
            env = top
        if side == "floor":
            plain = env.get()  # the same plain data, made once
            return lambda: json.dumps(plain, indent=4)
        return env.toJson
    return maker


def row_plain_tree(n, side):
    cls_dict, cls_env = classes(side)
    data = {k: scalar(i) for i, k in enumerate(keys(n))}
    if side == "floor":
        return lambda: dict(data)
    return cls_env(store_of(cls_dict, data)).get


# (name, maker, sizes or None for SIZES, needs the envelope)
ROWS = [
    ("kDict.get", row_get, None),
    ("kDict.set existing", row_set, None),
    ("kDict(data)", row_construct, None),
    ("kDict.Merge", row_merge, None),
    ("addToList on one key", row_add_to_list, None),
    *[(f"str(kDict) of {kind}", row_text(kind), None) for kind in (*TEXT_VALUES, "kDict")],
    ("toJson flat", row_to_json("flat"), None),
    ("toJson wide (n/10 children x 10)", row_to_json("wide"), None),
    ("toJson list of mixed values", row_to_json("list"), None),
    ("toJson chain (per level)", row_to_json("chain"), "depths"),
    ("kEnvelope.get() flat", row_plain_tree, None),
]
NEEDS_ENVELOPE = ("toJson", "kEnvelope")


def row_names():
    return [name for name, *_ in ROWS]


def find_row(name):
    for row in ROWS:
        if row[0] == name:
            return row
    raise KeyError(name)


def sizes_of(row, quick):
    if row[2] == "depths":
        return QUICK_DEPTHS if quick else DEPTHS
    return QUICK_SIZES if quick else SIZES


def available(name):
    if bench.NATIVE["kDict"] is None:
        return False
    return bench.NATIVE["kEnvelope"] is not None or not any(w in name for w in NEEDS_ENVELOPE)


# ----------------------------------------------------------------- timing


def batch_size(fn, seconds):
    """Calls per batch so that one batch lasts about `seconds`, and the time
    of one call."""
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        t = time.perf_counter() - start
        if t >= seconds / 4 or number >= 1 << 20:
            return max(1, int(number * seconds / max(t, 1e-9))), t / number
        number *= 4


def measure(fns):
    """Best seconds per call of each function (None: left out), in
    interleaved rounds so that a slow spell hits all alike."""
    plans = [batch_size(fn, SETTINGS["seconds"]) if fn else None for fn in fns]
    best = [p[1] if p else None for p in plans]
    for _ in range(SETTINGS["rounds"] - 1):
        for i, (fn, plan) in enumerate(zip(fns, plans)):
            if not plan:
                continue
            number = plan[0]
            start = time.perf_counter()
            for _ in range(number):
                fn()
            best[i] = min(best[i], (time.perf_counter() - start) / number)
    return best


def expected(history, n):
    """The time one call at size n is expected to take, from the last two
    sizes measured (None when there is no history)."""
    if not history:
        return None
    if len(history) == 1:
        (n0, t0), = history
        return t0 * n / n0
    (n0, t0), (n1, t1) = history[-2:]
    k = max(1.0, math.log(t1 / t0) / math.log(n1 / n0))
    return t1 * (n / n1) ** k


def fit_exponent(points):
    """Least-squares slope of log(time) over log(n)."""
    pts = [(math.log(n), math.log(t)) for n, t in points if t]
    if len(pts) < 2:
        return None
    mx = sum(x for x, _ in pts) / len(pts)
    my = sum(y for _, y in pts) / len(pts)
    sxx = sum((x - mx) ** 2 for x, _ in pts)
    return sum((x - mx) * (y - my) for x, y in pts) / sxx if sxx else None


def peak_bytes(fn):
    """Peak traced allocation above the start while fn() runs."""
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        fn()
        return tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()


def run_row(row, quick, memory):
    name, maker, _ = row
    history = {side: [] for side in SIDES}
    cells = []
    for n in sizes_of(row, quick):
        fns = []
        for side in SIDES:
            guess = expected(history[side], n)
            fns.append(None if guess is not None and guess > SETTINGS["cap"] else maker(n, side))
        times = measure(fns)
        for side, t in zip(SIDES, times):
            if t is not None:
                history[side].append((n, t))
        cell = {"n": n, **{side: t for side, t in zip(SIDES, times)}}
        if memory and name.startswith("toJson"):
            cell["peak"] = {side: peak_bytes(fn) if fn else None for side, fn in zip(SIDES, fns)}
        cells.append(cell)
        del fns
        gc.collect()
    return cells


def fmt(x, width, digits=1):
    return f"{x:{width}.{digits}f}" if x is not None else f"{'-':>{width}}"


def print_row(name, cells, memory):
    print(f"\n{name}")
    print(f"{'n':>9} {'native':>9} {'python':>9} {'floor':>9} {'nat/floor':>9} {'py/nat':>7} {'k':>5}"
          f"   (ns per element)")
    prev = None
    for c in cells:
        n = c["n"]
        per = [c[s] * 1e9 / n if c[s] is not None else None for s in SIDES]
        ratio = per[0] / per[2] if per[0] and per[2] else None
        speedup = per[1] / per[0] if per[0] and per[1] else None
        k = math.log(c["native"] / prev["native"]) / math.log(n / prev["n"]) if prev and c["native"] else None
        print(f"{n:9d} {fmt(per[0], 9)} {fmt(per[1], 9)} {fmt(per[2], 9)} {fmt(ratio, 9, 2)} {fmt(speedup, 7)} "
              f"{fmt(k, 5, 2)}")
        if memory and "peak" in c:
            peaks = [c["peak"][s] / n if c["peak"][s] is not None else None for s in SIDES]
            print(f"{'':9} {fmt(peaks[0], 9)} {fmt(peaks[1], 9)} {fmt(peaks[2], 9)}   peak bytes per element")
        prev = c
    start = cells[min(2, len(cells) - 2)]["n"]  # small sizes are mostly the call's fixed cost
    fitted = {s: fit_exponent([(c["n"], c[s]) for c in cells if c["n"] >= start and c[s]]) for s in SIDES}
    print(f"{'growth':>9} " + " ".join(fmt(fitted[s], 9, 2) for s in SIDES) + f"   (exponent fitted from n = {start})")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="sizes 10 to 10,000, fewer rounds")
    parser.add_argument("--only", metavar="WORD", action="append", default=[],
                        help="only the rows whose name contains WORD (repeatable)")
    parser.add_argument("--memory", action="store_true", help="peak traced memory of the toJson rows")
    parser.add_argument("--cap", type=float, help="seconds one call may be expected to take (default 20)")
    parser.add_argument("--rounds", type=int, help="timed rounds per cell, the best kept (default 7)")
    parser.add_argument("--json", metavar="FILE", help="write the figures as JSON")
    args = parser.parse_args(argv)
    if args.quick:
        SETTINGS.update(rounds=3, seconds=0.02, cap=2.0)
    if args.cap:
        SETTINGS["cap"] = args.cap
    if args.rounds:
        SETTINGS["rounds"] = args.rounds
    print(f"Python {platform.python_version()} on {platform.machine()}; native = kestrune.utils, "
          f"python = benchmarks/reference.py, floor = plain dict/list/json")
    results = {"python": platform.python_version(), "rows": {}}
    for row in ROWS:
        name = row[0]
        if args.only and not any(w.lower() in name.lower() for w in args.only):
            continue
        if not available(name):
            print(f"\n{name}: skipped (native module not built)")
            continue
        cells = run_row(row, args.quick, args.memory)
        print_row(name, cells, args.memory)
        sys.stdout.flush()
        results["rows"][name] = cells
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
