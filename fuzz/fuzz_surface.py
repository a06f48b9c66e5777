"""Fuzz the whole Python surface of tessaroll with atheris.

Every input is decoded into a short program of calls on fresh cubes and
batches: move strings (with surrogates and Unicode whitespace), integers of
any size and sign, objects whose __index__ re-enters the receiver, lists of
mixed objects, and NumPy arrays of every dtype, byte order, rank and stride.

A call may only fail with the exceptions the module documents for that kind
of input, and a failed call must leave every cube and batch it touched
exactly as it was. Successful calls are checked against small models: the
turn methods for do_moves and apply_move_indexes, sticker counts and piece
permutations for everything that changes a cube.

    python fuzz/fuzz_surface.py -max_total_time=60 -rss_limit_mb=2048
"""

import inspect
import operator
import sys
import warnings

import atheris

import numpy as np

import tessaroll
from tessaroll import Cube2x2, Cube3x3, CubeBatch, get_next_states, inverse_scramble

TURNS = [
    "do_u_move", "do_u_prime_move", "do_d_move", "do_d_prime_move",
    "do_r_move", "do_r_prime_move", "do_l_move", "do_l_prime_move",
    "do_f_move", "do_f_prime_move", "do_b_move", "do_b_prime_move",
]
FACES = "UDRLFB"
TOKENS = [f + m for f in FACES for m in ("", "'", "!", "2")]
WHITESPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
    + "\u2028\u2029\u202f\u205f\u3000"
)
# Look like separators or moves to a careless tokenizer, but are neither.
NEAR_MISSES = ["\x1c", "\x1f", "\u200b", "\ufeff", ",", "u", "U3", "U'2", "''", "R\u0301",
               "\ud800", "\udfff", "\U0001f600", "\x00"]
# Hostile __index__ may return an int subclass on purpose.
warnings.filterwarnings("ignore", "__index__ returned non-int", DeprecationWarning)
BORROW_MESSAGES = ("Already borrowed", "Already mutably borrowed")
MAX_TURNS = 300       # per single-cube scramble; larger lengths are only slow
MAX_BATCH = 6         # small batches keep the search fast
ABSURD_COUNT = 1 << 45  # 16 bytes * this exceeds any user address space

DTYPES = [
    np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
    np.uint64, np.intp, np.uintp, np.longlong, np.ulonglong, np.float16, np.float32,
    np.float64, np.longdouble, np.complex64, np.complex128, np.object_, "U3", "S3",
    "M8[s]", "m8[ns]", "V8", [("a", "<i8")], [("a", "<u8"), ("b", "u1")],
]


class Planted(Exception):
    """Raised by the harness's own hostile objects; may escape unchanged."""


class HarnessFailure(AssertionError):
    pass


def fail(message):
    raise HarnessFailure(message)


# ---------------------------------------------------------------- models --

def cube_valid(cube):
    """A cube state reachable by turns: permutations, twist and flip sums,
    matching permutation parities, and the right sticker count per colour."""
    corners = cube.get_corners()
    if sorted(p for p, _ in corners) != list(range(8)):
        fail(f"corner pieces not a permutation: {corners}")
    if sum(o for _, o in corners) % 3 or any(not 0 <= o < 3 for _, o in corners):
        fail(f"bad corner twists: {corners}")
    stickers = cube.to_sticker_array()
    per_colour = 9 if isinstance(cube, Cube3x3) else 4
    if sorted(stickers) != sorted(list(range(6)) * per_colour):
        fail(f"bad sticker counts: {stickers}")
    if isinstance(cube, Cube3x3):
        edges = cube.get_edges()
        if sorted(p for p, _ in edges) != list(range(12)):
            fail(f"edge pieces not a permutation: {edges}")
        if sum(o for _, o in edges) % 2 or any(o not in (0, 1) for _, o in edges):
            fail(f"bad edge flips: {edges}")
        if parity([p for p, _ in corners]) != parity([p for p, _ in edges]):
            fail("corner and edge permutation parities differ")


def parity(perm):
    seen, odd = set(), 0
    for start in range(len(perm)):
        length = 0
        i = start
        while i not in seen:
            seen.add(i)
            i = perm[i]
            length += 1
        if length:
            odd ^= (length - 1) & 1
    return odd


