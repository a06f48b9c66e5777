#!/usr/bin/env bash
# Runs the commands of the README and the docs pages as a reader would:
# each block in a fresh virtual environment, from a fresh copy of the
# source tree (a git repository of its own, so that a command which
# changes tracked files shows up), with HOME pointing into the scratch
# directory. Prints one line per command with its status and time, and
# fails if any command does.
#
#   bash .ci/readme.sh            # every block below
#   bash .ci/readme.sh solve asan # only the blocks named
#
# Blocks: top, snippets, solve, bench, benchdocs, hand, asan, cpp, offline,
# fuzz. Left out: the .ci scripts (CI runs them), the PyPy i386 NumPy build
# (about 25 minutes), templates such as `crash-<hash>`, and system
# installs other than the packages a block names (installed when missing).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=.ci/common.sh
. "$here/.ci/common.sh"

scratch=$(mktemp -d /tmp/tessaroll-readme.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch/home
mkdir -p "$HOME"
src=$scratch/src
mkdir -p "$src"
# The working tree as it is, tracked and new files alike, minus ignored ones.
(cd "$here" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 tar -cf - 2>/dev/null) | tar -xf - -C "$src"
git -C "$src" init -q && git -C "$src" add -A &&
    git -C "$src" -c user.name=readme -c user.email=readme@invalid commit -qm tree

results=()
failed=0
logs=${READMECHECK_LOGS:-$here/build/readme-logs}
mkdir -p "$logs"

# run NAME COMMAND: one README command in bash from the source copy, with
# the current venv active; its output goes to $logs/NAME.log.
run() {
    local name=$1 cmd=$2 started rc
    started=$(date +%s)
    echo "== $name: $cmd"
    set +e
    (cd "$src" && bash -euo pipefail -c "$cmd") >"$logs/$name.log" 2>&1
    rc=$?
    set -e
    local first=${cmd%%$'\n'*}
    [ "$first" = "$cmd" ] || first="$first ..."
    results+=("$(printf '%-4s %5ss  %-18s %s' "$([ $rc = 0 ] && echo ok || echo FAIL)" \
        "$(($(date +%s) - started))" "$name" "$first")")
    if [ $rc != 0 ]; then
        failed=1
        tail -n 20 "$logs/$name.log"
    fi
    return 0
}

# expect NAME CHECK: a condition on what a command left behind.
expect() {
    run "$1" "$2"
}

fresh_venv() { # fresh_venv NAME [INTERPRETER]
    deactivate 2>/dev/null || true
    "${2:-python3}" -m venv "$scratch/$1"
    # shellcheck disable=SC1091
    . "$scratch/$1/bin/activate"
    python -m pip install -q --upgrade pip
}

clean_tree='test -z "$(git status --porcelain)" || { git status --short; false; }'

block_top() {
    fresh_venv top
    run top-tour 'python -m pip install ".[numpy]" && python examples/tour.py'
    # Colour only on a terminal (script gives it one), and not with NO_COLOR.
    run top-colour 'python examples/tour.py >/tmp/tour-pipe.txt && ! grep -q $'"'"'\e'"'"' /tmp/tour-pipe.txt &&
        script -qec "python examples/tour.py" /dev/null >/tmp/tour-tty.txt && grep -q $'"'"'\e'"'"' /tmp/tour-tty.txt &&
        NO_COLOR=1 script -qec "python examples/tour.py" /dev/null >/tmp/tour-no.txt && ! grep -q $'"'"'\e'"'"' /tmp/tour-no.txt'
    run top-oneliner "python -c \"import tessaroll; c = tessaroll.Cube3x3(); c.do_moves('R U'); print(c)\""
    # Without matplotlib: the tables alone, the extra named up front; a
    # chart asked for by name is a usage error before anything is measured.
    run top-bench-no-mpl 'python bench/run.py --cubes 1000 --repeat 1 --no-sweep >/tmp/bench.txt 2>&1 &&
        head -n 1 /tmp/bench.txt | grep -q "install it with the bench extra" &&
        { rc=0; timeout 20 python bench/run.py --update-docs >/dev/null 2>&1 || rc=$?; test $rc = 2; }'
    expect top-clean "$clean_tree"
    fresh_venv test
    run top-tests 'python -m pip install ".[test,solve]" && python -m pytest'
    expect top-tests-clean "$clean_tree"
}

block_snippets() {
    fresh_venv snippets
    python -m pip install -q "$src[numpy]" >/dev/null
    # Every ```python block runs, in order, in one namespace (as a reader
    # would type them into one session), and every >>> example prints what
    # the README shows.
    run snippets-blocks 'python - README.md <<"EOF"
import doctest, re, sys
text = open(sys.argv[1]).read()
import tessaroll
env = {"tessaroll": tessaroll}
blocks = re.findall(r"```python\n(.*?)```", text, re.S)
examples = 0
for block in blocks:
    if block.lstrip().startswith(">>>"):
        test = doctest.DocTestParser().get_doctest(block, env, "README", "README.md", 0)
        runner = doctest.DocTestRunner()
        runner.run(test)
        examples += len(test.examples)
        if runner.failures:
            sys.exit(1)
    else:
        exec(block, env)
print(len(blocks), "blocks,", examples, "doctest examples")
EOF'
}

block_solve() {
    fresh_venv solve
    run solve-install 'python -m pip install ".[solve]"'
    run solve-random 'python examples/solve.py --cube 3 --random 30 --seed 1'
    run solve-usage 'rc=0; python examples/solve.py --scramble "R U" --memory-limit -5 || rc=$?; test $rc = 2'
    run solve-docstring "python examples/solve.py --cube 3 --scramble \"R U F' L2\" &&
        python examples/solve.py --cube 2 --random 20"
}

block_bench() {
    fresh_venv bench
    run bench-install 'python -m pip install ".[bench]"'
    for script in bench_batch bench_turns bench_exports bench_moves per_call; do
        run "bench-$script" "python bench/$script.py"
    done
    run bench-batch-cubes 'python bench/bench_batch.py --cubes 20000'
    run bench-pool-start 'python bench/bench_pool_start.py'
    run bench-run-quick 'python bench/run.py --cubes 20000 --repeat 1 --out-dir /tmp/readme-bench-charts &&
        test -s /tmp/readme-bench-charts/performance.png && test -s /tmp/readme-bench-charts/batch_sweep.png'
    expect bench-clean "$clean_tree"
}

block_benchdocs() { # the performance page's command as written (minutes)
    fresh_venv benchdocs
    run benchdocs-install 'python -m pip install ".[bench]"'
    apt_need pypy3 pypy3-venv pypy3-dev >/dev/null
    run benchdocs-pypy 'pypy3 -m venv ~/pypy-venv && ~/pypy-venv/bin/python -m pip install .'
    run benchdocs-run 'python bench/run.py --repeat 7 --update-docs --interpreters python ~/pypy-venv/bin/python'
    expect benchdocs-charts-changed 'git status --porcelain | grep -q "docs/performance.png" &&
        git status --porcelain | grep -q "docs/batch_sweep.png"'
    git -C "$src" checkout -q -- docs
}

block_hand() {
    fresh_venv hand
    python -m pip install -q "$src[test]" >/dev/null
    run hand-stress 'python -m pytest tests/test_stress.py'
    run hand-atheris 'pip install atheris'
    run hand-fuzz 'python fuzz/fuzz_surface.py -max_total_time=60 -rss_limit_mb=2048'
    run hand-mypy 'pip install mypy'
    run hand-stubtest 'cd /tmp && python -m mypy.stubtest tessaroll \
        --allowlist "$OLDPWD/stubs/stubtest-allowlist.txt"'
}

block_asan() {
    fresh_venv asan
    run asan-install 'python -m pip install -C build-dir=build/asan -C cmake.define.TESSAROLL_SANITIZE=ON ".[test]"'
    run asan-pytest 'LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
        ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc TESSAROLL_MEMORY_TOOL=asan \
        python -m pytest'
}

block_cpp() {
    apt_need libgtest-dev clang-format >/dev/null
    fresh_venv cpp
    python -m pip install -q cmake ninja
    run cpp-configure 'cmake -S . -B build/cpp -DTESSAROLL_BUILD_TESTS=ON -DTESSAROLL_BUILD_MODULE=OFF'
    run cpp-test 'cmake --build build/cpp && ctest --test-dir build/cpp'
    run cpp-format 'clang-format -i src/*.h src/*.cpp src/*/*.h src/*/*.cpp fuzz/*.h fuzz/*.cpp'
    expect cpp-clean "$clean_tree"
}

block_offline() { # the troubleshooting page: building without isolation
    fresh_venv offline
    run offline-build 'pip install scikit-build-core numpy && pip install --no-build-isolation . &&
        cd /tmp && python -c "import tessaroll; tessaroll.CubeBatch(2, 3).get_next_states()"'
}

block_fuzz() { # the libFuzzer build (clang)
    apt_need clang libfuzzer-14-dev libclang-rt-14-dev >/dev/null
    fresh_venv fuzz
    run fuzz-install 'python -m pip install cmake ninja numpy atheris'
    run fuzz-configure 'cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTESSAROLL_BUILD_FUZZERS=ON'
    run fuzz-build 'cmake --build build/fuzz'
    run fuzz-tokens 'mkdir -p /tmp/corpus && build/fuzz/move_tokens_fuzz -dict=fuzz/move_tokens.dict \
        -max_total_time=60 /tmp/corpus fuzz/corpus/move_tokens'
    run fuzz-surface 'PYTHONPATH=build/fuzz ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=0 \
        LD_PRELOAD="$(python -c '"'"'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))'"'"') $(g++ -print-file-name=libstdc++.so)" \
        python fuzz/fuzz_surface.py -max_total_time=60 -rss_limit_mb=2048'
}

blocks=("$@")
((${#blocks[@]})) || blocks=(top snippets solve bench hand asan cpp offline fuzz benchdocs)
for block in "${blocks[@]}"; do
    "block_$block"
done

echo
echo "README commands (logs in $logs):"
printf '%s\n' "${results[@]}"
exit $failed
