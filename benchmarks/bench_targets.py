"""Performance targets of lineage_store, measured against its peers.

Run by hand, with lineage_store installed into the interpreter that runs it:

    python benchmarks/bench_targets.py                 # full run, a few minutes
    python benchmarks/bench_targets.py --quick         # smaller sizes, a smoke run
    python benchmarks/bench_targets.py --only hit,miss # selected sections
    python benchmarks/bench_targets.py --markdown      # the table as Markdown

Sections: hit (also with arguments equal to the registered ones but other
objects, and in a store holding a million calls), miss, invalidation (against
a dict loop and a plain-Python graph walk), views (against the same dict built
in Python from keys made beforehand), memory (per cached call: the caches' own
bytes, and with the argument objects; per instance: what an empty store adds
to an instance, and an instance with one cached call against lru_cache's),
persistence (dump_cache and load_cache of many serialisable methods against a
Python loop calling each of them), scaling. Every figure
is the best of several repeats; ratios compare figures measured in this one
process (memory: in one subprocess per implementation), with the repeats of
the implementations compared interleaved so that all see the same machine
load. Times are the process's CPU time, which other processes' load on a
shared machine barely disturbs (`--wall-clock` measures elapsed time instead).
The garbage collector is off inside timed regions, as timeit does.

Peers: functools.lru_cache (the reference of every ratio), functools.
cached_property (argument-free case), cachetools.cachedmethod (optional: its
rows are skipped when cachetools is not installed) and "inspect binding", a
plain Python decorator that identifies a call as lineage_store's reference
path does: inspect.signature(func).bind(...), apply_defaults, drop "self",
sort, tuple, hash, dict lookup.

The script uses only the public interface, so it keeps working whatever the
module does inside. It exits 0 whether targets pass or fail: it measures, it
does not test.
"""

import argparse
import functools
import gc
import importlib.metadata
import inspect
import os
import platform
import subprocess
import sys
import time
import timeit
from dataclasses import dataclass

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

try:
    import cachetools
except ImportError:
    cachetools = None

# The clock of every timing: CPU time of this process unless --wall-clock.
clock = time.process_time

SECTIONS = ("hit", "miss", "invalidation", "views", "memory", "persistence", "scaling")


@dataclass(frozen=True)
class Sizes:
    repeats: int  # repeats of the per-call timings (hit, miss)
    big_repeats: int  # repeats of the whole-table operations
    cell_seconds: float  # minimum duration of one hit timing
    misses: int  # distinct calls per miss timing
    dependants: int  # dependants of the updated call; also the calls of the views
    memory_calls: int
    memory_instances: int  # instances per per-instance memory figure
    serialisable_methods: int  # methods of the persistence section's class
    scaling_calls: int  # the smaller size; the larger is ten times this
    fan_calls: int  # the same for the tracking method


FULL = Sizes(repeats=9, big_repeats=5, cell_seconds=0.03, misses=20_000,
             dependants=100_000, memory_calls=1_000_000, memory_instances=100_000,
             serialisable_methods=10_000, scaling_calls=10_000,
             fan_calls=1_000)
QUICK = Sizes(repeats=3, big_repeats=2, cell_seconds=0.005, misses=2_000,
              dependants=10_000, memory_calls=50_000, memory_instances=10_000,
              serialisable_methods=1_000, scaling_calls=1_000,
              fan_calls=300)

# Hit ratios to lru_cache. From 3.12 on the stable ABI offers vectorcall,
# which is why the older interpreters get looser targets.
HIT_TARGETS = {
    True: {"m0()": 1.5, "m(3)": 2.0, "m(n=3)": 1.5, "f(1, 2, 3, 4, 5)": 2.0},
    False: {"m0()": 2.5, "m(3)": 3.0, "m(n=3)": 2.0, "f(1, 2, 3, 4, 5)": 3.0},
}[sys.version_info >= (3, 12)]
# Hits whose arguments are equal to the registered ones but other objects.
EQUAL_HIT_TARGET = 2.0 if sys.version_info >= (3, 12) else 2.5
MISS_TARGET = 3.0
INVALIDATION_TARGET = 1.5
VIEW_TARGET = 4.0
# Per cached call: the caches' own bytes (arguments made beforehand), and the
# same with the argument objects that the calls made and the caches keep.
MEMORY_OWN_TARGET = 1.5
MEMORY_WITH_ARGUMENTS_TARGET = 2.5
DUMP_TARGET = 1.2
LOAD_TARGET = 1.5
SCALING_TARGET = 12.0


