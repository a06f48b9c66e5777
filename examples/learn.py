"""Train a policy network on cube states from CubeBatch and solve by batched beam search.

Training data are random walks from the solved cube run on a CubeBatch: at
each step get_next_states() gives all twelve children of every walker, each
child is a sample labelled with the move that undoes the turn that made it,
and apply_move_indexes() moves every walker on. A JAX/Flax MLP learns those
labels (cross-entropy, optax Adam).

The search keeps, for every scramble, a beam of move paths. Each depth it
rebuilds the beam as a CubeBatch by replaying the scramble and the paths with
apply_move_indexes (the module has no constructor from a state), takes all
children with get_next_states(), scores each child by its path's cumulative
log-probability under the policy, drops duplicate states, keeps the best
--beam per scramble and stops a scramble at the first depth that reaches the
solved state. On the 2x2, examples/solve.py's bidirectional search gives the
optimal length of every test scramble.

    python examples/learn.py --cube 2 --minutes 3 --scrambles 100 --seed 0
    python examples/learn.py --cube 3 --minutes 10 --scrambles 20 --chart /tmp/learn3.png
    python examples/learn.py --cube 3 --test set.txt --checkpoint learn-3x3.ckpt --out set.jsonl [--ray]

--test evaluates a trained checkpoint on a benchmark file (batchrun.py
beside this file says what it may hold), in this process or as Ray tasks.
"""

from __future__ import annotations

import argparse
import math
import os
import subprocess
import sys
import time
from contextlib import contextmanager

import numpy as np

import tessaroll

try:
    import flax.linen as nn
    import jax
    import jax.numpy as jnp
    import optax
    import tqdm  # noqa: F401  progress bars on a terminal (batchrun.bar)
except ImportError as missing:  # pragma: no cover - depends on the environment
    raise SystemExit(f"examples/learn.py needs the learn extra ({missing.name} is missing): "
                     'pip install ".[learn]" (Python 3.10+)') from None

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import batchrun  # noqa: E402  benchmark files, results, progress and Ray
import checkpoint  # noqa: E402  checkpoint files: data only
import solve as oracle  # noqa: E402  the exact 2x2 solver
from checkpoint import CheckpointError  # noqa: E402

MOVES = oracle.MOVES
MODELS = oracle.MODELS
STICKERS = {2: 24, 3: 54}
NO_MOVE = 12                       # a move index apply_move_indexes ignores
SETTINGS = {                       # per cube: walk length, layers, beam, search cap
    2: dict(walk=18, hidden=(1024, 1024, 512), beam=4096, max_depth=24, batch=1024),
    3: dict(walk=24, hidden=(1024, 512, 512), beam=1024, max_depth=30, batch=1024),
}
SCRAMBLE_DEPTHS_3X3 = (5, 10, 15, 20)


class Clock:
    """Wall time per kind of work: tessaroll calls, the model, and the rest."""

    def __init__(self):
        self.spent = {"tessaroll": 0.0, "model": 0.0, "replay": 0.0, "validation": 0.0}
        self.started = time.perf_counter()

    @contextmanager
    def __call__(self, kind):
        t = time.perf_counter()
        try:
            yield
        finally:
            self.spent[kind] += time.perf_counter() - t

    def shares(self, since=None):
        wall = time.perf_counter() - (self.started if since is None else since)
        engine = self.spent["tessaroll"] + self.spent["replay"]
        check = self.spent["validation"]
        glue = max(0.0, wall - engine - self.spent["model"] - check)
        return (f"{wall:.1f} s wall: tessaroll {100 * engine / wall:.1f}% "
                f"(of it replaying beams {100 * self.spent['replay'] / wall:.1f}%), "
                f"model {100 * self.spent['model'] / wall:.1f}%, Python glue {100 * glue / wall:.1f}%"
                + (f", validation solves {100 * check / wall:.1f}%" if check else ""))


class Policy(nn.Module):
    """Stickers -> logits over the twelve quarter turns (one-hot colours in)."""
    hidden: tuple

    @nn.compact
    def __call__(self, stickers):
        x = jax.nn.one_hot(stickers, 6, dtype=jnp.float32).reshape(stickers.shape[0], -1)
        for width in self.hidden:
            x = nn.relu(nn.LayerNorm()(nn.Dense(width)(x)))
        return nn.Dense(12)(x)


