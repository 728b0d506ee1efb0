import datetime as dt

import pytest
from pydantic import TypeAdapter, ValidationError

from ostrelpy.bindings import _engine as e

H = e.Holiday
CONDITION = TypeAdapter(e.Condition)
TIME_CONDITION = TypeAdapter(e.TimeCondition)


def test_month_and_weekday_lists_are_stored_sorted():
    assert e.MonthCondition(months=[12, 1, 12]).months == [1, 12, 12]
    assert e.DayOfWeekCondition(days=[7, 1, 3]).days == [1, 3, 7]


@pytest.mark.parametrize(
    "data, error",
    [
        ({"type": "month", "months": []}, "too_short"),
        ({"type": "month", "months": [13]}, "less_than_equal"),
        ({"type": "day_of_week", "days": [0]}, "greater_than_equal"),
        ({"type": "exclude_holidays", "holidays": []}, "too_short"),
        ({"type": "exclude_holidays", "holidays": ["se/midsummer"]}, "enum"),
        ({"type": "and", "conditions": []}, "too_short"),
        ({"type": "highest", "n": 0, "resolution": "daily"}, "greater_than"),
        ({"type": "lowest", "n": 1, "resolution": "fortnightly"}, "enum"),
        ({"type": "sometimes"}, "union_tag_invalid"),
    ],
)
def test_field_errors(data, error):
    with pytest.raises(ValidationError) as info:
        CONDITION.validate_python(data)
    assert info.value.errors()[0]["type"] == error


def test_time_of_day_bounds_must_differ_but_may_wrap():
    overnight = e.TimeOfDayCondition(from_time="22:00", to_time="06:00")
    assert overnight.from_time == dt.time(22, 0)
    with pytest.raises(
        ValidationError, match=r"from_time and to_time must differ \(use no condition for all-day\)"
    ):
        e.TimeOfDayCondition(from_time="08:00", to_time="08:00")


def test_value_conditions_cannot_nest_in_time_conditions():
    with pytest.raises(ValidationError):
        TIME_CONDITION.validate_python(
            {"type": "not", "condition": {"type": "highest", "n": 1, "resolution": "daily"}}
        )
    assert isinstance(
        CONDITION.validate_python({"type": "highest", "n": 3, "resolution": "monthly"}),
        e.HighestCondition,
    )


def test_deep_nesting_validates():
    data = {"type": "month", "months": [1]}
    for depth in range(50):
        data = (
            {"type": "not", "condition": data}
            if depth % 2
            else {"type": "and", "conditions": [data]}
        )
    condition = TIME_CONDITION.validate_python(data)
    assert e.min_condition_resolution(condition) is e.Resolution.MONTHLY


def test_collect_from():
    cond = e.OrCondition(
        conditions=[
            e.ExcludeHolidaysCondition(holidays=[H.SE_JULAFTON]),
            e.NotCondition(
                condition=e.ExcludeHolidaysCondition(holidays=[H.SE_JULAFTON, H.SE_JULDAGEN])
            ),
        ]
    )
    assert e.ExcludeHolidaysCondition.collect_from(cond) == {H.SE_JULAFTON, H.SE_JULDAGEN}
    assert e.ExcludeHolidaysCondition.collect_from(e.MonthCondition(months=[1])) == set()


@pytest.mark.parametrize(
    "data, expected",
    [
        ({"type": "time_of_day", "from_time": "07:00", "to_time": "19:00"}, "hourly"),
        ({"type": "not", "condition": {"type": "day_of_week", "days": [6, 7]}}, "daily"),
        ({"type": "exclude_holidays", "holidays": ["se/juldagen"]}, "daily"),
        ({"type": "month", "months": [1, 2]}, "monthly"),
        (
            {
                "type": "or",
                "conditions": [
                    {"type": "month", "months": [1]},
                    {"type": "time_of_day", "from_time": "07:00", "to_time": "19:00"},
                ],
            },
            "hourly",
        ),
    ],
)
def test_min_condition_resolution(data, expected):
    assert e.min_condition_resolution(TIME_CONDITION.validate_python(data)) == expected


def test_holiday_occurrence_is_frozen():
    occ = e.HolidayOccurrence(date="2025-12-24", holiday="se/julafton", timezone="Europe/Stockholm")
    assert occ.holiday is H.SE_JULAFTON and occ.date == dt.date(2025, 12, 24)
    with pytest.raises(ValidationError):
        occ.date = dt.date(2025, 1, 1)
    assert sorted([H.SE_JULDAGEN, H.NO_GRUNNLOVSDAG, H.SE_JULAFTON]) == [
        H.NO_GRUNNLOVSDAG,
        H.SE_JULAFTON,
        H.SE_JULDAGEN,
    ]


def test_schema_carries_descriptions():
    schema = str(e.AndCondition.model_json_schema())
    for text in (
        "Sub-conditions to be ANDed together",
        "Month number (1=January, 12=December)",
        "Day of week (1=Monday, 7=Sunday, ISO 8601)",
        "One or more holidays",
    ):
        assert text in schema
