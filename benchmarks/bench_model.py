"""A home battery's tariff costs built into a HiGHS model, as a caller does it through the
facade (add_to_highs_model) and through the engine's own calls (run_pipeline +
HighsAdapter.add_blocks), against linopy, highspy's expression API and the floor: a hand-made
CSR of the same LP (one addCols, one addRows).

The caller schedules a battery for a year of hours in Europe/Stockholm: grid import g, charge c,
discharge d and state of charge s per hour, with g = load + c - d and s_t = s_(t-1) + eta c -
d / eta. The tariff has three components on the import: a time-of-use energy fee (a constant
price, masked on weekdays 07-19 with a higher one, times the import), a monthly peak fee on the
mean of the three highest hours (import / 1 h, highest 3 per month, mean, times a fee) and an
energy tax. The objective is the spot price times the import plus the three costs.

Every peer builds the same formulation as the compiled blocks (the same columns and rows): the
linear form of the sum of the N largest (ordered slots, excess columns) on the year, where
minimising makes it exact, and the exact mixed-integer form (one binary per hour and big-M
gated rows) on one month. Printed: the median build time of each (the model ready to solve, no
solve), each solve time and each optimal objective; all objectives must agree to 1e-6.

The headline is the facade's path: the caller's battery and import variables (keyed by UTC
datetimes, as the docs ask), add_to_highs_model with the public tariff, and the objective from
the cost variables it returns; linopy / that path, and that path / the floor.
"""

import asyncio
import datetime as dt
import gc
import statistics
import sys
import time
import uuid
import warnings
from zoneinfo import ZoneInfo

import highspy
import numpy as np
import pandas as pd
import scipy.sparse as sp

from ostrelpy import models
from ostrelpy.bindings import _engine as e
from ostrelpy.bindings import logic

TZ_NAME = "Europe/Stockholm"
TZ = ZoneInfo(TZ_NAME)
GMAX, POWER, CAPACITY, ETA, SOC0 = 20.0, 5.0, 10.0, 0.95, 5.0
LOW, HIGH, PEAK_FEE, TAX, TOP_N = 0.25, 0.6, 35.0, 0.439, 3
INF = highspy.kHighsInf


# -- the tariff ---------------------------------------------------------------------------------

IMPORT = {"id": "grid_import", "resolution": "hourly", "unit": "kWh"}
IMPORT_DATASET = models.Dataset(**IMPORT)


def ds(name, unit, resolution="hourly"):
    return {"id": name, "resolution": resolution, "unit": unit}


def component(name, functions, cost):
    return {
        "id": f"00000000-0000-4000-8000-00000000000{len(name) % 10}",
        "name": name,
        "applicable_from": "2025-01-01T00:00:00+01:00",
        "timezone": TZ_NAME,
        "datasets": [IMPORT],
        "functions": functions,
        "cost": cost,
    }


def tariff():
    """The engine's components of the tariff."""
    return [e.TariffComponent.model_validate(c) for c in tariff_data()]


def public_tariff():
    """The same tariff as the public record a caller hands the facade."""
    return models.Tariff(
        id=uuid.UUID("00000000-0000-4000-8000-0000000000b0"),
        name="battery benchmark",
        tariff_components=[models.TariffComponent(**c) for c in tariff_data()],
    )


