"""Many Python threads calling every method on shared cubes and batches at
once, while the worker pool runs. CubeBatch.get_next_states() releases the
interpreter lock, so borrows really race: the only errors allowed are the
two borrow errors, no thread may hang, and no cube may be lost or left
half-written."""

import faulthandler
import os
import random
import threading
import time
import traceback

import pytest

np = pytest.importorskip("numpy")
from tessaroll import Cube2x2, Cube3x3, CubeBatch, get_next_states  # noqa: E402

BORROW_MESSAGES = {"Already borrowed", "Already mutably borrowed"}
# Under ASan or valgrind every call is many times slower: fewer cubes, same
# wall-clock budget, but enough that get_next_states() goes to the pool
# (and so releases the lock) rather than running on the calling thread.
SLOW = "TESSAROLL_MEMORY_TOOL" in os.environ
BATCH_SIZE = 200 if SLOW else 1500
RUN_SECONDS = 2.0 if SLOW else 3.0
JOIN_SECONDS = 60.0
TURNS = ["do_u_move", "do_u_prime_move", "do_d_move", "do_d_prime_move",
         "do_r_move", "do_r_prime_move", "do_l_move", "do_l_prime_move",
         "do_f_move", "do_f_prime_move", "do_b_move", "do_b_prime_move"]


def check_cube(cube):
    """A state that turns can reach: whole permutations, twist and flip
    sums, and every colour on the right number of stickers."""
    corners = cube.get_corners()
    assert sorted(p for p, _ in corners) == list(range(8)), corners
    assert sum(t for _, t in corners) % 3 == 0, corners
    per_colour = 9 if isinstance(cube, Cube3x3) else 4
    assert sorted(cube.to_sticker_array()) == sorted(list(range(6)) * per_colour)
    if isinstance(cube, Cube3x3):
        edges = cube.get_edges()
        assert sorted(p for p, _ in edges) == list(range(12)), edges
        assert sum(f for _, f in edges) % 2 == 0, edges


def check_length(batch):
    assert len(batch) == batch.len() == BATCH_SIZE


