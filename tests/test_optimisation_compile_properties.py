"""compile agrees with compute: every block's compiled rows, added to a HiGHS model through the
adapter and solved, give the output that compute gives on the same data.

Fixed inputs (lb = ub) check that the rows admit exactly the computed value. Free inputs check
tightness: the one-sided (assume_convex) forms are solved in the direction that presses the
output onto its rows (a maximum or a clip from below is minimised, a minimum or a clip from
above maximised), the exact forms in the opposite direction, where a relaxation would be loose.
"""

import dataclasses
import datetime as dt
import zlib
from collections.abc import Callable

import highspy
import numpy as np
import pandas as pd
import pytest
from conftest import KWH, STOCKHOLM, D, H, partial_autumn, stockholm_days
from conftest import dataset as ds

from ostrelpy.bindings import _engine as e

pytestmark = pytest.mark.skipif(not hasattr(e, "HighsAdapter"), reason="no HighsAdapter yet")

DAYTIME = e.TimeOfDayCondition(from_time=dt.time(7), to_time=dt.time(19))


def short_autumn():
    """20:00 the day before the clocks go back to 12:00 after: days of 4 and 13 hours, the
    second with the repeated hour (small enough for exact selection with free inputs)."""
    return stockholm_days(2025, 10, 25, hour=20, hours=17)


def spring_day():
    return stockholm_days(2025, 3, 30)


def christmas():
    """Christmas Eve to the 27th, with Christmas Eve and Day as holidays: a weekday holiday."""
    occurrences = [
        e.HolidayOccurrence(date=f"2025-12-{d}", holiday=h, timezone="Europe/Stockholm")
        for d, h in ((24, "se/julafton"), (25, "se/juldagen"))
    ]
    start = dt.datetime(2025, 12, 24, tzinfo=STOCKHOLM)
    return e.Timeline.build(
        tz=STOCKHOLM, start_time=start, end_time=start + dt.timedelta(days=3), holidays=occurrences
    )


WORKDAYS = e.AndCondition(
    conditions=[
        e.DayOfWeekCondition(days=[1, 2, 3, 4, 5]),
        e.ExcludeHolidaysCondition(holidays=["se/julafton", "se/juldagen"]),
    ]
)


def new_model(scale=1.0):
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.setOptionValue("mip_rel_gap", 0.0)
    h.setOptionValue("primal_feasibility_tolerance", 1e-9)
    # The exact forms are checked on values of any size: the solver's row tolerance follows.
    h.setOptionValue("mip_feasibility_tolerance", 1e-6 if scale >= 1.0 else 1e-10)
    return h


def caller_variables(h, lb, ub, index):
    """The caller's own columns, as a scheduler would have them before asking for costs."""
    start = h.getNumCol()
    lb, ub = np.asarray(lb, float), np.asarray(ub, float)
    h.addVars(len(lb), lb, ub)
    return e.VariableSeries.continuous(start, lb, ub, index)


def solve(h, block, sense, extra_costs=()):
    e.HighsAdapter(h).add_blocks([block])
    cols = [block.output.cols]
    costs = [np.ones(len(block.output.cols))]
    for c, v in extra_costs:
        cols.append(v.cols)
        costs.append(c)
    cols, costs = np.concatenate(cols), np.concatenate(costs)
    h.changeColsCost(len(cols), cols.astype(np.int32), costs)
    h.changeObjectiveSense(
        highspy.ObjSense.kMaximize if sense == "max" else highspy.ObjSense.kMinimize
    )
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    return np.asarray(h.getSolution().col_value)


@dataclasses.dataclass
class Case:
    id: str
    block: object
    timeline: Callable
    variables: tuple  # operand names given as variables (their resolution is the block's input)
    numbers: dict = dataclasses.field(default_factory=dict)  # name -> f(index, rng, scale)
    convex_sense: str | None = "min"  # direction where the one-sided form is tight, or None
    exact_sense: str = "max"
    compare: str = "values"  # "values" on the output's labels, or "period_sums" (Select N)
    resolution: object = H
    integers: bool = False  # data drawn from few values, so that ties occur


def series(values):
    return lambda index, rng, scale: pd.Series(values(len(index), rng) * scale, index=index)


def level(v, unit=KWH):
    return e.Level(value=v, unit=unit)


def by_level(v):
    return lambda index, rng, scale: v * scale


