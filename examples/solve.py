"""Find a shortest quarter-turn solution with a bidirectional breadth-first search.

Both searches run on CubeBatch: a frontier is a set of move paths; the batch
replays them from the start state with apply_move_indexes, and
get_next_states() produces all twelve children of every frontier cube at once
as one NumPy array of sticker colours. States are identified by their sticker
rows, so the search meets in the middle without ever building Python cube
objects for the frontier.

    python examples/solve.py --cube 3 --scramble "R U F' L2"
    python examples/solve.py --cube 2 --random 10
"""

from __future__ import annotations

import argparse
import random
import sys
import time

import numpy as np

import tessaroll

MOVES = ["U", "U'", "D", "D'", "R", "R'", "L", "L'", "F", "F'", "B", "B'"]
TOKEN_INDEXES = {name: [i] for i, name in enumerate(MOVES)}
TOKEN_INDEXES.update({name[0] + "!": [i] for i, name in enumerate(MOVES) if name.endswith("'")})
TOKEN_INDEXES.update({name + "2": [i, i] for i, name in enumerate(MOVES) if len(name) == 1})
MODELS = {2: tessaroll.Cube2x2, 3: tessaroll.Cube3x3}


def parse_moves(text: str) -> list[int]:
    indexes = []
    for token in text.split():
        if token not in TOKEN_INDEXES:
            raise ValueError(f"unknown move token {token!r}")
        indexes += TOKEN_INDEXES[token]
    return indexes


def invert(path) -> list[int]:
    return [int(m) ^ 1 for m in reversed(path)]


def row_keys(rows: np.ndarray) -> list[bytes]:
    """One hashable key per sticker row (colour codes fit a byte)."""
    packed = np.ascontiguousarray(rows, dtype=np.uint8)
    return [packed[i].tobytes() for i in range(len(packed))]


class Side:
    """One direction of the search: paths from a fixed start state."""

    def __init__(self, cube_type: int, start_moves: list[int]):
        self.cube_type = cube_type
        self.start_moves = start_moves
        start = MODELS[cube_type]()
        start.do_moves(" ".join(MOVES[m] for m in start_moves))
        self.frontier = np.zeros((1, 0), dtype=np.uint8)  # paths of the current depth
        self.visited = {row_keys(np.array([start.to_sticker_array()]))[0]: ()}
        self.depth = 0

    def expand(self):
        """Replace the frontier with its unseen children; return (keys, paths)."""
        n, depth = self.frontier.shape
        batch = tessaroll.CubeBatch(n, self.cube_type)
        for m in self.start_moves:
            batch.apply_move_indexes(np.full(n, m, dtype=np.uintp))
        for column in range(depth):
            batch.apply_move_indexes(self.frontier[:, column].astype(np.uintp))
        children = batch.get_next_states()
        keys = row_keys(children)
        new_keys, new_paths = [], []
        for row, key in enumerate(keys):
            if key in self.visited:
                continue
            parent, move = divmod(row, 12)
            path = tuple(self.frontier[parent]) + (move,)
            self.visited[key] = path
            new_keys.append(key)
            new_paths.append(path)
        self.frontier = np.array(new_paths, dtype=np.uint8).reshape(len(new_paths), depth + 1)
        self.depth += 1
        return new_keys, len(keys)


def solve(cube_type: int, scramble: list[int], log=print) -> list[int]:
    forward = Side(cube_type, scramble)
    backward = Side(cube_type, [])
    meet = set(forward.visited) & set(backward.visited)
    if meet:
        return []
    while True:
        side, other = (forward, backward)
        if len(forward.frontier) > len(backward.frontier):
            side, other = backward, forward
        if len(side.frontier) == 0:
            raise RuntimeError("search space exhausted without meeting")
        started = time.perf_counter()
        new_keys, generated = side.expand()
        elapsed = max(time.perf_counter() - started, 1e-9)
        label = "scramble" if side is forward else "solved"
        log(f"  from {label:<8} depth {side.depth:>2}: frontier {len(new_keys):>9,}  "
            f"({generated / elapsed:,.0f} states/s)")
        best = None
        for key in new_keys:
            if key in other.visited:
                total = len(side.visited[key]) + len(other.visited[key])
                if best is None or total < best[0]:
                    best = (total, key)
        if best is not None:
            key = best[1]
            to_middle, from_middle = forward.visited[key], backward.visited[key]
            return [int(m) for m in to_middle] + invert(from_middle)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cube", type=int, choices=(2, 3), default=3, help="cube size (default 3)")
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--scramble", help='move string to solve, e.g. "R U F\'"')
    group.add_argument("--random", type=int, metavar="N", help="solve a random scramble of N quarter turns")
    parser.add_argument("--seed", type=int, help="seed for --random")
    args = parser.parse_args(argv)

    if args.scramble is not None:
        try:
            scramble = parse_moves(args.scramble)
        except ValueError as e:
            parser.error(str(e))
    else:
        if args.random < 0:
            parser.error("--random needs a non-negative length")
        rng = random.Random(args.seed)
        scramble = [rng.randrange(12) for _ in range(args.random)]
    text = " ".join(MOVES[m] for m in scramble)
    print(f"Solving a {args.cube}x{args.cube}x{args.cube} scrambled with: {text or '(nothing)'}")

    started = time.perf_counter()
    solution = solve(args.cube, scramble)
    elapsed = time.perf_counter() - started
    answer = " ".join(MOVES[m] for m in solution)

    check = MODELS[args.cube]()
    check.do_moves(text)
    check.do_moves(answer)
    if not check.is_solved():
        print(f"Solution {answer!r} does not solve the cube", file=sys.stderr)
        return 1
    print(f"Shortest solution ({len(solution)} quarter turns, {elapsed:.2f} s): {answer or '(already solved)'}")
    print("Checked with do_moves: the cube is solved.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
