"""Draw the lineage of a lineage_store instance as a Graphviz graph.

`to_dot(instance)` returns DOT text: one box per call, coloured by its
validation state, and an arrow from each call to every call computed from it.
Standard library only; render the text with Graphviz:

    python examples/lineage_graph.py > lineage.dot && dot -Tsvg lineage.dot -o lineage.svg

Run as a script, it draws the README's example portfolio after an update of
its exchange rate, so that all three states appear.
"""

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

# Fill and border colour of each state, as the views spell the states.
STATE_COLOURS = {
    "valid": ("#c8e6c9", "#2e7d32"),
    "invalid": ("#ffe0b2", "#e65100"),
    "permanently invalid": ("#ffcdd2", "#b71c1c"),
}
UNKNOWN_COLOURS = ("#ffffff", "#616161")  # a call the state view does not list
LONGEST_VALUE = 24  # characters of an argument's repr shown in a label


def call_label(call):
    """`fx_rate()` for a method name, `price(ticker='ACME')` for a call tuple."""
    if isinstance(call, str):
        return f"{call}()"
    name, arguments = call
    shown = []
    for argument, value in arguments:
        text = repr(value)
        if len(text) > LONGEST_VALUE:
            text = text[: LONGEST_VALUE - 1] + "\u2026"
        shown.append(f"{argument}={text}")
    return f"{name}({', '.join(shown)})"


def quoted(text):
    """A DOT string literal."""
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
    return f'"{escaped}"'


def legend():
    rows = "".join(
        f'<TR><TD BGCOLOR="{fill}" COLOR="{border}">{state}</TD></TR>'
        for state, (fill, border) in STATE_COLOURS.items()
    )
    return (
        '    legend [shape=plaintext, style="", label=<<TABLE BORDER="0" CELLBORDER="1" '
        f'CELLSPACING="2" CELLPADDING="4"><TR><TD BORDER="0"><B>state</B></TD></TR>{rows}</TABLE>>];'
    )


def to_dot(instance, title=None):
    """DOT text for the dependency graph and validation states of `instance`."""
    graph = instance.get_dependency_graph()
    states = instance.get_validation_state()
    calls = set(graph) | set(states)
    for children in graph.values():
        calls |= children
    # Sorted by label, so that the same store always gives the same text.
    node_ids = {call: f"n{index}" for index, call in enumerate(sorted(calls, key=call_label))}

    lines = [
        "digraph lineage {",
        f"    label={quoted(title or f'lineage of {type(instance).__name__}')};",
        "    labelloc=t;",
        '    fontname="Helvetica";',
        "    rankdir=LR;",
        '    node [shape=box, style="rounded,filled", fontname="Helvetica"];',
        '    edge [color="#455a64"];',
    ]
    for call, node_id in node_ids.items():
        state = states.get(call)
        fill, border = STATE_COLOURS.get(state, UNKNOWN_COLOURS)
        tooltip = state or "no state"
        lines.append(
            f"    {node_id} [label={quoted(call_label(call))}, fillcolor={quoted(fill)}, "
            f"color={quoted(border)}, tooltip={quoted(tooltip)}];"
        )
    for call in sorted(graph, key=call_label):
        for child in sorted(graph[call], key=call_label):
            lines.append(f"    {node_ids[call]} -> {node_ids[child]};")
    lines.append(legend())
    lines.append("}")
    return "\n".join(lines) + "\n"


class Portfolio(LineageStoreBase):
    """The README's quickstart model."""

    @lineage_stored(serialisable=True)
    def fx_rate(self):
        return 1.25

    @automagically_lineage_stored()
    def price(self, ticker):
        return {"ACME": 10.0, "GLOBEX": 42.0}[ticker] * self.fx_rate()

    @lineage_stored(use_cache=False)
    def spread(self, ticker):
        return 0.05

    @automagically_lineage_stored()
    def bid(self, ticker):
        return self.price(ticker) - self.spread(ticker)

    @lineage_stored(dependencies=[("price", {"ticker": "ACME"})])
    def acme_report(self):
        return f"ACME at {self.price('ACME')}"


def example_portfolio():
    """The portfolio after an update: valid, invalid and permanently invalid calls."""
    book = Portfolio()
    book.price("ACME")
    book.bid("ACME")
    book.acme_report()
    book.price("GLOBEX")
    book.update_cached_value("fx_rate", 2.0)
    return book


if __name__ == "__main__":
    print(to_dot(example_portfolio(), "lineage of a portfolio after update_cached_value('fx_rate', 2.0)"), end="")
