"""Every Python example in the documentation runs, and prints what its page shows.

The pages are docs/*.md and the README. On each page the ```python blocks run in order in
one namespace, as a reader would type them into one session, in a scratch
directory. A block of >>> lines is a doctest. A block followed by a
```{code-block} text block captioned "Output" must print exactly that text.

A block that imports an optional library (NumPy, JAX, PyTorch, ...) that is
missing skips the rest of its page; with TESSAROLL_DOCS_STRICT=1 (set by
.ci/docs.sh, which installs them all) it fails instead, so every block runs
somewhere in CI.
"""

import contextlib
import doctest
import importlib.util
import io
import os
import pathlib
import re
import sys

import pytest

import tessaroll

ROOT = pathlib.Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
PAGES = sorted(DOCS.glob("*.md"))
EXAMPLES = PAGES + [ROOT / "README.md"]  # the README's example runs too
OPTIONAL = {"numpy", "jax", "jaxlib", "flax", "optax", "torch", "kociemba", "matplotlib", "tqdm"}
STRICT = os.environ.get("TESSAROLL_DOCS_STRICT") == "1"

FENCE_OPEN = re.compile(r"^(\s*)```python\s*$")
RST_OPEN = re.compile(r"^(\s*)\.\. code-block:: python\s*$")  # inside {eval-rst} blocks
FENCE_CLOSE = re.compile(r"^\s*```\s*$")
OUTPUT_OPEN = re.compile(r"^\s*```\{code-block\} text\s*$")


def blocks(path):
    """(line number, code, expected output or None) for each python block."""
    lines = path.read_text(encoding="utf-8").splitlines()
    found = []
    i = 0
    while i < len(lines):
        rst = RST_OPEN.match(lines[i])
        if rst:
            # The block is every following line indented deeper than the
            # directive (blank lines included), up to the first that is not.
            start, depth = i + 1, len(rst.group(1))
            i += 1
            while i < len(lines) and (not lines[i].strip() or
                                      len(lines[i]) - len(lines[i].lstrip()) > depth):
                i += 1
            body = [line for line in lines[start:i]]
            while body and not body[-1].strip():
                body.pop()
            first = next(j for j, line in enumerate(body) if line.strip())
            indent = len(body[first]) - len(body[first].lstrip())
            found.append((start + first + 1, "\n".join(line[indent:] for line in body[first:]) + "\n", None))
            continue
        opened = FENCE_OPEN.match(lines[i])
        if not opened:
            i += 1
            continue
        indent = len(opened.group(1))
        start = i + 1
        i += 1
        while not FENCE_CLOSE.match(lines[i]):
            i += 1
        code = "\n".join(line[indent:] for line in lines[start:i]) + "\n"
        i += 1
        j = i
        while j < len(lines) and not lines[j].strip():
            j += 1
        expected = None
        if j + 1 < len(lines) and OUTPUT_OPEN.match(lines[j]) and lines[j + 1].strip() == ":caption: Output":
            k = j + 2
            if k < len(lines) and not lines[k].strip():
                k += 1  # the blank line after the options
            end = k
            while not FENCE_CLOSE.match(lines[end]):
                end += 1
            expected = "\n".join(line[indent:] for line in lines[k:end]) + "\n"
            i = end + 1
        found.append((start + 1, code, expected))  # the first code line, from 1
    return found


def missing_optional(exc):
    """The optional library whose absence `exc` reports, or None. A batch
    call that needs NumPy says so in an ImportError of its own."""
    if isinstance(exc, ModuleNotFoundError) and (exc.name or "").split(".")[0] in OPTIONAL:
        return exc.name.split(".")[0]
    if type(exc) is ImportError and "needs NumPy" in str(exc):
        return "numpy"
    return None


class Runner(doctest.DocTestRunner):
    """A doctest runner that keeps the first missing optional import, which
    a doctest would otherwise report as a failed example."""
    missing = None

    def report_unexpected_exception(self, out, test, example, exc_info):
        if self.missing is None and missing_optional(exc_info[1]):
            self.missing = exc_info[1]
        super().report_unexpected_exception(out, test, example, exc_info)


def run_block(page, line, code, namespace):
    """Run one block; returns what it printed (a doctest checks its own)."""
    where = f"{page.name}:{line}"
    if code.lstrip().startswith(">>>"):
        test = doctest.DocTestParser().get_doctest(code, namespace, where, str(page), line - 1)
        runner = Runner(optionflags=doctest.ELLIPSIS)
        report = []
        runner.run(test, out=report.append, clear_globs=False)
        namespace.update(test.globs)  # a DocTest runs in a copy of the names it is given
        if runner.missing is not None:
            raise runner.missing  # the examples after it failed for want of it
        if runner.failures:
            pytest.fail(f"doctest at {where} failed:\n" + "".join(report))
        return None
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, where, "exec"), namespace)
    return out.getvalue()


