"""ComponentCost: what one tariff component costs, per interval."""

from __future__ import annotations

import datetime as dt
import math
from dataclasses import dataclass
from typing import Any, Generic, TypeVar

from ostrelpy.models import TariffComponent

Cost = TypeVar("Cost")


@dataclass(frozen=True)
class ComponentCost(Generic[Cost]):
    """The cost of `component` per interval start: floats, or a solver's variables."""

    component: TariffComponent
    costs: dict[dt.datetime, Cost]

    def total(self) -> Any:
        """The component's cost over the whole period.

        Numeric costs: their sum, a missing (NaN) interval counting as zero. Solver variables:
        their sum as the solver's linear expression, ready for an objective.
        """
        values: list[Any] = list(self.costs.values())
        if all(isinstance(v, float | int) for v in values):
            return math.fsum(v for v in values if v == v)
        return sum(values[1:], values[0])

    def __repr__(self) -> str:
        # A year of quarter-hours is 35,040 entries: the repr names them instead of listing
        # them (the host formats results in some error and debug messages).
        if not self.costs:
            span = "no intervals"
        else:
            keys = list(self.costs)
            span = f"{len(keys)} intervals from {keys[0].isoformat()} to {keys[-1].isoformat()}"
        return f"ComponentCost(component={self.component.name!r}, {span})"
