"""Decorator factories, declared dependencies, descriptor binding and call identity."""

import contextlib
import gc
import inspect
import sys
import weakref

import pytest

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


class Store(LineageStoreBase):
    calls = []

    @lineage_stored()
    def a(self):
        return 'a'

    @lineage_stored()
    def f(self, a, b=2):
        Store.calls.append((a, b))
        return a + b

    def g(self, ab, é, a, B, _):
        return 0

    renamed = lineage_stored()(g)  # registered as 'g'


def fake_bool(name, module, truth):  # looks like a NumPy boolean scalar, without NumPy
    return type(name, (), {'__bool__': lambda self: truth, '__module__': module})()


@pytest.mark.parametrize('factory', [lineage_stored, automagically_lineage_stored])
@pytest.mark.parametrize('option', ['use_cache', 'track_runtime_dependencies', 'serialisable'])
@pytest.mark.parametrize('bad', [0, 1, None, 'yes', fake_bool('bool_', 'numpyish', True),
                                 fake_bool('boolean', 'numpy', True)])
def test_boolean_options_accept_only_bool(factory, option, bad):
    with pytest.raises(TypeError, match=option):
        factory(**{option: bad})


@pytest.mark.parametrize('call, match', [
    ('use_cache=0, dependencies=5', 'use_cache'), ('serialisable=None, dependencies=5', 'serialisable'),
    ('cache=True', 'cache'), ('True, use_cache=True', 'use_cache'), ('True, None, False, False, False', None),
    ('lambda self: 0', 'use_cache'),  # used without parentheses
])
def test_constructor_refusals(call, match):  # booleans are checked before dependencies
    with pytest.raises(TypeError, match=match):
        eval(f'lineage_stored({call})')


@pytest.mark.parametrize('factory, cached, tracks', [
    (lineage_stored(), True, False), (automagically_lineage_stored(), True, True),
    (lineage_stored(True, None, False, False), True, False), (lineage_stored(True, None, True), True, True),
    (automagically_lineage_stored(track_runtime_dependencies=False), True, False),
    (lineage_stored(False), False, False), *[(lineage_stored(use_cache=fake_bool(name, 'numpy', truth)), truth, False)
                                            for name, truth in [('bool_', False), ('bool', False), ('bool_', True)]],
])
def test_options_take_effect(factory, cached, tracks):
    runs = []
    obj = type('C', (Store,), {'m': factory(lambda self: runs.append(self.a()) or len(runs))})()
    # A cached method that does not track its calls is warned about the one it makes.
    untracked = cached and not tracks
    with pytest.warns(RuntimeWarning, match='<lambda> called C.a') if untracked else contextlib.nullcontext():
        assert (obj.m(), obj.m()) == ((1, 1) if cached else (1, 2))
    assert obj.get_dependency_graph()['a'] == ({'<lambda>'} if tracks else set())


@pytest.mark.parametrize('dependencies, error', [
    ([], None), (['a', ('b', {'x': 1})], None), (type('L', (list,), {})(['a']), None),
    ([('a', {'x': []})], 'unhashable'), ([('a', {1: 2})], 'unhashable'),  # refused when applied
    ((('a', {}),), TypeError), (5, TypeError), ([(5, {})], TypeError), ([('a', None)], TypeError),
    ([('a',)], ValueError), ([('a', {}, 1)], ValueError), ([5], ValueError), (['a', 5], ValueError),
])
def test_dependency_parsing(dependencies, error):
    if error in (None, 'unhashable'):
        factory = lineage_stored(dependencies=dependencies)
        with pytest.raises(TypeError) if error else contextlib.nullcontext():
            factory(lambda self: 0)
    else:
        with pytest.raises(error) as raised:
            lineage_stored(dependencies=dependencies)
        assert error is TypeError or str(raised.value) == 'Dependency must be a tuple (str, dict) or a str'


