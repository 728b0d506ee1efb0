"""`--chart FILE.png`: the priced period drawn with matplotlib (the optional `plot` extra)."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pandas as pd


def _pyplot():
    try:
        import matplotlib
    except ImportError:
        raise ValueError(
            "--chart needs matplotlib: pip install 'ostrelpy[plot]' (make run installs it)"
        ) from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def check(path: str) -> None:
    """Refuse a chart that cannot be written before any work is done."""
    _pyplot()
    folder = Path(path).resolve().parent
    if not folder.is_dir():
        raise ValueError(f"--chart {path}: no such directory {folder}")


def _local(series: pd.Series, zone) -> pd.Series:
    out = series.copy()
    out.index = series.index.tz_convert(zone).tz_localize(None)
    return out


def draw(
    path: str,
    priced: Any,
    schedule: dict[str, Any] | None = None,
    monthly: pd.DataFrame | None = None,
) -> None:
    """Consumption, the energy price where the tariff has one, and the cost per month by
    component; with `schedule`, also the grid import and the battery's state of charge, and
    `monthly` (the costs with the battery) in place of the consumption's."""
    plt = _pyplot()
    zone = priced.zone
    consumption = _local(priced.inputs.quarter_hours("consumption"), zone)
    prices = [r.energy_price for r in priced.results if r.energy_price is not None]
    currency = priced.results[0].currency
    panels = 2 + bool(prices) + bool(schedule)
    fig, axes = plt.subplots(
        panels, 1, figsize=(12, 2.6 * panels + 0.8), constrained_layout=True, squeeze=False
    )
    axes = list(axes[:, 0])
    ax = axes.pop(0)
    if schedule:
        grid = _local(schedule["grid"], zone)
        ax.plot(grid.index, grid.to_numpy(), lw=0.4, color="tab:orange", label="grid import")
    ax.plot(consumption.index, consumption.to_numpy(), lw=0.4, color="tab:blue", label="load")
    if schedule:
        ax.legend(loc="upper right", fontsize="small")
    ax.set_ylabel("kWh per 15 min")
    ax.set_title(f"{priced.entry.tariff.name}: {priced.period()}", fontsize="medium")
    ax.margins(x=0)
    if schedule:
        ax = axes.pop(0)
        soc = _local(schedule["soc"], zone)
        ax.fill_between(soc.index, soc.to_numpy(), step="post", color="tab:green", alpha=0.5)
        ax.set_ylabel("battery kWh")
        ax.set_ylim(0, float(schedule["capacity"]) * 1.05)
        ax.margins(x=0)
    if prices:
        ax = axes.pop(0)
        total = prices[0]
        for p in prices[1:]:
            total = total.add(p, fill_value=0.0)
        total = _local(total, zone)
        ax.step(total.index, total.to_numpy(), where="post", lw=0.6, color="tab:red")
        ax.set_ylabel(f"energy price, {currency}/kWh")
        ax.set_ylim(bottom=0)
        ax.margins(x=0)
    ax = axes.pop(0)
    label = "with the battery, " if monthly is not None else ""
    monthly = (priced.frame.monthly() if monthly is None else monthly).drop(
        columns="total", errors="ignore"
    )
    bottom = pd.Series(0.0, index=monthly.index)
    for name in monthly.columns:
        ax.bar(monthly.index, monthly[name], bottom=bottom, label=name)
        bottom = bottom + monthly[name]
    ax.set_ylabel(f"{label}{monthly.columns.name or currency} per month")
    ax.legend(loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize="small")
    fig.savefig(path, dpi=110)
    plt.close(fig)
