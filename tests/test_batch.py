"""CubeBatch as a container, and apply_move_indexes."""

import os
import platform
import random
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessaroll
from tessaroll import CubeBatch, Cube2x2, Cube3x3
from host import CLASS_SIGNATURE_LOST
from reference import METHOD_NAMES

np = pytest.importorskip("numpy")

PYPY = platform.python_implementation() == "PyPy"
# CPython 3.9's PyType_FromSpec drops the signature line of a class doc.
MODELS = {2: Cube2x2, 3: Cube3x3}
KINDS = [2, 3]
SIZE_MAX = np.iinfo(np.uintp).max


def state(cube):
    """Everything a cube exposes about its state, for equality checks."""
    return (type(cube), tuple(cube.to_sticker_array()))


def turned(kind, moves):
    cube = MODELS[kind]()
    for m in moves:
        getattr(cube, METHOD_NAMES[m])()
    return cube


def states(batch):
    return [state(c) for c in batch]


def indexes(values):
    return np.array(values, dtype=np.uintp)


# --- construction -----------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("count", [0, 1, 3, 17])
def test_new_batch_holds_count_solved_cubes_of_its_model(kind, count):
    batch = CubeBatch(count, kind)
    assert len(batch) == batch.len() == count
    cubes = list(batch)
    assert len(cubes) == count
    assert all(type(c) is MODELS[kind] and c.is_solved() for c in cubes)


def test_arguments_by_keyword():
    batch = CubeBatch(cube_type=2, count=4)
    assert len(batch) == 4 and type(batch[0]) is Cube2x2


@pytest.mark.parametrize("cube_type", [0, 1, 4, 5, 100, SIZE_MAX])
def test_unknown_cube_type(cube_type):
    with pytest.raises(TypeError, match=r"^unknown cube type: expected 2 or 3$"):
        CubeBatch(5, cube_type)


@pytest.mark.parametrize("count, cube_type", [(-1, 7), (-1, 3), (2**64, 9), (SIZE_MAX + 1, 3)])
def test_count_overflow_reported_before_cube_type(count, cube_type):
    with pytest.raises(OverflowError):
        CubeBatch(count, cube_type)


@pytest.mark.parametrize("cube_type", [-1, 2**64])
def test_cube_type_overflow(cube_type):
    with pytest.raises(OverflowError):
        CubeBatch(1, cube_type)


@pytest.mark.parametrize(
    "args, name",
    [(("3", 3), "count"), ((3.0, 3), "count"), ((None, 3), "count"), ((3, "3"), "cube_type")],
)
def test_non_integer_arguments(args, name):
    with pytest.raises(TypeError, match=rf"^argument '{name}': "):
        CubeBatch(*args)


def test_missing_arguments():
    with pytest.raises(TypeError, match=r"^CubeBatch.__new__\(\) missing 2 required positional "
                                        r"arguments: 'count' and 'cube_type'$"):
        CubeBatch()


