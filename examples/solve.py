"""Solve a scrambled cube: an optimal search while it fits, a two-phase solver beyond.

The optimal search is a bidirectional breadth-first search in the quarter-turn
metric, run on CubeBatch: each depth replays the frontier's move paths with
apply_move_indexes and lets get_next_states() produce all twelve children of
every frontier cube at once. The children's sticker rows are folded into
compact sortable keys, and NumPy sorts, dedups and intersects the frontiers.

It covers every 2x2 scramble. A deep 3x3 scramble would outgrow memory, so
before each depth the search estimates what the next one needs against the
memory the machine offers (and the --time-limit); past that point it hands
the cube to the two-phase solver of the kociemba package, whose answer is
short but not necessarily optimal.

    python examples/solve.py --cube 3 --scramble "R U F' L2"
    python examples/solve.py --cube 2 --random 20
    python examples/solve.py --cube 3 --random 30 --seed 1   # needs kociemba
    python examples/solve.py --cube 2 --file set.txt --out set.jsonl [--ray]

With --file it solves every scramble of a benchmark file (batchrun.py beside
this file says what it may hold) and writes one JSON line per cube to
--out, in this process or as Ray tasks (--ray), and ends with the summary
line.
"""

from __future__ import annotations

import argparse
import os
import random
import resource
import sys
import time

try:
    import numpy as np
except ImportError:
    if __name__ != "__main__":
        raise
    print("usage: solve.py [-h] ...\nsolve.py: error: solve.py needs NumPy: python -m pip install numpy "
          '(in a tessaroll checkout, python -m pip install ".[solve]")', file=sys.stderr)
    sys.exit(2)

import tessaroll

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import batchrun  # noqa: E402  benchmark files, results, progress and Ray

MOVES = batchrun.MOVES                  # move index -> quarter-turn token
MODELS = {2: tessaroll.Cube2x2, 3: tessaroll.Cube3x3}
# kociemba is published as source only, so installing it compiles C code.
INSTALL_HINT = ('python -m pip install kociemba, which builds from source with a C compiler '
                '(in a tessaroll checkout, python -m pip install ".[solve]" does the same)')
# The scramble's own length bounds the optimal one; a search to this total
# depth (five turns from each side) ends within seconds on any machine, so
# a shorter scramble never needs the two-phase solver.
SURE_DEPTH = 10
PROGRESS_SECONDS = 2.0       # a depth running longer reports its progress this often

# Facelets of the 3x3 sticker array (faces U R F D L B, nine each, row by
# row), read clockwise around each corner and edge position, starting on the
# U or D face (F or B for the middle-layer edges).
CORNER_FACELETS = [(8, 9, 20), (6, 18, 38), (0, 36, 47), (2, 45, 11),
                   (29, 26, 15), (27, 44, 24), (33, 53, 42), (35, 17, 51)]
EDGE_FACELETS = [(5, 10), (7, 19), (3, 37), (1, 46), (32, 16), (28, 25),
                 (30, 43), (34, 52), (23, 12), (21, 41), (50, 39), (48, 14)]

ROW_BITS = 31                # a key carries the child's row index in its low bits
ROW_MASK = (1 << ROW_BITS) - 1
BATCH_ROWS = 1 << 16         # successor rows generated per get_next_states() call
PACK_ROWS = 1 << 14          # rows turned into keys at a time (cache-sized)
BUCKET_KEYS = 1 << 17        # new states merged and sorted at a time
PACK_BYTES_PER_ROW = {2: 300, 3: 900}  # a bound on the working arrays of one slice


parse_moves = batchrun.parse_moves      # move string -> move indexes, ValueError on a bad token


def quarter_turns(tokens) -> int:
    return sum(2 if t.endswith("2") else 1 for t in tokens)


def count(n: int, noun: str) -> str:
    """'1 quarter turn', '2 quarter turns'."""
    return f"{n:,} {noun}" if n == 1 else f"{n:,} {noun}s"


