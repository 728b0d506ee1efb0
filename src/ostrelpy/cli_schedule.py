"""The `schedule` subcommand: a home battery planned against the tariff with HiGHS.

The battery is a small linear model over the priced period's quarter-hours: charge and
discharge (kWh per quarter-hour, at most `power` / 4), the state of charge after each
quarter-hour (0 to `capacity`, losses on the way in and on the way out) and the grid import,
which is the load plus charging minus discharging and never negative (the battery does not
export). The tariff's components are compiled into the same model through the facade's
`add_to_highs_model`, with the grid import as the consumption they price, and their costs
are minimised. The battery ends the period at least as full as it started, so the saving is
not energy borrowed from it. The bill with the battery is what `calculate_cost` charges for
the planned grid import; a saving is reported only when that bill is the minimised cost,
within the solver's tolerances.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ostrelpy import cli_cost, meter, pricing

HOURS = meter.QUARTER / pd.Timedelta(hours=1)
# A tie-breaker per kWh moved through the battery, far below any tariff's resolution: among
# schedules of equal cost it prefers the one that cycles the battery least.
CYCLE_PENALTY = 1e-7
# What the solver handles to its tolerances: sizes from a watt-hour to a gigawatt-hour, and
# losses whose reciprocal stays a modest coefficient.
MIN_SIZE, MAX_SIZE = 1e-3, 1e6
MIN_EFFICIENCY = 0.01

# Told the seconds spent solving and whether the solve is done.
Progress = Callable[[float, bool], None]


@dataclass(frozen=True)
class Battery:
    capacity: float  # kWh
    power: float  # kW, charging and discharging
    efficiency: float  # one way: charging stores efficiency x energy taken
    initial: float  # state of charge at the start, share of capacity

    def check(self) -> None:
        for name, value in vars(self).items():
            if not np.isfinite(value):
                raise ValueError(f"--{name} must be a finite number, got {value}")
        if self.capacity <= 0 or self.power <= 0:
            raise ValueError("--capacity and --power must be positive")
        if not 0 < self.efficiency <= 1:
            raise ValueError(f"--efficiency must be in (0, 1], got {self.efficiency}")
        for name in ("capacity", "power"):
            value = getattr(self, name)
            if not MIN_SIZE <= value <= MAX_SIZE:
                raise ValueError(
                    f"--{name} must be between {MIN_SIZE:g} and {MAX_SIZE:g} "
                    f"(k{'Wh' if name == 'capacity' else 'W'}), got {value:g}"
                )
        if self.efficiency < MIN_EFFICIENCY:
            raise ValueError(
                f"--efficiency must be at least {MIN_EFFICIENCY:g}, got {self.efficiency:g}"
            )
        if not 0 <= self.initial <= 1:
            raise ValueError(
                f"--initial must be in [0, 1] (a share of --capacity), got {self.initial}"
            )


@dataclass
class Columns:
    """Solver columns of the battery model, one per quarter-hour."""

    grid: np.ndarray
    charge: np.ndarray
    discharge: np.ndarray
    soc: np.ndarray


def _i32(a: Any) -> np.ndarray:
    return np.ascontiguousarray(a, dtype=np.int32)


def add_battery(h: Any, load: np.ndarray, battery: Battery) -> Columns:
    """Columns and rows of the battery and the grid connection, added in bulk."""
    n = len(load)
    step = battery.power * HOURS
    first = h.getNumCol()
    lower = np.zeros(4 * n)
    # The grid import is bounded by the load plus full-power charging (solver adapters take
    # decision variables with finite bounds only).
    upper = np.concatenate([load + step, np.full(2 * n, step), np.full(n, battery.capacity)])
    cost = np.concatenate([np.zeros(n), np.full(2 * n, CYCLE_PENALTY), np.zeros(n)])
    none = np.array([], dtype=np.int32)
    h.addCols(4 * n, cost, lower, upper, 0, none, none, np.array([], dtype=np.float64))
    cols = np.arange(first, first + 4 * n).reshape(4, n)
    grid, charge, discharge, soc = cols
    t = np.arange(n)
    eta = battery.efficiency
    start_soc = battery.initial * battery.capacity
    # Grid: grid_t - charge_t + discharge_t = load_t.
    balance = (
        np.repeat(t, 3),
        np.stack([grid, charge, discharge], 1).ravel(),
        np.tile([1.0, -1.0, 1.0], n),
    )
    _add_rows(h, load, load, balance)
    # Storage: soc_t - soc_{t-1} - eta charge_t + discharge_t / eta = 0, soc_{-1} = initial.
    storage = (
        np.concatenate([np.repeat(t, 3), t[1:]]),
        np.concatenate([np.stack([soc, charge, discharge], 1).ravel(), soc[:-1]]),
        np.concatenate([np.tile([1.0, -eta, 1.0 / eta], n), np.full(n - 1, -1.0)]),
    )
    rhs = np.zeros(n)
    rhs[0] = start_soc
    _add_rows(h, rhs, rhs, storage)
    # Ends at least as full as it started.
    _add_rows(h, np.array([start_soc]), np.array([np.inf]), ([0], [soc[-1]], [1.0]))
    return Columns(grid, charge, discharge, soc)


def _add_rows(h: Any, lower: Any, upper: Any, coo: tuple[Any, Any, Any]) -> None:
    rows, cols, vals = (np.asarray(a) for a in coo)
    order = np.lexsort((cols, rows))
    rows, cols, vals = rows[order], cols[order], vals[order]
    starts = np.searchsorted(rows, np.arange(len(lower)))
    h.addRows(
        len(lower),
        np.asarray(lower, dtype=np.float64),
        np.asarray(upper, dtype=np.float64),
        len(vals),
        _i32(starts),
        _i32(cols),
        np.asarray(vals, dtype=np.float64),
    )


def _variables(
    h: Any, priced: cli_cost.Priced, grid: np.ndarray, index: pd.DatetimeIndex, top: np.ndarray
) -> dict[Any, dict[Any, Any]]:
    """The grid import as the tariff's energy datasets: one variable per quarter-hour, or per
    coarser period (a column equal to the sum of its quarter-hours)."""
    import highspy

    from ostrelpy.bindings import _engine
    from ostrelpy.models import Dataset

    out: dict[Dataset, dict[Any, Any]] = {}
    for _, component in pricing.engine_components(priced.entry.tariff):
        for d in component.datasets:
            if d.unit != "kWh":
                raise ValueError(f"{component.name}: needs dataset {d.id!r} in {d.unit.value}")
            key = Dataset(id=d.id, resolution=d.resolution.value, unit=d.unit.value)
            if key in out:
                continue
            zone = _engine.timezone_from_str(component.timezone)
            labels = meter.period_labels(index, d.resolution.value, zone, priced.start)
            starts, group = np.unique(labels, return_inverse=True)
            if len(starts) == len(index):
                cols = grid
            else:
                first = h.getNumCol()
                k = len(starts)
                none = np.array([], dtype=np.int32)
                h.addCols(
                    k,
                    np.zeros(k),
                    np.zeros(k),
                    np.bincount(group, weights=top, minlength=k),
                    0,
                    none,
                    none,
                    np.array([]),
                )
                cols = np.arange(first, first + k)
                coo = (
                    np.concatenate([np.arange(k), group]),
                    np.concatenate([cols, grid]),
                    np.concatenate([np.ones(k), -np.ones(len(grid))]),
                )
                _add_rows(h, np.zeros(k), np.zeros(k), coo)
            when = pd.DatetimeIndex(starts.astype("datetime64[ns]"), tz="UTC").to_pydatetime()
            out[key] = {t: highspy.highs.highs_var(int(c), h) for t, c in zip(when, cols)}
    return out


@dataclass
class Plan:
    grid: pd.Series
    soc: pd.Series
    charge: pd.Series
    discharge: pd.Series
    # component, currency, without, with battery (`calculate_cost` of the grid import)
    costs: list[tuple[str, str, float, float]]
    seconds: float
    objective: list[float]  # per component, the optimiser's cost of the same plan
    tolerance: float  # how far the two may differ through the solver's own tolerances

    @property
    def agrees(self) -> bool:
        """The optimiser's cost is the bill of its plan, within the solver's tolerances."""
        bill = sum(c[3] for c in self.costs)
        return bool(abs(sum(self.objective) - bill) <= self.tolerance)

    def disagreement(self) -> str:
        bill = sum(c[3] for c in self.costs)
        return (
            f"the bill of the plan ({bill:.6f}) differs from the optimiser's objective "
            f"({sum(self.objective):.6f}) by more than the solver's tolerance "
            f"({self.tolerance:.2g}); no saving is reported"
        )


def _tolerance(objective: float, bill: float, steps: int) -> float:
    """What the solver's feasibility tolerances (about 1e-7 per row, 1e-6 on binaries) can
    move a cost by: relative to its size, plus a little per priced interval."""
    return 1e-6 * max(1.0, abs(objective), abs(bill)) + 1e-7 * steps


def bill_of(priced: cli_cost.Priced, grid: pd.Series) -> list[pricing.ComponentResult]:
    """The grid import billed by the facade's `calculate_cost`, as the meter would."""
    reading = meter.from_series(grid.clip(lower=0.0), name="grid import", calendar_zone=priced.zone)
    assert priced.inputs is not None  # a priced period with results has its inputs
    inputs = pricing.Inputs(
        dict.fromkeys(priced.inputs.readings, reading), priced.start, priced.end
    )
    window = priced.start.to_pydatetime(), priced.end.to_pydatetime()
    return pricing.evaluate_with_facade(priced.entry, inputs, *window)


