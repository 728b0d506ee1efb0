"""Relations over variable series: eq / le / ge, gated forms, linear combinations, per-group sums."""

import itertools

import numpy as np
import pandas as pd
import pytest
from conftest import IDX3, cont

from ostrelpy.bindings import _engine as e

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
