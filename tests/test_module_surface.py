"""What a user sees on import: the published names, the four types, the
store's methods and construction, argument checks, the re-entrancy guard and
garbage collection."""

import gc
import importlib.util
import inspect
import weakref

import pytest

import lineage_store
from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

PUBLISHED = ['LineageStoreBase', 'lineage_stored', 'automagically_lineage_stored']
DECORATOR_TYPE = type(lineage_stored()(lambda self: None))
METHODS = {
    'get_cached_value_by_hash': '($self, hash)',
    'get_cached_value': '($self, method_name, **kwargs)',
    'update_cached_value': '($self, method_name, value, **kwargs)',
    'clear_cache': '($self)',
    'get_cached_values': '($self)',
    'get_dependency_graph': '($self)',
    'get_validation_state': '($self)',
    'dump_cache': '($self)',
    'load_cache': '($self, data)',
}


def test_published_names():
    assert lineage_store.__all__ == PUBLISHED
    assert not hasattr(lineage_store, 'LineageStoreDecorator')
    assert lineage_store.__doc__ == ''
    assert [name for name in vars(LineageStoreBase) if not name.startswith('__')] == list(METHODS)


def test_second_module_object_shares_the_type_objects():
    spec = lineage_store.__spec__
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not lineage_store and again.__all__ == PUBLISHED
    assert all(getattr(again, name) is getattr(lineage_store, name) for name in PUBLISHED)


@pytest.mark.parametrize('cls, name, text_signature', [
    (LineageStoreBase, 'LineageStoreBase', '(*_args, **_kwargs)'),
    (lineage_stored, 'lineage_stored',
     '(use_cache=True, dependencies=None, track_runtime_dependencies=False, serialisable=False)'),
    (automagically_lineage_stored, 'automagically_lineage_stored',
     '(use_cache=True, dependencies=None, track_runtime_dependencies=True, serialisable=False)'),
    (DECORATOR_TYPE, 'LineageStoreDecorator', None),
])
def test_type_identity_and_documentation(cls, name, text_signature):
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, 'builtins')
    # Empty once the signature line is split off: the docstring has no body.
    assert cls.__doc__ == '' and cls.__text_signature__ == text_signature
    if text_signature is not None:
        assert str(inspect.signature(cls)) == text_signature


@pytest.mark.parametrize('name, text_signature', METHODS.items())
def test_method_documentation_and_signature(name, text_signature):
    method = getattr(LineageStoreBase, name)
    assert method.__text_signature__ == text_signature and method.__doc__ is None
    assert str(inspect.signature(method)) == text_signature.replace('$self', 'self, /')


@pytest.mark.parametrize('base', [lineage_stored, automagically_lineage_stored, DECORATOR_TYPE])
def test_only_the_store_base_can_be_subclassed(base):
    with pytest.raises(TypeError):
        type('Sub', (base,), {})


@pytest.mark.parametrize('args', [(), (lambda self: 0,)])
def test_decorator_type_cannot_be_instantiated(args):
    with pytest.raises(TypeError):
        DECORATOR_TYPE(*args)


def views(store):
    return (store.get_cached_values(), store.get_dependency_graph(),
            store.get_validation_state(), store.dump_cache())


@pytest.mark.parametrize('args, kwargs', [((), {}), ((1, 2), {'key': 3})])
def test_construction_ignores_arguments(args, kwargs):
    store = LineageStoreBase(*args, **kwargs)
    assert views(store) == ({}, {}, {}, {}) and store.get_cached_value('m') is None


def test_subclass_with_own_init_dict_and_weakref():
    class Point(LineageStoreBase):
        def __init__(self, x):
            self.x = x

    point = Point(5)
    assert point.__dict__ == {'x': 5} and weakref.ref(point)() is point
    assert views(point) == ({}, {}, {}, {})


def test_two_instances_are_independent():
    class C(LineageStoreBase):
        runs = 0

        @lineage_stored()
        def m(self):
            C.runs += 1
            return C.runs

    a, b = C(), C()
    assert a.m() == 1 and views(b) == ({}, {}, {}, {})
    b.update_cached_value('m', 'b only')
    assert (a.m(), b.m()) == (1, 2)
    assert (a.get_cached_values(), b.get_cached_values()) == ({'m': 1}, {'m': 2})


@pytest.mark.parametrize('call, error, match', [
    ('s.get_cached_value()', TypeError, 'method_name'),
    ('s.get_cached_value(1)', TypeError, 'method_name'),
    ("s.get_cached_value('m', method_name='x')", TypeError, 'method_name'),
    ("s.update_cached_value('m')", TypeError, 'value'),
    ("s.get_cached_value_by_hash('x')", TypeError, r'get_cached_value_by_hash.*\bhash\b'),
    ('s.get_cached_value_by_hash(1.0)', TypeError, r'get_cached_value_by_hash.*\bhash\b'),
    ('s.get_cached_value_by_hash(2**63)', OverflowError, None),
    ('s.get_cached_value_by_hash(-2**63 - 1)', OverflowError, None),
    ('s.clear_cache(1)', TypeError, 'clear_cache'),
    ('s.get_cached_values(key=1)', TypeError, 'get_cached_values'),
    ('s.load_cache([])', TypeError, 'data'),
    ('s.load_cache()', TypeError, 'data'),
])
def test_bad_arguments_are_refused(call, error, match):
    store = LineageStoreBase()
    with pytest.raises(error, match=match):
        eval(call, {'s': store})
    store.update_cached_value('m', 1)  # the refusal left the store unborrowed
    assert store.get_cached_value_by_hash(2**63 - 1) is None


@pytest.mark.parametrize('outer, inner, message', [
    ("s.update_cached_value('m', 1, k=key)", 'get_cached_values', 'Already mutably borrowed'),
    ("s.get_cached_value('m', k=key)", 'clear_cache', 'Already borrowed'),
])
def test_reentrant_store_access_is_refused(outer, inner, message):
    store, errors = LineageStoreBase(), []

    class Key:
        def __hash__(self):
            try:
                getattr(store, inner)()
            except RuntimeError as error:
                errors.append(str(error))
                raise
            return 0

    # An update reports the failed hash; a lookup just finds nothing.
    if outer.startswith('s.update'):
        with pytest.raises(RuntimeError, match=f'^{message}$'):
            eval(outer, {'s': store, 'key': Key()})
    else:
        assert eval(outer, {'s': store, 'key': Key()}) is None
    assert errors == [message]
    store.update_cached_value('m', 2)  # the borrow was given back
    assert store.get_cached_values() == {}


def test_instance_referenced_by_its_own_cached_value_is_collected():
    class C(LineageStoreBase):
        @lineage_stored()
        def me(self):
            return [self]

    obj = C()
    assert obj.me()[0] is obj
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None


def test_class_whose_method_closes_over_it_is_collected():
    def build():
        class C(LineageStoreBase):
            @lineage_stored()
            def m(self):
                return C

        return weakref.ref(C)

    ref = build()
    gc.collect()
    assert ref() is None
