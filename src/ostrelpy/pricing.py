"""Pricing energy under a tariff with pandas: `ostrelpy.cost` and what the command line shares.

Each active component is evaluated alone on its own quarter-hour timeline in its own time
zone, with the holidays its conditions name, exactly as the facade's `calculate_cost` does;
this module only adds the pandas side: checked inputs brought to each dataset's resolution
and a tidy result.
"""

from __future__ import annotations

import asyncio
import dataclasses
import datetime as dt
import functools
import os
import threading
import uuid
from collections.abc import Callable, Coroutine, Generator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeVar, cast

import numpy as np
import pandas as pd
import pydantic_core

from ostrelpy import coverage, meter, tariffs
from ostrelpy.models import Dataset, Tariff
from ostrelpy.models import TariffComponent as PublicComponent

T = TypeVar("T")

# Negative readings are net export. Refused unless the caller allows them, by the command line
# (`--allow-export`) and by `cost(..., allow_export=True)` alike: a sign error in a file must
# not become a smaller bill.
ALLOW_EXPORT = False


def run_sync(coro: Coroutine[Any, Any, T]) -> T:
    """Await `coro` from synchronous code, also where an event loop already runs (notebooks).

    The bundled API client answers without waiting, so a request usually completes on its
    first step and needs no event loop at all; one that waits is finished on one."""
    try:
        first = coro.send(None)
    except StopIteration as done:
        return cast(T, done.value)
    except BaseException:
        coro.close()
        raise
    resumed = _resume(coro, first)
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(resumed)
    box: dict[str, Any] = {}

    def worker() -> None:
        try:
            box["value"] = asyncio.run(resumed)
        except BaseException as exc:  # handed back to the caller's thread
            box["error"] = exc

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    if "error" in box:
        raise box["error"]
    return cast(T, box["value"])


class _Resumed:
    """The rest of a coroutine that has already yielded `first`, as an awaitable."""

    def __init__(self, coro: Coroutine[Any, Any, Any], first: Any) -> None:
        self.coro, self.first = coro, first

    def __await__(self) -> Generator[Any, Any, Any]:
        step = self.first
        while True:
            try:
                sent = yield step
            except BaseException as exc:  # cancellation and the like reach the coroutine
                try:
                    step = self.coro.throw(exc)
                except StopIteration as done:
                    return done.value
                continue
            try:
                step = self.coro.send(sent)
            except StopIteration as done:
                return done.value


async def _resume(coro: Coroutine[Any, Any, T], first: Any) -> T:
    return cast(T, await _Resumed(coro, first))


@dataclass(frozen=True)
class ComponentResult:
    """One active component's cost per interval start (UTC) and, where the component
    multiplies the energy by a rate, that rate on the energy's quarter-hours."""

    public: PublicComponent
    component: Any  # the engine's TariffComponent
    cost: pd.Series
    currency: str
    series: Mapping[str, Any] = dataclasses.field(repr=False, default_factory=dict)
    inputs: Mapping[Any, Any] = dataclasses.field(repr=False, default_factory=dict)

    @functools.cached_property
    def energy_price(self) -> pd.Series | None:
        return _energy_price(self.component, self.series, self.inputs)


def engine_components(tariff: Tariff) -> list[tuple[PublicComponent, Any]]:
    return [(c, _engine_record(c)) for c in tariff.tariff_components]


# Engine records of public components by what the components hold: validating a component
# costs twenty times more than writing it out, and a caller usually prices the same tariff
# object again and again. The key is the component's full JSON (NaN kept apart from None)
# with the zones of its bounds, which JSON writes only as offsets.
_RECORDS: dict[tuple[Any, ...], Any] = {}
_RECORDS_MAX = 256


def _engine_record(component: PublicComponent) -> Any:
    from ostrelpy.bindings import _engine

    try:
        key: tuple[Any, ...] | None = (
            type(component),
            pydantic_core.to_json(component),
            *(
                getattr(t, "tzinfo", None)
                for t in (component.applicable_from, component.applicable_to)
            ),
        )
        record = _RECORDS.get(key)  # type: ignore[arg-type]
    except (pydantic_core.PydanticSerializationError, TypeError, ValueError):
        key, record = None, None  # values JSON cannot hold, or a zone without a hash
    if record is None:
        record = _engine.TariffComponent.model_validate(component.model_dump())
        if key is not None:
            if len(_RECORDS) >= _RECORDS_MAX:
                _RECORDS.clear()
            _RECORDS[key] = record
    return record


