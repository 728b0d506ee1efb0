"""The `compare` subcommand: one meter export priced under several tariffs, ranked."""

from __future__ import annotations

import argparse
import datetime as dt
import json
import sys
from typing import Any

import pandas as pd

from ostrelpy import cli_cost, comparison, pricing, tariffs


def price_all(
    args: argparse.Namespace,
) -> tuple[comparison.Comparison, cli_cost.Priced]:
    """Each chosen tariff's bill of the export, the ranking and the first priced period."""
    chosen, unread = comparison.select(args.tariffs or None, args.catalogue)
    folder = tariffs.catalogue_dir(args.catalogue)
    said: set[str] = set()

    def say(text: str) -> None:  # the same file's notices once, not once per tariff
        if text not in said:
            said.add(text)
            cli_cost.notice(text)

    for message in unread.values():
        say(f"skipped {message}")
    readings: dict[Any, Any] = {}
    bills, skipped, first = [], {}, None
    for t in chosen:
        entry = tariffs.Entry(folder / f"{t.id}.json", t)
        try:
            pairs = cli_cost.engine_pairs(entry)
            key = (pricing.single_zone(pairs), pairs[0][1].timezone)
            if key not in readings:
                readings[key] = cli_cost.read(args, pairs)
            p = cli_cost.price_reading(entry, pairs, readings[key], args, say)
        except ValueError as exc:
            skipped[t.name] = str(exc)
            continue
        if not p.results:
            skipped[t.name] = "no component of the tariff applies in the period"
            continue
        first = first or p
        bills.append(comparison.Bill(t, p.frame))
    if not bills:
        reasons = list(dict.fromkeys(skipped.values()))
        if len(reasons) == 1:
            raise ValueError(reasons[0])
        raise ValueError(
            "no tariff could price the consumption: "
            + "; ".join(f"{k}: {v}" for k, v in skipped.items())
        )
    assert first is not None  # the first priced tariff's bill is among the bills
    return comparison.rank(bills, skipped), first


def as_json(result: comparison.Comparison, p: cli_cost.Priced) -> dict[str, Any]:
    rows = []
    for row in result.to_dict("records"):
        tid = row["id"]
        rows.append(
            {
                **{k: (round(v, 6) if isinstance(v, float) else v) for k, v in row.items()},
                "coverage": [g.as_dict(p.zone) for g in result.coverage[tid]],
                "notes": result.notes[tid],
            }
        )
    return {
        "consumption": p.reading.path if p.reading else None,
        "start": p.start.tz_convert(p.zone).isoformat(),
        "end": p.end.tz_convert(p.zone).isoformat(),
        "energy_kwh": round(p.energy(), 6),
        "exported_kwh": round(p.exported(), 6),
        "tariffs": rows,
        "skipped": [{"tariff": k, "reason": v} for k, v in result.skipped.items()],
    }


def as_table(result: comparison.Comparison, zone: dt.tzinfo) -> str:
    blocks = []
    for currency, group in result.groupby("currency", sort=False):
        shown = group.set_index("rank")[["tariff", *comparison.KINDS, "total", "difference"]]
        shown = shown.assign(
            tariff=[
                t if ok else f"{t} (partial)" for t, ok in zip(group["tariff"], group["complete"])
            ]
        )
        shown.index.name = None
        shown.columns.name = currency
        blocks.append(cli_cost.render_table(shown.rename(columns={"difference": "+cheapest"})))
    lines = comparison.describe(result, zone)
    return "\n\n".join(blocks) + ("\n\n" + "\n".join(lines) if lines else "")


def draw(path: str, result: comparison.Comparison, title: str) -> None:
    """The ranking as horizontal bars, split by component kind, one panel per currency."""
    from ostrelpy import cli_chart

    plt = cli_chart.pyplot()
    groups = list(result.groupby("currency", sort=False))
    heights = [0.45 * len(g) + 1.2 for _, g in groups]
    fig, axes = plt.subplots(
        len(groups),
        1,
        figsize=(11, sum(heights) + 0.6),
        squeeze=False,
        constrained_layout=True,
        gridspec_kw={"height_ratios": heights},
    )
    colours = {"energy": "tab:blue", "power": "tab:orange", "fixed": "tab:gray"}
    for ax, (currency, group) in zip(axes[:, 0], groups):
        group = group.iloc[::-1]  # cheapest at the top
        labels = [
            f"{r} {t}" + ("" if ok else " (partial)")
            for r, t, ok in zip(group["rank"], group["tariff"], group["complete"])
        ]
        left = pd.Series(0.0, index=group.index)
        for k in comparison.KINDS:
            ax.barh(labels, group[k], left=left, color=colours[k], label=k)
            left = left + group[k]
        for y, (total, diff) in enumerate(zip(group["total"], group["difference"])):
            extra = "" if pd.isna(diff) or diff == 0 else f"  (+{diff:,.0f})"
            ax.text(total, y, f"  {total:,.0f} {currency}{extra}", va="center", fontsize="small")
        ax.set_xlim(0, float(group["total"].max()) * 1.3)
        ax.set_xlabel(f"{currency} over the period")
    axes[0, 0].legend(loc="lower right", bbox_to_anchor=(1.0, 1.0), ncols=3, fontsize="small")
    fig.suptitle(title, fontsize="medium")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def run(args: argparse.Namespace) -> int:
    if args.chart:
        from ostrelpy import cli_chart

        cli_chart.check(args.chart)
    result, p = price_all(args)
    if args.format == "json":
        print(json.dumps(as_json(result, p), indent=2, ensure_ascii=False))
    elif args.format == "csv":
        sys.stdout.write(result.to_csv(index=False, float_format="%.6f", lineterminator="\n"))
    else:
        print(f"{len(result)} tariff(s), cost from {p.period()}, {p.energy():.1f} kWh")
        print(as_table(result, p.zone))
    if args.chart:
        draw(args.chart, result, f"Tariffs ranked: {p.period()}, {p.energy():.0f} kWh")
        print(f"ostrelpy: chart written to {args.chart}", file=sys.stderr)
    return 0
