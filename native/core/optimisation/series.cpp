#include "core/optimisation/series.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "core/common/errors.hpp"

namespace ostrel::core::optimisation {

namespace {

size_t mix(size_t seed, uint64_t v) {
  // 64-bit variant of the usual hash_combine.
  return seed ^ (v + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

size_t hash_ints(size_t seed, std::span<const int64_t> xs) {
  seed = mix(seed, xs.size());
  for (int64_t x : xs) seed = mix(seed, static_cast<uint64_t>(x));
  return seed;
}

size_t hash_doubles(size_t seed, std::span<const double> xs) {
  seed = mix(seed, xs.size());
  for (double x : xs) {
    const double v = x == 0.0 ? 0.0 : x;  // -0.0 equals 0.0
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    seed = mix(seed, bits);
  }
  return seed;
}

}  // namespace

int64_t VariableSeries::next_col() const {
  if (cols.empty()) return 0;
  int64_t hi = cols[0];
  for (int64_t c : cols) hi = c > hi ? c : hi;
  return hi + 1;
}

void validate(const VariableSeries& v, size_t index_length) {
  const size_t n = v.cols.size();
  if (v.lb.size() != n || v.ub.size() != n || v.is_integer.size() != n || index_length != n)
    value_error("arrays must have equal length");
  for (size_t i = 0; i < n; ++i)
    if (!std::isfinite(v.lb[i]) || !std::isfinite(v.ub[i])) value_error("lb and ub must be finite");
  for (size_t i = 0; i < n; ++i)
    if (v.lb[i] > v.ub[i]) value_error("lb must be <= ub element-wise");
}

void check_start_col(int64_t start_col, size_t n) {
  constexpr int64_t kMax = int64_t{1} << 62;
  if (start_col < 0 || start_col > kMax)
    value_error("start_col must be between 0 and 2**62, got " + std::to_string(start_col));
  if (n > static_cast<uint64_t>(kMax - start_col))
    value_error("start_col " + std::to_string(start_col) + " leaves no room for " +
                std::to_string(n) + " columns below 2**62");
}

VariableSeries continuous(int64_t start_col, std::vector<double>&& lb, std::vector<double>&& ub) {
  VariableSeries v;
  const size_t n = lb.size();
  check_start_col(start_col, n);
  v.cols.resize(n);
  for (size_t i = 0; i < n; ++i) v.cols[i] = start_col + static_cast<int64_t>(i);
  v.lb = std::move(lb);
  v.ub = std::move(ub);
  v.is_integer.assign(n, 0);
  return v;
}

VariableSeries binary(int64_t start_col, size_t n) {
  check_start_col(start_col, n);
  VariableSeries v =
      continuous(start_col, std::vector<double>(n, 0.0), std::vector<double>(n, 1.0));
  v.is_integer.assign(n, 1);
  return v;
}

VariableSeries gather(const VariableSeries& v, std::span<const int64_t> positions) {
  VariableSeries out;
  const size_t k = positions.size();
  out.cols.resize(k);
  out.lb.resize(k);
  out.ub.resize(k);
  out.is_integer.resize(k);
  for (size_t j = 0; j < k; ++j) {
    const size_t i = static_cast<size_t>(positions[j]);
    out.cols[j] = v.cols[i];
    out.lb[j] = v.lb[i];
    out.ub[j] = v.ub[i];
    out.is_integer[j] = v.is_integer[i];
  }
  return out;
}

void validate(const ConstraintSeries& c) {
  const size_t nnz = c.cols.size();
  if (c.rows.size() != nnz || c.coefs.size() != nnz) value_error("cols/rows/coefs must match");
  if (nnz == 0) {
    if (!c.rhs.empty()) value_error("rhs must be empty when nnz=0");
    return;
  }
  int64_t hi = c.rows[0];
  for (int64_t r : c.rows) {
    if (r < 0) value_error("row indices must be >= 0");
    hi = r > hi ? r : hi;
  }
  if (c.rhs.size() != static_cast<size_t>(hi) + 1) value_error("rhs length mismatches row count");
}

ConstraintSeries concatenate(std::span<const ConstraintSeries* const> blocks) {
  ConstraintSeries out;
  size_t nnz = 0, nrows = 0;
  for (const ConstraintSeries* b : blocks) {
    nnz += b->nnz();
    nrows += b->rhs.size();
  }
  out.cols.reserve(nnz);
  out.rows.reserve(nnz);
  out.coefs.reserve(nnz);
  out.rhs.reserve(nrows);
  int64_t offset = 0;
  for (const ConstraintSeries* b : blocks) {
    out.cols.insert(out.cols.end(), b->cols.begin(), b->cols.end());
    for (int64_t r : b->rows) out.rows.push_back(r + offset);
    out.coefs.insert(out.coefs.end(), b->coefs.begin(), b->coefs.end());
    out.rhs.insert(out.rhs.end(), b->rhs.begin(), b->rhs.end());
    offset += static_cast<int64_t>(b->rhs.size());
  }
  return out;
}

bool equal(const VariableSeries& a, const VariableSeries& b) {
  return a.cols == b.cols && a.lb == b.lb && a.ub == b.ub && a.is_integer == b.is_integer;
}

bool equal(const ConstraintSeries& a, const ConstraintSeries& b) {
  return a.cols == b.cols && a.rows == b.rows && a.coefs == b.coefs && a.rhs == b.rhs;
}

size_t hash(const VariableSeries& v) {
  size_t h = hash_ints(0x5653, v.cols);
  h = hash_doubles(h, v.lb);
  h = hash_doubles(h, v.ub);
  for (uint8_t b : v.is_integer) h = mix(h, b != 0);
  return h;
}

size_t hash(const ConstraintSeries& c) {
  size_t h = hash_ints(0x4353, c.cols);
  h = hash_ints(h, c.rows);
  h = hash_doubles(h, c.coefs);
  return hash_doubles(h, c.rhs);
}

}  // namespace ostrel::core::optimisation