def tariff_data():
    cost_h, cost_m = ds("cost", "SEK"), ds("cost", "SEK", "monthly")
    weekday_day = {
        "type": "and",
        "conditions": [
            {"type": "day_of_week", "days": [1, 2, 3, 4, 5]},
            {"type": "time_of_day", "from_time": "07:00", "to_time": "19:00"},
        ],
    }
    tou = component(
        "Time of use",
        [
            {
                "type": "constant",
                "value": {"value": LOW, "unit": "SEK_per_kWh"},
                "resolution": "hourly",
                "output": ds("base_price", "SEK_per_kWh"),
            },
            {
                "type": "mask",
                "input": ds("base_price", "SEK_per_kWh"),
                "condition": weekday_day,
                "replacement": {"value": HIGH, "unit": "SEK_per_kWh"},
                "output": ds("price", "SEK_per_kWh"),
            },
            {"type": "multiply", "left": IMPORT, "right": ds("price", "SEK_per_kWh")}
            | {"output": cost_h},
        ],
        cost_h,
    )
    peak = component(
        "Peak fee",
        [
            {
                "type": "divide",
                "numerator": IMPORT,
                "denominator": {"value": 1.0, "unit": "hours"},
                "output": ds("power", "kW"),
            },
            {
                "type": "select",
                "input": ds("power", "kW"),
                "condition": {"type": "highest", "n": TOP_N, "resolution": "monthly"},
                "output": ds("top", "kW"),
            },
            {
                "type": "aggregate",
                "input": ds("top", "kW"),
                "resolution": "monthly",
                "aggregation_function": "mean",
                "output": ds("peak", "kW", "monthly"),
            },
            {
                "type": "multiply",
                "left": ds("peak", "kW", "monthly"),
                "right": {"value": PEAK_FEE, "unit": "SEK_per_kW"},
                "output": cost_m,
            },
        ],
        cost_m,
    )
    tax = component(
        "Energy tax",
        [
            {
                "type": "multiply",
                "left": IMPORT,
                "right": {"value": TAX, "unit": "SEK_per_kWh"},
                "output": cost_h,
            }
        ],
        cost_h,
    )
    return [tou, peak, tax]


# -- the data -----------------------------------------------------------------------------------


class Case:
    """One horizon: its hours, the caller's data and the formulation's index arrays."""

    def __init__(self, start, end, milp):
        self.start, self.end, self.milp = start, end, milp
        self.index = pd.date_range(start, end, freq="h", inclusive="left")
        self.n = n = len(self.index)
        rng = np.random.default_rng(2026)
        hour = self.index.hour.to_numpy()
        self.load = rng.gamma(2.0, 0.6, n) * (1.0 + 0.6 * np.sin((hour - 6) / 24 * 2 * np.pi))
        self.spot = 0.8 + 0.5 * np.sin((hour - 9) / 12 * np.pi) + rng.normal(0, 0.1, n)
        high = (self.index.day_of_week < 5) & (hour >= 7) & (hour < 19)
        self.price = np.where(high, HIGH, LOW)
        codes, self.months = pd.factorize(self.index.year * 12 + self.index.month, sort=True)
        self.month = codes.astype(np.int64)
        self.G = len(self.months)
        size = np.bincount(self.month, minlength=self.G)
        self.n_per = np.minimum(TOP_N, size)
        self.S = int(self.n_per.sum())
        self.first_slot = np.cumsum(self.n_per) - self.n_per
        self.slot_month = np.repeat(np.arange(self.G), self.n_per)


# -- (c) the floor: the whole model as one CSR -------------------------------------------------


class Cols:
    """Consecutive column blocks with their bounds."""

    def __init__(self):
        self.n, self.lb, self.ub, self.integer = 0, [], [], []

    def add(self, k, lb, ub, integer=False):
        first = self.n
        self.n += k
        self.lb.append(np.broadcast_to(np.asarray(lb, float), (k,)))
        self.ub.append(np.broadcast_to(np.asarray(ub, float), (k,)))
        if integer:
            self.integer.append(np.arange(first, first + k))
        return np.arange(first, first + k)


class Rows:
    """Row families in coordinate form; a term is (cols, coefs) with one entry per row, or
    (cols, coefs, rows) with the family's local row of each entry."""

    def __init__(self):
        self.m, self.r, self.c, self.v, self.lo, self.hi = 0, [], [], [], [], []

    def add(self, k, terms, lo, hi):
        for term in terms:
            cols = np.asarray(term[0])
            local = term[2] if len(term) > 2 else np.arange(k)
            self.r.append(self.m + local)
            self.c.append(cols)
            self.v.append(np.broadcast_to(np.asarray(term[1], float), cols.shape))
        self.lo.append(np.broadcast_to(np.asarray(lo, float), (k,)))
        self.hi.append(np.broadcast_to(np.asarray(hi, float), (k,)))
        self.m += k