def evaluate(
    tariff: Tariff,
    series_for: Callable[[Any, Any], pd.Series],
    start: dt.datetime,
    end: dt.datetime,
    engines: list[Any] | None = None,
    *,
    costs_only: bool = False,
) -> list[ComponentResult]:
    """Every component of `tariff` active in [start, end), in tariff order, through the
    facade's one path: each on its own window, timeline and run, with the holidays it names.

    `series_for(component, dataset)` gives the input series of an engine dataset, on the
    dataset's resolution and in the component's zone. `engines` are the tariff's components
    as engine records when the caller has them (else the facade converts them). With
    `costs_only` the results hold their costs alone (no energy prices): the runs make no
    series of their other steps.
    """
    from ostrelpy.bindings import _engine, logic

    facade = logic.LogicBindings("local")
    # The facade's internal door (typed in its stub, private to the package).
    door = cast(Any, facade)._evaluate
    run = getattr(_engine, "_run_cost") if costs_only else None  # noqa: B009 (private)
    runs = run_sync(
        door(tariff, start, end, series_for, use_cache=True, converted=engines, run=run)
    )
    out = []
    for position, component, inputs, ran in runs:
        series = {} if costs_only else ran.all_series
        out.append(
            ComponentResult(
                public=tariff.tariff_components[position],
                component=component,
                cost=ran if costs_only else series[component.cost.id],
                currency=component.cost.unit.value,
                series=series,
                inputs=inputs,
            )
        )
    return out


def evaluate_with_facade(
    entry: tariffs.Entry,
    series_for: Callable[[Any, Any], pd.Series],
    start: dt.datetime,
    end: dt.datetime,
) -> list[ComponentResult]:
    """The costs as the public facade's `calculate_cost` gives them, with the inputs as it
    takes them (mappings from interval start to value); no energy prices."""
    from ostrelpy.bindings import logic

    data: dict[Dataset, dict[dt.datetime, float]] = {}
    for _, component in engine_components(entry.tariff):
        for d in component.datasets:
            key = Dataset(id=d.id, resolution=d.resolution.value, unit=d.unit.value)
            if key not in data:
                s = series_for(component, d)
                data[key] = dict(zip(s.index.to_pydatetime(), s.tolist()))
    facade = logic.LogicBindings("local")
    costs = run_sync(facade.calculate_cost(entry.tariff, start, end, data, use_cache=False))
    out = []
    for cost in costs:
        index = pd.DatetimeIndex(list(cost.costs), tz="UTC").as_unit("ns") if cost.costs else None
        series = pd.Series(list(cost.costs.values()), index=index, dtype="float64")
        component = _engine_record(cost.component)
        out.append(ComponentResult(cost.component, component, series, component.cost.unit.value))
    return out


def _energy_price(
    component: Any, series: Mapping[str, Any], inputs: Mapping[Any, Any]
) -> pd.Series | None:
    """The rate a component multiplies its input energy by, on the energy's instants."""
    from ostrelpy.bindings import _engine

    energy_ids = {d.id for d in component.datasets if d.unit == "kWh"}
    total = None
    for f in component.functions:
        if f.type != "multiply":
            continue
        for a, b in ((f.left, f.right), (f.right, f.left)):
            if not (isinstance(a, _engine.Dataset) and a.id in energy_ids):
                continue
            if b.unit not in getattr(_engine, "_ENERGY_RATES"):  # noqa: B009 (private)
                continue
            grid = series[a.id].index
            if isinstance(b, _engine.Level):
                rate = pd.Series(b.value, index=grid)
            else:
                rate = series[b.id].reindex(grid, method="ffill")
            total = rate if total is None else total.add(rate, fill_value=0.0)
    return total


def parse_instant(
    text: str | dt.datetime,
    option: str,
    zone: dt.tzinfo | None,
    zone_option: str = "--timezone",
) -> pd.Timestamp:
    """An ISO 8601 instant; a naive one only when `zone` says where it is. `option` and
    `zone_option` are how messages name the caller's argument and its time zone."""
    try:
        t = pd.Timestamp(text)
    except (TypeError, ValueError):
        raise ValueError(f"{option} {text!r} is not an ISO 8601 date-time") from None
    if t.tzinfo is None:
        if zone is None:
            raise ValueError(
                f"{option} {text!r} needs a UTC offset (e.g. 2025-01-01T00:00+01:00) "
                f"or {zone_option}"
            )
        t = t.tz_localize(zone, ambiguous="raise", nonexistent="raise")
    if not FIRST_INSTANT <= t <= LAST_INSTANT:
        raise ValueError(
            f"{option} {text!r} is outside the periods ostrelpy can price "
            "(1678-01-01 to 2262-01-01 UTC)"
        )
    return t.tz_convert("UTC")


# The span the engine prices (its instants are int64 nanoseconds).
FIRST_INSTANT = pd.Timestamp("1678-01-01", tz="UTC")
LAST_INSTANT = pd.Timestamp("2262-01-01", tz="UTC")


