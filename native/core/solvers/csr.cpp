#include "core/solvers/csr.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "core/common/errors.hpp"

namespace ostrel::core::solvers {

namespace {

constexpr size_t kMaxIndex = static_cast<size_t>(std::numeric_limits<int32_t>::max());

// Sorts one row's entries by column, stably (equal columns keep their order of appearance),
// and sums runs of one column into its first entry; returns the row's new length.
size_t canonical_row(int32_t* cols, double* values, size_t n, std::vector<size_t>& order,
                     std::vector<int32_t>& col_scratch, std::vector<double>& value_scratch) {
  if (!std::is_sorted(cols, cols + n)) {
    order.resize(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [cols](size_t a, size_t b) { return cols[a] < cols[b]; });
    col_scratch.assign(cols, cols + n);
    value_scratch.assign(values, values + n);
    for (size_t i = 0; i < n; ++i) {
      cols[i] = col_scratch[order[i]];
      values[i] = value_scratch[order[i]];
    }
  }
  size_t out = 0;
  for (size_t i = 0; i < n; ++out) {
    const int32_t c = cols[i];
    double sum = values[i++];
    while (i < n && cols[i] == c) sum += values[i++];
    cols[out] = c;
    values[out] = sum;
  }
  return out;
}

}  // namespace

Csr to_csr(const optimisation::ConstraintSeries& rows, size_t num_cols) {
  const size_t m = rows.rhs.size(), nnz = rows.nnz();
  if (m > kMaxIndex || nnz > kMaxIndex || num_cols > kMaxIndex + 1)
    value_error("the rows have " + std::to_string(nnz) + " entries in " + std::to_string(m) +
                " rows over " + std::to_string(num_cols) +
                " columns, beyond the solver's 32-bit indices");
  // The texts callers saw when scipy built this matrix.
  for (int64_t c : rows.cols) {
    if (c < 0) value_error("negative axis 1 index: " + std::to_string(c));
    if (static_cast<uint64_t>(c) >= num_cols)
      value_error("axis 1 index " + std::to_string(c) + " exceeds matrix dimension " +
                  std::to_string(num_cols));
  }
  // Entries grouped by row, in their order of appearance within a row (a counting sort).
  std::vector<size_t> fill(m + 1, 0);
  for (int64_t r : rows.rows) ++fill[static_cast<size_t>(r) + 1];
  for (size_t r = 0; r < m; ++r) fill[r + 1] += fill[r];
  Csr out;
  out.indices.resize(nnz);
  out.values.resize(nnz);
  for (size_t k = 0; k < nnz; ++k) {
    const size_t at = fill[static_cast<size_t>(rows.rows[k])]++;
    out.indices[at] = static_cast<int32_t>(rows.cols[k]);
    out.values[at] = rows.coefs[k];
  }
  // fill[r] is now where row r ends; compact each row in place, front to back.
  out.starts.resize(m + 1);
  std::vector<size_t> order;
  std::vector<int32_t> col_scratch;
  std::vector<double> value_scratch;
  size_t begin = 0, kept = 0;
  for (size_t r = 0; r < m; ++r) {
    const size_t end = fill[r];
    out.starts[r] = static_cast<int32_t>(kept);
    const size_t n = end - begin;
    if (kept < begin) {  // earlier rows lost summed entries: move this one up
      std::copy(out.indices.data() + begin, out.indices.data() + end, out.indices.data() + kept);
      std::copy(out.values.data() + begin, out.values.data() + end, out.values.data() + kept);
    }
    kept += canonical_row(out.indices.data() + kept, out.values.data() + kept, n, order,
                          col_scratch, value_scratch);
    begin = end;
  }
  out.starts[m] = static_cast<int32_t>(kept);
  out.indices.resize(kept);
  out.values.resize(kept);
  return out;
}

}  // namespace ostrel::core::solvers
