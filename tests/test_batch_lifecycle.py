"""The batch engine around the calls themselves, each case in a fresh
interpreter: Ctrl-C during long batch work, pool start-up as the thread
count grows (and when the system refuses threads), daemon threads inside a
batch call while the interpreter exits, and subinterpreters."""

import json
import os
import platform
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

# Every case drives a batch call with arrays in its child process.
pytest.importorskip("numpy")

from host import MEMORY_TOOL, NO_ADDRESS_SPACE_CAP  # noqa: E402
from test_batch import corner_parity  # noqa: E402
from test_batch_process import run_python  # noqa: E402

CPYTHON = platform.python_implementation() == "CPython"


def reachable(kind, corners, edges):
    """Whether packed words are a state turns can reach: whole permutations
    with nothing above the slots, twists summing to 0 mod 3, flips to 0 mod
    2, and (3x3) equal corner and edge permutation parity, as every quarter
    turn is a 4-cycle of each. Words torn between two moments of a scramble
    fail the last rule half the time."""
    c = [(corners >> (5 * k)) & 0x1F for k in range(8)]
    ok = corners >> 40 == 0 and sorted(f & 7 for f in c) == list(range(8))
    ok = ok and sum(f >> 3 for f in c) % 3 == 0
    if kind == 2:
        return ok
    e = [(edges >> (5 * k)) & 0x1F for k in range(12)]
    ok = ok and edges >> 60 == 0 and sorted(f & 15 for f in e) == list(range(12))
    return ok and sum(f >> 4 for f in e) % 2 == 0 and corner_parity(corners) == parity(
        [f & 15 for f in e])


def parity(perm):
    return sum(a > b for i, a in enumerate(perm) for b in perm[i + 1:]) % 2


# Waits on stdout for "ready", then scrambles forever; on KeyboardInterrupt
# prints the batch's words and lets the exception end the process. It sets
# its own SIGINT handler: started from a background job or under nohup, the
# test runner (and so the child) inherits SIGINT ignored, and Python then
# installs none.
SCRAMBLE_FOREVER = """
    import json, signal, numpy as np, tessaroll
    signal.signal(signal.SIGINT, signal.default_int_handler)
    batch = tessaroll.CubeBatch(4, {kind})
    print("ready", flush=True)
    try:
        batch.scramble(np.full(4, 10**12, np.int64))
    except KeyboardInterrupt:
        words = [[c.corners, int(c.to_binary_edges(), 2)] if {kind} == 3 else [c.state, None]
                 for c in batch]
        print(json.dumps(words), flush=True)
        raise
"""


@pytest.mark.parametrize("kind", [2, 3])
def test_sigint_ends_a_long_batch_scramble_leaving_reachable_states(kind):
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(SCRAMBLE_FOREVER.format(kind=kind))],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.3)  # well inside the scramble, which would take hours
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
        latency = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == -signal.SIGINT and "KeyboardInterrupt" in err, err
    assert latency < 2, latency
    words = json.loads(out)
    assert all(reachable(kind, c, e) for c, e in words), words
    assert sum(c != 0x000000398A418820 for c, _ in words) >= 1  # the scramble had begun


# A handler that fires while get_next_states() runs without the lock finds
# the batch borrowed for reading (a writer is refused), so whether it ran
# inside the call is observable. The call must then raise its exception.
HANDLER_INSIDE_NEXT_STATES = """
    import signal, numpy as np, tessaroll
    batch = tessaroll.CubeBatch(150_000, 2)
    ran_inside = []
    def handler(signum, frame):
        try:
            batch.apply_move_indexes(np.zeros(0, np.uintp))
            ran_inside.append(False)
        except RuntimeError:
            ran_inside.append(True)
        raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, handler)
    for attempt in range(8):  # a signal may land between two calls
        signal.setitimer(signal.ITIMER_REAL, 0.03)
        try:
            while True:
                batch.get_next_states()
        except KeyboardInterrupt:
            pass
        if ran_inside[-1]:
            break
    print(ran_inside[-1])
"""


@pytest.mark.skipif(MEMORY_TOOL, reason="slow and large under ASan and valgrind")
def test_signal_handler_runs_inside_get_next_states():
    out = run_python(HANDLER_INSIDE_NEXT_STATES, {"RAYON_NUM_THREADS": "1"})
    assert out.strip() == "True"


