"""Successor generation: CubeBatch.get_next_states() and the module function
get_next_states(cubes); borrow conflicts while the interpreter lock is
released."""

import os
import random
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaroll import CubeBatch, Cube2x2, Cube3x3, get_next_states
from host import nursery_bytes
from reference import METHOD_NAMES

np = pytest.importorskip("numpy")

MODELS = {2: Cube2x2, 3: Cube3x3}
DIMS = {2: 24, 3: 54}


def random_cube(kind, rng, length=25):
    cube = MODELS[kind]()
    for _ in range(length):
        getattr(cube, METHOD_NAMES[rng.randrange(12)])()
    return cube


def batch_of(kind, moves_per_cube):
    """A batch whose cube i has had the moves moves_per_cube[i] applied, and
    the same cubes as single objects."""
    n = len(moves_per_cube)
    batch = CubeBatch(n, kind)
    singles = [MODELS[kind]() for _ in range(n)]
    depth = max((len(m) for m in moves_per_cube), default=0)
    for step in range(depth):
        column = [m[step] if step < len(m) else 12 for m in moves_per_cube]
        batch.apply_move_indexes(np.array(column, dtype=np.uintp))
        for cube, idx in zip(singles, column):
            if idx < 12:
                getattr(cube, METHOD_NAMES[idx])()
    return batch, singles


@pytest.mark.parametrize("kind", [2, 3])
def test_empty_batch_gives_empty_matrix(kind):
    out = CubeBatch(0, kind).get_next_states()
    assert out.dtype == np.int64 and out.shape == (0, DIMS[kind])


@pytest.mark.parametrize("kind", [2, 3])
def test_result_array_properties(kind):
    out = CubeBatch(2, kind).get_next_states()
    assert out.shape == (24, DIMS[kind])
    assert out.dtype == np.int64 and out.ndim == 2
    assert out.flags.c_contiguous and out.flags.writeable
    assert out.flags.owndata and out.base is None  # the buffer belongs to the array
    out[:] = 9
    assert (out == 9).all()


@pytest.mark.parametrize("kind", [2, 3])
def test_solved_rows_are_single_turns(kind):
    out = CubeBatch(2, kind).get_next_states()
    assert (out[:12] == out[12:]).all()
    for k in range(12):
        cube = MODELS[kind]()
        getattr(cube, METHOD_NAMES[k])()
        assert out[k].tolist() == cube.to_sticker_array()


@settings(max_examples=25, deadline=None)
@given(kind=st.sampled_from([2, 3]), seed=st.integers(0, 2**32 - 1),
       count=st.integers(1, 40))
def test_rows_are_turned_sticker_arrays(kind, seed, count):
    rng = random.Random(seed)
    moves = [[rng.randrange(12) for _ in range(rng.randrange(30))] for _ in range(count)]
    batch, singles = batch_of(kind, moves)
    out = batch.get_next_states()
    assert out.shape == (12 * count, DIMS[kind])
    for c, cube in enumerate(singles):
        for m in range(12):
            getattr(cube, METHOD_NAMES[m])()
            assert out[12 * c + m].tolist() == cube.to_sticker_array(), (c, m)
            getattr(cube, METHOD_NAMES[m ^ 1])()


@pytest.mark.parametrize("kind", [2, 3])
def test_module_function_rows(kind):
    rng = random.Random(kind)
    cubes = [random_cube(kind, rng) for _ in range(5)]
    before = [c.to_sticker_array() for c in cubes]
    out = get_next_states(cubes)
    assert out.dtype == np.int64 and out.shape == (60, DIMS[kind])
    assert [c.to_sticker_array() for c in cubes] == before  # inputs untouched
    cube = cubes[3]
    cube.do_u_prime_move()
    assert out[12 * 3 + 1].tolist() == cube.to_sticker_array()
    cube.do_u_move()
    cube.do_b_prime_move()
    assert out[12 * 3 + 11].tolist() == cube.to_sticker_array()


@pytest.mark.parametrize("kind", [2, 3])
def test_batch_method_and_module_function_agree(kind):
    rng = random.Random(99 + kind)
    batch = CubeBatch(300, kind)
    for _ in range(20):
        batch.apply_move_indexes(np.array([rng.randrange(13) for _ in range(300)], np.uintp))
    before = [c.to_sticker_array() for c in batch]
    from_batch = batch.get_next_states()
    assert [c.to_sticker_array() for c in batch] == before
    assert np.array_equal(from_batch, get_next_states(list(batch)))


def test_list_subclass_is_accepted():
    class CubeList(list):
        pass

    cubes = CubeList([Cube2x2(), Cube2x2()])
    assert get_next_states(cubes).shape == (24, 24)
    assert get_next_states(cubes=[Cube3x3()]).shape == (12, 54)


@pytest.mark.parametrize("arg, message", [
    ([], r"^get_next_states\(\) requires at least one cube to infer the cube type$"),
    ([1, Cube2x2()], r"^get_next_states\(\) expects a list of tessaroll.Cube2x2 or "
                     r"tessaroll.Cube3x3 instances$"),
    ([None], r"^get_next_states\(\) expects a list of tessaroll.Cube2x2 or "
             r"tessaroll.Cube3x3 instances$"),
    ([CubeBatch(1, 3)], r"^get_next_states\(\) expects a list"),
    ((Cube2x2(),), r"^argument 'cubes': "),
    (Cube2x2(), r"^argument 'cubes': "),
    (CubeBatch(2, 2), r"^argument 'cubes': "),
    ([Cube2x2(), Cube3x3()], r"Cube3x3.*Cube2x2"),
    ([Cube3x3(), Cube3x3(), Cube2x2()], r"Cube2x2.*Cube3x3"),
    ([Cube3x3(), "x"], r"str.*Cube3x3"),
])
def test_module_function_rejects(arg, message):
    with pytest.raises(TypeError, match=message):
        get_next_states(arg)


