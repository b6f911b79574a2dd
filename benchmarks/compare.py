"""Side by side: the ratios of two benchmark runs (bench.py --json), e.g. of
the same build for CPython 3.14 and 3.15.

    python3 benchmarks/compare.py [--markdown] build/bench-3.14.json build/bench-3.15.json

For each operation it prints native/builtin and python/native of both runs
and how much worse the second run's ratio is (second / first for
native/builtin, first / second for python/native: above 1 is worse).
"""
import json
import sys


def load(path):
    with open(path) as f:
        data = json.load(f)
    return data["python"], {r["operation"]: r for r in data["table"] if "skipped" not in r}


def cell(x, width=8):
    return f"{x:{width}.2f}" if x is not None else " " * width


def main(first, second, markdown=False):
    va, a = load(first)
    vb, b = load(second)
    if markdown:
        print(f"| operation | native/builtin {va} | {vb} | Python/native {va} | {vb} |")
        print("|---|---|---|---|---|")
    else:
        print(f"{'operation':30} {'nat/bltn':>17} {'py/nat':>17} {'worse':>6}")
        print(f"{'':30} {va:>8} {vb:>8} {va:>8} {vb:>8}")
    for name, ra in a.items():
        rb = b.get(name)
        if rb is None:
            continue
        nb_a, nb_b = ra["native_over_builtin"], rb["native_over_builtin"]
        pn_a, pn_b = ra["python_over_native"], rb["python_over_native"]
        worse = max(nb_b / nb_a if nb_a else 0, pn_a / pn_b)
        if markdown:
            cells = [f"{x:.2f}" if x is not None else "" for x in (nb_a, nb_b)] + [f"{pn_a:.1f}", f"{pn_b:.1f}"]
            print(f"| {name} | " + " | ".join(cells) + " |")
            continue
        print(f"{name:30} {cell(nb_a)} {cell(nb_b)} {cell(pn_a)} {cell(pn_b)} {worse:6.2f}")


if __name__ == "__main__":
    args = sys.argv[1:]
    md = "--markdown" in args
    args = [a for a in args if a != "--markdown"]
    if len(args) != 2:
        sys.exit(__doc__)
    main(*args, markdown=md)
