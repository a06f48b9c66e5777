"""The benchmark report's charts: units on every axis, each bar naming what
it is measured against, and charts redrawn from saved measurements showing
the same figures as the run that measured them."""

import importlib.util
import pathlib
import sys

import pytest

pytest.importorskip("numpy")
pytest.importorskip("matplotlib")

BENCH = pathlib.Path(__file__).resolve().parents[1] / "bench"
ROWS = [
    ("Cube3x3.do_u_move()", 2e-8, "row[perm] on a (54,) row", 2e-7, "[].clear() call", 1.6e-8),
    ("get_next_states(), 9 cubes", 3e-3, "np.take gather", 9e-3, "np.ones of the same shape", 5e-3),
    ("scramble(), one turn", 5e-4, "draw + gather", 6e-2, None, None),
]
SWEEP = [(n, {"next": 4e-7 * n, "ones": 3e-7 * n + 1e-6, "apply": 7e-8 + 5e-9 * n,
              "scramble": 3e-7 * n, "len": 3e-8}) for n in (1, 10, 100)]


@pytest.fixture(scope="module")
def run():
    sys.path.insert(0, str(BENCH))
    try:
        spec = importlib.util.spec_from_file_location("bench_run", BENCH / "run.py")
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    finally:
        sys.path.remove(str(BENCH))
    import matplotlib.pyplot as plt

    yield module
    plt.close("all")


def drawn(draw, *args):
    import matplotlib.pyplot as plt

    plt.close("all")
    draw(*args)
    return plt.gcf()


@pytest.mark.parametrize("chart", ["ratios", "sweep"])
def test_every_axis_has_a_unit(run, chart, tmp_path):
    fig = (drawn(run.plot, ROWS, tmp_path / "a.png", "m") if chart == "ratios"
           else drawn(run.plot_sweep, SWEEP, tmp_path / "b.png", "m"))
    for ax in fig.axes:
        labels = [ax.get_xlabel()] + ([ax.get_ylabel()] if chart == "sweep" else [])
        for label in labels:
            assert label.endswith(")") and "(" in label, label  # "quantity (unit...)"


def test_each_bar_names_its_baseline_and_limit(run, tmp_path):
    left, right = drawn(run.plot, ROWS, tmp_path / "a.png", "m").axes
    left_texts = [t.get_text() for t in left.texts]
    right_texts = [t.get_text() for t in right.texts]
    for (_, t, base, t_base, limit, t_limit), lt, rt in zip(ROWS, left_texts, right_texts):
        assert lt.strip() == f"{t_base / t:.1f}x vs {base}"
        assert rt.strip() == (f"{t / t_limit:.2f}x of {limit}" if limit else "no limit measured")


def test_sweep_plots_time_per_cube_in_nanoseconds(run, tmp_path):
    left = drawn(run.plot_sweep, SWEEP, tmp_path / "b.png", "m").axes[0]
    by_label = {line.get_label(): list(line.get_ydata()) for line in left.get_lines()}
    assert by_label["get_next_states()"] == pytest.approx([t["next"] / n * 1e9 for n, t in SWEEP])
    assert by_label["apply_move_indexes()"] == pytest.approx([t["apply"] / n * 1e9 for n, t in SWEEP])


@pytest.mark.parametrize("sweep", [SWEEP, None])
def test_saved_measurements_redraw_the_same_tables(run, tmp_path, sweep):
    path = tmp_path / "bench_results.json"
    run.save_results(path, "a machine", ROWS, sweep)
    where, rows, loaded = run.load_results(path)
    assert where == "a machine"
    assert run.table(rows) == run.table(ROWS)
    assert (loaded is None) == (sweep is None)
    if sweep:
        assert run.sweep_table(loaded) == run.sweep_table(sweep)


def test_docs_charts_have_their_measurements(run):
    # The figures the performance page's charts were drawn from are kept,
    # so the charts can be redrawn (--replot) without measuring again.
    where, rows, sweep = run.load_results(BENCH.parent / "docs" / "bench_results.json")
    assert len(rows) == 6 and len(sweep) == 7
    assert all(t > 0 and t_base > 0 for _, t, _, t_base, _, _ in rows)
