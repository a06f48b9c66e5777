#!/usr/bin/env bash
# valgrind memcheck over the pytest suite (or the test paths given as
# arguments): fails on any memory error or definite leak whose stack passes
# through the module's own code. The interpreter's own findings are ignored.
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

log=$venv_root/memcheck.log
echo "== valgrind memcheck: ${*:-whole suite}"
# PYTHONMALLOC=malloc: every object allocation is a malloc that memcheck
# tracks, instead of a slice of an interpreter arena.
status=0
PYTHONMALLOC=malloc TESSAROLL_MEMORY_TOOL=memcheck valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --num-callers=40 --log-file="$log" \
    python -m pytest -q -p no:cacheprovider "$@" || status=$?
if [ "$status" != 0 ]; then
    tail -n 50 "$log"
    exit "$status"
fi

# A record is one block of "==pid==" lines; ours are those that name a frame
# of the module (its C++ namespace or its init function).
python - "$log" <<'EOF'
import re
import sys

records, current = [], []
for line in open(sys.argv[1], errors="replace"):
    body = re.sub(r"^==\d+== ?", "", line.rstrip("\n"))
    if body.strip():
        current.append(body)
    elif current:
        records.append(current)
        current = []
if current:
    records.append(current)

ours = re.compile(r"tessaroll::|PyInit_tessaroll|tessaroll\.(cpython|pypy)")
kinds = re.compile(r"^(Invalid |Conditional jump|Use of uninitialised|Syscall param|"
                   r"Mismatched free|Source and destination overlap|.*definitely lost)")
found = [r for r in records if kinds.match(r[0]) and any(ours.search(l) for l in r)]
summary = [l for r in records for l in r if l.startswith(("ERROR SUMMARY", "   definitely lost"))]
print("\n".join(summary))
for r in found:
    print("\n".join(r), end="\n\n")
print(f"memcheck: {len(found)} finding(s) in the module's own code")
sys.exit(1 if found else 0)
EOF
