import datetime as dt
import itertools
import sys

import numpy as np
import pandas as pd
import pytest

from ostrelpy.bindings import _engine as e

IDX3 = pd.date_range("2025-01-01", periods=3, freq="15min", tz="UTC")


def cont(start, lb, ub, index=IDX3):
    return e.VariableSeries.continuous(start, np.asarray(lb, float), np.asarray(ub, float), index)


def fields(**over):
    base = dict(
        cols=np.array([0, 1, 2]),
        lb=np.zeros(3),
        ub=np.ones(3),
        is_integer=np.zeros(3, dtype=bool),
        index=IDX3,
    )
    base.update(over)
    return base


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


# -- relations ---------------------------------------------------------------------------------


def test_ge_worked_example():
    x, y = cont(0, [0] * 3, [9] * 3), cont(3, [0] * 3, [9] * 3)
    r = e.ge(y, [(2.0, x)], rhs=5)
    assert type(r) is e.InequalitySeries
    assert r.cols.tolist() == [3, 0, 4, 1, 5, 2]
    assert r.rows.tolist() == [0, 0, 1, 1, 2, 2]
    assert r.coefs.tolist() == [-1.0, 2.0] * 3
    assert r.rhs.tolist() == [-5.0] * 3


def test_eq_with_a_bare_constant_moves_it_right():
    x, y = cont(0, [0] * 3, [9] * 3), cont(3, [0] * 3, [9] * 3)
    r = e.eq(y, [(1.0, x), 3.0])
    assert type(r) is e.EqualitySeries
    assert r.coefs.tolist() == [1.0, -1.0] * 3 and r.rhs.tolist() == [3.0] * 3


def test_relation_terms_per_step_and_of_every_form():
    x, y = cont(0, [0] * 3, [9] * 3), cont(3, [0] * 3, [9] * 3)
    coef = pd.Series([1.0, 2.0, 3.0], index=IDX3)
    r = e.le(
        y,
        [e.ConstraintTerm(coef, x), (2.0, pd.Series([1.0, 0.0, -1.0])), x],
        rhs=np.array([10.0, 20.0, 30.0]),
    )
    # y - c x - x <= rhs + 2 * s
    assert r.cols.tolist() == [3, 0, 0, 4, 1, 1, 5, 2, 2]
    assert r.coefs.tolist() == [1, -1, -1, 1, -2, -1, 1, -3, -1]
    assert r.rhs.tolist() == [12.0, 20.0, 28.0]


def test_from_relation_keeps_the_class_and_needs_keywords():
    x, y = cont(0, [0] * 3, [9] * 3), cont(3, [0] * 3, [9] * 3)
    r = e.ConstraintSeries.from_relation(y, [x], rhs=0.0, sign=1.0)
    assert type(r) is e.ConstraintSeries
    assert type(e.EqualitySeries.from_relation(y, [x], rhs=1.0, sign=-1.0)) is e.EqualitySeries
    with pytest.raises(TypeError):
        e.EqualitySeries.from_relation(y, [x], 0.0, 1.0)
    with pytest.raises(TypeError):
        e.eq(pd.Series([1.0, 2.0, 3.0]), [x])


def test_relation_shape_errors():
    x, y = cont(0, [0] * 3, [9] * 3), cont(3, [0] * 2, [9] * 2, IDX3[:2])
    with pytest.raises(ValueError):
        e.eq(y, [x])
    with pytest.raises(AssertionError, match="^broadcast: expected length 2, got 3$"):
        e.eq(y, [pd.Series([1.0, 2.0, 3.0])])
    with pytest.raises(ValueError):
        e.eq(y, [np.array([1.0, 2.0, 3.0])])
    with pytest.raises(TypeError):
        e.eq(y, [(1.0, x, 2.0)])


def brute_force_gate(build, when, sign):
    """Every integer point of a small box: the gated row holds exactly as the resolved row where
    gate == when, and always holds elsewhere."""
    idx = IDX3[:1]
    y, x = cont(0, [-2], [3], idx), cont(1, [-1], [2], idx)
    gate = e.VariableSeries.binary(2, idx)
    row = build(y, [(1.5, x), 0.5], gate, when)
    assert type(row) is e.InequalitySeries and row.cols.tolist() == [0, 1, 2]
    for yv, xv, g in itertools.product(range(-2, 4), range(-1, 3), (0, 1)):
        lhs = np.dot(row.coefs, [yv, xv, g])
        holds = lhs <= row.rhs[0] + 1e-9
        resolved = sign * (yv - (1.5 * xv + 0.5)) <= 1e-9
        assert holds == (resolved if g == when else True)
    return row


