"""A decorated call gets exactly the identity that binding through inspect gives.

The decorated call binds plain functions natively and hashes calls without
building their tuples; these tests hold it to inspect's bind and
apply_defaults: "self" dropped, sorted by name, **kwargs as sorted pairs.
"""

import gc
import inspect
import os
import sys
import types
from collections import Counter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import HashingOnce, run_in_child, run_python, store_with
from lineage_store import LineageStoreBase, lineage_stored


def bound_by_inspect(func, instance, args, kwargs):
    """The call's (name, value) pairs as inspect binds them, with defaults,
    without "self", sorted by name; a **kwargs dict as its sorted pairs."""
    bound = inspect.signature(func).bind(instance, *args, **kwargs)
    bound.apply_defaults()
    return tuple(sorted((name, tuple(sorted(value.items())) if isinstance(value, dict) else value)
                        for name, value in bound.arguments.items() if name != "self"))


def decorate(func):
    return type("Model", (LineageStoreBase,), {func.__name__: lineage_stored()(func)})


def assert_identity(func, args, kwargs, through_type=False):
    model = decorate(func)
    instance = model()
    if through_type:
        call = lambda: getattr(model, func.__name__).__call__(instance, *args, **kwargs)  # noqa: E731  (tp_call)
    else:
        call = lambda: getattr(instance, func.__name__)(*args, **kwargs)  # noqa: E731
    try:
        pairs = bound_by_inspect(func, instance, args, kwargs)
        hash(pairs)
    except (TypeError, ValueError) as refusal:  # inspect's, or an unhashable value's
        with pytest.raises(type(refusal)) as raised:
            call()
        assert str(raised.value) == str(refusal)
        assert instance.get_validation_state() == {}
        return
    shown = (func.__name__, pairs) if pairs else func.__name__
    try:
        func(instance, *args, **kwargs)
    except TypeError as refusal:
        # inspect may accept what the function refuses (a positional-only
        # name given as a keyword, from 3.13 on): registered, never stored.
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == str(refusal)
        assert list(instance.get_validation_state()) == [shown]
        assert instance.get_cached_value_by_hash(hash((func.__name__, pairs))) is None
        return
    result = call()
    [key] = instance.get_validation_state()
    assert key == shown
    # Same values of the same types, not just equal ones (1, 1.0, True).
    assert [type(value) for _, value in pairs] == [type(value) for _, value in (key[1] if pairs else ())]
    assert instance.get_cached_value_by_hash(hash((func.__name__, pairs))) is result
    assert call() is result  # served from the store


# ---------------------------------------------------------------------------
# Signatures of every kind, called every way

def alone(self):
    return object()


def ordinary(self, b, a=1.0):
    return object()


def positional_only(self, B, /, ab, a=None):
    return object()


def keyword_only(self, x, *, b, a=True):
    return object()


def var_positional(self, a, *args, b=(1, 2)):
    return object()


def var_keyword(self, **kw):
    return object()


def every_kind(self, a, /, b=1, *args, c=2, **kw):
    return object()


def instance_not_named_self(this, self=-1, *, x=2**70):
    return object()


def keywords_named_self(this, b=(1,), **self):
    return object()


def default_of_every_kind(self, a="s", /, b=b"x", *, ab=("t", (3,)), B=()):
    return object()


def unhashable_default(self, a, b=[1]):  # noqa: B006  (unhashable on purpose)
    return object()


SIGNATURES = [alone, ordinary, positional_only, keyword_only, var_positional, var_keyword, every_kind,
              instance_not_named_self, keywords_named_self, default_of_every_kind, unhashable_default]
# Keywords besides a function's own parameter names: "self", and names only
# a **kwargs parameter takes, among them non-ASCII ones, which sort by code
# point after every ASCII one.
EXTRA_KEYWORDS = ["self", "zz", "\u00e9", "\U0001d4b3"]
# A list among them: unhashable.
ARGUMENT = st.sampled_from([0, 1, 1.0, True, -1, -2, 2**70, "s", "", None, (1, 2), (), ("t", (3,)), b"x", [1]])
RARELY = st.sampled_from([False] * 9 + [True])


