import datetime as dt
import random
import subprocess
import sys
import types

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp
from solver_models import (
    CAP,
    INDEX,
    TOTAL,
    counts,
    highs_matrix,
    highs_model,
    reference_optimum,
    tariff_blocks,
)

from ostrelpy.bindings import _engine as e

highspy = pytest.importorskip("highspy")


def caller(h, bounds, integer=False):
    vtype = highspy.HighsVarType.kInteger if integer else highspy.HighsVarType.kContinuous
    return [h.addVariable(lb=lo, ub=hi, type=vtype) for lo, hi in bounds]


def bounds_of(h, cols):
    lp = h.getLp()
    return (np.asarray(lp.col_lower_)[cols], np.asarray(lp.col_upper_)[cols])


def integrality(h):
    return [int(t) for t in h.getLp().integrality_] or [0] * h.getNumCol()


# -- caller variables ---------------------------------------------------------------------------

ZONES = [
    pd.date_range("2026-03-29", periods=5, freq="h", tz="Europe/Stockholm"),
    pd.date_range("2026-10-25", periods=5, freq="h", tz="Europe/Stockholm"),
    pd.date_range("2026-01-01", periods=5, freq="15min", tz="UTC"),
    pd.date_range("2026-06-01", periods=5, freq="D", tz=dt.timezone(dt.timedelta(hours=-3))),
]


@pytest.mark.parametrize("index", ZONES, ids=["spring", "autumn", "utc", "fixed"])
@pytest.mark.parametrize("order", ["sorted", "reversed", "shuffled"])
def test_to_series_sorts_by_timestamp_in_any_key_order(index, order):
    h = highs_model()
    caller(h, [(9.0, 9.5)])  # a column before the caller's, so cols are not positions
    bounds = [(float(i), 10.0 + i) for i in range(len(index))]
    xs = caller(h, bounds)
    # The caller's columns are not in time order either.
    xs = xs[::-1]
    # Keys in a zone with a repeated hour merge in a dict (they compare by wall time): such
    # callers key by UTC instants.
    keys = index.tz_convert("UTC") if index[0].month == 10 else index
    stamps = list(keys.to_pydatetime())
    pairs = list(zip(stamps, xs))
    if order == "reversed":
        pairs.reverse()
    elif order == "shuffled":
        random.Random(3).shuffle(pairs)
    s = e.HighsAdapter(h).to_series(dict(pairs))
    assert s.index.as_unit("ns").asi8.tolist() == index.as_unit("ns").asi8.tolist()
    assert str(s.index.tz) == str(keys.tz)
    want = [x.index for x in xs]
    assert s.cols.tolist() == want
    lp = h.getLp()
    assert s.lb.tolist() == [lp.col_lower_[c] for c in want]
    assert s.ub.tolist() == [lp.col_upper_[c] for c in want]
    assert s.is_integer.tolist() == [False] * len(index)


def test_to_series_of_integer_callers_is_continuous_and_keeps_their_bounds():
    h = highs_model()
    xs = caller(h, [(0.0, 1.0), (-2.0, 3.0)], integer=True)
    s = e.HighsAdapter(h).to_series(dict(zip(INDEX[:2], xs)))
    assert s.is_integer.tolist() == [False, False]
    assert s.lb.tolist() == [0.0, -2.0] and s.ub.tolist() == [1.0, 3.0]


def test_to_series_reads_any_mapping():
    h = highs_model()
    xs = caller(h, [(0.0, 1.0), (0.0, 2.0)])
    plain = dict(zip(INDEX[1::-1], xs))
    adapter = e.HighsAdapter(h)
    assert adapter.to_series(types.MappingProxyType(plain)) == adapter.to_series(plain)
    assert adapter.to_series(plain).cols.tolist() == [xs[1].index, xs[0].index]


def test_to_series_of_nothing_is_empty():
    s = e.HighsAdapter(highs_model()).to_series({})
    assert len(s.cols) == 0 and len(s.index) == 0


def test_to_series_key_errors():
    h = highs_model()
    x, y = caller(h, [(0, 1), (0, 1)])
    adapter = e.HighsAdapter(h)
    with pytest.raises(TypeError, match="can't compare offset-naive and offset-aware"):
        adapter.to_series({dt.datetime(2026, 1, 1): x, INDEX[0]: y})
    with pytest.raises(TypeError, match="timestamps must be datetimes, got str"):
        adapter.to_series({"2026-01-01": x})
    naive = adapter.to_series({dt.datetime(2026, 1, 2): x, dt.datetime(2026, 1, 1): y})
    assert naive.index.tz is None and naive.cols.tolist() == [y.index, x.index]


