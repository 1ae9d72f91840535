#!/usr/bin/env bash
# A quick local check before pushing: builds the module with warnings as
# errors and installs it into a venv, builds and runs the C++ graph tests,
# then runs the Python test suite against the installed module, on one
# CPython. Well under three minutes once the venv exists; CI (.ci/run) does
# the full round on every CPython, with sanitizers and the release wheel.
#
#   scripts/quick_check.sh [PYTEST ARGS...]     e.g. scripts/quick_check.sh -k update -x
#
# The venv (.venv-quick-<version>) and the build trees (build/quick-*) are kept
# between runs: CMake and Ninja then recompile only what changed, and the
# build step of an unchanged tree takes seconds.
#
# Environment:
#   PYTHON        the CPython to check with (default python3; any >= 3.10)
#   QUICK_JOBS    pytest-xdist workers (default: the number of cores; 0 runs
#                 the suite in one process)
#   SKIP_CPP_TESTS  1 to leave out the C++ graph tests
#   INTERPRETER_SHORTCUTS  OFF to build the module without interpreter
#                 shortcuts, so that every call takes the plain ways, and test
#                 it as such (a build tree of its own, the same venv)
# Needs GoogleTest for the C++ tests (Debian: apt-get install libgtest-dev).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
python=${PYTHON:-python3}
jobs=${QUICK_JOBS:-$(nproc)}

version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
if ! "$python" -c 'import sys; sys.exit(sys.version_info < (3, 10))'; then
    echo "error: $python is Python $version; lineage_store needs 3.10 or newer" >&2
    exit 1
fi
shortcuts=${INTERPRETER_SHORTCUTS:-ON}
if [[ $shortcuts != ON && $shortcuts != OFF ]]; then
    echo "error: INTERPRETER_SHORTCUTS is ON or OFF, not $shortcuts" >&2
    exit 1
fi
venv=$repo/.venv-quick-$version
build_python=$repo/build/quick-python-$version
if [[ $shortcuts == OFF ]]; then
    build_python+=-no-shortcuts
fi
build_cpp=$repo/build/quick-cpp

started=$SECONDS
step() { printf -- '--- %s (%ds)\n' "$*" "$((SECONDS - started))"; }

# The venv is made once; the tools are only checked afterwards, which pip
# does without asking the index when they are installed.
if [[ ! -x $venv/bin/python ]]; then
    step "venv $venv ($("$python" --version))"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
fi
# The build runs without isolation so that it can reuse its build tree, so
# the backend and CMake come from the venv.
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.11" "cmake>=3.26" ninja pytest hypothesis pytest-timeout pytest-xdist greenlet gevent anyio trio

step "building and installing lineage_store (warnings are errors, interpreter shortcuts $shortcuts)"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps . \
    -C build-dir="$build_python" -C cmake.define.LINEAGE_STORE_WERROR=ON \
    -C cmake.define.LINEAGE_STORE_INTERPRETER_SHORTCUTS="$shortcuts"

if [[ ${SKIP_CPP_TESTS:-0} != 1 ]]; then
    step "C++ graph tests"
    # Configuring an existing tree again only checks it (about a second).
    "$venv/bin/cmake" -S . -B "$build_cpp" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
        -DLINEAGE_STORE_PYTHON_MODULE=OFF -DLINEAGE_STORE_CPP_TESTS=ON -DLINEAGE_STORE_WERROR=ON >/dev/null
    "$venv/bin/cmake" --build "$build_cpp" -j "$(nproc)"
    "$venv/bin/ctest" --test-dir "$build_cpp" --output-on-failure -j "$(nproc)"
fi

step "Python tests"
pytest_args=()
if ((jobs > 0)); then
    pytest_args=(-n "$jobs" --dist worksteal)
fi
if [[ $shortcuts == OFF ]]; then
    pytest_args+=(--built-without-shortcuts)
fi
# From a folder outside the source tree, so that only the installed module
# can be imported.
run_dir=$(mktemp -d)
trap 'rm -rf "$run_dir"' EXIT
rc=0
(cd "$run_dir" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "${pytest_args[@]}" "$repo/tests" "$@") || rc=$?
step "done"
if [[ $rc == 5 ]]; then
    echo "error: pytest collected no tests" >&2
    exit 1
fi
exit "$rc"
