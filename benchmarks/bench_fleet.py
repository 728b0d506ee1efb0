"""Fleet billing: the bundled Swedish tariff over 1 to 1,000 meter-years of quarter-hours.

For each fleet size (a synthetic fleet of households, one year of quarter-hours each, as a
wide frame), side by side in this process:
- ours: `ostrelpy.fleet.cost`, bills per meter, component and month;
- plain: the same tariff written directly in numpy/pandas over the same matrix (energy tax,
  weekday 07-19 transfer price outside holidays, monthly mean of the three highest weekday
  hours, a daily fee), results checked equal to ours;
- a loop of `ostrelpy.cost` over the meters (on at most 20 of them);
- the floor: one numpy pass per block that reads meter data, over the same matrix.
Then the peak memory of ours over the input matrix (in a fresh process), and `dask_cost` on
a LocalCluster of 1 and of 2 single-threaded worker processes over 2,000 meter-years, beside
its ceiling (the batch API over the same partitions in one process, and in two processes side
by side, without Dask), with the time spent outside the batch API: over long readings
persisted in the workers' memory (the bills gathered by a client as it comes, which Dask
routes through the scheduler, and by a client that gathers them straight from the workers),
and read from Parquet files as `ostrelpy fleet` reads them (its reader, then the bills
gathered to the client, gathered and written as the command writes them, or written by the
workers). Every figure is the best of a few runs.

Arguments: `--sizes 1,10,100,1000` ("" to skip), `--dask 2000` (meter-years, a run each; 0 to
skip), `--per 100,250` (meters per Dask partition, a run each), `--source memory,parquet`
(where the Dask runs' readings come from).
"""

import argparse
import itertools
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

import ostrelpy
from ostrelpy import fleet
from ostrelpy.api_client import holiday_occurrences
from ostrelpy.bindings import _engine

TARIFF = "5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f"
ZONE = "Europe/Stockholm"
CATALOGUE = Path(ostrelpy.__file__).with_name("catalogue")
Q = 35040  # quarter-hours in 2025


def best(f, runs, cpu=None):
    """The least wall time of a few runs, and the result. The least CPU time of this process
    over the same runs goes into `cpu` (a list) when given: on a machine shared with other
    jobs it is the time the work itself took on its core."""
    times, cpus = [], []
    for _ in range(runs):
        c = time.process_time()
        t = time.perf_counter()
        out = f()
        times.append(time.perf_counter() - t)
        cpus.append(time.process_time() - c)
    if cpu is not None:
        cpu.append(min(cpus))
    return min(times), out


def tariff_data():
    data = json.loads((CATALOGUE / f"{TARIFF}.json").read_text(encoding="utf-8"))
    return {c["name"]: c for c in data["tariff_components"]}