@pytest.mark.parametrize("page", EXAMPLES, ids=lambda p: p.name)
def test_page_examples_run(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__docs__"}
    found = blocks(page)
    for number, (line, code, expected) in enumerate(found):
        try:
            printed = run_block(page, line, code, namespace)
        except Exception as exc:
            if missing_optional(exc) and not STRICT:
                pytest.skip(f"{page.name}: {len(found) - number} of {len(found)} blocks, from "
                            f"line {line} on, need {missing_optional(exc)}")
            raise
        if expected is not None:
            assert printed == expected, f"{page.name}:{line} printed something else"


def test_block_parser_pairs_code_with_its_output(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("text\n\n```python\nprint(1)\n```\n\n```{code-block} text\n:caption: Output\n\n1\n```\n\n"
                    "- item\n\n  ```python\n  >>> 2\n  2\n  ```\n\n```python\nx = 3\n```\n\n"
                    "```{code-block} text\n:caption: Not output\n\n3\n```\n\n"
                    "```{eval-rst}\n.. automethod:: x\n\n   .. code-block:: python\n\n      >>> 4\n"
                    "      4\n\n      >>> 5\n      5\n\n   After.\n```\n")
    assert blocks(page) == [(4, "print(1)\n", "1\n"), (16, ">>> 2\n2\n", None), (21, "x = 3\n", None),
                            (35, ">>> 4\n4\n\n>>> 5\n5\n", None)]


def test_a_doctest_that_misses_an_optional_library_raises_its_import_error(monkeypatch, tmp_path):
    # A host without NumPy skips the rest of the page instead of failing it.
    monkeypatch.setitem(sys.modules, "numpy", None)
    with pytest.raises(ModuleNotFoundError) as caught:
        run_block(tmp_path / "page.md", 1, ">>> import numpy as np\n>>> np.zeros(2)\narray([0., 0.])\n", {})
    assert missing_optional(caught.value) == "numpy"


@pytest.mark.parametrize("exc, name", [
    (ModuleNotFoundError("x", name="jax.numpy"), "jax"),
    (ModuleNotFoundError("x", name="no_such_module"), None),
    (ImportError("CubeBatch.get_next_states() needs NumPy: pip install numpy"), "numpy"),
    (ImportError("cannot import name 'x'"), None),
])
def test_missing_optional_names_only_optional_libraries(exc, name):
    assert missing_optional(exc) == name


def test_every_page_has_examples_or_is_prose():
    # A page's examples are found at all: a changed fence style would
    # otherwise make this whole module check nothing.
    counted = {page.name: len(blocks(page)) for page in PAGES}
    assert sum(counted.values()) >= 40, counted
    for name in ("api.md", "concepts.md", "getting-started.md", "batches.md", "features.md", "bfs.md"):
        assert counted.get(name, 0) > 0, name


# --- the sticker-index nets ------------------------------------------------

def load_net():
    spec = importlib.util.spec_from_file_location("docs_net", DOCS / "net.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("n", [3, 2])
def test_net_pictures_are_current(n):
    net = load_net()
    assert net.path(n).read_text() == net.svg(n), "run python docs/net.py"


@pytest.mark.parametrize("n, model", [(3, tessaroll.Cube3x3), (2, tessaroll.Cube2x2)])
@pytest.mark.parametrize("moves", ["", "R U F' L2 D B'", "B2 L' D R2 F' U"])
def test_net_layout_is_the_terminal_pictures(n, model, moves):
    """Placing each sticker of to_sticker_array() where the net picture puts
    its index gives, row by row, the module's own terminal picture."""
    cube = model()
    cube.do_moves(moves)
    codes = cube.to_sticker_array()
    grid = {}
    for index, _face, col, row in load_net().cells(n):
        grid[row, col] = "WRGYOB"[codes[index]]
    picture = re.sub(r"\x1b\[[0-9;]*m", "", str(cube)).splitlines()
    assert len(picture) == 3 * n
    for row, line in enumerate(picture):
        letters = [grid[row, col] for col in range(4 * n) if (row, col) in grid]
        assert line.split() == letters
    f_column = [m.start() for m in re.finditer(r"\S", picture[n])][n]  # F's first sticker
    for row in list(range(n)) + list(range(2 * n, 3 * n)):
        assert len(picture[row]) - len(picture[row].lstrip()) == f_column


# --- the README's table of pages ------------------------------------------

def readme_links():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.findall(r"\]\((docs/[^)#\s]+)(?:#[^)]*)?\)", text)


def test_readme_links_every_page_and_only_pages_that_exist():
    linked = set(readme_links())
    for target in linked:
        assert (ROOT / target).is_file(), target
    pages = {f"docs/{p.name}" for p in PAGES if p.name != "index.md"}
    assert pages <= linked, sorted(pages - linked)


def test_index_toctree_lists_every_page():
    index = (DOCS / "index.md").read_text(encoding="utf-8")
    listed = set(re.findall(r"^([a-z][a-z-]*)$", index, re.M))
    pages = {p.stem for p in PAGES if p.name != "index.md"}
    assert pages <= listed, sorted(pages - listed)
    # Sphinx writes these pages itself; a page of that name would be lost.
    assert not pages & {"search", "genindex", "py-modindex"}


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-v"]))
