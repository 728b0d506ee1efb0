"""Numeric evaluation of the function blocks, block by block and through whole tariffs.

Expected values are worked out here with plain pandas/numpy on the same data, never with the
engine's own helpers.
"""

import datetime as dt
import json
import math
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest

import ostrelpy
from ostrelpy.api_client import holiday_occurrences
from ostrelpy.bindings import _engine as e

STOCKHOLM = ZoneInfo("Europe/Stockholm")
OSLO = ZoneInfo("Europe/Oslo")
CATALOGUE = Path(ostrelpy.__file__).with_name("catalogue")
DST_DAYS = [(dt.date(2025, 3, 30), 92), (dt.date(2025, 10, 26), 100)]


def ds(id="x", resolution="hourly", unit="kWh"):
    return e.Dataset(id=id, resolution=resolution, unit=unit)


def local(y, m, d, h=0, tz=STOCKHOLM):
    return dt.datetime(y, m, d, h, tzinfo=tz)


def timeline(start, end, holidays=()):
    return e.Timeline.build(
        tz=start.tzinfo, start_time=start, end_time=end, holidays=list(holidays)
    )


def on(tl, resolution, values, name="x"):
    index = tl.get_as(resolution)
    return pd.Series(np.asarray(values, dtype=float), index=index, name=name)


def catalogue_component(name):
    for path in sorted(CATALOGUE.glob("*.json")):
        for c in json.loads(path.read_text(encoding="utf-8"))["tariff_components"]:
            if c["name"] == name:
                return e.TariffComponent.model_validate(c)
    raise LookupError(name)


def engine_holidays(component, years=(2024, 2026)):
    names = [h.value for h in component.collect_holidays()]
    return [
        e.HolidayOccurrence(date=o.date, holiday=o.holiday.value, timezone=o.timezone)
        for o in holiday_occurrences(years[0], years[1], names)
    ]


def run(component, inputs, tl):
    """The component's cost series, evaluated by the engine's runner."""
    ctx = e.run_pipeline([component], inputs, timeline=tl)
    return ctx.all_series[component.cost.id]


def year_of_consumption(tz, seed=7, monthly_scale=None):
    index = pd.date_range(
        local(2025, 1, 1, tz=tz), local(2026, 1, 1, tz=tz), freq="15min", inclusive="left"
    )
    values = np.random.default_rng(seed).gamma(2.0, 0.15, len(index))
    if monthly_scale is not None:
        values = values * np.asarray(monthly_scale)[index.month - 1]
    return pd.Series(values, index=index, name="consumption")


@pytest.fixture(scope="module")
def consumption():
    return year_of_consumption(STOCKHOLM)


def evaluate(name, consumption=None, tz=STOCKHOLM):
    component = catalogue_component(name)
    holidays = engine_holidays(component)
    inputs = {} if consumption is None else {component.datasets[0]: consumption}
    tl = e.build_timeline(
        [component],
        inputs,
        holidays,
        start_time=local(2025, 1, 1, tz=tz),
        end_time=local(2026, 1, 1, tz=tz),
    )
    return run(component, inputs, tl), tl


# --- whole tariffs from the catalogue, against pandas ------------------------------------


def test_energy_tax_per_kwh(consumption):
    cost, tl = evaluate("Energiskatt", consumption)
    assert len(tl.get_as("quarter_hourly")) == 35040 and len(cost) == 35040
    np.testing.assert_allclose(cost.to_numpy(), consumption.to_numpy() * 0.439, rtol=1e-15)
    assert cost.name == "cost"
    assert cost.sum() == pytest.approx((consumption * 0.439).sum(), rel=1e-12)


