"""The benchmark report: every benchmark of the project in one process, each
beside its NumPy baseline and the limit it runs against (the interpreter's
call overhead for single-cube calls, memory bandwidth for batches).

    python -m pip install ".[bench]"      # tessaroll with NumPy and matplotlib
    python bench/run.py [--cubes N] [--repeat R] [--out-dir DIR | --update-docs]
                        [--plot FILE] [--sweep-plot FILE] [--no-plot] [--no-sweep]
                        [--interpreters CPYTHON PYPY] [--replot JSON]

Prints a markdown table and draws a bar chart of the ratios, then a sweep
of batch sizes from 1 to a million cubes with its own chart. The charts go
to --out-dir (default: a new directory under the system's temporary
directory), or to --plot and --sweep-plot; only --update-docs replaces the
charts the docs show (docs/performance.png, docs/batch_sweep.png) and the
measurements behind them (docs/bench_results.json); --replot JSON draws
both charts again from such a file without measuring.
Without matplotlib it says so before measuring, and prints the tables
alone unless a chart was asked for by name. Times are the
best of R runs; ratios are taken between runs made in the same process, so
they hold on a noisy machine better than the times do. With --interpreters,
a second table puts single-cube calls on the given interpreters side by
side (bench/per_call.py; each needs tessaroll installed).
"""

import argparse
import importlib.util
import json
import os
import pathlib
import platform
import sys
import tempfile
import time
import timeit

import numpy as np

import tessaroll
from bench_batch import sticker_permutations

MOVES = ["U", "U'", "D", "D'", "R", "R'", "L", "L'", "F", "F'", "B", "B'"]
SCRAMBLE = "R U F' L2 D B' R2 U' F D2 L' B2 R' U2 F2 D' L B U R"  # 20 tokens


def per_call(stmt, env, repeat, number=200_000):
    return min(timeit.repeat(stmt, globals=env, number=number, repeat=repeat)) / number


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return min(times)


def single_cube_rows(perms, repeat):
    """Calls on one cube against a NumPy sticker row and the bare call cost."""
    row = np.arange(54, dtype=np.int64) % 6
    cube = tessaroll.Cube3x3()
    cube.do_moves(SCRAMBLE)
    token_perms = {}
    for i, name in enumerate(MOVES):
        token_perms[name] = perms[i]
        if len(name) == 1:
            token_perms[name + "2"] = perms[i][perms[i]]

    def numpy_do_moves(text, start):
        state = start
        for token in text.split():
            state = state[token_perms[token]]
        return state

    env = {"cube": cube, "row": row, "perm": perms[0], "lst": [], "s": SCRAMBLE,
           "numpy_do_moves": numpy_do_moves}
    return [
        ("Cube3x3.do_u_move()", per_call("cube.do_u_move()", env, repeat),
         "row[perm] on a (54,) row", per_call("row[perm]", env, repeat),
         "[].clear() call", per_call("lst.clear()", env, repeat)),
        ("Cube3x3.to_sticker_array()", per_call("cube.to_sticker_array()", env, repeat),
         "(54,) row .tolist()", per_call("row.tolist()", env, repeat),
         "list(range(54))", per_call("list(range(54))", env, repeat)),
        ("Cube3x3.do_moves(20 tokens)", per_call("cube.do_moves(s)", env, repeat, 50_000),
         "20 row gathers", per_call("numpy_do_moves(s, row)", env, repeat, 20_000),
         "str.split()", per_call("s.split()", env, repeat)),
    ]


