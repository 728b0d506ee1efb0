"""`ostrelpy.cost` as a library: typed inputs, Python argument names, net export as export,
power datasets, and what a bill does not cover, against plain pandas."""

import inspect
import re
import uuid
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest
from conftest import monthly_peak_fee
from hypothesis import given, settings
from hypothesis import strategies as st

import ostrelpy
from ostrelpy import cli, coverage, meter, pricing
from ostrelpy.meter import MeterError
from ostrelpy.models import Tariff

SE = "5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f"
SE_2026 = "3c9e1f4a-2b6d-4e8f-9a1c-5d7e8f9a0b1c"
TZ = "Europe/Stockholm"


def series(start="2025-02-01", end="2025-03-01", freq="15min", seed=3, low=0.0) -> pd.Series:
    index = pd.date_range(start, end, freq=freq, tz=TZ, inclusive="left")
    values = np.random.default_rng(seed).uniform(low, 1.0, len(index))
    return pd.Series(values, index=index)


def by_component(frame) -> dict[str, float]:
    return frame.groupby("component")["cost"].sum().to_dict()


@pytest.mark.parametrize(
    "values, call, text",
    [
        (["0.5", "0.25"], {}, "values must be numbers (kWh per interval), got dtype"),
        ([True, False], {}, "values must be numbers (kWh per interval), got dtype bool"),
        ([0.5, -0.25], {}, "row 1: negative value -0.25 (net export); pass allow_export=True"),
        ([0.5, 0.25], {"start": "2025-02-01T00:07+01:00"}, "start 2025-02-01T00:07:00+01:00 is"),
        ([0.5, 0.25], {"start": "2025-02-01T00:00"}, "needs a UTC offset (e.g. 20"),
        (
            [0.5, 0.25],
            {"start": "2025-02-01T00:15+01:00", "end": "2025-02-01T00:15+01:00"},
            "start 2025-02-01T00:15:00+01:00 is not before end",
        ),
    ],
)
def test_library_refusals_name_python_arguments(values, call, text):
    index = pd.date_range("2025-02-01", periods=2, freq="15min", tz=TZ)
    with pytest.raises(ValueError, match=re.escape(text)) as caught:
        ostrelpy.cost(SE, pd.Series(values, index=index), **call)
    assert "--" not in str(caught.value)


def test_one_export_default_shared_with_the_command_line():
    default = inspect.signature(ostrelpy.cost).parameters["allow_export"].default
    parsed = cli._parser().parse_args(["cost"])
    assert default is parsed.allow_export is pricing.ALLOW_EXPORT is False


def test_net_export_is_no_negative_consumption():
    # A solar household: net readings, negative at midday; and one that only exports.
    net = series(low=-1.0)
    bill = ostrelpy.cost(SE, net, allow_export=True)
    imported = ostrelpy.cost(SE, net.clip(lower=0.0))
    assert by_component(bill) == pytest.approx(by_component(imported), rel=1e-12)
    assert bill.exported_kwh == pytest.approx(-net[net < 0].sum())
    assert imported.exported_kwh == 0.0
    only_export = ostrelpy.cost(SE, -net.abs(), allow_export=True)
    costs = by_component(only_export)
    assert costs["Energiskatt"] == costs["Effektavgift"] == 0.0
    assert costs["Abonnemangsavgift"] > 0


def test_naive_index_and_period_read_in_the_timezone_given():
    # October: the repeated hour of the 26th, given twice in order as a meter writes it.
    aware = series("2025-10-20", "2025-10-30")
    naive = aware.set_axis(aware.index.tz_localize(None))
    start, end = "2025-10-21T00:00", "2025-10-29T00:00"
    got = ostrelpy.cost(SE, naive, start, end, timezone=TZ)
    want = ostrelpy.cost(SE, aware, "2025-10-21T00:00+02:00", "2025-10-29T00:00+01:00")
    assert by_component(got) == pytest.approx(by_component(want), rel=1e-12)
    with pytest.raises(MeterError, match="pass timezone="):
        ostrelpy.cost(SE, naive)


def power_tariff() -> Tariff:
    kw_hourly = {"id": "power", "resolution": "hourly", "unit": "kW"}
    peak = {"id": "peak", "resolution": "monthly", "unit": "kW"}
    cost = {"id": "cost", "resolution": "monthly", "unit": "SEK"}
    component = {
        "id": str(uuid.uuid4()),
        "name": "Effekt",
        "timezone": TZ,
        "datasets": [kw_hourly],
        "functions": monthly_peak_fee(kw_hourly, peak, cost),
        "cost": cost,
    }
    return Tariff.model_validate(
        {"id": str(uuid.uuid4()), "name": "power", "tariff_components": [component]}
    )


