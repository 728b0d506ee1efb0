"""The optimiser's cost is the bill: a battery scheduled against a tariff compiled into HiGHS
has, at the optimum, an objective equal to what `calculate_cost` charges for the planned grid
import, for every bundled tariff and for generated tariffs that put every block under
positive and negative prices, in the direction-aware form and in the exact form alike."""

import datetime as dt
import json
import uuid
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest
from conftest import CATALOGUE, CONSUMPTION, arun, dataset_dict, make_tariff, timeline
from solver_models import highs_model

from ostrelpy import models
from ostrelpy.bindings import _engine as e
from ostrelpy.cli_schedule import Battery, add_battery

STOCKHOLM = ZoneInfo("Europe/Stockholm")


def _divides_by_a_series(path):
    """Tiers priced by dividing by the period's own energy (imported block tiers) have no
    linear form: such a tariff cannot be compiled at all."""
    data = json.loads(path.read_text(encoding="utf-8"))
    return any(
        f["type"] == "divide" and "resolution" in f["denominator"]
        for c in data["tariff_components"]
        for f in c["functions"]
    )


PATHS = sorted(CATALOGUE.glob("*.json"))
BUNDLED = [uuid.UUID(p.stem) for p in PATHS if not _divides_by_a_series(p)]
NONLINEAR = [uuid.UUID(p.stem) for p in PATHS if _divides_by_a_series(p)]
DAYS = [dt.date(2025, 1, 15), dt.date(2025, 3, 30), dt.date(2025, 10, 26)]


def kwh(id, resolution="hourly"):
    return dataset_dict(id, resolution)


def sek(id, resolution="hourly"):
    return dataset_dict(id, resolution, "SEK")


def level(value, unit="kWh"):
    return {"value": value, "unit": unit}


def times(source, price, resolution="hourly", unit="SEK_per_kWh"):
    """The last step: a kWh series times a price (a level, or the spot series)."""
    right = dataset_dict("spot", resolution, unit) if price == "spot" else level(price, unit)
    return {
        "type": "multiply",
        "left": kwh(source, resolution),
        "right": right,
        "output": sek("cost", resolution),
    }


HOURLY = {
    "type": "aggregate",
    "input": kwh("consumption", "quarter_hourly"),
    "resolution": "hourly",
    "aggregation_function": "sum",
    "output": kwh("h"),
}


def daily(f, source="h"):
    return {
        "type": "aggregate",
        "input": kwh(source),
        "resolution": "daily",
        "aggregation_function": f,
        "output": kwh("d", "daily"),
    }


def step(kind, **fields):
    return {"type": kind, "input": kwh("h"), "output": kwh("b"), **fields}


def pipeline(name, price):
    """Hourly energy through one block, then priced; `price` may be negative or "spot"."""
    if name in ("max", "min", "sum"):
        return [daily(name), times("d", price, "daily")]
    if name == "lookup":
        s = 1.0 if price == "spot" else np.sign(price)
        lookup = {
            "type": "lookup",
            "tier_selector": kwh("d", "daily"),
            "boundaries": [0.2, 0.5],
            "levels": [s * 1.0, s * 3.0, s * 8.0],
            "unit": "SEK",
            "output": sek("cost", "daily"),
        }
        return [daily("max"), lookup]
    blocks = {
        "clip-min": step("clip", minimum=level(0.3)),
        "clip-max": step("clip", maximum=level(0.4)),
        "clip-both": step("clip", minimum=level(0.2), maximum=level(0.4)),
        "highest": step("select", condition={"type": "highest", "n": 2, "resolution": "daily"}),
        "lowest": step("select", condition={"type": "lowest", "n": 2, "resolution": "daily"}),
        "mask": step(
            "mask",
            condition={"type": "time_of_day", "from_time": "07:00", "to_time": "19:00"},
            replacement=level(0.25),
        ),
        "subtract": {
            "type": "subtract",
            "left": level(0.5),
            "right": kwh("h"),
            "output": kwh("b"),
        },
        "add": {"type": "add", "inputs": [kwh("h"), level(0.1)], "output": kwh("b")},
    }
    if name in ("highest", "lowest"):
        # A compiled value selection is its n slots per period: priced through their sum.
        return [blocks[name], daily("sum", "b"), times("d", price, "daily")]
    if name == "resample":
        back = {"type": "resample", "input": kwh("d", "daily"), "resolution": "hourly"}
        return [daily("sum"), back | {"output": kwh("b")}, times("b", price)]
    return [blocks[name], times("b", price)]


BLOCKS = [
    "max",
    "min",
    "sum",
    "lookup",
    "clip-min",
    "clip-max",
    "clip-both",
    "highest",
    "lowest",
    "mask",
    "subtract",
    "add",
    "resample",
]


def generated(name, price):
    functions = [HOURLY, *pipeline(name, price)]
    datasets = [kwh("consumption", "quarter_hourly")]
    if price == "spot" and name != "lookup":
        datasets.append(functions[-1]["right"])
    return models.TariffComponent(
        id=uuid.uuid4(),
        name=f"{name} {price}",
        timezone="Europe/Stockholm",
        datasets=datasets,
        functions=functions,
        cost=functions[-1]["output"],
    )