def batch_rows(perms, n, repeat):
    """Batch operations on n 3x3 cubes against NumPy on (n, 54) sticker rows."""
    batch = tessaroll.CubeBatch(n, 3)
    batch.scramble(np.full(n, 30, np.int64))
    stickers = np.ascontiguousarray(batch.get_next_states()[0::12][:, perms[1]])
    rows_index = np.arange(n)[:, None]
    moves = np.random.default_rng(1).integers(0, 12, n).astype(np.uintp)
    packed = np.zeros((n, 2), np.uint64)  # the batch's own footprint: 16 bytes a cube
    packed_out = np.empty_like(packed)

    t_next = best(batch.get_next_states, repeat)
    t_take = best(lambda: np.take(stickers, perms, axis=1).reshape(12 * n, 54), repeat)
    t_ones = best(lambda: np.ones((12 * n, 54), np.int64), repeat)
    t_apply = best(lambda: batch.apply_move_indexes(moves), repeat)
    t_gather = best(lambda: stickers[rows_index, perms[moves]], repeat)
    t_copy = best(lambda: np.copyto(packed_out, packed), repeat)
    length = 20
    lengths = np.full(n, length, np.int64)
    t_scramble = best(lambda: batch.scramble(lengths), repeat) / length

    def numpy_scramble_step():
        draws = np.random.default_rng().integers(0, 12, n)
        return stickers[rows_index, perms[draws]]

    t_np_step = best(numpy_scramble_step, repeat)
    return [
        (f"get_next_states(), {n:,} cubes", t_next,
         "np.take gather of the same array", t_take,
         "np.ones of the same shape (bandwidth)", t_ones),
        (f"apply_move_indexes(), {n:,} cubes", t_apply,
         "fancy-index gather on (n, 54) rows", t_gather,
         "copying the (n, 2) state words", t_copy),
        (f"scramble(), one turn for {n:,} cubes", t_scramble,
         "draw + fancy-index gather", t_np_step,
         None, None),
    ]


SWEEP_SIZES = [1, 10, 100, 1_000, 10_000, 100_000, 1_000_000]


