"""Block compilation: the columns, rows and errors of each block's compile."""

import numpy as np
import pandas as pd
import pytest
from conftest import KWH, D, H, partial_autumn, stockholm_days, variables
from conftest import dataset as ds

from ostrelpy.bindings import _engine as e


class Component:
    def __init__(self, cost, *functions):
        self.cost, self.functions = cost, list(functions)


# -- arithmetic -----------------------------------------------------------------------------------


def test_add_through_the_runner_on_a_short_day():
    tl = stockholm_days()
    index = tl.get_as(H)
    n = len(index)
    assert n == 23
    x = variables(0, np.arange(n) - 5.0, np.arange(n) + 1.0, index)
    pv = pd.Series(np.linspace(0, 2, n), index=index)
    add = e.Add(inputs=[ds("load"), ds("pv"), e.Level(value=2.0, unit=KWH)], output=ds("net"))
    ctx = e.run_pipeline(
        [Component(ds("net"), add)],
        {ds("load"): x, ds("pv"): pv},
        timeline=tl,
        next_available_col=n,
    )
    (block,) = ctx.function_blocks
    out = block.output
    assert out.cols.tolist() == list(range(n, 2 * n)) and out.index.equals(index)
    np.testing.assert_allclose(out.lb, x.lb + pv.to_numpy() + 2.0)
    np.testing.assert_allclose(out.ub, x.ub + pv.to_numpy() + 2.0)
    eq = block.equalities
    assert eq.cols.tolist() == np.column_stack([out.cols, x.cols]).ravel().tolist()
    assert eq.rows.tolist() == np.repeat(np.arange(n), 2).tolist()
    assert eq.coefs.tolist() == [1.0, -1.0] * n
    np.testing.assert_allclose(eq.rhs, pv.to_numpy() + 2.0)
    assert block.auxiliaries == () and block.inequalities is None
    assert ctx.next_available_col == 2 * n and ctx.all_series["net"] is out


def test_linear_blocks_match_linear_combination():
    index = stockholm_days().get_as(H)
    n = len(index)
    x = variables(0, -np.ones(n), np.ones(n), index)
    y = variables(n, np.zeros(n), np.full(n, 3.0), index)
    price = pd.Series(np.linspace(-1, 1, n), index=index)
    tl = stockholm_days()
    sub = e.Subtract(left=e.Level(value=5.0, unit=KWH), right=ds("x"), output=ds("o"))
    got = sub.compile(tl, 2 * n, False, left=5.0, right=x)
    assert got == e.linear_combination([5.0, (-1.0, x)], 2 * n)
    assert got.output.lb.tolist() == [4.0] * n and got.output.ub.tolist() == [6.0] * n
    mul = e.Multiply(left=ds("x"), right=ds("p", unit="SEK_per_kWh"), output=ds("o", unit="SEK"))
    got = mul.compile(tl, 2 * n, True, left=y, right=price)
    assert got == e.linear_combination([(price, y)], 2 * n)
    np.testing.assert_allclose(got.output.lb, np.minimum(0.0, 3 * price))
    got = mul.compile(tl, 2 * n, True, left=-2.0, right=y)
    assert got.output.lb.tolist() == [-6.0] * n and got.output.ub.tolist() == [0.0] * n
    div = e.Divide(
        numerator=ds("x"), denominator=e.Level(value=0.25, unit="hours"), output=ds("o", unit="kW")
    )
    got = div.compile(tl, 2 * n, False, numerator=x, denominator=0.25)
    assert got == e.linear_combination([(4.0, x)], 2 * n)
    got = div.compile(tl, 2 * n, False, numerator=x, denominator=pd.Series(np.full(n, 2.0)))
    assert got.equalities.coefs.tolist() == [1.0, -0.5] * n


def test_add_of_two_variables_sums_their_bounds():
    tl = stockholm_days()
    index = tl.get_as(H)
    n = len(index)
    a = variables(0, np.zeros(n), np.ones(n), index)
    b = variables(n, -np.ones(n), np.zeros(n), index)
    add = e.Add(inputs=[ds("a"), ds("b")], output=ds("s"))
    got = add.compile(tl, 2 * n, False, input_0=a, input_1=b)
    assert got.output.lb.tolist() == [-1.0] * n and got.output.ub.tolist() == [1.0] * n
    assert got.equalities.coefs.tolist() == [1.0, -1.0, -1.0] * n
    shifted = variables(n, np.zeros(n), np.ones(n), index + pd.Timedelta("1D"))
    with pytest.raises(AssertionError, match="^VariableSeries must share an index$"):
        add.compile(tl, 2 * n, False, input_0=a, input_1=shifted)


