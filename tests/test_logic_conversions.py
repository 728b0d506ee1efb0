"""The conversions between public and engine records."""

import uuid

import pydantic
import pytest
from conftest import dataset_dict, rate_component

from ostrelpy import models
from ostrelpy.api_client import holiday_occurrences
from ostrelpy.bindings import _engine, logic


def test_each_conversion_of_a_component_gets_a_fresh_id(monkeypatch):
    public = rate_component(0.5, applicable_from=None)
    first, second = logic._to_domain_component(public), logic._to_domain_component(public)
    assert isinstance(first, _engine.TariffComponent)
    assert first.id != second.id and public.id not in (first.id, second.id)
    assert first.model_dump(exclude={"id"}) == second.model_dump(exclude={"id"})
    fixed = uuid.UUID(int=7)
    monkeypatch.setattr(uuid, "uuid4", lambda: fixed)
    assert logic._to_domain_component(public).id == fixed


def test_component_fields_survive_the_round_trip():
    public = rate_component(0.5)
    engine = logic._to_domain_component(public)
    assert isinstance(engine.functions[0], _engine.Multiply)
    assert engine.datasets == [_engine.Dataset(**dataset_dict())]
    back = logic._to_public_component(engine)
    assert isinstance(back, models.TariffComponent) and back.id == engine.id
    assert back.model_dump(exclude={"id", "functions"}) == public.model_dump(
        exclude={"id", "functions"}
    )
    again = logic._to_domain_component(back)
    assert again.functions == engine.functions


def test_datasets_and_holidays_convert_by_attributes():
    public = models.Dataset(**dataset_dict())
    engine = logic._to_domain_dataset(public)
    assert isinstance(engine, _engine.Dataset) and engine.unit == _engine.Unit.KWH
    assert logic._to_public_dataset(engine) == public
    (occurrence,) = holiday_occurrences(2025, 2025, [models.Holiday.SE_JULAFTON])
    holiday = logic._to_domain_holiday(occurrence)
    assert isinstance(holiday, _engine.HolidayOccurrence)
    assert holiday.holiday == _engine.Holiday.SE_JULAFTON and holiday.date.day == 24


@pytest.mark.parametrize(
    "change, match",
    [
        ({"functions": [{"type": "nope", "output": dataset_dict("cost")}]}, "nope"),
        ({"timezone": "Mars/Olympus"}, "Invalid timezone"),
        ({"cost": dataset_dict("elsewhere", unit="SEK")}, "is not produced by any function"),
        ({"datasets": [dataset_dict(unit="parsecs")]}, "unit"),
    ],
)
def test_an_invalid_component_is_refused_by_validation(change, match):
    public = rate_component(0.5).model_copy(update=change)
    with pytest.raises(pydantic.ValidationError, match=match):
        logic._to_domain_component(public)


def test_missing_attributes_are_validation_errors():
    class Partial:
        id = "consumption"
        resolution = "quarter_hourly"

    with pytest.raises(pydantic.ValidationError, match="unit"):
        logic._to_domain_dataset(Partial())
