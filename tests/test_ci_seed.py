"""seed_wheel (.ci/common.sh): a CI cache takes a prebuilt wheel from
shared/wheels beside the checkout only when its SHA256SUMS line matches."""

import hashlib
import os
import shutil
import subprocess

import pytest

COMMON = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".ci", "common.sh")
WHEEL = "numpy-1.26.4-pp39-pypy39_pp73-linux_i686.whl"

pytestmark = pytest.mark.skipif(
    not (os.path.isfile(COMMON) and shutil.which("bash") and shutil.which("sha256sum")),
    reason="needs the source tree's .ci/common.sh, bash and sha256sum")


def seed(tmp_path, sums):
    """Lay out <tmp>/checkout and <tmp>/shared/wheels with one wheel and the
    SHA256SUMS text `sums(digest)`, run seed_wheel, return (status, dest)."""
    checkout, shared, dest = tmp_path / "checkout", tmp_path / "shared" / "wheels", tmp_path / "dest"
    for d in (checkout, shared, dest):
        d.mkdir(parents=True)
    data = os.urandom(4096)
    (shared / WHEEL).write_bytes(data)
    if sums is not None:
        (shared / "SHA256SUMS").write_text(sums(hashlib.sha256(data).hexdigest()))
    proc = subprocess.run(
        ["bash", "-c", f'. "{COMMON}" && seed_wheel "$0" "$1" "numpy-1.26.4-pp*-linux_i686.whl"',
         str(checkout), str(dest)], capture_output=True, text=True, timeout=60)
    return proc.returncode, dest, data


@pytest.mark.parametrize("sums", [
    lambda digest: f"{digest}  {WHEEL}\n",
    lambda digest: f"{'0' * 64}  other.whl\n{digest} *{WHEEL}\n",  # binary-mode line among others
])
def test_a_wheel_whose_checksum_matches_is_copied(tmp_path, sums):
    status, dest, data = seed(tmp_path, sums)
    assert status == 0
    assert [p.name for p in dest.iterdir()] == [WHEEL]
    assert (dest / WHEEL).read_bytes() == data


@pytest.mark.parametrize("sums", [
    lambda digest: f"{digest[::-1]}  {WHEEL}\n",  # wrong digest
    lambda digest: f"{digest}  numpy-2.0.2.whl\n",  # no line for this wheel
    lambda digest: f"{digest}  {WHEEL}.old\n",  # a name that merely starts alike
    None,  # no SHA256SUMS at all
])
def test_a_wheel_without_a_matching_checksum_is_left(tmp_path, sums):
    status, dest, _ = seed(tmp_path, sums)
    assert status == 1
    assert list(dest.iterdir()) == []