def snapshot(obj):
    if isinstance(obj, Cube3x3):
        return ("3", obj.to_binary())
    if isinstance(obj, Cube2x2):
        return ("2", obj.state)
    if isinstance(obj, CubeBatch):
        return ("B", len(obj), tuple(snapshot(obj[i]) for i in range(len(obj))))
    raise TypeError(obj)


def split_tokens(text):
    """Maximal runs of characters without the White_Space property."""
    words, word = [], []
    for ch in text + " ":
        if ch in WHITESPACE:
            if word:
                words.append("".join(word))
            word = []
        else:
            word.append(ch)
    return words


def move_tokens(text):
    """The recognised move tokens of a move string, as turn-method indexes."""
    turns = []
    for t in split_tokens(text):
        if len(t) == 1 and t in FACES:
            turns.append(FACES.index(t) * 2)
        elif len(t) == 2 and t[0] in FACES and t[1] in "'!2":
            index = FACES.index(t[0]) * 2
            turns += [index, index] if t[1] == "2" else [index + 1]
    return turns


def turn(cube, index):
    getattr(cube, TURNS[index])()


# ---------------------------------------------------------- generators --

class Hostile:
    """An int-like object whose conversion re-enters the receiver of the
    call it is an argument of, and may raise from inside the conversion."""

    def __init__(self, value, world, mode):
        self.value, self.world, self.mode = value, world, mode

    def __index__(self):
        receiver = self.world.receiver
        if self.mode == "raise":
            raise Planted("from __index__")
        if receiver is not None and self.mode in ("reenter", "reenter-swallow"):
            try:
                if isinstance(receiver, CubeBatch):
                    receiver.apply_move_indexes(np.zeros(0, dtype=np.uintp))
                else:
                    receiver.do_u_move()
            except RuntimeError as e:
                if str(e) not in BORROW_MESSAGES:
                    fail(f"re-entry raised {e!r}")
                if self.mode == "reenter":
                    raise
            else:
                fail("re-entering a borrowed receiver succeeded")
        return self.value

    __int__ = __index__


class IntSub(int):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class ArraySub(np.ndarray):
    pass


def any_int(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        return fdp.ConsumeIntInRange(-3, 30)
    if kind == 1:
        return fdp.PickValueInList([0, 1, 2, 3, 4, 11, 12, -1, 2**31 - 1, 2**31, 2**32 - 1,
                                    2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -2**63,
                                    -2**63 - 1, sys.maxsize, -sys.maxsize - 1, ABSURD_COUNT])
    if kind == 2:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 40))
    if kind == 3:
        return -fdp.ConsumeIntInRange(0, 2**64) << fdp.ConsumeIntInRange(0, 200)
    if kind == 4:
        return IntSub(fdp.ConsumeIntInRange(-5, 40))
    return fdp.ConsumeBool()


def move_text(fdp):
    parts = []
    for _ in range(fdp.ConsumeIntInRange(0, 12)):
        kind = fdp.ConsumeIntInRange(0, 4)
        if kind <= 1:
            parts.append(fdp.PickValueInList(TOKENS))
        elif kind == 2:
            parts.append(fdp.PickValueInList(list(WHITESPACE)))
        elif kind == 3:
            parts.append(fdp.PickValueInList(NEAR_MISSES))
        else:
            parts.append(fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 6)))
        if fdp.ConsumeBool():
            parts.append(" ")
    text = "".join(parts)
    return StrSub(text) if fdp.ConsumeIntInRange(0, 9) == 0 else text