@pytest.mark.skipif(
    "TESSAROLL_MEMORY_TOOL" in os.environ,
    reason="a failed operator new aborts the process under ASan and valgrind instead of "
    "throwing",
)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("count", [SIZE_MAX, SIZE_MAX // 8, SIZE_MAX // 16 + 1, 2**62 // 16])
def test_impossible_sizes_raise_memory_error(kind, count):
    if count > SIZE_MAX:
        pytest.skip("beyond this platform's size_t")
    with pytest.raises(MemoryError):
        CubeBatch(count, kind)


# --- indexing, copies, iteration --------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_negative_indexes_count_from_the_end(kind):
    batch = CubeBatch(3, kind)
    batch.apply_move_indexes(indexes([0, 4, 9]))
    assert state(batch[-1]) == state(batch[2]) == state(turned(kind, [9]))
    assert state(batch[-3]) == state(batch[0]) == state(turned(kind, [0]))
    assert state(batch[-2]) == state(turned(kind, [4]))


@pytest.mark.parametrize("kind", KINDS)
# The extremes of the platform's signed size type: beyond them indexing
# overflows instead (32 bits on i386).
@pytest.mark.parametrize("count, index", [(0, 0), (0, -1), (3, 3), (3, -4), (3, sys.maxsize),
                                          (3, -sys.maxsize - 1)])
def test_index_out_of_range(kind, count, index):
    batch = CubeBatch(count, kind)
    with pytest.raises(IndexError, match=r"^cubeBatch index out of range$"):
        batch[index]


@pytest.mark.parametrize("index", [2**63, -(2**63) - 1, 2**64])
def test_index_beyond_ssize_t_overflows(index):
    with pytest.raises((OverflowError, IndexError)):
        CubeBatch(3, 3)[index]


@pytest.mark.parametrize("index", ["0", 1.0, None, slice(0, 1)])
def test_non_integer_index(index):
    with pytest.raises(TypeError, match=r"^argument 'index': "):
        CubeBatch(3, 3)[index]


def test_index_accepts_integer_like_objects():
    batch = CubeBatch(3, 2)
    batch.apply_move_indexes(indexes([0, 0, 4]))
    assert state(batch[np.int64(2)]) == state(batch[2]) == state(turned(2, [4]))


@pytest.mark.parametrize("kind", KINDS)
def test_element_copies_are_independent(kind):
    batch = CubeBatch(2, kind)
    cube = batch[0]
    cube.do_r_move()
    assert batch[0].is_solved()
    batch.apply_move_indexes(indexes([8]))
    assert state(cube) == state(turned(kind, [4]))
    assert batch[0] is not batch[0]


@pytest.mark.parametrize("kind", KINDS)
def test_iteration_yields_copies_in_order(kind):
    moves = [3, 7, 11, 0, 5]
    batch = CubeBatch(len(moves), kind)
    batch.apply_move_indexes(indexes(moves))
    assert [state(c) for c in batch] == [state(turned(kind, [m])) for m in moves]
    assert [state(c) for c in list(batch)] == [state(batch[i]) for i in range(len(moves))]


@pytest.mark.skipif(CLASS_SIGNATURE_LOST is not None, reason=str(CLASS_SIGNATURE_LOST))
def test_class_signature():
    assert CubeBatch.__text_signature__ == "(count, cube_type)"


def test_class_surface():
    assert CubeBatch.__module__ == "builtins"
    methods = [name for name in vars(CubeBatch) if not name.startswith("__")]
    assert methods == ["apply_move_indexes", "get_next_states", "scramble", "len"]
    assert CubeBatch.apply_move_indexes.__text_signature__ == "($self, move_indexes)"
    assert CubeBatch.scramble.__text_signature__ == "($self, scramble_lengths)"
    assert not CubeBatch.apply_move_indexes.__doc__
    assert CubeBatch.len.__doc__ == "Return the number of cubes in the batch."
    assert CubeBatch.get_next_states.__doc__ == (
        "Return successor states for all cubes using the 12 quarter-turn moves.\n\n"
        "Returns a NumPy int64 array with shape (len(self) * 12, sticker_dim).")
    assert CubeBatch.scramble.__doc__ == (
        "Scramble each cube with the corresponding number of random moves.\n\n"
        "The `scramble_lengths` array is zipped with the batch. If it is shorter\n"
        "than the batch, only the first N cubes are scrambled. Extra lengths are\n"
        "ignored.")
    with pytest.raises(TypeError):
        type("Sub", (CubeBatch,), {})
    with pytest.raises(AttributeError):
        CubeBatch(1, 3).x = 1


def test_no_item_assignment_or_slicing():
    batch = CubeBatch(2, 3)
    with pytest.raises(TypeError):
        batch[0] = Cube3x3()
    with pytest.raises(TypeError):
        batch[0:1]


# --- text form ---------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_str_joins_renderings(kind):
    assert str(CubeBatch(0, kind)) == ""
    assert str(CubeBatch(1, kind)) == str(MODELS[kind]())
    batch = CubeBatch(3, kind)
    batch.apply_move_indexes(indexes([4, 12, 9]))
    expected = "\n\n".join(str(turned(kind, m)) for m in ([4], [], [9]))
    assert str(batch) == expected


# --- apply_move_indexes ------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_first_two_indexes_are_u_and_u_prime(kind):
    batch = CubeBatch(2, kind)
    assert batch.apply_move_indexes(indexes([0, 1])) is None
    u, u_prime = MODELS[kind](), MODELS[kind]()
    u.do_u_move()
    u_prime.do_u_prime_move()
    assert states(batch) == [state(u), state(u_prime)]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("index", [12, 13, 255, 2**32 - 1, SIZE_MAX])
def test_indexes_above_eleven_are_ignored(kind, index):
    batch = CubeBatch(3, kind)
    batch.apply_move_indexes(indexes([0, 0, 0]))
    before = states(batch)
    batch.apply_move_indexes(indexes([index, index, 5]))
    assert states(batch)[:2] == before[:2]
    assert states(batch)[2] == state(turned(kind, [0, 5]))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("count, m", [(5, 2), (2, 5), (4, 4), (0, 3), (3, 0)])
def test_pairs_only_the_common_prefix(kind, count, m):
    batch = CubeBatch(count, kind)
    moves = [(3 * i + 2) % 12 for i in range(m)]
    batch.apply_move_indexes(indexes(moves))
    k = min(count, m)
    assert states(batch) == [state(turned(kind, [moves[i]])) for i in range(k)] + [
        state(MODELS[kind]())] * (count - k)


@pytest.mark.parametrize("kind", KINDS)
def test_inverse_and_fourfold_turns_restore(kind):
    rng = random.Random(7)
    batch = CubeBatch(50, kind)
    for _ in range(6):
        batch.apply_move_indexes(indexes([rng.randrange(12) for _ in range(50)]))
    start = states(batch)
    moves = indexes([rng.randrange(12) for _ in range(50)])
    batch.apply_move_indexes(moves)
    assert states(batch) != start
    batch.apply_move_indexes(moves ^ 1)
    assert states(batch) == start
    for _ in range(4):
        batch.apply_move_indexes(moves)
    assert states(batch) == start


@settings(max_examples=40, deadline=None)
@given(kind=st.sampled_from(KINDS),
       rounds=st.lists(st.lists(st.integers(0, 14), min_size=0, max_size=8), max_size=5))
def test_matches_single_cube_turns(kind, rounds):
    batch = CubeBatch(8, kind)
    expected = [MODELS[kind]() for _ in range(8)]
    for moves in rounds:
        batch.apply_move_indexes(indexes(moves))
        for cube, m in zip(expected, moves):
            if m < 12:
                getattr(cube, METHOD_NAMES[m])()
    assert states(batch) == [state(c) for c in expected]


def test_read_only_and_offset_views_are_accepted():
    batch = CubeBatch(3, 3)
    moves = indexes([9, 4, 4, 2])
    moves.flags.writeable = False
    batch.apply_move_indexes(moves[1:])
    assert states(batch) == [state(turned(3, [4])), state(turned(3, [4])), state(turned(3, [2]))]
    assert list(moves) == [9, 4, 4, 2]


def test_uint64_spelled_differently_is_accepted_where_it_is_uintp():
    if np.dtype(np.uintp).itemsize != 8:
        pytest.skip("uintp is 32 bits here")
    batch = CubeBatch(1, 2)
    batch.apply_move_indexes(np.array([4], dtype=np.ulonglong))
    assert state(batch[0]) == state(turned(2, [4]))


def _other_byte_order(dtype):
    return np.dtype(dtype).newbyteorder()


REJECTED_INDEXES = [
    pytest.param(lambda: [0, 1], TypeError, id="list"),
    pytest.param(lambda: (0, 1), TypeError, id="tuple"),
    pytest.param(lambda: None, TypeError, id="None"),
    pytest.param(lambda: np.uintp(3), TypeError, id="scalar"),
    pytest.param(lambda: np.array(3, dtype=np.uintp), TypeError, id="0-d"),
    pytest.param(lambda: np.zeros((2, 2), dtype=np.uintp), TypeError, id="2-d"),
    pytest.param(lambda: np.array([0, 1], dtype=np.int64), TypeError, id="int64"),
    pytest.param(lambda: np.array([0, 1], dtype=np.intp), TypeError, id="intp"),
    pytest.param(lambda: np.array([0, 1], dtype=np.uint32 if np.dtype(np.uintp).itemsize == 8
                                  else np.uint64), TypeError, id="other-width"),
    pytest.param(lambda: np.array([0, 1], dtype=np.uint8), TypeError, id="uint8"),
    pytest.param(lambda: np.array([0.0, 1.0]), TypeError, id="float64"),
    pytest.param(lambda: np.array([0, 1], dtype=_other_byte_order(np.uintp)), TypeError,
                 id="byteswapped"),
    pytest.param(lambda: np.arange(8, dtype=np.uintp)[::2], ValueError, id="strided"),
    pytest.param(lambda: np.arange(8, dtype=np.uintp)[::-1], ValueError, id="reversed"),
    pytest.param(lambda: np.frombuffer(b"\0" + bytes(8 * 3), dtype=np.uintp, offset=1),
                 ValueError, id="unaligned"),
]


def expect_rejected(kind, method, param, make, error):
    batch = CubeBatch(4, kind)
    batch.apply_move_indexes(indexes([1, 6, 8, 11]))
    before = states(batch)
    with pytest.raises(error, match=rf"^argument '{param}': "):
        getattr(batch, method)(make())
    assert states(batch) == before


@pytest.mark.parametrize("make, error", REJECTED_INDEXES)
@pytest.mark.parametrize("kind", KINDS)
def test_rejected_move_indexes_leave_the_batch_unchanged(kind, make, error):
    expect_rejected(kind, "apply_move_indexes", "move_indexes", make, error)


def test_empty_strided_view_is_accepted():
    batch = CubeBatch(2, 3)
    batch.apply_move_indexes(np.arange(8, dtype=np.uintp)[::2][:0])
    assert all(c.is_solved() for c in batch)


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, r"^CubeBatch.apply_move_indexes\(\) missing 1 required positional argument: "
             r"'move_indexes'$"),
    ((indexes([0]), 1), {}, r"^CubeBatch.apply_move_indexes\(\) takes 1 positional arguments "
                            r"but 2 were given$"),
    ((), {"indexes": indexes([0])}, r"^CubeBatch.apply_move_indexes\(\) got an unexpected "
                                    r"keyword argument 'indexes'$"),
])
def test_apply_move_indexes_binding_errors(args, kwargs, message):
    batch = CubeBatch(1, 3)
    with pytest.raises(TypeError, match=message):
        batch.apply_move_indexes(*args, **kwargs)
    assert batch[0].is_solved()


