"""Charts: what they draw is what the tariff charges and what the tables say."""

import numpy as np
import pandas as pd
import pytest

from ostrelpy import cli, cli_chart, cli_cost, cli_schedule

pytest.importorskip("matplotlib")

SE_2026 = "3c9e1f4a-2b6d-4e8f-9a1c-5d7e8f9a0b1c"
NO = "7a1d3f2c-1e4b-4d5a-8c6e-2f3a4b5c6d7e"


def priced(tmp_path, tariff, start, end, *extra):
    index = pd.date_range(start, end, freq="15min", tz="Europe/Stockholm", inclusive="left")
    kwh = pd.Series(np.random.default_rng(2).uniform(0.1, 1.0, len(index)), index=index)
    path = tmp_path / "kwh.csv"
    kwh.rename_axis("t").rename("kwh").to_csv(path, date_format="%Y-%m-%dT%H:%M:%S%z")
    args = cli._parser().parse_args(["cost", tariff, "-c", str(path), *extra])
    return cli_cost.price(args)


@pytest.mark.parametrize(
    "local, price",
    [
        ("2025-03-31 12:00", 0.439 + 0.6),  # Monday, daytime: the first transfer fee
        ("2025-03-31 23:00", 0.439 + 0.25),
        ("2025-04-01 12:00", 0.439 + 0.66),  # the fee changes on 1 April
        ("2025-04-01 03:00", 0.439 + 0.28),
        ("2025-04-05 12:00", 0.439 + 0.28),  # Saturday
    ],
)
def test_the_price_drawn_is_what_the_tariff_charges_then(tmp_path, local, price):
    p = priced(tmp_path, SE_2026, "2025-03-25", "2025-04-10")
    drawn = cli_chart._energy_price(p)
    at = pd.Timestamp(local, tz="Europe/Stockholm").tz_convert("UTC")
    assert drawn[at] == pytest.approx(price)


def test_no_price_is_drawn_where_no_component_charges(tmp_path):
    p = priced(tmp_path, SE_2026, "2024-12-01", "2025-01-10")
    drawn = cli_chart._energy_price(p).reindex(p.inputs.quarter_hours("consumption").index)
    before = drawn.index < pd.Timestamp("2025-01-01T00:00+01:00")
    assert drawn[before].isna().all() and drawn[~before].notna().all()
    days = cli_chart._days(p)
    table = cli_chart.day_by_hour(drawn.dropna(), p.zone, "mean", days)
    assert table.shape == (24, 40) and table.loc[:, :"2024-12-31"].isna().all().all()


def test_the_bars_with_the_battery_are_the_tables(tmp_path):
    # The Norwegian capacity step: the plan sits at a step's edge, which re-pricing the grid
    # import may put on either side; the bars show the solution the table shows.
    p = priced(tmp_path, NO, "2025-10-01", "2025-10-15")
    plan = cli_schedule.plan(p, cli_schedule.Battery(10, 5, 0.95, 0.5), exact=False)
    bars = cli_schedule._with_battery(p, plan).sum()
    table = {name: with_ for name, _, _, with_ in plan.costs}
    assert bars.drop("total").to_dict() == pytest.approx(table)


@pytest.mark.parametrize("command", ["cost", "schedule", "compare"])
def test_a_chart_that_is_no_picture_is_refused_before_any_work(capsys, monkeypatch, command):
    monkeypatch.setattr(cli_cost, "read", lambda *a: pytest.fail("read the meter anyway"))
    code = cli.main([command, "--chart", "x.txt"])
    err = capsys.readouterr().err
    assert code == 1
    assert (
        err
        == "ostrelpy: --chart x.txt: a chart is written as .png, .svg, .pdf; .txt is none of them\n"
    )