def any_array(fdp, prefer=None):
    """An ndarray of arbitrary dtype, byte order, rank, stride, alignment and
    writability; with `prefer`, usually of that dtype in native order."""
    if prefer is not None and fdp.ConsumeIntInRange(0, 2) > 0:
        dtype = np.dtype(prefer)
    else:
        dtype = np.dtype(fdp.PickValueInList(DTYPES))
    if fdp.ConsumeIntInRange(0, 4) == 0 and dtype.byteorder != "|":
        dtype = dtype.newbyteorder(fdp.PickValueInList(["<", ">", "=", "S"]))
    count = fdp.ConsumeIntInRange(0, MAX_BATCH + 3)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        high = info.max if dtype.kind == "u" or dtype.itemsize < 8 else 200
        values = [fdp.ConsumeIntInRange(int(info.min), int(high)) if fdp.ConsumeBool()
                  else fdp.ConsumeIntInRange(max(int(info.min), -3), min(int(high), 14))
                  for _ in range(count * 2)]
        base = np.array(values, dtype=dtype)
    elif dtype.kind == "O":
        base = np.empty(count * 2, dtype=object)
        for i in range(count * 2):
            base[i] = fdp.PickValueInList([1, "U", None, 2.5, 2**70, Cube2x2()])
    else:
        raw = fdp.ConsumeBytes(count * 2 * dtype.itemsize)
        raw += b"\0" * (count * 2 * dtype.itemsize - len(raw))
        base = np.frombuffer(raw, dtype=dtype).copy()
    shape_kind = fdp.ConsumeIntInRange(0, 9)
    if shape_kind == 0:
        arr = base[:count][::2]                   # strided
    elif shape_kind == 1:
        arr = base[:count][::-1]                  # negative stride
    elif shape_kind == 2:
        arr = base.reshape(2, count)              # rank 2
    elif shape_kind == 3:
        arr = base.reshape(2, count).T            # rank 2, Fortran order
    elif shape_kind == 4:
        arr = base[:count].reshape(count, 1, 1)[..., 0, 0] if count else base[:0]
    elif shape_kind == 5:
        arr = np.array(base[0]) if count else base.reshape(2, 0)  # rank 0
    elif shape_kind == 6:                         # unaligned 1-D view
        buf = bytearray(count * dtype.itemsize + 1)
        arr = np.frombuffer(buf, dtype=dtype, offset=1, count=count) \
            if dtype.kind != "O" else base[:count]
    elif shape_kind == 7 and count:               # zero stride, read-only
        arr = np.broadcast_to(base[:1], (count,))
    elif shape_kind == 8:
        arr = base[:count].view(ArraySub)
    else:
        arr = base[:count]
    if fdp.ConsumeIntInRange(0, 3) == 0 and arr.flags.writeable:
        arr.flags.writeable = False
    return arr


def any_value(fdp, world, depth=0, prefer_array=None):
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind <= 2:
        return any_int(fdp)
    if kind == 3:
        return move_text(fdp)
    if kind == 4:
        return fdp.PickValueInList([None, 2.0, float("nan"), b"U", bytearray(b"R"),
                                    memoryview(b"F"), (), {}, object(), np.int64(3),
                                    np.uintp(2), np.float64(1.0)])
    if kind == 5:
        return Hostile(any_int(fdp), world,
                       fdp.PickValueInList(["plain", "raise", "reenter", "reenter-swallow"]))
    if kind <= 8:
        return any_array(fdp, prefer_array)
    if kind == 9 and depth < 2:
        return mixed_list(fdp, world, depth + 1)
    return fdp.PickValueInList(world.targets)


def mixed_list(fdp, world, depth=0):
    items = []
    for _ in range(fdp.ConsumeIntInRange(0, 5)):
        if fdp.ConsumeIntInRange(0, 2):
            items.append(fdp.PickValueInList(world.cubes))
        else:
            items.append(any_value(fdp, world, depth + 1))
    return ListSub(items) if fdp.ConsumeIntInRange(0, 7) == 0 else items


def as_index(value):
    """The integer an argument converts to, without running hostile code."""
    if isinstance(value, Hostile):
        return value.value
    try:
        return operator.index(value)
    except Exception:
        return None


def bounded_length(value):
    """A scramble length that converts to a long but feasible run becomes a
    short one: long runs are correct, only slow."""
    n = as_index(value)
    if n is None or not MAX_TURNS < n < 2**63:
        return value
    if isinstance(value, Hostile):
        return Hostile(n % MAX_TURNS, value.world, value.mode)
    return n % MAX_TURNS


def bounded_count(value):
    """Batch sizes are small or absurd; anything between would only burn memory."""
    n = as_index(value)
    if n is None or not MAX_BATCH < n < ABSURD_COUNT:
        return value
    return n % (MAX_BATCH + 1)


# ------------------------------------------------------------ the world --