def test_apply_move_indexes_by_keyword():
    batch = CubeBatch(1, 3)
    batch.apply_move_indexes(move_indexes=indexes([10]))
    assert state(batch[0]) == state(turned(3, [10]))


def test_module_all_order():
    assert tessaroll.__all__ == ["CubeBatch", "Cube2x2", "Cube3x3", "inverse_scramble",
                                 "get_next_states"]


# --- scramble -----------------------------------------------------------------


def lengths(values):
    return np.array(values, dtype=np.int64)


@pytest.mark.parametrize("kind", KINDS)
def test_scramble_with_nothing_to_pair(kind):
    batch = CubeBatch(3, kind)
    assert batch.scramble(lengths([])) is None
    assert all(c.is_solved() for c in batch)
    assert CubeBatch(0, kind).scramble(lengths([5, 5])) is None


@pytest.mark.parametrize("kind", KINDS)
def test_scramble_touches_only_paired_cubes(kind):
    batch = CubeBatch(5, kind)
    batch.scramble(lengths([3, 3]))
    assert all(c.is_solved() for c in list(batch)[2:])
    batch = CubeBatch(2, kind)
    batch.scramble(lengths([1, 1, 1, 1]))  # a single quarter turn always changes a cube
    assert not batch[0].is_solved() and not batch[1].is_solved()


