"""Many cubes at once, for solve.py and learn.py: benchmark files of
scrambles, one JSON line of results per cube, the summary line, progress on
stderr, and the dispatch of chunks of cubes to Ray tasks.

A benchmark file holds one move string per line (blank lines and text after
a '#' are ignored), or a JSON list of move strings. The whole file is read
and checked before any cube is solved.

Results go to a JSON Lines file as they arrive, one object per cube, written
and flushed at once, so an interrupted or crashed run keeps every finished
cube and a resumed run skips them. Each object holds the cube's position in
the file ("index"), its "scramble" as the file gives it, the "solution" (a
move string, or null when none was found), its "length" in quarter turns,
the "method", the solver's "seconds" for that cube, and "optimal", the
optimal length in quarter turns where it is known.

Ray runs the same chunks of cubes as the single-process path, one chunk per
task, and each chunk's answers depend on nothing but the chunk, so a run
gives the same answers cube by cube whatever the number of workers. Tasks
name their work function as "module:function", imported on the worker from
this folder, which Ray ships to every worker as its working directory.
"""

from __future__ import annotations

import importlib
import json
import math
import os
import sys
import time
import warnings

MOVES = ["U", "U'", "D", "D'", "R", "R'", "L", "L'", "F", "F'", "B", "B'"]
# The 24 tokens do_moves accepts, as move indexes (a half turn is two).
TOKENS = {name: [i] for i, name in enumerate(MOVES)}
TOKENS.update({name[0] + "!": [i] for i, name in enumerate(MOVES) if name.endswith("'")})
TOKENS.update({name + "2": [i, i] for i, name in enumerate(MOVES) if len(name) == 1})
HERE = os.path.dirname(os.path.abspath(__file__))
PLAIN_PROGRESS_SECONDS = 10.0    # a progress line this often when stderr is not a terminal


class UsageError(Exception):
    """Bad input from the command line or its files: the message is the
    line to print, and the command exits with status 2."""


class TaskFailed(Exception):
    """A Ray task failed for a reason other than a lost worker."""


def parse_moves(text: str) -> list[int]:
    """A move string as quarter-turn move indexes; ValueError names an
    unknown token."""
    indexes = []
    for token in text.split():
        if token not in TOKENS:
            raise ValueError(f"unknown move token {token!r}")
        indexes += TOKENS[token]
    return indexes


def quarter_turns(text: str) -> int:
    return len(parse_moves(text))


def with_half_turns(moves: list[int]) -> str:
    """Move indexes as a move string in which two equal quarter turns in a
    row are written as one half turn: [4, 4, 0] -> "R2 U"."""
    tokens = []
    i = 0
    while i < len(moves):
        name = MOVES[moves[i]]
        if i + 1 < len(moves) and moves[i + 1] == moves[i]:
            tokens.append(name[0] + "2")
            i += 2
        else:
            tokens.append(name)
            i += 1
    return " ".join(tokens)


class Cube:
    """One scramble of a benchmark file: its position among the file's
    scrambles, the text as given (whitespace collapsed), its move indexes
    and the file's line it came from."""

    __slots__ = ("index", "text", "moves", "line")

    def __init__(self, index: int, text: str, moves: list[int], line: int):
        self.index, self.text, self.moves, self.line = index, text, moves, line

    def __repr__(self):
        return f"Cube({self.index}, {self.text!r}, line {self.line})"


def _json_items(text: str, name: str):
    """(line, value) for each item of a JSON list, the line its value starts on."""
    decoder = json.JSONDecoder()

    def line_at(pos):
        return text.count("\n", 0, pos) + 1

    def skip(pos):
        while pos < len(text) and text[pos] in " \t\r\n":
            pos += 1
        return pos

    def fail(pos, what):
        raise UsageError(f"{name}, line {line_at(pos)}: {what}")

    pos = skip(0) + 1                   # past the '['
    items = []
    pos = skip(pos)
    if pos < len(text) and text[pos] == "]":
        pos += 1
    else:
        while True:
            pos = skip(pos)
            try:
                value, end = decoder.raw_decode(text, pos)
            except json.JSONDecodeError as e:
                fail(e.pos, f"not valid JSON ({e.msg})")
            items.append((line_at(pos), value))
            pos = skip(end)
            if pos < len(text) and text[pos] == ",":
                pos += 1
            elif pos < len(text) and text[pos] == "]":
                pos += 1
                break
            else:
                fail(pos, "not valid JSON (expected ',' or ']' in the list)")
    pos = skip(pos)
    if pos != len(text):
        fail(pos, "not valid JSON (text after the list)")
    return items