def floor_model(case, h):
    n, G, S = case.n, case.G, case.S
    cols, rows = Cols(), Rows()
    g = cols.add(n, 0.0, GMAX)
    c = cols.add(n, 0.0, POWER)
    d = cols.add(n, 0.0, POWER)
    s = cols.add(n, 0.0, CAPACITY)
    a = cols.add(n, 0.0, case.price * GMAX)
    p = cols.add(n, 0.0, GMAX)
    w = cols.add(S, 0.0, GMAX)
    z = cols.add(n, 0.0, GMAX)
    delta = cols.add(n, 0.0, 1.0, integer=True) if case.milp else None
    mean = cols.add(G, 0.0, GMAX)
    fee = cols.add(G, 0.0, PEAK_FEE * GMAX)
    tax = cols.add(n, 0.0, TAX * GMAX)
    # The caller's battery.
    rows.add(n, [(g, 1.0), (c, -1.0), (d, 1.0)], case.load, case.load)
    soc0 = np.zeros(n)
    soc0[0] = SOC0
    after = np.arange(1, n)
    rows.add(n, [(s, 1.0), (c, -ETA), (d, 1 / ETA), (s[:-1], -1.0, after)], soc0, soc0)
    # The tariff, as the blocks compile it.
    rows.add(n, [(a, 1.0), (g, -case.price)], 0.0, 0.0)
    rows.add(n, [(p, 1.0), (g, -1.0)], 0.0, 0.0)
    has_next = np.ones(S, bool)
    has_next[case.first_slot + case.n_per - 1] = False
    at = np.flatnonzero(has_next)
    rows.add(len(at), [(w[at], 1.0), (w[at + 1], -1.0)], -INF, 0.0)
    thr = w[case.first_slot][case.month]
    rows.add(n, [(p, 1.0), (thr, -1.0), (z, -1.0)], -INF, 0.0)
    # Per month: the slots - n x threshold - the excess = 0.
    slots = (w, 1.0, case.slot_month)
    rows.add(G, [slots, (w[case.first_slot], -case.n_per), (z, -1.0, case.month)], 0.0, 0.0)
    if case.milp:
        rows.add(G, [(delta, 1.0, case.month)], case.n_per, case.n_per)
        # The four gated families, each with its big-M from the bounds.
        rows.add(n, [(p, -1.0), (thr, 1.0), (delta, GMAX)], -INF, GMAX)
        rows.add(n, [(p, 1.0), (thr, -1.0), (delta, -GMAX)], -INF, 0.0)
        rows.add(n, [(z, 1.0), (p, -1.0), (thr, 1.0), (delta, 2 * GMAX)], -INF, 2 * GMAX)
        rows.add(n, [(z, 1.0), (delta, -GMAX)], -INF, 0.0)
    share = -1.0 / case.n_per[case.slot_month]
    rows.add(G, [(mean, 1.0), (w, share, case.slot_month)], 0.0, 0.0)
    rows.add(G, [(fee, 1.0), (mean, -PEAK_FEE)], 0.0, 0.0)
    rows.add(n, [(tax, 1.0), (g, -TAX)], 0.0, 0.0)

    cost = np.zeros(cols.n)
    cost[g] = case.spot
    cost[a] = cost[fee] = cost[tax] = 1.0
    lb, ub = np.concatenate(cols.lb), np.concatenate(cols.ub)
    h.addCols(cols.n, cost, lb, ub, 0, *empty_matrix())
    if cols.integer:
        ints = np.concatenate(cols.integer).astype(np.int32)
        h.changeColsIntegrality(len(ints), ints, np.full(len(ints), 1, np.uint8))
    coo = sp.coo_array(
        (np.concatenate(rows.v), (np.concatenate(rows.r), np.concatenate(rows.c))),
        shape=(rows.m, cols.n),
    )
    csr = coo.tocsr()
    h.addRows(
        rows.m,
        np.concatenate(rows.lo),
        np.concatenate(rows.hi),
        csr.nnz,
        csr.indptr[:-1].astype(np.int32),
        csr.indices.astype(np.int32),
        csr.data,
    )
    return h


def empty_matrix():
    return np.empty(0, np.int32), np.empty(0, np.int32), np.empty(0)


# -- our path: the caller's battery, then the tariff compiled and added -------------------------


