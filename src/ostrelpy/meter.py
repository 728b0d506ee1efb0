"""Meter exports: CSV files of interval start and energy, read the way utilities write them.

A reading is checked before anything is priced: every failure is a `MeterError` whose text
names the file and the first offending line, so the command line can print it as one line.
What is accepted is reported rather than hidden (`Reading.gaps`, `Reading.notices`).
Everything here works on whole columns; a year of quarter-hours reads in well under a second.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import functools
import io
import os
import stat
import zoneinfo
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

QUARTER = pd.Timedelta(minutes=15)
_Q_NS = QUARTER.value
_DAY_NS = pd.Timedelta(days=1).value
_MIN_NS = pd.Timedelta(minutes=1).value
# Nanoseconds per unit of the datetime indexes pandas makes, and the instants they can hold.
_UNIT_NS = {"s": 1_000_000_000, "ms": 1_000_000, "us": 1_000, "ns": 1}
_NS_MIN, _NS_MAX = pd.Timestamp.min.value, pd.Timestamp.max.value
_HOUR = pd.Timedelta(hours=1)
_HOUR_NS = _HOUR.value
_RESOLUTION_STEPS = {
    "quarter_hourly": QUARTER,
    "hourly": pd.Timedelta(hours=1),
    "daily": pd.Timedelta(days=1),
}

# Meter exports are short lines; a longer one is not a meter export, and refusing it keeps
# the memory a file takes proportional to its size.
MAX_LINE = 4096
MAX_BYTES = 1 << 30
# A terawatt-hour per interval: beyond any meter, and far below where sums overflow.
MAX_KWH = 1e12
# What a reading says of instants beyond pandas' nanoseconds.
BEYOND_NANOSECONDS = "holds instants outside the years 1678 to 2261"


class MeterError(ValueError):
    """A meter export that cannot be priced as it stands; the text names the file."""


@dataclass(frozen=True)
class Gaps:
    """Intervals without a reading inside the file's span (counted as no consumption)."""

    count: int = 0
    missing_intervals: int = 0
    first: pd.Timestamp | None = None


