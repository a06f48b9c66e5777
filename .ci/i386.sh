#!/usr/bin/env bash
# Build and test tessaroll on 32-bit x86: inside an i386 Debian chroot, the
# C++ unit tests and the pytest suite run against a CMake build made with the
# chroot's own compiler, Python and NumPy.
#
# The chroot is cached under $TESSAROLL_CACHE (default /var/cache/tessaroll)
# and rebuilt only when it is missing, incomplete, or the package list below
# changed. Needs root (debootstrap, chroot, mount).
set -euo pipefail
cd "$(dirname "$0")/.."
src_root=$(pwd)

suite=bookworm
mirror=${TESSAROLL_DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=${TESSAROLL_CACHE:-/var/cache/tessaroll}
packages=(python3-dev python3-numpy python3-pytest python3-hypothesis g++ cmake ninja-build
    libgtest-dev)
# The cache key covers everything that decides the chroot's contents.
key=$(printf '%s\n' "$suite" "$mirror" "${packages[@]}" | sha256sum | cut -c1-12)
root=$cache/i386-$suite-$key

# shellcheck source=.ci/common.sh
. .ci/common.sh
apt_need debootstrap

mkdir -p "$cache"
# One user of the cached chroot at a time (two CI runs on one machine).
exec 9>"$cache/i386.lock"
flock 9

mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -l "${mounted[i]}" 2>/dev/null || true
    done
    rm -rf "${root:?}/work"
}
trap cleanup EXIT

mount_into() { # mount_into TYPE SOURCE TARGET [OPTIONS]
    local target=$root/$3
    mkdir -p "$target"
    if [ -n "${4:-}" ]; then
        mount -t "$1" -o "$4" "$2" "$target"
    else
        mount -t "$1" "$2" "$target"
    fi
    mounted+=("$target")
}

# Nothing may be mounted below a chroot that is about to be deleted.
assert_unmounted() {
    if grep -q " $1/" /proc/mounts; then
        echo "i386: refusing to delete $1: something is mounted below it" >&2
        exit 1
    fi
}

if [ ! -f "$root/.complete" ]; then
    for old in "$cache"/i386-*; do
        [ -d "$old" ] || continue
        assert_unmounted "$old"
        rm -rf "$old"
    done
    echo "== i386: creating the $suite chroot in $root"
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

mount_into proc proc proc
mount_into tmpfs tmpfs dev/shm mode=1777

# A private copy of the source: a bind mount would expose the working tree to
# the chroot's `rm -rf` above.
rm -rf "$root/work"
mkdir -p "$root/work/tessaroll"
tar -C "$src_root" --exclude=./build --exclude=./.git --exclude='./.venv*' -cf - . |
    tar -C "$root/work/tessaroll" -xf -

cat >"$root/work/run.sh" <<'EOF'
set -euo pipefail
cd /work/tessaroll
echo "== i386: $(uname -m) userland, $(getconf LONG_BIT)-bit, $(python3 --version)," \
     "NumPy $(python3 -c 'import numpy; print(numpy.__version__)')"
cmake -S . -B build -G Ninja -DTESSAROLL_BUILD_TESTS=ON -DTESSAROLL_WERROR=ON \
    -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build -j2
echo "== i386: C++ unit tests (no SSE2: scalar word pairs)"
ctest --test-dir build --output-on-failure
# Debian's i386 baseline has no SSE2; most 32-bit x86 machines do, and there
# the 3x3 turns take the vector path. Test that one too.
cmake -S . -B build-sse2 -G Ninja -DTESSAROLL_BUILD_TESTS=ON -DTESSAROLL_BUILD_MODULE=OFF \
    -DTESSAROLL_WERROR=ON -DCMAKE_CXX_FLAGS=-msse2 >/dev/null
cmake --build build-sse2 -j2
echo "== i386: C++ unit tests (SSE2: vector word pairs)"
ctest --test-dir build-sse2 --output-on-failure
echo "== i386: Python tests"
status=0
PYTHONPATH=build python3 -m pytest -q -p no:cacheprovider tests || status=$?
# No Python tests collected is not a failure of this platform.
[ "$status" = 5 ] && status=0
exit "$status"
EOF

env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb \
    chroot "$root" /usr/bin/linux32 /bin/bash /work/run.sh