def test_to_series_of_mixed_zones_is_in_utc_time_order():
    h = highs_model()
    x, y = caller(h, [(0, 1), (0, 1)])
    east = dt.datetime(2026, 1, 1, 12, tzinfo=dt.timezone(dt.timedelta(hours=5)))  # 07:00 UTC
    west = dt.datetime(2026, 1, 1, 3, tzinfo=dt.timezone(dt.timedelta(hours=-5)))  # 08:00 UTC
    s = e.HighsAdapter(h).to_series({west: x, east: y})
    assert s.cols.tolist() == [y.index, x.index]
    assert list(s.index) == [pd.Timestamp(east), pd.Timestamp(west)]


# -- failures before any change -----------------------------------------------------------------


def with_bounds(lo, hi):
    def make(h):
        return dict(zip(INDEX[:2], caller(h, [(0.0, 1.0), (lo, hi)])))

    return make


def duplicated(h):
    (x,) = caller(h, [(0.0, 1.0)])
    return {INDEX[0]: x, INDEX[1]: x}


def outside(column):
    def make(h):
        caller(h, [(0.0, 1.0)])
        return {INDEX[0]: highspy.highs.highs_var(column, h)}

    return make


@pytest.mark.parametrize(
    "make, message",
    [
        (with_bounds(0.0, np.inf), "input variables need finite bounds"),
        (with_bounds(-np.inf, 0.0), "input variables need finite bounds"),
        (with_bounds(-highspy.kHighsInf, highspy.kHighsInf), "input variables need finite bounds"),
        (duplicated, "failed to read column bounds"),
        (outside(7), "failed to read column bounds"),
        (outside(-1), "failed to read column bounds"),
        (outside(2**31), "failed to read column bounds"),
    ],
)
def test_unreadable_caller_variables_leave_the_model_untouched(make, message):
    h = highs_model()
    variables = make(h)
    h.addConstr(sum(highspy.highs.highs_var(i, h) for i in range(h.getNumCol())) <= 1)
    before = counts(h)
    with pytest.raises(ValueError) as err:
        e.HighsAdapter(h).to_series(variables)
    assert str(err.value) == message
    assert counts(h) == before


def test_failures_before_adding_leave_the_model_untouched():
    h = highs_model()
    adapter = e.HighsAdapter(h)
    x = adapter.to_series(dict(zip(INDEX, caller(h, [(0.0, CAP)] * len(INDEX)))))
    blocks, _ = tariff_blocks(x, adapter.get_next_available_col())
    before = counts(h)
    with pytest.raises(TypeError, match="blocks must be FunctionBlock, got VariableSeries"):
        adapter.add_blocks([*blocks, x])
    with pytest.raises(ValueError, match="must be greater than max col in VariableSeries x"):
        e.ExecutionContext(None, adapter.get_next_available_col() - 1, {"x": x})
    assert counts(h) == before


# -- adding blocks ------------------------------------------------------------------------------


def test_blocks_without_rows_add_columns_only():
    h = highs_model()
    caller(h, [(0.0, 1.0)] * 2)
    start = h.getNumCol()
    idx = INDEX[:3]
    cont = e.VariableSeries.continuous(start + 3, np.array([-1.0, 0, 1]), np.full(3, 2.0), idx)
    binary = e.VariableSeries.binary(start, idx)
    e.HighsAdapter(h).add_blocks([e.FunctionBlock(cont, (binary,))])
    assert counts(h) == (start + 6, 0)
    lb, ub = bounds_of(h, np.arange(start, start + 6))
    assert lb.tolist() == [0, 0, 0, -1, 0, 1] and ub.tolist() == [1, 1, 1, 2, 2, 2]
    assert integrality(h) == [0, 0, 1, 1, 1, 0, 0, 0]


@pytest.mark.parametrize("empty_block", [False, True])
def test_nothing_to_add_changes_nothing(empty_block):
    blocks = []
    if empty_block:
        blocks = [e.FunctionBlock(e.VariableSeries.continuous(5, [], [], INDEX[:0]))]
    h = highs_model()
    caller(h, [(0.0, 1.0)] * 2)
    h.addConstr(highspy.highs.highs_var(0, h) <= 1)
    before = (counts(h), highs_matrix(h).tolist())
    e.HighsAdapter(h).add_blocks(blocks)
    assert (counts(h), highs_matrix(h).tolist()) == before


