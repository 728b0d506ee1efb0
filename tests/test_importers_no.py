"""Norwegian grid-tariff API imports, billed by the engine and by hand from the answers."""

import copy
import json
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest
from conftest import quarter_hour_index
from test_importers_se import facade_bills

from ostrelpy.importers import TariffImportError, no

DATA = Path(__file__).with_name("data") / "no"
OSLO = ZoneInfo("Europe/Oslo")
NAME = "DiginGridTariffAPI.v1_0_meteringpointsgridtariffs_json_output_{}_example1.json"


def _answer(kind: str) -> dict:
    return json.loads((DATA / NAME.format(kind)).read_text())


def _whole_days(doc: dict) -> dict:
    """The answer with a whole Friday (cheap 22-06) and a whole Saturday (cheap all day), as
    an answer for those two days lists them; weekend prices in use."""
    doc = copy.deepcopy(doc)
    t = doc["gridTariffCollections"][0]["gridTariff"]
    t["tariffType"]["useWeekendPrices"] = True
    cheap, normal = (p["id"] for p in t["tariffPrice"]["priceInfo"]["energyPrices"])
    template = t["tariffPrice"]["hours"][0]
    hours = []
    for day, offset in ((17, 0), (18, 24)):
        for h in range(24):
            price = cheap if offset or h < 6 or h >= 22 else normal
            hour = copy.deepcopy(template)
            hour["startTime"] = f"2021-09-{day}T{h:02d}:00:00+02:00"
            hour["energyPrice"]["id"] = price
            hours.append(hour)
    t["tariffPrice"]["hours"] = hours
    return doc


def _load() -> pd.Series:
    index = quarter_hour_index("2021-10-01", "2022-01-01", OSLO)
    rng = np.random.default_rng(3)
    scale = index.month.map({10: 0.4, 11: 1.0, 12: 1.8}).to_numpy()  # peaks on several steps
    return pd.Series(rng.gamma(2.0, 0.35, len(index)) * scale, index)


LOAD = _load()


def _month(index: pd.DatetimeIndex) -> pd.PeriodIndex:
    return index.tz_localize(None).to_period("M")


def _hand_energy(load: pd.Series, cheap: float, normal: float) -> pd.Series:
    local = load.index
    night = (local.hour < 6) | (local.hour >= 22) | (local.day_of_week >= 5)
    return (load * np.where(night, cheap, normal)).groupby(_month(local)).sum()


def test_monthly_max_steps_and_day_night_prices(tmp_path, monkeypatch):
    doc = _whole_days(_answer("monthlymax"))
    (tariff,) = no(doc).tariffs
    ours = facade_bills(tariff, {"consumption": LOAD}, tmp_path, monkeypatch)
    info = doc["gridTariffCollections"][0]["gridTariff"]["tariffPrice"]["priceInfo"]
    cheap, normal = (p["totalExVat"] for p in info["energyPrices"])
    expected_energy = _hand_energy(LOAD, cheap, normal)
    np.testing.assert_allclose(ours["Energiledd"], expected_energy, rtol=1e-12)
    # The step holding the month's highest hour; valueMin inclusive, valueMax exclusive.
    peak = LOAD.resample("1h").sum().groupby(_month(LOAD.resample("1h").sum().index)).max()
    levels = info["fixedPrices"][0]["priceLevels"]

    def step(kw):
        (lv,) = [v for v in levels if v["valueMin"] <= kw < (v["valueMax"] or np.inf)]
        return lv["monthlyTotalExVat"]

    assert len({step(kw) for kw in peak}) == 3
    np.testing.assert_allclose(ours["Fastledd"], [step(kw) for kw in peak], rtol=1e-12)


