"""Numeric evaluation of the function blocks, block by block.

Expected values are worked out here with plain pandas/numpy on the same data, never with the
engine's own helpers.
"""

import math

import numpy as np
import pandas as pd
import pytest
from conftest import STOCKHOLM, local, on, timeline
from conftest import dataset as ds

from ostrelpy.bindings import _engine as e

# --- element-wise semantics --------------------------------------------------------------


def test_addition_runs_left_to_right(day):
    s = on(day, "hourly", np.ones(24))
    add = e.Add(inputs=[ds("a"), ds("b"), ds("c")], output=ds("o"))
    out = add.compute(day, input_0=s * 1e16, input_1=s * -1e16, input_2=s)
    assert out.tolist() == [1.0] * 24  # 1e16 + (-1e16 + 1) would give 0
    levels_first = add.compute(day, input_0=1e16, input_1=-1e16, input_2=s)
    assert levels_first.tolist() == [1.0] * 24


def test_series_pair_by_label_and_never_fill(day):
    idx = day.get_as("hourly")
    a = pd.Series([1.0, np.nan, 3.0], index=idx[[0, 1, 2]])
    b = pd.Series([10.0, 20.0, 30.0], index=idx[[3, 2, 1]])
    out = e.Subtract(left=ds("a"), right=ds("b"), output=ds("o")).compute(day, left=a, right=b)
    assert list(out.index) == list(idx[:4])
    assert out.tolist()[2] == 3.0 - 20.0
    assert all(math.isnan(v) for v in out.iloc[[0, 1, 3]])


PAIRWISE = [
    (e.Add(inputs=[ds("a"), ds("b")], output=ds("o")), ("input_0", "input_1"), "add"),
    (e.Subtract(left=ds("a"), right=ds("b"), output=ds("o")), ("left", "right"), "sub"),
    (
        e.Multiply(left=ds("a", unit="kW"), right=ds("b", unit="hours"), output=ds("o")),
        ("left", "right"),
        "mul",
    ),
    (
        e.Divide(
            numerator=ds("a", unit="kW"), denominator=ds("b", unit="kW"), output=ds("o", unit="%")
        ),
        ("numerator", "denominator"),
        "truediv",
    ),
]


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("block, names, op", PAIRWISE, ids=[p[2] for p in PAIRWISE])
def test_label_alignment_matches_pandas(day, seed, block, names, op):
    rng = np.random.default_rng(seed)
    idx = day.get_as("quarter_hourly")

    def random_series():
        labels = idx[np.sort(rng.choice(len(idx), size=rng.integers(0, 60), replace=False))]
        values = rng.choice([0.0, 1.5, -2.0, np.nan, np.inf, 3.25], size=len(labels))
        return pd.Series(values, index=rng.permutation(labels) if seed % 2 else labels)

    a, b = random_series(), random_series()
    out = block.compute(day, **{names[0]: a, names[1]: b})
    expected = getattr(a, op)(b)
    assert list(out.index) == list(expected.index)
    np.testing.assert_array_equal(out.to_numpy(), expected.to_numpy())


def test_level_on_either_side(day):
    s = on(day, "hourly", np.arange(24))
    sub = e.Subtract(left=e.Level(value=10, unit="kWh"), right=ds("a"), output=ds("o"))
    assert sub.compute(day, left=10.0, right=s).tolist() == (10.0 - np.arange(24)).tolist()
    mul = e.Multiply(
        left=ds("a"), right=e.Level(value=2, unit="SEK_per_kWh"), output=ds("o", unit="SEK")
    )
    assert mul.compute(day, left=s, right=2.0).tolist() == (2.0 * np.arange(24)).tolist()


def test_division_is_ieee_and_percent_is_a_plain_ratio(day):
    idx = day.get_as("hourly")[:4]
    div = e.Divide(
        numerator=ds("a", unit="kW"), denominator=ds("b", unit="kW"), output=ds("o", unit="%")
    )
    out = div.compute(
        day,
        numerator=pd.Series([1.0, -1.0, 0.0, 1.0], index=idx),
        denominator=pd.Series([0.0, 0.0, 0.0, 4.0], index=idx),
    )
    assert out.iloc[0] == math.inf and out.iloc[1] == -math.inf and math.isnan(out.iloc[2])
    assert out.iloc[3] == 0.25