@pytest.mark.parametrize("freq", ["5min", "15min", "1h"])
def test_a_power_dataset_takes_the_series_as_power(freq):
    kw = series("2025-01-01", "2025-03-01", freq=freq) * 6.0
    frame = ostrelpy.cost(power_tariff(), {"power": kw})
    hourly = kw.resample("1h").mean() if freq != "1h" else kw
    local = hourly.tz_convert(TZ)
    peaks = local.groupby(local.index.strftime("%Y-%m")).max()
    assert frame.monthly()["Effekt"].to_dict() == pytest.approx((35.0 * peaks).to_dict())
    with pytest.raises(ValueError, match=re.escape("pass {'power': series}")):
        ostrelpy.cost(power_tariff(), kw)


def hourly_gaps(kwh: pd.Series, start, end) -> list[tuple[pd.Timestamp, pd.Timestamp]]:
    """Runs of hours without a reading, by pandas."""
    grid = pd.date_range(start, end, freq="1h", inclusive="left")
    missing = kwh.reindex(grid).isna()
    runs = (missing != missing.shift()).cumsum()[missing]
    return [(g.index[0], g.index[-1] + pd.Timedelta(hours=1)) for _, g in runs.groupby(runs)]


@pytest.mark.parametrize(
    "tariff, start, end",
    [
        (SE, "2024-06-01T00:00+02:00", "2026-03-01T00:00+01:00"),
        (SE_2026, "2024-11-10T12:00+01:00", "2026-02-01T00:00+01:00"),
        (SE_2026, "2025-03-05T00:00+01:00", "2025-05-01T00:00+02:00"),
    ],
)
def test_coverage_names_every_span_a_component_leaves_out(tariff, start, end):
    kwh = series("2024-06-01", "2026-03-01", freq="1h")
    kwh = kwh.drop(kwh.index[3000:3100]).drop(kwh.index[9000:9003])  # two gaps
    lo, hi = pd.Timestamp(start).tz_convert("UTC"), pd.Timestamp(end).tz_convert("UTC")
    frame = ostrelpy.cost(tariff, kwh, start, end)
    components = pricing.resolve_tariff(tariff).tariff_components
    for name in dict.fromkeys(c.name for c in components):
        # Independently: the instants some component of this name is valid at.
        grid = pd.date_range(lo, hi, freq="15min", inclusive="left")
        valid = np.zeros(len(grid), dtype=bool)
        for c in (c for c in components if c.name == name):
            a = pd.Timestamp(c.applicable_from or lo).tz_convert("UTC")
            b = pd.Timestamp(c.applicable_to or hi).tz_convert("UTC")
            valid |= (grid >= a) & (grid < b)
        gaps = [g for g in frame.coverage if g.component == name]
        said = np.zeros(len(grid), dtype=bool)
        for g in (g for g in gaps if g.reason == coverage.NOT_ACTIVE):
            said |= (grid >= g.start) & (grid < g.end)
        np.testing.assert_array_equal(said, ~valid)
        rows = frame[frame["component"] == name]["start"].dt.tz_convert("UTC")
        assert rows.empty or not said[grid.get_indexer(rows.clip(lower=lo))].any()
        if any(c.datasets for c in components if c.name == name):
            no_data = [(g.start, g.end) for g in gaps if g.reason == coverage.NO_DATA]
            expected = [
                (max(a, lo), min(b, hi))
                for a, b in hourly_gaps(kwh, lo, hi)
                if (min(b, hi) > max(a, lo)) and valid[grid.get_indexer([max(a, lo)])[0]]
            ]
            assert no_data == expected
    months = [n for n in frame.notes if n.startswith("Effektavgift is charged per month")]
    first = max(pd.Timestamp(start), pd.Timestamp("2025-01-01T00:00+01:00"))  # valid from
    partial = first.day != 1 or first.hour != 0 or pd.Timestamp(end).day != 1
    assert bool(months) == partial