def _quiet_highs(highspy: Any) -> Any:
    """A silent HiGHS instance: its start-up banner is written to the process's stdout by C
    code, where it would corrupt `--format csv|json`, so that descriptor is muted meanwhile."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        h = highspy.Highs()
        h.silent()
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)
    return h


def plan(
    priced: cli_cost.Priced, battery: Battery, *, exact: bool, progress: Progress | None = None
) -> Plan:
    """Solve the battery against the priced period's tariff; costs per component."""
    import highspy

    from ostrelpy.bindings import logic

    battery.check()
    assert priced.inputs is not None  # a priced period with results has its inputs
    load_series = priced.inputs.quarter_hours("consumption")
    index = pd.date_range(priced.start, priced.end, freq=meter.QUARTER, inclusive="left")
    load = load_series.reindex(index, fill_value=0.0).to_numpy(dtype="float64")
    h = _quiet_highs(highspy)
    cols = add_battery(h, load, battery)
    variables = _variables(h, priced, cols.grid, index, load + battery.power * HOURS)
    facade = logic.LogicBindings("local")
    try:
        compiled = pricing.run_sync(
            facade.add_to_highs_model(
                priced.entry.tariff,
                priced.start.to_pydatetime(),
                priced.end.to_pydatetime(),
                {},
                variables,
                h,
                minimising_cost=not exact,
                use_cache=False,
            )
        )
    except NotImplementedError as exc:
        # A tariff whose cost is no linear function of the energy (a price per kWh that
        # depends on the month's energy, say): billable, but not a model a solver takes.
        raise ValueError(
            f"tariff {priced.entry.tariff.name!r} cannot be scheduled: {exc}"
        ) from None
    weights = np.zeros(h.getNumCol())
    for c in compiled:
        for v in c.costs.values():
            if not isinstance(v, float):
                weights[v.index] += 1.0
    weights[np.concatenate([cols.charge, cols.discharge])] += CYCLE_PENALTY
    h.changeColsCost(len(weights), _i32(np.arange(len(weights))), weights)
    seconds = _solve(h, progress)
    status = h.getModelStatus()
    if status != highspy.HighsModelStatus.kOptimal:
        raise ValueError(f"HiGHS found no optimal schedule: {h.modelStatusToString(status)}")
    x = np.asarray(h.getSolution().col_value)
    _check_balance(x, cols, load, battery, index)
    series = {
        name: pd.Series(x[getattr(cols, name)], index=index, name=name)
        for name in ("grid", "soc", "charge", "discharge")
    }
    billed = bill_of(priced, series["grid"])
    costs: list[tuple[str, str, float, float]] = []
    objective: list[float] = []
    for c, result, bill in zip(compiled, priced.results, billed, strict=True):
        values = [v if isinstance(v, float) else x[v.index] for v in c.costs.values()]
        objective.append(float(np.nansum(values)))
        with_battery = float(np.nansum(bill.cost.to_numpy()))
        costs.append((result.public.name, result.currency, float(result.cost.sum()), with_battery))
    total = sum(c[3] for c in costs)
    tolerance = _tolerance(sum(objective), total, len(index))
    return Plan(**series, costs=costs, seconds=seconds, objective=objective, tolerance=tolerance)


