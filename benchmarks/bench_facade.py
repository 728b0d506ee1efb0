"""calculate_cost of the bundled Swedish tariff on a year of quarter-hours, passed as the
facade's dicts, against what a user would otherwise write from the same dicts with pandas.

The pandas side: `pd.Series(dict)`, the same four components in plain vectorised pandas
(energy tax, weekday 07-19 transfer price outside holidays, monthly mean of the three highest
weekday hours, a daily fee), and each cost series back to a dict. Ours: `calculate_cost` with
warm caches, and the split of its time between reading the dicts, the engine (timeline and
pipeline) and writing the result maps. Writing is also set against the floor of any writer:
creating and hashing the 35,040 aware datetimes of a map. Every figure is the best of several
runs in this process, and the two sides' totals must agree.
"""

import asyncio
import datetime as dt
import json
import math
import sys
import uuid
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import timing

import ostrelpy
from ostrelpy.api_client import holiday_occurrences
from ostrelpy.bindings import _engine, logic
from ostrelpy.models import Dataset, Holiday

# The tests' reading of the tariff's peak hours, so that both check against the same one.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from references import transfer_peak  # noqa: E402

TARIFF = uuid.UUID("5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f")
TZ = ZoneInfo("Europe/Stockholm")
START = dt.datetime(2025, 1, 1, tzinfo=TZ)
END = dt.datetime(2026, 1, 1, tzinfo=TZ)
CONSUMPTION = Dataset(id="consumption", resolution="quarter_hourly", unit="kWh")
CATALOGUE = Path(ostrelpy.__file__).with_name("catalogue")
RUNS = 7


def best(f, runs=RUNS):
    return timing.best(f, runs)


def year_of_quarter_hours(zone):
    index = pd.date_range(START, END, freq="15min", inclusive="left").tz_convert(zone)
    rng = np.random.default_rng(2025)
    values = rng.gamma(2.0, 0.2, len(index))
    return dict(zip(index.to_pydatetime(), values.tolist()))


def tariff_holidays():
    """The holidays the bundled tariff's conditions name, read from its catalogue entry."""
    data = json.loads((CATALOGUE / f"{TARIFF}.json").read_text(encoding="utf-8"))
    components = [_engine.TariffComponent.model_validate(c) for c in data["tariff_components"]]
    return sorted({h.value for c in components for h in c.collect_holidays()})


HOLIDAY_DATES = {
    o.date for o in holiday_occurrences(2024, 2027, [Holiday(h) for h in tariff_holidays()])
}


def pandas_costs(mapping):
    """The tariff as a user would write it in pandas, from the dict and back to dicts."""
    s = pd.Series(mapping, dtype="float64")
    s.index = s.index.tz_convert("UTC")
    local = s.index.tz_convert(TZ)
    energy = s * 0.439
    peak_time = transfer_peak(local, HOLIDAY_DATES)
    transfer = s * np.where(peak_time, 0.6, 0.25)
    hourly = s.groupby(s.index.floor("h")).sum()
    hourly_local = hourly.index.tz_convert(TZ)
    weekday = hourly[hourly_local.day_of_week < 5]
    month = weekday.index.tz_convert(TZ).strftime("%Y-%m")
    peak = weekday.groupby(month).apply(lambda g: g.nlargest(3).mean() * 35.0)
    month_starts = pd.DatetimeIndex(
        [pd.Timestamp(f"{m}-01").tz_localize(TZ) for m in peak.index]
    ).tz_convert("UTC")
    peak.index = month_starts
    days = pd.date_range(START, END, freq="D", inclusive="left").tz_convert("UTC")
    subscription = pd.Series(10.5, index=days)
    return [c.to_dict() for c in (energy, transfer, peak, subscription)]


def total(maps):
    return math.fsum(v for m in maps for v in m.values() if v == v)


