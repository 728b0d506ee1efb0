"""Answers of the Norwegian grid-tariff API (`gridTariffCollections`) into tariffs in NOK.

The answer lists, hour by hour, which energy, fixed and power price applies; the importer
reads the tariff's pattern from those hours: the energy price of each hour of the day, for
weekdays, weekends (`useWeekendPrices`) and public holidays (`usePublicHolidayPrices`). The
fixed price is a step by the month's highest hour (`monthlymax`, the mean of the N highest
hours), by the mean of daily maxima (`dailymax`), by fuse size (one tariff per size) or a
single price; steps hold from `valueMin` (inclusive) to `valueMax` (exclusive). A power price
is per kW of the month's highest hour.
"""

from __future__ import annotations

import datetime as dt
import uuid
from typing import Any

from ostrelpy.importers import _build as b
from ostrelpy.importers._build import DatasetRef, Fault, Made, Node, Pipeline, fail, level, number
from ostrelpy.models import Holiday, Tariff

CURRENCY = "NOK"
_HOLIDAYS = [h for h in Holiday if h.value.startswith("no/")]
_DAYS = {"weekday": range(1, 6), "weekend": (6, 7), "all": range(1, 8)}


def no(
    document: dict[str, Any],
    *,
    timezone: str = "Europe/Oslo",
    vat: bool = False,
    approximate: bool = False,
) -> b.Imported:
    """Every tariff of an answer as a `Tariff` (fuse-size tariffs: one per size).

    Prices are taken excluding VAT unless `vat` is true. Hours of the day the answer does not
    price, and reactive power prices, are refused by name, or with `approximate=True` filled
    from the hour before (or left out) and named in the description. A field that does not
    follow the format raises `TariffImportError` naming the tariff and the field.
    """
    try:
        zone = b.check_timezone("--timezone", timezone)
        if not isinstance(document, dict):
            fail("document", f"expected a JSON object, got {type(document).__name__}")
        collections = document.get("gridTariffCollections")
        if not isinstance(collections, list) or not collections:
            fail("gridTariffCollections", "expected a non-empty list")
        out, refused = b.Imported([]), []
        for i, col in enumerate(collections):
            where = f"gridTariffCollections[{i}]"
            if not isinstance(col, dict) or not isinstance(col.get("gridTariff"), dict):
                fail(f"{where}.gridTariff", "expected an object")
            t = _Tariff(col["gridTariff"], where, zone, vat)
            made = t.build()
            if t.left_out and not approximate:
                refused += [f"{t.where}: {r}" for r in t.left_out]
                continue
            for tariff in made:
                out.tariffs.append(tariff)
                said = "; ".join(f"approximated {r}" for r in t.left_out) or "exact"
                out.report.append(f"{tariff.name}: {said}")
        if refused:
            raise b.TariffImportError(refused)
        return out
    except Fault as exc:
        raise b.TariffImportError([str(exc)]) from None