# --- The implementations compared -------------------------------------------
#
# Each class offers the same three method shapes: m0(self), m(self, n, k=2)
# and f(self, a, b, c, d, e), each built fresh so that no two decorators share
# a function object.

def method_shapes():
    def m0(self):
        return 0

    def m(self, n, k=2):
        return n  # n may be any hashable, for the equal-argument hits

    def f(self, a, b, c, d, e):
        return a + e

    return {"m0": m0, "m": m, "f": f}


def decorated_class(name, decorate, base=object, extra=None):
    namespace = {key: decorate(func) for key, func in method_shapes().items()}
    namespace.update(extra or {})
    return type(name, (base,), namespace)


def inspect_binding(func):
    """Memoise by binding every call through inspect, as lineage_store's reference path does."""
    name = func.__name__

    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        bound = inspect.signature(func).bind(*args, **kwargs)
        bound.apply_defaults()
        arguments = tuple(sorted((key, value) for key, value in bound.arguments.items()
                                 if key != "self"))
        call_hash = hash((name, arguments))
        store = args[0].inspect_store
        try:
            return store[call_hash]
        except KeyError:
            value = store[call_hash] = func(*args, **kwargs)
            return value

    return wrapper


def init_inspect_store(self):
    self.inspect_store = {}


def init_cachetools_caches(self):
    self.caches = {name: {} for name in method_shapes()}


def cachetools_decorate(func):
    name = func.__name__
    return cachetools.cachedmethod(lambda self: self.caches[name])(func)


LineageStored = decorated_class("LineageStored", lineage_stored(), LineageStoreBase)
Automagic = decorated_class("Automagic", automagically_lineage_stored(), LineageStoreBase)
LruCache = decorated_class("LruCache", functools.lru_cache(maxsize=None))
InspectBinding = decorated_class("InspectBinding", inspect_binding,
                                 extra={"__init__": init_inspect_store})
CachedProperty = type("CachedProperty", (), {"m0": functools.cached_property(method_shapes()["m0"])})
CachetoolsMethod = (decorated_class("CachetoolsMethod", cachetools_decorate,
                                    extra={"__init__": init_cachetools_caches})
                    if cachetools else None)

LRU = "functools.lru_cache"
OURS = {"lineage_stored": LineageStored, "automagically_lineage_stored": Automagic}
# Implementation name -> class, or None when it cannot run here.
PEERS = {
    LRU: LruCache,
    "functools.cached_property": CachedProperty,
    "cachetools.cachedmethod": CachetoolsMethod,
    "inspect binding": InspectBinding,
}
SKIP_NOTE = "skipped: cachetools not installed"


def fresh(cls):
    """A new instance with an empty cache (lru_cache's lives on the class)."""
    for name in method_shapes():
        clear = getattr(getattr(cls, name, None), "cache_clear", None)
        if clear is not None:
            clear()
    return cls()


# --- Results -----------------------------------------------------------------

@dataclass
class Row:
    section: str
    case: str
    implementation: str
    value: float = None  # seconds, or bytes when unit == "B"
    unit: str = "s"
    ratio: float = None
    target: float = None
    note: str = ""
    group: str = None  # rows printed together; the case by default

    def cells(self):
        if self.value is None:
            value = "-"
        elif self.unit == "B":
            value = f"{self.value:,.0f} B"
        elif self.value < 1e-4:
            value = f"{self.value * 1e9:,.0f} ns"
        else:
            value = f"{self.value * 1e3:,.1f} ms"
        ratio = "" if self.ratio is None else f"{self.ratio:.{2 if self.ratio < 10 else 1}f}x"
        target = "" if self.target is None else f"<= {self.target:g}x"
        if self.target is None or self.ratio is None:
            verdict = ""
        else:
            verdict = "PASS" if self.ratio <= self.target else "FAIL"
        return [self.section, self.case, self.implementation, value, ratio, target,
                verdict, self.note]


