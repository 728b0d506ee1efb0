"""A year's bill under published US rates: `ostrelpy.cost(...).monthly()` against a compiled
bill calculator (PySAM's UtilityRate5) on the same rate and the same hourly load.

Each rate is imported once (`ostrelpy.importers.urdb`) and converted once by PySAM's own
converter; what is timed is what a caller pays per bill: for us, `ostrelpy.cost` of the hourly
Series and its monthly table; for PySAM, a new UtilityRate5 model given the converted rate and
the load, executed. The yearly totals must agree (PySAM's year starts on a Monday and knows no
daylight-saving time, so the engine prices 2029 in a fixed-offset zone).

The floor beside them: the engine's own run of the same components (each its own timeline and
`run_pipeline`, the load already spread over quarter-hours, as `bench_pipeline` measures it),
which `ostrelpy.cost` cannot beat; its total must agree too.
"""

import copy
import json
import sys
from pathlib import Path

import numpy as np
import pandas as pd
from bench_pipeline import engine_total
from timing import best_of_each

import ostrelpy
from ostrelpy import pricing
from ostrelpy.bindings import _engine
from ostrelpy.importers import urdb

try:
    from PySAM import Utilityrate5, UtilityRateTools
except ImportError:  # a benchmark-only peer
    sys.exit("bench_bill needs nrel-pysam (pip install nrel-pysam)")

# The same independent calculator the importer tests check against.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from pysam_peer import utilityrate5_run  # noqa: E402

DATA = Path(__file__).resolve().parents[1] / "tests" / "data" / "urdb"
# Rates PySAM's converter reads without help: flat, time-of-use and demand charges.
RATES = [
    "fixture_hpxml_sample_flat_rate_fixed_daily_charge.json",
    "fpl_gsldt1_6776f983.json",
    "coned_sc9_rate3_zoneJ_67b78db9.json",
]
ZONE = "UTC-05:00"
HOURS = 8760


def rate_of(name: str) -> dict:
    doc = json.loads((DATA / name).read_text(encoding="utf-8"))
    return doc["items"][0] if "items" in doc else doc


def load() -> np.ndarray:
    rng = np.random.default_rng(7)
    hour = np.arange(HOURS) % 24
    day = np.arange(HOURS) // 24
    season = 1 + 0.35 * np.cos(2 * np.pi * (day - 200) / 365)
    office = 25 + 110 * season * ((hour >= 8) & (hour < 19)) * (day % 7 < 5)
    return office * rng.uniform(0.8, 1.25, HOURS)


def pysam_bill(converted: dict, kwh: np.ndarray) -> float:
    model = utilityrate5_run(Utilityrate5, converted, kwh)
    return float(np.sum(np.array(model.Outputs.utility_bill_w_sys_ym)[1]))


def main() -> None:
    kwh = load()
    start = pd.Timestamp("2029-01-01", tz=_engine.timezone_from_str(ZONE))
    series = pd.Series(kwh, index=pd.date_range(start, periods=HOURS, freq="h"))
    quarters = pd.Series(
        np.repeat(kwh / 4, 4), index=pd.date_range(start, periods=4 * HOURS, freq="15min")
    )
    end = start + pd.Timedelta(hours=HOURS)
    print(f"a year's bill of an hourly load ({HOURS} hours), best of several runs")
    print(
        f"  {'rate':40s} {'ours':>9s} {'PySAM':>9s} {'ratio':>6s} (aim: 2x)"
        f" {'engine floor':>13s} {'ours/floor':>10s}"
    )
    for name in RATES:
        rate = rate_of(name)
        (tariff,) = urdb(rate, timezone=ZONE, approximate=True).tariffs
        converted = UtilityRateTools.URDBv8_to_ElectricityRates(copy.deepcopy(rate))
        components = [c for _, c in pricing.engine_components(tariff)]
        ours = float(ostrelpy.cost(tariff, series).monthly()["total"].sum())
        theirs = pysam_bill(converted, kwh)
        floor = engine_total(components, quarters, [], start, end)
        for peer, total in (("PySAM", theirs), ("the engine's own run", floor)):
            if not np.isclose(ours, total, rtol=1e-6):
                sys.exit(f"{name}: the bills differ: ours {ours:.6f}, {peer} {total:.6f}")
        # Interleaved, so that the machine's load weighs on all three alike.
        t_ours, t_theirs, t_floor = best_of_each(
            [
                lambda t=tariff: ostrelpy.cost(t, series).monthly(),
                lambda c=converted: pysam_bill(c, kwh),
                lambda c=components: engine_total(c, quarters, [], start, end),
            ],
            15,
        )
        print(
            f"  {name[:40]:40s} {t_ours * 1e3:6.2f} ms {t_theirs * 1e3:6.2f} ms "
            f"{t_theirs / t_ours:5.2f}x {t_floor * 1e3:10.2f} ms {t_ours / t_floor:9.2f}x"
        )


if __name__ == "__main__":
    main()
