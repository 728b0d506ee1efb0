"""The holiday source: which holidays, which years, one cache entry per years and set."""

import datetime as dt

import pydantic
import pytest
from conftest import arun, dataset_dict, rate_component, utc

from ostrelpy import models
from ostrelpy.bindings import _engine, logic

H = models.Holiday


def holiday_component(holidays, tz="Europe/Stockholm"):
    """A component whose price is masked on the named holidays."""
    public = rate_component(1.0, tz=tz)
    public.functions = [
        {
            "type": "constant",
            "value": {"value": 1.0, "unit": "SEK_per_kWh"},
            "resolution": "quarter_hourly",
            "output": dataset_dict("base", unit="SEK_per_kWh"),
        },
        {
            "type": "mask",
            "input": dataset_dict("base", unit="SEK_per_kWh"),
            "condition": {
                "type": "not",
                "condition": {"type": "exclude_holidays", "holidays": list(holidays)},
            },
            "replacement": {"value": 0.0, "unit": "SEK_per_kWh"},
            "output": dataset_dict("price", unit="SEK_per_kWh"),
        },
        {
            "type": "multiply",
            "left": dataset_dict(),
            "right": dataset_dict("price", unit="SEK_per_kWh"),
            "output": dataset_dict("cost", unit="SEK"),
        },
    ]
    return logic._to_domain_component(public)


EDGE = (utc(2024, 12, 31, 23, 30), utc(2025, 1, 1, 0, 30))


def test_no_holiday_conditions_means_no_call(facade, api):
    plain = logic._to_domain_component(rate_component(1.0))
    assert arun(facade._fetch_holidays([plain], *EDGE, use_cache=True)) == []
    assert api.calls == [("init", "test-key")]


def test_years_come_from_the_first_components_zone(facade, api):
    components = [holiday_component(["se/juldagen", "se/julafton"])]
    got = arun(facade._fetch_holidays(components, *EDGE, use_cache=True))
    # Both ends fall in 2025 in Stockholm: one year before, two after.
    assert api.calls[-1] == ("list_holidays", 2024, 2027, [H.SE_JULAFTON, H.SE_JULDAGEN])
    assert all(isinstance(o, _engine.HolidayOccurrence) for o in got)
    assert sorted({o.date.year for o in got}) == [2024, 2025, 2026, 2027]

    west = holiday_component(["se/julafton"], tz="UTC-05:00")
    arun(facade._fetch_holidays([west, *components], *EDGE, use_cache=True))
    assert api.calls[-1][1:3] == (2023, 2026)  # both ends in 2024 there


def test_the_same_holidays_in_any_order_share_one_entry(facade, api):
    a = holiday_component(["se/juldagen", "se/julafton", "se/juldagen"])
    b = holiday_component(["se/julafton"])
    c = holiday_component(["se/juldagen"])
    first = arun(facade._fetch_holidays([a], *EDGE, use_cache=True))
    second = arun(facade._fetch_holidays([c, b], *EDGE, use_cache=True))
    assert api.count("list_holidays") == 1
    assert first == second and first is not second  # converted afresh on every hit
    (key,) = logic._HOLIDAY_CACHE._store
    assert key == (2024, 2027, frozenset({H.SE_JULAFTON, H.SE_JULDAGEN}))
    raw = logic._HOLIDAY_CACHE.get(key)
    assert all(type(o) is models.HolidayOccurrence for o in raw)  # the client's raw answer

    arun(facade._fetch_holidays([a], *EDGE, use_cache=False))
    assert api.count("list_holidays") == 2
    assert logic._HOLIDAY_CACHE.get(key) is not raw


def test_an_invalid_occurrence_fails_and_nothing_is_cached(facade, api):
    class Odd:
        date = dt.date(2025, 12, 24)
        holiday = "xx/not_a_holiday"
        timezone = "Europe/Stockholm"

    api.holiday_answer = [Odd()]
    components = [holiday_component(["se/julafton"])]
    with pytest.raises(pydantic.ValidationError):
        arun(facade._fetch_holidays(components, *EDGE, use_cache=True))
    assert logic._HOLIDAY_CACHE._store == {}
    # The next call asks again instead of failing on the stored answer for an hour.
    api.holiday_answer = None
    assert arun(facade._fetch_holidays(components, *EDGE, use_cache=True))
    assert api.count("list_holidays") == 2


def test_calculate_cost_fetches_holidays_once_for_all_components(facade, api):
    from conftest import CONSUMPTION, make_tariff, quarter_hours

    tariff = make_tariff(
        logic._to_public_component(holiday_component(["se/juldagen"])),
        logic._to_public_component(holiday_component(["se/julafton"])),
    )
    api.tariffs[tariff.id] = tariff
    start, end = utc(2025, 12, 23, 23), utc(2025, 12, 26, 23)
    data = {CONSUMPTION: quarter_hours(start, end, 1.0)}
    eve, day = arun(facade.calculate_cost(tariff.id, start, end, data))
    assert api.count("list_holidays") == 1
    assert api.calls[-1][3] == [H.SE_JULAFTON, H.SE_JULDAGEN]
    assert eve.total() == 96 * 2 and day.total() == 96 * 2  # priced on the two other days
