"""Benchmark files, result files and progress lines shared by the examples:
parsed scrambles against the independent reference model, every parser
error naming its line, resumed result files, and the summary's means."""

import io
import json
import os
import pathlib
import random
import subprocess
import sys

import pytest

from reference import MOVE_NAMES, ReferenceCube

import tessaroll

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import batchrun  # noqa: E402


def reference_state(tokens):
    """The reference model turned by written tokens: X2 twice, X! as X'."""
    cube = ReferenceCube()
    for token in tokens:
        name = token[0] + "'" if token.endswith("!") else token.rstrip("2")
        for _ in range(2 if token.endswith("2") else 1):
            cube.turn(name)
    return cube.corners, cube.edges


def index_state(moves):
    cube = ReferenceCube()
    for m in moves:
        cube.turn(MOVE_NAMES[m])
    return cube.corners, cube.edges


ALL_TOKENS = MOVE_NAMES + [n[0] + "!" for n in MOVE_NAMES if n.endswith("'")] + \
    [n + "2" for n in MOVE_NAMES if len(n) == 1]


@pytest.mark.parametrize("seed", range(6))
def test_parsed_moves_turn_the_reference_as_the_tokens_do(seed):
    rng = random.Random(seed)
    tokens = [rng.choice(ALL_TOKENS) for _ in range(rng.randrange(0, 25))]
    moves = batchrun.parse_moves("  ".join(tokens))
    assert index_state(moves) == reference_state(tokens)
    compact = batchrun.with_half_turns(moves)
    assert reference_state(compact.split()) == index_state(moves)
    assert len(compact.split()) == len(moves) - sum(t.endswith("2") for t in compact.split())


