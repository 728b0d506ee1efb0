"""The bundled catalogue and holiday rules, checked against independent references: the
`holidays` package for the official days of Sweden and Norway, pandas for the tariffs."""

import datetime as dt
import json
import uuid

import holidays as reference
import numpy as np
import pandas as pd
import pytest
from conftest import CONSUMPTION, NO_TARIFF, arun, quarter_hours, stockholm

from ostrelpy.api_client import BUNDLED_CATALOGUE, APIClient, holiday_occurrences
from ostrelpy.models import Holiday

YEARS = range(2024, 2031)
SE_CHANGES = uuid.UUID("3c9e1f4a-2b6d-4e8f-9a1c-5d7e8f9a0b1c")

# Official days by their names in the reference (Swedish and Norwegian spellings).
SE_OFFICIAL = {
    Holiday.SE_NYARSDAGEN: "Nyårsdagen",
    Holiday.SE_TRETTONDEDAG_JUL: "Trettondedag jul",
    Holiday.SE_LANGFREDAGEN: "Långfredagen",
    Holiday.SE_PASKDAGEN: "Påskdagen",
    Holiday.SE_ANNANDAG_PASK: "Annandag påsk",
    Holiday.SE_FORSTA_MAJ: "Första maj",
    Holiday.SE_KRISTI_HIMMELSFARD: "Kristi himmelsfärdsdag",
    Holiday.SE_NATIONALDAGEN: "Nationaldagen",
    Holiday.SE_JULDAGEN: "Juldagen",
    Holiday.SE_ANNANDAG_JUL: "Annandag jul",
}
# Eves and the like, by their rule: the day before an official day of the reference.
SE_DAY_BEFORE = {
    Holiday.SE_TRETTONDAGSAFTON: "Trettondedag jul",
    Holiday.SE_SKARTORSDAGEN: "Långfredagen",
    Holiday.SE_PASKAFTON: "Påskdagen",
    Holiday.SE_PINGSTAFTON: "Pingstdagen",
    Holiday.SE_MIDSOMMARAFTON: "Midsommardagen",
    Holiday.SE_ALLHELGONAAFTON: "Alla helgons dag",
    Holiday.SE_JULAFTON: "Juldagen",
}
NO_OFFICIAL = {
    Holiday.NO_FORSTE_NYTTARSDAG: "Første nyttårsdag",
    Holiday.NO_SKJARTORSDAG: "Skjærtorsdag",
    Holiday.NO_LANGFREDAG: "Langfredag",
    Holiday.NO_FORSTE_PASKEDAG: "Første påskedag",
    Holiday.NO_ANDRE_PASKEDAG: "Andre påskedag",
    Holiday.NO_ARBEIDERNES_DAG: "Arbeidernes dag",
    Holiday.NO_KRISTI_HIMMELFARTSDAG: "Kristi himmelfartsdag",
    Holiday.NO_GRUNNLOVSDAG: "Grunnlovsdag",
    Holiday.NO_FORSTE_PINSEDAG: "Første pinsedag",
    Holiday.NO_ANDRE_PINSEDAG: "Andre pinsedag",
    Holiday.NO_FORSTE_JULEDAG: "Første juledag",
    Holiday.NO_ANDRE_JULEDAG: "Andre juledag",
}


def reference_dates(country, language, name):
    days = reference.country_holidays(country, years=YEARS, language=language)
    return sorted(d for d, n in days.items() if name in n.split("; "))


def rule_dates(holiday):
    return [o.date for o in holiday_occurrences(YEARS[0], YEARS[-1], [holiday])]


@pytest.mark.parametrize(
    "holiday, country, language, name",
    [(h, "SE", "sv", n) for h, n in SE_OFFICIAL.items()]
    + [(h, "NO", "no", n) for h, n in NO_OFFICIAL.items()],
)
def test_official_days_match_the_reference(holiday, country, language, name):
    expected = reference_dates(country, language, name)
    assert len(expected) == len(YEARS)
    assert rule_dates(holiday) == expected


@pytest.mark.parametrize("holiday, name", SE_DAY_BEFORE.items())
def test_swedish_eves_are_the_day_before(holiday, name):
    expected = [d - dt.timedelta(days=1) for d in reference_dates("SE", "sv", name)]
    assert rule_dates(holiday) == expected


