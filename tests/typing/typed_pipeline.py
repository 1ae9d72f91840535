"""A pricing pipeline written against the installed package, as a user would.

Both type checkers must pass this module in strict mode without a single
diagnostic, and it must also run: the types describe code that works.
"""

from __future__ import annotations

import asyncio
import pickle
import tempfile
from collections.abc import Coroutine
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

from typing_extensions import assert_type

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

if TYPE_CHECKING:
    # Exists for checkers only: the module does not publish the name.
    from lineage_store import LineageStoreDecorator

# Dependencies kept in variables: list is invariant, so each of these list
# types has to be accepted as it is.
RATE_INPUTS: list[str] = ["fx_rate"]
ACME_PRICE: list[tuple[str, dict[str, str]]] = [("price", {"ticker": "ACME", "currency": "EUR"})]


class Portfolio(LineageStoreBase):
    def __init__(self, holdings: dict[str, int]) -> None:
        self.holdings = holdings

    @lineage_stored(serialisable=True)
    def fx_rate(self) -> float:
        return 1.25

    @automagically_lineage_stored()
    def price(self, ticker: str, *, currency: str = "EUR") -> float:
        base = {"ACME": 10.0, "GLOBEX": 42.0}[ticker]
        return base * self.fx_rate() if currency == "EUR" else base

    @automagically_lineage_stored()
    def value(self, ticker: str) -> float:
        return self.holdings[ticker] * self.price(ticker)

    @automagically_lineage_stored(serialisable=True)
    def total(self) -> float:
        return sum(self.value(ticker) for ticker in self.holdings)

    @lineage_stored(dependencies=RATE_INPUTS, serialisable=True)
    def rate_label(self) -> str:
        return f"rate {self.fx_rate()}"

    @lineage_stored(dependencies=ACME_PRICE)
    def acme_report(self) -> str:
        return f"ACME at {self.price('ACME')}"

    @lineage_stored(True, ["fx_rate", ("value", {"ticker": "ACME"})], False, False)
    def acme_summary(self, prefix: str = "") -> tuple[str, float]:
        return prefix + "ACME", self.value("ACME")

    # **kwargs (with *args before them): the decorated call keeps both.
    @automagically_lineage_stored()
    def basket(self, *tickers: str, **weights: float) -> float:
        return sum(self.price(ticker) * weights.get(ticker, 1.0) for ticker in tickers)

    # A first parameter not named self, with **kwargs: mypy then knows none of
    # the parameters (pyright does), but reports no error either.
    @lineage_stored(dependencies=["fx_rate"])
    def scaled(this, factor: float, **extra: float) -> float:  # pyright: ignore[reportSelfClsParameterName]
        return this.fx_rate() * factor + sum(extra.values())

    # Runs at every call, so a coroutine function is accepted at run time.
    @lineage_stored(use_cache=False, track_runtime_dependencies=True)
    async def live_price(self, ticker: str) -> float:
        return self.price(ticker)


class StressedPortfolio(Portfolio):
    """A subclass keeps the inherited decorated methods, replaces one and adds one."""

    @lineage_stored(dependencies=RATE_INPUTS, serialisable=True)
    def rate_label(self) -> str:
        return f"stressed rate {self.fx_rate()}"

    @lineage_stored(use_cache=False, track_runtime_dependencies=True)
    def shocked_total(self, shock: float) -> float:
        return self.total() * (1.0 + shock)


if TYPE_CHECKING:
    # Checked, never run: a cached coroutine method is refused when its class
    # is defined by a build without support for it, and this module has to
    # run against that build too.
    class Feed(LineageStoreBase):
        @automagically_lineage_stored()
        async def tick(self, x: int) -> int:
            return x

        @automagically_lineage_stored()
        async def ticks(self, *xs: int, **labels: str) -> list[int]:
            return [await self.tick(x) for x in xs]

    async def read_feed(feed: Feed) -> int:
        # Coroutine for mypy, its subclass CoroutineType for pyright: assigning
        # proves both, the planted mistakes prove the result type counts.
        pending: Coroutine[Any, Any, int] = feed.tick(1)
        assert_type(await pending, int)
        assert_type(await feed.ticks(1, 2, source="x"), list[int])
        return await Feed.tick(feed, 2) + await feed.tick(x=3)


def call_key(name: str, **arguments: object) -> tuple[str, tuple[tuple[str, object], ...]]:
    return name, tuple(sorted(arguments.items()))


def invalid_calls(store: LineageStoreBase) -> list[str]:
    states = store.get_validation_state()
    return sorted(str(key) for key, state in states.items() if state == "invalid")


def main() -> None:
    book = StressedPortfolio({"ACME": 3, "GLOBEX": 2})
    assert_type(book.total(), float)
    assert_type(book.price("GLOBEX", currency="USD"), float)
    assert_type(book.acme_summary(prefix="> "), tuple[str, float])
    assert_type(book.shocked_total(0.1), float)
    assert_type(book.basket("ACME", "GLOBEX", GLOBEX=0.5), float)
    assert_type(book.scaled(2.0, bonus=1.0), float)
    assert book.basket("ACME", "GLOBEX", GLOBEX=0.5) == 12.5 + 52.5 * 0.5
    assert book.scaled(2.0, bonus=1.0) == 3.5
    assert book.acme_report() == "ACME at 12.5"
    assert book.rate_label() == "stressed rate 1.25"

    # Reached through the class, a decorated method takes the instance first.
    total_method: LineageStoreDecorator[float, []] = Portfolio.total
    assert total_method(book) == book.total()
    # The function behind it, as written: what inspect.signature reads, through
    # the class or the instance alike.
    assert_type(Portfolio.price.__wrapped__(book, "ACME", currency="USD"), float)
    assert_type(book.price.__wrapped__(book, "ACME", currency="USD"), float)
    assert book.price.__wrapped__ is Portfolio.price.__wrapped__

    live: Coroutine[Any, Any, float] = book.live_price("ACME")
    assert asyncio.run(live) == 12.5

    book.update_cached_value("fx_rate", 2.0)
    # Declared and recorded dependants alike are invalid now.
    assert {"total", "rate_label", "acme_report"} <= set(invalid_calls(book))
    assert book.total() == 3 * 20.0 + 2 * 84.0

    cached: float | None = book.get_cached_value("price", ticker="ACME", currency="EUR")
    by_hash = book.get_cached_value_by_hash(hash(call_key("price", ticker="ACME", currency="EUR")))
    assert cached == by_hash == 20.0
    # **kwargs are one argument: (name, value) pairs sorted by name.
    book.update_cached_value("basket", 1.0, tickers=("ACME", "GLOBEX"), weights=(("GLOBEX", 0.5),))
    assert book.basket("ACME", "GLOBEX", GLOBEX=0.5) == 1.0

    values: dict[str | tuple[str, tuple[tuple[str, Any], ...]], Any] = book.get_cached_values()
    assert values["fx_rate"] == 2.0
    graph = book.get_dependency_graph()
    assert "total" in graph[call_key("value", ticker="ACME")]
    state: Literal["valid", "invalid", "permanently invalid"] = book.get_validation_state()["total"]
    assert state == "valid"

    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "book.pickle"
        path.write_bytes(pickle.dumps(book.dump_cache()))
        fresh = Portfolio(book.holdings)
        fresh.load_cache(pickle.loads(path.read_bytes()))
    assert fresh.fx_rate() == 2.0

    book.clear_cache()
    assert book.get_cached_values() == {}


if __name__ == "__main__":
    main()