@st.composite
def calls(draw, func):
    """(args, kwargs) for `func` after its first parameter: each parameter
    given by position while those before it were, by keyword, or left out
    (a required one rarely); now and then an argument nothing asked for."""
    args, kwargs, by_position = [], {}, True
    for p in list(inspect.signature(func).parameters.values())[1:]:
        if p.kind is p.VAR_POSITIONAL:
            args += draw(st.lists(ARGUMENT, max_size=2)) if by_position else []
        elif p.kind is p.VAR_KEYWORD:
            kwargs.update(draw(st.dictionaries(st.sampled_from(EXTRA_KEYWORDS), ARGUMENT, max_size=3)))
        elif draw(st.booleans() if p.default is not p.empty else RARELY):
            by_position = False
        elif by_position and p.kind is not p.KEYWORD_ONLY and draw(st.booleans()):
            args.append(draw(ARGUMENT))
        else:
            by_position = False
            kwargs[p.name] = draw(ARGUMENT)
    if draw(RARELY):
        args.append(draw(ARGUMENT))
    if draw(RARELY):
        kwargs[draw(st.sampled_from(EXTRA_KEYWORDS))] = draw(ARGUMENT)
    return args, kwargs


@pytest.mark.parametrize("func", SIGNATURES, ids=[func.__name__ for func in SIGNATURES])
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_identity_matches_binding_through_inspect(func, data):
    args, kwargs = data.draw(calls(func))
    assert_identity(func, args, kwargs, through_type=data.draw(st.booleans()))


@pytest.mark.parametrize("call, refusal", [
    (lambda model, obj: obj.alone(5), "too many positional arguments"),
    (lambda model, obj: model.alone.__call__(obj, 5), "too many positional arguments"),  # tp_call
    (lambda model, obj: obj.alone(obj), "too many positional arguments"),
    (lambda model, obj: obj.alone(bogus=1), "unexpected keyword argument 'bogus'"),
], ids=["extra argument", "through the type", "the instance again", "a keyword"])
def test_a_method_of_self_alone_refuses_an_extra_argument_once_cached(call, refusal):
    model = decorate(alone)
    obj = model()
    stored = obj.alone()
    with pytest.raises(TypeError, match=refusal):
        call(model, obj)
    assert obj.alone() is stored and obj.get_validation_state() == {"alone": "valid"}


# ---------------------------------------------------------------------------
# What inspect reads besides the code object, and changes after decoration

def test_reassigned_defaults_code_and_kwdefaults_are_seen_at_the_next_call():
    def m(self, a=1, *, k=2):
        return (a, k)

    def other(self, z, y=7):
        return (z, y)

    model = decorate(m)
    obj = model()
    assert obj.m() == (1, 2)
    m.__defaults__ = (10,)
    assert obj.m() == (10, 2)
    m.__kwdefaults__ = {"k": 20}
    assert obj.m() == (10, 20)
    m.__code__ = other.__code__  # the defaults stay the function's
    result = obj.m(5)
    assert result == (5, 10)
    assert set(obj.get_cached_values()) == {
        ("m", (("a", 1), ("k", 2))),
        ("m", (("a", 10), ("k", 2))),
        ("m", (("a", 10), ("k", 20))),
        ("m", (("y", 10), ("z", 5))),
    }
    # Once reassigned, the old layout no longer accepts the old call.
    with pytest.raises(TypeError, match="missing a required argument: 'z'"):
        obj.m()


@pytest.mark.parametrize("attribute, missing", [("__defaults__", "a"), ("__kwdefaults__", "k")])
def test_defaults_removed_after_decoration_make_the_parameter_required(attribute, missing):
    def m(self, a=1, *, k=2):
        return (a, k)

    obj = decorate(m)()
    assert obj.m() == (1, 2)
    setattr(m, attribute, None)
    with pytest.raises(TypeError, match=f"missing a required argument: '{missing}'"):
        obj.m()
    assert obj.m(a=3, k=4) == (3, 4)


def signature_override(func):
    func.__signature__ = inspect.Signature(
        [
            inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD),
            inspect.Parameter("x", inspect.Parameter.POSITIONAL_OR_KEYWORD),
            inspect.Parameter("y", inspect.Parameter.KEYWORD_ONLY, default=5),
        ]
    )
    return func


def wrapped_override(func):
    def target(self, p, q=3):
        pass

    func.__wrapped__ = target
    return func


