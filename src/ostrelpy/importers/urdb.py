"""Rates of the US utility rate database, as its API returns them, into tariffs in USD.

Schedules are 12 x 24 period numbers (month x local hour) for weekdays and weekends; energy
tiers are limits on the month's (or, for "kWh daily", the day's) total energy over all
periods, and where several periods share a month each period pays its share of every tier in
proportion to its share of that total. Demand is the month's highest mean power over the
demand window (a quarter-hour, or an hour when `demandwindow` says 60), within a period's
hours for time-of-use demand; demand tiers are blocks of kW.
"""

from __future__ import annotations

import datetime as dt
import math
import uuid
from collections.abc import Callable, Sequence
from typing import Any

from ostrelpy.importers import _build as b
from ostrelpy.importers._build import DatasetRef, Fault, Node, Pipeline, fail, level, number
from ostrelpy.models import Tariff

CURRENCY = "USD"
WEEKDAYS, WEEKEND = range(1, 6), range(6, 8)
_PER_MONTH = {"$/month": "monthly", "$/day": "daily", "$/year": "yearly"}
_ENERGY_UNITS = ("kwh", "kwh daily", "kwh/kw")

# One charge of a rate, written into the pipeline given; None when the rate has none.
Charge = Callable[[Pipeline], Node | None]
# Periods of (limit, rate) tiers, as `_Rate.structure` reads them.
Tiers = list[list[tuple[float, float]]]


def urdb(rate: dict[str, Any], *, timezone: str, approximate: bool = False) -> b.Imported:
    """One rate (or `{"items": [rate]}`) as a `Tariff` priced in `timezone`.

    What the blocks cannot express (sell rates, net metering, ratchets, coincident or
    reactive demand, demand in hp or kVA, monthly fuel adjustments) is refused with a
    `TariffImportError` naming each; with `approximate=True` it is left out and named in the
    tariff's description. A field that does not follow the format raises `TariffImportError`
    naming the rate and the field.
    """
    try:
        return _import(rate, timezone, approximate)
    except Fault as exc:
        raise b.TariffImportError([str(exc)]) from None


def _import(doc: Any, timezone: str, approximate: bool) -> b.Imported:
    if isinstance(doc, dict) and "items" in doc:
        items = doc["items"]
        if not isinstance(items, list) or len(items) != 1:
            fail("items", "expected a list holding exactly one rate")
        doc = items[0]
    if not isinstance(doc, dict):
        fail("rate", f"expected a JSON object, got {type(doc).__name__}")
    rate = _Rate(doc, b.check_timezone("--timezone", timezone))
    left_out = rate.unsupported()
    if left_out and not approximate:
        raise b.TariffImportError([f"{rate.where}: {r}" for r in left_out])
    tariff = rate.tariff(left_out)
    note = f"{tariff.name}: " + ("; ".join(f"left out {r}" for r in left_out) or "exact")
    return b.Imported([tariff], [note])


