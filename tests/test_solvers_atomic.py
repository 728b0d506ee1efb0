"""Both adapters refuse what they cannot add faithfully before touching the model, and read
only their own model's variables at instants the engine represents."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest
from solver_models import INDEX

from ostrelpy.bindings import _engine as e

highspy = pytest.importorskip("highspy")


class Highs:
    adapter = e.HighsAdapter

    def __init__(self):
        self.model = highspy.Highs()
        self.model.setOptionValue("output_flag", False)

    def add(self, bounds):
        return [self.model.addVariable(lb=lo, ub=hi) for lo, hi in bounds]

    def row(self, xs):
        self.model.addConstr(sum(xs) <= 5)

    def state(self):
        h, lp = self.model, self.model.getLp()
        return (
            (h.getNumCol(), h.getNumRow(), h.getNumNz()),
            list(lp.col_lower_),
            list(lp.col_upper_),
            list(lp.row_lower_),
            list(lp.row_upper_),
        )

    def close(self):
        pass


class Gurobi:
    adapter = e.GurobiAdapter

    def __init__(self):
        gp = pytest.importorskip("gurobipy")
        self.env = gp.Env(params={"OutputFlag": 0})
        self.model = gp.Model(env=self.env)

    def add(self, bounds):
        xs = [self.model.addVar(lb=lo, ub=hi) for lo, hi in bounds]
        self.model.update()
        return xs

    def row(self, xs):
        self.model.addConstr(sum(xs) <= 5)
        self.model.update()

    def state(self):
        m = self.model
        m.update()
        rows = m.getConstrs()
        return (
            (m.NumVars, m.NumConstrs, m.NumNZs),
            [v.LB for v in m.getVars()],
            [v.UB for v in m.getVars()],
            [c.Sense for c in rows],
            [c.RHS for c in rows],
        )

    def close(self):
        self.model.dispose()
        self.env.dispose()


@pytest.fixture(params=[Highs, Gurobi], ids=["highs", "gurobi"])
def solver(request):
    s = request.param()
    yield s
    s.close()


IDX = INDEX[:2]


def cont(start, n=2, lo=0.0, hi=1.0):
    return e.VariableSeries.continuous(start, np.full(n, lo), np.full(n, hi), INDEX[:n])


def rows(cols, coefs, rhs, kind=e.EqualitySeries):
    cols = np.asarray(cols, dtype=np.int64)
    return kind(
        cols, np.arange(len(cols), dtype=np.int64), np.asarray(coefs, float), np.asarray(rhs, float)
    )


def one_row(col, coef, rhs, kind=e.EqualitySeries):
    return kind(np.array([col]), np.array([0]), np.array([coef]), np.array([rhs], float))


# Each case: blocks for a model whose caller columns are 0 and 1 (so the next free column is
# 2), and the start of the message the adapter gives.
CASES = {
    "infinite-coefficient": (
        lambda: [e.FunctionBlock(cont(2), equalities=one_row(2, np.inf, 0.0))],
        "equality row 0, column 2: coefficient inf",
    ),
    "nan-coefficient": (
        lambda: [
            e.FunctionBlock(cont(2), inequalities=one_row(3, np.nan, 1.0, e.InequalitySeries))
        ],
        "inequality row 0, column 3: coefficient nan",
    ),
    "huge-coefficient": (
        lambda: [e.FunctionBlock(cont(2), equalities=one_row(0, 1e300, 0.0))],
        "equality row 0, column 0: coefficient 1e+300",
    ),
    "nan-right-side": (
        lambda: [e.FunctionBlock(cont(2), equalities=one_row(2, 1.0, np.nan))],
        "equality row 0: right-hand side nan",
    ),
    "infinite-equality-side": (
        lambda: [e.FunctionBlock(cont(2), equalities=one_row(2, 1.0, np.inf))],
        "equality row 0: right-hand side inf",
    ),
    "row-beyond-the-model": (
        lambda: [e.FunctionBlock(cont(2), equalities=one_row(4, 1.0, 0.0))],
        "equality row 0, column 4: the column is not in the model (4 columns",
    ),
    "negative-row-column": (
        lambda: [e.FunctionBlock(cont(2), equalities=one_row(-1, 1.0, 0.0))],
        "equality row 0, column -1: the column is not in the model",
    ),
    "gap": (
        lambda: [e.FunctionBlock(cont(3))],
        "the blocks' columns must continue the model's columns without gaps or repeats: "
        "column 2 expected, got 3",
    ),
    "overlaps-the-caller": (
        lambda: [e.FunctionBlock(cont(1))],
        "the blocks' columns must continue the model's columns without gaps or repeats: "
        "column 2 expected, got 1",
    ),
    "interleaved": (
        lambda: [
            e.FunctionBlock(
                e.VariableSeries(np.array([2, 4]), np.zeros(2), np.ones(2), np.zeros(2, bool), IDX),
                (
                    e.VariableSeries(
                        np.array([3, 5]), np.zeros(2), np.ones(2), np.zeros(2, bool), IDX
                    ),
                ),
            )
        ],
        "column 3 expected, got 4",
    ),
    "listed-twice": (
        lambda: [e.FunctionBlock(cont(2))] * 2,
        "column 4 expected, got 2",
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_a_refused_block_list_leaves_the_model_exactly_as_it_was(solver, case):
    make, message = CASES[case]
    xs = solver.add([(0.0, 3.0), (-1.0, 2.0)])
    solver.row(xs)
    before = solver.state()
    with pytest.raises(ValueError) as err:
        solver.adapter(solver.model).add_blocks(make())
    assert message in str(err.value)
    assert solver.state() == before


def test_the_same_blocks_added_twice_are_refused_the_second_time(solver):
    solver.add([(0.0, 3.0)] * 2)
    adapter = solver.adapter(solver.model)
    blocks = [e.FunctionBlock(cont(2), equalities=rows([2, 3], [1.0, 1.0], [0.5, 0.5]))]
    adapter.add_blocks(blocks)
    added = solver.state()
    assert added[0] == (4, 2, 2)
    with pytest.raises(ValueError, match="column 4 expected, got 2"):
        adapter.add_blocks(blocks)
    assert solver.state() == added


def test_an_inequality_without_upper_limit_is_added(solver):
    solver.add([(0.0, 3.0)] * 2)
    inf = highspy.kHighsInf if isinstance(solver, Highs) else np.inf
    solver.adapter(solver.model).add_blocks(
        [e.FunctionBlock(cont(2), inequalities=one_row(2, 1.0, inf, e.InequalitySeries))]
    )
    assert solver.state()[0] == (4, 1, 1)


# -- reading caller variables ---------------------------------------------------------------------


def test_a_variable_of_another_model_is_refused_by_key(solver):
    other = type(solver)()
    try:
        (x,) = solver.add([(0.0, 1.0)])
        (y,) = other.add([(0.0, 1.0)])
        with pytest.raises(ValueError) as err:
            solver.adapter(solver.model).to_series({INDEX[0]: x, INDEX[1]: y})
        assert str(err.value) == (f"the variable at {INDEX[1]!r} is not a column of this model")
    finally:
        other.close()


@pytest.mark.parametrize(
    "when",
    [
        dt.datetime(2300, 1, 1, tzinfo=dt.UTC),
        dt.datetime(1, 1, 1, tzinfo=dt.UTC),
        dt.datetime(9999, 12, 31, 23, tzinfo=dt.timezone(dt.timedelta(hours=-5))),
        dt.datetime(1677, 9, 21, 0, 12, 43, 145224),  # NaT's nanosecond, naive
    ],
)
def test_instants_the_engine_cannot_represent_are_refused(solver, when):
    x, y = solver.add([(0.0, 1.0)] * 2)
    other = dt.datetime(2026, 1, 1, tzinfo=dt.UTC if when.tzinfo else None)
    with pytest.raises(ValueError) as err:
        solver.adapter(solver.model).to_series({other: x, when: y})
    assert str(err.value) == (
        f"timestamp {when!r} is outside the range of instants the engine represents "
        "(1677-09-21 00:12:43.145224193 to 2262-04-11 23:47:16.854775807 UTC)"
    )


def test_to_variables_refuses_columns_beyond_the_model_and_repeated_instants(solver):
    solver.add([(0.0, 1.0)] * 2)
    adapter = solver.adapter(solver.model)
    with pytest.raises(IndexError, match="column 2 is not in the model \\(2 columns\\)"):
        adapter.to_variables(cont(1))
    twice = pd.DatetimeIndex([INDEX[0], INDEX[0]])
    with pytest.raises(ValueError) as err:
        adapter.to_variables(e.VariableSeries.continuous(0, np.zeros(2), np.ones(2), twice))
    assert str(err.value).startswith("the series holds the instant datetime.datetime(2026")
