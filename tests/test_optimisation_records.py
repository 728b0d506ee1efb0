"""Variable and constraint series, grouped values and function blocks: checks and value semantics."""

import numpy as np
import pandas as pd
import pytest
from conftest import IDX3, cont, fields

from ostrelpy.bindings import _engine as e

# -- VariableSeries ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "over, message",
    [
        (dict(cols=np.array([0, 1, 2], dtype=np.int32)), "array must be int64, got int32"),
        (dict(lb=np.zeros(3, dtype=np.float32)), "array must be float64, got float32"),
        (dict(ub=np.zeros((3, 1))), "array must be 1-D, got 2-D"),
        (dict(is_integer=np.zeros(3)), "array must be bool_, got float64"),
        (dict(cols=np.array([0, 1])), "arrays must have equal length"),
        (dict(index=IDX3[:2]), "arrays must have equal length"),
        (dict(ub=np.array([1.0, np.inf, 1.0])), "lb and ub must be finite"),
        (dict(lb=np.array([0.0, np.nan, 0.0])), "lb and ub must be finite"),
        (dict(lb=np.array([0.0, 2.0, 0.0])), "lb must be <= ub element-wise"),
    ],
)
def test_variable_series_checks(over, message):
    with pytest.raises(ValueError) as err:
        e.VariableSeries(**fields(**over))
    assert str(err.value) == message


def test_dtype_checks_run_in_field_order():
    with pytest.raises(ValueError, match="got int32"):
        e.VariableSeries(**fields(cols=np.zeros(3, dtype=np.int32), lb=np.zeros(3, np.float32)))


def test_empty_variable_series_is_valid():
    v = e.VariableSeries(
        np.array([], dtype=np.int64),
        np.array([]),
        np.array([]),
        np.array([], dtype=bool),
        pd.DatetimeIndex([], tz="UTC"),
    )
    assert len(v.cols) == 0 and e.FunctionBlock(v).next_available_col == 0


def test_variable_series_arrays_are_read_only_copies():
    lb = np.zeros(3)
    v = e.VariableSeries(**fields(lb=lb))
    lb[0] = -5.0
    assert v.lb[0] == 0.0
    for name in ("cols", "lb", "ub", "is_integer"):
        arr = getattr(v, name)
        assert not arr.flags.writeable
        with pytest.raises(ValueError):
            arr[0] = 1
    assert v.cols.dtype == np.int64 and v.is_integer.dtype == np.bool_
    with pytest.raises(AttributeError):
        v.lb = np.ones(3)


def test_views_outlive_their_record():
    cols = cont(7, [0, 0, 0], [1, 1, 1]).cols
    import gc

    gc.collect()
    assert cols.tolist() == [7, 8, 9]


def test_variable_series_value_semantics():
    a, b = e.VariableSeries(**fields()), e.VariableSeries(**fields())
    assert a == b and hash(a) == hash(b) and len({a, b}) == 1
    assert a != e.VariableSeries(**fields(ub=np.full(3, 2.0)))
    assert a != e.VariableSeries(**fields(index=IDX3 + pd.Timedelta("1h")))
    text = repr(a)
    assert text.startswith("VariableSeries(cols=array([0, 1, 2]), lb=array([0., 0., 0.]), ub=")
    assert ", is_integer=array([False, False, False]), index=DatetimeIndex(" in text


def test_continuous_and_binary():
    v = e.VariableSeries.continuous(5, np.array([-1.0, 0, 1]), np.array([1.0, 2, 3]), IDX3)
    assert v.cols.tolist() == [5, 6, 7] and not v.is_integer.any()
    idx4 = pd.date_range("2025-01-01", periods=4, freq="h", tz="UTC")
    b = e.VariableSeries.binary(10, idx4)
    assert b.cols.tolist() == [10, 11, 12, 13]
    assert b.lb.tolist() == [0.0] * 4 and b.ub.tolist() == [1.0] * 4 and b.is_integer.all()
    assert b.index.equals(idx4)


def test_gather_shares_columns():
    v = cont(3, [0, 1, 2], [5, 6, 7])
    g = v.gather([2, 0])
    assert g.cols.tolist() == [5, 3] and g.lb.tolist() == [2.0, 0.0]
    assert g.index.equals(IDX3[[2, 0]])
    other = pd.date_range("2030-01-01", periods=2, freq="D", tz="UTC")
    assert v.gather(np.array([1, 1]), other).index.equals(other)
    assert v.gather(np.array([-1])).cols.tolist() == [5]
    assert v.gather(np.array([True, False, True])).cols.tolist() == [3, 5]
    with pytest.raises(IndexError):
        v.gather([3])
    with pytest.raises(ValueError, match="arrays must have equal length"):
        v.gather([0, 1], other[:1])


