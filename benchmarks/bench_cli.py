"""The main job on a year of quarter-hours (35,040 readings): reading a meter export with every
check against a bare pandas read, and `ostrelpy.cost` under the bundled Swedish tariff against
the same bill written in plain pandas, measured side by side in this run."""

import tempfile
import timeit
from pathlib import Path

import numpy as np
import pandas as pd

import ostrelpy
from ostrelpy import meter

TZ = "Europe/Stockholm"
INDEX = pd.date_range("2025-01-01", "2026-01-01", freq="15min", tz=TZ, inclusive="left")
KWH = pd.Series(np.random.default_rng(3).gamma(2.0, 0.2, len(INDEX)), index=INDEX)
HOLIDAYS = pd.to_datetime(
    ["2025-01-01", "2025-01-06", "2025-04-18", "2025-04-21", "2025-05-01", "2025-05-29"]
    + ["2025-06-06", "2025-06-20", "2025-12-24", "2025-12-25", "2025-12-26", "2025-12-31"]
).date


def bare_read(path):
    frame = pd.read_csv(path, sep=";", decimal=",")
    return pd.Series(frame.iloc[:, 1].to_numpy(), index=pd.to_datetime(frame.iloc[:, 0], utc=True))


def pandas_bill(kwh):
    local = kwh.tz_convert(TZ)
    idx = local.index
    day = (idx.day_of_week < 5) & (idx.hour >= 7) & (idx.hour < 19) & ~np.isin(idx.date, HOLIDAYS)
    hourly = local.resample("1h").sum()
    hourly = hourly[hourly.index.day_of_week < 5]
    peaks = hourly.groupby(hourly.index.month).apply(lambda h: h.nlargest(3).mean())
    return {
        "Energiskatt": 0.439 * local.sum(),
        "Överföringsavgift": float((local * np.where(day, 0.6, 0.25)).sum()),
        "Effektavgift": 35.0 * float(peaks.sum()),
        "Abonnemangsavgift": 10.5 * len(np.unique(idx.date)),
    }


def best(fn, number=3):
    return min(timeit.repeat(fn, number=1, repeat=number))


def main():
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "year.csv"
        KWH.to_csv(path, sep=";", decimal=",", date_format="%Y-%m-%dT%H:%M:%S%z")
        checked, bare = best(lambda: meter.read_meter(path)), best(lambda: bare_read(path))
        print(f"read a year:  checked {checked * 1e3:7.1f} ms   bare pandas {bare * 1e3:7.1f} ms")
        print(f"              ratio {checked / bare:.2f} (all checks and header/format detection)")
    engine = ostrelpy.cost("5f0c2a9e", KWH).total()
    reference = pandas_bill(KWH)
    for name, value in reference.items():
        assert abs(engine[name] - value) < 1e-6 * max(1.0, abs(value)), (name, engine[name], value)
    ours, plain = best(lambda: ostrelpy.cost("5f0c2a9e", KWH)), best(lambda: pandas_bill(KWH))
    print(f"bill a year:  ostrelpy.cost {ours * 1e3:7.1f} ms   plain pandas {plain * 1e3:7.1f} ms")
    print(f"              ratio {ours / plain:.2f} (same totals; the engine evaluates any tariff)")


if __name__ == "__main__":
    main()
