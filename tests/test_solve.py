"""The example solver finds shortest solutions. The optimal lengths are
derived here by brute force over the independent reference model."""

import importlib.util
import pathlib
import random

import pytest

from reference import MOVE_NAMES, ReferenceCube

pytest.importorskip("numpy")

SOLVER_PATH = pathlib.Path(__file__).resolve().parents[1] / "examples" / "solve.py"


@pytest.fixture(scope="module")
def solver():
    spec = importlib.util.spec_from_file_location("solve_example", SOLVER_PATH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


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


def apply(cube_type, moves):
    import tessaroll

    cube = tessaroll.Cube2x2() if cube_type == 2 else tessaroll.Cube3x3()
    cube.do_moves(" ".join(MOVE_NAMES[m] for m in moves))
    return cube


# Scrambles whose optimal length is shorter than they look (cancellations,
# commuting opposite faces) as well as plain ones.
FIXED = [
    (3, "R U F'"),
    (3, "R L R'"),
    (3, "U D U' F2"),
    (3, "R U R' U'"),
    (2, "R U F"),
    (2, "U D'"),
    (2, "R U R' U' F"),
]


@pytest.mark.parametrize("cube_type, scramble", FIXED)
def test_solver_finds_shortest_solution(solver, cube_type, scramble):
    moves = solver.parse_moves(scramble)
    optimal = brute_force_length(cube_type, moves, limit=len(moves))
    solution = solver.solve(cube_type, moves, log=lambda *_: None)
    assert len(solution) == optimal
    cube = apply(cube_type, moves + solution)
    assert cube.is_solved()


@pytest.mark.parametrize("cube_type, length", [(2, 10), (3, 7)])
def test_solver_handles_the_advertised_depths(solver, cube_type, length):
    moves = [random.Random(length).randrange(12) for _ in range(length)]
    solution = solver.solve(cube_type, moves, log=lambda *_: None)
    assert len(solution) <= length
    assert apply(cube_type, moves + solution).is_solved()


def test_command_line_reports_and_checks(solver, capsys):
    optimal = brute_force_length(3, solver.parse_moves("R U2 F'"), limit=4)
    assert solver.main(["--cube", "3", "--scramble", "R U2 F'"]) == 0
    out = capsys.readouterr().out
    assert "depth" in out and "states/s" in out
    assert f"Shortest solution ({optimal} quarter turns" in out
    assert "Checked with do_moves: the cube is solved." in out
    with pytest.raises(SystemExit):
        solver.main(["--cube", "3", "--scramble", "R X"])
