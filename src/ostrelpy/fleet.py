"""Billing a fleet: one tariff over many meters, at memory speed, and on a Dask cluster.

`cost(tariff, meters)` prices every meter exactly as `ostrelpy.cost` prices it alone, but the
work that does not depend on a meter is done once per batch: the tariff's active components,
each component's window, holidays and timeline (the facade's one path), its calendar, period
ids and condition masks. The engine then evaluates each component's blocks over a
meters x intervals matrix with the GIL released (`_engine.run_fleet`); nothing here makes a
pandas object per meter per block. The batch is processed in chunks of meters whose size
follows a memory budget.

Meters are checked one by one and never fail the fleet: a meter with gaps, duplicate
intervals, values that are not numbers or are negative is listed in `Bills.issues` and priced
or refused by the rules of `ostrelpy cost` (gaps count as no consumption; duplicates and
non-numbers are refused; negative energy is refused unless `allow_export`).
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import functools
import os
import threading
import time
import uuid
from collections.abc import Hashable, Mapping
from typing import Any, cast

import numpy as np
import pandas as pd

from ostrelpy import meter, pricing
from ostrelpy.models import Tariff

_Q = meter.QUARTER.value
_Q_STEP = pd.Timedelta(_Q, unit="ns")
_SCALES = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}  # ns per unit of a datetime64
_INT64_MAX = int(np.iinfo(np.int64).max)
DEFAULT_MEMORY_BUDGET = 256 * 2**20
BILL_COLUMNS = ["meter", "component", "month", "cost", "currency"]
_BILL_LABELS = tuple(BILL_COLUMNS)
ISSUE_COLUMNS = ["meter", "kind", "first", "priced", "detail"]
LONG_COLUMNS = ["meter", "interval_start", "kwh"]  # long readings; other columns are ignored
# What can be wrong with a meter, and whether `ostrelpy cost` would price it anyway.
ISSUE_KINDS = ("gap", "duplicate", "non_numeric", "negative", "outside_period", "unreadable")

# One row of the issues table: meter, kind, first instant, priced, detail.
Issue = tuple[Hashable, str, Any, bool, str | None]


class Bills(pd.DataFrame):
    """One row per meter, component and billing month (the local month of the component's
    zone, as "YYYY-MM"), with the cost and its currency. The meter column holds the ids as the
    meters give them (of their dtype). `issues` lists what was wrong with
    which meter (meter, kind, first instant, whether it was priced, detail)."""

    # The issues table, or None for none: the empty table is made when it is first asked for.
    _metadata = ["_issues"]

    @property
    def _constructor(self) -> type[Bills]:
        return Bills

    @property
    def issues(self) -> pd.DataFrame:
        found = getattr(self, "_issues", None)
        if found is None:
            found = _no_issues()
            object.__setattr__(self, "_issues", found)
        return found

    @issues.setter
    def issues(self, value: pd.DataFrame | None) -> None:
        object.__setattr__(self, "_issues", value)

    def totals(self) -> pd.Series | pd.DataFrame:
        """Cost per meter over the period: a Series by meter, or a meter x currency table
        when the tariff bills in several currencies."""
        frame = pd.DataFrame(self)
        if frame["currency"].nunique() <= 1:
            out = frame.groupby("meter", sort=False)["cost"].sum()
            out.name = "total"
            return out
        return frame.pivot_table(index="meter", columns="currency", values="cost", aggfunc="sum")


def cost(
    tariff: str | uuid.UUID | Tariff,
    meters: pd.DataFrame,
    start: dt.datetime | str | None = None,
    end: dt.datetime | str | None = None,
    *,
    catalogue: str | os.PathLike[str] | None = None,
    allow_export: bool = False,
    memory_budget: int = DEFAULT_MEMORY_BUDGET,
) -> Bills:
    """What each meter's energy costs under a tariff, per component and billing month.

    `meters` is wide (an aware DatetimeIndex of interval starts, one column of kWh per
    meter; an empty cell is a missing reading) or long (columns `meter`, `interval_start`,
    `kwh`). `start` and `end` (aware, on quarter-hours) default to each meter's own span, as
    `ostrelpy.cost` does; a meter whose data does not cover an explicit period is refused.
    `memory_budget` bounds, in bytes, the matrix of meters priced at once.
    """
    # A catalogue file priced again is neither read nor converted again (kept by its path,
    # modification time and size, as `ostrelpy.cost` keeps it).
    chosen, pairs = pricing._tariff_and_components(tariff, catalogue)
    content, zone = _checked_tariff(tariff, chosen, pairs)
    fleet = _read(meters, allow_export, zone)
    return _bills(chosen, content, fleet, start, end, memory_budget)


# Catalogue tariffs checked for a fleet, with their content as text and their zone, by the
# object the catalogue's cache gives: that object is the package's own and never changes,
# while a caller's Tariff may be changed in place between two calls and is read each time.
_CHECKED: dict[int, tuple[Tariff, str, dt.tzinfo]] = {}


def _checked_tariff(
    asked: Any, chosen: Tariff, pairs: list[tuple[Any, Any]]
) -> tuple[str, dt.tzinfo]:
    hit = _CHECKED.get(id(chosen)) if isinstance(asked, str | uuid.UUID) else None
    if hit is not None and hit[0] is chosen:
        return hit[1], hit[2]
    _check_datasets(chosen, pairs)
    text, zone = str(chosen.model_dump_json()), pricing._zone(pairs)
    if isinstance(asked, str | uuid.UUID):
        if len(_CHECKED) >= 64:
            _CHECKED.clear()
        _CHECKED[id(chosen)] = (chosen, text, zone)
    return text, zone


# ---------------------------------------------------------------------------------------------
# Reading and checking the meters


@dataclasses.dataclass
class _Fleet:
    """Checked meters: their ids, where each one's quarter-hours come from, and its span."""

    labels: pd.Index  # the ids as the caller's column or labels hold them (their dtype)
    spans: np.ndarray  # (n, 2) int64 UTC ns: first interval start, end of the last one
    rows: Any  # callable(meter positions, lo, hi) -> matrix of quarter-hour energy
    issues: list[Issue]

    def id_at(self, position: int) -> Hashable:
        return cast(Hashable, self.labels[position])


