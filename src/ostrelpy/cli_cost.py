"""The `cost` subcommand: what a meter export costs under a catalogue tariff."""

from __future__ import annotations

import argparse
import dataclasses
import datetime as dt
import functools
import json
import math
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pandas as pd

from ostrelpy import coverage, meter, pricing, tariffs

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
    gaps: list[coverage.Gap] = dataclasses.field(default_factory=list)
    notes: list[str] = dataclasses.field(default_factory=list)

    @functools.cached_property
    def frame(self) -> pricing.CostFrame:
        # Made once: every output of a command reads it, some more than once.
        frame = pricing.tidy(self.results, self.zone)
        return pricing.annotated(frame, self.gaps, self.notes, self.exported())

    def exported(self) -> float:
        return self.inputs.exported_kwh() if self.inputs else 0.0

    def energy(self) -> float:
        return float(self.inputs.quarter_hours("consumption").sum()) if self.inputs else 0.0

    def period(self) -> str:
        lo, hi = (t.tz_convert(self.zone).isoformat() for t in (self.start, self.end))
        return f"{lo} to {hi}"


def lookup(reference: str | None, catalogue: str | None) -> tariffs.Entry:
    """The tariff named (the catalogue's default without a name); files of the catalogue that
    could not be read on the way are named on stderr."""
    entry = tariffs.default(catalogue) if reference is None else tariffs.find(reference, catalogue)
    for message in entry.skipped:
        notice(f"skipped {message}")
    return entry


def price(args: argparse.Namespace) -> Priced:
    """Read, check and price what the arguments name; notices go to stderr."""
    entry = lookup(args.tariff, args.catalogue)
    pairs = engine_pairs(entry)
    return price_reading(entry, pairs, read(args, pairs), args)


def read(args: argparse.Namespace, pairs: list[tuple[Any, Any]]) -> meter.Reading:
    """The meter export the arguments name, read for a tariff of these components: naive
    times in the tariff's zone unless --timezone, days by the tariff's calendar."""
    from ostrelpy.bindings import _engine

    if args.consumption is not None and not args.consumption.strip():
        raise ValueError("--consumption: the file name is empty")
    reading = meter.read_meter(
        EXAMPLE_CONSUMPTION if args.consumption is None else args.consumption,
        column=args.column,
        timezone=args.timezone,
        calendar_zone=_engine.timezone_from_str(pairs[0][1].timezone),
        allow_export=args.allow_export,
        naive_zone=pricing.single_zone(pairs),
    )
    for text in reading.notices:
        notice(text)
    return reading


def notice(text: str) -> None:
    print(f"ostrelpy: {text}", file=sys.stderr)


def price_reading(
    entry: tariffs.Entry,
    pairs: list[tuple[Any, Any]],
    reading: meter.Reading,
    args: argparse.Namespace,
    say: Callable[[str], None] = notice,
) -> Priced:
    """The reading priced under the tariff over the period the arguments give; `say` takes
    each notice."""
    from ostrelpy.bindings import _engine

    zone = _engine.timezone_from_str(pairs[0][1].timezone)
    naive_zone = meter.parse_zone(args.timezone) if args.timezone else None
    lo = None if args.start is None else pricing.parse_instant(args.start, "--start", naive_zone)
    hi = None if args.end is None else pricing.parse_instant(args.end, "--end", naive_zone)
    if lo is not None and hi is not None and lo < hi:
        active = [c for _, c in pairs if c.is_active_in_period(lo, hi)]
        if not active:  # nothing to price: the data need not cover the period
            return Priced(entry, zone, reading, lo, hi, None, [])
    lo, hi = pricing.window([reading], lo, hi, zone)
    gaps = meter.describe_gaps(reading, zone)
    if gaps:
        say(gaps)
    energy_ids = {d.id for _, c in pairs for d in c.datasets if d.unit == "kWh"}
    names = energy_ids if len(energy_ids) == 1 else {"consumption"}
    inputs = pricing.Inputs(dict.fromkeys(names | {"consumption"}, reading), lo, hi)
    window = lo.to_pydatetime(), hi.to_pydatetime()
    engines = [c for _, c in pairs]
    results = pricing.evaluate(entry.tariff, inputs, *window, engines)
    for text in inputs.notices:
        say(text)
    uncovered, notes = pricing.covered(entry.tariff, inputs, lo, hi, engines)
    return Priced(entry, zone, reading, lo, hi, inputs, results, uncovered, notes)


