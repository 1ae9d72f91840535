"""What a user sees on import: names, types, signatures, construction, argument checks, borrows and GC."""

import ast
import gc
import importlib.util
import inspect
import pathlib
import weakref

import pytest

import lineage_store
from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

PUBLISHED = ['LineageStoreBase', 'lineage_stored', 'automagically_lineage_stored']
DECORATOR_TYPE = type(lineage_stored()(lambda self: None))
METHODS = {
    'get_cached_value_by_hash': '($self, hash)', 'get_cached_value': '($self, method_name, **kwargs)',
    'update_cached_value': '($self, method_name, value, **kwargs)', 'clear_cache': '($self)',
    'get_cached_values': '($self)', 'get_dependency_graph': '($self)', 'get_validation_state': '($self)',
    'dump_cache': '($self)', 'load_cache': '($self, data)',
}


def test_published_names_and_a_second_module_object_shares_the_types():
    # An empty module docstring and three public names, as published: star
    # imports and API listings made from earlier releases stay the same.
    assert lineage_store.__all__ == PUBLISHED and lineage_store.__doc__ == ''
    # The decorator type stays unexported, as published: users reach it only
    # through the two factories, and type checkers through the stubs.
    assert not hasattr(lineage_store, 'LineageStoreDecorator')
    assert [name for name in vars(LineageStoreBase) if not name.startswith('__')] == list(METHODS)
    again = importlib.util.module_from_spec(lineage_store.__spec__)
    lineage_store.__spec__.loader.exec_module(again)
    assert again is not lineage_store and all(getattr(again, n) is getattr(lineage_store, n) for n in PUBLISHED)


@pytest.mark.parametrize('cls, name, text_signature', [
    (LineageStoreBase, 'LineageStoreBase', '(*_args, **_kwargs)'),
    (lineage_stored, 'lineage_stored',
     '(use_cache=True, dependencies=None, track_runtime_dependencies=False, serialisable=False)'),
    (automagically_lineage_stored, 'automagically_lineage_stored',
     '(use_cache=True, dependencies=None, track_runtime_dependencies=True, serialisable=False)'),
    (DECORATOR_TYPE, 'LineageStoreDecorator', None),
])
def test_type_identity_and_documentation(cls, name, text_signature):
    # The types name their module 'builtins' as published: reprs, error
    # messages and checks by qualified name in users' code and logs rely on it.
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, 'builtins')
    # Empty docstrings carrying only a text signature, as published: what
    # help() and inspect.signature show users stays the same across releases.
    assert cls.__doc__ == '' and cls.__text_signature__ == text_signature  # no docstring body
    assert text_signature is None or str(inspect.signature(cls)) == text_signature


@pytest.mark.parametrize('name, text_signature', METHODS.items())
def test_method_documentation_and_signature(name, text_signature):
    method = getattr(LineageStoreBase, name)
    # A text signature and no docstring body, as published: inspect.signature
    # and the tools that list the API read exactly these signatures.
    assert method.__text_signature__ == text_signature and method.__doc__ is None
    assert str(inspect.signature(method)) == text_signature.replace('$self', 'self, /')


@pytest.mark.parametrize('make', [lambda: type('Sub', (lineage_stored,), {}), lambda: DECORATOR_TYPE(),
                                  lambda: type('Sub', (automagically_lineage_stored,), {}),
                                  lambda: type('Sub', (DECORATOR_TYPE,), {}), lambda: DECORATOR_TYPE(lambda s: 0)])
def test_decorator_types_refuse_subclassing_and_direct_construction(make):
    with pytest.raises(TypeError):
        make()


class Point(LineageStoreBase):
    def __init__(self, x):
        self.x = x


@pytest.mark.parametrize('make', [LineageStoreBase, lambda: LineageStoreBase(1, 2, key=3), lambda: Point(5)])
def test_construction_accepts_any_arguments_and_starts_empty(make):
    store = make()
    assert (store.get_cached_values(), store.get_dependency_graph(), store.get_validation_state(),
            store.dump_cache()) == ({}, {}, {}, {})
    with pytest.warns(RuntimeWarning, match="has no decorated method named 'm'"):
        assert store.get_cached_value('m') is None
    assert type(store) is not Point or (vars(store) == {'x': 5} and weakref.ref(store)() is store)


@pytest.mark.parametrize('call, match', [
    ('s.get_cached_value()', 'method_name'), ('s.get_cached_value(1)', 'method_name'),
    ("s.get_cached_value('m', method_name='x')", 'method_name'), ("s.update_cached_value('m')", 'value'),
    ("s.get_cached_value_by_hash('x')", r'get_cached_value_by_hash.*\bhash\b'), ('s.load_cache()', 'data'),
    ('s.get_cached_value_by_hash(1.0)', r'get_cached_value_by_hash.*\bhash\b'), ('s.load_cache([])', 'data'),
    ('s.clear_cache(1)', 'clear_cache'), ('s.get_cached_values(key=1)', 'get_cached_values'),
])
@pytest.mark.filterwarnings("ignore:update_cached_value:RuntimeWarning")  # 'm' names no decorated method
def test_bad_arguments_are_refused(call, match):
    store = LineageStoreBase()
    with pytest.raises(TypeError, match=match):
        eval(call, {'s': store})
    store.update_cached_value('m', 1)  # the refusal left the store unborrowed


def test_cycles_through_the_store_and_through_the_decorator_are_collected():
    def build():
        class C(LineageStoreBase):
            @lineage_stored()
            def me(self):
                return [self, C]  # held by the instance's store; the method's closure holds C

        obj = C()
        assert obj.me()[0] is obj
        return weakref.ref(obj), weakref.ref(C)

    refs = build()
    gc.collect()
    assert [ref() for ref in refs] == [None, None]


def test_installed_type_information_marks_the_final_types():
    stub = pathlib.Path(lineage_store.__file__).with_name("lineage_store-stubs") / "__init__.pyi"
    classes = {node.name: {ast.unparse(d) for d in node.decorator_list}
               for node in ast.parse(stub.read_text()).body if isinstance(node, ast.ClassDef)}
    # The stub's own helper types exist for checkers only.
    helpers = {name: decorators for name, decorators in classes.items() if name.startswith("_")}
    assert all("type_check_only" in decorators for decorators in helpers.values())
    assert {name: classes[name] for name in classes.keys() - helpers.keys()} == {
        "LineageStoreBase": {"disjoint_base"}, "LineageStoreDecorator": {"final", "type_check_only"},
        "lineage_stored": {"final"}, "automagically_lineage_stored": {"final"}}
