"""Swedish grid-tariff API imports, billed by the engine and by hand from the documents."""

import asyncio
import json
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest
from conftest import quarter_hour_index

import ostrelpy
from ostrelpy.bindings import logic
from ostrelpy.importers import TariffImportError, se

DATA = Path(__file__).with_name("data") / "se"
ZONE = ZoneInfo("Europe/Stockholm")
TV = json.loads((DATA / "tariffs-response_tekniska-verken.json").read_text())


def _year() -> pd.Series:
    """A household's quarter-hours from October 2024 to October 2025 (kWh)."""
    index = quarter_hour_index("2024-10-01", "2025-10-01", ZONE)
    rng = np.random.default_rng(7)
    hour = index.hour.to_numpy()
    evening = (hour >= 17) & (hour < 21)
    return pd.Series(
        rng.uniform(0.05, 0.5, len(index)) + 0.9 * evening * rng.random(len(index)), index
    )


ENERGY = _year()


def facade_bills(tariff, inputs: dict[str, pd.Series], folder: Path, monkeypatch) -> pd.DataFrame:
    """Cost per local month (rows) and component (columns) from the facade, which bills each
    component on its validity window; the tariff is read from a catalogue in `folder`."""
    folder.mkdir(exist_ok=True)
    (folder / f"{tariff.id}.json").write_text(tariff.model_dump_json())
    monkeypatch.setenv("OSTRELPY_CATALOGUE", str(folder))
    data = {}
    for c in tariff.tariff_components:
        for d in c.datasets:
            s = inputs[d.id]
            data[d] = dict(zip(s.index.tz_convert("UTC").to_pydatetime(), s.tolist()))
    first = next(iter(inputs.values())).index
    start, end = first[0].to_pydatetime(), (first[-1] + first.freq).to_pydatetime()
    facade = logic.LogicBindings("local")
    costs = asyncio.run(facade.calculate_cost(tariff.id, start, end, data, use_cache=False))
    zone = first.tz
    table = {}
    for cost in costs:
        s = pd.Series(cost.costs, dtype="float64").dropna()
        month = pd.DatetimeIndex(s.index).tz_convert(zone).tz_localize(None).to_period("M")
        table[cost.component.name] = s.groupby(month).sum()
    return pd.DataFrame(table).fillna(0.0)


def _in_period(index: pd.DatetimeIndex, c: dict) -> np.ndarray:
    """Where a component's recurring periods hold (these lists name hours only)."""
    periods = [a for r in c.get("recurringPeriods") or [] for a in r["activePeriods"]]
    if not periods:
        return np.ones(len(index), bool)
    minute = index.hour * 60 + index.minute
    out = np.zeros(len(index), bool)
    for a in periods:
        assert not a.get("calendarPatternReferences")
        lo, hi = (int(a[k][:2]) * 60 + int(a[k][3:5]) for k in ("fromIncluding", "toExcluding"))
        out |= (
            (minute >= lo) & (minute < hi)
            if lo < hi
            else (minute >= lo) | (minute < hi) | (lo == hi)
        )
    return out


def _valid(c: dict, month: pd.Period) -> bool:
    lo, hi = (pd.Period(c["validPeriod"][k][:7], "M") for k in ("fromIncluding", "toExcluding"))
    return lo <= month < hi  # these lists change prices on the first of a month


def _hand_bill(t: dict, energy: pd.Series) -> pd.Series:
    """The monthly bill from the document's own numbers, with pandas."""
    month = energy.index.tz_localize(None).to_period("M")
    bill = pd.Series(0.0, index=month.unique())
    fixed = t["fixedPrice"]
    fee = fixed["price"]["priceExVat"] / (12 if fixed["pricedPeriod"] == "P1Y" else 1)
    bill += [fee if _valid(fixed, m) else 0.0 for m in bill.index]
    for c in t["energyPrice"]["components"]:
        kwh = energy[_in_period(energy.index, c)].groupby(month[_in_period(energy.index, c)]).sum()
        bill += [
            kwh.get(m, 0.0) * c["price"]["priceExVat"] if _valid(c, m) else 0 for m in bill.index
        ]
    hourly = energy.resample("1h").sum()  # kWh in an hour = mean kW
    for c in t["powerPrice"]["components"]:
        s = c["peakIdentificationSettings"]
        assert (s["peakIdentificationPeriod"], s["peakDuration"]) == ("P1D", "PT1H")
        active = hourly[_in_period(hourly.index, c)]
        daily = active.groupby(active.index.tz_localize(None).date).max()
        by_month = daily.groupby(pd.PeriodIndex(pd.to_datetime(daily.index), freq="M"))
        n = s["numberOfPeaksForAverageCalculation"]
        peak = by_month.apply(lambda d, n=n: d.nlargest(n).mean())
        price = c["price"]["priceExVat"]
        bill += [peak[m] * price if _valid(c, m) else 0.0 for m in bill.index]
    return bill


