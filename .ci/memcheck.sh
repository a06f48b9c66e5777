#!/usr/bin/env bash
# valgrind memcheck over a subset of the pytest suite (or the test paths
# given as arguments): fails on any memory error or definite leak whose stack
# passes through the module's own code. The interpreter's own findings are
# ignored. The default subset reaches every entry point of the module (the
# binding surface and its errors, batch construction, indexing, scramble and
# move application, successor buffers handed to NumPy, the single-cube
# scramble and its generator) without the property tests, whose thousands of
# generated examples add time under valgrind but no new code paths.
set -euo pipefail
cd "$(dirname "$0")/.."
export TESSAROLL_WERROR=ON

# shellcheck source=.ci/common.sh
. .ci/common.sh
apt_need valgrind g++ python3-venv python3-dev
make_venv python3
python -m pip install -q scikit-build-core "numpy>=1.25" pytest hypothesis cmake ninja
# Debug info so that frames inside the module carry their C++ names.
python -m pip install -q --no-build-isolation --force-reinstall --no-deps \
    -C build-dir=build/memcheck-module -C cmake.build-type=RelWithDebInfo .

if (($# == 0)); then
    set -- tests/test_binding.py tests/test_batch.py tests/test_batch_next_states.py \
        tests/test_scramble.py tests/test_render.py
fi

logs=$venv_root/memcheck
mkdir -p "$logs"
echo "== valgrind memcheck: $*"
# PYTHONMALLOC=malloc: every object allocation is a malloc that memcheck
# tracks, instead of a slice of an interpreter arena. One log per process:
# tests fork children, and those are judged apart (see below).
status=0
PYTHONMALLOC=malloc TESSAROLL_MEMORY_TOOL=memcheck valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --num-callers=40 --log-file="$logs/%p.log" \
    python -m pytest -q -p no:cacheprovider "$@" || status=$?

# A record is one block of "==pid==" lines; ours are those that name a frame
# of the module (its C++ namespace or its init function). A forked child
# inherits the parent's worker pool without its threads; the pool is dropped
# there by design, so leaks are counted in the test process only, memory
# errors in every process.
python - "$status" "$logs" <<'PYEOF'
import os
import re
import sys

status, log_dir = int(sys.argv[1]), sys.argv[2]
ours = re.compile(r"tessaroll::|PyInit_tessaroll|tessaroll\.(cpython|pypy)")
kinds = re.compile(r"^(Invalid |Conditional jump|Use of uninitialised|Syscall param|"
                   r"Mismatched free|Source and destination overlap|.*definitely lost)")


def records(path):
    result, current = [], []
    for line in open(path, errors="replace"):
        body = re.sub(r"^==\d+== ?", "", line.rstrip("\n"))
        if body.strip():
            current.append(body)
        elif current:
            result.append(current)
            current = []
    if current:
        result.append(current)
    return result


logs = {}
for name in os.listdir(log_dir):
    pid = int(name.split(".")[0])
    recs = records(os.path.join(log_dir, name))
    parent = next((int(l.split(":")[1]) for r in recs for l in r if l.startswith("Parent PID:")),
                  None)
    logs[pid] = (parent, recs, name)
found = []
for pid, (parent, recs, name) in sorted(logs.items()):
    child = parent in logs
    for r in recs:
        if not kinds.match(r[0]) or not any(ours.search(l) for l in r):
            continue
        if child and "definitely lost" in r[0]:
            continue
        found.append((pid, r))
    if not child:
        main = name
        for line in (l for r in recs for l in r):
            if line.startswith(("ERROR SUMMARY", "   definitely lost")):
                print(line)
print(f"{len(logs) - 1} forked child process(es) checked for memory errors")
for pid, r in found:
    print(f"process {pid}:")
    print("\n".join(r), end="\n\n")
print(f"memcheck: {len(found)} finding(s) in the module's own code")
if status != 0:
    lines = open(os.path.join(log_dir, main), errors="replace").read().splitlines()
    print("\n".join(lines[-50:]))
    print(f"memcheck: the test run failed (status {status})")
sys.exit(1 if found or status else 0)
PYEOF
