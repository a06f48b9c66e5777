"""The learning half of examples/learn.py: features, networks, training data
and the beam search.

A search state is a row of piece codes: every corner slot holds one of 24
(piece, twist) pairs and every edge slot one of 24 (piece, flip) pairs, read
from the stickers by table, so a 3x3 state is 20 small integers (the 2x2
eight). A quarter turn moves pieces between fixed slots and changes their
twist or flip by an amount fixed by the turn and the slot, so the twelve
turns are two small tables, read once from CubeBatch.get_next_states(), and
the children of a whole beam are two NumPy gathers. That lets the search
start from any state, including those CubeBatch.scramble() draws, which come
with no list of turns to replay.

The 3x3 network reads the same codes, one-hot encoded inside the jitted
function. They also give an exact duplicate key: five bits per slot, corners
in one 64-bit word (with the start's number above them) and edges in
another.
"""

from __future__ import annotations

import copy
import hashlib
import queue
import threading
import time

import numpy as np

import tessaroll

import flax.linen as nn
import jax
import jax.numpy as jnp
import optax
from flax import serialization

STICKERS = {2: 24, 3: 54}
NO_MOVE = 12                       # a move index apply_move_indexes ignores

# Sticker indexes of facelets 0, 1, 2 of each corner slot (ULB UBR URF UFL
# DLB DBR DFR DFL) and facelets 0, 1 of each edge slot (UB UR UF UL DB DR DF
# DL BL BR FR FL), and the colours of the piece of the same number on them.
CORNER_FACELETS = {
    3: ((0, 47, 36), (2, 11, 45), (8, 20, 9), (6, 38, 18),
        (33, 42, 53), (35, 51, 17), (29, 15, 26), (27, 24, 44)),
    2: ((0, 21, 16), (1, 5, 20), (3, 9, 4), (2, 17, 8),
        (14, 18, 23), (15, 22, 7), (13, 6, 11), (12, 10, 19)),
}
EDGE_FACELETS = ((1, 46), (5, 10), (7, 19), (3, 37), (34, 52), (32, 16),
                 (28, 25), (30, 43), (50, 39), (48, 14), (23, 12), (21, 41))
CORNER_COLOURS = ((0, 5, 4), (0, 1, 5), (0, 2, 1), (0, 4, 2),
                  (3, 4, 5), (3, 5, 1), (3, 1, 2), (3, 2, 4))
EDGE_COLOURS = ((0, 5), (0, 1), (0, 2), (0, 4), (3, 5), (3, 1),
                (3, 2), (3, 4), (5, 4), (5, 1), (2, 1), (2, 4))


def _lookup_tables():
    """Colour triple (base 6) -> piece * 3 + twist, colour pair -> piece * 2 + flip;
    255 marks colours no piece shows."""
    corner = np.full(216, 255, np.uint8)
    for p, colours in enumerate(CORNER_COLOURS):
        for t in range(3):
            seen = [colours[(j + t) % 3] for j in range(3)]   # facelet j shows colour (j + t) mod 3
            corner[seen[0] * 36 + seen[1] * 6 + seen[2]] = p * 3 + t
    edge = np.full(36, 255, np.uint8)
    for p, colours in enumerate(EDGE_COLOURS):
        for f in range(2):
            edge[colours[f] * 6 + colours[(1 + f) % 2]] = p * 2 + f
    return corner, edge


CORNER_LUT, EDGE_LUT = _lookup_tables()


def piece_codes(rows: np.ndarray) -> np.ndarray:
    """(n, 54) or (n, 24) sticker rows -> (n, 20) or (n, 8) uint8 codes:
    piece * 3 + twist per corner slot, then piece * 2 + flip per edge slot."""
    cube = 3 if rows.shape[-1] == 54 else 2
    c = _CORNER_COLUMNS[cube]
    # Gather the facelets as bytes first: far less to widen than whole rows.
    f = rows[..., c].astype(np.int16)
    parts = [CORNER_LUT[(f[..., 0, :] * 6 + f[..., 1, :]) * 6 + f[..., 2, :]]]
    if cube == 3:
        e = rows[..., _EDGE_COLUMNS].astype(np.int16)
        parts.append(EDGE_LUT[e[..., 0, :] * 6 + e[..., 1, :]])
    return np.concatenate(parts, axis=-1)


_CORNER_COLUMNS = {k: np.asarray(v).T.copy() for k, v in CORNER_FACELETS.items()}   # [facelet, slot]
_EDGE_COLUMNS = np.asarray(EDGE_FACELETS).T.copy()


_CODE_MOVES = {}