def write(tmp_path, text, name="set.txt"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return str(path)


@pytest.mark.parametrize("text, expected", [
    ("R U F'\n\n# a comment\n  U2 R!  # after a comment sign\n\tD\n", [("R U F'", 1), ("U2 R!", 4), ("D", 5)]),
    ('["R U", "", "B2"]', [("R U", 1), ("", 1), ("B2", 1)]),
    ('\n[\n  "R U",\n\n  "F\'  L"\n]\n', [("R U", 3), ("F' L", 5)]),
    ("\ufeffR\r\nU\r\n", [("R", 1), ("U", 2)]),
])
def test_benchmark_files_give_their_scrambles_and_lines(tmp_path, text, expected):
    cubes = batchrun.read_scrambles(write(tmp_path, text))
    assert [(c.text, c.line) for c in cubes] == expected
    assert [c.index for c in cubes] == list(range(len(expected)))
    for c in cubes:
        assert index_state(c.moves) == reference_state(c.text.split())


@pytest.mark.parametrize("text, message", [
    ("R U\nR X U\n", r"set.txt, line 2: unknown move token 'X'"),
    ("R\n\n# c\nU3\n", r"set.txt, line 4: unknown move token 'U3'"),
    ("R\nr\n", r"line 2: unknown move token 'r'"),
    ("R, U\n", r"line 1: unknown move token 'R,'"),
    ('["R",\n "U",\n 3]', r"line 3: a list item is int, not a move string"),
    ('["R",\n "Q"]', r"line 2: unknown move token 'Q'"),
    ('["R",\n "U"\n "F"]', r"line 3: not valid JSON"),
    ('["R", "U"] x', r"line 1: not valid JSON \(text after the list\)"),
    ('[\n"R",\n', r"line 3: not valid JSON"),
    ("", r"holds no scrambles"),
    ("# nothing\n\n", r"holds no scrambles"),
    ("[]", r"holds no scrambles"),
    (b"R\n\xff\n", r"line 2: not UTF-8 text"),
])
def test_malformed_files_name_the_line(tmp_path, text, message):
    with pytest.raises(batchrun.UsageError, match=message):
        batchrun.read_scrambles(write(tmp_path, text))


def test_missing_file_is_a_usage_error(tmp_path):
    with pytest.raises(batchrun.UsageError, match="cannot read"):
        batchrun.read_scrambles(str(tmp_path / "none.txt"))


@pytest.mark.parametrize("where, message", [
    ("missing/out.jsonl", "does not exist"),
    (".", "is a folder"),
])
def test_output_paths_are_checked(tmp_path, where, message):
    with pytest.raises(batchrun.UsageError, match=message):
        batchrun.check_output_path(str(tmp_path / where), "--out")


def solved_records(cubes, model=tessaroll.Cube2x2):
    """Records whose solutions are the scrambles' inverses."""
    return [batchrun.record(c, model, tessaroll.inverse_scramble(c.text), "inverse", 0.5, None) for c in cubes]


def test_record_checks_the_solution_with_do_moves(tmp_path):
    cube = batchrun.read_scrambles(write(tmp_path, "R U\n"))[0]
    assert batchrun.record(cube, tessaroll.Cube3x3, [1, 5], "m", 1.0)["length"] == 2
    with pytest.raises(AssertionError, match="does not solve"):
        batchrun.record(cube, tessaroll.Cube3x3, [5, 1], "m", 1.0)


def test_resume_skips_finished_cubes_and_drops_a_partial_line(tmp_path):
    cubes = batchrun.read_scrambles(write(tmp_path, "R\nU F\nD2 L\nB'\n"))
    out = str(tmp_path / "out.jsonl")
    results = batchrun.Results(cubes, tessaroll.Cube2x2, out)
    for rec in solved_records(cubes[:2]):
        results.add(rec)
    results.add(solved_records(cubes[:1])[0])      # a retried task's answer: kept once
    results.close()
    with open(out, "a") as f:
        f.write('{"index": 2, "scram')               # killed mid-line
    resumed = batchrun.Results(cubes, tessaroll.Cube2x2, out, resume=True)
    assert [c.index for c in resumed.pending()] == [2, 3]
    for rec in solved_records(resumed.pending()):
        resumed.add(rec)
    resumed.close()
    lines = pathlib.Path(out).read_text().splitlines()
    assert sorted(json.loads(line)["index"] for line in lines) == [0, 1, 2, 3]


@pytest.mark.parametrize("content, message", [
    ('{"index": 0, "scramble": "U", "solution": "U\'", "length": 1}\n', "another scramble file"),
    ('{"index": 7, "scramble": "R", "solution": null}\n', "another scramble file"),
    ('{"index": 0, "scramble": "R", "solution": "R"}\n', "does not solve"),
    ('not json\n', "line 1: not a result record"),
    ('{"index": 0}\n', "not a result record"),
])
def test_foreign_result_files_are_refused(tmp_path, content, message):
    cubes = batchrun.read_scrambles(write(tmp_path, "R\nU\n"))
    out = write(tmp_path, content, "out.jsonl")
    with pytest.raises(batchrun.UsageError, match=message):
        batchrun.Results(cubes, tessaroll.Cube2x2, out, resume=True)


def test_an_existing_result_file_needs_resume(tmp_path):
    cubes = batchrun.read_scrambles(write(tmp_path, "R\n"))
    out = write(tmp_path, "\n", "out.jsonl")
    batchrun.Results(cubes, tessaroll.Cube2x2, out).close()      # blank: nothing to lose
    pathlib.Path(out).write_text(json.dumps(solved_records(cubes)[0]) + "\n")
    with pytest.raises(batchrun.UsageError, match="add --resume"):
        batchrun.Results(cubes, tessaroll.Cube2x2, out)


def test_summary_means_are_over_the_solved_cubes(tmp_path):
    cubes = batchrun.read_scrambles(write(tmp_path, "R U\nF\nD L B\nU2\n"))
    results = batchrun.Results(cubes, tessaroll.Cube2x2)
    lengths = {0: [1, 5], 2: [11, 7, 3]}
    for c in cubes:
        sol = lengths.get(c.index)
        results.add(batchrun.record(c, tessaroll.Cube3x3, sol, "m", 0.25 * (c.index + 1),
                                    None if sol is None else len(c.moves)))
    note, line = results.summary()
    # Solved: lengths 2 and 3, optimal 2 and 3; the unsolved cubes' optimal
    # lengths (1 and 2) stay out of the optimal mean.
    assert line == "solved 2/4; mean length 2.50; optimal mean 2.50; seconds per cube 0.625"
    assert note.startswith("Means over the 2 solved cubes, the optimal mean over the same cubes")
    results.records[0]["optimal"] = None
    assert "optimal mean" not in results.summary()[1]


def test_plain_progress_lines_off_a_terminal():
    stream = io.StringIO()
    progress = batchrun.Progress(5, "solve", stream=stream, every=0.0)
    for _ in range(5):
        progress.update(1, 1)
    progress.close()
    lines = stream.getvalue().splitlines()
    assert [line.split(":")[1].split(",")[0].strip() for line in lines] == [f"{i}/5 done" for i in range(1, 6)]
    assert "\r" not in stream.getvalue()


def test_plain_bar_reports_iterations(monkeypatch, capsys):
    monkeypatch.setattr(batchrun, "PLAIN_PROGRESS_SECONDS", 0.0)
    assert list(batchrun.bar(range(3), desc="oracle", unit="cube")) == [0, 1, 2]
    bar = batchrun.bar(total=10, desc="train", unit="s")
    bar.set_postfix(loss="0.5")
    bar.update(4)
    bar.close()
    data = batchrun.bar(desc="data", unit=" states")
    data.update(1_445_840)
    err = capsys.readouterr().err.splitlines()
    assert err == [f"oracle: {i}/3 cube, 0 s" for i in (1, 2, 3)] + ["train: 4/10 s, 0 s, loss 0.5",
                                                                      "data: 1,445,840 states, 0 s"]


@pytest.mark.parametrize("address, ok", [(None, True), ("auto", True), ("ray://head:10001", True),
                                         ("head:6379", False), ("ray://head", False)])
def test_ray_addresses(monkeypatch, address, ok):
    monkeypatch.setitem(sys.modules, "ray", object())        # importable, whatever is installed
    if ok:
        batchrun.ray_usage(address)
    else:
        with pytest.raises(batchrun.UsageError, match="auto"):
            batchrun.ray_usage(address)
    monkeypatch.setitem(sys.modules, "ray", None)
    with pytest.raises(batchrun.UsageError, match="cluster"):
        batchrun.ray_usage(address)


def test_bench_report_names_each_phase_when_redirected():
    """bench/run.py prints its tables only at the end: each part it starts
    is named on stderr first, so a redirected run is not silent."""
    pytest.importorskip("numpy")
    bench = pathlib.Path(__file__).resolve().parents[1] / "bench"
    # The child runs from bench/, so a relative PYTHONPATH would miss the
    # module under test: hand it the directory the suite loaded it from.
    where = os.path.dirname(os.path.abspath(tessaroll.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [where, os.environ.get("PYTHONPATH")])))
    result = subprocess.run([sys.executable, "run.py", "--cubes", "1000", "--repeat", "1", "--no-plot",
                             "--no-sweep"], cwd=bench, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines() == ["measuring single-cube calls ...", "measuring batches of 1,000 cubes ..."]
    assert "| Operation |" in result.stdout
