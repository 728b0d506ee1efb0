"""The local calendar of every zone of the host's database, cross-checked against pandas.

The engine derives local time from the zone's offset changes (asked of the zone once per day and
around each change); pandas converts every instant. Both must agree on every field, for a sample
of instants per zone over 1990-2040 and for short grids around the zone's own offset changes.
"""

import zoneinfo

import numpy as np
import pandas as pd
import pytest

from ostrelpy.bindings import _engine as e

FIELDS = ["iso_year", "week", "day_of_week", "year", "month", "day", "hour", "minute"]
DAY_NS = 86_400_000_000_000
FIRST = pd.Timestamp("1990-01-01", tz="UTC").value
LAST = pd.Timestamp("2040-01-01", tz="UTC").value
ZONES = sorted(zoneinfo.available_timezones())


def pandas_calendar(utc, tz):
    """The accessor fields of UTC nanosecond instants in `tz`, by pandas' own conversion."""
    index = pd.DatetimeIndex(utc.astype("M8[ns]")).tz_localize("UTC")
    wall = index.tz_convert(tz).tz_localize(None).as_unit("ns")
    iso = wall.isocalendar()
    out = {
        "iso_year": iso["year"].to_numpy(np.int64),
        "week": iso["week"].to_numpy(np.int64),
        "day_of_week": iso["day"].to_numpy(np.int64),
        "year": wall.year.to_numpy(np.int64),
        "month": wall.month.to_numpy(np.int64),
        "day": wall.day.to_numpy(np.int64),
        "hour": wall.hour.to_numpy(np.int64),
        "minute": wall.minute.to_numpy(np.int64),
        "utc_offset": wall.asi8 - utc,
        "date": wall.asi8 // DAY_NS,
    }
    return out


def pandas_offsets(utc, tz):
    index = pd.DatetimeIndex(utc.astype("M8[ns]")).tz_localize("UTC")
    return index.tz_convert(tz).tz_localize(None).as_unit("ns").asi8 - utc


def engine_fields(frame):
    out = {f: frame[f].to_numpy(np.int64) for f in [*FIELDS, "utc_offset"]}
    out["date"] = np.array(frame["date"].to_numpy(), dtype="M8[D]").astype(np.int64)
    return out


def assert_same(ours, theirs, zone, utc):
    for field, expected in theirs.items():
        bad = np.flatnonzero(ours[field] != expected)
        if bad.size:
            i = bad[0]
            when = pd.Timestamp(int(utc[i]), tz="UTC")
            pytest.fail(f"{zone} {field} at {when}: engine {ours[field][i]}, pandas {expected[i]}")


def change_instants(tz):
    """UTC instants of offset changes of the zone over 1990-2040, to the day, by pandas: samples
    every 30 days first, then the days between two samples that differ."""
    samples = np.arange(FIRST, LAST, 30 * DAY_NS, dtype=np.int64)
    offsets = pandas_offsets(samples, tz)
    changed = samples[:-1][offsets[1:] != offsets[:-1]]
    if not len(changed):
        return changed
    days = (changed[:, None] + DAY_NS * np.arange(1, 31)).ravel()
    day_offsets = pandas_offsets(days, tz).reshape(len(changed), 30)
    before = pandas_offsets(changed, tz)[:, None]
    first = np.argmax(day_offsets != before, axis=1)
    return changed + DAY_NS * (first + 1)


@pytest.mark.parametrize("chunk", range(8))
def test_sampled_instants_of_every_zone_match_pandas(chunk):
    rng = np.random.default_rng(chunk)
    for name in ZONES[chunk::8]:
        tz = zoneinfo.ZoneInfo(name)
        # Unsorted instants anywhere in the span, to the nanosecond.
        utc = rng.integers(FIRST, LAST, 48, dtype=np.int64)
        index = pd.DatetimeIndex(utc.astype("M8[ns]")).tz_localize("UTC")
        frame = e.Timeline.calculate_accessors(index, tz)
        assert_same(engine_fields(frame), pandas_calendar(utc, tz), name, utc)


@pytest.mark.parametrize("chunk", range(8))
def test_grids_across_the_offset_changes_of_every_zone_match_pandas(chunk):
    rng = np.random.default_rng(100 + chunk)
    for name in ZONES[chunk::8]:
        tz = zoneinfo.ZoneInfo(name)
        changes = change_instants(tz)
        # The first and the last change, and one between (or an arbitrary day without any).
        picks = (
            {changes[0], changes[-1], changes[rng.integers(len(changes))]}
            if len(changes)
            else {int(rng.integers(FIRST, LAST))}
        )
        frames = []
        for day in sorted(picks):
            # Two days from an instant off the quarter-hour, so that no change falls on a row.
            start = pd.Timestamp(int(day) - DAY_NS + 7 * 60 * 10**9 + 123, tz="UTC")
            timeline = e.Timeline.build(
                tz=tz, start_time=start, end_time=start + pd.Timedelta(days=2), holidays=[]
            )
            frame = timeline._accessors
            assert len(frame) == 192 and frame.index[0] == start
            frames.append(frame)
        frame = pd.concat(frames)
        utc = frame.index.as_unit("ns").asi8
        assert_same(engine_fields(frame), pandas_calendar(utc, tz), name, utc)


@pytest.mark.parametrize("offset", ["UTC+14:00", "UTC-12:00", "UTC+05:45", "UTC-00:30", "UTC"])
def test_fixed_offsets_match_pandas(offset):
    tz = e.timezone_from_str(offset)
    start = pd.Timestamp("2024-02-28 20:00", tz="UTC")
    timeline = e.Timeline.build(
        tz=tz, start_time=start, end_time=start + pd.Timedelta(days=3), holidays=[]
    )
    frame = timeline._accessors
    utc = frame.index.as_unit("ns").asi8
    assert_same(engine_fields(frame), pandas_calendar(utc, tz), offset, utc)
