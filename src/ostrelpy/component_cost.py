"""ComponentCost: what one tariff component costs, per interval."""

from __future__ import annotations

import datetime as dt
import math
from dataclasses import dataclass
from typing import Generic, TypeVar

from ostrelpy.models import TariffComponent

Cost = TypeVar("Cost")


@dataclass(frozen=True)
class ComponentCost(Generic[Cost]):
    """The cost of `component` per interval start: floats, or a solver's variables."""

    component: TariffComponent
    costs: dict[dt.datetime, Cost]

    def total(self) -> float:
        """Sum of the numeric costs; missing (NaN) intervals count as zero."""
        return math.fsum(v for v in self.costs.values() if isinstance(v, float) and v == v)