@dataclass(frozen=True)
class Reading:
    """Energy per interval start (kWh, UTC, ascending) with the file's interval length.

    `interval` is a fixed length, or None for daily files, whose intervals are local days of
    `zone` (23, 24 or 25 hours).
    """

    path: str
    energy: pd.Series
    interval: pd.Timedelta | None
    zone: dt.tzinfo
    gaps: Gaps = field(default_factory=Gaps)
    notices: tuple[str, ...] = ()

    # Asked several times per bill (the window, the coverage): found once.
    @functools.cached_property
    def start(self) -> pd.Timestamp:
        return self.energy.index[0]

    @functools.cached_property
    def end(self) -> pd.Timestamp:
        """End of the last interval (exclusive)."""
        if self.interval is not None:  # no need to find the end of every interval
            return pd.Timestamp(int(self.energy.index.asi8[-1]) + self.interval.value, tz="UTC")
        return pd.Timestamp(self._ends()[-1], tz="UTC")

    def describe_interval(self) -> str:
        if self.interval is None:
            return "daily"
        minutes = int(self.interval.value / _MIN_NS)  # as Timedelta division gives it
        return "hourly" if minutes == 60 else f"{minutes}-minute"

    def _ends(self) -> np.ndarray:
        starts: np.ndarray = self.energy.index.asi8
        if self.interval is not None:
            ends: np.ndarray = starts + self.interval.value
            return ends
        return _next_local_midnight(self.energy.index, self.zone)

    def quarter_hours(self, start: pd.Timestamp, end: pd.Timestamp) -> pd.Series:
        """The energy per UTC quarter-hour in [start, end): finer readings summed, coarser
        ones spread evenly over their quarter-hours."""
        starts = self.energy.index.asi8
        values = self.energy.to_numpy()
        if self.interval == QUARTER and not starts[0] % _Q_NS:
            # Already one reading per quarter-hour, sorted and unique (a reading's instants
            # are on its own grid): only the period's part.
            lo, hi = np.searchsorted(starts, [start.value, end.value])
            if lo == 0 and hi == len(starts) and values.dtype == np.float64:
                return self.energy
            return self.energy.iloc[lo:hi].astype("float64").rename(self.energy.name)
        if self.interval is not None and self.interval <= QUARTER:
            keys = starts - starts % _Q_NS
            lo, hi = np.searchsorted(keys, [start.value, end.value])  # keys ascend with starts
            summed = pd.Series(values[lo:hi]).groupby(keys[lo:hi], sort=True).sum()
            keys, values = summed.index.to_numpy(), summed.to_numpy(dtype="float64")
        else:
            even = self._spread_evenly(start, end)
            if even is not None:
                return even
            # Coarser readings do not overlap: each quarter-hour gets its one share, in one
            # native pass.
            keys, values = native()._spread_over_quarters(
                starts, self._ends(), np.asarray(values, dtype=np.float64), start.value, end.value
            )
        return pd.Series(values, index=instants(keys), name=self.energy.name)

    def _spread_evenly(self, start: pd.Timestamp, end: pd.Timestamp) -> pd.Series | None:
        """Readings of one length without a gap, whole ones from `start` to `end`: the
        native spread's shares on a grid made once, without writing the instants anew; None
        for anything else."""
        if self.interval is None or self.gaps.count or self.interval.value % _Q_NS:
            return None
        step = self.interval.value
        starts = self.energy.index.asi8
        first, n = int(starts[0]), len(starts)
        # The instants lie on the reading's own grid: n of them spanning n - 1 steps are
        # one step apart.
        if int(starts[-1]) - first != (n - 1) * step:
            return None
        lo, off_lo = divmod(start.value - first, step)
        hi, off_hi = divmod(end.value - first, step)
        if off_lo or off_hi or not 0 <= lo < hi <= n:
            return None
        per = step // _Q_NS
        values = np.asarray(self.energy.to_numpy()[lo:hi], dtype=np.float64)
        shares = native()._spread_evenly(values, per)
        grid = _quarter_grid(first + lo * step, (hi - lo) * per)
        return pd.Series(shares, index=instants(grid), name=self.energy.name)

    def local_hours(
        self, start: pd.Timestamp, end: pd.Timestamp, zone: dt.tzinfo
    ) -> pd.Series | None:
        """The energy per local hour of `zone` in [start, end) as read, when the readings are
        exactly those hours (hourly, none missing, on hours that are whole local hours); else
        None. Spreading them over quarter-hours and summing them again gives the same."""
        if self.interval != _HOUR or start.value % _HOUR_NS or end.value % _HOUR_NS:
            return None
        starts = self.energy.index.asi8
        lo, hi = np.searchsorted(starts, [start.value, end.value])
        if hi - lo != (end.value - start.value) // _HOUR_NS or starts[lo] != start.value:
            return None
        if not _whole_hour_offsets(zone, self.energy.index[lo:hi]):
            return None
        if lo == 0 and hi == len(starts) and self.energy.dtype == np.float64:
            return self.energy
        return self.energy.iloc[lo:hi].astype("float64").rename(self.energy.name)

    def coarser_than(self, resolution: str) -> bool:
        """Whether bringing the file to `resolution` spreads readings over several periods."""
        step = _RESOLUTION_STEPS.get(str(resolution))
        if step is None:
            return False
        if self.interval is None:
            return bool(step < pd.Timedelta(days=1))
        return bool(self.interval > step)


def _whole_hour_offsets(zone: dt.tzinfo, instants: pd.DatetimeIndex) -> bool:
    """Whether `zone` is a whole number of hours from UTC at each instant (so its local hours
    are UTC hours)."""
    if isinstance(zone, dt.timezone):  # a fixed offset: asked once
        return not zone.utcoffset(None) % _HOUR
    utc_ns = instants.asi8
    local_ns = instants.tz_convert(zone).tz_localize(None).as_unit("ns").asi8
    return not ((local_ns - utc_ns) % _HOUR_NS).any()


def period_labels(
    index: pd.DatetimeIndex, resolution: str, zone: dt.tzinfo, start: pd.Timestamp
) -> np.ndarray:
    """For each instant, the UTC nanoseconds of the start of its local period of
    `resolution` (the first period clipped to `start`, as the engine clips its grid)."""
    resolution = str(resolution)
    idx = index.as_unit("ns")
    utc_ns: np.ndarray = idx.asi8
    if resolution == "quarter_hourly":
        quarters: np.ndarray = np.maximum(utc_ns - utc_ns % _Q_NS, start.value)
        return quarters
    local = idx.tz_convert(zone).tz_localize(None)
    keys: np.ndarray
    if resolution == "hourly":
        local_ns: np.ndarray = local.asi8
        keys = local_ns - local_ns % _HOUR_NS - (local_ns - utc_ns)
    else:
        if resolution == "daily":
            period = local.normalize()
        elif resolution == "weekly":
            period = local.normalize() - pd.to_timedelta(local.day_of_week, unit="D")
        elif resolution == "monthly":
            period = local.to_period("M").to_timestamp()
        elif resolution == "yearly":
            period = local.to_period("Y").to_timestamp()
        else:
            raise ValueError(f"unknown resolution {resolution!r}")
        keys = _localize(pd.DatetimeIndex(period), zone).asi8
    labels: np.ndarray = np.maximum(keys, start.value)
    return labels


