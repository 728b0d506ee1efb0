"""The fleet on Dask: a 2-worker LocalCluster of processes, and the `fleet` command."""

import pandas as pd
import pytest

from ostrelpy import cli, fleet

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

TARIFF = "7a1d3f2c"


def long_readings(meters, days):
    wide = fleet.synthetic_fleet(meters, start="2025-03-28", days=days, seed=4)
    long = wide.stack().rename("kwh").rename_axis(["interval_start", "meter"]).reset_index()
    long.loc[long.index[40], "kwh"] = -1.0  # one meter refused: negative energy
    return long


def by_meter(frame):
    frame = pd.DataFrame(frame).astype(
        {c: object for c in ("meter", "component", "month", "currency")}
    )
    return frame.sort_values(["meter", "component", "month"]).reset_index(drop=True)


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        yield c


@pytest.mark.parametrize("persisted", [False, True])
def test_dask_cost_on_two_workers_equals_the_batch(client, persisted):
    long = long_readings(8, 4)
    # Partitioned by meter: each partition holds whole meters.
    ddf = dd.from_pandas(long.set_index("meter"), npartitions=4).reset_index()
    assert ddf.npartitions == 4
    if persisted:
        ddf = ddf.persist()
        distributed.wait(ddf)
        # Each partition's bills read the key it is held under: no task in between.
        only = fleet.dask_cost(TARIFF, ddf)
        assert len(only.__dask_graph__()) == 2 * ddf.npartitions + 1  # held, bills, tariff
    want = fleet.cost(TARIFF, long)
    bills, issues = fleet.dask_cost(TARIFF, ddf, issues=True)
    with_issues, got_issues = client.compute([bills, issues], sync=True)
    assert list(got_issues["kind"]) == list(want.issues["kind"]) == ["negative"]
    with distributed.get_task_stream(client) as stream:
        only = client.compute(fleet.dask_cost(TARIFF, ddf), sync=True)
    # Per partition, its pandas frame (unless held) and one task that resets its index and
    # prices it; then the tariff and the bills gathered. A distributed client's compute does
    # not fuse the pricing with the step before it by itself.
    assert len(stream.data) == ddf.npartitions * (1 if persisted else 2) + 2
    for got in [with_issues, only]:
        assert got.dtypes.equals(bills.dtypes)  # as the collection says
        pd.testing.assert_frame_equal(by_meter(got), by_meter(pd.DataFrame(want)))
    ran_on = client.run(lambda: 1)
    assert len(ran_on) == 2


def test_fleet_command_writes_bills(tmp_path, capsys):
    long = long_readings(5, 3).assign(quality="measured")  # a column the bills do not read
    source = tmp_path / "meters"
    source.mkdir()
    half = len(long) // 2  # a meter may straddle the files
    long.iloc[:half].to_parquet(source / "part0.parquet")
    long.iloc[half:].to_parquet(source / "part1.parquet")
    out, issues = tmp_path / "bills.parquet", tmp_path / "issues.parquet"
    args = ["fleet", TARIFF, "--meters", str(source), "--out", str(out), "--issues", str(issues)]
    assert cli.main(args) == 0
    assert "4 meter(s) billed" in capsys.readouterr().out
    want = fleet.cost(TARIFF, long)
    pd.testing.assert_frame_equal(by_meter(pd.read_parquet(out)), by_meter(pd.DataFrame(want)))
    assert list(pd.read_parquet(issues)["kind"]) == ["negative"]

    assert cli.main(["fleet", TARIFF, "--meters", str(tmp_path / "none"), "--out", str(out)]) == 1
    err = capsys.readouterr().err
    assert err.startswith("ostrelpy: ") and "no such file" in err and err.count("\n") == 1


# How five meters' readings (284 each) are cut into files: per file the meters it holds, a
# pair (meter, 0.5) for the first half of a meter's readings and (meter, 1.0) for the rest;
# then the row groups' size in readings.
LAYOUTS = {
    "files of whole meters, row groups across meters": ([[0, 1], [2], [3, 4]], 50),
    "row groups of whole meters": ([[0], [1, 2], [3, 4]], 284),
    "whole meters, files' ranges overlapping": ([[0, 2], [1, 3, 4]], 1000),
    "a meter across two files": ([[0, 1, (2, 0.5)], [(2, 1.0), 3, 4]], 1000),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_fleet_command_bills_each_meter_once_however_the_files_hold_them(tmp_path, layout):
    long = long_readings(5, 3).sort_values(["meter", "interval_start"], kind="stable")
    ids = list(long["meter"].unique())
    groups = {m: g for m, g in long.groupby("meter", sort=False)}
    cut, rows = LAYOUTS[layout]
    source = tmp_path / "meters"
    source.mkdir()
    for k, held in enumerate(cut):
        pieces = []
        for item in held:
            m, share = item if isinstance(item, tuple) else (item, None)
            g = groups[ids[m]]
            half = len(g) // 2
            pieces.append(g if share is None else g.iloc[:half] if share < 1 else g.iloc[half:])
        pd.concat(pieces).to_parquet(source / f"part{k}.parquet", row_group_size=rows)
    out = tmp_path / "bills.parquet"
    assert cli.main(["fleet", TARIFF, "--meters", str(source), "--out", str(out)]) == 0
    want = fleet.cost(TARIFF, long)
    pd.testing.assert_frame_equal(by_meter(pd.read_parquet(out)), by_meter(pd.DataFrame(want)))
