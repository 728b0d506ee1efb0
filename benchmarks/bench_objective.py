"""The optimiser's cost against the bill: a 10 kWh / 5 kW battery (efficiency 0.95) planned
with `ostrelpy.plan_battery` against every bundled tariff over a year of quarter-hours (and the
two shorter periods first measured), in the direction-aware form and in the exact
mixed-integer form. For each plan: the objective HiGHS minimised, the bill `calculate_cost`
gives for the plan's grid import, their difference, and the solve time. Printed last: the
largest difference over all plans, against the solver tolerance allowed for it.

    python benchmarks/bench_objective.py [--quick] [--exact-year] [--only ID-PREFIX]
    (--quick: the short periods only; --exact-year: the year in the exact form too, which
    takes long on the capacity-step tariff)
"""

import sys
from pathlib import Path

import numpy as np
import pandas as pd

import ostrelpy
from ostrelpy import tariffs

PERIODS = {
    "January": ("2025-01-01T00:00+01:00", "2025-02-01T00:00+01:00"),
    "20 Mar-10 Apr": ("2025-03-20T00:00+01:00", "2025-04-10T00:00+02:00"),
    "year": ("2025-01-01T00:00+01:00", "2026-01-01T00:00+01:00"),
}


def household_load() -> pd.Series:
    """A year of quarter-hours: the bundled example export repeated (a morning and an evening
    peak, winter above summer), kWh per quarter-hour."""
    data = pd.read_csv(Path(ostrelpy.__file__).with_name("data") / "consumption.csv")
    values = data["kwh"].to_numpy()
    index = pd.date_range(
        "2025-01-01", "2026-01-01", freq="15min", tz="Europe/Stockholm", inclusive="left"
    )
    season = 1.0 + 0.4 * np.cos(2 * np.pi * (index.day_of_year.to_numpy() - 15) / 365)
    return pd.Series(np.resize(values, len(index)) * season, index=index.tz_convert("UTC"))


def main() -> int:
    quick = "--quick" in sys.argv
    load = household_load()
    worst = (0.0, 0.0, "")
    print(
        f"{'tariff':<10} {'period':<14} {'form':<7} {'objective':>12} {'bill':>12} "
        f"{'|difference|':>12} {'tolerance':>9} {'solve s':>8}"
    )
    only = sys.argv[sys.argv.index("--only") + 1] if "--only" in sys.argv else ""
    for entry in tariffs.entries():
        if not str(entry.tariff.id).startswith(only):
            continue
        for period, (start, end) in PERIODS.items():
            if quick and period == "year":
                continue
            # The exact form of a year's capacity steps is a long branch and bound; asked for.
            forms = (False, True) if period != "year" or "--exact-year" in sys.argv else (False,)
            for exact in forms:
                try:
                    p = ostrelpy.plan_battery(
                        entry.tariff,
                        load,
                        capacity=10.0,
                        power=5.0,
                        efficiency=0.95,
                        start=start,
                        end=end,
                        exact=exact,
                    )
                except ValueError as exc:
                    # An imported tariff in force in other years, or one whose price per kWh
                    # depends on the month's energy: nothing a solver can plan against.
                    why = [
                        w for w in ("applies in the period", "cannot be scheduled") if w in str(exc)
                    ]
                    if not why:
                        raise
                    print(f"{str(entry.tariff.id)[:8]:<10} {period:<14} {why[0]}")
                    break
                objective = p.bills["objective"].sum()
                bill = p.bills["with_battery"].sum()
                gap = abs(objective - bill)
                form = "exact" if exact else "linear"
                name = str(entry.tariff.id)[:8]
                print(
                    f"{name:<10} {period:<14} {form:<7} {objective:12.4f} {bill:12.4f} "
                    f"{gap:12.3g} {p.tolerance:9.2g} {p.seconds:8.1f}",
                    flush=True,
                )
                if gap >= worst[0]:
                    worst = (gap, p.tolerance, f"{name} {period} {form}")
    print(f"largest |objective - bill|: {worst[0]:.3g} ({worst[2]}; tolerance {worst[1]:.2g})")
    return 0 if worst[0] <= worst[1] else 1


if __name__ == "__main__":
    sys.exit(main())
