"""Time of single-cube calls, on this interpreter or side by side on several.

    python bench/per_call.py [--repeat R]              # this interpreter
    python bench/per_call.py --compare PY1 PY2 [...]   # a table, PY2 / PY1

Each interpreter must have tessaroll installed. The comparison runs every
interpreter in its own processes, alternating, several rounds, and keeps the
best time of each call; within a process each call is timed in a loop, best
of R repeats, the calls interleaved so that a busy machine slows all of them
alike. PyPy's JIT compiles each loop during the first repeats, and its
figures move more than CPython's between runs. bench/run.py --interpreters
adds the table to its report.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time

SCRAMBLE = "R U F' L2 D B' R2 U' F D2 L' B2 R' U2 F2 D' L B U R"  # 20 tokens

# (label, statement, calls per timing loop)
CALLS = [
    ("do_u_move()", "c.do_u_move()", 400_000),
    ("corners", "c.corners", 400_000),
    ("Cube3x3()", "Cube3x3()", 200_000),
    ("to_sticker_array()", "c.to_sticker_array()", 100_000),
    ("to_binary()", "c.to_binary()", 100_000),
    ("get_corners()", "c.get_corners()", 100_000),
    ("get_edges()", "c.get_edges()", 100_000),
    ("do_moves (20 tokens)", "c.do_moves(s)", 100_000),
    ("str(c)", "str(c)", 20_000),
]


def interpreter():
    name = f"{platform.python_implementation()} {platform.python_version()}"
    if hasattr(sys, "pypy_version_info"):
        name += " (PyPy " + ".".join(map(str, sys.pypy_version_info[:3])) + ")"
    return name


def timing_loop(stmt):
    """A function running `stmt` n times with its names as locals, which
    both interpreters look up fastest. Each call gets its own loop, so that
    PyPy compiles each on its own."""
    names = {}
    exec(f"def loop(c, s, Cube3x3, n):\n    for _ in range(n):\n        {stmt}\n", names)
    return names["loop"]


def measure(repeat):
    """Best seconds of CPU time per call of every CALLS entry on a scrambled
    3x3 (CPU time leaves out the time other processes take the core)."""
    import tessaroll

    cube = tessaroll.Cube3x3()
    cube.do_moves(SCRAMBLE)
    loops = [(timing_loop(stmt), n) for _, stmt, n in CALLS]
    best = [float("inf")] * len(loops)
    for _ in range(repeat):
        for i, (loop, n) in enumerate(loops):
            started = time.process_time()
            loop(cube, SCRAMBLE, tessaroll.Cube3x3, n)
            best[i] = min(best[i], (time.process_time() - started) / n)
    return {label: t for (label, _, _), t in zip(CALLS, best)}


def fmt_ns(seconds):
    return f"{seconds * 1e9:.0f} ns" if seconds < 1e-6 else f"{seconds * 1e6:.2f} µs"


def compare(pythons, rounds=3, repeat=7):
    """A markdown table of the calls on each interpreter and the ratio of
    each later one to the first, with the load average before and after."""
    load_before = os.getloadavg()
    names, best = [], [dict() for _ in pythons]
    for _ in range(rounds):
        for i, python in enumerate(pythons):
            out = subprocess.run([python, __file__, "--json", "--repeat", str(repeat)],
                                 capture_output=True, text=True, check=True).stdout
            result = json.loads(out)
            if len(names) < len(pythons):
                names.append(result["interpreter"])
            for label, t in result["times"].items():
                best[i][label] = min(best[i].get(label, float("inf")), t)
    load_after = os.getloadavg()
    ratios = [f"{name.split(' (')[0].split()[0]} / {names[0].split()[0]}" for name in names[1:]]
    lines = ["| call (scrambled 3x3) | " + " | ".join(names) + " | " + " | ".join(ratios) + " |",
             "|---|" + "---:|" * (2 * len(names) - 1)]
    for label, _, _ in CALLS:
        times = [b[label] for b in best]
        lines.append(f"| `{label}` | " + " | ".join(fmt_ns(t) for t in times) + " | " +
                     " | ".join(f"{t / times[0]:.1f}" for t in times[1:]) + " |")
    lines.append("")
    lines.append(f"Best of {rounds} rounds x {repeat} repeats per interpreter, separate processes; "
                 "load average (1, 5, 15 min) before "
                 f"{', '.join(f'{x:.2f}' for x in load_before)}, after "
                 f"{', '.join(f'{x:.2f}' for x in load_after)}.")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--rounds", type=int, default=3, help="with --compare")
    parser.add_argument("--json", action="store_true", help="print one JSON object")
    parser.add_argument("--compare", nargs="+", metavar="PYTHON")
    args = parser.parse_args()
    if args.compare:
        print(compare(args.compare, args.rounds, args.repeat))
        return
    times = measure(args.repeat)
    if args.json:
        print(json.dumps({"interpreter": interpreter(), "times": times}))
        return
    print(interpreter())
    for label, t in times.items():
        print(f"{label:<22}{fmt_ns(t):>12}")


if __name__ == "__main__":
    main()
