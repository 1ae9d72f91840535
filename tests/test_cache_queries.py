"""Reading, setting and clearing cached values by hand, and the graph views."""
import threading
import warnings
import weakref
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

import pytest

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


class Net(LineageStoreBase):
    use_volatile = False  # base -> mid -> top by runtime tracking; mid reads volatile if asked

    @lineage_stored()
    def base(self):
        return 1

    @lineage_stored(use_cache=False)
    def volatile(self):
        return 0

    @automagically_lineage_stored()
    def mid(self):
        return self.base() + (self.volatile() if self.use_volatile else 0) + 1

    @automagically_lineage_stored()
    def top(self):
        return self.mid() * 10

    @lineage_stored()
    def lone(self):
        return 'lone'

    @lineage_stored(dependencies=['never'])
    def declared(self):
        return 'declared'

    @lineage_stored()
    def f(self, x):
        return x * 10

    @automagically_lineage_stored()
    def h(self, x, y=3):
        return self.f(x) + y


def test_update_invalidates_valid_dependants_only_and_clear_keeps_states():
    n = Net()
    n.top(), n.lone()
    assert n.update_cached_value('base', 5) is None
    assert n.get_validation_state() == {'base': 'valid', 'mid': 'invalid', 'top': 'invalid', 'lone': 'valid'}
    assert (n.get_cached_value('base'), n.get_cached_value('mid'), n.get_cached_value('lone')) == (5, None, 'lone')
    assert n.top() == 60  # base served, mid and top computed again
    graph, states = n.get_dependency_graph(), n.get_validation_state()
    assert n.clear_cache() is None and n.get_cached_values() == {} and n.get_cached_value('top') is None
    assert n.get_validation_state() == states and n.get_dependency_graph() == graph
    assert n.top() == 20 and n.get_cached_value('top') == 20


@pytest.mark.parametrize('mid_state', ['invalid', 'permanently invalid'])
def test_invalidation_walks_through_non_valid_nodes(mid_state):
    n = Net()
    n.top()
    n.use_volatile = True
    n.update_cached_value('base', 2), n.update_cached_value('top', 99)  # top is valid again below a stale mid
    if mid_state == 'permanently invalid':
        n.mid()
    assert n.get_validation_state()['mid'] == mid_state and n.get_cached_value('top') == 99
    n.update_cached_value('base', 3)
    assert n.get_validation_state()['top'] == 'invalid' and n.get_cached_value('top') is None


def test_values_set_before_the_first_call_are_served_by_it():
    n = Net()
    with pytest.warns(RuntimeWarning, match="dependency on 'never'"):
        n.declared()  # its dependency 'never' has no state
    n.update_cached_value('base', 7)
    n.update_cached_value('f', 9, x=2)
    with pytest.warns(RuntimeWarning, match="no decorated method named 'never'"):
        n.update_cached_value('never', 8)
    # Shown only once a call registers them.
    assert n.get_cached_value('base') is None and n.get_cached_value_by_hash(hash(('base', ()))) is None
    assert n.get_cached_values() == {} and n.get_validation_state() == {'declared': 'permanently invalid'}
    assert n.base() == 7 and n.f(2) == 9 and n.top() == 80  # served, not computed
    assert n.get_cached_value('base') == 7 and n.get_validation_state()['f', (('x', 2),)] == 'valid'
    assert n.declared() == 'declared' and n.get_validation_state()['declared'] == 'permanently invalid'


def test_values_set_by_hand_are_never_served_for_methods_that_never_store():
    n = Net()
    with pytest.warns(RuntimeWarning, match="use_cache=False"):
        n.update_cached_value('volatile', 41)  # never made: the first call computes
    n.use_volatile = True
    assert n.mid() == 2
    n.update_cached_value('volatile', 42)
    assert n.get_cached_value('volatile') is None and n.get_cached_values()['volatile'] == 42
    assert n.get_validation_state()['volatile'] == 'permanently invalid' and n.volatile() == 0


def test_a_query_for_a_call_never_made_of_a_method_that_never_stores_answers_none_quietly():
    with warnings.catch_warnings():
        warnings.simplefilter('error')
        assert Net().get_cached_value('volatile') is None