def test_transfer_fee_weekday_daytime_without_swedish_holidays(consumption):
    cost, _ = evaluate("Överföringsavgift", consumption)
    when = consumption.index.tz_convert(STOCKHOLM)
    holidays = {
        o.date
        for o in holiday_occurrences(
            2025,
            2025,
            [
                "se/nyarsdagen",
                "se/trettondedag_jul",
                "se/langfredagen",
                "se/annandag_pask",
                "se/forsta_maj",
                "se/kristi_himmelsfard",
                "se/nationaldagen",
                "se/midsommarafton",
                "se/julafton",
                "se/juldagen",
                "se/annandag_jul",
                "se/nyarsafton",
            ],
        )
    }
    high = (
        (when.day_of_week < 5)
        & (when.hour >= 7)
        & (when.hour < 19)
        & ~pd.Index(when.date).isin(holidays)
    )
    expected = consumption.to_numpy() * np.where(high, 0.6, 0.25)
    np.testing.assert_allclose(cost.to_numpy(), expected, rtol=1e-15)
    # Good Friday 2025 (18 April) at noon is off-peak, the Thursday before at noon is peak.
    noon = pd.Series(cost.to_numpy() / consumption.to_numpy(), index=when)
    assert noon[pd.Timestamp("2025-04-18 12:00", tz=STOCKHOLM)] == pytest.approx(0.25)
    assert noon[pd.Timestamp("2025-04-17 12:00", tz=STOCKHOLM)] == pytest.approx(0.6)


def test_monthly_peak_fee_on_the_three_highest_weekday_hours(consumption):
    cost, tl = evaluate("Effektavgift", consumption)
    hourly = consumption.tz_convert("UTC").resample("1h").sum(min_count=1)  # whole-hour offsets
    when = hourly.index.tz_convert(STOCKHOLM)
    weekday = hourly[when.day_of_week < 5]
    wd = weekday.index.tz_convert(STOCKHOLM)
    expected = weekday.groupby([wd.year, wd.month]).apply(lambda g: g.nlargest(3).mean()) * 35.0
    assert list(cost.index) == list(tl.get_as("monthly"))
    assert [t.tz_convert(STOCKHOLM).day for t in cost.index] == [1] * 12
    np.testing.assert_allclose(cost.to_numpy(), expected.to_numpy(), rtol=1e-12)


def test_norwegian_capacity_step_by_the_three_highest_daily_peaks():
    scale = [1, 2, 4, 8, 12, 16, 20, 6, 3, 10, 14, 5]  # spreads the months over the tiers
    consumption = year_of_consumption(OSLO, seed=11, monthly_scale=scale)
    cost, _ = evaluate("Kapasitetsledd", consumption, tz=OSLO)
    hourly = consumption.tz_convert("UTC").resample("1h").sum(min_count=1)
    when = hourly.index.tz_convert(OSLO)
    daily_peak = hourly.groupby([when.year, when.month, when.day]).max()
    capacity = daily_peak.groupby(level=[0, 1]).apply(lambda g: g.nlargest(3).mean())
    boundaries = np.array([2.0, 5.0, 10.0, 15.0, 20.0])
    levels = np.array([130.0, 190.0, 280.0, 375.0, 470.0, 565.0])
    expected = levels[np.searchsorted(boundaries, capacity.to_numpy(), side="right")]
    assert len(set(expected)) >= 4
    np.testing.assert_array_equal(cost.to_numpy(), expected)


def test_monthly_subscription_spread_over_days_by_their_length():
    cost, _ = evaluate("Fastledd", tz=OSLO)
    quarters = pd.date_range(
        local(2025, 1, 1, tz=OSLO), local(2026, 1, 1, tz=OSLO), freq="15min", inclusive="left"
    )
    per_day = pd.Series(1.0, index=quarters).groupby([quarters.month, quarters.day]).sum()
    share = per_day / per_day.groupby(level=0).transform("sum")
    np.testing.assert_allclose(cost.to_numpy(), 49.0 * share.to_numpy(), rtol=1e-14)
    assert cost.sum() == pytest.approx(49.0 * 12)
    march = cost[cost.index.tz_convert(OSLO).month == 3]
    assert march.iloc[29] == pytest.approx(49.0 * 92 / (31 * 96 - 4))  # the short day


def test_daily_subscription_fee():
    cost, _ = evaluate("Abonnemangsavgift")
    assert len(cost) == 365 and set(cost) == {10.5}