def day_window(day):
    start = dt.datetime.combine(day, dt.time(), STOCKHOLM).astimezone(dt.UTC)
    end = dt.datetime.combine(day + dt.timedelta(days=1), dt.time(), STOCKHOLM)
    return start, end.astimezone(dt.UTC)


def schedule(facade, tariff_id, start, end, data, minimising):
    """The battery's optimum against the tariff: the objective and the bill of its grid import,
    per component."""
    import highspy

    quarters = pd.date_range(start, end, freq="15min", inclusive="left")
    rng = np.random.default_rng(len(quarters))
    load = rng.uniform(0.0, 0.6, len(quarters)).round(3)
    h = highs_model()
    h.setOptionValue("mip_rel_gap", 0.0)
    cols = add_battery(h, load, Battery(capacity=2.0, power=1.0, efficiency=0.95, initial=0.5))
    stamps = quarters.to_pydatetime()
    grid = {t: highspy.highs.highs_var(int(c), h) for t, c in zip(stamps, cols.grid)}
    compiled = arun(
        facade.add_to_highs_model(
            tariff_id, start, end, data, {CONSUMPTION: grid}, h, minimising_cost=minimising
        )
    )
    cost = np.zeros(h.getNumCol())
    for c in compiled:
        for v in c.costs.values():
            if not isinstance(v, float):
                cost[v.index] += 1.0
    h.changeColsCost(len(cost), np.arange(len(cost), dtype=np.int32), cost)
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    x = np.asarray(h.getSolution().col_value)
    objective = [
        sum(v if isinstance(v, float) else x[v.index] for v in c.costs.values()) for c in compiled
    ]
    imported = dict(zip(stamps, np.maximum(x[cols.grid], 0.0).tolist()))
    billed = arun(facade.calculate_cost(tariff_id, start, end, {**data, CONSUMPTION: imported}))
    # A period with nothing to price (no weekday in a weekday peak fee) bills NaN: nothing.
    return np.array(objective), np.array([np.nansum(list(c.costs.values())) for c in billed])


def assert_is_the_bill(facade, tariff_id, start, end, data):
    both = []
    for minimising in (True, False):
        objective, bill = schedule(facade, tariff_id, start, end, data, minimising)
        np.testing.assert_allclose(objective, bill, rtol=1e-6, atol=1e-6)
        both.append(objective.sum())
    assert both[0] == pytest.approx(both[1], rel=1e-6, abs=1e-6)


@pytest.mark.parametrize("day", DAYS, ids=str)
@pytest.mark.parametrize("tariff_id", BUNDLED, ids=lambda t: str(t)[:8])
def test_bundled_tariffs_objective_is_the_bill(facade, tariff_id, day):
    start, end = day_window(day)
    assert_is_the_bill(facade, tariff_id, start, end, {})


@pytest.mark.parametrize("tariff_id", NONLINEAR, ids=lambda t: str(t)[:8])
def test_a_tariff_without_a_linear_form_is_refused_by_name(facade, tariff_id):
    start, end = day_window(DAYS[0])
    with pytest.raises(NotImplementedError, match="Division by a variable is nonlinear"):
        assert_is_the_bill(facade, tariff_id, start, end, {})


@pytest.mark.parametrize("price", [2.0, -2.0, "spot"])
@pytest.mark.parametrize("name", BLOCKS)
def test_generated_tariffs_objective_is_the_bill(facade, api, name, price):
    if name == "lookup" and price == "spot":
        pytest.skip("a lookup's levels are its prices")
    start, end = day_window(DAYS[0])
    tariff = make_tariff(generated(name, price))
    api.tariffs[tariff.id] = tariff
    data = {}
    if price == "spot":
        spot = models.Dataset(**tariff.tariff_components[0].datasets[1].model_dump())
        step = "h" if spot.resolution == "hourly" else "D"
        local = start.astimezone(STOCKHOLM), end.astimezone(STOCKHOLM)
        when = pd.date_range(*local, freq=step, inclusive="left").tz_convert("UTC")
        # Prices of both signs: no block's direction can be told from them.
        prices = np.linspace(-1.0, 2.0, len(when)) if len(when) > 1 else [-1.0]
        data[spot] = {t: float(p) for t, p in zip(when.to_pydatetime(), prices)}
    assert_is_the_bill(facade, tariff.id, start, end, data)


# -- the decision -----------------------------------------------------------------------------


