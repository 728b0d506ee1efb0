"""Compiled periods in the calendar's order: on both daylight-saving days of several zones, a
model whose consumption variables are fixed to known values costs, per interval, exactly what
`calculate_cost` gives for those values, for every block that groups or aligns periods and
for the blocks after them that pair their operands by position."""

import datetime as dt
import uuid
from zoneinfo import ZoneInfo

import numpy as np
import pytest
from conftest import CONSUMPTION, arun, dataset_dict, make_tariff
from solver_models import highs_model

from ostrelpy import models

QH, H = "quarter_hourly", "hourly"
PRICE = models.Dataset(id="price", resolution=H, unit="SEK_per_kWh")
FEE = models.Dataset(id="fee", resolution=H, unit="SEK")

# (zone, local day the clocks go forward, local day they go back)
ZONES = [
    ("Europe/Stockholm", dt.date(2025, 3, 30), dt.date(2025, 10, 26)),
    ("America/New_York", dt.date(2025, 3, 9), dt.date(2025, 11, 2)),
    ("Australia/Sydney", dt.date(2025, 10, 5), dt.date(2025, 4, 6)),
]
DAYS = [pytest.param(z, d, id=f"{z}-{d}") for z, *days in ZONES for d in days]


def kwh(id, resolution=QH):
    return dataset_dict(id, resolution)


def hourly_kwh():
    """Quarter-hours summed to hours."""
    return {
        "type": "aggregate",
        "input": kwh("consumption"),
        "resolution": H,
        "aggregation_function": "sum",
        "output": kwh("hourly", H),
    }


def priced(source, unit="kWh"):
    """An hourly series times the hourly price (operands paired by position)."""
    return {
        "type": "multiply",
        "left": dataset_dict(source, H, unit),
        "right": dataset_dict("price", H, "SEK_per_kWh"),
        "output": dataset_dict("cost", H, "SEK"),
    }


def peak(f):
    """The hour's maximum or minimum quarter-hour, as power."""
    return [
        {
            "type": "aggregate",
            "input": kwh("consumption"),
            "resolution": H,
            "aggregation_function": f,
            "output": kwh("hourly", H),
        },
        priced("hourly"),
    ]


def selected(kind, n):
    """The n highest or lowest quarter-hours of each hour, summed per hour and priced."""
    return [
        {
            "type": "select",
            "input": kwh("consumption"),
            "condition": {"type": kind, "n": n, "resolution": H},
            "output": kwh("kept"),
        },
        {"type": "aggregate", "input": kwh("kept"), "resolution": H}
        | {"aggregation_function": "sum", "output": kwh("kept_sum", H)},
        priced("kept_sum"),
    ]


PIPELINES = {
    "aggregate sum": [hourly_kwh(), priced("hourly")],
    "aggregate mean": [{**hourly_kwh(), "aggregation_function": "mean"}, priced("hourly")],
    "aggregate max": peak("max"),
    "aggregate min": peak("min"),
    "resample": [
        hourly_kwh(),
        {"type": "resample", "input": kwh("hourly", H), "resolution": QH, "output": kwh("qh")},
        {"type": "aggregate", "input": kwh("qh"), "resolution": H}
        | {"aggregation_function": "max", "output": kwh("back", H)},
        priced("back"),
    ],
    "select highest": selected("highest", 2),
    "select lowest": selected("lowest", 1),
    "lookup after aggregate": [
        hourly_kwh(),
        {
            "type": "lookup",
            "tier_selector": kwh("hourly", H),
            "boundaries": [1.0, 2.0, 3.0],
            "levels": [5.0, 7.0, 11.0, 13.0],
            "unit": "SEK",
            "output": dataset_dict("tier", H, "SEK"),
        },
        {
            "type": "add",
            "inputs": [dataset_dict("tier", H, "SEK"), dataset_dict("fee", H, "SEK")],
            "output": dataset_dict("cost", H, "SEK"),
        },
    ],
}


def component(zone, functions):
    inputs = [kwh("consumption"), PRICE.model_dump(mode="json"), FEE.model_dump(mode="json")]
    used = {o["id"] for f in functions for o in _operands(f)}
    return models.TariffComponent(
        id=uuid.uuid4(),
        name="ordered",
        timezone=zone,
        datasets=[d for d in inputs if d["id"] in used],
        functions=functions,
        cost=dataset_dict("cost", H, "SEK"),
    )


def _operands(function):
    for v in function.values():
        if isinstance(v, dict) and "id" in v:
            yield v
        if isinstance(v, list):
            yield from (x for x in v if isinstance(x, dict) and "id" in x)


def by_utc(costs):
    return {t.astimezone(dt.UTC): v for t, v in costs.items()}


@pytest.mark.parametrize("zone,day", DAYS)
@pytest.mark.parametrize("name", list(PIPELINES))
def test_compiled_costs_match_computed_on_daylight_saving_days(facade, api, zone, day, name):
    tz = ZoneInfo(zone)
    start = dt.datetime.combine(day, dt.time(), tz).astimezone(dt.UTC)
    end = dt.datetime.combine(day + dt.timedelta(days=1), dt.time(), tz).astimezone(dt.UTC)
    quarters = int((end - start) / dt.timedelta(minutes=15))
    assert quarters in (92, 100)
    rng = np.random.default_rng(quarters)
    load = rng.uniform(0.0, 1.0, quarters).round(3)
    qh = [start + i * dt.timedelta(minutes=15) for i in range(quarters)]
    hours = qh[::4]
    # Every hour a price of its own, so that a period paired with another hour's shows.
    data = {
        PRICE: {t: 10.0 * (i + 1) for i, t in enumerate(hours)},
        FEE: {t: 100.0 * (i + 1) for i, t in enumerate(hours)},
    }
    tariff = make_tariff(component(zone, PIPELINES[name]))
    api.tariffs[tariff.id] = tariff
    computed = arun(
        facade.calculate_cost(tariff.id, start, end, {**data, CONSUMPTION: dict(zip(qh, load))})
    )
    expected = by_utc(computed[0].costs)
    assert len(expected) == len(hours)
    for minimising in (True, False):
        h = highs_model()
        variables = {t: h.addVariable(lb=v, ub=v) for t, v in zip(qh, load)}
        compiled = arun(
            facade.add_to_highs_model(
                tariff.id, start, end, data, {CONSUMPTION: variables}, h, minimising_cost=minimising
            )
        )
        cost = by_utc(compiled[0].costs)
        objective = np.zeros(h.getNumCol())
        for v in cost.values():
            objective[v.index] += 1.0
        h.changeColsCost(len(objective), np.arange(len(objective), dtype=np.int32), objective)
        h.run()
        x = np.asarray(h.getSolution().col_value)
        got = {t: x[v.index] for t, v in cost.items()}
        assert got.keys() == expected.keys()
        for t in expected:
            assert got[t] == pytest.approx(expected[t], rel=1e-7, abs=1e-6), (t, minimising)