@pytest.mark.parametrize("kind", KINDS)
def test_lengths_below_one_leave_cubes_unchanged(kind):
    batch = CubeBatch(3, kind)
    batch.scramble(lengths([0, -3, 1]))
    assert batch[0].is_solved() and batch[1].is_solved()
    assert state(batch[2]) in {state(turned(kind, [m])) for m in range(12)}
    batch.scramble(lengths([-(2**63), 0, 0]))
    assert batch[0].is_solved()


@pytest.mark.parametrize("kind", KINDS)
def test_single_turns_are_uniform(kind):
    n = 24_000
    batch = CubeBatch(n, kind)
    batch.scramble(np.ones(n, np.int64))
    singles = {state(turned(kind, [m])): m for m in range(12)}
    counts = np.bincount([singles[state(c)] for c in batch], minlength=12)
    assert counts.sum() == n
    chi2 = (((counts - n / 12) ** 2) / (n / 12)).sum()
    assert chi2 < 45  # 11 degrees of freedom: p < 1e-5 for a fair source


def corner_parity(word):
    perm = [(word >> (5 * k)) & 7 for k in range(8)]
    seen, odd = [False] * 8, 0
    for i in range(8):
        j, size = i, 0
        while not seen[j]:
            seen[j], j, size = True, perm[j], size + 1
        if size:
            odd ^= (size - 1) & 1
    return odd


