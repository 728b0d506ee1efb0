"""`ostrelpy fleet`: the bills of many meters from Parquet, on Dask (locally or on a cluster).

Reads long readings (`meter`, `interval_start`, `kwh`) from a Parquet file or a directory of
them, prices them with `ostrelpy.fleet.dask_cost` while Dask shows its progress bar, and
writes the bills (and, with --issues, what was wrong with which meter) as Parquet.
"""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from ostrelpy import tariffs


def add_parser(sub: Any) -> None:
    p = sub.add_parser("fleet", help="bill many meters (Parquet in and out, on Dask)")
    p.add_argument("tariff", help="tariff id, unique id prefix or name")
    p.add_argument("--meters", required=True, metavar="PATH", help="Parquet file or directory")
    p.add_argument("--out", required=True, metavar="BILLS.parquet", help="where the bills go")
    p.add_argument("--issues", metavar="ISSUES.parquet", help="where the meters' issues go")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler (default: local)")
    p.add_argument("--start", help="start of the period (ISO 8601 with offset)")
    p.add_argument("--end", help="end of the period, exclusive")
    p.add_argument("--allow-export", action="store_true", help="price negative energy")
    p.add_argument("--catalogue", metavar="DIR", help="directory of tariff JSON files")


def _modules() -> tuple[Any, Any]:
    try:
        import dask
        import dask.dataframe as dd
    except ImportError:
        raise ValueError(
            "the fleet command needs Dask and pyarrow: pip install 'ostrelpy[fleet]'"
        ) from None
    return dask, dd


def _read(dd: Any, path: str) -> Any:
    source = Path(path)
    if not source.exists():
        raise ValueError(f"{path}: no such file or directory")
    try:
        ddf = dd.read_parquet(path)
    except Exception as exc:  # pyarrow's and Dask's own reasons, as one line
        raise ValueError(f"{path}: not readable as Parquet ({exc})") from None
    missing = {"meter", "interval_start", "kwh"} - set(ddf.columns)
    if missing:
        raise ValueError(f"{path}: missing columns {', '.join(sorted(missing))}")
    if ddf.npartitions > 1:
        # Each partition must hold whole meters; the task-based shuffle works on any scheduler.
        ddf = ddf.shuffle("meter", shuffle_method="tasks")
    return ddf


def run(args: argparse.Namespace) -> int:
    dask, dd = _modules()
    from ostrelpy import fleet

    entry = tariffs.find(args.tariff, args.catalogue)
    ddf = _read(dd, args.meters)
    bills, issues = fleet.dask_cost(
        entry.tariff, ddf, args.start, args.end, allow_export=args.allow_export, issues=True
    )
    if args.scheduler:
        from distributed import Client, progress

        try:
            client = Client(args.scheduler, timeout="10s")
        except OSError as exc:
            raise ValueError(f"--scheduler {args.scheduler}: cannot connect ({exc})") from None
        with client:
            futures = client.compute([bills, issues])
            progress(futures)
            print()
            bills_frame, issues_frame = client.gather(futures)
    else:
        from dask.diagnostics.progress import ProgressBar

        with ProgressBar():
            bills_frame, issues_frame = dask.compute(bills, issues)
    bills_frame.reset_index(drop=True).to_parquet(args.out)
    if args.issues:
        issues_frame.reset_index(drop=True).to_parquet(args.issues)
    meters = bills_frame["meter"].nunique()
    refused = issues_frame.loc[~issues_frame["priced"], "meter"].nunique()
    print(
        f"{meters} meter(s) billed under {entry.tariff.name} into {args.out}; "
        f"{len(issues_frame)} issue(s), {refused} meter(s) refused"
    )
    return 0
