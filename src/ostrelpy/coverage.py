"""What a bill covers: the parts of a priced period that a component does not price.

A component is charged only inside its validity window, and a meter export may have gaps (no
readings, priced as no consumption). Both are named per component and span, so that a bill
never looks complete where it is not. A fee charged per month (or day) is charged for the
whole period even when the priced period takes in only part of it; that is said too.
"""

from __future__ import annotations

import datetime as dt
import functools
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ostrelpy import meter

NOT_ACTIVE = "not active"
NO_DATA = "no data"
# How many spans a table shows before it summarises the rest.
SHOWN = 6


@dataclass(frozen=True)
class Gap:
    """A span of the priced period that `component` does not price, and why: the component is
    `not active` then, or `no data` reaches it (`dataset` names the missing input)."""

    component: str
    start: pd.Timestamp
    end: pd.Timestamp
    reason: str
    dataset: str | None = None

    def describe(self, zone: dt.tzinfo) -> str:
        lo, hi = (t.tz_convert(zone).isoformat() for t in (self.start, self.end))
        why = self.reason if self.dataset is None else f"{self.reason} for {self.dataset!r}"
        return f"{self.component}: {why} from {lo} to {hi}"

    def as_dict(self, zone: dt.tzinfo) -> dict[str, Any]:
        return {
            "component": self.component,
            "start": self.start.tz_convert(zone).isoformat(),
            "end": self.end.tz_convert(zone).isoformat(),
            "reason": self.reason,
            **({} if self.dataset is None else {"dataset": self.dataset}),
        }


def _instant(t: Any) -> pd.Timestamp | None:
    return None if t is None else _utc(t)


@functools.lru_cache(maxsize=256)
def _utc(t: Any) -> pd.Timestamp:
    # Each bill asks the same few validity bounds several times.
    return pd.Timestamp(t).tz_convert("UTC")


def active_span(
    component: Any, start: pd.Timestamp, end: pd.Timestamp
) -> tuple[pd.Timestamp, pd.Timestamp]:
    """The part of [start, end) inside the component's validity window (maybe empty)."""
    lo, hi = _instant(component.applicable_from), _instant(component.applicable_to)
    a = start if lo is None else min(max(start, lo), end)
    b = end if hi is None else max(min(end, hi), a)
    return a, b


def inactive(components: Iterable[Any], start: pd.Timestamp, end: pd.Timestamp) -> list[Gap]:
    """The parts of [start, end) where no component of a name is valid. Components of one
    name that follow each other (a price change) are one charge: only what none of them
    covers is named."""
    spans: dict[str, list[tuple[pd.Timestamp, pd.Timestamp]]] = {}
    for c in components:
        spans.setdefault(c.name, []).append(active_span(c, start, end))
    out = []
    for name, active in spans.items():
        reached = start
        for a, b in sorted(active):
            if a > reached:
                out.append(Gap(name, reached, a, NOT_ACTIVE))
            reached = max(reached, b)
        if reached < end:
            out.append(Gap(name, reached, end, NOT_ACTIVE))
    return out


def holes(
    reading: meter.Reading, start: pd.Timestamp, end: pd.Timestamp
) -> list[tuple[pd.Timestamp, pd.Timestamp]]:
    """The spans of [start, end) without a reading, in order."""
    if not reading.gaps.count and reading.start <= start and end <= reading.end:
        return []  # readings without gaps over the whole span
    starts = reading.energy.index.asi8
    ends = reading._ends()
    edges = np.concatenate([[start.value], ends])
    nexts = np.concatenate([starts, [end.value]])
    lo = np.maximum(edges, start.value)
    hi = np.minimum(nexts, end.value)
    keep = lo < hi
    return [
        (pd.Timestamp(int(a), tz="UTC"), pd.Timestamp(int(b), tz="UTC"))
        for a, b in zip(lo[keep], hi[keep])
    ]


def missing_data(
    components: Iterable[Any],
    readings: Mapping[str, meter.Reading],
    start: pd.Timestamp,
    end: pd.Timestamp,
) -> list[Gap]:
    """For each component (engine record) that reads a dataset, the spans of its active part
    of [start, end) where that dataset has no reading."""
    spans: dict[int, list[Any]] = {}
    out = []
    for c in components:
        a, b = active_span(c, start, end)
        for d in c.datasets:
            r = readings.get(d.id)
            if r is None or a >= b:
                continue
            if id(r) not in spans:
                spans[id(r)] = holes(r, start, end)
            out += [
                Gap(c.name, max(lo, a), min(hi, b), NO_DATA, d.id)
                for lo, hi in spans[id(r)]
                if max(lo, a) < min(hi, b)
            ]
    return out


def partial_periods(components: Iterable[Any], start: pd.Timestamp, end: pd.Timestamp) -> list[str]:
    """Notes for components charged per day, month or year whose first or last period lies
    only partly in [start, end): such a period is charged in full."""
    out = []
    for c in components:
        resolution = c.cost.resolution.value
        if resolution == "quarter_hourly":
            continue
        a, b = active_span(c, start, end)
        if a >= b:
            continue

        zone = meter.zone_named(c.timezone)
        cut = []
        for t in (a, b):
            label = meter.period_start(t, resolution, zone)
            if label != t.value:
                cut.append(_period_name(pd.Timestamp(int(label), tz="UTC"), resolution, zone))
        if cut:
            per = resolution.removesuffix("ly").replace("dai", "day")
            shown = " and ".join(dict.fromkeys(cut))
            out.append(
                f"{c.name} is charged per {per}: {shown} lies only partly in the period "
                f"and is charged as a whole {per}"
            )
    return out


def _period_name(t: pd.Timestamp, resolution: str, zone: dt.tzinfo) -> str:
    local: dt.datetime = t.tz_convert(zone)
    if resolution == "monthly":
        return local.strftime("%Y-%m")
    if resolution == "yearly":
        return local.strftime("%Y")
    if resolution in ("daily", "weekly"):
        return ("week of " if resolution == "weekly" else "") + local.strftime("%Y-%m-%d")
    return local.strftime("%Y-%m-%d %H:%M")


def lines(gaps: list[Gap], notes: list[str], zone: dt.tzinfo) -> list[str]:
    """What a table prints under the bill: the gaps, one line per span and reason naming every
    component it concerns (the first few, then a count), and the notes."""
    spans: dict[tuple[str, str | None, pd.Timestamp, pd.Timestamp], list[str]] = {}
    for g in gaps:
        names = spans.setdefault((g.reason, g.dataset, g.start, g.end), [])
        if g.component not in names:
            names.append(g.component)
    shown = [
        "not priced: " + Gap(", ".join(names), key[2], key[3], key[0], key[1]).describe(zone)
        for key, names in spans.items()
    ]
    if len(shown) > SHOWN:
        more = len(shown) - SHOWN
        shown = shown[:SHOWN] + [f"not priced: {more} more span(s); --format json lists all"]
    return shown + [f"note: {n}" for n in notes]