@pytest.mark.parametrize("override", [signature_override, wrapped_override])
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((1,), {"q": 4}), ((1, 2), {}), ((), {})])
def test_signature_and_wrapped_are_honoured(override, args, kwargs):
    # A signature the native binder could take, so that only the override
    # sends the call to inspect.
    def m(self, x=0, y=0, p=0, q=0, *args):
        return object()

    assert_identity(override(m), args, kwargs)


@pytest.mark.parametrize("override", [signature_override, wrapped_override])
def test_signature_and_wrapped_set_after_decoration_are_seen(override):
    def m(self, *args):
        return object()

    model = decorate(m)
    obj = model()
    obj.m(1), obj.m(1)  # served the second time, so remembered as received
    override(model.m.__wrapped__)
    obj.m(1)
    assert set(obj.get_validation_state()) == {
        ("m", (("args", (1,)),)),
        ("m", (("x", 1), ("y", 5))) if override is signature_override else ("m", (("p", 1), ("q", 3))),
    }


@pytest.mark.parametrize("attach", ["attribute", "whole __dict__"])
def test_signature_given_to_a_method_of_self_alone_after_decoration_is_seen(attach):
    def m(self):
        return object()

    obj = decorate(m)()
    obj.m()
    signature = inspect.Signature(
        [
            inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD),
            inspect.Parameter("x", inspect.Parameter.POSITIONAL_OR_KEYWORD, default=4),
        ]
    )
    if attach == "attribute":
        m.__signature__ = signature
    else:
        m.__dict__ = {"__signature__": signature}
    obj.m()
    assert set(obj.get_validation_state()) == {"m", ("m", (("x", 4),))}


def test_parameter_names_inspect_rejects_take_its_error():
    def m(self, a):
        return a

    m.__code__ = m.__code__.replace(co_varnames=("self", "class"))
    assert_identity(m, (1,), {})


def test_callables_that_are_not_plain_functions_bind_through_inspect():
    class Callable:
        __name__ = "m"

        def __call__(self, this, n, k=2):
            return n

    assert_identity(Callable(), (3,), {})
    assert_identity(Callable(), (), {"n": 3, "k": 4})
    assert_identity(Callable(), (), {})


# ---------------------------------------------------------------------------
# A result computed while the function's code or defaults changed belongs to
# another call than the one identified: returned, never stored


def positional(self, key, n=1):
    return n * 100


def keyword_only(self, key, *, n=1):
    return n * 100


CHANGES = {
    "__defaults__ replaced": (positional, lambda f: setattr(f, "__defaults__", (2,))),
    "__kwdefaults__ replaced": (keyword_only, lambda f: setattr(f, "__kwdefaults__", {"n": 2})),
    "__kwdefaults__ changed in place": (keyword_only, lambda f: f.__kwdefaults__.__setitem__("n", 2)),
    "__code__ replaced": (positional, lambda f: setattr(f, "__code__", (lambda self, key, n=1: n * 200).__code__)),
}


@pytest.mark.parametrize("through_inspect", [False, True], ids=["native", "inspect"])
@pytest.mark.parametrize("template, change", CHANGES.values(), ids=CHANGES.keys())
def test_a_result_computed_after_the_function_changed_is_not_stored(template, change, through_inspect):
    func = types.FunctionType(template.__code__, globals(), template.__name__, template.__defaults__)
    func.__kwdefaults__ = dict(template.__kwdefaults__ or {}) or None
    if through_inspect:
        func.__signature__ = inspect.signature(func)

    class Store(LineageStoreBase):
        method = lineage_stored()(func)

    store, key = Store(), HashingOnce(lambda: change(func))
    assert store.method(key) == 200  # n=1 was the default when the call was identified
    assert store.get_cached_value(func.__name__, key=key, n=1) is None
    assert store.get_validation_state() == {(func.__name__, (("key", key), ("n", 1))): "invalid"}


def test_a_keyword_only_default_replaced_while_hashing_stays_alive_in_the_call():
    class Tagged:
        def __init__(self, tag):
            self.tag = tag

    def method(self, key, *, n=None):
        return n.tag

    method.__kwdefaults__ = {"n": Tagged("first")}

    class Store(LineageStoreBase):
        m = lineage_stored()(method)

    class Key:  # drops the dict's only reference to the default the call uses
        def __hash__(self):
            method.__kwdefaults__["n"] = Tagged("second")
            return 1

    store = Store()
    assert store.m(Key()) == "second"
    [(_, ((_, _), (_, default)))] = store.get_validation_state()
    assert default.tag == "first"


