"""A small pricing pipeline whose cached results know what they came from.

Run it with `python examples/pipeline.py`. Each computation prints a line when
it really runs, so the output shows what is served from the store and what a
manual update makes compute again.
"""

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


class Portfolio(LineageStoreBase):
    def __init__(self, holdings):
        self.holdings = holdings

    @lineage_stored(serialisable=True)
    def fx_rate(self):
        print("  computing fx_rate")
        return 1.25

    @automagically_lineage_stored()
    def price(self, ticker):
        print(f"  computing price({ticker!r})")
        base = {"ACME": 10.0, "GLOBEX": 42.0}[ticker]
        return base * self.fx_rate()

    @automagically_lineage_stored()
    def value(self, ticker):
        print(f"  computing value({ticker!r})")
        return self.holdings[ticker] * self.price(ticker)

    @automagically_lineage_stored(serialisable=True)
    def total(self):
        print("  computing total")
        return sum(self.value(ticker) for ticker in self.holdings)


def main():
    book = Portfolio({"ACME": 3, "GLOBEX": 2})

    print("first total():")
    print("  ->", book.total())

    print("second total(), served from the store:")
    print("  ->", book.total())

    print("update_cached_value('fx_rate', 2.0) invalidates what was computed from it:")
    book.update_cached_value("fx_rate", 2.0)
    for call, state in sorted(book.get_validation_state().items(), key=str):
        print(f"  {call}: {state}")

    print("third total() recomputes the invalidated calls; fx_rate is served:")
    print("  ->", book.total())

    print("the calls computed from fx_rate:")
    print("  ", sorted(book.get_dependency_graph()["fx_rate"]))

    print("dump_cache() holds the serialisable methods' values:", book.dump_cache())


if __name__ == "__main__":
    main()
