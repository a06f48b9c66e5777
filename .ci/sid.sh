#!/usr/bin/env bash
# Build and test tessaroll on today's interpreters: inside an x86-64 Debian
# sid chroot, the whole pytest suite under CPython 3.14, CPython 3.15 and a
# PyPy that implements Python 3.11, each against a CMake build made with the
# chroot's own compiler (so also a warning check with sid's newer g++).
#
# PyPy comes from trixie, not sid: sid's PyPy 8.0 has the ABI pypy311_pp80,
# for which no NumPy wheel is published, and building NumPy from source for
# it took 24 minutes. trixie's PyPy 7.3 (pypy311_pp73) installs the published
# pp311 wheels in seconds.
#
# The chroot is cached under $TESSAROLL_CACHE (default /var/cache/tessaroll)
# as sid-amd64-<key>, marked whole by .complete and rebuilt when missing,
# incomplete, or when the package lists below change. Inside it, /opt/<name>
# holds one venv per interpreter (numpy, pytest, hypothesis, kociemba), made
# once, so that a suite can be rerun there by hand:
#   chroot <root> /opt/cp314/bin/python -m pytest ...
# Needs root (debootstrap, chroot, mount) and, on a cold cache, the package
# index that pip uses on this machine. With --prepare it only makes sure the
# chroot and its venvs exist (.ci/release.sh builds wheels there).
set -euo pipefail
cd "$(dirname "$0")/.."
src_root=$(pwd)

# shellcheck source=.ci/common.sh
. .ci/common.sh

cache=${TESSAROLL_CACHE:-/var/cache/tessaroll}
packages=(python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv
    g++ cmake ninja-build libffi-dev ca-certificates)
pypy_suite=trixie
pypy_packages=(pypy3 pypy3-dev pypy3-venv)
key=$(printf '%s\n' sid "${packages[@]}" "$pypy_suite" "${pypy_packages[@]}" |
    sha256sum | cut -c1-12)
root=$cache/sid-amd64-$key
# Each venv's contents. NumPy and Hypothesis come as wheels only (Hypothesis's
# sdist builds a Rust extension and downloads a toolchain for it). For PyPy,
# Hypothesis stays at 6.155.7, its newest pure-Python wheel: the later pp311
# wheels carry an extension built against a newer PyPy than trixie's
# (undefined symbol PyPyModule_FromDefAndSpec2). kociemba (the solver
# example's extra) builds from source, so the solver's tests run too.
requirements="numpy pytest hypothesis kociemba>=1.2.1"
pypy_requirements="numpy pytest hypothesis==6.155.7 kociemba>=1.2.1"
pip_flags="--only-binary numpy,hypothesis"
prepare_only=false
[ "${1:-}" = --prepare ] && prepare_only=true

mirror=$(debian_mirror)
if [ -z "$mirror" ]; then
    echo "sid: no Debian archive in this machine's apt sources;" \
        "set TESSAROLL_DEBIAN_MIRROR" >&2
    exit 1
fi
apt_need debootstrap debian-archive-keyring

mkdir -p "$cache"
# One user of the cached chroot at a time (two CI runs on one machine).
exec 8>"$cache/sid.lock"
flock 8
trap chroot_cleanup EXIT

if [ ! -f "$root/.complete" ]; then
    for old in "$cache"/sid-*; do
        [ -d "$old" ] || continue
        chroot_assert_unmounted "$old"
        rm -rf "$old"
    done
    echo "== sid: creating the chroot in $root from $mirror"
    start=$SECONDS
    debootstrap --arch=amd64 --variant=minbase \
        --include="$(
            IFS=,
            echo "${packages[*]}"
        )" \
        sid "$root" "$mirror" >"$cache/sid-debootstrap.log" 2>&1 || {
        tail -n 40 "$cache/sid-debootstrap.log" >&2
        exit 1
    }
    # sid's Release file can be past its Valid-Until date on a mirror that
    # lags (or a snapshot); the signature is still checked.
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99valid-until"
    cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror sid main
deb $mirror $pypy_suite main
EOF
    # sid stays the default; only the packages named below come from trixie.
    cat >"$root/etc/apt/preferences.d/pypy" <<EOF
Package: *
Pin: release n=$pypy_suite
Pin-Priority: 100
EOF
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    chroot_mount proc proc proc
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        DEBIAN_FRONTEND=noninteractive sh -c "apt-get update -qq &&
            apt-get install -y -qq --no-install-recommends \
                ${pypy_packages[*]/%//$pypy_suite}" \
        >>"$cache/sid-debootstrap.log" 2>&1 || {
        tail -n 40 "$cache/sid-debootstrap.log" >&2
        exit 1
    }
    chroot_cleanup
    touch "$root/.complete"
    echo "   took $((SECONDS - start)) s"
fi

chroot_mount proc proc proc
chroot_mount tmpfs tmpfs dev/shm mode=1777
chroot_copy_source "$src_root"
chroot_pip_env

cat >"$root/work/venvs.sh" <<'EOF'
set -euo pipefail
# One venv per interpreter, made once per chroot and per requirement list.
for spec in cp314:python3.14 cp315:python3.15 pypy311:pypy3; do
    name=${spec%%:*} interpreter=${spec#*:} venv=/opt/${spec%%:*}
    requirements=$REQUIREMENTS
    [ "$name" = pypy311 ] && requirements=$PYPY_REQUIREMENTS
    want="$requirements $PIP_FLAGS"
    [ "$(cat "$venv/.ready" 2>/dev/null)" = "$want" ] && continue
    echo "== sid: $name venv ($want)"
    start=$SECONDS
    rm -rf "$venv"
    "$interpreter" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    # shellcheck disable=SC2086
    "$venv/bin/python" -m pip install -q $PIP_FLAGS $requirements
    echo "$want" >"$venv/.ready"
    echo "   took $((SECONDS - start)) s"
done
EOF

cat >"$root/work/run.sh" <<'EOF'
set -euo pipefail
cd /work/tessaroll
failed=()
for name in cp314 cp315 pypy311; do
    py=/opt/$name/bin/python
    echo "== sid: $("$py" -c 'import platform, sys, numpy
v = sys.implementation.version
name = platform.python_implementation()
if name == "PyPy":
    name += " " + ".".join(map(str, sys.pypy_version_info[:3])) + ", Python"
print(name, platform.python_version(), "NumPy", numpy.__version__)')"
    start=$SECONDS
    if cmake -S . -B "build-$name" -G Ninja -DTESSAROLL_WERROR=ON \
        -DPython_EXECUTABLE="$py" >/dev/null && cmake --build "build-$name" -j2 >/dev/null; then
        PYTHONPATH="$PWD/build-$name" "$py" -m pytest -q -p no:cacheprovider tests || failed+=("$name")
    else
        cmake --build "build-$name" -j1 2>&1 | tail -n 40
        failed+=("$name build")
    fi
    echo "== sid: $name: $((SECONDS - start)) s"
done
if ((${#failed[@]})); then
    echo "sid: failed: ${failed[*]}" >&2
    exit 1
fi
EOF

in_chroot() {
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb \
        "${pip_env[@]}" REQUIREMENTS="$requirements" PYPY_REQUIREMENTS="$pypy_requirements" \
        PIP_FLAGS="$pip_flags" \
        chroot "$root" /bin/bash "$@"
}
in_chroot /work/venvs.sh
$prepare_only && exit 0
in_chroot /work/run.sh