@pytest.mark.parametrize("divisor", [0.25, 4.0, -0.5, 3.0, 0.1, 2.0**-1022, 2.0**1023, 5e-324])
def test_division_by_a_level_is_ieee_division_bit_for_bit(day, divisor):
    # Powers of two among others: dividing by one may be done another way, never with
    # another result (subnormals, overflow, signed zeros and NaN included).
    rng = np.random.default_rng(11)
    special = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -2.5e-308, 1.7e308, 1.0]
    values = np.concatenate([special, rng.normal(0, 1e3, 24 - len(special))])
    div = e.Divide(
        numerator=ds("a", unit="kWh"),
        denominator=e.Level(value=divisor, unit="hours"),
        output=ds("o", unit="kW"),
    )
    out = div.compute(day, numerator=on(day, "hourly", values), denominator=divisor)
    with np.errstate(all="ignore"):
        expected = values / divisor
    assert out.to_numpy().view(np.int64).tolist() == expected.view(np.int64).tolist()


@pytest.mark.parametrize(
    "cls, fields, operands, message",
    [
        (
            e.Add,
            {"inputs": [e.Level(value=1, unit="kWh"), e.Level(value=2, unit="kWh")]},
            {"input_0": 1.0, "input_1": 2.0},
            "Add requires at least one Dataset operand",
        ),
        (
            e.Subtract,
            {"left": e.Level(value=1, unit="kWh"), "right": e.Level(value=2, unit="kWh")},
            {"left": 1.0, "right": 2.0},
            "Subtract requires at least one Dataset operand",
        ),
        (
            e.Multiply,
            {"left": e.Level(value=1, unit="kWh"), "right": e.Level(value=2, unit="%")},
            {"left": 1.0, "right": 2},
            "Multiply requires at least one Dataset operand",
        ),
        (
            e.Divide,
            {"numerator": ds(), "denominator": e.Level(value=2, unit="%")},
            {"numerator": 1.0, "denominator": 2.0},
            "Divide requires at least one Dataset operand",
        ),
    ],
    ids=["add", "subtract", "multiply", "divide"],
)
def test_numbers_only_are_refused_at_evaluation(day, cls, fields, operands, message):
    unit = "kWh"
    block = cls(**fields, output=ds("o", unit=unit))
    with pytest.raises(ValueError, match=f"^{message}$"):
        block.compute(day, **operands)


def test_constant_on_the_period_starts():
    tl = timeline(local(2025, 3, 29), local(2025, 4, 1))
    out = e.Constant(
        value=e.Level(value=2.5, unit="SEK"), resolution="daily", output=ds("c", "daily", "SEK")
    ).compute(tl)
    assert (
        out.index.tz_convert(STOCKHOLM).day.tolist() == [29, 30, 31] and out.tolist() == [2.5] * 3
    )


# --- per-period reductions and resampling --------------------------------------------------