def _read(meters: pd.DataFrame, allow_export: bool, zone: dt.tzinfo) -> _Fleet:
    if not isinstance(meters, pd.DataFrame):
        raise TypeError(f"meters must be a pandas DataFrame, got {type(meters).__name__}")
    if isinstance(meters.index, pd.DatetimeIndex):
        return _read_wide(meters, allow_export, zone)
    if set(LONG_COLUMNS) <= set(meters.columns):
        return _read_long(meters, allow_export, zone)
    raise ValueError(
        "meters must be wide (a DatetimeIndex of interval starts, a column per meter) or long "
        "(columns meter, interval_start, kwh)"
    )


def _utc_ns(values: Any, what: str) -> np.ndarray:
    array = getattr(values, "array", None)  # an index's or a column's
    if isinstance(array, pd.arrays.DatetimeArray) and array.tz is not None:
        # Aware instants are kept in UTC, in their unit: scaled to nanoseconds.
        scale = _SCALES[array.unit]
        raw: np.ndarray = array.asi8
        if scale == 1:
            return raw
        limit = _INT64_MAX // scale
        if len(raw) and not (-limit <= raw.min() and raw.max() <= limit):
            raise ValueError(f"{what} {meter.BEYOND_NANOSECONDS}")
        index_ns: np.ndarray = raw * scale
        return index_ns
    try:
        if pd.api.types.is_datetime64_any_dtype(values):
            index = pd.DatetimeIndex(values)
        else:  # ISO 8601 texts, each with its offset (which changes with daylight saving)
            text = np.asarray(values, dtype=str)
            aware = meter._has_offset(text).all()
            index = pd.DatetimeIndex(pd.to_datetime(text, utc=aware, format="ISO8601"))
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{what} must hold time-zone-aware interval starts ({exc})") from None
    if index.tz is None:
        raise ValueError(f"{what} must hold time-zone-aware interval starts")
    out: np.ndarray = index.as_unit("ns").tz_convert("UTC").asi8
    return out


def _when(ns: int) -> pd.Timestamp:
    return pd.Timestamp(int(ns), tz="UTC")


class _Sorted:
    """Readings sorted by meter then instant, with each meter's slice. Readings already in
    that order (the usual export) are taken without sorting."""

    def __init__(self, codes: np.ndarray, times: np.ndarray, values: np.ndarray, n: int) -> None:
        step_code, self.steps = np.diff(codes), np.diff(times)
        if ((step_code > 0) | ((step_code == 0) & (self.steps >= 0))).all():
            self.order = None
            self.codes, self.times, self.values = codes, times, values
            self.same = step_code == 0
        else:
            self.order = np.lexsort((times, codes))
            self.codes, self.times = codes[self.order], times[self.order]
            self.values = values[self.order]
            self.same, self.steps = self.codes[1:] == self.codes[:-1], np.diff(self.times)
        self.bounds = np.searchsorted(self.codes, np.arange(n + 1))

    def sorted(self, x: np.ndarray) -> np.ndarray:
        return x if self.order is None else x[self.order]

    def of(self, i: int) -> slice:
        return slice(self.bounds[i], self.bounds[i + 1])


def _checked(
    ids: list[Hashable],
    data: _Sorted,
    raw_bad: np.ndarray,
    allow_export: bool,
    zone: dt.tzinfo,
) -> tuple[np.ndarray, np.ndarray, dict[int, pd.Series], list[Issue]]:
    """The checks of `ostrelpy cost`, over every meter at once. Returns which meters are
    priced, their spans, the quarter-hours of those that need a reading of their own (other
    intervals than quarter-hours, gaps), and the issues."""
    n = len(ids)
    codes, times, values = data.codes, data.times, data.values
    issues: list[Issue] = []
    priced = np.ones(n, dtype=bool)

    def report(mask: np.ndarray, kind: str, refuse: bool, detail: str) -> None:
        hit = np.flatnonzero(mask)
        if not len(hit):
            return
        meters, first = np.unique(codes[hit], return_index=True)
        for m, at in zip(meters, hit[first]):
            issues.append((ids[m], kind, _when(times[at]), not refuse, detail))
        if refuse:
            priced[meters] = False

    report(raw_bad, "non_numeric", True, "values must be numbers (kWh per interval)")
    same, steps = data.same, data.steps
    duplicate = np.r_[False, same & (steps == 0)]
    report(duplicate, "duplicate", True, "an interval start appears twice")
    negative = values < 0
    report(negative, "negative", not allow_export, "negative energy (net export)")

    spans = np.zeros((n, 2), dtype=np.int64)
    counts = np.diff(data.bounds)
    has = counts > 0
    priced &= has
    for m in map(int, np.flatnonzero(~has)):
        issues.append((ids[m], "unreadable", None, False, "holds no readings"))
    first = data.bounds[:-1][has]
    last = data.bounds[1:][has] - 1
    spans[has, 0] = times[first]
    spans[has, 1] = times[last] + _Q
    # Quarter-hours without a hole are read as they stand; any other meter (other intervals,
    # gaps, readings off the grid, net export) through the reader of `ostrelpy cost`.
    # (A meter stepping by quarter-hours is on the grid when its first reading is.)
    own_reading = np.zeros(n, dtype=bool)
    own_reading[np.unique(codes[negative])] = True
    own_reading[np.unique(codes[1:][same & (steps != _Q)])] = True
    own_reading[has] |= times[first] % _Q != 0
    own_reading[~has] = False
    single = has & (counts < 2)
    own_reading |= single
    quarters: dict[int, pd.Series] = {}
    for m in map(int, np.flatnonzero(own_reading & priced)):
        part = data.of(m)
        got = _own_reading(ids[m], times[part], values[part], zone, issues)
        if got is None:
            priced[m] = False
        else:
            spans[m], quarters[m] = got
    return priced, spans, quarters, issues