# True == 1, so f(True) is the call f(1); f(2) never ran; a declared call names every argument, defaults included.
@pytest.mark.parametrize('dependencies, cached, missing', [
    (['a', ('f', {'a': 1, 'b': 2})], True, None), ([('f', {'b': 2, 'a': True})], True, None),
    (['a', ('f', {'a': 2, 'b': 2})], False, None), (['a', ('f', {'a': 1})], False, 'b'),
])
def test_declared_dependencies_name_one_call_each(dependencies, cached, missing):
    runs = []
    obj = type('C', (Store,), {'m': lineage_stored(dependencies=dependencies)(lambda self: runs.append(0))})()
    warned = pytest.warns(RuntimeWarning, match=f"on 'f' .* missing '{missing}'") if missing else contextlib.nullcontext()
    with warned:
        obj.a(), obj.f(1), obj.m(), obj.m()
    state = obj.get_validation_state()['<lambda>']  # registered under the function's name
    assert (len(runs), state) == ((1, 'valid') if cached else (2, 'permanently invalid'))
    assert not cached or obj.get_dependency_graph()[('f', (('a', 1), ('b', 2)))] == {'<lambda>'}


@pytest.mark.parametrize('params, rendered', [
    ('self, x', '["self", "x"]'), ('', '[]'), ('this', '["this"]'), ('self, *args', '["self", "args"]'),
])
def test_serialisable_method_must_take_only_self(params, rendered):
    with pytest.raises(ValueError) as raised:
        type('C', (LineageStoreBase,), {'m': lineage_stored(serialisable=True)(eval(f'lambda {params}: 0'))})
    assert str(raised.value) == "Serialisable method must have exactly one parameter named 'self', got: " + rendered


@pytest.mark.parametrize('instance_dict', [lambda obj: obj.__dict__, vars])
def test_descriptor_binding_assignment_deletion_and_no_shadowing(instance_dict):
    decorator, obj = Store.__dict__['f'], Store()
    assert Store.f is decorator and obj.f.__self__ is obj and obj.f.__func__ is decorator
    with pytest.raises(TypeError, match='^cannot assign to decorated method$'):
        obj.f = 1
    with pytest.raises(NotImplementedError, match="^can't delete descriptor$"):
        del obj.f
    instance_dict(obj)['f'] = lambda a: 'shadow'
    # Call syntax, outside the assert that pytest rewrites into an attribute
    # read, and often enough that the interpreter specialises the call site.
    called = [obj.f(1) for _ in range(20)]
    assert called == [3] * 20 and obj.f.__func__ is decorator and getattr(obj, 'f')(1) == 3


def test_argument_forms_are_one_call_named_by_the_function_with_arguments_in_code_point_order():
    Store.calls, obj = [], type('Sub', (Store,), {})()
    assert [obj.f(1), obj.f(a=1), obj.f(1, 2), obj.f(b=2, a=1), Store.f(obj, 1)] == [3] * 5
    assert obj.renamed(1, 2, 3, 4, 5) == 0 and Store.calls == [(1, 2)]
    g_key = ('g', (('B', 4), ('_', 5), ('a', 3), ('ab', 1), ('é', 2)))
    assert obj.get_cached_values() == {('f', (('a', 1), ('b', 2))): 3, g_key: 0}
    assert obj.get_cached_value('g', a=3, ab=1, B=4, é=2, _=5) == 0
    with pytest.warns(RuntimeWarning, match="'renamed' is the attribute .* name it 'g'"):
        assert obj.get_cached_value('renamed') is None


@pytest.mark.parametrize('call, error, message', [
    ('obj.f(1, c=3)', TypeError, "got an unexpected keyword argument 'c'"),
    ('obj.f([1])', TypeError, 'unhashable'),
    ('Store.f()', ValueError, '^lineage_stored can only be used as an instance method decorator$'),
    ('Store.f(42)', TypeError, "^the decorated method's class must inherit from LineageStoreBase$"),
    ("Store.__dict__['f'].__get__(object())(1)", TypeError, 'must inherit from LineageStoreBase'),
])
def test_misuse_is_refused_and_computes_nothing(call, error, message):
    Store.calls, obj = [], Store()
    with pytest.raises(error, match=message):
        eval(call, {'obj': obj, 'Store': Store})
    assert Store.calls == [] and obj.get_validation_state() == {}


# ---------------------------------------------------------------------------
# What cannot be cached is refused when the class is defined

