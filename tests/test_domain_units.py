import datetime as dt

import pytest
from pydantic import ValidationError

from ostrelpy.bindings import _engine as e

U, R = e.Unit, e.Resolution


def test_unit_values_are_case_sensitive_strings():
    assert U("kWh") is U.KWH
    assert U.KWH == "kWh"
    for bad in ("KWH", "kwh"):
        with pytest.raises(ValueError):
            U(bad)


@pytest.mark.parametrize("unit", list(U))
def test_every_unit_is_exactly_one_of_amount_or_rate(unit):
    assert unit.is_amount() != unit.is_rate()


def test_unit_groupings():
    assert U.SEK_PER_KWH.is_rate() and not U.SEK_PER_KWH.is_amount()
    assert U.HOURS.is_amount() and U.PERCENT.is_rate()
    assert e.CURRENCY_UNITS[U.NOK] == (U.NOK_PER_KWH, U.NOK_PER_KW)
    assert e.CURRENCY_UNITS[U.USD] == (U.USD_PER_KWH, U.USD_PER_KW)
    assert e.CURRENCIES == {U.SEK, U.NOK, U.EUR, U.USD, U.GBP, U.DKK}
    assert e.RATE_UNITS == e._ENERGY_RATES | e._POWER_RATES and len(e.RATE_UNITS) == 12
    # Later currencies are appended: the first fifteen members keep their order and values.
    assert [u.value for u in U][:15] == [
        *("A", "kV", "kW", "kWh", "hours", "SEK", "NOK", "EUR", "SEK_per_kWh", "SEK_per_kW"),
        *("NOK_per_kWh", "NOK_per_kW", "EUR_per_kWh", "EUR_per_kW", "%"),
    ]


def test_resolution_order_and_hash():
    assert R.HOURLY < "daily"
    assert R.MONTHLY >= R.MONTHLY
    assert R.DAILY > R.HOURLY
    assert min(R) is R.QUARTER_HOURLY and max(R) is R.YEARLY
    assert [r._index() for r in R] == list(range(6))
    assert hash(R.DAILY) == hash("daily")
    assert {R.DAILY: 1}["daily"] == 1
    for other in ("fortnightly", None, 3):
        with pytest.raises(ValueError):
            R.HOURLY < other  # noqa: B015


@pytest.mark.parametrize(
    "resolution, start, expected",
    [
        (R.YEARLY, dt.date(2024, 2, 29), dt.date(2025, 2, 28)),
        (R.MONTHLY, dt.date(2025, 1, 31), dt.date(2025, 2, 28)),
        (R.WEEKLY, dt.date(2025, 1, 1), dt.date(2025, 1, 8)),
    ],
)
def test_calendar_steps(resolution, start, expected):
    assert start + resolution.as_relativedelta() == expected


@pytest.mark.parametrize(
    "value, unit, text",
    [(0.5, "SEK_per_kWh", "0.5 SEK_per_kWh"), (100, "kWh", "100.0 kWh"), (1e-5, "%", "1e-05 %")],
)
def test_level_text(value, unit, text):
    assert str(e.Level(value=value, unit=unit)) == text


def test_level_requires_numeric_value_and_unit():
    for data in ({"unit": "kWh"}, {"value": 1.0}, {"value": "much", "unit": "kWh"}):
        with pytest.raises(ValidationError):
            e.Level.model_validate(data)
