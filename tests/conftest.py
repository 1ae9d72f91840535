"""Helpers shared by the test modules."""

import textwrap

from lineage_store import LineageStoreBase, lineage_stored


def store_with(source):
    """A store class whose method `m`, defined by `source` (a `def m(self, ...)`
    line without a body), is decorated and returns a new list of its arguments
    per run; the class counts the runs in `runs` and keeps the undecorated
    function as `function`."""
    namespace = {}
    body = "    model.runs += 1\n    return [value for value in locals().values() if value is not self]\n"
    exec(textwrap.dedent(source) + ":\n" + body, {"model": None}, namespace)
    function = namespace["m"]
    model = type("Model", (LineageStoreBase,), {"m": lineage_stored()(function), "runs": 0,
                                                 "function": staticmethod(function)})
    function.__globals__["model"] = model
    return model
