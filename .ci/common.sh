# Helpers shared by the .ci scripts; sourced, not run.

# apt_need PACKAGE...: install the Debian packages that are missing.
apt_need() {
    local need=() pkg
    for pkg; do
        dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
    done
    if ((${#need[@]})); then
        # Checks may run side by side (.ci/run): wait for another's apt.
        apt-get -o DPkg::Lock::Timeout=900 update -qq
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 \
            install -y -qq "${need[@]}"
    fi
}

# make_venv INTERPRETER: a throwaway virtual environment, activated, with a
# current pip; $venv_root is removed on exit.
make_venv() {
    venv_root=$(mktemp -d)
    trap 'rm -rf "$venv_root"' EXIT
    "$1" -m venv "$venv_root/venv"
    # shellcheck disable=SC1091
    . "$venv_root/venv/bin/activate"
    python -m pip install -q --upgrade pip
}

# find_cpython X.Y: print the path of a CPython X.Y interpreter on this
# machine (pyenv's versions first, then python3.Y on PATH); fail if none.
find_cpython() {
    local root candidate
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for candidate in "$root"/versions/"$1".*/bin/python"$1" /usr/bin/python"$1" \
        /usr/local/bin/python"$1"; do
        if [ -x "$candidate" ] && "$candidate" -c 'import sys' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

# debian_mirror: the Debian archive this machine's own apt uses (the URI that
# serves a release suite, not -security or -updates), from its deb822
# sources or the one-line sources.list. TESSAROLL_DEBIAN_MIRROR overrides it.
debian_mirror() {
    if [ -n "${TESSAROLL_DEBIAN_MIRROR:-}" ]; then
        echo "$TESSAROLL_DEBIAN_MIRROR"
        return
    fi
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            function flush() {
                if (uri != "" && enabled != "no" && suites ~ / [a-z]+ / && types ~ / deb /)
                    print uri
                uri = suites = types = enabled = ""
            }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]*#/ { next }
            tolower($1) == "types:" { $1 = ""; types = $0 " " }
            tolower($1) == "uris:" { uri = $2 }
            tolower($1) == "suites:" { $1 = ""; suites = $0 " " }
            tolower($1) == "enabled:" { enabled = tolower($2) }
            END { flush() }
        ' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk '$1 == "deb" {
                i = 2; if ($i ~ /^\[/) while ($i !~ /\]$/) i++
                if ($i ~ /^\[/ || $i ~ /\]$/) i++
                if ($(i + 1) ~ /^[a-z]+$/) print $i
            }' "$f"
    done | sed -n 1p
}

# The chroot helpers below work on $root (the chroot) and record what they
# mount in chroot_mounts, so that chroot_cleanup (run on exit) undoes it.
chroot_mounts=()

# chroot_mount TYPE SOURCE TARGET [OPTIONS]: mount below $root.
chroot_mount() {
    local target=$root/$3
    mkdir -p "$target"
    if [ -n "${4:-}" ]; then
        mount -t "$1" -o "$4" "$2" "$target"
    else
        mount -t "$1" "$2" "$target"
    fi
    chroot_mounts+=("$target")
}

# chroot_cleanup: unmount in reverse order and drop the source copy.
chroot_cleanup() {
    local i
    for ((i = ${#chroot_mounts[@]} - 1; i >= 0; i--)); do
        umount -l "${chroot_mounts[i]}" 2>/dev/null || true
    done
    chroot_mounts=()
    rm -rf "${root:?}/work"
}

# chroot_assert_unmounted DIR: nothing may be mounted below a chroot that is
# about to be deleted.
chroot_assert_unmounted() {
    if grep -q " $1/" /proc/mounts; then
        echo "refusing to delete $1: something is mounted below it" >&2
        exit 1
    fi
}

# chroot_copy_source SRC: a private copy of the source tree at
# $root/work/tessaroll. A bind mount would expose the working tree to the
# chroot's own `rm -rf` of its build directories.
chroot_copy_source() {
    rm -rf "$root/work"
    mkdir -p "$root/work/tessaroll"
    tar -C "$1" --exclude=./build --exclude=./.git --exclude='./.venv*' --exclude=./dist \
        -cf - . | tar -C "$root/work/tessaroll" -xf -
}

# chroot_pip_env: set the array pip_env so that pip in the chroot reaches the
# index that pip here uses, trusting this machine's CA bundle (the chroot's
# own would not know a local proxy's root). A file:// index here is of no use
# inside the chroot. Also copies resolv.conf.
chroot_pip_env() {
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    pip_env=(PIP_DISABLE_PIP_VERSION_CHECK=1)
    local ca_bundle=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}
    if [ -f "$ca_bundle" ]; then
        mkdir -p "$root/work"
        cp "$ca_bundle" "$root/work/ca.crt"
        pip_env+=(PIP_CERT=/work/ca.crt)
    fi
    local index_url=${PIP_INDEX_URL:-$(python3 -m pip config get global.index-url 2>/dev/null || true)}
    case $index_url in http://* | https://*) pip_env+=(PIP_INDEX_URL="$index_url") ;; esac
}

# arm64_binfmt: make sure that this kernel runs aarch64 programs through
# qemu-user-static: binfmt_misc mounted and the handler registered and on.
# qemu-user-static ships the registration; binfmt-support's service would
# load it at boot, but a container has no boot. Its flags hold F, so the
# kernel opens QEMU once, here, and a chroot needs no copy of it.
arm64_binfmt() {
    local dir=/proc/sys/fs/binfmt_misc
    [ -e "$dir/register" ] || mount -t binfmt_misc binfmt_misc "$dir"
    if [ ! -e "$dir/qemu-aarch64" ]; then
        cat /usr/lib/binfmt.d/qemu-aarch64.conf >"$dir/register"
    fi
    if [ "$(head -n 1 "$dir/qemu-aarch64")" != enabled ]; then
        echo 1 >"$dir/qemu-aarch64"
    fi
}

# arm64_qemu_in_root: a handler registered elsewhere without the F flag
# makes the kernel look for QEMU by path inside the chroot: put it there.
arm64_qemu_in_root() {
    local entry=/proc/sys/fs/binfmt_misc/qemu-aarch64 interpreter
    grep -q '^flags:.*F' "$entry" && return 0
    interpreter=$(sed -n 's/^interpreter //p' "$entry")
    mkdir -p "$root$(dirname "$interpreter")"
    cp /usr/bin/qemu-aarch64-static "$root$interpreter"
}

# seed_wheel CHECKOUT DEST PATTERN: copy into DEST a wheel matching PATTERN
# from shared/wheels beside CHECKOUT (or beside the main checkout, when
# CHECKOUT is a git worktree) whose line in that directory's SHA256SUMS
# matches it. Prints what it took or refused; returns 1 when it took none.
seed_wheel() {
    local checkout=$1 dest=$2 pattern=$3 dir common name
    for dir in "$checkout/../shared/wheels" \
        "$(common=$(git -C "$checkout" rev-parse --path-format=absolute --git-common-dir \
            2>/dev/null) && echo "${common%/.git}/../shared/wheels")"; do
        [ -f "$dir/SHA256SUMS" ] || continue
        # shellcheck disable=SC2086 # PATTERN is a glob
        for name in $(cd "$dir" && ls $pattern 2>/dev/null); do
            if (cd "$dir" && grep -E "^[0-9a-f]{64} [ *]$name\$" SHA256SUMS |
                sha256sum --check --status --strict - 2>/dev/null); then
                # .part, then a rename: an interrupted copy is never taken.
                cp "$dir/$name" "$dest/$name.part" && chmod 644 "$dest/$name.part" &&
                    mv "$dest/$name.part" "$dest/$name" || return 1
                echo "== seeded $name from $(cd "$dir" && pwd)"
                return 0
            fi
            echo "== $dir/$name does not match its SHA256SUMS; not used"
        done
    done
    return 1
}
