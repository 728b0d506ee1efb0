"""Tariffs of the Swedish grid-tariff API (`tariffs` responses) into tariffs in their currency.

Every price component becomes one tariff component, valid where both it and its tariff are:
fixed prices per priced period (a yearly price is billed as twelve monthly parts), energy
prices on the energy of their recurring periods (spot-following prices on an extra `spot_price`
dataset), and power prices on the mean of the N highest peaks of the billing month, a peak
being the highest mean power over the peak duration in each identification period.
"""

from __future__ import annotations

import datetime as dt
import re
import uuid
from collections.abc import Iterable
from typing import Any, Literal

from ostrelpy.api_client import holiday_occurrences
from ostrelpy.importers import _build as b
from ostrelpy.importers._build import Fault, Made, Node, Pipeline, fail, level, number
from ostrelpy.models import Holiday, Tariff

SPOT = {"id": "spot_price", "resolution": "hourly", "unit": ""}
_SE_HOLIDAYS = [h for h in Holiday if h.value.startswith("se/")]
# Red days and the eves grid companies treat alike, when a document names holidays without
# listing their dates.
DEFAULT_HOLIDAYS = [
    Holiday(f"se/{h}")
    for h in (
        "nyarsdagen trettondedag_jul langfredagen paskdagen annandag_pask forsta_maj "
        "kristi_himmelsfard nationaldagen midsommarafton julafton juldagen annandag_jul "
        "nyarsafton"
    ).split()
]
_DURATIONS = {"PT15M": 0.25, "PT1H": 1.0}
_PEAK = re.compile(r"^\s*peak\(\s*([\w-]+)\s*\)\s*$")


def se(document: dict[str, Any], *, vat: bool = False, approximate: bool = False) -> b.Imported:
    """Every tariff of a `tariffs` response (or one tariff object) as a `Tariff`.

    Prices are taken excluding VAT unless `vat` is true. Components the blocks cannot express
    (dynamic power prices, peak functions other than `peak(<period>)`, calendar patterns of
    single dates) are refused by name, or left out with `approximate=True` and named in the
    description. A field that does not follow the format raises `TariffImportError` naming the
    tariff and the field.
    """
    try:
        if not isinstance(document, dict):
            fail("document", f"expected a JSON object, got {type(document).__name__}")
        tariffs = document.get("tariffs", [document] if "fixedPrice" in document else None)
        if not isinstance(tariffs, list) or not tariffs:
            fail("tariffs", "expected a non-empty list of tariffs")
        patterns = _patterns(document.get("calendarPatterns"))
        refused: list[str] = []
        out = b.Imported([])
        for i, raw in enumerate(tariffs):
            where = f"tariffs[{i}]"
            if not isinstance(raw, dict):
                fail(where, "expected a tariff object")
            t = _Tariff(raw, where, patterns, vat)
            tariff, left_out = t.build()
            if left_out and not approximate:
                refused += [f"{t.where}: {r}" for r in left_out]
                continue
            out.tariffs.append(tariff)
            said = t.notes + [f"left out {r}" for r in left_out]
            out.report.append(f"{tariff.name}: " + ("; ".join(said) or "exact"))
        if refused:
            raise b.TariffImportError(refused)
        return out
    except Fault as exc:
        raise b.TariffImportError([str(exc)]) from None


def _patterns(raw: Any) -> dict[str, Node]:
    if raw is None:
        return {}
    if not isinstance(raw, list):
        fail("calendarPatterns", "expected a list")
    out: dict[str, Node] = {}
    for i, p in enumerate(raw):
        if not isinstance(p, dict) or not isinstance(p.get("reference"), str):
            fail(f"calendarPatterns[{i}]", "expected an object with a reference")
        out[p["reference"]] = p
    return out


def _date(value: Any, where: str) -> dt.date:
    try:
        return dt.date.fromisoformat(value)
    except (TypeError, ValueError):
        fail(where, f"expected a date YYYY-MM-DD, got {value!r}")


