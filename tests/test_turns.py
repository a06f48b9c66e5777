"""Face turns of both models: group laws, the documented slot effects,
invariants, and agreement with an independent reference model."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessaroll
from reference import METHOD_NAMES, MOVE_NAMES, ReferenceCube

SOLVED_WORD = 0x000000398A418820
MODELS = [tessaroll.Cube3x3, tessaroll.Cube2x2]
move_sequences = st.lists(st.integers(0, 11), max_size=40)


def word(cube):
    return cube.corners if isinstance(cube, tessaroll.Cube3x3) else cube.state


def turn(cube, index):
    assert getattr(cube, METHOD_NAMES[index])() is None


def fields(word, count):
    return [(word >> (5 * k)) & 0x1F for k in range(count)]


def scrambled(model, moves):
    cube = model()
    for m in moves:
        turn(cube, m)
    return cube


@pytest.mark.parametrize("model", MODELS)
def test_new_cube_is_solved(model):
    cube = model()
    assert cube.is_solved() is True
    assert word(cube) == SOLVED_WORD == 247132686368


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("index", range(12))
def test_every_turn_changes_the_solved_cube(model, index):
    cube = model()
    turn(cube, index)
    assert cube.is_solved() is False


@pytest.mark.parametrize("model", MODELS)
@given(prefix=move_sequences, index=st.integers(0, 11))
@settings(max_examples=60, deadline=None)
def test_order_four_and_inverse(model, prefix, index):
    start = scrambled(model, prefix)
    four = scrambled(model, prefix)
    for _ in range(4):
        turn(four, index)
    assert word(four) == word(start)
    for first, second in [(index, index ^ 1), (index ^ 1, index)]:
        cube = scrambled(model, prefix)
        turn(cube, first)
        turn(cube, second)
        assert word(cube) == word(start)


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("pair", [(0, 2), (4, 6), (8, 10)], ids=["UD", "RL", "FB"])
@given(prefix=move_sequences)
@settings(max_examples=25, deadline=None)
def test_opposite_faces_commute(model, pair, prefix):
    a, b = pair
    ab = scrambled(model, prefix + [a, b])
    ba = scrambled(model, prefix + [b, a])
    assert word(ab) == word(ba)


def test_r_on_solved_moves_the_documented_slots():
    cube = tessaroll.Cube3x3()
    cube.do_r_move()
    c = fields(cube.corners, 8)
    assert [(f & 7, f >> 3) for f in c] == [
        (0, 0), (2, 1), (6, 2), (3, 0), (4, 0), (1, 2), (5, 1), (7, 0)]
    small = tessaroll.Cube2x2()
    small.do_r_move()
    assert small.state == cube.corners


def test_f_on_solved_flips_the_documented_edges():
    cube = tessaroll.Cube3x3()
    cube.do_f_move()
    edges = cube.get_edges()
    assert [edges[k] for k in (2, 6, 10, 11)] == [(11, 1), (10, 1), (2, 1), (6, 1)]
    assert all(flip == 0 for k, (_, flip) in enumerate(edges) if k not in (2, 6, 10, 11))


@given(moves=move_sequences)
@settings(max_examples=100, deadline=None)
def test_edge_flips_stay_even(moves):
    cube = tessaroll.Cube3x3()
    for m in moves:
        turn(cube, m)
        edges = cube.get_edges()
        assert sum(flip for _, flip in edges) % 2 == 0
        assert sorted(piece for piece, _ in edges) == list(range(12))


def test_u_then_d_prime_is_a_rotation_but_not_solved():
    cube = tessaroll.Cube2x2()
    cube.do_u_move()
    cube.do_d_prime_move()
    assert not cube.is_solved()
    cube.do_d_move()
    cube.do_u_prime_move()
    assert cube.is_solved()


@given(moves=move_sequences)
@settings(max_examples=100, deadline=None)
def test_2x2_state_tracks_3x3_corners(moves):
    big, small = tessaroll.Cube3x3(), tessaroll.Cube2x2()
    for m in moves:
        turn(big, m)
        turn(small, m)
        assert small.state == big.corners


@given(moves=move_sequences)
@settings(max_examples=100, deadline=None)
def test_corner_twist_sum_stays_a_multiple_of_three(moves):
    cube = tessaroll.Cube3x3()
    for m in moves:
        turn(cube, m)
        twists = [f >> 3 for f in fields(cube.corners, 8)]
        assert all(t < 3 for t in twists)
        assert sum(twists) % 3 == 0
        assert sorted(f & 7 for f in fields(cube.corners, 8)) == list(range(8))
        assert cube.corners >> 40 == 0


@pytest.mark.parametrize("seed", range(8))
def test_packed_turns_match_reference_model(seed):
    rng = random.Random(seed)
    cube, ref = tessaroll.Cube3x3(), ReferenceCube()
    small = tessaroll.Cube2x2()
    for _ in range(200):
        m = rng.randrange(12)
        turn(cube, m)
        turn(small, m)
        ref.turn(MOVE_NAMES[m])
        assert cube.corners == ref.corner_word()
        assert cube.to_binary_edges() == format(ref.edge_word(), "064b")
        assert small.state == ref.corner_word()
