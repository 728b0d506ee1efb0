"""Model building through any solver adapter: the order of the steps, data before variables,
the errors and what stays in the model when a later component fails."""

import datetime as dt

import numpy as np
import pandas as pd
import pydantic
import pytest
from conftest import (
    CONSUMPTION,
    arun,
    dataset_dict,
    make_tariff,
    quarter_hours,
    rate_component,
    utc,
)

from ostrelpy import models
from ostrelpy.bindings import _engine

START, END = utc(2025, 1, 1), utc(2025, 1, 1, 2)


class RecordingAdapter:
    """A solver adapter over a list of columns: variables are column numbers."""

    def __init__(self, ncols=0):
        self.ncols = ncols
        self.log = []

    def to_series(self, variables):
        self.log.append(("to_series", len(variables)))
        if any(v < 0 for v in variables.values()):
            raise ValueError("negative column")
        stamps = sorted(variables)
        cols = np.array([variables[t] for t in stamps], dtype=np.int64)
        n = len(cols)
        return _engine.VariableSeries(
            cols, np.zeros(n), np.full(n, 10.0), np.zeros(n, bool), pd.DatetimeIndex(stamps)
        )

    def get_next_available_col(self):
        self.log.append(("next_col", self.ncols))
        return self.ncols

    def add_blocks(self, blocks):
        blocks = list(blocks)
        self.log.append(("add_blocks", len(blocks)))
        for block in blocks:
            for s in [block.output, *block.auxiliaries]:
                self.ncols += len(s.cols)

    def to_variables(self, series):
        return {t.to_pydatetime(): int(c) for t, c in zip(series.index, series.cols)}


@pytest.fixture
def tariff(api):
    t = make_tariff(rate_component(1.0, name="one"), rate_component(2.0, name="two"))
    api.tariffs[t.id] = t
    return t


def columns(start=100):
    return {t: start + i for i, t in enumerate(quarter_hours(START, END))}


def add(facade, tariff, data, variables, adapter, **kw):
    kw.setdefault("minimising_cost", True)
    kw.setdefault("use_cache", True)
    return arun(
        facade._add_tariff_cost_to_model(tariff.id, START, END, data, variables, adapter, **kw)
    )


def test_measured_data_takes_precedence_and_blocks_are_added_per_component(facade, tariff):
    adapter = RecordingAdapter(ncols=8)
    data = {CONSUMPTION: quarter_hours(START, END, 1.5)}
    one, two = add(facade, tariff, data, {CONSUMPTION: columns()}, adapter)
    assert one.costs == {k: 1.5 for k in data[CONSUMPTION]}
    assert two.total() == 2 * 1.5 * 8
    # Variables are read first; then, per component, the next column, then its blocks.
    assert adapter.log == [
        ("to_series", 8),
        ("next_col", 8),
        ("add_blocks", 0),
        ("next_col", 8),
        ("add_blocks", 0),
    ]


def test_each_component_starts_at_the_next_free_column(facade, tariff):
    x = columns(start=100)
    adapter = RecordingAdapter(ncols=108)  # the caller's model: columns 0..107
    one, two = add(facade, tariff, {}, {CONSUMPTION: x}, adapter)
    assert sorted(one.costs) == sorted(x) == sorted(two.costs)
    first, second = sorted(one.costs.values()), sorted(two.costs.values())
    assert first[0] >= 108 and second[0] >= max(first) + 1  # after the first one's columns
    assert [entry[0] for entry in adapter.log] == [
        "to_series",
        "next_col",
        "add_blocks",
        "next_col",
        "add_blocks",
    ]
    assert adapter.log[3][1] > 108


