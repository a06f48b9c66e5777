"""Cost of one face-turn method call, as a ratio to a trivial built-in method.

Both calls go through the same interpreter machinery (a bound method with no
arguments), so the ratio shows what the binding layer and the turn add on
top of the cheapest possible call. Target: at most 1.3.
"""

import timeit

import tessaroll


def best(stmt, env, number=2_000_000, repeat=7):
    return min(timeit.repeat(stmt, globals=env, number=number, repeat=repeat)) / number


def main():
    cube3, cube2, lst = tessaroll.Cube3x3(), tessaroll.Cube2x2(), []
    env = {"c3": cube3, "c2": cube2, "lst": lst}
    baseline = best("lst.clear()", env)
    rows = [
        ("[].clear()", baseline),
        ("Cube3x3.do_u_move()", best("c3.do_u_move()", env)),
        ("Cube3x3.do_r_move()", best("c3.do_r_move()", env)),
        ("Cube2x2.do_f_move()", best("c2.do_f_move()", env)),
        ("Cube3x3.is_solved()", best("c3.is_solved()", env)),
    ]
    print(f"{'call':<24}{'ns/call':>10}{'ratio':>8}")
    for name, t in rows:
        print(f"{name:<24}{t * 1e9:>10.1f}{t / baseline:>8.2f}")


if __name__ == "__main__":
    main()