def test_the_command_names_the_same_gaps(tmp_path, capsys):
    import io
    import json

    kwh = series("2024-12-01", "2025-02-01", freq="1h")
    kwh = kwh.drop(kwh.index[1000:1010])
    path = tmp_path / "gaps.csv"
    kwh.rename_axis("t").rename("kwh").to_csv(path, date_format="%Y-%m-%dT%H:%M:%S%z")
    frame = ostrelpy.cost(SE_2026, kwh)
    expected = [g.as_dict(pd.Timestamp(0, tz=TZ).tz) for g in frame.coverage]
    assert {g["reason"] for g in expected} == {coverage.NOT_ACTIVE, coverage.NO_DATA}
    assert cli.main(["cost", SE_2026, "-c", str(path), "--format", "json"]) == 0
    assert json.loads(capsys.readouterr().out)["coverage"] == expected
    assert cli.main(["cost", SE_2026, "-c", str(path), "--format", "csv"]) == 0
    table = pd.read_csv(io.StringIO(capsys.readouterr().out)).set_index(["month", "component"])
    assert table.loc[("2024-12", "Energiskatt"), "coverage"].startswith("not active from 2024-12")
    assert table.loc[("2025-01", "Effektavgift"), "coverage"].startswith("no data for 'consump")
    assert cli.main(["cost", SE_2026, "-c", str(path)]) == 0
    out = capsys.readouterr().out
    assert (
        "not priced: Energiskatt, Överföringsavgift, Effektavgift, Abonnemangsavgift: not active "
        "from 2024-12-01T00:00:00+01:00 to 2025-01-01T00:00:00+01:00\n" in out
    )


@pytest.mark.parametrize("seed", range(12))
def test_series_checked_at_a_glance_as_by_the_full_checks(seed, monkeypatch):
    rng = np.random.default_rng(seed)
    step = pd.Timedelta(minutes=int(rng.choice([1, 5, 15, 60, 120, 1440])))
    index = pd.date_range("2025-03-29T22:00+01:00", periods=300, freq=step).tz_convert(TZ)
    values = rng.uniform(0.0, 2.0, len(index))
    spoil = seed % 6  # 0: as it is, then one fault of each kind
    if spoil == 1:
        values[rng.integers(len(values))] = rng.choice([np.nan, np.inf, -np.inf])
    elif spoil == 2:
        values[rng.integers(len(values))] = -0.5
    elif spoil == 3:
        index = index.delete(rng.integers(1, len(index) - 1))  # a gap
        values = values[1:]
    elif spoil == 4:
        index = index[rng.permutation(len(index))]  # out of order
    elif spoil == 5:
        index = index.insert(7, index[3])  # a duplicate
        values = np.insert(values, 7, 1.0)
    given = pd.Series(values, index=index)
    if spoil == 0 and step < pd.Timedelta(days=1):  # the glance alone takes it
        assert meter._regular("x", given.index, values, None, False) is not None

    def reading(allow_export):
        try:
            r = meter.from_series(given, calendar_zone=ZoneInfo(TZ), allow_export=allow_export)
        except MeterError as exc:
            return str(exc)
        return (r.energy, r.interval, r.zone, r.gaps)

    for allow_export in (False, True):
        glance = reading(allow_export)
        monkeypatch.setattr(meter, "_regular", lambda *args: None)
        full = reading(allow_export)
        monkeypatch.undo()
        if isinstance(full, str):
            assert glance == full
        else:
            pd.testing.assert_series_equal(glance[0], full[0], check_exact=True)
            assert glance[1:] == full[1:]


