"""`ostrelpy.cost`: the synchronous pandas entry point, against plain pandas arithmetic."""

import asyncio
import json
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import ostrelpy
from ostrelpy.api_client import BUNDLED_CATALOGUE
from ostrelpy.meter import MeterError
from ostrelpy.models import Dataset, Tariff
from ostrelpy.tariffs import TariffLookupError

SE = "5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f"
TZ = "Europe/Stockholm"
ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def kwh():
    # February and March 2025: no Swedish holidays, the spring clock change on 30 March.
    index = pd.date_range("2025-02-01", "2025-04-01", freq="15min", tz=TZ, inclusive="left")
    values = np.random.default_rng(11).gamma(2.0, 0.2, len(index))
    return pd.Series(values, index=index)


def totals(frame):
    return frame.groupby("component")["cost"].sum().to_dict()


def test_tidy_costs_match_plain_pandas(kwh, se_reference):
    frame = ostrelpy.cost(SE, kwh)
    assert isinstance(frame, ostrelpy.CostFrame)
    assert list(frame.columns) == ["component", "start", "resolution", "cost", "currency"]
    assert str(frame["start"].dt.tz) == TZ and set(frame["currency"]) == {"SEK"}
    assert totals(frame) == pytest.approx(se_reference(kwh), rel=1e-12)
    tax = frame[frame["component"] == "Energiskatt"]
    assert (tax["resolution"] == "quarter_hourly").all() and len(tax) == len(kwh)
    np.testing.assert_allclose(tax["cost"].to_numpy(), 0.439 * kwh.to_numpy())
    daily = frame[frame["component"] == "Abonnemangsavgift"]
    assert len(daily) == 59 and (daily["start"].dt.hour == 0).all()


def test_monthly_summary(kwh, se_reference):
    frame = ostrelpy.cost(SE, kwh)
    monthly = frame.monthly()
    assert type(monthly) is pd.DataFrame and monthly.columns.name == "SEK"
    assert list(monthly.index) == ["2025-02", "2025-03"]
    assert list(monthly.columns) == [
        "Energiskatt",
        "Överföringsavgift",
        "Effektavgift",
        "Abonnemangsavgift",
        "total",
    ]
    feb = kwh[kwh.index.month == 2]
    assert monthly.loc["2025-02"].drop("total").to_dict() == pytest.approx(se_reference(feb))
    np.testing.assert_allclose(monthly["total"], monthly.drop(columns="total").sum(axis=1))
    assert frame.total()["total"] == pytest.approx(monthly["total"].sum())


def test_window_and_other_ways_to_pass_the_data(kwh, se_reference):
    start, end = "2025-03-03T00:00+01:00", "2025-03-10T00:00+01:00"
    week = kwh[(kwh.index >= start) & (kwh.index < end)]
    reference = se_reference(week)
    assert totals(ostrelpy.cost(SE, kwh, start, end)) == pytest.approx(reference)
    by_id = ostrelpy.cost(SE, {"consumption": kwh}, pd.Timestamp(start), pd.Timestamp(end))
    dataset = Dataset(id="consumption", resolution="quarter_hourly", unit="kWh")
    by_dataset = ostrelpy.cost("Elnät Stockholm, säkring 20 A, tidstariff 2025", {dataset: kwh})
    assert totals(by_id) == pytest.approx(reference)
    assert totals(by_dataset) == pytest.approx(totals(ostrelpy.cost(SE, kwh)))
    hourly = kwh.resample("1h").sum()  # spread back evenly: the same bill under this tariff
    assert totals(ostrelpy.cost(SE[:8], hourly)) == pytest.approx(se_reference(kwh))


def test_tariff_object_is_priced_as_given(kwh):
    data = json.loads((Path(BUNDLED_CATALOGUE) / f"{SE}.json").read_text())
    data["tariff_components"] = data["tariff_components"][:1]
    data["tariff_components"][0]["functions"][0]["right"]["value"] = 1.5
    frame = ostrelpy.cost(Tariff.model_validate(data), kwh)
    assert totals(frame) == pytest.approx({"Energiskatt": 1.5 * kwh.sum()})


def test_runs_inside_an_event_loop(kwh):
    async def notebook_cell():
        return ostrelpy.cost(SE, kwh.iloc[: 96 * 7])

    frame = asyncio.run(notebook_cell())
    assert set(frame["component"]) == {
        "Energiskatt",
        "Överföringsavgift",
        "Effektavgift",
        "Abonnemangsavgift",
    }


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda s: ostrelpy.cost(SE, s.tz_localize(None)), MeterError, "time-zone-aware"),
        (lambda s: ostrelpy.cost(SE, s, "2025-01-01T00:00+01:00"), ValueError, "beyond the data"),
        (lambda s: ostrelpy.cost(SE, s, "2025-03-01T00:00"), ValueError, "needs a UTC offset"),
        (lambda s: ostrelpy.cost("no-such-tariff", s), TariffLookupError, "no tariff"),
        (lambda s: ostrelpy.cost(SE, s.to_list()), TypeError, "pandas Series or a mapping"),
        (lambda s: ostrelpy.cost(SE, {"heat": s}), ValueError, "needs dataset 'consumption'"),
        (lambda s: ostrelpy.cost(SE, s.where(s > 0.5)), MeterError, "missing or non-finite"),
    ],
)
def test_bad_calls_raise_clear_errors(kwh, call, error, text):
    with pytest.raises(error, match=re.escape(text)):
        call(kwh)


def python_blocks(markdown: str) -> list[str]:
    return re.findall(r"^```python\n(.*?)^```", markdown, flags=re.S | re.M)


def test_readme_python_snippets_run(monkeypatch, capsys):
    blocks = python_blocks((ROOT / "README.md").read_text(encoding="utf-8"))
    assert blocks, "the README has no python snippets"
    monkeypatch.chdir(ROOT)
    for number, block in enumerate(blocks, 1):
        exec(compile(block, f"README.md python block {number}", "exec"), {"__name__": "readme"})
    assert capsys.readouterr().out.strip()


@pytest.mark.parametrize("tariff", [SE, "7a1d3f2c-1e4b-4d5a-8c6e-2f3a4b5c6d7e"])
def test_direct_evaluation_agrees_with_the_facade(tariff):
    """`ostrelpy.cost` evaluates components as the facade does; the command line goes through
    `LogicBindings.calculate_cost`. Over the bundled quarter: holidays and a clock change."""
    from ostrelpy import cli_cost, meter, pricing, tariffs

    reading = meter.read_meter(cli_cost.EXAMPLE_CONSUMPTION)
    entry = tariffs.find(tariff)
    inputs = pricing.Inputs({"consumption": reading}, reading.start, reading.end)
    window = reading.start.to_pydatetime(), reading.end.to_pydatetime()
    direct = pricing.evaluate(entry.tariff, inputs, *window)
    facade = pricing.evaluate_with_facade(entry, inputs, *window)
    assert [r.public.name for r in direct] == [r.public.name for r in facade]
    for d, f in zip(direct, facade):
        pd.testing.assert_series_equal(
            d.cost.dropna(), f.cost.dropna(), check_names=False, check_freq=False, rtol=1e-12
        )
