"""Instances pickle and copy like plain objects of their class; each copy starts with an empty store of its own."""
import copy
import multiprocessing
import pickle

import pytest

from pickled_models import Position, Slotted, Stateful, value_in_child

COPIERS = {f'pickle protocol {protocol}': (lambda obj, protocol=protocol: pickle.loads(pickle.dumps(obj, protocol)))
           for protocol in range(pickle.HIGHEST_PROTOCOL + 1)}
COPIERS.update({'copy.copy': copy.copy, 'copy.deepcopy': copy.deepcopy})
copiers = pytest.mark.parametrize('copier', COPIERS.values(), ids=COPIERS.keys())


def warmed(cls=Position):
    position = cls({'ACME': 3}, rate=2.0)
    assert position.value('ACME') == 6.0
    return position


def store_snapshot(store):
    return store.get_cached_values(), store.get_dependency_graph(), store.get_validation_state()


@copiers
def test_copy_has_the_state_and_an_empty_independent_store(copier):
    original = warmed()
    before = store_snapshot(original)
    duplicate = copier(original)
    assert type(duplicate) is Position and duplicate is not original
    assert vars(duplicate) == vars(original)
    assert store_snapshot(duplicate) == ({}, {}, {})
    # The copy computes for itself, and what it does stays out of the original.
    assert duplicate.value('ACME') == 6.0
    duplicate.update_cached_value('rate', 10.0)
    assert duplicate.value('ACME') == 30.0
    assert store_snapshot(original) == before and original.value('ACME') == 6.0
    original.update_cached_value('rate', 5.0)
    assert duplicate.get_cached_value('rate') == 10.0


@pytest.mark.parametrize('copier, shares_attributes', [
    (copy.copy, True), (copy.deepcopy, False), (COPIERS['pickle protocol 0'], False)], ids=['copy', 'deepcopy', 'pickle'])
def test_attributes_are_copied_shallow_or_deep_as_for_any_object(copier, shares_attributes):
    original = warmed()
    duplicate = copier(original)
    assert (duplicate.quantities is original.quantities) is shares_attributes
    assert duplicate.quantities == original.quantities


@copiers
def test_slots_are_copied_and_an_unset_slot_stays_unset(copier):
    original = Slotted(21)
    assert original.doubled() == 42
    duplicate = copier(original)
    assert duplicate.base == 21 and not hasattr(duplicate, 'unset') and not hasattr(duplicate, '__dict__')
    assert duplicate.get_cached_values() == {} and duplicate.doubled() == 42


@copiers
def test_a_class_choosing_its_own_state_is_respected(copier):
    duplicate = copier(warmed(Stateful))
    assert duplicate.runs == ['restored'] and duplicate.value('ACME') == 6.0


def test_a_pickled_instance_computes_in_a_spawned_process():
    position = warmed()
    position.update_cached_value('rate', 4.0)  # the child sees the attributes, not this store
    with multiprocessing.get_context('spawn').Pool(1) as pool:
        result = pool.apply(value_in_child, (position, 'ACME'))
    assert result == (6.0, ["('value', (('ticker', 'ACME'),))", 'rate'])
    assert position.value('ACME') == 12.0


@copiers
def test_a_copy_serves_a_value_set_before_its_first_call(copier):
    duplicate = copier(warmed())
    duplicate.update_cached_value('rate', 10.0)  # the copy's store is empty: rate was never called there
    assert duplicate.value('ACME') == 30.0 and duplicate.runs.count('rate') == 1  # the original's run only
    assert duplicate.get_validation_state() == {'rate': 'valid', ('value', (('ticker', 'ACME'),)): 'valid'}