@pytest.mark.parametrize("when", [0, 1])
def test_le_when_and_ge_when_are_exact_where_active(when):
    brute_force_gate(e.le_when, when, 1.0)
    brute_force_gate(e.ge_when, when, -1.0)


def test_le_when_big_m_placement():
    y, x = cont(0, [0] * 3, [10] * 3), cont(3, [0] * 3, [4] * 3)
    gate = e.VariableSeries.binary(6, IDX3)
    off = e.le_when(y, [x], gate, 0)
    on = e.le_when(y, [x], gate, 1)
    # y - x <= 0; largest left side 10
    assert off.cols.tolist()[-3:] == [6, 7, 8] and off.rows.tolist()[-3:] == [0, 1, 2]
    assert off.coefs.tolist()[-3:] == [-10.0] * 3 and off.rhs.tolist() == [0.0] * 3
    assert on.coefs.tolist()[-3:] == [10.0] * 3 and on.rhs.tolist() == [10.0] * 3
    assert e.ge_when(y, [x], gate, 1).coefs.tolist()[-3:] == [4.0] * 3


def test_linear_combination_bounds_and_rows():
    x, y = cont(0, [0, -1, 2], [1, 1, 4]), cont(3, [1, 1, 1], [2, 3, 4])
    block = e.linear_combination([x, (-2.0, y), (pd.Series([1.0, 2.0, 3.0], index=IDX3), 1.5)], 10)
    out = block.output
    assert out.cols.tolist() == [10, 11, 12] and out.index.equals(IDX3)
    assert out.lb.tolist() == [0 - 4 + 1.5, -1 - 6 + 3.0, 2 - 8 + 4.5]
    assert out.ub.tolist() == [1 - 2 + 1.5, 1 - 2 + 3.0, 4 - 2 + 4.5]
    assert block.auxiliaries == () and block.inequalities is None
    eqs = block.equalities
    assert type(eqs) is e.EqualitySeries
    assert eqs.cols.tolist()[:3] == [10, 0, 3] and eqs.coefs.tolist()[:3] == [1.0, -1.0, 2.0]
    assert eqs.rhs.tolist() == [1.5, 3.0, 4.5]
    assert block.next_available_col == 13


def test_linear_combination_assertions():
    x = cont(0, [0] * 3, [1] * 3)
    with pytest.raises(AssertionError, match="^no variable factor$"):
        e.linear_combination([(2.0, 1.0)], 0)
    shifted = cont(3, [0] * 3, [1] * 3, IDX3 + pd.Timedelta("1D"))
    with pytest.raises(AssertionError, match="^VariableSeries must share an index$"):
        e.linear_combination([x, shifted], 6)
    with pytest.raises(ValueError, match="lb and ub must be finite"):
        e.linear_combination([x, np.array([1.0, np.nan, 0.0])], 6)


def test_sum_per_group_term_forms():
    x = cont(0, [0] * 3, [1] * 3)
    z = cont(3, [0] * 2, [1] * 2, IDX3[:2])
    r = e.sum_per_group(
        [
            e.GroupTerm(2.0, x, np.array([0, 0, 1])),
            (z, np.array([1, 0], dtype=np.int32)),
            (np.array([-1.0, -2.0]), z, [0, 1]),
        ],
        rhs=np.array([1.0, 2.0]),
    )
    assert type(r) is e.EqualitySeries
    assert r.cols.tolist() == [0, 1, 2, 3, 4, 3, 4]
    assert r.rows.tolist() == [0, 0, 1, 1, 0, 0, 1]
    assert r.coefs.tolist() == [2.0, 2.0, 2.0, 1.0, 1.0, -1.0, -2.0]
    assert r.rhs.tolist() == [1.0, 2.0]
    assert e.sum_per_group([(x, np.array([0, 1, 1]))], 3).rhs.tolist() == [3.0, 3.0]


def test_sum_per_group_needs_dense_labels_and_integer_allocations():
    x = cont(0, [0] * 3, [1] * 3)
    with pytest.raises(ValueError, match="rhs length mismatches row count"):
        e.sum_per_group([(x, np.array([0, 2, 2]))])
    with pytest.raises(ValueError, match="array must be int64, got float64"):
        e.sum_per_group([(x, np.array([0.0, 1.0, 1.0]))])
    with pytest.raises(ValueError, match="cols/rows/coefs must match"):
        e.sum_per_group([(x, np.array([0, 1]))])


