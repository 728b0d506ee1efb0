"""Native failures reach the caller with their own exception type and never a C++ library text."""

import pytest
from conftest import dataset as ds

from ostrelpy.bindings import _engine as e


@pytest.mark.parametrize(
    "levels",
    [["a", 1.0], [None, 2.0], [object(), 2.0]],
)
def test_type_error_inside_a_native_validator_stays_a_type_error(levels):
    # model_construct skips field validation, so the native validator meets the raw items.
    record = e.Lookup.model_construct(
        type="lookup", tier_selector=ds(), levels=levels, boundaries=[1.0], unit="SEK", output=ds()
    )
    with pytest.raises(TypeError) as info:
        record._validate()
    assert "std::" not in str(info.value)


def test_value_and_assertion_errors_keep_their_types_through_a_validator():
    with pytest.raises(ValueError, match="from_time and to_time must differ"):
        e.TimeOfDayCondition(from_time="08:00", to_time="08:00")
    with pytest.raises(TypeError, match=r"min_condition_resolution\(\) takes a time condition"):
        e.min_condition_resolution(e.HighestCondition(n=1, resolution="daily"))


@pytest.mark.parametrize(
    "value, error, text",
    [
        (5, TypeError, "timezone must be a str, got int"),
        ("Mars/Olympus", ValueError, "Invalid timezone 'Mars/Olympus'. Must be either"),
    ],
)
def test_timezone_errors(value, error, text):
    with pytest.raises(error) as info:
        e.timezone_from_str(value)
    assert str(info.value).startswith(text)


def test_execution_context_type_errors():
    ctx = e.ExecutionContext(None, 0)
    with pytest.raises(TypeError, match="^output_id must be str, got int$"):
        ctx.register_function_block(1, 2)
    with pytest.raises(TypeError, match="^block must be a FunctionBlock, got int$"):
        ctx.register_function_block("x", 2)
