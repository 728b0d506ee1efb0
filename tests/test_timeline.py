import datetime as dt
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from conftest import energy_tax_component

from ostrelpy.bindings import _engine as e

R = e.Resolution
H = e.Holiday
STHLM = "Europe/Stockholm"
# Local days of the two daylight-saving changes in Stockholm, and an ordinary one.
NORMAL, DST_START, DST_END = "2025-01-15", "2025-03-30", "2025-10-26"
COLUMNS = [
    "iso_year",
    "week",
    "day_of_week",
    "year",
    "month",
    "day",
    "hour",
    "minute",
    "utc_offset",
    "utc",
    "date",
]
HOUR_NS = 3_600_000_000_000


def dataset(resolution="hourly", id_="x"):
    return e.Dataset(id=id_, resolution=resolution, unit="kWh")


def component(tz=STHLM, resolution="hourly"):
    return energy_tax_component(tz, resolution)


def zone(tz):
    return e.timezone_from_str(tz)


def local(text, tz=STHLM):
    return pd.Timestamp(text).tz_localize(zone(tz))


def day_timeline(day, tz=STHLM, holidays=()):
    start = local(day, tz)
    return e.Timeline.build(
        tz=zone(tz),
        start_time=start,
        end_time=local(day, tz) + pd.DateOffset(days=1),
        holidays=list(holidays),
    )


def hourly_day(day, tz=STHLM):
    """Hourly input from local 00:00 to 23:00 of one day."""
    idx = pd.date_range(
        local(day, tz), local(day, tz) + pd.DateOffset(days=1), freq="h", inclusive="left"
    )
    return pd.Series(1.0, index=idx)


def series_on(timeline, resolution, values):
    return pd.Series(np.asarray(values, dtype=float), index=timeline.get_as(resolution))


# --- construction ---------------------------------------------------------------------------


def test_components_in_two_zones_are_refused():
    with pytest.raises(ValueError) as info:
        e.build_timeline([component("UTC+01:00"), component(STHLM)], {}, [])
    assert (
        str(info.value) == "components span multiple timezones: ['Europe/Stockholm', 'UTC+01:00']"
    )


def test_no_components_is_an_index_error():
    with pytest.raises(IndexError):
        e.build_timeline([], {dataset(): hourly_day(NORMAL)}, [])


def test_no_inputs_and_no_full_window():
    start = local(NORMAL)
    for kwargs in ({}, {"start_time": start}, {"end_time": start}):
        with pytest.raises(
            ValueError, match="^cannot build a timeline without inputs or an explicit window$"
        ):
            e.build_timeline(
                [component()],
                {dataset(): pd.Series([], dtype=float, index=pd.DatetimeIndex([], tz="UTC"))},
                [],
                **kwargs,
            )


@pytest.mark.parametrize(
    "tz, day, rows",
    [
        (STHLM, NORMAL, 96),
        (STHLM, DST_START, 92),
        (STHLM, DST_END, 100),
        ("UTC+01:00", DST_START, 96),
        ("UTC+01:00", DST_END, 96),
        ("UTC", DST_END, 96),
    ],
)
def test_a_day_of_hourly_input_gives_the_local_day(tz, day, rows):
    t = e.build_timeline([component(tz)], {dataset(): hourly_day(day, tz)}, [])
    grid = t._accessors.index
    assert len(grid) == rows
    assert grid[0] == local(day, tz)
    assert grid[-1] + pd.Timedelta("15min") == local(day, tz) + pd.DateOffset(days=1)
    assert (np.diff(grid.asi8) == 15 * 60 * 10**9).all()


def test_one_explicit_bound_is_ignored():
    s = hourly_day(NORMAL)
    t = e.build_timeline(
        [component()], {dataset(): s}, [], start_time=local(NORMAL) + pd.Timedelta("5h")
    )
    assert len(t._accessors) == 96