def arithmetic_blocks():
    sek = ds("p", unit="SEK_per_kWh")
    return dict(
        add=e.Add(inputs=[ds("a"), ds("b")], output=ds("o")),
        sub=e.Subtract(left=ds("a"), right=ds("b"), output=ds("o")),
        mul=e.Multiply(left=ds("a"), right=sek, output=ds("o", unit="SEK")),
        div=e.Divide(
            numerator=ds("a"), denominator=ds("h", unit="hours"), output=ds("o", unit="kW")
        ),
    )


@pytest.mark.parametrize(
    "block, operands, error, message",
    [
        ("mul", dict(left="x", right="x"), NotImplementedError, "Multiply(var, var) is bilinear"),
        (
            "div",
            dict(numerator="x", denominator="x"),
            NotImplementedError,
            "Division by a variable is nonlinear",
        ),
        (
            "div",
            dict(numerator="s", denominator="x"),
            NotImplementedError,
            "Division by a variable is nonlinear",
        ),
        ("div", dict(numerator="x", denominator=0.0), ZeroDivisionError, "float division by zero"),
        ("div", dict(numerator="x", denominator=0), ZeroDivisionError, "float division by zero"),
        ("div", dict(numerator="s", denominator=2.0), AssertionError, "no variable operand"),
        ("mul", dict(left="s", right=2.0), AssertionError, "no variable operand"),
        ("add", dict(input_0="s", input_1=1.0), AssertionError, "no variable operand"),
        ("sub", dict(left=1.0, right="s"), AssertionError, "no variable operand"),
    ],
)
def test_arithmetic_compile_errors(block, operands, error, message):
    tl = stockholm_days()
    index = tl.get_as(H)
    x = variables(0, np.zeros(len(index)), np.ones(len(index)), index)
    s = pd.Series(np.ones(len(index)), index=index)
    values = {
        k: {"x": x, "s": s}.get(v, v) if isinstance(v, str) else v for k, v in operands.items()
    }
    with pytest.raises(error) as err:
        arithmetic_blocks()[block].compile(tl, len(index), False, **values)
    assert str(err.value) == message


def test_constant_never_compiles():
    c = e.Constant(value=e.Level(value=1.0, unit=KWH), resolution=H, output=ds("c"))
    with pytest.raises(NotImplementedError) as err:
        c.compile(stockholm_days(), 0, False)
    assert str(err.value) == "Constant is data-only; compile() is never dispatched"


@pytest.mark.parametrize("bad", [np.nan, np.inf])
@pytest.mark.parametrize("block", ["add", "sub", "mul", "div"])
def test_non_finite_operands_are_refused(block, bad):
    tl = stockholm_days()
    index = tl.get_as(H)
    n = len(index)
    x = variables(0, np.zeros(n), np.ones(n), index)
    values = np.ones(n)
    values[3] = bad
    s = pd.Series(values, index=index)
    fn = arithmetic_blocks()[block]
    names = list(fn.input_operands())
    if block == "div" and bad == np.inf:  # x / inf is 0, as compute gives
        got = fn.compile(tl, n, False, numerator=x, denominator=s)
        assert got.equalities.coefs[7] == 0.0
        return
    with pytest.raises(ValueError, match="an operand is not finite"):
        fn.compile(tl, n, False, **{names[0]: x, names[1]: s})
    if block == "div":
        zeros = pd.Series(np.where(np.arange(n) == 2, 0.0, 1.0), index=index)
        with pytest.raises(ValueError, match="^Divide: an operand is not finite"):
            fn.compile(tl, n, False, numerator=x, denominator=zeros)


def test_compile_arguments():
    tl = stockholm_days()
    index = tl.get_as(H)
    x = variables(0, np.zeros(len(index)), np.ones(len(index)), index)
    sub = arithmetic_blocks()["sub"]
    with pytest.raises(ValueError, match="^next_available_col must be >= 0, got -1$"):
        sub.compile(tl, -1, False, left=x, right=1.0)
    with pytest.raises(TypeError, match="expected int, got float"):
        sub.compile(tl, 1.5, False, left=x, right=1.0)
    with pytest.raises(TypeError, match="takes exactly 3 positional arguments"):
        sub.compile(tl, 30, left=x, right=1.0)
    with pytest.raises(TypeError, match="expected VariableSeries, Series or float, got str"):
        sub.compile(tl, 30, False, left=x, right="1")
    got = sub.compile(timeline=tl, next_available_col=30, assume_convex=True, left=x, right=1.0)
    assert got.output.cols[0] == 30


# -- periods --------------------------------------------------------------------------------------