def _check_balance(
    x: np.ndarray, cols: Columns, load: np.ndarray, battery: Battery, index: pd.DatetimeIndex
) -> None:
    """A schedule is reported only if its energy adds up: the grid, the battery and the
    state of charge agree with the load at every quarter-hour, within the solver's
    tolerances."""
    grid, charge, discharge, soc = (
        x[c] for c in (cols.grid, cols.charge, cols.discharge, cols.soc)
    )
    eta = battery.efficiency
    start = battery.initial * battery.capacity
    before = np.concatenate([[start], soc[:-1]])
    step = battery.power * HOURS
    scale = 1.0 + max(battery.capacity, step, float(np.max(load, initial=0.0)))
    tol = 1e-6 * scale
    residuals = {
        "grid import": grid - charge + discharge - load,
        "state of charge": soc - before - eta * charge + discharge / eta,
        "bounds": np.concatenate(
            [
                np.minimum(0.0, grid),
                np.minimum(0.0, charge),
                np.minimum(0.0, discharge),
                np.minimum(0.0, soc),
                np.maximum(0.0, soc - battery.capacity),
                np.maximum(0.0, charge - step),
                np.maximum(0.0, discharge - step),
                [min(0.0, soc[-1] - start)] if len(soc) else [],
            ]
        ),
    }
    for what, r in residuals.items():
        if len(r) and not np.max(np.abs(r)) <= tol:
            i = int(np.nanargmax(np.abs(r))) % len(index)
            raise ValueError(
                f"the solver's schedule does not balance ({what} off by {np.abs(r).max():g} kWh "
                f"near {index[i].isoformat()}); no saving is reported"
            )