class _Tariff:
    def __init__(self, raw: Node, where: str, zone: str, vat: bool):
        self.raw, self.zone, self.vat = raw, zone, vat
        kind = raw.get("tariffType")
        if not isinstance(kind, dict):
            fail(f"{where}.gridTariff.tariffType", "expected an object")
        self.kind: Node = kind
        title = self.kind.get("title") or self.kind.get("tariffKey")
        self.where = f"tariff {title!r}" if title else where
        self.title = str(title or "grid tariff")
        self.left_out: list[str] = []
        price = raw.get("tariffPrice")
        if not isinstance(price, dict) or not isinstance(price.get("priceInfo"), dict):
            fail(self.field("tariffPrice.priceInfo"), "expected an object")
        self.info: Node = price["priceInfo"]
        hours = price.get("hours")
        if not isinstance(hours, list) or not hours:
            fail(self.field("tariffPrice.hours"), "expected a non-empty list of hours")
        self.hours: list[Any] = hours

    def field(self, key: str) -> str:
        return f"{self.where}: {key}"

    def config(self, key: str) -> Node:
        value = self.kind.get(key) or {}
        if not isinstance(value, dict):
            fail(self.field(f"tariffType.{key}"), "expected an object")
        return value

    def amount(self, item: Node, key: str, where: str) -> float:
        name = key if self.vat else f"{key}ExVat"
        return number(item.get(name), f"{where}.{name}")

    def currency(self, item: Node, where: str) -> None:
        if item.get("currency", CURRENCY) != CURRENCY:
            fail(f"{where}.currency", f"expected NOK, got {item.get('currency')!r}")

    def priced(self, key: str) -> dict[str, Node]:
        items = self.info.get(key) or []
        if not isinstance(items, list):
            fail(self.field(f"priceInfo.{key}"), "expected a list")
        out: dict[str, Node] = {}
        for i, item in enumerate(items):
            if not isinstance(item, dict) or not isinstance(item.get("id"), str):
                fail(self.field(f"priceInfo.{key}[{i}]"), "expected an object with an id")
            out[item["id"]] = {**item, "_where": self.field(f"priceInfo.{key}[{i}]")}
        return out

    # Energy ----------------------------------------------------------------------------

    def day_types(self) -> list[str]:
        weekend = self.kind.get("useWeekendPrices")
        holiday = self.kind.get("usePublicHolidayPrices")
        return (["weekday", "weekend"] if weekend else ["all"]) + (["holiday"] if holiday else [])

    def hour_prices(self, energy: dict[str, Node]) -> dict[str, dict[int, str]]:
        """Energy price id of each hour of each kind of day, as the answer's hours show."""
        types = self.day_types()
        seen: dict[str, dict[int, str]] = {t: {} for t in types}
        for i, h in enumerate(self.hours):
            where = self.field(f"tariffPrice.hours[{i}]")
            if not isinstance(h, dict):
                fail(where, "expected an hour")
            text: Any = h.get("startTime")
            try:
                start = dt.datetime.fromisoformat(text)
            except (TypeError, ValueError):
                fail(f"{where}.startTime", f"expected a date-time, got {h.get('startTime')!r}")
            price = h.get("energyPrice")
            pid = price.get("id") if isinstance(price, dict) else None
            if not isinstance(pid, str) or pid not in energy:
                fail(f"{where}.energyPrice.id", "names no price of priceInfo.energyPrices")
            if h.get("isPublicHoliday") and "holiday" in types:
                kind = "holiday"
            elif "weekday" in types:
                kind = "weekend" if start.isoweekday() >= 6 else "weekday"
            else:
                kind = "all"
            before = seen[kind].setdefault(start.hour, pid)
            if before != pid:
                fail(f"{where}.energyPrice.id", f"differs from another {kind} at {start:%H}:00")
        first = seen[types[0]]
        for kind, hours in seen.items():
            missing = [hh for hh in range(24) if hh not in hours]
            if not missing or len(energy) == 1 and hours:
                for hh in missing:  # an answer with one energy price prices every hour alike
                    hours[hh] = next(iter(energy))
                continue
            if not hours and first:
                self.left_out.append(f"tariffPrice.hours: no {kind} hours, priced as {types[0]}s")
                hours.update(first)
                missing = [hh for hh in range(24) if hh not in hours]
            if missing:
                self.left_out.append(
                    "tariffPrice.hours: no energy price for hours "
                    + ", ".join(f"{hh:02d}" for hh in missing)
                    + ("" if kind == "all" else f" of {kind}s")
                    + ", taken from the hour before"
                )
            for hh in range(48):  # fill from the hour before, round the clock
                if hh % 24 not in hours and (hh - 1) % 24 in hours:
                    hours[hh % 24] = hours[(hh - 1) % 24]
        return seen

    def energy(self) -> Made | None:
        prices = self.priced("energyPrices")
        if not prices:
            return None
        by_hour = self.hour_prices(prices)
        rate_unit = f"{CURRENCY}_per_kWh"
        values = {}
        for pid, p in prices.items():
            self.currency(p, p["_where"])
            if p.get("monetaryUnitOfMeasure", "kr/kWh") != "kr/kWh":
                fail(f"{p['_where']}.monetaryUnitOfMeasure", "expected kr/kWh")
            values[pid] = self.amount(p, "total", p["_where"])
        cells: dict[str, list[Node | None]] = {}
        count: dict[str, int] = {}
        for kind, hours in by_hour.items():
            for pid in sorted(set(hours.values())):
                chosen = [hh for hh, q in hours.items() if q == pid]
                count[pid] = count.get(pid, 0) + len(chosen)
                cells.setdefault(pid, []).append(
                    b.all_of([*self.day(kind), b.hours_condition(chosen)])
                )
        if not cells:
            return None
        pl = Pipeline()
        # The price of most hours is the base; the others are masked in.
        base = max(cells, key=lambda q: (count[q], q))
        price = pl.constant("price", values[base], rate_unit, b.QH)
        for pid, conditions in cells.items():
            if pid != base and values[pid] != values[base]:
                price = pl.mask("price", price, b.any_of(conditions), level(values[pid], rate_unit))
        return pl, pl.multiply("cost", pl.energy(), price, CURRENCY)

    def day(self, kind: str) -> list[Node]:
        holidays = {"type": "exclude_holidays", "holidays": sorted(h.value for h in _HOLIDAYS)}
        if kind == "holiday":
            return [b.negate(holidays)]
        days = [] if kind == "all" else [b.weekdays(_DAYS[kind])]
        return days + ([holidays] if "holiday" in self.day_types() else [])

    # Fixed and power prices ------------------------------------------------------------

    def hourly_power(self, pl: Pipeline) -> DatasetRef:
        res = self.kind.get("resolution", 60)
        if res not in (15, 60):
            fail(self.field("tariffType.resolution"), f"expected 15 or 60 minutes, got {res!r}")
        energy = pl.energy()
        if res == 60:
            energy = pl.aggregate("hourly_energy", energy, "hourly", "sum")
        return pl.divide("power", energy, level(res / 60, "hours"), "kW")

    def basis(self, pl: Pipeline, config: Node) -> DatasetRef:
        """The kW a fixed-price step is chosen by, per month."""
        where = self.field("tariffType.fixedPriceConfiguration")
        months = config.get("months") or 1
        if months != 1:
            fail(f"{where}.months", f"steps over {months!r} months cannot be expressed (1 only)")
        power = self.hourly_power(pl)

        def count(key: str) -> int:
            n = config.get(key) or 1
            if not isinstance(n, int) or isinstance(n, bool) or n < 1:
                fail(f"{where}.{key}", f"expected a count of 1 or more, got {n!r}")
            return n

        n: int | None
        if config["basis"] == "monthlymax":
            n = count("maxhoursPerMonth")
        else:  # dailymax: the mean of the N highest days' (mean of) highest hours
            power = pl.mean_of_highest("daily_peak", power, count("maxhoursPerDay"), "daily")
            n = None if config.get("allDaysPerMonth") else count("daysPerMonth")
        if n is None:
            return pl.aggregate("capacity", power, "monthly", "mean")
        return pl.mean_of_highest("capacity", power, n, "monthly")

    def fixed(self) -> list[tuple[str, Made | None]]:
        """(name suffix, pipeline and cost if there is a fixed price) per tariff: several for
        fuse sizes."""
        prices = list(self.priced("fixedPrices").values())
        if not prices:
            return [("", None)]
        if len(prices) > 1:
            fail(self.field("priceInfo.fixedPrices"), "expected one fixed price")
        fp = prices[0]
        levels = fp.get("priceLevels")
        if not isinstance(levels, list) or not levels:
            fail(f"{fp['_where']}.priceLevels", "expected a non-empty list")
        fees = []
        for i, lv in enumerate(levels):
            at = f"{fp['_where']}.priceLevels[{i}]"
            if not isinstance(lv, dict):
                fail(at, "expected a price level")
            self.currency(lv, at)
            if lv.get("monthlyUnitOfMeasure", "kr/month") != "kr/month":
                fail(f"{at}.monthlyUnitOfMeasure", "expected kr/month")
            fees.append(self.amount(lv, "monthlyTotal", at))
        config = self.config("fixedPriceConfiguration") or {"basis": "fixed"}
        basis = config.get("basis")
        where = self.field("tariffType.fixedPriceConfiguration.basis")
        if basis in ("fixed", "fusesize"):
            if basis == "fixed" and len(levels) != 1:
                fail(where, "a fixed basis with several price levels")
            out: list[tuple[str, Made | None]] = []
            for lv, fee in zip(levels, fees, strict=True):
                pl = Pipeline()
                label = "" if basis == "fixed" else lv.get("levelInfo") or f"{lv.get('valueMin')} A"
                out.append((label, (pl, pl.constant("fixed_fee", fee, CURRENCY, "monthly"))))
            return out
        if basis not in ("monthlymax", "dailymax"):
            fail(where, f"expected monthlymax, dailymax, fusesize or fixed, got {basis!r}")
        bounds: list[tuple[float, float | None]] = []
        for i, lv in enumerate(levels):
            at = f"{fp['_where']}.priceLevels[{i}]"
            lo = 0.0 if lv.get("valueMin") is None else number(lv["valueMin"], f"{at}.valueMin")
            hi = None if lv.get("valueMax") is None else number(lv["valueMax"], f"{at}.valueMax")
            if i and lo != bounds[-1][1]:
                fail(
                    f"{at}.valueMin", f"{lo:g} does not continue the step below at {bounds[-1][1]}"
                )
            if hi is not None and hi <= lo or hi is None and i < len(levels) - 1:
                fail(f"{at}.valueMax", f"expected a limit above {lo:g}")
            bounds.append((lo, hi))
        pl = Pipeline()
        capacity = self.basis(pl, config)
        if len(levels) == 1:
            return [("", (pl, pl.constant("fixed_fee", fees[0], CURRENCY, "monthly")))]
        cost = pl.step(
            "lookup", "fixed_fee", "monthly", CURRENCY, tier_selector=capacity,
            levels=fees, boundaries=[lo for lo, _ in bounds[1:]], unit=CURRENCY,
        )  # fmt: skip
        return [("", (pl, cost))]

    def power(self) -> Made | None:
        prices = list(self.priced("powerPrices").values())
        if not prices:
            return None
        if len(prices) > 1:
            fail(self.field("priceInfo.powerPrices"), "expected one power price")
        pp = prices[0]
        levels = pp.get("priceLevels")
        if not isinstance(levels, list) or len(levels) != 1 or not isinstance(levels[0], dict):
            fail(f"{pp['_where']}.priceLevels", "expected one price level")
        lv, at = levels[0], f"{pp['_where']}.priceLevels[0]"
        self.currency(lv, at)
        if lv.get("monthlyUnitOfMeasure", "kr/kW/month") != "kr/kW/month":
            fail(f"{at}.monthlyUnitOfMeasure", "expected kr/kW/month")
        config = self.config("powerPriceConfiguration")
        if config.get("reactivePowerPricing"):
            self.left_out.append("powerPriceConfiguration.reactivePowerPricing: reactive power")
        price = self.amount(lv, "monthlyActivePowerTotal", at)
        pl = Pipeline()
        peak = pl.aggregate("peak", self.hourly_power(pl), "monthly", "max")
        return pl, pl.multiply("cost", peak, level(price, f"{CURRENCY}_per_kW"), CURRENCY)

    # The tariffs -----------------------------------------------------------------------

    def build(self) -> list[Tariff]:
        k = self.kind
        if k.get("consumptionFlag") is False:
            fail(self.field("tariffType.consumptionFlag"), "a production tariff")
        starts: list[Any] = [
            p.get("startDate")
            for key in ("energyPrices", "fixedPrices", "powerPrices")
            for p in self.priced(key).values()
        ]
        try:
            since = min(dt.date.fromisoformat(s) for s in starts) if starts else None
        except (TypeError, ValueError):
            fail(self.field("priceInfo"), f"expected startDate dates, got {starts!r}")
        begin = dt.datetime.combine(since, dt.time(), b.zone_of(self.zone)) if since else None
        shared = []
        key = f"no:{k.get('companyOrgNo')}:{k.get('tariffKey')}:{k.get('product')}"
        for title, made in (("Energiledd", self.energy()), ("Effektledd", self.power())):
            if made is not None:
                pl, cost = made
                shared.append(b.component(f"{key}#{title}", title, self.zone, pl, cost, begin))
        company = k.get("companyName")
        out = []
        for label, fee in self.fixed():
            components = list(shared)
            if fee is not None:
                pl, cost = fee
                components.append(
                    b.component(f"{key}#{label}#fixed", "Fastledd", self.zone, pl, cost, begin)
                )
            if not components:
                fail(self.where, "no price to import")
            name = f"{company}: {self.title}" if company else self.title
            name += f" ({label})" if label else ""
            text = (
                f"Imported from the Norwegian grid-tariff API: {name} ({company or '-'}, org. no. "
                f"{k.get('companyOrgNo') or '-'}, product {k.get('product') or '-'}, tariff "
                f"{k.get('tariffKey') or '-'}), prices as published for {since or 'an unknown date'}"
                f" (updated {k.get('lastUpdated') or '-'}), valid from then until further notice; "
                f"{k.get('description') or ''} Prices {'including' if self.vat else 'excluding'} VAT."
            )
            if self.left_out:
                text += " Approximation: " + "; ".join(self.left_out) + "."
            tariff_id = uuid.uuid5(uuid.NAMESPACE_URL, f"{key}#{label}")
            data = {
                "id": tariff_id,
                "name": name,
                "description": text,
                "tariff_components": components,
            }
            out.append(b.make_tariff(self.where, data))
        return out
