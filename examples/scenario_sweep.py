"""What-if scenarios computed on several processes and compared in the parent.

A scenario is a set of inputs: values for calls of the model that would
otherwise be computed. Each worker process builds a fresh model, sets the
scenario's inputs before anything is computed (a value set for a call not
made yet is served to its first call), computes the figures, and sends back
the figures and `dump_cache()`. The parent compares every scenario with the
base one. Only plain data crosses between processes: the scenario's name and
inputs on the way out, floats and a dict of floats on the way back.

    python examples/scenario_sweep.py            # a ProcessPoolExecutor
    python examples/scenario_sweep.py --dask     # a local Dask cluster of processes

`sweep` takes any `concurrent.futures.Executor`: a ProcessPoolExecutor, or a
Dask client's executor (`Client.get_executor()`), on a local cluster or on a
real one, whose workers can import this module and lineage_store.
"""

from __future__ import annotations

import argparse
import importlib
import multiprocessing
from collections.abc import Mapping
from concurrent.futures import Executor, ProcessPoolExecutor
from dataclasses import dataclass
from typing import Any

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

HOLDINGS = {"ACME": 3, "GLOBEX": 2}
# The figures each worker computes, by method name (methods that take only self).
FIGURES = ("total", "discounted_total")


class RiskModel(LineageStoreBase):
    def __init__(self, holdings: Mapping[str, int]) -> None:
        self.holdings = dict(holdings)

    @lineage_stored(serialisable=True)
    def fx_rate(self) -> float:
        return 1.25  # a market data request in real life

    @lineage_stored(serialisable=True)
    def discount_rate(self) -> float:
        return 0.03

    @automagically_lineage_stored()
    def price(self, ticker: str) -> float:
        return {"ACME": 10.0, "GLOBEX": 42.0}[ticker] * self.fx_rate()

    @automagically_lineage_stored(serialisable=True)
    def total(self) -> float:
        return sum(units * self.price(ticker) for ticker, units in self.holdings.items())

    @automagically_lineage_stored(serialisable=True)
    def discounted_total(self) -> float:
        return self.total() / (1.0 + self.discount_rate())


# Scenario name -> {method name: value}; the base scenario changes nothing.
SCENARIOS: dict[str, dict[str, float]] = {
    "base": {},
    "fx up 10%": {"fx_rate": 1.375},
    "rates up": {"discount_rate": 0.05},
    "fx up 10%, rates up": {"fx_rate": 1.375, "discount_rate": 0.05},
}


@dataclass(frozen=True)
class Outcome:
    scenario: str
    figures: dict[str, float]
    dump: dict[str, Any]  # dump_cache() of the worker's model


def run_scenario(scenario: str, inputs: Mapping[str, float]) -> Outcome:
    """Runs in a worker: a fresh model, its inputs set before use, its figures computed."""
    model = RiskModel(HOLDINGS)
    for method, value in inputs.items():
        model.update_cached_value(method, value)  # before the first call: served, not computed
    figures = {figure: float(getattr(model, figure)()) for figure in FIGURES}
    return Outcome(scenario, figures, model.dump_cache())


def sweep(executor: Executor, scenarios: Mapping[str, Mapping[str, float]] = SCENARIOS) -> dict[str, Outcome]:
    """Each scenario on a worker of `executor`; the outcomes by scenario name."""
    names = list(scenarios)
    outcomes = executor.map(run_scenario, names, [dict(scenarios[name]) for name in names])
    return {outcome.scenario: outcome for outcome in outcomes}


def compare(outcomes: Mapping[str, Outcome], base: str = "base") -> dict[str, dict[str, float]]:
    """{scenario: {figure: change against the base scenario}}."""
    reference = outcomes[base].figures
    return {
        name: {figure: value - reference[figure] for figure, value in outcome.figures.items()}
        for name, outcome in outcomes.items()
    }


def with_processes(workers: int = 2) -> dict[str, Outcome]:
    # spawn: workers start from a fresh interpreter on every platform and
    # import this module by name, as Dask's workers do.
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=workers, mp_context=context) as executor:
        return sweep(executor)


def with_dask(workers: int = 2) -> dict[str, Outcome]:
    """The same sweep on a local Dask cluster of `workers` processes (needs dask[distributed])."""
    # Imported here, and as Any: Dask is optional, and its API is untyped.
    distributed: Any = importlib.import_module("distributed")
    cluster = distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None, scheduler_port=0
    )
    with cluster, distributed.Client(cluster) as client:
        executor: Executor = client.get_executor()
        return sweep(executor)


def main() -> None:
    parser = argparse.ArgumentParser(description="What-if scenarios computed on several processes.")
    parser.add_argument("--dask", action="store_true", help="run on a local Dask cluster of processes")
    parser.add_argument("--workers", type=int, default=2)
    options = parser.parse_args()
    outcomes = (with_dask if options.dask else with_processes)(options.workers)
    changes = compare(outcomes)
    print(f"{'scenario':<22}" + "".join(f"{figure:>20}" for figure in FIGURES))
    for name, outcome in outcomes.items():
        cells = "".join(f"{outcome.figures[f]:>11.2f} ({changes[name][f]:+6.2f})" for f in FIGURES)
        print(f"{name:<22}{cells}")


if __name__ == "__main__":
    # Run through the module's own name, so that workers unpickle the model
    # and the functions by reference to `scenario_sweep`, not `__main__`.
    importlib.import_module("scenario_sweep").main()