def batch_size_sweep(repeat, sizes=SWEEP_SIZES):
    """Time per call of the batch operations on n 3x3 cubes, n from 1 to a
    million, each against NumPy writing the same output (np.ones of the
    successor array's shape) or against the call cost of batch.len(). Small
    calls run on the calling thread, large ones on the pool; the ratios show
    that neither end pays for the other."""
    rows = []
    for n in sizes:
        batch = tessaroll.CubeBatch(n, 3)
        moves = np.random.default_rng(n).integers(0, 12, n).astype(np.uintp)
        lengths = np.full(n, 20, np.int64)
        # Enough calls per timing to last a few milliseconds.
        number = max(1, 20_000 // n)
        per = {}
        for name, fn in [("next", batch.get_next_states),
                         ("ones", lambda: np.ones((12 * n, 54), np.int64)),
                         ("apply", lambda: batch.apply_move_indexes(moves)),
                         ("scramble", lambda: batch.scramble(lengths)),
                         ("len", batch.len)]:
            per[name] = min(timeit.repeat(fn, number=number, repeat=repeat)) / number
        rows.append((n, per))
    return rows


def sweep_table(rows):
    lines = [
        "| cubes | get_next_states() | np.ones, same shape | ratio | apply_move_indexes() "
        "| per cube | scramble(), 20 turns each | per turn |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for n, t in rows:
        lines.append(
            f"| {n:,} | {fmt_time(t['next'])} | {fmt_time(t['ones'])} | "
            f"{t['next'] / t['ones']:.2f}x | {fmt_time(t['apply'])} | "
            f"{fmt_time(t['apply'] / n)} | {fmt_time(t['scramble'])} | "
            f"{fmt_time(t['scramble'] / (20 * n))} |")
    n, t = rows[0]
    lines.append(f"\nSmallest batch ({n:,}): batch.len() {fmt_time(t['len'])}, "
                 f"apply_move_indexes() {t['apply'] / t['len']:.1f}x that.")
    return "\n".join(lines)


def plot_sweep(rows, path, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = [n for n, _ in rows]
    # One panel above the other, so that the chart stays legible in a
    # page's text column.
    fig, (left, right) = plt.subplots(2, 1, figsize=(8, 9))
    for key, label in [("next", "get_next_states()"), ("ones", "np.ones, same shape"),
                       ("apply", "apply_move_indexes()"), ("scramble", "scramble(), 20 turns")]:
        left.plot(sizes, [t[key] / n * 1e9 for n, t in rows], marker="o", label=label)
    left.set_xscale("log")
    left.set_yscale("log")
    left.set_xlabel("cubes in the batch (count, log scale)")
    left.set_ylabel("time per cube (ns, log scale)")
    left.set_title("time per cube of one call (lower is better)")
    left.legend()
    ratios = [t["next"] / t["ones"] for _, t in rows]
    right.plot(sizes, ratios, marker="o", color="#2a9d8f")
    for n, r in zip(sizes, ratios):
        right.annotate(f"{r:.2f}x", (n, r), textcoords="offset points", xytext=(0, 6),
                       ha="center", fontsize=8)
    right.axhline(1, color="black", linewidth=0.8)
    right.set_xscale("log")
    right.set_ylim(0, max(2.0, max(ratios) * 1.15))
    right.set_xlabel("cubes in the batch (count, log scale)")
    right.set_ylabel("get_next_states() time / np.ones time (x)")
    right.set_title("successors against filling the same bytes\n(1 = as fast as np.ones; lower is better)")
    fig.suptitle(title, fontsize=9)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return (f"{cpu}, {os.cpu_count()} logical CPUs, {platform.python_implementation()} "
            f"{platform.python_version()}, NumPy {np.__version__}")


def fmt_time(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} µs"
    return f"{seconds * 1e9:.1f} ns"


def table(rows):
    lines = [
        "| Operation | tessaroll | NumPy baseline | speed-up | limit | time / limit |",
        "|---|---:|---|---:|---|---:|",
    ]
    for name, t, base_name, t_base, limit_name, t_limit in rows:
        limit = f"{limit_name}: {fmt_time(t_limit)}" if limit_name else "—"
        over = f"{t / t_limit:.2f}x" if limit_name else "—"
        lines.append(f"| {name} | {fmt_time(t)} | {base_name}: {fmt_time(t_base)} | "
                     f"{t_base / t:.1f}x | {limit} | {over} |")
    return "\n".join(lines)


def plot(rows, path, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [r[0] for r in rows]
    speedup = [r[3] / r[1] for r in rows]
    over_limit = [r[1] / r[5] if r[4] else 0.0 for r in rows]
    fig, (left, right) = plt.subplots(2, 1, figsize=(9, 1.1 * len(rows) + 3.5))
    y = np.arange(len(rows))
    left.barh(y, speedup, color="#2a9d8f")
    left.set_xscale("log")
    left.set_xlim(0.5, max(speedup) * 60)  # room for the baseline's name
    left.axvline(1, color="black", linewidth=0.8)
    left.set_xlabel("NumPy baseline's time / tessaroll's time (x, log scale)")
    left.set_title("speed-up over the NumPy baseline (higher is better)")
    left.set_yticks(y, names)
    left.invert_yaxis()
    for yi, v, r in zip(y, speedup, rows):
        left.text(v, yi, f" {v:.1f}x vs {r[2]}", va="center", fontsize=8)
    limited = [v for v in over_limit if v]
    right.barh(y, [v or np.nan for v in over_limit], color="#e76f51")
    right.set_yticks(y, names)
    right.set_ylim(len(rows) - 0.5, -0.5)  # top to bottom, bars without a limit included
    right.set_xscale("log")
    right.set_xlim(min(limited + [1]) / 2, max(limited + [1]) * 60)
    right.axvline(1, color="black", linewidth=0.8)
    right.set_xlabel("tessaroll's time / the limit's time (x, log scale)")
    right.set_title("time against its limit (1 = as fast as the limit)")
    for yi, v, r in zip(y, over_limit, rows):
        right.text(v if r[4] else 1, yi, f" {v:.2f}x of {r[4]}" if r[4] else " no limit measured",
                   va="center", fontsize=8)
    fig.suptitle(title, fontsize=9)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)


def save_results(path, where, rows, sweep):
    """The measurements behind the tables and charts, so that both can be
    drawn again without measuring (--replot)."""
    data = {"machine": where, "rows": [list(r) for r in rows],
            "sweep": [[n, t] for n, t in sweep] if sweep else None}
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(data, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")


def load_results(path):
    data = json.loads(path.read_text(encoding="utf-8"))
    rows = [tuple(r) for r in data["rows"]]
    sweep = [(n, t) for n, t in data["sweep"]] if data.get("sweep") else None
    return data["machine"], rows, sweep


DOCS = pathlib.Path(__file__).resolve().parents[1] / "docs"
NO_MATPLOTLIB = ('matplotlib is not installed, so there will be no charts; install it with the '
                 'bench extra (python -m pip install ".[bench]" in the source tree) or '
                 'python -m pip install matplotlib')


def chart_paths(parser, args):
    """Where the two charts go; sets args.no_plot when none can be drawn.
    Settled before anything is measured, so a missing plotting library is
    reported before the long part of the run."""
    if args.no_plot:
        return
    if importlib.util.find_spec("matplotlib") is None:
        if args.update_docs or args.plot or args.sweep_plot:
            parser.error(NO_MATPLOTLIB.replace("so there will be no charts", "so no chart can be drawn"))
        print(f"Note: {NO_MATPLOTLIB}. Printing the tables alone.\n", file=sys.stderr)
        args.no_plot = True
        return
    if args.update_docs:
        out = DOCS
    elif args.out_dir is not None:
        out = args.out_dir
    else:
        out = pathlib.Path(tempfile.mkdtemp(prefix="tessaroll-bench-"))
    args.plot = args.plot or out / "performance.png"
    args.sweep_plot = args.sweep_plot or out / "batch_sweep.png"
    args.results = out / "bench_results.json"


def phase(what):
    """A line on stderr as each part starts: the tables come only at the
    end, and a redirected run would otherwise say nothing for minutes."""
    print(f"measuring {what} ...", file=sys.stderr, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cubes", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=5)
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--out-dir", type=pathlib.Path, metavar="DIR",
                       help="directory for both charts (default: a new temporary directory)")
    output.add_argument("--update-docs", action="store_true",
                       help=f"replace the charts and their measurements in {DOCS}")
    parser.add_argument("--plot", type=pathlib.Path, metavar="FILE",
                        help="the ratio chart's file (overrides the directory)")
    parser.add_argument("--sweep-plot", type=pathlib.Path, metavar="FILE",
                        help="the batch-size chart's file (overrides the directory)")
    parser.add_argument("--no-plot", action="store_true", help="print the tables alone")
    parser.add_argument("--no-sweep", action="store_true")
    parser.add_argument("--interpreters", nargs="+", metavar="PYTHON",
                        help="also time single-cube calls on these, the first as the baseline")
    parser.add_argument("--replot", type=pathlib.Path, metavar="JSON",
                        help="print the tables and draw the charts again from the "
                             "bench_results.json of an earlier run, without measuring")
    args = parser.parse_args()
    args.results = None
    chart_paths(parser, args)

    if args.replot:
        where, rows, sweep = load_results(args.replot)
        print(f"Measured earlier on: {where} ({args.replot})\n")
    else:
        perms = sticker_permutations()
        phase("single-cube calls")
        rows = single_cube_rows(perms, args.repeat)
        phase(f"batches of {args.cubes:,} cubes")
        rows += batch_rows(perms, args.cubes, args.repeat)
        where = machine()
        print(f"Measured on: {where}; pool: RAYON_NUM_THREADS="
              f"{os.environ.get('RAYON_NUM_THREADS', 'default')}\n")
        sweep = None
    print(table(rows))
    if not args.no_plot:
        plot(rows, args.plot, where)
        print(f"\nchart written to {args.plot}")
    if not args.no_sweep:
        if not args.replot:
            phase("batch sizes from 1 to 1,000,000 cubes")
            sweep = batch_size_sweep(args.repeat)
        if sweep:
            print("\nBatch sizes, 3x3 cubes:\n")
            print(sweep_table(sweep))
            if not args.no_plot:
                plot_sweep(sweep, args.sweep_plot, where)
                print(f"\nchart written to {args.sweep_plot}")
    if args.results and not args.replot:
        save_results(args.results, where, rows, sweep)
        print(f"\nmeasurements written to {args.results}")
    if args.interpreters:
        import per_call

        phase("single-cube calls on " + ", ".join(args.interpreters))
        print("\nSingle-cube calls by interpreter:\n")
        print(per_call.compare(args.interpreters))


if __name__ == "__main__":
    main()
