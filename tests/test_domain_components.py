import datetime as dt
import json
import subprocess
import sys
import uuid
from pathlib import Path

import pytest
from conftest import dataset_data
from conftest import level_data as level
from pydantic import ValidationError

from ostrelpy.bindings import _engine as e

CATALOGUE = Path(__file__).parents[1] / "src" / "ostrelpy" / "catalogue"
SE_TARIFF = json.loads((CATALOGUE / "5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f.json").read_text("utf-8"))
TZ = dt.timezone(dt.timedelta(hours=1))


def ds(id_, resolution="quarter_hourly", unit="kWh"):
    return dataset_data(id_, resolution, unit)


def component(functions, datasets=(ds("x"),), cost=None, **extra):
    data = {
        "id": str(uuid.uuid4()),
        "name": "Energiskatt",
        "timezone": "Europe/Stockholm",
        "datasets": list(datasets),
        "functions": functions,
        "cost": cost or functions[-1]["output"],
    }
    data.update(extra)
    return data


def mul(left, right, output):
    return {"type": "multiply", "left": left, "right": right, "output": output}


TAX = mul(ds("x"), level(0.439, "SEK_per_kWh"), ds("y", unit="SEK"))


def refused(data):
    with pytest.raises(ValidationError) as info:
        e.TariffComponent.model_validate(data)
    return str(info.value)


def test_the_example_tariff_validates_from_json():
    components = [
        e.TariffComponent.model_validate_json(json.dumps(c)) for c in SE_TARIFF["tariff_components"]
    ]
    assert [c.name for c in components] == [
        "Energiskatt",
        "Överföringsavgift",
        "Effektavgift",
        "Abonnemangsavgift",
    ]
    transfer, peak = components[1], components[2]
    assert isinstance(transfer.functions[1], e.Mask)
    assert transfer.collect_holidays()[0] is e.Holiday.SE_ANNANDAG_JUL
    assert transfer.collect_holidays() == sorted(transfer.collect_holidays())
    assert peak.collect_holidays() == []  # value conditions name no holiday
    assert isinstance(peak.functions[3].condition, e.HighestCondition)
    assert components[3].datasets == []


def test_minimal_pipeline_and_cost_rules():
    ok = e.TariffComponent.model_validate(component([TAX]))
    assert ok._validate_pipeline() is ok
    msg = refused(component([TAX], cost=ds("x")))
    assert "Dataset(s) ['y'] are never used" in msg


@pytest.mark.parametrize(
    "data, message",
    [
        (
            component([TAX], datasets=[ds("x"), ds("x", unit="kW"), ds("b"), ds("b"), ds("b")]),
            "Duplicate dataset id(s): ['b', 'x']",
        ),
        (
            component([mul(ds("z"), level(1.0, "SEK_per_kWh"), ds("y", unit="SEK"))]),
            "Function 0 (multiply) references unknown input 'z'. Available datasets: ['x']",
        ),
        (
            component([mul(ds("x"), level(1.0, "SEK_per_kWh"), ds("x", unit="SEK"))]),
            "Function 0 (multiply) produces output 'x' that conflicts with an existing dataset or "
            "function output",
        ),
        (
            component(
                [
                    TAX,
                    mul(ds("w", unit="SEK"), level(1.0, "%"), ds("v", unit="SEK")),
                    mul(ds("y", unit="SEK"), level(1.0, "%"), ds("w", unit="SEK")),
                ]
            ),
            "Function 1 (multiply) references unknown input 'w'. Available datasets: ['x', 'y']",
        ),
        (
            component([TAX], cost=ds("total", unit="SEK")),
            "Pipeline cost dataset 'total' is not produced by any function or dataset. "
            "Available datasets: ['x', 'y']",
        ),
        (component([TAX], datasets=[ds("x"), ds("spare")]), "Dataset(s) ['spare'] are never used"),
        (component([TAX], timezone="Mars/Olympus"), "Invalid timezone 'Mars/Olympus'"),
        (component([TAX], timezone="UTC+1:00"), "Invalid timezone 'UTC+1:00'"),
        (component([], cost=ds("y")), "too_short"),
        (component([dict(TAX, type="power")]), "union_tag_invalid"),
        (
            component([mul(ds("x"), level(1.0, "SEK_per_kWh"), ds("y", unit="NOK"))]),
            "Multiply: kWh × SEK_per_kWh should produce SEK, got NOK",
        ),
        (
            component([mul(ds("x"), ds("x", unit="kW"), ds("y", unit="SEK"))]),
            "Multiply: unsupported unit combination kWh × kW",
        ),
        (
            component(
                [
                    {
                        "type": "aggregate",
                        "input": ds("x"),
                        "resolution": "quarter_hourly",
                        "aggregation_function": "sum",
                        "output": ds("y"),
                    }
                ]
            ),
            "Aggregate resolution (quarter_hourly) must be coarser than input resolution "
            "(quarter_hourly)",
        ),
        (
            component(
                [
                    {
                        "type": "select",
                        "input": ds("x", "daily"),
                        "output": ds("y", "daily"),
                        "condition": {
                            "type": "time_of_day",
                            "from_time": "07:00",
                            "to_time": "19:00",
                        },
                    }
                ],
                datasets=[ds("x", "daily")],
            ),
            "Select condition requires resolution hourly or finer, but input has resolution daily",
        ),
        (
            component([{"type": "add", "inputs": [ds("x"), ds("x", "hourly")], "output": ds("y")}]),
            "All Dataset resolutions must match, got",
        ),
    ],
)
def test_wiring_unit_and_resolution_mistakes(data, message):
    assert message in refused(data)


