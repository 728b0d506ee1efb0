"""A representative subset of the compile-equals-compute property through Gurobi."""

import numpy as np
import pandas as pd
import pytest
from test_optimisation_compile_properties import CASES, draw

from ostrelpy.bindings import _engine as e

gp = pytest.importorskip("gurobipy")
pytestmark = pytest.mark.skipif(not hasattr(e, "GurobiAdapter"), reason="no GurobiAdapter yet")

SUBSET = [
    "add",
    "divide",
    "aggregate-max",
    "aggregate-min",
    "resample-amount",
    "clip-both",
    "mask-variable-replacement",
    "select-highest",
    "select-lowest",
    "lookup",
]


def model():
    env = gp.Env(params={"OutputFlag": 0})
    m = gp.Model(env=env)
    m.Params.MIPGap = 0.0
    return m


@pytest.mark.parametrize("fixed", [True, False], ids=["fixed", "free"])
@pytest.mark.parametrize("convex", [True, False], ids=["convex", "exact"])
@pytest.mark.parametrize("case_id", SUBSET)
def test_gurobi_solves_compiled_blocks_to_compute(case_id, convex, fixed):
    case = next(c for c in CASES if c.id == case_id)
    if convex and not fixed and case.convex_sense is None:
        pytest.skip("a clip from both sides is neither convex nor concave")
    rng = np.random.default_rng(11)
    tl = case.timeline()
    m = model()
    index = tl.get_as(case.resolution)
    n = len(index)
    numeric, compiled, inputs = {}, {}, []
    for name in case.variables:
        values = draw(case, rng, n, 1.0)
        lb, ub = (
            (values, values) if fixed else (-rng.uniform(0.5, 1.5, n), rng.uniform(0.5, 1.5, n))
        )
        start = e.GurobiAdapter(m).get_next_available_col()
        m.addMVar(n, lb=lb, ub=ub)
        compiled[name] = e.VariableSeries.continuous(start, lb, ub, index)
        inputs.append(compiled[name])
    for name, make in case.numbers.items():
        compiled[name] = numeric[name] = make(index, rng, 1.0)
    adapter = e.GurobiAdapter(m)
    block = case.block.compile(tl, adapter.get_next_available_col(), convex, **compiled)
    adapter.add_blocks([block])
    variables = m.getVars()
    sense = (case.convex_sense or "min") if convex else case.exact_sense
    objective = gp.quicksum(variables[int(c)] for c in block.output.cols)
    if not fixed:
        pushes = rng.uniform(-0.05, 0.05, sum(len(v.cols) for v in inputs))
        cols = np.concatenate([v.cols for v in inputs])
        objective += gp.quicksum(float(p) * variables[int(c)] for p, c in zip(pushes, cols))
    m.setObjective(objective, gp.GRB.MAXIMIZE if sense == "max" else gp.GRB.MINIMIZE)
    m.optimize()
    assert m.Status == gp.GRB.OPTIMAL
    solution = np.array([v.X for v in variables])
    for name, v in zip(case.variables, inputs):
        numeric[name] = pd.Series(solution[v.cols], index=v.index)
    expected = case.block.compute(tl, **numeric)
    got = solution[block.output.cols]
    if case.compare == "period_sums":
        groups = e.calculate_groups(tl, inputs[0], case.block.condition.resolution)
        want = np.bincount(groups.allocation, expected.fillna(0.0).to_numpy())
        labels = {t: g for g, t in enumerate(groups.index)}
        have = np.bincount([labels[t] for t in block.output.index], got)
        np.testing.assert_allclose(have, want, atol=1e-6)
    else:
        np.testing.assert_allclose(got, expected.reindex(block.output.index).to_numpy(), atol=1e-6)


def test_subset_names_cases():
    assert set(SUBSET) <= {c.id for c in CASES}