def main():
    facade = logic.LogicBindings("bench")
    utc_keys = year_of_quarter_hours("UTC")
    zone_keys = year_of_quarter_hours(TZ)
    data = {CONSUMPTION: utc_keys}
    steps = len(utc_keys)

    def ours():
        return asyncio.run(facade.calculate_cost(TARIFF, START, END, data))

    costs = ours()  # warms the tariff and holiday caches
    ours_maps = [c.costs for c in costs]
    theirs_maps = pandas_costs(utc_keys)
    if not math.isclose(total(ours_maps), total(theirs_maps), rel_tol=1e-9):
        sys.exit(f"totals differ: {total(ours_maps)} vs {total(theirs_maps)}")

    t_ours = best(ours)
    t_pandas = best(lambda: pandas_costs(utc_keys))

    # The split: the same steps the facade takes, one at a time.
    engine_ds = logic._to_domain_dataset(CONSUMPTION)
    components = asyncio.run(facade._get_active_components(TARIFF, START, END, use_cache=True))
    holidays = asyncio.run(facade._fetch_holidays(components, START, END, use_cache=True))
    t_read = best(lambda: logic._to_input_series(utc_keys, engine_ds))
    series = logic._to_input_series(utc_keys, engine_ds)

    def engine():
        out = []
        for c in components:
            inputs = {d: series for d in c.datasets}
            tl = _engine.build_timeline([c], inputs, holidays, start_time=START, end_time=END)
            ctx = _engine.run_pipeline([c], inputs, timeline=tl)
            out.append(ctx.all_series[c.cost.id])
        return out

    t_engine = best(engine)
    cost_series = engine()
    t_write = best(lambda: [logic._to_float_cost(s, c) for s, c in zip(cost_series, components)])
    year = cost_series[0]
    t_write_one = best(lambda: logic._to_float_cost(year, components[0]))
    t_floor = best(lambda: dict.fromkeys(year.index.to_pydatetime()))
    t_series_dict = best(lambda: pd.Series(utc_keys, dtype="float64"))
    t_series_zone = best(lambda: pd.Series(zone_keys, dtype="float64"), runs=3)
    t_read_zone = best(lambda: logic._to_input_series(zone_keys, engine_ds))
    t_to_dict = best(lambda: year.to_dict())

    ms = 1e3
    print(f"calculate_cost, bundled Swedish tariff, {steps} quarter-hours, 4 components")
    print(f"  ours end to end        {t_ours * ms:8.1f} ms")
    print(f"  pandas from the dicts  {t_pandas * ms:8.1f} ms   ratio {t_pandas / t_ours:5.1f}x")
    other = t_ours - t_read - t_engine
    print("  split of ours:")
    print(f"    reading the dict     {t_read * ms:8.1f} ms")
    print(f"    engine               {t_engine * ms:8.1f} ms")
    print(f"    the rest             {other * ms:8.1f} ms   (writing the maps, conversions)")
    print(
        f"    (maps on new keys, as a cost on other instants needs: {t_write * ms:.1f} ms; "
        "a cost on the caller's UTC instants reuses the caller's keys)"
    )
    print("  reading a year's dict:")
    print(f"    pd.Series(dict), UTC keys       {t_series_dict * ms:8.1f} ms")
    print(
        f"    ours, UTC keys                  {t_read * ms:8.1f} ms   ratio {t_series_dict / t_read:5.1f}x"
    )
    print(f"    pd.Series(dict), zoneinfo keys  {t_series_zone * ms:8.1f} ms")
    print(
        f"    ours, zoneinfo keys             {t_read_zone * ms:8.1f} ms"
        f"   ratio {t_series_zone / t_read_zone:5.1f}x"
    )
    print("  writing a year's map:")
    print(f"    floor: create and hash {steps} aware datetimes  {t_floor * ms:8.1f} ms")
    print(
        f"    ours (_to_float_cost)                          {t_write_one * ms:8.1f} ms"
        f"   {t_write_one / t_floor:4.2f}x the floor"
    )
    print(f"    Series.to_dict()                               {t_to_dict * ms:8.1f} ms")


if __name__ == "__main__":
    main()
