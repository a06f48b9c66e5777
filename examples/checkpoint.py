"""learn.py's checkpoint files: data only, never code.

A checkpoint holds a learner's state as learn.py hands it over: a nested
dict of NumPy arrays and a JSON-able dict of metadata. The file is

    MAGIC                       the 27 bytes below, naming the format
    header length               8 bytes, big-endian
    header                      UTF-8 JSON: {"format": 1, "meta": {...},
                                "arrays": [[path, dtype, shape, offset, nbytes], ...]}
    payload                     the arrays' bytes, one after the other
    SHA-256                     32 bytes: the digest of everything above

Arrays are read back with np.frombuffer from a short list of plain numeric
dtypes, so loading a file runs no code from it (a pickle is refused as a
foreign file). Every size is checked against the file's before anything is
read, and the digest catches any changed byte. A save writes a temporary
file beside the target and renames it over the target only when complete;
an interrupted save removes the temporary file and leaves the previous
checkpoint as it was.
"""

from __future__ import annotations

import hashlib
import json
import os

import numpy as np

MAGIC = b"tessaroll learn checkpoint\n"
FORMAT = 1
DIGEST = 32
# Plain little-endian numbers and bytes only: no object, string or void dtype.
DTYPES = {"<f2", "<f4", "<f8", "<i1", "<i2", "<i4", "<i8", "|i1", "|u1", "<u1", "<u2", "<u4", "<u8", "|b1"}
MAX_HEADER = 1 << 24


class CheckpointError(Exception):
    """A file that is not a sound checkpoint; the message names the file and the fault."""


def _flatten(tree, prefix=""):
    if isinstance(tree, dict):
        out = []
        for key in sorted(tree):
            if not isinstance(key, str) or not key or "/" in key:
                raise ValueError(f"array names are non-empty strings without '/': {key!r}")
            out += _flatten(tree[key], f"{prefix}{key}/")
        return out
    return [(prefix[:-1], np.asarray(tree))]   # tobytes() gives C order; 0-d stays 0-d


def encode(arrays: dict, meta: dict) -> bytes:
    """The bytes of a checkpoint file."""
    entries, blobs, offset = [], [], 0
    for path, array in _flatten(arrays):
        dtype = array.dtype.newbyteorder("<") if array.dtype.byteorder == ">" else array.dtype
        array = array.astype(dtype, copy=False)
        if dtype.str not in DTYPES:
            raise ValueError(f"array {path} has dtype {dtype}, not a plain number type")
        blob = array.tobytes()
        entries.append([path, dtype.str, list(array.shape), offset, len(blob)])
        blobs.append(blob)
        offset += len(blob)
    header = json.dumps({"format": FORMAT, "meta": meta, "arrays": entries},
                        allow_nan=False, separators=(",", ":")).encode()
    body = MAGIC + len(header).to_bytes(8, "big") + header + b"".join(blobs)
    return body + hashlib.sha256(body).digest()


def decode(data: bytes, name: str):
    """(arrays, meta) from a checkpoint's bytes, or CheckpointError."""
    def fail(why):
        raise CheckpointError(f"{name}: {why}")

    if not data:
        fail("the file is empty")
    if not data.startswith(MAGIC):
        if MAGIC.startswith(data):
            fail("truncated (it ends inside its first line)")
        hint = " (a pickle: never loaded, since loading one runs code)" if data[:1] == b"\x80" else ""
        fail(f"not a learn.py checkpoint{hint}")
    start = len(MAGIC) + 8
    if len(data) < start + DIGEST:
        fail(f"truncated ({len(data)} bytes)")
    size = int.from_bytes(data[len(MAGIC):start], "big")
    if size > MAX_HEADER:
        fail("corrupted (its header length is impossible)")
    if len(data) < start + size + DIGEST:
        fail(f"truncated ({len(data)} bytes, its header alone needs {start + size + DIGEST})")
    if hashlib.sha256(data[:-DIGEST]).digest() != data[-DIGEST:]:
        fail("corrupted or truncated (its SHA-256 checksum does not match)")
    try:
        header = json.loads(data[start:start + size])
        meta, entries = header["meta"], header["arrays"]
        if header["format"] != FORMAT:
            fail(f"format {header['format']!r}; this learn.py reads format {FORMAT}")
        if not isinstance(meta, dict) or not isinstance(entries, list):
            raise TypeError
    except (ValueError, TypeError, KeyError):
        fail("corrupted (its header is not the expected JSON)")
    payload = memoryview(data)[start + size:-DIGEST]
    arrays: dict = {}
    end = 0
    for entry in entries:
        try:
            path, dtype, shape, offset, nbytes = entry
            dtype = np.dtype(dtype) if dtype in DTYPES else None
            if dtype is None or not all(type(d) is int and d >= 0 for d in shape):
                raise ValueError
            if offset != end or nbytes != dtype.itemsize * int(np.prod(shape, dtype=np.int64)):
                raise ValueError
            keys = path.split("/")
            if not all(keys):
                raise ValueError
        except (ValueError, TypeError, AttributeError):
            fail(f"corrupted (array entry {entry!r} is malformed)")
        end = offset + nbytes
        if end > len(payload):
            fail("truncated (its arrays run past the end of the file)")
        node = arrays
        for key in keys[:-1]:
            node = node.setdefault(key, {})
            if not isinstance(node, dict):
                fail(f"corrupted (array {path} is nested under another array)")
        if keys[-1] in node:
            fail(f"corrupted (array {path} appears twice)")
        node[keys[-1]] = np.frombuffer(payload[offset:end], dtype=dtype).reshape(shape).copy()
    if end != len(payload):
        fail("corrupted (bytes beyond its arrays)")
    return arrays, meta


def load(path: str):
    """(arrays, meta) from a checkpoint file, or CheckpointError."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        raise CheckpointError(f"{path}: no such checkpoint") from None
    except OSError as e:
        raise CheckpointError(f"{path}: cannot be read ({e.strerror})") from None
    return decode(data, path)


def save(path: str, arrays: dict, meta: dict) -> None:
    """Write atomically: the file is replaced only by a complete new one,
    and an interrupted save (Ctrl-C included) leaves no temporary file."""
    data = encode(arrays, meta)
    tmp = f"{path}.tmp{os.getpid()}"
    try:
        with open(tmp, "wb") as f:
            write_all(f, data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise


def write_all(f, data: bytes, block: int = 1 << 20) -> None:
    """Write in blocks, so that a Ctrl-C can land between them."""
    view = memoryview(data)
    for lo in range(0, len(view), block):
        f.write(view[lo:lo + block])
