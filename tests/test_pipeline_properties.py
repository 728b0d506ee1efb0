"""run_pipeline on random small tariffs and random meter series, against plain pandas.

The series come the way callers hand them over: any datetime unit, any zone, unsorted, with
gaps and with instants off the grid. Only the documented exception types may come out, and
where the result is defined it must equal the pandas evaluation to the last interval.
"""

import datetime as dt
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
from conftest import dataset_data as ds
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from ostrelpy.bindings import _engine as e

ZONES = ["Europe/Stockholm", "Europe/Oslo", "UTC", "America/New_York", "Australia/Sydney"]
# Days with a daylight-saving change in some of the zones above, and ordinary days.
STARTS = [
    dt.date(2025, 3, 29),
    dt.date(2025, 10, 25),
    dt.date(2025, 3, 8),
    dt.date(2025, 11, 1),
    dt.date(2025, 4, 5),
    dt.date(2024, 2, 27),
    dt.date(2025, 6, 30),
]
RESOLUTION_RANK = {"quarter_hourly": 0, "hourly": 1, "daily": 2, "monthly": 3}


# --- the pandas side ------------------------------------------------------------------------


def period_keys(local, resolution):
    """A key per instant that tells the periods of `resolution` apart."""
    if resolution == "quarter_hourly":
        return pd.Index(local.tz_convert("UTC").asi8)
    if resolution == "hourly":
        return pd.Index(local.tz_convert("UTC").floor("h").asi8)  # whole-hour zones only
    if resolution == "daily":
        return pd.Index(local.date)
    return pd.Index(local.year * 100 + local.month)


def grouped(series, resolution, how):
    keys = period_keys(series.index, resolution)
    codes = pd.Series(pd.factorize(keys)[0], index=series.index)  # periods in time order
    g = series.groupby(codes.to_numpy(), sort=True)
    out = g.sum(min_count=1) if how == "sum" else getattr(g, how)()
    first = pd.Series(np.arange(len(series))).groupby(codes.to_numpy(), sort=True).first()
    return pd.Series(out.to_numpy(), index=series.index[first.to_numpy()])


def on_grid(grid, resolution):
    keys = period_keys(grid, resolution)
    return grid[~keys.duplicated()]


def when(local, condition):
    kind = condition["type"]
    if kind == "month":
        return np.isin(local.month, condition["months"])
    if kind == "day_of_week":
        return np.isin(local.day_of_week + 1, condition["days"])
    minutes = local.hour * 60 + local.minute
    lo, hi = (t.hour * 60 + t.minute for t in (condition["from_time"], condition["to_time"]))
    return (minutes >= lo) & (minutes < hi) if lo < hi else (minutes >= lo) | (minutes < hi)


def highest(series, n, resolution, top=True):
    keys = period_keys(series.index, resolution)
    keep = np.zeros(len(series), dtype=bool)
    for _, pos in pd.Series(np.arange(len(series)), index=keys).groupby(level=0):
        values = series.to_numpy()[pos.to_numpy()]
        order = np.argsort(-values if top else values, kind="stable")
        keep[pos.to_numpy()[order[:n]]] = True
    return series.where(keep)


def reference(plan, aligned):
    """The plan evaluated with pandas on the input aligned to the grid."""
    x = aligned
    for step in plan:
        kind = step[0]
        if kind == "aggregate":
            x = grouped(x, step[1], step[2])
        elif kind == "select":
            x = x.where(when(x.index, step[1]))
        elif kind == "highest":
            x = highest(x, step[1], step[2], step[3])
        elif kind == "scale":
            x = x * step[1]
    return x


# --- the engine side ------------------------------------------------------------------------