def battery_csr(case, h):
    """The caller's battery in one addCols and one addRows; returns the import columns."""
    n = case.n
    h.addCols(
        4 * n,
        np.concatenate([case.spot, np.zeros(3 * n)]),
        np.zeros(4 * n),
        np.repeat([GMAX, POWER, POWER, CAPACITY], n),
        0,
        *empty_matrix(),
    )
    g, c, d, s = (np.arange(k * n, (k + 1) * n) for k in range(4))
    t = np.arange(n)
    r = np.concatenate([t, t, t, n + t, n + t, n + t, n + t[1:]])
    cc = np.concatenate([g, c, d, s, c, d, s[:-1]])
    v = np.concatenate([np.ones(n), -np.ones(n), np.ones(n)] + [np.ones(n)])
    v = np.concatenate([v, np.full(n, -ETA), np.full(n, 1 / ETA), -np.ones(n - 1)])
    rhs = np.concatenate([case.load, [SOC0], np.zeros(n - 1)])
    csr = sp.coo_array((v, (r, cc)), shape=(2 * n, 4 * n)).tocsr()
    h.addRows(
        2 * n,
        rhs,
        rhs,
        csr.nnz,
        csr.indptr[:-1].astype(np.int32),
        csr.indices.astype(np.int32),
        csr.data,
    )
    return g


ENGINE_TIME = []  # per build of our path: the engine's share (to_series, runs, add_blocks)


def our_model(case, h, components, timeline):
    g = battery_csr(case, h)
    # The caller's import variables, keyed by UTC instants (as the docs ask: keys in a zone
    # with a repeated autumn hour would merge).
    stamps = case.index.tz_convert("UTC").to_pydatetime()
    variables = dict(zip(stamps, (highspy.highs.highs_var(int(i), h) for i in g)))
    t0 = time.process_time()
    adapter = e.HighsAdapter(h)
    x = adapter.to_series(variables)
    dataset = components[0].datasets[0]
    cost_cols = []
    for comp in components:
        ctx = e.run_pipeline(
            [comp],
            {dataset: x},
            timeline=timeline,
            next_available_col=adapter.get_next_available_col(),
            assume_convex=not case.milp,
        )
        adapter.add_blocks(ctx.function_blocks)
        cost_cols.append(ctx.all_series[comp.cost.id].cols)
    ENGINE_TIME.append(time.process_time() - t0)
    cols = np.concatenate(cost_cols).astype(np.int32)
    h.changeColsCost(len(cols), cols, np.ones(len(cols)))
    return h


FACADE = "add_to_highs_model"
FACADE_TIME = []  # per build through the facade: add_to_highs_model alone


def facade_model(case, h, facade, public, loop):
    """The caller's battery and import variables, the tariff by add_to_highs_model, and the
    objective from the cost variables it returns."""
    g = battery_csr(case, h)
    stamps = case.index.tz_convert("UTC").to_pydatetime()
    variables = dict(zip(stamps, (highspy.highs.highs_var(int(i), h) for i in g)))
    t0 = time.process_time()
    call = facade.add_to_highs_model(
        public,
        case.start,
        case.end,
        {},
        {IMPORT_DATASET: variables},
        h,
        minimising_cost=not case.milp,
    )
    costs = loop.run_until_complete(call)
    FACADE_TIME.append(time.process_time() - t0)
    cols = np.fromiter((v.index for c in costs for v in c.costs.values()), np.int32)
    h.changeColsCost(len(cols), cols, np.ones(len(cols)))
    return h


def compile_missing():
    return not all(hasattr(getattr(e, b), "compile") for b in ("Multiply", "Divide", "Select"))


# -- (b) highspy's expression API ---------------------------------------------------------------


