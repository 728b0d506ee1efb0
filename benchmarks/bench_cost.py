"""`ostrelpy.cost` on a meter-year, as a pandas user calls it, against the engine's own run.

The caller's cost: a Series of kWh per quarter-hour in, `ostrelpy.cost(tariff, series)` (input
checks, the facade's one path over every component, the tidy frame) and `.monthly()`. Against
it, in the same run: the engine's own run of the same components (each its own timeline and
`run_pipeline`, inputs already aligned, as `bench_pipeline` measures it) and the careful pandas
evaluation of the same tariff. All totals must agree.
"""

import sys
import time

import numpy as np
from bench_pipeline import (
    END,
    START,
    TARIFF,
    TZ,
    best,
    catalogue_components,
    consumption,
    engine_total,
    holiday_days_of,
    holidays_of,
    pandas_total,
)
from timing import best_of_each

import ostrelpy


def main():
    series = consumption(START, END).tz_convert("UTC")
    components = catalogue_components()
    holidays = holidays_of(components, START.year, END.year)
    local = series.tz_convert(TZ)

    frame = ostrelpy.cost(TARIFF, series)
    ours = float(frame["cost"].sum())
    engine = engine_total(components, local, holidays, START, END)
    plain = pandas_total(local, holiday_days_of(holidays))
    for name, other in (("engine", engine), ("pandas", plain)):
        if not np.isclose(ours, other, rtol=1e-9):
            sys.exit(f"totals differ: ostrelpy.cost {ours} against {name} {other}")
    monthly = frame.monthly()
    if not np.isclose(float(monthly["total"].sum()), ours, rtol=1e-12):
        sys.exit("monthly() does not add up to the bill")

    # Interleaved, so that the machine's load weighs on the door and the engine alike.
    t_cost, t_monthly, t_engine = best_of_each(
        [
            lambda: ostrelpy.cost(TARIFF, series),
            lambda: ostrelpy.cost(TARIFF, series).monthly(),
            lambda: engine_total(components, local, holidays, START, END),
        ],
        30,
    )
    t_pandas = best(lambda: plain_total(local, holidays), 5)

    ms = 1e3
    print(f"ostrelpy.cost, bundled Swedish tariff, {len(series)} quarter-hours, 4 components")
    print(f"  ostrelpy.cost               {t_cost * ms:7.2f} ms")
    print(f"  ostrelpy.cost(...).monthly  {t_monthly * ms:7.2f} ms")
    print(
        f"  engine's own run            {t_engine * ms:7.2f} ms   "
        f"ostrelpy.cost is {t_cost / t_engine:4.2f}x of it (aim: at most 2x)"
    )
    print(
        f"  careful pandas              {t_pandas * ms:7.2f} ms   "
        f"ratio to ostrelpy.cost {t_pandas / t_cost:5.1f}x"
    )
    began = time.perf_counter()
    meters = 20
    for _ in range(meters):
        ostrelpy.cost(TARIFF, series)
    per_second = meters / (time.perf_counter() - began)
    print(f"  a loop of ostrelpy.cost     {per_second:7.1f} meter-years per second")


def plain_total(local, holidays):
    return pandas_total(local, holiday_days_of(holidays))


if __name__ == "__main__":
    main()
