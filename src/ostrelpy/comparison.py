"""Comparing tariffs: the same consumption priced under each, ranked by what it costs.

Each tariff is priced through `ostrelpy.cost` (the facade's one path); this module only ranks
the bills. A component's kind is read from its pipeline: `fixed` when it reads no dataset,
`power` when anything in it is power (kW, as a peak or capacity fee divides energy by time),
`energy` otherwise. Tariffs are ranked within their currency. A tariff whose components do
not all cover the period is ranked after those that do (its bill is missing a charge), and
says why in `coverage`.
"""

from __future__ import annotations

import datetime as dt
import os
import uuid
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import pandas as pd

from ostrelpy import coverage, meter, pricing
from ostrelpy import tariffs as _tariffs
from ostrelpy.models import Dataset, Tariff

KINDS = ("energy", "power", "fixed")
COLUMNS = ["rank", "tariff", "id", "currency", *KINDS, "total", "difference", "complete"]


def kind(component: Any) -> str:
    """`fixed`, `power` or `energy`: what an engine component charges for."""
    if not component.datasets:
        return "fixed"
    units = {d.unit.value for d in component.datasets}
    units |= {f.output.unit.value for f in component.functions if hasattr(f, "output")}
    return "power" if "kW" in units else "energy"


@dataclass(frozen=True)
class Bill:
    """One tariff's bill of the compared consumption."""

    tariff: Tariff
    frame: pricing.CostFrame


class Comparison(pd.DataFrame):
    """Tariffs ranked by total cost, one row each, columns `rank` (within the currency),
    `tariff` (name), `id`, `currency`, the cost per component kind (`energy`, `power`,
    `fixed`), `total`, `difference` (to the cheapest complete tariff of the currency, else the cheapest) and
    `complete` (whether every component is valid over the whole period).

    `coverage` maps each tariff id to the spans its bill does not cover (`coverage.Gap`),
    `notes` to its notes (partial periods charged in full), and `skipped` names each tariff
    that could not be priced, with why."""

    _metadata = ["coverage", "notes", "skipped"]

    @property
    def _constructor(self) -> type[Comparison]:
        return Comparison


def rank(bills: Iterable[Bill], skipped: Mapping[str, str] | None = None) -> Comparison:
    """The bills ranked: per currency, complete ones by total, then the incomplete ones."""
    rows, gaps, notes = [], {}, {}
    for b in bills:
        kinds = {c.name: kind(c) for _, c in pricing.engine_components(b.tariff)}
        totals = b.frame.groupby("component", sort=False)["cost"].sum()
        by_kind = {k: 0.0 for k in KINDS}
        for name, value in totals.items():
            by_kind[kinds[name]] += float(value)
        currencies = {
            str(getattr(c.cost.unit, "value", c.cost.unit)) for c in b.tariff.tariff_components
        }
        rows.append(
            {
                "tariff": b.tariff.name,
                "id": str(b.tariff.id),
                "currency": "/".join(sorted(currencies)),
                **by_kind,
                "total": sum(by_kind.values()),
                # Data gaps are the same under every tariff; a component that is not valid
                # for part of the period leaves a charge out of this tariff's bill alone.
                "complete": all(g.reason != coverage.NOT_ACTIVE for g in b.frame.coverage),
            }
        )
        gaps[str(b.tariff.id)] = list(b.frame.coverage)
        notes[str(b.tariff.id)] = list(b.frame.notes)
    frame = pd.DataFrame(rows, columns=[c for c in COLUMNS if c not in ("rank", "difference")])
    frame = frame.sort_values(
        ["currency", "complete", "total"], ascending=[True, False, True], kind="stable"
    ).reset_index(drop=True)
    frame.insert(0, "rank", frame.groupby("currency").cumcount() + 1)
    # The cheapest complete bill of each currency is the reference; without one, the cheapest.
    cheapest = frame.groupby("currency")["total"].min()
    cheapest.update(frame[frame["complete"]].groupby("currency")["total"].min())
    frame.insert(
        len(frame.columns) - 1, "difference", frame["total"] - frame["currency"].map(cheapest)
    )
    out = Comparison(frame)
    out.coverage, out.notes, out.skipped = gaps, notes, dict(skipped or {})
    return out


def select(
    references: str | Iterable[str | uuid.UUID | Tariff] | None,
    catalogue: str | os.PathLike[str] | None = None,
) -> tuple[list[Tariff], dict[str, str]]:
    """The tariffs named: every tariff of the catalogue for None; for each reference, the
    tariff it names (id, unique id prefix or name), else every tariff whose name contains it.
    Also the catalogue's files that could not be read, with why."""
    every, broken = _tariffs.scan(catalogue)
    unread = {str(path): message for path, message in broken}
    if references is None:
        return [e.tariff for e in every], unread
    if isinstance(references, str | uuid.UUID | Tariff):
        references = [references]
    chosen: dict[str, Tariff] = {}
    for ref in references:
        if isinstance(ref, Tariff):
            chosen.setdefault(str(ref.id), ref)
            continue
        text = str(ref)
        try:
            found = [_tariffs.find(text, catalogue).tariff]
        except _tariffs.TariffLookupError:
            key = text.strip().casefold()
            found = [e.tariff for e in every if key and key in e.tariff.name.casefold()]
            if not found:
                raise
        for t in found:
            chosen.setdefault(str(t.id), t)
    return list(chosen.values()), unread


def compare(
    tariffs: str | Iterable[str | uuid.UUID | Tariff] | None,
    consumption: pd.Series | Mapping[str | Dataset, pd.Series],
    start: dt.datetime | str | None = None,
    end: dt.datetime | str | None = None,
    *,
    timezone: str | dt.tzinfo | None = None,
    catalogue: str | os.PathLike[str] | None = None,
    allow_export: bool = pricing.ALLOW_EXPORT,
) -> Comparison:
    """The same consumption priced under each tariff, ranked (see `Comparison`).

    `tariffs` is None (every tariff of the catalogue), a text (the tariff it names, else
    every tariff whose name contains it, such as a company's name), or several of those or
    `Tariff`s. The other arguments are those of `ostrelpy.cost`. A tariff that cannot price
    this consumption (it needs other datasets, or no component of it applies in the period)
    is left out and named in `skipped`; an error when none can.
    """
    chosen, skipped = select(tariffs, catalogue)
    bills = []
    for t in chosen:
        try:
            frame = pricing.cost(
                t, consumption, start, end, timezone=timezone, allow_export=allow_export
            )
        except (ValueError, meter.MeterError) as exc:
            skipped[t.name] = str(exc)
            continue
        if frame.empty:
            skipped[t.name] = "no component of the tariff applies in the period"
            continue
        bills.append(Bill(t, frame))
    if not bills:
        why = "; ".join(f"{k}: {v}" for k, v in skipped.items()) or "no tariffs to compare"
        raise ValueError(f"no tariff could price the consumption ({why})")
    return rank(bills, skipped)


def describe(result: Comparison, zone: dt.tzinfo) -> list[str]:
    """What a table prints under the ranking: incomplete bills and notes, by tariff."""
    out = []
    names = dict(zip(result["id"], result["tariff"]))
    for tid, gaps in result.coverage.items():
        out += [f"{names[tid]}: {line}" for line in coverage.lines(gaps, result.notes[tid], zone)]
    out += [f"skipped {name}: {why}" for name, why in result.skipped.items()]
    return out