def period_start(t: pd.Timestamp, resolution: str, zone: dt.tzinfo) -> int:
    """The UTC nanoseconds of the start of the local period of `resolution` that holds `t`:
    `period_labels` of one instant, without its clip, on scalars."""
    return _period_start(int(t.value), str(resolution), zone)


@functools.lru_cache(maxsize=1024)
def _period_start(utc_ns: int, resolution: str, zone: dt.tzinfo) -> int:
    # Bills of one period ask the same few instants again and again.
    one = pd.DatetimeIndex([utc_ns], tz="UTC")
    return int(period_labels(one, resolution, zone, _NO_CLIP)[0])


_NO_CLIP = pd.Timestamp.min.tz_localize("UTC")


def at_resolution(
    quarter_hours: pd.Series, resolution: str, zone: dt.tzinfo, start: pd.Timestamp
) -> pd.Series:
    """Quarter-hourly energy summed into the local periods of `resolution`, each labelled
    with its start (see `period_labels`)."""
    if str(resolution) == "quarter_hourly":
        return quarter_hours
    keys = period_labels(quarter_hours.index, resolution, zone, start)
    summed = quarter_hours.groupby(keys, sort=True).sum()
    index = pd.DatetimeIndex(summed.index.to_numpy().astype("datetime64[ns]"), tz="UTC")
    return pd.Series(summed.to_numpy(dtype="float64"), index=index, name=quarter_hours.name)


def _localize(naive: pd.DatetimeIndex, zone: dt.tzinfo) -> pd.DatetimeIndex:
    # Period starts are midnights; where a zone skips midnight the period starts at the first
    # instant that exists.
    placed = naive.tz_localize(zone, ambiguous=True, nonexistent="shift_forward")
    return placed.tz_convert("UTC").as_unit("ns")


def _next_local_midnight(index: pd.DatetimeIndex, zone: dt.tzinfo) -> np.ndarray:
    local = index.tz_convert(zone).tz_localize(None).normalize() + pd.Timedelta(days=1)
    midnights: np.ndarray = _localize(local, zone).asi8
    return midnights


def _quarter_grid(first: int, count: int) -> np.ndarray:
    """`count` UTC quarter-hours from `first` (nanoseconds); read-only, as it is shared."""
    return _grid(first, count, _Q_NS)


def _grid(first: int, count: int, step: int) -> np.ndarray:
    """`count` UTC instants `step` apart from `first` (nanoseconds, all within int64);
    read-only, as it may be shared. Grids of up to two years of quarter-hours are kept for
    the next series on them; a longer one is made for its caller alone, so that the few kept
    never hold more than a few megabytes."""
    return (_new_grid if count > _GRID_KEPT else _kept_grid)(first, count, step)


def _new_grid(first: int, count: int, step: int) -> np.ndarray:
    grid: np.ndarray = first + np.arange(count, dtype=np.int64) * step
    grid.flags.writeable = False
    return grid


_GRID_KEPT = 2 * 366 * 96
_kept_grid = functools.lru_cache(maxsize=16)(_new_grid)


def native() -> Any:
    """The engine's private helpers of the pandas door (whole-array passes over readings and
    cost frames), which its typed stub leaves out."""
    from ostrelpy.bindings import logic

    return logic


@functools.lru_cache(maxsize=64)
def zone_named(name: str) -> dt.tzinfo:
    """The engine's time zone of a component's `timezone` text (read once per text: a fixed
    offset is parsed anew on every call of the engine's reader)."""
    from ostrelpy.bindings import _engine

    zone: dt.tzinfo = _engine.timezone_from_str(name)
    return zone


def parse_zone(name: str) -> dt.tzinfo:
    """An IANA time zone by name, or UTC."""
    if name.upper() in ("UTC", "Z"):
        return dt.UTC
    try:
        return zoneinfo.ZoneInfo(name)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError, OSError):
        raise ValueError(
            f"unknown time zone {name!r} (use an IANA name such as Europe/Stockholm)"
        ) from None


