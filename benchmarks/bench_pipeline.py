"""A five-component tariff on a year of quarter-hours: run_pipeline against plain pandas.

The tariff: an energy tax per kWh, a transfer fee with a weekday 07-19 price outside Swedish
holidays, a monthly peak fee on the mean of the three highest weekday hours, a capacity step
by the mean of the three highest daily peaks (a tier lookup) and a monthly subscription spread
over the days. Both sides evaluate it in this process on the same 35,040 quarter-hours; each
figure is the best of several runs, and the two totals must agree.
"""

import datetime as dt
import json
import sys
import time
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd

import ostrelpy
from ostrelpy.api_client import holiday_occurrences
from ostrelpy.bindings import _engine as e

TZ_NAME = "Europe/Stockholm"
TZ = ZoneInfo(TZ_NAME)
START = dt.datetime(2025, 1, 1, tzinfo=TZ)
END = dt.datetime(2026, 1, 1, tzinfo=TZ)
CATALOGUE = Path(ostrelpy.__file__).with_name("catalogue")
CAPACITY_BOUNDARIES = np.array([2.0, 5.0, 10.0, 15.0, 20.0])
CAPACITY_LEVELS = np.array([130.0, 190.0, 280.0, 375.0, 470.0, 565.0])


def catalogue_components():
    by_name = {}
    for path in sorted(CATALOGUE.glob("*.json")):
        for c in json.loads(path.read_text(encoding="utf-8"))["tariff_components"]:
            by_name[c["name"]] = c
    chosen = []
    for name in ("Energiskatt", "Överföringsavgift", "Effektavgift", "Kapasitetsledd", "Fastledd"):
        # One run has one zone: the capacity step and the subscription are taken into Sweden.
        chosen.append(e.TariffComponent.model_validate({**by_name[name], "timezone": TZ_NAME}))
    return chosen


def consumption_year():
    index = pd.date_range(START, END, freq="15min", inclusive="left")
    rng = np.random.default_rng(2025)
    scale = np.array([4, 4, 3, 2, 1.5, 1, 1, 1, 1.5, 2, 3, 4])[index.month - 1]
    return pd.Series(rng.gamma(2.0, 0.2, len(index)) * scale, index=index, name="consumption")


# Each component runs on its own, as the facade runs them: their intermediate datasets share
# ids ("cost", "hourly_energy") and would overwrite each other in one context. The five share
# one zone and window, so they share one timeline.
def inputs_of(component, consumption):
    return {d: consumption for d in component.datasets}


def engine_costs(components, consumption, tl):
    total = 0.0
    for c in components:
        ctx = e.run_pipeline([c], inputs_of(c, consumption), timeline=tl)
        total += float(ctx.all_series[c.cost.id].sum())
    return total


def engine_timeline(components, consumption, holidays):
    inputs = {d: consumption for c in components for d in c.datasets}
    return e.build_timeline(components, inputs, holidays, start_time=START, end_time=END)


def engine_total(components, consumption, holidays):
    return engine_costs(components, consumption, engine_timeline(components, consumption, holidays))


# The plain pandas evaluation of the same tariff.
def pandas_total(consumption, holiday_dates):
    when = consumption.index
    energy_tax = (consumption * 0.439).sum()

    high = (
        (when.day_of_week < 5)
        & (when.hour >= 7)
        & (when.hour < 19)
        & ~when.normalize().isin(holiday_dates)
    )
    transfer = (consumption * np.where(high, 0.6, 0.25)).sum()

    hourly_power = consumption.resample("1h").sum(min_count=1) / 1.0
    weekday = hourly_power[hourly_power.index.day_of_week < 5]
    top = weekday.groupby([weekday.index.year, weekday.index.month]).nlargest(3)
    peak_fee = (top.groupby(level=[0, 1]).mean() * 35.0).sum()

    daily_peak = hourly_power.resample("D").max()
    top_days = daily_peak.groupby([daily_peak.index.year, daily_peak.index.month]).nlargest(3)
    capacity = top_days.groupby(level=[0, 1]).mean()
    tiers = np.searchsorted(CAPACITY_BOUNDARIES, capacity.to_numpy(), side="right")
    capacity_fee = CAPACITY_LEVELS[tiers].sum()

    steps_per_day = pd.Series(1.0, index=when).resample("D").sum()
    share = steps_per_day / steps_per_day.groupby(steps_per_day.index.month).transform("sum")
    subscription = (49.0 * share).sum()
    return energy_tax + transfer + peak_fee + capacity_fee + subscription


# Where run_pipeline's time goes: placing the inputs on the grid, and the blocks' evaluation
# on series already filed (each function's compute, as the execution context calls it).
def engine_breakdown(components, consumption, tl, repeat):
    contexts = [e.run_pipeline([c], inputs_of(c, consumption), timeline=tl) for c in components]

    def align():
        for c in components:
            for d in c.datasets:
                tl.align_dataset(consumption.rename(d.id), d.resolution)

    def compute():
        for c, ctx in zip(components, contexts):
            for fn in c.functions:
                ops = {
                    k: (v.value if isinstance(v, e.Level) else ctx.all_series[v.id])
                    for k, v in fn.input_operands().items()
                    if v is not None
                }
                fn.compute(tl, **ops)

    return best(align, repeat), best(compute, repeat)


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    components = catalogue_components()
    consumption = consumption_year()
    # The holidays the tariff itself names, for the engine and the pandas version alike.
    se_holidays = sorted({h.value for c in components for h in c.collect_holidays()})
    holidays = [
        e.HolidayOccurrence(date=o.date, holiday=o.holiday.value, timezone=o.timezone)
        for o in holiday_occurrences(2024, 2026, se_holidays)
    ]
    holiday_dates = pd.DatetimeIndex(
        [pd.Timestamp(o.date, tz=TZ) for o in holiday_occurrences(2025, 2025, se_holidays)]
    )

    tl = engine_timeline(components, consumption, holidays)
    ours = engine_costs(components, consumption, tl)
    theirs = pandas_total(consumption, holiday_dates)
    print(f"steps: {len(tl.get_as('quarter_hourly'))}, components: {len(components)}")
    print(f"total cost: run_pipeline {ours:.6f}, pandas {theirs:.6f}")
    if not np.isclose(ours, theirs, rtol=1e-9, atol=0.0):
        print("totals disagree", file=sys.stderr)
        return 1

    t_pandas = best(lambda: pandas_total(consumption, holiday_dates), 20)
    t_run = best(lambda: engine_costs(components, consumption, tl), 50)
    t_full = best(lambda: engine_total(components, consumption, holidays), 30)
    print(f"pandas:                       {t_pandas * 1e3:8.3f} ms")
    print(f"run_pipeline:                 {t_run * 1e3:8.3f} ms   ratio {t_pandas / t_run:6.1f}x")
    print(f"build_timeline + run_pipeline:{t_full * 1e3:8.3f} ms   ratio {t_pandas / t_full:6.1f}x")
    t_align, t_compute = engine_breakdown(components, consumption, tl, 50)
    print(
        f"  in run_pipeline: aligning inputs {t_align * 1e3:.3f} ms, "
        f"block compute {t_compute * 1e3:.3f} ms (ratio {t_pandas / t_compute:.1f}x)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
