"""The API client: tariffs from a catalogue of JSON files and holiday dates by calendar rule.

This is a local backend. Tariffs are read from a directory of `<tariff id>.json` files (the
bundled catalogue unless another directory is given, by argument or by the
`OSTRELPY_CATALOGUE` environment variable). Holiday occurrences are computed from their
calendar rules: Easter-based days, midsummer and All Saints' eves, fixed dates.
"""

from __future__ import annotations

import datetime as dt
import json
import os
import uuid
from collections.abc import Callable, Iterable
from pathlib import Path

from ostrelpy.models import Holiday, HolidayOccurrence, Tariff

CATALOGUE_ENV = "OSTRELPY_CATALOGUE"
BUNDLED_CATALOGUE = Path(__file__).with_name("catalogue")


class TariffNotFoundError(LookupError):
    """No tariff with the requested id in the catalogue."""


def easter_sunday(year: int) -> dt.date:
    """Gregorian Easter Sunday (anonymous Gregorian algorithm)."""
    a = year % 19
    b, c = divmod(year, 100)
    d, e = divmod(b, 4)
    f = (b + 8) // 25
    g = (b - f + 1) // 3
    h = (19 * a + b - d - g + 15) % 30
    i, k = divmod(c, 4)
    l = (32 + 2 * e + 2 * i - h - k) % 7  # noqa: E741 (the name of the published rule)
    m = (a + 11 * h + 22 * l) // 451
    month, day = divmod(h + l - 7 * m + 114, 31)
    return dt.date(year, month, day + 1)


def _friday_between(year: int, month: int, first_day: int) -> dt.date:
    """The Friday in the seven days from (month, first_day)."""
    start = dt.date(year, month, first_day)
    return start + dt.timedelta(days=(4 - start.weekday()) % 7)


def _easter(offset: int) -> Callable[[int], dt.date]:
    return lambda year: easter_sunday(year) + dt.timedelta(days=offset)


def _fixed(month: int, day: int) -> Callable[[int], dt.date]:
    return lambda year: dt.date(year, month, day)


_RULES: dict[Holiday, Callable[[int], dt.date]] = {
    Holiday.NO_FORSTE_NYTTARSDAG: _fixed(1, 1),
    Holiday.NO_SKJARTORSDAG: _easter(-3),
    Holiday.NO_LANGFREDAG: _easter(-2),
    Holiday.NO_FORSTE_PASKEDAG: _easter(0),
    Holiday.NO_ANDRE_PASKEDAG: _easter(1),
    Holiday.NO_ARBEIDERNES_DAG: _fixed(5, 1),
    Holiday.NO_KRISTI_HIMMELFARTSDAG: _easter(39),
    Holiday.NO_GRUNNLOVSDAG: _fixed(5, 17),
    Holiday.NO_FORSTE_PINSEDAG: _easter(49),
    Holiday.NO_ANDRE_PINSEDAG: _easter(50),
    Holiday.NO_FORSTE_JULEDAG: _fixed(12, 25),
    Holiday.NO_ANDRE_JULEDAG: _fixed(12, 26),
    Holiday.SE_NYARSDAGEN: _fixed(1, 1),
    Holiday.SE_TRETTONDAGSAFTON: _fixed(1, 5),
    Holiday.SE_TRETTONDEDAG_JUL: _fixed(1, 6),
    Holiday.SE_SKARTORSDAGEN: _easter(-3),
    Holiday.SE_LANGFREDAGEN: _easter(-2),
    Holiday.SE_PASKAFTON: _easter(-1),
    Holiday.SE_PASKDAGEN: _easter(0),
    Holiday.SE_ANNANDAG_PASK: _easter(1),
    Holiday.SE_FORSTA_MAJ: _fixed(5, 1),
    Holiday.SE_KRISTI_HIMMELSFARD: _easter(39),
    Holiday.SE_PINGSTAFTON: _easter(48),
    Holiday.SE_NATIONALDAGEN: _fixed(6, 6),
    Holiday.SE_MIDSOMMARAFTON: lambda year: _friday_between(year, 6, 19),
    Holiday.SE_ALLHELGONAAFTON: lambda year: _friday_between(year, 10, 30),
    Holiday.SE_JULAFTON: _fixed(12, 24),
    Holiday.SE_JULDAGEN: _fixed(12, 25),
    Holiday.SE_ANNANDAG_JUL: _fixed(12, 26),
    Holiday.SE_NYARSAFTON: _fixed(12, 31),
}

_COUNTRY_ZONES = {"se": "Europe/Stockholm", "no": "Europe/Oslo"}


def holiday_occurrences(
    start_year: int, end_year: int, holidays: Iterable[Holiday | str]
) -> list[HolidayOccurrence]:
    """Every occurrence of `holidays` in the years start_year..end_year (inclusive), by date."""
    if start_year > end_year:
        raise ValueError(f"start_year {start_year} is after end_year {end_year}")
    wanted = [Holiday(h) for h in holidays]
    out = [
        HolidayOccurrence(date=_RULES[h](year), holiday=h, timezone=_COUNTRY_ZONES[h.value[:2]])
        for year in range(start_year, end_year + 1)
        for h in wanted
    ]
    out.sort(key=lambda o: (o.date, o.holiday.value))
    return out


class APIClient:
    """Tariffs by id and holiday occurrences, as the engine's facade asks for them."""

    def __init__(self, api_key: str, catalogue: str | os.PathLike[str] | None = None) -> None:
        if not isinstance(api_key, str):
            raise TypeError(f"api_key must be a str, got {type(api_key).__name__}")
        self.api_key = api_key
        chosen = catalogue or os.environ.get(CATALOGUE_ENV) or BUNDLED_CATALOGUE
        self.catalogue = Path(chosen)

    def tariff_ids(self) -> list[uuid.UUID]:
        """The ids of the catalogue's tariffs."""
        return sorted(uuid.UUID(p.stem) for p in self.catalogue.glob("*.json"))

    async def get_tariff(self, tariff_id: uuid.UUID | str) -> Tariff:
        """The tariff with this id; TariffNotFoundError when the catalogue has none."""
        try:
            key = uuid.UUID(str(tariff_id))
        except ValueError:
            raise TariffNotFoundError(f"no tariff with id {tariff_id!r}: not a UUID") from None
        path = self.catalogue / f"{key}.json"
        if not path.is_file():
            raise TariffNotFoundError(f"no tariff with id {key} in {self.catalogue}")
        return Tariff.model_validate(json.loads(path.read_text(encoding="utf-8")))

    async def list_holidays(
        self, *, start_year: int, end_year: int, holiday: Iterable[Holiday | str]
    ) -> list[HolidayOccurrence]:
        """The dated occurrences of the given holidays from start_year to end_year inclusive."""
        return holiday_occurrences(start_year, end_year, holiday)
