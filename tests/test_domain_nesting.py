"""Condition trees of any shape a caller can make: too deep or cyclic trees are refused with a
clear error, at validation and at evaluation, never by exhausting the stack."""

import datetime as dt
from zoneinfo import ZoneInfo

import numpy as np
import pytest
from pydantic import ValidationError

from ostrelpy.bindings import _engine as e

TZ = ZoneInfo("Europe/Stockholm")
DEEP = "conditions nested deeper than 256 levels"


@pytest.fixture(scope="module")
def day():
    start = dt.datetime(2025, 6, 2, tzinfo=TZ)
    return e.Timeline.build(
        tz=TZ, start_time=start, end_time=start + dt.timedelta(days=1), holidays=[]
    )


def nest(levels, wrap):
    c = e.MonthCondition(months=[6])
    for _ in range(levels):
        c = wrap(c)
    return c


WRAPS = {
    "not": lambda c: e.NotCondition(condition=c),
    "and": lambda c: e.AndCondition(conditions=[c]),
    "or": lambda c: e.OrCondition(conditions=[c, e.MonthCondition(months=[1])]),
}
CONSTRUCTS = {
    "not": lambda c: e.NotCondition.model_construct(condition=c),
    "and": lambda c: e.AndCondition.model_construct(conditions=[c]),
    "or": lambda c: e.OrCondition.model_construct(conditions=[c]),
}


@pytest.mark.parametrize("kind", WRAPS)
def test_a_deep_tree_is_refused_at_validation(kind):
    ok = nest(256, WRAPS[kind])  # 256 compound levels: the most accepted
    with pytest.raises(ValidationError, match=DEEP):
        WRAPS[kind](ok)


@pytest.mark.parametrize("kind", CONSTRUCTS)
@pytest.mark.parametrize("levels", [300, 100_000])
def test_a_deep_unvalidated_tree_is_refused_at_evaluation(day, kind, levels):
    c = nest(levels, CONSTRUCTS[kind])
    with pytest.raises(ValueError, match=f"^{DEEP}$"):
        day.match_time_condition(c)
    with pytest.raises(ValueError, match=f"^{DEEP}$"):
        e.min_condition_resolution(c)
    with pytest.raises(ValueError, match=f"^{DEEP}$"):
        e.ExcludeHolidaysCondition.collect_from(c)


@pytest.mark.parametrize("kind", ["not", "and"])
def test_a_condition_that_contains_itself_is_refused(day, kind):
    c = WRAPS[kind](e.MonthCondition(months=[6]))
    if kind == "not":
        object.__setattr__(c, "condition", c)
    else:
        object.__setattr__(c, "conditions", [e.MonthCondition(months=[6]), c])
    with pytest.raises(ValueError, match="^condition contains itself$"):
        day.match_time_condition(c)


def test_a_shared_subtree_is_not_a_cycle(day):
    june = e.MonthCondition(months=[6])
    both = e.AndCondition(conditions=[june, june, e.NotCondition(condition=june)])
    mask = np.asarray(day.match_time_condition(both), dtype=bool)
    assert not mask.any()  # June and not June
    assert np.asarray(day.match_time_condition(e.OrCondition(conditions=[june, june]))).all()


def test_the_deepest_accepted_tree_evaluates_like_its_parity(day):
    c = nest(255, WRAPS["not"])  # an odd number of negations of June
    assert not np.asarray(day.match_time_condition(c), dtype=bool).any()