def read_meter(
    path: str | Path,
    *,
    column: str | None = None,
    timezone: str | None = None,
    calendar_zone: dt.tzinfo | None = None,
    allow_export: bool = False,
    naive_zone: dt.tzinfo | None = None,
) -> Reading:
    """Read and check a meter export.

    `timezone` places naive local times, else `naive_zone` (the tariff's only zone) with a
    notice; a naive file without either is refused. `timezone` is also the zone whose
    midnights bound the days of a daily file, else `calendar_zone` (the tariff's).
    Negative energy (net export) is refused unless `allow_export`.
    """
    name = str(path)
    zone = parse_zone(timezone) if timezone else None
    frame, lines = _read_table(name, Path(path))
    header, frame, lines = _split_header(name, frame, lines, column)
    values = _numbers(name, frame[:, _value_column(name, header, frame, column)], lines)
    if not allow_export and (values < 0).any():
        i = int(np.argmax(values < 0))
        raise MeterError(
            f"{name}: line {lines[i]}: negative energy {values[i]:g} (net export); "
            "pass --allow-export to price it"
        )
    notices: tuple[str, ...] = ()
    if zone is None and naive_zone is not None and not _has_offset(frame[:1, 0]).all():
        zone = naive_zone
        notices = (
            f"{name}: times without a UTC offset read in {zone}, the tariff's zone "
            "(--timezone to choose another)",
        )
    times = _times(name, frame[:, 0], lines, zone)
    reading = _reading(name, times, values, lines, zone or calendar_zone or dt.UTC, "line")
    return dataclasses.replace(reading, notices=notices)


def from_series(
    series: pd.Series,
    *,
    name: str = "consumption",
    calendar_zone: dt.tzinfo | None = None,
    allow_export: bool = True,
    copy: bool = True,
) -> Reading:
    """The same checks for energy given as a pandas series indexed by aware interval starts.
    Without `copy`, a reading that needs no reordering views the series' values (for a
    caller that is done with the reading before the series can change)."""
    if not isinstance(series, pd.Series):
        raise TypeError(f"{name}: expected a pandas Series, got {type(series).__name__}")
    index = series.index
    if not isinstance(index, pd.DatetimeIndex) or index.tz is None:
        raise MeterError(f"{name}: the index must hold time-zone-aware interval starts")
    # Only a numeric dtype: text that looks like numbers and booleans (True as 1 kWh) are
    # refused rather than converted.
    dtype = series.dtype
    if not pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype):
        raise MeterError(f"{name}: values must be numbers (kWh per interval), got dtype {dtype}")
    values = series.to_numpy(dtype="float64", na_value=np.nan)
    fast = _regular(name, series.index, values, calendar_zone, allow_export, copy)
    if fast is not None:
        return fast
    rows = np.arange(len(values))
    bad = ~np.isfinite(values)
    if bad.any():
        raise MeterError(f"{name}: row {int(np.argmax(bad))}: missing or non-finite value")
    if not allow_export and (values < 0).any():
        raise MeterError(
            f"{name}: row {int(np.argmax(values < 0))}: negative value {values[values < 0][0]:g} "
            "(net export); pass allow_export=True to price it"
        )
    times = _in_ns(f"{name}: the index", index).tz_convert("UTC").asi8
    return _reading(name, times, values, rows, calendar_zone or index.tz, "row")


def _regular(
    name: str,
    index: pd.DatetimeIndex,
    values: np.ndarray,
    calendar_zone: dt.tzinfo | None,
    allow_export: bool,
    copy: bool = True,
) -> Reading | None:
    """The reading of a series that passes every check at a glance (finite values within
    bounds, ascending instants one fixed interval apart on a grid a meter could have), found
    in one native pass; None when it needs the full checks, which also name the offending
    row."""
    unit_ns = _UNIT_NS.get(index.unit)
    if len(values) < 2 or unit_ns is None:
        return None
    raw = index.asi8  # UTC in the index's own unit, whatever the zone
    finite, lo, hi, step = native()._reading_facts(raw, values)
    if not finite or max(-lo, hi) > MAX_KWH or (lo < 0 and not allow_export):
        return None
    # In nanoseconds, exactly (Python's integers); a span beyond them gets the full checks,
    # which refuse it as pandas does.
    step, first = step * unit_ns, int(raw[0]) * unit_ns
    if step <= 0 or not _NS_MIN <= first <= first + (len(raw) - 1) * step <= _NS_MAX:
        return None
    if _interval_problem(step) is not None:
        return None
    if abs(step - _DAY_NS) <= _HOUR_NS:  # daily files: local days, the full checks
        return None
    # Every instant is the first plus whole steps, and a step a meter can have is a multiple
    # or a divisor of a quarter-hour: the first instant decides the grid for all.
    if first % min(step, _Q_NS):
        return None
    # Instants in a coarser unit are those of one regular grid: made once for all series on
    # it, rather than converted anew for each.
    times = raw if unit_ns == 1 else _grid(first, len(raw), step)
    energy = pd.Series(values, index=instants(times), name="consumption", copy=copy)
    return Reading(
        path=name, energy=energy, interval=pd.Timedelta(step), zone=calendar_zone or index.tz
    )


