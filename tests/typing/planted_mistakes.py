"""Mistakes a user can make with lineage_store, each on its own marked line.

Every line marked `# expect-error` must be reported by each type checker, and
no other line may be: scripts/check_types.sh compares the lines reported with
the marked ones.
"""

from __future__ import annotations

from collections.abc import Coroutine
from typing import Any

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


class Quotes(LineageStoreBase):
    @lineage_stored(serialisable=True)
    def fx_rate(self) -> float:
        return 1.25

    @automagically_lineage_stored()
    def quote(self, ticker: str, *, currency: str = "EUR") -> float:
        return 10.0 * self.fx_rate() if currency == "EUR" else 10.0

    @automagically_lineage_stored()
    def sized(self, ticker: str, **options: int) -> float:
        return self.quote(ticker) * options.get("size", 1)

    @automagically_lineage_stored()
    async def tick(self, x: int) -> int:
        return x


quotes = Quotes()

# Calls of a decorated method keep the wrapped function's parameters and result.
quotes.quote(42)  # expect-error: wrong argument type
quotes.quote("ACME", "USD")  # expect-error: keyword-only argument passed by position
quotes.quote("ACME", venue="XETRA")  # expect-error: unknown keyword
quotes.quote()  # expect-error: missing argument
label: str = quotes.quote("ACME")  # expect-error: the result is a float, not a str
quotes.sized("ACME", size="large")  # expect-error: the **options values are ints
quotes.sized("ACME", 5)  # expect-error: no second positional parameter
ticks: int = quotes.tick(1) + 1  # expect-error: a coroutine used as the int it yields
later: Coroutine[Any, Any, str] = quotes.tick(1)  # expect-error: the coroutine yields an int
Quotes.quote.__wrapped__ = len  # expect-error: the wrapped function is read-only
wrapped_label: str = Quotes.quote.__wrapped__(quotes, "ACME")  # expect-error: the function returns a float

# The store's own methods.
quotes.get_cached_value(7)  # expect-error: the method name must be a str
quotes.load_cache([("fx_rate", 2.0)])  # expect-error: load_cache takes a dict
quotes.get_cached_value_by_hash("fx_rate")  # expect-error: a call hash is an int
quotes.clear_cache(True)  # expect-error: clear_cache takes no argument

# A decorated method cannot be replaced through an instance.
quotes.fx_rate = lambda: 2.0  # expect-error: assignment over a decorated method


class BadOptions(LineageStoreBase):
    @lineage_stored(use_cache=1)  # expect-error: factory options are bool, not int
    def first(self) -> int:
        return 1

    @lineage_stored(dependencies=[("first",)])  # expect-error: a dependency is a str or (str, dict)
    def second(self) -> int:
        return 2

    @automagically_lineage_stored(dependencies="first")  # expect-error: a str where the list belongs
    def third(self) -> int:
        return 3


class NotAStore:
    @lineage_stored()  # expect-error: the class does not derive from LineageStoreBase
    def value(self) -> int:
        return 1


@automagically_lineage_stored()  # expect-error: a module-level function has no store
def standalone(ticker: str) -> float:
    return 1.0


class CustomFactory(lineage_stored):  # expect-error: the factories are final
    pass