class World:
    def __init__(self, fdp):
        self.receiver = None
        c3, c2 = Cube3x3(), Cube2x2()
        c3.do_moves(" ".join(fdp.PickValueInList(TOKENS) for _ in range(fdp.ConsumeIntInRange(0, 8))))
        c2.do_moves(" ".join(fdp.PickValueInList(TOKENS) for _ in range(fdp.ConsumeIntInRange(0, 8))))
        b3 = CubeBatch(fdp.ConsumeIntInRange(0, MAX_BATCH), 3)
        b2 = CubeBatch(fdp.ConsumeIntInRange(0, MAX_BATCH), 2)
        b3.apply_move_indexes(np.arange(len(b3), dtype=np.uintp) % 12)
        b2.apply_move_indexes(np.arange(len(b2), dtype=np.uintp)[::-1] % 12)
        self.cubes = [c3, c2]
        self.batches = [b3, b2]
        self.targets = self.cubes + self.batches

    def call(self, receiver, fn, args, kwargs, allowed=(), mutates=False):
        """Run fn; check the exception (if any) and the state of every
        cube and batch afterwards. Returns (ok, result)."""
        before = [snapshot(t) for t in self.targets]
        self.receiver = receiver
        try:
            result = fn(*args, **kwargs)
        except (KeyboardInterrupt, HarnessFailure):
            raise
        except BaseException as e:
            self.receiver = None
            check_exception(e, list(args) + list(kwargs.values()), allowed)
            after = [snapshot(t) for t in self.targets]
            if after != before:
                fail(f"{fn!r} raised {e!r} but changed state")
            return False, e
        self.receiver = None
        for t, old in zip(self.targets, before):
            if t is receiver and mutates:
                if isinstance(t, CubeBatch):
                    if len(t) != old[1]:
                        fail("batch length changed")
                    for cube in t:
                        cube_valid(cube)
                else:
                    cube_valid(t)
            elif snapshot(t) != old:
                fail(f"{fn!r} changed a cube it does not own")
        return True, result


def check_exception(e, args, allowed):
    if isinstance(e, Planted):
        return
    if isinstance(e, tessaroll.InternalError):
        fail(f"internal error escaped: {e!r}")
    if isinstance(e, RuntimeError):
        if str(e) in BORROW_MESSAGES:
            return
        fail(f"unexpected RuntimeError {e!r}")
    if isinstance(e, UnicodeEncodeError):
        if any(isinstance(a, str) and has_surrogate(a) for a in args):
            return
        fail(f"UnicodeEncodeError without a surrogate: {e!r} {args!r}")
    if isinstance(e, ValueError):
        if any(isinstance(a, np.ndarray) for a in args) and "contiguous" in str(e):
            return
        fail(f"unexpected ValueError {e!r}")
    if isinstance(e, (TypeError, IndexError, OverflowError, MemoryError) + tuple(allowed)):
        return
    fail(f"undocumented exception {type(e).__name__}: {e!r}")


def has_surrogate(text):
    return any(0xD800 <= ord(ch) <= 0xDFFF for ch in text)


def call_shape(fdp, world, args, kwargs):
    """Usually the call as given; sometimes extra positionals or a stray
    keyword, which must fail with TypeError before anything runs."""
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind == 0:
        return args + [any_value(fdp, world)], kwargs
    if kind == 1:
        return args, dict(kwargs, **{fdp.PickValueInList(["x", "moves", "cube_type", "index",
                                                          "scramble_length", "count"]): 1})
    return args, kwargs


# --------------------------------------------------------------- the ops --

def op_do_moves(fdp, world):
    cube = fdp.PickValueInList(world.cubes)
    text = move_text(fdp) if fdp.ConsumeIntInRange(0, 3) else any_value(fdp, world)
    args, kwargs = ([text], {}) if fdp.ConsumeBool() else ([], {"moves": text})
    args, kwargs = call_shape(fdp, world, args, kwargs)
    if len(args) + len(kwargs) == 1 and set(kwargs) <= {"moves"}:
        text = args[0] if args else kwargs["moves"]
        well_formed = isinstance(text, str) and not has_surrogate(text)
    else:
        well_formed = False
    before = snapshot(cube)
    ok, error = world.call(cube, cube.do_moves, args, kwargs, mutates=True)
    if well_formed:
        if not ok:
            fail(f"do_moves({text!r}) failed: {error!r}")
        # Turns are bijective: undoing the model's turns must lead back.
        after = snapshot(cube)
        turns = move_tokens(text)
        for index in reversed(turns):
            turn(cube, index ^ 1)
        if snapshot(cube) != before:
            fail(f"do_moves({text!r}) disagrees with the turn methods")
        for index in turns:
            turn(cube, index)
        if snapshot(cube) != after:
            fail("turn methods are not invertible")