def test_subscription_spread_to_hours_follows_the_length_of_each_month():
    component = e.TariffComponent.model_validate(
        {
            "id": "00000000-0000-4000-8000-000000000001",
            "name": "Abonnemang",
            "timezone": "Europe/Stockholm",
            "datasets": [],
            "functions": [
                {
                    "type": "constant",
                    "value": {"value": 120.0, "unit": "SEK"},
                    "resolution": "monthly",
                    "output": {"id": "fee", "resolution": "monthly", "unit": "SEK"},
                },
                {
                    "type": "resample",
                    "input": {"id": "fee", "resolution": "monthly", "unit": "SEK"},
                    "resolution": "hourly",
                    "output": {"id": "cost", "resolution": "hourly", "unit": "SEK"},
                },
            ],
            "cost": {"id": "cost", "resolution": "hourly", "unit": "SEK"},
        }
    )
    tl = timeline(local(2025, 1, 1), local(2026, 1, 1))
    cost = run(component, {}, tl)
    when = cost.index.tz_convert(STOCKHOLM)
    hours_in_month = pd.Series(1, index=when).groupby(when.month).transform("size")
    np.testing.assert_allclose(cost.to_numpy(), 120.0 / hours_in_month.to_numpy(), rtol=1e-14)
    by_month = cost.groupby(when.month).sum()
    np.testing.assert_allclose(by_month.to_numpy(), 120.0, rtol=1e-12)
    assert (hours_in_month[when.month == 3].iloc[0], hours_in_month[when.month == 10].iloc[0]) == (
        743,
        745,
    )


# --- daylight-saving days ------------------------------------------------------------------


@pytest.mark.parametrize("day, steps", DST_DAYS, ids=["spring", "autumn"])
def test_daily_sum_over_a_daylight_saving_day(day, steps):
    tl = timeline(local(day.year, day.month, day.day), local(day.year, day.month, day.day + 1))
    values = np.arange(steps, dtype=float)
    daily = e.Aggregate(
        input=ds("q", "quarter_hourly"),
        resolution="daily",
        aggregation_function="sum",
        output=ds("d", "daily"),
    )
    out = daily.compute(tl, input=on(tl, "quarter_hourly", values))
    assert out.index.tz_convert(STOCKHOLM).hour.tolist() == [0]
    assert out.tolist() == [values.sum()]


@pytest.mark.parametrize("day, steps", DST_DAYS, ids=["spring", "autumn"])
def test_hourly_sums_over_a_daylight_saving_day(day, steps):
    tl = timeline(local(day.year, day.month, day.day), local(day.year, day.month, day.day + 1))
    q = on(tl, "quarter_hourly", np.random.default_rng(3).random(steps))
    hourly = e.Aggregate(
        input=ds("q", "quarter_hourly"),
        resolution="hourly",
        aggregation_function="sum",
        output=ds("h"),
    )
    out = hourly.compute(tl, input=q)
    expected = q.tz_convert("UTC").resample("1h").sum()
    assert len(out) == steps // 4
    assert list(out.index) == list(expected.index)
    np.testing.assert_allclose(out.to_numpy(), expected.to_numpy(), rtol=1e-14)


@pytest.mark.parametrize("day, steps", DST_DAYS, ids=["spring", "autumn"])
def test_daily_amount_split_into_hours_by_quarter_hour_share(day, steps):
    start = local(day.year, day.month, day.day - 1)
    tl = timeline(start, local(day.year, day.month, day.day + 1))
    block = e.Resample(input=ds("d", "daily"), resolution="hourly", output=ds("h"))
    out = block.compute(tl, input=on(tl, "daily", [48.0, 46.0]))
    when = out.index.tz_convert(STOCKHOLM)
    first, second = out[when.day == day.day - 1], out[when.day == day.day]
    np.testing.assert_allclose(first, 48.0 / 24)
    assert len(second) == steps // 4
    np.testing.assert_allclose(second, 46.0 * 4 / steps)
    scale = block._amount_scale(tl)
    np.testing.assert_allclose(scale[when.day == day.day], 4 / steps)
    pd.testing.assert_index_equal(scale.index, tl.get_as("hourly"))


