"""The series the runner hands back: ordinary pandas Series on the timeline's index, each owning
its values. Result storage is recycled inside the engine once the host frees a result, so these
tests keep some results alive while others die and check that nothing is shared or stale."""

import datetime as dt
import gc
import json

import numpy as np
import pandas as pd
import pytest
from conftest import CATALOGUE, STOCKHOLM, catalogue_component
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ostrelpy.api_client import holiday_occurrences
from ostrelpy.bindings import _engine as e

START = dt.datetime(2025, 1, 1, tzinfo=STOCKHOLM)
END = dt.datetime(2026, 1, 1, tzinfo=STOCKHOLM)


@pytest.fixture(scope="module")
def transfer():
    return catalogue_component("Överföringsavgift")


@pytest.fixture(scope="module")
def peak():
    return catalogue_component("Effektavgift")


def year_of(seed):
    index = pd.date_range(START, END, freq="15min", inclusive="left")
    rng = np.random.default_rng(seed)
    return pd.Series(rng.gamma(2.0, 0.2, len(index)), index=index, name="consumption")


def evaluate(component, series):
    inputs = {d: series for d in component.datasets}
    tl = e.build_timeline([component], inputs, [], start_time=START, end_time=END)
    return e.run_pipeline([component], inputs, timeline=tl)


def test_results_are_plain_series_as_pandas_builds_them(transfer):
    ctx = evaluate(transfer, year_of(1))
    for name, got in ctx.all_series.items():
        rebuilt = pd.Series(got.to_numpy(), index=got.index, name=got.name)
        assert type(got) is pd.Series
        assert got.name == name
        pd.testing.assert_series_equal(got, rebuilt)
        assert got.flags.allows_duplicate_labels and got.attrs == {}
    cost = ctx.all_series["cost"]
    assert cost.index is ctx.timeline.get_as("quarter_hourly")


def test_a_result_kept_alive_is_untouched_by_later_runs(transfer, peak):
    first_input = year_of(2)
    kept = evaluate(transfer, first_input).all_series["cost"].copy(deep=False)
    snapshot = kept.to_numpy().copy()
    # Many results made and freed: their storage is reused by the runs that follow.
    for seed in range(3, 8):
        evaluate(peak, year_of(seed))
        evaluate(transfer, year_of(seed))
        gc.collect()
    np.testing.assert_array_equal(kept.to_numpy(), snapshot)
    again = evaluate(transfer, first_input).all_series["cost"]
    assert not np.shares_memory(again.to_numpy(), kept.to_numpy())
    np.testing.assert_array_equal(again.to_numpy(), snapshot)


def test_reused_storage_carries_no_values_of_an_earlier_run(peak):
    """A run on a short month after a year: every value is the new run's, checked against
    pandas, with nothing left over from the larger blocks freed before it."""
    for seed in (11, 12):
        evaluate(peak, year_of(seed))
    gc.collect()
    start, end = START, dt.datetime(2025, 2, 1, tzinfo=STOCKHOLM)
    index = pd.date_range(start, end, freq="15min", inclusive="left")
    values = pd.Series(np.linspace(0.1, 2.0, len(index)), index=index)
    inputs = {d: values for d in peak.datasets}
    tl = e.build_timeline([peak], inputs, [], start_time=start, end_time=end)
    ctx = e.run_pipeline([peak], inputs, timeline=tl)
    hourly = values.groupby(values.index.floor("h")).sum()
    got = ctx.all_series["hourly_energy"]
    assert (got.index == hourly.index.tz_convert("UTC")).all()
    np.testing.assert_allclose(got.to_numpy(), hourly.to_numpy(), rtol=1e-12)
    weekday = hourly[hourly.index.day_of_week < 5]
    expected = weekday.nlargest(3).mean() * 35.0
    assert ctx.all_series["cost"].sum() == pytest.approx(expected, rel=1e-12)


def test_writing_into_one_result_changes_no_other(transfer):
    ctx = evaluate(transfer, year_of(20))
    price, cost = ctx.all_series["price"], ctx.all_series["cost"]
    before = cost.to_numpy().copy()
    price.iloc[:100] = -1.0
    np.testing.assert_array_equal(cost.to_numpy(), before)
    assert not np.shares_memory(price.to_numpy(), cost.to_numpy())


# --- the runner's own evaluation against the blocks' compute, step by step ------------------


def bundled_components():
    for path in sorted(CATALOGUE.glob("*.json")):
        for c in json.loads(path.read_text(encoding="utf-8"))["tariff_components"]:
            yield e.TariffComponent.model_validate(c)


COMPONENTS = list(bundled_components())


def local_days(component, first, last, hours=0):
    """From day `first` of 2025 (plus some hours) to day `last`, in the component's zone."""
    tz = e.timezone_from_str(component.timezone)
    day = dt.datetime(2025, 1, 1)
    start = (day + dt.timedelta(days=first, hours=hours)).replace(tzinfo=tz)
    return start, (day + dt.timedelta(days=last)).replace(tzinfo=tz)


def holidays_of(component):
    names = [h.value for h in component.collect_holidays()]
    return [
        e.HolidayOccurrence(date=o.date, holiday=o.holiday.value, timezone=o.timezone)
        for o in holiday_occurrences(2024, 2027, names)
    ]