def component(plan, tz):
    functions, resolution, unit, k = [], "quarter_hourly", "kWh", 0
    current = ds("consumption", resolution, unit)
    for step in plan:
        kind = step[0]
        if kind == "aggregate":
            resolution = step[1]
            out = ds(f"s{k}", resolution, unit)
            functions.append(
                {
                    "type": "aggregate",
                    "input": current,
                    "resolution": resolution,
                    "aggregation_function": step[2],
                    "output": out,
                }
            )
        elif kind in ("select", "highest"):
            condition = (
                step[1]
                if kind == "select"
                else {
                    "type": "highest" if step[3] else "lowest",
                    "n": step[1],
                    "resolution": step[2],
                }
            )
            out = ds(f"s{k}", resolution, unit)
            functions.append(
                {"type": "select", "input": current, "condition": condition, "output": out}
            )
        else:
            out = ds("cost", resolution, "SEK")
            functions.append(
                {
                    "type": "multiply",
                    "left": current,
                    "right": {"value": step[1], "unit": "SEK_per_kWh"},
                    "output": out,
                }
            )
        current, k = out, k + 1
    return e.TariffComponent.model_validate(
        {
            "id": "3fa85f64-5717-4562-b3fc-2c963f66afa6",
            "name": "random",
            "timezone": tz,
            "datasets": [ds("consumption", "quarter_hourly", "kWh")],
            "functions": functions,
            "cost": current,
        }
    )


# --- random plans and series ----------------------------------------------------------------

CONDITIONS = st.one_of(
    st.builds(
        lambda m: {"type": "month", "months": m},
        st.lists(st.integers(1, 12), min_size=1, max_size=4),
    ),
    st.builds(
        lambda d: {"type": "day_of_week", "days": d},
        st.lists(st.integers(1, 7), min_size=1, max_size=5),
    ),
    st.builds(
        lambda a, b: {"type": "time_of_day", "from_time": dt.time(a), "to_time": dt.time(b)},
        st.integers(0, 23),
        st.integers(0, 23),
    ).filter(lambda c: c["from_time"] != c["to_time"]),
)


@st.composite
def plans(draw):
    plan, resolution = [], "quarter_hourly"
    for _ in range(draw(st.integers(0, 3))):
        kind = draw(st.sampled_from(["aggregate", "select", "highest"]))
        if kind == "aggregate":
            coarser = [r for r, k in RESOLUTION_RANK.items() if k > RESOLUTION_RANK[resolution]]
            if not coarser:
                continue
            resolution = draw(st.sampled_from(coarser))
            plan.append(
                ("aggregate", resolution, draw(st.sampled_from(["sum", "max", "min", "mean"])))
            )
        elif kind == "select":
            condition = draw(CONDITIONS)
            # A condition must be constant over each period of its input.
            finest = {"time_of_day": "hourly", "day_of_week": "daily", "month": "monthly"}
            if RESOLUTION_RANK[finest[condition["type"]]] >= RESOLUTION_RANK[resolution]:
                plan.append(("select", condition))
        else:
            coarser = [r for r, k in RESOLUTION_RANK.items() if k > RESOLUTION_RANK[resolution]]
            if not coarser:
                continue
            plan.append(
                (
                    "highest",
                    draw(st.integers(1, 4)),
                    draw(st.sampled_from(coarser)),
                    draw(st.booleans()),
                )
            )
    plan.append(("scale", draw(st.sampled_from([0.439, 1.0, 2.5]))))
    return plan


@st.composite
def cases(draw):
    tz = ZoneInfo(draw(st.sampled_from(ZONES)))
    day = draw(st.sampled_from(STARTS))
    days = draw(st.integers(1, 4))
    start = dt.datetime.combine(day, dt.time(), tz)
    end = dt.datetime.combine(day + dt.timedelta(days=days), dt.time(), tz)
    grid = pd.date_range(start, end, freq="15min", inclusive="left")
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    values = np.round(rng.gamma(2.0, 0.2, len(grid)), 3)  # ties for highest-N
    keep = rng.random(len(grid)) > draw(st.sampled_from([0.0, 0.1, 0.5]))
    index = grid[keep]
    series = pd.Series(values[keep], index=index)
    if draw(st.booleans()):  # instants off the grid are dropped by alignment
        off = index[: min(3, len(index))] + pd.Timedelta(minutes=7)
        series = pd.concat([series, pd.Series(1e6, index=off)])
    series = series.sample(frac=1.0, random_state=int(rng.integers(2**31)))  # unsorted
    series.index = series.index.tz_convert(draw(st.sampled_from(["UTC", tz, "Asia/Kolkata"])))
    series.index = series.index.as_unit(draw(st.sampled_from(["s", "ms", "us", "ns"])))
    aligned = pd.Series(pd.Series(values, index=grid).where(keep, 0.0).to_numpy(), index=grid)
    return draw(plans()), tz, start, end, series, aligned