# --- element-wise semantics --------------------------------------------------------------


@pytest.fixture(scope="module")
def day():
    return timeline(local(2025, 6, 2), local(2025, 6, 3))  # a Monday


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


# --- bad input --------------------------------------------------------------------------------

SERIES_BLOCKS = [
    (e.Select(input=ds(), condition={"type": "month", "months": [1]}, output=ds("o")), "input"),
    (
        e.Mask(
            input=ds(),
            condition={"type": "month", "months": [1]},
            replacement=ds("r"),
            output=ds("o"),
        ),
        "input",
    ),
    (e.Clip(input=ds(), minimum=e.Level(value=0, unit="kWh"), output=ds("o")), "input"),
    (
        e.Aggregate(
            input=ds(), resolution="daily", aggregation_function="sum", output=ds("o", "daily")
        ),
        "input",
    ),
    (
        e.Resample(input=ds(), resolution="quarter_hourly", output=ds("o", "quarter_hourly")),
        "input",
    ),
    (
        e.Lookup(
            tier_selector=ds(),
            levels=[1, 2],
            boundaries=[1],
            unit="SEK",
            output=ds("o", unit="SEK"),
        ),
        "tier_selector",
    ),
]


@pytest.mark.parametrize("block, name", SERIES_BLOCKS, ids=[b.type for b, _ in SERIES_BLOCKS])
def test_a_level_where_a_series_is_required(day, block, name):
    extra = {"replacement": 0.0} if block.type == "mask" else {}
    with pytest.raises(
        TypeError, match=rf"^Argument '{name}' has incorrect type \(expected Series, got float\)$"
    ):
        block.compute(day, **{name: 0.5}, **extra)


@pytest.mark.parametrize("block, name", SERIES_BLOCKS, ids=[b.type for b, _ in SERIES_BLOCKS])
def test_argument_errors(day, block, name):
    s = on(day, "hourly", np.ones(24))
    extra = {"replacement": 0.0} if block.type == "mask" else {}
    with pytest.raises(
        TypeError, match=r"^Argument 'timeline' has incorrect type \(expected Timeline, got dict\)$"
    ):
        block.compute({}, **{name: s}, **extra)
    with pytest.raises(TypeError, match=f"^compute\\(\\) needs keyword-only argument {name}$"):
        block.compute(day, **extra)
    with pytest.raises(
        TypeError, match=r"^compute\(\) takes exactly 1 positional argument \(2 given\)$"
    ):
        block.compute(day, s, **extra)


def test_a_level_in_place_of_a_dataset_is_a_validation_error():
    with pytest.raises(ValueError):
        e.Select(
            input={"value": 1.0, "unit": "kWh"},
            condition={"type": "month", "months": [1]},
            output=ds("o"),
        )


def test_nan_and_infinity_propagate_through_a_tariff():
    component = catalogue_component("Energiskatt")
    tl = timeline(local(2025, 6, 2), local(2025, 6, 3))
    s = on(tl, "quarter_hourly", np.ones(96))
    s.iloc[[3, 4, 5]] = [np.nan, np.inf, -np.inf]
    cost = run(component, {component.datasets[0]: s}, tl)
    assert math.isnan(cost.iloc[3]) and cost.iloc[4] == math.inf and cost.iloc[5] == -math.inf
    assert cost.iloc[0] == 0.439


