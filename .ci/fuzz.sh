#!/usr/bin/env bash
# Coverage-guided fuzzing under AddressSanitizer and UndefinedBehaviorSanitizer;
# any finding fails the run.
#
#   1. The libFuzzer harnesses fuzz/*_fuzz.cpp, each checking one property of
#      the C++ core, for HARNESS_SECONDS (default 60) in all, starting from
#      their seed corpora in fuzz/corpus/<name>.
#   2. atheris over the whole Python surface for FUZZ_SECONDS (default 60):
#      each input is a short program of calls with hostile arguments; any
#      undocumented exception, crash, state change on error or result that
#      disagrees with the turn methods fails the run. The module carries
#      libFuzzer's coverage counters, so the search follows the C++ branches
#      as well as the harness's own.
#
# `--long` runs every harness to 1,000,000 inputs instead, then atheris as
# usual. Each harness reports its inputs, coverage (edges), time and peak RSS.
# Failing inputs stay in build/fuzz-artifacts for reproduction:
#   build/fuzz/move_tokens_fuzz build/fuzz-artifacts/move_tokens_fuzz-crash-...
#   python fuzz/fuzz_surface.py build/fuzz-artifacts/surface-crash-...
# (the latter with the LD_PRELOAD and ASAN_OPTIONS used below).
set -euo pipefail
cd "$(dirname "$0")/.."
export TESSAROLL_WERROR=ON
seconds=${FUZZ_SECONDS:-60}
harness_seconds=${HARNESS_SECONDS:-60}
long=0
if [ "${1:-}" = --long ]; then long=1; fi

# shellcheck source=.ci/common.sh
. .ci/common.sh
apt_need clang libfuzzer-14-dev libclang-rt-14-dev g++ python3-venv python3-dev
make_venv python3
python -m pip install -q "numpy>=1.25" cmake ninja atheris

# One clang build: the core, the harnesses and the module, all instrumented.
# The build directory outlives the throwaway venv whose ninja and Python its
# cache would otherwise still name.
echo "== build (clang, ASan + UBSan + coverage)"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_MAKE_PROGRAM="$(command -v ninja)" \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$(command -v python)" -DTESSAROLL_BUILD_MODULE=ON \
    -DTESSAROLL_BUILD_FUZZERS=ON -DTESSAROLL_BUILD_TESTS=OFF \
    -DTESSAROLL_WERROR=ON >/dev/null
cmake --build build/fuzz -j2

artifacts=build/fuzz-artifacts
mkdir -p "$artifacts"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=()

# coverage_and_rss LOG: libFuzzer's last edge count and its peak RSS (MB).
coverage_and_rss() {
    local cov rss
    cov=$(grep -oE 'cov: [0-9]+' "$1" | tail -n 1 | grep -oE '[0-9]+' || true)
    rss=$(grep -oE '^stat::peak_rss_mb: *[0-9]+' "$1" | grep -oE '[0-9]+$' || true)
    echo "${cov:--} ${rss:--}"
}

harnesses=(fuzz/*_fuzz.cpp)
if ((long)); then
    limit=(-runs=1000000)
    echo "== libFuzzer harnesses: 1,000,000 inputs each"
else
    limit=(-max_total_time=$((harness_seconds / ${#harnesses[@]})))
    echo "== libFuzzer harnesses: ${harness_seconds} s in all"
fi
for source in "${harnesses[@]}"; do
    name=$(basename "$source" .cpp)
    seeds=fuzz/corpus/${name%_fuzz}
    dict=()
    if [ -f "fuzz/${name%_fuzz}.dict" ]; then dict=(-dict="fuzz/${name%_fuzz}.dict"); fi
    # New inputs go to the scratch directory (the first), never to the seeds.
    corpus=$venv_root/corpus-$name
    log=$venv_root/$name.log
    mkdir -p "$corpus"
    start=$(date +%s%N)
    status=0
    "build/fuzz/$name" "${limit[@]}" "${dict[@]}" -max_len=1024 -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
        "$corpus" "$seeds" >"$log" 2>&1 || status=$?
    ms=$((($(date +%s%N) - start) / 1000000))
    runs=$(grep -oE '^stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || true)
    read -r cov rss <<<"$(coverage_and_rss "$log")"
    if [ "$status" != 0 ] || [ -z "$runs" ]; then
        tail -n 40 "$log"
        echo "fuzz: $name failed (status $status)" >&2
        failed+=("$name")
        continue
    fi
    printf '%-18s %9s inputs  cov %5s  %5d.%d s  peak RSS %5s MB\n' \
        "$name" "$runs" "$cov" $((ms / 1000)) $((ms % 1000 / 100)) "$rss"
done

echo "== atheris: ${seconds} s over the Python surface"
# The interpreter is not instrumented, so atheris's ASan runtime with
# libFuzzer inside is preloaded (atheris then uses that libFuzzer, and the
# module's coverage counters reach it), and libstdc++ with it, or ASan's
# __cxa_throw interceptor finds no real __cxa_throw and aborts on the first
# C++ exception. allocator_may_return_null turns an impossible allocation into
# std::bad_alloc (MemoryError) instead of an abort. Leak checking is off: the
# interpreter keeps much of its memory until exit.
runtime=$(python -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')
log=$venv_root/surface.log
corpus=$venv_root/corpus-surface
mkdir -p "$corpus"
status=0
# -rss_limit_mb bounds the whole interpreter; the harness keeps batches
# small, so only a leak or a runaway allocation can reach it.
PYTHONPATH=build/fuzz LD_PRELOAD="$runtime $(g++ -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=0 \
    python fuzz/fuzz_surface.py -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$artifacts/surface-" "$corpus" >"$log" 2>&1 ||
    status=$?
runs=$(grep -oE 'Done [0-9]+ runs' "$log" | grep -oE '[0-9]+' || true)
if [ "$status" != 0 ] || [ -z "$runs" ]; then
    tail -n 60 "$log"
    echo "fuzz: atheris failed (status $status)" >&2
    failed+=("surface")
else
    read -r cov rss <<<"$(coverage_and_rss "$log")"
    echo "surface: $runs inputs in ${seconds} s, cov $cov, peak RSS $rss MB, no failure"
fi

if ((${#failed[@]})); then
    echo "fuzz: findings in ${failed[*]}" >&2
    exit 1
fi
echo "fuzz: no findings"
