"""US rate database imports, billed by the engine and by PySAM's UtilityRate5.

PySAM reads the same file through its own converter and bills an 8,760-hour year that starts
on a Monday with no daylight-saving time, so the engine prices 2029 (a Monday start) in a
fixed-offset zone. Charges are compared month by month, except $/day fixed charges, which
PySAM spreads as 365/12 days a month: those are compared over the year.
"""

import copy
import json
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from pysam_peer import utilityrate5_run

import ostrelpy
from ostrelpy.bindings import _engine
from ostrelpy.importers import TariffImportError, urdb

DATA = Path(__file__).with_name("data") / "urdb"
SAMPLES = sorted(p.name for p in DATA.glob("*.json"))
ZONE = "UTC-05:00"
HOURS = 8760

pysam_rates = pytest.importorskip("PySAM.UtilityRateTools")
utilityrate5 = pytest.importorskip("PySAM.Utilityrate5")


def _rate(name: str) -> dict:
    doc = json.loads((DATA / name).read_text())
    return doc["items"][0] if "items" in doc else doc


def _profiles() -> dict[str, np.ndarray]:
    """Hourly kWh: a commercial load up to about 170 kW (crosses the 100 kW demand and
    20,000 kWh energy tiers) and a household with a few kWh a day (crosses 150 to 1,000 kWh
    tiers in some months and not in others)."""
    rng = np.random.default_rng(20)
    hour = np.arange(HOURS) % 24
    day = np.arange(HOURS) // 24
    season = 1 + 0.35 * np.cos(2 * np.pi * (day - 200) / 365)
    office = 25 + 110 * season * ((hour >= 8) & (hour < 19)) * (day % 7 < 5)
    home = 0.25 + 1.1 * season * ((hour >= 17) & (hour < 22)) + 0.4 * (hour < 7)
    return {
        "commercial": office * rng.uniform(0.8, 1.25, HOURS),
        "household": home * rng.uniform(0.3, 1.6, HOURS),
    }


PROFILES = _profiles()


def _pysam_bills(rate: dict, load: np.ndarray) -> dict[str, np.ndarray]:
    doc = copy.deepcopy(rate)
    for key in ("energyratestructure", "demandratestructure"):
        if key in doc:  # PySAM needs the same tier limits in every period: split at all of them
            doc[key] = _common_tiers(doc[key])
    if "mincharge" in doc:
        doc.setdefault("minchargeunits", "$/month")
    extra = {}
    # The older export's fields, which PySAM's converter does not read.
    if doc.get("fixedmonthlycharge"):
        extra["ur_monthly_fixed_charge"] = doc["fixedmonthlycharge"]
    if doc.get("minmonthlycharge"):
        extra["ur_monthly_min_charge"] = doc["minmonthlycharge"]
    if doc.get("annualmincharge"):
        extra["ur_annual_min_charge"] = doc["annualmincharge"]
    model = utilityrate5_run(
        utilityrate5, {**pysam_rates.URDBv8_to_ElectricityRates(doc), **extra}, load
    )
    out = model.Outputs
    names = {
        "Energy charge": "charge_w_sys_ec_ym",
        "Demand charge (time of use)": "charge_w_sys_dc_tou_ym",
        "Demand charge": "charge_w_sys_dc_fixed_ym",
        "Fixed charge": "charge_w_sys_fixed_ym",
        "Minimum": "charge_w_sys_minimum_ym",
    }
    return {k: np.array(getattr(out, v))[1] for k, v in names.items()}


def _common_tiers(structure: list) -> list:
    limits = sorted({t["max"] for p in structure for t in p[:-1] if "max" in t})
    out = []
    for period in structure:
        tiers, lower = [], 0.0
        for limit in [*limits, None]:
            above = [t for t in period if t.get("max") is None or t["max"] > lower]
            tier = dict(above[0] if above else period[-1])
            tier.pop("max", None)
            if limit is not None:
                tier["max"] = limit
            tiers.append(tier)
            lower = limit if limit is not None else lower
        out.append(tiers)
    return out