def test_rows_match_the_records_after_the_existing_ones():
    h = highs_model()
    adapter = e.HighsAdapter(h)
    x = adapter.to_series(dict(zip(INDEX, caller(h, [(0.0, CAP)] * len(INDEX)))))
    h.addConstr(sum(highspy.highs.highs_var(i, h) for i in range(len(INDEX))) <= 100)
    blocks, _ = tariff_blocks(x, adapter.get_next_available_col())
    adapter.add_blocks(blocks)
    eq = e.EqualitySeries.concatenate([b.equalities for b in blocks])
    ineq = e.InequalitySeries.concatenate([b.inequalities for b in blocks])
    n = h.getNumCol()
    want = np.vstack(
        [
            sp.coo_array((eq.coefs, (eq.rows, eq.cols)), shape=(len(eq.rhs), n)).toarray(),
            sp.coo_array((ineq.coefs, (ineq.rows, ineq.cols)), shape=(len(ineq.rhs), n)).toarray(),
        ]
    )
    assert np.array_equal(highs_matrix(h)[1:], want)
    lp = h.getLp()
    lower, upper = np.asarray(lp.row_lower_)[1:], np.asarray(lp.row_upper_)[1:]
    assert upper.tolist() == [*eq.rhs, *ineq.rhs]
    assert lower.tolist() == [*eq.rhs, *[-np.inf] * len(ineq.rhs)]
    # Every series' columns got its own bounds, though the blocks list them out of order.
    for series in [v for b in blocks for v in (b.output, *b.auxiliaries)]:
        assert bounds_of(h, series.cols)[0].tolist() == series.lb.tolist()
        assert bounds_of(h, series.cols)[1].tolist() == series.ub.tolist()
    # Binary columns are integer; everything else continuous.
    b = blocks[1].auxiliaries[0]
    assert [i for i, t in enumerate(integrality(h)) if t] == b.cols.tolist()


def test_duplicate_entries_are_summed_like_scipy_on_random_rows():
    rng = np.random.default_rng(7)
    h = highs_model()
    ncols = 12
    caller(h, [(0.0, 1.0)] * ncols)
    m, nnz = 9, 80  # many more entries than cells of a row: duplicates throughout
    rows = rng.integers(0, m, nnz)  # unsorted, as concatenated records may be
    rows[-1] = m - 1
    cols = rng.integers(0, ncols, nnz)
    coefs = rng.normal(size=nnz)
    rhs = rng.normal(size=m)
    adapter = e.HighsAdapter(h)
    adapter._add_rows(e.EqualitySeries(cols, rows, coefs, rhs), True)
    adapter._add_rows(e.InequalitySeries(cols, rows, -coefs, rhs), False)
    want = sp.coo_array((coefs, (rows, cols)), shape=(m, ncols)).tocsr().toarray()
    got = highs_matrix(h)
    assert np.allclose(got[:m], want, rtol=0, atol=1e-12)
    assert np.allclose(got[m:], -want, rtol=0, atol=1e-12)
    # One entry per (row, column): HiGHS holds the summed matrix, not the duplicates.
    assert h.getNumNz() == np.count_nonzero(np.abs(want) > 0) * 2


def test_a_row_naming_a_column_beyond_the_model_fails_from_scipy():
    h = highs_model()
    caller(h, [(0.0, 1.0)])
    with pytest.raises(ValueError, match="index 3 exceeds matrix dimension"):
        e.HighsAdapter(h)._add_rows(
            e.InequalitySeries(np.array([3]), np.array([0]), np.ones(1), np.ones(1)), False
        )
    assert counts(h) == (1, 0)


def test_to_variables_pairs_the_index_with_highs_variables():
    h = highs_model()
    adapter = e.HighsAdapter(h)
    autumn = pd.date_range("2026-10-25", periods=25, freq="h", tz="Europe/Stockholm")
    x = adapter.to_series(dict(zip(autumn, caller(h, [(0.0, 1.0)] * 25))))
    out = adapter.to_variables(x)
    # The repeated autumn hour stays two keys: maps are keyed by instants in UTC.
    assert len(out) == 25
    assert all(type(k) is dt.datetime and k.utcoffset() == dt.timedelta(0) for k in out)
    assert [v.index for v in out.values()] == x.cols.tolist()
    assert all(type(v) is highspy.highs.highs_var for v in out.values())
    assert [pd.Timestamp(k).value for k in out] == autumn.as_unit("ns").asi8.tolist()
    assert adapter.to_series(out) == x.gather(np.arange(25), index=x.index.tz_convert("UTC"))


class Unpaired:
    """A series-like whose index is shorter than its columns."""

    cols = np.array([0, 1, 2])
    index = INDEX[:2]


