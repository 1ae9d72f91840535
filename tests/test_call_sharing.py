"""Which calls share an entry: a call made again while it is being computed
(super() in an override) belongs to the computation in progress; two methods
may not share a name; calls whose hashes collide never share anything."""

from collections import Counter

import pytest

from conftest import key
from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


# ---------------------------------------------------------------------------
# The same call made again while it is in progress

def decorated(factory):
    # A lineage_stored method declares what it reads, so that every pairing
    # of factories is expected to follow the rate.
    return factory() if factory is automagically_lineage_stored else factory(dependencies=["rate"])


class Priced(LineageStoreBase):
    def __init__(self):
        self.runs, self.rate_value, self.failures = Counter(), 2, 0

    @lineage_stored()
    def rate(self):
        return self.rate_value

    def base_price(self, n):
        self.runs["base"] += 1
        return [n * self.rate()]

    def overriding_price(self, inner, n):
        self.runs["override"] += 1
        result = inner(n) + ["override"]
        if self.failures:
            self.failures -= 1
            raise ValueError("override failed")
        return result


def with_super(base_factory, override_factory):
    class Base(Priced):
        @decorated(base_factory)
        def price(self, n):
            return self.base_price(n)

    class Override(Base):
        @decorated(override_factory)
        def price(self, n):
            return self.overriding_price(super().price, n)

    return Override


def calling_itself(factory):
    class Reentrant(Priced):
        depth = 0

        @decorated(factory)
        def price(self, n):  # the same call again, once, from inside itself
            if self.depth:
                return self.base_price(n)
            self.depth += 1
            try:
                return self.overriding_price(self.price, n)
            finally:
                self.depth -= 1

    return Reentrant


NAMES = {lineage_stored: "lineage_stored", automagically_lineage_stored: "automagically"}
PAIRS = [(base, override) for base in NAMES for override in NAMES]
SHAPES = {
    **{f"super(): {NAMES[b]} base, {NAMES[o]} override": (lambda b=b, o=o: with_super(b, o)) for b, o in PAIRS},
    **{f"itself: {NAMES[f]}": (lambda f=f: calling_itself(f)) for f in NAMES},
}
shapes = pytest.mark.parametrize("make", SHAPES.values(), ids=SHAPES.keys())
PRICE = key("price", n=3)


def made(make):
    obj = make()()
    obj.rate()  # registered first, as a declared dependency must be
    return obj


@shapes
def test_a_call_made_inside_itself_is_part_of_its_computation(make, strict):
    obj = made(make)
    first = obj.price(3)
    assert first == [6, "override"] and obj.price(3) is first
    assert obj.runs == {"base": 1, "override": 1}
    assert obj.get_dependency_graph() == {"rate": {PRICE}, PRICE: set()}  # no self-edge
    assert obj.get_validation_state() == {"rate": "valid", PRICE: "valid"}


@shapes
def test_a_call_made_inside_itself_follows_what_the_inner_run_read(make, strict):
    obj = made(make)
    obj.price(3)
    obj.rate_value = 5
    obj.update_cached_value("rate", 5)
    assert obj.get_validation_state()[PRICE] == "invalid"
    assert obj.price(3) == [15, "override"] and obj.runs == {"base": 2, "override": 2}


@shapes
def test_a_failed_computation_around_its_own_call_stores_nothing(make, strict):
    obj = made(make)
    obj.failures = 1
    with pytest.raises(ValueError, match="override failed"):
        obj.price(3)
    assert obj.get_cached_values() == {"rate": 2} and obj.get_validation_state()[PRICE] == "invalid"
    assert obj.price(3) == [6, "override"]  # computed again, never the inner run's result
    assert obj.runs == {"base": 2, "override": 2}


# ---------------------------------------------------------------------------
# Two methods under one name


def assert_refused(call, owner, *attributes):
    with pytest.raises(TypeError) as raised:
        call()
    message = str(raised.value)
    assert f"{owner} has two decorated methods" in message and "functions are both named 'get'" in message
    assert all(f"'{attribute}'" in message for attribute in attributes) and "give each function its own name" in message


def field_getter(field, factory=lineage_stored):
    @factory()
    def get(self):
        return field

    return get


@pytest.mark.parametrize("factory", NAMES, ids=NAMES.values())
@pytest.mark.parametrize("first", ["name", "email"])
def test_two_methods_whose_functions_share_a_name_are_refused_at_the_first_call(factory, first):
    class Record(LineageStoreBase):
        name = field_getter("name", factory)
        email = field_getter("email", factory)

    obj = Record()
    for _ in range(2):  # refused until the class is fixed
        assert_refused(lambda: getattr(obj, first)(), "Record", "name", "email")
    assert obj.get_validation_state() == {}


def test_a_subclass_adding_a_second_method_under_a_taken_name_is_refused_and_its_base_is_not():
    class Base(LineageStoreBase):
        name = field_getter("name")

    class Extended(Base):
        email = field_getter("email")

    assert Base().name() == "name"
    assert_refused(lambda: Extended().name(), "Extended", "name", "email")


def test_an_alias_and_an_override_keep_one_method_per_name(strict):
    class Base(LineageStoreBase):
        name = field_getter("name")
        alias = name

    class Override(LineageStoreBase):
        name = field_getter("name")

    class Overridden(Override):
        name = field_getter("overridden")

    base, override = Base(), Overridden()
    assert (base.name(), base.alias(), override.name()) == ("name", "name", "overridden")
    assert base.get_validation_state() == {"get": "valid"}  # one method, one call


