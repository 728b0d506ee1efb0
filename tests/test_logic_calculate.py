"""calculate_cost end to end: the bundled tariff against pandas, and price changes inside a
request (each component charged only inside its own validity window)."""

import datetime as dt
import math

import numpy as np
import pandas as pd
import pytest
from conftest import (
    CONSUMPTION,
    SE_TARIFF,
    SE_TRANSFER_HOLIDAYS,
    arun,
    make_tariff,
    quarter_hours,
    rate_component,
    stockholm,
    utc,
)
from references import transfer_peak

from ostrelpy.api_client import holiday_occurrences
from ostrelpy.bindings import _engine, logic
from ostrelpy.cli_cost import EXAMPLE_CONSUMPTION, read_consumption
from ostrelpy.models import Holiday

STOCKHOLM = "Europe/Stockholm"
TRANSFER_HOLIDAYS = SE_TRANSFER_HOLIDAYS


@pytest.fixture(scope="module")
def bundled():
    series = read_consumption(EXAMPLE_CONSUMPTION)
    series.index = series.index.as_unit("ns")  # the engine's results are in nanoseconds
    data = {CONSUMPTION: dict(zip(series.index.to_pydatetime(), series.to_numpy().tolist()))}
    return series, data


def by_name(costs):
    out = {}
    for c in costs:
        s = pd.Series(c.costs, dtype="float64").sort_index()
        s.index = s.index.as_unit("ns")  # pandas reads datetime keys in microseconds
        out[c.component.name] = s
    return out


def test_bundled_tariff_equals_each_component_computed_with_pandas(facade, bundled):
    series, data = bundled
    start, end = stockholm(2025, 1, 1), stockholm(2025, 4, 1)
    costs = by_name(arun(facade.calculate_cost(SE_TARIFF, start, end, data)))
    assert list(costs) == ["Energiskatt", "Överföringsavgift", "Effektavgift", "Abonnemangsavgift"]

    local = series.index.tz_convert(STOCKHOLM)
    expected_energy = series * 0.439
    pd.testing.assert_series_equal(
        costs["Energiskatt"], expected_energy, check_names=False, check_freq=False, rtol=1e-12
    )

    holiday_dates = {
        o.date for o in holiday_occurrences(2024, 2027, [Holiday(h) for h in TRANSFER_HOLIDAYS])
    }
    peak = transfer_peak(local, holiday_dates)
    expected_transfer = series * np.where(peak, 0.6, 0.25)
    pd.testing.assert_series_equal(
        costs["Överföringsavgift"], expected_transfer, check_names=False, check_freq=False
    )

    hourly = series.groupby(series.index.floor("h")).sum()  # whole-hour offsets: UTC hours
    hourly_local = hourly.index.tz_convert(STOCKHOLM)
    weekday = hourly[hourly_local.day_of_week < 5]
    months = weekday.index.tz_convert(STOCKHOLM).strftime("%Y-%m")
    expected_peak = weekday.groupby(months).apply(lambda s: s.nlargest(3).mean() * 35.0)
    got_peak = costs["Effektavgift"]
    assert got_peak.index.tz_convert(STOCKHOLM).strftime("%Y-%m").tolist() == [
        "2025-01",
        "2025-02",
        "2025-03",
    ]
    np.testing.assert_allclose(got_peak.to_numpy(), expected_peak.to_numpy(), rtol=1e-12)

    days = costs["Abonnemangsavgift"]
    assert len(days) == 90 and set(days) == {10.5}
    assert days.index[0] == start and days.index[-1] == stockholm(2025, 3, 31)


def test_result_keys_are_the_cost_series_instants_in_utc(facade, bundled):
    _, data = bundled
    (energy, *_) = arun(
        facade.calculate_cost(SE_TARIFF, stockholm(2025, 3, 30), stockholm(2025, 3, 31), data)
    )
    keys = list(energy.costs)
    assert len(keys) == 92  # the day summer time starts
    assert all(k.tzinfo is dt.UTC for k in keys)
    assert keys[0] == stockholm(2025, 3, 30) and keys[-1] == stockholm(2025, 3, 30, 23, 45)


def price_change_tariff():
    """Energy tax valid to 1 January, then to 1 April, then open-ended; a daily fee that also
    changes on 1 January. Consecutive windows meet exactly."""
    jan, apr = stockholm(2025, 1, 1), stockholm(2025, 4, 1)
    fee = {
        "type": "constant",
        "value": {"value": 0.0, "unit": "SEK"},
        "resolution": "daily",
        "output": {"id": "cost", "resolution": "daily", "unit": "SEK"},
    }
    cost = {"id": "cost", "resolution": "daily", "unit": "SEK"}
    old_fee = rate_component(0.0).model_copy(
        update={
            "name": "Fee 2024",
            "datasets": [],
            "functions": [{**fee, "value": {"value": 9.0, "unit": "SEK"}}],
            "cost": cost,
            "applicable_to": jan,
        }
    )
    new_fee = old_fee.model_copy(
        update={
            "name": "Fee 2025",
            "functions": [{**fee, "value": {"value": 11.0, "unit": "SEK"}}],
            "applicable_from": jan,
            "applicable_to": None,
        }
    )
    return make_tariff(
        rate_component(0.40, name="Tax 2024", applicable_to=jan),
        rate_component(0.44, name="Tax Q1 2025", applicable_from=jan, applicable_to=apr),
        rate_component(0.50, name="Tax from April", applicable_from=apr),
        old_fee,
        new_fee,
    )


