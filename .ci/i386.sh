#!/usr/bin/env bash
# Build and test tessaroll on 32-bit x86: inside an i386 Debian chroot, the
# C++ unit tests, then the pytest suite under the chroot's CPython and under
# its PyPy, each against a CMake build made with the chroot's own compiler.
# CPython uses Debian's NumPy; PyPy uses a NumPy wheel built here from source,
# since none is published for 32-bit PyPy, unless a checked copy lies in
# shared/wheels (see seed_wheel in common.sh). Call costs are printed for both
# interpreters (bench/perf_check.py), never checked.
#
# The chroot is cached under $TESSAROLL_CACHE (default /var/cache/tessaroll)
# and rebuilt only when it is missing, incomplete, or the package list below
# changed; the NumPy wheel is cached beside it under the same key. Needs root
# (debootstrap, chroot, mount) and, on a cold cache, the package index that
# pip uses on this machine. With --prepare it only makes sure that the chroot
# and its venvs exist.
set -euo pipefail
cd "$(dirname "$0")/.."
src_root=$(pwd)

suite=bookworm
cache=${TESSAROLL_CACHE:-/var/cache/tessaroll}
packages=(python3-dev python3-numpy python3-pytest python3-hypothesis g++ cmake ninja-build
    libgtest-dev pypy3 pypy3-dev pypy3-venv)
# The cache key covers everything that decides the chroot's contents. The
# mirror only decides where the packages come from, so it is not part of it.
key=$(printf '%s\n' "$suite" "${packages[@]}" | sha256sum | cut -c1-12)
root=$cache/i386-$suite-$key
# PyPy's test environment inside the chroot (a venv, rebuilt when this list
# changes) and the NumPy built for it. 1.26 is the newest NumPy for PyPy 3.9;
# pytest and Hypothesis match the chroot's CPython ones. kociemba (the
# solver example's extra) has no wheels and builds from source under both
# interpreters, so the solver's tests run here too.
numpy_version=1.26.4
kociemba=kociemba==1.2.1
pypy_requirements=(pytest==7.2.1 hypothesis==6.67.1 "$kociemba")
wheels=$root.wheels
# --prepare: only make sure the chroot and its venvs exist (.ci/release.sh
# builds wheels there).
prepare_only=
[ "${1:-}" = --prepare ] && prepare_only=1

# shellcheck source=.ci/common.sh
. .ci/common.sh
mirror=$(debian_mirror)
if [ -z "$mirror" ]; then
    echo "i386: no Debian archive in this machine's apt sources;" \
        "set TESSAROLL_DEBIAN_MIRROR" >&2
    exit 1
fi
apt_need debootstrap

mkdir -p "$cache"
# One user of the cached chroot at a time (two CI runs on one machine).
exec 9>"$cache/i386.lock"
flock 9

trap chroot_cleanup EXIT

if [ ! -f "$root/.complete" ]; then
    for old in "$cache"/i386-*; do
        [ -d "$old" ] && [ "$old" != "$wheels" ] || continue
        chroot_assert_unmounted "$old"
        rm -rf "$old"
    done
    echo "== i386: creating the $suite chroot in $root from $mirror"
    start=$SECONDS
    debootstrap --arch=i386 --variant=minbase \
        --include="$(
            IFS=,
            echo "${packages[*]}"
        )" \
        "$suite" "$root" "$mirror" >"$cache/debootstrap.log" 2>&1 || {
        tail -n 40 "$cache/debootstrap.log" >&2
        exit 1
    }
    touch "$root/.complete"
    echo "   took $((SECONDS - start)) s"
fi

chroot_mount proc proc proc
chroot_mount tmpfs tmpfs dev/shm mode=1777
mkdir -p "$wheels"
# Building that wheel is most of a cold run (half an hour on two cores), so a
# checked copy in shared/wheels seeds the cache (seed_wheel in common.sh).
ls "$wheels"/numpy-"$numpy_version"-*.whl >/dev/null 2>&1 ||
    seed_wheel "$src_root" "$wheels" "numpy-$numpy_version-pp*-linux_i686.whl" || true
chroot_mount none "$wheels" wheels bind
chroot_copy_source "$src_root"
chroot_pip_env

cat >"$root/work/run.sh" <<'EOF'
set -euo pipefail
cd /work/tessaroll
failed=()
echo "== i386: $(uname -m) userland, $(getconf LONG_BIT)-bit, $(python3 --version)," \
     "NumPy $(python3 -c 'import numpy; print(numpy.__version__)')"