def test_overriding_one_name_of_an_alias_leaves_two_methods_under_one_name():
    class Base(LineageStoreBase):
        name = field_getter("name")
        alias = name

    class Override(Base):
        name = field_getter("overridden")

    assert_refused(lambda: Override().alias(), "Override", "name", "alias")


# ---------------------------------------------------------------------------
# Calls whose hashes collide


class Collide(LineageStoreBase):
    def __init__(self):
        self.runs = Counter()

    @lineage_stored()
    def m(self, x):
        self.runs[repr(x)] += 1
        return [x]

    @automagically_lineage_stored()
    def uses(self, x):
        return self.m(x) + ["uses"]


# Equal hashes, unequal values. 0 == False == 0.0: those three are one call.
COLLIDING = [(-1, -2), ("", 0), ("", False), ("", 0.0), (0, 2**61 - 1)]
colliding = pytest.mark.parametrize("first, second", COLLIDING, ids=[repr(pair) for pair in COLLIDING])


def test_equal_arguments_of_other_types_are_one_call():
    obj = Collide()
    stored = obj.m(0)
    assert obj.m(False) is stored and obj.m(0.0) is stored and obj.runs == {"0": 1}
    assert obj.get_cached_value("m", x=False) is stored and len(obj.get_validation_state()) == 1


@colliding
def test_colliding_calls_are_each_listed_queried_and_served(first, second):
    assert hash(first) == hash(second) and first != second
    obj = Collide()
    a, b = obj.uses(first), obj.uses(second)
    assert (obj.uses(first), obj.uses(second)) == (a, b) and obj.runs == {repr(first): 1, repr(second): 1}
    m_a, m_b, u_a, u_b = key("m", x=first), key("m", x=second), key("uses", x=first), key("uses", x=second)
    assert obj.get_cached_values() == {m_a: [first], m_b: [second], u_a: a, u_b: b}
    assert obj.get_validation_state() == dict.fromkeys([m_a, m_b, u_a, u_b], "valid")
    assert obj.get_dependency_graph() == {m_a: {u_a}, m_b: {u_b}, u_a: set(), u_b: set()}
    assert (obj.get_cached_value("m", x=first), obj.get_cached_value("m", x=second)) == ([first], [second])
    # The keys shown are the calls' own arguments, of their own types.
    shown = {type(call[1][0][1]) for call in obj.get_validation_state() if call[0] == "m"}
    assert shown == {type(first), type(second)}


@colliding
@pytest.mark.parametrize("updated", [0, 1])
def test_an_update_of_one_colliding_call_invalidates_only_what_was_computed_from_it(first, second, updated):
    obj = Collide()
    arguments = (first, second)
    obj.uses(first), obj.uses(second)
    obj.update_cached_value("m", ["set"], x=arguments[updated])
    states = obj.get_validation_state()
    assert [states[key("uses", x=a)] for a in arguments] == [
        "invalid" if i == updated else "valid" for i in range(2)]
    assert obj.m(arguments[updated]) == ["set"] and obj.m(arguments[1 - updated]) == [arguments[1 - updated]]
    assert obj.uses(arguments[updated]) == ["set", "uses"]


@colliding
def test_a_value_set_for_a_colliding_call_not_yet_made_is_its_own(first, second):
    obj = Collide()
    obj.m(first)
    obj.update_cached_value("m", ["set"], x=second)  # no ValueError: it names another call than m(first)
    assert obj.m(first) == [first] and obj.m(second) == ["set"] and obj.runs == {repr(first): 1}


@colliding
@pytest.mark.parametrize("order", ["first registered first", "second registered first"])
@pytest.mark.parametrize("preset", [None, 0, 1], ids=["no preset", "preset for the first made", "preset for the second"])
def test_the_call_hash_answers_for_the_first_registered_call(first, second, order, preset):
    obj = Collide()
    calls = [first, second] if order == "first registered first" else [second, first]
    if preset is not None:  # a value set before use registers nothing: the calls made do
        obj.update_cached_value("m", ["set"], x=calls[preset])
    results = [obj.m(x) for x in calls]
    assert obj.get_cached_value_by_hash(hash(key("m", x=first))) is results[0]


@colliding
def test_the_call_hash_answers_for_a_call_made_not_for_a_colliding_value_set_by_hand(first, second):
    obj = Collide()
    obj.update_cached_value("m", ["set"], x=first)
    made = obj.m(second)
    assert obj.get_cached_value_by_hash(hash(key("m", x=first))) is made


@colliding
def test_a_declared_dependency_is_met_only_by_a_call_with_equal_arguments(first, second):
    class Declared(Collide):
        @lineage_stored(dependencies=[("m", {"x": second})])
        def report(self):
            self.runs["report"] += 1
            return ["report"]

    obj = Declared()
    obj.m(first)
    obj.report(), obj.report()
    assert obj.get_validation_state()["report"] == "permanently invalid" and obj.runs["report"] == 2
    other = Declared()
    other.m(first), other.m(second)
    other.report(), other.report()
    assert other.get_validation_state()["report"] == "valid" and other.runs["report"] == 1
    assert other.get_dependency_graph()[key("m", x=first)] == set()
    assert other.get_dependency_graph()[key("m", x=second)] == {"report"}