def test_module_function_binding_errors():
    with pytest.raises(TypeError, match=r"^get_next_states\(\) missing 1 required positional "
                                        r"argument: 'cubes'$"):
        get_next_states()
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'x'"):
        get_next_states([Cube2x2()], x=1)
    assert get_next_states.__module__ == "tessaroll"
    assert get_next_states.__doc__ == ("Return quarter-turn successors for a batch of 2x2 or "
                                       "3x3 cubes.")
    assert get_next_states.__text_signature__ == "(cubes)"


def test_get_next_states_takes_no_arguments():
    with pytest.raises(TypeError):
        CubeBatch(1, 3).get_next_states(1)


# --- the interpreter lock is released while rows are filled -----------------


def overlap_observed(count):
    """Run get_next_states() on a thread; meanwhile try writers and readers
    from this thread. Returns what was seen while the reader was inside."""
    batch = CubeBatch(count, 2)
    batch.apply_move_indexes(np.arange(count, dtype=np.uintp) % 12)
    started = threading.Event()
    result = {}

    def reader():
        started.set()
        result["out"] = batch.get_next_states()

    thread = threading.Thread(target=reader)
    seen = {"scramble": None, "apply": None, "len_ok": False, "index_ok": False}
    empty_lengths = np.zeros(0, np.int64)
    empty_indexes = np.zeros(0, np.uintp)
    thread.start()
    started.wait()
    while thread.is_alive():
        try:
            batch.scramble(empty_lengths)
        except RuntimeError as e:
            seen["scramble"] = str(e)
        try:
            batch.apply_move_indexes(empty_indexes)
        except RuntimeError as e:
            seen["apply"] = str(e)
            # Readers may still come in while a reader is inside.
            seen["len_ok"] = len(batch) == count and batch.len() == count
            seen["index_ok"] = batch[count - 1].to_sticker_array() is not None
        if seen["scramble"] and seen["apply"]:
            break
    thread.join()
    assert result["out"].shape == (12 * count, 24)
    return seen


def test_writers_see_already_borrowed_while_get_next_states_runs():
    count = 20_000
    for _ in range(5):
        seen = overlap_observed(count)
        if seen["scramble"] and seen["apply"]:
            break
        count *= 2
    assert seen["scramble"] == "Already borrowed"
    assert seen["apply"] == "Already borrowed"
    assert seen["len_ok"] and seen["index_ok"]


def test_other_threads_run_while_get_next_states_runs():
    batch = CubeBatch(40_000, 3)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)

    for _ in range(5):
        ticks.clear()
        stop.clear()
        thread = threading.Thread(target=ticker)
        thread.start()
        while not ticks:
            pass
        before = len(ticks)
        batch.get_next_states()
        during = len(ticks) - before
        stop.set()
        thread.join()
        if during > 0:
            break
    assert during > 0


# --- no leaks -----------------------------------------------------------------


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif(
    "TESSAROLL_MEMORY_TOOL" in os.environ,
    reason="ASan and valgrind hold freed blocks in quarantine, so RSS grows without a leak; "
    "they report leaks themselves",
)
def test_repeated_calls_do_not_grow_memory():
    batch = CubeBatch(2000, 3)  # 1.0 MB of successor rows per call
    cubes = list(CubeBatch(50, 2))
    lengths = np.full(2000, 3, np.int64)
    moves = np.arange(2000, dtype=np.uintp)
    for _ in range(20):
        batch.get_next_states()
    # PyPy frees dead results at its next minor collection, so up to a
    # nursery's worth may be waiting; the loop runs long enough that a
    # leaked result (1 MB a round) still exceeds the bound.
    slack = 32 * 2**20 + nursery_bytes()
    rounds = 300 + slack // 2**20
    start = rss_bytes()
    for _ in range(rounds):
        batch.get_next_states()
        get_next_states(cubes)
        batch.scramble(lengths)
        batch.apply_move_indexes(moves)
        for bad in ([1], np.zeros(3)):
            with pytest.raises(TypeError):
                batch.scramble(bad)
        with pytest.raises(TypeError):
            get_next_states([cubes[0], Cube3x3()])
    assert rss_bytes() - start < slack  # a leaked result alone would be `rounds` MB


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="CPython reference counts")
def test_reference_counts_are_balanced():
    batch = CubeBatch(10, 3)
    lengths = np.full(10, 2, np.int64)
    moves = np.arange(10, dtype=np.uintp)
    cubes = [Cube3x3(), Cube3x3()]
    refs = [sys.getrefcount(x) for x in (lengths, moves, cubes, cubes[0], batch)]
    for _ in range(100):
        batch.scramble(lengths)
        batch.apply_move_indexes(moves)
        get_next_states(cubes)
        out = batch.get_next_states()
        # A fresh NumPy array held the same way is the yardstick: what
        # getrefcount reports for a local differs between versions (from 3.14
        # a local is loaded as a borrowed reference), a leaked one would not.
        fresh = np.empty_like(out)
        assert sys.getrefcount(out) == sys.getrefcount(fresh)
        del out, fresh
        with pytest.raises(TypeError):
            batch.apply_move_indexes(lengths)
    assert [sys.getrefcount(x) for x in (lengths, moves, cubes, cubes[0], batch)] == refs