def walk_samples(cube: int, walkers: int, length: int, rng: np.random.Generator, clock: Clock):
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


class Learner:
    """Model, optimiser state and the training history, with checkpoints."""

    def __init__(self, cube: int, seed: int, hidden=None, lr=1e-3):
        self.cube = cube
        self.hidden = tuple(hidden or SETTINGS[cube]["hidden"])
        self.model = Policy(self.hidden)
        self.optimiser = optax.inject_hyperparams(optax.adam)(learning_rate=lr)
        self.base_lr = lr
        self.params = self.model.init(jax.random.PRNGKey(seed), jnp.zeros((1, STICKERS[cube]), jnp.uint8))
        self.opt_state = self.optimiser.init(self.params)
        self.rng = np.random.default_rng(seed)
        self.steps = 0
        self.samples = 0
        self.train_seconds = 0.0
        self.history = []              # (train seconds, loss, solve rate or None)
        self._train_step = jax.jit(self._step)
        self._log_probs = jax.jit(lambda p, x: jax.nn.log_softmax(self.model.apply(p, x)))

    def _step(self, params, opt_state, rows, labels, lr):
        def loss_fn(p):
            logits = self.model.apply(p, rows)
            return optax.softmax_cross_entropy_with_integer_labels(logits, labels).mean()
        loss, grads = jax.value_and_grad(loss_fn)(params)
        opt_state.hyperparams["learning_rate"] = lr
        updates, opt_state = self.optimiser.update(grads, opt_state, params)
        return optax.apply_updates(params, updates), opt_state, loss

    def train_step(self, rows, labels, progress: float) -> float:
        """One Adam step; the learning rate decays over the last half of training."""
        lr = self.base_lr * (1.0 if progress < 0.5 else max(0.05, 2.0 * (1.0 - progress)))
        self.params, self.opt_state, loss = self._train_step(self.params, self.opt_state, rows, labels, lr)
        self.steps += 1
        self.samples += len(rows)
        return float(loss)

    def log_probs(self, rows: np.ndarray, chunk: int = 4096) -> np.ndarray:
        """Log-probabilities of the twelve turns for each sticker row, in
        fixed-size chunks so that the compiled function is reused."""
        out = np.empty((len(rows), 12), dtype=np.float32)
        for lo in range(0, len(rows), chunk):
            part = rows[lo:lo + chunk]
            size = len(part) if len(rows) <= chunk else chunk
            size = 1 << max(6, (size - 1).bit_length())
            padded = np.zeros((size, rows.shape[1]), np.uint8)
            padded[:len(part)] = part
            out[lo:lo + len(part)] = np.asarray(self._log_probs(self.params, padded))[:len(part)]
        return out

    def state(self):
        """(arrays, meta): the whole state as a nested dict of NumPy arrays
        (the parameters, and the optimiser state's leaves in order) and a
        JSON-able dict of everything else, the architecture included."""
        leaves = jax.tree_util.tree_leaves(jax.device_get(self.opt_state))
        arrays = {"params": jax.device_get(self.params),
                  "opt_state": {f"{i:04d}": np.asarray(leaf) for i, leaf in enumerate(leaves)}}
        meta = {"cube": self.cube, "hidden": list(self.hidden), "base_lr": self.base_lr,
                "rng": self.rng.bit_generator.state, "steps": self.steps, "samples": self.samples,
                "train_seconds": self.train_seconds, "history": [list(h) for h in self.history]}
        return arrays, meta

    @classmethod
    def from_state(cls, arrays, meta) -> "Learner":
        """The learner that state() described; ValueError or TypeError
        names what does not fit."""
        def whole(v, low=0):
            return type(v) is int and v >= low

        def number(v):
            return type(v) in (int, float) and math.isfinite(v)

        cube, hidden, lr = meta["cube"], meta["hidden"], meta["base_lr"]
        if cube not in (2, 3) or type(cube) is not int:
            raise ValueError(f"cube {cube!r} is neither 2 nor 3")
        if not (isinstance(hidden, list) and hidden and all(whole(h, 1) and h <= 1 << 16 for h in hidden)):
            raise ValueError(f"hidden {hidden!r} is not a list of layer widths")
        if not (number(lr) and lr > 0):
            raise ValueError(f"base_lr {lr!r} is not a positive number")
        for key in ("steps", "samples"):
            if not whole(meta[key]):
                raise ValueError(f"{key} {meta[key]!r} is not a count")
        if not (number(meta["train_seconds"]) and meta["train_seconds"] >= 0):
            raise ValueError(f"train_seconds {meta['train_seconds']!r} is not a time")
        history = meta["history"]
        if not isinstance(history, list) or not all(      # a loss may be nan
                isinstance(h, list) and len(h) == 3 and number(h[0]) and type(h[1]) in (int, float)
                and (h[2] is None or number(h[2])) for h in history):
            raise ValueError("history is not a list of (seconds, loss, rate) entries")
        learner = cls(cube, 0, hidden, lr)
        learner.rng.bit_generator.state = meta["rng"]
        for name, fresh in (("params", learner.params), ("opt_state", learner.opt_state)):
            want, tree = jax.tree_util.tree_flatten(fresh)
            got = arrays[name]
            got = [got[k] for k in sorted(got)] if name == "opt_state" else jax.tree_util.tree_leaves(got)
            if name == "params" and jax.tree_util.tree_structure(arrays[name]) != tree:
                raise ValueError("its parameters are not those of the architecture its metadata names")
            if len(got) != len(want) or any(np.shape(a) != np.shape(b) or np.asarray(a).dtype != np.asarray(b).dtype
                                            for a, b in zip(got, want)):
                raise ValueError(f"its {name} arrays do not fit the architecture its metadata names")
            value = jax.tree_util.tree_unflatten(tree, [jnp.asarray(a) for a in got])
            setattr(learner, name, value)
        learner.steps, learner.samples = meta["steps"], meta["samples"]
        learner.train_seconds = float(meta["train_seconds"])
        learner.history = [tuple(h) for h in history]
        return learner

    def save(self, path: str) -> None:
        """Write atomically: an interrupted save leaves the previous file."""
        checkpoint.save(path, *self.state())

    @classmethod
    def load(cls, path: str) -> "Learner":
        """The learner a checkpoint file holds, or CheckpointError."""
        arrays, meta = checkpoint.load(path)
        try:
            return cls.from_state(arrays, meta)
        except (ValueError, TypeError, KeyError) as e:
            detail = f"no {e}" if isinstance(e, KeyError) else str(e)
            raise CheckpointError(f"{path}: not a checkpoint this learn.py can use ({detail})") from None