def op_turn(fdp, world):
    cube = fdp.PickValueInList(world.cubes)
    name = fdp.PickValueInList(TURNS)
    args = [any_value(fdp, world)] if fdp.ConsumeIntInRange(0, 5) == 0 else []
    world.call(cube, getattr(cube, name), args, {}, mutates=True)


def op_scramble(fdp, world):
    cube = fdp.PickValueInList(world.cubes)
    if fdp.ConsumeIntInRange(0, 4) == 0:
        args, kwargs = [], {}
    else:
        value = bounded_length(any_value(fdp, world))
        args, kwargs = ([value], {}) if fdp.ConsumeBool() else ([], {"scramble_length": value})
    args, kwargs = call_shape(fdp, world, args, kwargs)
    args = [bounded_length(a) for a in args]
    kwargs = {k: bounded_length(v) for k, v in kwargs.items()}
    world.call(cube, cube.scramble, args, kwargs, mutates=True)


def op_read(fdp, world):
    target = fdp.PickValueInList(world.targets)
    names = {
        Cube3x3: ["to_binary_corners", "to_binary_edges", "to_binary", "get_corners",
                  "get_edges", "to_sticker_array", "is_solved", "__str__"],
        Cube2x2: ["to_binary", "get_corners", "to_sticker_array", "is_solved", "__str__"],
        CubeBatch: ["len", "__len__", "__str__", "get_next_states"],
    }[type(target)]
    name = fdp.PickValueInList(names)
    ok, result = world.call(target, getattr(target, name), [], {})
    if not ok:
        fail(f"{name}() failed")
    if name == "get_next_states":
        check_successors(target, result)


def op_attribute(fdp, world):
    cube = fdp.PickValueInList(world.cubes)
    name = fdp.PickValueInList(["corners", "state", "edges", "x"])
    world.call(cube, setattr, [cube, name, any_value(fdp, world)], {},
               allowed=(AttributeError,))


def op_inverse(fdp, world):
    text = move_text(fdp) if fdp.ConsumeIntInRange(0, 3) else any_value(fdp, world)
    args, kwargs = ([text], {}) if fdp.ConsumeBool() else ([], {"scramble": text})
    args, kwargs = call_shape(fdp, world, args, kwargs)
    ok, result = world.call(None, inverse_scramble, args, kwargs)
    if ok:
        if type(result) is not str:
            fail(f"inverse_scramble returned {type(result)}")
        words = split_tokens(text)
        if inverse_scramble(result) != " ".join(words):
            fail(f"inverse_scramble is not its own inverse on {text!r}")
        # The "!" spelling is copied, not inverted; without it the result
        # undoes the scramble.
        if any(len(w) == 2 and w[0] in FACES and w[1] == "!" for w in words):
            return
        for cube in (Cube3x3(), Cube2x2()):
            cube.do_moves(text)
            cube.do_moves(result)
            if not cube.is_solved():
                fail(f"inverse_scramble({text!r}) = {result!r} does not undo it")


def op_construct(fdp, world):
    count = bounded_count(any_value(fdp, world))
    cube_type = any_value(fdp, world) if fdp.ConsumeIntInRange(0, 2) == 0 \
        else fdp.PickValueInList([2, 3, 0, 1, 4, 2**32 + 2, -2])
    if fdp.ConsumeBool():
        args, kwargs = [count, cube_type], {}
    else:
        args, kwargs = [], {"count": count, "cube_type": cube_type}
    args, kwargs = call_shape(fdp, world, args, kwargs)
    args = [bounded_count(a) for a in args]
    kwargs = {k: bounded_count(v) for k, v in kwargs.items()}
    ok, batch = world.call(None, CubeBatch, args, kwargs)
    if ok:
        if len(batch) > MAX_BATCH or batch.len() != len(batch):
            fail(f"batch of unexpected length {len(batch)}")
        if not all(c.is_solved() for c in batch):
            fail("new batch not solved")


