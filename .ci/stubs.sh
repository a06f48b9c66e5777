#!/usr/bin/env bash
# The installed type stubs must match the module (mypy's stubtest) and must
# type-check a program that uses the whole surface (mypy --strict).
set -euo pipefail
cd "$(dirname "$0")/.."
export TESSAROLL_WERROR=ON

# shellcheck source=.ci/common.sh
. .ci/common.sh
apt_need g++ python3-venv python3-dev
make_venv python3
python -m pip install -q scikit-build-core "numpy>=1.25" cmake ninja mypy
python -m pip install -q --no-build-isolation -C build-dir=build/stubs-module .

# Run outside the source tree, so that only the installed stubs are found.
here=$(pwd)
cd "$venv_root"
echo "== stubtest"
python -m mypy.stubtest tessaroll --allowlist "$here/stubs/stubtest-allowlist.txt"
echo "== mypy --strict on a typed user"
python -m mypy --strict --no-incremental "$here/stubs/typed_user.py"
echo "== the typed user runs"
python "$here/stubs/typed_user.py"