def test_explicit_window_widens_to_inputs_straddling_its_edge():
    s = pd.Series(1.0, index=pd.DatetimeIndex([local("2025-01-15 10:00")]))
    outside = pd.Series(1.0, index=pd.DatetimeIndex([local("2025-01-15 14:00")]))
    t = e.build_timeline(
        [component()],
        {dataset(): s, dataset(id_="z"): outside},
        [],
        start_time=local("2025-01-15 10:15"),
        end_time=local("2025-01-15 11:00"),
    )
    grid = t._accessors.index
    assert grid[0] == local("2025-01-15 10:00") and len(grid) == 4


def test_monthly_input_ends_a_calendar_month_later():
    s = pd.Series(1.0, index=pd.DatetimeIndex([local("2025-10-01"), local("2025-12-01")]))
    t = e.build_timeline([component(resolution="monthly")], {dataset("monthly"): s}, [])
    grid = t._accessors.index
    assert grid[0] == local("2025-10-01")
    assert grid[-1] + pd.Timedelta("15min") == local("2026-01-01")
    assert len(t.get_as(R.MONTHLY)) == 3


def test_grid_is_not_snapped_and_an_empty_window_is_empty():
    t = e.Timeline.build(
        tz=zone(STHLM),
        start_time=local("2025-01-15 10:07"),
        end_time=local("2025-01-15 11:00"),
        holidays=[],
    )
    assert list(t._accessors.index[:2]) == [local("2025-01-15 10:07"), local("2025-01-15 10:22")]
    assert list(t._accessors["minute"][:2]) == [7, 22]
    empty = e.Timeline.build(
        tz=zone(STHLM), start_time=local(NORMAL), end_time=local(NORMAL), holidays=[]
    )
    assert len(empty._accessors) == 0 and len(empty.get_as(R.DAILY)) == 0


def test_naive_input_or_window_is_a_type_error():
    naive = pd.Series(1.0, index=pd.date_range("2025-01-15", periods=3, freq="h"))
    with pytest.raises(TypeError):
        e.build_timeline([component()], {dataset(): naive}, [])
    with pytest.raises(TypeError, match="start_time must be a time-zone aware"):
        e.build_timeline(
            [component()],
            {dataset(): hourly_day(NORMAL)},
            [],
            start_time=dt.datetime(2025, 1, 15),
            end_time=local("2025-01-16"),
        )


def test_build_takes_keyword_arguments_only():
    with pytest.raises(TypeError, match="needs keyword-only argument holidays"):
        e.Timeline.build(tz=zone(STHLM), start_time=local(NORMAL), end_time=local(NORMAL))
    with pytest.raises(TypeError, match="takes exactly 0 positional arguments"):
        e.Timeline.build(zone(STHLM), local(NORMAL), local(NORMAL), [])


def test_an_unparsable_zone_is_refused_before_building():
    with pytest.raises(ValueError, match="^Invalid timezone 'UTC\\+1:00'"):
        e.Timeline.build(
            tz="UTC+1:00", start_time=local(NORMAL), end_time=local(NORMAL), holidays=[]
        )


# --- accessor table -------------------------------------------------------------------------


def pandas_accessors(index, tz):
    index = index.as_unit("ns")
    wall = index.tz_convert(tz).tz_localize(None)
    iso = wall.isocalendar()
    return pd.DataFrame(
        {
            "iso_year": iso["year"].astype("int64").to_numpy(),
            "week": iso["week"].astype("int64").to_numpy(),
            "day_of_week": iso["day"].astype("int64").to_numpy(),
            "year": wall.year,
            "month": wall.month,
            "day": wall.day,
            "hour": wall.hour,
            "minute": wall.minute,
            "utc_offset": wall.asi8 - index.tz_localize(None).asi8,
            "utc": index,
            "date": wall.date,
        },
        index=index,
    ).astype({c: "int64" for c in COLUMNS[:9]})


