import numpy as np
import pandas as pd
import pytest

from ostrelpy.bindings import _engine as e

INF = np.inf


# -- validators --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kernel, good, wrong, expected_name",
    [
        (e.ensure_bool, np.array([True]), np.array([1], dtype=np.int8), "bool_"),
        (e.ensure_float64, np.array([1.0]), np.array([1.0], dtype=np.float32), "float64"),
        (e.ensure_int64, np.array([1]), np.array([1], dtype=np.int32), "int64"),
    ],
)
def test_validators_pass_through_and_report_dtype(kernel, good, wrong, expected_name):
    assert kernel(good) is good
    with pytest.raises(ValueError) as err:
        kernel(wrong)
    assert str(err.value) == f"array must be {expected_name}, got {wrong.dtype}"


def test_dtype_is_checked_before_dimension():
    with pytest.raises(ValueError, match=r"^array must be float64, got float32$"):
        e.ensure_float64(np.zeros((2, 2), dtype=np.float32))
    with pytest.raises(ValueError, match=r"^array must be 1-D, got 2-D$"):
        e.ensure_float64(np.zeros((2, 2)))
    with pytest.raises(ValueError, match=r"^array must be 1-D, got 0-D$"):
        e.ensure_1d(np.float64(1.0).reshape(()))
    assert e.ensure_1d(np.zeros(3)) is None


def test_validators_refuse_non_arrays_with_a_clear_message():
    with pytest.raises(ValueError, match=r"^array must be int64, got list$"):
        e.ensure_int64([1, 2])


def test_kernels_are_positional_only():
    with pytest.raises(TypeError):
        e.to_float64(x=np.zeros(1))
    with pytest.raises(TypeError):
        e.group_count(ids=np.zeros(1, dtype=np.int64))


# -- converters --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kernel, dtype",
    [
        (e.to_bool, np.bool_),
        (e.to_float64, np.float64),
        (e.to_int32, np.int32),
        (e.to_int64, np.int64),
    ],
)
def test_converters_reuse_an_array_of_the_target_dtype(kernel, dtype):
    a = np.array([1, 0, 1], dtype=dtype)
    assert kernel(a) is a
    other = np.array([1, 0, 1], dtype=np.int16)
    out = kernel(other)
    assert out.dtype == dtype and out is not other
    assert kernel([1, 0]).dtype == dtype
    assert kernel(pd.Series([1, 0])).dtype == dtype


def test_to_float64_of_a_list_is_a_new_float_array():
    out = e.to_float64([1, 2, 3])
    assert out.dtype == np.float64 and out.tolist() == [1.0, 2.0, 3.0]


def test_to_float64_of_a_float_series_shares_its_values():
    s = pd.Series([1.0, 2.0])
    out = e.to_float64(s)
    assert isinstance(out, np.ndarray) and np.shares_memory(out, s.to_numpy())


def test_to_bool_nan_and_non_zero_are_true():
    assert e.to_bool(pd.Series([np.nan, 0.0, -2.0])).tolist() == [True, False, True]


def test_to_int64_truncates_toward_zero():
    assert e.to_int64([1.9, -1.9]).tolist() == [1, -1]
    assert e.to_int64(np.array([1.9, -1.9])).tolist() == [1, -1]


def test_to_float64_of_a_scalar_is_zero_dimensional():
    out = e.to_float64(2)
    assert out.dtype == np.float64 and out.ndim == 0


# -- row reductions ----------------------------------------------------------------------------

MATRICES = [
    np.array([[2.0, 5.0, 5.0], [-1.0, -3.0, 0.5]]),
    np.array([[2, 5, 5], [-1, -3, 0]], dtype=np.int64),
    np.array([[2, 5, 5], [-1, -3, 0]], dtype=np.int32),
    np.array([[True, False, True], [False, False, False]]),
    np.asfortranarray(np.array([[2.0, 5.0, 5.0], [-1.0, -3.0, 0.5]])),
    np.array([[0.5, 1.5, 0.2, 9.0], [3.0, 2.0, 1.0, 0.0]])[:, ::2],
]


