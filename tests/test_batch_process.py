"""Process-level behaviour of the batch engine, each case in a fresh
interpreter: pool sizing from the environment, identical results for every
pool size, fork after the pool exists, and running without numpy."""

import os
import subprocess
import sys
import textwrap

import pytest

from host import needs_numpy

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
POOL_VARS = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


def run_python(code, env_vars=None, timeout=120):
    env = {k: v for k, v in os.environ.items() if k not in POOL_VARS}
    env.update(env_vars or {})
    # Keep numpy's own BLAS threads out of thread counts.
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    env.setdefault("OMP_NUM_THREADS", "1")
    env["PYTHONPATH"] = TESTS_DIR + os.pathsep + env.get("PYTHONPATH", "")
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# Prints how many threads the first batch operation started.
COUNT_WORKERS = """
    import os, numpy as np, tessaroll
    def threads():
        return len(os.listdir("/proc/self/task"))
    before = threads()
    batch = tessaroll.CubeBatch(4, 3)
    assert threads() == before  # nothing is started before a parallel operation
    batch.apply_move_indexes(np.zeros(0, dtype=np.uintp))  # even with no items
    print(threads() - before)
"""

linux_only = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")


@pytest.fixture(scope="module")
def default_workers():
    return int(run_python(COUNT_WORKERS))


@linux_only
@needs_numpy
def test_default_pool_size_follows_the_usable_processors(default_workers):
    usable = os.sched_getaffinity(0) if hasattr(os, "sched_getaffinity") else range(os.cpu_count())
    assert 1 <= default_workers <= len(usable)


