#!/usr/bin/env bash
# solve.py's benchmark files on Ray, in a fresh venv with the cluster extra:
# the same answers as in one process, a killed worker, Ctrl-C and resume.
# Each test starts a local Ray instance of two CPUs and shuts it down.
# (learn.py's Ray test needs JAX as well and runs in the learn check.) A
# missing Ray fails the check: the tests would skip themselves and pass.
set -euo pipefail
cd "$(dirname "$0")/.."
export TESSAROLL_WERROR=ON

# shellcheck source=.ci/common.sh
. .ci/common.sh
apt_need g++ python3-venv python3-dev
make_venv python3
start=$SECONDS
python -m pip install -q ".[test,cluster]"
echo "== install: $((SECONDS - start)) s"
python -c "import ray, numpy; print('== ray', ray.__version__)"
# Outside the source tree, so that the installed module is the one imported.
here=$(pwd)
cd "$venv_root"
python -m pytest -q -p no:cacheprovider -o addopts="" -rs "$here/tests/test_ray.py" \
    "$here/tests/test_batchrun.py"
