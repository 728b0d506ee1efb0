"""The Swedish four-component tariff on a year of quarter-hours, evaluated as the facade does.

The tariff (the bundled Stockholm catalogue entry): an energy tax per kWh, a transfer fee with
a weekday 07-19 price outside holidays, a monthly fee on the mean of the three highest weekday
hours, and a daily subscription. Each component is evaluated on its own, as the facade runs
them: its own `build_timeline`, then `run_pipeline`. Against it, the most careful vectorised
pandas evaluation of the same tariff (one conversion to local time, boolean masks, a groupby on
the hour starts, `nlargest(3)` per month, on raw int64 instants with numpy where that is
faster); the totals must agree. The same tariff written as pandas code usually is (local-time
accessors, `groupby` on year and month) is printed for reference. Every figure is the best of
several runs in this process.

Also printed: the floor pieces measured in the same run (one pass of a block over the year,
one Series construction on an existing index), the older shared-timeline figure, and a scaling
table (a week, a month, a year, ten years) with time and peak memory per quarter-hour per
component, the memory measured in a fresh process per size.
"""

import datetime as dt
import json
import subprocess
import sys
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
from timing import best

import ostrelpy
from ostrelpy.api_client import holiday_occurrences
from ostrelpy.bindings import _engine as e

TZ_NAME = "Europe/Stockholm"
TZ = ZoneInfo(TZ_NAME)
START = dt.datetime(2025, 1, 1, tzinfo=TZ)
END = dt.datetime(2026, 1, 1, tzinfo=TZ)
CATALOGUE = Path(ostrelpy.__file__).with_name("catalogue")
TARIFF = "5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f"  # Elnät Stockholm, tidstariff 2025
DAY_NS = 86_400_000_000_000
HOUR_NS = 3_600_000_000_000


def catalogue_components():
    data = json.loads((CATALOGUE / f"{TARIFF}.json").read_text(encoding="utf-8"))
    return [e.TariffComponent.model_validate(c) for c in data["tariff_components"]]


def consumption(start, end, seed=2025):
    index = pd.date_range(start, end, freq="15min", inclusive="left")
    rng = np.random.default_rng(seed)
    scale = np.array([4, 4, 3, 2, 1.5, 1, 1, 1, 1.5, 2, 3, 4])[index.month - 1]
    return pd.Series(rng.gamma(2.0, 0.2, len(index)) * scale, index=index, name="consumption")


def holidays_of(components, first_year, last_year):
    names = sorted({h.value for c in components for h in c.collect_holidays()})
    occurrences = holiday_occurrences(first_year - 1, last_year + 1, names)
    return [
        e.HolidayOccurrence(date=o.date, holiday=o.holiday.value, timezone=o.timezone)
        for o in occurrences
    ]


# As the facade evaluates: per component, its own timeline over the period, then its run.
def engine_total(components, series, holidays, start, end):
    total = 0.0
    for c in components:
        inputs = {d: series for d in c.datasets}
        tl = e.build_timeline([c], inputs, holidays, start_time=start, end_time=end)
        ctx = e.run_pipeline([c], inputs, timeline=tl)
        total += float(ctx.all_series[c.cost.id].sum())
    return total


# The older headline: one timeline built beforehand and shared by every component's run.
def engine_shared(components, series, tl):
    total = 0.0
    for c in components:
        ctx = e.run_pipeline([c], {d: series for d in c.datasets}, timeline=tl)
        total += float(ctx.all_series[c.cost.id].sum())
    return total