@pytest.mark.parametrize(
    "function, hours, expected",
    [
        ("sum", [np.nan] * 24, math.nan),
        ("sum", [5.0] + [np.nan] * 23, 5.0),
        ("mean", [1.0, np.nan, 3.0] + [np.nan] * 21, 2.0),
        ("max", [1.0, np.nan, 7.0, -2.0] + [np.nan] * 20, 7.0),
        ("min", [1.0, np.nan, 7.0, -2.0] + [np.nan] * 20, -2.0),
        ("max", [np.nan] * 24, math.nan),
        ("sum", [np.inf, 1.0, 2.0] + [np.nan] * 21, math.inf),
        ("sum", [1.0, -np.inf, 2.0] + [0.5] * 21, -math.inf),
        ("sum", [np.inf, -np.inf] + [1.0] * 22, math.nan),
        ("mean", [np.inf, 1.0] + [np.nan] * 22, math.inf),
        ("min", [np.inf, -np.inf] + [np.nan] * 22, -math.inf),
    ],
)
def test_aggregation_skips_missing_values(day, function, hours, expected):
    block = e.Aggregate(
        input=ds("h"), resolution="daily", aggregation_function=function, output=ds("d", "daily")
    )
    out = block.compute(day, input=on(day, "hourly", hours))
    assert len(out) == 1
    assert (math.isnan(out.iloc[0]) and math.isnan(expected)) or out.iloc[0] == expected


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")  # pandas: inf - inf
@pytest.mark.parametrize("function", ["sum", "mean", "max", "min"])
@pytest.mark.parametrize(
    "start, end",
    [
        (local(2025, 3, 28), local(2025, 4, 2)),  # a 23-hour day: its runs are uneven
        (local(2025, 10, 24), local(2025, 10, 29)),  # a 25-hour day with a repeated hour
        (local(2025, 1, 1), local(2025, 1, 1, 7)),  # fewer hours than one batch of runs
    ],
)
@pytest.mark.parametrize("resolution, pandas_key", [("hourly", "h"), ("daily", None)])
def test_whole_grid_reductions_match_pandas(function, start, end, resolution, pandas_key):
    tl = timeline(start, end)
    rng = np.random.default_rng(7)
    idx = tl.get_as("quarter_hourly")
    values = rng.normal(10.0, 3.0, len(idx)) * 10.0 ** rng.integers(-6, 7, len(idx))
    values[rng.random(len(idx)) < 0.05] = np.nan
    values[rng.integers(0, len(idx), 3)] = [np.inf, -np.inf, np.inf]
    series = pd.Series(values, index=idx)
    block = e.Aggregate(
        input=ds("q", "quarter_hourly"),
        resolution=resolution,
        aggregation_function=function,
        output=ds("r", resolution),
    )
    out = block.compute(tl, input=series)
    if pandas_key:  # hour starts in UTC keep the repeated local hour apart
        keys = series.index.floor(pandas_key)
    else:
        keys = series.index.tz_convert(STOCKHOLM).normalize()
    expected = getattr(series.groupby(keys), function)()
    if function == "sum":  # a period with no present value is missing, not 0
        expected[series.notna().groupby(keys).sum().to_numpy() == 0] = np.nan
    np.testing.assert_allclose(out.to_numpy(), expected.to_numpy(), rtol=1e-13, atol=0.0)


@pytest.mark.parametrize("function", ["max", "min"])
@pytest.mark.parametrize("seed", range(4))
def test_highest_and_lowest_per_period_are_the_first_of_their_value(function, seed):
    # Few distinct values, zeros of both signs and missing values among them, so that ties
    # decide: the value found is the first that beats every earlier one, bit for bit.
    tl = timeline(local(2025, 1, 30), local(2025, 3, 3))
    idx = tl.get_as("quarter_hourly")
    rng = np.random.default_rng(seed)
    choices = np.array([0.0, -0.0, math.nan, -1.5, 2.0, -math.inf, 1e-310])
    values = rng.choice(choices, len(idx), p=[0.3, 0.3, 0.1, 0.1, 0.1, 0.05, 0.05])
    if seed == 0:
        values[values > 0] = -0.0  # months whose highest value is one of the zeros
    block = e.Aggregate(
        input=ds("q", "quarter_hourly"),
        resolution="monthly",
        aggregation_function=function,
        output=ds("r", "monthly"),
    )
    out = block.compute(tl, input=pd.Series(values, index=idx))
    months = idx.tz_convert(STOCKHOLM).month
    expected = []
    for month in dict.fromkeys(months):
        best = math.nan
        for v in values[months == month]:
            if not math.isnan(v) and (
                math.isnan(best) or (v > best if function == "max" else v < best)
            ):
                best = v
        expected.append(best)
    assert out.to_numpy().view(np.int64).tolist() == np.array(expected).view(np.int64).tolist()


