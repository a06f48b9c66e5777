#!/usr/bin/env bash
# Build and test tessaroll on 64-bit ARM (aarch64): inside an arm64 Debian
# chroot run under QEMU user-mode emulation, the C++ unit tests and the
# pytest suite under the chroot's CPython (with Debian's NumPy) and PyPy
# (without NumPy, which has no aarch64 PyPy wheels: the tests that need it
# skip).
#
# The module and the C++ tests are cross-compiled on this machine with
# Debian's g++-aarch64-linux-gnu, the chroot serving as the sysroot (its
# Python, NumPy and GoogleTest headers and libraries): the C++ tests took
# 228 s that way, and more than 1,470 s compiled inside the chroot under QEMU
# (both at load 13-18 on two cores). TESSAROLL_ARM64_BUILD=chroot builds
# there all the same; on an aarch64 machine, where nothing is emulated, the
# chroot always builds.
#
# QEMU slows the suite several-fold, yet the whole of it fits CI. Under QEMU
# the tests see TESSAROLL_EMULATED=qemu and skip what emulation cannot show
# (an address-space cap, which QEMU ignores), naming the reason. QEMU runs
# every instruction but not the processor's weaker memory ordering, so the
# pool's stress tests passing here is no proof of its fences.
#
# The chroot is cached under $TESSAROLL_CACHE (default /var/cache/tessaroll)
# as arm64-<suite>-<key>, marked whole by .complete and rebuilt when missing,
# incomplete, or the package list below changed. Needs root (debootstrap,
# chroot, mount, binfmt_misc) and, on a cold cache, the package index that
# pip uses on this machine. With --prepare it only makes sure that the chroot
# and its venvs exist.
set -euo pipefail
cd "$(dirname "$0")/.."
src_root=$(pwd)

suite=bookworm
cache=${TESSAROLL_CACHE:-/var/cache/tessaroll}
# Off aarch64 everything in the chroot runs under QEMU, and the tests see
# TESSAROLL_EMULATED=qemu (tests/host.py). The module is cross-compiled
# unless TESSAROLL_ARM64_BUILD=chroot; on an aarch64 machine it is built in
# the chroot.
native='' foreign=(--foreign) emulated=qemu
if [ "$(uname -m)" = aarch64 ]; then
    native=1 foreign=() emulated=
fi
build_mode=${TESSAROLL_ARM64_BUILD:-cross}
[ -n "$native" ] && build_mode=chroot
# g++ stays in the chroot: kociemba (the solver example's extra) builds from
# source there. CMake and Ninja only where the chroot builds the module:
# unpacking them under QEMU is minutes of a cold run.
packages=(python3-dev python3-numpy python3-pytest python3-hypothesis python3-venv g++
    libgtest-dev pypy3 pypy3-dev pypy3-venv)
[ "$build_mode" = chroot ] && packages+=(cmake ninja-build)
# The cache key covers everything that decides the chroot's contents. The
# mirror only decides where the packages come from, so it is not part of it.
key=$(printf '%s\n' arm64 "$suite" "${packages[@]}" | sha256sum | cut -c1-12)
root=$cache/arm64-$suite-$key
# PyPy's venv: pytest and Hypothesis as the chroot's CPython has them, and
# no NumPy. NumPy publishes no aarch64 wheels for PyPy, and building it from
# source under QEMU would take hours; so under PyPy the tests that need
# NumPy skip (the batch calls that take or return arrays), and the rest of
# the suite runs: the C-API surface, single cubes, batches without arrays.
kociemba=kociemba==1.2.1
pypy_requirements=(pytest==7.2.1 hypothesis==6.67.1)
prepare_only=
[ "${1:-}" = --prepare ] && prepare_only=1

# shellcheck source=.ci/common.sh
. .ci/common.sh
mirror=$(debian_mirror)
if [ -z "$mirror" ]; then
    echo "arm64: no Debian archive in this machine's apt sources;" \
        "set TESSAROLL_DEBIAN_MIRROR" >&2
    exit 1
fi
if [ -n "$native" ]; then
    apt_need debootstrap debian-archive-keyring
else
    apt_need debootstrap debian-archive-keyring qemu-user-static binfmt-support \
        g++-aarch64-linux-gnu
    arm64_binfmt
fi

mkdir -p "$cache"
# One user of the cached chroot at a time (two CI runs on one machine).
exec 7>"$cache/arm64.lock"
flock 7
trap chroot_cleanup EXIT

