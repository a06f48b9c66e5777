"""A short tour of tessaroll: what it models and how fast it turns."""

import tessaroll


def main() -> None:
    cube = tessaroll.Cube3x3()
    print("A new Cube3x3 is solved:", cube.is_solved())
    cube.do_r_move()
    cube.do_u_move()
    print("After R U it is solved:", cube.is_solved())
    cube.do_u_prime_move()
    cube.do_r_prime_move()
    print("After U' R' it is solved again:", cube.is_solved())

    small = tessaroll.Cube2x2()
    small.do_f_move()
    print(f"Cube2x2 state word after F: {small.state:#018x}")


if __name__ == "__main__":
    main()
