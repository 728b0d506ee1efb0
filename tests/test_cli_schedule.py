"""`schedule`: the battery model's limits, and the plan priced back through the engine."""

import uuid

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


# --- through the facade ----------------------------------------------------------------------

SE = "5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f"
WEEK = ["--start", "2025-01-13T00:00+01:00", "--end", "2025-01-20T00:00+01:00"]


def schedule_args(*argv):
    from ostrelpy import cli

    args = cli._parser().parse_args(["schedule", *argv])
    return args


@pytest.fixture(scope="module")
def planned():
    from ostrelpy import cli_cost, cli_schedule

    args = schedule_args(SE, *WEEK, "--capacity", "8", "--power", "4")
    priced = cli_cost.price(args)
    battery = Battery(args.capacity, args.power, args.efficiency, args.initial)
    return priced, battery, cli_schedule.plan(priced, battery, exact=False)


def test_plan_keeps_every_battery_limit(planned):
    priced, battery, plan = planned
    load = priced.inputs.quarter_hours("consumption").to_numpy()
    series = {k: getattr(plan, k).to_numpy() for k in ("grid", "charge", "discharge", "soc")}
    check_limits(series, load, battery)


def test_optimised_cost_is_what_calculate_cost_says_of_the_schedule(planned):
    from ostrelpy.bindings import logic
    from ostrelpy.models import Dataset
    from ostrelpy.pricing import run_sync

    priced, _, plan = planned
    grid = plan.grid.clip(lower=0.0)
    data = {
        Dataset(id="consumption", resolution="quarter_hourly", unit="kWh"): dict(
            zip(grid.index.to_pydatetime(), grid.tolist())
        )
    }
    costs = run_sync(
        logic.LogicBindings("local").calculate_cost(
            uuid.UUID(SE), priced.start.to_pydatetime(), priced.end.to_pydatetime(), data
        )
    )
    recomputed = {c.component.name: c.total() for c in costs}
    optimised = {name: with_ for name, _, _, with_ in plan.costs}
    assert optimised == pytest.approx(recomputed, rel=1e-6, abs=1e-6)
    without = {name: w for name, _, w, _ in plan.costs}
    assert sum(optimised.values()) < sum(without.values()) - 1.0, "a battery saves here"
    # Energy tax is linear: the battery's losses can only raise it.
    assert optimised["Energiskatt"] >= without["Energiskatt"] - 1e-6


def test_schedule_command_prints_saving_progress_and_chart(tmp_path, capsys):
    from ostrelpy import cli

    chart = tmp_path / "plan.png"
    code = cli.main(["schedule", SE, *WEEK, "--chart", str(chart)])
    out, err = capsys.readouterr()
    assert code == 0, err
    lines = out.splitlines()
    assert lines[1].split() == ["SEK", "without", "with", "battery", "saving"]
    rows = {ln.split()[0]: [float(v) for v in ln.split()[1:]] for ln in lines[2:]}
    assert rows["total"][2] > 0
    for without, with_, saving in rows.values():
        assert saving == pytest.approx(without - with_, abs=0.011)
    assert "solving with HiGHS (convex form)" in err and "done in" in err
    assert chart.read_bytes()[:4] == b"\x89PNG"


def test_exact_form_agrees_with_the_convex_one_on_a_day(capsys):
    import json

    from ostrelpy import cli

    day = ["--start", "2025-01-14T00:00+01:00", "--end", "2025-01-15T00:00+01:00"]
    results = []
    for extra in ([], ["--exact"]):
        assert cli.main(["schedule", SE, *day, "--format", "json", *extra]) == 0
        data = json.loads(capsys.readouterr().out)
        results.append({c["name"]: c["with_battery"] for c in data["components"]})
    assert results[1] == pytest.approx(results[0], rel=1e-5, abs=1e-5)