def check_rows(rows, width):
    """Every successor row holds each colour exactly width / 6 times."""
    assert rows.dtype == np.int64 and rows.ndim == 2 and rows.shape[1] == width
    expected = np.repeat(np.arange(6, dtype=np.int64), width // 6)
    assert (np.sort(rows, axis=1) == expected).all()


class Shared:
    def __init__(self):
        self.cube3, self.cube2 = Cube3x3(), Cube2x2()
        # Written only by the scramblers; read by everybody.
        self.scrambled = [CubeBatch(BATCH_SIZE, 3), CubeBatch(BATCH_SIZE, 2)]
        # Written only by its one pattern thread, in pairs that cancel.
        self.patterned = CubeBatch(BATCH_SIZE, 3)
        self.patterned.scramble(np.full(BATCH_SIZE, 7, dtype=np.int64))
        self.pattern_start = [c.to_binary() for c in self.patterned]
        self.batches = self.scrambled + [self.patterned]
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.conflicts = 0
        self.calls = 0
        self.failures = []

    def attempt(self, fn, *args):
        """One call; True when it ran, False on a borrow conflict."""
        with self.lock:
            self.calls += 1
        try:
            fn(*args)
        except RuntimeError as e:
            if str(e) not in BORROW_MESSAGES:
                raise
            with self.lock:
                self.conflicts += 1
            return False
        return True


def reader(shared, seed):
    rng = random.Random(seed)
    while not shared.stop.is_set():
        batch = rng.choice(shared.batches)
        width = 54 if isinstance(batch[0], Cube3x3) else 24
        action = rng.randrange(6)
        if action == 0:
            shared.attempt(lambda: check_rows(batch.get_next_states(), width))
        elif action == 1:
            shared.attempt(lambda: check_cube(batch[rng.randrange(-BATCH_SIZE, BATCH_SIZE)]))
        elif action == 2:
            shared.attempt(check_length, batch)
        elif action == 3:
            shared.attempt(lambda: str(batch) if rng.randrange(20) == 0 else str(batch[-1]))
        elif action == 4:
            cubes = [shared.cube3, shared.cube3, Cube3x3()]
            shared.attempt(lambda: check_rows(get_next_states(cubes), 54))
        else:
            shared.attempt(lambda: check_rows(get_next_states([shared.cube2]), 24))


def scrambler(shared, seed):
    rng = random.Random(seed)
    while not shared.stop.is_set():
        batch = rng.choice(shared.scrambled)
        if rng.randrange(2):
            lengths = np.array([rng.randrange(-2, 30) for _ in range(rng.randrange(BATCH_SIZE + 5))],
                               dtype=np.int64)
            shared.attempt(batch.scramble, lengths)
        else:
            indexes = np.array([rng.randrange(16) for _ in range(BATCH_SIZE)], dtype=np.uintp)
            shared.attempt(batch.apply_move_indexes, indexes)


def patterner(shared, seed):
    """Applies a known pattern and then its inverse; a conflict on the
    inverse is retried, so the batch ends where it started."""
    rng = random.Random(seed)
    while not shared.stop.is_set():
        pattern = np.array([rng.randrange(14) for _ in range(BATCH_SIZE)], dtype=np.uintp)
        # Indexes above 11 are ignored; the inverse keeps them above 11.
        inverse = np.where(pattern < 12, pattern ^ 1, pattern).astype(np.uintp)
        if shared.attempt(shared.patterned.apply_move_indexes, pattern):
            deadline = time.monotonic() + JOIN_SECONDS / 2
            while not shared.attempt(shared.patterned.apply_move_indexes, inverse):
                assert time.monotonic() < deadline, "inverse pattern never got the batch"
                time.sleep(0.0005)


def single_cubes(shared, seed):
    rng = random.Random(seed)
    while not shared.stop.is_set():
        cube = rng.choice([shared.cube3, shared.cube2])
        action = rng.randrange(5)
        if action == 0:
            shared.attempt(getattr(cube, rng.choice(TURNS)))
        elif action == 1:
            shared.attempt(cube.do_moves, "R U R' U' F2 B! D")
        elif action == 2:
            shared.attempt(cube.scramble, rng.randrange(0, 40))
        elif action == 3:
            shared.attempt(check_cube, cube)
        else:
            shared.attempt(lambda: (cube.to_binary(), str(cube), cube.is_solved()))


def guarded(body, shared, seed):
    try:
        body(shared, seed)
    except BaseException:
        shared.failures.append(traceback.format_exc())
        shared.stop.set()


def test_threads_race_on_shared_cubes_and_batches():
    shared = Shared()
    bodies = [reader, reader, reader, scrambler, scrambler, patterner, single_cubes]
    threads = [threading.Thread(target=guarded, args=(body, shared, seed), daemon=True)
               for seed, body in enumerate(bodies)]
    # A deadlock inside a call that holds the interpreter lock would also
    # stop the joins below; the watchdog needs no lock and ends the process.
    faulthandler.dump_traceback_later(JOIN_SECONDS * 2, exit=True)
    try:
        for t in threads:
            t.start()
        time.sleep(RUN_SECONDS)
        shared.stop.set()
        deadline = time.monotonic() + JOIN_SECONDS
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
        hung = [t.name for t in threads if t.is_alive()]
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert not hung, f"threads still running: {hung}"
    assert not shared.failures, "\n".join(shared.failures)

    # get_next_states() really ran without the interpreter lock: writers met
    # its shared borrow.
    print(f"calls {shared.calls}, borrow conflicts {shared.conflicts}")
    assert shared.conflicts > 0
    assert shared.calls > shared.conflicts

    # No borrow leaked: exclusive access is free again on every object.
    for batch in shared.batches:
        batch.apply_move_indexes(np.full(len(batch), 12, dtype=np.uintp))
        assert len(batch) == batch.len() == BATCH_SIZE
        cubes = list(batch)
        assert len(cubes) == BATCH_SIZE
        for cube in cubes:
            check_cube(cube)
    shared.cube3.do_u_move()
    shared.cube2.do_u_move()
    check_cube(shared.cube3)
    check_cube(shared.cube2)

    # Every pattern was undone by its inverse, whatever raced with it.
    assert [c.to_binary() for c in shared.patterned] == shared.pattern_start