def highspy_model(case, h):
    n, G, S = case.n, case.G, case.S
    g = h.addVariables(n, lb=0.0, ub=GMAX)
    c = h.addVariables(n, lb=0.0, ub=POWER)
    d = h.addVariables(n, lb=0.0, ub=POWER)
    s = h.addVariables(n, lb=0.0, ub=CAPACITY)
    h.addConstrs(g - c + d == case.load)
    h.addConstr(s[0] - ETA * c[0] + (1 / ETA) * d[0] == SOC0)
    h.addConstrs(s[1:] - s[:-1] - ETA * c[1:] + (1 / ETA) * d[1:] == 0)
    a = h.addVariables(n, lb=0.0, ub=(case.price * GMAX).tolist())
    p = h.addVariables(n, lb=0.0, ub=GMAX)
    w = h.addVariables(S, lb=0.0, ub=GMAX)
    z = h.addVariables(n, lb=0.0, ub=GMAX)
    delta = h.addBinaries(n) if case.milp else None
    mean = h.addVariables(G, lb=0.0, ub=GMAX)
    fee = h.addVariables(G, lb=0.0, ub=PEAK_FEE * GMAX)
    tax = h.addVariables(n, lb=0.0, ub=TAX * GMAX)
    h.addConstrs(a - case.price * g == 0)
    h.addConstrs(p - g == 0)
    ends = case.first_slot + case.n_per
    for first, end in zip(case.first_slot, ends):
        if end - first > 1:
            h.addConstrs(w[first : end - 1] - w[first + 1 : end] <= 0)
    thr = w[case.first_slot[case.month]]
    h.addConstrs(p - thr - z <= 0)
    hours = [np.flatnonzero(case.month == k) for k in range(G)]
    for k, (first, end) in enumerate(zip(case.first_slot, ends)):
        zk = z[hours[k]]
        h.addConstr(h.qsum(w[first:end]) - float(case.n_per[k]) * w[first] - h.qsum(zk) == 0)
        if case.milp:
            h.addConstr(h.qsum(delta[hours[k]]) == float(case.n_per[k]))
    if case.milp:
        h.addConstrs(-p + thr + GMAX * delta <= GMAX)
        h.addConstrs(p - thr - GMAX * delta <= 0)
        h.addConstrs(z - p + thr + 2 * GMAX * delta <= 2 * GMAX)
        h.addConstrs(z - GMAX * delta <= 0)
    for k, (first, end) in enumerate(zip(case.first_slot, ends)):
        h.addConstr(mean[k] - (1.0 / case.n_per[k]) * h.qsum(w[first:end]) == 0)
    h.addConstrs(fee - PEAK_FEE * mean == 0)
    h.addConstrs(tax - TAX * g == 0)
    objective = h.qsum(case.spot * g) + h.qsum(a) + h.qsum(fee) + h.qsum(tax)
    h.setObjective(objective, highspy.ObjSense.kMinimize)
    return h


# -- (a) linopy -----------------------------------------------------------------------------------


def linopy_model(case):
    with warnings.catch_warnings():
        # The shifted state of charge is meant to be absent in the first hour (legacy rule).
        warnings.simplefilter("ignore", category=FutureWarning)
        warnings.filterwarnings("ignore", message=".*absent slots.*")
        return linopy_build(case)


