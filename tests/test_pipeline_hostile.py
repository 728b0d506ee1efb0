"""Hand-made and out-of-range input on the runner and the condition records: clear errors that
name what is wrong, never a silent result or a cast failure."""

import datetime as dt
import types
from zoneinfo import ZoneInfo

import pandas as pd
import pytest

from ostrelpy.bindings import _engine as e

TZ = ZoneInfo("Europe/Stockholm")
START = dt.datetime(2025, 1, 1, tzinfo=TZ)
QH = e.Dataset(id="c", resolution="quarter_hourly", unit="kWh")


@pytest.fixture(scope="module")
def tl():
    return e.Timeline.build(
        tz=TZ, start_time=START, end_time=START + dt.timedelta(days=1), holidays=[]
    )


@pytest.fixture(scope="module")
def component():
    qh = QH.model_dump()
    cost = {"id": "cost", "resolution": "quarter_hourly", "unit": "SEK"}
    return e.TariffComponent.model_validate(
        {
            "id": "3fa85f64-5717-4562-b3fc-2c963f66afa6",
            "name": "x",
            "timezone": "Europe/Stockholm",
            "datasets": [qh],
            "cost": cost,
            "functions": [
                {
                    "type": "multiply",
                    "left": qh,
                    "right": {"value": 1.0, "unit": "SEK_per_kWh"},
                    "output": cost,
                }
            ],
        }
    )


@pytest.mark.parametrize("value", [None, [1.0, 2.0], {"a": 1.0}, 3.0])
def test_an_input_that_is_no_series_names_the_dataset(tl, component, value):
    with pytest.raises(TypeError) as err:
        e.run_pipeline([component], {QH: value}, timeline=tl)
    assert str(err.value) == (
        f"dataset 'c': expected a pandas Series or a VariableSeries, got {type(value).__name__}"
    )


@pytest.mark.parametrize("col", [2**70, -1, 2**62 + 1, -(2**80)])
def test_a_first_column_no_model_can_have_is_refused(tl, component, col):
    series = pd.Series(1.0, index=tl.get_as("quarter_hourly"))
    with pytest.raises(ValueError) as err:
        e.run_pipeline([component], {QH: series}, timeline=tl, next_available_col=col)
    assert str(err.value) == f"next_available_col must be between 0 and 2**62, got {col}"


@pytest.mark.parametrize(
    "condition, message",
    [
        (e.MonthCondition.model_construct(months=[2**64]), f"month {2**64} is out of range 1..12"),
        (e.MonthCondition.model_construct(months=[13]), "month 13 is out of range 1..12"),
        (e.DayOfWeekCondition.model_construct(days=[0]), "day of week 0 is out of range 1..7"),
        (
            e.DayOfWeekCondition.model_construct(days=[-(2**70)]),
            f"day of week {-(2**70)} is out of range 1..7",
        ),
        (
            e.TimeOfDayCondition.model_construct(
                from_time=types.SimpleNamespace(hour=99, minute=0), to_time=dt.time(5)
            ),
            "hour 99 is out of range 0..23",
        ),
        (
            e.TimeOfDayCondition.model_construct(
                from_time=dt.time(1), to_time=types.SimpleNamespace(hour=2, minute=2**63)
            ),
            f"minute {2**63} is out of range 0..59",
        ),
    ],
)
def test_out_of_range_condition_fields_are_refused(tl, condition, message):
    with pytest.raises(ValueError) as err:
        tl.match_time_condition(condition)
    assert str(err.value) == message


def test_a_condition_field_that_is_no_integer_is_a_type_error(tl):
    with pytest.raises(TypeError):
        tl.match_time_condition(e.MonthCondition.model_construct(months=["6"]))
    with pytest.raises(TypeError):
        tl.match_time_condition(e.MonthCondition.model_construct(months=[6.0]))
