"""do_moves, inverse_scramble and scramble against str.split() of the same
20-token string, timed in one process (best of several repeats)."""

import timeit

import tessaroll

MOVES = "R U' F2 D L' B R2 U F' D2 L B' U2 R' F D' L2 B2 U' R"
REPEATS = 7


def best(stmt, number):
    return min(timeit.repeat(stmt, number=number, repeat=REPEATS)) / number


def main() -> None:
    assert len(MOVES.split()) == 20
    number = 200_000
    base = best(lambda: MOVES.split(), number)
    print(f"str.split() of a 20-token string: {base * 1e9:8.1f} ns")
    for model in (tessaroll.Cube3x3, tessaroll.Cube2x2):
        cube = model()
        t = best(lambda: cube.do_moves(MOVES), number)
        print(f"{model.__name__}.do_moves:              {t * 1e9:8.1f} ns  "
              f"ratio {t / base:5.2f} (target <= 3)")
    t = best(lambda: tessaroll.inverse_scramble(MOVES), number)
    print(f"inverse_scramble:                 {t * 1e9:8.1f} ns  ratio {t / base:5.2f}")
    cube = tessaroll.Cube3x3()
    t = best(lambda: cube.scramble(20), number)
    print(f"Cube3x3.scramble(20):             {t * 1e9:8.1f} ns  ratio {t / base:5.2f}")
    n = 1_000_000
    t = best(lambda: cube.scramble(n), 3)
    print(f"Cube3x3.scramble(10**6):          {t / n * 1e9:8.2f} ns per turn")


if __name__ == "__main__":
    main()
