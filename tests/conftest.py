"""Shared fixtures and helpers of the test suite.

Plain helpers are imported by the test modules (``from conftest import dataset``); fixtures
are found by pytest.
"""

import datetime as dt
import json
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest

import ostrelpy
from ostrelpy.bindings import _engine

e = _engine
STOCKHOLM = ZoneInfo("Europe/Stockholm")
CATALOGUE = Path(ostrelpy.__file__).with_name("catalogue")


@pytest.fixture(scope="session")
def engine():
    return _engine


# --- records -------------------------------------------------------------------------------


def dataset(id="x", resolution="hourly", unit="kWh"):
    """A Dataset record."""
    return e.Dataset(id=id, resolution=resolution, unit=unit)


def dataset_data(id="x", resolution="hourly", unit="kWh"):
    """A Dataset as plain data, as a caller's JSON would hold it."""
    return {"id": id, "resolution": resolution, "unit": unit}


def level_data(value=1.0, unit="kWh"):
    """A Level as plain data."""
    return {"value": value, "unit": unit}


def catalogue_component(name):
    """The bundled catalogue's component of that name, as an engine record."""
    for path in sorted(CATALOGUE.glob("*.json")):
        for c in json.loads(path.read_text(encoding="utf-8"))["tariff_components"]:
            if c["name"] == name:
                return e.TariffComponent.model_validate(c)
    raise LookupError(name)


# --- optimisation records ------------------------------------------------------------------

IDX3 = pd.date_range("2025-01-01", periods=3, freq="15min", tz="UTC")


def cont(start, lb, ub, index=IDX3):
    """Continuous variables from column `start` with the given bounds."""
    return e.VariableSeries.continuous(start, np.asarray(lb, float), np.asarray(ub, float), index)


def fields(**over):
    """The fields of a valid three-step VariableSeries, some replaced."""
    base = dict(
        cols=np.array([0, 1, 2]),
        lb=np.zeros(3),
        ub=np.ones(3),
        is_integer=np.zeros(3, dtype=bool),
        index=IDX3,
    )
    base.update(over)
    return base


# --- timelines and series ------------------------------------------------------------------


def local(y, m, d, h=0, tz=STOCKHOLM):
    return dt.datetime(y, m, d, h, tzinfo=tz)


def timeline(start, end, holidays=()):
    return e.Timeline.build(
        tz=start.tzinfo, start_time=start, end_time=end, holidays=list(holidays)
    )


def on(tl, resolution, values, name="x"):
    """A float series on the timeline's period starts of the resolution."""
    index = tl.get_as(resolution)
    return pd.Series(np.asarray(values, dtype=float), index=index, name=name)


def run(component, inputs, tl):
    """The component's cost series, evaluated by the engine's runner."""
    ctx = e.run_pipeline([component], inputs, timeline=tl)
    return ctx.all_series[component.cost.id]


@pytest.fixture(scope="module")
def day():
    """The timeline of one Stockholm Monday."""
    return timeline(local(2025, 6, 2), local(2025, 6, 3))


# --- compiled blocks -----------------------------------------------------------------------

H, D, KWH = e.Resolution.HOURLY, e.Resolution.DAILY, "kWh"


def stockholm_days(y=2025, m=3, d=30, days=1, hour=0, hours=None):
    """A Stockholm timeline from local y-m-d hour:00, for whole local days or some hours."""
    start = local(y, m, d, hour)
    length = dt.timedelta(hours=hours) if hours is not None else dt.timedelta(days=days)
    return timeline(start, start + length)


def partial_autumn():
    """13:00 the day before the clocks go back, for three days: days of 11, 25, 24, 13 hours."""
    return stockholm_days(2025, 10, 25, days=3, hour=13)


def variables(start, lb, ub, index):
    """Continuous variables over `index` from column `start`."""
    return e.VariableSeries.continuous(start, np.asarray(lb, float), np.asarray(ub, float), index)