def aggregate(f, resolution=D):
    return e.Aggregate(
        input=ds("x"), resolution=resolution, aggregation_function=f, output=ds("o", resolution)
    )


@pytest.mark.parametrize("f", ["sum", "mean"])
def test_aggregate_sum_and_mean_rows(f):
    tl = partial_autumn()
    index = tl.get_as(H)
    n = len(index)
    x = variables(5, np.arange(n) * 0.0 - 1.0, np.arange(n, dtype=float), index)
    got = aggregate(f).compile(tl, 100, True, input=x)
    sizes = np.array([11, 25, 24, 13])
    labels = np.repeat(np.arange(4), sizes)
    assert got.output.cols.tolist() == [100, 101, 102, 103]
    assert got.output.index.equals(tl.get_as(D))
    sums = np.bincount(labels, x.ub)
    expected_ub = sums / sizes if f == "mean" else sums
    np.testing.assert_allclose(got.output.ub, expected_ub)
    eq = got.equalities
    assert eq.cols.tolist() == [100, 101, 102, 103] + x.cols.tolist()
    assert eq.rows.tolist() == [0, 1, 2, 3] + labels.tolist()
    w = 1.0 / sizes[labels] if f == "mean" else np.ones(n)
    np.testing.assert_allclose(eq.coefs, np.concatenate([np.ones(4), -w]))
    assert eq.rhs.tolist() == [0.0] * 4 and got.auxiliaries == () and got.inequalities is None


@pytest.mark.parametrize("f", ["max", "min"])
def test_aggregate_extremum_forms(f):
    tl = partial_autumn()
    index = tl.get_as(H)
    n = len(index)
    rng = np.random.default_rng(2)
    lb = rng.uniform(-3, 0, n)
    x = variables(0, lb, lb + rng.uniform(0, 3, n), index)
    labels = np.repeat(np.arange(4), [11, 25, 24, 13])
    convex = aggregate(f).compile(tl, n, True, input=x)
    assert convex.auxiliaries == () and convex.equalities is None
    reduce = np.maximum if f == "max" else np.minimum
    expected_lb = np.array([reduce.reduce(x.lb[labels == g]) for g in range(4)])
    np.testing.assert_allclose(convex.output.lb, expected_lb)
    ineq = convex.inequalities
    sign = -1.0 if f == "max" else 1.0  # output >= member is stored negated
    assert ineq.cols.tolist() == np.column_stack([n + labels, x.cols]).ravel().tolist()
    assert ineq.coefs.tolist() == [sign, -sign] * n and len(ineq.rhs) == n
    exact = aggregate(f).compile(tl, n, False, input=x)
    (picks,) = exact.auxiliaries
    assert picks.cols.tolist() == list(range(n + 4, 2 * n + 4)) and picks.is_integer.all()
    assert picks.index.equals(index)
    assert exact.equalities == e.sum_per_group([(picks, labels)], rhs=1.0)
    gate = e.le_when if f == "max" else e.ge_when
    spread = exact.output.gather(labels)
    tight = gate(spread, [x], picks, 1)
    assert exact.inequalities == e.InequalitySeries.concatenate([ineq, tight])


def test_aggregate_needs_a_variable_on_the_timeline():
    tl = partial_autumn()
    index = tl.get_as(H)
    with pytest.raises(AssertionError, match="^no variable operand$"):
        aggregate("sum").compile(tl, 0, True, input=pd.Series(np.ones(len(index)), index=index))
    off = variables(0, [0.0], [1.0], pd.DatetimeIndex(["2030-01-01"], tz="UTC"))
    with pytest.raises(ValueError, match="every variable must fall in a period"):
        aggregate("max").compile(tl, 1, False, input=off)


@pytest.mark.parametrize("unit", ["kWh", "SEK_per_kWh"])
def test_resample_fills_forward_through_gather(unit):
    tl = stockholm_days(2025, 3, 29, days=3, hour=13)
    r = e.Resample(input=ds("x", D, unit), resolution=H, output=ds("o", H, unit))
    days = tl.get_as(D)
    x = variables(0, [1.0, 2.0, 3.0, 4.0], [2.0, 3.0, 4.0, 5.0], days)
    got = r.compile(tl, 4, False, input=x)
    hours = tl.get_as(H)
    assert got.output.index.equals(hours) and len(hours) == 11 + 23 + 24 + 13
    filled = r._forward_fill(tl, x)
    scale = 1.0 if unit != "kWh" else r._amount_scale(tl)
    assert got == e.linear_combination([(scale, filled)], 4)
    assert filled.cols.tolist() == np.repeat([0, 1, 2, 3], [11, 23, 24, 13]).tolist()
    with pytest.raises(ValueError, match="^Resample: the input has 2 variables but the timeline"):
        r.compile(tl, 4, False, input=x.gather([0, 1]))


