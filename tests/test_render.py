"""The coloured terminal picture that str() gives for Cube3x3 and Cube2x2."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaroll import Cube2x2, Cube3x3

ESC = "\x1b"
RESET = ESC + "[0m"
ESCAPES = {
    "W": ESC + "[37;1m",
    "Y": ESC + "[33;1m",
    "G": ESC + "[32;1m",
    "B": ESC + "[34;1m",
    "O": ESC + "[38;5;208m",
    "R": ESC + "[31;1m",
}
LETTERS = "WRGYOB"  # colour code -> letter
STICKER = re.compile(r"\x1b\[([0-9;]+)m([A-Z])\x1b\[0m")

TURNS = [
    "do_u_move", "do_u_prime_move", "do_d_move", "do_d_prime_move",
    "do_r_move", "do_r_prime_move", "do_l_move", "do_l_prime_move",
    "do_f_move", "do_f_prime_move", "do_b_move", "do_b_prime_move",
]


def turned(cls, moves):
    cube = cls()
    for m in moves:
        getattr(cube, TURNS[m])()
    return cube


def sticker(letter):
    return ESCAPES[letter] + letter + RESET


def strip(text):
    return STICKER.sub(r"\2", text)


def letters_face_by_face(text, n):
    """The sticker letters read face by face in array order U R F D L B."""
    lines = text.split("\n")[:-1]
    rows = [[m.group(2) for m in STICKER.finditer(line)] for line in lines]
    up, middle, down = rows[:n], rows[n:2 * n], rows[2 * n:]
    side = {name: [row[k * n:(k + 1) * n] for row in middle]
            for k, name in enumerate("LFRB")}
    order = [up, side["R"], side["F"], down, side["L"], side["B"]]
    return "".join("".join("".join(row) for row in face) for face in order)


def test_solved_3x3_without_escapes():
    assert strip(str(Cube3x3())) == (
        "       W W W\n" * 3
        + "O O O  G G G  R R R  B B B\n" * 3
        + "       Y Y Y\n" * 3
    )


def test_solved_2x2_without_escapes():
    assert strip(str(Cube2x2())) == (
        "      W W\n" * 2
        + "O O   G G   R R   B B\n" * 2
        + "      Y Y\n" * 2
    )


@pytest.mark.parametrize("cls, indent, gap, n", [(Cube3x3, 7, 2, 3), (Cube2x2, 6, 3, 2)])
def test_solved_pictures_raw(cls, indent, gap, n):
    def row(letter):
        return " ".join([sticker(letter)] * n)

    def side():
        return (" " * gap).join(row(c) for c in "OGRB")

    expected = ("".join(" " * indent + row("W") + "\n" for _ in range(n))
                + "".join(side() + "\n" for _ in range(n))
                + "".join(" " * indent + row("Y") + "\n" for _ in range(n)))
    text = str(cls())
    assert text == expected
    assert text.startswith(" " * indent + ESC + "[37;1mW" + ESC + "[0m ")


def test_first_orange_sticker_of_line_four():
    line4 = str(Cube3x3()).split("\n")[3]
    assert line4.startswith(ESC + "[38;5;208mO" + ESC + "[0m")


def test_3x3_after_f_without_escapes():
    lines = strip(str(turned(Cube3x3, [8]))).split("\n")
    assert lines[2] == "       O O O"
    assert [line.split("  ")[:3] for line in lines[3:6]] == [["O O Y", "G G G", "W R R"]] * 3
    assert lines[6] == "       R R R"


@pytest.mark.parametrize("cls, lines", [(Cube3x3, 9), (Cube2x2, 6)])
@pytest.mark.parametrize("moves", [[], [8], [4, 1, 11, 6], list(range(12))])
def test_line_layout(cls, lines, moves):
    text = str(turned(cls, moves))
    assert text.endswith("\n") and "\r" not in text
    body = text.split("\n")
    assert body[-1] == "" and len(body) == lines + 1
    assert all(line == line.rstrip(" ") for line in body)
    # Outside the escapes the text is only letters, spaces and line feeds.
    assert set(strip(text)) <= set("WRGYOB \n")


@pytest.mark.parametrize("letter", list(ESCAPES))
def test_every_escape_matches_its_letter(letter):
    seen = [ESC + "[" + m.group(1) + "m"
            for m in STICKER.finditer(str(turned(Cube3x3, [4, 8, 0]))) if m.group(2) == letter]
    assert len(seen) == 9 and set(seen) == {ESCAPES[letter]}


@settings(max_examples=120, deadline=None)
@given(moves=st.lists(st.integers(0, 11), max_size=40), small=st.booleans())
def test_picture_spells_the_sticker_array(moves, small):
    cls, n = (Cube2x2, 2) if small else (Cube3x3, 3)
    cube = turned(cls, moves)
    text = str(cube)
    assert letters_face_by_face(text, n) == "".join(LETTERS[c] for c in cube.to_sticker_array())


@pytest.mark.parametrize("cls", [Cube3x3, Cube2x2])
def test_str_is_fresh_and_repeatable(cls):
    cube = turned(cls, [2, 5, 9])
    first, second = str(cube), str(cube)
    assert type(first) is str and first == second