# ---------------------------------------------------------------------------
# Lookups whose comparisons run Python code

class Colliding:
    """Hashes like every other Colliding and is equal to those of its name; the
    owner's `on_compare`, when set, runs at each comparison that is not made
    from inside another one."""

    inside = False

    def __init__(self, owner, name):
        self.owner, self.name = owner, name

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if not Colliding.inside and getattr(self.owner, "on_compare", None) is not None:
            self.owner.compared += 1
            if self.owner.compared > 100:
                raise AssertionError("compared without end")
            Colliding.inside = True
            try:
                self.owner.on_compare()
            finally:
                Colliding.inside = False
        return isinstance(other, Colliding) and other.name == self.name

    def __repr__(self):
        return f"Colliding({self.name!r})"


class Looked(LineageStoreBase):
    def __init__(self):
        self.runs, self.on_compare, self.compared = Counter(), None, 0

    @lineage_stored()
    def m(self, x):
        self.runs[x.name] += 1
        return [x.name]

    @lineage_stored()
    def other(self):
        return 0

    @lineage_stored(dependencies=[("m", {"x": Colliding(None, "d")})])
    def report(self):
        self.runs["report"] += 1
        return ["report"]


def entries(obj, method):
    Colliding.inside = True  # the view compares the keys it files
    try:
        return [key for key in obj.get_cached_values() if key[0] == method or key == method]
    finally:
        Colliding.inside = False


LOOKUPS = {
    "decorated call": lambda obj, x: obj.m(x),
    "get_cached_value": lambda obj, x: obj.get_cached_value("m", x=x),
    "update_cached_value": lambda obj, x: obj.update_cached_value("m", ["set"], x=x),
}
lookups = pytest.mark.parametrize("lookup", LOOKUPS.values(), ids=LOOKUPS.keys())


@lookups
def test_a_lookup_whose_comparisons_write_to_the_store_ends(lookup):
    obj = Looked()
    obj.m(Colliding(obj, "a"))
    obj.on_compare = lambda: obj.update_cached_value("other", obj.compared)
    lookup(obj, Colliding(obj, "b"))
    assert obj.compared == 1 and obj.runs["a"] == 1


@lookups
def test_a_lookup_whose_comparisons_keep_adding_colliding_calls_ends_uncached(lookup):
    obj = Looked()
    obj.m(Colliding(obj, "a"))
    obj.on_compare = lambda: obj.m(Colliding(obj, f"new {obj.compared}"))
    if lookup is LOOKUPS["update_cached_value"]:
        with pytest.raises(RuntimeError, match="kept changing"):
            lookup(obj, Colliding(obj, "b"))
    else:
        assert lookup(obj, Colliding(obj, "b")) == (["b"] if lookup is LOOKUPS["decorated call"] else None)
    obj.on_compare = None
    assert 1 < obj.compared < 10 and ("m", (("x", Colliding(obj, "b")),)) not in obj.get_cached_values()


def test_a_query_the_store_cannot_decide_answers_none_without_warning_even_for_an_unknown_name(strict):
    obj = Looked()

    def set_colliding(name):
        with pytest.warns(RuntimeWarning, match="no decorated method named 'nosuch'"):
            obj.update_cached_value("nosuch", 0, x=Colliding(obj, name))

    set_colliding("a")
    obj.on_compare = lambda: set_colliding(f"new {obj.compared}")
    assert obj.get_cached_value("nosuch", x=Colliding(obj, "b")) is None
    assert 1 < obj.compared < 10


@pytest.mark.parametrize("lookup", ["decorated call", "update_cached_value"])
def test_a_comparison_that_makes_the_call_looked_up_leaves_one_entry(lookup):
    obj = Looked()
    obj.m(Colliding(obj, "a"))
    obj.on_compare = lambda: obj.m(Colliding(obj, "b")) and setattr(obj, "on_compare", None)
    LOOKUPS[lookup](obj, Colliding(obj, "b"))
    assert obj.runs["b"] == 1 and len(entries(obj, "m")) == 2
    assert obj.get_cached_value("m", x=Colliding(obj, "b")) == (["b"] if lookup == "decorated call" else ["set"])