if [ ! -f "$root/.complete" ]; then
    for old in "$cache"/arm64-*; do
        [ -d "$old" ] || continue
        chroot_assert_unmounted "$old"
        rm -rf "$old"
    done
    echo "== arm64: creating the $suite chroot in $root from $mirror"
    start=$SECONDS
    log=$cache/arm64-debootstrap.log
    # The first stage unpacks on this machine; the second runs the arm64
    # maintainer scripts inside the chroot, through QEMU.
    debootstrap --arch=arm64 --variant=minbase "${foreign[@]}" \
        --include="$(
            IFS=,
            echo "${packages[*]}"
        )" \
        "$suite" "$root" "$mirror" >"$log" 2>&1 || {
        tail -n 40 "$log" >&2
        exit 1
    }
    echo "   first stage: $((SECONDS - start)) s"
    if [ -z "$native" ]; then
        arm64_qemu_in_root
        chroot "$root" /debootstrap/debootstrap --second-stage >>"$log" 2>&1 || {
            tail -n 40 "$log" >&2
            exit 1
        }
    fi
    touch "$root/.complete"
    echo "   took $((SECONDS - start)) s"
fi
[ -n "$native" ] || arm64_qemu_in_root
# With --prepare, the chroot and its venvs are all that is wanted; so is a
# plain build (release.sh takes the sources from its sdist).
chroot_mount proc proc proc
chroot_mount tmpfs tmpfs dev/shm mode=1777
chroot_copy_source "$src_root"
chroot_pip_env

in_chroot() {
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb \
        "${pip_env[@]}" TESSAROLL_EMULATED="$emulated" "$@"
}

# The venvs, made once per chroot and requirement list. CPython keeps
# Debian's packages and adds kociemba over them.
cat >"$root/work/venvs.sh" <<'EOS'
set -euo pipefail
if [ "$(cat /opt/cpython/.ready 2>/dev/null)" != "$KOCIEMBA" ]; then
    echo "== arm64: CPython venv ($KOCIEMBA over Debian's packages)"
    start=$SECONDS
    rm -rf /opt/cpython
    python3 -m venv --system-site-packages /opt/cpython
    /opt/cpython/bin/python -m pip install -q "$KOCIEMBA"
    echo "$KOCIEMBA" >/opt/cpython/.ready
    echo "   took $((SECONDS - start)) s"
fi
if [ "$(cat /opt/pypy/.ready 2>/dev/null)" != "$PYPY_REQUIREMENTS" ]; then
    echo "== arm64: PyPy venv ($PYPY_REQUIREMENTS)"
    start=$SECONDS
    rm -rf /opt/pypy
    pypy3 -m venv /opt/pypy
    # shellcheck disable=SC2086
    /opt/pypy/bin/python -m pip install -q $PYPY_REQUIREMENTS
    echo "$PYPY_REQUIREMENTS" >/opt/pypy/.ready
    echo "   took $((SECONDS - start)) s"
fi
EOS
in_chroot KOCIEMBA="$kociemba" PYPY_REQUIREMENTS="${pypy_requirements[*]}" \
    chroot "$root" /bin/bash /work/venvs.sh
[ -n "$prepare_only" ] && exit 0

# The builds: the C++ unit tests (with and without NEON), the module for
# CPython, the module for PyPy. NumPy's headers, Debian's, for both modules: PyPy has no NumPy here, and
# the headers are the same C API for either interpreter (the module loads
# NumPy's function table only when a batch call first needs it).
numpy_include=/usr/lib/python3/dist-packages/numpy/core/include
tree=$root/work/tessaroll
failed=()
start=$SECONDS
if [ "$build_mode" = cross ]; then
    if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
        apt_need cmake ninja-build
    fi
    host_tmp=$(mktemp -d)
    trap 'chroot_cleanup; rm -rf "$host_tmp"' EXIT
    # The chroot is the sysroot: headers and libraries (GoogleTest, Python,
    # NumPy) come from it; the compiler, libstdc++ and glibc's own headers
    # from Debian's cross packages, the same GCC 12 and glibc 2.36 as the
    # chroot's. Test programs run through QEMU with the chroot as their root.
    cat >"$host_tmp/toolchain.cmake" <<EOT
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT "$root")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static -L "$root")
EOT
    # cross_module DIR PYTHON: the module for the chroot's interpreter
    # PYTHON, which CMake asks for its paths and suffix through chroot.
    cross_module() {
        local wrapper=$host_tmp/python-$1 include
        printf '#!/bin/sh\nexec chroot %q %q "$@"\n' "$root" "$2" >"$wrapper"
        chmod +x "$wrapper"
        include=$("$wrapper" -c 'import sysconfig; print(sysconfig.get_paths()["include"])') ||
            return 1
        cmake -S "$tree" -B "$tree/$1" -G Ninja -DTESSAROLL_WERROR=ON \
            -DCMAKE_TOOLCHAIN_FILE="$host_tmp/toolchain.cmake" -DPython_EXECUTABLE="$wrapper" \
            -DPython_INCLUDE_DIR="$root$include" \
            -DPython_NumPy_INCLUDE_DIR="$root$numpy_include" >/dev/null &&
            cmake --build "$tree/$1" -j2
    }
    # cross_tests DIR [CXXFLAGS]: the C++ unit tests.
    cross_tests() {
        cmake -S "$tree" -B "$tree/$1" -G Ninja -DTESSAROLL_WERROR=ON \
            -DCMAKE_TOOLCHAIN_FILE="$host_tmp/toolchain.cmake" -DTESSAROLL_BUILD_TESTS=ON \
            -DTESSAROLL_BUILD_MODULE=OFF -DCMAKE_CXX_FLAGS="${2:-}" >/dev/null &&
            cmake --build "$tree/$1" -j2
    }
    cross_tests build-cpp || failed+=("C++ build")
    # Every aarch64 processor has NEON, so the 3x3 turns and ChaCha take the
    # vector path; without it (+nosimd) they take the scalar one. Both must
    # give the words the tests know.
    cross_tests build-cpp-scalar -march=armv8-a+nosimd || failed+=("C++ scalar build")
    cross_module build /usr/bin/python3 || failed+=("CPython build")
    cross_module build-pypy /opt/pypy/bin/python || failed+=("PyPy build")
    echo "== arm64: cross-compiled in $((SECONDS - start)) s"
    echo "== arm64: C++ unit tests (NEON: vector paths)"
    ctest --test-dir "$tree/build-cpp" --output-on-failure || failed+=("C++")
    echo "== arm64: C++ unit tests (no SIMD: scalar paths)"
    ctest --test-dir "$tree/build-cpp-scalar" --output-on-failure || failed+=("C++ scalar")