@pytest.mark.parametrize(
    "tz", [STHLM, "UTC+01:00", "UTC-03:30", "UTC", "America/New_York", "Australia/Lord_Howe"]
)
def test_accessors_match_the_host_calendar(tz):
    # Three years across ISO week-53 years, leap days and every daylight-saving change.
    idx = pd.date_range("2019-12-20", "2022-01-10", freq="15min", tz="UTC")
    ours = e.Timeline.calculate_accessors(idx, zone(tz))
    assert list(ours.columns) == COLUMNS
    pd.testing.assert_frame_equal(ours, pandas_accessors(idx, zone(tz)), check_freq=False)


def test_repeated_hour_is_told_apart_by_its_offset():
    a = day_timeline(DST_END)._accessors
    second = a[a["hour"] == 2]
    assert len(second) == 8
    assert list(second["utc_offset"].unique()) == [7_200_000_000_000, 3_600_000_000_000]
    assert not (day_timeline(DST_START)._accessors["hour"] == 2).any()


def test_timeline_from_its_own_table_answers_alike():
    t = day_timeline(
        DST_END,
        holidays=[
            e.HolidayOccurrence(date=dt.date(2025, 10, 26), holiday=H.SE_JULDAGEN, timezone=STHLM)
        ],
    )
    again = e.Timeline(t._accessors, t.holidays)
    assert again._accessors is t._accessors and again.holidays is t.holidays
    assert again._period_index_cache == {}
    for r in R:
        assert again.get_as(r).equals(t.get_as(r))
    c = e.ExcludeHolidaysCondition(holidays=[H.SE_JULDAGEN])
    assert not again.match_time_condition(c).any()


# --- periods, alignment, grouping -----------------------------------------------------------


def test_periods_of_a_week():
    t = e.Timeline.build(
        tz=zone(STHLM), start_time=local("2025-01-13"), end_time=local("2025-01-20"), holidays=[]
    )
    assert len(t.get_as(R.WEEKLY)) == 1 and len(t.get_as(R.DAILY)) == 7
    wed = e.Timeline.build(
        tz=zone(STHLM), start_time=local("2025-01-15"), end_time=local("2025-01-29"), holidays=[]
    )
    assert list(wed.get_as(R.WEEKLY)) == [
        local("2025-01-15"),
        local("2025-01-20"),
        local("2025-01-27"),
    ]


@pytest.mark.parametrize(
    "tz, day, hours",
    [
        (STHLM, NORMAL, 24),
        (STHLM, DST_START, 23),
        (STHLM, DST_END, 25),
        ("UTC+01:00", DST_END, 24),
    ],
)
def test_hourly_periods_follow_the_local_clock(tz, day, hours):
    t = day_timeline(day, tz)
    starts = t.get_as(R.HOURLY)
    assert len(starts) == hours and len(t.get_as(R.DAILY)) == 1
    assert len(t.get_as(R.QUARTER_HOURLY)) == 4 * hours
    assert (np.diff(starts.asi8) == HOUR_NS).all()
    assert str(starts.tz) == "UTC"
    assert len(t.group_index(t._accessors.index, R.HOURLY)) == hours


def test_period_index_cache():
    t = day_timeline(NORMAL)
    assert t._period_index_cache == {}
    first = t.get_as("daily")
    assert list(t._period_index_cache) == [R.DAILY]
    assert t.get_as(R.DAILY) is first
    assert len(t.get_as(R.HOURLY)) == 24 and set(t._period_index_cache) == {R.DAILY, R.HOURLY}


@pytest.mark.parametrize(
    "call",
    [
        lambda t, s: t.get_as("fortnightly"),
        lambda t, s: t.align_dataset(s, "fortnightly"),
        lambda t, s: t.group_index(s.index, "Daily"),
        lambda t, s: t.group_values(s, 3),
        lambda t, s: t.group_by(s, None, lambda g: g.sum()),
    ],
)
def test_unknown_resolution_is_a_key_error(call):
    t = day_timeline(NORMAL)
    with pytest.raises(KeyError):
        call(t, series_on(t, R.HOURLY, range(24)))


