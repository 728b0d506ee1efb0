"""`--chart FILE.png`: the priced period drawn with matplotlib (the optional `plot` extra).

What a person reads at a glance: up to three weeks, quarter-hours as lines; beyond that a
day x hour heat map (a year of quarter-hour lines is a solid block). The energy price is drawn
only where the tariff charges one, as the sum of the rates of the components valid then.
Import and export are drawn apart, and a schedule's bills without and with the battery stand
side by side.
"""

from __future__ import annotations

import datetime as dt
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

# Periods up to this long are drawn per quarter-hour; longer ones as day x hour heat maps.
LINES_UP_TO = pd.Timedelta(days=21)
FORMATS = (".png", ".svg", ".pdf")


def pyplot() -> Any:
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
    suffix = Path(path).suffix.lower()
    if suffix not in FORMATS:
        raise ValueError(
            f"--chart {path}: a chart is written as {', '.join(FORMATS)}; "
            f"{suffix or 'no suffix'} is none of them"
        )
    pyplot()
    folder = Path(path).resolve().parent
    if not folder.is_dir():
        raise ValueError(f"--chart {path}: no such directory {folder}")


def _local(series: pd.Series, zone: dt.tzinfo) -> pd.Series:
    out = series.copy()
    out.index = series.index.tz_convert(zone).tz_localize(None)
    return out


def _days(priced: Any) -> pd.DatetimeIndex:
    """The local days of the priced period."""
    first, last = (t.tz_convert(priced.zone).tz_localize(None) for t in (priced.start, priced.end))
    return pd.date_range(first.normalize(), (last - pd.Timedelta(1)).normalize(), freq="D")


def day_by_hour(
    series: pd.Series, zone: dt.tzinfo, how: str, days: pd.DatetimeIndex
) -> pd.DataFrame:
    """Local hours (rows 0-23) by local `days` (columns, blank where the series has nothing):
    per UTC hour the sum (energy) or mean (prices, states), then the mean of the hours that
    share a local hour (the repeated autumn hour)."""
    hourly = series.groupby(series.index.floor("h")).agg(how)
    local = hourly.index.tz_convert(zone)
    frame = pd.DataFrame(
        {"value": hourly.to_numpy(), "day": local.tz_localize(None).normalize(), "hour": local.hour}
    )
    table = frame.pivot_table(index="hour", columns="day", values="value", aggfunc="mean")
    return table.reindex(index=range(24), columns=days)


def _dates(ax: Any) -> None:
    import matplotlib.dates as mdates

    # Not aligned to month starts, which puts two labels on top of each other at a month's end.
    locator = mdates.AutoDateLocator(interval_multiples=False, maxticks=12)
    ax.xaxis.set_major_locator(locator)
    # Days with their month: the ticks need not fall on month starts, which name the month.
    formats = ["%Y", "%b %Y", "%d %b", "%H:%M", "%H:%M", "%S.%f"]
    ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator, formats=formats))


def _heat(
    fig: Any, ax: Any, table: pd.DataFrame, label: str, cmap: str, vmin: float | None = None
) -> None:
    import matplotlib.dates as mdates

    first, last = table.columns[0], table.columns[-1] + pd.Timedelta(days=1)
    image = ax.imshow(
        np.ma.masked_invalid(table.to_numpy(dtype="float64")),
        aspect="auto",
        interpolation="nearest",
        cmap=cmap,
        vmin=vmin,
        extent=(mdates.date2num(first), mdates.date2num(last), 24, 0),
    )
    ax.xaxis_date()
    _dates(ax)
    ax.set_yticks([0, 6, 12, 18, 24])
    ax.set_ylabel("hour of day")
    fig.colorbar(image, ax=ax, label=label, pad=0.01)


def _energy_price(priced: Any) -> pd.Series | None:
    """The energy price per quarter-hour: the rates of the components valid then, added;
    NaN where none charges energy."""
    prices = [r.energy_price for r in priced.results if r.energy_price is not None]
    if not prices:
        return None
    frame = pd.concat(prices, axis=1)
    return frame.sum(axis=1, min_count=1).sort_index()


def _flows(priced: Any, schedule: dict[str, Any] | None) -> dict[str, pd.Series]:
    """The quarter-hourly series of the top panel: import and export apart, or the load and
    the grid import under a schedule."""
    inputs = priced.inputs
    out = {}
    if schedule:
        out["grid import"] = schedule["grid"]
    out["load" if schedule else "import"] = inputs.quarter_hours("consumption")
    exported = inputs.exported()
    if exported is not None:
        out["export"] = exported
    return out