def test_new_years_eve_and_the_weekday_rules():
    assert rule_dates(Holiday.SE_NYARSAFTON) == [dt.date(y, 12, 31) for y in YEARS]
    for h in (Holiday.SE_MIDSOMMARAFTON, Holiday.SE_ALLHELGONAAFTON):
        assert {d.weekday() for d in rule_dates(h)} == {4}  # always a Friday
    assert all(o.timezone == "Europe/Oslo" for o in holiday_occurrences(2025, 2025, NO_OFFICIAL))


@pytest.mark.parametrize("path", sorted(BUNDLED_CATALOGUE.glob("*.json")), ids=lambda p: p.stem)
def test_every_bundled_tariff_validates_through_the_facade(facade, path):
    tariff_id = uuid.UUID(path.stem)
    assert json.loads(path.read_text(encoding="utf-8"))["id"] == str(tariff_id)
    start, end = stockholm(2025, 1, 1), stockholm(2027, 1, 1)
    components = arun(facade._get_active_components(tariff_id, start, end, use_cache=False))
    assert components


def test_the_swedish_price_changes_meet_exactly():
    tariff = arun(APIClient(api_key="k").get_tariff(SE_CHANGES))
    by_name = {}
    for c in tariff.tariff_components:
        by_name.setdefault(c.name, []).append(c)
    for name in ("Energiskatt", "Överföringsavgift"):
        old, new = by_name[name]
        assert old.applicable_to == new.applicable_from and new.applicable_to is None
    assert by_name["Energiskatt"][1].applicable_from == stockholm(2026, 1, 1)
    assert by_name["Överföringsavgift"][1].applicable_from == stockholm(2025, 4, 1)


def test_a_year_across_both_changes_charges_each_interval_once(facade):
    start, end = stockholm(2025, 3, 1), stockholm(2026, 3, 1)
    data = {CONSUMPTION: quarter_hours(start, end, 1.0)}
    costs = arun(facade.calculate_cost(SE_CHANGES, start, end, data))
    names = [c.component.name for c in costs]
    assert names == ["Energiskatt"] * 2 + ["Överföringsavgift"] * 2 + [
        "Effektavgift",
        "Abonnemangsavgift",
    ]
    tax_old, tax_new, fee_old, fee_new = (c.costs for c in costs[:4])
    n = len(data[CONSUMPTION])
    assert len(tax_old) + len(tax_new) == n and len(fee_old) + len(fee_new) == n
    assert max(tax_old) < stockholm(2026, 1, 1) <= min(tax_new)
    assert max(fee_old) < stockholm(2025, 4, 1) <= min(fee_new)
    assert set(tax_old.values()) == {0.439} and set(tax_new.values()) == {0.36}
    assert set(fee_old.values()) == {0.25, 0.6} and set(fee_new.values()) == {0.28, 0.66}
    assert len(costs[5].costs) == 365


def test_the_norwegian_energy_part_follows_oslo_time_and_holidays(facade):
    # Easter week 2025 and the 17th of May: holiday prices on the reference's days.
    start = dt.datetime(2025, 4, 14, tzinfo=dt.timezone(dt.timedelta(hours=2)))
    end = dt.datetime(2025, 5, 19, tzinfo=dt.timezone(dt.timedelta(hours=2)))
    data = {CONSUMPTION: quarter_hours(start, end, 2.0)}
    energy = arun(facade.calculate_cost(NO_TARIFF, start, end, data))[0]
    assert energy.component.name == "Energiledd" and energy.component.timezone == "Europe/Oslo"
    got = pd.Series(energy.costs).sort_index()
    local = got.index.tz_convert("Europe/Oslo")
    official = reference.country_holidays("NO", years=2025)
    cheap = (local.hour < 6) | (local.hour >= 22) | (local.day_of_week >= 5)
    cheap |= pd.Index(local.date).isin(list(official))
    np.testing.assert_allclose(got.to_numpy(), 2.0 * np.where(cheap, 0.2515, 0.3515))
    assert cheap[(local.month == 5) & (local.day == 17) & (local.hour == 12)].all()
