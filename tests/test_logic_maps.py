"""The caller's {datetime: float} mappings in and the cost maps out: zones, daylight saving,
missing values and bad input."""

import collections
import datetime as dt
import math
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest
from conftest import CONSUMPTION, arun, make_tariff, rate_component, utc
from hypothesis import given, settings
from hypothesis import strategies as st

from ostrelpy.bindings import _engine, logic

UTC = dt.UTC


@pytest.fixture
def identity(api, facade):
    """calculate_cost of a rate-1 component in UTC: the cost map is the input read back."""
    tariff = make_tariff(rate_component(1.0, tz="UTC"))
    api.tariffs[tariff.id] = tariff

    def cost(mapping, start, end):
        (c,) = arun(facade.calculate_cost(tariff.id, start, end, {CONSUMPTION: mapping}))
        return c.costs

    return cost


def quarter_keys(start_utc, n):
    return [start_utc + dt.timedelta(minutes=15 * i) for i in range(n)]


@pytest.mark.parametrize(
    "zone",
    [
        "Europe/Stockholm",
        "America/Santiago",  # changes at local midnight
        "Asia/Beirut",  # changes at local midnight
        "Australia/Lord_Howe",  # half-hour daylight saving
        "America/St_Johns",  # offset of -3:30 / -2:30
    ],
)
def test_zoneinfo_keys_are_read_by_instant_over_a_year(identity, zone):
    tz = ZoneInfo(zone)
    start = utc(2024, 1, 1)
    instants = quarter_keys(start, 366 * 96)
    # Keys in the zone; the repeated autumn hour merges in a dict of one zone, so those keys
    # are left out here (fixed offsets are the way to pass them, tested below).
    local = [t.astimezone(tz) for t in instants]
    mapping = {k: float(i) for i, k in enumerate(local) if k.astimezone(UTC) == instants[i]}
    mapping = {k: v for k, v in mapping.items() if k.fold == 0 and _unambiguous(k)}
    got = identity(mapping, start, instants[-1] + dt.timedelta(minutes=15))
    expected = {k.astimezone(UTC): v for k, v in mapping.items()}
    assert {k: v for k, v in got.items() if k in expected} == expected


def _unambiguous(k):
    return k.replace(fold=1).utcoffset() == k.utcoffset()


def test_fixed_offset_keys_carry_the_repeated_hour(identity):
    # Stockholm's autumn change: 02:00-03:00 local happens twice (+02:00 then +01:00).
    start = utc(2025, 10, 25, 22)
    instants = quarter_keys(start, 24 * 4 + 4)
    stockholm = ZoneInfo("Europe/Stockholm")
    mapping = {}
    for i, t in enumerate(instants):
        local = t.astimezone(stockholm)
        mapping[t.astimezone(dt.timezone(local.utcoffset()))] = float(i)
    assert len(mapping) == 100
    got = identity(mapping, start, instants[-1] + dt.timedelta(minutes=15))
    assert got == {t: float(i) for i, t in enumerate(instants)}


def test_pandas_timestamps_mixed_zones_and_unsorted_keys(identity):
    start = utc(2025, 3, 1)
    instants = quarter_keys(start, 8)
    keys = [
        pd.Timestamp(instants[0]),
        instants[1].astimezone(ZoneInfo("Asia/Tokyo")),
        pd.Timestamp(instants[2]).tz_convert("America/New_York"),
        instants[3].astimezone(dt.timezone(dt.timedelta(hours=-7, minutes=-30))),
    ] + instants[4:]
    order = [5, 0, 7, 2, 1, 6, 3, 4]
    mapping = {keys[i]: float(i) for i in order}
    got = identity(mapping, start, start + dt.timedelta(hours=2))
    assert got == {instants[i]: float(i) for i in range(8)}


def test_missing_values_stay_missing(identity):
    start = utc(2025, 1, 1)
    keys = quarter_keys(start, 4)
    got = identity(
        {keys[0]: 1.5, keys[1]: float("nan"), keys[2]: None, keys[3]: np.float32(2.0)},
        start,
        start + dt.timedelta(hours=1),
    )
    assert got[keys[0]] == 1.5 and got[keys[3]] == 2.0
    assert math.isnan(got[keys[1]]) and math.isnan(got[keys[2]])


@pytest.mark.parametrize(
    "key, value, error, text",
    [
        (
            dt.datetime(2025, 1, 1),
            1.0,
            TypeError,
            "is a naive datetime; keys must be time-zone aware",
        ),
        ("2025-01-01T00:00Z", 1.0, TypeError, "is not a datetime (got str)"),
        (dt.date(2025, 1, 1), 1.0, TypeError, "is not a datetime (got date)"),
        (utc(2025, 1, 1), "1.0", TypeError, "is not a number (got str)"),
        (utc(2025, 1, 1), [1.0], TypeError, "is not a number (got list)"),
        (utc(2025, 1, 1), 1j, TypeError, "is not a number (got complex)"),
        (utc(2300, 1, 1), 1.0, ValueError, "outside the representable range of instants"),
    ],
)
def test_bad_keys_and_values_name_the_dataset(identity, key, value, error, text):
    with pytest.raises(error, match="^input dataset 'consumption': .*" + _escape(text)):
        identity({key: value}, utc(2025, 1, 1), utc(2025, 1, 2))


