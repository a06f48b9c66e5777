"""A tour of tessaroll: cubes you can look at, move strings, and a batch engine.

Run it with no arguments; it takes a few seconds.
"""

import time

import tessaroll
from tessaroll import Cube2x2, Cube3x3, CubeBatch, get_next_states, inverse_scramble


def heading(text):
    print()
    print(text)
    print("-" * len(text))


def timed(label, fn):
    started = time.perf_counter()
    result = fn()
    print(f"{label}: {(time.perf_counter() - started) * 1e3:.1f} ms")
    return result


def main():
    heading("A solved 3x3x3 and a solved 2x2x2")
    print(Cube3x3())
    print(Cube2x2())

    heading("Scrambled with 20 random quarter turns")
    big, small = Cube3x3(), Cube2x2()
    big.scramble(20)
    small.scramble()
    print(big)
    print(small)
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
    batch = timed(f"CubeBatch({n:,}, 3)", lambda: CubeBatch(n, 3))
    lengths = np.full(n, 20, dtype=np.int64)
    timed(f"scramble {n:,} cubes x 20 turns in parallel", lambda: batch.scramble(lengths))
    moves = np.random.default_rng().integers(0, 12, size=n).astype(np.uintp)
    timed("apply one move index to every cube", lambda: batch.apply_move_indexes(moves))
    succ = timed("get_next_states(): all 12 successors of every cube", batch.get_next_states)
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
