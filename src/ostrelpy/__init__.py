"""Tariff engine: the cost of energy under real grid tariffs.

The engine itself is native (``ostrelpy.bindings``); this package adds the API client, the
public records, the command-line main job, `cost`, the synchronous pandas entry point, and
`compare`, which ranks tariffs by what the same consumption costs under each.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

if TYPE_CHECKING:
    from ostrelpy.battery import BatteryPlan, plan_battery
    from ostrelpy.comparison import Comparison, compare
    from ostrelpy.pricing import CostFrame, cost


def __getattr__(name: str) -> Any:
    # Loaded on first use so that importing the package (the API client, the models) does
    # not load the native engine.
    if name in ("cost", "CostFrame"):
        from ostrelpy import pricing

        return getattr(pricing, name)
    if name in ("compare", "Comparison"):
        # The module is not named `compare`: importing it would replace this function.
        from ostrelpy import comparison

        return getattr(comparison, name)
    if name in ("plan_battery", "BatteryPlan"):
        from ostrelpy import battery

        return getattr(battery, name)
    raise AttributeError(f"module 'ostrelpy' has no attribute {name!r}")


__all__ = [
    "BatteryPlan",
    "Comparison",
    "CostFrame",
    "compare",
    "cost",
    "plan_battery",
    "__version__",
]
