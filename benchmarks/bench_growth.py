"""Costs that must grow with the work and no faster, against Python builds of the same result.

Run by hand, with lineage_store installed into the interpreter that runs it:

    python benchmarks/bench_growth.py              # full run, about a minute
    python benchmarks/bench_growth.py --quick      # small sizes, a smoke run
    python benchmarks/bench_growth.py first-use    # selected sections

Sections:
- first-use: each of n decorated methods of a class never used before called
  once on a new instance, at several n; then the same on a second instance.
  The growth column is the time at n over the time at the smallest n, against
  n over the smallest n: linear growth keeps the two alike.
- first-dump: dump_cache() of a new instance of a class never used before,
  with n serialisable methods; its growth as above.
- graph: get_dependency_graph() of an instance with one call that n others
  depend on, against the same dict of sets built in Python from the same
  keys, made beforehand: {key: set(children) for key, children in edges};
  and against a Python build that makes its keys, as the view must.
- dump: dump_cache() of an instance whose n serialisable methods all hold
  their values, against a Python loop that calls each of them by getattr, in
  the dump's own order, and stores the values in a dict.

Every figure is the best of several repeats, of the process's CPU time, with
the collector off while timing; the two sides of a ratio are timed
interleaved. It measures and does not test: it exits 0 whatever it finds.
"""

import gc
import sys
import time

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


def timed(action):
    collecting = gc.isenabled()
    gc.disable()
    try:
        start = time.process_time()
        action()
        return time.process_time() - start
    finally:
        if collecting:
            gc.enable()


def best_interleaved(timings, repeats):
    """name -> the best of `repeats` results of timing(), the timings run in turn."""
    best = dict.fromkeys(timings, float("inf"))
    for _ in range(repeats):
        for name, timing in timings.items():
            best[name] = min(best[name], timing())
    return best


def method_class(count, serialisable=False):
    """A new class with `count` decorated methods m0 ... m<count - 1> that take no arguments."""
    def method(i):
        def m(self):
            return i

        m.__name__ = m.__qualname__ = f"m{i}"
        return m

    decorate = lineage_stored(serialisable=serialisable)
    return type("Many", (LineageStoreBase,), {f"m{i}": decorate(method(i)) for i in range(count)})


def call_each(obj, names):
    for name in names:
        getattr(obj, name)()


def first_use(sizes, repeats):
    print("first use of a class: each of n decorated methods called once")
    print(f"{'n':>8}  {'first instance':>15}  {'growth':>8}  {'of n':>6}  {'second instance':>16}")
    smallest = None
    for n in sizes:
        names = [f"m{i}" for i in range(n)]

        def first():
            obj = method_class(n)()
            return timed(lambda: call_each(obj, names))

        def second():
            cls = method_class(n)
            call_each(cls(), names)
            obj = cls()
            return timed(lambda: call_each(obj, names))

        best = best_interleaved({"first": first, "second": second}, repeats)
        smallest = smallest or (n, best["first"])
        print(f"{n:>8,}  {best['first'] * 1e3:>12.1f} ms  {best['first'] / smallest[1]:>7.1f}x  "
              f"{n / smallest[0]:>5.0f}x  {best['second'] * 1e3:>13.1f} ms")


def first_dump(sizes, repeats):
    print("first dump_cache() of a class with n serialisable methods")
    print(f"{'n':>8}  {'first dump':>15}  {'growth':>8}  {'of n':>6}")
    smallest = None
    for n in sizes:
        def dump():
            obj = method_class(n, serialisable=True)()
            return timed(obj.dump_cache)

        elapsed = best_interleaved({"dump": dump}, repeats)["dump"]
        smallest = smallest or (n, elapsed)
        print(f"{n:>8,}  {elapsed * 1e3:>12.1f} ms  {elapsed / smallest[1]:>7.1f}x  {n / smallest[0]:>5.0f}x")


