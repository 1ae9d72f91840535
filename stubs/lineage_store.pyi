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
    # Takes and ignores any arguments. Typed Any, not object, so that checkers
    # leave a subclass's own __init__ signature to decide what it accepts.
    def __new__(cls, *_args: Any, **_kwargs: Any) -> Self: ...
    def get_cached_value_by_hash(self, /, hash: SupportsIndex) -> Any: ...
    def get_cached_value(self, /, method_name: str, **kwargs: object) -> Any: ...
    def update_cached_value(self, /, method_name: str, value: object, **kwargs: object) -> None: ...
    def clear_cache(self) -> None: ...
    def get_cached_values(self) -> dict[_CallKey, Any]: ...
    def get_dependency_graph(self) -> dict[_CallKey, set[_CallKey]]: ...
    def get_validation_state(self) -> dict[_CallKey, _ValidationState]: ...
    def dump_cache(self) -> dict[str, Any]: ...
    def load_cache(self, /, data: dict[str, Any]) -> None: ...

_Store = TypeVar("_Store", bound=LineageStoreBase)
_Store_contra = TypeVar("_Store_contra", bound=LineageStoreBase, contravariant=True)
_Params = ParamSpec("_Params")
_Result = TypeVar("_Result")
_Result_co = TypeVar("_Result_co", covariant=True)

# A method whose first parameter is called self. Callable[Concatenate[...]]
# makes that parameter positional-only, and mypy then rejects every method
# with **kwargs: the keyword self=... that the **kwargs of the expected type
# would take binds to self in the method. Naming the parameter here keeps
# the two alike, so the factories accept such a method through this type
# with its parameters intact.
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

# The type of what the factories return. The module does not publish it under
# this name, so it cannot be imported at run time; annotations may still name
# it under `if TYPE_CHECKING:` or in quotes. It is not generic over the store
# class (the factories check that when they decorate): a subclass may then
# replace a decorated method with one of its own, as it may a plain method.
@final
@type_check_only
class LineageStoreDecorator(Generic[_Params, _Result_co]):
    def __call__(
        self, instance: LineageStoreBase, /, *args: _Params.args, **kwargs: _Params.kwargs
    ) -> _Result_co: ...
    @overload
    def __get__(self, instance: None, owner: type[Any] | None = None, /) -> Self: ...
    @overload
    def __get__(
        self, instance: LineageStoreBase, owner: type[Any] | None = None, /
    ) -> Callable[_Params, _Result_co]: ...
    # Assignment through an instance always raises, so no value is accepted.
    def __set__(self, instance: LineageStoreBase, value: Never, /) -> None: ...
    # The decorated function's own mark, so that abc sees an abstract method.
    @property
    def __isabstractmethod__(self) -> bool: ...

@final
class lineage_stored:
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
    ) -> LineageStoreDecorator[_Params, _Result]: ...
    @overload
    def __call__(  # type: ignore[overload-overlap]  # the next one is the same with its parameters unknown
        self, func: _SelfMethod[_Store, _Params, _Result]
    ) -> LineageStoreDecorator[_Params, _Result]: ...
    @overload
    def __call__(
        self, func: Callable[Concatenate[_Store, ...], _Result]
    ) -> LineageStoreDecorator[..., _Result]: ...

@final
class automagically_lineage_stored:
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
    ) -> LineageStoreDecorator[_Params, _Result]: ...
    @overload
    def __call__(  # type: ignore[overload-overlap]  # the next one is the same with its parameters unknown
        self, func: _SelfMethod[_Store, _Params, _Result]
    ) -> LineageStoreDecorator[_Params, _Result]: ...
    @overload
    def __call__(
        self, func: Callable[Concatenate[_Store, ...], _Result]
    ) -> LineageStoreDecorator[..., _Result]: ...