class Plain:
    """The tariff as a user would write it over a meters x quarter-hours matrix."""

    def __init__(self, index: pd.DatetimeIndex) -> None:
        c = tariff_data()
        self.tax = c["Energiskatt"]["functions"][0]["right"]["value"]
        mask = c["Överföringsavgift"]["functions"][1]
        self.low = c["Överföringsavgift"]["functions"][0]["value"]["value"]
        self.high = mask["replacement"]["value"]
        named = mask["condition"]["conditions"][2]["holidays"]
        self.peak_rate = c["Effektavgift"]["functions"][5]["right"]["value"]
        self.daily_fee = c["Abonnemangsavgift"]["functions"][0]["value"]["value"]
        local = index.tz_convert(ZONE)
        month = (local.year * 12 + local.month).to_numpy()
        self.month_starts = np.flatnonzero(np.r_[True, month[1:] != month[:-1]])
        self.months = local[self.month_starts].strftime("%Y-%m")
        dates = {o.date for o in holiday_occurrences(2024, 2027, named)}
        weekday = np.asarray(local.day_of_week < 5)
        hour = np.asarray(local.hour)
        holiday = np.asarray(pd.Index(local.date).isin(dates))
        self.price = np.where(weekday & (hour >= 7) & (hour < 19) & ~holiday, self.high, self.low)
        # The zone is a whole number of hours from UTC: its hours are the UTC hours.
        self.hour_starts = np.flatnonzero(np.asarray(index.minute == 0))
        self.hour_weekday = weekday[self.hour_starts]
        self.hour_month = np.searchsorted(self.month_starts, self.hour_starts, side="right") - 1
        days = np.asarray(local.normalize().asi8)
        day_starts = np.flatnonzero(np.r_[True, days[1:] != days[:-1]])
        self.days_per_month = np.bincount(
            np.searchsorted(self.month_starts, day_starts, side="right") - 1
        )

    def __call__(self, m: np.ndarray) -> np.ndarray:
        """Cost per meter, component (tariff order) and month: meters x 4 x months."""
        by_month = np.add.reduceat(m, self.month_starts, axis=1)
        tax = self.tax * by_month
        # The priced energy of a month: one matrix-vector product over its quarter-hours,
        # without a meters x quarter-hours temporary.
        bounds = np.r_[self.month_starts, m.shape[1]]
        transfer = np.stack(
            [m[:, a:b] @ self.price[a:b] for a, b in zip(bounds[:-1], bounds[1:])], axis=1
        )
        hourly = np.add.reduceat(m, self.hour_starts, axis=1)
        weekday = np.where(self.hour_weekday, hourly, -np.inf)
        peaks = np.empty_like(by_month)
        # Hours come in month order: each month's hours are one slice.
        hour_bounds = np.searchsorted(self.hour_month, np.arange(len(self.month_starts) + 1))
        for k in range(len(self.month_starts)):
            part = weekday[:, hour_bounds[k] : hour_bounds[k + 1]]
            peaks[:, k] = np.partition(part, -3, axis=1)[:, -3:].mean(axis=1)
        peak = self.peak_rate * peaks
        fee = np.broadcast_to(self.daily_fee * self.days_per_month, by_month.shape)
        return np.stack([tax, transfer, peak, fee], axis=1)


