"""Uses that cannot do what they were written for warn; correct use never does."""

import gc
import warnings
import weakref

import pytest

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


class Model(LineageStoreBase):
    @lineage_stored()
    def rate(self, tenor=1):
        return 0.5 * tenor

    @lineage_stored(dependencies=[("rate", {"tenor": 1}), "spot"])
    def price(self):
        return self.rate() * 10

    def _spot(self):
        return 10.0

    spot_alias = lineage_stored()(_spot)  # registered as '_spot', so "spot" names nothing

    @automagically_lineage_stored()
    def total(self, **options):
        return self.rate(**options)


class Fixed(Model):
    @lineage_stored()
    def spot(self):
        return 20.0


@pytest.fixture
def strict():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield


def test_correct_use_warns_nothing(strict):
    obj = Fixed()
    obj.spot()
    assert obj.price() == 5.0 and obj.price() == 5.0  # every dependency is a decorated method of Fixed
    assert obj.total(tenor=2) == 1.0
    obj.update_cached_value("rate", 2.0, tenor=1)
    obj.update_cached_value("total", 3.0, options=(("tenor", 2),))
    assert (obj.price(), obj.total(tenor=2)) == (20.0, 3.0)


def test_correct_use_warns_nothing_for_a_renamed_method(strict):
    obj = Model()
    obj.spot_alias()
    obj.update_cached_value("_spot", 1.0)
    assert obj.spot_alias() == 1.0


def test_a_value_set_before_the_first_call_is_served_without_a_warning(strict):
    obj = Model()
    obj.update_cached_value("rate", 7.0, tenor=1)
    assert obj.rate() == 7.0 and obj.get_validation_state() == {("rate", (("tenor", 1),)): "valid"}


@pytest.mark.parametrize("name, kwargs, message", [
    ("rate", {}, r"update_cached_value\('rate', ...\): the keywords do not name the parameters of "
                 r"Model.rate\(self, tenor=1\): missing 'tenor'"),  # the default argument left out
    ("rate", {"tenr": 1}, "missing 'tenor'; unknown 'tenr'"),
    ("rte", {}, "Model has no decorated method named 'rte'"),
    ("spot", {}, "Model has no decorated method named 'spot'"),
    ("spot_alias", {}, "'spot_alias' is the attribute of a decorated method of Model whose calls are recorded under "
                       "its function's name, '_spot': name it '_spot'"),
])
def test_an_update_no_call_will_read_warns_and_changes_nothing_else(name, kwargs, message):
    obj = Model()
    with pytest.warns(RuntimeWarning, match=message) as caught:
        obj.update_cached_value(name, 7.0, **kwargs)
    assert caught[0].filename == __file__  # points at the caller's line
    assert obj.get_validation_state() == {}
    assert obj.rate() == 0.5  # computed: the value set by hand was for another call


@pytest.mark.parametrize("name", ["rate", "rte"])
def test_a_warning_made_an_error_leaves_the_update_done(strict, name):
    obj, twin = Model(), Model()
    obj.rate(tenor=3)
    twin.rate(tenor=3)
    with pytest.raises(RuntimeWarning):
        obj.update_cached_value(name, 7.0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        twin.update_cached_value(name, 7.0)
    assert obj.get_cached_values() == twin.get_cached_values()
    assert obj.get_validation_state() == twin.get_validation_state()
    assert obj.dump_cache() == twin.dump_cache()


def fresh_class():
    """A class of its own, which the shared decorators have not checked yet."""
    return type("Fresh", (Model,), {})


def test_a_dependency_on_no_decorated_method_warns_once_per_class_at_its_first_call():
    cls = fresh_class()
    with pytest.warns(RuntimeWarning, match=r"Fresh.price declares a dependency on 'spot', but no decorated method "
                                            r"of Fresh has that name, so price can never be cached") as caught:
        cls().price()
    assert len(caught) == 1 and caught[0].filename == __file__
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        cls().price()  # the same class: checked already
        Fixed().price()  # a subclass that has it


def test_a_dependency_warning_made_an_error_fails_every_first_call_and_registers_nothing(strict):
    obj = fresh_class()()
    for _ in range(2):
        with pytest.raises(RuntimeWarning, match="dependency on 'spot'"):
            obj.price()
    assert obj.get_validation_state() == {}


def test_checked_classes_are_not_kept_alive():
    decorator = lineage_stored(dependencies=["missing"])(lambda self: 0)
    cls = type("Short", (LineageStoreBase,), {"m": decorator})
    with pytest.warns(RuntimeWarning):
        cls().m()
    dead = weakref.ref(cls)
    del cls
    gc.collect()
    assert dead() is None
    with pytest.warns(RuntimeWarning):  # a new class, checked anew
        type("Short", (LineageStoreBase,), {"m": decorator})().m()


def test_a_class_checked_before_another_is_not_warned_about_again():
    first, second = fresh_class(), fresh_class()
    for cls in (first, second):
        with pytest.warns(RuntimeWarning, match="dependency on 'spot'"):
            cls().price()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        first().price()  # still alive, so still checked
        second().price()


def unknown_dependencies(*dependencies):
    def report(self):
        return 0

    return type("Twice", (LineageStoreBase,), {"report": lineage_stored(dependencies=list(dependencies))(report)})


@pytest.mark.parametrize("dependencies, listed", [
    (["missing", "missing"], "'missing'"),
    (["missing", ("missing", {"x": 1})], "'missing'"),
    (["missing", "other", ("missing", {}), "other"], "'missing', 'other'"),
])
def test_an_unknown_name_declared_twice_is_listed_once(dependencies, listed):
    with pytest.warns(RuntimeWarning) as caught:
        unknown_dependencies(*dependencies)().report()
    assert len(caught) == 1
    assert f"Twice.report declares a dependency on {listed}, but no decorated method" in str(caught[0].message)


# spot_alias is the attribute name of a method registered as '_spot': a
# dependency under that name is never read, and the warning says which name to use.
def test_a_dependency_on_the_attribute_name_of_a_renamed_method_says_which_name_to_use():
    def report(self):
        return 0

    with pytest.warns(RuntimeWarning, match="Aliased.report declares a dependency on 'spot_alias', the attribute of a "
                                            "decorated method whose calls are recorded under its function's name, "
                                            "'_spot'.*name the dependency '_spot'") as caught:
        type("Aliased", (Model,), {"report": lineage_stored(dependencies=["spot_alias"])(report)})().report()
    assert len(caught) == 1