def _escape(text):
    import re

    return re.escape(text)


@pytest.mark.parametrize("mapping", [[(utc(2025, 1, 1), 1.0)], pd.Series([1.0]), None])
def test_a_series_mapping_that_is_not_a_dict(identity, mapping):
    with pytest.raises(TypeError, match="^input dataset 'consumption': expected a dict of"):
        identity(mapping, utc(2025, 1, 1), utc(2025, 1, 2))


@pytest.mark.parametrize(
    "data, got",
    [([], "list"), (None, "NoneType"), (collections.OrderedDict(), "OrderedDict")],
)
def test_data_must_be_exactly_a_dict(facade, data, got):
    with pytest.raises(TypeError) as e:
        facade.calculate_cost("id", utc(2025, 1, 1), utc(2025, 1, 2), data)
    assert str(e.value) == f"Argument 'data' has incorrect type (expected dict, got {got})"


def _fields(keys):
    return [(k.replace(tzinfo=None), k.fold, k.utcoffset()) for k in keys]


def test_float_cost_keys_carry_the_series_zone():
    component = _engine_component()
    zone = ZoneInfo("Europe/Stockholm")
    index = pd.date_range(utc(2025, 3, 29, 22), periods=96, freq="15min").tz_convert(zone)
    series = pd.Series(np.arange(96.0), index=index)
    series.iloc[3] = np.nan
    cost = logic._to_float_cost(series, component)
    keys = list(cost.costs)
    assert all(k.tzinfo is zone for k in keys)
    assert [k.astimezone(UTC) for k in keys] == list(index.tz_convert("UTC").to_pydatetime())
    assert _fields(keys) == _fields(t.astimezone(zone) for t in index.tz_convert("UTC"))
    values = list(cost.costs.values())
    assert math.isnan(values[3]) and values[:3] == [0.0, 1.0, 2.0]
    assert cost.component.name == component.name and cost.component.id == component.id


@pytest.mark.parametrize(
    "tz", ["UTC", "America/Santiago", "Asia/Beirut", "Australia/Lord_Howe", "UTC+05:45"]
)
def test_float_cost_keys_in_any_zone_match_the_host(tz):
    # The keys are the host's own datetimes of each instant in the zone, with their fold; a
    # dict of one zone merges the repeated hour as the host's dicts do (hence UTC results).
    zone = _engine.timezone_from_str(tz)
    index = pd.date_range(utc(2024, 1, 1), utc(2025, 1, 1), freq="15min", inclusive="left")
    series = pd.Series(np.arange(len(index), dtype="float64"), index=index.tz_convert(zone))
    got = logic._to_float_cost(series, _engine_component()).costs
    expected = {t.astimezone(zone): float(i) for i, t in enumerate(index.to_pydatetime())}
    assert _fields(got) == _fields(expected)
    assert list(got.values()) == list(expected.values())


def test_float_cost_of_an_empty_series_and_repeated_instants():
    component = _engine_component()
    empty = pd.Series([], dtype="float64", index=pd.DatetimeIndex([], tz="UTC"))
    assert logic._to_float_cost(empty, component).costs == {}
    t = utc(2025, 1, 1)
    twice = pd.Series([1.0, 2.0], index=pd.DatetimeIndex([t, t]))
    assert logic._to_float_cost(twice, component).costs == {t: 2.0}


def _engine_component():
    return logic._to_domain_component(rate_component(1.0))


ZONES = ["UTC", "Europe/Stockholm", "America/Santiago", "Asia/Kathmandu", "Pacific/Chatham"]


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.tuples(
            st.integers(0, 10 * 366 * 96),
            st.sampled_from(ZONES + ["+05:30", "-03:00"]),
            st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-5, 5)),
        ),
        max_size=40,
    )
)
def test_the_reader_agrees_with_pandas(items):
    mapping = {}
    for step, zone, value in items:
        instant = utc(2020, 1, 1) + dt.timedelta(minutes=15 * step)
        if zone.startswith(("+", "-")):
            sign = 1 if zone[0] == "+" else -1
            hours, minutes = map(int, zone[1:].split(":"))
            tz = dt.timezone(sign * dt.timedelta(hours=hours, minutes=minutes))
        else:
            tz = ZoneInfo(zone)
        key = instant.astimezone(tz)
        if key.replace(fold=1 - key.fold).utcoffset() != key.utcoffset():
            continue  # a repeated wall time: a dict of that zone cannot hold both
        mapping[key] = value
    engine_ds = logic._to_domain_dataset(CONSUMPTION)
    got = logic._to_input_series(mapping, engine_ds)
    expected = pd.Series(
        [float(v) for v in mapping.values()],
        index=pd.DatetimeIndex([k.astimezone(UTC) for k in mapping]).as_unit("ns"),
        dtype="float64",
    )
    assert got.name == "consumption"
    assert list(got.index.as_unit("ns").asi8) == list(expected.index.asi8)
    np.testing.assert_array_equal(got.to_numpy(), expected.to_numpy())
