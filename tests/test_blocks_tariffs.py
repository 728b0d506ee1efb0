"""Whole tariffs from the catalogue and daylight-saving days, evaluated by the engine.

Expected values are worked out here with plain pandas/numpy on the same data, never with the
engine's own helpers.
"""

import datetime as dt
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest
from conftest import (
    SE_TRANSFER_HOLIDAYS,
    STOCKHOLM,
    catalogue_component,
    local,
    on,
    run,
    timeline,
)
from conftest import dataset as ds

from ostrelpy.api_client import holiday_occurrences
from ostrelpy.bindings import _engine as e

OSLO = ZoneInfo("Europe/Oslo")
DST_DAYS = [(dt.date(2025, 3, 30), 92), (dt.date(2025, 10, 26), 100)]


def engine_holidays(component, years=(2024, 2026)):
    names = [h.value for h in component.collect_holidays()]
    return [
        e.HolidayOccurrence(date=o.date, holiday=o.holiday.value, timezone=o.timezone)
        for o in holiday_occurrences(years[0], years[1], names)
    ]


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
            SE_TRANSFER_HOLIDAYS,
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
