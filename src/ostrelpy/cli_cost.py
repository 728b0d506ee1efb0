"""The `cost` subcommand: what a consumption file costs under a catalogue tariff."""

from __future__ import annotations

import asyncio
import datetime as dt
from pathlib import Path

import pandas as pd

from ostrelpy.api_client import APIClient

EXAMPLE_CONSUMPTION = Path(__file__).with_name("data") / "consumption.csv"
STEP = pd.Timedelta(minutes=15)


def read_consumption(path: str | Path) -> pd.Series:
    """A CSV of interval start (ISO 8601 with offset) and kWh, as a float series."""
    frame = pd.read_csv(path)
    if frame.shape[1] < 2:
        raise ValueError(f"{path}: expected two columns, interval start and kWh")
    index = pd.DatetimeIndex(pd.to_datetime(frame.iloc[:, 0], utc=True))
    values = pd.to_numeric(frame.iloc[:, 1], errors="raise").astype("float64")
    return pd.Series(values.to_numpy(), index=index, name="consumption").sort_index()


def _window(
    series: pd.Series, start: str | None, end: str | None
) -> tuple[dt.datetime, dt.datetime]:
    lo = pd.Timestamp(start) if start else series.index[0]
    hi = pd.Timestamp(end) if end else series.index[-1] + STEP
    for name, t in (("start", lo), ("end", hi)):
        if t.tzinfo is None:
            raise ValueError(f"--{name} needs a UTC offset, e.g. 2025-01-01T00:00+01:00")
    return lo.to_pydatetime(), hi.to_pydatetime()


def component_costs(
    tariff_id: str,
    consumption: pd.Series,
    start: dt.datetime,
    end: dt.datetime,
    catalogue: str | None = None,
) -> list[tuple[object, pd.Series]]:
    """Each active component with its cost series, evaluated alone on its own timeline."""
    from ostrelpy.bindings import _engine

    client = APIClient(api_key="local", catalogue=catalogue)
    tariff = asyncio.run(client.get_tariff(tariff_id))
    components = [
        _engine.TariffComponent.model_validate(c.model_dump()) for c in tariff.tariff_components
    ]
    active = [c for c in components if c.is_active_in_period(start, end)]
    wanted = sorted({h for c in active for h in c.collect_holidays()})
    holidays = []
    if wanted:
        tz = _engine.timezone_from_str(active[0].timezone)
        raw = asyncio.run(
            client.list_holidays(
                start_year=start.astimezone(tz).year - 1,
                end_year=end.astimezone(tz).year + 2,
                holiday=[h.value for h in wanted],
            )
        )
        holidays = [_engine.HolidayOccurrence.model_validate(o, from_attributes=True) for o in raw]
    out = []
    for c in active:
        inputs = {}
        for d in c.datasets:
            if d.id != "consumption":
                raise ValueError(
                    f"{c.name}: needs dataset {d.id!r}, which a consumption file does not provide"
                )
            inputs[d] = consumption.rename(d.id)
        timeline = _engine.build_timeline([c], inputs, holidays, start_time=start, end_time=end)
        ctx = _engine.run_pipeline([c], inputs, timeline=timeline)
        out.append((c, ctx.all_series[c.cost.id]))
    return out


def monthly_table(costs: list[tuple[object, pd.Series]]) -> pd.DataFrame:
    """Components by month in each component's zone; missing intervals are no charge."""
    from ostrelpy.bindings import _engine

    rows = {}
    for component, series in costs:
        local = series.copy()
        local.index = series.index.tz_convert(_engine.timezone_from_str(component.timezone))
        rows[component.name] = local.groupby(local.index.strftime("%Y-%m")).sum()
    table = pd.DataFrame(rows).T.fillna(0.0)
    table["total"] = table.sum(axis=1)
    table.loc["total"] = table.sum(axis=0)
    return table