COLUMNS = ["section", "case", "implementation", "time or size", "ratio", "target",
           "result", "note"]
RIGHT_ALIGNED = {3, 4, 5}


def format_text(rows):
    table = [COLUMNS] + [row.cells() for row in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(COLUMNS))]

    def line(cells):
        return "  ".join(cell.rjust(width) if i in RIGHT_ALIGNED else cell.ljust(width)
                         for i, (cell, width) in enumerate(zip(cells, widths))).rstrip()

    out = [line(COLUMNS), line(["-" * width for width in widths])]
    previous = None
    for row in rows:
        group = (row.section, row.group or row.case)
        if previous is not None and group != previous:
            out.append("")
        previous = group
        out.append(line(row.cells()))
    return "\n".join(out)


def format_markdown(rows):
    def line(cells):
        return "| " + " | ".join(cell.replace("|", "\\|") for cell in cells) + " |"

    separator = "|" + "|".join("---:" if i in RIGHT_ALIGNED else "---"
                               for i in range(len(COLUMNS))) + "|"
    return "\n".join([line(COLUMNS), separator] + [line(row.cells()) for row in rows])


# --- Timing helpers ----------------------------------------------------------

def timed(action):
    """Seconds taken by action(), with the collector off as timeit has it."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        start = clock()
        action()
        return clock() - start
    finally:
        if collecting:
            gc.enable()


def loop_count(timer, cell_seconds):
    """Calls per timing so that one timing lasts at least cell_seconds."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= cell_seconds / 5 or number >= 10**8:
            return max(1, int(number * cell_seconds / max(elapsed, 1e-9)))
        number *= 10


def best_interleaved(timings, repeats):
    """Best of `repeats` rounds, each running every timing once, in turn.

    timings: name -> callable returning seconds per unit of work.
    """
    best = dict.fromkeys(timings, float("inf"))
    for _ in range(repeats):
        for name, timing in timings.items():
            best[name] = min(best[name], timing())
    return best


# --- Sections ----------------------------------------------------------------

HIT_CASES = [  # case, statement, the methods it needs
    ("m0()", "obj.m0()", "m0"),
    ("m(3)", "obj.m(3)", "m"),
    ("m(n=3)", "obj.m(n=3)", "m"),
    ("f(1, 2, 3, 4, 5)", "obj.f(1, 2, 3, 4, 5)", "f"),
]


@dataclass(frozen=True)
class SmallKey:
    name: str
    number: int


def equal_arguments(kind, count):
    """`count` arguments equal to one another, each a new object."""
    if kind == "str":
        return ["".join(["run", "-", "time"]) for _ in range(count)]
    if kind == "int":
        return [int("1" * 12) for _ in range(count)]
    return [SmallKey("".join(["k", "ey"]), 1000) for _ in range(count)]


EQUAL_HIT_CASES = [  # case, kind of argument
    ("m(x), x an equal str made at run time", "str"),
    ("m(x), x an equal int above 256", "int"),
    ("m(x), x an equal frozen dataclass", "dataclass"),
]


def per_call_timing(timer, number, calls_per_run=1):
    return lambda: timer.timeit(number) / (number * calls_per_run)


def bench_equal_hits(sizes):
    """Hits whose argument is equal to the registered one but not the same object.

    Each statement runs over a prepared list of such arguments; the loop is in
    every implementation's figure alike."""
    rows = []
    candidates = {**OURS, LRU: LruCache, "inspect binding": InspectBinding}
    for case, kind in EQUAL_HIT_CASES:
        timings = {}
        for name, cls in candidates.items():
            obj = fresh(cls)
            arguments = equal_arguments(kind, 200)
            timer = timeit.Timer("for x in arguments: obj.m(x)", timer=clock,
                                 globals={"obj": obj, "arguments": arguments})
            timer.timeit(1)  # the first call computes and stores
            number = loop_count(timer, sizes.cell_seconds)
            timings[name] = per_call_timing(timer, number, len(arguments))
        best = best_interleaved(timings, sizes.repeats)
        for name in candidates:
            rows.append(Row("hit", case, name, best[name], ratio=best[name] / best[LRU],
                            target=EQUAL_HIT_TARGET if name in OURS else None))
    return rows


