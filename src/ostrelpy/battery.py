"""A home battery planned against a tariff from Python: the plan a scheduler follows and the
bills with and without it (what `ostrelpy schedule` does on the command line)."""

from __future__ import annotations

import datetime as dt
import os
import uuid
from dataclasses import dataclass
from pathlib import Path

import pandas as pd

from ostrelpy import cli_cost, cli_schedule, meter, pricing, tariffs
from ostrelpy.models import Tariff


@dataclass(frozen=True)
class BatteryPlan:
    """`plan`: one row per quarter-hour, indexed by interval start (UTC): `load`,
    `grid_import`, `charge`, `discharge` (kWh in the interval) and `state_of_charge` (kWh at
    its end). `bills`: one row per component with its `currency`, `without` (the load billed
    by `calculate_cost`), `with_battery` (the grid import billed the same way) and `objective`
    (what the optimiser minimised for it). `agrees` tells whether the bill with the battery is
    the objective within the solver's tolerances; `saving` is refused otherwise."""

    plan: pd.DataFrame
    bills: pd.DataFrame
    tolerance: float
    seconds: float

    @property
    def agrees(self) -> bool:
        gap = self.bills["with_battery"].sum() - self.bills["objective"].sum()
        return bool(abs(gap) <= self.tolerance)

    @property
    def saving(self) -> pd.Series:
        """Without minus with the battery, per component; ValueError when the plan's bill is
        not the optimiser's cost."""
        if not self.agrees:
            raise ValueError(
                f"the bill of the plan ({self.bills['with_battery'].sum():.6f}) differs from "
                f"the optimiser's objective ({self.bills['objective'].sum():.6f}) by more "
                f"than the solver's tolerance ({self.tolerance:.2g})"
            )
        return self.bills["without"] - self.bills["with_battery"]


def plan_battery(
    tariff: str | uuid.UUID | Tariff,
    load: pd.Series,
    *,
    capacity: float,
    power: float,
    efficiency: float = 0.95,
    initial: float = 0.5,
    start: dt.datetime | str | None = None,
    end: dt.datetime | str | None = None,
    exact: bool = False,
    catalogue: str | os.PathLike[str] | None = None,
) -> BatteryPlan:
    """Plan a battery of `capacity` kWh and `power` kW (one-way `efficiency`, starting
    `initial` full as a share of capacity, ending at least as full) against `tariff` for the
    household `load` (kWh per interval, aware interval starts; as `ostrelpy.cost` takes it).

    `tariff` is a catalogue tariff's id, id prefix or name, or a `Tariff`. The tariff is
    compiled into HiGHS through the facade (`exact=True`: every block in its mixed-integer
    form) and its cost minimised; both bills come from `calculate_cost`.
    """
    battery = cli_schedule.Battery(capacity, power, efficiency, initial)
    battery.check()
    if isinstance(tariff, Tariff):  # priced as given: no file is read
        entry = tariffs.Entry(Path(f"{tariff.id}.json"), tariff)
    else:
        entry = tariffs.find(str(tariff), catalogue)
    priced, inputs = _priced(entry, load, start, end)
    if not priced.results:
        raise ValueError(f"no component of tariff {entry.tariff.name!r} applies in the period")
    p = cli_schedule.plan(priced, battery, exact=exact)
    frame = plan_frame(inputs.quarter_hours("consumption"), p)
    bills = pd.DataFrame(
        [(n, c, w, b, o) for (n, c, w, b), o in zip(p.costs, p.objective, strict=True)],
        columns=["component", "currency", "without", "with_battery", "objective"],
    ).set_index("component")
    return BatteryPlan(frame, bills, p.tolerance, p.seconds)


def plan_frame(load: pd.Series, p: cli_schedule.Plan) -> pd.DataFrame:
    """The plan a scheduler follows, one row per quarter-hour (kWh per interval, the state of
    charge in kWh at the interval's end)."""
    frame = pd.DataFrame(
        {
            "load": load.reindex(p.grid.index, fill_value=0.0).to_numpy(dtype="float64"),
            "grid_import": p.grid.clip(lower=0.0).to_numpy(),
            "charge": p.charge.to_numpy(),
            "discharge": p.discharge.to_numpy(),
            "state_of_charge": p.soc.to_numpy(),
        },
        index=p.grid.index,
    )
    frame.index.name = "interval_start"
    return frame


def write_plan(path: str, frame: pd.DataFrame, zone: dt.tzinfo) -> None:
    """The plan as CSV, interval starts in the tariff's zone with their UTC offsets (as the
    meter exports `cost` reads)."""
    local = frame.set_axis(frame.index.tz_convert(zone), axis=0)
    text = local.to_csv(float_format="%.6f", date_format="%Y-%m-%dT%H:%M:%S%z")
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)


def _priced(
    entry: tariffs.Entry,
    load: pd.Series,
    start: dt.datetime | str | None,
    end: dt.datetime | str | None,
) -> tuple[cli_cost.Priced, pricing.Inputs]:
    """The priced period, and its inputs (which the plan's frame reads the load from)."""
    pairs = pricing.engine_components(entry.tariff)
    zone = pricing._zone(pairs)
    reading = meter.from_series(load, name="load", calendar_zone=zone)
    lo = None if start is None else pricing.parse_instant(start, "start", None)
    hi = None if end is None else pricing.parse_instant(end, "end", None)
    lo, hi = pricing.window([reading], lo, hi, zone)
    energy = {d.id for _, c in pairs for d in c.datasets if d.unit == "kWh"} | {"consumption"}
    inputs = pricing.Inputs(dict.fromkeys(energy, reading), lo, hi)
    results = pricing.evaluate_with_facade(entry, inputs, lo.to_pydatetime(), hi.to_pydatetime())
    return cli_cost.Priced(entry, zone, reading, lo, hi, inputs, results), inputs
