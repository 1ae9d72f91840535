"""Store classes for the pickling tests, at module level so that pickle (and a
spawned child process) can import them by name. Not a test module."""

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


class Position(LineageStoreBase):
    """A store with __dict__ state that its __init__ requires."""

    def __init__(self, quantities, rate=1.0):
        self.quantities = quantities
        self.rate_value = rate
        self.runs = []

    @lineage_stored()
    def rate(self):
        self.runs.append('rate')
        return self.rate_value

    @automagically_lineage_stored()
    def value(self, ticker):
        self.runs.append(('value', ticker))
        return self.quantities[ticker] * self.rate()


class Slotted(LineageStoreBase):
    """No __dict__ at all: the state lives only in slots."""

    __slots__ = ('base', 'unset')

    def __init__(self, base):
        self.base = base

    @lineage_stored()
    def doubled(self):
        return 2 * self.base


class Stateful(Position):
    """A class that chooses its own pickled state, as a plain class may."""

    def __getstate__(self):
        return {'quantities': self.quantities, 'rate_value': self.rate_value}

    def __setstate__(self, state):
        self.__dict__.update(state, runs=['restored'])


def value_in_child(position, ticker):
    """Runs in a spawned process: the computation and what the child's store holds."""
    return position.value(ticker), sorted(map(str, position.get_cached_values()))