def generator(self):
    yield 1


async def coroutine(self):
    return 1


async def async_generator(self):
    yield 1


@pytest.mark.parametrize('factory', [lineage_stored, automagically_lineage_stored])
@pytest.mark.parametrize('func, what', [(generator, 'a generator function'),
                                        (async_generator, 'an async generator function')])
def test_functions_whose_result_is_consumed_once_are_refused_unless_never_cached(factory, func, what):
    with pytest.raises(TypeError, match=f"cannot cache '{func.__name__}', {what}: .* use_cache=False"):
        type('C', (LineageStoreBase,), {'m': factory()(func)})
    obj = type('C', (LineageStoreBase,), {'m': factory(use_cache=False)(func)})()
    results = [obj.m(), obj.m()]
    assert results[0] is not results[1]  # a new generator or coroutine at every call
    for result in results:
        if hasattr(result, 'close'):
            result.close()


def test_a_coroutine_function_cannot_be_serialisable():
    # dump and load never await, so they could never take its values
    with pytest.raises(TypeError, match="cannot make 'coroutine' serialisable: it is a coroutine function"):
        lineage_stored(serialisable=True)(coroutine)


@pytest.mark.parametrize('wrapper', [staticmethod, classmethod, property])
def test_method_wrappers_are_refused_with_advice(wrapper):
    wrapped = wrapper(lambda self: 0)
    if not hasattr(wrapped, '__name__'):  # a property before 3.13: the name check answers
        with pytest.raises(AttributeError, match='__name__'):
            lineage_stored()(wrapped)
        return
    with pytest.raises(TypeError, match=f'cannot decorate a {wrapper.__name__} object: .*plain'):
        lineage_stored()(wrapped)


class Subproperty(property):
    pass


@pytest.mark.parametrize('wrapper', [property, Subproperty])
def test_a_property_over_a_decorated_method_reads_its_cached_value(wrapper):
    class C(LineageStoreBase):
        @wrapper
        @lineage_stored()
        def value(self):
            return object()

    obj = C()
    assert obj.value is obj.value


@pytest.mark.parametrize('factory, func, error', [
    (lineage_stored(dependencies=[('d', {'x': []})]), coroutine, TypeError),  # hashing a dependency comes first
    (lineage_stored(serialisable=True), lambda self, x: (yield), ValueError),  # so does the serialisable check
])
def test_earlier_checks_answer_first(factory, func, error):
    with pytest.raises(error) as raised:
        factory(func)
    assert 'cannot cache' not in str(raised.value)


class NamedCallable:
    __name__ = 'named'

    def __call__(self, this):
        return 'called'


@pytest.mark.parametrize('func, first_parameter, expected', [(NamedCallable(), 'this', 'called'), (len, 'obj', 3)])
def test_other_objects_with_a_string_name_are_cached_methods(func, first_parameter, expected):
    class Sized(LineageStoreBase):
        method = lineage_stored()(func)

        def __len__(self):
            return 3

    obj = Sized()
    assert obj.method() == expected
    # Only a first parameter named self leaves the call's identity.
    assert obj.get_cached_values() == {(func.__name__, ((first_parameter, obj),)): expected}


# ---------------------------------------------------------------------------
# Abstract methods

import abc  # noqa: E402


class Abstract(LineageStoreBase, abc.ABC):
    @lineage_stored()
    @abc.abstractmethod
    def value(self):
        ...


def test_a_decorated_abstract_method_keeps_its_class_abstract():
    assert Abstract.value.__isabstractmethod__ is True
    with pytest.raises(TypeError, match='abstract'):
        Abstract()

    class Concrete(Abstract):
        @lineage_stored()
        def value(self):
            return object()

    obj = Concrete()
    assert Concrete.value.__isabstractmethod__ is False
    assert obj.value() is obj.value()


def test_abstractmethod_above_the_decorator_fails_at_class_creation_saying_what_to_do():
    with pytest.raises(AttributeError, match='put @abc.abstractmethod below'):
        class Wrong(LineageStoreBase, abc.ABC):
            @abc.abstractmethod
            @lineage_stored()
            def value(self):
                ...