@pytest.mark.parametrize("m", MATRICES)
@pytest.mark.parametrize(
    "kernel, reference, dtype",
    [
        (e.row_any, lambda m: m.any(axis=1), np.bool_),
        (e.row_argmax, lambda m: m.argmax(axis=1), np.int64),
        (e.row_max, lambda m: m.max(axis=1), np.float64),
        (e.row_min, lambda m: m.min(axis=1), np.float64),
        (e.row_sum, lambda m: m.sum(axis=1).astype(np.int64), np.int64),
    ],
)
def test_row_kernels_match_the_reduction_over_columns(m, kernel, reference, dtype):
    out = kernel(m)
    assert out.dtype == dtype
    np.testing.assert_array_equal(out, reference(m))


def test_row_argmax_takes_the_first_of_ties():
    assert e.row_argmax(np.array([[2, 5, 5]])).tolist() == [1]


def test_row_sum_counts_true_entries_and_truncates():
    assert e.row_sum(np.array([[True, True, False], [False, False, True]])).tolist() == [2, 1]
    assert e.row_sum(np.array([[0.6, 0.6], [-0.6, -0.6]])).tolist() == [1, -1]


def test_row_kernels_with_nan():
    m = np.array([[1.0, np.nan, 3.0], [0.0, 0.0, 0.0]])
    assert np.isnan(e.row_max(m)[0]) and np.isnan(e.row_min(m)[0])
    assert e.row_argmax(m).tolist() == [1, 0]
    assert e.row_any(m).tolist() == [True, False]


@pytest.mark.parametrize("kernel", [e.row_any, e.row_argmax, e.row_max, e.row_min, e.row_sum])
def test_row_kernels_fail_on_one_dimensional_input(kernel):
    with pytest.raises(np.exceptions.AxisError):
        kernel(np.array([1.0, 2.0]))


# -- pairwise and selection --------------------------------------------------------------------


@pytest.mark.parametrize(
    "a, b",
    [
        (np.array([1.0, 5.0, np.nan]), np.array([2.0, 3.0, 0.0])),
        (np.array([1.0, 5.0, -1.0]), 2.0),
        (3, np.array([1.0, 5.0, np.nan])),
        (np.array([1, 5, 7], dtype=np.int32), np.array([[2.0], [6.0]])),
    ],
)
def test_pairwise_kernels(a, b):
    for kernel, ref in ((e.pairwise_max, np.maximum), (e.pairwise_min, np.minimum)):
        out = kernel(a, b)
        assert out.dtype == np.float64
        np.testing.assert_array_equal(out, ref(a, b).astype(np.float64))


def test_pairwise_with_unequal_lengths_fails_like_numpy():
    with pytest.raises(ValueError):
        e.pairwise_max(np.zeros(2), np.zeros(3))


@pytest.mark.parametrize(
    "cond, a, b",
    [
        (np.array([True, False, True]), np.array([1.0, 2.0, 3.0]), np.array([9.0, 8.0, 7.0])),
        (np.array([True, False, True]), 1.0, np.array([9.0, 8.0, 7.0])),
        (np.array([True, False, True]), np.array([1, 2, 3]), 0),
        (np.array([1, 0, 1]), 5.0, -5.0),
    ],
)
def test_where(cond, a, b):
    out = e.where(cond, a, b)
    assert out.dtype == np.float64
    np.testing.assert_array_equal(out, np.where(cond, a, b))


def test_where_indices():
    out = e.where_indices(np.array([False, True, True]))
    assert out.dtype == np.int64 and out.tolist() == [1, 2]
    assert e.where_indices(np.zeros(0, dtype=bool)).tolist() == []


# -- group reductions --------------------------------------------------------------------------


def test_group_count():
    out = e.group_count(np.array([0, 2, 2]))
    assert out.dtype == np.int64 and out.tolist() == [1, 0, 2]
    assert e.group_count(np.array([], dtype=np.int64)).tolist() == []


