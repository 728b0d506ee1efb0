import asyncio
import datetime as dt
import json
import uuid

import pytest

from ostrelpy.api_client import APIClient, TariffNotFoundError, easter_sunday, holiday_occurrences
from ostrelpy.models import Holiday

SE_TARIFF = uuid.UUID("5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f")


@pytest.mark.parametrize(
    "year, date",
    [
        (2024, dt.date(2024, 3, 31)),
        (2025, dt.date(2025, 4, 20)),
        (2026, dt.date(2026, 4, 5)),
        (2038, dt.date(2038, 4, 25)),
        (2285, dt.date(2285, 3, 22)),
    ],
)
def test_easter(year, date):
    assert easter_sunday(year) == date


@pytest.mark.parametrize(
    "holiday, year, date",
    [
        (Holiday.SE_MIDSOMMARAFTON, 2025, dt.date(2025, 6, 20)),
        (Holiday.SE_MIDSOMMARAFTON, 2026, dt.date(2026, 6, 19)),
        (Holiday.SE_ALLHELGONAAFTON, 2025, dt.date(2025, 10, 31)),
        (Holiday.SE_ALLHELGONAAFTON, 2026, dt.date(2026, 10, 30)),
        (Holiday.SE_PINGSTAFTON, 2025, dt.date(2025, 6, 7)),
        (Holiday.SE_KRISTI_HIMMELSFARD, 2025, dt.date(2025, 5, 29)),
        (Holiday.NO_ANDRE_PINSEDAG, 2025, dt.date(2025, 6, 9)),
        (Holiday.NO_GRUNNLOVSDAG, 2025, dt.date(2025, 5, 17)),
        (Holiday.SE_TRETTONDAGSAFTON, 2025, dt.date(2025, 1, 5)),
    ],
)
def test_holiday_rules(holiday, year, date):
    (occ,) = holiday_occurrences(year, year, [holiday])
    assert occ.date == date and occ.holiday is holiday
    assert occ.timezone == (
        "Europe/Stockholm" if holiday.value.startswith("se/") else "Europe/Oslo"
    )


def test_list_holidays_covers_the_window_inclusive():
    client = APIClient(api_key="k")
    occ = asyncio.run(
        client.list_holidays(
            start_year=2024, end_year=2027, holiday=[Holiday.SE_JULAFTON, "se/juldagen"]
        )
    )
    assert [o.date.year for o in occ] == [2024, 2024, 2025, 2025, 2026, 2026, 2027, 2027]
    with pytest.raises(ValueError):
        asyncio.run(client.list_holidays(start_year=2025, end_year=2024, holiday=[]))


def test_get_tariff_from_catalogue_and_unknown_ids(tmp_path, monkeypatch):
    client = APIClient(api_key="k")
    tariff = asyncio.run(client.get_tariff(SE_TARIFF))
    assert [c.name for c in tariff.tariff_components][:2] == ["Energiskatt", "Överföringsavgift"]
    for bad in (uuid.uuid4(), "not-a-uuid"):
        with pytest.raises(TariffNotFoundError):
            asyncio.run(client.get_tariff(bad))

    tid = uuid.uuid4()
    (tmp_path / f"{tid}.json").write_text(
        json.dumps({"id": str(tid), "name": "empty", "tariff_components": []})
    )
    monkeypatch.setenv("OSTRELPY_CATALOGUE", str(tmp_path))
    assert asyncio.run(APIClient(api_key="k").get_tariff(tid)).name == "empty"
    assert APIClient(api_key="k").tariff_ids() == [tid]


def test_api_key_must_be_text():
    with pytest.raises(TypeError):
        APIClient(api_key=None)