def test_refused_variables_name_the_dataset_and_chain_the_cause(facade, tariff):
    variables = {CONSUMPTION: {START: -1}}
    with pytest.raises(ValueError) as e:
        add(facade, tariff, {}, variables, RecordingAdapter())
    assert str(e.value) == "input dataset 'consumption': negative column"
    assert type(e.value.__cause__) is ValueError and str(e.value.__cause__) == "negative column"

    bad = models.Dataset.model_construct(id="meter", resolution="hourly", unit="parsecs")
    with pytest.raises(ValueError, match="^input dataset 'meter': 1 validation error") as e:
        add(facade, tariff, {}, {bad: columns()}, RecordingAdapter())
    assert isinstance(e.value.__cause__, pydantic.ValidationError)


def test_other_adapter_errors_pass_unchanged(facade, tariff):
    class Broken(RecordingAdapter):
        def to_series(self, variables):
            raise TypeError("not variables")

    with pytest.raises(TypeError, match="^not variables$"):
        add(facade, tariff, {}, {CONSUMPTION: columns()}, Broken())


def test_earlier_components_stay_in_the_model_when_a_later_one_fails(facade, api):
    needs_other = rate_component(1.0, name="other")
    needs_other.datasets = [dataset_dict("other")]
    needs_other.functions[0]["left"] = dataset_dict("other")
    t = make_tariff(rate_component(1.0, name="first"), needs_other)
    api.tariffs[t.id] = t
    adapter = RecordingAdapter()
    with pytest.raises(KeyError) as e:
        add(facade, t, {CONSUMPTION: quarter_hours(START, END)}, {}, adapter)
    assert e.value.args == (_engine.Dataset(**dataset_dict("other")),)
    assert adapter.log == [("next_col", 0), ("add_blocks", 0)]  # the first one's blocks


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda f: f.add_to_highs_model(1, START, END, {}, {}),
            "add_to_highs_model() takes exactly 6 positional arguments (5 given)",
        ),
        (
            lambda f: f.add_to_gurobi_model(1, START, END, {}, [], None),
            "Argument 'variables' has incorrect type (expected dict, got list)",
        ),
        (
            lambda f: f.add_to_highs_model(1, START, END, (), {}, None),
            "Argument 'data' has incorrect type (expected dict, got tuple)",
        ),
        (
            lambda f: f._add_tariff_cost_to_model(1, START, END, {}, {}, None, use_cache=True),
            "_add_tariff_cost_to_model() needs keyword-only argument minimising_cost",
        ),
        (
            lambda f: f.add_to_highs_model(1, START, END, {}, {}, None, minimise=True),
            "add_to_highs_model() got an unexpected keyword argument 'minimise'",
        ),
    ],
)
def test_model_argument_rules(facade, call, message):
    with pytest.raises(TypeError) as e:
        call(facade)
    assert str(e.value) == message


@pytest.mark.parametrize(
    "shift, key, variable",
    [
        (dt.timedelta(minutes=7), "2025-01-01T00:07:00Z", "2025-01-01T00:07:00Z"),
        (dt.timedelta(days=6), None, "2025-01-07T00:00:00Z"),
    ],
    ids=["off-grid", "another-day"],
)
def test_inputs_off_the_request_s_periods_are_refused_not_dropped_or_relabelled(
    facade, tariff, shift, key, variable
):
    stamps = [t + shift for t in quarter_hours(START, END)]
    what = "input dataset 'consumption'"
    if key is not None:  # keys outside the request are not priced; inside, they must fit
        data = {CONSUMPTION: dict.fromkeys(stamps, 1.0)}
        with pytest.raises(ValueError) as err:
            arun(facade.calculate_cost(tariff.id, START, END, data))
        assert str(err.value) == (
            f"{what}: key {key} is not the start of a quarter_hourly period of the request"
        )
    adapter = RecordingAdapter(ncols=108)
    variables = {CONSUMPTION: {t: 100 + i for i, t in enumerate(stamps)}}
    with pytest.raises(ValueError) as err:
        add(facade, tariff, {}, variables, adapter)
    assert str(err.value) == (
        f"{what}: the variables are not at the request's quarter_hourly periods: a variable at "
        f"{variable} where the request has the period starting 2025-01-01T00:00:00Z"
    )
    assert adapter.log == [("to_series", 8)]  # refused before any column or block