def read_scrambles(path: str) -> list[Cube]:
    """Every scramble of a benchmark file, or UsageError naming the file
    and the line at fault."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise UsageError(f"cannot read {path}: {e.strerror}") from None
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        line = data.count(b"\n", 0, e.start) + 1
        raise UsageError(f"{path}, line {line}: not UTF-8 text") from None
    cubes = []
    if text.lstrip().startswith("["):
        for line, value in _json_items(text, path):
            if not isinstance(value, str):
                raise UsageError(f"{path}, line {line}: a list item is {type(value).__name__}, "
                                 "not a move string")
            cubes.append(_cube(path, len(cubes), line, value))
    else:
        for number, raw in enumerate(text.splitlines(), 1):
            line = raw.split("#", 1)[0]
            if line.strip():
                cubes.append(_cube(path, len(cubes), number, line))
    if not cubes:
        raise UsageError(f"{path} holds no scrambles")
    return cubes


def _cube(path, index, line, text):
    try:
        moves = parse_moves(text)
    except ValueError as e:
        raise UsageError(f"{path}, line {line}: {e}") from None
    return Cube(index, " ".join(text.split()), moves, line)


def check_output_path(path: str, what: str) -> None:
    """UsageError unless a file can be written at path: its folder exists
    and is writable, and path is not a folder."""
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise UsageError(f"{what} {path} is a folder, not a file")
    if not os.path.isdir(folder):
        raise UsageError(f"{what} {path}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
        raise UsageError(f"{what} {path}: not writable")


def solves(model, scramble: str, solution: str) -> bool:
    cube = model()
    cube.do_moves(scramble)
    cube.do_moves(solution)
    return cube.is_solved()


def record(cube: Cube, model, solution, method: str, seconds: float, optimal=None) -> dict:
    """The JSON object of one cube. A solution (move indexes or a move
    string) is checked with do_moves first; one that does not solve the
    cube is an error of the solver, raised here."""
    text = solution if isinstance(solution, str) or solution is None else " ".join(MOVES[m] for m in solution)
    if text is not None and not solves(model, cube.text, text):
        raise AssertionError(f"solution {text!r} does not solve scramble {cube.index} ({cube.text!r})")
    return {"index": cube.index, "scramble": cube.text, "solution": text,
            "length": None if text is None else quarter_turns(text), "method": method,
            "seconds": round(seconds, 6), "optimal": optimal}


def _holds_text(path: str) -> bool:
    with open(path, "rb") as f:
        return any(line.strip() for line in f)


class Results:
    """Every cube's record: those a resumed --out file already holds and
    those that arrive. With a path, each new record is appended as one JSON
    line and flushed before the next is taken."""

    def __init__(self, cubes: list[Cube], model, path: str | None = None, resume: bool = False):
        self.cubes = cubes
        self.records: dict[int, dict] = {}
        self.file = None
        self.path = path
        if path is None:
            return
        if resume and os.path.exists(path):
            self._load(model)
        elif not resume and os.path.exists(path) and _holds_text(path):
            raise UsageError(f"--out {path} exists: add --resume to go on with it, or choose another file")
        self.file = open(path, "a", encoding="utf-8")

    def _load(self, model):
        with open(self.path, "rb") as f:
            data = f.read()
        # A run killed while writing leaves a partial last line: drop it.
        whole = data[: data.rfind(b"\n") + 1]
        if len(whole) != len(data):
            with open(self.path, "r+b") as f:
                f.truncate(len(whole))
        for number, line in enumerate(whole.decode("utf-8", "replace").splitlines(), 1):
            if not line.strip():
                continue
            where = f"--out {self.path}, line {number}"
            try:
                rec = json.loads(line)
                index, text, solution = rec["index"], rec["scramble"], rec["solution"]
            except (ValueError, TypeError, KeyError):
                raise UsageError(f"{where}: not a result record") from None
            if not (type(index) is int and 0 <= index < len(self.cubes)) or text != self.cubes[index].text:
                raise UsageError(f"{where}: the results of another scramble file "
                                 f"(its scramble {index!r} is not this file's)")
            if solution is not None and not (isinstance(solution, str) and solves(model, text, solution)):
                raise UsageError(f"{where}: its solution does not solve its scramble")
            self.records.setdefault(index, rec)

    def pending(self) -> list[Cube]:
        return [c for c in self.cubes if c.index not in self.records]

    def add(self, rec: dict) -> None:
        if rec["index"] in self.records:
            return                       # a retried task's second answer
        self.records[rec["index"]] = rec
        if self.file is not None:
            self.file.write(json.dumps(rec) + "\n")
            self.file.flush()

    def close(self):
        if self.file is not None:
            self.file.close()
            self.file = None

    def summary(self) -> list[str]:
        """Two lines: what the means are over, then the summary line
        'solved K/N; mean length L[; optimal mean O]; seconds per cube S'.
        Both means are over the solved cubes; the optimal mean appears when
        every solved cube's optimal length is known."""
        recs = [self.records[c.index] for c in self.cubes if c.index in self.records]
        solved = [r for r in recs if r["solution"] is not None]
        mean = sum(r["length"] for r in solved) / len(solved) if solved else math.nan
        line = f"solved {len(solved)}/{len(self.cubes)}; mean length {mean:.2f}"
        optimal = [r["optimal"] for r in solved]
        if solved and all(o is not None for o in optimal):
            line += f"; optimal mean {sum(optimal) / len(optimal):.2f}"
        per_cube = sum(r["seconds"] for r in recs) / len(recs) if recs else math.nan
        line += f"; seconds per cube {per_cube:.3f}"
        missing = len(self.cubes) - len(recs)
        note = (f"Means over the {len(solved)} solved cubes"
                + (", the optimal mean over the same cubes" if "optimal mean" in line else "")
                + f"; seconds per cube: the solver's time, over the {len(recs)} cubes with a result"
                + (f" ({missing} not run)" if missing else "") + ".")
        return [note, line]


