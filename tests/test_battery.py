"""A battery plan a scheduler can use: `plan_battery` and `schedule --plan`, whose bill with the
battery is the plan's grid import billed again, independently, by `ostrelpy.cost`."""

import pandas as pd
import pytest

import ostrelpy
from ostrelpy import cli, cli_cost, cli_schedule

NO = "7a1d3f2c-1e4b-4d5a-8c6e-2f3a4b5c6d7e"
WEEK = ("2025-01-13T00:00+01:00", "2025-01-20T00:00+01:00")
COLUMNS = ["load", "grid_import", "charge", "discharge", "state_of_charge"]


def example_load():
    data = pd.read_csv(cli_cost.EXAMPLE_CONSUMPTION)
    index = pd.to_datetime(data["interval_start"], format="%Y-%m-%dT%H:%M:%S%z", utc=True)
    return pd.Series(data["kwh"].to_numpy(), index=index)


def billed(grid_import):
    """The plan's grid import priced by the pandas entry point, per component."""
    frame = ostrelpy.cost(NO, grid_import)
    return frame.groupby("component", sort=False)["cost"].sum()


def test_plan_battery_returns_the_plan_and_both_bills():
    p = ostrelpy.plan_battery(
        NO, example_load(), capacity=10.0, power=5.0, start=WEEK[0], end=WEEK[1]
    )
    plan = p.plan
    assert list(plan.columns) == COLUMNS and len(plan) == 7 * 96
    assert (plan.index == pd.date_range(*WEEK, freq="15min", inclusive="left")).all()
    balance = plan["load"] + plan["charge"] - plan["discharge"]
    pd.testing.assert_series_equal(
        plan["grid_import"], balance.clip(lower=0), atol=1e-6, check_names=False
    )
    assert plan["state_of_charge"].between(-1e-7, 10.0 + 1e-7).all()
    assert p.agrees
    bills = p.bills
    independent = billed(plan["grid_import"])
    assert bills["with_battery"].to_dict() == pytest.approx(independent.to_dict(), abs=1e-6)
    assert bills["objective"].sum() == pytest.approx(bills["with_battery"].sum(), abs=p.tolerance)
    assert bills["without"].to_dict() == pytest.approx(billed(plan["load"]).to_dict(), abs=1e-6)
    assert (p.saving == bills["without"] - bills["with_battery"]).all()
    assert p.saving.sum() > 0


def test_schedule_writes_the_plan_whose_bill_it_prints(tmp_path, capsys):
    path = tmp_path / "plan.csv"
    argv = ["schedule", NO, "--start", WEEK[0], "--end", WEEK[1], "--format", "csv"]
    assert cli.main([*argv, "--plan", str(path)]) == 0
    out, err = capsys.readouterr()
    assert f"plan written to {path}" in err
    printed = pd.read_csv(pd.io.common.StringIO(out), index_col="component")
    plan = pd.read_csv(path)
    assert list(plan.columns) == ["interval_start", *COLUMNS] and len(plan) == 7 * 96
    start = pd.to_datetime(plan["interval_start"], format="%Y-%m-%dT%H:%M:%S%z", utc=True)
    independent = billed(pd.Series(plan["grid_import"].to_numpy(), index=start))
    for name, cost in independent.items():
        # The file rounds to the micro-kWh; the bill follows within that.
        assert printed.loc[name, "with battery"] == pytest.approx(cost, abs=1e-3)


def test_a_plan_that_cannot_be_written_is_refused_before_solving(tmp_path, capsys):
    for bad in (tmp_path, tmp_path / "missing" / "plan.csv"):
        assert cli.main(["schedule", NO, "--plan", str(bad)]) == 1
        out, err = capsys.readouterr()
        assert err == f"ostrelpy: --plan {bad}: not a file in an existing directory\n"


def test_no_saving_is_printed_when_the_bill_is_not_the_objective(monkeypatch, tmp_path, capsys):
    monkeypatch.setattr(cli_schedule, "_tolerance", lambda *a: -1.0)
    path = tmp_path / "plan.csv"
    argv = ["schedule", NO, "--start", WEEK[0], "--end", WEEK[1], "--plan", str(path)]
    assert cli.main(argv) == 1
    out, err = capsys.readouterr()
    assert "saving" not in out and path.exists()
    (line,) = [ln for ln in err.splitlines() if "differs" in ln]
    assert line.startswith("ostrelpy: the bill of the plan (") and "no saving" in line
    p = ostrelpy.plan_battery(
        NO, example_load(), capacity=4.0, power=2.0, start=WEEK[0], end=WEEK[1]
    )
    assert not p.agrees
    with pytest.raises(ValueError, match="differs from the optimiser's objective"):
        _ = p.saving