def test_rates_repeat_and_missing_values_carry_forward():
    tl = timeline(local(2025, 1, 30), local(2025, 2, 2))
    price = e.Resample(
        input=ds("p", "daily", "SEK_per_kWh"),
        resolution="hourly",
        output=ds("q", "hourly", "SEK_per_kWh"),
    )
    out = price.compute(tl, input=on(tl, "daily", [1.5, np.nan, 2.0]))
    assert out.iloc[:24].tolist() == [1.5] * 24 and out.iloc[48:].tolist() == [2.0] * 24
    assert out.iloc[24:48].isna().all()


def test_monthly_amount_split_over_the_days_of_each_month():
    tl = timeline(local(2025, 1, 1), local(2025, 3, 1))
    out = e.Resample(
        input=ds("m", "monthly", "SEK"), resolution="daily", output=ds("d", "daily", "SEK")
    ).compute(tl, input=on(tl, "monthly", [31.0, 56.0]))
    assert len(out) == 59
    np.testing.assert_allclose(out.to_numpy(), [1.0] * 31 + [2.0] * 28)


def test_a_week_across_a_month_end_takes_its_share_from_the_month_it_starts_in():
    tl = timeline(local(2025, 1, 1), local(2025, 3, 1))  # from a Wednesday to a Saturday
    block = e.Resample(
        input=ds("m", "monthly", "SEK"), resolution="weekly", output=ds("w", "weekly", "SEK")
    )
    out = block.compute(tl, input=on(tl, "monthly", [31.0, 28.0]))
    np.testing.assert_allclose(out.to_numpy(), [5, 7, 7, 7, 7, 7, 7, 7, 5], rtol=1e-14)


def test_forward_fill_of_variables_repeats_each_days_columns():
    tl = timeline(local(2025, 3, 29), local(2025, 3, 31))
    days = tl.get_as("daily")
    variables = e.VariableSeries(
        cols=np.array([7, 8]),
        lb=np.zeros(2),
        ub=np.ones(2),
        is_integer=np.zeros(2, dtype=bool),
        index=days,
    )
    block = e.Resample(input=ds("d", "daily"), resolution="hourly", output=ds("h"))
    filled = block._forward_fill(tl, variables)
    assert filled.cols.tolist() == [7] * 24 + [8] * 23
    pd.testing.assert_index_equal(filled.index, tl.get_as("hourly"))
    with pytest.raises(TypeError, match="expected VariableSeries, got Series"):
        block._forward_fill(tl, on(tl, "daily", [1.0, 2.0]))


# --- selection, masking, clipping, tiers ----------------------------------------------------


def test_select_by_month_keeps_january_only():
    tl = timeline(local(2025, 1, 1), local(2026, 1, 1))
    s = on(tl, "hourly", np.ones(8760))
    out = e.Select(input=ds(), condition={"type": "month", "months": [1]}, output=ds("o")).compute(
        tl, input=s
    )
    january = out.index.tz_convert(STOCKHOLM).month == 1
    assert out[january].eq(1.0).all() and out[~january].isna().all() and january.sum() == 744


@pytest.mark.parametrize(
    "values, kept",
    [
        ([5, 9, 9, 1], [False, True, True, False]),
        ([5, 9, 7, 9], [False, True, False, True]),
        ([9, 9, 9, 1], [True, True, False, False]),
        ([np.nan, 1, np.nan, np.nan], [False, True, False, False]),
    ],
)
def test_highest_values_with_earliest_winning_ties(values, kept):
    tl = timeline(local(2025, 6, 2), local(2025, 6, 6))
    block = e.Select(
        input=ds("d", "daily"),
        condition={"type": "highest", "n": 2, "resolution": "monthly"},
        output=ds("o", "daily"),
    )
    out = block.compute(tl, input=on(tl, "daily", values))
    assert out.notna().tolist() == kept


