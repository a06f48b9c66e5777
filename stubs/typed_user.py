"""A small program over the whole surface, checked with mypy --strict
against the installed stubs. The lines marked `type: ignore[...]` are
misuses the stubs must reject: with --strict an ignore that is not needed
is itself an error. The program also runs, so the types it asserts are
the ones the module returns."""

import sys
from typing import Union

import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type

import tessaroll
from tessaroll import Cube2x2, Cube3x3, CubeBatch, get_next_states, inverse_scramble

assert_type(tessaroll.__version__, str)

cube = Cube3x3()
cube.do_moves("R U R' U'")
cube.do_u_move()
cube.scramble()
cube.scramble(scramble_length=5)
assert_type(cube.is_solved(), bool)
assert_type(cube.corners, int)
assert_type(cube.to_binary(), tuple[str, str])
assert_type(cube.to_binary_edges(), str)
assert_type(cube.get_edges(), list[tuple[int, int]])
assert_type(cube.to_sticker_array(), list[int])

small = Cube2x2()
assert_type(small.state, int)
assert_type(small.get_corners(), list[tuple[int, int]])
assert_type(str(small), str)

assert_type(inverse_scramble("R U2 F'"), str)

batch = CubeBatch(4, 3)
assert_type(batch, "CubeBatch[Cube3x3]")
assert_type(len(batch), int)
assert_type(batch.len(), int)
# A literal cube type fixes the class of every item, by index and by
# iteration, so each model's own members type-check without a narrowing.
s: int = CubeBatch(4, 2)[0].state
w: int = CubeBatch(4, 3)[0].corners
assert_type(batch[0], Cube3x3)
assert_type(batch[-1].to_binary_corners(), str)
for item in batch:
    assert_type(item, Cube3x3)
pair = CubeBatch(2, 2)
assert_type(pair, "CubeBatch[Cube2x2]")
for small_item in pair:
    assert_type(small_item, Cube2x2)
assert_type(list(pair), list[Cube2x2])
assert_type(get_next_states(list(batch)), npt.NDArray[np.int64])
assert_type(get_next_states(list(pair)), npt.NDArray[np.int64])
# A cube type known only at run time leaves the model open.
either = CubeBatch(1, len(sys.argv) % 2 + 2)
assert_type(either[0], Union[Cube2x2, Cube3x3])
first = either[0]
if isinstance(first, Cube3x3):
    first.to_binary_corners()
# Covariant: a batch of one model is a batch of either.
loose: "CubeBatch[Union[Cube2x2, Cube3x3]]" = batch
batch.scramble(np.array([3, 1], dtype=np.int64))
batch.apply_move_indexes(np.arange(4, dtype=np.uintp))
states: npt.NDArray[np.int64] = batch.get_next_states()
assert states.shape == (48, 54)
assert_type(get_next_states([small]), npt.NDArray[np.int64])
assert_type(get_next_states([cube, Cube3x3()]), npt.NDArray[np.int64])

# Arrays go through variables: passed inline, NumPy's overloaded
# constructors adapt to the parameter type and hide a wrong dtype.
floats = np.zeros(2, dtype=np.float64)
signed = np.zeros(2, dtype=np.int64)
unsigned = np.zeros(2, dtype=np.uint64)
try:
    cube.corners = 1  # type: ignore[misc]
    small.scramble("5")  # type: ignore[arg-type]
    batch.scramble([1, 2])  # type: ignore[arg-type]
    batch.scramble(unsigned)  # type: ignore[arg-type]
    batch.apply_move_indexes(floats)  # type: ignore[arg-type]
    batch.apply_move_indexes(signed)  # type: ignore[arg-type]
    get_next_states((cube,))  # type: ignore[arg-type]
    CubeBatch(4)  # type: ignore[call-overload]
    CubeBatch(4, 2)[0].corners  # type: ignore[attr-defined]
    CubeBatch(4, 3)[0].state  # type: ignore[attr-defined]
    get_next_states(list(either))  # type: ignore[arg-type]
except (AttributeError, TypeError):
    pass
try:
    raise tessaroll.InternalError("example")
except tessaroll.InternalError:
    pass