def bench_hit_in_a_full_store(sizes):
    """m(3) served from a cache that holds many other calls of m."""
    calls = sizes.memory_calls
    timings = {}
    candidates = {**OURS, LRU: LruCache}
    for name, cls in candidates.items():
        obj = fresh(cls)
        for n in range(calls):
            obj.m(n)
        timer = timeit.Timer("obj.m(3)", timer=clock, globals={"obj": obj})
        number = loop_count(timer, sizes.cell_seconds)
        timings[name] = per_call_timing(timer, number)
    best = best_interleaved(timings, sizes.repeats)
    case = f"m(3), {calls:,} calls stored"
    rows = [Row("hit", case, name, best[name], ratio=best[name] / best[LRU],
                target=HIT_TARGETS["m(3)"] if name in OURS else None) for name in candidates]
    for cls in candidates.values():
        fresh(cls)  # lru_cache's table lives on the class: empty it again
    return rows


def bench_hit(sizes):
    rows = []
    for case, statement, method in HIT_CASES:
        candidates = {**OURS, **PEERS}
        timings = {}
        skipped = {}
        for name, cls in candidates.items():
            if cls is None:
                skipped[name] = SKIP_NOTE
                continue
            if not hasattr(cls, method):
                continue  # cached_property serves only the argument-free case
            obj = fresh(cls)
            # cached_property is read, not called: that is its hit.
            code = "obj.m0" if cls is CachedProperty else statement
            timer = timeit.Timer(code, timer=clock, globals={"obj": obj})
            timer.timeit(1)  # the first call computes and stores
            number = loop_count(timer, sizes.cell_seconds)
            timings[name] = per_call_timing(timer, number)
        best = best_interleaved(timings, sizes.repeats)
        for name in candidates:
            if name in skipped:
                rows.append(Row("hit", case, name, note=skipped[name]))
            elif name in best:
                rows.append(Row("hit", case, name, best[name], ratio=best[name] / best[LRU],
                                target=HIT_TARGETS[case] if name in OURS else None))
    return rows + bench_equal_hits(sizes) + bench_hit_in_a_full_store(sizes)


def bench_miss(sizes):
    """A new call each time: bound, computed and stored, on a fresh instance."""
    def miss_timing(cls):
        def timing():
            obj = fresh(cls)

            def calls():
                for n in range(sizes.misses):
                    obj.m(n)

            return timed(calls) / sizes.misses
        return timing

    candidates = {**OURS, **{name: cls for name, cls in PEERS.items()
                             if name != "functools.cached_property"}}
    timings = {name: miss_timing(cls) for name, cls in candidates.items() if cls is not None}
    best = best_interleaved(timings, sizes.repeats)
    case = f"m(n) for {sizes.misses:,} new n"
    rows = []
    for name, cls in candidates.items():
        if cls is None:
            rows.append(Row("miss", case, name, note=SKIP_NOTE))
        else:
            rows.append(Row("miss", case, name, best[name], ratio=best[name] / best[LRU],
                            target=MISS_TARGET if name in OURS else None))
    return rows


class Dependants(LineageStoreBase):
    @lineage_stored()
    def rate(self):
        return 1.0

    @automagically_lineage_stored()
    def dep(self, i):
        return i * self.rate()


def dependant_keys(count):
    """The display keys of dep(0) ... dep(count - 1), made in Python."""
    return [("dep", (("i", i),)) for i in range(count)]


def make_dependants(count):
    obj = Dependants()
    compute_dependants(obj, count)
    graph = obj.get_dependency_graph()
    if len(graph.get("rate", ())) != count:
        raise RuntimeError(f"expected {count} dependants of rate(), the graph has "
                           f"{len(graph.get('rate', ()))}")
    return obj