def random_scrambles(rng: np.random.Generator, count: int, low: int, high: int) -> list[list[int]]:
    return [[int(m) for m in rng.integers(0, 12, int(rng.integers(low, high + 1)))] for _ in range(count)]


def replay(cube: int, scrambles: list[list[int]], groups: np.ndarray, paths: np.ndarray, clock: Clock):
    """A CubeBatch holding, for each beam entry i, scramble groups[i] turned by paths[i]."""
    longest = max(len(s) for s in scrambles)
    table = np.full((len(scrambles), longest), NO_MOVE, dtype=np.uintp)
    for g, s in enumerate(scrambles):
        table[g, :len(s)] = s
    columns = np.ascontiguousarray(table[groups].T)
    path_columns = np.ascontiguousarray(paths.T.astype(np.uintp))
    with clock("replay"):
        batch = tessaroll.CubeBatch(len(groups), cube)
        for column in columns:
            batch.apply_move_indexes(column)
        for column in path_columns:
            batch.apply_move_indexes(column)
    return batch


def state_keys(rows: np.ndarray) -> np.ndarray:
    """A 64-bit key per sticker row: exact on the 2x2 (base 6, 24 digits
    fit), a wrapping random-weight hash on the 3x3 (a clash within one
    beam has a probability around 2**-40)."""
    if rows.shape[1] == 24:
        weights = 6 ** np.arange(24, dtype=np.uint64)
    else:
        weights = np.random.default_rng(54).integers(1, 2**63, 54, dtype=np.uint64) * np.uint64(2) + np.uint64(1)
    return (rows.astype(np.uint64) * weights).sum(axis=1, dtype=np.uint64)