@linux_only
@needs_numpy
@pytest.mark.parametrize("env, expected", [
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+2"}, 2),
    ({"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "4"}, 1),
    ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "+3"}, 3),
    ({"RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, None),
    ({"RAYON_NUM_THREADS": "-1"}, None),
    ({"RAYON_RS_NUM_CPUS": "0"}, None),
    ({"RAYON_NUM_THREADS": "99999999999999999999999999"}, None),
])
def test_pool_size_from_environment(env, expected, default_workers):
    assert int(run_python(COUNT_WORKERS, env)) == (expected or default_workers)


# Deterministic move application and a scramble, summarised.
SAME_RESULTS = """
    import hashlib, random, numpy as np, tessaroll
    rng = random.Random(1234)
    out = []
    for kind in (2, 3):
        batch = tessaroll.CubeBatch(3001, kind)
        for _ in range(25):
            n = rng.randrange(0, 3200)
            batch.apply_move_indexes(np.array([rng.randrange(14) for _ in range(n)], np.uintp))
        out.append(hashlib.sha256(batch.get_next_states().tobytes()).hexdigest())
    # A quarter turn is a 4-cycle of corners, an odd permutation: after L turns
    # the corner permutation parity of a 2x2 is L mod 2, whatever was drawn.
    lengths = np.array([rng.randrange(-2, 40) for _ in range(2000)], np.int64)
    batch = tessaroll.CubeBatch(2000, 2)
    batch.scramble(lengths)
    from test_batch import corner_parity as parity
    out.append(all(parity(c.state) == max(int(L), 0) % 2 for c, L in zip(batch, lengths)))
    out.append(all(c.is_solved() for c, L in zip(batch, lengths) if L <= 0))
    print(out)
"""


@needs_numpy
def test_results_do_not_depend_on_pool_size():
    results = [run_python(SAME_RESULTS, {"RAYON_NUM_THREADS": str(n)}) for n in (1, 2, 3)]
    assert results[0] == results[1] == results[2]
    assert results[0].strip().endswith("True, True]")


FORK_AFTER_USE = """
    import os, sys, time, warnings, numpy as np, tessaroll
    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
    def work():
        batch = tessaroll.CubeBatch(5000, 3)
        batch.scramble(np.full(5000, 30, np.int64))
        batch.apply_move_indexes(np.arange(5000, dtype=np.uintp) % 12)
        states = batch.get_next_states()
        assert states.shape == (60000, 54)
        assert (states.reshape(5000, 12, 54)[:, :, 4::9] == np.arange(6)).all()
        return batch
    work()
    pid = os.fork()
    if pid == 0:
        try:
            for _ in range(3):
                work()
            tessaroll.get_next_states([tessaroll.Cube2x2()])
        except BaseException:
            os._exit(1)
        os._exit(0)
    deadline = time.monotonic() + 60
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            sys.exit("child hung after fork")
        time.sleep(0.02)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    work()  # the parent's pool still works
    print("ok")
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@needs_numpy
@pytest.mark.parametrize("workers", ["1", "2"])
def test_child_forked_after_pool_use_gets_a_working_pool(workers):
    assert run_python(FORK_AFTER_USE, {"RAYON_NUM_THREADS": workers}).strip() == "ok"


# A forked child does not continue its parent's random streams: a batch
# scramble keys its pieces from the calling thread's generator, which the
# child forgets, on the calling thread and on the pool alike. The same call
# is made right after the fork in the parent and in two children; prints a
# digest of each result.
FORK_STREAMS = """
    import hashlib, os, time, warnings, numpy as np, tessaroll
    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
    n = {n}
    def scramble():
        batch = tessaroll.CubeBatch(n, 2)
        batch.scramble(np.full(n, 3, np.int64))
        return hashlib.sha256(repr([c.state for c in batch]).encode()).hexdigest()
    scramble()  # the thread's generator exists and holds buffered output
    # Every worker has started and run: under ASan, a fork while a thread is
    # still starting can leave the sanitizer's own locks held in the child,
    # whose first new thread then waits forever (seen once in that lane).
    tessaroll.CubeBatch(50_000, 2).get_next_states()
    time.sleep(0.1)
    digests = []
    for child in range(2):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.write(write_end, scramble().encode())
            os._exit(0)
        os.close(write_end)
        digests.append(os.read(read_end, 100).decode())
        os.waitpid(pid, 0)
    digests.append(scramble())
    print(*digests)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@needs_numpy
@pytest.mark.parametrize("n", [100, 20_000], ids=["calling-thread", "pool"])
def test_forked_children_do_not_replay_the_parents_batch_scrambles(n):
    digests = run_python(FORK_STREAMS.format(n=n)).split()
    assert len(digests) == 3 and len(set(digests)) == 3, digests


# {error} is what importing numpy raises: ModuleNotFoundError as for a
# missing package, or a plain ImportError as for a broken one.
WITHOUT_NUMPY = """
    import sys

    class BlockNumpy:
        def find_spec(self, name, path=None, target=None):
            if name == "numpy" or name.startswith("numpy."):
                raise {error}("numpy is blocked in this test", name="numpy")
            return None

    sys.meta_path.insert(0, BlockNumpy())
    import tessaroll
    c = tessaroll.Cube3x3()
    c.do_r_move()
    assert not c.is_solved()
    d = tessaroll.Cube2x2()
    d.do_f_move()
    batch = tessaroll.CubeBatch(3, 3)
    assert len(batch) == 3 and batch[-1].is_solved() and len(list(batch)) == 3
    assert str(batch) == (chr(10) * 2).join([str(tessaroll.Cube3x3())] * 3)
    for call in (lambda: batch.get_next_states(),
                 lambda: batch.apply_move_indexes([1]),
                 lambda: batch.scramble([1]),
                 lambda: tessaroll.get_next_states([c])):
        try:
            call()
        except ImportError as e:
            print(type(e).__name__, type(e.__cause__).__name__, e, sep="|")
    assert all(cube.is_solved() for cube in batch)
    assert not any(name == "numpy" or name.startswith("numpy.") for name in sys.modules)
"""


def test_single_cubes_work_without_numpy_and_batches_name_their_need():
    lines = run_python(WITHOUT_NUMPY.format(error="ModuleNotFoundError")).splitlines()
    assert lines == [f"ImportError|ModuleNotFoundError|{call} needs NumPy: pip install numpy"
                     for call in ("CubeBatch.get_next_states()", "CubeBatch.apply_move_indexes()",
                                  "CubeBatch.scramble()", "get_next_states()")]


def test_a_numpy_that_fails_to_import_reports_its_own_error():
    lines = run_python(WITHOUT_NUMPY.format(error="ImportError")).splitlines()
    assert lines == ["ImportError|NoneType|numpy is blocked in this test"] * 4
