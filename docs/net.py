"""Draw the sticker-index nets of both models as SVG pictures for the docs.

    python docs/net.py            # rewrites docs/net_3x3.svg and docs/net_2x2.svg

Each picture is the unfolded cube as the terminal picture draws it (U above,
L F R B across, D below), every sticker in its solved colour and labelled
with its index in to_sticker_array(). tests/test_docs.py checks that the
files are current and that the layout is the terminal picture's.
"""

import pathlib

FACES = "URFDLB"
# Where each face's top-left sticker sits in the net, in face widths.
FACE_ORIGIN = {"U": (1, 0), "L": (0, 1), "F": (1, 1), "R": (2, 1), "B": (3, 1), "D": (1, 2)}
COLOURS = {"U": "#ffffff", "R": "#c62828", "F": "#2e7d32", "D": "#fdd835", "L": "#ef6c00",
           "B": "#1565c0"}
DARK = {"R", "F", "B"}  # faces whose colour wants white labels
CELL = 34
GAP = 16  # room for the face letter above each face


def cells(n):
    """(index, face, column, row) for every sticker, column and row counted in
    stickers across the whole net."""
    out = []
    for f, face in enumerate(FACES):
        fx, fy = FACE_ORIGIN[face]
        for r in range(n):
            for c in range(n):
                out.append((f * n * n + r * n + c, face, fx * n + c, fy * n + r))
    return out


def svg(n):
    def at(v):  # a sticker position to pixels, with a gap between faces
        return v * CELL + (v // n) * GAP + GAP

    width, height = at(4 * n), at(3 * n)
    size = 11 if n == 3 else 13
    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" role="img">',
        f"<title>Sticker indexes of the {n}x{n} net</title>",
    ]
    for index, face, col, row in cells(n):
        x, y = at(col), at(row)
        ink = "#ffffff" if face in DARK else "#000000"
        parts.append(
            f'<rect x="{x}" y="{y}" width="{CELL - 2}" height="{CELL - 2}" rx="3" '
            f'fill="{COLOURS[face]}" stroke="#333333"/>'
            f'<text x="{x + (CELL - 2) / 2}" y="{y + (CELL - 2) / 2 + size / 3}" '
            f'font-family="sans-serif" font-size="{size}" text-anchor="middle" '
            f'fill="{ink}">{index}</text>')
    for face in FACES:  # the face letter beside its top-left corner
        fx, fy = FACE_ORIGIN[face]
        x, y = at(fx * n), at(fy * n)
        parts.append(f'<text x="{x}" y="{y - 4}" font-family="sans-serif" '
                     f'font-size="11" font-weight="bold" fill="#555555">{face}</text>')
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def path(n):
    return pathlib.Path(__file__).resolve().parent / f"net_{n}x{n}.svg"


if __name__ == "__main__":
    for n in (3, 2):
        path(n).write_text(svg(n))
        print(f"wrote {path(n)}")
