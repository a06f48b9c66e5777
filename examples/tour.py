"""A tour of tessaroll: cubes you can look at, move strings, and a batch engine.

Run it with no arguments; it takes a few seconds.
"""

import os
import re
import sys
import time

import tessaroll
from tessaroll import Cube2x2, Cube3x3, CubeBatch, get_next_states, inverse_scramble

# The colour escapes str() puts around every sticker.
ESCAPE = re.compile(r"\x1b\[[0-9;]*m")


def use_colour(stream=sys.stdout):
    """Colour only on a terminal, and never when NO_COLOR is set (no-color.org)."""
    return not os.environ.get("NO_COLOR") and stream.isatty()


def show(cube):
    """Print a cube's picture, without its colour escapes when colour is off."""
    text = str(cube)
    print(text if use_colour() else ESCAPE.sub("", text))


def heading(text):
    print()
    print(text)
    print("-" * len(text))


def best_of(fn, repeat=3):
    """The shortest of `repeat` timings of fn(), and fn's last result."""
    times = []
    result = None
    for _ in range(repeat):
        result = None  # let the previous result go before the next run
        started = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - started)
    return min(times), result


def milliseconds(seconds):
    return f"{seconds * 1e3:.1f} ms" if seconds >= 1e-3 else f"{seconds * 1e3:.3f} ms"


def timed(label, fn, baseline_label, baseline_fn):
    """Time fn beside a NumPy baseline of the same size, both in this
    process: on a busy machine both figures grow, and the ratio holds."""
    seconds, result = best_of(fn)
    baseline, _ = best_of(baseline_fn)
    print(f"{label}: {milliseconds(seconds)}\n"
          f"    beside {baseline_label}: {milliseconds(baseline)} "
          f"(ratio {seconds / baseline:.2f})")
    return result


def main():
    heading("A solved 3x3x3 and a solved 2x2x2")
    show(Cube3x3())
    show(Cube2x2())

    heading("Scrambled with 20 random quarter turns")
    big, small = Cube3x3(), Cube2x2()
    big.scramble(20)
    small.scramble()
    show(big)
    show(small)
    print("solved?", big.is_solved(), small.is_solved())

    heading("Move strings, and undoing them")
    moves = "R U R' U' F2 D B' L"
    undo = inverse_scramble(moves)
    cube = Cube3x3()
    cube.do_moves(moves)
    print(f"do_moves({moves!r}) -> solved: {cube.is_solved()}")
    cube.do_moves(undo)
    print(f"do_moves({undo!r}) -> solved: {cube.is_solved()}")

    heading("What a cube looks like to a program")
    cube = Cube3x3()
    cube.do_r_move()
    print("sticker colours after R:", cube.to_sticker_array())
    print("corner pieces (piece, twist):", cube.get_corners())
    print("corner word in binary:", cube.to_binary_corners())

    heading("A batch of 100,000 cubes")
    try:
        import numpy as np
    except ImportError:
        print("NumPy is not installed; batches need it (pip install numpy).")
        return
    n = 100_000
    print("Best of 3 runs each, beside NumPy doing work of the same size in this process.")
    rng = np.random.default_rng()
    batch = timed(f"CubeBatch({n:,}, 3)", lambda: CubeBatch(n, 3),
                  f"np.full of its {n:,} x 16 bytes", lambda: np.full((n, 2), 1, dtype=np.uint64))
    lengths = np.full(n, 20, dtype=np.int64)
    timed(f"scramble {n:,} cubes x 20 turns in parallel", lambda: batch.scramble(lengths),
          f"NumPy drawing the {20 * n:,} move indexes alone", lambda: rng.integers(0, 12, size=(n, 20)))
    moves = rng.integers(0, 12, size=n).astype(np.uintp)
    words = np.ones((n, 2), dtype=np.uint64)
    timed("apply one move index to every cube", lambda: batch.apply_move_indexes(moves),
          f"copying the batch's {n:,} x 16 bytes", words.copy)
    succ = timed("get_next_states(): all 12 successors of every cube", batch.get_next_states,
                 "np.ones of the same shape", lambda: np.ones((12 * n, 54), dtype=np.int64))
    print(f"successor array: shape {succ.shape}, dtype {succ.dtype}, "
          f"{succ.nbytes / 2**20:.0f} MiB")
    print("solved cubes in the batch:", sum(c.is_solved() for c in list(batch)[:1000]), "of the first 1000")

    few = [Cube2x2(), Cube2x2()]
    few[1].do_moves("R U")
    rows = get_next_states(few)
    print(f"get_next_states on a list of two 2x2 cubes: shape {rows.shape}")
    print(f"\ntessaroll exports: {', '.join(tessaroll.__all__)}")


if __name__ == "__main__":
    main()
