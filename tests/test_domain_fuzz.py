"""Random data thrown at the domain records gives only the host's ordinary errors."""

import gc
import json
import tracemalloc
import uuid

from conftest import dataset_data, validated
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pydantic import TypeAdapter, ValidationError

from ostrelpy.bindings import _engine as e

RECORDS = [
    e.Dataset,
    e.Level,
    e.Range,
    e.HolidayOccurrence,
    e.MonthCondition,
    e.DayOfWeekCondition,
    e.TimeOfDayCondition,
    e.ExcludeHolidaysCondition,
    e.AndCondition,
    e.OrCondition,
    e.NotCondition,
    e.HighestCondition,
    e.LowestCondition,
    e.TariffComponent,
]
CONDITION = TypeAdapter(e.Condition)

junk = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: (
        st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4)
    ),
    max_leaves=12,
)
ids = st.sampled_from(["x", "y", "z", "cost"])
dataset = st.fixed_dictionaries(
    {
        "id": ids,
        "resolution": st.sampled_from(["quarter_hourly", "hourly", "daily", "weekly"]),
        "unit": st.sampled_from(["kWh", "SEK", "kW", "SEK_per_kWh"]),
    }
)
level = st.fixed_dictionaries(
    {"value": st.floats() | st.integers(), "unit": st.sampled_from(["kWh", "SEK"])}
)
block = st.one_of(
    st.fixed_dictionaries(
        {"type": st.just("multiply"), "left": dataset, "right": level | dataset, "output": dataset}
    ),
    st.fixed_dictionaries(
        {"type": st.just("add"), "inputs": st.lists(dataset | level, max_size=3), "output": dataset}
    ),
    st.fixed_dictionaries(
        {
            "type": st.just("constant"),
            "value": level,
            "resolution": st.sampled_from(["hourly", "daily"]),
            "output": dataset,
        }
    ),
    junk,
)
component = st.fixed_dictionaries(
    {
        "id": st.just(str(uuid.uuid4())) | st.text(max_size=4),
        "name": st.text(max_size=5),
        "timezone": st.sampled_from(
            ["Europe/Stockholm", "UTC", "UTC+01:00", "UTC+99:00", "", "Nowhere/X"]
        )
        | st.text(max_size=9),
        "applicable_from": st.none() | st.sampled_from(["2025-01-01T00:00:00+01:00", "soon"]),
        "datasets": st.lists(dataset, max_size=3),
        "functions": st.lists(block, max_size=3),
        "cost": dataset | junk,
    }
)
anything = st.one_of(component, component, dataset, level, junk)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(anything)
def test_random_data_only_gives_ordinary_errors(data):
    attempts = [lambda cls=cls: cls.model_validate(data) for cls in RECORDS]
    attempts.append(lambda: CONDITION.validate_python(data))
    for record in validated(attempts):
        assert repr(type(record).model_validate(record.model_dump())) == repr(record)  # NaN-safe
        if isinstance(record, e.TariffComponent):
            record.collect_holidays()


def _ds(id_, unit="kWh"):
    return dataset_data(id_, "quarter_hourly", unit)


GOOD = {
    "id": str(uuid.uuid4()),
    "name": "Energiskatt",
    "timezone": "Europe/Stockholm",
    "datasets": [_ds("x")],
    "cost": _ds("c", "SEK"),
    "functions": [
        {
            "type": "multiply",
            "left": _ds("x"),
            "right": {"value": 0.4, "unit": "SEK_per_kWh"},
            "output": _ds("c", "SEK"),
        }
    ],
}
BAD = [
    dict(GOOD, timezone="UTC+1:00"),
    dict(GOOD, datasets=[_ds("x"), _ds("unused")]),
    dict(GOOD, cost=_ds("nothing", "SEK")),
]


def _round(n):
    text = json.dumps(GOOD)
    for _ in range(n):
        e.TariffComponent.model_validate_json(text).collect_holidays()
        for bad in BAD:
            try:
                e.TariffComponent.model_validate(bad)
            except ValidationError:
                pass
            else:
                raise AssertionError("invalid component accepted")


def test_repeated_component_validation_does_not_leak():
    _round(200)
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    _round(3_000)  # 12,000 validations
    gc.collect()
    grown = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(before, "filename"))
    tracemalloc.stop()
    assert grown < 256 * 1024, grown
