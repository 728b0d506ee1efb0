"""`schedule`: the battery model's limits, and the plan priced back through the engine."""

import highspy
import numpy as np
import pytest
import scipy.sparse as sp
from scipy.optimize import linprog

from ostrelpy.cli_schedule import Battery, add_battery

TOL = 1e-7


def solve_with_prices(load, price, battery):
    h = highspy.Highs()
    h.silent()
    cols = add_battery(h, load, battery)
    cost = np.zeros(h.getNumCol())
    cost[cols.grid] = price
    h.changeColsCost(len(cost), np.arange(len(cost), dtype=np.int32), cost)
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    x = np.asarray(h.getSolution().col_value)
    return {k: x[getattr(cols, k)] for k in ("grid", "charge", "discharge", "soc")}


def check_limits(plan, load, battery):
    step = battery.power / 4
    start = battery.initial * battery.capacity
    g, c, d, s = plan["grid"], plan["charge"], plan["discharge"], plan["soc"]
    assert g.min() >= -TOL, "the battery does not export"
    assert c.min() >= -TOL and d.min() >= -TOL
    assert c.max() <= step + TOL and d.max() <= step + TOL, "power limit"
    assert s.min() >= -TOL and s.max() <= battery.capacity + TOL, "capacity"
    prev = np.concatenate([[start], s[:-1]])
    eta = battery.efficiency
    np.testing.assert_allclose(s, prev + eta * c - d / eta, atol=1e-6)
    np.testing.assert_allclose(g, load + c - d, atol=1e-6)
    assert s[-1] >= start - TOL, "ends at least as full as it started"


def reference_optimum(load, price, battery):
    """The same battery written independently as dense-ish scipy matrices."""
    n = len(load)
    eta, step = battery.efficiency, battery.power / 4
    start = battery.initial * battery.capacity
    eye = sp.identity(n, format="csr")
    shift = sp.eye(n, k=-1, format="csr")
    # x = [charge, discharge, soc]; grid = load + charge - discharge >= 0
    a_eq = sp.hstack([-eta * eye, eye / eta, eye - shift])
    b_eq = np.zeros(n)
    b_eq[0] = start
    a_ub = sp.vstack(
        [
            sp.hstack([-eye, eye, sp.csr_matrix((n, n))]),
            sp.hstack([sp.csr_matrix((1, 2 * n)), sp.csr_matrix(([-1.0], ([0], [n - 1])), (1, n))]),
        ]
    )
    b_ub = np.concatenate([load, [-start]])
    cost = np.concatenate([price, -price, np.zeros(n)])
    bounds = [(0, step)] * (2 * n) + [(0, battery.capacity)] * n
    res = linprog(cost, A_ub=a_ub, b_ub=b_ub, A_eq=a_eq, b_eq=b_eq, bounds=bounds)
    assert res.status == 0
    return float(price @ load + res.fun)


@pytest.mark.parametrize(
    "battery",
    [
        Battery(capacity=5.0, power=3.0, efficiency=0.9, initial=0.5),
        Battery(capacity=13.5, power=5.0, efficiency=0.95, initial=0.0),
        Battery(capacity=2.0, power=10.0, efficiency=1.0, initial=1.0),
    ],
)
def test_battery_limits_hold_and_match_an_independent_optimum(battery):
    rng = np.random.default_rng(5)
    n = 96 * 3
    load = rng.gamma(2.0, 0.2, n)
    price = np.where(np.arange(n) % 96 < 28, 0.3, 1.1) + rng.uniform(0, 0.1, n)
    plan = solve_with_prices(load, price, battery)
    check_limits(plan, load, battery)
    optimum = float(price @ plan["grid"])
    assert optimum <= float(price @ load) + 1e-9
    assert optimum == pytest.approx(reference_optimum(load, price, battery), abs=1e-4)


@pytest.mark.parametrize(
    "fields, text",
    [
        (dict(capacity=0.0), "--capacity and --power must be positive"),
        (dict(power=-1.0), "--capacity and --power must be positive"),
        (dict(efficiency=1.2), "--efficiency must be in (0, 1]"),
        (dict(initial=1.5), "--initial must be in [0, 1]"),
        (dict(capacity=float("nan")), "--capacity must be a finite number"),
    ],
)
def test_battery_arguments_are_checked(fields, text):
    values = dict(capacity=10.0, power=5.0, efficiency=0.95, initial=0.5) | fields
    with pytest.raises(ValueError, match=text.replace("(", r"\(").replace("[", r"\[")):
        Battery(**values).check()
