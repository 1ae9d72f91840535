from collections.abc import Callable
from typing import (
    Any,
    Concatenate,
    Generic,
    Literal,
    ParamSpec,
    Protocol,
    SupportsIndex,
    TypeAlias,
    TypeVar,
    final,
    overload,
    type_check_only,
)

# Newer than the oldest Python the package supports; checkers ship these
# stubs themselves, so users need not install typing_extensions.
from typing_extensions import Never, Self, disjoint_base

__all__ = ["LineageStoreBase", "lineage_stored", "automagically_lineage_stored"]

# How a call shows up in the views: the method name alone when it was called
# without arguments, else (name, ((argument, value), ...)) sorted by argument.
_CallKey: TypeAlias = str | tuple[str, tuple[tuple[str, Any], ...]]
_ValidationState: TypeAlias = Literal["valid", "invalid", "permanently invalid"]

# The native base carries the store in its instance layout, so it cannot be
# combined with another base that has a layout of its own.
@disjoint_base
class LineageStoreBase:
    """Base class of objects whose methods keep their results and their lineage.

    Derive from it and decorate instance methods with
    automagically_lineage_stored() or lineage_stored(). Each instance keeps
    its own store: the result of each decorated call, a dependency graph
    between the calls and a validation state per call ("valid", "invalid"
    or "permanently invalid"). update_cached_value invalidates exactly what
    was computed from the value it sets.

    The views name a call by its call key: the method name for a call
    without arguments, else (name, ((argument, value), ...)) with the
    arguments sorted by name.

    The examples of the methods start from this book:

    >>> class Portfolio(LineageStoreBase):
    ...     @lineage_stored(serialisable=True)
    ...     def fx_rate(self) -> float:
    ...         return 1.25
    ...
    ...     @automagically_lineage_stored()
    ...     def price(self, ticker: str) -> float:
    ...         return {"ACME": 10.0, "GLOBEX": 42.0}[ticker] * self.fx_rate()
    >>> book = Portfolio()
    >>> book.price("ACME")                # computes fx_rate() and price("ACME")
    12.5
    """

    # Takes and ignores any arguments. Typed Any, not object, so that checkers
    # leave a subclass's own __init__ signature to decide what it accepts.
    def __new__(cls, *_args: Any, **_kwargs: Any) -> Self: ...
    def get_cached_value_by_hash(self, /, hash: SupportsIndex) -> Any:
        """Return the stored valid value of the call with this hash, or None.

        The hash is Python's hash of the call tuple
        (name, ((argument, value), ...)): every argument bound by name,
        defaults included, sorted by name; hash((name, ())) for a call
        without arguments. Hashes of str differ between processes
        (PYTHONHASHSEED), so do not keep them.

        >>> book.get_cached_value_by_hash(hash(("price", (("ticker", "ACME"),))))
        12.5
        >>> book.get_cached_value_by_hash(hash(("fx_rate", ())))
        1.25
        """

    def get_cached_value(self, /, method_name: str, **kwargs: object) -> Any:
        """Return the stored valid value of one call, or None.

        Name the method by its function's __name__ and give every argument
        of the call as a keyword, defaults included, as the decorated call
        binds them: *args as one tuple, **kwargs as one tuple of
        (name, value) pairs sorted by name. A call never made, invalid or
        never stored gives None, as does a stored None.

        >>> book.get_cached_value("price", ticker="ACME")
        12.5
        >>> book.get_cached_value("price", ticker="GLOBEX") is None  # not called yet
        True
        """

    def update_cached_value(self, /, method_name: str, value: object, **kwargs: object) -> None:
        """Set the value of one call by hand.

        The call is named as in get_cached_value. Every call computed from
        it, directly or further down, becomes invalid; the value is stored
        and served from then on, until something the call depends on
        changes. It may be set before the call is ever made: the first call
        is then served it.

        >>> book.update_cached_value("fx_rate", 2.0)
        >>> book.get_validation_state()[("price", (("ticker", "ACME"),))]
        'invalid'
        >>> book.price("ACME")                # computed again from the new rate
        20.0
        """

    def clear_cache(self) -> None:
        """Drop every stored value.

        The dependency graph and the validation states stay: a valid call
        is simply computed again at its next call. A computation in progress
        meanwhile returns its result without storing it.

        >>> book.clear_cache()
        >>> book.get_cached_values()
        {}
        >>> book.price("ACME")                # computed again
        12.5
        """

    def get_cached_values(self) -> dict[_CallKey, Any]:
        """Return {call key: stored value}, a new dict in no particular order.

        The values are the stored objects themselves, not copies.

        >>> sorted(book.get_cached_values().items(), key=str)
        [('fx_rate', 1.25), (('price', (('ticker', 'ACME'),)), 12.5)]
        """

    def get_dependency_graph(self) -> dict[_CallKey, set[_CallKey]]:
        """Return {call key: set of the call keys computed from that call}.

        Declared dependencies and those recorded at run time alike. A new
        dict of new sets, in no particular order.

        >>> book.get_dependency_graph()["fx_rate"]
        {('price', (('ticker', 'ACME'),))}
        """

    def get_validation_state(self) -> dict[_CallKey, _ValidationState]:
        """Return {call key: "valid" | "invalid" | "permanently invalid"}.

        valid: served from the store until something it depends on changes;
        invalid: something it depends on changed, so its next call computes
        it again; permanently invalid: never stored, so it runs at every
        call (a use_cache=False method and what is computed from it, for
        instance).

        >>> book.get_validation_state()["fx_rate"]
        'valid'
        """

    def dump_cache(self) -> dict[str, Any]:
        """Return {attribute name: stored value} of the serialisable methods.

        Those decorated with serialisable=True. The dict is plain data:
        pickle or store it as you like, and give it to load_cache.

        >>> book.dump_cache()
        {'fx_rate': 1.25}
        """

    def load_cache(self, /, data: dict[str, Any]) -> None:
        """Put values from dump_cache back into this instance.

        Every key must name a serialisable decorated method of the class
        (else AttributeError, ValueError or TypeError). Each named method
        runs once to register its call, then the loaded value replaces its
        result.

        >>> fresh = Portfolio()
        >>> fresh.load_cache({"fx_rate": 2.0})
        >>> fresh.price("ACME")               # computed from the loaded rate
        20.0
        """

