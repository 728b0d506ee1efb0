"""Every door gives the same bill: `ostrelpy.cost`, the facade's `calculate_cost` from dicts
and `ostrelpy cost` on a meter file, over periods that cross each validity edge of each
bundled tariff and over ten years, per component."""

import datetime as dt
import io
from contextlib import redirect_stdout

import numpy as np
import pandas as pd
import pytest

import ostrelpy
from ostrelpy import cli, pricing
from ostrelpy.api_client import BUNDLED_CATALOGUE
from ostrelpy.models import Dataset, Tariff

TARIFFS = sorted(BUNDLED_CATALOGUE.glob("*.json"))


def edges(tariff):
    return sorted(
        {t for c in tariff.tariff_components for t in (c.applicable_from, c.applicable_to) if t}
    )


def periods():
    for path in TARIFFS:
        tariff = Tariff.model_validate_json(path.read_text(encoding="utf-8"))
        for edge in edges(tariff):
            yield pytest.param(
                path,
                edge - dt.timedelta(days=9),
                edge + dt.timedelta(days=9),
                id=f"{path.stem[:8]}-{edge.date()}",
            )
    first = BUNDLED_CATALOGUE / "3c9e1f4a-2b6d-4e8f-9a1c-5d7e8f9a0b1c.json"
    start = dt.datetime(2016, 1, 1, tzinfo=dt.UTC)
    yield pytest.param(first, start, start.replace(year=2026), id=f"{first.stem[:8]}-ten-years")


def load(start, end):
    index = pd.date_range(start, end, freq="15min", inclusive="left").tz_convert("UTC")
    values = np.random.default_rng(index.size).gamma(2.0, 0.15, index.size)
    return pd.Series(values, index=index)


def by_name(names, costs):
    out: dict[str, float] = {}
    for name, cost in zip(names, costs, strict=True):
        out[name] = out.get(name, 0.0) + cost
    return out


def facade_totals(tariff, kwh, start, end):
    from ostrelpy.bindings import logic

    keys = kwh.index.to_pydatetime()
    data = {}
    for c in tariff.tariff_components:
        for d in c.datasets:
            data[Dataset(id=d.id, resolution=d.resolution, unit=d.unit)] = dict(
                zip(keys, kwh.tolist())
            )
    costs = pricing.run_sync(
        logic.LogicBindings("k").calculate_cost(tariff.id, start, end, data, use_cache=False)
    )
    return by_name([c.component.name for c in costs], [sum(c.costs.values()) for c in costs])


def cli_totals(path, kwh, tmp_path):
    csv = tmp_path / "meter.csv"
    kwh.to_frame("kwh").to_csv(csv, index_label="interval_start", date_format="%Y-%m-%dT%H:%MZ")
    out = io.StringIO()
    with redirect_stdout(out):
        assert cli.main(["cost", path.stem, "--consumption", str(csv), "--format", "csv"]) == 0
    bill = pd.read_csv(io.StringIO(out.getvalue()))
    return bill.groupby("component", sort=False)["cost"].sum().to_dict()


@pytest.mark.parametrize(("path", "start", "end"), list(periods()))
def test_the_doors_agree_per_component(path, start, end, tmp_path):
    tariff = Tariff.model_validate_json(path.read_text(encoding="utf-8"))
    kwh = load(start, end)
    frame = ostrelpy.cost(tariff, kwh)
    pandas_door = frame.groupby("component", sort=False)["cost"].sum().to_dict()
    facade = facade_totals(tariff, kwh, start, end)
    assert facade.keys() == pandas_door.keys()
    assert pandas_door == pytest.approx(facade, rel=1e-12)
    # The command's CSV also lists, at zero, the components it names as not active.
    cli_door = cli_totals(path, kwh, tmp_path)
    assert {k: v for k, v in cli_door.items() if k in facade} == pytest.approx(facade, abs=5e-6)
    assert all(v == 0.0 for k, v in cli_door.items() if k not in facade)
