"""Charts of the learned 3x3 solver's random-state results.

Reads the JSON lines that `learn.py --random-states N --record FILE` appends
and draws two panels: solve rate and mean length / 20.66 against training
minutes, and seconds per cube against beam width.

    python examples/learn_chart.py results.jsonl [more.jsonl ...] chart.png
"""

from __future__ import annotations

import json
import sys

OPTIMAL_MEAN = 20.66
# What the published learned solvers report, with their hardware (the
# optimal-solution rates on DeepCubeA's 1,000 test states as a later paper
# tabulates them; the length ratio and the training times as the issue
# quotes them).
ANCHORS = ("DeepCubeA: 100% solved, 60.3% optimal; 4 NVIDIA TITAN V GPUs, about 2 days of training\n"
           "EfficientCube: 100% solved, 69.6% optimal; 1 NVIDIA T4 GPU, several days\n"
           "both about 1.03 x optimal length")


def load(*paths):
    """The records of the files, those of one checkpoint, beam widths and
    table merged into one (their states pooled)."""
    merged = {}
    for path in paths:
        with open(path) as f:
            for line in f:
                if not line.strip():
                    continue
                r = json.loads(line)
                key = (r["steps"], tuple(r["beams"]), r["table"])
                if key in merged:
                    m = merged[key]
                    m["lengths"] = m["lengths"] + r["lengths"]
                    m["seconds_per_cube"] = ((m["seconds_per_cube"] * m["states"] + r["seconds_per_cube"] * r["states"])
                                             / (m["states"] + r["states"]))
                    m["states"] += r["states"]
                else:
                    merged[key] = dict(r)
    for r in merged.values():
        solved = [n for n in r["lengths"] if n is not None]
        r["solved"] = len(solved)
        r["mean_length"] = sum(solved) / len(solved) if solved else None
    return list(merged.values())


def draw(records, out):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 5.4), dpi=100)
    series = {}
    for r in records:
        key = (tuple(r["beams"]), r["table"])
        series.setdefault(key, []).append(r)
    ratio_axis = left.twinx()
    markers = iter("o^sDv<>")
    for (beams, table), rs in sorted(series.items()):
        rs.sort(key=lambda r: r["minutes"])
        label = "beam " + " > ".join(f"{b:,}" for b in beams)
        if table:
            label += f" + table of depth {table} (not learned)"
        style = dict(ls="--" if table else "-", marker=next(markers), ms=5, mfc="none" if table else None)
        left.plot([r["minutes"] for r in rs], [100 * r["solved"] / r["states"] for r in rs], color="tab:red",
                  label=f"solved, {label}", **style)
        for r in rs:
            left.annotate(f"{r['solved']}/{r['states']}", (r["minutes"], 100 * r["solved"] / r["states"]),
                          textcoords="offset points", xytext=(-34, 2 - 7 * (len(beams) + table % 5)), fontsize=6,
                          color="tab:red")
        pts = [(r["minutes"], r["mean_length"] / OPTIMAL_MEAN) for r in rs if r["mean_length"]]
        if pts:
            ratio_axis.plot(*zip(*pts), color="tab:blue", label=f"length ratio, {label}", **style)
    left.axhline(95, color="tab:red", lw=0.8, ls=":")
    ratio_axis.axhline(1.15, color="tab:blue", lw=0.8, ls=":")
    ratio_axis.axhline(1.03, color="grey", lw=0.8, ls="-.")
    ratio_axis.text(left.get_xlim()[0], 1.03, " published, GPU-days: 1.03x", color="grey", fontsize=7, va="bottom")
    ratio_axis.text(left.get_xlim()[0], 1.15, " goal 1.15x", color="tab:blue", fontsize=7, va="bottom")
    left.text(left.get_xlim()[0], 95, " goal 95%", color="tab:red", fontsize=7, va="top")
    left.set_xlabel("training minutes (2 CPU cores)")
    left.set_ylabel("random states solved (%)", color="tab:red")
    ratio_axis.set_ylabel("mean length / 20.66 (solved ones)", color="tab:blue")
    left.set_ylim(0, 102)
    ratio_axis.set_ylim(1.0, max(1.6, ratio_axis.get_ylim()[1]))
    lines = left.get_legend_handles_labels()
    more = ratio_axis.get_legend_handles_labels()
    fig.legend(lines[0] + more[0], lines[1] + more[1], loc="lower left", ncol=2, fontsize=6.5,
               bbox_to_anchor=(0.03, 0.0))

    # Seconds per cube against the first beam width, for the most-trained
    # model; searches that retry the unsolved at wider beams count too.
    plain = [r for r in records if not r["table"]]
    last = max((r["minutes"] for r in plain), default=None)
    sweep = sorted((r for r in plain if r["minutes"] == last), key=lambda r: r["beams"])
    if sweep:
        right.plot([r["beams"][0] for r in sweep], [r["seconds_per_cube"] for r in sweep], "o-", color="black")
        for r in sweep:
            right.annotate(f"{100 * r['solved'] / r['states']:.0f}%", (r["beams"][0], r["seconds_per_cube"]),
                           textcoords="offset points", xytext=(4, -10), fontsize=7)
        right.set_xscale("log", base=2)
    right.axhline(60, color="grey", lw=0.6, ls=":")
    right.set_xlabel(f"first beam width (model of {last or 0:.0f} min); labels: solved")
    right.set_ylabel("search seconds per cube")
    right.text(0.02, 0.80, ANCHORS, transform=right.transAxes, fontsize=6.5, va="top")
    fig.tight_layout(rect=(0, 0.2, 1, 1))
    fig.savefig(out)
    plt.close(fig)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__.strip().splitlines()[-1].strip())
    draw(load(*sys.argv[1:-1]), sys.argv[-1])
