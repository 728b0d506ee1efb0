"""The Gurobi adapter on the same cases as the HiGHS one; skipped without gurobipy."""

import datetime as dt
import random

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp
from solver_models import CAP, INDEX, TOTAL, reference_optimum, tariff_blocks

from ostrelpy.bindings import _engine as e

gp = pytest.importorskip("gurobipy")
GRB = gp.GRB


@pytest.fixture
def model():
    env = gp.Env(params={"OutputFlag": 0})
    m = gp.Model(env=env)
    yield m
    m.dispose()
    env.dispose()


def caller(m, bounds, vtype=GRB.CONTINUOUS):
    xs = [m.addVar(lb=lo, ub=hi, vtype=vtype) for lo, hi in bounds]
    m.update()
    return xs


def counts(m):
    m.update()
    return m.NumVars, m.NumConstrs


@pytest.mark.parametrize("order", ["sorted", "reversed", "shuffled"])
def test_to_series_sorts_by_timestamp_in_any_key_order(model, order):
    index = pd.date_range("2026-03-29", periods=5, freq="h", tz="Europe/Stockholm")
    caller(model, [(9.0, 9.5)])
    xs = caller(model, [(float(i), 10.0 + i) for i in range(5)])[::-1]
    pairs = list(zip(index.to_pydatetime(), xs))
    if order == "reversed":
        pairs.reverse()
    elif order == "shuffled":
        random.Random(5).shuffle(pairs)
    s = e.GurobiAdapter(model).to_series(dict(pairs))
    assert s.index.equals(index)
    assert s.cols.tolist() == [x.index for x in xs]
    assert s.lb.tolist() == [x.LB for x in xs] and s.ub.tolist() == [x.UB for x in xs]
    assert not s.is_integer.any()


def test_to_series_of_integer_callers_is_continuous(model):
    xs = caller(model, [(0.0, 1.0), (-2.0, 3.0)], GRB.INTEGER) + caller(model, [(0, 1)], GRB.BINARY)
    s = e.GurobiAdapter(model).to_series(dict(zip(INDEX, xs)))
    assert s.is_integer.tolist() == [False] * 3
    assert s.lb.tolist() == [0.0, -2.0, 0.0] and s.ub.tolist() == [1.0, 3.0, 1.0]


@pytest.mark.parametrize(
    "lo, hi",
    [(0.0, np.inf), (-np.inf, 0.0), (0.0, GRB.INFINITY), (-GRB.INFINITY, 0.0)],
    ids=["inf", "-inf", "GRB.INFINITY", "-GRB.INFINITY"],
)
def test_infinite_caller_bounds_cannot_be_read(model, lo, hi):
    xs = caller(model, [(0.0, 1.0), (lo, hi)])
    model.addConstr(xs[0] + xs[1] <= 1)
    before = counts(model)
    with pytest.raises(ValueError) as err:
        e.GurobiAdapter(model).to_series(dict(zip(INDEX, xs)))
    assert str(err.value) == "input variables need finite bounds"
    assert counts(model) == before


def test_a_default_gurobi_variable_is_unbounded_above(model):
    x = model.addVar()  # ub = GRB.INFINITY, Gurobi's infinity below the floating-point one
    with pytest.raises(ValueError, match="input variables need finite bounds"):
        e.GurobiAdapter(model).to_series({INDEX[0]: x})
    assert e.GurobiAdapter(model).get_next_available_col() == 1


def test_blocks_without_rows_add_columns_only(model):
    caller(model, [(0.0, 1.0)] * 2)
    idx = INDEX[:3]
    cont = e.VariableSeries.continuous(5, np.array([-1.0, 0, 1]), np.full(3, 2.0), idx)
    binary = e.VariableSeries.binary(2, idx)
    adapter = e.GurobiAdapter(model)
    adapter.add_blocks([e.FunctionBlock(cont, (binary,))])
    assert counts(model) == (8, 0)
    new = model.getVars()[2:]
    assert [v.LB for v in new] == [0, 0, 0, -1, 0, 1]
    assert [v.UB for v in new] == [1, 1, 1, 2, 2, 2]
    assert [v.VType for v in new] == ["I"] * 3 + ["C"] * 3


@pytest.mark.parametrize("empty_block", [False, True])
def test_nothing_to_add_changes_nothing(model, empty_block):
    blocks = []
    if empty_block:
        blocks = [e.FunctionBlock(e.VariableSeries.continuous(2, [], [], INDEX[:0]))]
    xs = caller(model, [(0.0, 1.0)] * 2)
    model.addConstr(xs[0] <= 1)
    adapter = e.GurobiAdapter(model)
    assert adapter._add_variables(blocks) is None
    adapter.add_blocks(blocks)
    assert counts(model) == (2, 1)