def window(
    readings: list[meter.Reading],
    start: pd.Timestamp | None,
    end: pd.Timestamp | None,
    zone: dt.tzinfo,
    names: tuple[str, str] = ("--start", "--end"),
) -> tuple[pd.Timestamp, pd.Timestamp]:
    """The priced period: the data's span unless given; on quarter-hours, ordered, and
    inside every reading (a window beyond the data would price missing energy as zero).
    `names` are how messages name the start and end arguments."""
    lo = start if start is not None else max(r.start for r in readings)
    hi = end if end is not None else min(r.end for r in readings)
    for option, t in zip(names, (start, end)):
        if t is not None and t.value % meter.QUARTER.value:
            raise ValueError(f"{option} {t.tz_convert(zone).isoformat()} is not on a quarter-hour")
    if start is not None and end is not None and start >= end:
        raise ValueError(
            f"{names[0]} {lo.tz_convert(zone).isoformat()} is not before "
            f"{names[1]} {hi.tz_convert(zone).isoformat()}"
        )
    for r in readings:
        first, last = r.start, r.end
        if first <= lo < hi <= last:
            continue
        span = f"{first.tz_convert(zone).isoformat()} to {last.tz_convert(zone).isoformat()}"
        if hi <= first or lo >= last:
            raise ValueError(f"{r.path}: the period does not overlap the data ({span})")
        if lo < first or hi > last:
            raise ValueError(
                f"{r.path}: the period {lo.tz_convert(zone).isoformat()} to "
                f"{hi.tz_convert(zone).isoformat()} goes beyond the data ({span})"
            )
    return lo, hi


class Inputs:
    """Readings by dataset id, brought on demand to each dataset's resolution and zone.

    Negative readings are net export: energy datasets get the import part (a negative reading
    is no import) and the exported energy is kept aside (`exported_kwh`). With `power` the
    readings of a dataset in kW are that power (averaged over each period); otherwise only
    energy datasets are served."""

    def __init__(
        self,
        readings: Mapping[str, meter.Reading],
        start: pd.Timestamp,
        end: pd.Timestamp,
        *,
        power: bool = False,
    ) -> None:
        self.start, self.end = start, end
        self.power = power
        self.notices: list[str] = []
        split: dict[int, tuple[meter.Reading, meter.Reading | None]] = {}
        for r in readings.values():
            if id(r) not in split:
                split[id(r)] = _split_export(r)
        self.readings = {k: split[id(r)][0] for k, r in readings.items()}
        self._exports = {id(i): e for i, e in split.values() if e is not None}
        self._quarters: dict[str, pd.Series] = {}
        self._done: dict[tuple[str, str, str], pd.Series] = {}
        self._exported: list[pd.Series | None] = []  # made on first use

    def quarter_hours(self, dataset_id: str) -> pd.Series:
        if dataset_id not in self._quarters:
            r = self.readings[dataset_id]
            self._quarters[dataset_id] = r.quarter_hours(self.start, self.end)
        return self._quarters[dataset_id]

    def exported(self) -> pd.Series | None:
        """The energy the readings give as negative (net export) per quarter-hour, in kWh;
        None without any."""
        if not self._exported:
            parts = [e.quarter_hours(self.start, self.end) for e in self._exports.values()]
            self._exported.append(pd.concat(parts).groupby(level=0).sum() if parts else None)
        return self._exported[0]

    def exported_kwh(self) -> float:
        exported = self.exported()
        return 0.0 if exported is None else float(exported.sum())

    def __call__(self, component: Any, dataset: Any) -> pd.Series:

        reading = self.readings.get(dataset.id)
        if reading is None:
            known = ", ".join(sorted(self.readings)) or "none"
            raise ValueError(
                f"{component.name}: needs dataset {dataset.id!r} ({dataset.unit.value}), "
                f"which the inputs do not provide (given: {known})"
            )
        power = dataset.unit == "kW" and self.power
        if dataset.unit != "kWh" and not power:
            raise ValueError(
                f"{component.name}: needs dataset {dataset.id!r} in {dataset.unit.value}; "
                "meter readings are energy (kWh)"
            )
        key = (dataset.id, dataset.resolution.value, component.timezone)
        if key not in self._done:
            if reading.coarser_than(dataset.resolution.value):
                self.notices.append(
                    f"{reading.path}: {reading.describe_interval()} readings spread evenly "
                    f"over the {dataset.resolution.value.replace('_', '-')} periods of "
                    f"dataset {dataset.id!r}"
                )
            zone = meter.zone_named(component.timezone)
            if power:
                self._done[key] = self._mean_power(reading, dataset.resolution.value, zone)
            else:
                as_read = None
                if dataset.resolution.value == "hourly":
                    as_read = reading.local_hours(self.start, self.end, zone)
                self._done[key] = (
                    as_read
                    if as_read is not None
                    else meter.at_resolution(
                        self.quarter_hours(dataset.id), dataset.resolution.value, zone, self.start
                    )
                )
        return self._done[key]

    def _mean_power(self, reading: meter.Reading, resolution: str, zone: dt.tzinfo) -> pd.Series:
        """Power readings (kW over each reading's interval) as the mean power of each period
        of `resolution`: through the energy they stand for, so that finer readings are
        averaged and coarser ones repeated, as energy is summed and spread."""
        hours = (reading._ends() - reading.energy.index.asi8) / meter._HOUR_NS
        energy = dataclasses.replace(reading, energy=reading.energy * hours)
        grid = pd.date_range(self.start, self.end, freq=meter.QUARTER, inclusive="left")
        kwh = energy.quarter_hours(self.start, self.end).reindex(grid, fill_value=0.0)
        summed = meter.at_resolution(kwh, resolution, zone, self.start)
        span = meter.at_resolution(pd.Series(0.25, index=grid), resolution, zone, self.start)
        return (summed / span).rename(reading.energy.name)


