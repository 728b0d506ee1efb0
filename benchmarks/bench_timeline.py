"""Timeline against a plain pandas version of the same calls, on a year of quarter-hours.

Both sides run in this process on the same data; each figure is the best of several runs.
"""

import datetime as dt
import sys
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import timing

from ostrelpy.bindings import _engine as e

# The component the tests build too.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from references import energy_tax_component  # noqa: E402

R = e.Resolution
TZ_NAME = "Europe/Stockholm"
TZ = ZoneInfo(TZ_NAME)
START = pd.Timestamp("2025-01-01", tz=TZ)
END = pd.Timestamp("2026-01-01", tz=TZ)
KEYS = {
    R.QUARTER_HOURLY: ["year", "month", "day", "hour", "minute", "utc_offset"],
    R.HOURLY: ["year", "month", "day", "hour", "utc_offset"],
    R.DAILY: ["year", "month", "day"],
    R.WEEKLY: ["iso_year", "week"],
    R.MONTHLY: ["year", "month"],
    R.YEARLY: ["year"],
}
SE_2025 = {
    "se/nyarsdagen": "2025-01-01",
    "se/trettondedag_jul": "2025-01-06",
    "se/langfredagen": "2025-04-18",
    "se/paskdagen": "2025-04-20",
    "se/annandag_pask": "2025-04-21",
    "se/forsta_maj": "2025-05-01",
    "se/kristi_himmelsfard": "2025-05-29",
    "se/nationaldagen": "2025-06-06",
    "se/midsommarafton": "2025-06-20",
    "se/julafton": "2025-12-24",
    "se/juldagen": "2025-12-25",
    "se/annandag_jul": "2025-12-26",
    "se/nyarsafton": "2025-12-31",
}


def component():
    """The timeline's one component: an energy tax on the quarter-hourly dataset "x"."""
    return energy_tax_component(TZ_NAME, "quarter_hourly")


def best(fn, repeat=30, setup=None):
    return timing.best(fn, repeat, setup)


# The plain pandas version a user would otherwise write.
def pandas_accessors(start, end, tz):
    grid = pd.date_range(
        start.tz_convert("UTC"), end.tz_convert("UTC"), freq="15min", inclusive="left"
    )
    local = grid.tz_convert(tz)
    wall = local.tz_localize(None)
    iso = wall.isocalendar()
    return pd.DataFrame(
        {
            "iso_year": iso["year"].to_numpy("int64"),
            "week": iso["week"].to_numpy("int64"),
            "day_of_week": iso["day"].to_numpy("int64"),
            "year": wall.year,
            "month": wall.month,
            "day": wall.day,
            "hour": wall.hour,
            "minute": wall.minute,
            "utc_offset": (wall - grid.tz_localize(None)).asi8,
            "utc": grid,
            "date": wall.date,
        },
        index=grid,
    )


def pandas_get_as(acc, res):
    return acc.index[~acc.duplicated(KEYS[res]).to_numpy()]


def pandas_group_by(acc, series, res, starts):
    # Positional relabelling with the period starts computed beforehand: right for days and
    # months (the repeated DST hour only reorders hourly keys), and the cheapest pandas way.
    joined = acc.join(series.rename("value"), how="inner")
    reduced = joined.groupby(KEYS[res])["value"].sum(min_count=1)
    return pd.Series(reduced.to_numpy(), index=starts)


def pandas_masks(acc, dates):
    m = acc["hour"] * 60 + acc["minute"]
    weekday = acc["day_of_week"].isin([1, 2, 3, 4, 5]) & (m >= 7 * 60) & (m < 19 * 60)
    winter = acc["month"].isin([11, 12, 1, 2, 3])
    workday = ~acc["date"].isin(dates)
    return weekday.to_numpy(), winter.to_numpy(), workday.to_numpy()


def main():
    rows = []
    ds = e.Dataset(id="x", resolution=R.QUARTER_HOURLY, unit=e.Unit.KWH)
    grid = pd.date_range(START, END, freq="15min", inclusive="left")
    load = pd.Series(np.random.default_rng(1).random(len(grid)), index=grid, name="x")
    holidays = [
        e.HolidayOccurrence(date=dt.date.fromisoformat(d), holiday=h, timezone=TZ_NAME)
        for h, d in SE_2025.items()
    ]
    inputs = {ds: load}
    components = [component()]

    def ours_build():
        return e.build_timeline(components, inputs, holidays)

    t_ours = best(ours_build)
    t_pd = best(
        lambda: pandas_accessors(load.index.min(), load.index.max() + pd.Timedelta("15min"), TZ)
    )
    rows.append(("build_timeline (35,040 rows)", t_pd, t_ours))

    timeline = ours_build()
    assert len(timeline._accessors) == 35040
    acc = pandas_accessors(START, END, TZ)

    t_ours = best(lambda t: [t.get_as(r) for r in R], setup=ours_build)
    t_pd = best(lambda: [pandas_get_as(acc, r) for r in R])
    rows.append(("get_as, all six resolutions (first call)", t_pd, t_ours))
    for r in R:
        assert timeline.get_as(r).equals(pandas_get_as(acc, r)), r
    timeline.get_as(R.HOURLY)
    t_cached = best(lambda: timeline.get_as(R.HOURLY), repeat=200)
    rows.append(
        (
            "get_as(HOURLY), served from the cache",
            best(lambda: pandas_get_as(acc, R.HOURLY)),
            t_cached,
        )
    )

    def total(g):
        return g.sum(min_count=1)

    for r in (R.DAILY, R.MONTHLY):
        ours = timeline.group_by(load, r, total)
        starts = pandas_get_as(acc, r)
        theirs = pandas_group_by(acc, load, r, starts)
        np.testing.assert_allclose(ours.to_numpy(), theirs.to_numpy())
        assert ours.index.equals(theirs.index)
        t_ours = best(lambda r=r: timeline.group_by(load, r, total))
        t_pd = best(lambda r=r, starts=starts: pandas_group_by(acc, load, r, starts))
        rows.append((f"group_by {r.value} sum", t_pd, t_ours))

    weekday = e.AndCondition(
        conditions=[
            e.DayOfWeekCondition(days=[1, 2, 3, 4, 5]),
            e.TimeOfDayCondition(from_time=dt.time(7), to_time=dt.time(19)),
        ]
    )
    winter = e.MonthCondition(months=[11, 12, 1, 2, 3])
    workday = e.ExcludeHolidaysCondition(holidays=list(SE_2025))
    dates = [dt.date.fromisoformat(d) for d in SE_2025.values()]
    expected = pandas_masks(acc, dates)
    for cond, exp in zip((weekday, winter, workday), expected):
        assert (timeline.build_condition_mask(load, cond) == exp).all()
    t_ours = best(
        lambda: [timeline.build_condition_mask(load, c) for c in (weekday, winter, workday)]
    )
    t_pd = best(lambda: pandas_masks(acc, dates))
    rows.append(("three condition masks", t_pd, t_ours))

    print(f"{'operation':46} {'pandas':>12} {'timeline':>12} {'ratio':>9}")
    for name, p, o in rows:
        print(f"{name:46} {p * 1e6:10.1f}us {o * 1e6:10.1f}us {p / o:8.1f}x")


if __name__ == "__main__":
    main()