def test_display_keys_and_lookup_by_hash():
    n = Net()
    n.lone(), n.h(2), n.declared()
    f_key, h_key = ('f', (('x', 2),)), ('h', (('x', 2), ('y', 3)))
    values, graph, states = n.get_cached_values(), n.get_dependency_graph(), n.get_validation_state()
    assert values == {'lone': 'lone', f_key: 20, h_key: 23}
    assert graph == {'lone': set(), f_key: {h_key}, h_key: set(), 'declared': set()} and set(states) == set(graph)
    # Keys are built afresh for each view: equal to the call tuples and hashing alike.
    for view in (n.get_cached_values(), graph, states, [*graph, *graph[f_key]]):
        assert {k: hash(k) for k in view if isinstance(k, tuple)} == {f_key: hash(f_key), h_key: hash(h_key)}
    assert n.get_cached_value_by_hash(hash(f_key)) == n.get_cached_value('f', x=2) == 20
    assert n.get_cached_value_by_hash(hash(('lone', ()))) == 'lone' and n.get_cached_value_by_hash(2**63 - 1) is None
    for bad in (2**63, -2**63 - 1):
        with pytest.raises(OverflowError):
            n.get_cached_value_by_hash(bad)
    assert n.get_cached_value('h', x=2, y=3) == 23
    with pytest.warns(RuntimeWarning, match="missing 'y'"):  # defaults not bound
        assert n.get_cached_value('h', x=2) is None


def test_an_unhashable_update_changes_nothing_and_a_colliding_one_keeps_to_its_own_call():
    n = Net()
    n.f(-1)
    assert hash(-1) == hash(-2) and n.get_cached_value('f', x=-2) is None
    with pytest.raises(TypeError):
        n.update_cached_value('f', 5, x=[2])
    assert n.get_cached_values() == {('f', (('x', -1),)): -10}
    n.update_cached_value('f', 5, x=-2)  # not f(-1)'s: set before f(-2) is ever called
    assert n.f(-1) == -10 and n.f(-2) == 5
    n.update_cached_value('f', 6, x=-1)
    assert (n.get_cached_value('f', x=-1), n.get_cached_value('f', x=-2)) == (6, 5)


class RaisingHash:
    def __init__(self, error):
        self.error = error

    def __hash__(self):
        raise self.error


# get_cached_value: errors of the hashing give None, other exceptions pass
@pytest.mark.parametrize("error", [ValueError("x"), TypeError("unhashable"), ArithmeticError()])
def test_get_cached_value_answers_none_when_hashing_fails(error):
    assert Net().get_cached_value("lone", key=RaisingHash(error)) is None


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_get_cached_value_lets_other_base_exceptions_through(error):
    with pytest.raises(BaseException) as raised:
        Net().get_cached_value("lone", key=RaisingHash(error))
    assert raised.value is error


@pytest.mark.parametrize('outer, inner, after', [
    ('n.get_cached_value_by_hash(k)', 'n.get_cached_values()', "n.get_cached_value('lone')"),
    ("n.get_cached_value('f', x=k)", "n.update_cached_value('lone', 0)", "n.get_cached_value('lone')"),
    ('n.get_cached_value_by_hash(k)', 'n.clear_cache()', 'n.get_cached_values()'),
    ("n.update_cached_value('f', 0, x=k)", 'n.get_dependency_graph()', "n.get_cached_value('lone')"),
    ("n.update_cached_value('f', 0, x=k)", 'n.clear_cache()', "n.get_cached_value('lone')"),
    ("n.get_cached_value('f', x=k)", 'n.lone()', "n.get_validation_state()['lone']"),
    ("n.get_cached_value('f', x=k)", 'n.top()', 'n.get_dependency_graph()'),
])
@pytest.mark.filterwarnings("ignore:update_cached_value:RuntimeWarning")  # updates calls not made yet
def test_store_calls_made_while_a_query_hashes_its_key_succeed(outer, inner, after):
    """The key's __hash__ (and __index__) runs before the query takes the
    store, so whatever it does to the same store simply works."""
    n, raised = Net(), []

    class Key:  # hashes and converts to int as 7, running `inner` while doing so
        def __hash__(self):
            try:
                eval(inner, {'n': n})
            except BaseException as error:
                raised.append(error)
            return 7
        __index__ = __hash__

    n.lone()
    expected = Net()
    expected.lone()
    eval(inner, {'n': expected})
    eval(outer, {'n': n, 'k': Key()})
    assert raised == []
    assert eval(after, {'n': n}) == eval(after, {'n': expected})
    n.update_cached_value('lone', 'after')
    assert n.get_cached_value('lone') == 'after' and n.clear_cache() is None