def instants(ns: np.ndarray, zone: dt.tzinfo | None = None) -> pd.DatetimeIndex:
    """The index of UTC nanoseconds `ns` (no frequency), in `zone` when given."""
    m8 = np.ascontiguousarray(ns, dtype=np.int64).view("datetime64[ns]")
    if _FAST_INDEX:
        dtype = pd.DatetimeTZDtype("ns", zone if zone is not None else _UTC_TZ)
        return pd.DatetimeIndex._simple_new(pd.arrays.DatetimeArray._simple_new(m8, dtype=dtype))
    utc = pd.DatetimeIndex(m8, tz="UTC")
    return utc if zone is None else utc.tz_convert(zone)


def _fast_index_usable() -> bool:
    """Whether pandas' internal wrappers exist and give what its public constructor gives:
    the public one checks every instant again, and costs as much as pricing a component."""
    probe = np.array([0, _Q_NS, _DAY_NS], dtype=np.int64)
    try:
        public = pd.DatetimeIndex(probe.view("datetime64[ns]"), tz="UTC")
        dtype = pd.DatetimeTZDtype("ns", public.tz)
        fast = pd.DatetimeIndex._simple_new(
            pd.arrays.DatetimeArray._simple_new(probe.view("datetime64[ns]"), dtype=dtype)
        )
        return (
            bool(fast.equals(public) and fast.dtype == public.dtype and fast.freq is None)
            and type(fast) is pd.DatetimeIndex
        )
    except (AttributeError, TypeError, ValueError):
        return False


_UTC_TZ = pd.DatetimeIndex([], tz="UTC").tz
_FAST_INDEX = _fast_index_usable()


def _reading(
    name: str,
    times: np.ndarray,
    values: np.ndarray,
    lines: np.ndarray,
    zone: dt.tzinfo,
    where: str,
) -> Reading:
    """Sort, refuse duplicates, detect the interval and check the grid; report gaps."""
    if len(times) == 0:
        raise MeterError(f"{name}: holds no readings")
    huge = np.abs(values) > MAX_KWH
    if huge.any():
        i = int(np.argmax(huge))
        raise MeterError(
            f"{name}: {where} {lines[i]}: {values[i]:g} kWh in one interval is beyond any meter "
            f"(at most {MAX_KWH:g}); sums of such readings would not be finite"
        )
    diffs = np.diff(times)
    if (diffs < 0).any():
        order = np.argsort(times, kind="stable")
        times, values, lines = times[order], values[order], lines[order]
        diffs = np.diff(times)
    if (diffs == 0).any():
        i = int(np.argmax(diffs == 0))
        raise MeterError(
            f"{name}: {where} {lines[i + 1]}: {_show(times[i + 1], zone)} appears twice "
            f"(also on {where} {lines[i]})"
        )
    if len(times) < 2:
        raise MeterError(f"{name}: one reading only; the interval length cannot be detected")
    interval = _interval(name, diffs)
    index = instants(times)
    _check_grid(name, index, interval, lines, zone, where)
    reading = Reading(
        path=name,
        energy=pd.Series(values, index=index, name="consumption"),
        interval=interval,
        zone=zone,
    )
    return dataclasses.replace(reading, gaps=_gaps(reading))