def test_to_variables_pairs_strictly():
    h = highs_model()
    with pytest.raises(ValueError, match="zip\\(\\) argument 2 is longer than argument 1"):
        e.HighsAdapter(h).to_variables(Unpaired())


def test_next_available_col_and_the_interface():
    h = highs_model()
    adapter = e.HighsAdapter(h)
    assert adapter.get_next_available_col() == 0 and adapter._model is h
    caller(h, [(0.0, 1.0)] * 3)
    assert adapter.get_next_available_col() == 3
    assert isinstance(adapter, e.SolverAdapter)
    assert repr(adapter).startswith("HighsAdapter(_model=<highspy")
    base = e.SolverAdapter()
    for call in (
        lambda: base.add_blocks([]),
        lambda: base.to_series({}),
        lambda: base.to_variables(None),
        base.get_next_available_col,
    ):
        with pytest.raises(NotImplementedError):
            call()


def test_compiled_blocks_solve_to_the_hand_written_optimum():
    h = highs_model()
    adapter = e.HighsAdapter(h)
    xs = caller(h, [(0.0, CAP)] * len(INDEX))
    h.addConstr(sum(xs) == TOTAL)
    x = adapter.to_series(dict(zip(INDEX, xs)))
    blocks, costs = tariff_blocks(x, adapter.get_next_available_col())
    adapter.add_blocks(blocks)
    objective = [v for c in costs for v in adapter.to_variables(c).values()]
    h.minimize(sum(objective))
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    assert h.getInfo().objective_function_value == pytest.approx(reference_optimum(), rel=1e-9)


def test_the_engine_imports_without_gurobipy():
    code = (
        "import sys; sys.modules['gurobipy'] = None\n"
        "from ostrelpy.bindings import _engine as e\n"
        "import highspy\n"
        "assert e.HighsAdapter(highspy.Highs()).get_next_available_col() == 0\n"
        "try:\n"
        "    e.GurobiAdapter(object()).to_series({})\n"
        "except ImportError:\n"
        "    print('needs gurobipy')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip().endswith("needs gurobipy")


def test_an_adapter_held_by_its_model_is_collected():
    import gc
    import weakref

    h = highs_model()
    h.adapter = e.HighsAdapter(h)  # a cycle through the model
    gone = weakref.ref(h)
    del h
    gc.collect()
    assert gone() is None


def test_the_interface_can_be_implemented_in_python():
    class Recording(e.SolverAdapter):
        def __init__(self):
            super().__init__()
            self.added = []

        def add_blocks(self, blocks):
            self.added.extend(blocks)

        def get_next_available_col(self):
            return len(self.added)

    r = Recording()
    r.add_blocks([1, 2])
    assert isinstance(r, e.SolverAdapter) and r.get_next_available_col() == 2
    with pytest.raises(NotImplementedError, match="SolverAdapter.to_series is abstract"):
        r.to_series({})


# to_variables in a fresh process, after `patch`: each variable must be the one the public
# constructor makes (type, index, model reference, rows built from it), whether the adapter
# makes it itself or, when the constructor no longer matches its shortcut, through it.
HIGHS_VAR_CHECK = """
import highspy, highspy.highs as hh, numpy as np, pandas as pd
from ostrelpy.bindings import _engine as e
{patch}
h = highspy.Highs()
h.addVariables(3, lb=0.0, ub=1.0)
x = e.VariableSeries.continuous(
    1, np.zeros(2), np.ones(2), pd.date_range("2025-01-01", periods=2, freq="h", tz="UTC")
)
for col, v in zip((1, 2), e.HighsAdapter(h).to_variables(x).values()):
    ref = hh.highs_var(col, h)
    assert type(v) is type(ref) and v.index == ref.index and v.highs is ref.highs, v
    assert repr(2.0 * v - 1.0 <= 3.0) == repr(2.0 * ref - 1.0 <= 3.0)
    assert repr(v + ref) == repr(ref + ref) and hash(v) == hash(ref)
"""
HIGHS_VAR_PATCHES = {
    "as published": "",
    # A constructor that keeps the model itself rather than a weak proxy of it.
    "changed constructor": "def init(self, i, highs):\n    self.index, self.highs = i, highs\n"
    "hh.highs_var.__init__ = init",
}


@pytest.mark.parametrize("patch", HIGHS_VAR_PATCHES)
def test_to_variables_makes_what_the_highs_var_constructor_makes(patch):
    code = HIGHS_VAR_CHECK.format(patch=HIGHS_VAR_PATCHES[patch])
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
