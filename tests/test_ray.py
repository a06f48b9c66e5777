"""solve.py's benchmark files on Ray: the same answers as in one process,
a worker killed mid-run, and Ctrl-C. Each test starts its own local Ray
instance (two CPUs, no dashboard) and shuts it down; an alarm bounds it."""

import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("numpy")
ray = pytest.importorskip("ray", reason='Ray is not installed (pip install ".[cluster]")')

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))
import batchrun  # noqa: E402
import solve  # noqa: E402

from reference import MOVE_NAMES  # noqa: E402

TIMEOUT = 300


@pytest.fixture(autouse=True)
def alarm():
    """Fail a test that hangs, in this process, rather than hang the run."""
    def expired(*_):
        raise TimeoutError(f"a Ray test ran past {TIMEOUT} s")

    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(TIMEOUT)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def scramble_file(tmp_path, count, seed, length=(16, 24)):
    rng = random.Random(seed)
    lines = [" ".join(rng.choice(MOVE_NAMES) for _ in range(rng.randrange(*length))) for _ in range(count)]
    path = tmp_path / "set.txt"
    path.write_text("\n".join(lines) + "\n")
    return path


def answers(records):
    """Everything of each cube's record but the time it took."""
    return {r["index"]: {k: v for k, v in r.items() if k != "seconds"} for r in records}


def read_jsonl(path):
    return [json.loads(line) for line in pathlib.Path(path).read_text().splitlines()]


def local_answers(cubes, cube_type=2):
    results = batchrun.Results(cubes, solve.MODELS[cube_type])
    job = dict(cube=cube_type, memory_limit=None, time_limit=0, optimal=False)
    batchrun.run(cubes, 4, results, batchrun.Progress(len(cubes)), solve.solve_chunk, job)
    return answers(results.records.values())


def run_cli(*args, **kw):
    """solve.py in a child that sees SIGINT whatever its parent ignores."""
    code = ("import runpy, signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
            f"sys.argv = [{str(EXAMPLES / 'solve.py')!r}] + {list(args)!r}; "
            f"runpy.run_path({str(EXAMPLES / 'solve.py')!r}, run_name='__main__')")
    return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, **kw)


def test_the_same_answers_with_and_without_ray(tmp_path):
    path = scramble_file(tmp_path, 24, seed=1)
    out = tmp_path / "ray.jsonl"
    proc = run_cli("--cube", "2", "--file", str(path), "--out", str(out), "--ray", "--workers", "2",
                   "--chunk", "3", "--time-limit", "0")
    stdout, stderr = proc.communicate(timeout=TIMEOUT)
    assert proc.returncode == 0, stderr
    recs = read_jsonl(out)
    assert sorted(r["index"] for r in recs) == list(range(24))
    assert answers(recs) == local_answers(batchrun.read_scrambles(str(path)))
    assert stdout.splitlines()[-1].startswith("solved 24/24; mean length ")
    assert "Traceback" not in stderr


PROBE = '''
import os
import time

import solve


def solve_chunk(job, chunk):
    """solve.py's chunk, but the chunk holding the victim cube first
    records its worker's pid and waits to be killed (once)."""
    marker = job["marker"]
    if any(c.index == job["victim"] for c in chunk) and not os.path.exists(marker + ".killed"):
        with open(marker + ".tmp", "w") as f:
            f.write(str(os.getpid()))
        os.replace(marker + ".tmp", marker)
        time.sleep(600)
    return list(solve.solve_chunk(job, chunk))
'''


def test_a_killed_worker_is_retried_and_every_cube_solved_once(tmp_path):
    cubes = batchrun.read_scrambles(str(scramble_file(tmp_path, 16, seed=2)))
    (tmp_path / "probe.py").write_text(PROBE)
    marker = str(tmp_path / "victim.pid")
    job = dict(cube=2, memory_limit=None, time_limit=0, optimal=False, marker=marker, victim=9)
    out = str(tmp_path / "out.jsonl")
    killed = []

    def killer():
        deadline = time.monotonic() + TIMEOUT
        while not os.path.exists(marker) and time.monotonic() < deadline:
            time.sleep(0.1)
        pid = int(pathlib.Path(marker).read_text())
        pathlib.Path(marker + ".killed").touch()
        os.kill(pid, signal.SIGKILL)
        killed.append(pid)

    thread = threading.Thread(target=killer, daemon=True)
    thread.start()
    results = batchrun.Results(cubes, solve.MODELS[2], out)
    try:
        batchrun.start_ray(None, 2, env={"PYTHONPATH": str(tmp_path)})
        batchrun.run(cubes, 2, results, batchrun.Progress(len(cubes)), None, None,
                     remote="probe:solve_chunk", remote_job=job, workers=2)
    finally:
        results.close()
        ray.shutdown()
    thread.join(timeout=10)
    assert killed, "the victim's worker was never killed"
    recs = read_jsonl(out)
    assert sorted(r["index"] for r in recs) == list(range(16))      # every cube once
    assert all(r["solution"] is not None for r in recs)
    assert answers(recs) == local_answers(cubes)


def test_ctrl_c_keeps_finished_cubes_and_resume_completes(tmp_path):
    path = scramble_file(tmp_path, 60, seed=3, length=(20, 30))
    out = tmp_path / "out.jsonl"
    proc = run_cli("--cube", "2", "--file", str(path), "--out", str(out), "--ray", "--workers", "2",
                   "--chunk", "1", "--time-limit", "0")
    deadline = time.monotonic() + TIMEOUT - 60
    while time.monotonic() < deadline and proc.poll() is None:
        if out.exists() and len(out.read_text().splitlines()) >= 3:
            break
        time.sleep(0.2)
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=120)
    assert proc.returncode == 130, stderr
    kept = read_jsonl(out)
    assert "Traceback" not in stderr
    assert f"Interrupted: {len(kept)} of 60 cubes kept in {out}." in stderr
    assert 3 <= len(kept) < 60
    proc = run_cli("--cube", "2", "--file", str(path), "--out", str(out), "--resume", "--time-limit", "0")
    stdout, stderr = proc.communicate(timeout=TIMEOUT)
    assert proc.returncode == 0, stderr
    recs = read_jsonl(out)
    assert sorted(r["index"] for r in recs) == list(range(60))
    assert answers(recs[:len(kept)]) == answers(kept)
    assert stdout.splitlines()[-1].startswith("solved 60/60;")