def _read_bytes(name: str, path: Path) -> bytes:
    """The file's bytes, read only from a regular file of a bounded size (a device or a
    pipe may never end)."""
    try:
        # Asked before opening: opening a pipe would wait for a writer.
        info = os.stat(path)
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError
        if not stat.S_ISREG(info.st_mode):
            raise MeterError(f"{name}: not a regular file")
        if info.st_size > MAX_BYTES:
            raise MeterError(f"{name}: larger than {MAX_BYTES >> 20} MiB; split the export")
        with path.open("rb") as f:
            raw = f.read(MAX_BYTES + 1)
    except FileNotFoundError:
        raise MeterError(f"{name}: no such file") from None
    except IsADirectoryError:
        raise MeterError(f"{name}: is a directory, not a CSV file") from None
    except OSError as exc:
        raise MeterError(f"{name}: cannot be read ({exc.strerror})") from None
    if len(raw) > MAX_BYTES:  # grew while being read
        raise MeterError(f"{name}: larger than {MAX_BYTES >> 20} MiB; split the export")
    return raw


def _decode(name: str, raw: bytes) -> str:
    if raw.startswith((b"\xff\xfe", b"\xfe\xff")):
        try:
            return raw.decode("utf-16")
        except UnicodeDecodeError:
            raise MeterError(f"{name}: not valid UTF-16 text") from None
    if b"\x00" in raw:
        raise MeterError(
            f"{name}: holds NUL bytes, so it is not a text CSV file "
            "(UTF-16 exports need a byte-order mark)"
        )
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        return raw.decode("cp1252", errors="replace")  # older exports from Windows tools


def _check_line_lengths(name: str, text: str) -> None:
    codes = np.frombuffer(text.encode("utf-32-le"), dtype=np.uint32)
    ends = np.flatnonzero(codes == 10)
    lengths = np.diff(np.concatenate([[-1], ends, [len(codes)]])) - 1
    if len(lengths) and lengths.max() > MAX_LINE:
        line = int(np.argmax(lengths > MAX_LINE)) + 1
        raise MeterError(
            f"{name}: line {line} is longer than {MAX_LINE} characters; not a meter export"
        )


def _read_table(name: str, path: Path) -> tuple[np.ndarray, np.ndarray]:
    text = _decode(name, _read_bytes(name, path))
    _check_line_lengths(name, text)
    all_lines = text.splitlines()
    first = next((i for i, ln in enumerate(all_lines) if ln.strip()), None)
    if first is None:
        raise MeterError(f"{name}: is empty")
    head = all_lines[first]
    sep = "\t" if "\t" in head else ";" if ";" in head else ","
    try:
        frame = pd.read_csv(
            io.StringIO(text),
            sep=sep,
            header=None,
            dtype=str,
            keep_default_na=False,
            skip_blank_lines=False,
            skiprows=first,  # leading blank lines would leave the parser without columns
            engine="c",
        )
    except pd.errors.ParserError as exc:
        detail = str(exc).strip().split("C error: ")[-1]
        raise MeterError(f"{name}: not a regular CSV table ({detail})") from None
    except pd.errors.EmptyDataError:
        raise MeterError(f"{name}: is empty") from None
    if frame.shape[1] < 2:
        raise MeterError(
            f"{name}: needs at least two columns (interval start and kWh), found one "
            "(separators tried: tab, semicolon, comma)"
        )
    # Cells as one variable-width string array: numpy's string functions run in C, where
    # pandas' string methods call Python per cell, and a long cell costs only its own length.
    cells = np.strings.strip(frame.to_numpy().astype(np.dtypes.StringDType()))
    lines = np.arange(1, len(cells) + 1) + first
    blank = (cells == "").all(axis=1)
    if blank.all():
        raise MeterError(f"{name}: holds no readings (every cell is empty)")
    return cells[~blank], lines[~blank]


def _split_header(
    name: str, frame: np.ndarray, lines: np.ndarray, column: str | None
) -> tuple[list[str] | None, np.ndarray, np.ndarray]:
    """Take the first row as a header only when it holds no time and no number, so a file
    without a header never loses its first reading."""
    first = [str(c) for c in frame[0]]
    if not pd.isna(pd.to_datetime(first[0], format="ISO8601", errors="coerce")):
        return None, frame, lines
    labels = first[1:]
    numeric = pd.to_numeric(pd.Series(labels).str.replace(",", "."), errors="coerce")
    # pandas writes unnamed columns as an empty corner and labels 0, 1, ...: a header.
    unnamed = first[0] == "" and labels == [str(i) for i in range(len(labels))]
    if numeric.notna().any() and not unnamed:
        raise MeterError(f"{name}: line {lines[0]}: not a time: {first[0]!r}")
    if len(frame) < 2:
        raise MeterError(f"{name}: has a header but no readings")
    return first, frame[1:], lines[1:]


