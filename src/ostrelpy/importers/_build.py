"""Writing tariff components as plain block descriptions, and the checks every importer shares.

Importers describe each component as a `Pipeline` of steps; `make_tariff` turns the result
into a public `Tariff` and validates every component with the engine, so nothing an importer
writes can reach a catalogue without passing the same checks as a hand-written tariff.
"""

from __future__ import annotations

import datetime as dt
import math
import uuid
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, NoReturn

from pydantic import ValidationError

from ostrelpy.models import Tariff

# A JSON object: a field of a published document, or one of the plain descriptions written
# here (a dataset, a level, a condition, a step).
Node = dict[str, Any]
# A dataset as a step's operand or output: id, resolution and unit.
DatasetRef = dict[str, str]

QH = "quarter_hourly"
ENERGY = {"id": "consumption", "resolution": QH, "unit": "kWh"}

# Tier limits at or above this are the databases' way of writing "no limit".
UNLIMITED = 1e37


class TariffImportError(ValueError):
    """A document that cannot be imported exactly; one reason per line of the message."""

    def __init__(self, reasons: Sequence[str]):
        self.reasons = list(reasons)
        super().__init__("\n".join(self.reasons))


@dataclass
class Imported:
    """What an importer made of a document: the tariffs, and one note per tariff of what was
    left out (with `approximate=True`) or assumed."""

    tariffs: list[Tariff]
    report: list[str] = field(default_factory=list)


class Fault(Exception):
    """A document field that does not follow its format; `where` names the rate and field."""


def fail(where: str, problem: str) -> NoReturn:
    raise Fault(f"{where}: {problem}")


def number(value: Any, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, int | float) or not math.isfinite(value):
        fail(where, f"expected a number, got {value!r}")
    return float(value)


def ds(id: str, resolution: str, unit: str) -> DatasetRef:
    return {"id": id, "resolution": resolution, "unit": unit}


def level(value: float, unit: str) -> Node:
    return {"value": float(value), "unit": unit}


# Conditions -------------------------------------------------------------------------------


def months(ms: Iterable[int]) -> Node:
    return {"type": "month", "months": sorted(ms)}


def weekdays(days: Iterable[int]) -> Node:
    return {"type": "day_of_week", "days": sorted(days)}


def time_of_day(start: dt.time, end: dt.time) -> Node:
    return {"type": "time_of_day", "from_time": start.isoformat(), "to_time": end.isoformat()}


def all_of(conditions: Sequence[Node | None]) -> Node | None:
    """And of the conditions (a None among them always holds, so it adds nothing); None
    (always) when none is left."""
    present = [c for c in conditions if c is not None]
    if not present:
        return None
    return present[0] if len(present) == 1 else {"type": "and", "conditions": present}


def any_of(conditions: Sequence[Node | None]) -> Node | None:
    """Or of the conditions; None (always) when one of them always holds."""
    if any(c is None for c in conditions):
        return None
    return conditions[0] if len(conditions) == 1 else {"type": "or", "conditions": conditions}


def negate(condition: Node) -> Node:
    if condition["type"] == "not":
        inner: Node = condition["condition"]
        return inner
    return {"type": "not", "condition": condition}


def hour_ranges(hours: Iterable[int]) -> list[tuple[int, int]]:
    """Runs of consecutive hours as [start, end) pairs; a run that reaches midnight is joined
    to one that starts there, giving a range that wraps (22-06)."""
    hs = sorted(set(hours))
    runs: list[list[int]] = []
    for h in hs:
        if runs and runs[-1][1] == h:
            runs[-1][1] = h + 1
        else:
            runs.append([h, h + 1])
    if len(runs) > 1 and runs[0][0] == 0 and runs[-1][1] == 24:
        runs[0][0] = runs.pop()[0]
    return [(a, b) for a, b in runs]


def hours_condition(hours: Iterable[int]) -> Node | None:
    ranges = hour_ranges(hours)
    if ranges == [(0, 24)]:
        return None
    return any_of([time_of_day(dt.time(a), dt.time(b % 24)) for a, b in ranges])


# Pipelines --------------------------------------------------------------------------------


