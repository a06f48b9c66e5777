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


def best(stmt, number, repeat, **names):
    timer = timeit.Timer(stmt, globals=names)
    return min(timer.repeat(number=number, repeat=repeat)) / number


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--number", type=int, default=20000)
    args = parser.parse_args()
    n, r = args.number, args.repeat

    big, small = scrambled(tessaroll.Cube3x3), scrambled(tessaroll.Cube2x2)
    base54 = best("list(range(54))", n, r)
    base24 = best("list(range(24))", n, r)
    rows = [
        ("Cube3x3.to_sticker_array()", best("c.to_sticker_array()", n, r, c=big), base54,
         "list(range(54))"),
        ("Cube2x2.to_sticker_array()", best("c.to_sticker_array()", n, r, c=small), base24,
         "list(range(24))"),
        ("Cube3x3.get_edges()", best("c.get_edges()", n, r, c=big), base54, "list(range(54))"),
        ("Cube3x3.to_binary()", best("c.to_binary()", n, r, c=big), base54, "list(range(54))"),
        ("str(Cube3x3)", best("str(c)", n // 10, r, c=big), base54, "list(range(54))"),
    ]
    width = max(len(name) for name, *_ in rows)
    for name, t, base, base_name in rows:
        print(f"{name:<{width}}  {t * 1e9:8.1f} ns  {t / base:5.2f}x {base_name}")


if __name__ == "__main__":
    main()