def _value_column(
    name: str, header: list[str] | None, frame: np.ndarray, column: str | None
) -> int:
    width = frame.shape[1]
    if column is None:
        if width == 2:
            return 1
        names = ", ".join(header) if header else f"columns 1 to {width}"
        raise MeterError(
            f"{name}: has {width} columns; choose the energy column with --column ({names})"
        )
    if column.isdigit():
        number = int(column)
        if not 2 <= number <= width:
            raise MeterError(f"{name}: --column {number} is not a value column (2 to {width})")
        return number - 1
    wanted = column.strip().casefold()
    matches = [i for i, h in enumerate(header or []) if h.casefold() == wanted]
    if not matches or matches[0] == 0:
        known = ", ".join(header) if header else "none: the file has no header"
        raise MeterError(f"{name}: no column named {column!r} (columns: {known})")
    return matches[0]


def _numbers(name: str, cells: np.ndarray, lines: np.ndarray) -> np.ndarray:
    text = cells
    if (np.strings.find(text, ",") >= 0).any():
        text = np.strings.replace(text, ",", ".")  # decimal comma
    values: np.ndarray = pd.to_numeric(text.astype(object), errors="coerce").astype("float64")
    bad = ~np.isfinite(values)
    if bad.any():
        i = int(np.argmax(bad))
        raw = str(cells[i])
        what = "missing value" if raw == "" else f"not a number: {raw!r}"
        raise MeterError(f"{name}: line {lines[i]}: {what}")
    return values


def _times(name: str, text: np.ndarray, lines: np.ndarray, zone: dt.tzinfo | None) -> np.ndarray:
    """UTC nanoseconds of each row, in file order."""
    parsed = pd.to_datetime(text, format="ISO8601", utc=True, errors="coerce")
    _refuse_unparsed(name, text, parsed, lines)
    aware = _has_offset(text)
    if aware.any() and not aware.all():
        i = int(np.argmax(aware != aware[0]))
        has = "has" if aware[i] else "lacks"
        raise MeterError(
            f"{name}: line {lines[i]}: {str(text[i])!r} {has} a UTC offset, unlike line {lines[0]}"
        )
    if aware.all():
        utc_ns: np.ndarray = _in_ns(name, pd.DatetimeIndex(parsed)).asi8
        return utc_ns
    if zone is None:
        raise MeterError(
            f"{name}: times have no UTC offset; give the zone they are in with --timezone "
            "(e.g. --timezone Europe/Stockholm)"
        )
    naive = pd.DatetimeIndex(pd.to_datetime(text, format="ISO8601", errors="coerce"))
    _refuse_unparsed(name, text, naive, lines)
    return _localize_naive(name, _in_ns(name, naive), zone, lines)


def _in_ns(what: str, index: pd.DatetimeIndex) -> pd.DatetimeIndex:
    """The index in nanoseconds, or a reading's error where pandas cannot hold it so."""
    try:
        return index.as_unit("ns")
    except pd.errors.OutOfBoundsDatetime:
        raise MeterError(f"{what} {BEYOND_NANOSECONDS}") from None


def _refuse_unparsed(
    name: str, text: np.ndarray, parsed: pd.DatetimeIndex, lines: np.ndarray
) -> None:
    bad = np.asarray(pd.isna(parsed))
    if bad.any():
        i = int(np.argmax(bad))
        raise MeterError(f"{name}: line {lines[i]}: not a time: {str(text[i])!r}")


def _has_offset(text: np.ndarray) -> np.ndarray:
    """Whether each ISO 8601 time ends in Z or a numeric offset (after its hh:mm)."""
    zulu = np.strings.endswith(np.strings.upper(text), "Z")
    sign = np.maximum(np.strings.rfind(text, "+"), np.strings.rfind(text, "-"))
    colon = np.strings.find(text, ":")
    return zulu | ((colon >= 0) & (sign > colon))