class _Rate:
    def __init__(self, doc: dict[str, Any], timezone: str):
        self.doc = doc
        self.zone = timezone
        self.name = str(doc.get("name") or doc.get("label") or "unnamed rate")
        self.where = f"rate {self.name!r}"

    def field(self, key: str) -> str:
        return f"{self.where}: {key}"

    # What the blocks cannot say --------------------------------------------------------

    def unsupported(self) -> list[str]:
        d, out = self.doc, []
        tiers = [t for p in _items(d.get("energyratestructure")) for t in _items(p)]
        sells = any(isinstance(t, dict) and t.get("sell") not in (None, 0) for t in tiers)
        if sells:
            out.append("energyratestructure sell: sell rates for exported energy")
        if d.get("dgrules"):
            out.append(f"dgrules: distributed-generation rules ({d['dgrules']})")
        if any(d.get(k) for k in ("lookbackpercent", "lookbackrange")):
            out.append("lookbackpercent/lookbackrange: demand ratchets")
        if d.get("coincidentratestructure"):
            out.append("coincidentratestructure: coincident demand charges")
        if d.get("demandreactivepowercharge"):
            out.append("demandreactivepowercharge: reactive power charges")
        for key in ("demandunits", "flatdemandunit", "demandrateunit"):
            unit = d.get(key)
            if unit in ("hp", "kVA", "kVA daily", "hp daily") and self._has_demand():
                out.append(f"{key}: demand measured in {unit}")
        if any(_items(d.get("fueladjustmentsmonthly"))):
            out.append("fueladjustmentsmonthly: monthly fuel adjustments")
        if any(
            isinstance(t, dict) and str(t.get("unit", "")).lower() == "kwh/kw daily" for t in tiers
        ):
            out.append("energyratestructure unit 'kWh/kW daily': daily hours-use tiers")
        return out

    def _has_demand(self) -> bool:
        return bool(self.doc.get("demandratestructure") or self.doc.get("flatdemandstructure"))

    def _demand_left_out(self) -> bool:
        return any(
            self.doc.get(k) in ("hp", "kVA", "kVA daily", "hp daily")
            for k in ("demandunits", "flatdemandunit", "demandrateunit")
        )

    # Reading fields ---------------------------------------------------------------------

    def structure(self, key: str, energy: bool) -> Tiers:
        """Periods of (limit, rate + adj) tiers; limits ascending, the last one unlimited."""
        raw = self.doc.get(key)
        if not isinstance(raw, list) or not raw:
            fail(self.field(key), "expected a non-empty list of periods")
        periods: Tiers = []
        for p, tiers in enumerate(raw):
            where = f"{self.field(key)}[{p}]"
            if not isinstance(tiers, list) or not tiers:
                fail(where, "expected a non-empty list of tiers")
            out: list[tuple[float, float]] = []
            last = 0.0
            for i, tier in enumerate(tiers):
                at = f"{where}[{i}]"
                if not isinstance(tier, dict) or "rate" not in tier:
                    fail(at, "expected an object with a rate")
                value = number(tier["rate"], f"{at}.rate") + number(tier.get("adj", 0), f"{at}.adj")
                limit = math.inf
                if tier.get("max") is not None:
                    limit = number(tier["max"], f"{at}.max")
                    if limit <= last:
                        fail(f"{at}.max", f"tier limits must ascend, got {limit:g} after {last:g}")
                if limit >= b.UNLIMITED and i < len(tiers) - 1:
                    fail(f"{at}.max", "only the last tier may be unlimited")
                unit = tier.get("unit")
                known = (*_ENERGY_UNITS, "kwh/kw daily") if energy else ("kw",)
                if unit is not None and str(unit).lower() not in known:
                    fail(f"{at}.unit", f"unknown unit {unit!r}")
                # Beyond the last tier's limit its rate goes on.
                out.append((math.inf if i == len(tiers) - 1 else limit, value))
                last = limit
            periods.append(out)
        return periods

    def energy_unit(self) -> str:
        units = {
            str(t.get("unit", "kWh")).lower()
            for p in self.doc["energyratestructure"]
            for t in p
            if isinstance(t, dict)
        }
        if len(units) > 1:
            fail(self.field("energyratestructure"), f"mixed tier units {sorted(units)}")
        return units.pop() if units else "kwh"

    def schedule(self, key: str, periods: int) -> list[list[int]]:
        raw = self.doc.get(key)
        where = self.field(key)
        if not isinstance(raw, list) or len(raw) != 12:
            fail(where, "expected 12 months of 24 hours")
        out: list[list[int]] = []
        for m, row in enumerate(raw):
            if not isinstance(row, list) or len(row) != 24:
                fail(f"{where}[{m}]", "expected 24 hours")
            hours = []
            for h, v in enumerate(row):
                p = number(v, f"{where}[{m}][{h}]")
                if p != int(p) or not 0 <= p < periods:
                    fail(f"{where}[{m}][{h}]", f"period {v!r} is not one of the {periods} periods")
                hours.append(int(p))
            out.append(hours)
        return out

    def instant(self, key: str) -> dt.datetime | None:
        value = self.doc.get(key)
        if value in (None, ""):
            return None
        if isinstance(value, int | float) and not isinstance(value, bool):
            return dt.datetime.fromtimestamp(value, dt.UTC)
        if isinstance(value, str):
            try:
                naive = dt.datetime.fromisoformat(value)
            except ValueError:
                fail(self.field(key), f"expected Unix seconds or a date, got {value!r}")
            return naive if naive.tzinfo else naive.replace(tzinfo=b.zone_of(self.zone))
        fail(self.field(key), f"expected Unix seconds or a date, got {value!r}")

    # Periods as conditions --------------------------------------------------------------

    def conditions(self, prefix: str, periods: int) -> dict[int, Node | None]:
        """Each period that occurs, as the condition of its hours (None: every hour)."""
        week = self.schedule(f"{prefix}weekdayschedule", periods)
        weekend = self.schedule(f"{prefix}weekendschedule", periods)
        out: dict[int, Node | None] = {}
        self.cells = {
            p: sum(r.count(p) for r in week) * 5 + sum(r.count(p) for r in weekend) * 2
            for p in range(periods)
        }
        for p in range(periods):
            groups: dict[tuple[tuple[int, ...], tuple[int, ...]], list[int]] = {}
            for m in range(12):
                wd = tuple(h for h in range(24) if week[m][h] == p)
                we = tuple(h for h in range(24) if weekend[m][h] == p)
                if wd or we:
                    groups.setdefault((wd, we), []).append(m + 1)
            if groups:
                out[p] = b.any_of([_cell_condition(ms, wd, we) for (wd, we), ms in groups.items()])
        return out

    # Charges ----------------------------------------------------------------------------

    def energy(self, pl: Pipeline) -> Node | None:
        if "energyratestructure" not in self.doc:
            return None
        periods = self.structure("energyratestructure", energy=True)
        cond = self.conditions("energy", len(periods))
        unit = self.energy_unit()
        rate_unit = f"{CURRENCY}_per_kWh"
        used = {p: periods[p] for p in cond if any(r for _, r in periods[p])}
        if not used:
            return None
        if unit == "kwh" and all(len(periods[p]) == 1 for p in cond):
            return self._flat_energy(pl, {p: periods[p][0][1] for p in cond}, cond)
        resolution = "daily" if unit == "kwh daily" else "monthly"
        e = pl.energy()
        total = pl.aggregate("energy_total", e, resolution, "sum")
        per_kw = self._monthly_demand(pl) if unit == "kwh/kw" else None
        if len(cond) == 1:
            (p,) = cond
            return pl.tiered("energy_cost", total, periods[p], rate_unit, CURRENCY, per_kw)
        hours = b.level(1.0, "hours")
        total_kw = pl.divide("energy_total_kw", total, hours, "kW")
        # A period's share of a month without energy is 0, not 0/0.
        total_kw = pl.clip("energy_total_kw", total_kw, level(1e-300, "kW"))
        costs = []
        for p, tiers in used.items():
            mine = pl.aggregate(
                f"energy_p{p}", pl.keep_only(f"energy_p{p}", e, cond[p]), resolution, "sum"
            )
            share = pl.divide(
                f"share_p{p}", pl.divide(f"energy_p{p}_kw", mine, hours, "kW"), total_kw, "%"
            )
            cost = pl.tiered(f"tiers_p{p}", total, tiers, rate_unit, CURRENCY, per_kw)
            assert cost is not None  # `used` holds only periods with a rate
            costs.append(pl.multiply(f"energy_cost_p{p}", share, cost, CURRENCY))
        return pl.add("energy_cost", costs)

    def _flat_energy(
        self, pl: Pipeline, rates: dict[int, float], cond: dict[int, Node | None]
    ) -> DatasetRef:
        """One price per period: a price series, then energy times price per quarter-hour."""
        unit = f"{CURRENCY}_per_kWh"
        by_rate: dict[float, list[int]] = {}
        for p, r in rates.items():
            by_rate.setdefault(r, []).append(p)
        # The price held for most hours is the base; the others are masked in.
        base = max(by_rate, key=lambda r: (sum(self.cells[p] for p in by_rate[r]), -r))
        price = pl.constant("price", base, unit, b.QH)
        for r, ps in by_rate.items():
            if r != base:
                price = pl.mask("price", price, b.any_of([cond[p] for p in ps]), level(r, unit))
        return pl.multiply("energy_cost", pl.energy(), price, CURRENCY)

    def _power(self, pl: Pipeline) -> DatasetRef:
        """Mean power over the demand window: a quarter-hour unless the rate says an hour."""
        window = self.doc.get("demandwindow") or 15
        if window not in (15, 60) or isinstance(window, bool):
            fail(self.field("demandwindow"), f"expected 15 or 60 minutes, got {window!r}")
        energy = pl.energy()
        if window == 60:
            energy = pl.aggregate("hourly_energy", energy, "hourly", "sum")
        return pl.divide("power", energy, level(window / 60, "hours"), "kW")

    def _monthly_demand(self, pl: Pipeline) -> DatasetRef:
        return pl.aggregate("demand", self._power(pl), "monthly", "max")

    def tou_demand(self, pl: Pipeline) -> Node | None:
        if "demandratestructure" not in self.doc or self._demand_left_out():
            return None
        periods = self.structure("demandratestructure", energy=False)
        cond = self.conditions("demand", len(periods))
        used = [p for p in cond if any(r for _, r in periods[p])]
        if not used:
            return None
        power = self._power(pl)
        peaks = {
            p: pl.aggregate(
                f"demand_p{p}", pl.keep_only(f"power_p{p}", power, cond[p]), "monthly", "max"
            )
            for p in used
        }
        return _demand_cost(pl, "demand_cost", peaks, periods)

    def flat_demand(self, pl: Pipeline) -> Node | None:
        if "flatdemandstructure" not in self.doc or self._demand_left_out():
            return None
        periods = self.structure("flatdemandstructure", energy=False)
        raw = self.doc.get("flatdemandmonths")
        where = self.field("flatdemandmonths")
        if not isinstance(raw, list) or len(raw) != 12:
            fail(where, "expected 12 period numbers")
        by_period: dict[int, list[int]] = {}
        for m, v in enumerate(raw):
            p = number(v, f"{where}[{m}]")
            if p != int(p) or not 0 <= p < len(periods):
                fail(f"{where}[{m}]", f"period {v!r} is not one of the {len(periods)} periods")
            by_period.setdefault(int(p), []).append(m + 1)
        used = [p for p in by_period if any(r for _, r in periods[p])]
        if not used:
            return None
        peak = self._monthly_demand(pl)
        mine = {
            p: peak if len(ms) == 12 else pl.keep_only(f"demand_f{p}", peak, b.months(ms))
            for p, ms in by_period.items()
            if p in used
        }
        return _demand_cost(pl, "flat_demand_cost", mine, periods)

    def _charge(
        self, value_keys: tuple[str, str], units_key: str, pl: Pipeline, name: str
    ) -> DatasetRef | None:
        """A fixed amount per month, day or year (newer field, then the older monthly one)."""
        new, old = value_keys
        if self.doc.get(new) not in (None, 0):
            value = number(self.doc[new], self.field(new))
            units = self.doc.get(units_key, "$/month")
            if not isinstance(units, str) or units not in _PER_MONTH:
                fail(
                    self.field(units_key),
                    f"unknown unit {units!r} (expected $/month, $/day or $/year)",
                )
            resolution = _PER_MONTH[units]
        elif old and self.doc.get(old) not in (None, 0):
            value, resolution = number(self.doc[old], self.field(old)), "monthly"
        else:
            return None
        return pl.constant(name, value, CURRENCY, resolution)

    def fixed(self, pl: Pipeline) -> DatasetRef | None:
        return self._charge(
            ("fixedchargefirstmeter", "fixedmonthlycharge"), "fixedchargeunits", pl, "fixed_charge"
        )

    def minimum(self, pl: Pipeline, parts: Sequence[Charge], annual: bool) -> DatasetRef | None:
        """What the other charges fall short of the monthly minimum bill, or (`annual`) of
        the annual one, which counts the monthly minimum charges as billed."""
        monthly = self._charge(("mincharge", "minmonthlycharge"), "minchargeunits", pl, "minimum")
        yearly = None
        if monthly is not None and monthly["resolution"] == "yearly":
            monthly, yearly = None, monthly
        key = "annualmincharge"
        if self.doc.get(key) not in (None, 0):
            if yearly is not None:
                fail(self.field(key), "given besides a mincharge in $/year")
            if annual:
                value = number(self.doc[key], self.field(key))
                yearly = pl.constant("annual_minimum", value, CURRENCY, "yearly")
        if (monthly is None and not annual) or (yearly is None and annual):
            return None
        # Each charge is probed first so that one without a price leaves no steps behind.
        charges = (c for part in parts if _builds(part) and (c := part(pl)) is not None)
        bill = pl.add("bill", [_to_monthly(pl, c) for c in charges])
        if monthly is not None:
            short = pl.subtract("short", _to_monthly(pl, monthly), bill)
            top_up = pl.clip("minimum_charge", short, level(0.0, CURRENCY))
            if not annual:
                return top_up
            bill = pl.add("bill_with_minimum", [bill, top_up])
        assert yearly is not None  # only the annual minimum gets here, and it has one
        year = pl.aggregate("annual_bill", bill, "yearly", "sum")
        short = pl.subtract("annual_short", yearly, year)
        return pl.clip("annual_minimum_charge", short, level(0.0, CURRENCY))

    # The tariff -------------------------------------------------------------------------

    def tariff(self, left_out: list[str]) -> Tariff:
        d = self.doc
        start, end = self.instant("startdate"), self.instant("enddate")
        key = str(d.get("uri") or d.get("label") or f"urdb:{d.get('utility')}:{self.name}")
        tariff_id = uuid.uuid5(uuid.NAMESPACE_URL, key)
        parts: list[tuple[str, Charge]] = [
            ("Energy charge", self.energy),
            ("Demand charge (time of use)", self.tou_demand),
            ("Demand charge", self.flat_demand),
            ("Fixed charge", self.fixed),
        ]
        components = []
        for title, part in parts:
            pl = Pipeline()
            cost = part(pl)
            if cost is not None:
                components.append(
                    b.component(f"{key}#{title}", title, self.zone, pl, cost, start, end)
                )
        for title, annual in (("Minimum charge", False), ("Annual minimum charge", True)):
            pl = Pipeline()
            cost = self.minimum(pl, [p for _, p in parts], annual)
            if cost is not None:
                components.append(
                    b.component(f"{key}#{title}", title, self.zone, pl, cost, start, end)
                )
        if not components:
            fail(self.where, "no charge to import (no energy, demand, fixed or minimum charge)")
        utility = d.get("utility")
        name = f"{utility}: {self.name}" if utility else self.name
        source = d.get("uri") or d.get("source") or "no source given"
        effective = start.date().isoformat() if start else "no start date given"
        text = (
            f"Imported from the US utility rate database: {name} ({source}), effective "
            f"{effective}{f' to {end.date().isoformat()}' if end else ''}; schedules in {self.zone}."
        )
        if left_out:
            text += " Approximation, left out: " + "; ".join(left_out) + "."
        return b.make_tariff(
            self.where,
            {"id": tariff_id, "name": name, "description": text, "tariff_components": components},
        )