def linopy_build(case):
    import linopy
    import xarray as xr

    n, G = case.n, case.G
    m = linopy.Model()
    time_ = pd.RangeIndex(n, name="time")
    month_ = pd.RangeIndex(G, name="month")
    slot_ = pd.RangeIndex(TOP_N, name="slot")

    def hourly(values):
        return xr.DataArray(values, coords=[time_])

    g = m.add_variables(0.0, GMAX, coords=[time_], name="g")
    c = m.add_variables(0.0, POWER, coords=[time_], name="c")
    d = m.add_variables(0.0, POWER, coords=[time_], name="d")
    s = m.add_variables(0.0, CAPACITY, coords=[time_], name="s")
    m.add_constraints(g - c + d == hourly(case.load), name="balance")
    soc0 = np.zeros(n)
    soc0[0] = SOC0
    # The shifted term is absent in the first hour, which starts from SOC0.
    m.add_constraints(s - s.shift(time=1) - ETA * c + d / ETA == hourly(soc0), name="soc")
    a = m.add_variables(0.0, hourly(case.price * GMAX), name="a")
    p = m.add_variables(0.0, GMAX, coords=[time_], name="p")
    # Every month has at least TOP_N hours here, so the slots are a (month, slot) grid.
    assert (case.n_per == TOP_N).all()
    w = m.add_variables(0.0, GMAX, coords=[month_, slot_], name="w")
    z = m.add_variables(0.0, GMAX, coords=[time_], name="z")
    mean = m.add_variables(0.0, GMAX, coords=[month_], name="mean")
    fee = m.add_variables(0.0, PEAK_FEE * GMAX, coords=[month_], name="fee")
    tax = m.add_variables(0.0, TAX * GMAX, coords=[time_], name="tax")
    m.add_constraints(a - hourly(case.price) * g == 0, name="tou")
    m.add_constraints(p - g == 0, name="power")
    if TOP_N > 1:
        lower = w.isel(slot=slice(None, -1))
        upper = w.shift(slot=-1).isel(slot=slice(None, -1))
        m.add_constraints(lower - upper <= 0, name="order")
    month_of = xr.DataArray(case.month, coords=[time_], name="month")
    thr = w.isel(slot=0).isel(month=month_of)
    m.add_constraints(p - thr - z <= 0, name="excess")
    m.add_constraints(
        w.sum("slot") - TOP_N * w.isel(slot=0) - z.groupby(month_of).sum() == 0, name="sum"
    )
    if case.milp:
        delta = m.add_variables(coords=[time_], name="delta", binary=True)
        m.add_constraints(delta.groupby(month_of).sum() == TOP_N, name="count")
        m.add_constraints(-p + thr + GMAX * delta <= GMAX, name="g1")
        m.add_constraints(p - thr - GMAX * delta <= 0, name="g2")
        m.add_constraints(z - p + thr + 2 * GMAX * delta <= 2 * GMAX, name="g3")
        m.add_constraints(z - GMAX * delta <= 0, name="g4")
    m.add_constraints(mean - w.sum("slot") / TOP_N == 0, name="mean")
    m.add_constraints(fee - PEAK_FEE * mean == 0, name="fee")
    m.add_constraints(tax - TAX * g == 0, name="tax")
    m.add_objective((hourly(case.spot) * g).sum() + a.sum() + fee.sum() + tax.sum())
    h = m.to_highspy()
    h.setOptionValue("output_flag", False)
    return h


# -- the harness --------------------------------------------------------------------------------


def new_highs():
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    return h


def timed_builds(paths):
    """Median build times (wall clock and the process's CPU time) and the last model of each
    path. The paths take turns, round by round, so that a busy machine slows them alike; as
    timeit does, the collector is off while timing (a collection that falls into one build
    costs what the whole process holds). The ratios use CPU time, which other processes on
    a shared machine disturb far less than the wall clock.
    """
    wall = {name: [] for name, _, _ in paths}
    cpu = {name: [] for name, _, _ in paths}
    models = {}
    for r in range(max(n for _, _, n in paths)):
        for name, build, n in paths:
            if r >= n:
                continue
            models[name] = None
            gc.collect()
            gc.disable()
            try:
                w0, c0 = time.perf_counter(), time.process_time()
                models[name] = build()
                wall[name].append(time.perf_counter() - w0)
                cpu[name].append(time.process_time() - c0)
            finally:
                gc.enable()
    med = statistics.median
    return {name: (med(wall[name]), med(cpu[name]), models[name]) for name, _, _ in paths}


def solve(h):
    t0 = time.perf_counter()
    h.run()
    elapsed = time.perf_counter() - t0
    status = h.getModelStatus()
    if status != highspy.HighsModelStatus.kOptimal:
        raise RuntimeError(f"not optimal: {h.modelStatusToString(status)}")
    return elapsed, h.getInfo().objective_function_value


def numeric_tariff_cost(case, components, timeline, import_values):
    """The tariff's cost of an import schedule, by the blocks' numeric evaluation."""
    consumption = pd.Series(import_values, index=case.index, name="grid_import")
    dataset = components[0].datasets[0]
    total = 0.0
    for comp in components:
        ctx = e.run_pipeline([comp], {dataset: consumption}, timeline=timeline)
        total += float(ctx.all_series[comp.cost.id].sum())
    return total