def facelet_2x2(facelet: int) -> int:
    """The 2x2 sticker showing the same corner facelet as a 3x3 sticker."""
    face, k = divmod(facelet, 9)
    row, col = divmod(k, 3)
    return 4 * face + 2 * (row // 2) + col // 2


def lookup(groups, face_size: int) -> np.ndarray:
    """Colour triples (pairs) read at a position -> piece * turns + twist.

    Built from the solved cube, where every sticker shows its face's colour;
    colour sequences no piece shows stay at 255."""
    width = len(groups[0])
    table = np.full(6 ** width, 255, dtype=np.uint8)
    for piece, group in enumerate(groups):
        colours = [f // face_size for f in group]
        for twist in range(width):
            turned = colours[twist:] + colours[:twist]
            index = 0
            for c in turned:
                index = index * 6 + c
            table[index] = piece * width + twist
    return table


class Encoding:
    """Exact keys for sticker rows, sortable by NumPy's fast sorts.

    The 2x2 key is one uint64: the base-24 code of seven corners (33 bits; the
    eighth corner follows from them) above the row index. The 3x3 needs about
    72 bits of state, so its key is a complex number whose real and imaginary
    parts are integers below 2**53: the edges' permutation rank and flips with
    the top corner bits in the real part, the remaining corner bits above the
    row index in the imaginary part. NumPy sorts complex numbers by real part,
    then imaginary part, so equal states end up next to each other."""

    def __init__(self, cube_type: int):
        self.cube_type = cube_type
        self.corners = CORNER_FACELETS[:7]
        if cube_type == 2:
            self.corners = [tuple(facelet_2x2(f) for f in c) for c in self.corners]
        self.corner_table = lookup(CORNER_FACELETS, 9)
        self.edge_table = lookup(EDGE_FACELETS, 9)
        self.ones = np.array([bin(i).count("1") for i in range(1 << 12)], dtype=np.uint8)
        self.dtype = np.uint64 if cube_type == 2 else np.complex128
        self.key_bytes = 8 if cube_type == 2 else 16

    def pack(self, rows: np.ndarray, first_row: int) -> np.ndarray:
        """Keys of successor rows, each carrying its row index first_row + i."""
        s = rows.astype(np.uint8)
        corner = np.zeros(len(rows), dtype=np.int64)
        for a, b, c in self.corners:
            corner *= 24
            corner += self.corner_table[s[:, a] * 36 + s[:, b] * 6 + s[:, c]]
        row = np.arange(first_row, first_row + len(rows), dtype=np.int64)
        if self.cube_type == 2:
            return (corner.astype(np.uint64) << np.uint64(ROW_BITS)) | row.astype(np.uint64)
        edges = [self.edge_table[s[:, a] * 6 + s[:, b]] for a, b in EDGE_FACELETS]
        del s
        # Lehmer rank of the edge permutation: position i contributes the
        # number of later positions holding a smaller piece, the popcount of
        # a mask of the pieces seen so far, walking backwards.
        bits = [np.left_shift(1, e >> 1, dtype=np.uint16) for e in edges]
        later = bits[11].copy()
        rank = np.zeros(len(rows), dtype=np.int64)
        weight = 1
        for i in range(10, -1, -1):
            weight *= 11 - i
            rank += self.ones[later & (bits[i] - np.uint16(1))] * np.int64(weight)
            later |= bits[i]
        for e in edges[:11]:
            rank <<= 1
            rank |= e & 1
        keys = np.empty(len(rows), dtype=np.complex128)
        keys.real = (rank << 11) | (corner >> 22)
        keys.imag = ((corner & ((1 << 22) - 1)) << ROW_BITS) | row
        return keys

    def state(self, keys: np.ndarray) -> np.ndarray:
        """The keys without their row index: equal exactly for equal states."""
        if self.cube_type == 2:
            return keys >> np.uint64(ROW_BITS)
        state = np.empty_like(keys)
        state.real = keys.real
        state.imag = keys.imag.astype(np.int64) >> ROW_BITS
        return state

    def order(self, keys: np.ndarray) -> np.ndarray:
        """The leading sort key: sorted keys are sorted by it too."""
        return keys if self.cube_type == 2 else keys.real

    def row(self, keys: np.ndarray) -> np.ndarray:
        if self.cube_type == 2:
            return (keys & np.uint64(ROW_MASK)).astype(np.int64)
        return keys.imag.astype(np.int64) & ROW_MASK

    def first_of_each_state(self, keys: np.ndarray) -> np.ndarray:
        """Sorted keys -> one key per state."""
        state = self.state(keys)
        keep = np.empty(len(keys), dtype=bool)
        keep[:1] = True
        np.not_equal(state[1:], state[:-1], out=keep[1:])
        return keys[keep]

    def single(self, cube) -> np.ndarray:
        rows = np.array([cube.to_sticker_array()], dtype=np.int64)
        return self.state(self.pack(rows, 0))


def contains(sorted_set: np.ndarray, items: np.ndarray):
    """Mask of items found in sorted_set, and where they were found."""
    where = np.searchsorted(sorted_set, items)
    if len(sorted_set) == 0:
        return np.zeros(len(items), dtype=bool), where
    np.minimum(where, len(sorted_set) - 1, out=where)
    return sorted_set[where] == items, where


class Side:
    """One direction of the search: the states at the current depth from a
    fixed start (sorted keys, with their move paths packed four bits a move,
    first move highest) and the keys one depth closer to the start."""

    def __init__(self, encoding: Encoding, start_moves: list[int], label: str):
        self.encoding = encoding
        self.start_moves = start_moves
        self.label = label
        start = MODELS[encoding.cube_type]()
        start.do_moves(" ".join(MOVES[m] for m in start_moves))
        self.keys = encoding.single(start)
        self.paths = np.zeros(1, dtype=np.uint64)
        self.previous = self.keys[:0]
        self.depth = 0
        self.growth = 12.0
        self.duplicates = 1.0  # candidate keys per new state, last depth
        self.seconds_per_row = None

    def next_size(self) -> int:
        """Predicted number of states one depth further: each state has at
        most eleven new neighbours (one turn leads back towards the start)."""
        return int(len(self.keys) * min(self.growth, 12.0 if self.depth == 0 else 11.0)) + 1

    def estimate(self) -> tuple[int, float]:
        """Bytes the next expansion allocates on top of what the side holds,
        and its expected seconds (None before anything was measured).

        At its peak it holds the successor rows of one batch, the working
        arrays of one slice of keys, the candidate keys that survive the
        per-slice cut (about as many as the new states, more when the new
        depth is reached from many parents), and the new keys with their
        paths while they are joined (twice)."""
        enc = self.encoding
        rows = 12 * len(self.keys)
        new = self.next_size()
        dim = 54 if enc.cube_type == 3 else 24
        candidates = int(new * 1.25 * self.duplicates)
        need = (min(rows, BATCH_ROWS) * 8 * dim + min(rows, PACK_ROWS) * PACK_BYTES_PER_ROW[enc.cube_type]
                + candidates * enc.key_bytes + 2 * new * (enc.key_bytes + 8))
        seconds = None if self.seconds_per_row is None else 1.3 * rows * self.seconds_per_row
        return need, seconds

    def held(self) -> int:
        return self.keys.nbytes + self.paths.nbytes + self.previous.nbytes

    def columns(self, lo: int, hi: int, width: int) -> np.ndarray:
        """The move paths of states lo..hi as one row of move indexes per
        step, padded to width with 12 (a move index that turns nothing)."""
        moves = np.full((self.depth, width), 12, dtype=np.uintp)
        paths = self.paths[lo:hi]
        for step, shift in enumerate(range(4 * (self.depth - 1), -1, -4)):
            moves[step, : hi - lo] = (paths >> np.uint64(shift)) & np.uint64(15)
        return moves

    def expand(self, progress=None) -> int:
        """Move to the next depth; returns the number of rows generated.
        progress(done, total) is called after each chunk of parents.

        Children are generated a chunk of parents at a time. Each chunk's keys
        are sorted, cut to one per state, cleared of states of the previous
        depth (the only depth a quarter turn can lead back to besides the
        next), and split by key range into buckets. Each bucket is then merged
        and cut again on its own, small enough to sort in cache, and the
        buckets in order make up the sorted new depth."""
        enc = self.encoding
        count = len(self.keys)
        started = time.perf_counter()
        buckets = max(1, self.next_size() // BUCKET_KEYS)
        bounds = enc.order(self.keys)[(np.arange(1, buckets) * count) // buckets]
        pending = [[] for _ in range(buckets)]
        candidates = 0
        # One batch holds a chunk of parents at a time: it is turned to the
        # start once, then each chunk's paths are applied and, after the
        # children are taken, undone in reverse.
        width = min(count, max(1, BATCH_ROWS // 12))
        batch = tessaroll.CubeBatch(width, enc.cube_type)
        for m in self.start_moves:
            batch.apply_move_indexes(np.full(width, m, dtype=np.uintp))
        for lo in range(0, count, width):
            hi = min(count, lo + width)
            moves = self.columns(lo, hi, width)
            for column in moves:
                batch.apply_move_indexes(column)
            rows = batch.get_next_states()
            for column in moves[::-1]:
                batch.apply_move_indexes(column ^ 1)
            for first in range(0, 12 * (hi - lo), PACK_ROWS):
                keys = enc.pack(rows[first : min(first + PACK_ROWS, 12 * (hi - lo))], 12 * lo + first)
                keys.sort()
                keys = enc.first_of_each_state(keys)
                seen, _ = contains(self.previous, enc.state(keys))
                keys = keys[~seen]
                candidates += len(keys)
                for bucket, part in zip(pending, np.split(keys, np.searchsorted(enc.order(keys), bounds))):
                    if len(part):
                        bucket.append(part.copy())  # a view would keep the whole slice alive
            del rows
            if progress is not None:
                progress(hi, count)
        del batch
        states, paths = [], []
        for b in range(buckets):
            keys = np.concatenate(pending[b]) if pending[b] else np.empty(0, enc.dtype)
            pending[b] = None
            keys.sort()
            keys = enc.first_of_each_state(keys)
            row = enc.row(keys)
            paths.append((self.paths[row // 12] << np.uint64(4)) | (row % 12).astype(np.uint64))
            states.append(enc.state(keys))
        del keys, row
        self.previous = self.keys
        self.keys, self.paths = np.concatenate(states), np.concatenate(paths)
        self.growth = len(self.keys) / count
        self.duplicates = candidates / max(1, len(self.keys))
        self.depth += 1
        self.seconds_per_row = (time.perf_counter() - started) / (12 * count)
        return 12 * count

    def path(self, index: int) -> list[int]:
        packed = int(self.paths[index])
        return [(packed >> shift) & 15 for shift in range(4 * (self.depth - 1), -1, -4)]


class HandOver(Exception):
    """The optimal search stops here; the message says why."""


class Unavailable(Exception):
    """No solver can answer; the message is the line to print."""


def memory_available() -> tuple[int, str]:
    """Bytes this process may still allocate, and the limit that binds:
    the kernel's MemAvailable estimate, the address-space and data rlimits,
    and the memory limit of every cgroup above this process (v2 memory.max,
    v1 memory.limit_in_bytes)."""
    limits = []
    status = {}
    for path, fields in (("/proc/meminfo", limits), ("/proc/self/status", None)):
        try:
            with open(path) as f:
                for line in f:
                    name, _, value = line.partition(":")
                    if fields is limits and name == "MemAvailable":
                        limits.append((int(value.split()[0]) * 1024, "MemAvailable"))
                    elif fields is None and value.strip().endswith("kB"):
                        status[name] = int(value.split()[0]) * 1024
        except OSError:
            pass
    for name, usage in (("RLIMIT_AS", "VmSize"), ("RLIMIT_DATA", "VmData")):
        soft = resource.getrlimit(getattr(resource, name))[0]
        if soft != resource.RLIM_INFINITY and usage in status:
            limits.append((max(0, soft - status[usage]), name))
    if sys.maxsize < 2**32 and "VmSize" in status:
        limits.append((max(0, 3 * 2**30 - status["VmSize"]), "a 32-bit address space"))
    try:
        with open("/proc/self/cgroup") as f:
            groups = [line.rstrip("\n").split(":", 2) for line in f]
    except OSError:
        groups = []
    for _, controllers, group in groups:
        if controllers == "":
            root, files = "/sys/fs/cgroup", ("memory.max", "memory.current")
        elif "memory" in controllers.split(","):
            root, files = "/sys/fs/cgroup/memory", ("memory.limit_in_bytes", "memory.usage_in_bytes")
        else:
            continue
        while True:
            base = root + group.rstrip("/")
            try:
                with open(f"{base}/{files[0]}") as f:
                    ceiling = f.read().strip()
                with open(f"{base}/{files[1]}") as f:
                    usage = int(f.read())
                if ceiling.isdigit():  # "max" when unlimited
                    limits.append((max(0, int(ceiling) - usage), "the cgroup memory limit"))
            except (OSError, ValueError):
                pass
            if group in ("", "/"):
                break
            group = os.path.dirname(group.rstrip("/"))
    if not limits:
        return 1 << 62, "no known limit"
    return min(limits)


def seconds_text(seconds: float) -> str:
    """'12 s', '0.31 s', '0.0042 s': two significant digits below ten."""
    return f"{seconds:.0f} s" if seconds >= 10 else f"{seconds:.2g} s"


def gigabytes(n: float) -> str:
    return f"{n / 2**30:.2f} GB" if n >= 2**28 else f"{n / 2**20:.1f} MB"


def progress_report(log, side, started):
    """A progress callback for one depth: silent for the first
    PROGRESS_SECONDS, then one line every PROGRESS_SECONDS with the share of
    parents expanded and the time the rest should take."""
    next_report = [started + PROGRESS_SECONDS]

    def report(done: int, total: int) -> None:
        now = time.perf_counter()
        if now < next_report[0] or done >= total:
            return
        next_report[0] = now + PROGRESS_SECONDS
        spent = now - started
        left = spent * (total - done) / done
        log(f"    depth {side.depth + 1:>2} from {side.label}: {100 * done / total:3.0f}% of "
            f"{count(total, 'parent')} expanded, {spent:.0f} s so far, about {left:.0f} s to go")

    return report


def optimal_search(cube_type, scramble, log, memory_limit, time_limit) -> list[str]:
    encoding = Encoding(cube_type)
    forward = Side(encoding, scramble, "scramble")
    backward = Side(encoding, [], "solved")
    if forward.keys[0] == backward.keys[0]:
        return []
    started = time.perf_counter()
    while True:
        side, other = (forward, backward) if len(forward.keys) <= len(backward.keys) else (backward, forward)
        need, seconds = side.estimate()
        if memory_limit is None:
            free, source = memory_available()
            allowed, source = int(0.8 * free), f"80% of {source}"
        else:
            # The machine's figures already leave out what the search holds;
            # a fixed limit has to count it.
            need += forward.held() + backward.held()
            allowed, source = memory_limit, "the memory limit"
        # No state lies within both searched balls, so every solution is longer.
        where = (f"no solution is shorter than {count(forward.depth + backward.depth + 1, 'quarter turn')}; "
                 f"depth {side.depth + 1} from the {side.label} side")
        if 12 * len(side.keys) > ROW_MASK or side.depth == 16:
            raise HandOver(f"{where} has more states than keys and paths can number")
        if need > allowed:
            raise HandOver(f"{where} needs about {gigabytes(need)}, more than the "
                           f"{gigabytes(allowed)} allowed ({source})")
        spent = time.perf_counter() - started
        if cube_type == 3 and time_limit and seconds is not None and spent + seconds > time_limit:
            raise HandOver(f"{where} would take about {seconds_text(seconds)}, past the "
                           f"{time_limit:g} s time limit")
        depth_started = time.perf_counter()
        generated = side.expand(progress_report(log, side, depth_started))
        elapsed = max(time.perf_counter() - depth_started, 1e-9)
        log(f"  from {side.label:<8} depth {side.depth:>2}: frontier {len(side.keys):>11,}  "
            f"({elapsed:6.2f} s, {generated / elapsed:>11,.0f} states/s)")
        met, where_other = contains(other.keys, side.keys)
        if met.any():
            i = int(np.flatnonzero(met)[0])
            mine, theirs = side.path(i), other.path(int(where_other[i]))
            to_middle, from_middle = (mine, theirs) if side is forward else (theirs, mine)
            return [MOVES[m] for m in to_middle] + [MOVES[m ^ 1] for m in reversed(from_middle)]


def kociemba_module():
    """The kociemba module, or None when it cannot be imported."""
    try:
        import kociemba
    except ImportError:
        return None
    return kociemba


def two_phase(scramble, timing=None) -> list[str]:
    kociemba = kociemba_module()
    if kociemba is None:
        raise Unavailable(f"For a two-phase answer install kociemba: {INSTALL_HINT}")
    cube = tessaroll.Cube3x3()
    cube.do_moves(" ".join(MOVES[m] for m in scramble))
    facelets = "".join("URFDLB"[k] for k in cube.to_sticker_array())
    started = time.perf_counter()
    answer = kociemba.solve(facelets).split()
    if timing is not None:
        timing["kociemba"] = time.perf_counter() - started
    return answer


def solve(cube_type: int, scramble: list[int], log=print, memory_limit=None, time_limit=None, timing=None):
    """Solve the cube reached by the move indexes `scramble` from solved.

    Returns (method, move tokens): "optimal" when the bidirectional search
    answered, "two-phase" when kociemba did. memory_limit (bytes) replaces
    the machine's free memory as the search's budget; time_limit (seconds)
    bounds the 3x3 search. Raises Unavailable when nothing can answer.
    A dict given as timing gets kociemba's own seconds under "kociemba"."""
    if cube_type == 3 and len(scramble) > SURE_DEPTH and kociemba_module() is None:
        # Said before the search starts, not after it has run into its limit.
        log("Note: kociemba is not installed, so a scramble too deep for the optimal search "
            f"gets no answer. To install it: {INSTALL_HINT}.")
    try:
        return "optimal", optimal_search(cube_type, scramble, log, memory_limit, time_limit)
    except HandOver as stop:
        reason = str(stop)
    except MemoryError:
        reason = "the search ran out of memory"
    # The search's arrays are gone once its frames are: the handover starts lean.
    if cube_type == 2:
        raise Unavailable(f"The 2x2 search cannot go on: {reason}.")
    log(f"Optimal search stopped: {reason}.")
    return "two-phase", two_phase(scramble, timing)


def solve_chunk(job: dict, chunk):
    """The records of a chunk of cubes (batchrun.Cube), each solved on its
    own and yielded as soon as it is: in this process, or in a Ray worker
    that imports this file."""
    model = MODELS[job["cube"]]
    for cube in chunk:
        started = time.perf_counter()
        error = None
        try:
            method, tokens = solve(job["cube"], cube.moves, log=quiet,
                                   memory_limit=job["memory_limit"], time_limit=job["time_limit"])
        except Unavailable as e:
            method, tokens, error = "none", None, str(e)
        seconds = time.perf_counter() - started
        if method == "optimal":
            optimal = len(tokens)
        else:   # a set made by reversing optimal solutions: the scramble's own length
            optimal = len(cube.moves) if job["optimal"] else None
        rec = batchrun.record(cube, model, None if tokens is None else " ".join(tokens), method, seconds, optimal)
        if error:
            rec["error"] = error
        yield rec


def quiet(*_):
    pass


def main(argv=None) -> int:
    try:
        status = run(argv)
        sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        print("Interrupted.", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return reader_gone()


def reader_gone() -> int:
    """stdout's reader has gone (`... | head -3`): no traceback, and
    nothing more for Python to flush into the closed pipe at exit. The
    status is the shell's for a process ended by SIGPIPE."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return 141


def positive(text: str) -> float:
    """An argparse type: a finite number above zero."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (0 < value < float("inf")):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
    return value


def positive_int(text: str) -> int:
    """An argparse type: a whole number above zero."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {text}")
    return value


def seconds_or_zero(text: str) -> float:
    """An argparse type: a positive number of seconds, or 0 for no limit."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value != 0 and not (0 < value < float("inf")):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds or 0, not {text}")
    return value


def run(argv) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cube", type=int, choices=(2, 3), default=3, help="cube size (default 3)")
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--scramble", help='move string to solve, e.g. "R U F\'"')
    group.add_argument("--random", type=int, metavar="N", help="solve a random scramble of N quarter turns")
    group.add_argument("--file", metavar="FILE",
                       help="solve every scramble of a benchmark file: one move string per line "
                            "(blank lines and # comments ignored) or a JSON list of move strings")
    parser.add_argument("--seed", type=int, help="seed for --random")
    parser.add_argument("--memory-limit", type=positive, metavar="MB",
                        help="memory the optimal search may use (default: 80%% of what the machine offers)")
    parser.add_argument("--time-limit", type=seconds_or_zero, default=5.0, metavar="S",
                        help="hand a 3x3 over to the two-phase solver rather than start a depth "
                             "expected to end after S seconds (default 5; 0 for no limit)")
    files = parser.add_argument_group("benchmark files (with --file)")
    files.add_argument("--resume", action="store_true",
                       help="go on with an --out file: skip the cubes it already holds")
    batchrun.add_arguments(files, positive_int, "the 2x2 search's lengths are optimal anyway")
    files.add_argument("--chunk", type=positive_int, default=4, metavar="N",
                       help="cubes per Ray task (default 4)")
    args = parser.parse_args(argv)

    if args.file is None:
        given = [f"--{name}" for name in ("out", "resume", "optimal", "ray", "workers")
                 if getattr(args, name) not in (None, False)]
        if given:
            parser.error(f"{given[0]} goes with --file")
    elif args.workers is not None and args.ray is None:
        parser.error("--workers goes with --ray")
    elif args.resume and args.out is None:
        parser.error("--resume needs the --out file to go on with")
    memory_limit = None if args.memory_limit is None else int(args.memory_limit * 2**20)
    if args.file is not None:
        if args.seed is not None:
            parser.error("--seed applies only to --random; a --file is solved as given")
        return run_file(parser, args, memory_limit)

    if args.scramble is not None:
        if args.seed is not None:
            parser.error("--seed applies only to --random; a --scramble is solved as given")
        try:
            scramble = parse_moves(args.scramble)
        except ValueError as e:
            parser.error(str(e))
    else:
        if args.random < 0:
            parser.error("--random needs a non-negative length")
        rng = random.Random(args.seed)
        scramble = [rng.randrange(12) for _ in range(args.random)]
    text = " ".join(MOVES[m] for m in scramble)
    print(f"Solving a {args.cube}x{args.cube}x{args.cube} scrambled with: {text or '(nothing)'}")

    started = time.perf_counter()
    timing = {}
    try:
        method, tokens = solve(args.cube, scramble, memory_limit=memory_limit, time_limit=args.time_limit,
                               timing=timing)
    except Unavailable as e:
        print(e, file=sys.stderr)
        return 1
    elapsed = time.perf_counter() - started
    answer = " ".join(tokens)

    check = MODELS[args.cube]()
    check.do_moves(text)
    check.do_moves(answer)
    if not check.is_solved():
        print(f"Solution {answer!r} does not solve the cube", file=sys.stderr)
        return 1
    quarters = parse_moves(answer)
    if method == "optimal":
        print(f"Shortest solution ({count(len(tokens), 'quarter turn')}, {elapsed:.2f} s, "
              f"optimal bidirectional search): {answer or '(already solved)'}")
        halves = batchrun.with_half_turns(quarters)
        if halves != answer:
            print(f"With half turns ({count(len(halves.split()), 'face turn')}): {halves}")
    else:
        koc = timing.get("kociemba", 0.0)
        print(f"Two-phase solution ({count(len(tokens), 'face turn')} = "
              f"{count(quarter_turns(tokens), 'quarter turn')}, "
              f"{elapsed:.2f} s: optimal search {elapsed - koc:.2f} s, kociemba {koc:.2f} s; "
              f"not necessarily optimal): {answer}")
        as_quarters = " ".join(MOVES[m] for m in quarters)
        if as_quarters != answer:
            print(f"In quarter turns: {as_quarters}")
    print("Checked with do_moves: the cube is solved.")
    return 0


def run_file(parser, args, memory_limit) -> int:
    """--file: every scramble of the file, the summary line at the end."""
    address = args.ray or None
    try:
        if args.out is not None:
            batchrun.check_output_path(args.out, "--out")
        if args.ray is not None:
            batchrun.ray_usage(address)
        cubes = batchrun.read_scrambles(args.file)
        results = batchrun.Results(cubes, MODELS[args.cube], args.out, args.resume)
    except batchrun.UsageError as e:
        parser.error(str(e))
    pending = results.pending()
    size = f"{args.cube}x{args.cube}x{args.cube}"
    batchrun.phase(f"{count(len(cubes), 'scramble')} from {args.file} on the {size}"
                   + (f"; {len(cubes) - len(pending):,} already in {args.out}" if args.resume else ""))
    if args.cube == 3 and any(len(c.moves) > SURE_DEPTH for c in pending) and kociemba_module() is None:
        batchrun.phase("Note: kociemba is not installed here, so a scramble too deep for the optimal search "
                       f"gets no answer. To install it: {INSTALL_HINT}.")
    job = dict(cube=args.cube, memory_limit=memory_limit, time_limit=args.time_limit, optimal=args.optimal)
    return batchrun.execute(results, args.chunk, solve_chunk, job, args.ray, args.workers, "solve:solve_chunk")


if __name__ == "__main__":
    sys.exit(main())
