"""Building optimisation rows over one year of quarter-hours (35,040 steps): the engine's bulk
builders against the same arrays built with plain numpy, as a careful Python implementation
would (vectorised, with the same record checks), measured side by side in this run."""

import timeit

import numpy as np
import pandas as pd

from ostrelpy.bindings import _engine as e

N = 35_040
INDEX = pd.date_range("2025-01-01", periods=N, freq="15min", tz="Europe/Stockholm")
RNG = np.random.default_rng(7)
PRICE = pd.Series(RNG.uniform(0.1, 2.0, N), index=INDEX)


def variables(start, lb, ub):
    return e.VariableSeries.continuous(start, np.full(N, lb), np.full(N, ub), INDEX)


IMPORT, EXPORT, BATTERY = variables(0, 0.0, 10.0), variables(N, 0.0, 5.0), variables(2 * N, -3, 3)
GATE = e.VariableSeries.binary(3 * N, INDEX)
MONTH = (INDEX.month.to_numpy() - 1).astype(np.int64)
MONTHLY = e.VariableSeries.continuous(4 * N, np.zeros(12), np.full(12, 1e4), INDEX[:12])


# -- numpy: the same records, built the way a careful Python implementation would -----------


def check_variables(cols, lb, ub, is_integer, index):
    assert cols.dtype == np.int64 and lb.dtype == ub.dtype == np.float64
    assert is_integer.dtype == np.bool_ and len(cols) == len(lb) == len(ub) == len(index)
    if not (np.isfinite(lb).all() and np.isfinite(ub).all()):
        raise ValueError("lb and ub must be finite")
    if (lb > ub).any():
        raise ValueError("lb must be <= ub element-wise")


def check_rows(cols, rows, coefs, rhs):
    assert cols.dtype == rows.dtype == np.int64 and coefs.dtype == rhs.dtype == np.float64
    if not len(cols) == len(rows) == len(coefs):
        raise ValueError("cols/rows/coefs must match")
    if len(rows) and (rows.min() < 0 or rows.max() + 1 != len(rhs)):
        raise ValueError("rhs length mismatches row count")


def to_coo(col_arrays, coef_arrays, rhs):
    n, k = len(rhs), len(col_arrays)
    cols = np.column_stack(col_arrays).ravel()
    coefs = np.column_stack(coef_arrays).ravel()
    rows = np.repeat(np.arange(n, dtype=np.int64), k)
    check_rows(cols, rows, coefs, rhs)
    return cols, rows, coefs, rhs


def numpy_linear_combination(start):
    price = PRICE.to_numpy(dtype=np.float64)
    terms = [(1.0, IMPORT), (-1.0, EXPORT), (price, BATTERY)]
    assert all(v.index.equals(IMPORT.index) for _, v in terms)
    lb, ub = np.zeros(N), np.zeros(N)
    for coef, v in terms:
        c = np.broadcast_to(np.asarray(coef, dtype=np.float64), (N,))
        a, b = c * v.lb, c * v.ub
        lb += np.minimum(a, b)
        ub += np.maximum(a, b)
    cols = np.arange(start, start + N, dtype=np.int64)
    check_variables(cols, lb, ub, np.zeros(N, dtype=bool), INDEX)
    coef_arrays = [np.ones(N)] + [-np.broadcast_to(np.asarray(c, float), (N,)) for c, _ in terms]
    return (cols, lb, ub), to_coo([cols] + [v.cols for _, v in terms], coef_arrays, np.zeros(N))


def numpy_sum_per_group():
    own = np.arange(12, dtype=np.int64)
    cols = np.concatenate([MONTHLY.cols, IMPORT.cols])
    rows = np.concatenate([own, MONTH])
    coefs = np.concatenate([np.ones(12), np.full(N, -0.25)])
    rhs = np.zeros(len(np.unique(rows)))
    check_rows(cols, rows, coefs, rhs)
    return cols, rows, coefs, rhs


def numpy_le_when():
    # IMPORT <= 0.5 * EXPORT + 2.0 where GATE is 1
    c_y, c_x = np.ones(N), np.full(N, -0.5)
    r = np.full(N, 2.0)
    big_m = (
        np.maximum(c_y * IMPORT.lb, c_y * IMPORT.ub)
        + np.maximum(c_x * EXPORT.lb, c_x * EXPORT.ub)
        - r
    )
    cols, rows, coefs, rhs = to_coo([IMPORT.cols, EXPORT.cols], [c_y, c_x], r)
    cols = np.concatenate([cols, GATE.cols])
    rows = np.concatenate([rows, np.arange(N, dtype=np.int64)])
    coefs = np.concatenate([coefs, big_m])
    rhs = rhs + big_m
    check_rows(cols, rows, coefs, rhs)
    return cols, rows, coefs, rhs


# -- the engine ------------------------------------------------------------------------------


def engine_linear_combination(start):
    return e.linear_combination([IMPORT, (-1.0, EXPORT), (PRICE, BATTERY)], start)


def engine_sum_per_group():
    return e.output_is_sum_per_group(MONTHLY, IMPORT, MONTH, 0.25)


def engine_le_when():
    return e.le_when(IMPORT, [(0.5, EXPORT), 2.0], GATE, 1)


def same(record, arrays):
    return all(
        np.array_equal(getattr(record, f), a)
        for f, a in zip(("cols", "rows", "coefs", "rhs"), arrays)
    )


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=7)) / number


def main():
    start = 5 * N
    block = engine_linear_combination(start)
    (cols, lb, ub), rows = numpy_linear_combination(start)
    assert np.array_equal(block.output.cols, cols) and np.array_equal(block.output.lb, lb)
    assert np.array_equal(block.output.ub, ub) and same(block.equalities, rows)
    assert same(engine_sum_per_group(), numpy_sum_per_group())
    assert same(engine_le_when(), numpy_le_when())

    cases = [
        (
            "linear_combination, 3 terms",
            lambda: engine_linear_combination(start),
            lambda: numpy_linear_combination(start),
        ),
        ("sum_per_group, monthly", engine_sum_per_group, numpy_sum_per_group),
        ("le_when with a gate", engine_le_when, numpy_le_when),
    ]
    print(f"{N} quarter-hourly steps; times are the best of 7 runs")
    print(f"{'case':32} {'engine ms':>10} {'numpy ms':>10} {'numpy/engine':>13}")
    for name, ours, theirs in cases:
        t_ours, t_theirs = best(ours, 20), best(theirs, 20)
        print(f"{name:32} {t_ours * 1e3:10.3f} {t_theirs * 1e3:10.3f} {t_theirs / t_ours:12.2f}x")


if __name__ == "__main__":
    main()