def test_broadcast():
    assert e.broadcast(2, 3).tolist() == [2.0] * 3 and e.broadcast(True, 1).dtype == np.float64
    arr = np.array([1, 2])
    assert e.broadcast(arr, 5) is arr
    assert e.broadcast(pd.Series([1, 2]), 2).dtype == np.float64
    with pytest.raises(AssertionError, match="^broadcast: expected length 3, got 2$"):
        e.broadcast(pd.Series([1.0, 2.0]), 3)


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


# -- ExecutionContext --------------------------------------------------------------------------

Q, KWH = e.Resolution.QUARTER_HOURLY, e.Unit.KWH


def ds(name):
    return e.Dataset(id=name, resolution=Q, unit=KWH)


class Step:
    """A pipeline step following the function protocol, recording how it was called."""

    type = "probe"

    def __init__(self, output, **operands):
        self.output, self.operands, self.calls = ds(output), operands, []

    def input_operands(self):
        return dict(self.operands)

    def compute(self, timeline, **operands):
        self.calls.append(("compute", timeline, operands))
        return sum(operands.values())

    def compile(self, timeline, next_available_col, assume_convex, **operands):
        self.calls.append(("compile", timeline, next_available_col, assume_convex, operands))
        return e.linear_combination(list(operands.values()), next_available_col)


def test_context_construction_invariant():
    v = cont(3, [0] * 3, [1] * 3)
    with pytest.raises(ValueError) as err:
        e.ExecutionContext("tl", 5, {"load": v})
    assert str(err.value) == (
        "next_available_col (5) must be greater than max col in VariableSeries load (5)"
    )
    ctx = e.ExecutionContext("tl", 6, {"load": v, "empty": cont(0, [], [], IDX3[:0])})
    assert ctx.function_blocks == [] and ctx.assume_convex is False
    assert e.ExecutionContext("tl", 0).all_series == {}


def test_context_fields_are_reassignable_and_compared_by_value():
    a = e.ExecutionContext("tl", 0, {"s": pd.Series([1.0])})
    b = e.ExecutionContext("tl", 0, {"s": pd.Series([1.0])})
    assert a == b
    b.next_available_col = 4
    b.assume_convex = True
    assert a != b and b.next_available_col == 4
    with pytest.raises(TypeError):
        hash(a)
    c = e.ExecutionContext("tl", 0)
    c.all_series["self"] = c
    assert repr(c) == (
        "ExecutionContext(timeline='tl', next_available_col=0, "
        "all_series={'self': ...}, function_blocks=[], assume_convex=False)"
    )


def test_register_function_block_moves_the_counter_forward_only():
    ctx = e.ExecutionContext(None, 10)
    x = cont(0, [0] * 3, [1] * 3)
    aux = e.VariableSeries.binary(13, IDX3)
    block = e.FunctionBlock(cont(10, [0] * 3, [1] * 3), (aux,))
    ctx.register_function_block("out", block)
    assert ctx.next_available_col == 16 and ctx.all_series["out"] is block.output
    assert ctx.function_blocks == [block]
    ctx.register_function_block("low", e.FunctionBlock(x))
    assert ctx.next_available_col == 16
    empty = cont(0, [], [], IDX3[:0])
    ctx.register_function_block("none", e.FunctionBlock(empty, (empty,)))
    assert ctx.next_available_col == 16 and len(ctx.function_blocks) == 3
    with pytest.raises(TypeError):
        ctx.register_function_block(1, block)
    with pytest.raises(TypeError):
        ctx.register_function_block("x", x)


def test_execute_function_computes_numeric_steps():
    s = pd.Series([1.0, 2.0], name="a")
    ctx = e.ExecutionContext("timeline", 0, {"a": s})
    step = Step("total", left=ds("a"), right=e.Level(value=2.0, unit=KWH), missing=None)
    out = ctx.execute_function(step)
    assert out.name == "total" and out.tolist() == [3.0, 4.0]
    assert step.calls == [("compute", "timeline", {"left": s, "right": 2.0})]
    assert s.name == "a" and ctx.all_series == {"a": s}


class Tagged(pd.Series):
    """A series subclass whose rename marks its result."""

    @property
    def _constructor(self):
        return Tagged

    def rename(self, *args, **kwargs):
        out = super().rename(*args, **kwargs)
        out.attrs["renamed"] = True
        return out


