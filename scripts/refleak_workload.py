"""A mixed workload over every entry point of lineage_store, run repeatedly
under a debug interpreter: the total reference count must not grow at all
between the later rounds, and the allocated memory blocks by less than half
a block per call of one_book.

The blocks are the interpreter's small allocations, objects or not (dict
tables, UTF-8 caches of str). Their count settles slowly: tables of the
interpreter's own caches keep the largest size they ever needed, and the
threads' interleaving varies, so a few blocks still come and go late in a
run. Every operation below runs at least once per call of one_book, so a
leak of even one block in any of them would add a block per call.

Run by scripts/refleak_hunt.sh; by hand: `python3.11-dbg refleak_workload.py`
with lineage_store built against that interpreter's headers.
"""

import array
import gc
import sys
import threading
from dataclasses import dataclass

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

ROUNDS, COMPARED = 80, 10  # the first rounds fill the interpreter's caches
BOOKS = 10  # calls of one_book per round


@dataclass(frozen=True)
class Key:  # hashed by Python code
    k: int


class Book(LineageStoreBase):
    @lineage_stored(serialisable=True)
    def rate(self):
        return [1.5]

    @automagically_lineage_stored()
    def total(self, n, scale=1):
        return n * self.rate()[0] * scale

    @lineage_stored()
    def same(self, x):  # same(-1) and same(-2) collide: hash(-1) == hash(-2)
        return [x]

    @automagically_lineage_stored()
    def uses_same(self, x):
        return self.same(x) + [x]

    @lineage_stored()
    def raises(self, n):
        raise ValueError(n)

    @lineage_stored(use_cache=False)
    def volatile(self):
        return object()

    @lineage_stored(dependencies=["rate", ("total", {"n": 2, "scale": 1})])
    def declared(self):
        return self.rate()[0] * 2

    @automagically_lineage_stored(serialisable=True)
    def summary(self):
        return [self.rate(), self.total(2)]

    @automagically_lineage_stored()
    def keyed(self, key):
        return key.k * 2


class CallsBack:
    """Hashed by a query of its own store: calls back into that store."""

    def __init__(self, store):
        self.store = store

    def __hash__(self):
        self.store.get_cached_values()
        self.store.rate()
        self.store.clear_cache()
        return 7


class Interrupting:
    def __hash__(self):
        raise KeyboardInterrupt


class CallsOnRelease:
    def __init__(self, store):
        self.store = store

    def __del__(self):
        self.store.rate()


def one_book(i):
    book = Book()
    book.total(i), book.total(n=i), book.total(i, scale=2)
    book.same(-1), book.same(-2), book.uses_same(-1), book.uses_same(-2)
    try:
        book.raises(i)
    except ValueError:
        pass
    book.volatile(), book.declared(), book.summary()
    book.update_cached_value("rate", [2.0])
    try:
        book.update_cached_value("same", [0], x=-2)
    except ValueError:  # refused: the call hash belongs to same(-1)
        pass
    book.get_cached_value("total", n=i, scale=1), book.get_cached_value("total", n=[])
    book.get_cached_value_by_hash(hash(("total", (("n", i), ("scale", 1)))))
    book.get_cached_values(), book.get_dependency_graph(), book.get_validation_state()
    dumped = book.dump_cache()
    Book().load_cache(dumped)
    book.load_cache(dumped)
    book.load_cache({"rate": [3.0]})
    for bad in ({"missing": 1}, {1: 2}, {"total": 1}):
        try:
            book.load_cache(bad)
        except (AttributeError, TypeError, ValueError):
            pass
    book.get_cached_value("total", n=CallsBack(book))
    book.update_cached_value("total", 0, n=CallsBack(book))
    try:
        book.get_cached_value("total", n=Interrupting())
    except KeyboardInterrupt:
        pass
    book.update_cached_value("same", CallsOnRelease(book), x=5)
    book.update_cached_value("same", None, x=5)  # the finaliser calls back into the store
    book.clear_cache()
    book.total(i)


def chains():
    head = first = LineageStoreBase()
    for _ in range(100):
        link = LineageStoreBase()
        link.update_cached_value("next", head)
        head = link
    first.update_cached_value("next", head)  # a cycle, for the collector
    del head, first, link
    gc.collect()


def threads():
    shared = Book()

    def work(offset):
        for i in range(100):
            shared.keyed(Key((i + offset) % 10))
            shared.get_cached_value("keyed", key=Key(i % 10))
            if i % 20 == 0:
                shared.update_cached_value("keyed", i, key=Key(i % 10))
                shared.get_dependency_graph()

    workers = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()


def workload():
    for i in range(BOOKS):
        one_book(i)
    chains()
    threads()


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("needs a debug build of Python (sys.gettotalrefcount)")
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # threads switch mid-call
    # Preallocated arrays of machine integers: recording a figure must not
    # itself take a reference or a block.
    references, blocks = array.array("q", [0] * ROUNDS), array.array("q", [0] * ROUNDS)
    for n in range(ROUNDS):
        workload()
        gc.collect()
        references[n], blocks[n] = sys.gettotalrefcount(), sys.getallocatedblocks()
    sys.setswitchinterval(interval)
    for n in range(ROUNDS):
        print(f"round {n + 1:2}: total refcount {references[n]}, allocated blocks {blocks[n]}")
    reference_growth = references[-1] - references[-COMPARED]
    block_growth = blocks[-1] - blocks[-COMPARED]
    print(f"growth over the last {COMPARED} rounds: {reference_growth} references, {block_growth} blocks")
    sys.exit(0 if reference_growth == 0 and block_growth < BOOKS * COMPARED // 2 else 1)


if __name__ == "__main__":
    main()