def engine_pairs(entry: tariffs.Entry) -> list[tuple[Any, Any]]:
    """The tariff's components in the engine's records; a refusal names the file."""
    from pydantic import ValidationError

    try:
        pairs = pricing.engine_components(entry.tariff)
    except ValidationError as exc:
        raise tariffs.CatalogueError(
            f"{entry.path}: the tariff does not validate: {tariffs.validation_summary(exc)}"
        ) from None
    if not pairs:
        raise tariffs.CatalogueError(f"{entry.path}: the tariff has no components")
    return pairs


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
        return str(text)  # pandas already put the columns' name in the corner
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
    total = (
        math.fsum(float(str(c["total"])) for c in components) if "/" not in str(currency) else None
    )
    return {
        "tariff": {"id": str(p.entry.tariff.id), "name": p.entry.tariff.name},
        "start": p.start.tz_convert(p.zone).isoformat(),
        "end": p.end.tz_convert(p.zone).isoformat(),
        "energy_kwh": round(p.energy(), 6),
        "exported_kwh": round(p.exported(), 6),
        "currency": currency,
        "components": components,
        "months": months,
        "total": None if total is None else round(total, 6),
        "coverage": [g.as_dict(p.zone) for g in p.gaps],
        "notes": p.notes,
    }


def as_csv(p: Priced) -> str:
    """One row per month and component; when the bill does not cover everything, every month
    of the period and every component, with a `coverage` column naming, per row, the spans of
    that month the component does not price."""
    monthly = p.frame.monthly().drop(columns="total", errors="ignore")
    units = {
        c.name: str(getattr(c.cost.unit, "value", c.cost.unit))
        for c in p.entry.tariff.tariff_components
    }
    if p.gaps:
        first, last = (t.tz_convert(p.zone).tz_localize(None) for t in (p.start, p.end))
        months = pd.period_range(first, last - pd.Timedelta(1), freq="M").astype(str)
        monthly = monthly.reindex(index=months, columns=list(units)).fillna(0.0)
    long = monthly.stack().rename("cost").reset_index()
    long.columns = ["month", "component", "cost"]
    long["currency"] = long["component"].map(units)
    if p.gaps:
        long["coverage"] = [_month_gaps(p, m, c) for m, c in zip(long["month"], long["component"])]
    return str(long.to_csv(index=False, float_format="%.6f", lineterminator="\n"))


def _month_gaps(p: Priced, month: str, component: str) -> str:
    first = pd.Timestamp(month).tz_localize(p.zone)
    lo, hi = first.tz_convert("UTC"), (first + pd.offsets.MonthBegin()).tz_convert("UTC")
    return "; ".join(
        coverage.Gap(g.component, max(g.start, lo), min(g.end, hi), g.reason, g.dataset)
        .describe(p.zone)
        .split(": ", 1)[1]
        for g in p.gaps
        if g.component == component and g.start < hi and g.end > lo
    )


def header(p: Priced) -> str:
    energy = f"{p.energy():.1f} kWh"
    if p.exported() > 0:
        energy += f" imported, {p.exported():.1f} kWh exported (not priced by this tariff)"
    return f"{p.entry.tariff.name}: cost from {p.period()}, {energy}"


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
        print(header(p))
        print(render_table(bill(p.frame.monthly())))
        for line in coverage.lines(p.gaps, p.notes, p.zone):
            print(line)
    if args.chart:
        cli_chart.draw(args.chart, p)
        print(f"ostrelpy: chart written to {args.chart}", file=sys.stderr)
    return 0
