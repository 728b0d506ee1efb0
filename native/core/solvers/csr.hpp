#pragma once
// Compressed sparse rows of a constraint record, in the form solvers take whole: row starts,
// column indices sorted within each row, entries of one row and column summed.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/optimisation/series.hpp"

namespace ostrel::core::solvers {

struct Csr {
  std::vector<int32_t>
      starts;  // one per row and one past the last: row r is [starts[r], starts[r + 1])
  std::vector<int32_t> indices;
  std::vector<double> values;

  size_t nnz() const { return indices.size(); }
};

// One row per right-hand side of `rows`, its columns ascending; entries that share a row and a
// column are summed in the order they appear (explicit zeros are kept). ValueError for a
// column outside 0..num_cols-1 or counts beyond the solver's 32-bit indices.
Csr to_csr(const optimisation::ConstraintSeries& rows, size_t num_cols);

}  // namespace ostrel::core::solvers
