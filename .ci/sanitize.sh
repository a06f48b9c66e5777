#!/usr/bin/env bash
# Sanitizer runs:
#   1. the C++ unit tests with AddressSanitizer + UndefinedBehaviorSanitizer;
#   2. the module built with ASan + UBSan, under the whole pytest suite;
#   3. the C++ unit tests with ThreadSanitizer (worker pool, generators).
# Any report fails the run: UBSan and TSan halt on the first error, ASan
# always does.
set -euo pipefail
cd "$(dirname "$0")/.."
export TESSAROLL_WERROR=ON

# shellcheck source=.ci/common.sh
. .ci/common.sh
apt_need g++ libgtest-dev python3-venv python3-dev
make_venv python3
python -m pip install -q scikit-build-core "numpy>=1.25" pytest hypothesis cmake ninja

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

cpp_tests() { # cpp_tests BUILD_DIR CMAKE_OPTION
    # The build directory outlives the throwaway venv whose ninja its cache
    # would otherwise still name.
    cmake -S . -B "$1" -G Ninja -DCMAKE_MAKE_PROGRAM="$(command -v ninja)" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAROLL_BUILD_TESTS=ON \
        -DTESSAROLL_BUILD_MODULE=OFF -DTESSAROLL_WERROR=ON "-D$2=ON" >/dev/null
    cmake --build "$1" -j2
    ctest --test-dir "$1" --output-on-failure
}

echo "== ASan+UBSan: C++ unit tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 cpp_tests build/asan-cpp TESSAROLL_SANITIZE

echo "== ASan+UBSan: Python tests"
python -m pip install -q --no-build-isolation --force-reinstall --no-deps \
    -C build-dir=build/asan-module -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.TESSAROLL_SANITIZE=ON .
# The interpreter is not built with ASan, so the runtime must be loaded first.
# PYTHONMALLOC=malloc sends every object allocation through ASan's malloc, so
# an instance written past its end is caught. Leak checking is off: the
# interpreter keeps much of its memory until exit; leaks are memcheck's job.
LD_PRELOAD=$(g++ -print-file-name=libasan.so) \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 PYTHONMALLOC=malloc \
    TESSAROLL_MEMORY_TOOL=asan \
    python -m pytest -q -p no:cacheprovider

echo "== TSan: C++ unit tests"
cpp_tests build/tsan-cpp TESSAROLL_TSAN