@pytest.mark.parametrize('hook', ['__hash__', '__eq__'])
def test_a_query_sees_what_its_keys_own_code_did_to_the_store(hook):
    n = Net()

    class Key:  # all keys are equal; the query's key is compared with the registered one
        armed = False

        def __hash__(self):
            self.meddle('__hash__')
            return 7

        def __eq__(self, other):
            self.meddle('__eq__')
            return isinstance(other, Key)

        def __mul__(self, other):
            return 'computed'

        def meddle(self, now):
            if Key.armed and now == hook:
                Key.armed = False
                n.update_cached_value('f', 'set by the key', x=self)

    n.f(Key())
    Key.armed = True
    assert n.get_cached_value('f', x=Key()) == 'set by the key' and not Key.armed


@pytest.mark.filterwarnings("ignore:update_cached_value:RuntimeWarning")  # updates calls not made yet
def test_finaliser_of_a_released_value_may_use_the_store():
    n, seen = Net(), []
    finalise = lambda _: seen.append((n.update_cached_value('base', 3), n.get_cached_values()))  # noqa: E731
    n.lone()
    for release in (lambda: n.update_cached_value('lone', 'new'), n.clear_cache):
        n.update_cached_value('lone', type('Value', (), {'__del__': finalise})())
        release()
    assert len(seen) == 2


@pytest.mark.filterwarnings("ignore:update_cached_value:RuntimeWarning")  # updates calls not made yet
def test_clear_cache_releases_values_set_by_hand_for_calls_never_made():
    class Value:
        pass

    store, value = Net(), Value()
    released = weakref.ref(value)
    store.update_cached_value("never_made", value)
    del value
    store.clear_cache()
    assert released() is None


class Fan(LineageStoreBase):
    @lineage_stored()
    def leaf(self, i):
        return i

    @automagically_lineage_stored()
    def gather(self, count, shift):
        return sum(self.leaf(i) for i in range(count)) + shift


@pytest.mark.parametrize('count', [1, 2, 3, 40])
def test_many_parents_and_many_children_per_call(count):
    # `count` gathers, each computed from `count` leaves: both ends of every
    # edge have `count` neighbours, and computing again adds each edge again.
    s = Fan()
    leaves = [('leaf', (('i', i),)) for i in range(count)]
    gathers = [('gather', (('count', count), ('shift', k))) for k in range(count)]
    expected_graph = {**{leaf: set(gathers) for leaf in leaves}, **{g: set() for g in gathers}}
    for last_leaf in (count - 1, 100):
        total = sum(range(count - 1)) + last_leaf
        assert [s.gather(count, k) for k in range(count)] == [total + k for k in range(count)]
        assert s.get_dependency_graph() == expected_graph
        s.update_cached_value('leaf', 100, i=count - 1)
        states = s.get_validation_state()
        assert [states[g] for g in gathers] == ['invalid'] * count
        assert [states[leaf] for leaf in leaves] == ['valid'] * count
        assert len(s.get_cached_values()) == 2 * count  # invalid values stay stored


class Hub(LineageStoreBase):
    @lineage_stored()
    def rate(self):
        return 1

    @automagically_lineage_stored()
    def dep(self, v):
        return self.rate() if v.uses_rate else 0

    @lineage_stored()
    def lone(self):
        return 0


class Arg:
    """Equal to every Arg, hashed by a number that may change after the call."""

    def __init__(self, h, uses_rate):
        self.h, self.uses_rate = h, uses_rate

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        return isinstance(other, Arg)

    def __repr__(self):
        return f'Arg({self.h})'