def _split_export(r: meter.Reading) -> tuple[meter.Reading, meter.Reading | None]:
    """The import part of a reading and, when it has negative values, its export part."""
    if not (r.energy.to_numpy() < 0).any():
        return r, None
    imported = dataclasses.replace(r, energy=r.energy.clip(lower=0.0))
    return imported, dataclasses.replace(r, energy=(-r.energy).clip(lower=0.0))


class CostFrame(pd.DataFrame):
    """Tidy costs: one row per component and interval, columns `component`, `start`
    (interval start in the tariff's zone), `resolution`, `cost` and `currency`.

    What the costs do not cover is beside them: `coverage`, the spans of the period a
    component does not price (`coverage.Gap`: not active then, or no data); `notes`, such as
    a fee charged per month whose first or last month lies only partly in the period (charged
    as a whole month); `exported_kwh`, the energy given as negative readings (net export),
    which the consumption datasets do not see."""

    _metadata = ["coverage", "notes", "exported_kwh"]
    # Until a bill is annotated: nothing said.
    coverage: Sequence[coverage.Gap] = ()
    notes: Sequence[str] = ()
    exported_kwh = 0.0

    @property
    def _constructor(self) -> type[CostFrame]:
        return CostFrame

    def monthly(self) -> pd.DataFrame:
        """Cost per local month (rows) and component (columns, tariff order) with a total;
        the columns' name is the currency."""
        if self.empty:
            return pd.DataFrame(columns=["total"], dtype="float64")
        # Each start's local month among the months' first instants, found in one native pass
        # over the rows that also sums them: no conversion of every row to local time.
        at = _positions(self)
        starts = _column(self, "start", at)
        if starts is None:
            starts = self["start"].array
        ns = starts.asi8
        months, edges, labels = _months_between(
            int(ns.min()), int(ns.max()), getattr(starts, "tz", None)
        )
        component, order = _codes(_column(self, "component", at, self))
        costs = _column(self, "cost", at)
        if not isinstance(costs, np.ndarray):
            costs = self["cost"].to_numpy(dtype="float64")
        sums, present, first = meter.native()._period_sums(ns, edges, component, len(order), costs)
        cells = sums.reshape(len(edges), len(order))
        # Only the months and components that have rows.
        present, used = present.astype(bool), first >= 0
        if not present.all():
            cells, labels = cells[present], _month_labels(months[present])
        if not used.all():
            cells, order = cells[:, used], [name for name, u in zip(order, used) if u]
        currencies = _in_order(_column(self, "currency", at, self))
        if len(currencies) == 1 and "total" not in order:  # no total across currencies
            # The table's own row sum: column by column, missing cells counting as nothing.
            known = np.where(np.isnan(cells), 0.0, cells)
            total = known[:, 0].copy() if len(order) else np.zeros(len(cells))
            for k in range(1, len(order)):
                total += known[:, k]
            cells, order = np.column_stack([cells, total]), [*order, "total"]
        columns = _labels(tuple(order))
        columns.name = "/".join(currencies)
        table = pd.DataFrame(cells, index=_labels(labels), columns=columns, copy=False)
        if len(currencies) == 1 and order[-1] != "total":
            table["total"] = table.sum(axis=1)
            table.columns.name = columns.name
        return table

    def total(self) -> pd.Series:
        """Cost per component over the whole period, with the total."""
        out = pd.DataFrame(self).groupby("component", sort=False)["cost"].sum()
        if self["currency"].nunique() == 1:
            out["total"] = out.sum()
        return out


