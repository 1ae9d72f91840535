#!/usr/bin/env bash
# Runs the C++ graph tests and the Python test suite against builds made with
# AddressSanitizer and UndefinedBehaviorSanitizer (GCC's runtimes).
#
# Environment:
#   PYTHON                 interpreter for the venv (default python3.11, else python3)
#   LINEAGE_STORE_WERROR   ON to make compiler warnings errors (default OFF)
#   CMAKE                  cmake binary to use for the C++ tests (default: cmake
#                          on PATH if >= 3.26, otherwise one installed from PyPI)
#   SKIP_CPP_TESTS         1 to run only the Python part
#   TEST_TIME_LIMIT        seconds the Python test run may take before it is
#                          aborted (SIGABRT, so that faulthandler prints every
#                          thread's stack) and fails; default: no limit
#   PYTEST_ADDOPTS         read by pytest itself; pytest-xdist is installed, so
#                          "-n 2" spreads the run over two processes
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD
venv=$repo/.venv-asan
werror=${LINEAGE_STORE_WERROR:-OFF}

section() { printf '\n===== %s =====\n' "$*"; }

python=${PYTHON:-python3.11}
if ! "$python" -c 'import sys' >/dev/null 2>&1; then
    python=python3
fi
if ! "$python" -c 'import sys; sys.exit(sys.version_info < (3, 10))'; then
    echo "error: $python is older than 3.10" >&2
    exit 1
fi

asan_lib=$(g++ -print-file-name=libasan.so)
ubsan_lib=$(g++ -print-file-name=libubsan.so)
for lib in "$asan_lib" "$ubsan_lib"; do
    if [[ "$lib" != /* || ! -e "$lib" ]]; then
        echo "error: g++ does not know where $lib is; install GCC's sanitizer runtimes" >&2
        exit 1
    fi
done

section "sanitized venv ($("$python" --version))"
"$python" -m venv --clear "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q pytest hypothesis pytest-timeout pytest-xdist greenlet anyio trio

cmake_is_recent() {
    "$1" --version 2>/dev/null | awk 'NR == 1 { split($3, v, "."); ok = v[1] > 3 || (v[1] == 3 && v[2] >= 26) } END { exit !ok }'
}

if [[ "${SKIP_CPP_TESTS:-0}" != 1 ]]; then
    cmake=${CMAKE:-cmake}
    if ! cmake_is_recent "$cmake"; then
        "$venv/bin/python" -m pip install -q "cmake>=3.26"
        cmake=$venv/bin/cmake
    fi
    ctest=$(dirname "$(command -v "$cmake")")/ctest

    section "C++ graph tests with sanitizers"
    rm -rf build-asan-cpp
    "$cmake" -S . -B build-asan-cpp -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DLINEAGE_STORE_PYTHON_MODULE=OFF -DLINEAGE_STORE_CPP_TESTS=ON \
        -DLINEAGE_STORE_SANITIZE=ON -DLINEAGE_STORE_WERROR="$werror"
    "$cmake" --build build-asan-cpp -j "$(nproc)"
    # No interpreter here, so leak detection stays on.
    ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$ctest" --test-dir build-asan-cpp --output-on-failure
fi

section "building lineage_store with sanitizers"
"$venv/bin/python" -m pip install . \
    -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.LINEAGE_STORE_SANITIZE=ON \
    -C cmake.define.LINEAGE_STORE_WERROR="$werror"

section "Python tests with sanitizers"
# The interpreter itself is not instrumented, so the runtimes are preloaded.
# Leak detection is off: CPython keeps allocations alive until exit by design.
# PYTHONMALLOC=malloc sends object allocations through ASan, so a missing
# reference (an object freed while still in use) shows as use-after-free.
# --capture=sys leaves file descriptor 2 alone, so a sanitizer report written
# just before the process aborts reaches the terminal instead of being lost
# with pytest's capture file.
# A test stuck in C code with the interpreter lock held stops pytest-timeout
# too; only a signal from outside ends it. (timeout puts the tests in a
# process group of their own, which may not read a terminal, hence the
# </dev/null below.)
time_limit=()
if [[ -n ${TEST_TIME_LIMIT:-} ]]; then
    time_limit=(timeout --signal=ABRT --kill-after=30 "$TEST_TIME_LIMIT")
fi
rc=0
LD_PRELOAD="$asan_lib $ubsan_lib" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONMALLOC=malloc \
    "${time_limit[@]}" "$venv/bin/python" -m pytest -q tests -x -p no:cacheprovider --capture=sys </dev/null || rc=$?
if [[ $rc == 5 ]]; then
    echo "error: pytest collected no tests" >&2
    exit 1
fi
if [[ -n ${TEST_TIME_LIMIT:-} ]] && ((rc == 124 || rc == 137)); then
    echo "error: the tests did not finish within ${TEST_TIME_LIMIT} s" >&2
fi
exit "$rc"
