"""The `cost` subcommand: what a meter export costs under a catalogue tariff."""

from __future__ import annotations

import argparse
import datetime as dt
import json
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pandas as pd

from ostrelpy import meter, pricing, tariffs

EXAMPLE_CONSUMPTION = Path(__file__).with_name("data") / "consumption.csv"
STEP = meter.QUARTER
# Up to this many months the bill has months as columns; longer periods put them in rows.
WIDE_MONTHS = 4


def read_consumption(path: str | Path) -> pd.Series:
    """A checked meter export (interval start with offset, kWh) as a float series in UTC."""
    return meter.read_meter(path).energy


def validity(tariff: Any) -> str:
    """When a tariff's components apply, from the earliest start to the latest end."""
    starts = [c.applicable_from for c in tariff.tariff_components]
    ends = [c.applicable_to for c in tariff.tariff_components]
    lo = None if any(s is None for s in starts) else min(starts)
    hi = None if any(e is None for e in ends) or not ends else max(ends)
    if not starts:
        return "no components"
    if lo is None:
        return "always" if hi is None else f"until {hi.date().isoformat()}"
    return f"from {lo.date().isoformat()}" + ("" if hi is None else f" to {hi.date().isoformat()}")


@dataclass
class Priced:
    """A priced period: what every output of `cost` and `schedule` is drawn from."""

    entry: tariffs.Entry
    zone: dt.tzinfo
    reading: meter.Reading | None
    start: pd.Timestamp
    end: pd.Timestamp
    inputs: pricing.Inputs | None
    results: list[pricing.ComponentResult]

    @property
    def frame(self) -> pricing.CostFrame:
        return pricing.tidy(self.results, self.zone)

    def energy(self) -> float:
        return float(self.inputs.quarter_hours("consumption").sum()) if self.inputs else 0.0

    def period(self) -> str:
        lo, hi = (t.tz_convert(self.zone).isoformat() for t in (self.start, self.end))
        return f"{lo} to {hi}"


def price(args: argparse.Namespace) -> Priced:
    """Read, check and price what the arguments name; notices go to stderr."""
    entry = tariffs.default(args.catalogue) if args.tariff is None else None
    entry = entry or tariffs.find(args.tariff, args.catalogue)
    pairs = _engine_pairs(entry)
    if not pairs:
        raise tariffs.CatalogueError(f"{entry.path}: the tariff has no components")
    from ostrelpy.bindings import _engine

    zone = _engine.timezone_from_str(pairs[0][1].timezone)
    naive_zone = meter.parse_zone(args.timezone) if args.timezone else None
    if args.consumption is not None and not args.consumption.strip():
        raise ValueError("--consumption: the file name is empty")
    reading = meter.read_meter(
        EXAMPLE_CONSUMPTION if args.consumption is None else args.consumption,
        column=args.column,
        timezone=args.timezone,
        calendar_zone=zone,
        allow_export=args.allow_export,
    )
    lo = None if args.start is None else _instant(args.start, "--start", naive_zone)
    hi = None if args.end is None else _instant(args.end, "--end", naive_zone)
    if lo is not None and hi is not None and lo < hi:
        active = [c for _, c in pairs if c.is_active_in_period(lo, hi)]
        if not active:  # nothing to price: the data need not cover the period
            return Priced(entry, zone, reading, lo, hi, None, [])
    lo, hi = pricing.window([reading], lo, hi, zone)
    gaps = meter.describe_gaps(reading, zone)
    if gaps:
        print(f"ostrelpy: {gaps}", file=sys.stderr)
    energy_ids = {d.id for _, c in pairs for d in c.datasets if d.unit == "kWh"}
    names = energy_ids if len(energy_ids) == 1 else {"consumption"}
    inputs = pricing.Inputs(dict.fromkeys(names | {"consumption"}, reading), lo, hi)
    window = lo.to_pydatetime(), hi.to_pydatetime()
    results = pricing.evaluate_with_facade(entry, inputs, *window)
    if getattr(args, "chart", None) or args.command == "schedule":
        results = pricing.with_prices(results, pricing.evaluate(entry.tariff, inputs, *window))
    for notice in inputs.notices:
        print(f"ostrelpy: {notice}", file=sys.stderr)
    return Priced(entry, zone, reading, lo, hi, inputs, results)