def tidy(results: list[ComponentResult], zone: dt.tzinfo) -> CostFrame:
    columns = ["component", "start", "resolution", "cost", "currency"]
    if not results:
        return CostFrame(pd.DataFrame(columns=columns))
    # Every cost series one after another without its missing values, in one native pass.
    instants, costs, kept = meter.native()._stack_present([r.cost for r in results])
    sizes = kept.tolist()

    def repeated(values: list[str]) -> pd.Categorical:
        # One code per row: a categorical column costs a byte a row where strings cost an
        # object each; categories keep the tariff's order.
        dtype, code = _categories(tuple(dict.fromkeys(values)))
        kind = np.int8 if len(code) < 128 else np.int32
        codes = np.repeat(np.array([code[v] for v in values], dtype=kind), sizes)
        return pd.Categorical.from_codes(codes, dtype=dtype, validate=False)

    return _cost_frame(
        [
            repeated([r.public.name for r in results]),
            meter.instants(instants, zone).array,
            repeated([r.component.cost.resolution.value for r in results]),
            costs,
            repeated([r.currency for r in results]),
        ]
    )


_COST_COLUMNS = ("component", "start", "resolution", "cost", "currency")


def _cost_frame(arrays: list[Any]) -> CostFrame:
    """The cost frame of its five columns, each a new array of its own (two categoricals, the
    instants, the float64 costs, a categorical)."""
    return _by_blocks(arrays) if _FAST_FRAME else _by_constructor(arrays)


def _by_constructor(arrays: list[Any]) -> CostFrame:
    return CostFrame(dict(zip(_COST_COLUMNS, arrays)), copy=False)


def _by_blocks(arrays: list[Any]) -> CostFrame:
    # One block per column, as the constructor makes them, without its inference and checks
    # of every column (which cost more than the rest of the frame).
    assert _from_blocks is not None
    blocks = [
        (a.reshape(1, -1) if isinstance(a, np.ndarray) else a, np.array([k]))
        for k, a in enumerate(arrays)
    ]
    built = _from_blocks(blocks, pd.RangeIndex(len(arrays[3])), _labels(_COST_COLUMNS))
    # The frame's own manager under the subclass: its constructor would check it again.
    frame: CostFrame = CostFrame._from_mgr(built._mgr, axes=built._mgr.axes)
    return frame


def _fast_frame_usable() -> bool:
    """Whether this pandas builds a frame from its blocks, and builds what its constructor
    builds from the same columns."""
    if _from_blocks is None:
        return False

    def probe() -> list[Any]:
        def categorical(codes: list[int], categories: list[str]) -> pd.Categorical:
            return pd.Categorical.from_codes(np.array(codes, dtype=np.int8), categories)

        instants = np.array([0, meter.QUARTER.value], dtype=np.int64)
        return [
            categorical([0, 1], ["a", "b"]),
            meter.instants(instants, dt.timezone(dt.timedelta(hours=-5))).array,
            categorical([0, 0], ["quarter_hourly"]),
            np.array([1.0, 2.0]),
            categorical([0, 0], ["SEK"]),
        ]

    try:
        arrays = probe()
        fast, slow = _by_blocks(arrays), _by_constructor(probe())
        pd.testing.assert_frame_equal(fast, slow, check_exact=True)

        def kinds(frame: pd.DataFrame) -> list[Any]:
            return [(type(b), b.mgr_locs.as_array.tolist(), b.shape) for b in frame._mgr.blocks]

        return bool(
            type(fast) is CostFrame
            and kinds(fast) == kinds(slow)
            and type(fast.index) is type(slow.index)
            and type(fast.columns) is type(slow.columns)
            and np.shares_memory(fast["cost"].to_numpy(), arrays[3])
        )
    except (AttributeError, AssertionError, TypeError, ValueError):
        return False


try:  # pandas 3: a frame from its blocks, for libraries that build frames
    from pandas.api.internals import create_dataframe_from_blocks as _from_blocks
except ImportError:  # pandas 2.2
    _from_blocks = None


def _memoized(function: Callable[..., T]) -> Callable[..., T]:
    """`function` remembered for the last arguments it saw (bills of one period ask the same
    few again and again); arguments without a hash are simply not remembered."""
    cached = functools.lru_cache(maxsize=256)(function)

    @functools.wraps(function)
    def call(*args: Any) -> T:
        try:
            hash(args)
        except TypeError:
            return function(*args)
        return cached(*args)

    return call


@_memoized
def _local_month(utc_ns: int, zone: dt.tzinfo | None) -> np.datetime64:
    """The local month of an instant in `zone` (UTC's when None)."""
    local = pd.Timestamp(utc_ns, tz="UTC").tz_convert(zone).tz_localize(None)
    return np.datetime64(local, "M")