class Dependants(LineageStoreBase):
    @lineage_stored()
    def rate(self):
        return 1.0

    @automagically_lineage_stored()
    def dep(self, i):
        return i * self.rate()


def graph(sizes, repeats):
    print("get_dependency_graph() of one call and n calls that depend on it, against the same dict of sets")
    print("built in Python from the same keys made beforehand, and built in Python making its keys as the view")
    print("must (the store keeps no call tuples): 3 tuples a key")
    print(f"{'n':>10}  {'lineage_store':>14}  {'Python':>11}  {'ratio':>6}  {'keys made too':>14}  {'ratio':>6}")
    for n in sizes:
        obj = Dependants()
        for i in range(n):
            obj.dep(i)
        values = list(range(n))
        dep_keys = [("dep", (("i", value),)) for value in values]
        edges = [("rate", tuple(dep_keys))] + [(key, ()) for key in dep_keys]

        def python_build():
            return {key: set(children) for key, children in edges}

        def python_build_making_keys():
            keys = [("dep", (("i", value),)) for value in values]
            built = {"rate": set(keys)}
            for key in keys:
                built[key] = set()
            return built

        if not obj.get_dependency_graph() == python_build() == python_build_making_keys():
            raise RuntimeError("the view differs from the dict built in Python")
        best = best_interleaved({"ours": lambda: timed(obj.get_dependency_graph),
                                 "python": lambda: timed(python_build),
                                 "making keys": lambda: timed(python_build_making_keys)}, repeats)
        print(f"{n + 1:>10,}  {best['ours'] * 1e3:>11.1f} ms  {best['python'] * 1e3:>8.1f} ms  "
              f"{best['ours'] / best['python']:>5.2f}x  {best['making keys'] * 1e3:>11.1f} ms  "
              f"{best['ours'] / best['making keys']:>5.2f}x")
        del obj, dep_keys, edges


def dump(sizes, repeats):
    print("dump_cache() of n serialisable methods holding their values,")
    print("against a Python loop calling each by getattr in the dump's order into a dict")
    print(f"{'n':>8}  {'lineage_store':>14}  {'Python':>11}  {'ratio':>6}")
    for n in sizes:
        obj = method_class(n, serialisable=True)()
        data = obj.dump_cache()
        order = list(data)

        def python_build():
            return {name: getattr(obj, name)() for name in order}

        if python_build() != data or len(data) != n:
            raise RuntimeError("the dump is not every value")
        best = best_interleaved({"ours": lambda: timed(obj.dump_cache),
                                 "python": lambda: timed(python_build)}, repeats)
        print(f"{n:>8,}  {best['ours'] * 1e3:>11.2f} ms  {best['python'] * 1e3:>8.2f} ms  "
              f"{best['ours'] / best['python']:>5.2f}x")


FULL = {"first-use": ((1_000, 4_000, 16_000), 3), "first-dump": ((1_000, 8_000), 3),
        "graph": ((1_000, 100_000, 1_000_000), 5), "dump": ((1_000, 10_000), 15)}
QUICK = {"first-use": ((250, 1_000), 2), "first-dump": ((250, 1_000), 2),
         "graph": ((1_000, 10_000), 2), "dump": ((1_000,), 3)}
SECTIONS = {"first-use": first_use, "first-dump": first_dump, "graph": graph, "dump": dump}


def main(argv):
    quick = "--quick" in argv
    chosen = [name for name in argv if name != "--quick"] or list(SECTIONS)
    unknown = [name for name in chosen if name not in SECTIONS]
    if unknown:
        sys.exit(f"unknown section {', '.join(unknown)}; choose from {', '.join(SECTIONS)}")
    print(f"Python {sys.version.split()[0]}; CPU time, best of several repeats")
    if quick:
        print("QUICK RUN: small sizes and few repeats, for a smoke test")
    for name in chosen:
        sizes, repeats = (QUICK if quick else FULL)[name]
        print()
        SECTIONS[name](sizes, repeats)


if __name__ == "__main__":
    main(sys.argv[1:])