def test_a_request_across_price_changes_charges_each_price_in_its_own_window(facade, api):
    tariff = price_change_tariff()
    api.tariffs[tariff.id] = tariff
    start, end = stockholm(2024, 12, 1), stockholm(2025, 5, 1)
    data = {CONSUMPTION: quarter_hours(start, end, 1.0)}
    costs = {
        c.component.name: c.costs for c in arun(facade.calculate_cost(tariff.id, start, end, data))
    }

    jan, apr = stockholm(2025, 1, 1), stockholm(2025, 4, 1)
    windows = {"Tax 2024": (start, jan), "Tax Q1 2025": (jan, apr), "Tax from April": (apr, end)}
    rates = {"Tax 2024": 0.40, "Tax Q1 2025": 0.44, "Tax from April": 0.50}
    for name, (lo, hi) in windows.items():
        keys = sorted(costs[name])
        assert keys[0] == lo and keys[-1] == hi - dt.timedelta(minutes=15), name
        assert len(keys) == round((hi.timestamp() - lo.timestamp()) / 900)
        assert set(costs[name].values()) == {rates[name]}
    charged = sum(len(costs[n]) for n in windows)
    assert charged == len(data[CONSUMPTION])  # every interval charged exactly once

    old_days, new_days = sorted(costs["Fee 2024"]), sorted(costs["Fee 2025"])
    assert len(old_days) == 31 and old_days[-1] == stockholm(2024, 12, 31)
    assert len(new_days) == 120 and new_days[0] == jan
    assert math.fsum(costs["Fee 2024"].values()) == 31 * 9.0


def test_a_component_valid_over_the_whole_request_is_evaluated_on_the_request(facade, api):
    # Its window is the request's own: the intervals of the input that straddle the request's
    # start widen its timeline as build_timeline does, and nothing is cut.
    tariff = make_tariff(rate_component(2.0, applicable_from=utc(2020, 1, 1)))
    api.tariffs[tariff.id] = tariff
    start, end = utc(2025, 1, 1, 0, 10), utc(2025, 1, 1, 1)
    data = {CONSUMPTION: quarter_hours(utc(2025, 1, 1), utc(2025, 1, 1, 2), 1.0)}
    (cost,) = arun(facade.calculate_cost(tariff.id, start, end, data))
    assert sorted(cost.costs) == [utc(2025, 1, 1, 0, 15 * i) for i in range(4)]


def test_a_validity_window_starting_inside_an_interval_charges_by_interval_start(facade, api):
    tariff = make_tariff(
        rate_component(1.0, name="old", applicable_to=utc(2025, 1, 1, 0, 20)),
        rate_component(3.0, name="new", applicable_from=utc(2025, 1, 1, 0, 20)),
    )
    api.tariffs[tariff.id] = tariff
    start, end = utc(2025, 1, 1), utc(2025, 1, 1, 1)
    data = {CONSUMPTION: quarter_hours(start, end, 1.0)}
    old, new = arun(facade.calculate_cost(tariff.id, start, end, data))
    # An interval belongs to the price valid at its start: the change at 00:20 moves to the
    # request's next quarter-hour, and every interval is charged exactly once.
    assert old.costs == {utc(2025, 1, 1, 0, 0): 1.0, utc(2025, 1, 1, 0, 15): 1.0}
    assert new.costs == {utc(2025, 1, 1, 0, 30): 3.0, utc(2025, 1, 1, 0, 45): 3.0}


def test_a_cost_that_is_not_a_series_fails_the_assertion(facade, api, monkeypatch):
    tariff = make_tariff(rate_component(1.0))
    api.tariffs[tariff.id] = tariff

    class Engine:
        """The engine as the facade sees it, with a runner that files a list as the cost."""

        def __getattr__(self, name):
            return getattr(_engine, name)

        @staticmethod
        def run_pipeline(components, inputs, *, timeline):
            ctx = _engine.run_pipeline(components, inputs, timeline=timeline)
            ctx.all_series["cost"] = [1.0]
            return ctx

    monkeypatch.setattr(logic, "domain", Engine())
    data = {CONSUMPTION: quarter_hours(utc(2025, 1, 1), utc(2025, 1, 2))}
    with pytest.raises(AssertionError) as e:
        arun(facade.calculate_cost(tariff.id, utc(2025, 1, 1), utc(2025, 1, 2), data))
    assert e.value.args == ()
