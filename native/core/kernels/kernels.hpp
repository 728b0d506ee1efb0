#pragma once
// Dtype-fixed numeric kernels over contiguous arrays: row reductions of row-major matrices,
// element-wise extrema and selection, scatter reductions by group id. NaN follows the host
// array library: it propagates through extrema and wins an argmax.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::core::kernels {

// One operand of an element-wise kernel: an array of the common length, or one value
// broadcast to every position.
struct PerStep {
  const double* data = nullptr;
  double scalar = 0.0;
  double operator[](size_t i) const { return data ? data[i] : scalar; }
  static PerStep of(double v) { return PerStep{nullptr, v}; }
  static PerStep of(std::span<const double> v) { return PerStep{v.data(), 0.0}; }
};

// Row reductions of a `rows` x `cols` row-major matrix (T is double, int64_t or uint8_t for
// booleans).
template <typename T>
std::vector<uint8_t> row_any(std::span<const T> m, size_t rows, size_t cols);
template <typename T>
std::vector<int64_t> row_argmax(std::span<const T> m, size_t rows, size_t cols);
template <typename T>
std::vector<double> row_max(std::span<const T> m, size_t rows, size_t cols);
template <typename T>
std::vector<double> row_min(std::span<const T> m, size_t rows, size_t cols);
// Row sums truncated toward zero.
template <typename T>
std::vector<int64_t> row_sum(std::span<const T> m, size_t rows, size_t cols);

std::vector<double> pairwise_max(PerStep a, PerStep b, size_t n);
std::vector<double> pairwise_min(PerStep a, PerStep b, size_t n);

// a where cond, else b.
std::vector<double> where(std::span<const uint8_t> cond, PerStep a, PerStep b);
// Ascending positions of the true entries.
std::vector<int64_t> where_indices(std::span<const uint8_t> mask);

// Occurrences of each id 0..max(ids); empty ids give an empty result.
std::vector<int64_t> group_count(std::span<const int64_t> ids);
// Extremum of the values of each id 0..max(ids), starting from -inf (max) or +inf (min).
std::vector<double> group_max(std::span<const double> values, std::span<const int64_t> ids);
std::vector<double> group_min(std::span<const double> values, std::span<const int64_t> ids);
// Weighted count of each id 0..max(ids) (a weighted bin count).
std::vector<double> group_sum(std::span<const double> values, std::span<const int64_t> ids);
// Mean of the values of each id 0..max(ids) (NaN for an id that does not occur).
std::vector<double> group_mean(std::span<const double> values, std::span<const int64_t> ids);

}  // namespace ostrel::core::kernels

namespace ostrel::core::kernels {

// A per-step operand of length `got` where `expected` steps are needed: the assertion
// "broadcast: expected length <expected>, got <got>" unless they agree.
void check_broadcast_length(size_t expected, size_t got);

// The host's shape mismatch: ValueError "operands could not be broadcast together with shapes
// (<n>,) <shape>", `shape` in the host's text form.
[[noreturn]] void broadcast_error(size_t n, const std::string& shape);
[[noreturn]] void broadcast_error(size_t n, size_t got);

// IndexError "arrays used as indices must be of integer (or boolean) type".
[[noreturn]] void non_integer_index();

// The fixed-dtype checks: ValueError "array must be float64, got float32" (`got` is the array's
// dtype, or its type when it has none), "array must be 1-D, got 2-D" / "..., got list", and
// "array must be float64" when a conversion could not give that dtype.
[[noreturn]] void wrong_dtype(std::string_view expected, std::string_view got);
[[noreturn]] void not_one_dimensional(long ndim);
[[noreturn]] void not_an_array(std::string_view type_name);
[[noreturn]] void not_convertible(std::string_view expected);

}  // namespace ostrel::core::kernels