def _localize_naive(
    name: str, naive: pd.DatetimeIndex, zone: dt.tzinfo, lines: np.ndarray
) -> np.ndarray:
    """Local wall times to UTC. A time that occurs twice (clocks going back) is read as the
    first occurrence the first time the file gives it and as the second the next time."""
    probe = naive.tz_localize(zone, ambiguous="NaT", nonexistent="NaT")
    unplaced = np.asarray(probe.isna())
    first_occurrence = np.ones(len(naive), dtype=bool)
    if unplaced.any():
        skipped = np.asarray(naive.tz_localize(zone, ambiguous=True, nonexistent="NaT").isna())
        if skipped.any():
            i = int(np.argmax(skipped))
            raise MeterError(
                f"{name}: line {lines[i]}: {naive[i]} does not exist in {zone} "
                "(clocks go forward then)"
            )
        repeated = pd.Series(naive[unplaced])
        seen = repeated.groupby(repeated).cumcount().to_numpy()
        times = repeated.groupby(repeated).transform("size").to_numpy()
        if (times == 1).any():
            i = int(np.flatnonzero(unplaced)[np.argmax(times == 1)])
            raise MeterError(
                f"{name}: line {lines[i]}: {naive[i]} occurs twice in {zone} (clocks go back) "
                "but the file gives it once; use times with UTC offsets"
            )
        first_occurrence[unplaced] = seen == 0
    placed = naive.tz_localize(zone, ambiguous=first_occurrence, nonexistent="raise")
    utc_ns: np.ndarray = placed.tz_convert("UTC").asi8
    return utc_ns


def _interval(name: str, diffs: np.ndarray) -> pd.Timedelta | None:
    """The most common spacing of the readings; among equally common ones, the first that a
    meter could have (so one stray reading is reported as off the grid)."""
    if diffs.size and diffs.min() == diffs.max():  # a regular file: no need to sort
        lengths, counts = diffs[:1], np.array([diffs.size])
    else:
        lengths, counts = np.unique(diffs, return_counts=True)
    common = lengths[counts == counts.max()]
    problems = [(step, _interval_problem(int(step))) for step in common]
    step, problem = next(((s, p) for s, p in problems if p is None), problems[0])
    if problem:
        raise MeterError(f"{name}: {problem}")
    return None if abs(int(step) - _DAY_NS) <= _HOUR_NS else pd.Timedelta(int(step))


def _interval_problem(step: int) -> str | None:
    if abs(step - _DAY_NS) <= _HOUR_NS:  # local days: 23, 24 or 25 hours
        return None
    if step > _DAY_NS:
        return f"readings {pd.Timedelta(step)} apart; intervals up to a day are supported"
    if step < _MIN_NS or (step <= _Q_NS and _Q_NS % step) or (step > _Q_NS and step % _Q_NS):
        return f"readings {pd.Timedelta(step)} apart do not divide into quarter-hours"
    if step > _Q_NS and _DAY_NS % step:
        return f"readings {pd.Timedelta(step)} apart do not divide into days"
    return None


def _check_grid(
    name: str,
    index: pd.DatetimeIndex,
    interval: pd.Timedelta | None,
    lines: np.ndarray,
    zone: dt.tzinfo,
    where: str,
) -> None:
    ns = index.asi8
    if interval is None:
        local = index.tz_convert(zone).tz_localize(None)
        off = np.asarray(local != local.normalize())
        grid = f"local midnights of the daily file ({zone})"
    else:
        step = interval.value
        off = (ns % min(step, _Q_NS) != 0) | ((ns - ns[0]) % step != 0)
        grid = f"{int(step // _MIN_NS)}-minute grid of the file"
    if off.any():
        i = int(np.argmax(off))
        raise MeterError(f"{name}: {where} {lines[i]}: {_show(ns[i], zone)} is not on the {grid}")


def _gaps(reading: Reading) -> Gaps:
    starts = reading.energy.index.asi8
    ends = reading._ends()
    missing = starts[1:] - ends[:-1]
    holes = missing > 0
    if not holes.any():
        return Gaps()
    if reading.interval is None:
        per = (missing[holes] + _DAY_NS // 2) // _DAY_NS
    else:
        per = missing[holes] // reading.interval.value
    first = pd.Timestamp(ends[:-1][np.argmax(holes)], tz="UTC")
    return Gaps(count=int(holes.sum()), missing_intervals=int(per.sum()), first=first)


def _show(ns: int, zone: dt.tzinfo | None) -> str:
    t = pd.Timestamp(int(ns), tz="UTC")
    shown: str = (t.tz_convert(zone) if zone else t).isoformat()
    return shown


def describe_gaps(reading: Reading, zone: dt.tzinfo) -> str | None:
    """A one-line report of the intervals the file lacks, or None when it has none."""
    g = reading.gaps
    if not g.count or g.first is None:
        return None
    return (
        f"{reading.path}: {g.count} gap(s) without readings, {g.missing_intervals} "
        f"{reading.describe_interval()} interval(s) in all, counted as no consumption; "
        f"the first from {g.first.tz_convert(zone).isoformat()}"
    )