def test_optimum_matches_an_independent_formulation_of_the_tariff(planned):
    """The bundled Swedish tariff written by hand as an LP around the same battery: energy
    tax and time-of-use fee per kWh, the monthly mean of the three highest weekday hours as
    min 3t + sum(u), u >= hour - t (one month here), the daily fee as a constant."""
    priced, battery, plan = planned
    index = plan.grid.index
    load = priced.inputs.quarter_hours("consumption").reindex(index, fill_value=0.0).to_numpy()
    h = highspy.Highs()
    h.silent()
    cols = add_battery(h, load, battery)
    local = index.tz_convert("Europe/Stockholm")
    day = (local.day_of_week < 5) & (local.hour >= 7) & (local.hour < 19)
    weekday_hours = np.flatnonzero(local.day_of_week[::4] < 5)
    k = len(weekday_hours)
    first = h.getNumCol()
    none = np.array([], dtype=np.int32)
    h.addCols(
        1 + k,
        np.zeros(1 + k),
        np.r_[-1e6, np.zeros(k)],
        np.full(1 + k, 1e6),
        0,
        none,
        none,
        np.array([]),
    )
    t, u = first, first + 1 + np.arange(k)
    quarters = cols.grid[(4 * weekday_hours)[:, None] + np.arange(4)]
    rows = np.repeat(np.arange(k), 6)
    entries = np.column_stack([u, np.full(k, t), quarters]).ravel()
    coefs = np.tile([1.0, 1.0, -1.0, -1.0, -1.0, -1.0], k)
    order = np.argsort(rows, kind="stable")
    starts = np.searchsorted(rows[order], np.arange(k)).astype(np.int32)
    h.addRows(
        k,
        np.zeros(k),
        np.full(k, np.inf),
        len(coefs),
        starts,
        entries[order].astype(np.int32),
        coefs[order],
    )
    cost = np.zeros(h.getNumCol())
    cost[cols.grid] = 0.439 + np.where(day, 0.6, 0.25)
    cost[t], cost[u] = 35.0, 35.0 / 3
    h.changeColsCost(len(cost), np.arange(len(cost), dtype=np.int32), cost)
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    days = len(np.unique(local.date))
    reference = h.getInfo().objective_function_value + 10.5 * days
    optimised = sum(with_ for _, _, _, with_ in plan.costs)
    assert optimised == pytest.approx(reference, rel=1e-6)


def test_schedule_json_on_stdout_is_clean_json():
    import json
    import subprocess
    import sys

    day = ["--start", "2025-01-14T00:00+01:00", "--end", "2025-01-15T00:00+01:00"]
    done = subprocess.run(
        [sys.executable, "-m", "ostrelpy", "schedule", *day, "--format", "json"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    data = json.loads(done.stdout)  # no solver banner mixed in
    assert {c["name"] for c in data["components"]} >= {"Energiskatt", "Effektavgift"}


@pytest.mark.parametrize(
    "fields, text",
    [
        (dict(capacity=1e308), "--capacity must be between 0.001 and 1e+06 (kWh), got 1e+308"),
        (dict(capacity=1e30, initial=1.0), "--capacity must be between 0.001 and 1e+06"),
        (dict(power=1e-9), "--power must be between 0.001 and 1e+06 (kW), got 1e-09"),
        (dict(efficiency=1e-300), "--efficiency must be at least 0.01, got 1e-300"),
    ],
)
def test_battery_sizes_the_solver_cannot_hold_exactly_are_refused(fields, text):
    values = dict(capacity=10.0, power=5.0, efficiency=0.95, initial=0.5) | fields
    with pytest.raises(ValueError) as err:
        Battery(**values).check()
    assert str(err.value).startswith(text)


def test_a_schedule_that_does_not_balance_is_never_reported():
    import pandas as pd

    from ostrelpy.cli_schedule import _check_balance

    battery = Battery(10.0, 5.0, 0.9, 0.5)
    load = np.array([1.0, 2.0, 0.5, 3.0])
    h = highspy.Highs()
    h.silent()
    cols = add_battery(h, load, battery)
    plan = solve_with_prices(load, np.array([1.0, 5.0, 1.0, 5.0]), battery)
    x = np.zeros(h.getNumCol())
    for k, v in plan.items():
        x[getattr(cols, k)] = v
    index = pd.date_range("2025-01-01", periods=4, freq="15min", tz="UTC")
    _check_balance(x, cols, load, battery, index)  # the solver's own answer balances
    for column, shift in ((cols.grid[1], -0.01), (cols.soc[3], 0.5), (cols.discharge[0], 1e9)):
        bad = x.copy()
        bad[column] += shift
        with pytest.raises(ValueError, match="the solver's schedule does not balance"):
            _check_balance(bad, cols, load, battery, index)


def test_a_chart_that_cannot_be_written_fails_before_any_output(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from ostrelpy import cli

    assert cli.main(["schedule", "--chart", str(tmp_path / "missing" / "x.png")]) == 1
    out, err = capsys.readouterr()
    assert out == "" and "no such directory" in err


def test_every_bundled_tariff_schedules_or_says_why_not(capsys):
    from ostrelpy import cli, tariffs

    for entry in tariffs.entries():
        code = cli.main(
            [
                "schedule",
                str(entry.tariff.id),
                "--format",
                "json",
                "--end",
                "2025-01-04T00:00+01:00",
            ]
        )
        out, err = capsys.readouterr()
        assert code in (0, 1), entry.tariff.name
        if code:
            assert out == "" and err.count("\n") == 1 and "internal error" not in err, err