class Returning(Step):
    """A step whose compute hands back what `pick` chooses among its operands (or its own)."""

    def __init__(self, output, pick, **operands):
        super().__init__(output, **operands)
        self.pick, self.kept = pick, pd.Series([7.0], name="kept")

    def compute(self, timeline, **operands):
        return self.pick(self, operands)


@pytest.mark.parametrize(
    "pick",
    [
        lambda step, ops: ops["x"],  # an input, unchanged
        lambda step, ops: step.kept,  # a series the step keeps
        lambda step, ops: pd.Series([1.0, 2.0], name="fresh"),  # a new series
        lambda step, ops: Tagged([1.0, 2.0], name="fresh"),  # a new series of a subclass
    ],
)
def test_execute_function_names_the_result_without_touching_held_series(pick):
    a = pd.Series([1.0, 2.0], name="a")
    ctx = e.ExecutionContext("timeline", 0, {"a": a})
    step = Returning("total", pick, x=ds("a"))
    out = ctx.execute_function(step)
    assert out.name == "total"
    assert a.name == "a" and ctx.all_series["a"] is a and step.kept.name == "kept"
    assert out is not a and out is not step.kept
    # A subclass keeps its own renaming.
    assert out.attrs.get("renamed", False) == isinstance(out, Tagged)


def test_execute_function_compiles_steps_with_variables():
    v = cont(0, [0] * 3, [1] * 3)
    ctx = e.ExecutionContext("timeline", 7, {"v": v}, assume_convex=True)
    step = Step("out", x=ds("v"), k=e.Level(value=1.5, unit=KWH))
    block = ctx.execute_function(step)
    assert isinstance(block, e.FunctionBlock) and block.output.cols.tolist() == [7, 8, 9]
    kind, timeline, col, convex, operands = step.calls[0]
    assert (kind, timeline, col, convex) == ("compile", "timeline", 7, True)
    assert operands["x"] is v and operands["k"] == 1.5
    assert ctx.next_available_col == 7 and ctx.function_blocks == []


def test_execute_function_missing_dataset_is_a_key_error():
    ctx = e.ExecutionContext(None, 0, {})
    with pytest.raises(KeyError) as err:
        ctx.execute_function(Step("out", x=ds("absent")))
    assert err.value.args == ("absent",)
    assert ctx.all_series == {}


def test_context_breaks_reference_cycles():
    import gc
    import weakref

    class Marker:
        pass

    marker = Marker()
    ctx = e.ExecutionContext(None, 0, {"marker": marker})
    ctx.all_series["me"] = ctx
    probe = weakref.ref(marker)
    del ctx, marker
    gc.collect()
    assert probe() is None


@pytest.mark.skipif(sys.flags.optimize > 0, reason="assertions are skipped when optimised")
def test_assertions_are_on_in_tests():
    with pytest.raises(AssertionError):
        e.broadcast(pd.Series([1.0]), 2)


# -- the runner --------------------------------------------------------------------------------

GRID = pd.date_range("2025-03-01", periods=8, freq="15min", tz="UTC")
H = e.Resolution.HOURLY


class GridDouble:
    """Stands in for a timeline: quarter-hours, hourly periods every fourth instant."""

    def __init__(self, grid=GRID):
        self.grid = grid

    def get_as(self, resolution):
        return self.grid[::4] if resolution == H else self.grid

    def align_dataset(self, series, resolution):
        return series.reindex(self.get_as(resolution), fill_value=0.0)

    def group_index(self, index, resolution):
        keys = index.floor("h") if resolution == H else index
        return pd.DataFrame({"key": keys}, index=index).groupby("key")


class Component:
    def __init__(self, cost, *functions):
        self.cost, self.functions = ds(cost), list(functions)


def test_run_pipeline_argument_errors():
    with pytest.raises(TypeError) as err:
        e.run_pipeline([], {})
    assert str(err.value) == "run_pipeline() needs keyword-only argument timeline"
    with pytest.raises(TypeError) as err:
        e.run_pipeline([], {}, timeline=GridDouble(), next_available_col="3")
    assert str(err.value) == (
        "Argument 'next_available_col' has incorrect type (expected int, got str)"
    )
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(3 given\)"):
        e.run_pipeline([], {}, GridDouble())
    ctx = e.run_pipeline([], {}, timeline=GridDouble(), next_available_col=3.9, assume_convex=1)
    assert ctx.next_available_col == 3 and ctx.assume_convex is True and ctx.all_series == {}