def test_align_fills_missing_instants_with_zero_only():
    t = day_timeline(NORMAL)
    s = series_on(t, R.HOURLY, range(24)).drop(local("2025-01-15 03:00"))
    s.iloc[5] = np.nan
    s.name = "load"
    out = t.align_dataset(s, R.HOURLY)
    assert out.name == "load" and out.index.equals(t.get_as(R.HOURLY))
    assert out[local("2025-01-15 03:00")] == 0.0
    assert np.isnan(out[local("2025-01-15 06:00")])
    quarter = series_on(t, R.QUARTER_HOURLY, range(96))
    assert list(t.align_dataset(quarter, R.HOURLY)) == list(range(0, 96, 4))


def reference_align(t, s, resolution):
    """The value at each period start by label, 0.0 where the series has none."""
    by_label = dict(zip(s.index.as_unit("ns").asi8.tolist(), s.to_numpy()))
    return [by_label.get(when, 0.0) for when in t.get_as(resolution).asi8.tolist()]


@pytest.mark.parametrize("day, resolution", [(NORMAL, "quarter_hourly"), (DST_END, "hourly")])
@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize(
    "labels",
    [
        "starts",  # the series is already on the period starts
        "shifted",  # as many labels, each one step late
        "reversed",  # the starts, in reverse order
        "one_moved",  # the starts but one, moved a second later
    ],
)
def test_align_of_a_series_as_long_as_the_period_index(day, resolution, unit, labels):
    t = day_timeline(day)
    starts = t.get_as(resolution)
    index = (
        {
            "starts": starts,
            "shifted": starts + pd.Timedelta(minutes=15),
            "reversed": starts[::-1],
            "one_moved": starts.delete(5).insert(5, starts[5] + pd.Timedelta(seconds=1)),
        }[labels]
        .tz_convert(STHLM)
        .as_unit(unit)
    )
    values = np.arange(len(starts), dtype=float)
    values[2] = np.nan
    s = pd.Series(values, index=index, name="load")
    out = t.align_dataset(s, resolution)
    assert out.name == "load" and out.index.equals(starts) and out.dtype == np.float64
    np.testing.assert_array_equal(out.to_numpy(), reference_align(t, s, resolution))
    # The result owns its values: writing to it leaves the caller's series alone.
    out.iloc[0] = -1.0
    assert s.iloc[0] == values[0] and s.index is index


def test_align_in_a_unit_the_period_starts_are_not_whole_numbers_of():
    start = local(NORMAL) + pd.Timedelta(milliseconds=500)
    t = e.Timeline.build(
        tz=zone(STHLM), start_time=start, end_time=start + pd.Timedelta(hours=1), holidays=[]
    )
    starts = t.get_as(R.QUARTER_HOURLY)
    floored = pd.Series([1.0, 2.0, 3.0, 4.0], index=starts.floor("s").as_unit("s"))
    assert t.align_dataset(floored, R.QUARTER_HOURLY).tolist() == [0.0] * 4
    exact = pd.Series([1.0, 2.0, 3.0, 4.0], index=starts.as_unit("ms"))
    assert t.align_dataset(exact, R.QUARTER_HOURLY).tolist() == [1.0, 2.0, 3.0, 4.0]
    # Each unit in turn, on the same timeline.
    assert t.align_dataset(floored, R.QUARTER_HOURLY).tolist() == [0.0] * 4


def test_align_refuses_repeated_instants():
    t = day_timeline(NORMAL)
    s = pd.Series([1.0, 2.0], index=pd.DatetimeIndex([local(NORMAL)] * 2))
    with pytest.raises(ValueError, match="duplicate labels"):
        t.align_dataset(s, R.HOURLY)


