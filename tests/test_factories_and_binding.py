"""Decorator factories, declared dependencies, descriptor binding and the
identity of a call as seen through decorated methods."""

import types

import pytest

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

BAD_DEPENDENCY = 'Dependency must be a tuple (str, dict) or a str'


def counting_class(factory, base=LineageStoreBase):
    """A store class whose method `m` counts how often it really runs."""
    class C(base):
        runs = 0

        @factory
        def m(self):
            C.runs += 1
            return C.runs

    return C


def runs_twice(factory):
    obj = counting_class(factory)()
    return (obj.m(), obj.m()) == (1, 2)


def fake_scalar(name, module, truth):
    """Looks like a NumPy boolean scalar, without NumPy being imported."""
    return type(name, (), {'__bool__': lambda self: truth, '__module__': module})()


@pytest.mark.parametrize('factory', [lineage_stored, automagically_lineage_stored])
@pytest.mark.parametrize('option', ['use_cache', 'track_runtime_dependencies', 'serialisable'])
@pytest.mark.parametrize('bad', [0, 1, None, 'yes'])
def test_boolean_options_accept_only_bool(factory, option, bad):
    with pytest.raises(TypeError, match=option):
        factory(**{option: bad})


@pytest.mark.parametrize('factory, uncached', [
    (lineage_stored(False), True), (lineage_stored(use_cache=False), True),
    (lineage_stored(True, None, False, False), False), (automagically_lineage_stored(), False),
    (lineage_stored(use_cache=fake_scalar('bool_', 'numpy', False)), True),
    (lineage_stored(use_cache=fake_scalar('bool', 'numpy', False)), True),
    (lineage_stored(use_cache=fake_scalar('bool_', 'numpy', True)), False),
])
def test_use_cache_option(factory, uncached):
    assert runs_twice(factory) == uncached


@pytest.mark.parametrize('args, kwargs, match', [
    ((), {'use_cache': fake_scalar('bool_', 'numpyish', True)}, 'use_cache'),
    ((), {'serialisable': fake_scalar('boolean', 'numpy', True)}, 'serialisable'),
    ((), {'use_cache': 0, 'dependencies': 5}, 'use_cache'),
    ((), {'serialisable': None, 'dependencies': 5}, 'serialisable'),  # booleans come before dependencies
    ((), {'cache': True}, 'cache'),
    ((True,), {'use_cache': True}, 'use_cache'),
    ((True, None, False, False, False), {}, None),
])
def test_constructor_refusals(args, kwargs, match):
    with pytest.raises(TypeError, match=match):
        lineage_stored(*args, **kwargs)


def test_decorator_without_parentheses_names_use_cache():
    with pytest.raises(TypeError, match='use_cache'):
        counting_class(lineage_stored)


class Base(LineageStoreBase):
    @lineage_stored()
    def a(self):
        return 'a'

    @lineage_stored()
    def b(self, x):
        return x


@pytest.mark.parametrize('factory, tracks', [
    (lineage_stored(), False), (automagically_lineage_stored(), True), (lineage_stored(True, None, True), True),
    (automagically_lineage_stored(track_runtime_dependencies=False), False),
])
def test_runtime_tracking_option(factory, tracks):
    obj = type('C', (Base,), {'outer': factory(lambda self: self.a())})()
    assert obj.outer() == 'a'
    assert obj.get_dependency_graph()['a'] == ({'<lambda>'} if tracks else set())


@pytest.mark.parametrize('dependencies, error', [
    ([], None), (['a', ('b', {'x': 1})], None), (type('L', (list,), {})(['a']), None),
    ((('a', {}),), TypeError), (5, TypeError), ([(5, {})], TypeError), ([('a', None)], TypeError),
    ([('a',)], ValueError), ([('a', {}, 1)], ValueError), ([5], ValueError), (['a', 5], ValueError),
])
def test_dependency_parsing(dependencies, error):
    if error is None:
        lineage_stored(dependencies=dependencies)(lambda self: 0)
        return
    with pytest.raises(error) as raised:
        lineage_stored(dependencies=dependencies)
    assert error is TypeError or str(raised.value) == BAD_DEPENDENCY


@pytest.mark.parametrize('kwargs', [{'x': []}, {1: 2}])
def test_dependency_dicts_are_hashed_at_each_application(kwargs):
    kwargs = dict(kwargs)
    factory = lineage_stored(dependencies=[('a', kwargs)])
    with pytest.raises(TypeError):
        factory(lambda self: 0)
    kwargs.clear()  # the factory reads the user's own dict when applied
    factory(lambda self: 0)


@pytest.mark.parametrize('params, rendered', [
    ('self, x', '["self", "x"]'), ('', '[]'), ('this', '["this"]'), ('self, *args', '["self", "args"]'),
])
def test_serialisable_method_must_take_only_self(params, rendered):
    namespace = {}
    exec(f'def m({params}): return 0', namespace)
    with pytest.raises(ValueError) as raised:
        type('C', (LineageStoreBase,), {'m': lineage_stored(serialisable=True)(namespace['m'])})
    assert str(raised.value) == "Serialisable method must have exactly one parameter named 'self', got: " + rendered
    lineage_stored(serialisable=True)(lambda self: 0)