GROUP_MIX = np.uint64(0x9E3779B97F4A7C15)   # spreads the scramble number over a key's bits


def beam_search(cube, scrambles, score, width, max_depth, clock):
    """Solve every scramble (lists of move indexes) by a beam of `width`.

    `score(rows)` returns an (n, 12) array of log-probabilities of the turns
    from each sticker row. Returns a list with, per scramble, its solution as
    move indexes or None."""
    solved_key = state_keys(np.array([MODELS[cube]().to_sticker_array()]))[0]
    solutions = [None] * len(scrambles)
    for g, s in enumerate(scrambles):   # scrambles that need no turn
        c = MODELS[cube]()
        c.do_moves(" ".join(MOVES[m] for m in s))
        if c.is_solved():
            solutions[g] = []
    groups = np.array([g for g in range(len(scrambles)) if solutions[g] is None], dtype=np.int64)
    paths = np.zeros((len(groups), 0), dtype=np.uint8)
    scores = np.zeros(len(groups), dtype=np.float32)
    rows = None
    visited = np.zeros(0, dtype=np.uint64)   # keys of the states the beams held
    for depth in range(max_depth):
        if not len(groups):
            break
        batch = replay(cube, scrambles, groups, paths, clock)
        with clock("tessaroll"):
            children = batch.get_next_states()
        if rows is None:   # the scrambled cubes themselves, for the first scores
            rows = np.zeros((len(groups), children.shape[1]), np.uint8)
            for i, g in enumerate(groups):
                c = MODELS[cube]()
                c.do_moves(" ".join(MOVES[m] for m in scrambles[g]))
                rows[i] = c.to_sticker_array()
        with clock("model"):
            child_scores = (scores[:, None] + score(rows)).ravel()
        if depth:   # a turn that undoes the path's last one leads back
            child_scores.reshape(-1, 12)[np.arange(len(groups)), paths[:, -1] ^ 1] = -np.inf
        child_groups = np.repeat(groups, 12)
        all_keys = state_keys(children)
        done = all_keys == solved_key
        for i in np.flatnonzero(done):
            g = child_groups[i]
            if solutions[g] is None:
                solutions[g] = [int(m) for m in paths[i // 12]] + [int(i % 12)]
        finished = np.array([solutions[g] is not None for g in range(len(scrambles))])
        alive = np.flatnonzero(~finished[child_groups] & np.isfinite(child_scores))
        # The best-scored copy of each state per scramble, then the best
        # `width` states per scramble.
        # A state this scramble's beam held before is reached again by a
        # longer path: drop it too.
        keys = all_keys[alive] ^ (child_groups[alive].astype(np.uint64) * GROUP_MIX)
        order = np.lexsort((-child_scores[alive], keys))
        picked, keys = alive[order], keys[order]
        first = np.ones(len(picked), dtype=bool)
        first[1:] = keys[1:] != keys[:-1]
        where = np.minimum(np.searchsorted(visited, keys), max(len(visited) - 1, 0))
        if len(visited):
            first &= visited[where] != keys
        picked, keys = picked[first], keys[first]
        order = np.lexsort((-child_scores[picked], child_groups[picked]))
        picked, keys = picked[order], keys[order]
        g_sorted = child_groups[picked]
        starts = np.searchsorted(g_sorted, g_sorted, side="left")
        top = np.arange(len(picked)) - starts < width
        picked = picked[top]
        visited = np.union1d(visited, keys[top])
        groups = child_groups[picked]
        paths = np.concatenate([paths[picked // 12], (picked % 12).astype(np.uint8)[:, None]], axis=1)
        scores = child_scores[picked]
        rows = children[picked].astype(np.uint8)
    return solutions



def check(cube, scramble, solution) -> bool:
    """The answer, checked with do_moves on a fresh cube."""
    c = MODELS[cube]()
    c.do_moves(" ".join(MOVES[m] for m in scramble))
    c.do_moves(" ".join(MOVES[m] for m in solution))
    return c.is_solved()


def solve_set(learner, scrambles, width, clock, label="search", chunk=None):
    """Beam-search the scrambles a chunk at a time; checked solutions or None."""
    cube = learner.cube
    chunk = chunk or max(1, 16384 // width)
    found = []
    with batchrun.bar(total=len(scrambles), desc=label, unit="cube", leave=False, disable=None) as bar:
        for lo in range(0, len(scrambles), chunk):
            part = scrambles[lo:lo + chunk]
            sols = beam_search(cube, part, learner.log_probs, width, SETTINGS[cube]["max_depth"], clock)
            for s, sol in zip(part, sols):
                found.append(sol if sol is not None and check(cube, s, sol) else None)
            bar.update(len(part))
    return found


def is_tracked(path: str) -> bool:
    """Whether git tracks the file at path (False outside a work tree)."""
    folder = os.path.dirname(os.path.abspath(path)) or "."
    try:
        result = subprocess.run(["git", "-C", folder, "ls-files", "--error-unmatch", os.path.abspath(path)],
                                capture_output=True, timeout=10)
    except (OSError, subprocess.SubprocessError):
        return False
    return result.returncode == 0


def write_chart(path: str, history, final=None) -> None:
    """Loss and validation solve rate against training time; `final`, a
    (solve rate, label) pair, marks the test set's result at the end."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    t = [h[0] / 60 for h in history]
    fig, ax = plt.subplots(figsize=(6.4, 3.6), dpi=100)
    ax.plot(t, [h[1] for h in history], color="tab:blue", lw=1)
    ax.set_xlabel("training time (min)")
    ax.set_ylabel("training loss (cross-entropy)", color="tab:blue")
    rate = [(h[0] / 60, h[2]) for h in history if h[2] is not None]
    if rate:
        ax2 = ax.twinx()
        ax2.plot(*zip(*rate), "o-", color="tab:red", ms=3)
        ax2.set_ylabel("solve rate (validation: beam 64)", color="tab:red")
        ax2.set_ylim(0, 1.02)
        if final is not None:
            ax2.plot([t[-1]], [final[0]], "*", color="black", ms=10, label=final[1])
            ax2.legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def train(learner, seconds, clock, checkpoint, steps=None, eval_every=30.0, walkers=None):
    """Train for `seconds` of training time (or exactly `steps` steps).

    Every `eval_every` seconds the solve rate of a fixed small validation set
    goes into the history and a checkpoint is written."""
    cube = learner.cube
    cfg = SETTINGS[cube]
    walkers = walkers or max(64, 8192 // cfg["walk"])
    # 3x3 scrambles of 8 turns were all solved after a minute: 13 tell more.
    depth = 30 if cube == 2 else 13
    validation = random_scrambles(np.random.default_rng(12345), 32, depth, depth)
    start_seconds = learner.train_seconds
    budget = start_seconds + seconds
    last_eval = time.perf_counter()
    rows = labels = None
    used = 0
    generated = 0
    gen_seconds = 0.0
    data_bar = batchrun.bar(desc="data", unit=" states", unit_scale=True, position=1, leave=False, disable=None)
    bar = batchrun.bar(total=round(seconds), desc="train", unit="s", position=0, leave=False, disable=None)
    step_target = None if steps is None else learner.steps + steps
    try:
        while True:
            if step_target is not None:
                if learner.steps >= step_target:
                    break
                progress = 1 - (step_target - learner.steps) / steps
            else:
                if learner.train_seconds >= budget:
                    break
                progress = (learner.train_seconds - start_seconds) / max(seconds, 1e-9)
            t0 = time.perf_counter()
            if rows is None or used + cfg["batch"] > len(rows):
                g0 = time.perf_counter()
                rows, labels, _, _, _ = walk_samples(cube, walkers, cfg["walk"], learner.rng, clock)
                perm = learner.rng.permutation(len(rows))
                rows, labels, used = rows[perm], labels[perm], 0
                generated += len(rows)
                gen_seconds += time.perf_counter() - g0
                data_bar.update(len(rows))
            batch_rows, batch_labels = rows[used:used + cfg["batch"]], labels[used:used + cfg["batch"]]
            used += cfg["batch"]
            with clock("model"):
                loss = learner.train_step(batch_rows, batch_labels, progress)
            learner.train_seconds += time.perf_counter() - t0
            bar.update(min(round(seconds), round(learner.train_seconds - start_seconds)) - bar.n)
            bar.set_postfix(loss=f"{loss:.3f}", refresh=False)
            rate = None
            if time.perf_counter() - last_eval >= eval_every:
                with clock("validation"):
                    found = solve_set(learner, validation, 64, Clock(), "validate")
                rate = sum(f is not None for f in found) / len(found)
                learner.save(checkpoint)
                last_eval = time.perf_counter()
            learner.history.append((learner.train_seconds, loss, rate))
    finally:
        bar.close()
        data_bar.close()
    return generated, gen_seconds


def optimal_lengths(scrambles):
    out = []
    for s in batchrun.bar(scrambles, desc="oracle", unit="cube", leave=False, disable=None):
        method, tokens = oracle.solve(2, s, log=lambda *a: None)
        out.append(len(tokens))
    return out


# ---- benchmark files: learn.py --test FILE --checkpoint CKPT ----------

_WORKER_LEARNERS = {}     # checkpoint digest -> learner, built once per worker process


def evaluate_chunk(job: dict, chunk) -> list[dict]:
    """The records of a chunk of cubes (batchrun.Cube), solved together by
    one solve_set call: in this process (job["learner"]) or in a Ray worker,
    which builds the learner from the checkpoint data in Ray's object store
    (job["state"]) on its first chunk and keeps it for the next ones."""
    learner = job.get("learner")
    if learner is None:
        learner = _WORKER_LEARNERS.get(job["digest"])
        if learner is None:
            learner = Learner.from_state(*batchrun.fetch(job["state"]))
            _WORKER_LEARNERS[job["digest"]] = learner
    started = time.perf_counter()
    found = solve_set(learner, [c.moves for c in chunk], job["width"], Clock(), chunk=len(chunk))
    seconds = (time.perf_counter() - started) / len(chunk)
    recs = []
    for cube, sol in zip(chunk, found):
        if learner.cube == 2:        # the exact search knows every 2x2 optimum
            optimal = len(oracle.solve(2, cube.moves, log=lambda *a: None)[1])
        else:
            optimal = len(cube.moves) if job["optimal"] else None
        recs.append(batchrun.record(cube, MODELS[learner.cube], sol, f"beam {job['width']}", seconds, optimal))
    return recs


def remote_job(learner, width: int, optimal: bool) -> dict:
    """The job of every Ray task: the learner's state goes into Ray's
    object store once, and each task carries only its reference."""
    import hashlib

    import ray
    arrays, meta = learner.state()
    digest = hashlib.sha256(checkpoint.encode(arrays, meta)).hexdigest()
    return {"state": ray.put((arrays, meta)), "digest": digest, "width": width, "optimal": optimal}


def test_file(parser, args, cube_given: bool) -> int:
    """--test FILE: evaluate the checkpoint on every scramble of the file."""
    try:
        cubes = batchrun.read_scrambles(args.test)
        learner = Learner.load(args.checkpoint)
        if cube_given and learner.cube != args.cube:
            raise batchrun.UsageError(f"{args.checkpoint} holds a {learner.cube}x{learner.cube} model, "
                                      f"not {args.cube}x{args.cube}")
        results = batchrun.Results(cubes, MODELS[learner.cube], args.out, args.resume)
    except (batchrun.UsageError, CheckpointError) as e:
        parser.error(str(e))
    width = args.beam or SETTINGS[learner.cube]["beam"]
    pending = results.pending()
    batchrun.phase(f"{len(cubes):,} scrambles from {args.test}"
                   + (f" ({len(cubes) - len(pending):,} already in {args.out})" if args.resume else "")
                   + f"; model {args.checkpoint}: {learner.steps} steps, {learner.train_seconds / 60:.1f} min "
                   f"trained, MLP {learner.hidden}; beam {width}")
    size = max(1, 16384 // width)          # solve_set's own chunk: the same answers either way
    local = {"learner": learner, "width": width, "optimal": args.optimal}
    return batchrun.execute(results, size, evaluate_chunk, local, args.ray, args.workers, "learn:evaluate_chunk",
                            lambda: remote_job(learner, width, args.optimal), label="test")


# ---- the command line ---------------------------------------------------

def finite_minutes(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (0 <= value < math.inf):
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, not {text}")
    return value


def int_at_least(low: int):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < low:
            raise argparse.ArgumentTypeError(f"must be >= {low}, not {text}")
        return value
    return parse


def int_list(low: int, what: str):
    """An argparse type: comma-separated whole numbers >= low."""
    def parse(text: str) -> tuple:
        parts = text.split(",")
        try:
            values = tuple(int(p) for p in parts)
        except ValueError:
            bad = next(p for p in parts if not p.strip().lstrip("+-").isdigit())
            raise argparse.ArgumentTypeError(f"{what} are comma-separated whole numbers; "
                                             f"{bad.strip()!r} is not one") from None
        if any(v < low for v in values):
            raise argparse.ArgumentTypeError(f"{what} must be >= {low}, not {text}")
        return values
    return parse


def main(argv=None) -> int:
    try:
        status = run(argv)
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        return oracle.reader_gone()


def run(argv) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cube", type=int, choices=(2, 3),
                        help="cube size (default 2; with --test, the checkpoint's)")
    parser.add_argument("--minutes", type=finite_minutes, default=3.0,
                        help="training time in minutes (default 3); with --resume, this much more "
                             "training on top of what the checkpoint has had")
    parser.add_argument("--steps", type=int_at_least(0),
                        help="train exactly this many steps instead (with --resume, this many more)")
    parser.add_argument("--scrambles", type=int_at_least(1), default=100,
                        help="test scrambles (default 100; on the 3x3, per scramble depth)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the model, walks and scrambles")
    parser.add_argument("--beam", type=int_at_least(1),
                        help="beam width per scramble (default 4096 on the 2x2, 1024 on the 3x3)")
    parser.add_argument("--depths", default=SCRAMBLE_DEPTHS_3X3, type=int_list(0, "--depths"),
                        help="3x3 test scramble depths (default 5,10,15,20)")
    parser.add_argument("--hidden", type=int_list(1, "--hidden"),
                        help="hidden layer widths, e.g. 1024,512 (new runs only)")
    parser.add_argument("--checkpoint", default=None, help="checkpoint file (default learn-<cube>x<cube>.ckpt)")
    parser.add_argument("--resume", action="store_true",
                        help="continue training from the checkpoint; with --test, go on with the --out file")
    parser.add_argument("--chart", help="write a PNG of loss and solve rate against time here")
    parser.add_argument("--eval-every", type=float, default=30.0, metavar="S",
                        help="seconds of training between validation solves and checkpoints (default 30)")
    files = parser.add_argument_group("benchmark files: evaluate a trained checkpoint, no training")
    files.add_argument("--test", metavar="FILE",
                       help="solve every scramble of FILE (one move string per line, or a JSON list) "
                            "with the --checkpoint model")
    batchrun.add_arguments(files, int_at_least(1), "on the 2x2 the exact search gives it")
    args = parser.parse_args(argv)
    cube_given = args.cube is not None
    args.cube = args.cube or 2
    checkpoint_path = args.checkpoint = args.checkpoint or f"learn-{args.cube}x{args.cube}.ckpt"
    width = args.beam or SETTINGS[args.cube]["beam"]
    if args.test is None:
        given = [f"--{n}" for n in ("out", "optimal", "ray", "workers") if getattr(args, n) not in (None, False)]
        if given:
            parser.error(f"{given[0]} goes with --test")
    else:
        if args.chart or args.hidden or args.steps is not None:
            parser.error("--test evaluates a trained checkpoint: --chart, --hidden and --steps do not apply")
        if args.workers is not None and args.ray is None:
            parser.error("--workers goes with --ray")
        if args.resume and args.out is None:
            parser.error("--resume with --test needs the --out file to go on with")
    try:
        # Every file this run writes is checked now, not after minutes of training.
        if args.test is None:
            batchrun.check_output_path(checkpoint_path, "--checkpoint")
        if args.chart:
            batchrun.check_output_path(args.chart, "--chart")
        if args.out:
            batchrun.check_output_path(args.out, "--out")
        if args.ray is not None:
            batchrun.ray_usage(args.ray or None)
    except batchrun.UsageError as e:
        parser.error(str(e))
    if args.chart and is_tracked(args.chart):
        parser.error(f"--chart {args.chart} is a file git tracks; choose another path")
    if args.test is not None:
        return test_file(parser, args, cube_given)
    checkpoint = checkpoint_path

    clock = Clock()
    if args.resume:
        try:
            learner = Learner.load(checkpoint)
        except CheckpointError as e:
            parser.error(f"--resume: {e}")
        if learner.cube != args.cube:
            parser.error(f"{checkpoint} holds a {learner.cube}x{learner.cube} model")
        print(f"Resumed {checkpoint}: {learner.steps} steps, {learner.train_seconds:.0f} s trained")
    else:
        learner = Learner(args.cube, args.seed, args.hidden)
    print(f"JAX on {jax.devices()[0].platform}; policy MLP {learner.hidden}; beam {width}", flush=True)
    batchrun.phase("Training for " + (f"{args.steps} steps" if args.steps is not None else f"{args.minutes:g} min"))

    try:
        generated, gen_seconds = train(learner, 60 * args.minutes, clock, checkpoint, args.steps, args.eval_every)
    except KeyboardInterrupt:
        learner.save(checkpoint)
        print(f"Interrupted: checkpoint {checkpoint} kept ({learner.steps} steps, "
              f"{learner.train_seconds:.0f} s trained).", file=sys.stderr)
        return 130
    learner.save(checkpoint)
    print(f"Trained {learner.steps} steps on {learner.samples:,} samples, "
          f"{learner.train_seconds:.0f} s of training in all (checkpoint {checkpoint}).")
    if generated:
        print(f"Generated {generated:,} states at {generated / gen_seconds:,.0f}/s "
              f"(walks incl. NumPy selection; tessaroll alone "
              f"{generated / max(clock.spent['tessaroll'], 1e-9):,.0f}/s).")
    print(f"Training: {clock.shares()}", flush=True)

    rng = np.random.default_rng(args.seed + 1)
    try:
        if args.cube == 2:
            scrambles = random_scrambles(rng, args.scrambles, 30, 40)
            batchrun.phase(f"Searching {len(scrambles)} scrambles")
            search_clock = Clock()
            found = solve_set(learner, scrambles, width, search_clock)
            print(f"Search ({args.scrambles} scrambles): {search_clock.shares()}")
            searched = time.perf_counter() - search_clock.started
            t = time.perf_counter()
            best = optimal_lengths(scrambles)
            print(f"Oracle: {time.perf_counter() - t:.1f} s for {len(best)} optimal lengths")
            cubes = [batchrun.Cube(i, " ".join(MOVES[m] for m in s), s, 0) for i, s in enumerate(scrambles)]
            results = batchrun.Results(cubes, MODELS[2])
            for cube, sol, opt in zip(cubes, found, best):
                results.add(batchrun.record(cube, MODELS[2], sol, f"beam {width}", searched / len(cubes), opt))
            solved = [(len(f), b) for f, b in zip(found, best) if f is not None]
            print(f"Solutions longer than optimal: {sum(s > b for s, b in solved)} of {len(solved)}")
            for line in results.summary():
                print(line, flush=True)
            if args.chart:
                write_chart(args.chart, learner.history,
                            (len(solved) / len(scrambles), f"test: {len(scrambles)} scrambles, beam {width}"))
            return 0
        below = None
        search_clock = Clock()
        lines = []
        for depth in args.depths:
            scrambles = random_scrambles(rng, args.scrambles, depth, depth)
            found = solve_set(learner, scrambles, width, search_clock, f"depth {depth}")
            lengths = [len(f) for f in found if f is not None]
            rate = len(lengths) / len(found)
            if below is None and rate < 0.5:
                below = depth
            line = (f"depth {depth}: solved {len(lengths)}/{len(found)}; "
                    f"mean length {np.mean(lengths) if lengths else float('nan'):.2f}")
            lines.append(line)
            print(line, flush=True)
        print(f"Search: {search_clock.shares()}")
        print(f"3x3 after {learner.train_seconds / 60:.1f} min of training: " + "; ".join(lines) + "; "
              + (f"solve rate falls below 50% at depth {below}" if below else "solve rate >= 50% at every depth")
              + " (mean lengths over the solved scrambles)", flush=True)
        if args.chart:
            write_chart(args.chart, learner.history)
        return 0
    except KeyboardInterrupt:
        print(f"Interrupted during the search; checkpoint {checkpoint} kept.", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
