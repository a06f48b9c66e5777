"""The module surface and the binding layer: registration, documentation,
argument-binding messages, conversion errors, borrows and class properties."""

import importlib.metadata
import importlib.util
import inspect
import os
import platform
import pydoc
import re
import sys
import threading

import pytest

import tessaroll
from host import CLASS_SIGNATURE_LOST, HAVE_NUMPY
from tessaroll import Cube2x2, Cube3x3, CubeBatch, get_next_states, inverse_scramble

PYPY = platform.python_implementation() == "PyPy"
# CPython 3.9's PyType_FromSpec drops the signature line of a class doc.
CLASSES = [Cube2x2, Cube3x3, CubeBatch]


def test_registration_order_and_module_doc():
    assert tessaroll.__all__ == [
        "CubeBatch", "Cube2x2", "Cube3x3", "inverse_scramble", "get_next_states"]
    assert tessaroll.__doc__ == ""


def test_a_second_module_object_shares_what_the_first_import_made():
    # Executing the module again (a fresh module object from the same spec)
    # must find the classes, InternalError and the shared result objects
    # already made, not make a second set.
    second = importlib.util.module_from_spec(tessaroll.__spec__)
    tessaroll.__spec__.loader.exec_module(second)
    assert second.__all__ == tessaroll.__all__
    for name in ("Cube2x2", "Cube3x3", "CubeBatch", "InternalError"):
        assert getattr(second, name) is getattr(tessaroll, name)
    cube = second.Cube3x3()
    cube.do_moves("R U F' D2")
    if HAVE_NUMPY:  # successor arrays are NumPy's
        assert second.get_next_states([cube]).tolist() == get_next_states([cube]).tolist()
    assert second.Cube3x3().get_edges()[5] is Cube3x3().get_edges()[5]  # one tuple per field


def test_version_is_the_project_version_and_not_exported():
    with open(os.path.join(os.path.dirname(__file__), os.pardir, "pyproject.toml")) as f:
        project = re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1)
    assert tessaroll.__version__ == project
    assert "__version__" not in tessaroll.__all__


