"""A slow, independent cube model for cross-checking the packed turns.

It is written straight from the turn table ("new slot a <- old slot b, plus t")
as lists of (piece, orientation) pairs, with no bit tricks, so that it shares
nothing with the mask-and-shift code under test.
"""

MOVE_NAMES = ["U", "U'", "D", "D'", "R", "R'", "L", "L'", "F", "F'", "B", "B'"]
METHOD_NAMES = [
    "do_u_move", "do_u_prime_move", "do_d_move", "do_d_prime_move",
    "do_r_move", "do_r_prime_move", "do_l_move", "do_l_prime_move",
    "do_f_move", "do_f_prime_move", "do_b_move", "do_b_prime_move",
]

# turn -> (corner entries (a, b, twist added), edge entries (a, b, flipped))
TURNS = {
    "U": ([(0, 3, 0), (1, 0, 0), (2, 1, 0), (3, 2, 0)],
          [(0, 3, 0), (1, 0, 0), (2, 1, 0), (3, 2, 0)]),
    "U'": ([(0, 1, 0), (1, 2, 0), (2, 3, 0), (3, 0, 0)],
           [(0, 1, 0), (1, 2, 0), (2, 3, 0), (3, 0, 0)]),
    "D": ([(4, 5, 0), (5, 6, 0), (6, 7, 0), (7, 4, 0)],
          [(4, 5, 0), (5, 6, 0), (6, 7, 0), (7, 4, 0)]),
    "D'": ([(4, 7, 0), (5, 4, 0), (6, 5, 0), (7, 6, 0)],
           [(4, 7, 0), (5, 4, 0), (6, 5, 0), (7, 6, 0)]),
    "R": ([(1, 2, 1), (2, 6, 2), (5, 1, 2), (6, 5, 1)],
          [(1, 10, 0), (5, 9, 0), (9, 1, 0), (10, 5, 0)]),
    "R'": ([(1, 5, 1), (2, 1, 2), (5, 6, 2), (6, 2, 1)],
           [(1, 9, 0), (5, 10, 0), (9, 5, 0), (10, 1, 0)]),
    "L": ([(0, 4, 2), (3, 0, 1), (4, 7, 1), (7, 3, 2)],
          [(3, 8, 0), (7, 11, 0), (8, 7, 0), (11, 3, 0)]),
    "L'": ([(0, 3, 2), (3, 7, 1), (4, 0, 1), (7, 4, 2)],
           [(3, 11, 0), (7, 8, 0), (8, 3, 0), (11, 7, 0)]),
    "F": ([(2, 3, 1), (3, 7, 2), (6, 2, 2), (7, 6, 1)],
          [(2, 11, 1), (6, 10, 1), (10, 2, 1), (11, 6, 1)]),
    "F'": ([(2, 6, 1), (3, 2, 2), (6, 7, 2), (7, 3, 1)],
           [(2, 10, 1), (6, 11, 1), (10, 6, 1), (11, 2, 1)]),
    "B": ([(0, 1, 1), (1, 5, 2), (4, 0, 2), (5, 4, 1)],
          [(0, 9, 1), (4, 8, 1), (8, 0, 1), (9, 4, 1)]),
    "B'": ([(0, 4, 1), (1, 0, 2), (4, 5, 2), (5, 1, 1)],
           [(0, 8, 1), (4, 9, 1), (8, 4, 1), (9, 0, 1)]),
}


class ReferenceCube:
    def __init__(self):
        self.corners = [(p, 0) for p in range(8)]
        self.edges = [(p, 0) for p in range(12)]

    def turn(self, name):
        corner_moves, edge_moves = TURNS[name]
        old_c, old_e = list(self.corners), list(self.edges)
        for a, b, t in corner_moves:
            piece, twist = old_c[b]
            self.corners[a] = (piece, (twist + t) % 3)
        for a, b, f in edge_moves:
            piece, flip = old_e[b]
            self.edges[a] = (piece, flip ^ f)

    def corner_word(self):
        return sum((p | (t << 3)) << (5 * k) for k, (p, t) in enumerate(self.corners))

    def edge_word(self):
        return sum((p | (f << 4)) << (5 * k) for k, (p, f) in enumerate(self.edges))