class Pipeline:
    """The steps of one component; every step's output gets an id of its own."""

    def __init__(self) -> None:
        self.datasets: list[DatasetRef] = []
        self.functions: list[Node] = []
        self._ids: set[str] = set()

    def energy(self) -> DatasetRef:
        if ENERGY not in self.datasets:
            self.datasets.append(dict(ENERGY))
            self._ids.add(ENERGY["id"])
        return dict(ENERGY)

    def input(self, dataset: DatasetRef) -> DatasetRef:
        if dataset not in self.datasets:
            self.datasets.append(dict(dataset))
            self._ids.add(dataset["id"])
        return dict(dataset)

    def _out(self, name: str, resolution: str, unit: str) -> DatasetRef:
        base, n = name, 1
        while name in self._ids:
            n += 1
            name = f"{base}_{n}"
        self._ids.add(name)
        return ds(name, resolution, unit)

    def step(
        self, kind: str, name: str, resolution: str, unit: str, /, **fields: Any
    ) -> DatasetRef:
        out = self._out(name, resolution, unit)
        self.functions.append({"type": kind, **fields, "output": out})
        return out

    # Shorthands; `x` is a dataset, `y` and the items of `add` are datasets or levels.
    def constant(self, name: str, value: float, unit: str, resolution: str) -> DatasetRef:
        return self.step(
            "constant", name, resolution, unit, value=level(value, unit), resolution=resolution
        )

    def multiply(self, name: str, x: Node, y: Node, unit: str) -> DatasetRef:
        return self.step("multiply", name, _res(x, y), unit, left=x, right=y)

    def divide(self, name: str, x: DatasetRef, y: Node, unit: str) -> DatasetRef:
        return self.step("divide", name, x["resolution"], unit, numerator=x, denominator=y)

    def subtract(self, name: str, x: DatasetRef, y: Node) -> DatasetRef:
        return self.step("subtract", name, _res(x, y), x["unit"], left=x, right=y)

    def add(self, name: str, items: Sequence[Node]) -> Node:
        if len(items) == 1:
            return items[0]
        return self.step("add", name, _res(*items), items[0]["unit"], inputs=list(items))

    def aggregate(self, name: str, x: DatasetRef, resolution: str, how: str) -> DatasetRef:
        return self.step(
            "aggregate",
            name,
            resolution,
            x["unit"],
            input=x,
            resolution=resolution,
            aggregation_function=how,
        )

    def resample(self, name: str, x: DatasetRef, resolution: str) -> DatasetRef:
        return self.step("resample", name, resolution, x["unit"], input=x, resolution=resolution)

    def mask(
        self, name: str, x: DatasetRef, condition: Node | None, replacement: Node
    ) -> DatasetRef:
        return self.step(
            "mask",
            name,
            x["resolution"],
            x["unit"],
            input=x,
            condition=condition,
            replacement=replacement,
        )

    def select(self, name: str, x: DatasetRef, condition: Node) -> DatasetRef:
        return self.step("select", name, x["resolution"], x["unit"], input=x, condition=condition)

    def clip(
        self, name: str, x: DatasetRef, minimum: Node | None = None, maximum: Node | None = None
    ) -> DatasetRef:
        bounds = {k: v for k, v in (("minimum", minimum), ("maximum", maximum)) if v is not None}
        return self.step("clip", name, x["resolution"], x["unit"], input=x, **bounds)

    def mean_of_highest(self, name: str, x: DatasetRef, n: int, resolution: str) -> DatasetRef:
        """The mean of the `n` highest values of each period (the highest when `n` is 1)."""
        if n == 1:
            return self.aggregate(name, x, resolution, "max")
        highest = {"type": "highest", "n": n, "resolution": resolution}
        return self.aggregate(name, self.select(f"{name}_top", x, highest), resolution, "mean")

    def keep_only(self, name: str, x: DatasetRef, condition: Node | None) -> DatasetRef:
        """`x` where the condition holds and 0 elsewhere (0, not missing, so that sums and
        maxima over periods where the condition never holds stay defined)."""
        if condition is None:
            return x
        return self.mask(name, x, negate(condition), level(0.0, x["unit"]))

    def tiered(
        self,
        name: str,
        x: DatasetRef,
        tiers: Sequence[tuple[float, float]],
        rate_unit: str,
        currency: str,
        per_kw: DatasetRef | None = None,
    ) -> Node | None:
        """Block pricing: each (limit, rate) tier prices the part of `x` between the previous
        limit and its own (`math.inf` for the last). With `per_kw` (a kW dataset) the limits
        are hours of that demand (kWh per kW). None when every rate is zero."""

        def amount(value: float) -> Node:
            if per_kw is None:
                return level(value, x["unit"])
            return self.multiply(f"{name}_limit", per_kw, level(value, "hours"), x["unit"])

        parts: list[Node] = []
        lower = 0.0
        for upper, rate in tiers:
            if rate != 0.0:
                part = x if lower == 0.0 else self.subtract(f"{name}_above", x, amount(lower))
                top = None if math.isinf(upper) else amount(upper - lower)
                part = self.clip(f"{name}_tier", part, level(0.0, x["unit"]), top)
                parts.append(self.multiply(f"{name}_cost", part, level(rate, rate_unit), currency))
            lower = upper
        return self.add(name, parts) if parts else None


# A component as written: its pipeline and the dataset of its cost.
Made = tuple[Pipeline, DatasetRef]


def _res(*items: Node) -> str:
    for item in items:
        if "resolution" in item:
            resolution: str = item["resolution"]
            return resolution
    raise AssertionError("a step needs at least one dataset operand")


def component(
    key: str,
    name: str,
    timezone: str,
    pipeline: Pipeline,
    cost: DatasetRef,
    applicable_from: dt.datetime | None = None,
    applicable_to: dt.datetime | None = None,
) -> Node:
    return {
        "id": str(uuid.uuid5(uuid.NAMESPACE_URL, key)),
        "name": name,
        "applicable_from": applicable_from,
        "applicable_to": applicable_to,
        "timezone": timezone,
        "datasets": pipeline.datasets,
        "functions": pipeline.functions,
        "cost": cost,
    }


def make_tariff(where: str, data: Node) -> Tariff:
    """The public record, with every component validated by the engine as well."""
    from ostrelpy.bindings import _engine
    from ostrelpy.tariffs import validation_summary

    # Sources quote documents' own texts, line breaks included; a description is one line.
    data = {**data, "description": " ".join(str(data.get("description") or "").split()) or None}
    try:
        tariff = Tariff.model_validate(data)
        for c in tariff.tariff_components:
            _engine.TariffComponent.model_validate(c.model_dump())
    except ValidationError as exc:
        summary = validation_summary(exc)
        raise Fault(f"{where}: the imported tariff does not validate: {summary}") from None
    return tariff


def check_timezone(where: str, zone: Any) -> str:
    from ostrelpy.bindings import _engine

    if not isinstance(zone, str) or not zone:
        fail(where, f"expected a time zone name, got {zone!r}")
    try:
        _engine.timezone_from_str(zone)
    except Exception as exc:  # the engine's own message says what is wrong with it
        fail(where, f"unknown time zone {zone!r} ({exc})")
    return zone


def zone_of(zone: str) -> dt.tzinfo:
    from ostrelpy.bindings import _engine

    return _engine.timezone_from_str(zone)
