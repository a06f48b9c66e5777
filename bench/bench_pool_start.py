"""Cost of starting the worker pool, by thread count: each count in a fresh
interpreter, timing the first batch call (which starts the pool) and a
second one, each spread over the whole pool (4 cubes a thread, 50 turns a
cube).

    python bench/bench_pool_start.py [COUNT ...]      (default 2 200 2000 20000)

Starting should cost time linear in the count; the figures are seconds of
wall time, so run it on a quiet machine and compare counts, not runs.
"""

import os
import subprocess
import sys

CHILD = r"""
import os, time, numpy as np, tessaroll
n = int(os.environ["RAYON_NUM_THREADS"])
batch = tessaroll.CubeBatch(4 * n, 3)
lengths = np.full(4 * n, 50, np.int64)
t0 = time.perf_counter()
batch.scramble(lengths)
t1 = time.perf_counter()
batch.scramble(lengths)
t2 = time.perf_counter()
print(len(os.listdir("/proc/self/task")) - 1, t1 - t0, t2 - t1)
"""


def main():
    counts = [int(a) for a in sys.argv[1:]] or [2, 200, 2000, 20000]
    print(f"{'threads':>8} {'started':>8} {'first call s':>13} {'second call s':>14}")
    for n in counts:
        env = dict(os.environ, RAYON_NUM_THREADS=str(n), OPENBLAS_NUM_THREADS="1")
        out = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                             text=True, timeout=3600)
        if out.returncode != 0:
            print(f"{n:>8} failed: {out.stderr.strip().splitlines()[-1:]}")
            continue
        started, first, second = out.stdout.split()
        print(f"{n:>8} {started:>8} {float(first):>13.3f} {float(second):>14.3f}")


if __name__ == "__main__":
    main()