def test_module_gather():
    v = cont(0, [0, 0, 0], [1, 1, 1])
    assert e.gather(v, [1], None).cols.tolist() == [1]
    s = pd.Series([1.0, 2.0, 3.0], index=IDX3)
    out = e.gather(s, [2, 0], None)
    assert out.tolist() == [3.0, 1.0] and out.index.equals(IDX3[[2, 0]])
    assert e.gather(np.array([4, 5, 6]), [1], None).tolist() == [5]
    assert e.gather(2.5, [1], None) == 2.5


# -- ConstraintSeries --------------------------------------------------------------------------


def cs(cls, cols, rows, coefs, rhs):
    return cls(
        np.array(cols, dtype=np.int64),
        np.array(rows, dtype=np.int64),
        np.array(coefs, dtype=float),
        np.array(rhs, dtype=float),
    )


@pytest.mark.parametrize("cls", [e.ConstraintSeries, e.EqualitySeries, e.InequalitySeries])
@pytest.mark.parametrize(
    "args, message",
    [
        (([0, 1], [0], [1.0, 1.0], [0.0]), "cols/rows/coefs must match"),
        (([], [], [], [1.0]), "rhs must be empty when nnz=0"),
        (([0, 1], [0, -1], [1.0, 1.0], [0.0]), "row indices must be >= 0"),
        (([0, 1], [0, 2], [1.0, 1.0], [0.0, 0.0]), "rhs length mismatches row count"),
        (([0, 1], [0, 2], [1.0, 1.0], [0.0] * 4), "rhs length mismatches row count"),
    ],
)
def test_constraint_series_checks(cls, args, message):
    with pytest.raises(ValueError) as err:
        cs(cls, *args)
    assert str(err.value) == message


def test_constraint_series_valid_shapes_and_dtypes():
    assert len(cs(e.ConstraintSeries, [], [], [], []).rhs) == 0
    gap = cs(e.InequalitySeries, [0, 1], [0, 2], [1.0, 1.0], [0.0, 0.0, 0.0])
    assert gap.rhs.tolist() == [0.0] * 3 and isinstance(gap, e.ConstraintSeries)
    with pytest.raises(ValueError, match="array must be int64, got float64"):
        e.ConstraintSeries(np.array([0.0]), np.array([0]), np.array([1.0]), np.array([0.0]))
    with pytest.raises(ValueError, match="array must be float64, got int64"):
        e.ConstraintSeries(np.array([0]), np.array([0]), np.array([1]), np.array([0.0]))


def test_constraint_series_equality_is_by_class_and_value():
    a = cs(e.EqualitySeries, [0], [0], [1.0], [2.0])
    assert a == cs(e.EqualitySeries, [0], [0], [1.0], [2.0])
    assert hash(a) == hash(cs(e.EqualitySeries, [0], [0], [1.0], [2.0]))
    assert a != cs(e.InequalitySeries, [0], [0], [1.0], [2.0])
    assert a != cs(e.EqualitySeries, [0], [0], [1.0], [3.0])
    assert repr(a) == (
        "EqualitySeries(cols=array([0]), rows=array([0]), coefs=array([1.]), rhs=array([2.]))"
    )


def test_concatenate_offsets_rows_and_skips_none():
    a = cs(e.EqualitySeries, [0, 1], [0, 1], [1.0, 2.0], [5.0, 6.0])
    b = cs(e.EqualitySeries, [2, 3], [0, 2], [3.0, 4.0], [7.0, 0.0, 8.0])
    out = e.EqualitySeries.concatenate([None, a, None, b])
    assert type(out) is e.EqualitySeries
    assert out.cols.tolist() == [0, 1, 2, 3] and out.rows.tolist() == [0, 1, 2, 4]
    assert out.rhs.tolist() == [5.0, 6.0, 7.0, 0.0, 8.0]
    assert e.InequalitySeries.concatenate([None, None]) is None
    assert e.ConstraintSeries.concatenate([]) is None
    assert type(e.ConstraintSeries.concatenate([a])) is e.ConstraintSeries


# -- grouped values ----------------------------------------------------------------------------


