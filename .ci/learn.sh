#!/usr/bin/env bash
# The learned-solver example's tests in a fresh venv with the learn extra
# (JAX, Flax, optax: CPU wheels, Python 3.10+) and the cluster extra, for
# the test that evaluates a model on Ray (Ray's other tests, which need no
# JAX, are the ray check's). A run that collects no test
# (pytest's exit status 5) fails too, and so does a missing library: the
# tests would skip themselves and pass.
set -euo pipefail
cd "$(dirname "$0")/.."
export TESSAROLL_WERROR=ON

# shellcheck source=.ci/common.sh
. .ci/common.sh
apt_need g++ python3-venv python3-dev
make_venv python3
python -m pip install -q ".[test,learn,cluster]"
python -c "import jax, flax, optax, tqdm, matplotlib, ray; print('== jax', jax.__version__, jax.devices(), 'ray', ray.__version__)"
# Outside the source tree, so that the installed module is the one imported.
here=$(pwd)
cd "$venv_root"
python -m pytest -q -p no:cacheprovider -o addopts="" -rs "$here/tests/test_learn.py"
