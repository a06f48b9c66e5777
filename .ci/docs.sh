#!/usr/bin/env bash
# The documentation: every Python block of the pages runs with all the
# optional libraries they use (NumPy, JAX, PyTorch), so none is skipped;
# the site builds with warnings as errors; and headless Chromium checks it
# (the index, API and search pages render, every internal link and anchor
# resolves, searching finds the API entry). Screenshots of the main pages
# are left in build/docs-screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."
export TESSAROLL_WERROR=ON

# shellcheck source=.ci/common.sh
. .ci/common.sh
apt_need g++ python3-venv python3-dev chromium
make_venv python3
python -m pip install -q ".[test,docs,bench,learn]"
# PyTorch's CPU wheel for this machine's Python lies on its disk; the +cpu
# version exists nowhere else, so a missing file fails here instead of
# downloading several GB of CUDA libraries from the index.
python -m pip install -q "torch==2.13.0+cpu"
python -c "import jax, torch, sphinx, myst_parser, furo; print('== docs: jax', jax.__version__, 'torch', torch.__version__, 'sphinx', sphinx.__version__)"

here=$(pwd)
(cd "$venv_root" && TESSAROLL_DOCS_STRICT=1 python -m pytest -q -p no:cacheprovider -o addopts="" -rs \
    "$here/tests/test_docs.py" "$here/tests/test_bench_charts.py")

out=build/docs-html
rm -rf "$out"
start=$SECONDS
python -m sphinx -W --keep-going -q -b html docs "$out"
echo "== docs: site built in $((SECONDS - start)) s, $(find "$out" -name '*.html' | wc -l) pages"
python .ci/check_site.py "$out" --screenshots build/docs-screenshots
