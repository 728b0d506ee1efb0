"""The array kernels against numpy on random data, and the inputs numpy itself gets wrong."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from ostrelpy.bindings import _engine as e

FLOATS = st.floats(allow_nan=True, allow_infinity=True, width=64)
SMALL_INTS = st.integers(-(2**40), 2**40)


def matrices(dtype, elements):
    return hnp.arrays(
        dtype, hnp.array_shapes(min_dims=2, max_dims=2, min_side=1, max_side=6), elements=elements
    )


@settings(max_examples=60, deadline=None)
@given(
    m=st.one_of(
        matrices(np.float64, FLOATS),
        matrices(np.int64, SMALL_INTS),
        matrices(np.bool_, st.booleans()),
    )
)
def test_row_reductions_equal_numpy(m):
    np.testing.assert_array_equal(e.row_any(m), m.any(axis=1))
    np.testing.assert_array_equal(e.row_argmax(m), m.argmax(axis=1))
    np.testing.assert_array_equal(e.row_max(m), m.max(axis=1).astype(np.float64))
    np.testing.assert_array_equal(e.row_min(m), m.min(axis=1).astype(np.float64))
    if m.dtype != np.float64:
        np.testing.assert_array_equal(e.row_sum(m), m.sum(axis=1).astype(np.int64))


@settings(max_examples=60, deadline=None)
@given(a=hnp.arrays(np.float64, st.integers(0, 8), elements=FLOATS), data=st.data())
def test_pairwise_and_where_equal_numpy(a, data):
    b = data.draw(hnp.arrays(np.float64, a.shape, elements=FLOATS))
    cond = data.draw(hnp.arrays(np.bool_, a.shape))
    np.testing.assert_array_equal(e.pairwise_max(a, b), np.maximum(a, b))
    np.testing.assert_array_equal(e.pairwise_min(a, b), np.minimum(a, b))
    np.testing.assert_array_equal(e.where(cond, a, b), np.where(cond, a, b))
    np.testing.assert_array_equal(e.where_indices(cond), np.flatnonzero(cond))


@settings(max_examples=60, deadline=None)
@given(ids=hnp.arrays(np.int64, st.integers(1, 12), elements=st.integers(0, 9)), data=st.data())
def test_group_reductions_equal_numpy(ids, data):
    values = data.draw(hnp.arrays(np.float64, ids.shape, elements=FLOATS))
    np.testing.assert_array_equal(e.group_count(ids), np.bincount(ids))
    hi = np.full(ids.max() + 1, -np.inf)
    lo = np.full(ids.max() + 1, np.inf)
    with np.errstate(invalid="ignore"):
        np.maximum.at(hi, ids, values)
        np.minimum.at(lo, ids, values)
    np.testing.assert_array_equal(e.group_max(values, ids), hi)
    np.testing.assert_array_equal(e.group_min(values, ids), lo)


@pytest.mark.parametrize("m", [np.zeros((0, 0)), np.zeros((3, 0))])
@pytest.mark.parametrize(
    "kernel, text",
    [
        (e.row_argmax, "attempt to get argmax of an empty sequence"),
        (e.row_max, "zero-size array to reduction operation maximum which has no identity"),
        (e.row_min, "zero-size array to reduction operation minimum which has no identity"),
    ],
)
def test_row_reductions_refuse_empty_rows_like_numpy(m, kernel, text):
    with pytest.raises(ValueError, match=f"^{text}$"):
        kernel(m)


@pytest.mark.parametrize("row", [[2**63 - 1, 1], [-(2**63), -1], [2**62, 2**62]])
def test_row_sum_refuses_an_int64_overflow(row):
    # numpy wraps these around to a plausible-looking wrong count.
    with pytest.raises(ValueError, match="^row sum out of int64 range$"):
        e.row_sum(np.array([row], dtype=np.int64))


@pytest.mark.parametrize("big", [2**63 - 1, 2**62, 2**40])
@pytest.mark.parametrize(
    "call",
    [
        lambda ids: e.group_count(ids),
        lambda ids: e.group_max(np.ones(len(ids)), ids),
        lambda ids: e.group_min(np.ones(len(ids)), ids),
    ],
)
def test_group_ids_beyond_any_timeline_are_refused_before_allocating(big, call):
    with pytest.raises(ValueError, match=rf"^group id {big} is too large for 1 ids"):
        call(np.array([big], dtype=np.int64))