def make_cases():
    quarter = e.Resolution.QUARTER_HOURLY
    x, o = ds("x"), ds("o")
    sek = ds("p", unit="SEK_per_kWh")
    rand = series(lambda n, rng: rng.uniform(-1, 1, n))
    positive = series(lambda n, rng: rng.uniform(0.5, 2, n))
    agg = {
        f: e.Aggregate(input=x, resolution=D, aggregation_function=f, output=ds("o", D))
        for f in ("sum", "mean", "max", "min")
    }
    lookup = e.Lookup(
        tier_selector=x,
        levels=[1.0, 2.0, 5.0],
        boundaries=[-0.25, 0.5],
        unit="SEK",
        output=ds("o", unit="SEK"),
    )
    return [
        Case(
            "add",
            e.Add(inputs=[x, ds("y"), level(2.0)], output=o),
            partial_autumn,
            ("input_0",),
            {"input_1": rand, "input_2": by_level(2.0)},
        ),
        Case("add-vars", e.Add(inputs=[x, ds("y")], output=o), spring_day, ("input_0", "input_1")),
        Case(
            "subtract",
            e.Subtract(left=level(1.0), right=x, output=o),
            partial_autumn,
            ("right",),
            {"left": by_level(1.0)},
        ),
        Case(
            "multiply",
            e.Multiply(left=x, right=sek, output=ds("o", unit="SEK")),
            partial_autumn,
            ("left",),
            {"right": rand},
        ),
        Case(
            "divide",
            e.Divide(numerator=x, denominator=ds("h", unit="hours"), output=ds("o", unit="kW")),
            spring_day,
            ("numerator",),
            {"denominator": positive},
        ),
        Case("aggregate-sum", agg["sum"], partial_autumn, ("input",)),
        Case("aggregate-mean", agg["mean"], partial_autumn, ("input",)),
        Case("aggregate-max", agg["max"], partial_autumn, ("input",), integers=True),
        Case(
            "aggregate-min",
            agg["min"],
            partial_autumn,
            ("input",),
            convex_sense="max",
            exact_sense="min",
            integers=True,
        ),
        Case(
            "aggregate-max-quarters",
            e.Aggregate(
                input=ds("x", quarter), resolution=H, aggregation_function="max", output=ds("o")
            ),
            spring_day,
            ("input",),
            resolution=quarter,
        ),
        Case(
            "resample-amount",
            e.Resample(input=ds("x", D), resolution=H, output=o),
            partial_autumn,
            ("input",),
            resolution=D,
        ),
        Case(
            "resample-rate",
            e.Resample(
                input=ds("x", D, "SEK_per_kWh"),
                resolution=quarter,
                output=ds("o", quarter, "SEK_per_kWh"),
            ),
            spring_day,
            ("input",),
            resolution=D,
        ),
        Case(
            "clip-min",
            e.Clip(input=x, minimum=level(0.2), output=o),
            partial_autumn,
            ("input",),
            {"minimum": by_level(0.2)},
        ),
        Case(
            "clip-max",
            e.Clip(input=x, maximum=ds("m"), output=o),
            partial_autumn,
            ("input",),
            {"maximum": rand},
            convex_sense="max",
            exact_sense="min",
        ),
        Case(
            "clip-both",
            e.Clip(input=x, minimum=level(-0.3), maximum=level(0.4), output=o),
            spring_day,
            ("input",),
            {"minimum": by_level(-0.3), "maximum": by_level(0.4)},
            convex_sense=None,
        ),
        Case(
            "clip-swapped",
            e.Clip(input=x, minimum=level(0.4), maximum=level(-0.3), output=o),
            spring_day,
            ("input",),
            {"minimum": by_level(0.4), "maximum": by_level(-0.3)},
            convex_sense=None,
        ),
        Case(
            "clip-variable-limit",
            e.Clip(input=x, minimum=ds("m"), output=o),
            spring_day,
            ("input", "minimum"),
        ),
        Case(
            "mask",
            e.Mask(input=x, condition=DAYTIME, replacement=level(0.7), output=o),
            partial_autumn,
            ("input",),
            {"replacement": by_level(0.7)},
        ),
        Case(
            "mask-variable-replacement",
            e.Mask(input=x, condition=DAYTIME, replacement=ds("r"), output=o),
            partial_autumn,
            ("replacement",),
            {"input": rand},
        ),
        Case(
            "mask-workdays",
            e.Mask(input=x, condition=WORKDAYS, replacement=ds("r"), output=o),
            christmas,
            ("input", "replacement"),
        ),
        Case(
            "select-workdays",
            e.Select(input=x, condition=WORKDAYS, output=o),
            christmas,
            ("input",),
        ),
        Case(
            "select-daytime",
            e.Select(input=x, condition=DAYTIME, output=o),
            partial_autumn,
            ("input",),
        ),
        Case(
            "select-highest",
            e.Select(input=x, condition=e.HighestCondition(n=3, resolution=D), output=o),
            short_autumn,
            ("input",),
            compare="period_sums",
            integers=True,
        ),
        Case(
            "select-lowest",
            e.Select(input=x, condition=e.LowestCondition(n=4, resolution=D), output=o),
            short_autumn,
            ("input",),
            compare="period_sums",
            convex_sense="max",
            exact_sense="min",
            integers=True,
        ),
        Case(
            "select-highest-quarters",
            e.Select(
                input=ds("x", quarter),
                condition=e.HighestCondition(n=2, resolution=H),
                output=ds("o", quarter),
            ),
            spring_day,
            ("input",),
            compare="period_sums",
            resolution=quarter,
        ),
        # Ascending levels, maximised: a selector left on a boundary takes the upper tier there,
        # as compute does (tiers are closed intervals in the rows).
        Case("lookup", lookup, partial_autumn, ("tier_selector",), convex_sense="max"),
    ]