def test_rows_match_the_records(model):
    adapter = e.GurobiAdapter(model)
    x = adapter.to_series(dict(zip(INDEX, caller(model, [(0.0, CAP)] * len(INDEX)))))
    blocks, _ = tariff_blocks(x, adapter.get_next_available_col())
    adapter.add_blocks(blocks)
    eq = e.EqualitySeries.concatenate([b.equalities for b in blocks])
    ineq = e.InequalitySeries.concatenate([b.inequalities for b in blocks])
    n = model.NumVars
    want = np.vstack(
        [
            sp.coo_array((c.coefs, (c.rows, c.cols)), shape=(len(c.rhs), n)).toarray()
            for c in (eq, ineq)
        ]
    )
    assert np.array_equal(model.getA().toarray(), want)
    constrs = model.getConstrs()
    assert [c.Sense for c in constrs] == ["="] * len(eq.rhs) + ["<"] * len(ineq.rhs)
    assert [c.RHS for c in constrs] == [*eq.rhs, *ineq.rhs]
    variables = model.getVars()
    for series in [v for b in blocks for v in (b.output, *b.auxiliaries)]:
        assert [variables[c].LB for c in series.cols] == series.lb.tolist()
        assert [variables[c].UB for c in series.cols] == series.ub.tolist()
    binary = blocks[1].auxiliaries[0]
    assert [v.index for v in model.getVars() if v.VType == "I"] == binary.cols.tolist()


def test_duplicate_entries_are_summed_like_scipy(model):
    rng = np.random.default_rng(11)
    xs = caller(model, [(0.0, 1.0)] * 10)
    m, nnz = 7, 60
    rows, cols = rng.integers(0, m, nnz), rng.integers(0, 10, nnz)
    rows[0] = m - 1
    coefs, rhs = rng.normal(size=nnz), rng.normal(size=m)
    adapter = e.GurobiAdapter(model)
    adapter._add_rows(e.EqualitySeries(cols, rows, coefs, rhs), gp.MVar.fromlist(xs), 10, GRB.EQUAL)
    model.update()
    want = sp.coo_array((coefs, (rows, cols)), shape=(m, 10)).tocsr()
    got = model.getA()
    assert np.allclose(got.toarray(), want.toarray(), rtol=0, atol=1e-12)
    assert got.nnz == want.nnz


def test_to_variables_pairs_the_index_with_model_variables(model):
    adapter = e.GurobiAdapter(model)
    autumn = pd.date_range("2026-10-25", periods=25, freq="h", tz="Europe/Stockholm")
    xs = caller(model, [(0.0, 1.0)] * 25)
    x = adapter.to_series(dict(zip(autumn, xs)))
    out = adapter.to_variables(x)
    assert len(out) == 25 and all(type(k) is dt.datetime for k in out)
    assert [v.index for v in out.values()] == x.cols.tolist()
    assert all(a.sameAs(b) for a, b in zip(out.values(), xs))
    with pytest.raises(IndexError, match="column 30 is not in the model"):
        adapter.to_variables(e.VariableSeries.continuous(30, [0.0], [1.0], INDEX[:1]))


class Unpaired:
    cols = np.array([0])
    index = INDEX[:2]


def test_to_variables_pairs_strictly(model):
    caller(model, [(0.0, 1.0)])
    with pytest.raises(ValueError, match="zip\\(\\) argument 2 is shorter than argument 1"):
        e.GurobiAdapter(model).to_variables(Unpaired())


def test_failures_before_adding_leave_the_model_untouched(model):
    adapter = e.GurobiAdapter(model)
    x = adapter.to_series(dict(zip(INDEX, caller(model, [(0.0, CAP)] * len(INDEX)))))
    blocks, _ = tariff_blocks(x, adapter.get_next_available_col())
    before = counts(model)
    with pytest.raises(TypeError, match="blocks must be FunctionBlock, got int"):
        adapter.add_blocks([*blocks, 3])
    assert counts(model) == before


def test_both_adapters_reach_the_hand_written_optimum(model):
    adapter = e.GurobiAdapter(model)
    xs = caller(model, [(0.0, CAP)] * len(INDEX))
    model.addConstr(gp.quicksum(xs) == TOTAL)
    x = adapter.to_series(dict(zip(INDEX, xs)))
    blocks, costs = tariff_blocks(x, adapter.get_next_available_col())
    adapter.add_blocks(blocks)
    objective = [v for c in costs for v in adapter.to_variables(c).values()]
    model.setObjective(gp.quicksum(objective), GRB.MINIMIZE)
    model.optimize()
    assert model.Status == GRB.OPTIMAL
    assert model.ObjVal == pytest.approx(reference_optimum(), rel=1e-6)