# The span the engine prices (its instants are int64 nanoseconds).
FIRST_INSTANT = pd.Timestamp("1678-01-01", tz="UTC")
LAST_INSTANT = pd.Timestamp("2262-01-01", tz="UTC")


def _instant(text: str, option: str, zone: dt.tzinfo | None) -> pd.Timestamp:
    t = pricing.parse_instant(text, option, zone)
    if not FIRST_INSTANT <= t <= LAST_INSTANT:
        raise ValueError(
            f"{option} {text!r} is outside the periods ostrelpy can price "
            "(1678-01-01 to 2262-01-01 UTC)"
        )
    return t


def _engine_pairs(entry: tariffs.Entry):
    from pydantic import ValidationError

    try:
        return pricing.engine_components(entry.tariff)
    except ValidationError as exc:
        raise tariffs.CatalogueError(
            f"{entry.path}: the tariff does not validate: {tariffs.validation_summary(exc)}"
        ) from None


def bill(monthly: pd.DataFrame) -> pd.DataFrame:
    """The printed bill: components by month (months as rows for long periods), totals."""
    currency = monthly.columns.name
    single = "total" in monthly.columns
    table = monthly.drop(columns="total", errors="ignore")
    if len(table) <= WIDE_MONTHS:
        table = table.T
    if single:
        table["total"] = table.sum(axis=1)
        table.loc["total"] = table.sum(axis=0)
    table.index.name = None
    table.columns.name = currency
    return table


def render_table(table: pd.DataFrame) -> str:
    text = table.to_string(float_format=lambda v: f"{v:.2f}")
    lines = text.splitlines()
    currency = str(table.columns.name or "")
    if lines and currency and lines[0].startswith(currency):
        return text  # pandas already put the columns' name in the corner
    width = max(len(str(i)) for i in table.index)
    if currency and len(currency) <= width and lines[0][:width].strip() == "":
        lines[0] = currency.ljust(width) + lines[0][width:]
    return "\n".join(lines)


def as_json(p: Priced) -> dict[str, Any]:
    monthly = p.frame.monthly()
    currency = monthly.columns.name
    components = [
        {
            "id": str(r.public.id),
            "name": r.public.name,
            "currency": r.currency,
            "total": round(float(r.cost.sum()), 6),
        }
        for r in p.results
    ]
    months = [
        {
            "month": str(month),
            "costs": {k: round(float(v), 6) for k, v in row.items() if k != "total"},
            **({"total": round(float(row["total"]), 6)} if "total" in row else {}),
        }
        for month, row in monthly.iterrows()
    ]
    total = sum(c["total"] for c in components) if "/" not in str(currency) else None
    return {
        "tariff": {"id": str(p.entry.tariff.id), "name": p.entry.tariff.name},
        "start": p.start.tz_convert(p.zone).isoformat(),
        "end": p.end.tz_convert(p.zone).isoformat(),
        "energy_kwh": round(p.energy(), 6),
        "currency": currency,
        "components": components,
        "months": months,
        "total": None if total is None else round(total, 6),
    }


def as_csv(p: Priced) -> str:
    monthly = p.frame.monthly()
    long = monthly.drop(columns="total", errors="ignore").stack().rename("cost").reset_index()
    long.columns = ["month", "component", "cost"]
    currency = {r.public.name: r.currency for r in p.results}
    long["currency"] = long["component"].map(currency)
    return long.to_csv(index=False, float_format="%.6f", lineterminator="\n")


def run(args: argparse.Namespace) -> int:
    if args.chart:
        from ostrelpy import cli_chart

        cli_chart.check(args.chart)
    p = price(args)
    if not p.results:
        print("No component of the tariff applies in the period.")
        return 0
    if args.format == "json":
        print(json.dumps(as_json(p), indent=2, ensure_ascii=False))
    elif args.format == "csv":
        sys.stdout.write(as_csv(p))
    else:
        print(f"{p.entry.tariff.name}: cost from {p.period()}, {p.energy():.1f} kWh")
        print(render_table(bill(p.frame.monthly())))
    if args.chart:
        cli_chart.draw(args.chart, p)
        print(f"ostrelpy: chart written to {args.chart}", file=sys.stderr)
    return 0
