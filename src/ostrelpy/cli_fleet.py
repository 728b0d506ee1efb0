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
        apart = _meters_apart(path)
        # Where each partition already holds whole meters, moving every reading between the
        # workers (several times the pricing itself) would only reorder them. The files
        # checked are the files read.
        if apart is not None and apart[1]:
            return dd.read_parquet(apart[0])
        if apart is not None and ddf.npartitions <= len(apart[0]):  # Dask read files whole
            return dd.read_parquet(apart[0], split_row_groups=False)
        # Each partition must hold whole meters; the task-based shuffle works on any scheduler.
        ddf = ddf.shuffle("meter", shuffle_method="tasks")
    return ddf


def _meters_apart(path: str) -> tuple[list[str], bool] | None:
    """The Parquet files under `path`, and whether their row groups (not only the files) hold
    meters apart, when the files' statistics show that no meter id lies in the ranges of two
    files; None when they do not (or cannot) show it.

    Dask makes a partition of whole row groups, or of whole files, so ranges apart are
    enough for whole meters in each partition, without reading a single reading."""
    import pyarrow as pa
    import pyarrow.dataset as ds

    files: list[str] = []
    ranges: dict[str, list[tuple[Any, Any]]] = {}
    try:
        for fragment in ds.dataset(path, format="parquet", partitioning="hive").get_fragments():
            files.append(fragment.path)
            meta = fragment.metadata
            names = [meta.schema.column(j).path for j in range(meta.num_columns)]
            if "meter" not in names:
                return None  # the ids come from the directory names
            column = names.index("meter")
            for i in range(meta.num_row_groups):
                group = meta.row_group(i)
                if group.num_rows == 0:
                    continue
                stats = group.column(column).statistics
                if stats is None or not stats.has_min_max or stats.null_count != 0:
                    return None
                ranges.setdefault(fragment.path, []).append((stats.min, stats.max))
        by_file = [(min(lo for lo, _ in r), max(hi for _, hi in r)) for r in ranges.values()]
        if not _apart(by_file):
            return None
        return files, _apart([span for r in ranges.values() for span in r])
    except (pa.ArrowException, OSError, TypeError, ValueError):
        return None  # ids of mixed or unordered types: the general way


def _apart(spans: list[tuple[Any, Any]]) -> bool:
    """Whether no two closed ranges share a value."""
    spans = sorted(spans)
    return all(a[1] < b[0] for a, b in zip(spans, spans[1:]))


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
    meters, refused = _save(bills_frame, issues_frame, args.out, args.issues)
    print(
        f"{meters} meter(s) billed under {entry.tariff.name} into {args.out}; "
        f"{len(issues_frame)} issue(s), {refused} meter(s) refused"
    )
    return 0


def _save(bills: Any, issues: Any, out: str, issues_out: str | None) -> tuple[int, int]:
    """Writes the gathered bills (and issues, when asked for) as Parquet; the counts of
    meters billed and refused."""
    bills.reset_index(drop=True).to_parquet(out)
    if issues_out:
        issues.reset_index(drop=True).to_parquet(issues_out)
    return bills["meter"].nunique(), issues.loc[~issues["priced"], "meter"].nunique()
