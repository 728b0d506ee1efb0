"""PySAM's UtilityRate5 as an independent bill calculator: one year of hourly load, no
generation, no escalation. Shared by the importer tests and the bill benchmark."""

from typing import Any

import numpy as np


def utilityrate5_run(utilityrate5: Any, rates: dict, load: np.ndarray) -> Any:
    """A new UtilityRate5 model of `rates` (PySAM's ElectricityRates fields), executed on
    `load` (kWh per hour); its Outputs live as long as the model."""
    model = utilityrate5.new()
    model.ElectricityRates.assign(rates)
    model.ElectricityRates.rate_escalation = [0]
    model.Lifetime.analysis_period = 1
    model.Lifetime.system_use_lifetime_output = 0
    model.Lifetime.inflation_rate = 0
    model.SystemOutput.gen = [0.0] * len(load)
    model.SystemOutput.degradation = [0]
    model.Load.load = list(load)
    model.Load.load_escalation = [0]
    model.execute(0)
    return model