def _own_reading(
    meter_id: Hashable,
    times: np.ndarray,
    values: np.ndarray,
    zone: dt.tzinfo,
    issues: list[Issue],
) -> tuple[tuple[int, int], pd.Series] | None:
    """A meter that is not a plain run of positive quarter-hours, read as `ostrelpy cost`
    reads it: its span and quarter-hours (gaps reported and priced as no consumption), or
    None when it is refused."""
    series = pd.Series(values, index=pd.DatetimeIndex(times, tz="UTC"))
    try:
        reading = meter.from_series(
            series, name=str(meter_id), calendar_zone=zone, allow_export=True
        )
    except meter.MeterError as exc:
        where = _when(times[0]) if len(times) else None
        issues.append((meter_id, "unreadable", where, False, str(exc)))
        return None
    if reading.gaps.count:
        issues.append(
            (meter_id, "gap", reading.gaps.first, True, meter.describe_gaps(reading, zone))
        )
    # Energy as `ostrelpy.cost` takes it from a reading (net export by its rules).
    energy = pricing.Inputs({"energy": reading}, reading.start, reading.end)
    return (reading.start.value, reading.end.value), energy.quarter_hours("energy")


def _is_number_dtype(dtype: Any) -> bool:
    return pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_bool_dtype(dtype)


def _energy(kwh: pd.Series) -> np.ndarray:
    """kWh as float64, NaN where a value is not a number: text (even text that looks like a
    number) and booleans are refused, as `ostrelpy.cost` refuses them."""
    if _is_number_dtype(kwh.dtype):
        plain: np.ndarray = kwh.to_numpy(dtype="float64", na_value=np.nan)
        return plain
    if kwh.dtype != object:
        return np.full(len(kwh), np.nan)
    # Mixed objects (an exception, not the bulk path): numbers only.
    numbers = kwh.map(lambda x: isinstance(x, int | float | np.number) and not isinstance(x, bool))
    coerced: np.ndarray = pd.to_numeric(kwh.where(numbers), errors="coerce").to_numpy(
        dtype="float64", na_value=np.nan
    )
    return coerced


def _read_long(frame: pd.DataFrame, allow_export: bool, zone: dt.tzinfo) -> _Fleet:
    grid = _long_grid(frame, allow_export, zone)
    if grid is not None:
        return grid
    codes, uniques = pd.factorize(frame["meter"], sort=False)
    if (codes < 0).any():
        raise ValueError("meters: the meter column has missing ids")
    ids = list(uniques)
    times = _utc_ns(frame["interval_start"], "meters: interval_start")
    values = _energy(frame["kwh"])
    bad = ~np.isfinite(values)
    if bad.any():
        values = np.where(bad, 0.0, values)
    data = _Sorted(codes.astype(np.int64), times, values, len(ids))
    priced, spans, quarters, issues = _checked(ids, data, data.sorted(bad), allow_export, zone)

    def rows(positions: np.ndarray, lo: int, hi: int) -> np.ndarray:
        width = (hi - lo) // _Q
        out = np.zeros((len(positions), width))
        for r, m in enumerate(positions):
            if m in quarters:
                _place(out[r], quarters[m], lo, hi)
            else:
                part = data.of(m)
                a = (lo - data.times[part.start]) // _Q
                out[r] = data.values[part][a : a + width]
        return out

    return _Fleet(pd.Index(uniques), _masked(spans, priced), rows, issues)


def _long_grid(frame: pd.DataFrame, allow_export: bool, zone: dt.tzinfo) -> _Fleet | None:
    """Long readings of whole meters one after another, each on the same quarter-hours
    without a hole and every value a number of at least 0 (the usual export): read as the
    matrix they are, without sorting or copying. None for anything else, which the general
    reader takes (with its own checks and texts)."""
    from ostrelpy.bindings import _engine

    kwh, meters = frame["kwh"], frame["meter"]
    if len(frame) < 4 or not _is_number_dtype(kwh.dtype):
        return None
    ids: np.ndarray | None = None
    length = 0
    if isinstance(meters.dtype, np.dtype) and meters.dtype.kind in "iu":
        # Integer ids (never missing): their runs are found and checked with the instants, in
        # the same pass.
        raw = meters.to_numpy()
        ids = raw.view(np.int64) if raw.dtype == np.uint64 else raw.astype(np.int64, copy=False)
    else:
        found = _run_length(meters)
        if found is None:
            return None
        length = found
    times = _utc_ns(frame["interval_start"], "meters: interval_start")
    values = kwh.to_numpy(dtype="float64")
    got = _engine.long_grid(ids, times, values, length, _Q)
    if got is None:
        return None
    length, flagged = got
    if flagged.any():
        return None
    n = len(values) // length
    labels = pd.Index(meters.array[::length])
    if not labels.is_unique:  # a meter in two places
        return None
    return _wide_grid(
        labels, times[:length], values.reshape(n, length).T, allow_export, zone, flagged
    )


def _run_length(meters: pd.Series) -> int | None:
    """The length of the meter column's runs when it is runs of one length, each of one id;
    None otherwise."""
    if meters.isna().any():
        return None
    values = meters.array
    starts = np.flatnonzero(np.asarray(values[1:] != values[:-1], dtype=bool)) + 1
    n = len(starts) + 1
    length = len(values) // n
    if n * length != len(values) or (starts != length * np.arange(1, n)).any():
        return None
    return length


