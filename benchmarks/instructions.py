"""Instruction counts per call under callgrind: stable figures for comparing
two builds where wall-clock times are noisy.

    tools/py314 sh -c 'PYTHONPATH=build/release/pkg python3.14 benchmarks/instructions.py [--native] [WORD...]'

Each statement of bench.py's table (or of the rows whose names contain one of
the given words) runs N times in a loop under valgrind --tool=callgrind; the
total less that of a run with an empty loop, divided by N, is the cost of one
iteration, the loop's own few instructions included.  --native measures
the native column only.  Runs go two at a time.

    ... benchmarks/instructions.py --sizes 1000,100000 [--side python] [WORD...]

counts the rows of benchmarks/scale.py instead, at the given sizes (or
depths, for the chain row): each row's work done R and 2R times over n
elements (its setup run once in both), the difference divided by R and by n
is the count per element.  --side picks the native module (default), the
pure-Python equivalent or the floor.

    ... benchmarks/instructions.py --check FILE [--tolerance PCT]
    ... benchmarks/instructions.py --write FILE

count the package's rows (the native column of every row but the layout
floor's) and compare them with the baseline in FILE: a row that costs more
than the baseline by over PCT per cent (default 3), a row without a
baseline or a baseline without its row fails the check (exit status 1).
--write measures the same rows and writes them as the new baseline.
"""
import os
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

N = 50_000

# The statement runs as the body of a loop in a function (the loop variable a
# fast local), compiled with the table's namespace as its globals.
RUNNER = """
import sys
sys.path.insert(0, {here!r})
import bench
ns = bench.namespace()
exec("def run(n):\\n    for _ in range(n):\\n        " + {stmt!r}, ns)
ns["run"](200)
ns["run"]({n})
"""


def callgrind_total(script):
    """Instructions that running `script` under callgrind takes."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        # a fixed hash seed: the same dict layouts (and probe counts) every run
        env = dict(os.environ, PYTHONHASHSEED="0")
        proc = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                               "-c", script], capture_output=True, text=True, env=env)
        if proc.returncode:
            raise RuntimeError(proc.stderr[-2000:])
        return int(re.search(r"Collected\s*:\s*(\d+)", proc.stderr).group(1))


def total_ir(stmt, n):
    return callgrind_total(RUNNER.format(here=os.path.dirname(os.path.abspath(__file__)), stmt=stmt, n=n))


# A row of scale.py: its work built once at size n, then done `reps` times.
SCALE_RUNNER = """
import sys
sys.path.insert(0, {here!r})
import scale
work = scale.find_row({name!r})[1]({n}, {side!r})
work()
for _ in range({reps}):
    work()
"""


def scale_ir(name, n, side, reps):
    return callgrind_total(SCALE_RUNNER.format(here=os.path.dirname(os.path.abspath(__file__)), name=name, n=n,
                                               side=side, reps=reps))


def main_sizes(sizes, side, names):
    import scale

    rows = [r for r in scale.row_names() if scale.available(r)
            and (not names or any(w.lower() in r.lower() for w in names))]
    print(f"{'row (' + side + ')':40} {'n':>9} {'Ir per element':>15}")
    with ThreadPoolExecutor(2) as pool:
        jobs = []
        for name in rows:
            for n in sizes:
                # enough elements in all to outweigh the noise of the setup
                reps = max(1, 50_000 // n)
                jobs.append((name, n, reps, pool.submit(scale_ir, name, n, side, reps),
                             pool.submit(scale_ir, name, n, side, 2 * reps)))
        for name, n, reps, once, twice in jobs:
            per = (twice.result() - once.result()) / reps / n
            print(f"{name:40} {n:9d} {per:15.0f}", flush=True)


def package_rows():
    """(name, native statement) of the rows the package's own code serves."""
    return [(name, native) for name, needs, native, _, _, _ in bench.row_table()
            if "floor" not in needs.split() and all(bench.NATIVE[m] is not None for m in needs.split())]


