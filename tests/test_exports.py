"""Sticker arrays, piece lists and binary strings of Cube3x3 and Cube2x2.

Random states are reached only through the twelve turn methods. Sticker
arrays are checked against an independent model that moves stickers in 3-D
space, so a wrong facelet or colour table cannot hide behind itself.
"""

import itertools

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaroll import Cube2x2, Cube3x3

TURNS = [
    "do_u_move", "do_u_prime_move", "do_d_move", "do_d_prime_move",
    "do_r_move", "do_r_prime_move", "do_l_move", "do_l_prime_move",
    "do_f_move", "do_f_prime_move", "do_b_move", "do_b_prime_move",
]
move_lists = st.lists(st.integers(0, len(TURNS) - 1), max_size=40)


def turned(cls, moves):
    cube = cls()
    for m in moves:
        getattr(cube, TURNS[m])()
    return cube


# --------------------------------------------------------------------------
# Geometric model: x to the right (R), y up (U), z to the front (F). Every
# sticker is a (position, outward normal) pair on the 3x3x3 grid.

def _cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


# Face order U R F D L B: outward normal, and where (row, col) of the face
# lies when it is viewed as documented (U from above with B at the top, D
# from below with F at the top, side faces from outside with U at the top).
_FACES = [
    ((0, 1, 0), lambda r, c: (c - 1, 1, r - 1)),
    ((1, 0, 0), lambda r, c: (1, 1 - r, 1 - c)),
    ((0, 0, 1), lambda r, c: (c - 1, 1 - r, 1)),
    ((0, -1, 0), lambda r, c: (c - 1, -1, 1 - r)),
    ((-1, 0, 0), lambda r, c: (-1, 1 - r, c - 1)),
    ((0, 0, -1), lambda r, c: (1 - c, 1 - r, -1)),
]
_STICKERS = [(place(r, c), normal) for normal, place in _FACES
             for r in range(3) for c in range(3)]
_INDEX = {s: i for i, s in enumerate(_STICKERS)}
# Face letter of each turn, in the order of TURNS, and its face number.
_TURN_FACE = [0, 0, 3, 3, 1, 1, 4, 4, 2, 2, 5, 5]


def _turn_permutation(face, clockwise):
    """perm[i] = where the sticker at index i goes under the quarter turn."""
    n = _FACES[face][0]

    def rotate(v):  # -90 degrees about n (clockwise seen from outside)
        nv = sum(a * b for a, b in zip(n, v))
        c = _cross(n, v)
        sign = -1 if clockwise else 1
        return tuple(sign * ci + ni * nv for ci, ni in zip(c, n))

    perm = []
    for pos, normal in _STICKERS:
        if sum(a * b for a, b in zip(pos, n)) == 1:
            perm.append(_INDEX[(rotate(pos), rotate(normal))])
        else:
            perm.append(_INDEX[(pos, normal)])
    return perm


_PERMS = [_turn_permutation(_TURN_FACE[m], m % 2 == 0) for m in range(12)]
# A 2x2 face keeps the four corner stickers of the 3x3 face, in order.
_CORNER_POSITIONS = [9 * f + p for f in range(6) for p in (0, 2, 6, 8)]


