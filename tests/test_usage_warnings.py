"""Uses that cannot do what they were written for warn; correct use never does."""

import gc
import linecache
import re
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


@pytest.mark.parametrize("dependency", ["m", ("m", {"n": 1})])
def test_a_method_declared_to_depend_on_its_own_calls_warns_at_its_class_body_line(dependency):
    with pytest.warns(RuntimeWarning, match=r"SelfDependent.m declares a dependency on 'm', its own method: .*will "
                                            r"never be cached") as caught:
        class SelfDependent(LineageStoreBase):
            @lineage_stored(dependencies=["other", dependency])
            def m(self, n=1):
                return n
    assert len(caught) == 1 and caught[0].filename == __file__
    # The decorator's line or the def's, as the interpreter numbers a decorated definition.
    assert re.search(r"lineage_stored\(|def m\(", linecache.getline(__file__, caught[0].lineno))


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


# ---------------------------------------------------------------------------
# A cached method that neither tracks nor declares a call it makes


class Reader(LineageStoreBase):
    @lineage_stored()
    def rate(self, tenor=1):
        return 0.5 * tenor

    @lineage_stored()
    def spot(self):
        return 10.0

    @lineage_stored()
    def lazy(self):  # reads two calls it neither declares nor tracks
        return self.rate() * self.spot()

    @lineage_stored(dependencies=[("rate", {"tenor": 1})])
    def declared(self):
        return self.rate()

    @lineage_stored(dependencies=[("rate", {"tenor": 1})])
    def declared_other_tenor(self):
        return self.rate(tenor=2)

    @automagically_lineage_stored()
    def tracking(self):
        return self.rate() * self.spot()

    @lineage_stored(use_cache=False)
    def volatile(self):
        return self.rate() * self.spot()

    @lineage_stored()
    def on_another_instance(self):
        return Reader().rate()


STALE = ("{owner}.{caller} called {owner}.{callee}, which it does not declare as a dependency and does not track at "
         "run time, so its cached result will not follow changes to that call; declare the dependency or use "
         "automagically_lineage_stored")


def test_an_untracked_undeclared_call_warns_once_per_caller_callee_and_class():
    sub = type("Sub", (Reader,), {})
    obj = Reader()
    obj.rate()  # so that only the undeclared call can make `lazy` stale
    with pytest.warns(RuntimeWarning) as caught:
        assert obj.lazy() == 5.0
    assert sorted(str(w.message) for w in caught) == [
        STALE.format(owner="Reader", caller="lazy", callee=callee) for callee in ("rate", "spot")]
    assert {w.filename for w in caught} == {__file__}  # at the line of the method that made the call
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        obj.update_cached_value("spot", 20.0)
        Reader().lazy(), obj.lazy()  # the same caller, callees and class: warned already
    with pytest.warns(RuntimeWarning) as caught:
        sub().lazy()
    assert len(caught) == 2 and all(str(w.message).startswith("Sub.lazy called Sub.") for w in caught)


def test_a_call_with_other_arguments_than_the_declared_ones_warns():
    obj = Reader()
    obj.rate()
    with pytest.warns(RuntimeWarning, match=r"Reader.declared_other_tenor called Reader.rate, which it does not "
                                            r"declare") as caught:
        obj.declared_other_tenor()
    assert len(caught) == 1


@pytest.mark.parametrize("method", ["declared", "tracking", "volatile", "on_another_instance"])
def test_calls_that_are_declared_tracked_or_never_cached_do_not_warn(strict, method):
    obj = Reader()
    obj.rate()
    getattr(obj, method)()
    getattr(obj, method)()


# ---------------------------------------------------------------------------
# Queries and updates whose names or keywords match no method's calls


class Signatures(LineageStoreBase):
    @lineage_stored()
    def rate(self, tenor=1):
        return 0.5 * tenor

    @lineage_stored()
    def star(self, a, *args, k=2, **options):
        return (a, args, k, options)

    def _spot(self):
        return 10.0

    spot_alias = lineage_stored()(_spot)


SIGNATURE_OF = {"rate": "Signatures.rate(self, tenor=1)", "star": "Signatures.star(self, a, *args, k=2, **options)"}


@pytest.mark.parametrize("what", ["update_cached_value", "get_cached_value"])
@pytest.mark.parametrize("name, kwargs, mismatch", [
    ("rate", {}, "missing 'tenor'"),
    ("rate", {"tenor": 1, "x": 2}, "unknown 'x'"),
    ("star", {"a": 1}, "missing 'args', 'k', 'options'"),
    ("star", {"a": 1, "args": (), "k": 2, "kw": ()}, "missing 'options'; unknown 'kw'"),
    ("star", {"a": 1, "args": (), "k": 2, "options": (), "zz": 1}, "unknown 'zz'"),
])
def test_keywords_that_do_not_name_the_parameters_warn_with_the_signature(what, name, kwargs, mismatch):
    obj = Signatures()
    with pytest.warns(RuntimeWarning) as caught:
        call = obj.update_cached_value if what == "update_cached_value" else obj.get_cached_value
        call(name, *([7.0] if what == "update_cached_value" else []), **kwargs)
    assert len(caught) == 1 and caught[0].filename == __file__
    assert str(caught[0].message).startswith(
        f"{what}('{name}', ...): the keywords do not name the parameters of {SIGNATURE_OF[name]}: {mismatch}; ")


