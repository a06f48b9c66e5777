"""Independent reference for move-string tests: turns applied through the
twelve face-turn methods, and the Unicode White_Space list written out."""

import re

import tessaroll

MODELS = [tessaroll.Cube3x3, tessaroll.Cube2x2]

FACES = "UDRLFB"
CLOCKWISE = {f: f"do_{f.lower()}_move" for f in FACES}
COUNTER = {f: f"do_{f.lower()}_prime_move" for f in FACES}
# In move-index order: U U' D D' R R' L L' F F' B B'.
TURN_METHODS = [m for f in FACES for m in (CLOCKWISE[f], COUNTER[f])]
INVERSE_METHOD = {
    **{CLOCKWISE[f]: COUNTER[f] for f in FACES},
    **{COUNTER[f]: CLOCKWISE[f] for f in FACES},
}

# Unicode characters with the White_Space property.
WHITESPACE = (
    [chr(c) for c in range(0x09, 0x0E)]
    + [" ", "\x85", "\xa0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)
_SPLIT = re.compile("[" + re.escape("".join(WHITESPACE)) + "]+")

# The tokens do_moves accepts, with the face-turn methods each one means.
TOKEN_TURNS = {}
for _f in FACES:
    TOKEN_TURNS[_f] = [CLOCKWISE[_f]]
    TOKEN_TURNS[_f + "'"] = [COUNTER[_f]]
    TOKEN_TURNS[_f + "!"] = [COUNTER[_f]]
    TOKEN_TURNS[_f + "2"] = [CLOCKWISE[_f], CLOCKWISE[_f]]

# The inversion table of inverse_scramble.
INVERSE_TOKEN = {}
for _f in FACES:
    INVERSE_TOKEN[_f] = _f + "'"
    INVERSE_TOKEN[_f + "'"] = _f
    INVERSE_TOKEN[_f + "2"] = _f + "2"


def tokens(text):
    return [t for t in _SPLIT.split(text) if t]


def turns_of(text):
    return [m for t in tokens(text) for m in TOKEN_TURNS.get(t, [])]


def apply(cube, methods):
    for m in methods:
        getattr(cube, m)()


def undo(cube, methods):
    for m in reversed(methods):
        getattr(cube, INVERSE_METHOD[m])()


def word(cube):
    return cube.corners if isinstance(cube, tessaroll.Cube3x3) else cube.state


def reached(cube, methods):
    """True if `cube` is in the state that `methods` give a solved cube.

    Compares the whole state (both words of a 3x3) by undoing the methods and
    asking is_solved(); the cube is left as it was."""
    undo(cube, methods)
    ok = cube.is_solved()
    apply(cube, methods)
    return ok


def corner_parity(w):
    """Parity (0 even, 1 odd) of the corner permutation in a corner word."""
    perm = [(w >> (5 * k)) & 7 for k in range(8)]
    seen = [False] * 8
    parity = 0
    for start in range(8):
        length = 0
        k = start
        while not seen[k]:
            seen[k] = True
            k = perm[k]
            length += 1
        if length:
            parity ^= (length - 1) & 1
    return parity