def pandas_total(series, holiday_days):
    """The same tariff in vectorised pandas and numpy, as carefully as we can write it."""
    values = series.to_numpy()
    utc = series.index.as_unit("ns").asi8
    wall = series.index.tz_convert(TZ).tz_localize(None).as_unit("ns").asi8  # one conversion
    days = wall // DAY_NS
    energy_tax = (values * 0.439).sum()

    weekday = (days + 3) % 7 < 5  # 1970-01-01 was a Thursday
    minute = (wall // 60_000_000_000) % 1440
    high = weekday & (minute >= 7 * 60) & (minute < 19 * 60) & ~np.isin(days, holiday_days)
    transfer = (values * np.where(high, 0.6, 0.25)).sum()

    # Local hours are UTC hours in a whole-hour zone: group on the UTC hour starts, which keeps
    # the two occurrences of the repeated autumn hour apart.
    hour_start = utc - utc % HOUR_NS
    hourly = pd.Series(values).groupby(hour_start).sum()
    first = hourly.index.to_numpy()
    local_first = pd.DatetimeIndex(first, tz="UTC").tz_convert(TZ)
    on_weekday = local_first.day_of_week.to_numpy() < 5
    months = (local_first.year * 12 + local_first.month).to_numpy()
    weekday_power = hourly[on_weekday] / 1.0
    top = weekday_power.groupby(months[on_weekday]).nlargest(3)
    peak_fee = (top.groupby(level=0).mean() * 35.0).sum()

    subscription = 10.5 * len(np.unique(days))
    return energy_tax + transfer + peak_fee + subscription


def pandas_idiomatic(series, holiday_dates):
    """The same tariff as it is usually written in pandas: the series in local time, masks from
    the index's accessors, a groupby on the hour starts and `nlargest(3)` per month."""
    local = series.tz_convert(TZ)
    idx = local.index
    energy_tax = (local * 0.439).sum()
    on_holiday = idx.tz_localize(None).normalize().isin(holiday_dates)
    high = (idx.day_of_week < 5) & (idx.hour >= 7) & (idx.hour < 19) & ~on_holiday
    transfer = (local * np.where(high, 0.6, 0.25)).sum()
    utc = series.tz_convert("UTC")  # hour starts in UTC keep the repeated autumn hour apart
    hourly = utc.groupby(utc.index.floor("h")).sum().tz_convert(TZ)
    weekday = hourly[hourly.index.day_of_week < 5]
    top = weekday.groupby([weekday.index.year, weekday.index.month]).nlargest(3)
    peak_fee = (top.groupby(level=[0, 1]).mean() * 35.0).sum()
    subscription = 10.5 * idx.tz_localize(None).normalize().nunique()
    return energy_tax + transfer + peak_fee + subscription


def floor_pieces(series, repeat=200):
    values = series.to_numpy()
    index = series.index
    out = np.empty_like(values)
    t_pass = best(lambda: np.multiply(values, 0.439, out=out), repeat)
    t_series = best(lambda: pd.Series(out, index=index, name="cost", copy=False), repeat)
    return t_pass, t_series


def passes_of(components):
    """Block passes of one facade evaluation: a timeline and the aligned inputs per component,
    one pass per function."""
    return sum(1 + len(c.datasets) + len(c.functions) for c in components)


def holiday_days_of(holidays):
    return np.array([(o.date - dt.date(1970, 1, 1)).days for o in holidays], dtype=np.int64)


def measure(days, repeat):
    """Seconds for one facade evaluation of the tariff over `days` days from 2025-01-01."""
    components = catalogue_components()
    start = START
    end = start + dt.timedelta(days=days)
    series = consumption(start, end)
    holidays = holidays_of(components, start.year, end.year)
    return series, best(lambda: engine_total(components, series, holidays, start, end), repeat)


def _status_bytes(field):
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def _peak_child(days):
    """In a fresh process: the peak resident bytes one evaluation adds, and the rows."""
    components = catalogue_components()
    start = START
    end = start + dt.timedelta(days=days)
    series = consumption(start, end)
    holidays = holidays_of(components, start.year, end.year)
    warm_end = start + dt.timedelta(days=2)
    engine_total(components, consumption(start, warm_end), holidays, start, warm_end)
    before = _status_bytes("VmRSS")
    with open("/proc/self/clear_refs", "w", encoding="ascii") as f:
        f.write("5")  # resets the peak to the current size
    engine_total(components, series, holidays, start, end)
    print(_status_bytes("VmHWM") - before, len(series))


def peak_memory(days):
    """Peak bytes one facade evaluation adds over `days` days, measured in a fresh process."""
    cmd = [sys.executable, __file__, "--peak", str(days)]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True)
    grown, rows = out.stdout.split()
    return int(grown), int(rows)


def main():
    components = catalogue_components()
    series = consumption(START, END)
    holidays = holidays_of(components, 2025, 2025)
    holiday_days = holiday_days_of(holidays)

    holiday_dates = pd.DatetimeIndex([o.date for o in holidays])
    ours = engine_total(components, series, holidays, START, END)
    theirs = pandas_total(series, holiday_days)
    idiomatic = pandas_idiomatic(series, holiday_dates)
    print(f"steps: {len(series)}, components: {len(components)} ({TARIFF})")
    print(f"total cost: engine {ours:.6f}, pandas {theirs:.6f}, idiomatic pandas {idiomatic:.6f}")
    if not np.allclose([theirs, idiomatic], ours, rtol=1e-9, atol=0.0):
        print("totals disagree", file=sys.stderr)
        return 1

    t_full = best(lambda: engine_total(components, series, holidays, START, END), 40)
    t_pandas = best(lambda: pandas_total(series, holiday_days), 20)
    t_idiomatic = best(lambda: pandas_idiomatic(series, holiday_dates), 10)
    tl = e.build_timeline(
        components,
        {d: series for c in components for d in c.datasets},
        holidays,
        start_time=START,
        end_time=END,
    )
    t_shared = best(lambda: engine_shared(components, series, tl), 40)
    t_pass, t_series = floor_pieces(series)
    passes = passes_of(components)
    floor = passes * (t_pass + t_series)
    print(f"pandas, careful vectorised:              {t_pandas * 1e3:8.3f} ms")
    print(
        f"engine, as the facade (per component):   {t_full * 1e3:8.3f} ms   "
        f"{t_pandas / t_full:5.1f}x pandas, {t_full / floor:4.1f}x floor"
    )
    print(
        f"pandas, idiomatic (for reference):       {t_idiomatic * 1e3:8.3f} ms   "
        f"engine {t_idiomatic / t_full:5.1f}x faster"
    )
    print(f"engine, one shared timeline:             {t_shared * 1e3:8.3f} ms")
    print(
        f"floor: {passes} passes x (one pass {t_pass * 1e6:.1f} us + one Series "
        f"{t_series * 1e6:.1f} us) = {floor * 1e3:.3f} ms"
    )

    print()
    print(f"{'period':10} {'quarter-hours':>13} {'time':>10} {'ns/qh/comp':>11} {'B/qh/comp':>10}")
    n = len(components)
    for name, days, repeat in (
        ("week", 7, 200),
        ("month", 31, 100),
        ("year", 365, 20),
        ("ten years", 3652, 3),
    ):
        s, t = measure(days, repeat)
        grown, rows = peak_memory(days)
        print(
            f"{name:10} {len(s):13,} {t * 1e3:8.3f}ms {t / len(s) / n * 1e9:11.1f} "
            f"{grown / rows:10.1f}"
        )
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--peak":
        _peak_child(int(sys.argv[2]))
        sys.exit(0)
    sys.exit(main())