@_memoized
def _months_between(
    first_ns: int, last_ns: int, zone: dt.tzinfo | None
) -> tuple[np.ndarray, np.ndarray, tuple[str, ...]]:
    """The local months from the one of instant `first_ns` to the one of `last_ns` in `zone`
    (UTC's when None): the months, the UTC nanoseconds at which each begins and their labels
    (YYYY-MM); read-only, as they are shared."""
    lo, hi = _local_month(first_ns, zone), _local_month(last_ns, zone)
    months = np.arange(lo, hi + 1)
    months.flags.writeable = False
    return months, _month_starts(lo, hi, zone), _month_labels(months)


def _month_labels(months: np.ndarray) -> tuple[str, ...]:
    return tuple(np.datetime_as_string(months, unit="M").tolist())


@_memoized
def _month_starts(lo: np.datetime64, hi: np.datetime64, zone: dt.tzinfo | None) -> np.ndarray:
    """The UTC nanoseconds at which each local month from `lo` to `hi` begins (the instants
    themselves without a zone); read-only, as it is shared."""
    firsts = pd.DatetimeIndex(np.arange(lo, hi + 1).astype("datetime64[ns]"))
    placed = firsts.tz_localize(zone) if zone is not None else firsts
    edges: np.ndarray = placed.as_unit("ns").asi8.copy()
    edges.flags.writeable = False
    return edges


@functools.lru_cache(maxsize=256)
def _label_index(labels: tuple[Any, ...]) -> pd.Index:
    return pd.Index(list(labels))


def _labels(labels: tuple[Any, ...]) -> pd.Index:
    """The index of these labels: made once (inferring the dtype of text labels costs more
    than the table), handed out as a view of its own so that naming it names only one."""
    try:
        return _label_index(labels).view()
    except TypeError:  # labels without a hash
        return pd.Index(list(labels))


def _positions(frame: pd.DataFrame) -> dict[str, list[int]]:
    """Where each text label stands among the frame's columns. Read off the labels: asking
    their hash table would build it, which costs more on a new frame than all the rest."""
    at: dict[str, list[int]] = {}
    for i, label in enumerate(_listed(frame.columns)):
        if type(label) is str:
            at.setdefault(label, []).append(i)
    return at


def _column(
    frame: pd.DataFrame,
    name: str,
    positions: dict[str, list[int]],
    or_from: pd.DataFrame | None = None,
) -> Any:
    """The array of the frame's column `name` as the door writes it (categorical, instants or
    float64), by its one position; otherwise `or_from[name]` (a Series, or the usual
    errors), or None without `or_from`."""
    at = positions.get(name, [])
    if len(at) == 1 and _COLUMN_ARRAYS:
        array = frame._get_column_array(at[0])
        # The arrays the door writes; any other is read as a Series reads it.
        if isinstance(array, pd.Categorical | pd.arrays.DatetimeArray) or (
            isinstance(array, np.ndarray) and array.dtype == np.float64
        ):
            return array
    return None if or_from is None else or_from[name]


# Whether this pandas gives a column's array by position (an internal of pandas 2.2 and 3).
_COLUMN_ARRAYS = callable(getattr(pd.DataFrame, "_get_column_array", None))


# The labels of indexes the door hands out again and again (its columns, its categories), as
# a list: listing text labels costs more than the table they name. Kept with the labels' own
# array (whose identity is the key), which no one changes.
_LISTED: dict[int, tuple[Any, list[Any]]] = {}


def _listed(index: pd.Index) -> list[Any]:
    array = index._values  # the index's own array (its `array` may wrap it anew)
    held = _LISTED.get(id(array))
    if held is None or held[0] is not array:
        if len(_LISTED) >= 256:
            _LISTED.clear()
        held = _LISTED[id(array)] = (array, index.tolist())
    return held[1]


def _codes(column: Any) -> tuple[np.ndarray, list[Any]]:
    """A code per row and the values the codes stand for; a categorical column gives its own
    (categories in their order), any other is factorised (values in order of appearance)."""
    if isinstance(column.dtype, pd.CategoricalDtype):
        array = column.array if isinstance(column, pd.Series) else column
        return array.codes, list(_listed(array.categories))
    codes, uniques = pd.factorize(column.to_numpy())
    return codes, list(uniques)


