"""Train a policy network on cube states from CubeBatch and solve by batched beam search.

Training data are random walks from the solved cube run on a CubeBatch: at
each step get_next_states() gives all twelve children of every walker, each
child is a sample labelled with the move that undoes the turn that made it,
and apply_move_indexes() moves every walker on. A JAX/Flax MLP learns those
labels (cross-entropy, optax Adam); a thread makes the walks meanwhile.

The search keeps, for every start state, a beam of sticker rows. Each depth
it scores the beam's states with the policy, makes their children by the
twelve sticker permutations of the turns (read once from get_next_states()),
scores each child by its path's cumulative log-probability, drops exact
duplicates and states the beam held before, keeps the best --beam per start
and stops a start at the first depth that reaches the solved state; starts
left unsolved are tried again with the wider beams of --widen. On the 2x2,
examples/solve.py's bidirectional search gives the optimal length of every
test scramble; --random-states N tests a checkpoint on uniformly random
states without training. learning.py holds the networks, data and search.

    python examples/learn.py --cube 2 --minutes 3 --scrambles 100 --seed 0
    python examples/learn.py --cube 3 --minutes 30 --seed 0 --scrambles 10
    python examples/learn.py --cube 3 --random-states 100
    python examples/learn.py --cube 3 --test set.txt --checkpoint learn-3x3.ckpt --out set.jsonl [--ray]

--test evaluates a trained checkpoint on a benchmark file (batchrun.py
beside this file says what it may hold), in this process or as Ray tasks.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import time
from contextlib import contextmanager

import numpy as np

import tessaroll

try:
    import jax
    import tqdm  # noqa: F401  progress bars on a terminal (batchrun.bar)
except ImportError as missing:  # pragma: no cover - depends on the environment
    raise SystemExit(f"examples/learn.py needs the learn extra ({missing.name} is missing): "
                     'pip install ".[learn]" (Python 3.10+)') from None

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import batchrun  # noqa: E402  benchmark files, results, progress and Ray
import checkpoint  # noqa: E402  checkpoint files: data only
import learning  # noqa: E402  the networks, training data and search
import solve as oracle  # noqa: E402  the exact 2x2 solver
from checkpoint import CheckpointError  # noqa: E402
from learning import NO_MOVE, STICKERS, beam_search, scramble_rows, walk_samples  # noqa: E402,F401

MOVES = oracle.MOVES
MODELS = oracle.MODELS
SETTINGS = {   # per cube: the network and its training, the beam widths, the search's depth cap
    2: dict(model=dict(features="stickers", hidden=[1024, 1024, 512], blocks=0, lr=1e-3, warmup=0,
                       decay=300, batch=1024, walk=18, walkers=455),
            beam=4096, widen=(), max_depth=24),
    3: dict(model=dict(features="pieces", hidden=[1024, 512, 512], blocks=0, lr=1e-3, warmup=100,
                       decay=500, batch=1024, walk=26, walkers=1024, canonical=True),
            beam=8192, widen=(16384,), max_depth=34, inverse=True),
}
SCRAMBLE_DEPTHS_3X3 = (5, 10, 15, 20)
OPTIMAL_MEAN_3X3 = 20.66   # quarter turns, mean optimal length of uniformly random 3x3 states


class Clock:
    """Wall time per kind of work (tessaroll calls, the model, NumPy glue, ...)."""

    def __init__(self):
        self.spent = {}
        self.started = time.perf_counter()

    @contextmanager
    def __call__(self, kind):
        t = time.perf_counter()
        try:
            yield
        finally:
            self.spent[kind] = self.spent.get(kind, 0.0) + time.perf_counter() - t

    def shares(self, since=None):
        """Each kind's share of the wall time; "walks: ..." kinds ran on the
        data thread, beside the others, and are not part of the remainder."""
        wall = time.perf_counter() - (self.started if since is None else since)
        main = sum(v for k, v in self.spent.items() if not k.startswith("walks"))
        parts = [f"{k} {100 * v / wall:.1f}%" for k, v in self.spent.items() if not k.startswith("walks")]
        parts.append(f"other Python {100 * max(0.0, wall - main) / wall:.1f}%")
        side = [f"{k[7:]} {100 * v / wall:.1f}%" for k, v in self.spent.items() if k.startswith("walks")]
        return f"{wall:.1f} s wall: " + ", ".join(parts) + (f" (data thread: {', '.join(side)})" if side else "")


class Learner(learning.Learner):
    """The network, its optimiser, data position and history (see learning.py);
    saved as data only: NumPy arrays in an .npz file, the metadata as JSON."""

    def __init__(self, cube_or_cfg, seed: int = 0, hidden=None, lr=None):
        if isinstance(cube_or_cfg, dict):
            cfg = cube_or_cfg
        else:
            cfg = dict(SETTINGS[cube_or_cfg]["model"], cube=cube_or_cfg)
            if hidden is not None:
                cfg["hidden"] = list(hidden)
            if lr is not None:
                cfg["lr"] = lr
        super().__init__(cfg, seed)

    @classmethod
    def from_state(cls, arrays, meta) -> "Learner":
        """The learner that state() described; ValueError, TypeError or
        KeyError names what does not fit."""
        cfg = meta["config"]
        if not isinstance(cfg, dict):
            raise ValueError(f"config {cfg!r} is not a dict")
        cube, hidden = cfg["cube"], cfg["hidden"]
        if type(cube) is not int or cube not in (2, 3) or meta["cube"] != cube:
            raise ValueError(f"cube {cube!r} is neither 2 nor 3")
        if not (isinstance(hidden, list) and hidden and all(type(h) is int and 1 <= h <= 1 << 16 for h in hidden)):
            raise ValueError(f"hidden {hidden!r} is not a list of layer widths")
        if cfg["features"] not in ("pieces", "stickers"):
            raise ValueError(f"features {cfg['features']!r} are neither pieces nor stickers")
        if type(cfg.get("canonical", False)) is not bool:
            raise ValueError(f"canonical {cfg['canonical']!r} is not true or false")
        for key in ("steps", "samples", "chunk", "used", "seed"):
            if type(meta[key]) is not int or meta[key] < 0:
                raise ValueError(f"{key} {meta[key]!r} is not a count")
        seconds = meta["train_seconds"]
        if type(seconds) not in (int, float) or not math.isfinite(seconds) or seconds < 0:
            raise ValueError(f"train_seconds {seconds!r} is not a time")
        history = meta["history"]
        if not isinstance(history, list) or not all(isinstance(h, list) and len(h) == 3 for h in history):
            raise ValueError("history is not a list of (seconds, loss, rate) entries")
        return super().from_state(arrays, meta)

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


def check(cube, scramble, solution) -> bool:
    """The answer, checked with do_moves on a fresh cube."""
    c = MODELS[cube]()
    c.do_moves(" ".join(MOVES[m] for m in scramble))
    c.do_moves(" ".join(MOVES[m] for m in solution))
    return c.is_solved()


def solve_rows(learner, rows, widths, clock, label="search", states=65536, table=None, inverse=None):
    """Beam-search sticker rows at widths[0], then the ones still unsolved at
    widths[1], and so on; as many starts share one search as fit `states`
    beam entries, so that the model sees large batches. With `inverse`
    (by default the cube's setting), each state's inverse is searched too
    and the shorter answer kept. Unchecked solutions or None."""
    found = [None] * len(rows)
    max_depth = SETTINGS[learner.cube]["max_depth"]
    if inverse is None:
        inverse = SETTINGS[learner.cube].get("inverse", False)
    search = learning.beam_search_both if inverse else beam_search
    with batchrun.bar(total=len(rows), desc=label, unit="cube", leave=False, disable=None) as bar:
        for width in widths:
            todo = [i for i, f in enumerate(found) if f is None]
            bar.set_postfix(beam=width, refresh=False)
            chunk = max(1, states // width // (2 if search is not beam_search else 1))
            for lo in range(0, len(todo), chunk):
                part = todo[lo:lo + chunk]
                for i, sol in zip(part, search(rows[part], learner.log_probs, width, max_depth, clock, table)):
                    found[i] = sol
                if width == widths[-1]:
                    bar.update(len(part))
                else:
                    bar.update(sum(found[i] is not None for i in part))
    return found


def solve_set(learner, scrambles, width, clock, label="search", widen=(), table=None, chunk=None, inverse=None):
    """Solve scrambles (lists of move indexes) at beam `width`, those left
    over at each width of `widen` in turn, at most `chunk` in one search;
    per scramble, its solution checked with do_moves, or None."""
    rows = scramble_rows(learner.cube, scrambles, MOVES)
    states = 65536 if chunk is None else chunk * width
    found = solve_rows(learner, rows, (width, *widen), clock, label, states, table, inverse)
    return [sol if sol is not None and check(learner.cube, s, sol) else None for s, sol in zip(scrambles, found)]


def random_states(cube: int, count: int, length: int = 100):
    """`count` cubes scrambled by CubeBatch.scramble with `length` random turns each."""
    batch = tessaroll.CubeBatch(count, cube)
    batch.scramble(np.full(count, length, dtype=np.int64))
    return list(batch)


def test_random_states(learner, count, widths, clock, table=None, inverse=None):
    """Solve `count` random states; returns (lengths or None, seconds)."""
    cubes = random_states(learner.cube, count)
    rows = np.array([c.to_sticker_array() for c in cubes], dtype=np.uint8)
    started = time.perf_counter()
    found = solve_rows(learner, rows, widths, clock, "random states", table=table, inverse=inverse)
    seconds = time.perf_counter() - started
    lengths = []
    for cube, sol in zip(cubes, found):
        if sol is not None:
            cube.do_moves(" ".join(MOVES[m] for m in sol))
        lengths.append(len(sol) if sol is not None and cube.is_solved() else None)
    return lengths, seconds


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


def train(learner, seconds, clock, checkpoint, steps=None, eval_every=30.0, snapshots=()):
    """Train for `seconds` of training time (or exactly `steps` steps).

    A thread makes the walks (learning.Prefetcher) while the jitted step
    runs. Every `eval_every` seconds the solve rate of a fixed small
    validation set goes into the history and a checkpoint is written; at each
    training minute in `snapshots` a copy is kept as CHECKPOINT.<m>min.
    Returns the producer's sample count and seconds."""
    cfg = dict(learner.cfg)
    batch = cfg["batch"]
    # 3x3 scrambles of 8 turns were all solved after a minute: 13 tell more.
    depth = 30 if learner.cube == 2 else 13
    validation = random_scrambles(np.random.default_rng(12345), 32, depth, depth)
    budget = learner.train_seconds + seconds
    step_target = None if steps is None else learner.steps + steps
    pending = sorted(m for m in snapshots if 60 * m > learner.train_seconds)
    last_eval = time.perf_counter()
    data_clock = Clock()
    feed = learning.Prefetcher(cfg, learner.seed, learner.chunk, data_clock)
    x = labels = None
    bar = batchrun.bar(total=round(seconds) if steps is None else steps, desc="train",
                       unit="s" if steps is None else "step", position=0, leave=False, disable=None)
    try:
        while (learner.steps < step_target) if step_target is not None else (learner.train_seconds < budget):
            t0 = time.perf_counter()
            if x is None or learner.used + batch > len(x):
                if x is not None:
                    learner.chunk, learner.used = learner.chunk + 1, 0
                with clock("data wait"):
                    x, labels = feed.get()
            part = slice(learner.used, learner.used + batch)
            with clock("model"):
                loss = float(learner.train_step(x[part], labels[part]))
            learner.used += batch
            learner.train_seconds += time.perf_counter() - t0
            bar.update(1 if steps is not None else
                       min(round(seconds), round(learner.train_seconds - budget + seconds)) - bar.n)
            bar.set_postfix(loss=f"{loss:.3f}", refresh=False)
            rate = None
            if time.perf_counter() - last_eval >= eval_every:
                with clock("validation"):
                    found = solve_set(learner, validation, 64, Clock(), "validate", inverse=False)
                rate = sum(f is not None for f in found) / len(found)
                learner.save(checkpoint)
                last_eval = time.perf_counter()
            learner.history.append((learner.train_seconds, loss, rate))
            while pending and learner.train_seconds >= 60 * pending[0]:
                learner.save(f"{checkpoint}.{pending.pop(0):g}min")
    finally:
        bar.close()
        feed.close()
    for kind, spent in data_clock.spent.items():
        clock.spent["walks: " + kind] = spent
    return learner.samples, data_clock.spent


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


def random_state_test(parser, args, checkpoint, widths) -> int:
    """--random-states N: the checkpoint's model on N uniformly random states."""
    try:
        learner = Learner.load(checkpoint)
    except CheckpointError as error:
        parser.error(str(error))
    if learner.cube != args.cube:
        parser.error(f"{checkpoint} holds a {learner.cube}x{learner.cube} model")
    inverse = not args.no_inverse and SETTINGS[args.cube].get("inverse", False)
    print(f"{checkpoint}: {learner.steps} steps, {learner.samples:,} samples, "
          f"{learner.train_seconds / 60:.1f} min trained, weights sha256 {learner.weights_digest()[:16]}; "
          f"beams {', '.join(map(str, widths))}" + (", each state and its inverse" if inverse else ""), flush=True)
    clock = Clock()
    table = None
    if args.table:
        t = time.perf_counter()
        table = learning.NearTable(args.cube, args.table)
        print(f"Not learned: a table of the {len(table.hi):,} states within {args.table} quarter turns of "
              f"solved ends the search when a beam meets it ({time.perf_counter() - t:.1f} s to build)")
    try:
        lengths, seconds = test_random_states(learner, args.random_states, widths, clock, table, inverse)
    except KeyboardInterrupt:
        print("Interrupted during the search.", file=sys.stderr)
        return 130
    solved = [n for n in lengths if n is not None]
    mean = float(np.mean(solved)) if solved else float("nan")
    print(f"Search: {clock.shares()}")
    ratio = mean / OPTIMAL_MEAN_3X3 if args.cube == 3 else float("nan")
    if args.record:
        with open(args.record, "a") as f:
            f.write(json.dumps({"checkpoint": checkpoint, "minutes": learner.train_seconds / 60,
                                "steps": learner.steps, "samples": learner.samples, "beams": list(widths),
                                "inverse": inverse,
                                "table": args.table, "states": len(lengths), "solved": len(solved),
                                "mean_length": mean if solved else None, "seconds_per_cube": seconds / len(lengths),
                                "lengths": lengths, "shares": clock.shares()}) + "\n")
    print(f"random states: solved {len(solved)}/{len(lengths)}; mean length {mean:.2f}"
          + (f" ({ratio:.3f} x {OPTIMAL_MEAN_3X3})" if args.cube == 3 else "")
          + f"; {seconds / len(lengths):.1f} s per cube")
    return 0


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
    parser.add_argument("--beam", type=int_at_least(1), help="beam width per scramble (default 4096 on the 2x2, 8192 on the 3x3)")
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
    parser.add_argument("--widen", type=lambda text: tuple(int(w) for w in text.split(",") if w),
                        help="beam widths to retry unsolved cubes with, e.g. 4096,16384 "
                             "(default: 16384 on the 3x3, none on the 2x2; '' for none)")
    parser.add_argument("--no-inverse", action="store_true",
                        help="search each state only, not also its inverse (the 3x3 searches both and keeps "
                             "the shorter answer, at twice the cost)")
    parser.add_argument("--keep", type=lambda text: tuple(float(m) for m in text.split(",")), default=(),
                        metavar="MINUTES", help="also keep the checkpoint as CHECKPOINT.<m>min at these "
                                                "training minutes, e.g. 10,20")
    states = parser.add_argument_group("random states: evaluate a trained checkpoint, no training")
    states.add_argument("--random-states", type=int_at_least(1), metavar="N",
                        help="solve N random states (CubeBatch.scramble, 100 turns) with the checkpoint's "
                             "model and report solved, mean length and time per cube")
    states.add_argument("--record", metavar="FILE",
                        help="with --random-states: append the result to FILE as one JSON line")
    states.add_argument("--table", type=int, default=0, metavar="K",
                        help="with --random-states: end the search at any state within K quarter turns "
                             "of solved, from a table (not learned; default 0, no table)")
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
    widen = SETTINGS[args.cube]["widen"] if args.widen is None else args.widen
    inverse = False if args.no_inverse else None
    if not 0 <= args.table <= 7:
        parser.error("--table must be 0 to 7")
    if args.random_states is not None:
        if args.test is not None:
            parser.error("--random-states and --test are two different tests; give one")
        return random_state_test(parser, args, checkpoint_path, (width, *widen))
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
    cfg = learner.cfg
    print(f"JAX on {jax.devices()[0].platform}; policy MLP {learner.hidden} + {cfg.get('blocks', 0)} residual "
          f"blocks over {cfg['features']}; beam {width}" + (f", then {widen}" if widen else ""), flush=True)
    batchrun.phase("Training for " + (f"{args.steps} steps" if args.steps is not None else f"{args.minutes:g} min"))

    started = time.perf_counter()
    try:
        samples_before = learner.samples
        train(learner, 60 * args.minutes, clock, checkpoint, args.steps, args.eval_every, args.keep)
    except KeyboardInterrupt:
        learner.save(checkpoint)
        print(f"Interrupted: checkpoint {checkpoint} kept ({learner.steps} steps, "
              f"{learner.train_seconds:.0f} s trained).", file=sys.stderr)
        return 130
    learner.save(checkpoint)
    train_wall = time.perf_counter() - started
    print(f"Trained {learner.steps} steps on {learner.samples:,} samples, "
          f"{learner.train_seconds:.0f} s of training in all "
          f"(checkpoint {checkpoint}, weights sha256 {learner.weights_digest()[:16]}).")
    trained = learner.samples - samples_before
    if trained:
        print(f"Trained on {trained / max(clock.spent.get('model', 0.0), 1e-9):,.0f} samples/s in the model step, "
              f"{trained / max(train_wall, 1e-9):,.0f}/s over the run's wall time.")
    print(f"Training: {clock.shares(started)}", flush=True)

    rng = np.random.default_rng(args.seed + 1)
    try:
        if args.cube == 2:
            scrambles = random_scrambles(rng, args.scrambles, 30, 40)
            batchrun.phase(f"Searching {len(scrambles)} scrambles")
            search_clock = Clock()
            found = solve_set(learner, scrambles, width, search_clock, widen=widen, inverse=inverse)
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
            found = solve_set(learner, scrambles, width, search_clock, f"depth {depth}", widen, inverse=inverse)
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