class Progress:
    """Cubes done so far, on stderr: a line rewritten in place on a
    terminal, otherwise a plain line every PLAIN_PROGRESS_SECONDS and one at
    the end."""

    def __init__(self, total: int, label: str = "cubes", stream=None, every: float | None = None):
        self.stream = stream or sys.stderr
        self.tty = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.every = every if every is not None else (0.2 if self.tty else PLAIN_PROGRESS_SECONDS)
        self.total, self.label = total, label
        self.done = self.solved = 0
        self.started = time.perf_counter()
        self.last = self.started
        self.written = None

    def restart(self) -> None:
        """Count time from now (after Ray has started, say)."""
        self.started = self.last = time.perf_counter()

    def update(self, done: int, solved: int) -> None:
        self.done += done
        self.solved += solved
        now = time.perf_counter()
        if now - self.last >= self.every:
            self.last = now
            self._write()

    def _write(self, end=False):
        if end and not self.tty and self.written == self.done:
            return
        self.written = self.done
        spent = time.perf_counter() - self.started
        text = f"{self.label}: {self.done}/{self.total} done, {self.solved} solved, {spent:.0f} s"
        if 0 < self.done < self.total:
            text += f", about {spent * (self.total - self.done) / self.done:.0f} s to go"
        if self.tty:
            self.stream.write("\r\x1b[K" + text + ("\n" if end else ""))
        else:
            self.stream.write(text + "\n")
        self.stream.flush()

    def close(self):
        self._write(end=True)


def phase(text: str) -> None:
    """One line on stderr as a phase of a long run starts."""
    print(text, file=sys.stderr, flush=True)


class PlainBar:
    """A stand-in for a tqdm bar when stderr is not a terminal: a plain line
    every PLAIN_PROGRESS_SECONDS (and one at the end) instead of a bar that
    would print nothing at all."""

    def __init__(self, iterable=None, total=None, desc="", unit="it", every=None, **_):
        self.iterable, self.total, self.desc, self.unit = iterable, total, desc, unit
        if total is None and iterable is not None and hasattr(iterable, "__len__"):
            self.total = len(iterable)
        self.n = 0
        self.postfix = ""
        self.every = PLAIN_PROGRESS_SECONDS if every is None else every
        self.started = self.last = time.perf_counter()
        self.closed = False
        self.written = None

    def __iter__(self):
        for item in self.iterable:
            yield item
            self.update(1)
        self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def update(self, n=1):
        self.n += n
        now = time.perf_counter()
        if now - self.last >= self.every:
            self.last = now
            self._write()

    def set_postfix(self, refresh=True, **values):
        self.postfix = ", ".join(f"{k} {v}" for k, v in values.items())

    def _write(self):
        self.written = self.n
        total = f"/{self.total:,.0f}" if self.total is not None else ""
        text = f"{self.desc}: {self.n:,.0f}{total} {self.unit.strip()}, {time.perf_counter() - self.started:.0f} s"
        print(text + (f", {self.postfix}" if self.postfix else ""), file=sys.stderr, flush=True)

    def close(self):
        if not self.closed:
            self.closed = True
            if self.n and self.written != self.n:
                self._write()