def _in_order(column: Any) -> list[Any]:
    """The distinct values of a column in order of appearance."""
    if not isinstance(column.dtype, pd.CategoricalDtype):
        return list(pd.unique(column))
    array = column.array if isinstance(column, pd.Series) else column
    codes, categories = array.codes, array.categories
    try:
        first = meter.native()._first_rows(codes, len(categories))
    except ValueError:  # missing values: as pandas orders them
        return list(pd.unique(column))
    present = np.flatnonzero(first >= 0)
    listed = _listed(categories)
    return [listed[c] for c in present[np.argsort(first[present])]]


@functools.lru_cache(maxsize=256)
def _categories(categories: tuple[str, ...]) -> tuple[pd.CategoricalDtype, dict[str, int]]:
    # The same few names in every frame: their dtype is made once (it validates them).
    return pd.CategoricalDtype(list(categories)), {c: i for i, c in enumerate(categories)}


def resolve_tariff(
    tariff: str | uuid.UUID | Tariff | Mapping[str, Any],
    catalogue: str | os.PathLike[str] | None = None,
) -> Tariff:
    if isinstance(tariff, Tariff):
        return tariff
    if isinstance(tariff, Mapping):
        return Tariff.model_validate(tariff)
    if isinstance(tariff, str | uuid.UUID):
        return tariffs.find(str(tariff), catalogue).tariff
    raise TypeError(f"tariff must be an id, a name or a Tariff, got {type(tariff).__name__}")


# Catalogue tariffs as read and converted, by (path, modification time, size): pricing the
# same unchanged file again neither reads nor converts it. Only `cost` uses them, to read.
_CONVERTED: dict[tuple[str, int, int], tuple[Tariff, list[tuple[PublicComponent, Any]]]] = {}
_CONVERTED_MAX = 64


def _tariff_and_components(
    tariff: str | uuid.UUID | Tariff | Mapping[str, Any],
    catalogue: str | os.PathLike[str] | None,
) -> tuple[Tariff, list[tuple[PublicComponent, Any]]]:
    """The tariff `cost` prices and its components with their engine records."""
    key = None
    if isinstance(tariff, str | uuid.UUID):
        try:
            # Plain strings: this runs on every call, and a file that is there says its
            # directory is too (the lookup below explains whatever is missing).
            path = os.path.join(
                tariffs.catalogue_folder(catalogue), f"{uuid.UUID(str(tariff))}.json"
            )
            st = os.stat(path)
            key = (path, st.st_mtime_ns, st.st_size)
        except (ValueError, OSError):  # not an id, or no such file: the lookup explains
            key = None
        if key is not None and key in _CONVERTED:
            return _CONVERTED[key]
    chosen = resolve_tariff(tariff, catalogue)
    pairs = engine_components(chosen)
    if key is not None:
        if len(_CONVERTED) >= _CONVERTED_MAX:
            _CONVERTED.clear()
        _CONVERTED[key] = (chosen, pairs)
    return chosen, pairs


def _dataset_id(key: object) -> str:
    if isinstance(key, str):
        return key
    if hasattr(key, "id") and isinstance(key.id, str):
        return key.id
    raise TypeError(f"consumption keys must be dataset ids or Datasets, got {type(key).__name__}")


def cost(
    tariff: str | uuid.UUID | Tariff,
    consumption: pd.Series | Mapping[str | Dataset, pd.Series],
    start: dt.datetime | str | None = None,
    end: dt.datetime | str | None = None,
    *,
    timezone: str | dt.tzinfo | None = None,
    catalogue: str | os.PathLike[str] | None = None,
    allow_export: bool = ALLOW_EXPORT,
) -> CostFrame:
    """What energy costs under a tariff, per component and interval.

    `tariff` is a catalogue tariff's id, unique id prefix or name (the catalogue in use:
    `catalogue`, else $OSTRELPY_CATALOGUE, else the bundled one), or a `Tariff`.
    `consumption` is a pandas Series of kWh per interval, indexed by interval starts (any
    interval from a minute to a day: finer data is summed, coarser spread evenly over each
    dataset's periods), or a mapping of dataset ids (or `Dataset`s) to such series when the
    tariff has several datasets; a series given for a dataset in kW is that power, averaged
    over each period. Values must be numbers (not strings or booleans).
    `start` and `end` (on quarter-hours, inside the data) default to the data's span.
    `timezone` places naive times (index, `start`, `end`; a repeated autumn hour is read in
    order); without it they are refused.
    Negative values are net export: refused unless `allow_export` (default False, as on the
    command line); then the consumption datasets get the import part and the exported energy
    is reported as the result's `exported_kwh`.
    Returns a `CostFrame`; `.monthly()` sums it per local month, `.coverage` names what it
    does not cover.
    """
    chosen, pairs = _tariff_and_components(tariff, catalogue)
    zone = _zone(pairs)
    naive_zone = _as_zone(timezone)
    needed = {d.id: d.unit.value for _, c in pairs for d in c.datasets}
    if isinstance(consumption, pd.Series):
        if len(needed) > 1:
            raise ValueError(
                f"tariff {chosen.name!r} needs datasets {', '.join(sorted(needed))}: pass a "
                "mapping of dataset ids to series"
            )
        only = next(iter(needed), "consumption")
        if needed.get(only, "kWh") != "kWh":
            raise ValueError(
                f"tariff {chosen.name!r} needs dataset {only!r} in {needed[only]}: pass "
                f"{{{only!r}: series}} to give the series as that quantity"
            )
        given = {only: consumption}
    elif isinstance(consumption, Mapping):
        given = {_dataset_id(k): v for k, v in consumption.items()}
    else:
        raise TypeError(
            f"consumption must be a pandas Series or a mapping of them, "
            f"got {type(consumption).__name__}"
        )
    readings = {
        # The readings live only as long as this call: they may view the caller's values.
        k: meter.from_series(
            _placed(v, k, naive_zone),
            name=k,
            calendar_zone=zone,
            allow_export=allow_export,
            copy=False,
        )
        for k, v in given.items()
    }
    lo = None if start is None else parse_instant(start, "start", naive_zone, "timezone")
    hi = None if end is None else parse_instant(end, "end", naive_zone, "timezone")
    lo, hi = window(list(readings.values()), lo, hi, zone, ("start", "end"))
    inputs = Inputs(readings, lo, hi, power=True)
    engines = [c for _, c in pairs]
    results = evaluate(
        chosen, inputs, lo.to_pydatetime(), hi.to_pydatetime(), engines, costs_only=True
    )
    gaps, notes = covered(chosen, inputs, lo, hi, engines)
    return annotated(tidy(results, zone), gaps, notes, inputs.exported_kwh())


