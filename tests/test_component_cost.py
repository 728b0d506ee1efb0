import math

import highspy
import pytest
from conftest import rate_component, utc

from ostrelpy.component_cost import ComponentCost


def test_total_of_numeric_costs_skips_missing_intervals():
    cost = ComponentCost(rate_component(1.0), {utc(2025, 1, 1): 1.5, utc(2025, 1, 2): math.nan})
    assert cost.total() == 1.5
    assert ComponentCost(rate_component(1.0), {}).total() == 0.0


def test_total_of_solver_variables_is_their_linear_expression():
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    x = [h.addVariable(lb=0, ub=10) for _ in range(3)]
    cost = ComponentCost(rate_component(1.0), {utc(2025, 1, 1, i): v for i, v in enumerate(x)})
    h.minimize(-cost.total())
    assert h.getInfo().objective_function_value == pytest.approx(-30.0)


def test_repr_names_the_intervals_instead_of_listing_them():
    costs = {utc(2025, 1, 1, 0, 15 * i): 1.0 for i in range(4)}
    text = repr(ComponentCost(rate_component(1.0, name="Energiskatt"), costs))
    assert text == (
        "ComponentCost(component='Energiskatt', 4 intervals from "
        "2025-01-01T00:00:00+00:00 to 2025-01-01T00:45:00+00:00)"
    )
