"""Awaited calls of decorated async methods, measured against their peers.

Run by hand, with lineage_store installed into the interpreter that runs it:

    python benchmarks/bench_async.py            # full run, under a minute
    python benchmarks/bench_async.py --quick    # smaller sizes, a smoke run

Cases:
- an awaited hit, `await obj.m(3)` for `async def m(self, n, k=2)`, against
  async-lru's `alru_cache` on the same method (its rows are skipped when
  async-lru is not installed) and against a hand-written async method that
  memoises in a dict of its instance;
- 1,000 tasks awaiting one slow call at once: how many times the method ran,
  and the CPU time per awaiting task;
- for context, the sync hit `obj.m(3)` against functools.lru_cache, so that a
  reader sees the sync path did not pay for the async one.

Every awaited figure is taken in one running event loop, each timing a
coroutine that awaits the statement many times; the loop around it is in
every implementation's figure alike. Times are the process's CPU time, best
of several repeats, with the implementations' repeats interleaved and the
collector off inside timed regions, as benchmarks/bench_targets.py does. The
script exits 0 whether targets pass or fail: it measures, it does not test.
"""

import argparse
import asyncio
import functools
import importlib.metadata
import platform
import sys
import time
import timeit

from bench_targets import timed  # this folder is on sys.path when run as a script
from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

try:
    from async_lru import alru_cache
except ImportError:
    alru_cache = None

clock = time.process_time

ASYNC_LRU = "async_lru.alru_cache"
HAND = "hand-written dict memo"
LRU = "functools.lru_cache"
# Ratios of lineage_store's awaited hit to each reference.
TARGETS = {ASYNC_LRU: 0.5, HAND: 1.3}
CONCURRENT_AWAITS = 1_000
SLOW_SECONDS = 0.01


# --- The implementations compared -------------------------------------------

def ours(factory):
    class Ours(LineageStoreBase):
        def __init__(self):
            self.runs = 0

        @factory()
        async def m(self, n, k=2):
            return n + k

        @factory()
        async def slow(self, n):
            self.runs += 1
            await asyncio.sleep(SLOW_SECONDS)
            return n

    return Ours


class Hand:
    """What one writes without a library: a dict of the instance, keyed by the arguments."""

    def __init__(self):
        self.runs, self.memo = 0, {}

    async def m(self, n, k=2):
        key = ("m", n, k)
        try:
            return self.memo[key]
        except KeyError:
            value = self.memo[key] = n + k
            return value

    async def slow(self, n):
        key = ("slow", n)
        try:
            return self.memo[key]
        except KeyError:
            self.runs += 1
            await asyncio.sleep(SLOW_SECONDS)
            value = self.memo[key] = n
            return value


if alru_cache is not None:
    class AsyncLru:
        def __init__(self):
            self.runs = 0

        @alru_cache(maxsize=None)
        async def m(self, n, k=2):
            return n + k

        @alru_cache(maxsize=None)
        async def slow(self, n):
            self.runs += 1
            await asyncio.sleep(SLOW_SECONDS)
            return n
else:
    AsyncLru = None

AWAITED = {
    "lineage_stored": ours(lineage_stored),
    "automagically_lineage_stored": ours(automagically_lineage_stored),
    ASYNC_LRU: AsyncLru,
    HAND: Hand,
}


def sync_class(decorate, base=LineageStoreBase):
    class Sync(base):
        @decorate
        def m(self, n, k=2):
            return n + k

    return Sync


SYNC = {
    "lineage_stored": sync_class(lineage_stored()),
    "automagically_lineage_stored": sync_class(automagically_lineage_stored()),
    LRU: sync_class(functools.lru_cache(maxsize=None), object),
}


# --- Timing ------------------------------------------------------------------
# timed(action): CPU seconds, collector off, as bench_targets measures.


def awaited_timing(loop, obj, cell_seconds):
    """A callable giving seconds per `await obj.m(3)`, its count set so one timing lasts cell_seconds."""
    async def awaits(number):
        for _ in range(number):
            await obj.m(3)

    def seconds(number):
        return timed(lambda: loop.run_until_complete(awaits(number))) / number

    seconds(1)  # the first await computes and stores
    number = max(1, int(cell_seconds / max(seconds(1000), 1e-9)))
    return lambda: seconds(number)