@pytest.mark.parametrize("keep", ["all", "every-other", "shuffled"])
def test_highest_and_weekday_selection_on_any_part_of_the_grid(keep):
    tl = timeline(local(2025, 3, 24), local(2025, 4, 8))  # across the spring change and a month end
    hourly = on(tl, "hourly", np.random.default_rng(5).random(len(tl.get_as("hourly"))))
    s = {
        "all": hourly,
        "every-other": hourly.iloc[::2],
        "shuffled": hourly.sample(frac=1.0, random_state=1),
    }[keep]
    highest = e.Select(
        input=ds(), condition={"type": "highest", "n": 3, "resolution": "daily"}, output=ds("o")
    )
    when = s.index.tz_convert(STOCKHOLM)
    top = s.groupby([when.month, when.day]).nlargest(3).index.get_level_values(-1)
    assert highest.compute(tl, input=s).notna().tolist() == s.index.isin(top).tolist()
    weekdays = e.Select(
        input=ds(), condition={"type": "day_of_week", "days": [1, 2, 3, 4, 5]}, output=ds("o")
    )
    assert weekdays.compute(tl, input=s).notna().tolist() == (when.day_of_week < 5).tolist()
    daily = e.Aggregate(
        input=ds(), resolution="daily", aggregation_function="max", output=ds("d", "daily")
    )
    expected = s.groupby([when.month, when.day]).max().to_numpy()
    np.testing.assert_array_equal(daily.compute(tl, input=s).to_numpy(), expected)


def test_mask_never_fills_missing_values():
    tl = timeline(local(2025, 6, 6), local(2025, 6, 9))  # Friday to Sunday
    s = on(tl, "daily", [4.0, 5.0, np.nan])
    block = e.Mask(
        input=ds("d", "daily"),
        condition={"type": "day_of_week", "days": [6, 7]},
        replacement=e.Level(value=0, unit="kWh"),
        output=ds("o", "daily"),
    )
    assert block.compute(tl, input=s, replacement=0.0).tolist()[:2] == [4.0, 0.0]
    assert math.isnan(block.compute(tl, input=s, replacement=0.0).iloc[2])
    by_label = pd.Series([30.0, 20.0, 10.0], index=s.index[::-1])
    assert block.compute(tl, input=s, replacement=by_label).tolist()[:2] == [4.0, 20.0]


@pytest.mark.parametrize(
    "minimum, maximum, expected",
    [
        (None, 10.0, [10, 8, 10, -5]),
        (5.0, 2.0, [5, 5, 5, 2]),
        ([0, np.nan, 9, 0, 0], [3, 1, 2, np.nan, 0], [3, 1, 2, 0]),
    ],
    ids=["maximum-only", "swapped-numbers", "series-bounds"],
)
def test_clip(day, minimum, maximum, expected):
    x = on(day, "hourly", [20, 8, 12, -5, np.nan] + [0] * 19).iloc[:5]

    def bound(b):
        return b if isinstance(b, float) else pd.Series(b, index=x.index, dtype=float)

    kwargs = {k: bound(v) for k, v in (("minimum", minimum), ("maximum", maximum)) if v is not None}
    block = e.Clip(input=ds(), maximum=e.Level(value=1, unit="kWh"), output=ds("o"))
    out = block.compute(day, input=x, **kwargs)
    assert out.iloc[:4].tolist() == expected and math.isnan(out.iloc[4])


def test_lookup_is_right_sided(day):
    block = e.Lookup(
        tier_selector=ds("p", unit="kW"),
        levels=[1, 2, 3],
        boundaries=[100, 200],
        unit="SEK_per_kW",
        output=ds("o", unit="SEK_per_kW"),
    )
    x = [99.9, 100, 199, 200, 1000, np.nan, -np.inf, np.inf]
    out = block.compute(day, tier_selector=on(day, "hourly", x + [0] * 16).iloc[:8])
    assert out.iloc[:5].tolist() == [1, 2, 2, 3, 3] and math.isnan(out.iloc[5])
    assert out.iloc[6:].tolist() == [1, 3]
