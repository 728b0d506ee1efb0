#include "core/kernels/kernels.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <type_traits>

#include "core/common/errors.hpp"

namespace ostrel::core::kernels {

namespace {

template <typename T>
bool is_nan(T v) {
  if constexpr (std::is_floating_point_v<T>) {
    return std::isnan(v);
  } else {
    (void)v;
    return false;
  }
}

// The host library's cast of a float to int64: truncation; NaN and out-of-range values have
// no integer, and give the smallest int64 as the host's does on our platforms.
int64_t truncate(double v) {
  if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0))
    return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

template <typename T, typename Better>
std::vector<double> row_extremum(std::span<const T> m, size_t rows, size_t cols, const char* name,
                                 Better better) {
  if (cols == 0)  // as the host's reductions, even without rows
    value_error(std::string("zero-size array to reduction operation ") + name +
                " which has no identity");
  std::vector<double> out(rows);
  for (size_t r = 0; r < rows; ++r) {
    const T* row = m.data() + r * cols;
    double best = static_cast<double>(row[0]);
    for (size_t c = 1; c < cols && !std::isnan(best); ++c) {
      const double v = static_cast<double>(row[c]);
      if (std::isnan(v) || better(v, best)) best = v;
    }
    out[r] = best;
  }
  return out;
}

void require_non_negative(std::span<const int64_t> ids, const char* message) {
  for (int64_t id : ids)
    if (id < 0) value_error(message);
}

// The number of groups, max id + 1, checked against what the ids can justify before anything
// is allocated: the engine's ids are periods or steps, dense up to the number of ids, so a far
// larger id is a caller's mistake (and 2**63 - 1 would wrap the count).
size_t group_slots(int64_t hi, size_t n_ids) {
  const size_t limit = (size_t{1} << 20) + 64 * n_ids;
  if (hi >= 0 && static_cast<uint64_t>(hi) >= limit)
    value_error("group id " + std::to_string(hi) + " is too large for " + std::to_string(n_ids) +
                " ids (ids must be below " + std::to_string(limit) + ")");
  return static_cast<size_t>(hi + 1);
}

int64_t max_id(std::span<const int64_t> ids, const char* reduction) {
  if (ids.empty())
    value_error(std::string("zero-size array to reduction operation ") + reduction +
                " which has no identity");
  int64_t hi = ids[0];
  for (int64_t id : ids) hi = id > hi ? id : hi;
  return hi;
}

template <typename Fold>
std::vector<double> group_fold(std::span<const double> values, std::span<const int64_t> ids,
                               double start, Fold fold) {
  if (values.size() != ids.size()) value_error("values and ids must have equal length");
  const int64_t hi = max_id(ids, "maximum");
  require_non_negative(ids, "group ids must be >= 0");
  std::vector<double> out(group_slots(hi, ids.size()), start);
  for (size_t i = 0; i < ids.size(); ++i) {
    double& slot = out[static_cast<size_t>(ids[i])];
    slot = fold(slot, values[i]);
  }
  return out;
}

}  // namespace

template <typename T>
std::vector<uint8_t> row_any(std::span<const T> m, size_t rows, size_t cols) {
  std::vector<uint8_t> out(rows, 0);
  for (size_t r = 0; r < rows; ++r) {
    const T* row = m.data() + r * cols;
    uint8_t any = 0;
    for (size_t c = 0; c < cols; ++c) any |= (row[c] != T{}) ? 1 : 0;  // NaN is non-zero
    out[r] = any;
  }
  return out;
}

template <typename T>
std::vector<int64_t> row_argmax(std::span<const T> m, size_t rows, size_t cols) {
  if (cols == 0) value_error("attempt to get argmax of an empty sequence");
  std::vector<int64_t> out(rows);
  for (size_t r = 0; r < rows; ++r) {
    const T* row = m.data() + r * cols;
    size_t best = 0;
    T top = row[0];
    size_t nan_at = cols;
    for (size_t c = 0; c < cols; ++c)
      if (is_nan(row[c])) {
        nan_at = c;
        break;
      }
    if (nan_at < cols) {
      best = nan_at;  // the host's argmax stops at the first NaN
    } else {
      for (size_t c = 1; c < cols; ++c) {
        const bool higher = row[c] > top;
        best = higher ? c : best;
        top = higher ? row[c] : top;
      }
    }
    out[r] = static_cast<int64_t>(best);
  }
  return out;
}

