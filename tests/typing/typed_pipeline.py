"""A pricing pipeline written against the installed package, as a user would.

Both type checkers must pass this module in strict mode without a single
diagnostic, and it must also run: the types describe code that works.
"""

from __future__ import annotations

import pickle
import tempfile
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


class StressedPortfolio(Portfolio):
    """A subclass keeps the inherited decorated methods, replaces one and adds one."""

    @lineage_stored(dependencies=RATE_INPUTS, serialisable=True)
    def rate_label(self) -> str:
        return f"stressed rate {self.fx_rate()}"

    @lineage_stored(use_cache=False, track_runtime_dependencies=True)
    def shocked_total(self, shock: float) -> float:
        return self.total() * (1.0 + shock)


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
    assert book.acme_report() == "ACME at 12.5"
    assert book.rate_label() == "stressed rate 1.25"

    # Reached through the class, a decorated method takes the instance first.
    total_method: LineageStoreDecorator[[], float] = Portfolio.total
    assert total_method(book) == book.total()

    book.update_cached_value("fx_rate", 2.0)
    # Declared and recorded dependants alike are invalid now.
    assert {"total", "rate_label", "acme_report"} <= set(invalid_calls(book))
    assert book.total() == 3 * 20.0 + 2 * 84.0

    cached: float | None = book.get_cached_value("price", ticker="ACME", currency="EUR")
    by_hash = book.get_cached_value_by_hash(hash(call_key("price", ticker="ACME", currency="EUR")))
    assert cached == by_hash == 20.0

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