CASES = make_cases()


def draw(case, rng, n, scale):
    if case.integers:
        return rng.integers(-3, 4, n) * (scale / 4)
    return rng.uniform(-1, 1, n) * scale


def operands(case, tl, h, rng, scale, fixed):
    """The numeric operands for compute and the operands for compile (variables in the model)."""
    index = tl.get_as(case.resolution)
    n = len(index)
    numeric, compiled, inputs = {}, {}, []
    for name in case.variables:
        values = draw(case, rng, n, scale)
        if fixed:
            lb = ub = values
        else:
            # Bounds of their own per step, so that no extremum sits on a shared bound.
            lb, ub = -rng.uniform(0.5, 1.5, n) * scale, rng.uniform(0.5, 1.5, n) * scale
        v = caller_variables(h, lb, ub, index)
        compiled[name] = v
        inputs.append(v)
        numeric[name] = pd.Series(values, index=index)
    for name, make in case.numbers.items():
        compiled[name] = numeric[name] = make(index, rng, scale)
    return numeric, compiled, inputs


def check(case, tl, block, solution, numeric, inputs, compiled, scale):
    for name, v in zip(case.variables, inputs):
        numeric[name] = pd.Series(solution[v.cols], index=v.index)
    expected = case.block.compute(tl, **numeric)
    got = solution[block.output.cols]
    atol = 1e-6 * max(abs(scale), 1.0) if abs(scale) >= 1 else 1e-9
    if case.compare == "period_sums":
        groups = e.calculate_groups(tl, inputs[0], case.block.condition.resolution)
        want = np.bincount(groups.allocation, expected.fillna(0.0).to_numpy())
        have = (
            pd.Series(got)
            .groupby(
                np.asarray(
                    block.output.index.map(dict(zip(groups.index, range(len(groups.index)))))
                )
            )
            .sum()
            .to_numpy()
        )
        np.testing.assert_allclose(have, want, rtol=1e-7, atol=atol)
        return
    want = expected.reindex(block.output.index).to_numpy()
    assert not np.isnan(want).any()
    np.testing.assert_allclose(got, want, rtol=1e-7, atol=atol)


@pytest.mark.parametrize("scale", [1.0, 1e6, 1e-6], ids=["unit", "wide", "tiny"])
@pytest.mark.parametrize("convex", [True, False], ids=["convex", "exact"])
@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_fixed_inputs_give_the_computed_output(case, convex, scale):
    rng = np.random.default_rng(zlib.crc32(case.id.encode()))
    tl = case.timeline()
    h = new_model(scale)
    numeric, compiled, inputs = operands(case, tl, h, rng, scale, fixed=True)
    block = case.block.compile(tl, h.getNumCol(), convex, **compiled)
    sense = (case.convex_sense or "min") if convex else case.exact_sense
    solution = solve(h, block, sense)
    check(case, tl, block, solution, numeric, inputs, compiled, scale)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("convex", [True, False], ids=["convex", "exact"])
@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_free_inputs_in_the_tight_direction(case, convex, seed):
    if convex and case.convex_sense is None:
        pytest.skip("a clip from both sides is neither convex nor concave")
    rng = np.random.default_rng(seed)
    tl = case.timeline()
    h = new_model()
    numeric, compiled, inputs = operands(case, tl, h, rng, 1.0, fixed=False)
    block = case.block.compile(tl, h.getNumCol(), convex, **compiled)
    sense = case.convex_sense if convex else case.exact_sense
    # Small costs on the inputs move them around their bounds; the output's rows must follow.
    pushes = [(rng.uniform(-0.05, 0.05, len(v.cols)), v) for v in inputs]
    solution = solve(h, block, sense, pushes)
    check(case, tl, block, solution, numeric, inputs, compiled, 1.0)