@pytest.mark.parametrize("use", [
    lambda obj: obj.get_cached_value("other"),
    lambda obj: obj.get_cached_value_by_hash(7),
    lambda obj: obj.update_cached_value("other", 1),
    lambda obj: obj.clear_cache(),
    lambda obj: obj.get_cached_values(),
    lambda obj: obj.get_dependency_graph(),
    lambda obj: obj.get_validation_state(),
    lambda obj: obj.dump_cache(),
], ids=["get", "by hash", "update", "clear", "values", "graph", "states", "dump"])
def test_a_comparison_may_use_the_store(use):
    obj = Looked()
    obj.m(Colliding(obj, "a"))
    obj.on_compare = lambda: use(obj)
    assert obj.m(Colliding(obj, "b")) == ["b"] and obj.compared == 1


def declared_dependency_told_apart_by_eq(makes_the_call):
    obj = Looked()
    obj.m(Colliding(obj, "a")), obj.m(Colliding(obj, "d"))  # the declared dependency must tell them apart
    if makes_the_call:
        obj.on_compare = lambda: obj.report() and setattr(obj, "on_compare", None)
    assert obj.report() == ["report"] and obj.compared == makes_the_call
    assert obj.runs["report"] == 1 and entries(obj, "report") == ["report"]
    assert obj.get_validation_state()["report"] == "valid"


@pytest.mark.parametrize("makes_the_call", [False, True])
def test_a_declared_dependency_compared_while_registering_may_make_the_call(makes_the_call):
    # In a child under a time limit of its own: a registration that kept
    # looking would loop without running Python code, where no timeout of
    # the test process could stop it.
    run_in_child(f"""
        import sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_call_identity import declared_dependency_told_apart_by_eq
        declared_dependency_told_apart_by_eq({makes_the_call})
    """, timeout=20)


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="collections start at allocations before 3.12 only")
def test_a_finaliser_run_by_an_allocation_while_registering_may_make_the_call():
    class Starred(LineageStoreBase):
        runs = 0

        @lineage_stored()
        def star(self, *args):
            Starred.runs += 1
            return len(args)

    class Cycle:
        def __del__(self):
            obj.star(*range(25))

    obj, cycle = Starred(), Cycle()
    obj.star()  # the parameter layout is worked out: nothing else allocates before registering
    call_arguments = (obj, *range(25))  # too long for the tuple free lists: the tuple of *args is allocated
    cycle.me = cycle
    del cycle
    threshold = gc.get_threshold()
    gc.set_threshold(1)  # that allocation, made while registering, collects
    try:
        assert Starred.star(*call_arguments) == 25
    finally:
        gc.set_threshold(*threshold)
    assert Starred.runs == 2 and len(obj.get_validation_state()) == 2


class Key:
    """Hashes like every other Key and is equal to those of its value: only
    Python's == tells two apart."""

    def __init__(self, value):
        self.value = value

    def __hash__(self):
        return 0

    def __eq__(self, other):
        return isinstance(other, Key) and other.value == self.value


def by_parameter(self, x):
    return x


def by_signature(self, x):
    return x


by_signature.__signature__ = inspect.signature(by_signature)  # bound through inspect


def by_var_keyword(self, **kw):
    return kw["a"]


def by_var_positional(self, *args):
    return args[0]


@pytest.mark.parametrize("func, arguments", [
    (by_parameter, lambda x: ((x,), {})),
    (by_signature, lambda x: ((x,), {})),
    (by_var_keyword, lambda x: ((), {"a": x, "b": 1})),
    (by_var_positional, lambda x: ((x,), {})),
], ids=["a parameter", "__signature__", "**kwargs", "*args"])
@pytest.mark.parametrize("wrap", [lambda key: key, lambda key: (key,)], ids=["a key", "a tuple of a key"])
def test_colliding_arguments_that_compare_by_value_each_get_their_own_result(func, arguments, wrap):
    method = getattr(decorate(func)(), func.__name__)
    calls = [wrap(Key(1)), wrap(Key(2))] * 2
    assert [method(*args, **kwargs) for args, kwargs in map(arguments, calls)] == calls