def compute_dependants(obj, count):
    for i in range(count):
        obj.dep(i)


def bench_invalidation(sizes):
    count = sizes.dependants
    obj = make_dependants(count)
    keys = dependant_keys(count)

    def update():
        # Between rounds, outside the timed region, the dependants that the
        # last update invalidated are computed again, so each update meets
        # `count` valid dependants.
        compute_dependants(obj, count)
        return timed(lambda: obj.update_cached_value("rate", 1.0))

    def python_loop():
        def store_all():
            store = {}
            for key in keys:
                store[key] = 1.0
        return timed(store_all)

    # The same update done by a plain-Python graph: children as a dict of
    # sets, states in a dict, a depth-first walk with a visited set.
    children = {"rate": set(keys), **{key: set() for key in keys}}
    states = dict.fromkeys(children, "valid")
    values = dict.fromkeys(children, 1.0)

    def graph_walk():
        def walk():
            stack, seen = ["rate"], {"rate"}
            while stack:
                call = stack.pop()
                if states[call] == "valid":
                    states[call] = "invalid"
                for child in children[call]:
                    if child not in seen:
                        seen.add(child)
                        stack.append(child)
            values["rate"] = 1.0
            states["rate"] = "valid"

        for key in keys:  # every dependant valid again, outside the timed region
            states[key] = "valid"
        return timed(walk)

    best = best_interleaved({"ours": update, "loop": python_loop, "walk": graph_walk},
                            sizes.big_repeats)
    case = f"update_cached_value, {count:,} dependants"
    walk_case = f"the same, against a Python graph walk"
    return [
        Row("invalidation", case, "lineage_store", best["ours"], ratio=best["ours"] / best["loop"],
            target=INVALIDATION_TARGET),
        Row("invalidation", case, "Python loop, tuple-keyed dict", best["loop"], ratio=1.0),
        Row("invalidation", walk_case, "lineage_store", best["ours"], ratio=best["ours"] / best["walk"]),
        Row("invalidation", walk_case, "Python graph walk, dict of sets + state dict", best["walk"],
            ratio=1.0),
    ]


def bench_views(sizes):
    count = sizes.dependants
    obj = make_dependants(count)
    dep_keys = dependant_keys(count)
    keys = ["rate"] + dep_keys
    # What each view holds, made ready in Python; the baseline only builds the dict.
    edges = [("rate", tuple(dep_keys))] + [(key, ()) for key in dep_keys]
    values = [("rate", 1.0)] + [(("dep", (("i", i),)), i * 1.0) for i in range(count)]

    views = {
        "get_validation_state": (obj.get_validation_state,
                                 lambda: {key: "valid" for key in keys}),
        "get_dependency_graph": (obj.get_dependency_graph,
                                 lambda: {key: set(children) for key, children in edges}),
        "get_cached_values": (obj.get_cached_values,
                              lambda: {key: value for key, value in values}),
    }
    rows = []
    for view, (ours, python) in views.items():
        note = "" if ours() == python() else "the view differs from the dict built in Python"
        best = best_interleaved({"ours": lambda: timed(ours), "python": lambda: timed(python)},
                                sizes.big_repeats)
        case = f"{view}, {count + 1:,} calls"
        rows.append(Row("views", case, "lineage_store", best["ours"],
                        ratio=best["ours"] / best["python"], target=VIEW_TARGET, note=note))
        rows.append(Row("views", case, "dict built in Python, keys made beforehand",
                        best["python"], ratio=1.0))
    return rows


# The memory section runs each implementation in a child process of this
# script, so that the figures do not share an allocator's history.
def memory_class(decorate, base=object):
    def m(self, n):
        return n

    return type("Memory", (base,), {"m": decorate(m)})


MEMORY_CLASSES = {
    "lineage_stored": lambda: memory_class(lineage_stored(), LineageStoreBase),
    "automagically_lineage_stored": lambda: memory_class(automagically_lineage_stored(),
                                                         LineageStoreBase),
    LRU: lambda: memory_class(functools.lru_cache(maxsize=None)),
}