_Store = TypeVar("_Store", bound=LineageStoreBase)
_Store_contra = TypeVar("_Store_contra", bound=LineageStoreBase, contravariant=True)
_Params = ParamSpec("_Params")
_Result = TypeVar("_Result")
_Result_co = TypeVar("_Result_co", covariant=True)

# How the factories take the method they decorate, in three overloads. The
# first, Callable[Concatenate[...]], fits every method for pyright, and for
# mypy every method without **kwargs: it makes the method's first parameter
# positional-only, and mypy then refuses **kwargs, because a keyword self=...
# that the expected **kwargs would take binds to self in the method. The
# second takes a method whose first parameter is named self through this
# protocol, which names it too, and keeps every parameter type. The last
# accepts any other name, with the parameters unknown, so that mypy raises
# no false error there either.
@type_check_only
class _SelfMethod(Protocol[_Store_contra, _Params, _Result_co]):
    def __call__(
        _method, self: _Store_contra, *args: _Params.args, **kwargs: _Params.kwargs
    ) -> _Result_co: ...

# A dependency is a method name or (method name, {argument: value}), and the
# option takes a list of them, nothing else (a tuple or a bare str is refused
# at run time). list is invariant, so a variable declared list[str] or
# list[tuple[...]] matches only when those list types are named too; they sit
# in an overload of their own because a mixed list display checked against a
# union of list types is not inferred as the mixed list by every checker.
_Dependency: TypeAlias = str | tuple[str, dict[str, Any]]
_UniformDependencies: TypeAlias = list[str] | list[tuple[str, dict[str, Any]]]

# What a decorated method gives through an instance: a bound method that takes
# the method's parameters less self and returns its result, and that reaches
# the function as written through __wrapped__, as a bound method reaches its
# function's attributes. It exists for checkers only, like LineageStoreDecorator
# below, and both take the result first: jedi counts no ParamSpec among a
# class's type variables, so with the parameters first it would read the
# result from their place and infer none. __call__ is a callable attribute
# rather than a method, so that jedi, finding no signature on the protocol,
# shows the decorated function's; as an attribute it makes the result
# invariant here (a covariant variable may not type a writable member).
@type_check_only
class _LineageStoreMethod(Protocol[_Result, _Params]):
    """A decorated method bound to an instance: obj.method."""

    __call__: Callable[_Params, _Result]
    @property
    def __wrapped__(self) -> Callable[Concatenate[Any, _Params], _Result]: ...

