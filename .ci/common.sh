# Helpers shared by the .ci scripts; sourced, not run.

# apt_need PACKAGE...: install the Debian packages that are missing.
apt_need() {
    local need=() pkg
    for pkg; do
        dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
    done
    if ((${#need[@]})); then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
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