def sync_timing(obj, cell_seconds):
    timer = timeit.Timer("obj.m(3)", timer=clock, globals={"obj": obj})
    timer.timeit(1)
    number = max(1, int(cell_seconds / max(timer.timeit(1000) / 1000, 1e-9)))
    return lambda: timer.timeit(number) / number


def best_interleaved(timings, repeats):
    best = dict.fromkeys(timings, float("inf"))
    for _ in range(repeats):
        for name, timing in timings.items():
            best[name] = min(best[name], timing())
    return best


def concurrent_awaits(loop, cls):
    """Runs of the slow method and CPU seconds per task when CONCURRENT_AWAITS tasks await it at once."""
    obj = cls()

    async def together():
        await asyncio.gather(*(obj.slow(7) for _ in range(CONCURRENT_AWAITS)))

    seconds = timed(lambda: loop.run_until_complete(together()))
    return obj.runs, seconds / CONCURRENT_AWAITS


# --- Report --------------------------------------------------------------------

def nanoseconds(seconds):
    return f"{seconds * 1e9:,.0f} ns"


def print_rows(title, rows):
    """rows: (implementation, figure, ratio text, target text, verdict, note)."""
    print(title)
    widths = [max(len(row[i]) for row in rows) for i in range(6)]
    for row in rows:
        print("  " + "  ".join(cell.rjust(width) if i in (1, 2) else cell.ljust(width)
                               for i, (cell, width) in enumerate(zip(row, widths))).rstrip())
    print()


def ratio_cells(value, reference, target):
    if reference is None:
        return "", "", ""
    ratio = value / reference
    if target is None:
        return f"{ratio:.2f}x", "", ""
    return f"{ratio:.2f}x", f"<= {target:g}x", "PASS" if ratio <= target else "FAIL"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes and fewer repeats, for a smoke run")
    arguments = parser.parse_args(argv)
    repeats, cell_seconds = (3, 0.005) if arguments.quick else (9, 0.05)

    try:
        version = importlib.metadata.version("lineage_store")
    except importlib.metadata.PackageNotFoundError:
        version = "(version unknown)"
    lru_text = f"async-lru {importlib.metadata.version('async-lru')}" if alru_cache else "async-lru not installed"
    print(f"lineage_store {version}; Python {platform.python_version()}, {platform.machine()}; {lru_text}")
    print(("QUICK RUN: small sizes and few repeats, for a smoke test" if arguments.quick else "full run")
          + f"; CPU time, best of {repeats} interleaved repeats")
    print()

    loop = asyncio.new_event_loop()
    try:
        available = {name: cls for name, cls in AWAITED.items() if cls is not None}
        timings = {name: awaited_timing(loop, cls(), cell_seconds) for name, cls in available.items()}
        best = best_interleaved(timings, repeats)
        rows = []
        for name in AWAITED:
            if name not in best:
                rows.append((name, "-", "", "", "", "skipped: async-lru not installed"))
                continue
            note = "reference" if name in TARGETS else ""
            rows.append((name, nanoseconds(best[name]), "", "", "", note))
            if name.endswith("lineage_stored"):
                for reference, target in TARGETS.items():
                    ratio, target_text, verdict = ratio_cells(best[name], best.get(reference), target)
                    if ratio:
                        rows.append(("", "", ratio, target_text, verdict, f"of {reference}"))
        print_rows("awaited hit `await obj.m(3)`, async def m(self, n, k=2)", rows)

        rows = []
        for name, cls in AWAITED.items():
            if cls is None:
                rows.append((name, "-", "", "", "", "skipped: async-lru not installed"))
                continue
            runs, seconds = concurrent_awaits(loop, cls)
            rows.append((name, nanoseconds(seconds), f"runs: {runs}", "", "", "CPU per awaiting task"))
        print_rows(f"{CONCURRENT_AWAITS:,} tasks awaiting one slow call at once", rows)
    finally:
        loop.close()

    best = best_interleaved({name: sync_timing(cls(), cell_seconds) for name, cls in SYNC.items()}, repeats)
    rows = [(name, nanoseconds(best[name]), *ratio_cells(best[name], best[LRU], None), "reference" if name == LRU else "")
            for name in SYNC]
    print_rows("for context, the sync hit `obj.m(3)`, def m(self, n, k=2)", rows)
    return 0


if __name__ == "__main__":
    main()
