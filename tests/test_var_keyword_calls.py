"""Methods with **kwargs are cached: their keywords are recorded as sorted (name, value) pairs."""

import sys

import pytest

from lineage_store import LineageStoreBase, lineage_stored


class Priced(LineageStoreBase):
    def __init__(self):
        self.runs = 0

    @lineage_stored()
    def price(self, x, **options):
        self.runs += 1
        return [x, options]  # a new object at every computation


def call(priced, through, *args, **kwargs):
    if through == "instance":  # vectorcall where the interpreter has it
        return priced.price(*args, **kwargs)
    return Priced.price.__call__(priced, *args, **kwargs)  # argument tuple and keyword dict


THROUGH = pytest.mark.parametrize("through", ["instance", "tuple and dict"])


@THROUGH
def test_keyword_order_does_not_matter_and_equal_values_are_served(through):
    priced = Priced()
    first = call(priced, through, 1, b=2, a=(1, 2))
    assert call(priced, through, 1, a=(1, 2), b=2) is first
    assert call(priced, through, 1, a=tuple([1, 2]), b=2) is first  # equal, not the same objects
    assert priced.runs == 1
    assert first == [1, {"a": (1, 2), "b": 2}]
    assert priced.get_cached_values() == {("price", (("options", (("a", (1, 2)), ("b", 2))), ("x", 1))): first}


@THROUGH
@pytest.mark.parametrize(
    "first, second",
    [
        ({"a": -1}, {"a": -2}),  # the hashes of -1 and -2 collide
        ({"a": 1}, {"a": 1, "b": 2}),
        ({"a": 1, "b": 2}, {"a": 1}),
        ({"a": 1}, {"b": 1}),
        ({}, {"a": 1}),
        ({"a": 1}, {"a": 1.5}),
    ],
)
def test_different_keywords_are_different_calls(through, first, second):
    priced = Priced()
    first_result = call(priced, through, 0, **first)
    second_result = call(priced, through, 0, **second)
    assert second_result == [0, second]
    assert call(priced, through, 0, **first) is first_result
    assert priced.runs == 2


# CPython's tuple hash, undone for the last item: what that item must hash to
# for the tuple to hash as `target`. Forges a keyword value that makes calls
# with more keywords collide with calls with fewer.
MASK = 2**64 - 1
PRIME_1, PRIME_2, PRIME_5 = 11400714785074694791, 14029467366897019727, 2870177450012600261


def last_item_hash(prefix, target):
    acc = PRIME_5
    for item in prefix:
        acc = (acc + (hash(item) & MASK) * PRIME_2) & MASK
        acc = ((acc << 31 | acc >> 33) & MASK) * PRIME_1 & MASK
    wanted = (target - ((len(prefix) + 1) ^ (PRIME_5 ^ 3527539))) & MASK
    wanted = wanted * pow(PRIME_1, -1, 2**64) & MASK
    wanted = (wanted >> 31 | wanted << 33) & MASK
    lane = (wanted - acc) * pow(PRIME_2, -1, 2**64) & MASK
    return lane - 2**64 if lane >= 2**63 else lane


class Forged:
    """Hashes as it is told; equal only to itself."""

    def __init__(self, hash_value):
        self.hash_value = hash_value

    def __hash__(self):
        return self.hash_value


def call_tuple(x, options):
    return ("price", (("options", tuple(sorted(options.items()))), ("x", x)))


@pytest.mark.skipif(sys.hash_info.width != 64, reason="forges 64-bit hashes")
@THROUGH
@pytest.mark.parametrize("shorter_first", [True, False], ids=["fewer keywords first", "more keywords first"])
def test_calls_forged_to_collide_with_more_keywords_never_get_each_others_value(through, shorter_first):
    shorter = {"a": 1}
    pair_hash = last_item_hash([("a", 1)], hash(tuple(shorter.items())))
    longer = {"a": 1, "b": Forged(last_item_hash(["b"], pair_hash))}
    assert hash(call_tuple(0, shorter)) == hash(call_tuple(0, longer))
    first, second = (shorter, longer) if shorter_first else (longer, shorter)
    priced = Priced()
    first_result = call(priced, through, 0, **first)
    assert call(priced, through, 0, **second) == [0, second]
    assert call(priced, through, 0, **second) == [0, second]
    assert call(priced, through, 0, **first) is first_result


@THROUGH
def test_an_unhashable_keyword_value_raises_the_hashing_error_and_registers_nothing(through):
    priced = Priced()
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        call(priced, through, 0, a=[1])
    assert priced.get_validation_state() == {}


def test_queries_and_updates_name_the_keywords_by_their_sorted_pairs():
    priced = Priced()
    first = priced.price(1, zz=3, e=2)
    options = (("e", 2), ("zz", 3))
    assert priced.get_cached_value("price", x=1, options=options) is first
    assert priced.get_cached_value("price", x=1, options=options[::-1]) is None
    priced.update_cached_value("price", "set by hand", x=1, options=options)
    assert priced.price(1, e=2, zz=3) == "set by hand"
