"""The fleet: every meter billed exactly as `ostrelpy.cost` bills it alone, whatever its data."""

import numpy as np
import pandas as pd
import pytest
from conftest import CATALOGUE

import ostrelpy
from ostrelpy import fleet


def _tariffs():
    """The bundled tariffs, but of the 41 price lists of one company's two networks (alike
    but for their numbers) only the first of each network."""
    out, lists = [], {}
    for path in sorted(CATALOGUE.glob("*.json")):
        head = path.read_text(encoding="utf-8")[:2000]
        network = next((n for n in ("Linköping", "Katrineholm", "Mjölby") if n in head), None)
        if network is None or lists.setdefault(network, path.stem) == path.stem:
            out.append(path.stem)
    return out


TARIFFS = _tariffs()
# Across the clock changes of 2025 and the validity edges of the bundled tariffs.
PERIODS = [
    ("2025-03-25T00:00+01:00", "2025-04-05T00:00+02:00"),
    ("2025-10-20T00:00+02:00", "2025-11-02T00:00+01:00"),
    ("2025-12-28T00:00+01:00", "2026-01-04T00:00+01:00"),
]


def reference(tariff, series, start=None, end=None):
    """`ostrelpy.cost` of one meter, summed per component and local month."""
    frame = ostrelpy.cost(tariff, series, start, end, allow_export=True)
    if frame.empty:
        return pd.Series(dtype="float64")
    month = frame["start"].dt.strftime("%Y-%m")
    return frame.assign(month=month).groupby(["component", "month"])["cost"].sum()


def assert_bills_match(bills, tariff, series_of, start=None, end=None):
    wanted = {m: reference(tariff, s, start, end) for m, s in series_of.items()}
    # A period in which no component of the tariff applies bills nobody.
    assert set(bills["meter"]) == {m for m, w in wanted.items() if len(w)}
    for m, want in wanted.items():
        got = bills[bills["meter"] == m].set_index(["component", "month"])["cost"]
        if not len(want):
            assert got.empty
            continue
        keys = got.index.union(want.index)
        np.testing.assert_allclose(
            got.reindex(keys, fill_value=0.0),
            want.reindex(keys, fill_value=0.0),
            rtol=1e-9,
            atol=1e-9,
            err_msg=f"meter {m}",
        )


def random_meters(start, end, n, seed):
    rng = np.random.default_rng(seed)
    lo = pd.Timestamp(start).tz_convert("UTC") - pd.Timedelta(days=2)
    hi = pd.Timestamp(end).tz_convert("UTC") + pd.Timedelta(days=2)
    index = pd.date_range(lo, hi, freq="15min", inclusive="left")
    values = rng.gamma(0.6, 0.5, (len(index), n)) * rng.uniform(0.2, 3.0, n)
    values[rng.random(values.shape) < 0.01] *= 20  # peaks
    return pd.DataFrame(values, index=index, columns=[f"r{i}" for i in range(n)])


@pytest.mark.parametrize("tariff", TARIFFS)
@pytest.mark.parametrize("period", PERIODS)
def test_each_meter_billed_as_alone(tariff, period):
    start, end = period
    wide = random_meters(start, end, 5, seed=hash((tariff, start)) % 2**32)
    bills = fleet.cost(tariff, wide, start, end, memory_budget=50_000)
    assert bills.issues.empty
    assert_bills_match(bills, tariff, {m: wide[m] for m in wide}, start, end)
    totals = bills.totals()
    billed = [m for m in wide.columns if (bills["meter"] == m).any()]
    np.testing.assert_allclose(
        totals[billed], [bills.loc[bills["meter"] == m, "cost"].sum() for m in billed]
    )


