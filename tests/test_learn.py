"""The learned-solver example: walk samples and the beam step against the
exact bidirectional search, a short training run, checkpoints and the CLI."""

import importlib.util
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest

np = pytest.importorskip("numpy")
for name in ("jax", "flax", "optax", "tqdm"):
    pytest.importorskip(name, reason=f'{name} is not installed (pip install ".[learn]", Python 3.10+)')
import tessaroll  # noqa: E402

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "learn.py"


@pytest.fixture(scope="module")
def learn():
    spec = importlib.util.spec_from_file_location("learn_example", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module       # Flax's dataclasses look their module up
    spec.loader.exec_module(module)
    return module


def optimal(learn, moves):
    return len(learn.oracle.solve(2, list(moves), log=lambda *a: None)[1])


def test_walk_samples_are_the_states_their_paths_reach(learn):
    rng = np.random.default_rng(3)
    rows, labels, depths, walker, moves = learn.walk_samples(2, 16, 9, rng, learn.Clock())
    assert len(rows) == 16 * (12 + 11 * 8)
    assert (moves[1:] != (moves[:-1] ^ 1)).all()      # no walk undoes its last turn
    for i in rng.choice(len(rows), 40, replace=False):
        path = [int(m) for m in moves[: depths[i] - 1, walker[i]]] + [int(labels[i]) ^ 1]
        cube = tessaroll.Cube2x2()
        cube.do_moves(" ".join(learn.MOVES[m] for m in path))
        assert rows[i].tolist() == cube.to_sticker_array()
        # A quarter turn is an odd corner permutation: distance and depth
        # share their parity, and the distance never exceeds the depth.
        distance = optimal(learn, path)
        assert distance <= depths[i] and (depths[i] - distance) % 2 == 0
        assert optimal(learn, path[:-1]) <= depths[i] - 1     # the label's state


def test_wide_beam_is_breadth_first(learn):
    """With room for every state, the beam is a breadth-first search, so it
    finds exactly the oracle's optimal length whatever the scores say."""
    rng = np.random.default_rng(5)
    scrambles = [[int(m) for m in rng.integers(0, 12, n)] for n in (0, 1, 2, 3, 4, 5, 5, 6)]
    clock = learn.Clock()
    flat = lambda rows: np.zeros((len(rows), 12), np.float32)  # noqa: E731
    found = learn.beam_search(2, scrambles, flat, 20_000, 8, clock)
    for s, sol in zip(scrambles, found):
        assert sol is not None and learn.check(2, s, sol)
        assert len(sol) == optimal(learn, s)
    assert clock.spent["replay"] > 0
    # A beam of one follows the scorer's favourite turn, here U: it solves
    # U' (every child is checked) but not U D within two turns; a beam of
    # twelve keeps every child and does.
    prefer_u = lambda rows: np.tile(np.log(np.r_[0.9, [0.1 / 11] * 11]).astype(np.float32), (len(rows), 1))  # noqa: E731
    assert learn.beam_search(2, [[0, 2], [0, 0, 0]], prefer_u, 1, 2, clock) == [None, [0]]
    sol = learn.beam_search(2, [[0, 2]], prefer_u, 12, 2, clock)[0]
    assert len(sol) == 2 and learn.check(2, [0, 2], sol)


def test_short_training_solves_shallow_scrambles(learn, tmp_path):
    learner = learn.Learner(2, seed=1, hidden=(256, 256))
    started = time.perf_counter()
    learn.train(learner, 0, learn.Clock(), str(tmp_path / "c"), steps=400, eval_every=1e9)
    assert time.perf_counter() - started < 60
    scrambles = learn.random_scrambles(np.random.default_rng(7), 40, 4, 7)
    found = learn.solve_set(learner, scrambles, 64, learn.Clock())
    # Untrained, it solves about 8 of them; 400 steps solve all at the
    # optimal length here. Demand 95%, within 5% of optimal.
    solved = [(len(f), optimal(learn, s)) for f, s in zip(found, scrambles) if f is not None]
    assert len(solved) >= 38
    assert sum(a for a, _ in solved) <= 1.05 * sum(b for _, b in solved)


def test_checkpoint_round_trip_and_repeatability(learn, tmp_path):
    runs = []
    for _ in range(2):
        learner = learn.Learner(2, seed=4, hidden=(32,))
        learn.train(learner, 0, learn.Clock(), str(tmp_path / "a"), steps=5, eval_every=1e9)
        runs.append(learner)
    path = str(tmp_path / "b")
    runs[0].save(path)
    loaded = learn.Learner.load(path)
    rows = learn.walk_samples(2, 4, 3, np.random.default_rng(0), learn.Clock())[0]
    for other in (runs[1], loaded):       # same seed: same model; reloaded: same model
        assert np.array_equal(runs[0].log_probs(rows), other.log_probs(rows))
    assert (loaded.steps, loaded.history) == (runs[0].steps, runs[0].history[:])
    # Training goes on identically from the checkpoint (optimiser and walks).
    for learner in (runs[0], loaded):
        learn.train(learner, 0, learn.Clock(), str(tmp_path / "a"), steps=3, eval_every=1e9)
    assert np.array_equal(runs[0].log_probs(rows), loaded.log_probs(rows))


def run_example(*args, **kw):
    code = ("import signal, runpy, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
            f"sys.argv = [{str(EXAMPLE)!r}] + {list(args)!r}; runpy.run_path({str(EXAMPLE)!r}, run_name='__main__')")
    return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, **kw)


def test_cli_line_chart_resume_and_ctrl_c(learn, tmp_path):
    ckpt, chart = str(tmp_path / "m.ckpt"), str(tmp_path / "chart.png")
    common = ["--cube", "2", "--hidden", "64", "--checkpoint", ckpt, "--beam", "64"]
    proc = run_example(*common, "--steps", "30", "--scrambles", "3", "--chart", chart)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err
    last = out.strip().splitlines()[-1]
    assert re.fullmatch(r"solved [0-3]/3; mean length (\d+\.\d\d|nan); optimal mean \d+\.\d\d", last)
    assert pathlib.Path(chart).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert learn.Learner.load(ckpt).steps == 30
    # A chart never replaces a tracked file.
    proc = run_example(*common, "--steps", "1", "--chart", str(EXAMPLE))
    assert proc.communicate(timeout=120)[0] == "" and proc.returncode == 2
    # Ctrl-C during training keeps a checkpoint that resumes.
    proc = run_example(*common, "--resume", "--minutes", "10", "--scrambles", "1", "--eval-every", "1")
    deadline = time.monotonic() + 60
    while learn.Learner.load(ckpt).steps == 30 and time.monotonic() < deadline:
        time.sleep(0.5)    # the first validation solve rewrites the checkpoint
        if proc.poll() is not None:
            break
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130 and "Interrupted" in err
    assert learn.Learner.load(ckpt).steps > 30