# Processor time (all threads) of starting the pool and a first call spread
# over all of it, which other processes' load hardly changes, and how many
# threads that added.
POOL_START = """
    import os, time, numpy as np, tessaroll
    n = int(os.environ["RAYON_NUM_THREADS"])
    before = len(os.listdir("/proc/self/task"))
    batch = tessaroll.CubeBatch(4 * n, 3)
    lengths = np.full(4 * n, 50, np.int64)
    started = time.process_time()
    batch.scramble(lengths)
    print(time.process_time() - started, len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.skipif(MEMORY_TOOL, reason="thousands of threads under ASan and valgrind")
def test_pool_start_grows_linearly_with_the_thread_count():
    def start(n):
        return min((tuple(map(float, run_python(POOL_START, {"RAYON_NUM_THREADS": str(n)}).split()))
                    for _ in range(3)))

    small_time, small_threads = start(150)
    large_time, large_threads = start(1500)
    assert (small_threads, large_threads) == (150, 1500)
    # Ten times the threads: about ten times the time; the quadratic start
    # this replaces took about a hundred times.
    assert large_time / small_time < 35, (small_time, large_time)


# With the address space capped while the pool starts, only some of 2,000
# threads can get their stacks: the pool runs with those it got.
REFUSED_THREADS = """
    import os, resource, numpy as np, tessaroll
    def threads():
        return len(os.listdir("/proc/self/task"))
    count = 200_000
    batch = tessaroll.CubeBatch(count, 3)
    moves = np.arange(count, dtype=np.uintp) % 12
    with open("/proc/self/status") as status:
        vm = next(int(l.split()[1]) for l in status if l.startswith("VmSize:")) * 1024
    before = threads()
    resource.setrlimit(resource.RLIMIT_AS, (vm + (96 << 20), resource.RLIM_INFINITY))
    batch.apply_move_indexes(moves)
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    started = threads() - before
    assert 0 < started < 2000, started
    r = tessaroll.Cube3x3()
    r.do_r_move()  # move index 4
    assert batch[4].to_binary() == batch[count - 4].to_binary() == r.to_binary()
    batch.apply_move_indexes(moves ^ 1)  # each inverse turn
    assert all(c.is_solved() for c in batch)
    print("ok")
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.skipif(MEMORY_TOOL, reason="ASan reserves more address space than any cap")
@pytest.mark.skipif(NO_ADDRESS_SPACE_CAP is not None, reason=str(NO_ADDRESS_SPACE_CAP))
def test_pool_works_with_the_threads_the_system_grants():
    out = run_python(REFUSED_THREADS, {"RAYON_NUM_THREADS": "2000"})
    assert out.strip() == "ok"


# glibc allocates a loaded module's thread-local block on a thread's first
# touch of it and aborts the process ("cannot allocate memory for
# thread-local data") when that fails, as it may once the address space is
# full. The pool's workers touch none, and the module keeps at most two
# words there for the Python threads. The segment's memory size is the
# sixth column of readelf's program headers.
@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf (binutils)")
def test_the_module_keeps_at_most_16_bytes_of_thread_local_data():
    import tessaroll
    headers = subprocess.run(["readelf", "-lW", tessaroll.__file__], capture_output=True,
                             text=True, check=True).stdout
    assert "Program Headers:" in headers, headers
    tls = [int(line.split()[5], 16) for line in headers.splitlines()
           if line.split()[:1] == ["TLS"]]
    assert len(tls) <= 1 and sum(tls) <= 16, tls


# Forked children, each with a daemon thread looping get_next_states() while
# the main thread returns (and an atexit handler raises): the interpreter
# ends such threads when they ask for the lock back, and that must never
# abort the process. Every other child has run the atexit callbacks once
# before (atexit._run_exitfuncs()), which drops the module's exit hook until
# the next batch call registers it again. The thread comes from threading,
# or from _thread in a program that never imports threading. Prints the
# children's exit statuses.
DAEMON_EXIT = """
    import _thread, atexit, os, random, sys, time, warnings
    if {use_threading}:
        import threading
    import numpy as np, tessaroll
    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
    rng = random.Random(5)
    statuses = []
    for run in range({runs}):
        count = rng.choice([500, 1000, 3000])
        pid = os.fork()
        if pid == 0:
            if run % 2:
                atexit._run_exitfuncs()
            batch = tessaroll.CubeBatch(count, 3)
            started = []
            def loop():
                started.append(True)
                while True:
                    batch.get_next_states()
            if {use_threading}:
                threading.Thread(target=loop, daemon=True).start()
            else:
                _thread.start_new_thread(loop, ())
            while not started:
                time.sleep(0.001)
            time.sleep(rng.random() * 0.01)
            atexit.register(lambda: 1 / 0)
            sys.stderr = open(os.devnull, "w")
            sys.exit(0)
        _, status = os.waitpid(pid, 0)
        statuses.append(os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status))
    print(sorted(set(statuses)), len(statuses))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("use_threading", [True, False], ids=["threading", "_thread"])
def test_daemon_threads_in_a_batch_call_never_abort_the_exit(use_threading):
    runs = 20 if MEMORY_TOOL else 100
    out = run_python(DAEMON_EXIT.format(runs=runs, use_threading=use_threading), timeout=600)
    assert out.split() == ["[0]", str(runs)]


SUBINTERPRETER = """
    try:
        import _interpreters as interpreters  # 3.13
    except ImportError:
        import _xxsubinterpreters as interpreters  # 3.12
    import os, tempfile
    path = os.path.join(tempfile.mkdtemp(), "result")
    code = "\\n".join([
        "try:",
        "    import tessaroll",
        "    result = 'imported'",
        "except ImportError as e:",
        "    result = 'ImportError: ' + str(e)",
        f"open({path!r}, 'w').write(result)",
    ])
    interpreters.run_string(interpreters.create(), code)
    print(open(path).read())
"""


@pytest.mark.skipif(not CPYTHON or sys.version_info < (3, 12),
                    reason="subinterpreters with their own GIL: CPython 3.12+")
def test_subinterpreter_import_is_refused():
    out = run_python(SUBINTERPRETER)
    assert out.startswith("ImportError:") and "tessaroll" in out, out