def test_grouped_values_and_groups():
    g = e.GroupedValues(np.array([1.0, 3.0, 2.0, 6.0]), np.array([0, 0, 2, 2]))
    assert g.sum().tolist() == [4.0, 0.0, 8.0]
    mean = g.mean()
    assert mean[0] == 2.0 and np.isnan(mean[1]) and mean[2] == 4.0
    assert g.max().tolist() == [3.0, -np.inf, 6.0] and g.min().tolist() == [1.0, np.inf, 2.0]
    v = cont(0, [0, 1, 2], [5, 6, 7])
    groups = e.Groups(v, np.array([0, 1, 1]), IDX3[[0, 1]])
    assert groups.size().tolist() == [1, 2]
    assert groups.lb.max().tolist() == [0.0, 2.0] and groups.ub.sum().tolist() == [5.0, 13.0]
    assert groups == e.Groups(v, np.array([0, 1, 1]), IDX3[[0, 1]])
    assert groups != e.Groups(v, np.array([0, 0, 1]), IDX3[[0, 1]])
    assert hash(groups) == hash(e.Groups(v, np.array([0, 1, 1]), IDX3[[0, 1]]))
    assert repr(e.ConstraintTerm(2.0, 3.0)) == "ConstraintTerm(coef=2.0, factor=3.0)"


# -- FunctionBlock -----------------------------------------------------------------------------


def test_function_block_then():
    x = cont(0, [0] * 3, [1] * 3)
    first = e.linear_combination([x], 3)
    aux = e.VariableSeries.binary(6, IDX3)
    second_base = e.linear_combination([(2.0, first.output)], 9)
    ineq = e.le(second_base.output, [first.output])
    second = e.FunctionBlock(second_base.output, (aux,), second_base.equalities, ineq)
    chained = first.then(second)
    assert chained.output == second.output
    assert chained.auxiliaries == (first.output, aux)
    assert chained.equalities.rhs.shape == (6,) and chained.equalities.rows.max() == 5
    assert chained.inequalities == ineq
    assert chained.next_available_col == 12
    with pytest.raises(TypeError):
        first.then(x)


def test_then_without_rows_has_no_rows():
    a = e.FunctionBlock(cont(0, [0] * 3, [1] * 3))
    b = e.FunctionBlock(cont(3, [0] * 3, [1] * 3))
    c = a.then(b)
    assert c.equalities is None and c.inequalities is None and c.next_available_col == 6


def test_function_block_checks_its_fields():
    x = cont(0, [0] * 3, [1] * 3)
    ineq = e.le(x, [1.0])
    with pytest.raises(TypeError):
        e.FunctionBlock(x, (), ineq)
    with pytest.raises(TypeError):
        e.FunctionBlock(np.zeros(3))
    with pytest.raises(TypeError):
        e.FunctionBlock(x, (np.zeros(3),))
    block = e.FunctionBlock(x, [x], None, ineq)
    assert block.auxiliaries == (x,) and block == e.FunctionBlock(x, (x,), None, ineq)
    assert hash(block) == hash(e.FunctionBlock(x, (x,), None, ineq))
    assert repr(block).startswith("FunctionBlock(output=VariableSeries(cols=array([0, 1, 2])")


# -- first columns -----------------------------------------------------------------------------

BIG = 2**63 - 2


@pytest.mark.parametrize(
    "make, message",
    [
        (
            lambda: e.VariableSeries.binary(BIG, IDX3),
            f"start_col must be between 0 and 2**62, got {BIG}",
        ),
        (
            lambda: e.VariableSeries.binary(-1, IDX3),
            "start_col must be between 0 and 2**62, got -1",
        ),
        (
            lambda: e.VariableSeries.continuous(2**62 - 1, np.zeros(3), np.ones(3), IDX3),
            f"start_col {2**62 - 1} leaves no room for 3 columns below 2**62",
        ),
        (
            lambda: e.linear_combination([(2.0, cont(0, [0.0] * 3, [1.0] * 3))], BIG),
            f"start_col must be between 0 and 2**62, got {BIG}",
        ),
        (
            lambda: e.linear_combination([(2.0, cont(0, [0.0] * 3, [1.0] * 3))], -5),
            "start_col must be between 0 and 2**62, got -5",
        ),
    ],
)
def test_columns_no_model_can_have_are_refused(make, message):
    with pytest.raises(ValueError) as err:
        make()
    assert str(err.value) == message


@pytest.mark.parametrize("col", [-5, 0, 2, 2**62 + 1])
def test_a_context_counter_is_checked_wherever_it_is_set(col):
    x = cont(0, [0.0] * 3, [1.0] * 3)
    ctx = e.ExecutionContext("tl", 3, {"x": x})
    with pytest.raises(ValueError, match="next_available_col"):
        ctx.next_available_col = col
    assert ctx.next_available_col == 3
    if col < 0 or col > 2**62:
        with pytest.raises(ValueError, match="must be between 0 and 2\\*\\*62"):
            e.ExecutionContext("tl", col)