# The type of what the factories return. The module does not publish it under
# this name, so it cannot be imported at run time; annotations may still name
# it under `if TYPE_CHECKING:` or in quotes, as LineageStoreDecorator[float, [str]]
# for a method taking a str and returning a float (the result first, see
# _LineageStoreMethod). It is not generic over the store class (the factories
# check that when they decorate): a subclass may then replace a decorated
# method with one of its own, as it may a plain method.
@final
@type_check_only
class LineageStoreDecorator(Generic[_Result_co, _Params]):
    """A method decorated with lineage_stored() or automagically_lineage_stored().

    Called through an instance, it serves the stored value of the call
    while that is valid; otherwise it runs the method and stores the result
    (unless the call is permanently invalid). Through the class it takes
    the instance first. Assigning to it through an instance raises, and a
    value put in an instance's __dict__ under its name never shadows it.

    A call is the method's function __name__ and its arguments bound to the
    signature, defaults applied, sorted by name (self left out): *args are
    one argument (a tuple), **kwargs one argument (a tuple of (name, value)
    pairs sorted by name). Arguments must be hashable. Equal arguments make
    the same call; every distinct call has its own entry, even when hashes
    collide.

    An async def method may be decorated: calling it returns a coroutine,
    and awaiting that serves the stored valid value or runs the method once
    (concurrent awaits of the same call in one event loop share one
    computation).

    >>> class Quotes(LineageStoreBase):
    ...     @lineage_stored()
    ...     def quote(self, ticker: str, size: int = 1, **options: str) -> float:
    ...         return 10.0 * size
    >>> quotes = Quotes()
    >>> quotes.quote("ACME", venue="X"), quotes.quote(venue="X", size=1, ticker="ACME")
    (10.0, 10.0)
    >>> list(quotes.get_validation_state())   # both were one call
    [('quote', (('options', (('venue', 'X'),)), ('size', 1), ('ticker', 'ACME')))]
    >>> Quotes.quote(quotes, "ACME", venue="X")
    10.0
    """

    def __call__(
        self, instance: LineageStoreBase, /, *args: _Params.args, **kwargs: _Params.kwargs
    ) -> _Result_co: ...
    # The owner is never read. Typed object, so that jedi, which cannot match
    # a type[Any] parameter, picks the overload by the instance alone.
    @overload
    def __get__(self, instance: None, owner: object = None, /) -> Self: ...
    @overload
    def __get__(
        self, instance: LineageStoreBase, owner: object = None, /
    ) -> _LineageStoreMethod[_Result_co, _Params]: ...
    # Assignment through an instance always raises, so no value is accepted.
    def __set__(self, instance: LineageStoreBase, value: Never, /) -> None: ...
    # The decorated function's own mark, so that abc sees an abstract method.
    @property
    def __isabstractmethod__(self) -> bool: ...
    # The decorated function, as written (it takes self first): what
    # inspect.signature and the tools built on it read.
    @property
    def __wrapped__(self) -> Callable[Concatenate[Any, _Params], _Result_co]: ...

