#!/usr/bin/env bash
# The pytest suite on further CPython versions that the metadata claims
# (3.9 and newer), each in a fresh venv with the module built the standard
# way (pip install ".[test,solve]", isolated build; kociemba builds from
# source, so the solver's tests run too).
#
# Versions: the arguments, else $TESSAROLL_CPYTHONS, else "3.9 3.13": the
# oldest and the newest. .ci/run tests the machine's default CPython (3.11)
# itself, and .ci/wheel.sh tests its wheel on 3.12. A version this machine
# does not have is reported and left out.
set -euo pipefail
cd "$(dirname "$0")/.."
export TESSAROLL_WERROR=ON

# shellcheck source=.ci/common.sh
. .ci/common.sh
apt_need g++ python3-venv
read -r -a versions <<<"${*:-${TESSAROLL_CPYTHONS:-3.9 3.13}}"

status=0
for version in "${versions[@]}"; do
    if ! py=$(find_cpython "$version"); then
        echo "== CPython $version: not on this machine, left out"
        continue
    fi
    start=$SECONDS
    echo "== CPython $version: $("$py" --version) ($py)"
    dir=$(mktemp -d)
    "$py" -m venv "$dir/venv"
    if "$dir/venv/bin/python" -m pip install -q --upgrade pip &&
        "$dir/venv/bin/python" -m pip install -q ".[test,solve]"; then
        "$dir/venv/bin/python" -m pytest -q -p no:cacheprovider || status=1
    else
        status=1
    fi
    rm -rf "$dir"
    echo "== CPython $version: $((SECONDS - start)) s"
done
exit "$status"