def test_add_compile_takes_exactly_its_operands():
    tl = stockholm_days()
    index = tl.get_as(H)
    x = variables(0, np.zeros(len(index)), np.ones(len(index)), index)
    add = e.Add(inputs=[ds("a"), ds("b")], output=ds("s"))
    with pytest.raises(TypeError, match="needs keyword-only argument input_1"):
        add.compile(tl, 30, False, input_0=x)
    with pytest.raises(TypeError, match="unexpected keyword argument 'input_2'"):
        add.compile(tl, 30, False, input_0=x, input_1=1.0, input_2=1.0)


def test_compile_checks_still_refuse_when_assertions_are_skipped():
    import subprocess
    import sys

    script = """
import datetime as dt, numpy as np, pandas as pd
from ostrelpy.bindings import _engine as e
tl = e.Timeline.build(tz=dt.UTC, start_time=dt.datetime(2025, 1, 1, tzinfo=dt.UTC),
                      end_time=dt.datetime(2025, 1, 2, tzinfo=dt.UTC), holidays=[])
H = e.Resolution.HOURLY
idx = tl.get_as(H)
x = e.VariableSeries.continuous(0, np.zeros(24), np.ones(24), idx)
s = pd.Series(np.ones(24), index=idx)
d = lambda i, u="kWh": e.Dataset(id=i, resolution=H, unit=u)
calls = [
    lambda: e.Aggregate(input=d("x"), resolution="daily", aggregation_function="max",
                        output=e.Dataset(id="o", resolution="daily", unit="kWh")
                        ).compile(tl, 24, False, input=s),
    lambda: e.Clip(input=d("x"), minimum=e.Level(value=1.0, unit="kWh"), output=d("o")
                   ).compile(tl, 24, False, input=x),
    lambda: e.Mask(input=d("x"), condition=e.MonthCondition(months=[1]), replacement=d("r"),
                   output=d("o")).compile(tl, 24, False, input=1.0, replacement=x),
]
for call in calls:
    try:
        call()
        print("passed")
    except Exception as err:
        print(type(err).__name__, err)
"""
    out = subprocess.run(
        [sys.executable, "-O", "-c", script], capture_output=True, text=True, check=True
    ).stdout.splitlines()
    assert out == [
        "ValueError no variable operand",
        "ValueError At least one of minimum or maximum must be provided",
        "ValueError input has no index",
    ]


# -- operands read as compute reads them ------------------------------------------------------------


def test_compile_reads_operands_as_compute_does():
    tl = stockholm_days()
    index = tl.get_as(H)
    n = len(index)
    x = variables(0, np.zeros(n), np.ones(n), index)
    price = pd.Series(np.linspace(1.0, 3.0, n), index=index)
    mul = e.Multiply(left=ds("x"), right=ds("p", unit="SEK_per_kWh"), output=ds("o", unit="SEK"))
    # None is no operand for either.
    with pytest.raises(TypeError, match="Argument 'right' has incorrect type .*got NoneType"):
        mul.compute(tl, left=price, right=None)
    with pytest.raises(TypeError, match="Argument 'right' has incorrect type .*got NoneType"):
        mul.compile(tl, n, False, left=x, right=None)
    # A series is paired by label, whatever its order, as compute pairs it.
    assert mul.compile(tl, n, False, left=x, right=price[::-1]) == mul.compile(
        tl, n, False, left=x, right=price
    )
    ones = pd.Series(1.0, index=index)
    np.testing.assert_allclose(
        mul.compute(tl, left=ones, right=price[::-1]).reindex(index), price.to_numpy()
    )
    # A step the series has no value for is refused, not priced at another step's value.
    shifted = pd.Series(price.to_numpy(), index=index + pd.Timedelta(days=1))
    with pytest.raises(ValueError) as err:
        mul.compile(tl, n, False, left=x, right=shifted)
    assert str(err.value) == (
        f"right: the series has no value at {index[0].tz_convert('UTC'):%Y-%m-%dT%H:%M:%SZ}, "
        "a step of the variable operands"
    )
    # Resample places its input by label too: variables of other instants are refused.
    r = e.Resample(input=ds("x", D), resolution=H, output=ds("o", H))
    days = stockholm_days(2025, 3, 29, days=3).get_as(D)
    moved = variables(0, np.zeros(3), np.ones(3), days + pd.Timedelta(days=7))
    with pytest.raises(ValueError, match="^Resample: the input variables are not at the timeline"):
        r.compile(stockholm_days(2025, 3, 29, days=3), 3, False, input=moved)