def bar(*args, **kwargs):
    """A tqdm progress bar on a terminal, a PlainBar elsewhere."""
    if sys.stderr.isatty():
        from tqdm import tqdm
        return tqdm(*args, **kwargs)
    kwargs.pop("disable", None)
    return PlainBar(*args, **kwargs)


def add_arguments(group, whole_number, optimal_note: str) -> None:
    """The options both examples take for a benchmark file: --out,
    --optimal, --ray and --workers (whole_number parses N >= 1)."""
    group.add_argument("--out", metavar="FILE",
                       help="write one JSON line per cube here as it is solved (scramble, solution, "
                            "length, method, seconds, optimal)")
    group.add_argument("--optimal", action="store_true",
                       help="take each scramble's own length as optimal (sets made by reversing "
                            f"optimal solutions); {optimal_note}")
    group.add_argument("--ray", nargs="?", const="", metavar="ADDRESS",
                       help="run chunks of cubes as Ray tasks: on a new local Ray instance, or with "
                            "'auto' or ray://HOST:PORT on an existing cluster (needs the cluster extra)")
    group.add_argument("--workers", type=whole_number, metavar="N",
                       help="with --ray: CPUs of the local instance, or tasks at a time on a cluster")


def chunks(cubes: list[Cube], size: int) -> list[list[Cube]]:
    return [cubes[i:i + size] for i in range(0, len(cubes), size)]


def work_function(name: str):
    module, function = name.split(":")
    return getattr(importlib.import_module(module), function)


# ---- Ray ---------------------------------------------------------------

def _remote_chunk(work: str, job: dict, chunk):
    """The body of every Ray task: the work function, imported on the
    worker (once per worker process), applied to one chunk."""
    if HERE not in sys.path:
        sys.path.insert(0, HERE)
    return list(work_function(work)(job, chunk))


def fetch(value):
    """A value that a task's job holds, got from Ray's object store when
    the driver put it there (an ObjectRef), as it is otherwise."""
    if type(value).__name__ == "ObjectRef":
        import ray
        return ray.get(value)
    return value


def ray_usage(address: str | None) -> None:
    """UsageError unless Ray can be imported and the address has a form
    Ray takes: none (a new local instance), 'auto' or ray://host:port."""
    try:
        import ray  # noqa: F401
    except ImportError:
        raise UsageError('--ray needs Ray: python -m pip install "ray>=2.10" '
                         '(in a tessaroll checkout, python -m pip install ".[cluster]")') from None
    if address not in (None, "auto") and not (address.startswith("ray://") and address.count(":") == 2):
        raise UsageError(f"--ray {address}: give no address (a local Ray instance), 'auto' "
                         "(the cluster this machine has joined) or ray://HOST:PORT")


def start_ray(address: str | None, workers: int | None, env: dict | None = None):
    """Connect to the cluster at address, or start a local instance of
    `workers` CPUs (all of this machine's by default), shipping this folder
    to the workers. Returns True when this call started Ray."""
    import logging

    import ray
    if ray.is_initialized():
        return False
    runtime_env = {"working_dir": HERE, "excludes": ["__pycache__", "*.ckpt", "*.jsonl"]}
    # A task asks for one CPU, so a worker's tessaroll pool and JAX's XLA
    # get one thread each: two workers on two cores do not fight over them.
    # (XLA's single-threaded results are the same, bit for bit.)
    runtime_env["env_vars"] = {"RAYON_NUM_THREADS": "1",
                               "XLA_FLAGS": "--xla_cpu_multi_thread_eigen=false intra_op_parallelism_threads=1",
                               **(env or {})}
    kwargs = dict(runtime_env=runtime_env, include_dashboard=False, log_to_driver=False,
                  logging_level=logging.WARNING, configure_logging=True)
    if address is not None:
        kwargs.pop("include_dashboard")
    with warnings.catch_warnings():
        # Ray starts its processes by fork and exec; JAX, when the driver
        # has imported it, warns of fork alone.
        warnings.filterwarnings("ignore", message=r"os\.fork\(\) was called", category=RuntimeWarning)
        if address is None:
            ray.init(num_cpus=workers, **kwargs)
        else:
            ray.init(address=address, **kwargs)
    return True