def resident_bytes():
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        import resource  # peak, not current, but the cache only grows
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def memory_child(implementation, calls, arguments_beforehand):
    obj = MEMORY_CLASSES[implementation]()()
    obj.m(-(10**6))  # lazily built parts exist before the first reading
    # Ints above 256 are objects of their own; made here, they exist before
    # and after the calls and leave only the caches' own bytes to count.
    arguments = range(10**6, 10**6 + calls)
    if arguments_beforehand:
        arguments = list(arguments)
    gc.collect()
    before = resident_bytes()
    for n in arguments:
        obj.m(n)
    gc.collect()
    print((resident_bytes() - before) / calls)


def plain_method(func):
    return func


# Per-instance figures: each kind's class has the one method m(self, n); the
# plain object's class is the same class with m undecorated and no base.
INSTANCE_CLASSES = {
    "plain object": lambda: memory_class(plain_method),
    **MEMORY_CLASSES,
}


def traced_bytes():
    import tracemalloc
    return tracemalloc.get_traced_memory()[0]


def instance_child(kind, count, with_call, how):
    """Prints the bytes per instance that `count` live instances take.

    with_call: each instance made its call m(3) (its argument a small int,
    made before); how: "resident" (the process's resident set, every
    allocator) or "tracemalloc" (the allocations through Python's allocators
    only: memory that the module takes from elsewhere is not seen)."""
    cls = INSTANCE_CLASSES[kind]()
    warm = cls()  # lazily built parts exist before the first reading
    if with_call:
        warm.m(3)
    instances = [None] * count  # the list's own slots are there before and after
    if how == "tracemalloc":
        import tracemalloc
        tracemalloc.start()
        reading = traced_bytes
    else:
        reading = resident_bytes
    gc.collect()
    before = reading()
    if with_call:
        for i in range(count):
            instances[i] = cls()
            instances[i].m(3)
    else:
        for i in range(count):
            instances[i] = cls()
    gc.collect()
    print((reading() - before) / count)


def run_instance_child(kind, count, with_call, how):
    output = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--instance-child", kind, str(count),
         "call" if with_call else "no-call", how],
        check=True, capture_output=True, text=True).stdout
    return float(output)


def bench_instance_memory(sizes):
    count = sizes.memory_instances
    rows = []
    traced_note = "; tracemalloc sees only Python's allocators"
    for how in ("resident", "tracemalloc"):
        per_instance = {kind: run_instance_child(kind, count, False, how)
                        for kind in ("plain object", *OURS)}
        plain = per_instance["plain object"]
        case = f"bytes per instance, no call made ({how}, {count:,} instances)"
        rows.append(Row("memory", case, "plain object, same class undecorated", plain,
                        unit="B", ratio=1.0))
        rows += [Row("memory", case, name, per_instance[name], unit="B",
                     ratio=per_instance[name] / plain,
                     note=f"the empty store adds {per_instance[name] - plain:,.0f} B"
                          + (traced_note if how == "tracemalloc" else ""))
                 for name in OURS]
    for how in ("resident", "tracemalloc"):
        per_instance = {kind: run_instance_child(kind, count, True, how)
                        for kind in (*OURS, LRU)}
        case = f"bytes per instance with m(3) cached ({how}, {count:,} instances)"
        rows += [Row("memory", case, name, value, unit="B", ratio=value / per_instance[LRU],
                     note=("the instance, and its entry in the method's table" if name == LRU
                           else "the instance, its store and the call")
                          + (traced_note if how == "tracemalloc" else ""))
                 for name, value in per_instance.items()]
    return rows


def bench_memory(sizes):
    rows = []
    for beforehand, label, target in (
            (True, "own bytes, arguments made beforehand", MEMORY_OWN_TARGET),
            (False, "with the arguments the calls made", MEMORY_WITH_ARGUMENTS_TARGET)):
        per_call = {}
        for implementation in MEMORY_CLASSES:
            output = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--memory-child", implementation,
                 str(sizes.memory_calls), "beforehand" if beforehand else "by-the-calls"],
                check=True, capture_output=True, text=True).stdout
            per_call[implementation] = float(output)
        case = f"bytes per call, {sizes.memory_calls:,} calls m(n): {label}"
        rows += [Row("memory", case, name, value, unit="B", ratio=value / per_call[LRU],
                     target=target if name in OURS else None)
                 for name, value in per_call.items()]
    return rows + bench_instance_memory(sizes)