def _read_wide(frame: pd.DataFrame, allow_export: bool, zone: dt.tzinfo) -> _Fleet:
    if not frame.columns.is_unique:
        raise ValueError("meters: two columns have the same meter id")
    times, regular = _grid_of(frame.index)
    if regular:
        # Float64 columns share a float64 block, viewed as it is; columns of other numbers
        # are converted (numbers only: never booleans or texts that look like numbers).
        matrix = frame.to_numpy()
        if matrix.dtype != np.float64 and all(_is_number_dtype(t) for t in frame.dtypes):
            matrix = frame.to_numpy(dtype="float64", na_value=np.nan)
        if matrix.dtype == np.float64:
            return _wide_grid(frame.columns, times, matrix, allow_export, zone)
    # Anything else is read as the long table it stands for (an empty cell is no reading).
    long = frame.stack(future_stack=True).rename("kwh")
    long.index.names = ["interval_start", "meter"]
    long = long.reset_index()
    return _read_long(long[long["kwh"].notna()], allow_export, zone)


# The last index read, with its instants and whether they step by a quarter-hour from one: an
# index never changes, and the same meters are often priced under several tariffs or periods.
_LAST_INDEX: list[tuple[pd.Index, np.ndarray, bool]] = []


def _grid_of(index: pd.Index) -> tuple[np.ndarray, bool]:
    last = _LAST_INDEX[0] if _LAST_INDEX else None
    if last is not None and last[0] is index:
        return last[1], last[2]
    times = _utc_ns(index, "meters: the index").view()
    times.flags.writeable = False  # shared by the calls that read this index
    # An index made with a frequency of a quarter-hour is known to step by it.
    stepped = getattr(index, "freq", None) == _Q_STEP
    regular = (
        len(times) > 1 and (stepped or bool((np.diff(times) == _Q).all())) and times[0] % _Q == 0
    )
    _LAST_INDEX[:] = [(index, times, regular)]
    return times, regular


def _wide_grid(
    labels: pd.Index,
    times: np.ndarray,
    matrix: np.ndarray,
    allow_export: bool,
    zone: dt.tzinfo,
    flagged: np.ndarray | None = None,
) -> _Fleet:
    """A wide frame on a regular quarter-hour grid: checked and sliced as the matrix it is;
    a meter with empty cells is read on its own (its gaps, its span)."""
    from ostrelpy.bindings import _engine

    issues: list[Issue] = []
    ids = list(labels)
    n = len(ids)
    priced = np.ones(n, dtype=bool)
    spans = np.empty((n, 2), dtype=np.int64)
    spans[:] = (times[0], times[-1] + _Q)
    quarters: dict[int, pd.Series] = {}

    def first(mask: np.ndarray) -> pd.Timestamp:
        return _when(times[int(np.argmax(mask))])

    # One pass finds every meter to look at: a missing, infinite or negative value.
    if flagged is None:
        flagged = _engine.suspect_meters(matrix.T)
    own: list[int] = []  # meters read on their own: empty cells, net export
    for m in map(int, np.flatnonzero(flagged)):
        column = matrix[:, m]
        infinite = np.isinf(column)
        if infinite.any():
            issues.append((ids[m], "non_numeric", first(infinite), False, "non-finite value"))
            priced[m] = False
        negative = column < 0
        if negative.any():
            issues.append((ids[m], "negative", first(negative), allow_export, "negative energy"))
            priced[m] &= allow_export
        if (np.isnan(column).any() or negative.any()) and priced[m]:
            own.append(m)
    for m in own:
        present = ~np.isnan(matrix[:, m])
        got = _own_reading(ids[m], times[present], matrix[present, m], zone, issues)
        if got is None:
            priced[m] = False
        else:
            spans[m], quarters[m] = got

    def rows(positions: np.ndarray, lo: int, hi: int) -> np.ndarray:
        # The frame's own memory where the meters are adjacent columns: the engine reads a
        # matrix of either layout.
        a, b = (lo - times[0]) // _Q, (hi - times[0]) // _Q
        p0 = positions[0]
        adjacent = positions[-1] - p0 + 1 == len(positions)
        out = matrix[a:b, p0 : p0 + len(positions)] if adjacent else matrix[a:b, positions]
        own = [r for r, m in enumerate(positions) if m in quarters]
        if own:
            out = out.copy()
            for r in own:
                out[:, r] = 0.0
                _place(out[:, r], quarters[positions[r]], lo, hi)
        return out.T

    # All priced over the whole grid where no meter was flagged.
    return _Fleet(labels, spans if priced.all() else _masked(spans, priced), rows, issues)


def _masked(spans: np.ndarray, priced: np.ndarray) -> np.ndarray:
    out = spans.copy()
    out[~priced] = -1  # no span: not priced
    return out