template <typename T>
std::vector<double> row_max(std::span<const T> m, size_t rows, size_t cols) {
  return row_extremum(m, rows, cols, "maximum", [](double v, double best) { return v > best; });
}

template <typename T>
std::vector<double> row_min(std::span<const T> m, size_t rows, size_t cols) {
  return row_extremum(m, rows, cols, "minimum", [](double v, double best) { return v < best; });
}

template <typename T>
std::vector<int64_t> row_sum(std::span<const T> m, size_t rows, size_t cols) {
  std::vector<int64_t> out(rows);
  for (size_t r = 0; r < rows; ++r) {
    const T* row = m.data() + r * cols;
    if constexpr (std::is_floating_point_v<T>) {
      double s = 0.0;
      for (size_t c = 0; c < cols; ++c) s += row[c];
      out[r] = truncate(s);
    } else {
      int64_t s = 0;
      bool overflow = false;
      for (size_t c = 0; c < cols; ++c)
        overflow |= __builtin_add_overflow(s, static_cast<int64_t>(row[c]), &s);
      if (overflow) value_error("row sum out of int64 range");
      out[r] = s;
    }
  }
  return out;
}

#define OSTREL_ROW_KERNELS(T)                                                      \
  template std::vector<uint8_t> row_any<T>(std::span<const T>, size_t, size_t);    \
  template std::vector<int64_t> row_argmax<T>(std::span<const T>, size_t, size_t); \
  template std::vector<double> row_max<T>(std::span<const T>, size_t, size_t);     \
  template std::vector<double> row_min<T>(std::span<const T>, size_t, size_t);     \
  template std::vector<int64_t> row_sum<T>(std::span<const T>, size_t, size_t);
OSTREL_ROW_KERNELS(double)
OSTREL_ROW_KERNELS(int64_t)
OSTREL_ROW_KERNELS(uint8_t)
#undef OSTREL_ROW_KERNELS

namespace {

// Runs `f(x, y)` over n steps with each operand read from an array or a scalar, so that each
// loop has no per-element choice of operand and can be vectorised.
template <typename F>
std::vector<double> elementwise(PerStep a, PerStep b, size_t n, F f) {
  std::vector<double> out(n);
  double* o = out.data();
  if (a.data && b.data) {
    for (size_t i = 0; i < n; ++i) o[i] = f(a.data[i], b.data[i]);
  } else if (a.data) {
    for (size_t i = 0; i < n; ++i) o[i] = f(a.data[i], b.scalar);
  } else if (b.data) {
    for (size_t i = 0; i < n; ++i) o[i] = f(a.scalar, b.data[i]);
  } else {
    for (size_t i = 0; i < n; ++i) o[i] = f(a.scalar, b.scalar);
  }
  return out;
}

// NaN on either side gives NaN: x when x wins or is NaN, else y (NaN when y is).
inline double nan_max(double x, double y) { return (x > y || x != x) ? x : y; }
inline double nan_min(double x, double y) { return (x < y || x != x) ? x : y; }

}  // namespace

std::vector<double> pairwise_max(PerStep a, PerStep b, size_t n) {
  return elementwise(a, b, n, nan_max);
}

std::vector<double> pairwise_min(PerStep a, PerStep b, size_t n) {
  return elementwise(a, b, n, nan_min);
}

