"""Batch engine throughput, as ratios against NumPy baselines run in the
same process (best of several runs each).

    python bench/bench_batch.py [--cubes N] [--repeat R]
    python bench/bench_batch.py --compare OLD_DIR NEW_DIR [--cubes N] [--rounds K]

Pool size follows RAYON_NUM_THREADS as usual. --compare measures two builds
of the module in one process: each directory holds a built tessaroll*.so
(a CMake build directory, or site-packages); both are loaded side by side,
each with its own worker pool, and their calls alternate figure by figure
for K rounds, so that the machine's load falls on both alike. Each figure's
median and best over the rounds are shown per build with the ratio
NEW / OLD. Targets (2 cores):
  get_next_states / np.ones of the same shape            <= 1.2
  np.take gather baseline / get_next_states               >= 2
  NumPy fancy-index move / apply_move_indexes             >= 20
  batch scramble                                          >= 300 M turns/s
and for small batches, where a call's fixed cost shows:
  get_next_states, 1 cube / np.ones((12, 54))             <= 3
  apply_move_indexes, 1 cube / batch.len()                <= 10
  get_next_states, 1,000 cubes / np.ones((12000, 54))     <= 1.3
"""

import argparse
import importlib.util
import os
import statistics
import sys
import time
import timeit

import numpy as np

try:
    import tessaroll
except ImportError:  # --compare loads the builds it is given
    tessaroll = None


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def sticker_permutations(samples=64):
    """perms[m][j]: the sticker index whose colour lands on j after move m,
    found from random states (a position is fixed by colour agreement over
    all samples)."""
    batch = tessaroll.CubeBatch(samples, 3)
    batch.scramble(np.full(samples, 40, np.int64))
    before = np.array([c.to_sticker_array() for c in batch])
    after = batch.get_next_states().reshape(samples, 12, 54)
    perms = np.empty((12, 54), np.intp)
    for m in range(12):
        for j in range(54):
            (candidates,) = np.nonzero((before == after[:, m, j:j + 1]).all(axis=0))
            assert len(candidates) == 1, (m, j, candidates)
            perms[m, j] = candidates[0]
    return perms


def per_call(stmt, env, repeat, number):
    """Seconds per execution of the statement `stmt` (a string, so that no
    wrapper call is timed with it)."""
    return min(timeit.repeat(stmt, globals=env, number=number, repeat=repeat)) / number


def small_batches(repeat):
    env = {"np": np, "one": tessaroll.CubeBatch(1, 3), "move": np.zeros(1, np.uintp),
           "thousand": tessaroll.CubeBatch(1000, 3)}
    rows = [
        ("get_next_states, 1 cube", per_call("one.get_next_states()", env, repeat, 20_000),
         "np.ones((12, 54))", per_call("np.ones((12, 54), np.int64)", env, repeat, 20_000), 3),
        ("apply_move_indexes, 1 cube",
         per_call("one.apply_move_indexes(move)", env, repeat, 100_000),
         "batch.len()", per_call("one.len()", env, repeat, 100_000), 10),
        ("get_next_states, 1,000 cubes", per_call("thousand.get_next_states()", env, repeat, 500),
         "np.ones((12000, 54))", per_call("np.ones((12000, 54), np.int64)", env, repeat, 500),
         1.3),
    ]
    for name, t, base_name, t_base, target in rows:
        print(f"{name:29s} {t * 1e6:9.2f} us   {base_name:21s} {t_base * 1e6:9.2f} us   "
              f"ratio {t / t_base:5.2f}  (target <= {target})")