def _time(value: Any, where: str) -> dt.time:
    try:
        return dt.time.fromisoformat(value)
    except (TypeError, ValueError):
        fail(where, f"expected a time HH:MM:SS, got {value!r}")


class _Tariff:
    def __init__(self, raw: Node, where: str, patterns: dict[str, Node], vat: bool):
        self.raw = raw
        name = raw.get("name")
        self.where = f"tariff {name!r}" if isinstance(name, str) and name else where
        self.patterns = patterns
        self.vat = vat
        self.left_out: list[str] = []
        self.notes: list[str] = []

    def leave(self, where: str, what: str) -> None:
        """Record a part the blocks cannot express (`where` as made by `field`)."""
        self.left_out.append(f"{where.removeprefix(self.where + ': ')}: {what}")

    def field(self, key: str) -> str:
        return f"{self.where}: {key}"

    def text(self, key: str, required: bool = True) -> str:
        value = self.raw.get(key)
        if value is None and not required:
            return ""
        if not isinstance(value, str) or (required and not value):
            fail(self.field(key), f"expected a non-empty string, got {value!r}")
        return value

    def window(self, raw: Any, where: str) -> tuple[dt.date, dt.date]:
        if not isinstance(raw, dict):
            fail(where, "expected fromIncluding and toExcluding dates")
        start = _date(raw.get("fromIncluding"), f"{where}.fromIncluding")
        end = _date(raw.get("toExcluding"), f"{where}.toExcluding")
        if end <= start:
            fail(f"{where}.toExcluding", f"{end} is not after {start}")
        return start, end

    def instant(self, day: dt.date) -> dt.datetime:
        return dt.datetime.combine(day, dt.time(), b.zone_of(self.zone))

    # Prices ---------------------------------------------------------------------------

    def price(self, c: Node, where: str) -> tuple[float, str]:
        p = c.get("price")
        if not isinstance(p, dict):
            fail(f"{where}.price", "expected priceExVat, priceIncVat and currency")
        key = "priceIncVat" if self.vat else "priceExVat"
        value = number(p.get(key), f"{where}.price.{key}")
        return value, _currency(p.get("currency"), f"{where}.price.currency")

    # Calendar -------------------------------------------------------------------------

    def pattern(self, ref: Any, where: str) -> Node | None:
        """A calendar pattern as a condition on days; None if it cannot be expressed."""
        if not isinstance(ref, str):
            fail(where, f"expected a calendar pattern reference, got {ref!r}")
        p = self.patterns.get(ref)
        if p is None:
            if ref == "weekdays":
                return b.weekdays(range(1, 6))
            if ref == "weekends":
                return b.weekdays((6, 7))
            if ref == "holidays":
                return b.negate(_not_holidays(DEFAULT_HOLIDAYS))
            self.leave(f"{where} {ref!r}", "a calendar pattern of single dates")
            return None
        days, dates = p.get("days") or [], p.get("dates") or []
        if not isinstance(days, list) or not isinstance(dates, list):
            fail(f"calendarPatterns {ref!r}", "expected lists of days and dates")
        for d in days:
            if not isinstance(d, int) or not 1 <= d <= 7:
                fail(f"calendarPatterns {ref!r}.days", f"expected ISO weekdays 1-7, got {d!r}")
        conditions = [b.weekdays(days)] if days else []
        if dates:
            named = _holidays_on([_date(d, f"calendarPatterns {ref!r}.dates") for d in dates])
            if named is None:
                self.leave(f"calendar pattern {ref!r}", "dates that are not public holidays")
                return None
            conditions.append(b.negate(_not_holidays(named)))
        if not conditions:
            fail(f"calendarPatterns {ref!r}", "names neither days nor dates")
        return b.any_of(conditions)

    def active(self, c: Node, where: str, only: str | None = None) -> Node | None | Literal[False]:
        """The component's recurring periods (or the one named `only`) as a condition;
        None when it always applies; False when it cannot be expressed."""
        periods = c.get("recurringPeriods") or []
        if not isinstance(periods, list):
            fail(f"{where}.recurringPeriods", "expected a list")
        if only is not None:
            periods = [p for p in periods if isinstance(p, dict) and p.get("reference") == only]
            if not periods and c.get("recurringPeriods"):
                fail(f"{where}.peakFunction", f"names no recurring period {only!r}")
        conditions = []
        before = len(self.left_out)
        for i, period in enumerate(periods):
            at = f"{where}.recurringPeriods[{i}]"
            if not isinstance(period, dict) or not isinstance(period.get("activePeriods"), list):
                fail(at, "expected an object with activePeriods")
            if period.get("frequency", "P1D") not in ("P1D", "P1W", "P1Y", "P1M"):
                fail(f"{at}.frequency", f"unknown frequency {period.get('frequency')!r}")
            for j, ap in enumerate(period["activePeriods"]):
                conditions.append(self.active_period(ap, f"{at}.activePeriods[{j}]"))
        if len(self.left_out) > before:
            return False
        return b.any_of(conditions) if conditions else None

    def active_period(self, ap: Any, where: str) -> Node | None:
        if not isinstance(ap, dict):
            fail(where, "expected fromIncluding and toExcluding times")
        start = _time(ap.get("fromIncluding"), f"{where}.fromIncluding")
        end = _time(ap.get("toExcluding"), f"{where}.toExcluding")
        parts = [] if start == end else [b.time_of_day(start, end)]
        refs = ap.get("calendarPatternReferences") or {}
        if not isinstance(refs, dict):
            fail(f"{where}.calendarPatternReferences", "expected include and exclude lists")
        at = f"{where}.calendarPatternReferences"
        include = [self.pattern(r, f"{at}.include") for r in refs.get("include") or []]
        exclude = [self.pattern(r, f"{at}.exclude") for r in refs.get("exclude") or []]
        days = [b.any_of(include)] if include and None not in include else []
        days += [b.negate(x) for x in exclude if x is not None]
        return b.all_of([*days, *parts])

    # Components -----------------------------------------------------------------------

    def fixed(self, c: Node, where: str) -> Made | None:
        if c.get("type") == "specific":
            self.leave(where, "a customer-specific price")
            return None
        value, currency = self.price(c, where)
        period = c.get("pricedPeriod")
        pl = Pipeline()
        if period == "P1M":
            cost = pl.constant("fixed_fee", value, currency, "monthly")
        elif period == "P1Y":
            # Billed monthly: a twelfth of the yearly price each month.
            cost = pl.constant("fixed_fee", value / 12, currency, "monthly")
        elif period == "P1D":
            cost = pl.constant("fixed_fee", value, currency, "daily")
        else:
            fail(f"{where}.pricedPeriod", f"expected P1D, P1M or P1Y, got {period!r}")
        return pl, cost

    def energy(self, c: Node, where: str, unit: Any) -> Made | None:
        if (c.get("unit") or unit or "kWh") != "kWh":
            fail(f"{where}.unit", f"unknown unit {c.get('unit') or unit!r} (expected kWh)")
        cond = self.active(c, where)
        if cond is False:
            return None
        pl = Pipeline()
        energy = pl.keep_only("energy", pl.energy(), cond)
        kind = c.get("type", "fixed")
        if kind == "fixed":
            value, currency = self.price(c, where)
            return pl, pl.multiply("cost", energy, level(value, f"{currency}_per_kWh"), currency)
        if kind != "spot":
            fail(f"{where}.type", f"expected fixed or spot, got {kind!r}")
        settings = c.get("spotPriceSettings")
        if not isinstance(settings, dict):
            fail(f"{where}.spotPriceSettings", "expected multiplier and currency")
        multiplier = number(settings.get("multiplier"), f"{where}.spotPriceSettings.multiplier")
        currency = _currency(settings.get("currency"), f"{where}.spotPriceSettings.currency")
        rate = f"{currency}_per_kWh"
        spot = pl.input({**SPOT, "unit": rate})
        hourly = pl.aggregate("hourly_energy", energy, "hourly", "sum")
        price = pl.multiply("price", spot, level(multiplier, "%"), rate)
        if c.get("price") is not None:  # a fixed addition to the spot-following price
            value, _ = self.price(c, where)
            if value:
                price = pl.add("price", [price, level(value, rate)])
        return pl, pl.multiply("cost", hourly, price, currency)

    def power(self, c: Node, where: str, unit: Any) -> Made | None:
        if c.get("type", "peak") != "peak":
            self.leave(where, "a dynamic power price (from the prices endpoint)")
            return None
        if (c.get("unit") or unit or "kW") != "kW":
            fail(f"{where}.unit", f"unknown unit {c.get('unit') or unit!r} (expected kW)")
        s = c.get("peakIdentificationSettings")
        if not isinstance(s, dict):
            fail(f"{where}.peakIdentificationSettings", "expected the peak settings")
        at = f"{where}.peakIdentificationSettings"
        match = _PEAK.match(str(s.get("peakFunction", "peak(main)")))
        if not match:
            self.leave(f"{at}.peakFunction", f"the peak function {s.get('peakFunction')!r}")
            return None
        duration = s.get("peakDuration")
        if not isinstance(duration, str) or duration not in _DURATIONS:
            fail(f"{at}.peakDuration", f"expected PT15M or PT1H, got {duration!r}")
        period = s.get("peakIdentificationPeriod")
        if period not in ("PT15M", "PT1H", "P1D", "P1M"):
            fail(
                f"{at}.peakIdentificationPeriod",
                f"expected PT15M, PT1H, P1D or P1M, got {period!r}",
            )
        if _DURATIONS.get(period, 24.0) < _DURATIONS[duration]:
            fail(f"{at}.peakIdentificationPeriod", f"{period} is shorter than the peak duration")
        n = s.get("numberOfPeaksForAverageCalculation")
        if not isinstance(n, int) or isinstance(n, bool) or n < 1:
            fail(
                f"{at}.numberOfPeaksForAverageCalculation",
                f"expected a count of 1 or more, got {n!r}",
            )
        if period == "P1M" and n != 1:
            fail(
                f"{at}.numberOfPeaksForAverageCalculation",
                "a monthly peak period has one peak a month",
            )
        cond = self.active(c, where, match.group(1))
        if cond is False:
            return None
        value, currency = self.price(c, where)
        pl = Pipeline()
        energy = pl.energy()
        hours = _DURATIONS[duration]
        res = b.QH if hours == 0.25 else "hourly"
        if res == "hourly":
            energy = pl.aggregate("hourly_energy", energy, "hourly", "sum")
        power = pl.divide("power", energy, level(hours, "hours"), "kW")
        if cond is not None:  # hours outside the periods are no peaks at all (not 0 kW)
            power = pl.select("active_power", power, cond)
        if period == "P1D":
            power = pl.aggregate("daily_peak", power, "daily", "max")
        peak = pl.mean_of_highest("peak", power, n, "monthly")
        return pl, pl.multiply("cost", peak, level(value, f"{currency}_per_kW"), currency)

    # The tariff -----------------------------------------------------------------------

    def build(self) -> tuple[Tariff, list[str]]:
        raw = self.raw
        name = self.text("name")
        try:
            tariff_id = uuid.UUID(str(raw.get("id")))
        except ValueError:
            # Some published samples carry a placeholder; the id is then derived from the
            # tariff's identity so that importing again gives the same file.
            if not isinstance(raw.get("id"), str):
                fail(self.field("id"), f"expected a UUID, got {raw.get('id')!r}")
            key = f"se:{raw.get('companyOrgNo')}:{raw.get('product')}:{name}:{raw['id']}"
            tariff_id = uuid.uuid5(uuid.NAMESPACE_URL, key)
            self.notes.append(f"id {raw['id']!r} is no UUID, so {tariff_id} was derived")
        self.zone = b.check_timezone(self.field("timeZone"), raw.get("timeZone"))
        if raw.get("direction", "consumption") != "consumption":
            self.leave(self.field("direction"), f"{raw.get('direction')!r} (only consumption)")
        billing = raw.get("billingPeriod", "P1M")
        if billing != "P1M":
            fail(self.field("billingPeriod"), f"expected P1M, got {billing!r}")
        valid = None
        if raw.get("validPeriod") is not None:
            valid = self.window(raw["validPeriod"], self.field("validPeriod"))
        components = []
        groups = (
            ("fixedPrice", "Fixed price", self.fixed),
            ("energyPrice", "Energy price", self.energy),
            ("powerPrice", "Power price", self.power),
        )
        for key, default, make in groups:
            group = raw.get(key)
            if group is None:
                continue
            if not isinstance(group, dict):
                fail(self.field(key), "expected an object")
            items = group.get("components")
            if items is None and "price" in group:  # older answers: the group is the component
                items = [group]
            if not isinstance(items, list):
                fail(self.field(f"{key}.components"), "expected a list")
            for i, c in enumerate(items):
                where = self.field(f"{key}.components[{i}]")
                if not isinstance(c, dict):
                    fail(where, "expected a price component")
                start, end = self.window(c.get("validPeriod"), f"{where}.validPeriod")
                if valid:
                    start, end = max(start, valid[0]), min(end, valid[1])
                args = (c, where) if make == self.fixed else (c, where, group.get("unit"))
                made = make(*args)
                if made is None or end <= start:
                    continue
                pl, cost = made
                title = c.get("name") or c.get("reference") or default
                if key == "powerPrice":  # their names are often only the season or hours
                    title = f"{group.get('name') or default}: {title}"
                key_id = f"{tariff_id}/{c.get('id')}/{c.get('reference')}/{i}/{key}"
                components.append(
                    b.component(
                        key_id, title, self.zone, pl, cost, self.instant(start), self.instant(end)
                    )
                )
        if not components:
            fail(self.where, "no price component to import")
        spans = (
            min(c["applicable_from"] for c in components).date(),
            max(c["applicable_to"] for c in components).date(),
        )
        company = self.text("companyName", required=False)
        full = f"{company}: {name}" if company else name
        text = (
            f"Imported from the Swedish grid-tariff API: {full}"
            f" ({company or 'company not given'}, org. no. {raw.get('companyOrgNo') or '-'}"
            f", product {raw.get('product') or '-'})"
            + f", valid {valid[0] if valid else spans[0]} to {valid[1] if valid else spans[1]}"
            + f"; published {raw.get('lastUpdated') or raw.get('published') or 'at an unknown date'}"
            + _described(raw.get("description"))
            + f". Prices {'including' if self.vat else 'excluding'} VAT."
        )
        if self.left_out:
            text += " Approximation, left out: " + "; ".join(self.left_out) + "."
        data = {"id": tariff_id, "name": full, "description": text, "tariff_components": components}
        return b.make_tariff(self.where, data), self.left_out


def _described(text: Any) -> str:
    if not isinstance(text, str) or not text.strip():
        return ""
    url = text.strip().startswith(("http://", "https://"))
    return f"; {'source' if url else 'described as'}: {text.strip()}"


def _currency(value: Any, where: str) -> str:
    """A currency code the engine knows."""
    from ostrelpy.bindings import _engine

    if not isinstance(value, str) or value not in {c.value for c in _engine.CURRENCIES}:
        fail(where, f"unknown currency {value!r}")
    return value


def _not_holidays(holidays: Iterable[Holiday]) -> Node:
    return {"type": "exclude_holidays", "holidays": sorted(h.value for h in holidays)}


def _holidays_on(dates: list[dt.date]) -> list[Holiday] | None:
    """The Swedish holidays falling on these dates, if every date is one."""
    years = [d.year for d in dates]
    by_date: dict[dt.date, list[Holiday]] = {}
    for o in holiday_occurrences(min(years), max(years), _SE_HOLIDAYS):
        by_date.setdefault(o.date, []).append(o.holiday)
    named = set()
    for d in dates:
        if d not in by_date:
            return None
        named.update(by_date[d])
    return sorted(named, key=lambda h: h.value)
