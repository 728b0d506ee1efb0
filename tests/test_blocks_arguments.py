"""compute takes exactly the operands its block names, for every arithmetic block."""

import datetime as dt
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest
from conftest import dataset as ds

from ostrelpy.bindings import _engine as e

TZ = ZoneInfo("Europe/Stockholm")


@pytest.fixture(scope="module")
def day():
    start = dt.datetime(2025, 6, 2, tzinfo=TZ)
    return e.Timeline.build(
        tz=TZ, start_time=start, end_time=start + dt.timedelta(days=1), holidays=[]
    )


@pytest.fixture(scope="module")
def ones(day):
    return pd.Series(np.ones(24), index=day.get_as("hourly"))


ADD3 = e.Add(inputs=[ds("a"), ds("b"), ds("c")], output=ds("o"))


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"input_0": 1.0, "input_1": 2.0}, "compute() needs keyword-only argument input_2"),
        (
            {"input_0": 1.0, "input_1": 2.0, "input_2": 3.0, "foo": 5.0},
            "compute() got an unexpected keyword argument 'foo'",
        ),
        (
            {"input_0": 1.0, "input_1": 2.0, "input_3": 3.0},
            "compute() got an unexpected keyword argument 'input_3'",
        ),
    ],
)
def test_add_refuses_missing_and_unknown_operands(day, ones, kwargs, message):
    kwargs = {k: ones if k == "input_0" else v for k, v in kwargs.items()}
    with pytest.raises(TypeError) as err:
        ADD3.compute(day, **kwargs)
    assert str(err.value) == message


def test_add_sums_exactly_its_operands(day, ones):
    out = ADD3.compute(day, input_0=ones, input_1=2.0, input_2=ones * 3)
    np.testing.assert_array_equal(out.to_numpy(), np.full(24, 6.0))
    # Order of the keywords does not matter; their names do.
    same = ADD3.compute(day, input_2=ones * 3, input_0=ones, input_1=2.0)
    np.testing.assert_array_equal(same.to_numpy(), out.to_numpy())


def test_add_argument_errors_match_the_other_blocks(day, ones):
    with pytest.raises(TypeError, match=r"^compute\(\) takes exactly 1 positional argument"):
        ADD3.compute(day, ones, input_0=ones, input_1=ones, input_2=ones)
    with pytest.raises(TypeError, match="^compute\\(\\) got multiple values for keyword"):
        ADD3.compute(day, timeline=day, input_0=ones, input_1=ones, input_2=ones)
    with pytest.raises(TypeError, match=r"^Argument 'timeline' has incorrect type"):
        ADD3.compute({}, input_0=ones, input_1=ones, input_2=ones)
