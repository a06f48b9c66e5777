"""The example solver: shortest solutions by brute force over the independent
reference model, exact state keys, the two-phase handover through kociemba's
facelet strings, and the memory guard."""

import importlib.util
import os
import pathlib
import random
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

