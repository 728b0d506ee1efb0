"""Tariff engine: the cost of energy under real grid tariffs.

The engine itself is native (``ostrelpy.bindings``); this package adds the API client, the
public records, the command-line main job and `cost`, the synchronous pandas entry point.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

__version__ = "0.1.0"

if TYPE_CHECKING:
    from ostrelpy.battery import BatteryPlan, plan_battery
    from ostrelpy.pricing import CostFrame, cost


def __getattr__(name: str):
    # Loaded on first use so that importing the package (the API client, the models) does
    # not load the native engine.
    if name in ("cost", "CostFrame"):
        from ostrelpy import pricing

        return getattr(pricing, name)
    if name in ("plan_battery", "BatteryPlan"):
        from ostrelpy import battery

        return getattr(battery, name)
    raise AttributeError(f"module 'ostrelpy' has no attribute {name!r}")


__all__ = ["BatteryPlan", "CostFrame", "cost", "plan_battery", "__version__"]