def _place(row: np.ndarray, quarters: pd.Series, lo: int, hi: int) -> None:
    at = quarters.index.asi8
    keep = (at >= lo) & (at < hi)
    row[(at[keep] - lo) // _Q] = quarters.to_numpy()[keep]


# ---------------------------------------------------------------------------------------------
# Pricing


def _period(start: Any, end: Any) -> tuple[int | None, int | None]:
    """The requested period in UTC ns, checked as `ostrelpy cost` checks it."""
    lo = None if start is None else pricing.parse_instant(start, "start", None)
    hi = None if end is None else pricing.parse_instant(end, "end", None)
    for option, t in (("start", lo), ("end", hi)):
        if t is not None and t.value % _Q:
            raise ValueError(f"{option} {t.isoformat()} is not on a quarter-hour")
    if lo is not None and hi is not None and lo >= hi:
        raise ValueError(f"start {lo.isoformat()} is not before end {hi.isoformat()}")
    return (None if lo is None else lo.value, None if hi is None else hi.value)


def _bills(tariff: Tariff, key: str, fleet: _Fleet, start: Any, end: Any, budget: int) -> Bills:
    if not isinstance(budget, int) or budget <= 0:
        raise ValueError(f"memory_budget must be a positive number of bytes, got {budget!r}")
    lo_req, hi_req = _period(start, end)
    issues = list(fleet.issues)
    out = _Collected(fleet.labels, tariff)
    spans = fleet.spans
    if lo_req is None and hi_req is None and len(spans) and (spans == spans[0]).all():
        # Every meter priced over the one span they share (the common case: checked meters
        # of one grid).
        priced = np.arange(len(spans) if spans[0, 0] >= 0 else 0)
        windows = spans[priced]
    else:
        priced = np.flatnonzero(spans[:, 0] >= 0)
        spans = spans[priced]
        windows = spans.copy()
        if lo_req is not None:
            windows[:, 0] = lo_req
        if hi_req is not None:
            windows[:, 1] = hi_req
        outside = (windows[:, 0] < spans[:, 0]) | (windows[:, 1] > spans[:, 1])
        outside |= windows[:, 0] >= windows[:, 1]
        for k in map(int, np.flatnonzero(outside)):
            (a, b), lo = spans[k], windows[k, 0]
            detail = (
                f"the period goes beyond the data ({_when(a).isoformat()} to "
                f"{_when(b).isoformat()})"
            )
            issues.append((fleet.id_at(priced[k]), "outside_period", _when(lo), False, detail))
        priced, windows = priced[~outside], windows[~outside]
    if len(priced) and (windows == windows[0]).all():
        keys, groups = windows[:1], np.zeros(len(priced), dtype=np.int64)
    elif len(priced):
        keys, groups = np.unique(windows, axis=0, return_inverse=True)
    else:
        keys, groups = windows[:0], np.zeros(0, dtype=np.int64)
    for g, (lo, hi) in enumerate(keys.tolist()):
        members = priced if len(keys) == 1 else priced[np.asarray(groups).ravel() == g]
        rows = max(1, budget // (8 * 2 * max(1, (hi - lo) // _Q)))
        batch = _prepared(tariff, key, lo, hi)
        for c in range(0, len(members), rows):
            chunk = members[c : c + rows]
            batch.price(fleet.rows(chunk, lo, hi), chunk, out)
    bills = out.frame()
    # Set as the attribute it is (pandas would first read the property, making the table).
    object.__setattr__(bills, "_issues", _issues_frame(issues) if issues else None)
    return bills


def _no_bills() -> pd.DataFrame:
    return pd.DataFrame(columns=BILL_COLUMNS).astype({"cost": "float64"})


def _issues_frame(issues: list[Issue]) -> pd.DataFrame:
    frame = pd.DataFrame(issues, columns=ISSUE_COLUMNS)
    frame["first"] = pd.to_datetime(frame["first"], utc=True)
    return frame.astype({"priced": bool})


_NO_ISSUES: list[pd.DataFrame] = []


def _no_issues() -> pd.DataFrame:
    """An empty issues table, made once; each caller gets its own copy (copy-on-write keeps
    what one adds out of the others')."""
    if not _NO_ISSUES:
        _NO_ISSUES.append(_issues_frame([]))
    return _NO_ISSUES[0].copy(deep=False)


def _check_datasets(tariff: Tariff, pairs: list[tuple[Any, Any]]) -> None:
    needed = {(d.id, d.unit.value) for _, c in pairs for d in c.datasets}
    if len({i for i, _ in needed}) > 1:
        names = ", ".join(sorted({i for i, _ in needed}))
        raise ValueError(
            f"tariff {tariff.name!r} needs datasets {names}; the fleet prices one energy "
            "dataset per meter"
        )
    for i, unit in needed:
        if unit != "kWh":
            raise ValueError(
                f"tariff {tariff.name!r} needs dataset {i!r} in {unit}; meter readings are energy (kWh)"
            )


class _Part:
    """One active component prepared for a period: the engine's `FleetComponent`, where each of
    its inputs lies among the batch's matrices, and the months ("YYYY-MM" in its zone) it
    bills by."""

    def __init__(
        self, name: str, currency: str, zone: Any, prepared: Any, feeds: list[tuple[int, int]]
    ) -> None:
        self.name, self.currency = name, currency
        self.prepared, self.feeds = prepared, feeds
        local = pd.DatetimeIndex(prepared.month_starts, tz="UTC").tz_convert(zone)
        self.months: list[str] = list(local.strftime("%Y-%m"))


class _Batch:
    """A tariff prepared for one period, once for every batch of meters that asks for it: the
    facade's one path (active components, windows, holidays, timelines) run once, each
    component's plan and the work its meters share made by the engine, the matrices each
    input reads (the quarter-hours, or their sums per period of a coarser dataset)."""

    def __init__(self, tariff: Tariff, lo: int, hi: int) -> None:
        from ostrelpy.bindings import _engine, logic

        self.lo = lo
        self.grid = pd.DatetimeIndex(lo + _Q * np.arange((hi - lo) // _Q), tz="UTC")
        self.sources: list[tuple[np.ndarray, np.ndarray | None]] = []  # (labels, cuts)
        self.source_of: dict[tuple[str, str], int] = {}
        self.templates: dict[tuple[str, str], pd.Series] = {}
        facade = logic.LogicBindings("local")
        runs = pricing.run_sync(
            cast(Any, facade)._evaluate(
                tariff, _when(lo), _when(hi), self._template, use_cache=True, run=self._run
            )
        )
        self.parts = []
        for position, component, _, (prepared, feeds) in runs:
            zone = _engine.timezone_from_str(component.timezone)
            name = tariff.tariff_components[position].name
            self.parts.append(_Part(name, component.cost.unit.value, zone, prepared, feeds))
        self.templates.clear()
        # The text columns of one meter's bill, as pandas infers them: made once, since a
        # single meter's call would otherwise spend most of its time inferring them.
        one = {
            "component": [p.name for p in self.parts for _ in p.months],
            "month": [m for p in self.parts for m in p.months],
            "currency": [p.currency for p in self.parts for _ in p.months],
        }
        self.one_meter = {c: pd.Index(np.array(v, dtype=object)).array for c, v in one.items()}

    def _template(self, component: Any, dataset: Any) -> pd.Series:
        from ostrelpy.bindings import _engine

        key = (dataset.resolution.value, component.timezone)
        if key not in self.templates:
            if dataset.resolution.value == "quarter_hourly":
                labels, cuts = self.grid.asi8, None
            else:
                zone = _engine.timezone_from_str(component.timezone)
                keys = meter.period_labels(
                    self.grid, dataset.resolution.value, zone, _when(self.lo)
                )
                cuts = np.flatnonzero(np.r_[True, keys[1:] != keys[:-1]])
                labels = keys[cuts]
            self.source_of[key] = len(self.sources)
            self.sources.append((labels, cuts))
            index = pd.DatetimeIndex(labels, tz="UTC")
            self.templates[key] = pd.Series(0.0, index=index)
        return self.templates[key].rename(dataset.id)

    def _run(
        self, component: Any, inputs: Mapping[Any, pd.Series], timeline: Any
    ) -> tuple[Any, list[tuple[int, int]]]:
        from ostrelpy.bindings import _engine

        labels, feeds = {}, []
        for dataset, cut in inputs.items():
            source = self.source_of[(dataset.resolution.value, component.timezone)]
            full = self.sources[source][0]
            a, b = np.searchsorted(full, cut.index.asi8[[0, -1]]) if len(cut) else (0, -1)
            labels[dataset] = full[a : b + 1]
            feeds.append((source, int(a)))
        return _engine.FleetComponent(component, labels, timeline=timeline), feeds

    def price(self, matrix: np.ndarray, chunk: np.ndarray, out: _Collected) -> None:
        """The bills of the meters `chunk` (positions among the fleet's ids) whose
        quarter-hours are the rows of `matrix`."""
        from ostrelpy.bindings import _engine

        matrices = [
            matrix if cuts is None or not len(cuts) else np.add.reduceat(matrix, cuts, axis=1)
            for _, cuts in self.sources
        ]
        parts = [(p.prepared, p.feeds) for p in self.parts]
        results = _engine.run_fleet(matrices, parts, len(chunk))
        out.add(self, chunk, [costs for _, costs in results])


# Tariffs prepared per period, kept as the facade keeps its tariffs and holidays: an hour.
_PREPARED: dict[tuple[str, int, int], tuple[float, _Batch]] = {}
_PREPARED_SECONDS = 3600.0
_PREPARED_MOST = 8
_PREPARED_LOCK = threading.Lock()


def _prepared(tariff: Tariff, content: str, lo: int, hi: int) -> _Batch:
    key = (content, lo, hi)
    now = time.monotonic()
    with _PREPARED_LOCK:
        hit = _PREPARED.get(key)
        if hit is not None and now - hit[0] < _PREPARED_SECONDS:
            return hit[1]
    batch = _Batch(tariff, lo, hi)
    with _PREPARED_LOCK:
        for old in [k for k, (t, _) in _PREPARED.items() if now - t >= _PREPARED_SECONDS]:
            del _PREPARED[old]
        while len(_PREPARED) >= _PREPARED_MOST:
            del _PREPARED[next(iter(_PREPARED))]
        _PREPARED[key] = (now, batch)
    return batch


class _Collected:
    """Bills gathered batch by batch as codes, made into one frame at the end: rows by chunk,
    component and meter, months in order."""

    def __init__(self, labels: pd.Index, tariff: Tariff) -> None:
        self.labels, self.tariff = labels, tariff
        self.texts: dict[str, int] = {}  # component names, months and currencies: their codes
        self.calls: list[tuple[_Batch, np.ndarray, list[np.ndarray]]] = []

    def code(self, text: str) -> int:
        return self.texts.setdefault(text, len(self.texts))

    def add(self, batch: _Batch, chunk: np.ndarray, costs: list[np.ndarray]) -> None:
        if costs:  # else no component applies in the batch's period
            self.calls.append((batch, chunk, costs))

    def frame(self) -> Bills:
        if not self.calls:
            return Bills(_no_bills())
        batch, chunk, costs = self.calls[0]
        if len(self.calls) == 1 and len(chunk) == 1:
            # One meter: its text columns are the batch's own (copies, for the caller to keep).
            texts = {c: v.copy() for c, v in batch.one_meter.items()}
            return self._merged(
                {
                    "meter": self._meters(np.full(len(texts["month"]), chunk[0])),
                    "component": texts["component"],
                    "month": texts["month"],
                    "cost": np.concatenate([c.reshape(-1) for c in costs]).astype("float64"),
                    "currency": texts["currency"],
                }
            )
        meters, names, months, values, currencies = [], [], [], [], []
        for batch, chunk, costs in self.calls:
            n = len(chunk)
            for part, c in zip(batch.parts, costs):
                k = len(part.months)
                meters.append(np.repeat(chunk, k))
                names.append(np.full(n * k, self.code(part.name)))
                months.append(np.tile([self.code(m) for m in part.months], n))
                values.append(np.broadcast_to(c, (n, k)).reshape(-1))
                currencies.append(np.full(n * k, self.code(part.currency)))
        # The texts as pandas infers them, each column taken from one object per distinct text.
        text = pd.Index(np.array(list(self.texts), dtype=object))
        return self._merged(
            {
                "meter": self._meters(np.concatenate(meters)),
                "component": text.take(np.concatenate(names)),
                "month": text.take(np.concatenate(months)),
                "cost": np.concatenate(values).astype("float64", copy=False),
                "currency": text.take(np.concatenate(currencies)),
            }
        )

    def _meters(self, rows: np.ndarray) -> Any:
        """The meter column: the ids at `rows`, of the dtype the caller's ids have."""
        labels = self.labels
        if isinstance(labels.dtype, np.dtype):
            return labels.to_numpy().take(rows)
        return labels.array.take(rows)

    def _merged(self, columns: dict[str, Any]) -> Bills:
        bills = _frame(columns)
        names = [c.name for c in self.tariff.tariff_components]
        if len(set(names)) < len(names):
            # Components of one name (a fee whose later version takes over within a month)
            # bill as one.
            keys = ["meter", "component", "month", "currency"]
            merged = bills.groupby(keys, sort=False, as_index=False)["cost"].sum()
            bills = Bills(merged[BILL_COLUMNS])
        return bills


def _frame(columns: dict[str, Any]) -> Bills:
    """The bills of fresh columns (nothing to copy), named as BILL_COLUMNS.

    The frame is made from its arrays and a column index made once: making the column index
    of five names again (texts pandas infers, one by one) costs a single meter's call more
    than all its other columns. Where pandas has no such constructor, the public one."""
    make = getattr(Bills, "_from_arrays", None)
    if make is None:
        return Bills(columns, copy=False)
    arrays = [columns[c] for c in BILL_COLUMNS]
    labels = pricing._labels(_BILL_LABELS)
    return cast(Bills, make(arrays, columns=labels, index=pd.RangeIndex(len(arrays[3]))))


# ---------------------------------------------------------------------------------------------
# On a Dask cluster

_RECORD = "_record"


def dask_cost(
    tariff: str | uuid.UUID | Tariff,
    ddf: Any,
    start: dt.datetime | str | None = None,
    end: dt.datetime | str | None = None,
    *,
    catalogue: str | os.PathLike[str] | None = None,
    allow_export: bool = False,
    memory_budget: int = DEFAULT_MEMORY_BUDGET,
    issues: bool = False,
) -> Any:
    """Bills of a Dask DataFrame of long readings (`meter`, `interval_start`, `kwh`) whose
    partitions each hold whole meters: every partition goes through `cost`, on whatever
    `dask.distributed.Client` is current. The tariff is one task of the graph, so it is
    shipped to each worker once. Returns a lazy Dask DataFrame of bills, or with
    `issues=True` the pair (bills, issues), which share their work when computed together
    (`dask.compute(bills, issues)`). Partitions of a hundred meter-years or more keep
    Dask's own share of the time small; readings in each partition meter after meter, each
    meter's in time order, are read fastest. Readings persisted on the cluster are priced
    where they are held, a task per partition; any other source is read and priced in one
    task per partition, and asked for the readings' three columns only. A client that can
    reach the workers gathers the bills faster straight from them (`Client(...,
    direct_to_workers=True)`): through the scheduler, Dask copies them into one frame on
    the way."""
    chosen, pairs = pricing._tariff_and_components(tariff, catalogue)
    _check_datasets(chosen, pairs)
    _period(start, end)  # a bad period fails here, not on every worker
    missing = set(LONG_COLUMNS) - set(ddf.columns)
    if missing:
        raise ValueError(f"meters: missing columns {', '.join(sorted(missing))}")
    # The bills' columns as the batch API makes them: the meter ids of the readings' dtype,
    # texts as pandas infers them.
    text = pd.Index(np.array(["text"], dtype=object)).dtype
    columns = {
        "meter": pd.Series(dtype=ddf["meter"].dtype),
        **{c: pd.Series(dtype=text) for c in ("component", "month", "currency")},
        "cost": pd.Series(dtype="float64"),
    }
    if not issues:
        # One task per partition: nothing to tell apart afterwards.
        bills_meta = pd.DataFrame(columns)[BILL_COLUMNS]
        return _per_partition(
            ddf, _partition_bills, chosen, (start, end, allow_export, memory_budget), bills_meta
        )
    meta = pd.DataFrame(
        {
            **columns,
            "kind": pd.Series(dtype=object),
            "first": pd.Series(dtype="datetime64[ns, UTC]"),
            "priced": pd.Series(dtype=bool),
            "detail": pd.Series(dtype=object),
            _RECORD: pd.Series(dtype=object),
        }
    )[[*BILL_COLUMNS, *ISSUE_COLUMNS[1:], _RECORD]]
    both = _per_partition(ddf, _partition, chosen, (start, end, allow_export, memory_budget), meta)
    # One task per partition and side: selecting by expressions takes four tasks per side,
    # each costing the scheduler more than the selection itself.
    ids = ddf["meter"].dtype
    bills = both.map_partitions(_records, "bill", BILL_COLUMNS, ids, meta=meta[BILL_COLUMNS])
    return bills, both.map_partitions(
        _records, "issue", ISSUE_COLUMNS, ids, meta=meta[ISSUE_COLUMNS]
    )


def _per_partition(
    ddf: Any, func: Any, tariff: Tariff, args: tuple[Any, ...], meta: pd.DataFrame
) -> Any:
    """`func(partition, tariff, *args)` over every partition of `ddf`, lazily; the tariff is
    one node of the graph."""
    persisted, held = _held_partitions()
    if held is not None and type(getattr(ddf, "expr", None)) is persisted:
        # Persisted: every task reads the key its partition is held under. Mapping over the
        # collection would reach each partition through an alias task of its own, which
        # costs the scheduler a task and the worker a round trip per partition.
        expr = ddf.expr
        divisions = (None,) * (ddf.npartitions + 1)
        layer, keys = expr.operand("layer"), expr.operand("keys")
        return held(layer, meta, divisions, keys, "fleet", (func, tariff, args))
    from dask.delayed import delayed

    shipped = delayed(tariff, pure=True, traverse=False)
    if len(ddf.columns) > len(LONG_COLUMNS):
        ddf = ddf[LONG_COLUMNS]  # a source such as Parquet then reads no other column
    mapped = ddf.map_partitions(func, shipped, *args, meta=meta)
    # Fused now: a distributed client's compute does not fuse a collection's tasks, so each
    # partition would be read (a Parquet file, say) by one task, held in the worker's memory
    # and priced by another, a task and a scheduler round trip more per partition.
    optimize = getattr(mapped, "optimize", None)
    return mapped if optimize is None else optimize()


@functools.cache
def _held_partitions() -> tuple[Any, Any]:
    """Dask's expression of a persisted collection, and what makes the collection of a
    function mapped over the partitions of one, on an expression built on it (None, None
    where this Dask has neither)."""
    try:
        from dask._collections import new_collection
        from dask._task_spec import DataNode, Task, TaskRef
        from dask.base import tokenize
        from dask.dataframe.dask_expr.io.io import FromGraph
    except ImportError:
        return None, None

    class HeldPartitions(FromGraph):
        _parameters = [*FromGraph._parameters, "call"]

        def _layer(self) -> dict[Any, Any]:
            expr: Any = self
            dsk = dict(expr.operand("layer"))
            func, tariff, args = expr.operand("call")
            shipped = f"tariff-{tokenize(tariff)}"
            dsk[shipped] = DataNode(shipped, tariff)
            for key, held in zip(expr.__dask_keys__(), expr.operand("keys")):
                dsk[key] = Task(key, func, TaskRef(held), TaskRef(shipped), *args)
            return dsk

    def held(*operands: Any) -> Any:
        return new_collection(HeldPartitions(*operands))  # type: ignore[no-untyped-call]

    return FromGraph, held


def _records(part: pd.DataFrame, record: str, columns: list[str], ids: Any) -> pd.DataFrame:
    """The bills or the issues of one partition's frame of both, their meter ids of the
    readings' dtype (the frame of both holds them as objects where the issues did)."""
    return part[part[_RECORD] == record][columns].astype({"meter": ids})


def _partition_bills(
    part: pd.DataFrame, tariff: Tariff, start: Any, end: Any, allow_export: bool, budget: int
) -> pd.DataFrame:
    """One partition's bills, as a plain frame (its issues are not asked for)."""
    if not len(part):
        return _no_bills()
    bills = cost(tariff, part, start, end, allow_export=allow_export, memory_budget=budget)
    return pd.DataFrame(bills)


def _partition(
    part: pd.DataFrame, tariff: Tariff, start: Any, end: Any, allow_export: bool, budget: int
) -> pd.DataFrame:
    """One partition's bills and issues in one frame, told apart by a record column."""
    if len(part):
        bills = cost(tariff, part, start, end, allow_export=allow_export, memory_budget=budget)
        found = bills.issues
    else:
        bills = _no_bills()
        found = pd.DataFrame(columns=ISSUE_COLUMNS)
    a = pd.DataFrame(bills).assign(**{_RECORD: "bill"})
    b = found.assign(**{_RECORD: "issue"})
    out = pd.concat([a, b], ignore_index=True)
    columns = [*BILL_COLUMNS, *ISSUE_COLUMNS[1:], _RECORD]
    out = out.reindex(columns=columns)
    return out.astype({"cost": "float64", "first": "datetime64[ns, UTC]"}).astype({"priced": bool})


# ---------------------------------------------------------------------------------------------
# A synthetic fleet


def synthetic_fleet(
    meters: int,
    *,
    start: str | pd.Timestamp = "2025-01-01",
    days: int = 365,
    zone: str = "Europe/Stockholm",
    heat_pumps: float = 0.3,
    electric_cars: float = 0.25,
    seed: int = 0,
) -> pd.DataFrame:
    """Quarter-hourly household consumption (kWh), wide: one column per meter ("m00000",
    ...), indexed by aware interval starts from local midnight of `start` for `days` days.

    Every household has a base load with morning and evening peaks, higher in winter; a
    share `heat_pumps` heats with a heat pump (load following the cold, most at night and
    in the morning); a share `electric_cars` charges a car at 11 kW on most evenings."""
    if meters < 0 or days <= 0:
        raise ValueError("meters must be at least 0 and days at least 1")
    rng = np.random.default_rng(seed)
    begin = (
        pd.Timestamp(start).tz_localize(zone)
        if pd.Timestamp(start).tzinfo is None
        else pd.Timestamp(start)
    )
    end = (begin.tz_localize(None) + pd.Timedelta(days=days)).tz_localize(zone)
    index = pd.date_range(begin, end, freq="15min", inclusive="left")
    local = index.tz_localize(None)
    hour = (local.hour + local.minute / 60).to_numpy()
    day_of_year = local.day_of_year.to_numpy()
    winter = 0.5 + 0.5 * np.cos(2 * np.pi * (day_of_year - 15) / 365.25)  # 1 in mid-January
    shape = 0.6 + 0.5 * np.exp(-((hour - 7.5) ** 2) / 2) + 0.9 * np.exp(-((hour - 19) ** 2) / 4)
    n = len(index)
    size = rng.lognormal(0.0, 0.35, meters)
    # Meters x intervals, each meter's year contiguous, as pandas keeps a frame's columns.
    out = 0.11 * np.outer(size, shape * (0.8 + 0.4 * winter))
    out *= rng.gamma(8.0, 1 / 8.0, (meters, n))
    heat = rng.random(meters) < heat_pumps
    if heat.any():
        cold = winter**1.5 * (1.1 - 0.2 * np.cos(2 * np.pi * (hour - 4) / 24))
        out[heat] += 0.45 * np.outer(rng.uniform(0.6, 1.4, heat.sum()), cold)
    cars = np.flatnonzero(rng.random(meters) < electric_cars)
    day = (local.normalize() - local[0].normalize()).days.to_numpy()
    for m in cars:  # a few vectorised lines per car owner, not per interval
        plug_in = 17.5 + rng.normal(1.5, 1.0, days).clip(-2, 4)
        needed = rng.choice([0, 4, 8, 12, 16], size=days, p=[0.3, 0.25, 0.2, 0.15, 0.1])
        t = hour + 24 * (hour < 12)  # charging runs past midnight into the next morning
        d = day - (hour < 12)
        valid = d >= 0
        start_at = plug_in[np.clip(d, 0, days - 1)]
        length = needed[np.clip(d, 0, days - 1)] * 0.25
        charging = valid & (t >= start_at) & (t < start_at + length)
        out[m, charging] += 11 * 0.25
    columns = [f"m{i:05d}" for i in range(meters)]
    return pd.DataFrame(np.round(out, 4).T, index=index, columns=columns, copy=False)
