#!/usr/bin/env bash
# Build and test tessaroll on PyPy 3 (Debian's pypy3): the whole pytest suite,
# once against NumPy 2.x headers and once against NumPy 1.x (>= 1.25) headers,
# each with the matching NumPy at run time.
#
# PyPy's NumPy must come as a prebuilt wheel (building it from source on PyPy
# takes far too long), and the build runs with --no-build-isolation because
# the build requirement numpy>=2 is not what the 1.x build wants.
set -euo pipefail
cd "$(dirname "$0")/.."
export TESSAROLL_WERROR=ON

# shellcheck source=.ci/common.sh
. .ci/common.sh
apt_need pypy3 pypy3-dev pypy3-venv g++
make_venv pypy3
py=$venv_root/venv/bin/python
# kociemba (the solver example's extra) builds from source; its tests run here too.
"$py" -m pip install -q scikit-build-core cmake ninja pytest hypothesis "kociemba>=1.2.1"

status=0
for numpy_spec in "numpy>=2,<3" "numpy>=1.25,<2"; do
    "$py" -m pip install -q --only-binary=numpy "$numpy_spec"
    np_version=$("$py" -c 'import numpy; print(numpy.__version__)')
    echo "== PyPy $("$py" -c 'import sys; print(".".join(map(str, sys.pypy_version_info[:3])))'), NumPy $np_version"
    # A build directory per NumPy major: CMake caches the NumPy include path.
    "$py" -m pip install -q --no-build-isolation --force-reinstall --no-deps \
        -C build-dir="build/pypy-numpy${np_version%%.*}" .
    "$py" -m pytest -q -p no:cacheprovider || status=$?
done
exit "$status"