std::vector<double> where(std::span<const uint8_t> cond, PerStep a, PerStep b) {
  const size_t n = cond.size();
  std::vector<double> out(n);
  double* o = out.data();
  const uint8_t* c = cond.data();
  if (a.data && b.data) {
    for (size_t i = 0; i < n; ++i) o[i] = c[i] ? a.data[i] : b.data[i];
  } else if (a.data) {
    for (size_t i = 0; i < n; ++i) o[i] = c[i] ? a.data[i] : b.scalar;
  } else if (b.data) {
    for (size_t i = 0; i < n; ++i) o[i] = c[i] ? a.scalar : b.data[i];
  } else {
    for (size_t i = 0; i < n; ++i) o[i] = c[i] ? a.scalar : b.scalar;
  }
  return out;
}

std::vector<int64_t> where_indices(std::span<const uint8_t> mask) {
  size_t count = 0;
  for (uint8_t v : mask) count += v != 0;
  // Branch-free compaction: every position is written, only true ones advance.
  std::vector<int64_t> out(count + 1);
  size_t j = 0;
  for (size_t i = 0; i < mask.size(); ++i) {
    out[j] = static_cast<int64_t>(i);
    j += mask[i] != 0;
  }
  out.resize(count);
  return out;
}

std::vector<int64_t> group_count(std::span<const int64_t> ids) {
  require_non_negative(ids, "'list' argument must have no negative elements");
  int64_t hi = -1;
  for (int64_t id : ids) hi = id > hi ? id : hi;
  std::vector<int64_t> out(group_slots(hi, ids.size()), 0);
  for (int64_t id : ids) ++out[static_cast<size_t>(id)];
  return out;
}

std::vector<double> group_max(std::span<const double> values, std::span<const int64_t> ids) {
  return group_fold(values, ids, -std::numeric_limits<double>::infinity(), [](double s, double v) {
    return (std::isnan(s) || std::isnan(v)) ? std::numeric_limits<double>::quiet_NaN()
                                            : (v > s ? v : s);
  });
}

std::vector<double> group_min(std::span<const double> values, std::span<const int64_t> ids) {
  return group_fold(values, ids, std::numeric_limits<double>::infinity(), [](double s, double v) {
    return (std::isnan(s) || std::isnan(v)) ? std::numeric_limits<double>::quiet_NaN()
                                            : (v < s ? v : s);
  });
}

std::vector<double> group_sum(std::span<const double> values, std::span<const int64_t> ids) {
  if (values.size() != ids.size()) value_error("The weights and list don't have the same length.");
  require_non_negative(ids, "'list' argument must have no negative elements");
  int64_t hi = -1;
  for (int64_t id : ids) hi = id > hi ? id : hi;
  std::vector<double> out(group_slots(hi, ids.size()), 0.0);
  for (size_t i = 0; i < ids.size(); ++i) out[static_cast<size_t>(ids[i])] += values[i];
  return out;
}

}  // namespace ostrel::core::kernels

namespace ostrel::core::kernels {

std::vector<double> group_mean(std::span<const double> values, std::span<const int64_t> ids) {
  std::vector<double> sums = group_sum(values, ids);
  const std::vector<int64_t> counts = group_count(ids);
  for (size_t i = 0; i < sums.size(); ++i) sums[i] /= static_cast<double>(counts[i]);
  return sums;
}

void check_broadcast_length(size_t expected, size_t got) {
  check(got == expected,
        "broadcast: expected length " + std::to_string(expected) + ", got " + std::to_string(got));
}

void broadcast_error(size_t n, const std::string& shape) {
  value_error(concat("operands could not be broadcast together with shapes (", std::to_string(n),
                     ",) ", shape));
}

void non_integer_index() {
  fail(ErrorKind::Index, "arrays used as indices must be of integer (or boolean) type");
}

void wrong_dtype(std::string_view expected, std::string_view got) {
  value_error(concat("array must be ", expected, ", got ", got));
}

void not_one_dimensional(long ndim) {
  value_error("array must be 1-D, got " + std::to_string(ndim) + "-D");
}

void not_an_array(std::string_view type_name) {
  value_error(concat("array must be 1-D, got ", type_name));
}

void not_convertible(std::string_view expected) { value_error(concat("array must be ", expected)); }

void broadcast_error(size_t n, size_t got) {
  broadcast_error(n, concat("(", std::to_string(got), ",)"));
}

}  // namespace ostrel::core::kernels