def _engine_bills(tariff, load: np.ndarray) -> pd.DataFrame:
    start = pd.Timestamp("2029-01-01", tz=_engine.timezone_from_str(ZONE))
    index = pd.date_range(start, periods=HOURS * 4, freq="15min")
    quarters = pd.Series(np.repeat(load / 4, 4), index=index)
    monthly = ostrelpy.cost(tariff, quarters).monthly()
    assert len(monthly) == 12
    return monthly


@pytest.mark.parametrize("profile", sorted(PROFILES))
@pytest.mark.parametrize("name", SAMPLES)
def test_bills_match_pysam_month_by_month(name, profile):
    rate = _rate(name)
    imported = urdb(rate, timezone=ZONE, approximate=True)
    (tariff,) = imported.tariffs
    ours = _engine_bills(tariff, PROFILES[profile])
    theirs = _pysam_bills(rate, PROFILES[profile])
    compared = 0
    for component in ours.columns.drop("total"):
        mine = ours[component].to_numpy()
        if component.endswith("inimum charge"):
            key = "Minimum"
            mine = ours[[c for c in ours.columns if c.endswith("inimum charge")]].sum(axis=1)
        else:
            key = component
        if rate.get("fixedchargeunits") == "$/day" and component == "Fixed charge":
            np.testing.assert_allclose(mine.sum(), theirs[key].sum(), rtol=0, atol=1e-6)
        elif key == "Minimum":
            np.testing.assert_allclose(np.sum(mine), theirs[key].sum(), rtol=0, atol=1e-6)
        else:
            np.testing.assert_allclose(mine, theirs[key], rtol=0, atol=1e-6, err_msg=component)
        compared += 1
    assert compared >= 2
    # Nothing PySAM bills is missing from the import.
    for key, values in theirs.items():
        if np.abs(values).sum() > 0:
            assert key in ours.columns or key == "Minimum", key


@pytest.mark.parametrize(
    "name, change",
    [
        ("fixture_pysam_urdbv7.json", {"minmonthlycharge": 160.0, "annualmincharge": 0}),
        ("fixture_pysam_urdbv7.json", {"minmonthlycharge": 0, "annualmincharge": 2500.0}),
        ("fixture_hpxml_sample_tiered_time_of_use_rate.json", {"mincharge": 45.0}),
        ("jackson_emc_A_senior_5a0b2804.json", {"mincharge": 700, "minchargeunits": "$/year"}),
    ],
)
def test_minimum_charges_match_pysam(name, change):
    # Household bills fall below these minimums in some months and not in others.
    rate = {**_rate(name), "minchargeunits": "$/month", **change}
    (tariff,) = urdb(rate, timezone=ZONE, approximate=True).tariffs
    ours = _engine_bills(tariff, PROFILES["household"])
    theirs = _pysam_bills(rate, PROFILES["household"])["Minimum"]
    assert theirs.sum() > 1 and (theirs == 0).any()
    if "Minimum charge" in ours:
        np.testing.assert_allclose(ours["Minimum charge"], theirs, rtol=0, atol=1e-6)
    else:  # the annual minimum is billed once a year (PySAM files it in December)
        np.testing.assert_allclose(ours["Annual minimum charge"].sum(), theirs.sum(), atol=1e-6)


def _with(name: str, **change) -> dict:
    return {**_rate(name), **change}


TOU = "fixture_hpxml_sample_tiered_time_of_use_rate.json"
ROWS = _rate(TOU)["energyweekdayschedule"]