def op_index(fdp, world):
    batch = fdp.PickValueInList(world.batches)
    index = any_value(fdp, world)
    ok, cube = world.call(batch, batch.__getitem__, [index], {})
    if ok:
        i = int(index.value if isinstance(index, Hostile) else index)
        if i < 0:
            i += len(batch)
        if not 0 <= i < len(batch) or snapshot(cube) != snapshot(list(batch)[i]):
            fail(f"batch[{index!r}] returned the wrong cube")
        cube.do_u_move()  # a copy: the batch must not change
        if snapshot(list(batch)[i]) == snapshot(cube):
            fail("indexing returned a view, not a copy")


def op_batch_scramble(fdp, world):
    batch = fdp.PickValueInList(world.batches)
    value = any_value(fdp, world, prefer_array=np.int64)
    args, kwargs = ([value], {}) if fdp.ConsumeBool() else ([], {"scramble_lengths": value})
    args, kwargs = call_shape(fdp, world, args, kwargs)
    before = [snapshot(c) for c in batch]
    ok, _ = world.call(batch, batch.scramble, args, kwargs, mutates=True)
    if ok:
        # Cubes past the paired lengths, or with a length below 1, stay put.
        lengths = np.asarray(value, dtype=np.int64)
        for i, cube in enumerate(batch):
            if (i >= len(lengths) or lengths[i] < 1) and snapshot(cube) != before[i]:
                fail(f"batch scramble changed cube {i} it should not have")


def op_apply(fdp, world):
    batch = fdp.PickValueInList(world.batches)
    value = any_value(fdp, world, prefer_array=np.uintp)
    args, kwargs = ([value], {}) if fdp.ConsumeBool() else ([], {"move_indexes": value})
    args, kwargs = call_shape(fdp, world, args, kwargs)
    expected = list(batch)
    ok, _ = world.call(batch, batch.apply_move_indexes, args, kwargs, mutates=True)
    if ok:
        indexes = [int(v) for v in np.asarray(value)]
        for cube, index in zip(expected, indexes):
            if index < 12:
                turn(cube, index)
        if [snapshot(c) for c in batch] != [snapshot(c) for c in expected]:
            fail(f"apply_move_indexes({value!r}) disagrees with the turn methods")


def op_next_states(fdp, world):
    cubes = mixed_list(fdp, world) if fdp.ConsumeIntInRange(0, 3) else any_value(fdp, world)
    args, kwargs = ([cubes], {}) if fdp.ConsumeBool() else ([], {"cubes": cubes})
    args, kwargs = call_shape(fdp, world, args, kwargs)
    ok, result = world.call(None, get_next_states, args, kwargs)
    if ok:
        check_successors(cubes, result)


def check_successors(cubes, result):
    cubes = list(cubes)
    if not isinstance(result, np.ndarray) or result.dtype != np.int64 or result.ndim != 2:
        fail(f"successors are not a 2-D int64 array: {result!r}")
    if not cubes:
        if result.shape[0] != 0:
            fail("successors of nothing")
        return
    width = 54 if isinstance(cubes[0], Cube3x3) else 24
    if result.shape != (12 * len(cubes), width) or not result.flags.c_contiguous:
        fail(f"successor shape {result.shape} for {len(cubes)} cubes")
    for i, cube in enumerate(cubes):
        for k in range(12):
            # Turn the cube itself and back: cubes cannot be copied directly.
            turn(cube, k)
            row = cube.to_sticker_array()
            turn(cube, k ^ 1)
            if result[12 * i + k].tolist() != row:
                fail(f"successor row {12 * i + k} is wrong")


OPS = [op_do_moves, op_turn, op_scramble, op_read, op_attribute, op_inverse, op_construct,
       op_index, op_batch_scramble, op_apply, op_next_states]


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    world = World(fdp)
    for _ in range(fdp.ConsumeIntInRange(1, 6)):
        fdp.PickValueInList(OPS)(fdp, world)


def instrument_harness():
    """Coverage feedback from this file's own branches (which argument kinds
    and which outcomes were reached): the module under test is native and
    not instrumented, and instrumenting NumPy would only slow the search."""
    for obj in list(globals().values()):
        if inspect.isclass(obj) and obj.__module__ == __name__:
            for member in vars(obj).values():
                if inspect.isfunction(member):
                    atheris.instrument_func(member)
        elif inspect.isfunction(obj) and obj.__module__ == __name__:
            atheris.instrument_func(obj)


def main():
    instrument_harness()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