def _as_zone(timezone: str | dt.tzinfo | None) -> dt.tzinfo | None:
    if timezone is None or isinstance(timezone, dt.tzinfo):
        return timezone
    if isinstance(timezone, str):
        try:
            return meter.parse_zone(timezone)
        except ValueError as exc:
            raise ValueError(f"timezone: {exc}") from None
    raise TypeError(f"timezone must be a zone name or a tzinfo, got {type(timezone).__name__}")


def _placed(series: Any, name: str, zone: dt.tzinfo | None) -> Any:
    """A series with naive interval starts placed in `zone` (a repeated hour in order)."""
    index = getattr(series, "index", None)
    if not isinstance(index, pd.DatetimeIndex) or index.tz is not None:
        return series
    if zone is None:
        raise meter.MeterError(
            f"{name}: the index must hold time-zone-aware interval starts, or pass "
            "timezone= to read naive ones (e.g. timezone='Europe/Stockholm')"
        )
    rows = np.arange(len(index))
    utc = meter._localize_naive(name, index.as_unit("ns"), zone, rows)
    return series.set_axis(pd.DatetimeIndex(utc.astype("datetime64[ns]"), tz="UTC"))


def _zone(pairs: list[tuple[PublicComponent, Any]]) -> dt.tzinfo:

    return meter.zone_named(pairs[0][1].timezone) if pairs else dt.UTC


def single_zone(pairs: list[tuple[PublicComponent, Any]]) -> dt.tzinfo | None:
    """The tariff's time zone when all its components share one, else None."""
    zones = {c.timezone for _, c in pairs}
    if len(zones) != 1:
        return None
    from ostrelpy.bindings import _engine

    return _engine.timezone_from_str(zones.pop())


def annotated(
    frame: CostFrame,
    gaps: list[coverage.Gap] | None = None,
    notes: list[str] | None = None,
    exported_kwh: float = 0.0,
) -> CostFrame:
    """`frame` with what it does not cover beside it (see `CostFrame`)."""
    frame.coverage = list(gaps or [])
    frame.notes = list(notes or [])
    frame.exported_kwh = float(exported_kwh)
    return frame


def covered(
    tariff: Tariff,
    inputs: Inputs,
    start: pd.Timestamp,
    end: pd.Timestamp,
    engines: list[Any] | None = None,
) -> tuple[list[coverage.Gap], list[str]]:
    """What a bill of [start, end) does not cover, and how its partial periods are charged;
    `engines` are the tariff's components as engine records when the caller has them."""
    if engines is None:
        engines = [c for _, c in engine_components(tariff)]
    gaps = coverage.inactive(engines, start, end)
    gaps += coverage.missing_data(engines, inputs.readings, start, end)
    order = {c.name: i for i, c in reversed(list(enumerate(engines)))}
    gaps.sort(key=lambda g: (order[g.component], g.start))
    return gaps, coverage.partial_periods(engines, start, end)


_FAST_FRAME = _fast_frame_usable()
