#!/usr/bin/env bash
# Checks the C++ sources (src/ and tests/cpp) against .clang-format with a
# pinned clang-format from PyPI, installed into .venv-format.
#
#   scripts/check_format.sh          report the files and lines clang-format would change
#   scripts/check_format.sh --fix    format those files in place
#
# Exit status: 0 when every file is formatted (or after --fix), 1 when some
# file would change, 2 or more when the check itself could not run. CI tells
# the two apart: only a format difference may be let through as advisory.
#
# The pin matters: each clang-format release lays out some constructs a
# little differently, so a new one lands as a deliberate bump together with
# whatever it reformats.
#
# Environment:
#   PYTHON   interpreter for the venv (default python3)
set -euo pipefail

clang_format_pin=23.1.5

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=$repo/.venv-format
python=${PYTHON:-python3}
cd "$repo"

fix=0
case ${1:-} in
    "") ;;
    --fix) fix=1 ;;
    *) echo "usage: $0 [--fix]" >&2; exit 2 ;;
esac

trap 'rc=$?; if ((rc != 0 && rc != 1)); then echo "check_format: could not run the check (exit status $rc)" >&2; fi' EXIT

clang_format=$venv/bin/clang-format
if ! "$clang_format" --version 2>/dev/null | grep -q "version $clang_format_pin\b"; then
    "$python" -m venv --clear "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "clang-format==$clang_format_pin"
fi
"$clang_format" --version

files=()
while IFS= read -r -d '' file; do
    files+=("$file")
done < <(find src tests/cpp -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.cc' \) -print0 | sort -z)
if ((${#files[@]} == 0)); then
    echo "check_format: no C++ sources found under src/ and tests/cpp" >&2
    exit 2
fi

if ((fix)); then
    "$clang_format" -i "${files[@]}"
    echo "formatted ${#files[@]} files"
    exit 0
fi

# Counted per file, so that a red run says how much each file is off.
scratch=$(mktemp -d)
trap 'rc=$?; rm -rf "$scratch"; if ((rc != 0 && rc != 1)); then echo "check_format: could not run the check (exit status $rc)" >&2; fi' EXIT
unformatted=0 lines=0
for file in "${files[@]}"; do
    "$clang_format" "$file" >"$scratch/formatted" || exit 3
    # Lines of the file that formatting would replace or remove.
    changed=$(diff "$scratch/formatted" "$file" | grep -c '^>' || true)
    if ((changed > 0)); then
        echo "  $file: $changed lines would change"
        unformatted=$((unformatted + 1))
        lines=$((lines + changed))
    fi
done
if ((unformatted == 0)); then
    echo "format check: ${#files[@]} files formatted"
    exit 0
fi
# clang-format's own report names the first places and what it expects there.
"$clang_format" --dry-run -Werror --ferror-limit=3 "${files[@]}" 2>&1 | head -n 60 || true
echo "format check: $unformatted of ${#files[@]} files would change ($lines lines); run scripts/check_format.sh --fix"
exit 1