def floor(m: np.ndarray, cpu=None) -> float:
    """One numpy pass per block that reads meter data: two multiplications and an hourly
    sum over the quarter-hours, then four passes over the hours (divide, two selections,
    the monthly mean); the per-month sums of the bills are not counted."""
    out = np.empty_like(m)
    hours = np.empty((m.shape[0], m.shape[1] // 4))

    def passes():
        np.multiply(m, 0.439, out=out)
        np.multiply(m, out, out=out)
        np.add.reduce(m.reshape(m.shape[0], -1, 4), axis=2, out=hours)
        for _ in range(4):
            np.multiply(hours, 1.0, out=hours)

    return best(passes, 5, cpu)[0]


def check_equal(bills: pd.DataFrame, plain: np.ndarray, ids, months) -> None:
    names = list(tariff_data())
    got = (
        pd.DataFrame(bills)
        .pivot_table(index="meter", columns=["component", "month"], values="cost", aggfunc="sum")
        .reindex(index=ids)
    )
    want = plain.reshape(len(ids), -1)
    columns = pd.MultiIndex.from_product([names, list(months)])
    np.testing.assert_allclose(got.reindex(columns=columns).to_numpy(), want, rtol=1e-9, atol=1e-9)


def peak_memory(n: int) -> tuple[float, float]:
    """(extra bytes over the input at the peak, input bytes) of ours, in a fresh process."""
    code = f"""
import re
from ostrelpy import fleet
frame = fleet.synthetic_fleet({n}, seed=7)
fleet.cost("{TARIFF}", frame.iloc[:, :2])
def status(key):
    text = open("/proc/self/status").read()
    return int(re.search(key + r":\\s+(\\d+) kB", text).group(1)) * 1024
before = status("VmRSS")
open("/proc/self/clear_refs", "w").write("5")
fleet.cost("{TARIFF}", frame)
print(status("VmHWM") - before, frame.to_numpy().nbytes)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    extra, size = out.stdout.split()
    return float(extra), float(size)


def sizes_table(sizes: list[int]) -> None:
    print(
        f"{'meter-years':>11} {'ours/s':>9} {'plain/s':>9} {'loop/s':>8} "
        f"{'floor/s':>9} {'vs plain':>9} {'vs floor':>9} {'vs loop':>8} "
        f"{'ours/CPU-s':>11} {'floor/CPU-s':>12} {'vs floor, CPU':>14} {'afresh/s':>9}"
    )
    for n in sizes:
        frame = fleet.synthetic_fleet(n, seed=n)
        matrix = np.ascontiguousarray(frame.to_numpy().T)
        runs = 5 if n <= 100 else 3
        cpu: list[float] = []
        t_ours, bills = best(lambda f=frame: fleet.cost(TARIFF, f), runs, cpu)
        plain = Plain(frame.index)
        t_plain, costs = best(lambda p=plain, m=matrix: p(m), runs)
        check_equal(bills, costs, list(frame.columns), plain.months)
        loop = list(frame.columns[: min(n, 20)])
        t_loop, _ = best(lambda f=frame, ms=loop: [ostrelpy.cost(TARIFF, f[m]) for m in ms], 1)
        t_floor = floor(matrix, cpu)
        # What a call on a tariff or period not priced before pays: its components prepared.
        t_afresh, _ = best(lambda f=frame: (fleet._PREPARED.clear(), fleet.cost(TARIFF, f)), runs)
        print(
            f"{n:>11} {n / t_ours:>9.0f} {n / t_plain:>9.0f} {len(loop) / t_loop:>8.0f} "
            f"{n / t_floor:>9.0f} {t_plain / t_ours:>8.2f}x {t_ours / t_floor:>8.2f}x "
            f"{(t_loop / len(loop)) / (t_ours / n):>7.0f}x "
            f"{n / cpu[0]:>11.0f} {n / cpu[1]:>12.0f} {cpu[0] / cpu[1]:>13.2f}x "
            f"{n / t_afresh:>9.0f}"
        )
    print(
        "(ours/s etc.: meter-years per second of wall time; vs plain: plain time / ours; vs"
        " floor: ours / floor time; vs loop: how many times faster than ostrelpy.cost per"
        " meter; /CPU-s: meter-years per second of this process's CPU time, one core; afresh/s:"
        " the same with the tariff's components prepared again in each call, as a call on a"
        " new tariff or period pays; the other columns reuse what earlier calls prepared)"
    )
    for n in [s for s in sizes if s >= 100]:
        extra, size = peak_memory(n)
        print(
            f"peak memory, {n} meter-years: input {size / 2**20:.0f} MiB, extra at the peak "
            f"{extra / 2**20:.0f} MiB: {1 + extra / size:.2f} x the input"
        )


def partition(k: int, per: int) -> pd.DataFrame:
    """Long readings of `per` meters (ids from k * per), made where the partition runs."""
    frame = fleet.synthetic_fleet(per, seed=k)
    n, m = frame.shape
    return pd.DataFrame(
        {
            "meter": np.repeat(np.arange(k * per, (k + 1) * per, dtype=np.int64), n),
            "interval_start": pd.to_datetime(np.tile(frame.index.as_unit("ns").asi8, m), utc=True),
            "kwh": frame.to_numpy().T.ravel(),
        }
    )


# Runs of each kind, alternating, of which every figure takes the best: the load of this
# machine's other jobs moves by a third between runs.
ROUNDS = 9


def measure(client, work) -> tuple:
    """One timed run of `work` on the cluster of `client`: (wall time, the busiest worker's
    compute time, tasks per worker, (workers' CPU-s, client's and scheduler's CPU-s), the load
    average, what `work` returned)."""
    from distributed import get_task_stream

    with client.as_current(), get_task_stream(client) as stream:
        before = sum(client.run(time.process_time).values()), time.process_time()
        t = time.perf_counter()
        out = work()
        t = time.perf_counter() - t
        after = sum(client.run(time.process_time).values()), time.process_time()
    busy: dict[str, float] = {}
    tasks: dict[str, int] = {}
    for task in stream.data:
        for s in task["startstops"]:
            if s["action"] == "compute":
                w = task["worker"]
                busy[w] = busy.get(w, 0.0) + s["stop"] - s["start"]
                tasks[w] = tasks.get(w, 0) + 1
    cpu = (after[0] - before[0], after[1] - before[1])
    return t, max(busy.values()), sorted(tasks.values()), cpu, os.getloadavg()[0], out


def report(runs: dict[int, list], meter_years: int, what: str) -> None:
    """Each cluster's best run (the least wall time) and the ratio of their times."""
    timings = {}
    for workers, got in runs.items():
        t, inside, spread, (cpu_workers, cpu_client), load = min(got)
        timings[workers] = t
        print(
            f"  {workers} worker(s): {meter_years / t:.0f} meter-years/s, {t:.2f} s; the "
            f"busiest worker computed {inside:.2f} s, {t - inside:.2f} s outside the tasks "
            f"({what}); tasks per worker {spread}; "
            f"CPU: workers {cpu_workers:.2f} s ({meter_years / cpu_workers:.0f} "
            f"meter-years per CPU-second), client and scheduler {cpu_client:.2f} s; "
            f"load average {load:.1f}"
        )
    print(
        f"  2 workers are {timings[1] / timings[2]:.2f} x as fast as 1 (best of {ROUNDS} alternating "
        "runs each; the machine's other jobs share its cores: compare the workers' CPU "
        "seconds with the wall time)"
    )


def by_meter(bills: pd.DataFrame) -> pd.DataFrame:
    return pd.DataFrame(bills).sort_values(["meter", "component", "month"], ignore_index=True)


def same(got: pd.DataFrame, want: pd.DataFrame) -> None:
    """The same bills, row for row once sorted, costs within rounding."""
    keys = ["meter", "component", "month"]
    assert got[keys].astype(str).equals(want[keys].astype(str)), "the bills' rows differ"
    assert np.allclose(got["cost"], want["cost"]), "the bills' costs differ"


def write_parquet(folder: Path, parts: int, per: int) -> int:
    """The same long readings as Parquet, a file of `per` meters per partition; the bytes."""
    for k in range(parts):
        partition(k, per).to_parquet(folder / f"part-{k:05d}.parquet", index=False)
    return sum(f.stat().st_size for f in folder.iterdir())


def _side_by_side(ks: list[int], per: int, go, done, rounds: int) -> None:
    """Makes the partitions `ks` once, then prices them with the batch API each time `go`
    lets it, `rounds` times; puts each time on `done`."""
    parts = [partition(k, per) for k in ks]
    fleet.cost(TARIFF, parts[0])  # imports and prepares, as a warm worker has
    for _ in range(rounds):
        go.wait()
        t = time.perf_counter()
        for part in parts:
            fleet.cost(TARIFF, part)
        done.put(time.perf_counter() - t)


def ceiling(parts: int, per: int) -> tuple[float, float]:
    """The best wall times of one process pricing all the partitions with the batch API and
    of two processes pricing half each side by side, without Dask: what this machine's two
    cores allow two workers at most. Each process makes its partitions once and keeps them
    for every round, as the workers do."""
    import multiprocessing

    spawn = multiprocessing.get_context("spawn")
    every = list(range(parts))
    groups = {1: [every], 2: [every[0::2], every[1::2]]}
    gates = {n: (spawn.Barrier(n + 1), spawn.Queue()) for n in groups}
    procs = [
        spawn.Process(target=_side_by_side, args=(g, per, *gates[n], ROUNDS))
        for n, gs in groups.items()
        for g in gs
    ]
    for proc in procs:
        proc.start()
    times: dict[int, list[float]] = {1: [], 2: []}
    for _ in range(ROUNDS):  # alternating, as the Dask runs do; the other processes wait
        for n in groups:
            go, done = gates[n]
            go.wait()
            times[n].append(max(done.get() for _ in range(n)))
    for proc in procs:
        proc.join()
    return min(times[1]), min(times[2])


def dask_table(total: int, per: int, sources: list[str]) -> None:
    import contextlib
    import tempfile
    from collections import Counter

    import dask
    import dask.dataframe as dd
    from distributed import Client, LocalCluster, wait

    from ostrelpy import cli_fleet

    parts = total // per
    sample = partition(0, per)
    t_batch, _ = best(lambda: fleet.cost(TARIFF, sample), 2)
    print(
        f"\ndask_cost over {parts * per} meter-years ({parts} partitions of {per} meters, "
        f"long readings made on the workers); the batch API alone in this process: "
        f"{per / t_batch:.0f} meter-years/s"
    )
    one, two = ceiling(parts, per)
    print(
        f"  the ceiling, without Dask: the batch API over the same partitions in one process "
        f"{parts * per / one:.0f} meter-years/s, in two processes side by side "
        f"{parts * per / two:.0f}: {one / two:.2f} x as fast"
    )
    # From Parquet, as `ostrelpy fleet` bills them: its reader, `dask_cost` and (a) the bills
    # gathered to the client, (b) the bills and issues gathered and written by the client as
    # the command writes them, (c) the bills written by the workers, a file per partition.
    ways = {
        "gathered": "scheduling, serialisation, gathering the bills",
        "command": "as (a), and the client writing the bills",
        "workers write": "scheduling, the workers' writes of the bills",
    }
    # Both clusters stand side by side and their runs alternate, so that the load of the
    # machine's other jobs weighs on both alike.
    runs: dict[str, dict[int, list]] = {k: {1: [], 2: []} for k in ["memory", "direct", *ways]}
    with contextlib.ExitStack() as stack:
        scratch = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="bench_fleet_")))
        meters = scratch / "meters"
        if "parquet" in sources:
            meters.mkdir()
            size = write_parquet(meters, parts, per)
        clients, readings, direct = {}, {}, {}
        for workers in (1, 2):
            cluster = stack.enter_context(
                LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0"
                )
            )
            client = stack.enter_context(Client(cluster, set_as_default=False))
            # Through the scheduler, data travels at pickle protocol 4 (its common
            # denominator), copied into one frame; from a worker, at protocol 5, its buffers
            # sent as they are.
            direct[workers] = stack.enter_context(
                Client(cluster, set_as_default=False, direct_to_workers=True)
            )
            with client.as_current():
                # Where Dask keeps the partitions it makes is a matter of timing (10 and 10,
                # or 11 and 9), a task is not moved away from its 84 MB of readings, and
                # rebalancing cannot even out 11 and 9 partitions of one size: each worker
                # makes its share, as a cluster reading files would have them. Persisting
                # them together leaves the collection one partition per key, as a single
                # persisted `from_map` would, without copying the readings.
                addresses = list(client.scheduler_info()["workers"])
                shares = [
                    dd.from_map(partition, range(i, parts, workers), per=per).persist(
                        workers=[address]
                    )
                    for i, address in enumerate(addresses)
                ]
                wait(shares)
                ddf = dd.concat(shares).persist()
                wait(ddf)
                del shares
                held = Counter(w for (w,) in client.who_has(ddf).values())
                counts = [held[w] for w in addresses]
                assert max(counts) - min(counts) <= 1, counts
                clients[workers], readings[workers] = client, ddf

        def gathered(client):
            ddf = cli_fleet._read(dd, str(meters))
            return client.compute(fleet.dask_cost(TARIFF, ddf), sync=True)

        def command(client):
            ddf = cli_fleet._read(dd, str(meters))
            frames = dask.compute(*fleet.dask_cost(TARIFF, ddf, issues=True))
            return cli_fleet._save(*frames, str(scratch / "bills.parquet"), None)

        def workers_write(folder):
            ddf = cli_fleet._read(dd, str(meters))
            fleet.dask_cost(TARIFF, ddf).to_parquet(folder, write_index=False)

        folders = (scratch / f"bills-{n}" for n in itertools.count())
        work = {
            "gathered": gathered,
            "command": command,
            "workers write": lambda client: workers_write(next(folders)),
        }
        # The bills of the persisted readings, once outside the timing: what every run of
        # either source must give.
        want = by_meter(clients[2].compute(fleet.dask_cost(TARIFF, readings[2]), sync=True))
        # The persisted readings' rounds, then the Parquet rounds: a cluster's first Parquet
        # run after pricing the persisted readings is slower (two workers then spend half as
        # much CPU again), which the command, on a cluster of its own, does not meet.
        groups = [["memory", "direct"]] if "memory" in sources else []
        groups += [list(ways)] if "parquet" in sources else []
        for group in groups:
            if "memory" not in group:
                # The workers' first read imports and warms up the Parquet reader: once
                # each, outside the timing, as for the persisted readings above.
                for client in clients.values():
                    with client.as_current():
                        same(by_meter(gathered(client)), want)
            for _, source, (workers, client) in itertools.product(
                range(ROUNDS), group, clients.items()
            ):
                if source in ("memory", "direct"):
                    # The caller's whole call: the graph made, then computed.
                    r, c = readings[workers], direct[workers] if source == "direct" else client
                    got = measure(
                        c, lambda c=c, r=r: c.compute(fleet.dask_cost(TARIFF, r), sync=True)
                    )
                else:
                    got = measure(client, lambda c=client, w=work[source]: w(c))
                *figures, out = got
                runs[source][workers].append(tuple(figures))
                if source in ("memory", "direct", "gathered"):
                    assert out["meter"].nunique() == parts * per
                    same(by_meter(out), want)
                elif source == "command":
                    assert out == (parts * per, 0), out
        if "memory" in sources:
            report(runs["memory"], parts * per, "scheduling, serialisation, gathering the bills")
            print("  The same, gathered by a client straight from the workers:")
            report(runs["direct"], parts * per, "as above")
        if "parquet" in sources:
            same(by_meter(pd.read_parquet(scratch / "bills.parquet")), want)
            same(by_meter(pd.read_parquet(scratch / "bills-0")), want)
            print(
                f"\n  From Parquet: the same readings in {parts} files of {per} meters "
                f"({size / 1e6:.0f} MB, in the page cache), read by `ostrelpy fleet`'s reader, "
                "priced by dask_cost; bills equal to those above"
            )
            for (way, what), label in zip(ways.items(), "abc"):
                print(f"  ({label}) {way}:")
                report(runs[way], parts * per, what)


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--sizes", default="1,10,100,1000")
    p.add_argument("--dask", default="2000", help="meter-years, a run each")
    # A partition of 100 meter-years is 3.5 million readings (84 MB), about the size Dask
    # advises; 250 make 8 partitions of 210 MB, for fewer tasks (each costs Dask a few
    # milliseconds of scheduling) that still keep both workers busy.
    p.add_argument("--per", default="100,250", help="meters per Dask partition, runs")
    p.add_argument(
        "--source", default="memory,parquet", help="the Dask runs' readings: persisted, Parquet"
    )
    args = p.parse_args()
    print(__doc__.split("\n\n")[0])
    print(f"engine: {_engine.__name__}; {Q} quarter-hours per meter-year")
    if args.sizes:
        sizes_table([int(s) for s in args.sizes.split(",")])
    for total in (int(t) for t in args.dask.split(",") if int(t)):
        for per in args.per.split(","):
            dask_table(total, int(per), args.source.split(","))


if __name__ == "__main__":
    main()