@pytest.mark.parametrize("days, all_days", [(3, False), (None, True)])
def test_daily_max_steps(days, all_days, tmp_path, monkeypatch):
    doc = _whole_days(_answer("monthlymax"))
    t = doc["gridTariffCollections"][0]["gridTariff"]["tariffType"]
    t["fixedPriceConfiguration"].update(
        basis="dailymax", daysPerMonth=days, allDaysPerMonth=all_days
    )
    (tariff,) = no(doc, vat=True).tariffs
    ours = facade_bills(tariff, {"consumption": LOAD}, tmp_path, monkeypatch)["Fastledd"]
    hourly = LOAD.resample("1h").sum()
    daily = hourly.groupby(hourly.index.date).max()
    daily.index = pd.PeriodIndex(pd.to_datetime(daily.index), freq="M")
    basis = daily.groupby(level=0).apply(
        lambda d: d.mean() if all_days else d.nlargest(days).mean()
    )
    levels = doc["gridTariffCollections"][0]["gridTariff"]["tariffPrice"]["priceInfo"][
        "fixedPrices"
    ][0]["priceLevels"]
    hand = [
        next(v["monthlyTotal"] for v in levels if v["valueMin"] <= kw < (v["valueMax"] or np.inf))
        for kw in basis
    ]
    np.testing.assert_allclose(ours, hand, rtol=1e-12)


def test_fuse_sizes_give_one_tariff_each_and_power_prices(tmp_path, monkeypatch):
    fuses = no(_whole_days(_answer("fusesize"))).tariffs
    assert [t.name.rsplit("(", 1)[1] for t in fuses][:2] == ["Fuse size: 10 A)", "Fuse size: 17 A)"]
    assert len({t.id for t in fuses}) == len(fuses) == 8
    lsdn = _answer("LSDN")
    with pytest.raises(TariffImportError, match="reactivePowerPricing: reactive power"):
        no(lsdn)
    (tariff,) = no(lsdn, approximate=True).tariffs
    assert "Approximation: powerPriceConfiguration.reactivePowerPricing" in tariff.description
    ours = facade_bills(tariff, {"consumption": LOAD}, tmp_path, monkeypatch)
    hourly = LOAD.resample("1h").sum()
    peak = hourly.groupby(_month(hourly.index)).max()
    np.testing.assert_allclose(ours["Effektledd"], peak * 22.0, rtol=1e-12)  # kr/kW/month ex VAT
    np.testing.assert_allclose(ours["Fastledd"], 112.0)
    np.testing.assert_allclose(ours["Energiledd"], LOAD.groupby(_month(LOAD.index)).sum() * 0.2068)


def _broken(path: str, value) -> dict:
    doc = _whole_days(_answer("monthlymax"))
    node = doc["gridTariffCollections"][0]["gridTariff"]
    keys = path.split(".")
    for k in keys[:-1]:
        node = node[int(k)] if k.isdigit() else node[k]
    node[keys[-1]] = value
    return doc


LEVELS = "tariffPrice.priceInfo.fixedPrices.0.priceLevels"


@pytest.mark.parametrize(
    "doc, field, problem",
    [
        (_broken(f"{LEVELS}.1.valueMin", 2.5), "priceLevels[1].valueMin", "does not continue"),
        (_broken(f"{LEVELS}.2.valueMax", 3.0), "priceLevels[2].valueMax", "limit above"),
        (_broken(f"{LEVELS}.0.monthlyTotalExVat", None), "monthlyTotalExVat", "expected a number"),
        (_broken(f"{LEVELS}.0.currency", "SEK"), "currency", "expected NOK"),
        (_broken("tariffType.fixedPriceConfiguration.basis", "yearly"), "basis", "expected monthlymax"),
        (_broken("tariffPrice.hours.3.energyPrice.id", "nope"), "hours[3].energyPrice.id", "names no price"),
        (_broken("tariffPrice.hours.3.startTime", "03:00"), "hours[3].startTime", "date-time"),
        (_broken("tariffType.resolution", 30), "resolution", "15 or 60"),
    ],
)  # fmt: skip
def test_bad_fields_are_refused_by_name(doc, field, problem):
    with pytest.raises(TariffImportError) as err:
        no(doc)
    (line,) = err.value.reasons
    assert line.startswith("tariff 'Nettleie normal under 100MW': ")
    assert field in line and problem in line, line