# PyPy's venv, with the cached NumPy wheel, is made once per chroot.
pypy=/opt/pypy/bin/python
want="numpy==$NUMPY_VERSION $PYPY_REQUIREMENTS"
if [ "$(cat /opt/pypy/.ready 2>/dev/null)" != "$want" ]; then
    echo "== i386: PyPy venv ($want)"
    rm -rf /opt/pypy
    pypy3 -m venv /opt/pypy
    # Repeated --config-settings keys need pip 23.1.
    "$pypy" -m pip install -q "pip>=23.1"
    wheel=$(ls /wheels/numpy-"$NUMPY_VERSION"-*.whl 2>/dev/null || true)
    if [ -z "$wheel" ]; then
        echo "== i386: building NumPy $NUMPY_VERSION for PyPy (log: wheels/numpy-build.log)"
        start=$SECONDS
        rm -f /wheels/numpy-*.whl
        # Meson's size checks (sizeof Py_intptr_t, PY_LONG_LONG) build and run
        # a program that includes Python.h. PyPy's header defines a static
        # PySlice_GetIndicesEx that calls libpypy, and at -O0 it is emitted
        # unused; Debian's PyPy does not link extensions against libpypy, so
        # the program does not link, the sizes come out as -1 and NumPy's
        # headers find no pointer-sized integer. Linking libpypy (which the
        # interpreter has loaded anyway) lets the checks run.
        LDFLAGS="-l:$(pypy3 -c 'import sysconfig; print(sysconfig.get_config_var("LDLIBRARY"))')" \
            "$pypy" -m pip wheel -v --no-deps --no-binary numpy "numpy==$NUMPY_VERSION" \
            -w /wheels -C setup-args=-Dblas=none -C setup-args=-Dlapack=none \
            -C setup-args=-Dcpu-dispatch=none -C compile-args=-j2 \
            >/wheels/numpy-build.log 2>&1 || {
            tail -n 60 /wheels/numpy-build.log
            exit 1
        }
        wheel=$(ls /wheels/numpy-"$NUMPY_VERSION"-*.whl)
        echo "   took $((SECONDS - start)) s"
    fi
    # shellcheck disable=SC2086
    "$pypy" -m pip install -q "$wheel" $PYPY_REQUIREMENTS
    echo "$want" >/opt/pypy/.ready
fi

# CPython keeps Debian's packages and adds kociemba in a venv over them. The
# chroot has no pip for CPython, so PyPy's pip installs into it (--python).
cpython=/opt/cpython/bin/python
if [ "$(cat /opt/cpython/.ready 2>/dev/null)" != "$KOCIEMBA" ]; then
    echo "== i386: CPython venv ($KOCIEMBA over Debian's packages)"
    rm -rf /opt/cpython
    python3 -m venv --without-pip --system-site-packages /opt/cpython
    "$pypy" -m pip --python "$cpython" install -q "$KOCIEMBA"
    echo "$KOCIEMBA" >/opt/cpython/.ready
fi
# With --prepare, the chroot and its venvs are all that is wanted.
[ -n "${PREPARE_ONLY:-}" ] && exit 0

cmake -S . -B build -G Ninja -DTESSAROLL_BUILD_TESTS=ON -DTESSAROLL_WERROR=ON \
    -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build -j2
echo "== i386: C++ unit tests (no SSE2: scalar word pairs)"
ctest --test-dir build --output-on-failure || failed+=("C++ scalar")
# Debian's i386 baseline has no SSE2; most 32-bit x86 machines do, and there
# the 3x3 turns take the vector path. Test that one too.
cmake -S . -B build-sse2 -G Ninja -DTESSAROLL_BUILD_TESTS=ON -DTESSAROLL_BUILD_MODULE=OFF \
    -DTESSAROLL_WERROR=ON -DCMAKE_CXX_FLAGS=-msse2 >/dev/null
cmake --build build-sse2 -j2
echo "== i386: C++ unit tests (SSE2: vector word pairs)"
ctest --test-dir build-sse2 --output-on-failure || failed+=("C++ SSE2")

echo "== i386: Python tests, CPython"
# pytest's own statuses all count, 5 (no tests collected) included.
PYTHONPATH="$PWD/build" "$cpython" -m pytest -q -p no:cacheprovider tests || failed+=("CPython")
echo "== i386: $("$pypy" -c 'import sys; print("PyPy", ".".join(map(str, sys.pypy_version_info[:3])))')," \
     "NumPy $("$pypy" -c 'import numpy; print(numpy.__version__)')"
cmake -S . -B build-pypy -G Ninja -DTESSAROLL_WERROR=ON -DPython_EXECUTABLE="$pypy" >/dev/null
cmake --build build-pypy -j2
echo "== i386: Python tests, PyPy"
PYTHONPATH="$PWD/build-pypy" "$pypy" -m pytest -q -p no:cacheprovider tests || failed+=("PyPy")

# Figures only: a loaded machine moves them, and nothing here fails on them.
echo "== i386: call costs, CPython"
PYTHONPATH="$PWD/build" python3 bench/perf_check.py --repeat 5 || true
echo "== i386: call costs, PyPy"
PYTHONPATH="$PWD/build-pypy" "$pypy" bench/perf_check.py --repeat 5 || true

if ((${#failed[@]})); then
    echo "i386: failed: ${failed[*]}" >&2
    exit 1
fi
EOF

env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb \
    "${pip_env[@]}" \
    NUMPY_VERSION="$numpy_version" PYPY_REQUIREMENTS="${pypy_requirements[*]}" \
    KOCIEMBA="$kociemba" PREPARE_ONLY="$prepare_only" \
    chroot "$root" /usr/bin/linux32 /bin/bash /work/run.sh
