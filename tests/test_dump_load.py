"""Dumping serialisable values to a dict and loading them back."""
import pickle
from collections import Counter

import pytest

from lineage_store import LineageStoreBase, lineage_stored

serialisable = lineage_stored(serialisable=True)


class Store(LineageStoreBase):
    inits = 0
    marker = 5

    def __init__(self):
        type(self).inits += 1
        self.runs = Counter()
        self.hook = lambda: self.runs.update(['hook'])

    def _count(self, name):
        self.runs[name] += 1
        return [name, 'computed']  # a new object on every computation

    @serialisable
    def a(self):
        return self._count('a')

    @serialisable
    def _private(self):
        return self._count('_private')

    @serialisable
    def __hidden__(self):
        return self._count('__hidden__')

    @lineage_stored(serialisable=True, use_cache=False)
    def volatile(self):
        return self._count('volatile')

    @lineage_stored()
    def plain_stored(self):
        return self._count('plain_stored')

    def side_effect(self):
        return self._count('side_effect')

    @property
    def prop(self):
        return self._count('prop')


def method(name, body, decorator=serialisable):
    def wrapped(self):
        return body(self)
    wrapped.__name__ = name  # the call hash uses the function's name
    return decorator(wrapped)


def methods(prefix, count):
    return {f'{prefix}{i}': method(f'{prefix}{i}', lambda self, i=i: (prefix, i)) for i in range(count)}


Many = type('Many', (LineageStoreBase,), methods('m', 6))
Derived = type('Derived', (Many,), {**methods('d', 3), 'm0': method('m0', lambda self: 'derived m0')})
HIDERS = {'plain method': lambda self: 'x', 'property': property(lambda self: 'x'),
          'non-serialisable': lineage_stored()(lambda self: 'x'), 'class attribute': 3}


def test_round_trip_serves_loaded_values_without_recomputing():
    data = pickle.loads(pickle.dumps(Store().dump_cache()))
    assert set(data) == {'a', '_private', 'volatile'}  # dunder names are never dumped
    fresh = Store()
    assert fresh.load_cache(data) is None
    assert fresh.runs == {'a': 1, '_private': 1, 'volatile': 1}  # each loaded method called once
    for name in ('a', '_private'):
        assert fresh.get_cached_value(name) is data[name] and getattr(fresh, name)() is data[name]
    assert fresh.get_cached_value('volatile') is None and fresh.volatile() is not data['volatile']
    assert fresh.runs == {'a': 1, '_private': 1, 'volatile': 2}


def test_dump_serves_valid_values_and_computes_the_rest():
    s = Store()
    first = s.a()
    dumped = s.dump_cache()
    assert dumped['a'] is first and s.runs['a'] == 1
    s.clear_cache()
    again = s.dump_cache()
    assert again['a'] is not first and s.runs['a'] == 2 and s.get_cached_value('a') is again['a']


@pytest.mark.parametrize('cls', [LineageStoreBase, type('NoSerialisable', (Store,), {
    'a': None, '_private': None, 'volatile': None})])
def test_nothing_serialisable_dumps_empty(cls):
    assert cls().dump_cache() == {}


@pytest.mark.parametrize('hider', HIDERS)
def test_subclass_redefinition_hides_name(hider):
    sub = type('Sub', (Store,), {'a': HIDERS[hider]})()
    assert set(sub.dump_cache()) == {'_private', 'volatile'}
    with pytest.raises(ValueError):
        sub.load_cache({'a': 1})


def test_order_varies_within_class_and_derived_come_first():
    m = Many()
    dumps = [m.dump_cache() for _ in range(50)]
    assert all(d == dumps[0] for d in dumps) and len({tuple(d) for d in dumps}) > 1
    derived = Derived()
    for _ in range(20):
        keys = list(derived.dump_cache())
        assert set(keys[:4]) == {'d0', 'd1', 'd2', 'm0'} and set(keys[4:]) == {'m1', 'm2', 'm3', 'm4', 'm5'}
    assert derived.dump_cache()['m0'] == 'derived m0'


def test_method_raising_during_dump_propagates():
    class Boom(Exception):
        pass

    def fail(self):
        raise Boom

    with pytest.raises(Boom):
        type('Failing', (Store,), {'b': method('b', fail)})().dump_cache()


def test_load_of_empty_dict_does_nothing():
    s = Store()
    assert s.load_cache({}) is None and s.runs == {} and s.get_cached_values() == {}


@pytest.mark.parametrize('data, error', [({'missing': 1}, AttributeError), ({1: 2}, TypeError),
                                         ({'a': 'loaded', 'missing': 2}, AttributeError),
                                         ({'a': 'loaded', 3: 2}, TypeError)])
def test_load_failures_keep_earlier_entries(data, error):
    s = Store()
    with pytest.raises(error):
        s.load_cache(data)
    assert s.get_cached_value('a') == data.get('a')


@pytest.mark.parametrize('data', [[('a', 1)], None, type('D', (dict,), {})(a='sub')])
def test_load_requires_a_dict(data):
    s = Store()
    if isinstance(data, dict):
        s.load_cache(data)
        assert s.get_cached_value('a') == 'sub'
    else:
        with pytest.raises(TypeError):
            s.load_cache(data)


@pytest.mark.parametrize('mutate', [lambda d: d.pop('a'), lambda d: d.update(extra=1)])
def test_dict_mutated_by_loaded_method(mutate):
    data = {'a': 'loaded a', 'b': 'loaded b'}
    s = type('Mutating', (Store,), {'b': method('b', lambda self: mutate(data))})()
    with pytest.raises(BaseException) as caught:
        s.load_cache(data)
    assert str(caught.value) == 'dictionary changed size during iteration'
    assert type(caught.value).__bases__ == (BaseException,)
    assert s.get_cached_value('b') == 'loaded b'  # the entry in hand was stored


UNSAFE = ['clear_cache', '__class__', '__init__', 'side_effect', 'prop', 'plain_stored', 'marker', 'hook',
          '__hidden__', 'runs']


@pytest.mark.parametrize('key', UNSAFE)
def test_load_refuses_keys_that_are_not_serialisable_methods(key):
    s = Store()
    inits = Store.inits
    with pytest.raises(ValueError):
        s.load_cache({'a': 'loaded', key: 'bad', '_private': 'not reached'})
    assert s.runs == {'a': 1} and Store.inits == inits  # nothing of the bad key was called or read
    assert s.get_cached_value('a') == 'loaded' and s.get_cached_value('_private') is None


@pytest.mark.parametrize('cls', [Store, Many, Derived, *(type('Sub', (Store,), {'a': h}) for h in HIDERS.values())])
def test_every_dump_loads_unchanged(cls):
    data = cls().dump_cache()
    target = cls()
    target.load_cache(data)
    assert target.dump_cache() == data