def test_empty_series(day):
    empty = pd.Series([], index=pd.DatetimeIndex([], tz="UTC"), dtype=float)
    add = e.Add(inputs=[ds("a"), ds("b")], output=ds("o"))
    assert len(add.compute(day, input_0=empty, input_1=empty)) == 0
    assert len(add.compute(day, input_0=empty, input_1=2.0)) == 0
    lookup = e.Lookup(
        tier_selector=ds(), levels=[1, 2], boundaries=[1], unit="SEK", output=ds("o", unit="SEK")
    )
    assert len(lookup.compute(day, tier_selector=empty)) == 0
    select = e.Select(input=ds(), condition={"type": "month", "months": [6]}, output=ds("o"))
    assert len(select.compute(day, input=empty)) == 0
    resample = e.Resample(input=ds("d", "daily"), resolution="hourly", output=ds("o"))
    assert resample.compute(day, input=empty).isna().all()
    aggregate = e.Aggregate(
        input=ds(), resolution="daily", aggregation_function="sum", output=ds("o", "daily")
    )
    with pytest.raises(
        ValueError,
        match="^Length mismatch: Expected axis has 0 elements, new values have 1 elements$",
    ):
        aggregate.compute(day, input=empty)


def test_an_empty_timeline_gives_empty_results():
    tl = timeline(local(2025, 6, 2), local(2025, 6, 2))
    empty = pd.Series([], index=pd.DatetimeIndex([], tz="UTC"), dtype=float)
    assert (
        len(
            e.Constant(
                value=e.Level(value=1, unit="SEK"),
                resolution="daily",
                output=ds("c", "daily", "SEK"),
            ).compute(tl)
        )
        == 0
    )
    assert (
        len(
            e.Aggregate(
                input=ds(), resolution="daily", aggregation_function="mean", output=ds("o", "daily")
            ).compute(tl, input=empty)
        )
        == 0
    )
    assert (
        len(
            e.Resample(
                input=ds("d", "daily", "SEK"), resolution="hourly", output=ds("o", unit="SEK")
            ).compute(tl, input=empty)
        )
        == 0
    )


def test_a_timeline_subclass_answers_its_own_masks():
    class Weekends(e.Timeline):
        def build_condition_mask(self, series, condition):
            return np.asarray(series.index.tz_convert(STOCKHOLM).day_of_week >= 5)

    base = timeline(local(2025, 6, 6), local(2025, 6, 9))
    sub = Weekends(base._accessors, [])
    s = on(base, "daily", [1.0, 2.0, 3.0])
    block = e.Select(
        input=ds("d", "daily"), condition={"type": "month", "months": [1]}, output=ds("o", "daily")
    )
    assert block.compute(base, input=s).isna().all()
    assert block.compute(sub, input=s).tolist()[1:] == [2.0, 3.0]


def test_series_off_the_grid(day):
    off = pd.Series(
        [1.0, 2.0], index=pd.DatetimeIndex(["2025-06-02 00:07", "2025-06-02 01:07"], tz=STOCKHOLM)
    )
    select = e.Select(input=ds(), condition={"type": "month", "months": [6]}, output=ds("o"))
    if __debug__:
        with pytest.raises(AssertionError, match="^index must be a subset of the timeline$"):
            select.compute(day, input=off)
    else:  # the subset test is an assertion; the lookup of the first missing instant fails
        with pytest.raises(KeyError):
            select.compute(day, input=off)
    on_grid = on(day, "hourly", np.ones(24)).iloc[:2]
    out = e.Add(inputs=[ds("a"), ds("b")], output=ds("o")).compute(
        day, input_0=off, input_1=on_grid
    )
    assert len(out) == 4 and out.isna().all()
    # The runner places an input on the grid first: values off the grid are dropped.
    component = catalogue_component("Energiskatt")
    cost = run(
        component, {component.datasets[0]: off}, timeline(local(2025, 6, 2), local(2025, 6, 3))
    )
    assert len(cost) == 96 and cost.eq(0.0).all()


def test_lookup_with_unchecked_levels_fails_cleanly(day):
    # Under an optimised host the length check is skipped; evaluation must not read past the levels.
    block = e.Lookup.model_construct(
        tier_selector=ds(),
        levels=[1.0],
        boundaries=[1.0, 2.0],
        unit="SEK",
        output=ds("o", unit="SEK"),
        type="lookup",
    )
    with pytest.raises(IndexError):
        block.compute(day, tier_selector=on(day, "hourly", [5.0] * 24))