def decide(name, price, spot=None):
    component = e.TariffComponent.model_validate(
        generated(name, price).model_dump(mode="json") | {"id": str(uuid.uuid4())}
    )
    index = pd.date_range("2025-01-15", periods=96, freq="15min", tz="UTC")
    inputs = {}
    for d in component.datasets:
        if d.id == "consumption":
            inputs[d] = e.VariableSeries.continuous(0, np.zeros(96), np.ones(96), index)
        else:
            hourly = d.resolution.value == "hourly"
            values = spot if hourly else np.asarray(spot)[[0, -1]]
            inputs[d] = pd.Series(values, index=index[:: 96 // len(values)][: len(values)])
    return e.convex_when_minimised(component, inputs)


@pytest.mark.parametrize(
    "name, positive, negative",
    [
        ("max", True, False),
        ("min", False, True),
        ("sum", True, True),
        ("lookup", True, False),  # levels rising, or falling under the negative price
        ("clip-min", True, False),
        ("clip-max", False, True),
        ("clip-both", False, False),
        ("highest", True, False),
        ("lowest", False, True),
        ("mask", True, True),
        ("subtract", True, True),
        ("add", True, True),
        ("resample", True, True),
    ],
)
def test_linear_forms_only_where_the_cost_direction_makes_them_exact(name, positive, negative):
    assert decide(name, 2.0) is positive
    assert decide(name, -2.0) is negative
    if name == "lookup":
        return  # its levels are its prices
    # A price series decides by its signs; one of both signs leaves only the exact form.
    assert decide(name, "spot", np.full(24, 0.5)) is positive
    assert decide(name, "spot", np.linspace(-1, 1, 24)) is (positive and negative)


def test_subtracted_maximum_needs_the_exact_form():
    component = generated("max", 2.0).model_dump(mode="json")
    component["functions"][-1:] = [
        {"type": "subtract", "left": level(5.0), "right": kwh("d", "daily")}
        | {"output": kwh("r", "daily")},
        times("r", 2.0, "daily"),
    ]
    component = e.TariffComponent.model_validate(component)
    index = pd.date_range("2025-01-15", periods=96, freq="15min", tz="UTC")
    x = e.VariableSeries.continuous(0, np.zeros(96), np.ones(96), index)
    assert e.convex_when_minimised(component, {component.datasets[0]: x}) is False


def test_bundled_components_keep_the_linear_forms():
    for path in (p for p in PATHS if not _divides_by_a_series(p)):
        for c in json.loads(path.read_text(encoding="utf-8"))["tariff_components"]:
            component = e.TariffComponent.model_validate(c)
            index = pd.date_range("2025-01-15", periods=4, freq="15min", tz="UTC")
            x = e.VariableSeries.continuous(0, np.zeros(4), np.ones(4), index)
            assert e.convex_when_minimised(component, dict.fromkeys(component.datasets, x))


# -- tiers at their boundaries ----------------------------------------------------------------

BOUNDARIES = [-3.0, 0.0, 2.0, 1000.0]
LEVELS = {"rising": [1.0, 2.0, 4.0, 7.0, 11.0], "falling": [11.0, 7.0, 4.0, 2.0, 1.0]}


def tier_level(levels, x):
    return levels[int(np.searchsorted(BOUNDARIES, x, side="right"))]


@pytest.mark.parametrize("order", list(LEVELS))
@pytest.mark.parametrize("sense", ["min", "max"])
@pytest.mark.parametrize("where", ["on", "below", "above", "pushed up", "pushed down"])
def test_lookup_gives_the_computed_level_at_every_boundary(order, sense, where):
    """A selector forced onto each boundary (or just beside it, or pushed against it by a small
    cost) takes the level compute gives it, whichever way the level is optimised."""
    import highspy

    levels = LEVELS[order]
    lookup = e.Lookup(
        tier_selector=e.Dataset(id="x", resolution="hourly", unit="kWh"),
        levels=levels,
        boundaries=BOUNDARIES,
        unit="SEK",
        output=e.Dataset(id="o", resolution="hourly", unit="SEK"),
    )
    tl = timeline(
        dt.datetime(2025, 1, 15, tzinfo=dt.UTC), dt.datetime(2025, 1, 15, 1, tzinfo=dt.UTC)
    )
    for b in BOUNDARIES:
        h = highs_model()
        h.setOptionValue("mip_rel_gap", 0.0)
        var = h.addVariable(lb=-2000.0, ub=2000.0)
        adapter = e.HighsAdapter(h)
        stamp = dt.datetime(2025, 1, 15, tzinfo=dt.UTC)
        x = adapter.to_series({stamp: var})
        block = lookup.compile(tl, h.getNumCol(), False, tier_selector=x)
        adapter.add_blocks([block])
        push = 0.0
        if where in ("on", "below", "above"):
            at = {"on": b, "below": b - 0.01, "above": b + 0.01}[where]
            h.addConstr(var == at)
        else:
            # The selector kept near the boundary and nudged towards it from the other side.
            h.addConstr(var >= b - 0.5)
            h.addConstr(var <= b + 0.5)
            push = 1e-3 if where == "pushed down" else -1e-3
        out = int(block.output.cols[0])
        sign = 1.0 if sense == "min" else -1.0
        h.changeColsCost(2, np.array([var.index, out], dtype=np.int32), np.array([push, sign]))
        h.run()
        assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
        solution = np.asarray(h.getSolution().col_value)
        assert solution[out] == pytest.approx(tier_level(levels, solution[var.index])), b
