"""Select, Mask, Clip and Lookup compiled: columns, rows, edge cases and errors."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest
from conftest import KWH, D, H, partial_autumn, stockholm_days, variables
from conftest import dataset as ds

from ostrelpy.bindings import _engine as e

DAYTIME = e.TimeOfDayCondition(from_time=dt.time(7), to_time=dt.time(19))


def level(v, unit=KWH):
    return e.Level(value=v, unit=unit)


# -- Clip ----------------------------------------------------------------------------------------


def clip(minimum=None, maximum=None):
    return e.Clip(input=ds("x"), minimum=minimum, maximum=maximum, output=ds("o"))


@pytest.mark.parametrize("convex", [True, False])
def test_clip_both_limits_chains_the_lower_clip_first(convex):
    tl = stockholm_days()
    index = tl.get_as(H)
    n = len(index)
    x = variables(0, np.full(n, -5.0), np.full(n, 5.0), index)
    got = clip(level(-1.0), level(2.0)).compile(tl, n, convex, input=x, minimum=-1.0, maximum=2.0)
    raised = got.auxiliaries[0]
    assert raised.cols.tolist() == list(range(n, 2 * n))
    assert raised.lb.tolist() == [-1.0] * n and raised.ub.tolist() == [5.0] * n
    step = 2 * n if convex else 3 * n
    assert got.output.cols[0] == step and got.output.ub.tolist() == [2.0] * n
    assert got.output.lb.tolist() == [-1.0] * n
    assert len(got.auxiliaries) == (1 if convex else 3)
    if not convex:
        assert got.auxiliaries[1].cols[0] == 2 * n and got.auxiliaries[1].is_integer.all()
        assert got.auxiliaries[2].cols[0] == 4 * n
    assert got.equalities is None and len(got.inequalities.rhs) == (4 if convex else 8) * n


def test_clip_one_sided_rows():
    tl = stockholm_days()
    index = tl.get_as(H)
    n = len(index)
    x = variables(0, np.zeros(n), np.full(n, 4.0), index)
    got = clip(maximum=level(3.0)).compile(tl, n, False, input=x, maximum=3.0)
    out, (pick,) = got.output, got.auxiliaries
    assert out.ub.tolist() == [3.0] * n and out.lb.tolist() == [0.0] * n
    expected = e.InequalitySeries.concatenate(
        [
            e.le(out, [x]),
            e.le(out, [3.0]),
            e.ge_when(out, [x], pick, 0),
            e.ge_when(out, [3.0], pick, 1),
        ]
    )
    assert got.inequalities == expected
    assert e._compile_one_sided(x, 3.0, n, False, False) == got


def test_clip_needs_a_limit_and_a_variable_input():
    tl = stockholm_days()
    index = tl.get_as(H)
    x = variables(0, np.zeros(len(index)), np.ones(len(index)), index)
    with pytest.raises(AssertionError) as err:
        clip(minimum=level(1.0)).compile(tl, 30, False, input=x)
    assert str(err.value) == ""
    s = pd.Series(np.ones(len(index)), index=index)
    with pytest.raises(AssertionError, match="^no variable operand$"):
        clip(minimum=level(1.0)).compile(tl, 30, False, input=s, minimum=x)


# -- Lookup --------------------------------------------------------------------------------------


def lookup(boundaries=(100.0, 200.0), levels=(1.0, 2.0, 3.0)):
    return e.Lookup(
        tier_selector=ds("x"),
        levels=list(levels),
        boundaries=list(boundaries),
        unit="SEK",
        output=ds("o", unit="SEK"),
    )


def test_lookup_inside_one_tier_needs_equalities_only():
    tl = stockholm_days()
    index = tl.get_as(H)
    n = len(index)
    lb = np.where(np.arange(n) % 2 == 0, 0.0, 120.0)
    x = variables(0, lb, lb + 50.0, index)
    got = lookup().compile(tl, n, False, tier_selector=x)
    assert got.auxiliaries == () and got.inequalities is None
    levels = np.where(np.arange(n) % 2 == 0, 1.0, 2.0)
    assert got.equalities == e.eq(got.output, [], rhs=levels)
    assert got.output.lb.tolist() == levels.tolist() == got.output.ub.tolist()


def test_lookup_straddling_one_boundary_gets_two_binaries():
    tl = stockholm_days()
    index = tl.get_as(H)[:3]
    x = variables(0, [150.0, 50.0, 90.0], [160.0, 60.0, 150.0], index)
    got = lookup().compile(tl, 10, False, tier_selector=x)
    (picks,) = got.auxiliaries
    assert picks.cols.tolist() == [13, 14] and picks.index.equals(index[[2, 2]])
    assert got.output.lb.tolist() == [2.0, 1.0, 1.0] and got.output.ub.tolist() == [2.0, 1.0, 2.0]
    sel = x.gather([2, 2])
    expected = e.InequalitySeries.concatenate(
        [
            e.ge_when(sel, [np.array([90.0, 100.0])], picks, 1),
            e.le_when(sel, [np.array([100.0 - 1e-5 * 100.0, 150.0])], picks, 1),
        ]
    )
    assert got.inequalities == expected
    # The upper tier starts on the boundary; the lower one ends a scaled gap below it, since a
    # value on the boundary belongs to the tier above.
    assert got.equalities.rhs.tolist() == [2.0, 1.0, 1.0, 0.0]


def test_lookup_without_a_feasible_tier():
    tl = stockholm_days()
    index = tl.get_as(H)
    x = variables(0, np.zeros(len(index)), np.ones(len(index)), index)
    # Only a record built without validation can have a boundary no selector can reach.
    good = lookup(boundaries=[1.0], levels=[1.0, 2.0])
    broken = e.Lookup.model_construct(**{**dict(good), "boundaries": [float("nan")]})
    with pytest.raises(AssertionError, match="^Lookup: ≥1 feasible tier per step$"):
        broken.compile(tl, 30, False, tier_selector=x)
    with pytest.raises(AssertionError, match="^no variable operand$"):
        lookup().compile(tl, 30, False, tier_selector=pd.Series(np.ones(len(index)), index=index))


# -- Mask ----------------------------------------------------------------------------------------


def mask(condition=DAYTIME):
    return e.Mask(input=ds("x"), condition=condition, replacement=ds("r"), output=ds("o"))


def test_mask_rows_replace_where_the_condition_holds():
    tl = stockholm_days(2025, 10, 26)
    index = tl.get_as(H)
    n = len(index)
    assert n == 25
    x = variables(0, np.zeros(n), np.ones(n), index)
    holds = tl.get_condition_mask(index, DAYTIME)
    got = mask().compile(tl, n, False, input=x, replacement=7.0)
    out = got.output
    assert out.lb.tolist() == np.where(holds, 7.0, 0.0).tolist()
    at, rest = np.flatnonzero(holds), np.flatnonzero(~holds)
    expected = e.EqualitySeries.concatenate(
        [e.eq(out.gather(at), [7.0]), e.eq(out.gather(rest), [x.gather(rest)])]
    )
    assert got.equalities == expected
    r = variables(n, np.full(n, 2.0), np.full(n, 3.0), index)
    price = pd.Series(np.arange(n, dtype=float), index=index)
    got = mask().compile(tl, 2 * n, False, input=price, replacement=r)
    expected = e.EqualitySeries.concatenate(
        [
            e.eq(got.output.gather(at), [r.gather(at)]),
            e.eq(got.output.gather(rest), [price.iloc[rest]]),
        ]
    )
    assert got.equalities == expected


def test_mask_errors():
    tl = stockholm_days()
    index = tl.get_as(H)
    n = len(index)
    x = variables(0, np.zeros(n), np.ones(n), index)
    other = variables(n, np.zeros(n), np.ones(n), index + pd.Timedelta("1D"))
    with pytest.raises(AssertionError, match="^Mask replacement must share input's index$"):
        mask().compile(tl, 2 * n, False, input=x, replacement=other)
    with pytest.raises(AssertionError, match="^input has no index$"):
        mask().compile(tl, 2 * n, False, input=1.0, replacement=x)
    values = np.ones(n)
    values[10] = np.nan  # a missing input under the condition is never replaced
    with pytest.raises(ValueError, match="^Mask: an operand is not finite"):
        mask().compile(tl, 2 * n, False, input=pd.Series(values, index=index), replacement=x)


# -- Select --------------------------------------------------------------------------------------


def test_select_by_calendar_keeps_only_the_selected_steps():
    tl = stockholm_days(2025, 10, 26)
    index = tl.get_as(H)
    n = len(index)
    x = variables(0, np.zeros(n), np.ones(n), index)
    sel = e.Select(input=ds("x"), condition=DAYTIME, output=ds("o"))
    got = sel.compile(tl, n, False, input=x)
    at = np.flatnonzero(tl.get_condition_mask(index, DAYTIME))
    assert len(at) == 12 and got.output.index.equals(index[at])
    assert got == e.linear_combination([x.gather(at)], n)


@pytest.mark.parametrize("kind", [e.HighestCondition, e.LowestCondition])
@pytest.mark.parametrize("convex", [True, False])
def test_select_highest_columns_and_rows(kind, convex):
    tl = partial_autumn()  # days of 11, 25, 24 and 13 hours
    index = tl.get_as(H)
    n = len(index)
    x = variables(0, np.arange(n) * 0.1, np.arange(n) * 0.1 + 1.0, index)
    sel = e.Select(input=ds("x"), condition=kind(n=12, resolution=D), output=ds("o"))
    got = sel.compile(tl, n, convex, input=x)
    w = got.output
    assert w.cols.tolist() == list(range(n, n + 11 + 12 + 12 + 12))
    days = tl.get_as(D)
    assert w.index.equals(days[np.repeat(np.arange(4), [11, 12, 12, 12])])
    assert w.lb[:11].tolist() == [0.0] * 11 and w.ub[11] == pytest.approx(0.1 * 35 + 1.0)
    z = got.auxiliaries[0]
    assert z.cols[0] == n + 47 and z.lb.tolist() == [0.0] * n
    assert z.ub.tolist() == [pytest.approx(0.1 * (n - 1) + 1.0)] * n
    assert len(got.auxiliaries) == (1 if convex else 2)
    eq = got.equalities
    assert len(eq.rhs) == (4 if convex else 8)
    if not convex:
        assert eq.rhs[4:].tolist() == [11.0, 12.0, 12.0, 12.0]
        assert got.auxiliaries[1].cols[0] == 2 * n + 47
    # slot order (47 - 4 successors) then one excess row per step, then the brackets
    assert len(got.inequalities.rhs) == 43 + n + (0 if convex else 4 * n)


def test_select_highest_is_built_from_its_named_steps():
    tl = partial_autumn()
    index = tl.get_as(H)
    n = len(index)
    rng = np.random.default_rng(5)
    lb = rng.uniform(-2, 2, n)
    x = variables(0, lb, lb + 1.0, index)
    condition = e.HighestCondition(n=3, resolution=D)
    groups = e.calculate_groups(tl, x, D)
    slots = e.Slots.for_groups(groups, condition, n)
    assert slots.n_per_group.tolist() == [3, 3, 3, 3] and slots.is_highest
    assert slots.slot_to_group.tolist() == np.repeat(np.arange(4), 3).tolist()
    assert slots.thresholds.cols.tolist() == [n, n + 3, n + 6, n + 9]
    assert slots.w.lb[0] == lb[:11].min() and slots.w.ub[3] == (lb[11:36] + 1).max()
    spread = (lb + 1).max() - lb.min()
    z = e.VariableSeries.continuous(n + 12, 0.0, spread, index)
    delta = e.VariableSeries.binary(2 * n + 12, index)
    base_eq, base_ineq = slots.linear_base_constraints(groups, z)
    milp_eq, milp_ineq = slots.milp_brackets(groups, z, delta)
    got = e.Select(input=ds("x"), condition=condition, output=ds("o")).compile(
        tl, n, False, input=x
    )
    assert got.output == slots.w and got.auxiliaries == (z, delta)
    assert got.equalities == e.EqualitySeries.concatenate([base_eq, milp_eq])
    assert got.inequalities == e.InequalitySeries.concatenate([base_ineq, milp_ineq])
    t = slots.thresholds.gather(groups.allocation)
    assert milp_eq == e.sum_per_group([(delta, groups.allocation)], rhs=np.full(4, 3.0))
    expected = e.InequalitySeries.concatenate(
        [
            e.ge_when(x, [t], delta, 1),
            e.le_when(x, [t], delta, 0),
            e.le_when(z, [x, (-1.0, t)], delta, 1),
            e.le_when(z, [], delta, 0),
        ]
    )
    assert milp_ineq == expected
    with pytest.raises(AssertionError):
        e.Slots.for_groups(groups, e.MonthCondition(months=[1]), n)