def model_stickers(moves, size=3):
    colours = [i // 9 for i in range(54)]
    for m in moves:
        new = [None] * 54
        for i, j in enumerate(_PERMS[m]):
            new[j] = colours[i]
        colours = new
    return colours if size == 3 else [colours[i] for i in _CORNER_POSITIONS]


# --------------------------------------------------------------------------
# Sticker arrays

def faces(*groups):
    return [c for g in groups for c in g]


@pytest.mark.parametrize(
    "cls, turn, expected",
    [
        (Cube3x3, "do_f_move", faces(
            [0, 0, 0, 0, 0, 0, 4, 4, 4], [0, 1, 1, 0, 1, 1, 0, 1, 1], [2] * 9,
            [1, 1, 1, 3, 3, 3, 3, 3, 3], [4, 4, 3, 4, 4, 3, 4, 4, 3], [5] * 9)),
        (Cube3x3, "do_r_move", faces(
            [0, 0, 2, 0, 0, 2, 0, 0, 2], [1] * 9, [2, 2, 3, 2, 2, 3, 2, 2, 3],
            [3, 3, 5, 3, 3, 5, 3, 3, 5], [4] * 9, [0, 5, 5, 0, 5, 5, 0, 5, 5])),
        (Cube2x2, "do_f_move", faces(
            [0, 0, 4, 4], [0, 1, 0, 1], [2, 2, 2, 2], [1, 1, 3, 3], [4, 3, 4, 3], [5, 5, 5, 5])),
        (Cube2x2, "do_u_move", faces(
            [0, 0, 0, 0], [5, 5, 1, 1], [1, 1, 2, 2], [3, 3, 3, 3], [2, 2, 4, 4], [4, 4, 5, 5])),
    ],
)
def test_sticker_array_after_one_turn(cls, turn, expected):
    cube = cls()
    getattr(cube, turn)()
    assert cube.to_sticker_array() == expected


@pytest.mark.parametrize("cls, per_face", [(Cube3x3, 9), (Cube2x2, 4)])
def test_solved_sticker_array_is_face_by_face(cls, per_face):
    assert cls().to_sticker_array() == [k for k in range(6) for _ in range(per_face)]


@pytest.mark.parametrize("cls, size", [(Cube3x3, 3), (Cube2x2, 2)])
@pytest.mark.parametrize("move", range(12))
def test_every_single_turn_matches_geometry(cls, size, move):
    assert turned(cls, [move]).to_sticker_array() == model_stickers([move], size)


@settings(max_examples=150, deadline=None)
@given(moves=move_lists)
def test_random_3x3_states(moves):
    stickers = turned(Cube3x3, moves).to_sticker_array()
    assert stickers == model_stickers(moves)
    assert [stickers.count(k) for k in range(6)] == [9] * 6
    assert [stickers[9 * k + 4] for k in range(6)] == list(range(6))


@settings(max_examples=150, deadline=None)
@given(moves=move_lists)
def test_random_2x2_states(moves):
    stickers = turned(Cube2x2, moves).to_sticker_array()
    assert stickers == model_stickers(moves, size=2)
    assert [stickers.count(k) for k in range(6)] == [4] * 6


@pytest.mark.parametrize("cls, dim", [(Cube3x3, 54), (Cube2x2, 24)])
def test_sticker_array_is_a_fresh_list_of_ints(cls, dim):
    cube = turned(cls, [4, 8, 1])
    first, second = cube.to_sticker_array(), cube.to_sticker_array()
    assert type(first) is list and len(first) == dim
    assert all(type(v) is int for v in first)
    assert first == second and first is not second
    first[0] = 99
    assert cube.to_sticker_array() == second


# --------------------------------------------------------------------------
# Piece lists and binary strings

SOLVED_CORNER_GROUPS = "00111 00110 00101 00100 00011 00010 00001 00000"
SOLVED_EDGE_GROUPS = ("01011 01010 01001 01000 00111 00110 00101 00100 "
                      "00011 00010 00001 00000")


def digits(pad, groups):
    return "0" * pad + groups.replace(" ", "")


def pack(pairs, piece_bits):
    return sum((p | o << piece_bits) << (5 * k) for k, (p, o) in enumerate(pairs))


@pytest.mark.parametrize("cls", [Cube3x3, Cube2x2])
def test_solved_corners(cls):
    assert cls().get_corners() == [(k, 0) for k in range(8)]


def test_solved_3x3_edges_and_binary():
    cube = Cube3x3()
    assert cube.get_edges() == [(k, 0) for k in range(12)]
    corners, edges = digits(24, SOLVED_CORNER_GROUPS), digits(4, SOLVED_EDGE_GROUPS)
    assert cube.to_binary_corners() == corners
    assert cube.to_binary_edges() == edges
    assert cube.to_binary() == (corners, edges)


def test_solved_2x2_binary_is_a_single_str():
    assert Cube2x2().to_binary() == digits(24, SOLVED_CORNER_GROUPS)


def test_3x3_after_r():
    cube = turned(Cube3x3, [4])
    assert cube.get_corners() == [(0, 0), (2, 1), (6, 2), (3, 0), (4, 0), (1, 2), (5, 1), (7, 0)]
    assert cube.get_edges() == [(0, 0), (10, 0), (2, 0), (3, 0), (4, 0), (9, 0), (6, 0),
                                (7, 0), (8, 0), (1, 0), (5, 0), (11, 0)]
    assert cube.to_binary_corners() == digits(
        24, "00111 01101 10001 00100 00011 10110 01010 00000")
    assert cube.to_binary_edges() == digits(
        4, "01011 00101 00001 01000 00111 00110 01001 00100 00011 00010 01010 00000")


def test_3x3_after_f_flips_four_edges():
    edges = turned(Cube3x3, [8]).get_edges()
    assert [edges[s] for s in (2, 6, 10, 11)] == [(11, 1), (10, 1), (2, 1), (6, 1)]
    assert sum(o for _, o in edges) == 4


@settings(max_examples=100, deadline=None)
@given(moves=move_lists)
def test_random_3x3_pieces_and_binary(moves):
    cube = turned(Cube3x3, moves)
    corners, edges = cube.get_corners(), cube.get_edges()
    assert sorted(p for p, _ in corners) == list(range(8))
    assert sorted(p for p, _ in edges) == list(range(12))
    assert all(t in (0, 1, 2) for _, t in corners) and sum(t for _, t in corners) % 3 == 0
    assert all(f in (0, 1) for _, f in edges) and sum(f for _, f in edges) % 2 == 0
    corner_word, edge_word = pack(corners, 3), pack(edges, 4)
    assert corner_word == cube.corners
    assert cube.to_binary_corners() == format(corner_word, "064b")
    assert cube.to_binary_edges() == format(edge_word, "064b")
    assert cube.to_binary() == (format(corner_word, "064b"), format(edge_word, "064b"))


@settings(max_examples=100, deadline=None)
@given(moves=move_lists)
def test_random_2x2_pieces_and_binary_match_the_3x3_corners(moves):
    small, big = turned(Cube2x2, moves), turned(Cube3x3, moves)
    corners = small.get_corners()
    assert corners == big.get_corners()
    assert pack(corners, 3) == small.state
    assert small.to_binary() == format(small.state, "064b") == big.to_binary_corners()


@pytest.mark.parametrize("cls", [Cube3x3, Cube2x2])
def test_binary_strings_are_64_plain_digits(cls):
    for moves in itertools.islice(itertools.product(range(12), repeat=2), 0, 144, 13):
        result = turned(cls, moves).to_binary()
        for s in result if isinstance(result, tuple) else (result,):
            assert type(s) is str and len(s) == 64 and set(s) <= {"0", "1"}


@pytest.mark.parametrize("cls, method", [
    (Cube3x3, "get_corners"), (Cube3x3, "get_edges"), (Cube2x2, "get_corners"),
])
def test_piece_lists_are_fresh(cls, method):
    cube = turned(cls, [4, 10])
    first, second = getattr(cube, method)(), getattr(cube, method)()
    assert first == second and first is not second
    assert all(type(p) is tuple and len(p) == 2 for p in first)
    first.clear()
    assert getattr(cube, method)() == second


def test_to_binary_returns_a_new_tuple_each_time():
    cube = Cube3x3()
    first, second = cube.to_binary(), cube.to_binary()
    assert type(first) is tuple and len(first) == 2 and first == second


def test_exports_leave_the_cube_unchanged():
    cube = turned(Cube3x3, [0, 4, 9])
    before = (cube.corners, cube.get_edges())
    cube.to_sticker_array(), cube.to_binary(), cube.get_corners(), str(cube)
    assert (cube.corners, cube.get_edges()) == before


# --------------------------------------------------------------------------
# Method tables and documentation

DOCS_3X3 = [
    ("to_binary_corners", "Return the corner state as a 64-bit binary string."),
    ("to_binary_edges", "Return the edge state as a 64-bit binary string."),
    ("to_binary", "Return the corner and edge states as a tuple of 64-bit binary strings."),
    ("get_corners", "Return the corner state as an array."),
    ("get_edges", "Return the edge state as an array."),
    ("to_sticker_array", "Return the cube state as an array of 54 sticker colors."),
]
DOCS_2X2 = [
    ("to_binary", ""),
    ("get_corners", "Return the corner state as an array."),
    ("to_sticker_array", ""),
]


@pytest.mark.parametrize("cls, rows", [(Cube3x3, DOCS_3X3), (Cube2x2, DOCS_2X2)])
def test_export_methods_are_documented_in_table_order(cls, rows):
    names = [name for name in vars(cls) if not name.startswith("__")]
    assert names[: len(rows) + 1] == [name for name, _ in rows] + ["is_solved"]
    for name, text in rows:
        method = getattr(cls, name)
        assert method.__text_signature__ == "($self)"
        assert (method.__doc__ or "") == text


def test_2x2_has_no_edge_methods():
    for name in ("get_edges", "to_binary_corners", "to_binary_edges"):
        assert not hasattr(Cube2x2, name)


@pytest.mark.parametrize("cls", [Cube3x3, Cube2x2])
@pytest.mark.parametrize("method", ["to_sticker_array", "get_corners", "to_binary"])
def test_export_methods_take_no_arguments(cls, method):
    with pytest.raises(TypeError):
        getattr(cls(), method)(1)