def test_run_pipeline_places_inputs_on_the_timeline():
    measured = pd.Series([1.0, 2.0], index=GRID[[0, 3]], name="caller")
    own_index = pd.date_range("2000-01-01", periods=2, freq="D", tz="UTC")
    v = e.VariableSeries.continuous(0, np.zeros(2), np.ones(2), own_index)
    hourly = e.Dataset(id="v", resolution=H, unit=KWH)
    ctx = e.run_pipeline(
        [], {ds("m"): measured, hourly: v}, timeline=GridDouble(), next_available_col=2
    )
    placed = ctx.all_series["v"]
    assert placed.cols.tolist() == [0, 1] and placed.index.equals(GRID[::4])
    m = ctx.all_series["m"]
    assert m.name == "m" and m.tolist() == [1.0, 0, 0, 2.0, 0, 0, 0, 0]
    assert measured.name == "caller"


class Recording(e.Timeline):
    """A timeline subclass with its own alignment, recording the series it was given."""

    def align_dataset(self, series, resolution):
        self.given = series
        return super().align_dataset(series, resolution) * 2.0


@pytest.mark.parametrize("timeline_type", [e.Timeline, Recording])
def test_run_pipeline_names_aligned_inputs_by_dataset(timeline_type):
    start = pd.Timestamp("2025-03-01", tz="UTC")
    built = e.Timeline.build(
        tz=dt.UTC, start_time=start, end_time=start + pd.Timedelta(hours=2), holidays=[]
    )
    t = timeline_type(built._accessors, [])
    measured = pd.Series(np.arange(8.0), index=t.get_as("quarter_hourly"), name="caller")
    ctx = e.run_pipeline([], {ds("m"): measured}, timeline=t)
    placed = ctx.all_series["m"]
    assert placed.name == "m" and measured.name == "caller" and placed is not measured
    scale = 2.0 if timeline_type is Recording else 1.0
    assert placed.tolist() == (np.arange(8.0) * scale).tolist()
    if timeline_type is Recording:
        assert t.given.name == "m" and t.given is not measured


def test_run_pipeline_refuses_mismatched_or_reused_variables():
    v = e.VariableSeries.continuous(0, np.zeros(3), np.ones(3), GRID[:3])
    hourly = e.Dataset(id="load", resolution=H, unit=KWH)
    with pytest.raises(ValueError) as err:
        e.run_pipeline([], {hourly: v}, timeline=GridDouble())
    assert str(err.value) == "dataset 'load': 3 variables but the timeline has 2 hourly periods"
    v8 = e.VariableSeries.continuous(0, np.zeros(8), np.ones(8), GRID)
    with pytest.raises(ValueError, match=r"next_available_col \(4\) must be greater"):
        e.run_pipeline([], {ds("load"): v8}, timeline=GridDouble(), next_available_col=4)


def test_run_pipeline_computes_and_compiles_in_order():
    price = pd.Series(np.full(8, 2.0), index=GRID)
    v = e.VariableSeries.continuous(0, np.zeros(8), np.ones(8), GRID)
    numeric = Component("fee", Step("fee", p=ds("price"), k=e.Level(value=1.0, unit=KWH)))
    compiled = Component("cost", Step("sum", x=ds("load")), Step("cost", y=ds("sum"), z=ds("load")))
    ctx = e.run_pipeline(
        [numeric, compiled],
        {ds("price"): price, ds("load"): v},
        timeline=GridDouble(),
        next_available_col=8,
    )
    assert ctx.all_series["fee"].tolist() == [3.0] * 8
    assert [b.output.cols[0] for b in ctx.function_blocks] == [8, 16]
    assert ctx.next_available_col == 24 and ctx.all_series["cost"].cols.tolist()[-1] == 23
    costs = e.run_components([numeric], ctx)
    assert len(costs) == 1 and costs[0].name == "fee"
    assert e.run_components([], ctx) == []
    with pytest.raises(KeyError):
        e.run_components([Component("never")], ctx)


def test_calculate_groups():
    v = e.VariableSeries.continuous(0, np.arange(8.0), np.arange(8.0) + 1, GRID[::-1])
    groups = e.calculate_groups(GridDouble(), v, H)
    assert isinstance(groups, e.Groups) and groups.variables is v
    assert groups.allocation.dtype == np.int64
    assert groups.allocation.tolist() == [1, 1, 1, 1, 0, 0, 0, 0]
    assert groups.index.equals(GRID[[3, 7]])
    assert groups.size().tolist() == [4, 4] and groups.lb.max().tolist() == [7.0, 3.0]