def draw(
    path: str,
    priced: Any,
    schedule: dict[str, Any] | None = None,
    monthly: pd.DataFrame | None = None,
) -> None:
    """Consumption (and under a schedule the grid import and the battery's state of charge),
    the energy price where the tariff charges one, and the cost per month by component;
    with `monthly` (the costs with the battery) the months without and with it side by side."""
    plt = pyplot()
    zone = priced.zone
    currency = priced.results[0].currency
    lines = priced.end - priced.start <= LINES_UP_TO
    days = _days(priced)
    flows = _flows(priced, schedule)
    price = _energy_price(priced)
    maps = [] if lines else [k for k in flows if k != "load"]
    panels = (1 if lines else len(maps)) + bool(schedule) + (price is not None) + 1
    fig, axes = plt.subplots(
        panels, 1, figsize=(12, 2.7 * panels + 0.8), constrained_layout=True, squeeze=False
    )
    axes = list(axes[:, 0])
    ax = axes.pop(0)
    ax.set_title(f"{priced.entry.tariff.name}: {priced.period()}", fontsize="medium")
    colours = {"import": "tab:blue", "load": "tab:blue", "grid import": "tab:orange"}
    if lines:
        for name, s in flows.items():
            s = _local(s, zone)
            if name == "export":  # below the axis, apart from the import
                ax.fill_between(s.index, -s.to_numpy(), step="post", color="tab:green", alpha=0.6)
                ax.plot([], [], color="tab:green", label="export (below 0)")
                ax.axhline(0.0, color="black", lw=0.5)
            else:
                ax.plot(s.index, s.to_numpy(), lw=0.6, color=colours[name], label=name)
        ax.legend(loc="upper right", fontsize="small")
        ax.set_ylabel("kWh per 15 min")
        ax.margins(x=0)
        _dates(ax)
        if "export" not in flows:
            ax.set_ylim(bottom=0)
    else:
        for i, name in enumerate(maps):
            if i:
                ax = axes.pop(0)
            cmap = "Greens" if name == "export" else "YlOrRd"
            _heat(
                fig,
                ax,
                day_by_hour(flows[name], zone, "sum", days),
                f"{name}, kWh per hour",
                cmap,
                0,
            )
    if schedule:
        ax = axes.pop(0)
        soc = schedule["soc"]
        if lines:
            soc = _local(soc, zone)
            ax.fill_between(soc.index, soc.to_numpy(), step="post", color="tab:green", alpha=0.5)
            ax.set_ylim(0, float(schedule["capacity"]) * 1.05)
            ax.set_ylabel("battery kWh")
            ax.margins(x=0)
            _dates(ax)
        else:
            _heat(fig, ax, day_by_hour(soc, zone, "mean", days), "battery kWh", "Greens", 0)
    if price is not None:
        ax = axes.pop(0)
        label = f"energy price, {currency}/kWh"
        if lines:
            p = _local(price, zone)
            ax.step(p.index, p.to_numpy(), where="post", lw=0.8, color="tab:red")
            ax.set_ylabel(label)
            ax.set_ylim(bottom=0)
            ax.set_xlim(_local(flows[next(iter(flows))], zone).index[[0, -1]])
            _dates(ax)
        else:
            table = day_by_hour(price, zone, "mean", days)
            _heat(fig, ax, table, label, "viridis")
            if table.isna().all().any():
                ax.set_title("blank: no energy price charged then", fontsize="small", loc="left")
    months = list(dict.fromkeys(days.strftime("%Y-%m")))
    _bars(axes.pop(0), months, priced.frame.monthly(), monthly, currency)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def _bars(
    ax: Any,
    months: list[str],
    without: pd.DataFrame,
    with_battery: pd.DataFrame | None,
    currency: str,
) -> None:
    """Cost per month of the period stacked by component (a month nothing is charged in stays
    empty); with a second table, two bars per month."""
    tables = [("", without)] if with_battery is None else [("without", without)]
    if with_battery is not None:
        tables.append(("with battery", with_battery))
    names = list(dict.fromkeys(c for _, t in tables for c in t.columns if c != "total"))
    x = np.arange(len(months))
    width = 0.8 / len(tables)
    colours = {n: f"C{i % 10}" for i, n in enumerate(names)}
    for j, (label, table) in enumerate(tables):
        table = table.reindex(index=months, columns=names).fillna(0.0)
        pos = x + (j - (len(tables) - 1) / 2) * width
        bottom = np.zeros(len(months))
        for n in names:
            ax.bar(
                pos,
                table[n],
                width * 0.95,
                bottom=bottom,
                color=colours[n],
                hatch="//" if j else None,
                edgecolor="white",
                label=None if j else n,
            )
            bottom += table[n].to_numpy()
        if len(months) <= 24:
            for p, total in zip(pos, bottom):
                text = f"{total:,.0f}" + (f"\n{label}" if label else "")
                ax.annotate(text, (p, total), ha="center", va="bottom", fontsize="x-small")
    step = max(1, len(months) // 24)  # at most about 24 month labels
    ax.set_xticks(x[::step], months[::step], rotation=0 if len(months) <= 8 else 45)
    ax.set_xlim(-0.6, len(months) - 0.4)
    label = f"{without.columns.name or currency} per month"
    ax.set_ylabel(label + ("\nwithout | with battery (hatched)" if j else ""))
    ax.margins(y=0.15)
    ax.legend(
        loc="lower center", bbox_to_anchor=(0.5, 1.0), ncols=min(len(names), 6), fontsize="small"
    )
