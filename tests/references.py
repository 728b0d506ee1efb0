"""Plain helpers (no pytest) that the tests and the benchmarks share: a small engine component
and the independent pandas reading of the bundled Swedish tariff's time-of-use hours."""

import uuid

import pandas as pd

from ostrelpy.bindings import _engine as e


def energy_tax_component(tz="Europe/Stockholm", resolution="hourly"):
    """An energy tax of 0.5 SEK/kWh on dataset "x" of the resolution, cost "y"."""
    x = {"id": "x", "resolution": resolution, "unit": "kWh"}
    y = {"id": "y", "resolution": resolution, "unit": "SEK"}
    return e.TariffComponent.model_validate(
        {
            "id": str(uuid.uuid4()),
            "name": "Energiskatt",
            "timezone": tz,
            "datasets": [x],
            "functions": [
                {
                    "type": "multiply",
                    "left": x,
                    "right": {"value": 0.5, "unit": "SEK_per_kWh"},
                    "output": y,
                }
            ],
            "cost": y,
        }
    )


def transfer_peak(local, holiday_dates):
    """Where the transfer fee charges its peak price: weekdays 07:00 to 19:00 local time, but
    not on the named holidays. `local` is a local DatetimeIndex."""
    return (
        (local.day_of_week < 5)
        & (local.hour >= 7)
        & (local.hour < 19)
        & ~pd.Index(local.date).isin(holiday_dates)
    )
