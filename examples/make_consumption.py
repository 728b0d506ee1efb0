"""Writes the main job's bundled example, src/ostrelpy/data/consumption.csv, and the README's
meter export, examples/export.csv.

A synthetic household's quarter-hourly consumption. Deterministic (fixed seed), Europe/Stockholm, 2025-01-01 to 2025-04-01 local time, which takes
in the spring daylight-saving change. Base load, heating that follows a cold-season curve,
morning and evening peaks, and an EV charged on some weekday evenings.
"""

from pathlib import Path

import numpy as np
import pandas as pd

TZ = "Europe/Stockholm"


def consumption(start: str = "2025-01-01", end: str = "2025-04-01") -> pd.Series:
    index = pd.date_range(start, end, freq="15min", tz=TZ, inclusive="left")
    rng = np.random.default_rng(20250101)
    local = index.tz_convert(TZ)
    hour = local.hour + local.minute / 60.0
    day = np.asarray((local.normalize() - local[0].normalize()).days)
    heating = 0.55 * (1.0 + np.cos(2 * np.pi * (day + 15) / 365.0))
    peaks = 0.35 * np.exp(-((hour - 7.5) ** 2) / 1.5) + 0.6 * np.exp(-((hour - 18.5) ** 2) / 3.0)
    ev = np.where(
        (local.day_of_week < 5) & (hour >= 22) & (rng.random(len(index)) < 0.35), 2.7, 0.0
    )
    kwh = 0.08 + 0.25 * heating + peaks * 0.25 + ev * 0.25 + rng.gamma(2.0, 0.02, len(index))
    return pd.Series(np.round(kwh, 4), index=index, name="kwh")


if __name__ == "__main__":
    s = consumption()
    out = Path(__file__).parents[1] / "src" / "ostrelpy" / "data" / "consumption.csv"
    s.rename_axis("interval_start").to_csv(out, date_format="%Y-%m-%dT%H:%M:%S%z")
    print(f"{out}: {len(s)} rows, {s.sum():.1f} kWh")
    # October as a utility writes it: naive local times (the repeated hour of 26 October given
    # twice, in order), semicolons and decimal commas.
    s = consumption("2025-10-01", "2025-11-01")
    out = Path(__file__).with_name("export.csv")
    text = pd.DataFrame(
        {
            "interval_start": s.index.strftime("%Y-%m-%d %H:%M"),
            "kWh": [f"{v:.3f}".replace(".", ",") for v in s],
        }
    ).to_csv(sep=";", index=False, lineterminator="\n")
    out.write_text(text, encoding="utf-8")
    print(f"{out}: {len(s)} rows, {s.sum():.1f} kWh")