def test_group_by_pairs_the_repeated_hour_by_period():
    t = day_timeline(DST_END)
    q = series_on(t, R.QUARTER_HOURLY, range(100))
    daily = t.group_by(q, R.DAILY, lambda g: g.sum(min_count=1))
    assert list(daily.index) == [local(DST_END)] and daily.iloc[0] == sum(range(100))
    assert daily.index.name is None
    hourly = t.group_by(q, R.HOURLY, lambda g: g.sum(min_count=1))
    assert hourly.index.equals(t.get_as(R.HOURLY))
    # Local 02:00 twice: summer time first (quarters 8-11), then winter time (12-15).
    assert list(hourly.iloc[2:4]) == [8 + 9 + 10 + 11, 12 + 13 + 14 + 15]
    assert hourly.index[3] - hourly.index[2] == pd.Timedelta("1h")
    quarter = t.group_by(q, R.QUARTER_HOURLY, lambda g: g.max())
    assert list(quarter) == list(range(100))


@pytest.mark.parametrize(
    "reduce, values, expected",
    [
        (lambda g: g.sum(min_count=1), [np.nan] * 4, np.nan),
        (lambda g: g.sum(min_count=1), [np.nan, 5, np.nan, np.nan], 5.0),
        (lambda g: g.sum(), [np.nan] * 4, 0.0),
        (lambda g: g.mean(), [1, np.nan, 3, np.nan], 2.0),
        (lambda g: g.max(), [np.nan, -2, -1, np.nan], -1.0),
        (lambda g: g.min(), [np.nan, -2, -1, np.nan], -2.0),
        (lambda g: g.min(), [np.nan] * 4, np.nan),
        (lambda g: g.count(), [np.nan, 1, 2, np.nan], 2.0),
    ],
)
def test_reductions_per_period(reduce, values, expected):
    t = day_timeline(NORMAL)
    q = series_on(t, R.QUARTER_HOURLY, np.tile(values, 24))
    out = t.group_by(q, R.HOURLY, reduce)
    assert len(out) == 24
    np.testing.assert_array_equal(out.to_numpy(), np.full(24, expected))


def test_group_values_keeps_instants_of_both_in_series_order():
    t = day_timeline(NORMAL)
    idx = [
        local("2025-01-15 05:00"),
        local("2025-01-15 01:15"),
        local("2025-01-16 00:00"),
        local("2025-01-15 01:00"),
    ]
    g = t.group_values(pd.Series([1.0, 2.0, 4.0, 8.0], index=pd.DatetimeIndex(idx)), R.HOURLY)
    assert g.ngroups == 2
    total = g.sum()
    assert list(total.index) == [local("2025-01-15 01:00"), local("2025-01-15 05:00")]
    assert list(total) == [10.0, 1.0]
    assert list(g.first_positions) == [1, 0]


def test_group_by_needs_a_value_in_every_period():
    t = day_timeline(NORMAL)
    s = series_on(t, R.HOURLY, range(24)).iloc[:20]
    with pytest.raises(
        ValueError, match="Length mismatch: Expected axis has 20 elements, new values have 24"
    ):
        t.group_by(s, R.HOURLY, lambda g: g.sum())


def test_group_index_numbers_groups_in_key_order():
    t = day_timeline(DST_END)
    g = t.group_index(t._accessors.index, R.HOURLY)
    ids = np.asarray(g.group_ids)
    assert g.ngroups == 25 and ids.dtype == np.int64
    # Both local 02:00 hours: the winter one (smaller offset) sorts first.
    assert list(ids[8:16]) == [3] * 4 + [2] * 4
    assert list(g.first_positions[:4]) == [0, 4, 12, 8]
    assert g.ngroup().to_numpy().tolist() == ids.tolist()
    with pytest.raises(KeyError):
        t.group_index(pd.DatetimeIndex([local("2025-10-26 00:05")]), R.HOURLY)


# --- condition masks ------------------------------------------------------------------------


def tod(a, b):
    return e.TimeOfDayCondition(from_time=a, to_time=b)


