"""Behaviour that must hold on every interpreter and word size: instance
lifetime and the type's reference count, class documentation, and the
closed shape of the classes (no subclasses, no new attributes)."""

import gc
import os
import platform
import struct
import sys

import pytest

import tessaroll

PYPY = platform.python_implementation() == "PyPy"
# CPython 3.9's PyType_FromSpec drops the signature line of a class doc.
OLD_CLASS_DOCS = sys.version_info < (3, 10) and not PYPY
CUBES = [tessaroll.Cube3x3, tessaroll.Cube2x2]


def churn(model, count):
    for _ in range(count):
        cube = model()
        cube.do_u_move()
        cube.do_r_prime_move()
    gc.collect()


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="PyPy has no sys.getrefcount")
@pytest.mark.parametrize("model", CUBES)
def test_instances_give_back_their_type_reference(model):
    churn(model, 10)
    before = sys.getrefcount(model)
    alive = [model() for _ in range(1000)]
    assert sys.getrefcount(model) == before + 1000
    del alive
    churn(model, 10_000)
    assert sys.getrefcount(model) == before


def peak_rss_kib():
    resource = pytest.importorskip("resource")
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


@pytest.mark.skipif(
    "TESSAROLL_MEMORY_TOOL" in os.environ,
    reason="ASan and valgrind hold freed blocks in quarantine, so peak RSS grows without a "
    "leak; they report leaks themselves",
)
@pytest.mark.parametrize("model", CUBES)
def test_many_cubes_come_and_go_without_growth(model):
    # On PyPy the C-level instance lives as long as its proxy; a missed
    # deallocation there shows as growing memory rather than a refcount.
    churn(model, 20_000)
    start = peak_rss_kib()
    churn(model, 200_000)
    # A leak of even one 32-byte instance per cube would add over 6 MiB.
    assert peak_rss_kib() - start < 4 * 1024


@pytest.mark.parametrize("model, doc", [
    (tessaroll.Cube3x3, ""),
    (tessaroll.Cube2x2, "A compact 2x2 Rubik's Cube model with fast move operations."),
])
def test_class_documentation_is_the_text_after_the_signature(model, doc):
    assert model.__doc__ == doc


@pytest.mark.skipif(OLD_CLASS_DOCS, reason="CPython 3.9 drops class text signatures")
@pytest.mark.parametrize("model", CUBES)
def test_class_signature_is_kept(model):
    assert model.__text_signature__ == "()"


@pytest.mark.parametrize("model", CUBES)
def test_classes_report_builtins(model):
    assert model.__module__ == "builtins"
    assert model.__qualname__ == model.__name__


@pytest.mark.parametrize("model", CUBES)
def test_classes_refuse_subclasses(model):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (model,), {})
    with pytest.raises(TypeError):

        class Sub(model):
            pass


@pytest.mark.skipif(PYPY, reason="PyPy gives every instance of a C extension type a __dict__")
@pytest.mark.parametrize("model", CUBES)
def test_instances_take_no_new_attributes(model):
    cube = model()
    with pytest.raises(AttributeError):
        cube.label = "mine"
    assert not hasattr(cube, "__dict__")


@pytest.mark.parametrize("model, attr", [(tessaroll.Cube3x3, "corners"),
                                         (tessaroll.Cube2x2, "state")])
def test_state_words_are_read_only_everywhere(model, attr):
    cube = model()
    with pytest.raises(AttributeError):
        setattr(cube, attr, 0)
    assert cube.is_solved()


@pytest.mark.parametrize("model, attr", [(tessaroll.Cube3x3, "corners"),
                                         (tessaroll.Cube2x2, "state")])
def test_state_words_are_full_64_bit_values_on_every_word_size(model, attr):
    # The packed words are 64-bit on 32-bit builds too: after a turn that moves
    # pieces into the top slots the value exceeds 2**32 and must come back whole.
    cube = model()
    cube.do_d_move()
    value = getattr(cube, attr)
    assert value > 2**32
    assert struct.unpack("<Q", struct.pack("<Q", value))[0] == value
