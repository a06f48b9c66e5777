"""do_moves and inverse_scramble: move notation, whitespace, skipped tokens."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessaroll
from cube_oracle import (
    INVERSE_TOKEN,
    MODELS,
    TOKEN_TURNS,
    TURN_METHODS,
    WHITESPACE,
    apply,
    reached,
    tokens,
    turns_of,
    word,
)

inverse_scramble = tessaroll.inverse_scramble

# A start state that is not solved, so that "unchanged" is not the same as
# "solved" and turns applied in the wrong order show.
START = ["do_r_move", "do_u_move", "do_f_prime_move", "do_l_move", "do_d_move", "do_b_move"]

NOT_WHITESPACE = ["\u200b", "\u00ad", "\x1c", "\x1d", "\x1e", "\x1f", "\u180e", "\ufeff",
                  "\u2060", ",", ";", ".", "(", ")", "\x00", "\x08", "\x0e", "\u00a1"]

JUNK = ["u", "r'", "U2'", "U'2", "U3", "2", "'", "Uw", "M", "x", "\u00dc", "UU", "RU", "X",
        "R,U", "U\"", "Ü'", "\u200b", "R\u200bU"]


@pytest.fixture(params=MODELS, ids=lambda m: m.__name__)
def model(request):
    return request.param


@pytest.fixture
def cube(model):
    c = model()
    apply(c, START)
    return c


def assert_turned(cube, methods):
    assert reached(cube, START + methods)


# --- do_moves: separators -------------------------------------------------


@pytest.mark.parametrize("ws", WHITESPACE, ids=lambda w: f"U+{ord(w):04X}")
def test_each_whitespace_character_separates(cube, ws):
    assert cube.do_moves(f"R{ws}U{ws}{ws}F'{ws}") is None
    assert_turned(cube, ["do_r_move", "do_u_move", "do_f_prime_move"])


@pytest.mark.parametrize("ch", NOT_WHITESPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_other_characters_do_not_separate(cube, ch):
    before = word(cube)
    cube.do_moves(f"R{ch}U")
    assert word(cube) == before
    assert_turned(cube, [])


@pytest.mark.parametrize("text", ["", " ", "\t\n\r \x0b\x0c", "\u3000\xa0\u2028"])
def test_blank_strings_change_nothing(cube, text):
    assert cube.do_moves(text) is None
    assert_turned(cube, [])


@pytest.mark.parametrize(
    "text, methods",
    [
        (" R   U\tF\n", ["do_r_move", "do_u_move", "do_f_move"]),
        ("R U", ["do_r_move", "do_u_move"]),
        ("R\u00a0U", ["do_r_move", "do_u_move"]),
        ("R\u3000U", ["do_r_move", "do_u_move"]),
        ("R,U", []),
        ("R\u200bU", []),
        ("R\u00adU", []),
        ("R X U", ["do_r_move", "do_u_move"]),
        ("U'", ["do_u_move"] * 3),
        ("U!", ["do_u_move"] * 3),
        ("R2", ["do_r_move", "do_r_move"]),
        ("R2", ["do_r_prime_move", "do_r_prime_move"]),
        ("B! D2 L'", ["do_b_prime_move", "do_d_move", "do_d_move", "do_l_prime_move"]),
    ],
)
def test_documented_strings(cube, text, methods):
    cube.do_moves(text)
    assert_turned(cube, methods)


@pytest.mark.parametrize("text", ["U U U U", "U2 U2", "U U'", "U! U", "U' U' U2", "F2 F2",
                                  "B B! D' D"])
def test_identities_restore_the_cube(cube, text):
    cube.do_moves(text)
    assert_turned(cube, [])


@pytest.mark.parametrize("token", sorted(TOKEN_TURNS))
def test_every_accepted_token(cube, token):
    cube.do_moves(token)
    assert_turned(cube, TOKEN_TURNS[token])


@pytest.mark.parametrize("token", JUNK)
def test_unrecognised_tokens_are_skipped(cube, token):
    before = word(cube)
    assert cube.do_moves(token) is None
    assert word(cube) == before
    assert_turned(cube, [])
    cube.do_moves(f"R {token} U")
    assert_turned(cube, ["do_r_move", "do_u_move"])


@pytest.mark.parametrize("length", [255, 256, 257, 4000])
def test_long_strings(cube, length):
    # Around the size where the private copy moves from the stack to the heap.
    pattern = "R U' F2 "
    text = (pattern * (length // len(pattern) + 1))[:length]
    assert len(text.encode()) == length
    cube.do_moves(text)
    assert_turned(cube, turns_of(text))


def test_keyword_argument(model):
    a, b = model(), model()
    a.do_moves("R U")
    b.do_moves(moves="R U")
    assert word(a) == word(b)
    assert reached(b, ["do_r_move", "do_u_move"])


def test_str_subclass_is_accepted(cube):
    class Moves(str):
        pass

    cube.do_moves(Moves("F B"))
    assert_turned(cube, ["do_f_move", "do_b_move"])


# --- do_moves: failures leave the cube unchanged ---------------------------


@pytest.mark.parametrize("bad, type_name", [(1, "int"), (None, "NoneType"), (b"R U", "bytes"),
                                            (["R"], "list")])
def test_non_str_argument(cube, bad, type_name):
    with pytest.raises(TypeError) as info:
        cube.do_moves(bad)
    message = str(info.value)
    assert message.startswith("argument 'moves': ")
    assert type_name in message and "str" in message
    assert_turned(cube, [])


def test_lone_surrogate_raises_the_encoding_error_unchanged(cube):
    with pytest.raises(UnicodeEncodeError) as info:
        cube.do_moves("R \ud800 U")
    assert not str(info.value).startswith("argument")
    assert_turned(cube, [])


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "{}.do_moves() missing 1 required positional argument: 'moves'"),
        (("R", "U"), {}, "{}.do_moves() takes 1 positional arguments but 2 were given"),
        ((), {"move": "R"}, "{}.do_moves() got an unexpected keyword argument 'move'"),
        (("R",), {"moves": "U"}, "{}.do_moves() got multiple values for argument 'moves'"),
    ],
)
def test_binding_errors(cube, args, kwargs, message):
    expected = "^" + re.escape(message.format(type(cube).__name__)) + "$"
    with pytest.raises(TypeError, match=expected):
        cube.do_moves(*args, **kwargs)
    assert_turned(cube, [])


def test_method_docs(model):
    assert model.do_moves.__doc__ == "Apply a whitespace-separated sequence of cube moves."
    assert model.do_moves.__text_signature__ == "($self, moves)"
    assert model.scramble.__doc__ == "Apply a random scramble of the given length."
    assert model.scramble.__text_signature__ == "($self, scramble_length=20)"


def test_method_order(model):
    names = [n for n in vars(model) if n in TURN_METHODS or n in ("do_moves", "scramble")]
    assert names == TURN_METHODS + ["do_moves", "scramble"]


# --- do_moves: properties --------------------------------------------------

separators = st.lists(st.sampled_from(WHITESPACE), min_size=1, max_size=3).map("".join)
move_or_junk = st.one_of(st.sampled_from(sorted(TOKEN_TURNS)), st.sampled_from(JUNK),
                         st.text(alphabet="UDRLFBudx'!23,", min_size=1, max_size=3))


@st.composite
def move_strings(draw, token_strategy):
    toks = draw(st.lists(token_strategy, max_size=25))
    text = draw(st.sampled_from(["", " ", "\n"]))
    for t in toks:
        text += t + draw(separators)
    return text


@pytest.mark.parametrize("model", MODELS, ids=lambda m: m.__name__)
@settings(max_examples=150, deadline=None)
@given(text=move_strings(move_or_junk))
def test_recognised_tokens_apply_in_order_and_junk_is_skipped(model, text):
    cube = model()
    apply(cube, START)
    cube.do_moves(text)
    assert reached(cube, START + turns_of(text))


# --- inverse_scramble -------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", ""),
        (" \t\n\u3000 ", ""),
        ("R U F'", "F U' R'"),
        ("R2 U' D", "D' U R2"),
        ("  R \t U\n", "U' R'"),
        ("U!", "U!"),
        ("R U!", "U! R'"),
        ("x M r U3", "U3 r M x"),
        ("R,U", "R,U"),
        ("R\u200bU", "R\u200bU"),
        ("L\u00a0B2\u2029\u00e9\u3000D", "D' \u00e9 B2 L'"),
        ("F' B' U D'", "D U' B F"),
    ],
)
def test_inverse_documented_cases(text, expected):
    assert inverse_scramble(text) == expected


def test_inverse_keyword_and_function_attributes():
    assert inverse_scramble(scramble="R U") == "U' R'"
    assert inverse_scramble.__name__ == "inverse_scramble"
    assert inverse_scramble.__module__ == "tessaroll"
    assert inverse_scramble.__text_signature__ == "(scramble)"
    assert inverse_scramble.__doc__ == "Return the inverse of the given scramble string."
    assert "inverse_scramble" in tessaroll.__all__


@pytest.mark.parametrize("bad", [1, None, b"R U"])
def test_inverse_non_str_argument(bad):
    with pytest.raises(TypeError, match="^argument 'scramble': "):
        inverse_scramble(bad)


def test_inverse_lone_surrogate():
    with pytest.raises(UnicodeEncodeError):
        inverse_scramble("R \udfff")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {"scramble": "R", "x": 1}, "inverse_scramble() got an unexpected keyword argument 'x'"),
        ((), {}, "inverse_scramble() missing 1 required positional argument: 'scramble'"),
        (("R", "U"), {}, "inverse_scramble() takes 1 positional arguments but 2 were given"),
    ],
)
def test_inverse_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        inverse_scramble(*args, **kwargs)
    assert str(info.value) == message


table_strings = move_strings(st.sampled_from(sorted(INVERSE_TOKEN)))
no_surrogates = st.text(
    alphabet=st.one_of(st.characters(blacklist_categories=("Cs",)), st.sampled_from(WHITESPACE),
                       st.sampled_from("UDRLFB'!2")),
    max_size=60,
)


@pytest.mark.parametrize("model", MODELS, ids=lambda m: m.__name__)
@settings(max_examples=150, deadline=None)
@given(text=table_strings)
def test_inverse_undoes_the_scramble(model, text):
    cube = model()
    apply(cube, START)
    cube.do_moves(text)
    cube.do_moves(inverse_scramble(text))
    assert reached(cube, START)


@settings(max_examples=300, deadline=None)
@given(text=no_surrogates)
def test_inverting_twice_gives_the_tokens_joined_by_spaces(text):
    once = inverse_scramble(text)
    expected_once = [INVERSE_TOKEN.get(t, t) for t in reversed(tokens(text))]
    assert once == " ".join(expected_once)
    assert inverse_scramble(once) == " ".join(tokens(text))