def serialisable_class(count):
    """A class with `count` serialisable decorated methods s0 ... s<count - 1>, none taking arguments."""
    def method(i):
        def s(self):
            return i

        s.__name__ = s.__qualname__ = f"s{i}"
        return s

    namespace = {f"s{i}": lineage_stored(serialisable=True)(method(i)) for i in range(count)}
    return type("Serialisable", (LineageStoreBase,), namespace)


def bench_persistence(sizes):
    """dump_cache and load_cache against Python loops calling every method.

    dump_cache reads the instance that holds every value already, so each of
    its calls is a hit; it must call the methods of a class in an order drawn
    afresh at every dump, which visits them all over memory. load_cache puts
    the dump into a new instance (made outside the timed region), which calls
    each method once, in the dump's order, before storing its value: each of
    its calls computes. The references are the same calls from Python,
    `for name in names: getattr(obj, name)()`, in the same order on an
    instance in the same state; and, to show what the order costs, the hits
    in the order the methods were defined."""
    count = sizes.serialisable_methods
    cls = serialisable_class(count)
    names = [f"s{i}" for i in range(count)]
    obj = cls()
    for name in names:
        getattr(obj, name)()
    data = obj.dump_cache()
    dump_order = list(data)
    targets = [cls() for _ in range(sizes.repeats)]
    fresh = [cls() for _ in range(sizes.repeats)]
    note = "" if data == {name: i for i, name in enumerate(names)} else "the dump is not every value"

    def calling(instance, order):
        def call_each():
            for name in order:
                getattr(instance, name)()
        return timed(call_each)

    def load():
        target = targets.pop()
        elapsed = timed(lambda: target.load_cache(data))
        if target.dump_cache() != data:
            raise RuntimeError("load_cache did not restore every value")
        return elapsed

    best = best_interleaved({"hits, defined order": lambda: calling(obj, names),
                             "hits, dump order": lambda: calling(obj, dump_order),
                             "computed, dump order": lambda: calling(fresh.pop(), dump_order),
                             "dump": lambda: timed(obj.dump_cache), "load": load},
                            sizes.repeats)
    rows = []
    for operation, target, what, reference, how in (
            ("dump", DUMP_TARGET, "dump_cache()", "hits, dump order",
             "the same hits from Python, in the same order"),
            ("load", LOAD_TARGET, "load_cache(dump) into a new instance", "computed, dump order",
             "the same calls from Python on a new instance, in the same order: each computes")):
        case = f"{what}, {count:,} serialisable methods"
        rows.append(Row("persistence", case, "lineage_store", best[operation],
                        ratio=best[operation] / best[reference], target=target, note=note))
        rows.append(Row("persistence", case, f"Python loop, {reference}", best[reference], ratio=1.0, note=how))
        rows.append(Row("persistence", case, "Python loop, hits, defined order", best["hits, defined order"],
                        ratio=best["hits, defined order"] / best[reference],
                        note="for name in names: getattr(obj, name)(), the methods in the order they were defined"))
    return rows


class Fan(LineageStoreBase):
    @lineage_stored()
    def leaf(self, i):
        return i

    @automagically_lineage_stored()
    def fan(self, count):
        for i in range(count):
            self.leaf(i)
        return count