def load_build(directory):
    """The tessaroll module built in `directory`, loaded under its own name
    but kept out of sys.modules, so that two builds can live side by side
    (each with its own classes and worker pool)."""
    paths = [os.path.join(directory, f) for f in os.listdir(directory)
             if f.startswith("tessaroll") and f.endswith(".so")]
    if len(paths) != 1:
        sys.exit(f"{directory}: expected one built tessaroll*.so, found {len(paths)}")
    spec = importlib.util.spec_from_file_location("tessaroll", paths[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def compare(old_dir, new_dir, n, rounds):
    """Both builds in this process, their calls alternating figure by figure
    (which goes first alternates too), each ratio's baseline timed right
    beside it; prints each figure's median and best over the rounds."""
    builds = {"old": load_build(old_dir), "new": load_build(new_dir)}
    moves = np.random.default_rng(1).integers(0, 12, n).astype(np.uintp)
    length = 100
    lengths = np.full(n, length, np.int64)
    one_move, one_length = np.zeros(1, np.uintp), np.full(1, 20, np.int64)
    state = {}
    for name, module in builds.items():
        batch = module.CubeBatch(n, 3)
        batch.scramble(np.full(n, 30, np.int64))
        state[name] = (batch, module.CubeBatch(1, 3))

    def per_call(fn, number):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        return (time.perf_counter() - t0) / number

    def one_len():
        return per_call(state["old"][1].len, 20000)

    # name: (time the call, time its baseline (or None), figure from the two
    # times, which way is better)
    figures = {
        "get_next_states / np.ones": (
            lambda b, o: per_call(b.get_next_states, 1),
            lambda: per_call(lambda: np.ones((12 * n, 54), np.int64), 1),
            lambda call, base: call / base, "lower"),
        "apply_move_indexes, ms": (
            lambda b, o: per_call(lambda: b.apply_move_indexes(moves), 3), None,
            lambda call, base: call * 1e3, "lower"),
        "scramble, M turns/s": (
            lambda b, o: per_call(lambda: b.scramble(lengths), 1), None,
            lambda call, base: n * length / call / 1e6, "higher"),
        "get_next_states, 1 cube / np.ones": (
            lambda b, o: per_call(o.get_next_states, 2000),
            lambda: per_call(lambda: np.ones((12, 54), np.int64), 2000),
            lambda call, base: call / base, "lower"),
        "apply_move_indexes, 1 cube / len()": (
            lambda b, o: per_call(lambda: o.apply_move_indexes(one_move), 20000), one_len,
            lambda call, base: call / base, "lower"),
        "scramble, 1 cube of 20 / len()": (
            lambda b, o: per_call(lambda: o.scramble(one_length), 20000), one_len,
            lambda call, base: call / base, "lower"),
    }

    timings = {key: {"old": [], "new": []} for key in figures}
    for r in range(rounds):
        for key, (call, base, _, _) in figures.items():
            for name in ("old", "new") if r % 2 == 0 else ("new", "old"):
                timings[key][name].append((call(*state[name]), base() if base else None))
    print(f"cubes: {n}, {rounds} rounds, pool: RAYON_NUM_THREADS="
          f"{os.environ.get('RAYON_NUM_THREADS', 'default')}, load {os.getloadavg()[0]:.1f} "
          f"(1-minute average, at the end)")
    print("median: of each round's figure; best: from the fastest call and baseline")
    print(f"{'figure':36s} {'median: old':>11s} {'new':>9s} {'new/old':>8s}   "
          f"{'best: old':>9s} {'new':>9s} {'new/old':>8s}")
    for key, (_, base, figure, better) in figures.items():
        row = []
        for name in ("old", "new"):
            pairs = timings[key][name]
            median = statistics.median(figure(c, b) for c, b in pairs)
            best_base = min(b for _, b in pairs) if base else None
            row.append((median, figure(min(c for c, _ in pairs), best_base)))
        (old_med, old_best), (new_med, new_best) = row
        print(f"{key:36s} {old_med:11.3f} {new_med:9.3f} {new_med / old_med:8.3f}   "
              f"{old_best:9.3f} {new_best:9.3f} {new_best / old_best:8.3f}  "
              f"({better} is better)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cubes", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--compare", nargs=2, metavar=("OLD_DIR", "NEW_DIR"))
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    if args.compare:
        compare(*args.compare, args.cubes, args.rounds)
        return
    if tessaroll is None:
        sys.exit("tessaroll is not importable: install it, or use --compare OLD_DIR NEW_DIR")
    n, repeat = args.cubes, args.repeat
    print(f"cubes: {n}, pool: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'default')}")

    batch = tessaroll.CubeBatch(n, 3)
    batch.scramble(np.full(n, 30, np.int64))
    perms = sticker_permutations()
    # Sticker rows of the cubes themselves: row 12c is cube c after U, and
    # U' applied to it gives the cube back.
    stickers = np.ascontiguousarray(batch.get_next_states()[0::12][:, perms[1]])

    # 1. Successors against writing the same amount of memory.
    t_next = best(batch.get_next_states, repeat)
    t_ones = best(lambda: np.ones((12 * n, 54), np.int64), repeat)
    print(f"get_next_states {t_next * 1e3:8.1f} ms   np.ones {t_ones * 1e3:8.1f} ms   "
          f"ratio {t_next / t_ones:5.2f}  (target <= 1.2)")

    # 2. Successors against the best NumPy gather building the same array.
    def gather():
        return np.take(stickers, perms, axis=1).reshape(12 * n, 54)

    assert np.array_equal(gather(), batch.get_next_states())
    t_gather = best(gather, repeat)
    print(f"np.take gather  {t_gather * 1e3:8.1f} ms   get_next_states {t_next * 1e3:8.1f} ms   "
          f"speed-up {t_gather / t_next:5.2f}  (target >= 2)")

    # 3. One move per cube: fancy-index gather on sticker rows against the batch.
    moves = np.random.default_rng(1).integers(0, 12, n).astype(np.uintp)
    rows_index = np.arange(n)[:, None]

    def numpy_moves():
        return stickers[rows_index, perms[moves]]

    t_np_move = best(numpy_moves, repeat)
    t_apply = best(lambda: batch.apply_move_indexes(moves), repeat)
    print(f"numpy move      {t_np_move * 1e3:8.2f} ms   apply_move_indexes {t_apply * 1e3:8.2f} ms"
          f"   speed-up {t_np_move / t_apply:6.1f}  (target >= 20)")

    # 4. Scramble throughput.
    length = 100
    lengths = np.full(n, length, np.int64)
    t_scramble = best(lambda: batch.scramble(lengths), repeat)
    print(f"scramble        {t_scramble * 1e3:8.1f} ms for {n * length / 1e6:.0f} M turns   "
          f"{n * length / t_scramble / 1e6:7.0f} M turns/s  (target >= 300)")

    # 5. Small batches: the fixed cost of a call.
    small_batches(max(repeat, 7))


if __name__ == "__main__":
    main()