def test_group_count_fails_on_negative_ids():
    with pytest.raises(ValueError):
        e.group_count(np.array([0, -1]))


def test_group_max_and_min():
    values, ids = np.array([1.0, 3.0, 2.0]), np.array([0, 0, 2])
    assert e.group_max(values, ids).tolist() == [3.0, -INF, 2.0]
    assert e.group_min(values, ids).tolist() == [1.0, INF, 2.0]


def test_group_reductions_accumulate_repeated_ids_in_any_order():
    rng = np.random.default_rng(1)
    ids = rng.integers(0, 7, 500)
    values = rng.normal(size=500)
    ref_max = np.full(7, -INF)
    np.maximum.at(ref_max, ids, values)
    np.testing.assert_array_equal(e.group_max(values, ids), ref_max)
    ref_min = np.full(7, INF)
    np.minimum.at(ref_min, ids, values)
    np.testing.assert_array_equal(e.group_min(values, ids.astype(np.int32)), ref_min)


def test_group_extremum_nan_poisons_its_group_only():
    out = e.group_max(np.array([1.0, np.nan, 4.0]), np.array([0, 0, 1]))
    assert np.isnan(out[0]) and out[1] == 4.0


@pytest.mark.parametrize("kernel", [e.group_max, e.group_min])
def test_group_extrema_fail_on_bad_ids(kernel):
    with pytest.raises(ValueError):
        kernel(np.array([], dtype=np.float64), np.array([], dtype=np.int64))
    with pytest.raises(ValueError):
        kernel(np.array([1.0, 2.0]), np.array([0, -1]))
    with pytest.raises(ValueError):
        kernel(np.array([1.0, 2.0]), np.array([0, 1, 2]))
    with pytest.raises(IndexError):
        kernel(np.array([1.0]), np.array([0.0]))


# -- bounds and group sums ---------------------------------------------------------------------


def test_get_bounds_of_a_number_and_of_variables():
    lo, hi = e.get_bounds(5.0, pd.RangeIndex(3))
    assert lo.tolist() == [5.0, 5.0, 5.0] and hi.tolist() == [5.0, 5.0, 5.0]
    idx = pd.date_range("2025-01-01", periods=2, freq="15min", tz="UTC")
    v = e.VariableSeries.continuous(0, np.array([-1.0, 0.0]), np.array([1.0, 2.0]), idx)
    lo, hi = e.get_bounds(v, idx)
    assert lo.tolist() == [-1.0, 0.0] and hi.tolist() == [1.0, 2.0]
    s = pd.Series([1.0, 2.0], index=idx)
    lo, hi = e.get_bounds(s, idx)
    assert lo is hi and lo.tolist() == [1.0, 2.0]


def test_output_is_sum_per_group():
    idx = pd.date_range("2025-01-01", periods=4, freq="15min", tz="UTC")
    x = e.VariableSeries.continuous(0, np.zeros(4), np.ones(4), idx)
    out = e.VariableSeries.continuous(4, np.zeros(2), np.ones(2) * 4, idx[[0, 2]])
    rows = e.output_is_sum_per_group(out, x, np.array([0, 0, 1, 1]), 0.5, 2.0)
    assert isinstance(rows, e.EqualitySeries)
    assert rows.cols.tolist() == [4, 5, 0, 1, 2, 3]
    assert rows.rows.tolist() == [0, 1, 0, 0, 1, 1]
    assert rows.coefs.tolist() == [1.0, 1.0, -0.5, -0.5, -0.5, -0.5]
    assert rows.rhs.tolist() == [2.0, 2.0]
    default = e.output_is_sum_per_group(out, x, np.array([0, 0, 1, 1]))
    assert default.coefs.tolist()[2:] == [-1.0] * 4 and default.rhs.tolist() == [0.0, 0.0]
    with pytest.raises(TypeError):
        e.output_is_sum_per_group(out, x)
