"""add_to_highs_model and add_to_gurobi_model end to end: the tariff compiled into the caller's
model, solved by the solver itself as the independent check."""

import datetime as dt
import uuid
from zoneinfo import ZoneInfo

import pandas as pd
import pytest
from conftest import (
    CONSUMPTION,
    arun,
    dataset_dict,
    make_tariff,
    monthly_peak_fee,
    quarter_hours,
    rate_component,
    stockholm,
    utc,
)

from ostrelpy.bindings import _engine

highspy = pytest.importorskip("highspy")
pytestmark = pytest.mark.skipif(
    not hasattr(_engine, "HighsAdapter"), reason="the solver adapters are not built"
)
needs_compile = pytest.mark.skipif(
    not hasattr(_engine.Multiply, "compile"), reason="block compilation is not built"
)

START, END = utc(2025, 1, 1), utc(2025, 1, 1, 2)


def new_model():
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    return h


def variables(h, start=START, end=END, ub=1.0):
    return {t: h.addVariable(lb=0.0, ub=ub) for t in quarter_hours(start, end)}


def solve_min(h, costs):
    h.minimize(sum((c.total() for c in costs[1:]), costs[0].total()))
    return h.getInfo().objective_function_value


@needs_compile
def test_energy_cost_as_solver_variables(facade, api):
    tariff = make_tariff(rate_component(0.5, tz="UTC"))
    api.tariffs[tariff.id] = tariff
    h = new_model()
    x = variables(h, ub=2.0)
    before = h.getNumCol()
    h.addConstr(sum(x.values()) >= 3.0)
    (cost,) = arun(facade.add_to_highs_model(tariff.id, START, END, {}, {CONSUMPTION: x}, h))
    assert sorted(cost.costs) == sorted(x)
    assert all(isinstance(v, highspy.highs.highs_var) for v in cost.costs.values())
    assert h.getNumCol() > before  # the cost columns are the model's own now
    assert solve_min(h, [cost]) == pytest.approx(1.5)


@needs_compile
def test_each_price_applies_only_in_its_own_window(facade, api):
    change = utc(2025, 1, 1, 1)
    tariff = make_tariff(
        rate_component(1.0, name="before", applicable_to=change, tz="UTC"),
        rate_component(3.0, name="after", applicable_from=change, tz="UTC"),
    )
    api.tariffs[tariff.id] = tariff
    h = new_model()
    x = variables(h)
    h.addConstr(sum(x.values()) >= 5.0)
    before, after = arun(facade.add_to_highs_model(tariff.id, START, END, {}, {CONSUMPTION: x}, h))
    assert max(before.costs) < change <= min(after.costs)
    assert len(before.costs) == len(after.costs) == 4
    # Four cheap quarter-hours at 1.0, the fifth kWh at 3.0: each interval priced once.
    assert solve_min(h, [before, after]) == pytest.approx(7.0)


def test_measured_data_wins_and_adds_nothing(facade, api):
    tariff = make_tariff(rate_component(2.0, tz="UTC"))
    api.tariffs[tariff.id] = tariff
    h = new_model()
    x = variables(h)
    cols = h.getNumCol()
    data = {CONSUMPTION: quarter_hours(START, END, 0.5)}
    (cost,) = arun(facade.add_to_highs_model(tariff.id, START, END, data, {CONSUMPTION: x}, h))
    assert cost.total() == pytest.approx(8 * 0.5 * 2.0)
    assert h.getNumCol() == cols and h.getNumRow() == 0


@needs_compile
def test_the_first_components_blocks_stay_when_the_second_fails(facade, api):
    other = rate_component(1.0, name="other", tz="UTC")
    other.datasets = [dataset_dict("other")]
    other.functions[0]["left"] = dataset_dict("other")
    tariff = make_tariff(rate_component(1.0, tz="UTC"), other)
    api.tariffs[tariff.id] = tariff
    h = new_model()
    x = variables(h)
    cols = h.getNumCol()
    with pytest.raises(KeyError):
        arun(facade.add_to_highs_model(tariff.id, START, END, {}, {CONSUMPTION: x}, h))
    assert h.getNumCol() > cols and h.getNumRow() > 0  # the first component's blocks


