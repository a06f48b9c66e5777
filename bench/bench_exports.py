"""Cost of the state exports, as ratios against plain list building.

to_sticker_array() builds a new list of 54 (or 24) small ints; the baseline
is list(range(54)) (or 24), which builds the same kind of list with no cube
behind it. Everything runs in one process, best of N repeats, so the ratios
are stable across machines. Target: 3x3 to_sticker_array <= 1.5x.

    python bench/bench_exports.py [--repeat N] [--number K]
"""

import argparse
import random
import timeit

import tessaroll

TURNS = [name for name in dir(tessaroll.Cube3x3) if name.startswith("do_") and name != "do_moves"]


def scrambled(cls, seed=1):
    cube = cls()
    rng = random.Random(seed)
    for _ in range(30):
        getattr(cube, rng.choice(TURNS))()
    return cube


def interleaved_best(cases, number, repeat):
    """Best time per call of every case, timing the cases in turn within each
    repeat so that a busy machine slows baseline and subject alike."""
    timers = [timeit.Timer(stmt, globals=names) for stmt, names in cases]
    best = [float("inf")] * len(timers)
    for _ in range(repeat):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--number", type=int, default=20000)
    args = parser.parse_args()
    n, r = args.number, args.repeat

    big, small = scrambled(tessaroll.Cube3x3), scrambled(tessaroll.Cube2x2)
    cases = [
        # (label, statement, names, index of its baseline case)
        ("list(range(54))", "list(range(54))", {}, None),
        ("list(range(24))", "list(range(24))", {}, None),
        ("Cube3x3.to_sticker_array()", "c.to_sticker_array()", {"c": big}, 0),
        ("Cube2x2.to_sticker_array()", "c.to_sticker_array()", {"c": small}, 1),
        ("Cube3x3.get_edges()", "c.get_edges()", {"c": big}, 0),
        ("Cube3x3.to_binary()", "c.to_binary()", {"c": big}, 0),
        ("str(Cube3x3)", "str(c)", {"c": big}, 0),
    ]
    times = interleaved_best([(stmt, names) for _, stmt, names, _ in cases], n, r)
    rows = [(label, times[i], times[base], cases[base][0])
            for i, (label, _, _, base) in enumerate(cases) if base is not None]
    width = max(len(name) for name, *_ in rows)
    for name, t, base, base_name in rows:
        print(f"{name:<{width}}  {t * 1e9:8.1f} ns  {t / base:5.2f}x {base_name}")


if __name__ == "__main__":
    main()