def run_ray(pending: list[Cube], size: int, work: str, job: dict, results: Results, progress: Progress,
            workers: int | None = None, retries: int = 3) -> None:
    """Run the chunks as Ray tasks (at most `workers` at a time when given)
    and hand each finished chunk's records to results. A task whose worker
    died is retried by Ray; a task that raised stops the run with
    TaskFailed. After Ctrl-C the caller's ray.shutdown() cancels the tasks
    not yet finished."""
    import ray
    task = ray.remote(num_cpus=1, max_retries=retries, retry_exceptions=False)(_remote_chunk)
    todo = chunks(pending, size)
    todo.reverse()
    running = []
    limit = workers or len(todo)
    while todo or running:
        while todo and len(running) < limit:
            running.append(task.remote(work, job, todo.pop()))
        ready, running = ray.wait(running, num_returns=1, timeout=1.0)
        for ref in ready:
            try:
                recs = ray.get(ref)
            except ray.exceptions.RayTaskError as e:
                raise TaskFailed(str(e.cause if getattr(e, "cause", None) else e).strip()) from None
            for rec in recs:
                results.add(rec)
            progress.update(len(recs), sum(r["solution"] is not None for r in recs))
    # On Ctrl-C the tasks still running are left to ray.shutdown(), which
    # ends this driver's job: Ray stops its workers and drops its queued
    # tasks. ray.cancel() races with tasks that finish at that moment and
    # can abort the driver inside Ray ("Tried to complete task that was not
    # pending"), losing the clean exit.


def run(pending: list[Cube], size: int, results: Results, progress: Progress, work, job: dict,
        remote: str | None = None, remote_job: dict | None = None, workers: int | None = None) -> None:
    """Solve the pending cubes a chunk of `size` at a time: each chunk (a
    list of Cube) by work(job, chunk), which returns or yields one record
    per cube, in
    this process; or, with remote ("module:function", the same function as
    the worker imports it), as Ray tasks given remote_job."""
    if remote is not None:
        run_ray(pending, size, remote, remote_job, results, progress, workers)
        return
    for chunk in chunks(pending, size):
        for rec in work(job, chunk):          # a generator hands over each cube as it is done
            results.add(rec)
            progress.update(1, rec["solution"] is not None)


def execute(results: Results, size: int, work, job: dict, ray_address: str | None, workers: int | None,
            remote: str, remote_job=None, label: str = "solve") -> int:
    """A whole command-line run over the pending cubes, in this process or
    (ray_address not None; "" for a local instance) on Ray: progress on
    stderr, then the wall time and the summary on stdout. remote_job(),
    called once Ray is up, gives the tasks' job (job itself by default).
    Returns the exit status: 0, 130 after Ctrl-C (finished cubes kept), or
    1 when a Ray task failed."""
    pending = results.pending()
    progress = Progress(len(pending), label)
    started = time.perf_counter()
    ray_started = False
    try:
        if ray_address is None or not pending:
            run(pending, size, results, progress, work, job)
        else:
            address = ray_address or None
            phase(f"Ray: connecting to {address}" if address else "Ray: starting a local instance")
            ray_started = start_ray(address, workers)
            started = time.perf_counter()
            progress.restart()
            run(pending, size, results, progress, work, job, remote=remote,
                remote_job=job if remote_job is None else remote_job(), workers=workers)
        progress.close()
    except KeyboardInterrupt:
        results.close()
        done = f"{len(results.records)} of {len(results.cubes)} cubes"
        print(f"Interrupted: {done} kept in {results.path}." if results.path
              else f"Interrupted after {done}; without --out none are kept.", file=sys.stderr)
        return 130
    except TaskFailed as e:
        results.close()
        print(f"A Ray task failed: {e}", file=sys.stderr)
        return 1
    finally:
        if ray_started:
            import ray
            ray.shutdown()        # also ends this job's tasks still running
    results.close()
    wall = time.perf_counter() - started
    print(f"Solved {len(pending):,} {'cube' if len(pending) == 1 else 'cubes'} in {wall:.1f} s wall"
          + (" on Ray." if ray_address is not None else "."))
    for line in results.summary():
        print(line)
    return 0
