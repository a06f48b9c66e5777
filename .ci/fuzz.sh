#!/usr/bin/env bash
# Fuzz the Python surface with atheris (libFuzzer) for a bounded time:
# FUZZ_SECONDS (default 60) of inputs, each a short program of calls with
# hostile arguments; any undocumented exception, crash, state change on
# error or result that disagrees with the turn methods fails the run.
#
# The module is the ordinary release build: atheris ships its own libFuzzer,
# so no clang is needed. Coverage feedback comes from the instrumented
# harness, not from the C++ code.
set -euo pipefail
cd "$(dirname "$0")/.."
export TESSAROLL_WERROR=ON
seconds=${FUZZ_SECONDS:-60}

# shellcheck source=.ci/common.sh
. .ci/common.sh
apt_need g++ python3-venv python3-dev
make_venv python3
python -m pip install -q scikit-build-core "numpy>=1.25" cmake ninja atheris
python -m pip install -q --no-build-isolation -C build-dir=build/fuzz-module .

log=$venv_root/fuzz.log
corpus=$venv_root/corpus
# Failing inputs stay in the tree for reproduction:
#   python fuzz/fuzz_surface.py build/fuzz-artifacts/crash-...
artifacts=build/fuzz-artifacts
mkdir -p "$corpus" "$artifacts"
echo "== atheris: ${seconds} s over the Python surface"
status=0
# -rss_limit_mb bounds the whole interpreter; the harness keeps batches
# small, so only a leak or a runaway allocation can reach it.
python fuzz/fuzz_surface.py -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || status=$?
runs=$(grep -oE 'Done [0-9]+ runs' "$log" | grep -oE '[0-9]+' || true)
if [ "$status" != 0 ] || [ -z "$runs" ]; then
    tail -n 60 "$log"
    echo "fuzz: failed (status $status)" >&2
    exit 1
fi
grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log" || true
echo "fuzz: $runs inputs in ${seconds} s, no failure"
