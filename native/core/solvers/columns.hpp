#pragma once
// What the solver adapters compute without the solver: the new columns of compiled blocks in
// the order the model receives them, and the caller's variables put in time order.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/optimisation/series.hpp"

namespace ostrel::core::solvers {

// The columns of every non-empty series, series ordered by their first column (stable), then
// concatenated. The model appends them in this order after its existing columns.
struct NewColumns : optimisation::VariableSeries {
  std::vector<int32_t> integer_cols;  // the columns where is_integer is set
};

NewColumns collect_columns(std::span<const optimisation::VariableSeries* const> series);

// Column numbers as the solver's 32-bit indices; ValueError when one does not fit.
std::vector<int32_t> to_int32(std::span<const int64_t> cols);
bool fit_int32(std::span<const int64_t> cols);

// The stable ascending order of `keys`: positions into `keys`.
std::vector<int64_t> ascending_order(std::span<const int64_t> keys);

// values[i] = source[order[i]] and the inverse scatter out[order[i]] = source[i].
template <typename T>
std::vector<T> take(std::span<const T> source, std::span<const int64_t> order) {
  std::vector<T> out(order.size());
  for (size_t i = 0; i < order.size(); ++i) out[i] = source[static_cast<size_t>(order[i])];
  return out;
}
std::vector<double> scatter(std::span<const double> source, std::span<const int64_t> order);

// Where `wanted` lies in `sorted` (ascending) as one run of consecutive entries: the position
// of its first; none when it does not, or when it is empty.
std::optional<size_t> run_within(std::span<const int64_t> sorted, std::span<const int64_t> wanted);

// A bound at or beyond `infinity` (in magnitude) counts as infinite: solvers have their own
// infinity below the floating-point one. ValueError "input variables need finite bounds".
void require_finite_bounds(std::span<const double> lb, std::span<const double> ub, double infinity);

// Timestamps and columns are paired strictly one to one.
void require_pairing(size_t timestamps, size_t cols);

// A column number of a model with `count` columns; IndexError otherwise.
void require_column(int64_t col, size_t count);

// A solver call that reports failure by its status, not by raising: the change it was asked
// for did not happen, which must not pass as success.
[[noreturn]] void solver_call_failed(const std::string& call, const std::string& status);
// ValueError "failed to read column bounds": a column the solver cannot be asked about, or a
// query it answered with a failing status.
[[noreturn]] void bounds_unreadable();

// The positions [from, to) of what a failed call added, as the solver numbers them (empty when
// nothing was added).
std::vector<int32_t> added_positions(int64_t from, int64_t to);

}  // namespace ostrel::core::solvers