def test_infinite_bounds_are_refused_with_the_dataset_named(facade, api):
    tariff = make_tariff(rate_component(1.0, tz="UTC"))
    api.tariffs[tariff.id] = tariff
    h = new_model()
    x = {START: h.addVariable(lb=0.0, ub=highspy.kHighsInf)}
    with pytest.raises(ValueError) as e:
        arun(facade.add_to_highs_model(tariff.id, START, END, {}, {CONSUMPTION: x}, h))
    assert str(e.value) == "input dataset 'consumption': input variables need finite bounds"
    assert isinstance(e.value.__cause__, ValueError)


def peak_tariff():
    """A monthly peak fee: 35 per kW of the highest hourly power."""
    hourly = dataset_dict("hourly_energy", resolution="hourly")
    power = dataset_dict("hourly_power", resolution="hourly", unit="kW")
    peak = dataset_dict("peak", resolution="monthly", unit="kW")
    cost = dataset_dict("cost", resolution="monthly", unit="SEK")
    c = rate_component(1.0, name="peak", tz="UTC")
    c.functions = [
        {
            "type": "aggregate",
            "input": dataset_dict(),
            "resolution": "hourly",
            "aggregation_function": "sum",
            "output": hourly,
        },
        {
            "type": "divide",
            "numerator": hourly,
            "denominator": {"value": 1.0, "unit": "hours"},
            "output": power,
        },
        *monthly_peak_fee(power, peak, cost),
    ]
    c.cost = cost
    return make_tariff(c)


@needs_compile
@pytest.mark.parametrize("minimising_cost", [True, False])
def test_a_peak_fee_is_exact_in_both_formulations(facade, api, minimising_cost):
    tariff = peak_tariff()
    api.tariffs[tariff.id] = tariff
    h = new_model()
    x = variables(h, ub=2.0)
    h.addConstr(sum(x.values()) >= 3.0)  # 3 kWh over two hours: the best peak is 1.5 kW
    (cost,) = arun(
        facade.add_to_highs_model(
            tariff.id, START, END, {}, {CONSUMPTION: x}, h, minimising_cost=minimising_cost
        )
    )
    # minimising_cost lets the engine use the continuous form; otherwise the exact maximum
    # needs binaries. Both give the same optimum when the cost is minimised.
    integers = sum(1 for v in h.getLp().integrality_ if int(v) != 0)
    assert (integers == 0) == minimising_cost
    assert solve_min(h, [cost]) == pytest.approx(35.0 * 1.5)


@needs_compile
def test_gurobi_model_building(facade, api):
    gp = pytest.importorskip("gurobipy")
    if not hasattr(_engine, "GurobiAdapter"):
        pytest.skip("no Gurobi adapter")
    tariff = make_tariff(rate_component(0.5, tz="UTC"))
    api.tariffs[tariff.id] = tariff
    with gp.Env(params={"OutputFlag": 0}) as env, gp.Model(env=env) as m:
        x = {t: m.addVar(lb=0.0, ub=2.0) for t in quarter_hours(START, END)}
        m.addConstr(gp.quicksum(x.values()) >= 3.0)
        (cost,) = arun(facade.add_to_gurobi_model(tariff.id, START, END, {}, {CONSUMPTION: x}, m))
        m.setObjective(gp.quicksum(cost.costs.values()), gp.GRB.MINIMIZE)
        m.optimize()
        assert m.ObjVal == pytest.approx(1.5)
        assert sorted(cost.costs) == sorted(x)


@needs_compile
def test_keys_of_variable_costs_are_datetimes(facade, api):
    tariff = make_tariff(rate_component(0.5, tz="UTC"))
    api.tariffs[tariff.id] = tariff
    h = new_model()
    x = variables(h)
    (cost,) = arun(facade.add_to_highs_model(tariff.id, START, END, {}, {CONSUMPTION: x}, h))
    assert all(isinstance(k, dt.datetime) and k.tzinfo is not None for k in cost.costs)