@pytest.mark.parametrize('name, error', [(None, AttributeError), (5, TypeError)])
def test_decorated_object_needs_a_str_name(name, error):
    func = type('Callable', (), {'__call__': lambda self, owner: 0})()
    if name is not None:
        func.__name__ = name
    with pytest.raises(error):
        lineage_stored()(func)


@pytest.mark.parametrize('dependencies, cached', [
    (['a', ('b', {'x': 1})], True),
    ([('b', {'x': True})], True),  # True == 1: the same call
    (['a', ('b', {'x': 2})], False),  # b(x=2) never ran
    (['a', 'b'], False),  # a declared call spells out every argument of the call
])
def test_declared_dependency_hashes(dependencies, cached):
    C = counting_class(lineage_stored(dependencies=dependencies), Base)
    obj = C()
    obj.a(), obj.b(1), obj.m(), obj.m()
    assert C.runs == (1 if cached else 2)
    assert obj.get_validation_state()['m'] == ('valid' if cached else 'permanently invalid')


def test_declared_edges_reach_the_dependant():
    obj = counting_class(lineage_stored(dependencies=['a', ('b', {'x': 1})]), Base)()
    obj.a(), obj.b(x=1), obj.m()
    assert obj.get_dependency_graph() == {'a': {'m'}, ('b', (('x', 1),)): {'m'}, 'm': set()}


def test_dependant_called_before_its_dependencies_stays_uncached():
    C = counting_class(lineage_stored(dependencies=['a', ('b', {'x': 1})]), Base)
    obj = C()
    obj.m(), obj.a(), obj.b(x=1), obj.m(), obj.m()
    assert C.runs == 3 and obj.get_validation_state()['m'] == 'permanently invalid'


class Counted(LineageStoreBase):
    calls = []

    @lineage_stored()
    def f(self, a, b=2):
        Counted.calls.append((a, b))
        return a + b


def test_binding():
    decorator, obj = Counted.__dict__['f'], Counted()
    assert Counted.f is decorator and Counted.f is Counted.f
    bound = obj.f
    assert type(bound) is types.MethodType and bound is not obj.f
    assert bound.__self__ is obj and bound.__func__ is decorator


def test_decorated_method_cannot_be_replaced_through_an_instance():
    obj = Counted()
    with pytest.raises(TypeError, match='^cannot assign to decorated method$'):
        obj.f = 1
    with pytest.raises(NotImplementedError, match="^can't delete descriptor$"):
        del obj.f
    obj.__dict__['f'] = 'shadow'
    assert obj.f.__func__ is Counted.__dict__['f'] and obj.f(1) == 3


def test_assignment_on_the_class_replaces_the_decorator():
    C = counting_class(lineage_stored())
    C.m = lambda self: 'plain'
    assert C().m() == 'plain'


def test_argument_forms_are_one_call():
    Counted.calls = []
    obj = type('Sub', (Counted,), {})()
    results = [obj.f(1), obj.f(a=1), obj.f(1, 2), obj.f(b=2, a=1), Counted.f(obj, 1)]
    assert results == [3] * 5 and Counted.calls == [(1, 2)]
    assert obj.get_cached_values() == {('f', (('a', 1), ('b', 2))): 3}


@pytest.mark.parametrize('call, error, message', [
    ('obj.f(1, c=3)', TypeError, "got an unexpected keyword argument 'c'"),
    ('obj.f([1])', TypeError, 'unhashable'),
    ('Counted.f()', ValueError, '^lineage_stored can only be used as an instance method decorator$'),
    ('Counted.f(42)', TypeError, "^the decorated method's class must inherit from LineageStoreBase$"),
    ("Counted.__dict__['f'].__get__(object())(1)", TypeError, 'must inherit from LineageStoreBase'),
])
def test_rejected_calls_compute_nothing(call, error, message):
    Counted.calls = []
    obj = Counted()
    with pytest.raises(error, match=message):
        eval(call, {'obj': obj, 'Counted': Counted})
    assert Counted.calls == [] and obj.get_validation_state() == {}


def test_method_is_registered_under_its_function_name():
    def f(self):
        return 7

    obj = type('C', (LineageStoreBase,), {'g': lineage_stored()(f)})()
    assert obj.g() == 7
    assert (obj.get_cached_value('f'), obj.get_cached_value('g')) == (7, None)
    assert obj.get_cached_values() == {'f': 7}


def test_arguments_are_sorted_by_code_point():
    class C(LineageStoreBase):
        @lineage_stored()
        def m(self, ab, é, a, B, _):
            return 0

    obj = C()
    obj.m(1, 2, 3, 4, 5)
    assert list(obj.get_cached_values()) == [('m', (('B', 4), ('_', 5), ('a', 3), ('ab', 1), ('é', 2)))]
    assert obj.get_cached_value('m', a=3, ab=1, B=4, é=2, _=5) == 0
