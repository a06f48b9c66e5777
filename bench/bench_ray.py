"""Ray against one process, for the examples' benchmark files.

    python -m pip install ".[solve,cluster]"      # ".[learn,cluster]" for --checkpoint
    python bench/bench_ray.py [--cubes 200] [--chunk 4] [--checkpoint learn-3x3.ckpt --cubes3 100]

1. Solves --cubes random 2x2 states (seeded random walks of 40 turns)
   optimally with examples/solve.py's search: in this process, in two plain
   processes side by side (what the machine gives two workers without Ray),
   then twice as Ray tasks of --chunk cubes on a local instance of one CPU
   and of two, the second time with the workers already started. Each
   task gets one CPU and runs its tessaroll pool on one thread, and so does
   this process, so the in-process time is the one-worker baseline.
2. Ray's cost per task: a task that does nothing, submitted and awaited one
   at a time, against the same call in this process; and the one-worker
   run's extra time over the in-process run, per task.
3. With --checkpoint, evaluates that learn.py model on --cubes3 random 3x3
   states (random walks of 100 turns) on Ray with one worker and with two.

Ray's workers run at this process's niceness, not Ray's default of 15.
Ray runs start timing once ray.init() has returned: worker start-up (and,
for the model, JAX's compilation in each worker) are inside the times, as a
user would see them. The load average before and after each run is given
beside it; on a shared machine only runs made side by side compare. Linux
shares the processors between sessions (autogroups) before processes, so
on a machine busy with other sessions a run's share does not grow with its
workers; as root, `echo -20 > /proc/self/autogroup` in the shell that starts
the run gives its session the priority (and `echo 0` gives it back).
"""

import argparse
import os
import random
import sys
import time

os.environ["RAYON_NUM_THREADS"] = "1"        # this process: one worker's share
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))

import batchrun  # noqa: E402
import solve  # noqa: E402


def walks(count, length, seed):
    rng = random.Random(seed)
    return [" ".join(batchrun.MOVES[rng.randrange(12)] for _ in range(length)) for _ in range(count)]


def cubes_of(lines):
    return [batchrun.Cube(i, text, batchrun.parse_moves(text), i + 1) for i, text in enumerate(lines)]


def load():
    return "%.1f" % os.getloadavg()[0]


def timed(label, fn, rows):
    before = load()
    started = time.perf_counter()
    result = fn()
    seconds = time.perf_counter() - started
    rows.append((label, seconds, f"{before} -> {load()}"))
    print(f"{label}: {seconds:.2f} s (load {rows[-1][2]})", file=sys.stderr, flush=True)
    return seconds, result


def quiet_progress(n):
    return batchrun.Progress(n, "bench", stream=open(os.devnull, "w"))


def solve_in_process(cubes, chunk):
    results = batchrun.Results(cubes, solve.MODELS[2])
    job = dict(cube=2, memory_limit=None, time_limit=0, optimal=False)
    batchrun.run(cubes, chunk, results, quiet_progress(len(cubes)), solve.solve_chunk, job)
    return results


def on_ray(workers, fn):
    import ray
    # The workers import this file for the no-op task. Ray runs its workers
    # at niceness 15, below this process and below whatever else shares the
    # machine; here they run at this process's, so that the two compare.
    batchrun.start_ray(None, workers, env={"PYTHONPATH": os.path.dirname(os.path.abspath(__file__)),
                                           "RAY_worker_niceness": "0"})
    try:
        return fn()
    finally:
        ray.shutdown()


def side_by_side(cubes, chunk):
    """Two processes without Ray, each solving every other cube: what the
    machine itself gives two workers."""
    import subprocess
    code = ("import sys; sys.path[:0] = [{here!r}, {examples!r}]; import bench_ray as b; "
            "cubes = b.cubes_of(b.walks({n}, 40, seed=2024))[{k}::2]; b.solve_in_process(cubes, {chunk})")
    here = os.path.dirname(os.path.abspath(__file__))
    examples = os.path.join(here, "..", "examples")
    procs = [subprocess.Popen([sys.executable, "-c", code.format(here=here, examples=examples, n=len(cubes), k=k,
                                                                 chunk=chunk)]) for k in (0, 1)]
    if any(p.wait() for p in procs):
        raise RuntimeError("a side-by-side process failed")


def solve_on_ray(cubes, chunk, workers):
    results = batchrun.Results(cubes, solve.MODELS[2])
    job = dict(cube=2, memory_limit=None, time_limit=0, optimal=False)
    batchrun.run(cubes, chunk, results, quiet_progress(len(cubes)), None, None,
                 remote="solve:solve_chunk", remote_job=job, workers=workers)
    return results


def nothing(job, chunk):
    return []