def test_gurobi_refuses_unbounded_variables_and_takes_measured_data(facade, api):
    gp = pytest.importorskip("gurobipy")
    tariff = make_tariff(rate_component(2.0, tz="UTC"))
    api.tariffs[tariff.id] = tariff
    with gp.Env(params={"OutputFlag": 0}) as env, gp.Model(env=env) as m:
        x = {t: m.addVar(lb=0.0, ub=1.0) for t in quarter_hours(START, END)}
        free = {START: m.addVar(lb=0.0, ub=gp.GRB.INFINITY)}
        with pytest.raises(ValueError, match="^input dataset 'consumption': input variables need"):
            arun(facade.add_to_gurobi_model(tariff.id, START, END, {}, {CONSUMPTION: free}, m))
        data = {CONSUMPTION: quarter_hours(START, END, 0.5)}
        (cost,) = arun(facade.add_to_gurobi_model(tariff.id, START, END, data, {CONSUMPTION: x}, m))
        m.update()
        assert cost.total() == pytest.approx(8.0) and m.NumVars == 9


@needs_compile
def test_the_bundled_tariff_across_its_april_change_in_highs(facade):
    tariff = uuid.UUID("3c9e1f4a-2b6d-4e8f-9a1c-5d7e8f9a0b1c")
    start, end = stockholm(2025, 3, 31, 22), stockholm(2025, 4, 1, 2)
    h = new_model()
    x = variables(h, start, end, ub=1.0)
    h.addConstr(sum(x.values()) >= 2.0)
    costs = arun(facade.add_to_highs_model(tariff, start, end, {}, {CONSUMPTION: x}, h))
    names = [c.component.name for c in costs]
    assert names == ["Energiskatt", "Överföringsavgift", "Överföringsavgift", "Effektavgift"] + [
        "Abonnemangsavgift"
    ]
    march, april = costs[1].costs, costs[2].costs
    assert len(march) == len(april) == 8
    assert max(march) < stockholm(2025, 4, 1) <= min(april)
    assert isinstance(costs[4].costs[next(iter(costs[4].costs))], float)  # no variables in it
    # Night-time fees: 0.25 before the change and 0.28 after, the energy tax 0.439 throughout.
    # Each month has two weekday hours here, so its peak fee is 35 x (its energy / 2): 35 in
    # all however the 2 kWh are split, and the cheaper March fee decides.
    assert solve_min(h, costs[:4]) == pytest.approx(2 * 0.439 + 2 * 0.25 + 35.0)
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    assert costs[4].total() == 2 * 10.5


# The forms a caller may key variables by: only plain UTC datetimes (fold 0) are what
# to_variables makes itself, so only they may come back as the caller's own objects.
KEY_FORMS = {
    "utc": lambda t: t,
    "zone": lambda t: t.astimezone(ZoneInfo("Europe/Stockholm")),
    "offset": lambda t: t.astimezone(dt.timezone(dt.timedelta(hours=1))),
    "timestamp": pd.Timestamp,
    "fold 1": lambda t: t.replace(fold=1),
}


@needs_compile
@pytest.mark.parametrize("form", KEY_FORMS)
def test_variable_costs_keep_their_keys_and_pair_each_interval_with_its_own_cost(facade, api, form):
    # The second component is cut to the last hour of the request.
    later = utc(2025, 1, 1, 1)
    tariff = make_tariff(
        rate_component(0.5, tz="UTC"), rate_component(3.0, applicable_from=later, tz="UTC")
    )
    api.tariffs[tariff.id] = tariff
    h = new_model()
    usage = {t: 0.25 * (i + 1) for i, t in enumerate(quarter_hours(START, END))}
    x = {KEY_FORMS[form](t): h.addVariable(lb=u, ub=u) for t, u in usage.items()}
    costs = arun(facade.add_to_highs_model(tariff.id, START, END, {}, {CONSUMPTION: x}, h))
    h.run()
    values = h.getSolution().col_value
    callers = {id(k) for k in x}
    for cost, rate, start in zip(costs, (0.5, 3.0), (START, later)):
        assert [k for k in cost.costs] == [t for t in usage if t >= start]
        keys = list(cost.costs)
        assert all(type(k) is dt.datetime and k.tzinfo is dt.UTC and k.fold == 0 for k in keys)
        assert all((id(k) in callers) == (form == "utc") for k in keys)
        got = [values[v.index] for v in cost.costs.values()]
        assert got == pytest.approx([rate * usage[t] for t in keys], abs=1e-9)