@pytest.mark.parametrize("sense", ["max", "min"])
def test_a_selector_on_a_boundary(sense):
    """A value on a boundary belongs to the tier above, as compute has it: a selector fixed on
    one leaves that tier alone, in either direction of optimisation."""
    tl = spring_day()
    index = tl.get_as(H)
    n = len(index)
    h = new_model()
    on = np.full(n, 0.5)
    x = caller_variables(h, on, on, index)
    case = next(c for c in CASES if c.id == "lookup")
    block = case.block.compile(tl, h.getNumCol(), False, tier_selector=x)
    assert block.auxiliaries == ()
    solution = solve(h, block, sense)
    expected = case.block.compute(tl, tier_selector=pd.Series(on, index=index))
    assert solution[block.output.cols].tolist() == expected.tolist() == [5.0] * n


def tariff_inputs(tl):
    index = tl.get_as(H)
    return index, len(index)


BAD_STEPS = {
    "bilinear": (
        lambda: e.Multiply(
            left=ds("x"), right=ds("y", unit="SEK_per_kWh"), output=ds("o", unit="SEK")
        ),
        {"y": "variables"},
        NotImplementedError,
        "Multiply(var, var) is bilinear",
    ),
    "divide-by-variable": (
        lambda: e.Divide(
            numerator=ds("y"), denominator=ds("x", unit="kW"), output=ds("o", unit="hours")
        ),
        {"y": "series"},
        NotImplementedError,
        "Division by a variable is nonlinear",
    ),
    "divide-by-zero": (
        lambda: e.Divide(
            numerator=ds("x"),
            denominator=e.Level(value=0.0, unit="hours"),
            output=ds("o", unit="kW"),
        ),
        {},
        ZeroDivisionError,
        "float division by zero",
    ),
    "no-feasible-tier": (
        lambda: e.Lookup.model_construct(
            **{
                **dict(
                    e.Lookup(
                        tier_selector=ds("x"),
                        levels=[1.0, 2.0],
                        boundaries=[1.0],
                        unit="SEK",
                        output=ds("o", unit="SEK"),
                    )
                ),
                "boundaries": [float("nan")],
            }
        ),
        {},
        AssertionError,
        "Lookup: ≥1 feasible tier per step",
    ),
    "nan-operand": (
        lambda: e.Add(inputs=[ds("x"), ds("y")], output=ds("o")),
        {"y": "nan-series"},
        ValueError,
        "Add: an operand is not finite (NaN or infinite); compiled rows need finite coefficients and right sides",
    ),
}


@pytest.mark.parametrize("name", list(BAD_STEPS))
def test_a_failing_step_leaves_model_and_context_untouched(name):
    make, others, error, message = BAD_STEPS[name]
    fn = make()
    tl = spring_day()
    index, n = tariff_inputs(tl)
    h = new_model()
    x = caller_variables(h, np.zeros(n), np.ones(n), index)
    before = e.Add(inputs=[ds("x"), ds("x")], output=ds("x2"))
    series = {}
    for key, kind in others.items():
        if kind == "variables":
            series[key] = caller_variables(h, np.zeros(n), np.ones(n), index)
        else:
            values = np.ones(n)
            if kind == "nan-series":
                values[5] = np.nan
            series[key] = pd.Series(values, index=index)
    cols, rows = h.getNumCol(), h.getNumRow()
    ctx = e.ExecutionContext(tl, cols, {"x": x, **series})
    ctx.register_function_block("x2", ctx.execute_function(before))
    state = (ctx.next_available_col, dict(ctx.all_series), list(ctx.function_blocks))
    with pytest.raises(error) as err:
        ctx.execute_function(fn)
    assert str(err.value) == message
    assert (ctx.next_available_col, ctx.all_series, ctx.function_blocks) == state
    # Through the runner, the caller's model is added to only after a run succeeds.
    inputs = {ds("x"): x, **{ds(k): v for k, v in series.items()}}

    class Component:
        cost, functions = fn.output, [fn]

    with pytest.raises(error):
        e.run_pipeline([Component], inputs, timeline=tl, next_available_col=cols)
    assert (h.getNumCol(), h.getNumRow()) == (cols, rows)
    e.HighsAdapter(h).add_blocks(ctx.function_blocks)
    assert (h.getNumCol(), h.getNumRow()) == (cols + n, rows + n)