def task_overhead(count):
    """Seconds per no-op task, awaited one at a time, after a warm-up."""
    import ray
    task = ray.remote(num_cpus=1)(batchrun._remote_chunk)
    ray.get(task.remote("bench_ray:nothing", {}, []))
    started = time.perf_counter()
    for _ in range(count):
        ray.get(task.remote("bench_ray:nothing", {}, []))
    remote = (time.perf_counter() - started) / count
    started = time.perf_counter()
    for _ in range(count):
        batchrun._remote_chunk("bench_ray:nothing", {}, [])
    return remote, (time.perf_counter() - started) / count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cubes", type=int, default=200)
    parser.add_argument("--chunk", type=int, default=4)
    parser.add_argument("--checkpoint", help="a 3x3 learn.py checkpoint to evaluate on Ray")
    parser.add_argument("--cubes3", type=int, default=100)
    parser.add_argument("--beam", type=int, help="beam width for the model (default: learn.py's)")
    args = parser.parse_args()
    import ray
    rows = []
    cubes = cubes_of(walks(args.cubes, 40, seed=2024))
    tasks = -(-len(cubes) // args.chunk)
    local, reference = timed(f"2x2, {len(cubes)} cubes, in process (one thread)",
                             lambda: solve_in_process(cubes, args.chunk), rows)
    plain, _ = timed(f"2x2, {len(cubes)} cubes, two plain processes side by side (no Ray)",
                     lambda: side_by_side(cubes, args.chunk), rows)
    times, warm = {}, {}

    def runs(workers):
        cold, results = timed(f"2x2, {len(cubes)} cubes, Ray, {workers} worker(s), first run",
                              lambda: solve_on_ray(cubes, args.chunk, workers), rows)
        same = all(results.records[i]["solution"] == reference.records[i]["solution"] for i in range(len(cubes)))
        print(f"  same answers as in process: {same}", file=sys.stderr)
        again, _ = timed(f"2x2, {len(cubes)} cubes, Ray, {workers} worker(s), again (workers warm)",
                         lambda: solve_on_ray(cubes, args.chunk, workers), rows)
        return cold, again

    for workers in (1, 2):
        times[workers], warm[workers] = on_ray(workers, lambda: runs(workers))
    remote, in_process = on_ray(1, lambda: task_overhead(200))
    print(f"\nRay {ray.__version__}; {os.cpu_count()} CPUs; load now {load()}\n")
    print("| run | seconds | load before -> after |\n|---|---:|---|")
    for label, seconds, loads in rows:
        print(f"| {label} | {seconds:.2f} | {loads} |")
    print(f"\n2x2: one worker / two workers = {times[1] / times[2]:.2f} (first runs), "
          f"{warm[1] / warm[2]:.2f} (warm workers); one process / two plain processes = {local / plain:.2f}; "
          f"Ray with one warm worker / in process = {warm[1] / local:.2f} "
          f"({(warm[1] - local) / tasks * 1e3:.0f} ms a task over {tasks} tasks of {args.chunk} cubes)")
    print(f"No-op task, awaited one at a time: {remote * 1e3:.2f} ms on Ray, "
          f"{in_process * 1e6:.1f} us in process")

    if args.checkpoint:
        import learn
        learner = learn.Learner.load(args.checkpoint)
        width = args.beam or learn.SETTINGS[learner.cube]["beam"]
        cubes3 = cubes_of(walks(args.cubes3, 100, seed=2025))
        size = max(1, 16384 // width)
        seconds, answers = {}, {}
        for workers in (1, 2):
            def evaluate():
                results = batchrun.Results(cubes3, learn.MODELS[3])
                batchrun.run(cubes3, size, results, quiet_progress(len(cubes3)), None, None,
                             remote="learn:evaluate_chunk",
                             remote_job=learn.remote_job(learner, width, False), workers=workers)
                return results
            seconds[workers], results = timed(f"3x3 model, {len(cubes3)} cubes, Ray, {workers} worker(s)",
                                              lambda: on_ray(workers, evaluate), rows)
            print(f"  {results.summary()[1]}", file=sys.stderr)
            answers[workers] = [results.records[i]["solution"] for i in range(len(cubes3))]
        print(f"  same answers with one worker and two: {answers[1] == answers[2]}", file=sys.stderr)
        print(f"\n3x3 model ({args.checkpoint}: {learner.steps} steps, {learner.train_seconds / 60:.1f} min, "
              f"MLP {learner.hidden}, beam {width}, {size} cubes a task): "
              f"one worker {seconds[1]:.1f} s, two {seconds[2]:.1f} s, ratio {seconds[1] / seconds[2]:.2f}; "
              f"{results.summary()[1]}")
        for label, secs, loads in rows[-2:]:
            print(f"| {label} | {secs:.2f} | {loads} |")


if __name__ == "__main__":
    main()