def test_block_errors_stop_before_the_pipeline_check():
    # A field error in a block: the pipeline check never runs (it would name 'q').
    bad = component([mul(ds("q"), level(1.0, "SEK_per_kWh"), ds("y", unit="NOK"))])
    msg = refused(bad)
    assert "should produce SEK" in msg and "references unknown input" not in msg


@pytest.mark.parametrize(
    "applicable_from, applicable_to, active",
    [
        (None, None, True),
        (None, dt.datetime(2025, 1, 1, tzinfo=TZ), False),  # ends where the request starts
        (dt.datetime(2025, 2, 1, tzinfo=TZ), None, False),  # starts where the request ends
        (dt.datetime(2025, 1, 1, tzinfo=TZ), None, True),  # starts with the request
        (dt.datetime(2024, 1, 1, tzinfo=TZ), dt.datetime(2025, 1, 2, tzinfo=TZ), True),
    ],
)
def test_is_active_in_period(applicable_from, applicable_to, active):
    c = e.TariffComponent.model_validate(
        component([TAX], applicable_from=applicable_from, applicable_to=applicable_to)
    )
    start, end = dt.datetime(2025, 1, 1, tzinfo=TZ), dt.datetime(2025, 2, 1, tzinfo=TZ)
    assert c.is_active_in_period(start, end) is active


def test_naive_window_against_aware_bound_is_a_type_error():
    c = e.TariffComponent.model_validate(
        component([TAX], applicable_to=dt.datetime(2025, 1, 1, tzinfo=TZ))
    )
    with pytest.raises(TypeError):
        c.is_active_in_period(dt.datetime(2025, 1, 1), dt.datetime(2025, 2, 1))


def test_collect_holidays_through_nested_conditions():
    exclude = {"type": "exclude_holidays", "holidays": ["se/juldagen", "se/julafton"]}
    cond = {"type": "and", "conditions": [{"type": "not", "condition": exclude}, exclude]}
    fns = [
        {"type": "select", "input": ds("x"), "condition": cond, "output": ds("a")},
        {
            "type": "mask",
            "input": ds("a"),
            "condition": exclude,
            "replacement": level(0.0, "kWh"),
            "output": ds("b"),
        },
    ]
    c = e.TariffComponent.model_validate(component(fns))
    assert c.collect_holidays() == [e.Holiday.SE_JULAFTON, e.Holiday.SE_JULDAGEN]


def test_schema_publishes_descriptions_and_examples():
    schema = e.TariffComponent.model_json_schema()
    props = schema["properties"]
    assert props["name"]["examples"][:2] == ["Energiskatt", "Överföringsavgift"]
    assert props["timezone"]["examples"] == ["Europe/Stockholm", "UTC+01:00"]
    assert props["cost"]["description"] == (
        "The pipeline's monetary cost output. Must match a function output or input dataset."
    )
    assert props["applicable_to"]["examples"] == ["2026-01-01T00:00:00+01:00"]
    assert "Identifier for this dataset." in json.dumps(schema)


def test_datasets_key_by_value_and_are_frozen():
    a = e.Dataset(id="x", resolution="hourly", unit="kWh")
    assert a == e.Dataset(id="x", resolution=e.Resolution.HOURLY, unit=e.Unit.KWH)
    assert hash(a) == hash(("x", "hourly", "kWh"))
    assert {a: 1}[e.Dataset.model_validate({"id": "x", "resolution": "hourly", "unit": "kWh"})] == 1
    with pytest.raises(ValidationError):
        a.id = "y"


def test_range():
    assert e.Range(minimum=1.0, unit="kW").maximum is None
    e.Range(minimum=1.0, maximum=2.0, unit="kW")
    with pytest.raises(ValidationError, match="2.0 >= 2.0"):
        e.Range(minimum=2, maximum=2, unit="kW")


def test_optimised_host_skips_assertion_checks_but_not_value_checks():
    code = """
import uuid
from pydantic import ValidationError
from ostrelpy.bindings import _engine as e
e.Range(minimum=5, maximum=3, unit="kW")
e.timezone_from_str("UTC+99:30") if False else None
print(e.timezone_from_str("UTC+1:00"))
d = {"id": "x", "resolution": "quarter_hourly", "unit": "kWh"}
f = {"type": "multiply", "left": d, "right": {"value": 1, "unit": "kW"},
     "output": dict(d, id="y", unit="NOK")}
e.TariffComponent(id=uuid.uuid4(), name="n", timezone="UTC", datasets=[d], functions=[f],
                  cost=f["output"])
try:
    e.TariffComponent(id=uuid.uuid4(), name="n", timezone="UTC", datasets=[d, d], functions=[f],
                      cost=f["output"])
except ValidationError as exc:
    print("refused" if "Duplicate dataset id(s): ['x']" in str(exc) else exc)
"""
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["UTC+01:00", "refused"]
