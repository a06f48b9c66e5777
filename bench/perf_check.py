"""Single-cube call costs as ratios against built-in calls of the same shape.

Each call is paired with a baseline that goes through the same interpreter
machinery with no cube behind it: a method call with no arguments against
[].clear(), a list of 54 small ints against list(range(54)), a list of 2-tuples
against list(zip(...)), and so on. A case and its baseline are timed in turn
within each repeat, best of N, in one process, so a busy machine slows both
alike and the ratios compare across machines and interpreters (CPython, PyPy,
32-bit and 64-bit). It only prints; nothing here passes or fails.

    python bench/perf_check.py [--repeat N] [--min-time SECONDS]
"""

import argparse
import os
import platform
import random
import struct
import sys
import timeit

import tessaroll

SEQUENCE = "R U R' U' F2 D L' B2 U2 R' D' F L2 B U' D2 R F' L U"  # 20 tokens


def scrambled(cls, seed=1):
    cube = cls()
    cube.do_moves(" ".join(random.Random(seed).choice(SEQUENCE.split()) for _ in range(30)))
    return cube


def cases():
    """(label, statement, baseline label, baseline statement), over one shared namespace."""
    big, small = scrambled(tessaroll.Cube3x3), scrambled(tessaroll.Cube2x2)
    names = {
        "c": big,
        "s": small,
        "lst": [],
        "n": big.corners,
        "r8": range(8),
        "r12": range(12),
        "seq": SEQUENCE,
        "Cube3x3": tessaroll.Cube3x3,
        "l54": list(range(54)),
    }
    rows = [
        ("c.do_u_move()", "c.do_u_move()", "[].clear()", "lst.clear()"),
        ("s.do_r_move()", "s.do_r_move()", "[].clear()", "lst.clear()"),
        ("c.is_solved()", "c.is_solved()", "[].clear()", "lst.clear()"),
        ("c.corners", "c.corners", "n.real", "n.real"),
        ("Cube3x3()", "Cube3x3()", "object()", "object()"),
        ("c.to_sticker_array()", "c.to_sticker_array()", "list(range(54))", "list(range(54))"),
        ("s.to_sticker_array()", "s.to_sticker_array()", "list(range(24))", "list(range(24))"),
        ("c.get_corners()", "c.get_corners()", "list(zip(r8, r8))", "list(zip(r8, r8))"),
        ("c.get_edges()", "c.get_edges()", "list(zip(r12, r12))", "list(zip(r12, r12))"),
        ("c.to_binary()", "c.to_binary()", "format(n, '064b')", "format(n, '064b')"),
        ("c.do_moves(20 tokens)", "c.do_moves(seq)", "seq.split()", "seq.split()"),
        ("str(c)", "str(c)", "repr(l54)", "repr(l54)"),
    ]
    return rows, names


def calibrated(timer, min_time):
    """Calls per timing run so that one run lasts at least min_time."""
    number = 1
    while True:
        if timer.timeit(number) >= min_time:
            return number
        number *= 4


def best_pair(stmt, base, names, repeat, min_time):
    timers = [timeit.Timer(stmt, globals=names), timeit.Timer(base, globals=names)]
    # Calibrating doubles as warm-up (for PyPy, the JIT's first traces).
    numbers = [calibrated(t, min_time) for t in timers]
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(numbers[i]) / numbers[i])
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--min-time", type=float, default=0.02)
    args = parser.parse_args()

    impl = platform.python_implementation()
    if impl == "PyPy":
        impl += " " + ".".join(map(str, sys.pypy_version_info[:3]))
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"{impl} (Python {platform.python_version()}), {8 * struct.calcsize('P')}-bit "
          f"{platform.machine()}; best of {args.repeat}; load average {load}")
    rows, names = cases()
    results = [(label, base_label, *best_pair(stmt, base, names, args.repeat, args.min_time))
               for label, stmt, base_label, base in rows]
    width = max(len(r[0]) for r in results)
    bwidth = max(len(r[1]) for r in results)
    print(f"{'call':<{width}}  {'ns':>8}  {'baseline':<{bwidth}}  {'ns':>8}  {'ratio':>6}")
    for label, base_label, t, b in results:
        print(f"{label:<{width}}  {t * 1e9:8.1f}  {base_label:<{bwidth}}  {b * 1e9:8.1f}  {t / b:6.2f}")


if __name__ == "__main__":
    main()