# ---------------------------------------------------------------------------
# Interpreter shutdown

def test_decorated_calls_work_in_finalisers_late_in_shutdown():
    done = run_python("""
        from lineage_store import LineageStoreBase, lineage_stored

        class Model(LineageStoreBase):
            @lineage_stored()
            def m(self, x, k=2):
                return x + k

        class Late:
            def __del__(self):
                model = Model()
                print("late", model.m(1), model.m(1), flush=True)
                try:
                    model.m()
                except TypeError as error:
                    print("refused", error, flush=True)

        Model().m(0)
        late = Late()
    """)
    assert done.returncode == 0, done.stderr
    assert "late 3 3" in done.stdout, done.stderr
    assert "refused missing a required argument: 'x'" in done.stdout, done.stderr


# ---------------------------------------------------------------------------
# A call received as an earlier one was: identified without binding it again

FORMS = {
    "def m(self, n, k=2)": ["obj.m(3)", "obj.m(n=3)", "obj.m(3, 2)", "obj.m(3, k=2)", "obj.m(k=2, n=3)",
                            "type(obj).m(obj, 3)"],
    "def m(self, n, *args)": ["obj.m(3, 4, 5)", "type(obj).m(obj, 3, 4, 5)", "obj.m(*(3, 4, 5))"],
    "def m(self, n, **kw)": ["obj.m(3, x=4, y=5)", "obj.m(n=3, y=5, x=4)", "obj.m(y=5, n=3, **{'x': 4})"],
    "def m(self, n, *args, k=1, **kw)": ["obj.m(3, 4, x=5)", "obj.m(3, 4, k=1, x=5)", "obj.m(3, 4, **{'x': 5})"],
}


@pytest.mark.parametrize("source, forms", FORMS.items(), ids=FORMS.keys())
def test_every_form_of_one_call_is_served_from_one_entry(source, forms):
    model = store_with(source)
    obj = model()
    # Each form again and again, and the forms in turn.
    names = {"obj": obj}
    results = [eval(form, names) for form in forms for _ in range(3)] + [eval(form, names) for form in forms * 2]
    assert model.runs == 1 and len(obj.get_validation_state()) == 1
    assert all(result is results[0] for result in results)


def set_code(func):
    def other(self, z, k=2):
        pass
    func.__code__ = other.__code__


@pytest.mark.parametrize("source, change, changed", [
    ("def m(self, n, k=2)", lambda func: setattr(func, "__defaults__", (5,)), [3, 5]),
    ("def m(self, n, *, k=2)", lambda func: setattr(func, "__kwdefaults__", {"k": 5}), [3, 5]),
    ("def m(self, n, *, k=2)", lambda func: func.__kwdefaults__.update(k=5), [3, 5]),
    ("def m(self, n, k=2)", set_code, None),  # other's body runs
], ids=["__defaults__", "__kwdefaults__", "__kwdefaults__ in place", "__code__"])
def test_a_change_of_the_function_reaches_a_call_served_before(source, change, changed):
    model = store_with(source)
    obj = model()
    # Two calls served in turn: each is found as it was received.
    assert [obj.m(n) for n in (3, 4) * 3] == [[3, 2], [4, 2]] * 3
    change(model.function)
    assert [obj.m(3) for _ in range(3)] == [changed] * 3 and len(obj.get_validation_state()) == 3


@pytest.mark.parametrize("first, second", [(-1, -2), ("", 0), (0, 2**61 - 1), (1, 1.5)])
def test_a_colliding_call_after_one_served_is_a_call_of_its_own(first, second):
    model = store_with("def m(self, n)")
    obj = model()
    served = [obj.m(first) for _ in range(3)]
    assert [obj.m(second) for _ in range(3)] == [[second]] * 3 and obj.m(first) is served[0]
    assert model.runs == 2


def test_the_same_keyword_values_in_another_order_are_a_call_of_their_own():
    model = store_with("def m(self, a, b)")
    obj = model()
    served = [obj.m(a=1, b=2) for _ in range(3)]
    assert obj.m(b=1, a=2) == [2, 1] and obj.m(a=1, b=2) is served[0] and model.runs == 2


