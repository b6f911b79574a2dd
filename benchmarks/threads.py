"""Reads of shared objects from 1 and 2 threads at once: the speed-up the
package's members get from a second core, beside the same reads of a shared
plain dict (the interpreter's own floor: shared reference counts limit it
too).  Meaningful on the free-threaded build; with the GIL the threads take
turns and no row speeds up.

    tools/py314 tools/bench --python 3.14t --threads     (or run this file with the package on PYTHONPATH)

Each row runs its loop on every thread, released together, and counts the
calls per second of all threads; the speed-up is that rate from 2 threads
over the rate from 1.  The goal: the package's speed-up at least 0.9 of the
plain dict's.  kTag.New is serialised by its class lock by design: reported,
with no goal.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import released_together  # noqa: E402
from kestrune.utils.kDict import kDict  # noqa: E402
from kestrune.utils.kTag import kTag  # noqa: E402

N = 200_000
ROUNDS = 5


def rate(threads, body, n):
    """Calls per second of `threads` threads each running body(n); best of
    ROUNDS."""
    return max(threads * n / released_together(threads, lambda: body(n)) for _ in range(ROUNDS))


def rows():
    d = kDict({"Name": "alice", "Count": "42", "k": 1})
    plain = {"name": "alice", "count": "42", "k": 1}
    ident = kTag.New("user", "type")

    def loop(call):
        def body(n):
            for _ in range(n):
                call()
        return body

    return [
        ("plain dict.get", loop(lambda: plain.get("name")), None),
        ("kDict.get", loop(lambda: d.get("NAME")), "plain dict.get"),
        ("kDict.getInt", loop(lambda: d.getInt("count")), "plain dict.get"),
        ("kDict.has", loop(lambda: d.has("K")), "plain dict.get"),
        ("kTag.GetCreatedAt", loop(lambda: kTag.GetCreatedAt(ident)), "plain dict.get"),
        ("kTag.New (serialised by design)", loop(lambda: kTag.New("u", "t")), None),
    ]


def main():
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"CPython {sys.version.split()[0]}, GIL {'on' if gil else 'off'}; {N:,} calls per thread")
    print(f"{'operation':34} {'1 thread/s':>12} {'2 threads/s':>12} {'speed-up':>9} {'vs dict':>8}")
    speedups = {}
    for name, body, floor in rows():
        n = N // 10 if name.startswith("kTag.New") else N
        one, two = rate(1, body, n), rate(2, body, n)
        speedups[name] = two / one
        versus = f"{speedups[name] / speedups[floor]:.2f}" if floor else ""
        met = "" if not floor else ("met" if speedups[name] >= 0.9 * speedups[floor] else "not met")
        print(f"{name:34} {one:12,.0f} {two:12,.0f} {speedups[name]:9.2f} {versus:>8} {met}")


if __name__ == "__main__":
    main()