def test_bad_meters_are_reported_and_never_fail_the_fleet():
    """Long readings of meters with gaps, hourly data, a duplicate, a word, a negative value,
    too short a span: each is priced or refused by the rules of `ostrelpy cost`."""
    start, end = "2025-03-28T00:00+01:00", "2025-04-02T00:00+02:00"
    wide = random_meters(start, end, 7, seed=3)
    series = {m: wide[m] for m in wide}
    series["r1"] = wide["r1"].drop(wide.index[100:140])  # a gap of ten hours
    hourly = wide["r2"].resample("1h").sum()
    series["r2"] = hourly
    late = wide["r6"][wide.index >= pd.Timestamp("2025-03-30T00:00+01:00")]
    series["r6"] = late  # begins inside the period
    rows = []
    for m, s in series.items():
        kwh = s.to_numpy().astype(object)
        if m == "r3":
            kwh[50] = "n/a"
        if m == "r4":
            kwh[70] = -0.5
        rows.append(pd.DataFrame({"meter": m, "interval_start": s.index, "kwh": kwh}))
    long = pd.concat(rows, ignore_index=True)
    duplicate = long[long["meter"] == "r5"].iloc[[10]]
    long = pd.concat([long, duplicate], ignore_index=True).sample(frac=1, random_state=1)

    for allow_export in (False, True):
        bills = fleet.cost(
            "5f0c2a9e", long, start, end, allow_export=allow_export, memory_budget=10**6
        )
        issues = bills.issues.set_index(["meter", "kind"])
        assert sorted(issues.index) == [
            ("r1", "gap"),
            ("r3", "non_numeric"),
            ("r4", "negative"),
            ("r5", "duplicate"),
            ("r6", "outside_period"),
        ]
        assert issues.loc[("r1", "gap"), "first"] == wide.index[100]
        assert issues.loc[("r4", "negative"), "first"] == wide.index[70]
        assert issues["priced"].to_dict() == {
            ("r1", "gap"): True,
            ("r3", "non_numeric"): False,
            ("r4", "negative"): allow_export,
            ("r5", "duplicate"): False,
            ("r6", "outside_period"): False,
        }
        priced = {m: series[m] for m in ("r0", "r1", "r2")}
        if allow_export:
            priced["r4"] = wide["r4"].where(np.arange(len(wide)) != 70, -0.5)
        assert_bills_match(bills, "5f0c2a9e", priced, start, end)
    # Without a period each meter is priced over its own span, the late one included.
    bills = fleet.cost("7a1d3f2c", long[long["meter"].isin(["r0", "r6"])])
    assert_bills_match(bills, "7a1d3f2c", {"r0": series["r0"], "r6": late})


def test_wide_frames_with_empty_cells_and_bad_calls():
    start, end = PERIODS[1]
    wide = random_meters(start, end, 3, seed=5)
    wide.iloc[200:260, 1] = np.nan  # no readings for fifteen hours
    bills = fleet.cost("7a1d3f2c", wide, start, end)
    assert list(bills.issues["kind"]) == ["gap"]
    assert_bills_match(bills, "7a1d3f2c", {m: wide[m].dropna() for m in wide}, start, end)
    # Long readings as ISO 8601 texts whose offsets change with the clocks read the same.
    long = wide.stack().rename("kwh").rename_axis(["interval_start", "meter"]).reset_index()
    long = long.dropna()  # an empty cell is no reading; an empty kwh would be refused
    local = long["interval_start"].dt.tz_convert("Europe/Stockholm")
    texts = long.assign(interval_start=local.map(lambda t: t.isoformat()))
    pd.testing.assert_frame_equal(
        pd.DataFrame(fleet.cost("7a1d3f2c", texts, start, end)), pd.DataFrame(bills)
    )
    with pytest.raises(ValueError, match="time-zone-aware"):
        fleet.cost("7a1d3f2c", texts.assign(interval_start=texts["interval_start"].str[:16]))
    with pytest.raises(ValueError, match="wide .* or long"):
        fleet.cost("7a1d3f2c", wide.reset_index(drop=True))
    with pytest.raises(ValueError, match="not on a quarter-hour"):
        fleet.cost("7a1d3f2c", wide, "2025-10-21T00:05+02:00", end)
    with pytest.raises(ValueError, match="time-zone-aware"):
        fleet.cost("7a1d3f2c", wide.tz_localize(None))


def test_synthetic_fleet_households():
    frame = fleet.synthetic_fleet(40, days=3, start="2025-10-25", seed=1)
    assert frame.shape == (3 * 96 + 4, 40)  # the autumn clock change adds an hour
    assert (frame.to_numpy() >= 0).all()
    evening = frame.index.tz_convert("Europe/Stockholm").hour.isin(range(19, 24))
    # Car owners charge at 11 kW: some quarter-hours of 2.75 kWh or more in the evenings.
    assert (frame[evening] >= 2.75).any().sum() >= 3


@pytest.mark.parametrize("meter_ids", ["text", "number"])
def test_long_readings_meter_after_meter_bill_as_the_wide_frame(meter_ids):
    """The usual export (whole meters one after another on the same quarter-hours) is read as
    the matrix it is; a meter that needs a closer look sends the frame to the general reader."""
    start, end = PERIODS[0]
    wide = random_meters(start, end, 4, seed=9)
    if meter_ids == "number":
        wide.columns = [10, 20, 30, 40]
    long = wide.T.stack().rename("kwh").rename_axis(["meter", "interval_start"]).reset_index()
    want = pd.DataFrame(fleet.cost("5f0c2a9e", wide, start, end))
    pd.testing.assert_frame_equal(pd.DataFrame(fleet.cost("5f0c2a9e", long, start, end)), want)
    long.loc[long.index[-3], "kwh"] = np.nan  # the last meter: a missing value, refused
    bills = fleet.cost("5f0c2a9e", long, start, end)
    assert list(bills.issues["kind"]) == ["non_numeric"]
    kept = want[want["meter"] != wide.columns[-1]].reset_index(drop=True)
    pd.testing.assert_frame_equal(pd.DataFrame(bills).reset_index(drop=True), kept)
