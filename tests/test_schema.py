import pytest
from pydantic import ValidationError

from ostrelpy.bindings import _engine, _schema


def test_exports():
    assert _schema.__all__ == [
        "AfterValidator",
        "BaseModel",
        "ConfigDict",
        "Field",
        "model_validator",
    ]
    assert "_probe" not in _schema.__all__
    assert _schema._probe() is None


@pytest.mark.parametrize("native", [_schema._probe, _engine.Level.__dict__["__str__"]])
def test_native_functions_in_a_class_body_are_not_fields(native):
    class Record(_schema.BaseModel):
        value: int
        helper = native
        _private_helper = native

    assert list(Record.model_fields) == ["value"]
    assert Record(value=1).value == 1
    with pytest.raises(ValidationError):
        Record(value="one")


def test_derived_config_keeps_ignored_types():
    class Frozen(_schema.BaseModel):
        model_config = _schema.ConfigDict(frozen=True)
        helper = _schema._probe
        x: int

    assert Frozen.model_config["ignored_types"] == _schema.BaseModel.model_config["ignored_types"]
    assert type(_schema._probe) in Frozen.model_config["ignored_types"]
    with pytest.raises(ValidationError):
        Frozen(x=1).x = 2