@pytest.mark.parametrize("make", [lambda: "".join(["ke", "y"]), lambda: int("1" * 12), lambda: 0.0, lambda: False],
                         ids=["str", "int", "float", "bool"])
def test_equal_arguments_are_served_and_a_new_instance_registers_its_own(make):
    model = store_with("def m(self, n, k=2)")
    zero, fresh = model(), model()
    # 0.0 and False are equal to 0, which the decorator saw last: the new
    # instance's call is still registered with its own argument.
    [zero.m(0) for _ in range(3)]
    served = [fresh.m(make()) for _ in range(3)]
    assert all(result is served[0] for result in served) and model.runs == 2
    (key,) = fresh.get_validation_state()
    assert type(dict(key[1])["n"]) is type(make())


@pytest.mark.parametrize("set_as", [0, False])
def test_a_value_set_by_hand_is_served_and_the_call_registered_when_first_made(set_as):
    model = store_with("def m(self, n, k=2)")
    seen, fresh = model(), model()
    [seen.m(0) for _ in range(3)]  # m(0) is the call the decorator saw last
    fresh.update_cached_value("m", n=set_as, k=2, value="set")
    assert fresh.get_validation_state() == {}
    assert fresh.m(0) == "set" and model.runs == 1
    (key,) = fresh.get_validation_state()
    assert type(dict(key[1])["n"]) is int


class Noisy:
    """Hashes and compares in Python, and says so."""

    def __init__(self, value, log):
        self.value, self.log = value, log

    def __hash__(self):
        self.log.append("hash")
        return hash(self.value)

    def __eq__(self, other):
        self.log.append("eq")
        if self.value == "raise":
            raise ValueError("no comparing")
        return isinstance(other, Noisy) and other.value == self.value


def test_arguments_whose_hash_and_eq_run_python_are_compared_by_them():
    model, log = store_with("def m(self, n, k=2)"), []
    obj = model()
    served = [obj.m(Noisy(1, log), k) for k in (2, 2, 2)]
    assert all(result is served[0] for result in served) and model.runs == 1
    assert log.count("hash") == 3 and log.count("eq") == 2  # equal, not the same: each later call compared
    # After a call of a plain argument of the same hash, still told apart by __eq__.
    assert [obj.m(1) for _ in range(3)] == [[1, 2]] * 3 and obj.m(Noisy(1, log)) is served[0]
    obj.m(Noisy("raise", log))
    with pytest.raises(ValueError, match="no comparing"):
        obj.m(Noisy("raise", log))


# Under -b, comparing bytes with str or int warns, and the warnings machinery
# runs Python code (filters, showwarning); under -bb it raises.
BYTES_CHILD = """
import warnings
from lineage_store import LineageStoreBase, lineage_stored

class C(LineageStoreBase):
    @lineage_stored()
    def m(self, x):
        return [x]

    @lineage_stored()
    def other(self):
        return "other"

obj = C()
"""


@pytest.mark.parametrize("flag, printed", [("-b", "[b'abc'] [('BytesWarning', 'other')]"),
                                           ("-bb", "raised BytesWarning {('m', (('x', 'abc'),)): ['abc']}")])
def test_str_and_bytes_that_hash_alike_are_compared_where_python_code_may_run(flag, printed):
    # "abc" and b"abc" hash alike, so a dict keyed by the calls compares them too.
    out = run_in_child(BYTES_CHILD + """
seen = []
def hook(message, category, *rest):
    try:
        seen.append((category.__name__, obj.other()))
    except BaseException as error:
        seen.append((category.__name__, type(error).__name__))

warnings.showwarning = hook
obj.m("abc")
try:
    result = obj.m(b"abc"), list(seen)
except BytesWarning:
    print("raised BytesWarning", obj.get_cached_values())
else:
    print(*result)
""", flags=[flag])
    assert out.strip() == printed


def test_calls_whose_hashes_differ_are_not_compared_so_bytes_warn_about_nothing():
    out = run_in_child(BYTES_CHILD + """
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    results = [obj.m(x) for x in (b"abc", b"abc", 5, 5, True, 5.0, "x", b"abc")]
print([str(warning.message) for warning in caught], results)
""", flags=["-b"])
    assert out.strip() == "[] [[b'abc'], [b'abc'], [5], [5], [True], [5], ['x'], [b'abc']]"
