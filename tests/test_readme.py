"""Every Python block of README.md runs, exactly as written, against the installed module.

Convention: the ```python blocks run in README order in one shared namespace,
so a block may use what earlier blocks defined; the working directory is the
repository root. A block with `>>>` prompts is a doctest whose output must
match exactly; any other block runs as a script and passes when it raises
nothing (its asserts included). Other fences (```sh) are not run.
"""
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
FENCE = re.compile(r'^```python\n(.*?)^```$', re.MULTILINE | re.DOTALL)


def python_blocks():
    text = README.read_text(encoding='utf-8')
    return [(text.count('\n', 0, match.start(1)) + 1, match.group(1)) for match in FENCE.finditer(text)]


BLOCKS = python_blocks()


class ReadmeSession:
    """Runs blocks in order, each once, so that a block selected alone gets its predecessors."""

    def __init__(self):
        self.namespace = {'__name__': 'readme'}
        self.done = 0

    def run_through(self, index):
        while self.done <= index:
            line, source = BLOCKS[self.done]
            self.done += 1
            if '>>>' in source:
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


def test_the_readme_has_both_kinds_of_block():
    kinds = ['>>>' in source for _, source in BLOCKS]
    assert len(BLOCKS) >= 8 and any(kinds) and not all(kinds)


@pytest.mark.parametrize('index', range(len(BLOCKS)), ids=[f'line {line}' for line, _ in BLOCKS])
def test_block_runs_as_written(session, index, monkeypatch):
    monkeypatch.chdir(REPOSITORY)
    monkeypatch.setattr(sys, 'path', list(sys.path))  # a block may extend it for itself
    session.run_through(index)


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