def at(t, condition, *clock):
    mask = t.match_time_condition(condition)
    grid = t._accessors.index
    return [bool(mask[grid.get_loc(local(f"{NORMAL} {c}"))]) for c in clock]


def test_time_of_day_wraps_past_midnight():
    t = day_timeline(NORMAL)
    c = tod("22:00", "06:00")
    assert at(t, c, "22:00", "23:45", "05:45", "06:00", "21:45") == [True, True, True, False, False]


def test_time_of_day_ignores_seconds():
    t = day_timeline(NORMAL)
    assert not t.match_time_condition(tod("07:00:30", "07:00:45")).any()


@pytest.mark.parametrize(
    "tz, day, matches",
    [
        (STHLM, DST_END, 8),
        (STHLM, DST_START, 0),
        (STHLM, NORMAL, 4),
        ("UTC+01:00", DST_START, 4),
    ],
)
def test_time_of_day_on_daylight_saving_days(tz, day, matches):
    t = day_timeline(day, tz)
    mask = t.match_time_condition(tod("02:00", "03:00"))
    assert mask.dtype == np.bool_ and mask.sum() == matches


def test_month_and_weekday_conditions():
    t = e.Timeline.build(
        tz=zone(STHLM), start_time=local("2025-03-31"), end_time=local("2025-04-02"), holidays=[]
    )
    month = t.match_time_condition(e.MonthCondition(months=[4]))
    assert not month[:96].any() and month[96:].all()
    monday = t._match_dow(e.DayOfWeekCondition(days=[1]))
    assert monday[:96].all() and not monday[96:].any()


def occurrence(day, holiday):
    return e.HolidayOccurrence(date=dt.date.fromisoformat(day), holiday=holiday, timezone=STHLM)


def test_holiday_exclusion_uses_the_local_date():
    xmas = [occurrence("2025-12-25", H.SE_JULDAGEN), occurrence("2025-12-26", H.SE_ANNANDAG_JUL)]
    t = e.Timeline.build(
        tz=zone(STHLM), start_time=local("2025-12-24"), end_time=local("2025-12-27"), holidays=xmas
    )
    mask = t.match_time_condition(e.ExcludeHolidaysCondition(holidays=[H.SE_JULDAGEN]))
    assert list(mask.reshape(3, 96).all(axis=1)) == [True, False, True]
    assert not mask[96:192].any()
    none_named = t._match_exclude_holidays(e.ExcludeHolidaysCondition(holidays=[H.SE_NYARSDAGEN]))
    assert none_named.all()


def test_compound_conditions():
    t = day_timeline(NORMAL)  # a Wednesday in January
    day = tod("07:00", "19:00")
    weekday = e.DayOfWeekCondition(days=[1, 2, 3, 4, 5])
    both = e.AndCondition(conditions=[weekday, day, e.MonthCondition(months=[1])])
    either = e.OrCondition(conditions=[e.MonthCondition(months=[7]), day])
    neither = e.NotCondition(condition=either)
    m_day = t.match_time_condition(day)
    assert m_day.sum() == 48
    np.testing.assert_array_equal(t._match_and(both), m_day)
    np.testing.assert_array_equal(t._match_or(either), m_day)
    np.testing.assert_array_equal(t._match_not(neither), ~m_day)
    never = e.AndCondition(conditions=[day, e.MonthCondition(months=[7])])
    assert not t.match_time_condition(never).any()


@pytest.mark.parametrize(
    "condition",
    [
        e.HighestCondition(n=1, resolution="daily"),
        e.AndCondition.model_construct(conditions=[e.LowestCondition(n=1, resolution="daily")]),
    ],
)
def test_value_conditions_are_not_time_conditions(condition):
    t = day_timeline(NORMAL)
    name = (
        type(condition).__name__ if not isinstance(condition, e.AndCondition) else "LowestCondition"
    )
    with pytest.raises(NotImplementedError, match=f"^Unknown time condition type: {name}$"):
        t.match_time_condition(condition)


