"""Instants and windows at the edges of the nanosecond range: refused or handled, never wrapped."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest
from conftest import energy_tax_component

from ostrelpy.bindings import _engine as e

STHLM = "Europe/Stockholm"


def component(resolution="hourly", tz=STHLM):
    return energy_tax_component(tz, resolution)


def day_timeline():
    tz = e.timezone_from_str(STHLM)
    return e.Timeline.build(
        tz=tz,
        start_time=dt.datetime(2025, 1, 15, tzinfo=tz),
        end_time=dt.datetime(2025, 1, 16, tzinfo=tz),
        holidays=[],
    )


@pytest.mark.parametrize(
    ("unit", "per_second", "wrap"), [("s", 1, 2**55), ("ms", 10**3, 2**58), ("us", 10**6, 2**61)]
)
def test_an_instant_whose_scaling_wraps_onto_the_grid_is_no_period_start(unit, per_second, wrap):
    timeline = day_timeline()
    on_grid = int(timeline.get_as("hourly").as_unit("ns").asi8[3])
    # Scaled to nanoseconds in 64 bits, this lands exactly on a grid instant.
    far = on_grid // (10**9 // per_second) + wrap
    assert (far * (10**9 // per_second)) % 2**64 == on_grid % 2**64
    index = pd.DatetimeIndex(np.array([far], dtype=f"M8[{unit}]")).tz_localize("UTC")
    series = pd.Series([7.0], index=index, name="x")
    aligned = timeline.align_dataset(series, "hourly")
    assert len(aligned) == 24 and (aligned == 0.0).all()
    ctx = e.run_pipeline([component()], {component().datasets[0]: series}, timeline=timeline)
    assert ctx.all_series["y"].sum() == 0.0


def test_a_window_of_five_and_a_half_centuries_has_every_quarter_hour():
    utc = e.timezone_from_str("UTC")
    start = dt.datetime(1700, 1, 1, tzinfo=utc)
    end = dt.datetime(2260, 1, 1, tzinfo=utc)
    timeline = e.build_timeline([component(tz="UTC")], {}, [], start_time=start, end_time=end)
    years = timeline.get_as("yearly")
    assert len(years) == 560
    expected = pd.date_range("1700-01-01", "2259-01-01", freq="YS", tz="UTC")
    assert (years.as_unit("ns").asi8 == expected.as_unit("ns").asi8).all()
    grid = timeline.get_as("quarter_hourly")
    span = (pd.Timestamp(end) - pd.Timestamp(start)) // pd.Timedelta(minutes=15)
    assert len(grid) == span
    assert grid[-1] == pd.Timestamp(end) - pd.Timedelta(minutes=15)