@pytest.mark.parametrize(
    "rate, field, problem",
    [
        (_with(TOU, energyweekdayschedule=ROWS[:11]), "energyweekdayschedule", "12 months"),
        (_with(TOU, energyweekendschedule=[r[:23] for r in ROWS]), "energyweekendschedule[0]", "24"),
        (_with(TOU, energyweekdayschedule=[[2] * 24] * 12), "energyweekdayschedule[0][0]", "period"),
        (_with(TOU, energyweekdayschedule=[["x"] * 24] * 12), "[0][0]", "expected a number"),
        (
            _with(TOU, energyratestructure=[[{"rate": 0.1, "max": 300}, {"rate": 0.2, "max": 200}, {"rate": 0.3}]] * 2),
            "energyratestructure[0][1].max",
            "ascend",
        ),
        (_with(TOU, energyratestructure=[[{"rate": 0.1, "unit": "therm"}]] * 2), ".unit", "unknown unit"),
        (_with(TOU, energyratestructure=[[{"adj": 0.1}]] * 2), "energyratestructure[0][0]", "rate"),
        (_with(TOU, fixedchargeunits="$/week"), "fixedchargeunits", "unknown unit"),
        (_with(TOU, startdate="next spring"), "startdate", "expected Unix seconds"),
        (_with("fpl_gsldt1_6776f983.json", demandwindow=30, dgrules=None), "demandwindow", "15 or 60 minutes"),
        ({"items": []}, "items", "exactly one rate"),
        ([1, 2], "rate", "JSON object"),
    ],
)  # fmt: skip
def test_bad_fields_are_refused_by_name(rate, field, problem):
    with pytest.raises(TariffImportError) as err:
        urdb(rate, timezone=ZONE)
    (line,) = err.value.reasons
    assert field in line and problem in line, line


def test_inexpressible_features_are_refused_or_left_out_by_name():
    rate = _rate("fixture_reopt_subhourly_urdb_response.json")
    with pytest.raises(TariffImportError) as err:
        urdb({**rate, "lookbackpercent": 0.8}, timezone=ZONE)
    assert [r.split(": ")[1] for r in err.value.reasons] == [
        "energyratestructure sell",
        "dgrules",
        "lookbackpercent/lookbackrange",
    ]
    (tariff,) = urdb(rate, timezone=ZONE, approximate=True).tariffs
    assert "left out: energyratestructure sell" in tariff.description
    with pytest.raises(TariffImportError, match="unknown time zone"):
        urdb(rate, timezone="Mars/Olympus", approximate=True)


def _tier_units(unit: str, limits: tuple[float, float]) -> dict:
    rate = copy.deepcopy(_rate("jackson_emc_A_senior_5a0b2804.json"))
    for period in rate["energyratestructure"]:
        for tier in period:
            tier["unit"] = unit
        period[0]["max"], period[1]["max"] = limits
    return rate


@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_hours_use_tiers_match_pysam(profile):
    # Tier limits in kWh per kW of the month's demand.
    rate = _tier_units("kWh/kW", (150, 300))
    (tariff,) = urdb(rate, timezone=ZONE, approximate=True).tariffs
    ours = _engine_bills(tariff, PROFILES[profile])["Energy charge"]
    theirs = _pysam_bills(rate, PROFILES[profile])["Energy charge"]
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=1e-6)


def test_daily_tiers_are_limits_on_each_day():
    # PySAM stretches daily limits over the month; the rate database means each day's energy.
    rate = _tier_units("kWh daily", (5, 12))
    (tariff,) = urdb(rate, timezone=ZONE, approximate=True).tariffs
    load = PROFILES["household"]
    ours = _engine_bills(tariff, load)["Energy charge"]
    days = load.reshape(365, 24).sum(axis=1)
    month = pd.date_range("2029-01-01", periods=365, freq="D").month.to_numpy() - 1
    hand = np.zeros(12)
    for e, m in zip(days, month, strict=True):
        (period,) = {rate["energyweekdayschedule"][m][0], rate["energyweekendschedule"][m][0]}
        tiers, lower = rate["energyratestructure"][period], 0.0
        for tier in tiers:
            upper = tier.get("max", np.inf) if tier is not tiers[-1] else np.inf
            hand[m] += tier["rate"] * min(max(e - lower, 0.0), upper - lower)
            lower = upper
    np.testing.assert_allclose(ours, hand, rtol=1e-12)
