"""A tariff compiled through the runner into a caller's HiGHS model: the solved cost equals
what the numeric pipeline computes for the solved import, for both formulations."""

import datetime as dt

import highspy
import numpy as np
import pandas as pd
import pytest
from conftest import D, H, stockholm_days
from conftest import dataset as ds

from ostrelpy.bindings import _engine as e

SEK = "SEK"
DAYTIME = e.TimeOfDayCondition(from_time=dt.time(7), to_time=dt.time(19))


class Component:
    def __init__(self, cost, *functions):
        self.cost, self.functions = cost, list(functions)


def components():
    price = ds("price", unit="SEK_per_kWh")
    tou = ds("tou", unit="SEK_per_kWh")
    energy = Component(
        ds("energy_cost", unit=SEK),
        e.Mask(
            input=price,
            condition=DAYTIME,
            replacement=e.Level(value=1.5, unit="SEK_per_kWh"),
            output=tou,
        ),
        e.Multiply(left=ds("import"), right=tou, output=ds("energy_cost", unit=SEK)),
    )
    power, peaks, mean = ds("power", unit="kW"), ds("peaks", unit="kW"), ds("mean", D, "kW")
    peak = Component(
        ds("peak_cost", D, SEK),
        e.Divide(
            numerator=ds("import"), denominator=e.Level(value=1.0, unit="hours"), output=power
        ),
        e.Select(input=power, condition=e.HighestCondition(n=3, resolution=D), output=peaks),
        e.Aggregate(input=peaks, resolution=D, aggregation_function="mean", output=mean),
        e.Multiply(
            left=mean, right=e.Level(value=4.0, unit="SEK_per_kW"), output=ds("peak_cost", D, SEK)
        ),
    )
    return [energy, peak]


@pytest.mark.parametrize("convex", [True, False], ids=["convex", "exact"])
def test_a_tariff_compiled_through_the_runner_costs_what_it_computes(convex):
    tl = stockholm_days(2025, 10, 25, days=2)  # the second day has 25 hours
    index = tl.get_as(H)
    n = len(index)
    rng = np.random.default_rng(4)
    load = rng.uniform(0.2, 2.0, n)
    prices = pd.Series(rng.uniform(0.2, 1.0, n), index=index)
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.setOptionValue("mip_rel_gap", 0.0)
    # The caller: import covers the load plus 6 kWh to place freely, at most 3 kWh extra an hour.
    h.addVars(n, load, load + 3.0)
    h.addRow(load.sum() + 6.0, load.sum() + 6.0, n, np.arange(n, dtype=np.int32), np.ones(n))
    adapter = e.HighsAdapter(h)
    imported = adapter.to_series(dict(zip(index.to_pydatetime(), h.getVariables())))
    cols, rows = h.getNumCol(), h.getNumRow()
    ctx = e.run_pipeline(
        components(),
        {ds("import"): imported, ds("price", unit="SEK_per_kWh"): prices},
        timeline=tl,
        next_available_col=adapter.get_next_available_col(),
        assume_convex=convex,
    )
    assert (h.getNumCol(), h.getNumRow()) == (cols, rows)
    adapter.add_blocks(ctx.function_blocks)
    costs = [ctx.all_series["energy_cost"], ctx.all_series["peak_cost"]]
    objective = np.concatenate([c.cols for c in costs])
    h.changeColsCost(len(objective), objective.astype(np.int32), np.ones(len(objective)))
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    solution = np.asarray(h.getSolution().col_value)
    solved = pd.Series(solution[:n], index=index)
    numeric = e.run_pipeline(
        components(), {ds("import"): solved, ds("price", unit="SEK_per_kWh"): prices}, timeline=tl
    )
    for compiled, name in zip(costs, ["energy_cost", "peak_cost"]):
        expected = numeric.all_series[name]
        np.testing.assert_allclose(solution[compiled.cols], expected.to_numpy(), atol=1e-6)
    assert h.getInfo().objective_function_value == pytest.approx(
        sum(numeric.all_series[k].sum() for k in ["energy_cost", "peak_cost"]), abs=1e-6
    )


def test_variables_reaching_the_first_free_column_are_refused_before_the_model_changes():
    tl = stockholm_days()
    index = tl.get_as(H)
    n = len(index)
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.addVars(n, np.zeros(n), np.ones(n))
    adapter = e.HighsAdapter(h)
    imported = adapter.to_series(dict(zip(index.to_pydatetime(), h.getVariables())))
    with pytest.raises(ValueError, match=r"^next_available_col \(5\) must be greater than max col"):
        e.run_pipeline(
            components()[:1], {ds("import"): imported}, timeline=tl, next_available_col=5
        )
    assert (h.getNumCol(), h.getNumRow()) == (n, 0)