def step_by_step(component, inputs, tl):
    """Each function through the context's execute_function, as the protocol describes."""
    ctx = e.run_pipeline([], inputs, timeline=tl)
    for f in component.functions:
        ctx.all_series[f.output.id] = ctx.execute_function(f)
    return ctx.all_series


def native(component, inputs, tl):
    return e.run_pipeline([component], inputs, timeline=tl).all_series


def outcome(run, *args):
    try:
        return run(*args), None
    except Exception as error:  # the same failure, if any, from both
        return None, (type(error), str(error))


@settings(max_examples=6, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    first=st.integers(0, 85),  # a day of 2025 before both daylight-saving changes
    last=st.integers(303, 400),  # and one after both
    hours=st.integers(0, 23),
    seed=st.integers(0, 2**32 - 1),
    gaps=st.floats(0.0, 0.2),
)
def test_every_bundled_tariff_runs_as_its_blocks_compute_step_by_step(
    first, last, hours, seed, gaps
):
    rng = np.random.default_rng(seed)
    for component in COMPONENTS:
        start, end = local_days(component, first, last, hours)
        grid = pd.date_range(start, end, freq="15min", inclusive="left").tz_convert("UTC")
        inputs = {}
        for d in component.datasets:
            values = rng.gamma(2.0, 0.3, len(grid))
            values[rng.random(len(grid)) < gaps] = np.nan
            inputs[d] = pd.Series(values, index=grid)
        holidays = holidays_of(component)
        tl = e.build_timeline([component], inputs, holidays, start_time=start, end_time=end)
        got, failed = outcome(native, component, inputs, tl)
        want, expected_failure = outcome(step_by_step, component, inputs, tl)
        assert failed == expected_failure
        # The pandas door's run, which makes the cost's series alone.
        cost, cost_failure = outcome(e._run_cost, component, inputs, tl)
        assert cost_failure == expected_failure
        if want is None:
            continue
        assert list(got) == list(want)
        for key, series in want.items():
            pd.testing.assert_series_equal(got[key], series, check_exact=True, check_freq=True)
            assert type(got[key]) is pd.Series and got[key].name == key
            assert got[key].index.freq == series.index.freq
            assert got[key].index.tz == series.index.tz
            # Bit for bit, NaN payloads included.
            assert np.array_equal(
                got[key].to_numpy().view(np.int64), series.to_numpy().view(np.int64)
            )
        alone = want[component.cost.id]
        pd.testing.assert_series_equal(cost, alone, check_exact=True, check_freq=True)
        assert np.array_equal(cost.to_numpy().view(np.int64), alone.to_numpy().view(np.int64))


# --- the runner's compile of variable inputs against the blocks' compile, step by step -------


def compile_step_by_step(component, inputs, tl, first_col, convex):
    """Each function through execute_function, each block registered, as the protocol says."""
    ctx = e.run_pipeline(
        [], inputs, timeline=tl, next_available_col=first_col, assume_convex=convex
    )
    for f in component.functions:
        result = ctx.execute_function(f)
        if isinstance(result, e.FunctionBlock):
            ctx.register_function_block(f.output.id, result)
        else:
            ctx.all_series[f.output.id] = result
    return ctx


def compile_natively(component, inputs, tl, first_col, convex):
    return e.run_pipeline(
        [component], inputs, timeline=tl, next_available_col=first_col, assume_convex=convex
    )


@settings(max_examples=4, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    first=st.integers(0, 85),
    days=st.integers(1, 40),
    seed=st.integers(0, 2**32 - 1),
    first_col=st.integers(0, 10**6),
    convex=st.booleans(),
)
def test_every_bundled_tariff_compiles_as_its_blocks_compile_step_by_step(
    first, days, seed, first_col, convex
):
    rng = np.random.default_rng(seed)
    for component in COMPONENTS:
        start, end = local_days(component, first, first + days)
        tl = e.build_timeline(
            [component], {}, holidays_of(component), start_time=start, end_time=end
        )
        inputs, col = {}, 0
        for d in component.datasets:
            index = tl.get_as(d.resolution)
            lb = rng.uniform(0.0, 2.0, len(index))
            ub = lb + rng.uniform(0.0, 3.0, len(index))
            inputs[d] = e.VariableSeries.continuous(col, lb, ub, index)
            col += len(index)
        args = (component, inputs, tl, first_col + col, convex)
        got, failed = outcome(compile_natively, *args)
        want, expected_failure = outcome(compile_step_by_step, *args)
        assert failed == expected_failure
        if want is None:
            continue
        assert got.next_available_col == want.next_available_col
        assert got.function_blocks == want.function_blocks
        assert list(got.all_series) == list(want.all_series)
        for key, value in want.all_series.items():
            assert type(got.all_series[key]) is type(value)
            if isinstance(value, e.VariableSeries):
                assert got.all_series[key] == value
                assert got.all_series[key].index.equals(value.index)
                assert got.all_series[key].index.tz == value.index.tz
            else:
                pd.testing.assert_series_equal(got.all_series[key], value, check_exact=True)