@pytest.mark.parametrize('colliding', [False, True])
def test_a_set_of_most_calls_holds_its_children_only(colliding):
    # rate's set holds nearly every call: all but rate, lone and the one dep
    # that did not read it. Colliding: that dep's key becomes equal to a
    # child's, so the dict holds one entry for both, as each key is set in turn.
    s = Hub()
    users = [Arg(h, True) for h in range(1, 11)]
    other = Arg(100, False)
    for v in users + [other]:
        s.dep(v)
    s.lone()
    if colliding:
        other.h = users[0].h
    key = lambda v: ('dep', (('v', v),))
    graph = s.get_dependency_graph()
    assert graph == {'rate': {key(v) for v in users}, 'lone': set(), **{key(v): set() for v in [other] + users}}
    assert len(graph['rate']) == len(users)


# ---------------------------------------------------------------------------
# Values set before the first call


class Preset(LineageStoreBase):
    def __init__(self):
        self.runs = Counter()

    def _run(self, name):
        self.runs[name] += 1
        return name

    @lineage_stored()
    def parent(self):
        return self._run('parent')

    @lineage_stored(use_cache=False)
    def volatile(self):
        return self._run('volatile')

    @lineage_stored()
    def plain(self):
        return self._run('plain')

    @lineage_stored(dependencies=['parent'])
    def on_parent(self):
        return self._run('on_parent')

    @lineage_stored(dependencies=['volatile'])
    def on_volatile(self):
        return self._run('on_volatile')


# (what is called before the update, the method set and called, whether the value set is served, its state)
PRESETS = {
    'no dependency': ([], 'plain', True, 'valid'),
    'a valid declared parent': (['parent'], 'on_parent', True, 'valid'),
    'a declared parent never called': ([], 'on_parent', False, 'permanently invalid'),
    'a permanently invalid declared parent': (['volatile'], 'on_volatile', False, 'permanently invalid'),
}


@pytest.mark.parametrize('before, method, served, state', PRESETS.values(), ids=PRESETS.keys())
def test_a_value_set_before_the_first_call_is_served_unless_the_call_cannot_be_valid(before, method, served, state):
    obj = Preset()
    for name in before:
        getattr(obj, name)()
    obj.update_cached_value(method, 'set')
    results = [getattr(obj, method)(), getattr(obj, method)()]
    assert results == (['set', 'set'] if served else [method, method])
    assert obj.get_validation_state()[method] == state and obj.runs[method] == (0 if served else 2)


def test_a_value_set_for_a_method_that_never_stores_warns_and_is_never_served():
    obj = Preset()
    with pytest.warns(RuntimeWarning, match=r"Preset.volatile is decorated with use_cache=False.*never served"):
        obj.update_cached_value('volatile', 'set')
    assert obj.volatile() == 'volatile' and obj.get_validation_state() == {'volatile': 'permanently invalid'}


# ---------------------------------------------------------------------------
# clear_cache while a computation runs


class Clearing(LineageStoreBase):
    def __init__(self):
        self.source, self.runs = 1, 0
        self.read, self.cleared = threading.Event(), threading.Event()
        self.clears_itself = False

    def compute(self):
        self.runs += 1
        value = [self.source]
        if self.runs > 1:
            return value
        if self.clears_itself:
            self.clear_cache()
        else:
            self.read.set()
            assert self.cleared.wait(10), 'the clearing thread never arrived'
        return value

    @lineage_stored()
    def plain(self):
        return self.compute()

    @automagically_lineage_stored()
    def tracking(self):
        return self.compute()


@pytest.mark.parametrize('method', ['plain', 'tracking'])
@pytest.mark.parametrize('clearer', ['the computation itself', 'another thread'])
def test_a_computation_overlapped_by_clear_cache_is_returned_but_not_stored(method, clearer):
    obj = Clearing()
    if clearer == 'the computation itself':
        obj.clears_itself = True
        result = getattr(obj, method)()
        obj.source = 2
    else:
        with ThreadPoolExecutor(1) as pool:
            computing = pool.submit(getattr(obj, method))
            assert obj.read.wait(10)
            obj.clear_cache()
            obj.source = 2
            obj.cleared.set()
            result = computing.result(10)
    assert result == [1]
    assert obj.get_cached_values() == {} and obj.get_validation_state() == {method: 'invalid'}
    assert getattr(obj, method)() == [2] and getattr(obj, method)() == [2] and obj.runs == 2