@pytest.mark.parametrize("name, message", [
    ("rte", "get_cached_value('rte', ...): Signatures has no decorated method named 'rte', so it can never find a "
            "value"),
    ("spot_alias", "get_cached_value('spot_alias', ...): 'spot_alias' is the attribute of a decorated method of "
                   "Signatures whose calls are recorded under its function's name, '_spot': name it '_spot'"),
])
def test_a_query_naming_no_decorated_method_warns_and_answers_none(name, message):
    obj = Signatures()
    obj.spot_alias()
    with pytest.warns(RuntimeWarning) as caught:
        assert obj.get_cached_value(name) is None
    assert len(caught) == 1 and str(caught[0].message).startswith(message)


@pytest.mark.parametrize("name, kwargs", [("nosuch", {}), ("rate", {"wrong": 3})])
def test_a_value_set_for_a_call_no_method_makes_leaves_its_query_warning(name, kwargs):
    obj = Signatures()
    with pytest.warns(RuntimeWarning, match=r"^update_cached_value"):
        obj.update_cached_value(name, 1, **kwargs)
    with pytest.warns(RuntimeWarning, match=rf"^get_cached_value\('{name}'"):
        assert obj.get_cached_value(name, **kwargs) is None


def test_a_mismatched_query_made_an_error_answers_nothing_and_changes_nothing(strict):
    obj = Signatures()
    obj.rate(), obj.star(1)
    before = obj.get_cached_values(), obj.get_validation_state(), obj.get_dependency_graph()
    for name, kwargs in [("rate", {}), ("rte", {}), ("star", {"a": 1})]:
        with pytest.raises(RuntimeWarning):
            obj.get_cached_value(name, **kwargs)
    assert (obj.get_cached_values(), obj.get_validation_state(), obj.get_dependency_graph()) == before


# ---------------------------------------------------------------------------
# Declared dependencies whose keywords do not name the parameters


def declaring(*dependencies, base=Signatures):
    def report(self):
        return "report"

    return type("Declaring", (base,), {"report": lineage_stored(dependencies=list(dependencies))(report)})


@pytest.mark.parametrize("dependency, mismatch", [
    (("rate", {}), "missing 'tenor'"),
    ("rate", "missing 'tenor'"),
    (("rate", {"tenor": 1, "t": 2}), "unknown 't'"),
    (("star", {"a": 1, "k": 2}), "missing 'args', 'options'"),
])
def test_a_declared_dependency_with_mismatched_keywords_warns_once_per_class_at_its_first_call(dependency, mismatch):
    cls = declaring(dependency)
    name = dependency if isinstance(dependency, str) else dependency[0]
    with pytest.warns(RuntimeWarning) as caught:
        cls().report()
    assert len(caught) == 1 and caught[0].filename == __file__
    assert str(caught[0].message).startswith(
        f"Declaring.report declares a dependency on '{name}' whose keywords do not name the parameters of "
        f"{SIGNATURE_OF[name].split('.', 1)[1]}: {mismatch}; so the dependency matches no call and report can never "
        f"be cached")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        cls().report()  # checked already
    with pytest.warns(RuntimeWarning):
        type("Again", (cls,), {})().report()  # another class, checked anew


# ---------------------------------------------------------------------------
# Correct programs are silent


class Base(Signatures):
    @lineage_stored(dependencies=["extra"])  # a method only subclasses have
    def report(self):
        return "report"

    @automagically_lineage_stored()
    def rate(self, tenor=1):  # an override, tracking where the one it overrides does not
        return 0.5 * tenor

    spot_twin = Signatures.__dict__["spot_alias"]


class Extended(Base):
    @lineage_stored()
    def extra(self):
        return "extra"


class Overriding(Extended):
    @automagically_lineage_stored()
    def rate(self, tenor=1):  # an override that calls the method it overrides
        return super().rate(tenor) * 2


def subclass_method_named_in_a_base_dependency(obj):
    obj.extra()
    assert obj.report() == "report" and obj.get_validation_state()["report"] == "valid"


def override(obj):
    obj = Overriding()
    assert obj.rate() == 1.0 and obj.rate(tenor=2) == 2.0
    obj.update_cached_value("rate", 3.0, tenor=1)
    assert obj.get_cached_value("rate", tenor=1) == 3.0