class RaisingMark:
    __name__ = 'm'

    def __call__(self, this):
        return 0

    @property
    def __isabstractmethod__(self):
        raise ValueError('broken mark')


@pytest.mark.parametrize('func, expected', [(RaisingMark(), ValueError), (len, False)])
def test_isabstractmethod_reports_the_wrapped_callables_attribute(func, expected):
    decorator = lineage_stored()(func)
    if expected is ValueError:
        with pytest.raises(ValueError, match='broken mark'):
            decorator.__isabstractmethod__
    else:
        assert decorator.__isabstractmethod__ is expected


@pytest.mark.parametrize("factory", [lineage_stored, automagically_lineage_stored])
def test_a_decorator_made_without_a_class_goes_with_its_last_reference(factory):
    # Nothing may tie a decorator into a reference cycle of its own: with the
    # cycle collector off, the wrapped function is only freed if the
    # decorator is.
    def method(self):
        return 1

    function_freed = weakref.ref(method)
    decorator = factory()(method)
    del method
    decorator.__get__(LineageStoreBase())  # binding must leave nothing behind either
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        del decorator
        assert function_freed() is None
    finally:
        if was_enabled:
            gc.enable()


# ---------------------------------------------------------------------------
# Messages that say what to do


@pytest.mark.parametrize('call', ['Store.a(Store)', 'Store.f(Store, 1)', 'Store.f(type("Sub", (Store,), {}))'])
def test_a_method_called_through_the_class_on_the_class_says_to_call_it_on_an_instance(call):
    with pytest.raises(TypeError) as raised:
        eval(call)
    message = str(raised.value)
    assert message.startswith("the decorated method's class must inherit from LineageStoreBase")
    assert 'call it on an instance' in message


@pytest.mark.parametrize('factory', [lineage_stored, automagically_lineage_stored])
def test_a_factory_used_without_parentheses_says_to_add_them(factory):
    with pytest.raises(TypeError) as raised:
        class Model(LineageStoreBase):
            @factory
            def value(self):
                return 1
    assert 'parentheses' in str(raised.value) and f'@{factory.__name__}()' in str(raised.value)


def star(self, a, *args, k=2, **options):
    return 0


def through_inspect(self, a, *args, k=2, **options):
    return 0


through_inspect.__signature__ = inspect.signature(through_inspect)


class Unhashable(LineageStoreBase):
    native = lineage_stored()(star)
    inspected = lineage_stored()(through_inspect)

    @lineage_stored()
    def defaulted(self, x=[]):  # noqa: B006  (the default is the unhashable argument)
        return 0


@pytest.mark.parametrize('method', ['native', 'inspected'])
@pytest.mark.parametrize('args, kwargs, parameter', [
    (([1],), {}, 'a'), ((1,), {'k': {}}, 'k'), ((1, 2, [3]), {}, 'args'), ((1,), {'z': [1]}, 'options'),
])
def test_an_unhashable_argument_keeps_its_error_and_gains_a_note_naming_the_parameter(method, args, kwargs, parameter):
    obj = Unhashable()
    unhashable = next(v for v in [*args, *kwargs.values()] if not isinstance(v, int))
    with pytest.raises(TypeError) as expected:
        hash(unhashable)
    with pytest.raises(TypeError) as raised:
        getattr(obj, method)(*args, **kwargs)
    assert type(raised.value) is TypeError and str(raised.value) == str(expected.value)
    name = star.__name__ if method == 'native' else through_inspect.__name__
    if sys.version_info < (3, 11):
        assert not hasattr(raised.value, '__notes__')
    else:
        [note] = raised.value.__notes__
        assert f"cached method '{name}'" in note and f"argument '{parameter}' must be hashable" in note
    assert obj.get_validation_state() == {}


def test_an_unhashable_default_is_named_in_the_note():
    with pytest.raises(TypeError) as raised:
        Unhashable().defaulted()
    assert str(raised.value) == "unhashable type: 'list'"
    if sys.version_info >= (3, 11):
        assert "cached method 'defaulted': argument 'x' must be hashable" in raised.value.__notes__[0]