def evaluate(plan, tz, start, end, series):
    comp = component(plan, str(tz))
    tl = e.Timeline.build(tz=tz, start_time=start, end_time=end, holidays=[])
    ctx = e.run_pipeline([comp], {comp.datasets[0]: series}, timeline=tl)
    return ctx.all_series["cost"]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(case=cases())
def test_random_tariffs_equal_pandas(case):
    plan, tz, start, end, series, aligned = case
    expected = reference(plan, aligned)
    got = evaluate(plan, tz, start, end, series)
    assert got.index.equals(expected.index.tz_convert(got.index.tz)), plan
    np.testing.assert_allclose(
        got.to_numpy(), expected.to_numpy(), rtol=1e-12, atol=1e-12, err_msg=str(plan)
    )


@settings(max_examples=40, deadline=None)
@given(case=cases(), junk=st.sampled_from(["nan", "inf", "duplicate"]))
def test_hostile_series_give_only_documented_errors(case, junk):
    plan, tz, start, end, series, _ = case
    assume(len(series) > 0)
    if junk == "duplicate":
        series = pd.concat([series, series.iloc[:1]])
    else:
        series = series.copy()
        series.iloc[:: max(1, len(series) // 5)] = float(junk)
    try:
        got = evaluate(plan, tz, start, end, series)
    except ValueError as err:
        if junk == "duplicate":
            assert "duplicate" in str(err)
        return
    assert junk != "duplicate", "repeated instants must be refused"
    assert got.dtype == np.float64


@settings(max_examples=60, deadline=None)
@given(
    seed=st.integers(0, 2**32 - 1),
    how=st.sampled_from(["max", "min"]),
    pool=st.sampled_from([(1.5,), (1.5, np.nan), (0.25, 2.0)]),
    zeros=st.sampled_from([0.5, 0.99, 1.0]),
)
def test_extremes_of_zeros_keep_the_first_zero(seed, how, pool, zeros):
    # Masked hours are runs of zeros: which zero a period's highest or lowest value is must be
    # the one an in-order fold keeps (the first it meets), whatever the lanes do.
    rng = np.random.default_rng(seed)
    tz = ZoneInfo("Europe/Stockholm")
    start = dt.datetime(2025, 1, 1, tzinfo=tz)
    end = dt.datetime(2025, 4, 1, tzinfo=tz)
    grid = pd.date_range(start, end, freq="15min", inclusive="left")
    sign = 1.0 if how == "min" else -1.0
    values = sign * rng.choice(np.array(pool), len(grid))  # every value on one side of zero
    zero = rng.random(len(grid)) < zeros
    values[zero] = rng.choice(np.array([0.0, -0.0]), int(zero.sum()))
    series = pd.Series(values, index=grid)
    comp = component([("aggregate", "monthly", how)], str(tz))
    tl = e.Timeline.build(tz=tz, start_time=start, end_time=end, holidays=[])
    ctx = e.run_pipeline([comp], {comp.datasets[0]: series}, timeline=tl)
    got = ctx.all_series[comp.cost.id]
    expected = []
    for _, part in series.groupby(series.index.month):
        best = np.nan
        for v in part.to_numpy():  # one value after the other, as documented
            if not np.isnan(v) and (np.isnan(best) or (v > best if how == "max" else v < best)):
                best = v
        expected.append(best)
    np.testing.assert_array_equal(got.to_numpy(), expected)
    np.testing.assert_array_equal(np.signbit(got.to_numpy()), np.signbit(expected))