def count_package_rows():
    """Instructions per call of each package row, by name."""
    rows = package_rows()
    with ThreadPoolExecutor(2) as pool:
        base = pool.submit(total_ir, "pass", 0)
        jobs = [pool.submit(total_ir, stmt, N) for _, stmt in rows]
        base = base.result()
        return {name: round((job.result() - base) / N) for (name, _), job in zip(rows, jobs)}


def read_baseline(path):
    """A baseline file: one row a line, its count after the last tab."""
    with open(path) as f:
        lines = [line.rstrip("\n") for line in f if line.strip() and not line.startswith("#")]
    return {name: int(count) for name, _, count in (line.rpartition("\t") for line in lines)}


def check(path, tolerance):
    baseline, counts = read_baseline(path), count_package_rows()
    failed = False
    print(f"{'row':32} {'baseline':>9} {'now':>9} {'change':>8}")
    for name in dict.fromkeys([*baseline, *counts]):
        was, now = baseline.get(name), counts.get(name)
        if was is None or now is None:
            failed = True
            print(f"{name:32} {was or '-':>9} {now or '-':>9}  FAIL: {'no baseline' if was is None else 'no row'}")
            continue
        change = (now - was) / was * 100
        over = change > tolerance
        failed |= over
        print(f"{name:32} {was:9d} {now:9d} {change:+7.1f}%{'  FAIL' if over else ''}", flush=True)
    print(f"instruction counts: {'FAILED' if failed else 'within'} +{tolerance:g} % of {path}")
    return 1 if failed else 0


def write(path):
    counts = count_package_rows()
    with open(path, "w") as f:
        f.write(f"# Instructions per call of the package's rows (benchmarks/instructions.py --write),\n"
                f"# CPython {sys.version.split()[0]}; a change of these is a commit of its own that says why.\n")
        for name, count in counts.items():
            f.write(f"{name}\t{count}\n")
    print(f"wrote {len(counts)} rows to {path}")
    return 0


def main(names):
    if names and names[0] in ("--check", "--write"):
        if len(names) < 2:
            sys.exit(f"usage: instructions.py {names[0]} FILE")
        if names[0] == "--write":
            return write(names[1])
        tolerance = float(names[names.index("--tolerance") + 1]) if "--tolerance" in names else 3.0
        return check(names[1], tolerance)
    if any(a.startswith("--sizes") for a in names):
        args = list(names)
        side = "native"
        if "--side" in args:
            i = args.index("--side")
            side = args[i + 1]
            del args[i:i + 2]
        i = next(i for i, a in enumerate(args) if a.startswith("--sizes"))
        value = args[i].partition("=")[2] or args[i + 1]
        del args[i:i + (1 if "=" in args[i] else 2)]
        return main_sizes([int(float(x)) for x in value.split(",")], side, args)
    native_only = "--native" in names
    names = [n for n in names if n != "--native"]
    statements = []
    for name, needs, native, python, builtin, _ in bench.row_table():
        if names and not any(n.lower() in name.lower() for n in names):
            continue
        if any(bench.NATIVE[m] is None for m in needs.split()):
            continue
        statements.append((name, native, None if native_only else python, None if native_only else builtin))
    with ThreadPoolExecutor(2) as pool:
        base = pool.submit(total_ir, "pass", 0)
        jobs = [[pool.submit(total_ir, s, N) if s else None for s in row[1:]] for row in statements]
        base = base.result()
        loop = (total_ir("pass", N) - base) / N
        print(f"{'operation':30} {'native Ir':>10} {'python Ir':>10} {'builtin Ir':>10} {'nat/bltn':>9}"
              f"  (loop {loop:.0f})")
        for (name, *_), futures in zip(statements, jobs):
            a, b, c = ((f.result() - base) / N if f else None for f in futures)
            ratio = f"{a / c:9.2f}" if c else f"{'':9}"
            cs = f"{c:10.0f}" if c else f"{'':10}"
            bs = f"{b:10.0f}" if b else f"{'':10}"
            print(f"{name:30} {a:10.0f} {bs} {cs} {ratio}", flush=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