def test_every_price_list_bills_as_computed_by_hand(tmp_path, monkeypatch):
    imported = se(TV)
    assert len(imported.tariffs) == 41 and all(r.endswith(": exact") for r in imported.report)
    shapes = set()
    for t, doc in zip(imported.tariffs, TV["tariffs"], strict=True):
        ours = facade_bills(t, {"consumption": ENERGY}, tmp_path, monkeypatch).sum(axis=1)
        expected = _hand_bill(doc, ENERGY)
        np.testing.assert_allclose(ours.to_numpy(), expected.to_numpy(), rtol=1e-12, atol=1e-9)
        shapes.add((doc["fixedPrice"]["pricedPeriod"], len(doc["powerPrice"]["components"])))
    assert len(shapes) >= 3  # monthly and yearly fees; two, four and six power components


@pytest.mark.parametrize("vat", [False, True])
def test_vat_and_calendar_patterns(vat):
    doc = json.loads((DATA / "tariffs-response.json").read_text())
    imported = se(doc, vat=vat, approximate=True)
    house = next(t for t in imported.tariffs if t.name.endswith("House 14kW"))
    assert ("including" if vat else "excluding") + " VAT" in house.description
    week = ENERGY["2025-01-06":"2025-01-12"]  # Monday to Sunday, then the 13th
    costs = ostrelpy.cost(house, week).total()
    raw = next(t for t in doc["tariffs"] if t["name"] == "House 14kW")
    key = "priceIncVat" if vat else "priceExVat"
    transfer, tax = (c["price"][key] for c in raw["energyPrice"]["components"])
    assert costs["Energy transfer fee"] == pytest.approx(week.sum() * transfer, rel=1e-12)
    assert costs["Energy tax"] == pytest.approx(week.sum() * tax, rel=1e-12)
    # Mean of the 5 highest daily peaks between 08 and 20, holidays (6 January here) excepted.
    hourly = week.resample("1h").sum()
    hourly = hourly[(hourly.index.hour >= 8) & (hourly.index.hour < 20) & (hourly.index.day != 6)]
    peaks = hourly.groupby(hourly.index.date).max().nlargest(5).mean()
    power = raw["powerPrice"]["components"][0]["price"][key]
    assert costs["Power prices 14kW: Power peak fee"] == pytest.approx(peaks * power, rel=1e-12)


def _tariff(**change) -> dict:
    t = json.loads(json.dumps(TV["tariffs"][0]))
    for path, value in change.items():
        node, keys = t, path.split("__")
        for k in keys[:-1]:
            node = node[int(k)] if k.isdigit() else node[k]
        node[keys[-1]] = value
    return {"tariffs": [t]}


@pytest.mark.parametrize(
    "doc, field, problem",
    [
        (_tariff(timeZone="Europe/Linkoping"), "timeZone", "unknown time zone"),
        (_tariff(fixedPrice__pricedPeriod="P2W"), "fixedPrice.components[0].pricedPeriod", "P1D, P1M or P1Y"),
        (_tariff(fixedPrice__price__priceExVat="124"), "price.priceExVat", "expected a number"),
        (_tariff(fixedPrice__price__currency="XBT"), "price.currency", "unknown currency"),
        (_tariff(energyPrice__components__0__validPeriod__toExcluding="2024-09-01"), "validPeriod.toExcluding", "not after"),
        (_tariff(energyPrice__components__0__recurringPeriods__0__activePeriods__0__fromIncluding="7am"), "fromIncluding", "expected a time"),
        (_tariff(powerPrice__components__0__peakIdentificationSettings__peakDuration="PT2H"), "peakDuration", "PT15M or PT1H"),
        (_tariff(powerPrice__components__0__peakIdentificationSettings__numberOfPeaksForAverageCalculation=0), "numberOfPeaks", "count"),
        (_tariff(energyPrice__unit="MWh"), "energyPrice.components[0].unit", "unknown unit"),
        ({"tariffs": {}}, "tariffs", "non-empty list"),
    ],
)  # fmt: skip
def test_bad_fields_are_refused_by_name(doc, field, problem):
    with pytest.raises(TariffImportError) as err:
        se(doc)
    (line,) = err.value.reasons
    assert line.startswith("tariff 'Prislista 16A standard'") or field == "tariffs"
    assert field in line and problem in line, line


def test_spot_following_energy_reads_a_price_dataset(tmp_path, monkeypatch):
    doc = _tariff()
    c = doc["tariffs"][0]["energyPrice"]["components"][0]
    c.update(type="spot", spotPriceSettings={"multiplier": 1.25, "currency": "SEK"})
    (t,) = se(doc).tariffs
    transfer = t.tariff_components[1]
    assert [d.id for d in transfer.datasets] == ["consumption", "spot_price"]
    day = ENERGY["2024-10-02"]
    spot = pd.Series(np.linspace(0.2, 1.4, 24), index=day.resample("1h").sum().index)
    costs = facade_bills(t, {"consumption": day, "spot_price": spot}, tmp_path, monkeypatch)
    hand = (day.resample("1h").sum() * (1.25 * spot + c["price"]["priceExVat"])).sum()
    assert costs[transfer.name].sum() == pytest.approx(hand, rel=1e-12)