@final
class lineage_stored:
    """Build a decorator that stores each call's result of an instance method.

    For methods of a LineageStoreBase subclass; the parentheses are
    required: @lineage_stored(). Each distinct call of the method has its
    own stored result, served while nothing it depends on changes.

    Use automagically_lineage_stored unless you mean to declare every input
    by hand: a lineage_stored method that calls another decorated method
    without declaring it gets a RuntimeWarning, because its stored result
    would not follow changes of that call.

    Options (each boolean takes a real bool, not 0 or 1):

    - use_cache (default True): False runs the method at every call and
      never stores its result, nor the result of anything that tracks it.
    - dependencies (default None): a list of the calls on the same
      instance that the method depends on, each a method name or a
      (method name, {argument: value}) pair. Name the method by its
      function's __name__ and give every argument, defaults included.
    - track_runtime_dependencies (default False): record as dependencies
      every decorated call of the same instance made while the method runs
      (not calls on other instances or from other threads).
    - serialisable (default False): include the method, which must take
      only self, in dump_cache. Not allowed on async methods.

    async def methods may be decorated: calling one returns a coroutine,
    and awaiting it serves the stored value or runs the method once.

    >>> class Rates(LineageStoreBase):
    ...     @lineage_stored(serialisable=True)
    ...     def fx_rate(self) -> float:
    ...         return 1.25
    ...
    ...     @lineage_stored(dependencies=["fx_rate"])
    ...     def label(self) -> str:
    ...         return f"rate {self.fx_rate()}"
    >>> rates = Rates()
    >>> rates.fx_rate(), rates.label()
    (1.25, 'rate 1.25')
    >>> rates.update_cached_value("fx_rate", 2.0)
    >>> rates.label()                     # its declared dependency changed
    'rate 2.0'
    """

    @overload
    def __new__(
        cls,
        use_cache: bool = True,
        dependencies: list[_Dependency] | None = None,
        track_runtime_dependencies: bool = False,
        serialisable: bool = False,
    ) -> Self: ...
    @overload
    def __new__(
        cls,
        use_cache: bool = True,
        dependencies: _UniformDependencies = ...,
        track_runtime_dependencies: bool = False,
        serialisable: bool = False,
    ) -> Self: ...
    @overload
    def __call__(
        self, func: Callable[Concatenate[_Store, _Params], _Result]
    ) -> LineageStoreDecorator[_Result, _Params]: ...
    @overload
    def __call__(  # type: ignore[overload-overlap]  # the next one is the same with its parameters unknown
        self, func: _SelfMethod[_Store, _Params, _Result]
    ) -> LineageStoreDecorator[_Result, _Params]: ...
    @overload
    def __call__(
        self, func: Callable[Concatenate[_Store, ...], _Result]
    ) -> LineageStoreDecorator[_Result, ...]: ...

@final
class automagically_lineage_stored:
    """Build a decorator that stores each call's result and tracks what it calls.

    For methods of a LineageStoreBase subclass; the parentheses are
    required: @automagically_lineage_stored(). Every decorated call of the
    same instance that the method makes is recorded as a dependency, so a
    stored result follows changes of those calls with nothing to declare:
    the usual choice. It is lineage_stored with
    track_runtime_dependencies=True.

    Options (each boolean takes a real bool, not 0 or 1):

    - use_cache (default True): False runs the method at every call and
      never stores its result, nor the result of anything that tracks it.
    - dependencies (default None): a list of the calls on the same
      instance that the method depends on, each a method name or a
      (method name, {argument: value}) pair. Name the method by its
      function's __name__ and give every argument, defaults included.
    - track_runtime_dependencies (default True): record as dependencies
      every decorated call of the same instance made while the method runs
      (not calls on other instances or from other threads).
    - serialisable (default False): include the method, which must take
      only self, in dump_cache. Not allowed on async methods.

    async def methods may be decorated: calling one returns a coroutine,
    and awaiting it serves the stored value or runs the method once.

    >>> class Prices(LineageStoreBase):
    ...     @lineage_stored()
    ...     def fx_rate(self) -> float:
    ...         return 1.25
    ...
    ...     @automagically_lineage_stored()
    ...     def price(self, ticker: str) -> float:
    ...         return 10.0 * self.fx_rate()  # recorded as a dependency
    >>> prices = Prices()
    >>> prices.price("ACME")
    12.5
    >>> prices.update_cached_value("fx_rate", 2.0)
    >>> prices.price("ACME")              # computed again from the new rate
    20.0
    """

    @overload
    def __new__(
        cls,
        use_cache: bool = True,
        dependencies: list[_Dependency] | None = None,
        track_runtime_dependencies: bool = True,
        serialisable: bool = False,
    ) -> Self: ...
    @overload
    def __new__(
        cls,
        use_cache: bool = True,
        dependencies: _UniformDependencies = ...,
        track_runtime_dependencies: bool = True,
        serialisable: bool = False,
    ) -> Self: ...
    @overload
    def __call__(
        self, func: Callable[Concatenate[_Store, _Params], _Result]
    ) -> LineageStoreDecorator[_Result, _Params]: ...
    @overload
    def __call__(  # type: ignore[overload-overlap]  # the next one is the same with its parameters unknown
        self, func: _SelfMethod[_Store, _Params, _Result]
    ) -> LineageStoreDecorator[_Result, _Params]: ...
    @overload
    def __call__(
        self, func: Callable[Concatenate[_Store, ...], _Result]
    ) -> LineageStoreDecorator[_Result, ...]: ...
