"""Shared fixtures and helpers of the test suite.

Plain helpers are imported by the test modules (``from conftest import dataset``); fixtures
are found by pytest.
"""

import asyncio
import copy
import datetime as dt
import json
import uuid
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest
from pydantic import ValidationError
from references import energy_tax_component  # noqa: F401 (the tests import it from here)

import ostrelpy
from ostrelpy import models
from ostrelpy.api_client import APIClient, holiday_occurrences
from ostrelpy.bindings import _engine, logic

e = _engine
STOCKHOLM = ZoneInfo("Europe/Stockholm")
CATALOGUE = Path(ostrelpy.__file__).with_name("catalogue")
SE_TARIFF = uuid.UUID("5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f")
NO_TARIFF = uuid.UUID("7a1d3f2c-1e4b-4d5a-8c6e-2f3a4b5c6d7e")
CONSUMPTION = models.Dataset(id="consumption", resolution="quarter_hourly", unit="kWh")
QUARTER = dt.timedelta(minutes=15)


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
    """The component of that name of the bundled catalogue's hand-written examples (not of
    the tariffs imported from published documents), as an engine record."""
    for path in sorted(CATALOGUE.glob("*.json")):
        tariff = json.loads(path.read_text(encoding="utf-8"))
        if (tariff.get("description") or "").startswith("Imported from"):
            continue
        for c in tariff["tariff_components"]:
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


# --- the facade: public records, a stand-in API client, caches -----------------------------


def stockholm(*args):
    from zoneinfo import ZoneInfo

    return dt.datetime(*args, tzinfo=ZoneInfo("Europe/Stockholm"))


def utc(*args):
    return dt.datetime(*args, tzinfo=dt.UTC)


def quarter_hours(start, end, value=1.0):
    """{interval start (UTC): value} for every quarter-hour in [start, end)."""
    out = {}
    t = start.astimezone(dt.UTC)
    end = end.astimezone(dt.UTC)
    i = 0
    while t < end:
        out[t] = value(i, t) if callable(value) else value
        t += QUARTER
        i += 1
    return out


def quarter_hour_index(start: str, end: str, tz) -> pd.DatetimeIndex:
    """The local quarter-hours of [start, end) (dates read in `tz`)."""
    return pd.date_range(pd.Timestamp(start, tz=tz), pd.Timestamp(end, tz=tz), freq="15min",
                         inclusive="left")  # fmt: skip


def dataset_dict(id="consumption", resolution="quarter_hourly", unit="kWh"):
    return {"id": id, "resolution": resolution, "unit": unit}


def rate_component(
    rate, *, name="Energy", applicable_from=None, applicable_to=None, tz="Europe/Stockholm"
):
    """A public component: consumption times a fixed rate, per quarter-hour."""
    return models.TariffComponent(
        id=uuid.uuid4(),
        name=name,
        applicable_from=applicable_from,
        applicable_to=applicable_to,
        timezone=tz,
        datasets=[dataset_dict()],
        functions=[
            {
                "type": "multiply",
                "left": dataset_dict(),
                "right": {"value": rate, "unit": "SEK_per_kWh"},
                "output": dataset_dict("cost", unit="SEK"),
            }
        ],
        cost=dataset_dict("cost", unit="SEK"),
    )


def monthly_peak_fee(power, peak, cost, price=35.0):
    """The functions of a fee of `price` SEK per kW of the month's highest `power`."""
    return [
        {
            "type": "aggregate",
            "input": power,
            "resolution": "monthly",
            "aggregation_function": "max",
            "output": peak,
        },
        {
            "type": "multiply",
            "left": peak,
            "right": {"value": price, "unit": "SEK_per_kW"},
            "output": cost,
        },
    ]


def make_tariff(*components, name="test tariff"):
    return models.Tariff(id=uuid.uuid4(), name=name, tariff_components=list(components))


class FakeAPI:
    """Stands in for the API client inside `logic`: serves tariffs by id (the bundled catalogue
    for unknown ids), computes holidays by rule, records every call, and can be told to
    suspend on an event or to raise."""

    def __init__(self):
        self.tariffs = {}
        self.calls = []
        self.gate = None  # an asyncio.Event to wait on in every call
        self.error = None  # an exception to raise after waiting
        self.cancelled = []
        self.holiday_answer = None  # replaces the computed occurrences when set
        api = self

        class Client:
            def __init__(self, api_key):
                self.api_key = api_key
                api.calls.append(("init", api_key))

            async def get_tariff(self, tariff_id):
                api.calls.append(("get_tariff", tariff_id))
                await api._wait("get_tariff")
                if tariff_id in api.tariffs:
                    return copy.deepcopy(api.tariffs[tariff_id])
                return await APIClient(api_key="k").get_tariff(tariff_id)

            async def list_holidays(self, *, start_year, end_year, holiday):
                api.calls.append(("list_holidays", start_year, end_year, list(holiday)))
                await api._wait("list_holidays")
                if api.holiday_answer is not None:
                    return api.holiday_answer
                return holiday_occurrences(start_year, end_year, holiday)

        self.Client = Client

    async def _wait(self, what):
        try:
            if self.gate is not None:
                await self.gate.wait()
        except asyncio.CancelledError:
            self.cancelled.append(what)
            raise
        if self.error is not None:
            raise self.error

    def count(self, what):
        return sum(1 for c in self.calls if c[0] == what)


@pytest.fixture
def clean_caches():
    logic._TARIFF_CACHE.clear()
    logic._HOLIDAY_CACHE.clear()
    yield
    logic._TARIFF_CACHE.clear()
    logic._HOLIDAY_CACHE.clear()


@pytest.fixture
def api(monkeypatch, clean_caches):
    fake = FakeAPI()
    monkeypatch.setattr(logic, "APIClient", fake.Client)
    return fake


@pytest.fixture
def facade(api):
    return logic.LogicBindings("test-key")


def arun(coro):
    """Await a facade coroutine to its result."""
    return asyncio.run(coro)


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


def _se_reference(kwh: pd.Series) -> dict[str, float]:
    """The bundled Swedish tariff computed with plain pandas, for a period without holidays."""
    local = kwh.tz_convert("Europe/Stockholm")
    weekday = local.index.day_of_week < 5
    day = weekday & (local.index.hour >= 7) & (local.index.hour < 19)
    hourly = local.resample("1h").sum()
    hourly = hourly[hourly.index.day_of_week < 5]
    peaks = hourly.groupby(hourly.index.strftime("%Y-%m")).apply(lambda h: h.nlargest(3).mean())
    days = len(np.unique(local.index.date))
    return {
        "Energiskatt": 0.439 * local.sum(),
        "Överföringsavgift": float((local * np.where(day, 0.6, 0.25)).sum()),
        "Effektavgift": 35.0 * float(peaks.sum()),
        "Abonnemangsavgift": 10.5 * days,
    }


@pytest.fixture(scope="session")
def se_reference():
    """The bundled Swedish example tariff in plain pandas: component name to total."""
    return _se_reference


# --- shared tariff pieces ------------------------------------------------------------------

# The holidays on which the bundled Swedish transfer fee charges its low price all day.
SE_TRANSFER_HOLIDAYS = [
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
]


def validated(attempts):
    """The records of the attempts that validate; an attempt may fail only with an ordinary
    error (what a fuzz test asks of every input)."""
    for attempt in attempts:
        try:
            record = attempt()
        except (ValidationError, TypeError, ValueError):
            continue
        yield record