def test_version_matches_the_installed_distribution():
    try:
        installed = importlib.metadata.version("tessaroll")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("module loaded from a CMake build directory, not installed")
    assert tessaroll.__version__ == installed


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_report_builtins(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__


@pytest.mark.parametrize("fn", [inverse_scramble, get_next_states])
def test_functions_report_the_module(fn):
    assert fn.__module__ == "tessaroll"


CLASS_DOCS = [
    (Cube2x2, "A compact 2x2 Rubik's Cube model with fast move operations.", "()"),
    (Cube3x3, "", "()"),
    (CubeBatch, "", "(count, cube_type)"),
]


@pytest.mark.parametrize("cls, doc, sig", CLASS_DOCS)
def test_class_docs(cls, doc, sig):
    assert (cls.__doc__ or "") == doc


@pytest.mark.skipif(CLASS_SIGNATURE_LOST is not None, reason=str(CLASS_SIGNATURE_LOST))
@pytest.mark.parametrize("cls, doc, sig", CLASS_DOCS)
def test_class_signatures(cls, doc, sig):
    assert cls.__text_signature__ == sig


@pytest.mark.parametrize("fn, sig", [
    (Cube3x3.do_moves, "($self, moves)"),
    (Cube2x2.scramble, "($self, scramble_length=20)"),
    (CubeBatch.scramble, "($self, scramble_lengths)"),
    (inverse_scramble, "(scramble)"),
    (get_next_states, "(cubes)"),
])
def test_method_signatures(fn, sig):
    assert fn.__text_signature__ == sig


@pytest.mark.parametrize("cls", CLASSES)
def test_help_and_inspect_show_every_method(cls):
    # The signatures and docs themselves are pinned by the tests above and
    # beside each method; here help() and inspect must find them.
    obj = CubeBatch(1, 2) if cls is CubeBatch else cls()
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    names = [n for n in vars(cls) if not n.startswith("_") and n not in ("corners", "state")]
    assert len(names) >= 4
    for name in names:
        method = getattr(cls, name)
        params = method.__text_signature__.removeprefix("($self").removeprefix(", ")
        assert str(inspect.signature(getattr(obj, name))) == "(" + params
        assert str(inspect.signature(method)) == "(self, /" + ", " * (params != ")") + params
        assert f"{name}(self, /" + ", " * (params != ")") + params in text
        assert getattr(obj, name).__doc__ == method.__doc__
        assert (method.__doc__ or "").split("\n")[0] in text


@pytest.mark.parametrize("cls, order", [
    (Cube3x3, ["to_binary_corners", "to_binary_edges", "to_binary", "get_corners",
               "get_edges", "to_sticker_array", "is_solved"]),
    (Cube2x2, ["to_binary", "get_corners", "to_sticker_array", "is_solved"]),
    (CubeBatch, ["apply_move_indexes", "get_next_states", "scramble", "len"]),
])
def test_method_tables_are_in_documented_order(cls, order):
    names = [n for n in vars(cls) if not n.startswith("__")]
    assert names[: len(order)] == order


@pytest.mark.parametrize("call, message", [
    (lambda: Cube3x3(1), "Cube3x3.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: Cube2x2(1, 2), "Cube2x2.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: Cube2x2().scramble(1, 2),
     "Cube2x2.scramble() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: CubeBatch(1, 2, 3),
     "CubeBatch.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: Cube3x3().do_moves(),
     "Cube3x3.do_moves() missing 1 required positional argument: 'moves'"),
    (lambda: CubeBatch(),
     "CubeBatch.__new__() missing 2 required positional arguments: 'count' and 'cube_type'"),
    (lambda: CubeBatch(cube_type=2),
     "CubeBatch.__new__() missing 1 required positional argument: 'count'"),
    (lambda: inverse_scramble(scramble="R", x=1),
     "inverse_scramble() got an unexpected keyword argument 'x'"),
    (lambda: Cube3x3(x=1), "Cube3x3.__new__() got an unexpected keyword argument 'x'"),
    (lambda: CubeBatch(1, 2, count=3),
     "CubeBatch.__new__() got multiple values for argument 'count'"),
    (lambda: Cube3x3().scramble(5, scramble_length=5),
     "Cube3x3.scramble() got multiple values for argument 'scramble_length'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_match_by_value_not_identity():
    # A keyword name built at run time is a different object from the
    # name in the parameter table.
    name = "".join(["scr", "amble"])
    assert inverse_scramble(**{name: "R"}) == "R'"
    cube = Cube3x3()
    cube.do_moves(**{"".join(["mo", "ves"]): "R"})
    assert not cube.is_solved()


@pytest.mark.parametrize("call, name", [
    (lambda: Cube3x3().scramble("x"), "scramble_length"),
    (lambda: Cube2x2().scramble(None), "scramble_length"),
    (lambda: Cube3x3().do_moves(5), "moves"),
    (lambda: inverse_scramble(None), "scramble"),
    (lambda: CubeBatch("3", 3), "count"),
    (lambda: CubeBatch(3, 2.0), "cube_type"),
    (lambda: CubeBatch(3, 3)["0"], "index"),
    (lambda: get_next_states((Cube2x2(),)), "cubes"),
])
def test_conversion_errors_name_the_argument(call, name):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(f"argument '{name}': ")


def test_conversion_error_keeps_the_cause():
    root = ValueError("root cause")

    class Bad:
        def __index__(self):
            raise TypeError("not today") from root

    with pytest.raises(TypeError) as info:
        Cube3x3().scramble(Bad())
    assert str(info.value) == "argument 'scramble_length': not today"
    assert info.value.__cause__ is root


@pytest.mark.parametrize("call", [
    lambda: Cube3x3().scramble(2**64),
    lambda: CubeBatch(-1, 7),
    lambda: CubeBatch(2**64, 3),
    lambda: CubeBatch(3, 3)[2**63],
])
def test_other_conversion_errors_pass_through_unprefixed(call):
    with pytest.raises(OverflowError) as info:
        call()
    assert not str(info.value).startswith("argument")


class Reenter:
    """An integer whose conversion calls back into the cube being converted for."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 1


@pytest.mark.parametrize("model", [Cube3x3, Cube2x2])
def test_borrow_is_taken_before_arguments_are_converted(model):
    cube = model()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        cube.scramble(Reenter(cube.do_u_move))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        cube.scramble(Reenter(cube.is_solved))
    assert cube.is_solved()  # nothing was applied, and the borrow was released
    cube.do_u_move()
    assert not cube.is_solved()


def test_shared_borrows_overlap_but_exclude_writers():
    batch = CubeBatch(2, 3)
    seen = []
    assert isinstance(batch[Reenter(lambda: seen.append(len(batch)))], Cube3x3)
    assert seen == [2]
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        batch[Reenter(lambda: batch.apply_move_indexes(None))]


@pytest.mark.parametrize("obj, attr", [(Cube3x3(), "corners"), (Cube2x2(), "state")])
def test_state_attributes_are_read_only(obj, attr):
    before = getattr(obj, attr)
    with pytest.raises(AttributeError):
        setattr(obj, attr, 1)
    assert getattr(obj, attr) == before


@pytest.mark.parametrize("obj", [Cube3x3(), Cube2x2(), CubeBatch(1, 2)])
def test_instances_take_no_new_attributes(obj):
    with pytest.raises(AttributeError):
        obj.anything = 1
    assert not hasattr(obj, "anything")


@pytest.mark.skipif(PYPY, reason="PyPy's cpyext gives every heap-type instance a __dict__")
@pytest.mark.parametrize("obj", [Cube3x3(), Cube2x2(), CubeBatch(1, 2)])
def test_instances_have_no_dict(obj):
    assert not hasattr(obj, "__dict__")


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.skipif(PYPY, reason="PyPy's cpyext objects always accept weak references")
@pytest.mark.parametrize("cls", [Cube3x3, Cube2x2])
def test_no_weak_references(cls):
    import weakref

    with pytest.raises(TypeError):
        weakref.ref(cls())


def test_turn_methods_reject_arguments():
    cube = Cube3x3()
    with pytest.raises(TypeError):
        cube.do_u_move(1)
    assert cube.is_solved()


def test_internal_error_class_is_outside_exception():
    assert tessaroll.InternalError.__bases__ == (BaseException,)
    assert "InternalError" not in tessaroll.__all__


def test_borrows_are_thread_safe_under_contention():
    batch = CubeBatch(50_000, 3)
    errors, stop = [], threading.Event()

    def reader():
        while not stop.is_set():
            batch.get_next_states()

    t = threading.Thread(target=reader)
    t.start()
    try:
        for _ in range(200):
            try:
                len(batch)
                batch[0]
            except RuntimeError as e:  # readers never conflict with readers
                errors.append(e)
    finally:
        stop.set()
        t.join()
    assert errors == []