fi

cat >"$root/work/run.sh" <<'EOS'
set -euo pipefail
cd /work/tessaroll
failed=()
echo "== arm64: $(uname -m) userland${TESSAROLL_EMULATED:+ under $TESSAROLL_EMULATED}," \
     "$(python3 --version), NumPy $(python3 -c 'import numpy; print(numpy.__version__)')"
if [ "$BUILD_MODE" = chroot ]; then
    start=$SECONDS
    cmake -S . -B build-cpp -G Ninja -DTESSAROLL_BUILD_TESTS=ON -DTESSAROLL_BUILD_MODULE=OFF \
        -DTESSAROLL_WERROR=ON >/dev/null
    cmake --build build-cpp -j2
    cmake -S . -B build-cpp-scalar -G Ninja -DTESSAROLL_BUILD_TESTS=ON \
        -DTESSAROLL_BUILD_MODULE=OFF -DTESSAROLL_WERROR=ON -DCMAKE_CXX_FLAGS=-march=armv8-a+nosimd \
        >/dev/null
    cmake --build build-cpp-scalar -j2
    cmake -S . -B build -G Ninja -DTESSAROLL_WERROR=ON -DPython_EXECUTABLE=/usr/bin/python3 \
        >/dev/null
    cmake --build build -j2
    cmake -S . -B build-pypy -G Ninja -DTESSAROLL_WERROR=ON \
        -DPython_EXECUTABLE=/opt/pypy/bin/python -DPython_NumPy_INCLUDE_DIR="$NUMPY_INCLUDE" \
        >/dev/null
    cmake --build build-pypy -j2
    echo "== arm64: built in the chroot in $((SECONDS - start)) s"
    echo "== arm64: C++ unit tests (NEON: vector paths)"
    ctest --test-dir build-cpp --output-on-failure || failed+=("C++")
    echo "== arm64: C++ unit tests (no SIMD: scalar paths)"
    ctest --test-dir build-cpp-scalar --output-on-failure || failed+=("C++ scalar")
fi
# pytest's own statuses all count, 5 (no tests collected) included.
echo "== arm64: Python tests, CPython"
PYTHONPATH="$PWD/build" /opt/cpython/bin/python -m pytest -q -p no:cacheprovider tests ||
    failed+=("CPython")
echo "== arm64: $(/opt/pypy/bin/python -c 'import sys; print("PyPy", ".".join(map(str, sys.pypy_version_info[:3])))')," \
     "no NumPy"
echo "== arm64: Python tests, PyPy"
PYTHONPATH="$PWD/build-pypy" /opt/pypy/bin/python -m pytest -q -p no:cacheprovider tests ||
    failed+=("PyPy")
if ((${#failed[@]})); then
    echo "arm64: failed: ${failed[*]}" >&2
    exit 1
fi
EOS

status=0
in_chroot BUILD_MODE="$build_mode" NUMPY_INCLUDE="$numpy_include" chroot "$root" /bin/bash /work/run.sh || status=$?
if ((${#failed[@]})); then
    echo "arm64: failed: ${failed[*]}" >&2
    exit 1
fi
exit "$status"
