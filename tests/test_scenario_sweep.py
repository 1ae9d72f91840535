"""examples/scenario_sweep.py: what-if scenarios computed on worker processes, compared in the parent."""
import importlib
import pathlib

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / 'examples'

# 3 ACME at 10 and 2 GLOBEX at 42, in the scenario's fx rate, discounted at its rate.
EXPECTED_TOTALS = {'base': (142.5, 0.03), 'fx up 10%': (156.75, 0.03), 'rates up': (142.5, 0.05),
                   'fx up 10%, rates up': (156.75, 0.05)}


@pytest.fixture
def example(monkeypatch):
    # Workers import the example by name, as the script arranges for itself;
    # spawned workers get the parent's path.
    monkeypatch.syspath_prepend(str(EXAMPLES))
    return importlib.import_module('scenario_sweep')


@pytest.mark.timeout(120)
@pytest.mark.parametrize('runner', ['with_processes', 'with_dask'])
def test_each_worker_computes_its_scenario_from_inputs_set_before_use(example, runner):
    if runner == 'with_dask':
        pytest.importorskip('distributed')
    outcomes = getattr(example, runner)(workers=2)
    assert list(outcomes) == list(example.SCENARIOS)
    for name, (total, rate) in EXPECTED_TOTALS.items():
        figures, dump = outcomes[name].figures, outcomes[name].dump
        assert figures == pytest.approx({'total': total, 'discounted_total': total / (1 + rate)})
        # The inputs were served, not computed, and the derived figures stored beside them.
        assert dump == pytest.approx({'fx_rate': total / 114, 'discount_rate': rate, **figures})
    changes = example.compare(outcomes)
    assert changes['rates up']['total'] == 0 and changes['rates up']['discounted_total'] < 0
    assert changes['base'] == {'total': 0, 'discounted_total': 0}