def bench_scaling(sizes):
    def misses(cls, count):
        def timing():
            obj = cls()

            def calls():
                for n in range(count):
                    obj.m(n)

            return timed(calls)
        return timing

    def fan(count):
        def timing():
            obj = Fan()
            return timed(lambda: obj.fan(count))
        return timing

    small, large = sizes.scaling_calls, 10 * sizes.scaling_calls
    groups = [("N distinct calls m(n)", name, misses(cls, small), misses(cls, large), small)
              for name, cls in OURS.items()]
    groups.append(("a tracking method calling N calls", "automagically_lineage_stored",
                   fan(sizes.fan_calls), fan(10 * sizes.fan_calls), sizes.fan_calls))
    rows = []
    for case, name, small_timing, large_timing, count in groups:
        best = best_interleaved({"small": small_timing, "large": large_timing}, sizes.big_repeats)
        group = f"{case}, {name}"
        rows.append(Row("scaling", case, f"{name}, N = {count:,}", best["small"], ratio=1.0,
                        group=group))
        rows.append(Row("scaling", case, f"{name}, N = {10 * count:,}", best["large"],
                        ratio=best["large"] / best["small"], target=SCALING_TARGET, group=group))
    return rows


BENCHES = {"hit": bench_hit, "miss": bench_miss, "invalidation": bench_invalidation,
           "views": bench_views, "memory": bench_memory, "persistence": bench_persistence,
           "scaling": bench_scaling}


# --- Main --------------------------------------------------------------------

def cpu_model():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def header(quick, wall_clock):
    cachetools_text = f"cachetools {cachetools.__version__}" if cachetools else "cachetools not installed"
    try:
        version = importlib.metadata.version("lineage_store")
    except importlib.metadata.PackageNotFoundError:
        version = "(version unknown)"
    return [
        f"lineage_store {version}; Python {platform.python_version()} ({platform.python_implementation()}), "
        f"{platform.machine()}, {cpu_model()}, {os.cpu_count()} cores",
        f"{cachetools_text}; {'elapsed' if wall_clock else 'CPU'} time, best of "
        f"{'a few' if quick else 'several'} repeats; ratios to the reference row of each case",
        "QUICK RUN: small sizes and few repeats, for a smoke test; the targets are set "
        "for the full sizes" if quick else "full run",
    ]


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="smaller sizes and fewer repeats, for a smoke run")
    parser.add_argument("--only", metavar="NAME[,NAME]",
                        help="run only these sections: " + ", ".join(SECTIONS))
    parser.add_argument("--markdown", action="store_true",
                        help="print the table as Markdown")
    parser.add_argument("--wall-clock", action="store_true",
                        help="time with the elapsed time rather than the process's CPU time")
    parser.add_argument("--memory-child", nargs=3, metavar=("IMPLEMENTATION", "CALLS", "ARGUMENTS"),
                        help=argparse.SUPPRESS)
    parser.add_argument("--instance-child", nargs=4, metavar=("KIND", "COUNT", "CALL", "HOW"),
                        help=argparse.SUPPRESS)
    arguments = parser.parse_args(argv)
    if arguments.only:
        arguments.only = [name.strip() for name in arguments.only.split(",") if name.strip()]
        unknown = [name for name in arguments.only if name not in SECTIONS]
        if unknown:
            parser.error(f"unknown section {', '.join(unknown)}; choose from {', '.join(SECTIONS)}")
    else:
        arguments.only = list(SECTIONS)
    return arguments


def main(argv=None):
    arguments = parse_arguments(argv)
    if arguments.memory_child:
        implementation, calls, made = arguments.memory_child
        memory_child(implementation, int(calls), made == "beforehand")
        return
    if arguments.instance_child:
        kind, count, call, how = arguments.instance_child
        instance_child(kind, int(count), call == "call", how)
        return
    if arguments.wall_clock:
        global clock
        clock = time.perf_counter
    sizes = QUICK if arguments.quick else FULL
    rows = []
    for section in SECTIONS:
        if section in arguments.only:
            print(f"running {section} ...", file=sys.stderr, flush=True)
            rows.extend(BENCHES[section](sizes))

    lines = header(arguments.quick, arguments.wall_clock)
    if arguments.markdown:
        print("\n".join(f"- {line}" for line in lines))
        print()
        print(format_markdown(rows))
    else:
        print("\n".join(lines))
        print()
        print(format_text(rows))
    verdicts = [row.cells()[6] for row in rows]
    print(f"\n{verdicts.count('PASS')} targets met, {verdicts.count('FAIL')} missed")


if __name__ == "__main__":
    main()
