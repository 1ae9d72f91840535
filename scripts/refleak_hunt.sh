#!/usr/bin/env bash
# Exact reference-leak hunt: builds lineage_store against Debian's debug
# interpreter (python3.11-dbg) and runs scripts/refleak_workload.py, a mixed
# workload repeated many times; the total reference count must not grow at
# all between the later rounds, and the allocated blocks only by the
# interpreter's own slow settling (see the workload's docstring).
#
#   scripts/refleak_hunt.sh          (Debian 12; installs python3.11-dbg and
#                                     python3.11-dev with apt-get when run as root)
#
# Why it is exact: a debug interpreter counts every reference taken and
# released (sys.gettotalrefcount). An extension built against the limited API
# does its reference counting through _Py_IncRef/_Py_DecRef on such an
# interpreter, so its own references are counted too; the script checks that
# the built module imports those two functions.
#
# Debian ships the debug headers as links into the release ones, and the
# compiler then finds the release pyconfig.h next to Python.h: the debug one
# is included first, by hand, so that Py_DEBUG is defined.
#
# Environment:
#   PYTHON_DBG   the debug interpreter (default python3.11-dbg)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD
venv=$repo/.venv-refleak
python_dbg=${PYTHON_DBG:-python3.11-dbg}

section() { printf '\n===== %s =====\n' "$*"; }

if ! command -v "$python_dbg" >/dev/null || ! dpkg-query -W -f='${Status}' python3.11-dev 2>/dev/null | grep -q "install ok installed"; then
    if [[ $(id -u) != 0 ]]; then
        echo "error: needs $python_dbg and python3.11-dev (apt-get install python3.11-dbg python3.11-dev)" >&2
        exit 1
    fi
    section "installing python3.11-dbg and python3.11-dev"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends python3.11-dbg python3.11-dev >/dev/null
fi
if ! "$python_dbg" -c 'import sys; sys.exit(not hasattr(sys, "gettotalrefcount"))'; then
    echo "error: $python_dbg is not a debug build (no sys.gettotalrefcount)" >&2
    exit 1
fi

section "debug venv ($("$python_dbg" --version 2>&1))"
"$python_dbg" -m venv --clear "$venv"
# Debian's bundled pip is too old for -C; warnings of the debug build are noise here.
PYTHONWARNINGS=ignore "$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q scikit-build-core ninja cmake

section "building lineage_store against the debug interpreter"
pyconfig=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_h_filename())')
"$venv/bin/python" -m pip install -q --no-build-isolation . \
    -C build-dir=build/refleak \
    -C cmake.build-type=Debug \
    -C "cmake.define.CMAKE_CXX_FLAGS=-include $pyconfig" \
    -C cmake.define.LINEAGE_STORE_WERROR="${LINEAGE_STORE_WERROR:-OFF}"
module=$("$venv/bin/python" -c 'import lineage_store; print(lineage_store.__file__)')
imported=$(nm -D --undefined-only "$module")
for function in _Py_IncRef _Py_DecRef; do
    if ! grep -qw "$function" <<<"$imported"; then
        echo "error: $module does not count references through $function: not a debug build" >&2
        exit 1
    fi
done

section "mixed workload"
# From outside the source tree, so that only the installed module is imported.
cd "$(mktemp -d)"
"$venv/bin/python" "$repo/scripts/refleak_workload.py"
