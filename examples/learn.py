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
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from contextlib import contextmanager

import numpy as np

import tessaroll

try:
    import jax
    from tqdm import tqdm
except ImportError as missing:  # pragma: no cover - depends on the environment
    raise SystemExit(f"examples/learn.py needs the learn extra ({missing.name} is missing): "
                     'pip install ".[learn]" (Python 3.10+)') from None

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import learning  # noqa: E402  the networks, training data and search
import solve as oracle  # noqa: E402  the exact 2x2 solver
from learning import NO_MOVE, STICKERS, beam_search, scramble_rows, walk_samples  # noqa: E402,F401

MOVES = oracle.MOVES
MODELS = oracle.MODELS
SETTINGS = {   # per cube: the network and its training, the beam widths, the search's depth cap
    2: dict(model=dict(features="stickers", hidden=[1024, 1024, 512], blocks=0, lr=1e-3, warmup=0,
                       decay=300, batch=1024, walk=18, walkers=455),
            beam=4096, widen=(), max_depth=24),
    3: dict(model=dict(features="pieces", hidden=[1024, 512, 512], blocks=0, lr=1e-3, warmup=100,
                       decay=500, batch=1024, walk=26, walkers=1024),
            beam=4096, widen=(16384,), max_depth=34),
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

    def save(self, path: str) -> None:
        """Write atomically: an interrupted save leaves the previous file."""
        arrays, meta = self.state()
        flat = {"/".join(str(k.key) for k in key): np.asarray(leaf)
                for key, leaf in jax.tree_util.tree_flatten_with_path(arrays)[0]}
        flat["meta.json"] = np.frombuffer(json.dumps(meta).encode(), np.uint8)
        tmp = f"{path}.tmp{os.getpid()}"
        with open(tmp, "wb") as f:
            np.savez(f, **flat)
        os.replace(tmp, path)

    @classmethod
    def load(cls, path: str) -> "Learner":
        with np.load(path, allow_pickle=False) as data:
            flat = {k: data[k] for k in data.files}
        meta = json.loads(flat.pop("meta.json").tobytes().decode())
        arrays = {}
        for key, value in flat.items():
            node = arrays
            *parents, leaf = key.split("/")
            for part in parents:
                node = node.setdefault(part, {})
            node[leaf] = value
        return cls.from_state(arrays, meta)


def random_scrambles(rng: np.random.Generator, count: int, low: int, high: int) -> list[list[int]]:
    return [[int(m) for m in rng.integers(0, 12, int(rng.integers(low, high + 1)))] for _ in range(count)]


def check(cube, scramble, solution) -> bool:
    """The answer, checked with do_moves on a fresh cube."""
    c = MODELS[cube]()
    c.do_moves(" ".join(MOVES[m] for m in scramble))
    c.do_moves(" ".join(MOVES[m] for m in solution))
    return c.is_solved()


def solve_rows(learner, rows, widths, clock, label="search", states=65536, table=None):
    """Beam-search sticker rows at widths[0], then the ones still unsolved at
    widths[1], and so on; as many starts share one search as fit `states`
    beam entries, so that the model sees large batches. Unchecked solutions
    or None."""
    found = [None] * len(rows)
    max_depth = SETTINGS[learner.cube]["max_depth"]
    with tqdm(total=len(rows), desc=label, unit="cube", leave=False, disable=None) as bar:
        for width in widths:
            todo = [i for i, f in enumerate(found) if f is None]
            bar.set_postfix(beam=width, refresh=False)
            chunk = max(1, states // width)
            for lo in range(0, len(todo), chunk):
                part = todo[lo:lo + chunk]
                for i, sol in zip(part, beam_search(rows[part], learner.log_probs, width, max_depth, clock, table)):
                    found[i] = sol
                if width == widths[-1]:
                    bar.update(len(part))
                else:
                    bar.update(sum(found[i] is not None for i in part))
    return found


def solve_set(learner, scrambles, width, clock, label="search", widen=(), table=None):
    """Solve scrambles (lists of move indexes) at beam `width`, those left
    over at each width of `widen` in turn; per scramble, its solution checked
    with do_moves, or None."""
    rows = scramble_rows(learner.cube, scrambles, MOVES)
    found = solve_rows(learner, rows, (width, *widen), clock, label, table=table)
    return [sol if sol is not None and check(learner.cube, s, sol) else None for s, sol in zip(scrambles, found)]


def random_states(cube: int, count: int, length: int = 100):
    """`count` cubes scrambled by CubeBatch.scramble with `length` random turns each."""
    batch = tessaroll.CubeBatch(count, cube)
    batch.scramble(np.full(count, length, dtype=np.int64))
    return list(batch)


def test_random_states(learner, count, widths, clock, table=None):
    """Solve `count` random states; returns (lengths or None, seconds)."""
    cubes = random_states(learner.cube, count)
    rows = np.array([c.to_sticker_array() for c in cubes], dtype=np.uint8)
    started = time.perf_counter()
    found = solve_rows(learner, rows, widths, clock, "random states", table=table)
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
    bar = tqdm(total=round(seconds) if steps is None else steps, desc="train", unit="s" if steps is None else "step",
               position=0, leave=False, disable=None)
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
                    found = solve_set(learner, validation, 64, Clock(), "validate")
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
    for s in tqdm(scrambles, desc="oracle", unit="cube", leave=False, disable=None):
        method, tokens = oracle.solve(2, s, log=lambda *a: None)
        out.append(len(tokens))
    return out


def random_state_test(parser, args, checkpoint, widths) -> int:
    """--random-states N: the checkpoint's model on N uniformly random states."""
    try:
        learner = Learner.load(checkpoint)
    except (OSError, ValueError, KeyError) as error:
        parser.error(f"cannot read the checkpoint {checkpoint}: {error}")
    if learner.cube != args.cube:
        parser.error(f"{checkpoint} holds a {learner.cube}x{learner.cube} model")
    print(f"{checkpoint}: {learner.steps} steps, {learner.samples:,} samples, "
          f"{learner.train_seconds / 60:.1f} min trained, weights sha256 {learner.weights_digest()[:16]}; "
          f"beams {', '.join(map(str, widths))}", flush=True)
    clock = Clock()
    table = None
    if args.table:
        t = time.perf_counter()
        table = learning.NearTable(args.cube, args.table)
        print(f"Not learned: a table of the {len(table.hi):,} states within {args.table} quarter turns of "
              f"solved ends the search when a beam meets it ({time.perf_counter() - t:.1f} s to build)")
    try:
        lengths, seconds = test_random_states(learner, args.random_states, widths, clock, table)
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
                                "table": args.table, "states": len(lengths), "solved": len(solved),
                                "mean_length": mean if solved else None, "seconds_per_cube": seconds / len(lengths),
                                "lengths": lengths, "shares": clock.shares()}) + "\n")
    print(f"random states: solved {len(solved)}/{len(lengths)}; mean length {mean:.2f}"
          + (f" ({ratio:.3f} x {OPTIMAL_MEAN_3X3})" if args.cube == 3 else "")
          + f"; {seconds / len(lengths):.1f} s per cube")
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cube", type=int, choices=(2, 3), default=2, help="cube size (default 2)")
    parser.add_argument("--minutes", type=float, default=3.0, help="training time in minutes (default 3)")
    parser.add_argument("--steps", type=int, help="train exactly this many steps instead (repeatable)")
    parser.add_argument("--scrambles", type=int, default=100,
                        help="test scrambles (default 100; on the 3x3, per scramble depth)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the model, walks and scrambles")
    parser.add_argument("--beam", type=int, help="beam width per scramble (default 4096)")
    parser.add_argument("--depths", default=SCRAMBLE_DEPTHS_3X3,
                        type=lambda text: tuple(int(d) for d in text.split(",")),
                        help="3x3 test scramble depths (default 5,10,15,20)")
    parser.add_argument("--hidden", help="hidden layer widths, e.g. 1024,512 (new runs only)")
    parser.add_argument("--checkpoint", default=None, help="checkpoint file (default learn-<cube>x<cube>.ckpt)")
    parser.add_argument("--resume", action="store_true", help="continue from the checkpoint")
    parser.add_argument("--chart", help="write a PNG of loss and solve rate against time here")
    parser.add_argument("--eval-every", type=float, default=30.0, metavar="S",
                        help="seconds of training between validation solves and checkpoints (default 30)")
    parser.add_argument("--random-states", type=int, metavar="N",
                        help="no training: solve N random states (CubeBatch.scramble, 100 turns) with "
                             "the checkpoint's model and report solved, mean length and time per cube")
    parser.add_argument("--widen", type=lambda text: tuple(int(w) for w in text.split(",") if w),
                        help="beam widths to retry unsolved cubes with, e.g. 4096,16384 "
                             "(default: 16384 on the 3x3, none on the 2x2; '' for none)")
    parser.add_argument("--record", metavar="FILE",
                        help="with --random-states: append the result to FILE as one JSON line")
    parser.add_argument("--table", type=int, default=0, metavar="K",
                        help="with --random-states: end the search at any state within K quarter turns "
                             "of solved, from a table (not learned; default 0, no table)")
    parser.add_argument("--keep", type=lambda text: tuple(float(m) for m in text.split(",")), default=(),
                        metavar="MINUTES", help="also keep the checkpoint as CHECKPOINT.<m>min at these "
                                                "training minutes, e.g. 10,20")
    args = parser.parse_args(argv)
    if args.random_states is not None and args.random_states < 1:
        parser.error("--random-states must be >= 1")
    if not 0 <= args.table <= 7:
        parser.error("--table must be 0 to 7")
    if args.minutes < 0 or args.scrambles < 1 or min(args.depths) < 0 or (args.beam is not None and args.beam < 1):
        parser.error("--minutes must be >= 0, --scrambles and --beam >= 1")
    if args.steps is not None and args.steps < 0:
        parser.error("--steps must be >= 0")
    checkpoint = args.checkpoint or f"learn-{args.cube}x{args.cube}.ckpt"
    if args.chart and is_tracked(args.chart):
        parser.error(f"--chart {args.chart} is a file git tracks; choose another path")
    width = args.beam or SETTINGS[args.cube]["beam"]
    widen = SETTINGS[args.cube]["widen"] if args.widen is None else args.widen

    if args.random_states is not None:
        return random_state_test(parser, args, checkpoint, (width, *widen))
    clock = Clock()
    if args.resume:
        learner = Learner.load(checkpoint)
        if learner.cube != args.cube:
            parser.error(f"{checkpoint} holds a {learner.cube}x{learner.cube} model")
        print(f"Resumed {checkpoint}: {learner.steps} steps, {learner.train_seconds:.0f} s trained")
    else:
        hidden = tuple(int(h) for h in args.hidden.split(",")) if args.hidden else None
        learner = Learner(args.cube, args.seed, hidden)
    cfg = learner.cfg
    print(f"JAX on {jax.devices()[0].platform}; policy MLP {learner.hidden} + {cfg.get('blocks', 0)} residual "
          f"blocks over {cfg['features']}; beam {width}" + (f", then {widen}" if widen else ""))

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
          f"{learner.train_seconds:.0f} s in all; this run {train_wall:.0f} s wall "
          f"(checkpoint {checkpoint}, weights sha256 {learner.weights_digest()[:16]}).")
    trained = learner.samples - samples_before
    if trained:
        print(f"Trained on {trained / max(clock.spent.get('model', 0.0), 1e-9):,.0f} samples/s in the model step, "
              f"{trained / max(train_wall, 1e-9):,.0f}/s over the run's wall time.")
    print(f"Training time: {clock.shares(started)}")

    rng = np.random.default_rng(args.seed + 1)
    try:
        if args.cube == 2:
            scrambles = random_scrambles(rng, args.scrambles, 30, 40)
            search_clock = Clock()
            found = solve_set(learner, scrambles, width, search_clock, widen=widen)
            print(f"Search ({args.scrambles} scrambles): {search_clock.shares()}")
            t = time.perf_counter()
            best = optimal_lengths(scrambles)
            print(f"Oracle: {time.perf_counter() - t:.1f} s for {len(best)} optimal lengths")
            solved = [(len(f), b) for f, b in zip(found, best) if f is not None]
            if args.chart:
                write_chart(args.chart, learner.history,
                            (len(solved) / len(scrambles), f"test: {len(scrambles)} scrambles, beam {width}"))
            mean = np.mean([s for s, _ in solved]) if solved else float("nan")
            print(f"Optimal mean over the solved ones {np.mean([b for _, b in solved]) if solved else float('nan'):.2f}"
                  f"; solutions longer than optimal: {sum(s > b for s, b in solved)}")
            print(f"solved {len(solved)}/{len(scrambles)}; mean length {mean:.2f}; optimal mean {np.mean(best):.2f}")
            return 0
        below = None
        search_clock = Clock()
        lines = []
        for depth in args.depths:
            scrambles = random_scrambles(rng, args.scrambles, depth, depth)
            found = solve_set(learner, scrambles, width, search_clock, f"depth {depth}", widen)
            lengths = [len(f) for f in found if f is not None]
            rate = len(lengths) / len(found)
            if below is None and rate < 0.5:
                below = depth
            line = (f"depth {depth}: solved {len(lengths)}/{len(found)}; "
                    f"mean length {np.mean(lengths) if lengths else float('nan'):.2f}")
            lines.append(line)
            print(line, flush=True)
        print(f"Search: {search_clock.shares()}")
        if args.chart:
            write_chart(args.chart, learner.history)
        print(f"3x3 after {learner.train_seconds / 60:.1f} min of training: " + "; ".join(lines) + "; "
              + (f"solve rate falls below 50% at depth {below}" if below else "solve rate >= 50% at every depth"))
        return 0
    except KeyboardInterrupt:
        print(f"Interrupted during the search; checkpoint {checkpoint} kept.", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