def test_assertion_checks_are_skipped_when_optimised():
    import subprocess

    script = """
import numpy as np, pandas as pd
from ostrelpy.bindings import _engine as e
idx = pd.date_range("2025-01-01", periods=3, freq="15min", tz="UTC")
x = e.VariableSeries.continuous(0, np.zeros(3), np.ones(3), idx)
print(e.broadcast(pd.Series([1.0, 2.0]), 3).tolist())
shifted = e.VariableSeries.continuous(3, np.zeros(3), np.ones(3), idx + pd.Timedelta("1D"))
print(e.linear_combination([x, shifted], 6).output.cols.tolist())
short = e.VariableSeries.continuous(3, np.zeros(2), np.ones(2), idx[:2])
try:
    e.linear_combination([x, short], 6)
except ValueError as err:
    print("ValueError")
try:
    e.linear_combination([1.0], 6)
except ValueError as err:
    print(err)
"""
    out = subprocess.run(
        [sys.executable, "-O", "-c", script], capture_output=True, text=True, check=True
    ).stdout.split("\n")
    assert out[:4] == ["[1.0, 2.0]", "[6, 7, 8]", "ValueError", "no variable factor"]


def test_more_shape_and_value_cases():
    with pytest.raises(ValueError, match="^arrays must have equal length$"):
        e.VariableSeries.continuous(0, np.zeros(2), np.ones(3), IDX3)
    assert e.VariableSeries.continuous(0, 0, 1, IDX3).ub.tolist() == [1.0] * 3
    a = e.VariableSeries(**fields(lb=np.array([-0.0, 0.0, 0.0])))
    b = e.VariableSeries(**fields())
    assert a == b and hash(a) == hash(b)
    y = cont(0, [0] * 3, [1] * 3)
    with pytest.raises(ValueError):
        e.le_when(y, [1.0], e.VariableSeries.binary(3, IDX3[:2]), 1)
    with pytest.raises(TypeError):
        e.le_when(y, [1.0], np.ones(3), 1)


def test_relations_keep_a_python_subclass():
    class Rows(e.EqualitySeries):
        pass

    y = cont(0, [0] * 3, [1] * 3)
    r = Rows.from_relation(y, [2.0], rhs=0.0, sign=1.0)
    assert type(r) is Rows and r.rhs.tolist() == [2.0] * 3
    joined = Rows.concatenate([r, e.eq(y, [1.0])])
    assert type(joined) is Rows and joined.rows.tolist() == [0, 1, 2, 3, 4, 5]


# -- with the engine's own timeline --------------------------------------------------------------

needs_timeline = pytest.mark.skipif(not hasattr(e, "Timeline"), reason="no Timeline in this build")


def stockholm_day(day):
    import datetime as dt
    from zoneinfo import ZoneInfo

    tz = ZoneInfo("Europe/Stockholm")
    start = dt.datetime(2025, 10, day, tzinfo=tz)
    return e.Timeline.build(
        tz=tz, start_time=start, end_time=start + dt.timedelta(days=1), holidays=[]
    )


@needs_timeline
def test_calculate_groups_on_the_day_daylight_saving_ends():
    tl = stockholm_day(26)
    quarters = tl.get_as(e.Resolution.QUARTER_HOURLY)
    v = e.VariableSeries.continuous(0, np.zeros(100), np.arange(100.0) + 1, quarters)
    groups = e.calculate_groups(tl, v, H)
    assert len(groups.index) == 25 and groups.size().tolist() == [4] * 25
    # The repeated local 02:00: the winter-time hour (smaller offset) sorts first.
    assert groups.allocation[8:16].tolist() == [3] * 4 + [2] * 4
    assert groups.index[2] == quarters[12] and groups.index[3] == quarters[8]


@needs_timeline
def test_run_pipeline_on_a_timeline():
    tl = stockholm_day(20)
    hourly = e.Dataset(id="load", resolution=H, unit=KWH)
    v = e.VariableSeries.continuous(0, np.zeros(24), np.ones(24), pd.RangeIndex(24))
    ctx = e.run_pipeline([], {hourly: v}, timeline=tl, next_available_col=24)
    assert ctx.all_series["load"].index.equals(tl.get_as(H))
    with pytest.raises(ValueError, match="^dataset 'load': 23 variables but the timeline has 24"):
        e.run_pipeline([], {hourly: v.gather(range(23))}, timeline=tl, next_available_col=24)
