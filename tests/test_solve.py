"""The example solver: shortest solutions by brute force over the independent
reference model, exact state keys, the two-phase handover through kociemba's
facelet strings, and the memory guard."""

import importlib.util
import os
import pathlib
import random
import re
import subprocess
import sys

import pytest

from host import NO_ADDRESS_SPACE_CAP, child_env
from reference import MOVE_NAMES, ReferenceCube

np = pytest.importorskip("numpy")
import tessaroll  # noqa: E402

SOLVER_PATH = pathlib.Path(__file__).resolve().parents[1] / "examples" / "solve.py"
MODELS = {2: tessaroll.Cube2x2, 3: tessaroll.Cube3x3}
# Runs the solver with kociemba unimportable, whether or not it is installed,
# under an address-space limit some headroom above what the process maps once
# NumPy is loaded and the worker pool runs (interpreters and machines differ
# in that).
LIMITED_WITHOUT_KOCIEMBA = """
import resource, runpy, sys
import tessaroll
sys.modules['kociemba'] = None
tessaroll.CubeBatch(1, 3).get_next_states()
size = next(int(line.split()[1]) * 1024 for line in open('/proc/self/status') if line.startswith('VmSize:'))
resource.setrlimit(resource.RLIMIT_AS, (size + {headroom}, resource.getrlimit(resource.RLIMIT_AS)[1]))
sys.argv[0] = {path!r}
runpy.run_path({path!r}, run_name='__main__')
"""