def _items(value: Any) -> list[Any]:
    """A list field for the feature checks, which run before the fields are validated."""
    return value if isinstance(value, list) else []


def _builds(part: Charge) -> bool:
    """Whether a charge has anything to price (probed on a scratch pipeline)."""
    return part(Pipeline()) is not None


def _demand_cost(pl: Pipeline, name: str, peaks: dict[int, DatasetRef], periods: Tiers) -> Node:
    """Each period's demand priced by its kW tiers, summed (only periods with a rate have a
    peak, so each has a cost)."""
    unit = f"{CURRENCY}_per_kW"
    costs = [pl.tiered(f"{name}_p{p}", x, periods[p], unit, CURRENCY) for p, x in peaks.items()]
    return pl.add(name, [c for c in costs if c is not None])


def _to_monthly(pl: Pipeline, x: Node) -> DatasetRef:
    if x["resolution"] == "monthly":
        return x
    if x["resolution"] == "yearly":
        return pl.resample(f"{x['id']}_monthly", x, "monthly")
    return pl.aggregate(f"{x['id']}_monthly", x, "monthly", "sum")


def _cell_condition(ms: list[int], wd: tuple[int, ...], we: tuple[int, ...]) -> Node | None:
    month = b.months(ms) if len(ms) < 12 else None
    if wd == we:
        return b.all_of([month, b.hours_condition(wd)])
    days = []
    for hours, which in ((wd, WEEKDAYS), (we, WEEKEND)):
        if hours:
            days.append(b.all_of([b.weekdays(which), b.hours_condition(hours)]))
    return b.all_of([month, b.any_of(days)])
