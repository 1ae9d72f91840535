"""Every Python block of README.md runs, exactly as written, against the installed module.

Convention: the ```python and ```py blocks run in README order in one shared
namespace named __main__, as pasted into an interpreter, so a block may use
what earlier blocks defined; the working directory is the repository root. A
block with `>>>` prompts is a doctest whose output must match exactly; any
other block runs as a script and passes when it raises nothing (its asserts
included). A block that imports an optional package is skipped where that
package is missing. Other fences (```sh) are not run.
"""
import ast
import doctest
import html
import importlib.util
import io
import pathlib
import re
import sys

import pytest

REPOSITORY = pathlib.Path(__file__).resolve().parents[1]
README = REPOSITORY / 'README.md'
FENCE = re.compile(r'^```(?:python|py)\n(.*?)^```$', re.MULTILINE | re.DOTALL)

# Packages a block may import beyond the module and the standard library.
OPTIONAL_PACKAGES = {'fastapi', 'httpx', 'dask', 'distributed'}


def python_blocks():
    text = README.read_text(encoding='utf-8')
    return [(text.count('\n', 0, match.start(1)) + 1, match.group(1)) for match in FENCE.finditer(text)]


BLOCKS = python_blocks()


def optional_imports(source):
    """The modules of optional packages that a block imports, in order."""
    if '>>>' in source:
        source = ''.join(example.source for example in doctest.DocTestParser().get_examples(source))
    modules = []
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            modules += [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and node.module and not node.level:
            modules.append(node.module)
    return [module for module in modules if module.partition('.')[0] in OPTIONAL_PACKAGES]


def why_not_runnable(source):
    """Why a block cannot run here (an optional module it imports is missing), or None."""
    for module in optional_imports(source):
        try:
            # Imported as the suite's other tests import them, with warnings
            # silenced: a framework's deprecation notice about its own
            # dependencies is not this block's to report.
            pytest.importorskip(module)
        except pytest.skip.Exception as skipped:
            return str(skipped)
    return None


class ReadmeSession:
    """Runs blocks in order, each once, so that a block selected alone gets its predecessors."""

    def __init__(self):
        self.namespace = {'__name__': '__main__'}
        self.done = 0
        self.skipped = {}  # block index -> why it did not run

    def run_through(self, index):
        while self.done <= index:
            line, source = BLOCKS[self.done]
            self.done += 1
            reason = why_not_runnable(source)
            if reason:
                self.skipped[self.done - 1] = reason
            elif '>>>' in source:
                self.run_doctest(line, source)
            else:
                exec(compile(source, f'{README}:{line}', 'exec'), self.namespace)

    def run_doctest(self, line, source):
        test = doctest.DocTestParser().get_doctest(source, self.namespace, 'README.md', str(README), line - 1)
        runner = doctest.DocTestRunner(optionflags=doctest.REPORT_NDIFF)
        report = io.StringIO()
        runner.run(test, out=report.write, clear_globs=False)
        self.namespace.update(test.globs)  # the doctest ran on a copy
        assert runner.failures == 0, report.getvalue()


@pytest.fixture(scope='module')
def session():
    return ReadmeSession()


def test_the_readme_has_both_kinds_of_block_and_both_fences():
    kinds = ['>>>' in source for _, source in BLOCKS]
    text = README.read_text(encoding='utf-8')
    assert len(BLOCKS) >= 8 and any(kinds) and not all(kinds)
    assert len(BLOCKS) == text.count('\n```python\n') + text.count('\n```py\n')


@pytest.mark.parametrize('index', range(len(BLOCKS)), ids=[f'line {line}' for line, _ in BLOCKS])
def test_block_runs_as_written(session, index, monkeypatch):
    monkeypatch.chdir(REPOSITORY)
    monkeypatch.setattr(sys, 'path', list(sys.path))  # a block may extend it for itself
    session.run_through(index)
    if index in session.skipped:
        assert optional_imports(BLOCKS[index][1]), 'a block that needs no optional package always runs'
        pytest.skip(session.skipped[index])


def test_only_optional_packages_can_keep_a_block_from_running():
    assert optional_imports('import json\nfrom lineage_store import lineage_stored\n') == []
    assert optional_imports('>>> import httpx\n>>> from fastapi.testclient import TestClient\n') == [
        'httpx', 'fastapi.testclient']


def table_rows(text, first_cell):
    """The Markdown table holding a row whose first cell is `first_cell`: its header and that row, as cells."""
    lines = text.splitlines()
    row = next(i for i, line in enumerate(lines) if line.startswith(f'| {first_cell} |'))
    header = row
    while lines[header - 1].startswith('|'):
        header -= 1
    cells = [[cell.strip() for cell in lines[i].strip('|').split('|')] for i in (header, row)]
    return cells[0], cells[1]


def section(text, title):
    start = text.index(f'\n## {title}\n')
    end = text.find('\n## ', start + 1)
    return text[start:end if end >= 0 else None]


def test_the_comparison_table_quotes_the_performance_section():
    text = README.read_text(encoding='utf-8')
    when_to_use, performance = section(text, 'When to use it'), section(text, 'Performance')
    _, row = table_rows(when_to_use, 'cost of a hit `obj.m(3)`, instructions (CPython 3.12, see Performance)')
    ours, lru_cache, cachetools = row[1], row[2], row[4]
    header, measured = table_rows(performance, 'hit `m(3)`, for `m(self, n, k=2)`')
    ratio, count = re.fullmatch(r'([\d.]+)x \(([\d,]+)\)', measured[header.index('CPython 3.12')]).groups()
    assert ours == count
    assert f"{int(count.replace(',', '')) / int(lru_cache.replace(',', '')):.2f}" == ratio
    spread = re.search(r'`cachetools\.cachedmethod` hits cost\s+([\d.]+ to [\d.]+) times', performance).group(1)
    assert cachetools == f"{spread} times `lru_cache`'s time"


def load_lineage_graph_example():
    spec = importlib.util.spec_from_file_location('lineage_graph', REPOSITORY / 'examples' / 'lineage_graph.py')
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_lineage_picture_colours_every_call_by_its_state_and_draws_every_edge():
    example = load_lineage_graph_example()
    book = example.example_portfolio()
    dot = example.to_dot(book)
    assert dot.startswith('digraph lineage {\n') and dot.endswith('}\n') and dot.count('{') == dot.count('}')
    nodes = {label: (node_id, fill) for node_id, label, fill in
             re.findall(r'^    (n\d+) \[label="([^"]*)", fillcolor="([^"]*)"', dot, re.MULTILINE)}
    states = book.get_validation_state()
    assert set(states.values()) == set(example.STATE_COLOURS)  # the example shows all three states
    assert {label: fill for label, (_, fill) in nodes.items()} == {
        example.call_label(call): example.STATE_COLOURS[state][0] for call, state in states.items()}
    edges = set(re.findall(r'^    (n\d+) -> (n\d+);$', dot, re.MULTILINE))
    assert edges == {(nodes[example.call_label(call)][0], nodes[example.call_label(child)][0])
                     for call, children in book.get_dependency_graph().items() for child in children}
    # The committed picture shows the same calls (redraw it when the example changes).
    svg = (REPOSITORY / 'docs' / 'lineage.svg').read_text(encoding='utf-8')
    assert set(nodes) <= {html.unescape(text) for text in re.findall(r'<text[^>]*>([^<]*)</text>', svg)}