def alias_updated_by_its_functions_name(obj):
    obj.spot_alias()
    obj.update_cached_value("_spot", 1.0)
    assert obj.spot_twin() == 1.0 and obj.get_cached_value("_spot") == 1.0


def registered_calls_updated_and_queried(obj):
    obj.star(1, 2, k=3, y=4, x=5)
    named = {"a": 1, "args": (2,), "k": 3, "options": (("x", 5), ("y", 4))}
    obj.update_cached_value("star", "set", **named)
    assert obj.get_cached_value("star", **named) == "set" and obj.star(1, 2, k=3, x=5, y=4) == "set"


def updated_after_clear_cache(obj):
    obj.rate(), obj.star(1)
    obj.clear_cache()
    obj.update_cached_value("rate", 3.0, tenor=1)
    obj.update_cached_value("star", "set", a=1, args=(), k=2, options=())
    assert obj.rate() == 3.0 and obj.star(1) == "set"


def calls_not_made_yet_queried_with_their_parameters(obj):
    assert obj.get_cached_value("rate", tenor=1) is None
    assert obj.get_cached_value("star", a=1, args=(), k=2, options=()) is None


def call_not_made_yet_set_with_its_parameters(obj):
    obj.update_cached_value("rate", 3.0, tenor=5)
    assert obj.rate(5) == 3.0


CORRECT = [subclass_method_named_in_a_base_dependency, override, alias_updated_by_its_functions_name,
           registered_calls_updated_and_queried, updated_after_clear_cache,
           calls_not_made_yet_queried_with_their_parameters, call_not_made_yet_set_with_its_parameters]


@pytest.mark.parametrize("program", CORRECT, ids=[program.__name__ for program in CORRECT])
def test_correct_programs_warn_nothing(strict, program):
    program(Extended())


# ---------------------------------------------------------------------------
# A class changed after its first use is checked as it is at each method's first call


def named(name, dependencies=()):
    """A decorated method whose function is named `name`."""
    def method(self):
        return name

    method.__name__ = method.__qualname__ = name
    return lineage_stored(dependencies=list(dependencies))(method)


def used(base=LineageStoreBase, **attributes):
    """A class with `attributes` and a method `used`, first used by calling it."""
    cls = type("Changed", (base,), {"used": named("used"), **attributes})
    cls().used()
    return cls


def method_put_in_place_of_an_attribute_shares_a_name(churn):
    cls = used(get=named("get"), spare=0)
    churn(cls)
    cls.spare = named("get")  # the dict keeps its size
    with pytest.raises(TypeError, match="Changed has two decorated methods, 'spare' and 'get'"):
        cls().spare()


def method_added_to_a_base_shares_a_name(churn):
    base = type("Base", (LineageStoreBase,), {})
    cls = used(base, get=named("get"))
    churn(base)
    base.other = named("get")
    with pytest.raises(TypeError, match="two decorated methods, 'other' and 'get'"):
        cls().other()


def dependency_put_in_place_of_a_plain_method(churn):
    cls = used(m=named("m", ["q"]), q=lambda self: 0)
    churn(cls)
    cls.q = named("q")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        cls().m()


def override_deleted(churn):
    base = type("Base", (LineageStoreBase,), {"m": named("m")})
    cls = used(base, m=named("m"))
    churn(cls)
    del cls.m
    obj = cls()
    obj.m()  # the base's method, now the class's own: cached
    assert obj.get_validation_state() == {"m": "valid"}


def method_added_after_an_update_named_it(churn):
    cls = used()
    with pytest.warns(RuntimeWarning, match="Changed has no decorated method named 'q'"):
        cls().update_cached_value("q", 1)
    churn(cls)
    cls.q = named("q")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        cls().update_cached_value("q", 1)


CHANGES = [method_put_in_place_of_an_attribute_shares_a_name, method_added_to_a_base_shares_a_name,
           dependency_put_in_place_of_a_plain_method, override_deleted, method_added_after_an_update_named_it]


def changed_often(cls):
    # More changes than some interpreters give a class version tags for.
    for i in range(1100):
        cls.churn = i


@pytest.mark.parametrize("churn", [lambda cls: None, changed_often], ids=["changed once", "changed often"])
@pytest.mark.parametrize("change", CHANGES, ids=[change.__name__ for change in CHANGES])
def test_a_class_changed_after_its_first_use_is_checked_as_it_is_now(change, churn):
    change(churn)


def test_a_method_checked_before_its_class_changed_is_not_checked_again():
    cls = unknown_dependencies("missing")
    with pytest.warns(RuntimeWarning, match="dependency on 'missing'"):
        cls().report()
    cls.spare = 1
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        cls().report()