def code_moves(cube: int):
    """Turns on piece codes: (source slots (12, P), new codes (12, P, 24)).

    The child of codes x by move m is new[m, s, x[source[m, s]]]: the piece
    in slot s came from slot source[m, s], its twist or flip changed by an
    amount that depends on the turn and the slot alone. Read off
    get_next_states() on random states."""
    if cube not in _CODE_MOVES:
        batch = tessaroll.CubeBatch(40, cube)
        batch.scramble(np.full(40, 60, dtype=np.int64))
        codes = piece_codes(np.array([c.to_sticker_array() for c in batch], dtype=np.uint8))
        children = piece_codes(batch.get_next_states().astype(np.uint8)).reshape(40, 12, -1)
        slots = codes.shape[1]
        source = np.empty((12, slots), np.intp)
        new = np.empty((12, slots, 24), np.uint8)
        for m in range(12):
            child = children[:, m]
            for s in range(slots):
                k = 3 if s < 8 else 2
                group = range(8) if s < 8 else range(8, slots)
                src = [t for t in group if (codes[:, t] // k == child[:, s] // k).all()]
                if len(src) != 1:
                    raise RuntimeError("turns do not move pieces as expected")
                source[m, s] = src[0]
                turn = (child[:, s].astype(np.int64) % k - codes[:, src[0]] % k) % k
                if (turn != turn[0]).any():
                    raise RuntimeError("a twist change depends on more than the turn and slot")
                c = np.arange(24)
                new[m, s] = c // k * k + (c % k + turn[0]) % k
        _CODE_MOVES[cube] = source, new
    return _CODE_MOVES[cube]


def children_codes(codes: np.ndarray) -> np.ndarray:
    """(n, P) codes -> (n * 12, P): the twelve children of each state, in move order."""
    source, new = code_moves(3 if codes.shape[1] == 20 else 2)
    slots = np.arange(codes.shape[1])
    moved = codes[:, source]                         # (n, 12, P)
    return new[np.arange(12)[:, None], slots, moved].reshape(-1, codes.shape[1])


def inverse_codes(codes: np.ndarray) -> np.ndarray:
    """The inverse states: if turns t1..tn make a state of a solved cube,
    its inverse is what tn^-1..t1^-1 make. Where slot s holds piece p
    twisted by t, the inverse holds piece s in slot p twisted by -t."""
    out = np.empty_like(codes)
    n = np.arange(len(codes))[:, None]
    for first, last, k in ((0, 8, 3), (8, codes.shape[1], 2)):
        c = codes[:, first:last].astype(np.intp)
        slots = np.arange(last - first, dtype=np.intp)
        out[n, first + c // k] = (slots * k + (-(c % k)) % k).astype(codes.dtype)
    return out


def code_rows(codes: np.ndarray) -> np.ndarray:
    """Piece codes back to sticker rows (the inverse of piece_codes)."""
    cube = 3 if codes.shape[1] == 20 else 2
    rows = np.empty((len(codes), STICKERS[cube]), np.uint8)
    if cube == 3:
        rows[:, 4::9] = np.arange(6, dtype=np.uint8)    # the centres
    corner = np.array([[CORNER_COLOURS[c // 3][(j + c % 3) % 3] for j in range(3)] for c in range(24)], np.uint8)
    for s, facelets in enumerate(CORNER_FACELETS[cube]):
        rows[:, facelets] = corner[codes[:, s]]
    if cube == 3:
        edge = np.array([[EDGE_COLOURS[c // 2][(j + c % 2) % 2] for j in range(2)] for c in range(24)], np.uint8)
        for s, facelets in enumerate(EDGE_FACELETS):
            rows[:, facelets] = edge[codes[:, 8 + s]]
    return rows


# ------------------------------------------------------------- symmetries
#
# The 48 symmetries of the cube (24 rotations, each with or without a
# mirror) as signed permutation matrices in a frame with x towards R, y
# towards U and z towards F. A symmetry M maps a state S to M S M^-1: the
# sticker at (position p, normal n) goes to (M p, M n) and every colour c
# becomes the colour of the face that M carries face c to. Turning face f
# then corresponds to turning face M f, the same way round for a rotation
# and the other way round for a mirror image, and solved maps to solved.

# Sticker faces in the order U R F D L B: outward normal, and the 3-D
# position of (row, column) as the face is seen in the sticker array.
_FACE_FRAMES = (
    ((0, 1, 0), lambda r, c: (c - 1, 1, r - 1)),
    ((1, 0, 0), lambda r, c: (1, 1 - r, 1 - c)),
    ((0, 0, 1), lambda r, c: (c - 1, 1 - r, 1)),
    ((0, -1, 0), lambda r, c: (c - 1, -1, 1 - r)),
    ((-1, 0, 0), lambda r, c: (-1, 1 - r, c - 1)),
    ((0, 0, -1), lambda r, c: (1 - c, 1 - r, -1)),
)
_TURN_FACES = "UDRLFB"          # face of move indexes 0-1, 2-3, ...
_STICKER_FACES = "URFDLB"


def _symmetry_matrices() -> np.ndarray:
    """(48, 3, 3) signed permutation matrices, the identity first."""
    import itertools
    out = []
    for perm in itertools.permutations(range(3)):
        for signs in itertools.product((1, -1), repeat=3):
            m = np.zeros((3, 3), np.int64)
            m[np.arange(3), perm] = signs
            out.append(m)
    out.sort(key=lambda m: not (m == np.eye(3, dtype=np.int64)).all())
    return np.array(out)


_SYMMETRIES = {}


def symmetries(cube: int):
    """The 48 symmetries on piece codes: (source (48, P), new (48, P, 24),
    moves (48, 12)). The image of codes x under symmetry k is
    new[k, s, x[source[k, s]]], and turning a state by move m and then
    mapping it equals mapping it and then turning by moves[k, m].
    Symmetry 0 is the identity."""
    if cube in _SYMMETRIES:
        return _SYMMETRIES[cube]
    n = 3 if cube == 3 else 2
    coords = (0, 2) if n == 2 else (0, 1, 2)     # the 2x2 keeps the corner facelets
    place, colour_of = {}, []
    for f, (normal, at) in enumerate(_FACE_FRAMES):
        for r in coords:
            for c in coords:
                place[(at(r, c), normal)] = len(colour_of)
                colour_of.append(f)
    keys = list(place)
    normals = np.array([nrm for nrm, _ in _FACE_FRAMES])
    slots = 20 if cube == 3 else 8
    source = np.empty((48, slots), np.intp)
    new = np.empty((48, slots, 24), np.uint8)
    moves = np.empty((48, 12), np.intp)
    # Every slot holds the same code c in row c of `uniform` (not a real
    # state, but each slot's facelets are read on their own); a random
    # state tells which slot each slot's piece comes from.
    uniform = code_rows(np.repeat(np.arange(24, dtype=np.uint8)[:, None], slots, axis=1))
    batch = tessaroll.CubeBatch(1, cube)
    batch.scramble(np.full(1, 60, dtype=np.int64))
    probe = piece_codes(np.array([batch[0].to_sticker_array()], np.uint8))[0]
    for k, m in enumerate(_symmetry_matrices()):
        target = np.array([place[(tuple(m @ p), tuple(m @ nrm))] for p, nrm in keys])
        face_to = [int(np.flatnonzero((normals == m @ nrm).all(axis=1))[0]) for nrm in normals]
        recolour = np.array(face_to, np.uint8)

        def mapped(rows):
            out = np.empty_like(rows)
            out[:, target] = recolour[rows]
            return piece_codes(out)

        new[k] = mapped(uniform).T
        image = mapped(code_rows(probe[None]))[0]
        for s in range(slots):
            k3 = 3 if s < 8 else 2
            group = range(8) if s < 8 else range(8, slots)
            # Pieces are told apart by the piece part of their codes.
            src = [t for t in group if new[k, s, probe[t]] // k3 == image[s] // k3]
            if len(src) != 1:
                raise RuntimeError("a symmetry does not move pieces between slots")
            source[k, s] = src[0]
        mirror = round(np.linalg.det(m)) < 0
        for t in range(12):
            f = _STICKER_FACES.index(_TURN_FACES[t // 2])
            moves[k, t] = 2 * _TURN_FACES.index(_STICKER_FACES[face_to[f]]) + ((t & 1) ^ mirror)
    _SYMMETRIES[cube] = source, new, moves
    return _SYMMETRIES[cube]


def symmetric_codes(codes: np.ndarray, which) -> np.ndarray:
    """(n, P) codes -> (len(which), n, P): their images under the symmetries `which`."""
    source, new, _ = symmetries(3 if codes.shape[1] == 20 else 2)
    which = np.asarray(which)
    slots = np.arange(codes.shape[1])
    moved = codes[:, source[which]]                       # (n, k, P)
    return new[which[None, :, None], slots, moved].transpose(1, 0, 2)


def canonical(codes: np.ndarray, chunk: int = 16384, ties: bool = False):
    """Each state's least image under the 48 symmetries, by exact key, and
    the first symmetry that gives it: (codes (n, P), which (n,)), and with
    `ties` also (n, 48) flags of every symmetry that gives it (more than one
    for a state that some symmetry leaves as it is). A network that reads
    canonical states sees each class of up to 48 equivalent states as one.

    The corner word decides almost always, so the edges of all 48 images
    are made only for the states whose least corner word is shared."""
    source, new, _ = symmetries(3 if codes.shape[1] == 20 else 2)
    out = np.empty_like(codes)
    which = np.empty(len(codes), np.intp)
    every = np.empty((len(codes), 48), bool) if ties else None
    k48 = np.arange(48)[:, None, None]
    shifts = np.uint64(5) * np.arange(8, dtype=np.uint64)
    for lo in range(0, len(codes), chunk):
        part = codes[lo:lo + chunk]
        n = np.arange(len(part))
        corners = new[k48, np.arange(8), part[:, source[:, :8]].transpose(1, 0, 2)]     # (48, n, 8)
        hi = (corners.astype(np.uint64) << shifts).sum(axis=2, dtype=np.uint64)
        best = hi == hi.min(axis=0)
        k = best.argmax(axis=0)
        shared = np.flatnonzero(best.sum(axis=0) > 1)
        if len(shared) and codes.shape[1] > 8:
            images = symmetric_codes(part[shared], np.arange(48))                        # (48, m, P)
            low = state_keys(images.reshape(-1, codes.shape[1]))[1].reshape(48, -1)
            low = np.where(best[:, shared], low, np.uint64(0xFFFFFFFFFFFFFFFF))
            k[shared] = low.argmin(axis=0)
            best[:, shared] = low == low.min(axis=0)
        which[lo:lo + chunk] = k
        out[lo:lo + chunk] = new[k[:, None], np.arange(codes.shape[1]), part[n[:, None], source[k]]]
        if ties:
            every[lo:lo + chunk] = best.T
    return (out, which, every) if ties else (out, which)


def state_keys(codes: np.ndarray, groups=None):
    """Exact keys: (corner word | group << 40, edge word), five bits a slot."""
    c = codes.astype(np.uint64)
    shifts = np.uint64(5) * np.arange(8, dtype=np.uint64)
    hi = (c[:, :8] << shifts).sum(axis=1, dtype=np.uint64)
    if groups is not None:
        hi |= np.asarray(groups, dtype=np.uint64) << np.uint64(40)
    if codes.shape[1] == 8:
        return hi, np.zeros(len(codes), np.uint64)
    lo = (c[:, 8:] << (np.uint64(5) * np.arange(12, dtype=np.uint64))).sum(axis=1, dtype=np.uint64)
    return hi, lo


# ----------------------------------------------------------------- network

class Net(nn.Module):
    """Integer features -> logits over the twelve quarter turns.

    `classes` one-hot classes per input (6 sticker colours or 24 piece
    codes); `hidden` plain Dense-LayerNorm-ReLU layers, then `blocks`
    pre-norm residual blocks of the last hidden width."""
    classes: int
    hidden: tuple
    blocks: int = 0

    @nn.compact
    def __call__(self, x):
        x = jax.nn.one_hot(x, self.classes, dtype=jnp.float32).reshape(x.shape[0], -1)
        for width in self.hidden:
            x = nn.relu(nn.LayerNorm()(nn.Dense(width)(x)))
        for _ in range(self.blocks):
            y = nn.Dense(x.shape[-1])(nn.relu(nn.LayerNorm()(x)))
            y = nn.Dense(x.shape[-1])(nn.relu(nn.LayerNorm()(y)))
            x = x + y
        if self.blocks:
            x = nn.relu(nn.LayerNorm()(x))
        return nn.Dense(12)(x)


def features(rows: np.ndarray, kind: str) -> np.ndarray:
    return piece_codes(rows) if kind == "pieces" else rows.astype(np.uint8, copy=False)


# ------------------------------------------------------------ training data

def walk_samples(cube: int, walkers: int, length: int, rng: np.random.Generator, clock):
    """Random walks of `length` turns from solved, none undoing the last turn.

    Returns (rows, labels, depths, walker, moves): every child at every step
    except the one that undoes the walker's last turn, as uint8 sticker rows;
    the move index that undoes the child's turn; the child's walk depth; the
    walker it came from; and the walks' turns, moves[k, w] being walker w's
    (k+1)-th turn. Sample i is walker[i] after its first depths[i] - 1 turns,
    turned by move index labels[i] ^ 1."""
    with clock("tessaroll"):
        batch = tessaroll.CubeBatch(walkers, cube)
    moves = np.empty((length, walkers), dtype=np.uintp)
    rows, labels, origin = [], [], []
    last = np.full(walkers, NO_MOVE, dtype=np.int64)
    keep = np.ones((walkers, 12), dtype=bool)
    for k in range(length):
        with clock("tessaroll"):
            children = batch.get_next_states().reshape(walkers, 12, -1)
        keep[:] = True
        if k:
            keep[np.arange(walkers), last ^ 1] = False
        rows.append(children[keep].astype(np.uint8))
        which = np.nonzero(keep)
        origin.append(which[0])
        labels.append((which[1] ^ 1).astype(np.int32))
        # The next turn: any of the eleven that do not undo the last one.
        step = rng.integers(0, 11, walkers)
        if k:
            step += step >= (last ^ 1)
        moves[k] = step
        last = step
        with clock("tessaroll"):
            batch.apply_move_indexes(moves[k])
    # Step 0 has twelve children per walker (there is no last turn to undo).
    depths = np.concatenate([np.full(12 * walkers, 1, np.int32),
                             np.repeat(np.arange(2, length + 1, dtype=np.int32), 11 * walkers)])
    return np.concatenate(rows), np.concatenate(labels), depths, np.concatenate(origin), moves


def data_chunk(cfg: dict, seed: int, index: int, clock):
    """Training chunk `index` of a run: shuffled (features, labels).

    Each chunk draws from its own generator, seeded by (seed, index), so a
    chunk is the same whichever thread makes it and whenever: a resumed or
    repeated run sees the very same samples."""
    rng = np.random.default_rng([seed, index])
    rows, labels, _, _, _ = walk_samples(cfg["cube"], cfg["walkers"], cfg["walk"], rng, clock)
    t = time.perf_counter()
    x = features(rows, cfg["features"])
    if cfg.get("canonical"):
        x, which = canonical(x)
        labels = symmetries(cfg["cube"])[2][which, labels].astype(labels.dtype)
    perm = rng.permutation(len(x))
    clock.spent["features"] = clock.spent.get("features", 0.0) + time.perf_counter() - t
    return x[perm], labels[perm]


class Prefetcher:
    """Makes chunks start, start + 1, ... on a thread, `depth` ahead of use,
    so that the training step never waits for walks (tessaroll releases the
    GIL in get_next_states, and the model step in XLA)."""

    def __init__(self, cfg, seed, start, clock, depth=2):
        self.queue = queue.Queue(maxsize=depth)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(cfg, seed, start, clock), daemon=True)
        self.thread.start()

    def _run(self, cfg, seed, index, clock):
        try:
            while not self.stop.is_set():
                item = data_chunk(cfg, seed, index, clock)
                while not self.stop.is_set():
                    try:
                        self.queue.put(item, timeout=0.1)
                        break
                    except queue.Full:
                        pass
                index += 1
        except BaseException as error:  # handed to the consumer
            self.queue.put(error)

    def get(self):
        item = self.queue.get()
        if isinstance(item, BaseException):
            raise item
        return item

    def close(self):
        self.stop.set()
        self.thread.join()


# ------------------------------------------------------------------ learner

def learning_rate(cfg: dict, step: int) -> float:
    """A function of the step number alone (a run's length in minutes is not
    known in advance, and a schedule that depended on it would not repeat):
    a short warm-up, then decay as 1/sqrt(step)."""
    warm = cfg.get("warmup", 0)
    lr = cfg["lr"] * min(1.0, (step + 1) / warm) if warm else cfg["lr"]
    half = cfg.get("decay", 0)
    return lr / np.sqrt(1.0 + step / half) if half else lr


class Learner:
    """Model, optimiser state, data position and history.

    Its whole state is `state()`: a nested dict of NumPy arrays and a
    JSON-able metadata dict; `Learner.from_state` rebuilds it."""

    def __init__(self, cfg: dict, seed: int):
        self.cfg = dict(cfg)
        self.cube = self.cfg["cube"]
        self.seed = seed
        if self.cfg.get("canonical") and self.cfg["features"] != "pieces":
            raise ValueError("canonical states need the piece-code features")
        self.model = Net(24 if self.cfg["features"] == "pieces" else 6, tuple(self.cfg["hidden"]),
                         self.cfg.get("blocks", 0))
        self.optimiser = optax.inject_hyperparams(optax.adam)(learning_rate=self.cfg["lr"])
        width = 8 + 12 * (self.cube == 3) if self.cfg["features"] == "pieces" else STICKERS[self.cube]
        self.params = self.model.init(jax.random.PRNGKey(seed), jnp.zeros((1, width), jnp.uint8))
        self.opt_state = self.optimiser.init(self.params)
        self.steps = 0
        self.samples = 0
        self.chunk = 0           # the data chunk being consumed, and how far
        self.used = 0
        self.train_seconds = 0.0
        self.history = []        # [train seconds, loss, validation solve rate or None]
        # No buffer donation: a Ctrl-C between the step and the assignment
        # of its result would leave the learner holding deleted arrays.
        self._train_step = jax.jit(self._step)
        self._log_probs = jax.jit(lambda p, x: jax.nn.log_softmax(self.model.apply(p, x)))

    @property
    def hidden(self):
        return tuple(self.cfg["hidden"])

    def _step(self, params, opt_state, x, labels, lr):
        def loss_fn(p):
            logits = self.model.apply(p, x)
            return optax.softmax_cross_entropy_with_integer_labels(logits, labels).mean()
        loss, grads = jax.value_and_grad(loss_fn)(params)
        opt_state.hyperparams["learning_rate"] = lr
        updates, opt_state = self.optimiser.update(grads, opt_state, params)
        return optax.apply_updates(params, updates), opt_state, loss

    def train_step(self, x, labels):
        """One Adam step; returns the loss as a JAX scalar (not waited for)."""
        lr = np.float32(learning_rate(self.cfg, self.steps))
        self.params, self.opt_state, loss = self._train_step(self.params, self.opt_state, x, labels, lr)
        self.steps += 1
        self.samples += len(x)
        return loss

    def log_probs(self, codes: np.ndarray, chunk: int = 8192) -> np.ndarray:
        """Log-probabilities of the twelve turns for each state (piece codes),
        in power-of-two padded chunks so that compiled functions are reused."""
        x = codes if self.cfg["features"] == "pieces" else code_rows(codes)
        which = None
        if self.cfg.get("canonical"):
            x, _, which = canonical(x, ties=True)
        out = np.empty((len(x), 12), dtype=np.float32)
        for lo in range(0, len(x), chunk):
            part = x[lo:lo + chunk]
            size = 1 << max(6, (len(part) - 1).bit_length())
            padded = np.zeros((size, x.shape[1]), np.uint8)
            padded[:len(part)] = part
            out[lo:lo + len(part)] = np.asarray(self._log_probs(self.params, padded))[:len(part)]
        if which is not None:
            # Turn m of a state is turn moves[k, m] of its image under
            # symmetry k. A state that symmetries leave as it is maps to its
            # canonical form by several: average over them, so that the
            # probabilities are as symmetric as the state.
            moves = symmetries(self.cube)[2]
            p = np.zeros_like(out)
            for k in np.flatnonzero(which.any(axis=0)):
                rows = np.flatnonzero(which[:, k])
                p[rows] += np.exp(out[rows][:, moves[k]])
            out = np.log(p / which.sum(axis=1, keepdims=True)).astype(np.float32)
        return out

    def weights_digest(self) -> str:
        """SHA-256 of the network's weights (names, shapes, dtypes, bytes):
        equal digests, bit-identical models."""
        h = hashlib.sha256()
        for path, leaf in jax.tree_util.tree_flatten_with_path(jax.device_get(self.params))[0]:
            leaf = np.ascontiguousarray(leaf)
            h.update(f"{jax.tree_util.keystr(path)} {leaf.dtype} {leaf.shape}\n".encode())
            h.update(leaf.tobytes())
        return h.hexdigest()

    def state(self):
        arrays = {"params": serialization.to_state_dict(jax.device_get(self.params)),
                  "opt_state": serialization.to_state_dict(jax.device_get(self.opt_state))}
        arrays = jax.tree_util.tree_map(np.asarray, arrays)
        meta = {"cube": self.cube, "config": copy.deepcopy(self.cfg), "seed": self.seed, "steps": self.steps,
                "samples": self.samples, "chunk": self.chunk, "used": self.used,
                "train_seconds": self.train_seconds, "history": [list(h) for h in self.history]}
        return arrays, meta

    @classmethod
    def from_state(cls, arrays, meta) -> "Learner":
        learner = cls(meta["config"], meta["seed"])
        for name in ("params", "opt_state"):
            target = getattr(learner, name)
            loaded = _fill(serialization.to_state_dict(target), arrays[name])
            setattr(learner, name, serialization.from_state_dict(target, loaded))
        for key in ("steps", "samples", "chunk", "used", "train_seconds"):
            setattr(learner, key, meta[key])
        learner.history = [tuple(h) for h in meta["history"]]
        return learner


def _fill(template, loaded):
    """`loaded` on the shape of `template`: a file of arrays keeps no empty
    dicts (an optimiser's unused slots), so those come from the template;
    every leaf comes from `loaded` and must be there."""
    if isinstance(template, dict):
        return {k: _fill(v, loaded.get(k, {}) if isinstance(v, dict) and not v else loaded[k])
                for k, v in template.items()}
    value = jnp.asarray(loaded)
    if value.shape != np.shape(template):
        raise ValueError(f"an array of shape {value.shape} does not fit the model's {np.shape(template)}")
    return value


# ------------------------------------------------------------------- search

def scramble_rows(cube: int, scrambles, moves) -> np.ndarray:
    """Sticker rows of the scrambles (lists of move indexes), by do_moves."""
    out = np.empty((len(scrambles), STICKERS[cube]), np.uint8)
    for i, s in enumerate(scrambles):
        c = tessaroll.Cube3x3() if cube == 3 else tessaroll.Cube2x2()
        c.do_moves(" ".join(moves[m] for m in s))
        out[i] = c.to_sticker_array()
    return out


def _first_of_runs(*columns) -> np.ndarray:
    """For sorted equal-length key columns: True where a row differs from the one before."""
    first = np.ones(len(columns[0]), dtype=bool)
    if len(first) > 1:
        same = np.ones(len(first) - 1, dtype=bool)
        for col in columns:
            same &= col[1:] == col[:-1]
        first[1:] = ~same
    return first


class NearTable:
    """Every state within `depth` quarter turns of solved, with its distance
    and a turn that brings it one closer: a search aid that is not learned.

    Built breadth-first from the solved cube over the sticker permutations;
    looked up by the exact keys. Depth 5 holds 105,046 states (3x3), depth 6
    984,000 and so on, about 9.4 times more per turn."""

    def __init__(self, cube: int, depth: int):
        solved = piece_codes(np.repeat(np.arange(6, dtype=np.uint8), STICKERS[cube] // 6)[None])
        hi, lo = state_keys(solved)
        keys = [(hi, lo, np.zeros(1, np.uint8), np.full(1, NO_MOVE, np.uint8))]
        frontier, seen_hi, seen_lo = solved, hi, lo
        for d in range(1, depth + 1):
            children = children_codes(frontier)
            c_hi, c_lo = state_keys(children)
            order = np.lexsort((c_lo, c_hi))
            new = order[_first_of_runs(c_hi[order], c_lo[order])]
            new = new[~_member(seen_hi, seen_lo, c_hi[new], c_lo[new])]
            back = ((new % 12) ^ 1).astype(np.uint8)    # undoes the turn that made it
            keys.append((c_hi[new], c_lo[new], np.full(len(new), d, np.uint8), back))
            frontier = children[new]
            seen_hi, seen_lo = _sorted_union(seen_hi, seen_lo, c_hi[new], c_lo[new])
        hi, lo, dist, back = (np.concatenate(k) for k in zip(*keys))
        order = np.lexsort((lo, hi))
        self.hi, self.lo, self.dist, self.back = hi[order], lo[order], dist[order], back[order]
        self.depth = depth

    def __len__(self):
        return len(self.hi)

    def find(self, hi, lo) -> np.ndarray:
        """Index into the table for each key, or -1."""
        return _find(self.hi, hi, (self.lo, lo))

    def finish(self, codes) -> list[int]:
        """The turns from a state in the table (its piece codes) to solved."""
        path = []
        k = self.find(*state_keys(codes[None]))[0]
        while self.dist[k]:
            path.append(int(self.back[k]))
            codes = children_codes(codes[None])[self.back[k]]
            k = self.find(*state_keys(codes[None]))[0]
        return path


def _find(t_sort, keys, *pairs) -> np.ndarray:
    """Positions in a table sorted by the column t_sort of the rows whose
    t_sort equals `keys` and whose other columns equal the given keys
    (`pairs` of table column, keys), or -1."""
    out = np.full(len(keys), -1, np.int64)
    if not len(t_sort):
        return out
    pos = np.searchsorted(t_sort, keys, side="left")
    end = np.searchsorted(t_sort, keys, side="right")
    k = 0
    while True:
        live = np.flatnonzero(pos + k < end)
        if not len(live):
            return out
        j = pos[live] + k
        hit = np.ones(len(live), bool)
        for column, key in pairs:
            hit &= column[j] == key[live]
        out[live[hit]] = j[hit]
        k += 1


def _member(t_hi, t_lo, hi, lo) -> np.ndarray:
    return _find(t_hi, hi, (t_lo, lo)) >= 0


def _sorted_union(a_hi, a_lo, b_hi, b_lo):
    hi, lo = np.concatenate([a_hi, b_hi]), np.concatenate([a_lo, b_lo])
    order = np.lexsort((lo, hi))
    return hi[order], lo[order]


class KeySet:
    """A set of exact two-word keys, kept sorted by a 64-bit mix of both
    words so that a lookup is one searchsorted and adding n keys to V costs
    O(V + n log n), not a sort of everything. Equal mixes of different keys
    (all but impossible) are told apart by comparing the words themselves."""

    MIX = np.uint64(0x9E3779B97F4A7C15)

    def __init__(self):
        self.h = np.zeros(0, np.uint64)
        self.hi = np.zeros(0, np.uint64)
        self.lo = np.zeros(0, np.uint64)

    def __len__(self):
        return len(self.h)

    def _mix(self, hi, lo):
        with np.errstate(over="ignore"):
            x = hi * self.MIX ^ lo
            x ^= x >> np.uint64(31)
            return x * self.MIX

    def contains(self, hi, lo) -> np.ndarray:
        return _find(self.h, self._mix(hi, lo), (self.hi, hi), (self.lo, lo)) >= 0

    def add(self, hi, lo) -> None:
        """Add keys that are distinct and not in the set."""
        h = self._mix(hi, lo)
        order = np.argsort(h, kind="stable")
        h, hi, lo = h[order], hi[order], lo[order]
        at = np.searchsorted(self.h, h)
        self.h, self.hi, self.lo = np.insert(self.h, at, h), np.insert(self.hi, at, hi), np.insert(self.lo, at, lo)


def inverse_path(path):
    """The turns that undo `path`: reversed, each turn inverted."""
    return None if path is None else [m ^ 1 for m in reversed(path)]


def beam_search_both(rows: np.ndarray, score, width: int, max_depth: int, clock, table=None):
    """beam_search on each state and on its inverse state in one batch.

    A solution q of the inverse state S^-1 is a path that makes S of a
    solved cube, so q undone solves S. The two searches see different
    states and often end at different lengths; each start keeps the
    shorter (the state's own on a tie)."""
    codes = piece_codes(rows)
    both = np.concatenate([rows, code_rows(inverse_codes(codes))])
    found = beam_search(both, score, width, max_depth, clock, table)
    out = []
    for direct, inverse in zip(found[:len(rows)], found[len(rows):]):
        inverse = inverse_path(inverse)
        out.append(inverse if direct is None or (inverse is not None and len(inverse) < len(direct)) else direct)
    return out


def beam_search(rows: np.ndarray, score, width: int, max_depth: int, clock, table=None):
    """Solve every start state (uint8 sticker rows) by a beam of `width` each.

    The beam holds piece codes. `score(codes)` returns (n, 12)
    log-probabilities of the turns from each state; a child's score is its path's sum of them. Each depth keeps, per
    start, the `width` best children that are new states: exact duplicates
    (within the depth, and of any state this start's beam held before) are
    dropped, best score first. A start stops at the first depth whose
    children include the solved cube, or, given a NearTable, a state in it
    (which then finishes the path by the table's turns). Returns, per start,
    its solution as move indexes or None."""
    cube = 3 if rows.shape[1] == 54 else 2
    codes = piece_codes(rows)
    s_hi, s_lo = state_keys(piece_codes(np.repeat(np.arange(6, dtype=np.uint8), STICKERS[cube] // 6)[None]))
    solutions = [None] * len(rows)
    hi, lo = state_keys(codes)
    for g in np.flatnonzero((hi == s_hi) & (lo == s_lo)):
        solutions[g] = []
    if table is not None:
        for g in np.flatnonzero(table.find(hi, lo) >= 0):
            solutions[g] = table.finish(codes[g])
    groups = np.array([g for g in range(len(rows)) if solutions[g] is None], dtype=np.int64)
    beam = codes[groups]
    scores = np.zeros(len(groups), np.float32)
    last = np.full(len(groups), NO_MOVE, np.int64)
    trail = []                      # per depth: (parent index, move) of each beam entry
    visited = KeySet()              # the states the beams held
    for depth in range(max_depth):
        if not len(groups):
            break
        with clock("model"):
            logp = score(beam)
        with clock("children"):
            child_scores = scores[:, None] + logp
            undo = last < NO_MOVE
            child_scores[np.flatnonzero(undo), last[undo] ^ 1] = -np.inf
            child_scores = child_scores.ravel()
            children = children_codes(beam)
            child_groups = np.repeat(groups, 12)
            hi, lo = state_keys(children, child_groups)
        with clock("select"):
            corner_word = hi & np.uint64((1 << 40) - 1)
            if table is None:
                done = np.flatnonzero((lo == s_lo) & (corner_word == s_hi))
                remaining = np.zeros(len(done), np.int64)
            else:
                found = table.find(corner_word, lo)
                done = np.flatnonzero((found >= 0) & np.isfinite(child_scores))
                remaining = table.dist[found[done]].astype(np.int64)
                done = done[np.lexsort((remaining,))]   # the nearest first
            finished_now = set()
            for i in done:
                g = int(child_groups[i])
                if solutions[g] is None:
                    path = [int(i % 12)]
                    j = i // 12
                    for parents, moves in reversed(trail):
                        path.append(int(moves[j]))
                        j = parents[j]
                    solutions[g] = path[::-1] + (table.finish(children[i]) if table is not None else [])
                    finished_now.add(g)
            alive = np.isfinite(child_scores)
            if finished_now:
                alive &= ~np.isin(child_groups, list(finished_now))
            alive = np.flatnonzero(alive)
            # The best copy of each state per start: sort by key, then score.
            order = np.lexsort((-child_scores[alive], lo[alive], hi[alive]))
            picked = alive[order]
            keep = _first_of_runs(hi[picked], lo[picked])
            picked = picked[keep]
            if len(visited):   # drop states this start's beam held before
                picked = picked[~visited.contains(hi[picked], lo[picked])]
            # The best `width` per start.
            order = np.lexsort((-child_scores[picked], child_groups[picked]))
            picked = picked[order]
            g_sorted = child_groups[picked]
            starts = np.searchsorted(g_sorted, g_sorted, side="left")
            picked = picked[np.arange(len(picked)) - starts < width]
            visited.add(hi[picked], lo[picked])
            trail.append((picked // 12, (picked % 12).astype(np.uint8)))
            groups = child_groups[picked]
            scores = child_scores[picked]
            last = picked % 12
            beam = children[picked]
    return solutions