def run_case(label, case, repeat):
    components = tariff()
    timeline = e.build_timeline(components, {}, [], start_time=case.start, end_time=case.end)
    form = "exact MILP" if case.milp else "convex LP"
    print(f"== {label}: {case.n} hours, {form}")
    paths = [
        ("hand-made CSR (floor)", lambda: floor_model(case, new_highs()), repeat),
        ("highspy expressions", lambda: highspy_model(case, new_highs()), max(1, repeat // 3)),
        ("linopy", lambda: linopy_model(case), max(1, repeat // 3)),
    ]
    ours_broken = compile_missing()
    if not ours_broken:
        ours = (
            "run_pipeline + add_blocks",
            lambda: our_model(case, new_highs(), components, timeline),
            repeat,
        )
        paths.insert(0, ours)
        facade, public, loop = (
            logic.LogicBindings("bench"),
            public_tariff(),
            asyncio.new_event_loop(),
        )
        through_facade = (
            FACADE,
            lambda: facade_model(case, new_highs(), facade, public, loop),
            repeat,
        )
        paths.insert(0, through_facade)
    results = {}
    for name, (t_wall, t_build, h) in timed_builds(paths).items():
        t_solve, objective = solve(h)
        results[name] = (t_build, t_solve, objective, h)
        print(
            f"  {name:26s} build {t_build * 1e3:8.1f} ms cpu ({t_wall * 1e3:8.1f} ms wall)"
            f"   solve {t_solve * 1e3:8.1f} ms   objective {objective:.6f}"
        )
    floor = results["hand-made CSR (floor)"]
    # The floor's formulation is exact: its optimal import priced numerically by the blocks.
    x = np.asarray(floor[3].getSolution().col_value[: case.n])
    spot = float(case.spot @ x)
    tariff_cost = numeric_tariff_cost(case, components, timeline, x)
    ok = np.isclose(spot + tariff_cost, floor[2], rtol=1e-6, atol=0)
    print(f"  floor's schedule priced by compute: {spot + tariff_cost:.6f}")
    for name, (_, _, objective, _) in results.items():
        if not np.isclose(objective, floor[2], rtol=1e-6, atol=0):
            print(f"  {name}: objective disagrees with the floor's", file=sys.stderr)
            ok = False
    if ours_broken:
        print(
            "  run_pipeline + add_blocks: cannot run, the blocks have no compile yet "
            "(compile is missing)",
            file=sys.stderr,
        )
        return False
    t_ours, t_floor = results["run_pipeline + add_blocks"][0], floor[0]
    t_engine = statistics.median(ENGINE_TIME)
    ENGINE_TIME.clear()
    print(
        f"  of our build (cpu), the engine (to_series, run_pipeline, add_blocks): "
        f"{t_engine * 1e3:.1f} ms; the caller's battery and variable map: "
        f"{(t_ours - t_engine) * 1e3:.1f} ms"
    )
    t_linopy = results["linopy"][0]
    t_facade, t_call = results[FACADE][0], statistics.median(FACADE_TIME)
    FACADE_TIME.clear()
    print(
        f"  through the facade (cpu): {t_facade * 1e3:.1f} ms, of which add_to_highs_model "
        f"{t_call * 1e3:.1f} ms; linopy / facade {t_linopy / t_facade:.1f}x, "
        f"facade / floor {t_facade / t_floor:.2f}x (floor {t_floor * 1e3:.1f} ms)"
    )
    print(
        f"  build ratios (cpu): linopy / ours {t_linopy / t_ours:.1f}x, "
        f"ours / floor {t_ours / t_floor:.2f}x (the engine's share alone "
        f"{t_engine / t_floor:.2f}x), "
        f"highspy expressions / ours {results['highspy expressions'][0] / t_ours:.1f}x"
    )
    return bool(ok)


def main():
    year = Case(dt.datetime(2026, 1, 1, tzinfo=TZ), dt.datetime(2027, 1, 1, tzinfo=TZ), False)
    month = Case(dt.datetime(2026, 1, 1, tzinfo=TZ), dt.datetime(2026, 2, 1, tzinfo=TZ), True)
    ok = run_case("year", year, 7)
    ok = run_case("one month", month, 9) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
