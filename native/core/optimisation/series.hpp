#pragma once
// The solver-neutral records of the optimisation layer: one solver column per time step, and
// blocks of linear rows in coordinate form (one entry per non-zero; rows local to the block).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ostrel::core::optimisation {

struct VariableSeries {
  std::vector<int64_t> cols;
  std::vector<double> lb;
  std::vector<double> ub;
  std::vector<uint8_t> is_integer;  // 0/1, read as booleans

  size_t size() const { return cols.size(); }
  // One more than the largest column; 0 when empty.
  int64_t next_col() const;
};

// The checks after construction, after the dtype checks: equal lengths (the time index
// counted too), finite bounds, lb <= ub.
void validate(const VariableSeries& v, size_t index_length);

// Columns start_col .. start_col + n - 1 from 0 up to 2**62 (the columns any model can have):
// ValueError otherwise, before anything is allocated.
void check_start_col(int64_t start_col, size_t n);

// New columns from start_col (checked as above).
VariableSeries continuous(int64_t start_col, std::vector<double>&& lb, std::vector<double>&& ub);
VariableSeries binary(int64_t start_col, size_t n);
// The entries at `positions` (already resolved to 0..size-1); columns are shared, not
// renumbered.
VariableSeries gather(const VariableSeries& v, std::span<const int64_t> positions);

struct ConstraintSeries {
  std::vector<int64_t> cols;
  std::vector<int64_t> rows;
  std::vector<double> coefs;
  std::vector<double> rhs;

  size_t nnz() const { return cols.size(); }
};

// The checks after construction, after the dtype checks.
void validate(const ConstraintSeries& c);

// The blocks joined in order, each block's rows offset by the rows before it.
ConstraintSeries concatenate(std::span<const ConstraintSeries* const> blocks);

// Value equality and a hash consistent with it (-0.0 and 0.0 are equal and hash alike).
bool equal(const VariableSeries& a, const VariableSeries& b);
bool equal(const ConstraintSeries& a, const ConstraintSeries& b);
size_t hash(const VariableSeries& v);
size_t hash(const ConstraintSeries& c);

}  // namespace ostrel::core::optimisation