def test_mask_of_a_sub_index():
    t = day_timeline(DST_END)
    grid = t._accessors.index
    c = tod("02:00", "03:00")
    np.testing.assert_array_equal(t.get_condition_mask(grid, c), t.match_time_condition(c))
    sub = grid[[12, 8, 8, 0]]
    assert t.get_condition_mask(sub, c).tolist() == [True, True, True, False]
    with pytest.raises(AssertionError, match="^index must be a subset of the timeline$"):
        t.get_condition_mask(pd.DatetimeIndex([local("2025-10-27")]), c)
    with pytest.raises(NotImplementedError):
        t.build_condition_mask(series_on(t, R.HOURLY, range(25)), "weekends")


def test_subset_check_is_an_assertion():
    code = """
import pandas as pd
from ostrelpy.bindings import _engine as e
tz = e.timezone_from_str("UTC")
t = e.Timeline.build(tz=tz, start_time=pd.Timestamp("2025-01-01", tz="UTC"),
                     end_time=pd.Timestamp("2025-01-02", tz="UTC"), holidays=[])
try:
    t.get_condition_mask(pd.DatetimeIndex([pd.Timestamp("2025-02-01", tz="UTC")]),
                         e.MonthCondition(months=[1]))
except KeyError:
    print("key error")
"""
    out = subprocess.run(
        [sys.executable, "-O", "-c", code], capture_output=True, text=True, check=False
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "key error"


@pytest.mark.parametrize(
    "kind, values, kept",
    [
        ("highest", [5, 9, 9, 1], [False, True, True, False]),
        ("highest", [5, 9, 7, 9], [False, True, False, True]),
        ("highest", [9, 9, 9], [True, True, False]),
        ("highest", [np.nan, 1, np.nan], [False, True, False]),
        ("highest", [np.nan, np.nan], [False, False]),
        ("lowest", [5, 1, 1, 1], [False, True, True, False]),
        ("lowest", [-np.inf, np.nan, 3, 2], [True, False, False, True]),
    ],
)
def test_highest_and_lowest_per_period(kind, values, kept):
    t = day_timeline(NORMAL)
    condition = (e.HighestCondition if kind == "highest" else e.LowestCondition)(
        n=2, resolution="daily"
    )
    # The day's first hours only: the other instants of the timeline take no part.
    s = pd.Series(values, index=t.get_as(R.HOURLY)[: len(values)], dtype=float)
    mask = t.build_condition_mask(s, condition)
    assert mask.dtype == np.bool_ and mask.tolist() == kept


def reference_extremes(s, days, n, highest):
    """Per day, the n best non-missing values, an earlier one first among equals."""
    kept = np.zeros(len(s), dtype=bool)
    for day in np.unique(days):
        members = [i for i in np.flatnonzero(days == day) if not np.isnan(s.iloc[i])]
        members.sort(key=lambda i: (-s.iloc[i] if highest else s.iloc[i], i))
        kept[members[:n]] = True
    return kept.tolist()


@pytest.mark.parametrize("highest", [True, False])
@pytest.mark.parametrize("n", [1, 3, 8, 9, 30])
def test_highest_and_lowest_agree_with_a_plain_selection(highest, n):
    # Few distinct values, so that ties decide; a few selections fill a whole day.
    t = e.Timeline.build(
        tz=zone(STHLM), start_time=local("2025-10-24"), end_time=local("2025-10-28"), holidays=[]
    )
    starts = t.get_as(R.HOURLY)
    rng = np.random.default_rng(n)
    values = rng.integers(0, 4, len(starts)).astype(float)
    values[rng.random(len(starts)) < 0.2] = np.nan
    s = pd.Series(values, index=starts)
    condition = (e.HighestCondition if highest else e.LowestCondition)(n=n, resolution="daily")
    days = starts.tz_convert(STHLM).normalize().asi8
    assert t.build_condition_mask(s, condition).tolist() == reference_extremes(s, days, n, highest)


def test_highest_keeps_an_instant_wherever_it_occurs():
    t = day_timeline(NORMAL)
    idx = pd.DatetimeIndex(
        [
            local(f"{NORMAL} 01:00"),
            local(f"{NORMAL} 02:00"),
            local(f"{NORMAL} 01:00"),
            local("2025-02-01"),
        ]
    )
    s = pd.Series([9.0, 5.0, 1.0, 99.0], index=idx)
    mask = t.build_condition_mask(s, e.HighestCondition(n=1, resolution="daily"))
    assert mask.tolist() == [True, False, True, False]
    per_hour = t.build_condition_mask(s, e.HighestCondition(n=1, resolution="hourly"))
    assert per_hour.tolist() == [True, True, True, False]


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_series_of_any_datetime_unit(unit):
    t = day_timeline(DST_END)
    q = series_on(t, R.QUARTER_HOURLY, range(100))
    q.index = q.index.as_unit(unit).tz_convert(STHLM)
    hourly = t.group_by(q, R.HOURLY, lambda g: g.sum(min_count=1))
    assert str(hourly.index.dtype) == "datetime64[ns, UTC]"
    assert list(hourly.iloc[2:4]) == [38.0, 54.0]
    assert list(t.align_dataset(q, R.HOURLY)[:3]) == [0.0, 4.0, 8.0]
    assert t.build_condition_mask(q, tod("02:00", "03:00")).sum() == 8


def test_steps_of_a_day_follow_the_clock_shorter_ones_are_durations():
    daily = pd.Series(1.0, index=pd.DatetimeIndex([local(DST_START)]))
    t = e.build_timeline([component(resolution="daily")], {dataset("daily"): daily}, [])
    assert len(t._accessors) == 92
    # The last quarter-hour of summer time on the day it ends covers 15 minutes, not the
    # 75 minutes to the next 03:00 on the clock.
    last = pd.Timestamp("2025-10-26 00:45", tz="UTC")  # local 02:45, first occurrence
    q = pd.Series(1.0, index=pd.DatetimeIndex([pd.Timestamp("2025-10-26 00:00", tz="UTC"), last]))
    t = e.build_timeline(
        [component(resolution="quarter_hourly")], {dataset("quarter_hourly"): q}, []
    )
    assert t._accessors.index[-1] == last


def test_missing_instants_do_not_set_the_window():
    idx = pd.DatetimeIndex([pd.NaT, local(f"{NORMAL} 00:00"), pd.NaT, local(f"{NORMAL} 23:00")])
    t = e.build_timeline([component()], {dataset(): pd.Series(1.0, index=idx)}, [])
    assert len(t._accessors) == 96
    only_missing = pd.Series([1.0], index=pd.DatetimeIndex([pd.NaT], tz="UTC"))
    with pytest.raises(ValueError, match="without inputs"):
        e.build_timeline([component()], {dataset(): only_missing}, [])


def test_instants_beyond_the_nanosecond_range_are_refused_not_wrapped():
    tz = e.timezone_from_str("Europe/Stockholm")
    t = e.Timeline.build(
        tz=tz,
        start_time=dt.datetime(2025, 1, 1, tzinfo=tz),
        end_time=dt.datetime(2025, 1, 2, tzinfo=tz),
        holidays=[],
    )
    far = pd.DatetimeIndex(np.array(["2025-01-01T00:00", "3000-01-01T00:00"], dtype="M8[s]"))
    far = far.tz_localize("UTC")
    aligned = t.align_dataset(pd.Series([1.0, 2.0], index=far), "hourly")
    assert aligned.sum() == 1.0  # the far instant is no period start
    with pytest.raises(ValueError, match="Out of bounds"):
        t.get_condition_mask(far, e.MonthCondition(months=[1]))