def corner_word(cube):
    return cube.state if isinstance(cube, Cube2x2) else cube.corners


@pytest.mark.parametrize("kind", KINDS)
def test_scramble_applies_exactly_the_requested_number_of_turns(kind):
    # Every quarter turn is an odd corner permutation, so the parity of a
    # scrambled cube's corner permutation is its scramble length mod 2 (odd
    # lengths included: turns are applied in pairs plus a last single one).
    rng = random.Random(3)
    values = [rng.randrange(-3, 60) for _ in range(3000)]
    batch = CubeBatch(len(values), kind)
    batch.scramble(lengths(values))
    assert [corner_parity(corner_word(c)) for c in batch] == [max(v, 0) % 2 for v in values]


@pytest.mark.parametrize("kind", KINDS)
def test_scrambles_differ_between_cubes_and_calls(kind):
    batch = CubeBatch(400, kind)
    batch.scramble(np.full(400, 20, np.int64))
    first = states(batch)
    assert len(set(first)) >= 390
    again = CubeBatch(400, kind)
    again.scramble(np.full(400, 20, np.int64))
    assert len(set(first) & set(states(again))) <= 10


def test_scramble_keeps_turning_from_the_current_state():
    batch = CubeBatch(1000, 2)
    batch.scramble(np.full(1000, 7, np.int64))
    batch.scramble(np.full(1000, 4, np.int64))
    assert [corner_parity(c.state) for c in batch] == [1] * 1000


def test_read_only_lengths_are_accepted_and_not_modified():
    values = lengths([2, 5, 0])
    values.flags.writeable = False
    batch = CubeBatch(3, 3)
    batch.scramble(values)
    assert values.tolist() == [2, 5, 0]
    assert not batch[1].is_solved() and batch[2].is_solved()


REJECTED_LENGTHS = [
    pytest.param(lambda: [1, 2], TypeError, id="list"),
    pytest.param(lambda: np.array([1, 2], dtype=np.int32), TypeError, id="int32"),
    pytest.param(lambda: np.array([1.0, 2.0]), TypeError, id="float64"),
    pytest.param(lambda: np.array([1, 2], dtype=np.uint64), TypeError, id="uint64"),
    pytest.param(lambda: np.ones((2, 2), dtype=np.int64), TypeError, id="2-d"),
    pytest.param(lambda: np.array(2, dtype=np.int64), TypeError, id="0-d"),
    pytest.param(lambda: np.array([1, 2], dtype=">i8" if np.little_endian else "<i8"),
                 TypeError, id="byteswapped"),
    pytest.param(lambda: np.arange(1, 9, dtype=np.int64)[::2], ValueError, id="strided"),
    pytest.param(lambda: np.frombuffer(b"\1" * 33, dtype=np.int64, offset=1), ValueError,
                 id="unaligned"),
]


@pytest.mark.parametrize("make, error", REJECTED_LENGTHS)
@pytest.mark.parametrize("kind", KINDS)
def test_rejected_lengths_leave_the_batch_unchanged(kind, make, error):
    expect_rejected(kind, "scramble", "scramble_lengths", make, error)


def test_scramble_binding_errors():
    batch = CubeBatch(1, 2)
    with pytest.raises(TypeError, match=r"^CubeBatch.scramble\(\) missing 1 required positional "
                                        r"argument: 'scramble_lengths'$"):
        batch.scramble()
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'scramble_length'$"):
        batch.scramble(scramble_length=lengths([1]))
    batch.scramble(scramble_lengths=lengths([1]))
    assert not batch[0].is_solved()