@pytest.mark.parametrize("seed", range(4))
def test_monthly_table_against_a_pandas_group_by(seed):
    rng = np.random.default_rng(seed)
    frame = ostrelpy.cost(SE, series("2025-01-20", "2025-04-10", seed=seed))
    rows = rng.permutation(len(frame))[: len(frame) * 2 // 3]  # shuffled, some rows gone
    part = frame.iloc[rows]
    if seed % 2:
        part = part[part["component"] != "Effektavgift"]
    monthly = part.monthly()
    local = part["start"].dt.tz_convert(TZ)
    expected = (
        part.assign(month=local.dt.strftime("%Y-%m"))
        .pivot_table("cost", "month", "component", aggfunc="sum", observed=True)
        .fillna(0.0)
    )
    assert list(monthly.index) == list(expected.index)
    names = [c for c in frame["component"].cat.categories if c in set(part["component"])]
    assert list(monthly.columns) == [*names, "total"] and monthly.columns.name == "SEK"
    np.testing.assert_allclose(monthly[names].to_numpy(), expected[names].to_numpy(), rtol=1e-12)
    np.testing.assert_allclose(monthly["total"], expected.sum(axis=1), rtol=1e-12)


def test_whole_months_long_ago_are_no_partial_periods():
    data = pricing.resolve_tariff(SE).model_dump()
    for c in data["tariff_components"]:
        c.update(applicable_from=None, applicable_to=None, timezone="UTC")
    tariff = Tariff.model_validate(data)
    index = pd.date_range("1850-01-01", "1850-03-01", freq="15min", tz="UTC", inclusive="left")
    assert ostrelpy.cost(tariff, pd.Series(0.3, index=index)).notes == []
    cut = ostrelpy.cost(tariff, pd.Series(0.3, index=index[4:]))  # from 01:00 on the first
    assert [n.split(":")[1].strip() for n in cut.notes] == [
        "1850-01 lies only partly in the period and is charged as a whole month",
        "1850-01-01 lies only partly in the period and is charged as a whole day",
    ]


def test_a_tariff_object_changed_between_bills_is_priced_as_it_now_stands():
    """The engine records of a given Tariff are remembered by what its components hold: a
    change in place (a price, a missing value for a number) is priced anew,
    as a fresh copy of the changed tariff is."""
    tariff = pricing.resolve_tariff(SE)
    kwh = series(freq="h")
    ostrelpy.cost(tariff, kwh)  # remembered as it was
    levels = [
        v
        for c in tariff.tariff_components
        for f in c.functions
        for v in f.values()
        if isinstance(v, dict) and isinstance(v.get("value"), float) and v["value"]
    ]
    levels[0]["value"] *= 3.0
    fresh = Tariff.model_validate(tariff.model_dump())
    pd.testing.assert_frame_equal(ostrelpy.cost(tariff, kwh), ostrelpy.cost(fresh, kwh))
    levels[0]["value"] = float("nan")  # no longer a price: refused as a fresh copy is
    with pytest.raises(ValueError) as given:
        ostrelpy.cost(tariff, kwh)
    with pytest.raises(ValueError) as copied:
        ostrelpy.cost(Tariff.model_validate(tariff.model_dump()), kwh)
    assert str(given.value) == str(copied.value)


@given(
    st.lists(
        st.tuples(
            st.integers(0, 3),  # quarter-hours since the previous reading ended
            st.integers(0, 8),  # the reading's length in quarter-hours (0: an empty reading)
            st.floats(-1e6, 1e6, allow_nan=False),
        ),
        max_size=30,
    ),
    st.integers(-2, 150),
    st.integers(-2, 150),
)
@settings(max_examples=300, deadline=None)
def test_readings_spread_over_quarters_as_a_plain_loop_spreads_them(readings, lo, hi):
    q = meter.QUARTER.value
    t0 = 1_700_000_000 // 900 * 900 * 10**9
    starts, ends, values, expected = [], [], [], []
    at = t0
    for gap, length, value in readings:
        start = at + gap * q
        starts.append(start)
        ends.append(start + length * q)
        values.append(value)
        for k in range(length):
            if t0 + lo * q <= start + k * q < t0 + hi * q:
                expected.append((start + k * q, value / length + 0.0))
        at = start + length * q
    got_t, got_v = meter.native()._spread_over_quarters(
        np.array(starts, dtype=np.int64),
        np.array(ends, dtype=np.int64),
        np.array(values, dtype=np.float64),
        t0 + lo * q,
        t0 + hi * q,
    )
    assert got_t.tolist() == [t for t, _ in expected]
    # Bit for bit, negative zeros included (a share is never one).
    assert [v.hex() for v in got_v.tolist()] == [v.hex() for _, v in expected]


@given(
    st.lists(
        st.tuples(st.integers(0, 2), st.integers(0, 5), st.floats(-1e3, 1e3, allow_nan=False)),
        max_size=60,
    ),
    st.lists(st.integers(1, 4), min_size=1, max_size=5),
)
@settings(max_examples=300, deadline=None)
def test_bill_sums_add_each_cell_in_row_order(rows, steps):
    # Rows as a cost frame holds them: each component's instants ascend, the next component
    # starts again from the beginning; every cell is summed left to right.
    edges = np.cumsum([0, *steps]).astype(np.int64)
    instants, codes, amounts, at = [], [], [], 0
    for code, step, amount in sorted(rows, key=lambda r: r[0]):
        at = at + step if codes and codes[-1] == code else step
        instants.append(at)
        codes.append(code)
        amounts.append(amount)
    expected = np.zeros(len(edges) * 3)
    present, first = np.zeros(len(edges), dtype=np.uint8), np.full(3, -1)
    for i, (t, code, amount) in enumerate(zip(instants, codes, amounts)):
        period = int(np.searchsorted(edges, t, side="right")) - 1
        expected[period * 3 + code] += amount
        present[period] = 1
        first[code] = i if first[code] < 0 else first[code]
    sums, got_present, got_first = meter.native()._period_sums(
        np.array(instants, dtype=np.int64),
        edges,
        np.array(codes, dtype=np.int8),
        3,
        np.array(amounts, dtype=np.float64),
    )
    assert [v.hex() for v in sums.tolist()] == [float(v).hex() for v in expected]
    assert got_present.tolist() == present.tolist() and got_first.tolist() == first.tolist()


@settings(max_examples=300, deadline=None)
@given(
    values=st.lists(st.floats(width=64), min_size=2, max_size=40),
    first=st.integers(-(2**63) + 1, 2**63 - 1),
    step=st.integers(-(2**62), 2**62),
    odd=st.none() | st.tuples(st.integers(1, 39), st.integers(-(2**63) + 1, 2**63 - 1)),
)
def test_the_facts_of_a_reading_and_the_stacked_costs_agree_with_numpy(values, first, step, odd):
    """The one native pass that lets a reading skip the full checks, and the stacking of cost
    series without their missing values, against plain Python and numpy: instants that wrap
    around int64 while keeping one difference do not ascend."""
    n = len(values)
    wide = [first + step * k for k in range(n)]
    if odd is not None and odd[0] < n:
        wide[odd[0]] = odd[1]
    instants = np.array([(t + 2**63) % 2**64 - 2**63 for t in wide], dtype=np.int64)
    v = np.array(values)
    finite, lo, hi, found = meter.native()._reading_facts(instants, v)
    assert finite == bool(np.isfinite(v).all())
    if finite:
        assert (lo, hi) == (v.min(), v.max())
    steps = {int(b) - int(a) for a, b in zip(instants[:-1], instants[1:])}
    assert found == (steps.pop() if len(steps) == 1 and 0 < min(steps) < 2**63 else 0)

    halves = [pd.Series(v[:k], index=pd.DatetimeIndex(instants[:k], tz="UTC")) for k in (n // 2, n)]
    got, kept, sizes = meter.native()._stack_present(halves)
    both = pd.concat(halves)
    present = both.notna().to_numpy()
    assert np.array_equal(got, both.index.asi8[present])
    assert np.array_equal(kept.view(np.int64), both.to_numpy()[present].view(np.int64))
    assert sizes.tolist() == [int(h.notna().sum()) for h in halves]


@pytest.mark.parametrize("unit", ["s", "ms", "us"])
@pytest.mark.parametrize(
    ("first", "freq", "periods"),
    [
        ("2025-10-25 22:00", "15min", 300),  # across the autumn change in Stockholm
        ("2025-03-29", "h", 80),  # across the spring change
        ("2261-12-31 20:00", "15min", 40),  # up to the last instant in nanoseconds
        ("2262-04-12 01:00", "15min", 8),  # ending beyond it: refused, where pandas refuses it
    ],
)
def test_a_series_in_a_coarser_unit_reads_as_its_nanosecond_twin(unit, first, freq, periods):
    """What a reading makes of an index in seconds, milliseconds or microseconds is what it
    makes of the same index converted to nanoseconds by pandas; where pandas cannot convert
    it, a reading's own error naming the years it can hold."""
    index = pd.date_range(
        pd.Timestamp(first, tz="Europe/Stockholm"), periods=periods, freq=freq, unit=unit
    )
    values = np.linspace(0.1, 2.0, periods)

    def read(idx):
        try:
            r = meter.from_series(pd.Series(values, index=idx), allow_export=False)
        except Exception as exc:  # noqa: BLE001 (the refusals are compared)
            return type(exc), str(exc)
        return r.energy.index.asi8.tolist(), r.energy.to_numpy().tolist(), r.interval

    try:
        twin = index.as_unit("ns")
    except pd.errors.OutOfBoundsDatetime:
        with pytest.raises(meter.MeterError, match="outside the years 1678 to 2261"):
            meter.from_series(pd.Series(values, index=index), allow_export=False)
        return
    assert read(index) == read(twin)
