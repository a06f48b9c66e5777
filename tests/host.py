"""Facts about the interpreter running the tests that memory bounds depend on."""
import gc
import importlib.util
import os
import platform
import sys

import pytest

PYPY = platform.python_implementation() == "PyPy"
MEMORY_TOOL = "TESSAROLL_MEMORY_TOOL" in os.environ

# NumPy is an optional dependency: single cubes and batches without arrays
# work without it. Where it has no wheel (PyPy on aarch64, 32-bit x86), the
# suite runs without it and the tests of the array calls skip.
HAVE_NUMPY = importlib.util.find_spec("numpy") is not None
needs_numpy = pytest.mark.skipif(not HAVE_NUMPY, reason="NumPy is not installed")

# Set (to "qemu") by the scripts that run the suite under QEMU user-mode
# emulation (.ci/arm64.sh, .ci/release.sh). QEMU accepts setrlimit(RLIMIT_AS)
# and ignores it, since its own mappings share the guest's address space, and
# reports no limit: the tests that cap the address space skip there.
EMULATED = os.environ.get("TESSAROLL_EMULATED", "")
NO_ADDRESS_SPACE_CAP = f"{EMULATED} user-mode emulation ignores RLIMIT_AS" if EMULATED else None

# PyPy sizes its nursery from the cache size that /proc/cpuinfo reports,
# and some virtual CPUs report a last-level cache of hundreds of MiB (480 MiB
# on one CI host, giving a 240 MiB nursery). Dead arrays then wait that long
# for a minor collection, NumPy's own as much as ours, so a bound on peak RSS
# would measure the host. Child processes that check such a bound pin the
# nursery to what an 8 MiB cache gives.
PINNED_NURSERY = "4MB"


def child_env():
    """The environment for a child process whose memory use is bounded."""
    return dict(os.environ, PYPY_GC_NURSERY=PINNED_NURSERY)


def nursery_bytes():
    """This process's nursery: memory that may be dead but not yet freed.
    PyPy's statistics give it as text such as "240.0MB"."""
    if not PYPY:
        return 0
    text = gc.get_stats().nursery_size
    units = {"kB": 2**10, "MB": 2**20, "GB": 2**30}
    return int(float(text[:-2]) * units[text[-2:]])


# Where a class cannot show its text signature beside its documentation:
# CPython 3.9's PyType_FromSpec drops the signature line, and PyPy 7.3 for
# Python 3.11 derives the read-only __text_signature__ from __doc__ on each
# read, so the documentation without its signature line leaves none (PyPy 8
# keeps both).
CLASS_SIGNATURE_LOST = (
    "CPython 3.9 drops class text signatures" if sys.version_info < (3, 10) and not PYPY
    else "PyPy 7.3 for Python 3.11 reads class signatures from __doc__ alone"
    if PYPY and sys.version_info >= (3, 11) and sys.pypy_version_info < (8,)
    else None)