def _solve(h: Any, progress: Progress | None) -> float:
    """Run HiGHS, showing the elapsed time while it works."""
    began = time.monotonic()
    if progress:
        progress(0.0, False)
    starter = getattr(h, "startSolve", None)
    if starter is None:
        h.run()
    else:
        starter()
        done = False
        try:
            while not done:
                done, _ = h.wait(0.5)
                if progress and not done:
                    progress(time.monotonic() - began, False)
        except KeyboardInterrupt:
            h.cancelSolve()
            raise
    elapsed = time.monotonic() - began
    if progress:
        progress(elapsed, True)
    return elapsed


def _progress_line(exact: bool) -> Progress:
    tty = sys.stderr.isatty()
    form = "exact mixed-integer" if exact else "convex"
    head = f"ostrelpy: solving with HiGHS ({form} form)"

    def show(seconds: float, done: bool) -> None:
        if done:
            end = f"{head}: done in {seconds:.1f} s"
            print(("\r" + end) if tty else end, file=sys.stderr)
        elif tty:
            print(f"\r{head} ... {seconds:.0f} s", end="", file=sys.stderr, flush=True)
        elif seconds == 0.0:
            print(f"{head} ...", file=sys.stderr, flush=True)

    return show


def table(p: Plan) -> pd.DataFrame:
    frame = pd.DataFrame(
        [(name, without, with_) for name, _, without, with_ in p.costs],
        columns=["component", "without", "with battery"],
    ).set_index("component")
    frame["saving"] = frame["without"] - frame["with battery"]
    currencies = sorted({c for _, c, _, _ in p.costs})
    if len(currencies) == 1:
        frame.loc["total"] = frame.sum(axis=0)
    frame.index.name = None
    frame.columns.name = "/".join(currencies)
    return frame


def _with_battery(priced: cli_cost.Priced, p: Plan) -> pd.DataFrame:
    """The grid import priced like a meter export: the cost per month with the battery."""
    return pricing.tidy(bill_of(priced, p.grid), priced.zone).monthly()


def run(args: argparse.Namespace) -> int:
    if args.chart:
        from ostrelpy import cli_chart

        cli_chart.check(args.chart)
    battery = Battery(args.capacity, args.power, args.efficiency, args.initial)
    battery.check()
    if getattr(args, "plan", None):
        # Before the solve, which may be long: a plan that cannot be written is refused now.
        folder = os.path.dirname(os.path.abspath(args.plan))
        if os.path.isdir(args.plan) or not os.path.isdir(folder):
            raise ValueError(f"--plan {args.plan}: not a file in an existing directory")
    priced = cli_cost.price(args)
    if not priced.results:
        print("No component of the tariff applies in the period.")
        return 0
    p = plan(priced, battery, exact=args.exact, progress=_progress_line(args.exact))
    if getattr(args, "plan", None):
        from ostrelpy import battery as planning

        assert priced.inputs is not None
        load = priced.inputs.quarter_hours("consumption")
        planning.write_plan(args.plan, planning.plan_frame(load, p), priced.zone)
        print(f"ostrelpy: plan written to {args.plan}", file=sys.stderr)
    if not p.agrees:
        raise ValueError(p.disagreement())
    result = table(p)
    if args.format == "json":
        import json

        out = {
            "tariff": {"id": str(priced.entry.tariff.id), "name": priced.entry.tariff.name},
            "start": priced.start.tz_convert(priced.zone).isoformat(),
            "end": priced.end.tz_convert(priced.zone).isoformat(),
            "battery": vars(battery),
            "exact": bool(args.exact),
            "seconds": round(p.seconds, 3),
            "currency": result.columns.name,
            "components": [
                {
                    "name": n,
                    "currency": c,
                    "without": w,
                    "with_battery": b,
                    "saving": w - b,
                    "objective": o,
                }
                for (n, c, w, b), o in zip(p.costs, p.objective, strict=True)
            ],
        }
        print(json.dumps(out, indent=2, ensure_ascii=False))
    elif args.format == "csv":
        sys.stdout.write(result.rename_axis("component").to_csv(float_format="%.6f"))
    else:
        print(
            f"{priced.entry.tariff.name}: battery {battery.capacity:g} kWh, {battery.power:g} kW, "
            f"efficiency {battery.efficiency:g}, from {priced.period()}"
        )
        print(cli_cost.render_table(result))
    if args.chart:
        from ostrelpy import cli_chart

        schedule = {"grid": p.grid, "soc": p.soc, "capacity": battery.capacity}
        cli_chart.draw(args.chart, priced, schedule=schedule, monthly=_with_battery(priced, p))
        print(f"ostrelpy: chart written to {args.chart}", file=sys.stderr)
    return 0
