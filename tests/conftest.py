import numpy as np
import pandas as pd
import pytest

from ostrelpy.bindings import _engine


@pytest.fixture(scope="session")
def engine():
    return _engine


def _se_reference(kwh: pd.Series) -> dict[str, float]:
    """The bundled Swedish tariff computed with plain pandas, for a period without holidays."""
    local = kwh.tz_convert("Europe/Stockholm")
    weekday = local.index.day_of_week < 5
    day = weekday & (local.index.hour >= 7) & (local.index.hour < 19)
    hourly = local.resample("1h").sum()
    hourly = hourly[hourly.index.day_of_week < 5]
    peaks = hourly.groupby(hourly.index.strftime("%Y-%m")).apply(lambda h: h.nlargest(3).mean())
    days = len(np.unique(local.index.date))
    return {
        "Energiskatt": 0.439 * local.sum(),
        "Överföringsavgift": float((local * np.where(day, 0.6, 0.25)).sum()),
        "Effektavgift": 35.0 * float(peaks.sum()),
        "Abonnemangsavgift": 10.5 * days,
    }


@pytest.fixture(scope="session")
def se_reference():
    """The bundled Swedish example tariff in plain pandas: component name to total."""
    return _se_reference