@pytest.fixture(scope="module")
def solver():
    spec = importlib.util.spec_from_file_location("solve_example", SOLVER_PATH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def kociemba():
    return pytest.importorskip("kociemba", reason="kociemba is not installed (pip install kociemba)")


def reference_key(ref, cube_type):
    return tuple(ref.corners) if cube_type == 2 else (tuple(ref.corners), tuple(ref.edges))


def brute_force_length(cube_type, moves, limit):
    """Breadth-first search from the solved reference cube to the scrambled state."""
    target = ReferenceCube()
    for m in moves:
        target.turn(MOVE_NAMES[m])
    goal = reference_key(target, cube_type)
    start = ReferenceCube()
    seen = {reference_key(start, cube_type)}
    frontier = [start]
    for depth in range(limit + 1):
        if any(reference_key(c, cube_type) == goal for c in frontier):
            return depth
        children = []
        for cube in frontier:
            for name in MOVE_NAMES:
                child = ReferenceCube()
                child.corners, child.edges = list(cube.corners), list(cube.edges)
                child.turn(name)
                key = reference_key(child, cube_type)
                if key not in seen:
                    seen.add(key)
                    children.append(child)
        frontier = children
    raise AssertionError("brute force did not reach the scramble")


def solves(cube_type, moves, tokens):
    cube = MODELS[cube_type]()
    cube.do_moves(" ".join(MOVE_NAMES[m] for m in moves))
    cube.do_moves(" ".join(tokens))
    return cube.is_solved()


def quiet(*_):
    pass


# Scrambles whose optimal length is shorter than they look (cancellations,
# commuting opposite faces, whole-cube turns of the 2x2) as well as plain ones.
FIXED = [
    (3, ""),
    (3, "R U F'"),
    (3, "R L R'"),
    (3, "U D U' F2"),
    (3, "R U R' U'"),
    (2, ""),
    (2, "R U F"),
    (2, "U D'"),
    (2, "R U R' U' F"),
]


@pytest.mark.parametrize("cube_type, scramble", FIXED)
def test_solver_finds_shortest_solution(solver, cube_type, scramble):
    moves = solver.parse_moves(scramble)
    optimal = brute_force_length(cube_type, moves, limit=len(moves))
    method, tokens = solver.solve(cube_type, moves, log=quiet)
    assert method == "optimal"
    assert len(tokens) == optimal
    assert solves(cube_type, moves, tokens)


@pytest.mark.parametrize("cube_type, length", [(2, 14), (3, 9)])
def test_solver_handles_the_advertised_depths(solver, cube_type, length):
    rng = random.Random(length)
    moves = [rng.randrange(12) for _ in range(length)]
    method, tokens = solver.solve(cube_type, moves, log=quiet)
    assert method == "optimal" and len(tokens) <= length
    assert solves(cube_type, moves, tokens)


@pytest.mark.parametrize("cube_type", [2, 3])
def test_keys_are_equal_exactly_for_equal_states(solver, cube_type):
    """The children of states 0 to 39 turns from solved (short scrambles'
    children meet) and copies of some rows: equal keys must mean equal
    sticker rows, and every key must give its row index back."""
    batch = tessaroll.CubeBatch(300, cube_type)
    batch.scramble(np.arange(300, dtype=np.int64) % 40)
    rows = batch.get_next_states()
    rows = np.concatenate([rows, rows[::12]])
    encoding = solver.Encoding(cube_type)
    keys = encoding.pack(rows, 1000)
    assert (encoding.row(keys) == np.arange(1000, 1000 + len(rows))).all()
    states = encoding.state(keys)
    by_key = np.unique(states, return_inverse=True)[1].ravel()
    by_row = np.unique(rows, axis=0, return_inverse=True)[1].ravel()
    assert len(set(zip(by_key, by_row))) == len(set(by_key)) == len(set(by_row))


def test_sticker_order_is_kociembas_facelet_order(solver, kociemba):
    """Random cubes read as facelet strings are valid for kociemba, and its
    answers, read back through do_moves, solve them."""
    rng = random.Random(7)
    for _ in range(20):
        moves = [rng.randrange(12) for _ in range(rng.randrange(1, 40))]
        tokens = solver.two_phase(moves)
        assert solves(3, moves, tokens)


def test_memory_budget_hands_over_to_kociemba(solver, kociemba):
    moves = solver.parse_moves("R U F' L D B' R' U' F L'")
    lines = []
    method, tokens = solver.solve(3, moves, log=lines.append, memory_limit=1 << 20)
    depths = [int(line.split("depth")[1].split(":")[0]) for line in lines if "frontier" in line]
    assert method == "two-phase" and solves(3, moves, tokens)
    assert depths and max(depths) < 5
    assert "more than the 1.0 MB allowed" in lines[-1]


def test_memory_error_mid_depth_hands_over(solver, monkeypatch):
    """A MemoryError inside a depth ends the search cleanly: the 2x2 says so,
    the 3x3 goes on to the two-phase solver (blocked here: the install hint)."""
    expand = solver.Side.expand

    def failing(side, *progress):
        if side.depth == 3:
            raise MemoryError
        return expand(side, *progress)

    monkeypatch.setattr(solver.Side, "expand", failing)
    with pytest.raises(solver.Unavailable, match="2x2 search cannot go on: the search ran out of memory"):
        solver.solve(2, solver.parse_moves("R U F' L D B' R' U'"), log=quiet)
    monkeypatch.setitem(sys.modules, "kociemba", None)
    with pytest.raises(solver.Unavailable, match=r'install kociemba: python -m pip install kociemba'):
        solver.solve(3, solver.parse_moves("R U F' L D B' R' U'"), log=quiet)


def test_interrupt_exits_with_130(solver, monkeypatch, capsys):
    def interrupted(side, *progress):
        raise KeyboardInterrupt

    monkeypatch.setattr(solver.Side, "expand", interrupted)
    assert solver.main(["--cube", "2", "--scramble", "R U"]) == 130
    assert capsys.readouterr().err == "Interrupted.\n"


def test_command_line_reports_and_checks(solver, capsys):
    optimal = brute_force_length(3, solver.parse_moves("R U2 F'"), limit=4)
    assert solver.main(["--cube", "3", "--scramble", "R U2 F'"]) == 0
    out = capsys.readouterr().out
    assert "depth" in out and "states/s" in out
    assert f"Shortest solution ({optimal} quarter turns" in out
    assert "Checked with do_moves: the cube is solved." in out


@pytest.mark.parametrize("args, message", [
    (["--memory-limit", "-5"], "--memory-limit: must be a positive number"),
    (["--memory-limit", "0"], "--memory-limit: must be a positive number"),
    (["--memory-limit", "nan"], "--memory-limit: must be a positive number"),
    (["--memory-limit", "inf"], "--memory-limit: must be a positive number"),
    (["--memory-limit", "lots"], "--memory-limit: not a number"),
    (["--time-limit", "-1"], "--time-limit: must be a positive number of seconds or 0"),
    (["--time-limit", "nan"], "--time-limit: must be a positive number of seconds or 0"),
    (["--seed", "3"], "--seed applies only to --random"),
    (["--random", "-1"], "--random needs a non-negative length"),
])
def test_impossible_arguments_are_usage_errors(solver, monkeypatch, capsys, args, message):
    """Refused by the parser (status 2) before any search starts."""
    def no_search(*_):
        raise AssertionError("the search started")

    monkeypatch.setattr(solver, "optimal_search", no_search)
    if "--random" not in args:
        args = args + ["--scramble", "R U"]
    with pytest.raises(SystemExit) as exit_info:
        solver.main(["--cube", "2"] + args)
    assert exit_info.value.code == 2
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("args", [["--time-limit", "0"], ["--memory-limit", "0.5"],
                                  ["--random", "3", "--seed", "0"]])
def test_boundary_arguments_are_accepted(solver, capsys, args):
    if "--random" not in args:
        args = args + ["--scramble", "R U"]
    assert solver.main(["--cube", "2"] + args) == 0
    assert "Checked with do_moves: the cube is solved." in capsys.readouterr().out


@pytest.mark.parametrize("scramble, expected", [("R", "1 quarter turn,"), ("R U", "2 quarter turns,")])
def test_counts_agree_in_number(solver, capsys, scramble, expected):
    assert brute_force_length(2, solver.parse_moves(scramble), limit=2) == int(expected[0])
    assert solver.main(["--cube", "2", "--scramble", scramble]) == 0
    assert f"Shortest solution ({expected}" in capsys.readouterr().out


def test_missing_kociemba_is_named_before_the_search(solver, monkeypatch):
    """A 3x3 scramble longer than the search surely covers is warned about
    before the first depth runs; a short one, or any 2x2, is not."""
    monkeypatch.setitem(sys.modules, "kociemba", None)
    long_moves = solver.parse_moves("R U F' L D B' R' U' F L' D2")
    lines = []
    with pytest.raises(solver.Unavailable, match="install kociemba"):
        solver.solve(3, long_moves, log=lines.append, time_limit=1e-9)
    assert lines[0].startswith("Note: kociemba is not installed")
    assert solver.INSTALL_HINT in lines[0]
    for cube_type, moves in [(3, long_moves[:solver.SURE_DEPTH]), (2, long_moves)]:
        lines = []
        solver.solve(cube_type, moves, log=lines.append)
        assert not any("kociemba" in line for line in lines)


def test_a_long_depth_reports_its_progress(solver, monkeypatch):
    """With reports due at once, every chunk of parents but the last is
    reported, with shares rising below 100% of the previous frontier."""
    monkeypatch.setattr(solver, "PROGRESS_SECONDS", 0.0)
    monkeypatch.setattr(solver, "BATCH_ROWS", 12 * 100)  # 100 parents a chunk
    lines = []
    solver.solve(2, solver.parse_moves("R U F' L D B'"), log=lines.append)
    frontiers = {}
    reports = []
    for line in lines:
        if "frontier" in line:
            side, depth = line.split()[1], int(line.split("depth")[1].split(":")[0])
            frontiers[side, depth] = int(line.split("frontier")[1].split()[0].replace(",", ""))
        else:
            words = line.split()
            parents = int(words[6].replace(",", ""))
            reports.append((words[3].rstrip(":"), int(words[1]), int(words[4].rstrip("%")), parents))
    assert reports
    for side, depth, percent, parents in reports:
        assert parents == frontiers[side, depth - 1] > 100
        assert 0 < percent < 100
    for key in {(r[0], r[1]) for r in reports}:
        shares = [r[2] for r in reports if (r[0], r[1]) == key]
        assert shares == sorted(shares) and len(shares) == -(-frontiers[key[0], key[1] - 1] // 100) - 1


@pytest.mark.skipif("TESSAROLL_MEMORY_TOOL" in os.environ,
                    reason="ASan and valgrind map far more address space than the limit allows")
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads /proc")
@pytest.mark.skipif(NO_ADDRESS_SPACE_CAP is not None, reason=str(NO_ADDRESS_SPACE_CAP))
def test_address_space_limit_stops_the_search_with_one_line(solver):
    """Under an address-space limit a deep scramble stops the optimal search
    on the estimate, before an allocation fails, and without kociemba the
    process says how to install it in one line, with no traceback."""
    code = LIMITED_WITHOUT_KOCIEMBA.format(path=str(SOLVER_PATH), headroom=96 << 20)
    command = [sys.executable, "-c", code, "--cube", "3", "--random", "30", "--seed", "1",
               "--time-limit", "0"]
    result = subprocess.run(command, capture_output=True, text=True, timeout=300,
                            env=child_env())
    assert result.returncode == 1, result.stdout + result.stderr
    assert "Traceback" not in result.stdout + result.stderr
    assert result.stderr.splitlines() == [f"For a two-phase answer install kociemba: {solver.INSTALL_HINT}"]
    assert "allowed (80% of RLIMIT_AS)" in result.stdout



# ---- benchmark files ---------------------------------------------------

def scramble_file(tmp_path, lines, name="set.txt"):
    path = tmp_path / name
    path.write_text("# a benchmark file\n" + "\n".join(lines) + "\n")
    return str(path)


def read_jsonl(path):
    import json
    return [json.loads(line) for line in pathlib.Path(path).read_text().splitlines()]


FILE_SCRAMBLES = ["R U F'", "U2 R2", "R U R' U' F", "F! D L2", "B"]


def test_file_run_writes_checked_optimal_records(solver, tmp_path, capsys):
    out = str(tmp_path / "out.jsonl")
    assert solver.main(["--cube", "2", "--file", scramble_file(tmp_path, FILE_SCRAMBLES), "--out", out]) == 0
    recs = read_jsonl(out)
    assert [r["index"] for r in recs] == list(range(len(FILE_SCRAMBLES)))
    for rec, text in zip(recs, FILE_SCRAMBLES):
        moves = solver.parse_moves(text)
        best = brute_force_length(2, moves, limit=len(moves))
        assert rec["scramble"] == " ".join(text.split()) and rec["method"] == "optimal"
        assert rec["length"] == rec["optimal"] == best
        assert solves(2, moves, rec["solution"].split())
    lines = capsys.readouterr().out.splitlines()
    mean = sum(r["length"] for r in recs) / len(recs)
    assert re.fullmatch(rf"solved 5/5; mean length {mean:.2f}; optimal mean {mean:.2f}; "
                        r"seconds per cube \d+\.\d{3}", lines[-1])


def test_optimal_flag_takes_the_scrambles_length(solver, tmp_path, capsys, monkeypatch):
    """On the 3x3, with every cube handed over, --optimal supplies the
    optimal mean from the scrambles' own quarter-turn lengths."""
    monkeypatch.setattr(solver, "optimal_search", lambda *a: (_ for _ in ()).throw(solver.HandOver("test")))
    monkeypatch.setattr(solver, "two_phase", lambda moves, timing=None: [solver.MOVES[m ^ 1] for m in reversed(moves)])
    path = scramble_file(tmp_path, ["R U2", "F"])
    assert solver.main(["--cube", "3", "--file", path]) == 0
    assert "optimal mean" not in capsys.readouterr().out.splitlines()[-1]
    assert solver.main(["--cube", "3", "--file", path, "--optimal"]) == 0
    assert "; mean length 2.00; optimal mean 2.00;" in capsys.readouterr().out.splitlines()[-1]


def test_malformed_file_is_refused_before_any_search(solver, tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(solver, "optimal_search", lambda *a: pytest.fail("a search started"))
    path = scramble_file(tmp_path, ["R U", "R Q U", "F"])
    with pytest.raises(SystemExit) as exit_info:
        solver.main(["--cube", "2", "--file", path])
    assert exit_info.value.code == 2
    assert "set.txt, line 3: unknown move token 'Q'" in capsys.readouterr().err


def test_interrupted_file_run_keeps_its_cubes_and_resumes(solver, tmp_path, capsys, monkeypatch):
    out = str(tmp_path / "out.jsonl")
    path = scramble_file(tmp_path, FILE_SCRAMBLES)
    real = solver.solve
    calls = []

    def interrupted(cube_type, moves, **kw):
        calls.append(moves)
        if len(calls) == 3:
            raise KeyboardInterrupt
        return real(cube_type, moves, **kw)

    monkeypatch.setattr(solver, "solve", interrupted)
    assert solver.main(["--cube", "2", "--file", path, "--out", out]) == 130
    assert "Interrupted: 2 of 5 cubes kept" in capsys.readouterr().err
    assert [r["index"] for r in read_jsonl(out)] == [0, 1]
    monkeypatch.setattr(solver, "solve", real)
    assert solver.main(["--cube", "2", "--file", path, "--out", out, "--resume"]) == 0
    recs = read_jsonl(out)
    assert sorted(r["index"] for r in recs) == list(range(5))
    assert capsys.readouterr().out.splitlines()[-1].startswith("solved 5/5;")


@pytest.mark.parametrize("args, message", [
    (["--scramble", "R", "--out", "x.jsonl"], "--out goes with --file"),
    (["--random", "3", "--ray"], "--ray goes with --file"),
    (["--file", "{set}", "--resume"], "--resume needs the --out file"),
    (["--file", "{set}", "--workers", "2"], "--workers goes with --ray"),
    (["--file", "{set}", "--seed", "1"], "--seed applies only to --random"),
    (["--file", "{set}", "--chunk", "0"], "--chunk: must be at least 1"),
    (["--file", "{set}", "--out", "{tmp}/no/such/folder/o.jsonl"], "does not exist"),
    (["--file", "{tmp}/missing.txt"], "cannot read"),
    (["--file", "{set}", "--ray", "somewhere"], "ray://HOST:PORT"),
])
def test_file_arguments_are_usage_errors(solver, tmp_path, capsys, monkeypatch, args, message):
    monkeypatch.setattr(solver, "optimal_search", lambda *a: pytest.fail("a search started"))
    monkeypatch.setitem(sys.modules, "ray", object())
    path = scramble_file(tmp_path, ["R"])
    args = [a.format(set=path, tmp=tmp_path) for a in args]
    with pytest.raises(SystemExit) as exit_info:
        solver.main(["--cube", "2"] + args)
    assert exit_info.value.code == 2
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("seconds, text", [(0.31, "0.31 s"), (0.0042, "0.0042 s"), (3.0, "3 s"), (12.4, "12 s")])
def test_estimates_are_never_rounded_to_zero(solver, seconds, text):
    assert solver.seconds_text(seconds) == text


def test_solution_is_also_printed_with_half_turns(solver, capsys):
    assert solver.main(["--cube", "3", "--scramble", "R2 U2"]) == 0
    out = capsys.readouterr().out
    answer = out.split("optimal bidirectional search): ")[1].splitlines()[0]
    halves = out.split("With half turns (2 face turns): ")[1].splitlines()[0]
    assert solves(3, solver.parse_moves("R2 U2"), answer.split())
    assert halves.split() == ["U2", "R2"] and len(answer.split()) == 4


def test_two_phase_time_shows_kociembas_share(solver, kociemba, capsys):
    assert solver.main(["--cube", "3", "--random", "25", "--seed", "2", "--time-limit", "0.01"]) == 0
    line = next(line for line in capsys.readouterr().out.splitlines() if line.startswith("Two-phase"))
    total, search, own = (float(x) for x in re.findall(
        r"(\d+\.\d\d) s: optimal search (\d+\.\d\d) s, kociemba (\d+\.\d\d) s", line)[0])
    assert abs(search + own - total) <= 0.011


def test_without_numpy_it_is_a_usage_error():
    code = ("import runpy, sys; sys.modules['numpy'] = None; "
            f"sys.argv = [{str(SOLVER_PATH)!r}, '--cube', '2', '--scramble', 'R']; "
            f"runpy.run_path({str(SOLVER_PATH)!r}, run_name='__main__')")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert "solve.py needs NumPy: python -m pip install numpy" in result.stderr


@pytest.mark.parametrize("reader", ["gone before the first line", "gone after the first line"])
def test_a_closed_pipe_ends_quietly(reader):
    """`solve.py ... | head -1`: once the reader has gone, no traceback and
    no error at exit. Whether the solver still had lines to write when it
    left is a race after the first line, so only a reader gone from the
    start fixes the status at 141."""
    read_end, write_end = os.pipe()
    if reader.startswith("gone before"):
        os.close(read_end)
    proc = subprocess.Popen([sys.executable, str(SOLVER_PATH), "--cube", "2", "--scramble", "R U F' L D B' R'"],
                            stdout=write_end, stderr=subprocess.PIPE)
    os.close(write_end)
    if reader.startswith("gone after"):
        with os.fdopen(read_end, "rb") as f:
            assert f.readline().startswith(b"Solving a 2x2x2")
    err = proc.stderr.read().decode()
    status = proc.wait(timeout=120)
    assert err == ""
    assert status == 141 if reader.startswith("gone before") else status in (0, 141)


def test_file_run_without_kociemba_says_so_first_and_records_the_misses(solver, tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "kociemba", None)
    deep = "R U F' L D B' R' U' F L' D2"
    out = tmp_path / "out.jsonl"
    path = scramble_file(tmp_path, ["R U", deep])
    assert solver.main(["--cube", "3", "--file", path, "--out", str(out), "--time-limit", "1e-9"]) == 0
    captured = capsys.readouterr()
    assert captured.err.splitlines()[1].startswith("Note: kociemba is not installed here")
    recs = read_jsonl(out)
    assert recs[0]["solution"] is not None and recs[1]["solution"] is None
    assert recs[1]["method"] == "none" and "install kociemba" in recs[1]["error"]
    assert captured.out.splitlines()[-1].startswith("solved 1/2; mean length 2.00;")
