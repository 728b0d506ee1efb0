#include "core/solvers/columns.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "core/common/errors.hpp"

namespace ostrel::core::solvers {

NewColumns collect_columns(std::span<const optimisation::VariableSeries* const> series) {
  std::vector<const optimisation::VariableSeries*> kept;
  size_t n = 0;
  for (const auto* s : series)
    if (s->size() > 0) {
      kept.push_back(s);
      n += s->size();
    }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const auto* a, const auto* b) { return a->cols[0] < b->cols[0]; });
  NewColumns out;
  out.cols.reserve(n);
  out.lb.reserve(n);
  out.ub.reserve(n);
  out.is_integer.reserve(n);
  for (const auto* s : kept) {
    out.cols.insert(out.cols.end(), s->cols.begin(), s->cols.end());
    out.lb.insert(out.lb.end(), s->lb.begin(), s->lb.end());
    out.ub.insert(out.ub.end(), s->ub.begin(), s->ub.end());
    out.is_integer.insert(out.is_integer.end(), s->is_integer.begin(), s->is_integer.end());
  }
  std::vector<int64_t> integer;
  for (size_t i = 0; i < n; ++i)
    if (out.is_integer[i]) integer.push_back(out.cols[i]);
  out.integer_cols = to_int32(integer);
  return out;
}

std::vector<int32_t> to_int32(std::span<const int64_t> cols) {
  std::vector<int32_t> out(cols.size());
  for (size_t i = 0; i < cols.size(); ++i) {
    const int64_t c = cols[i];
    if (c < 0 || c > std::numeric_limits<int32_t>::max())
      value_error("column " + std::to_string(c) + " is outside the solver's column range");
    out[i] = static_cast<int32_t>(c);
  }
  return out;
}

bool fit_int32(std::span<const int64_t> cols) {
  for (int64_t c : cols)
    if (c < 0 || c > std::numeric_limits<int32_t>::max()) return false;
  return true;
}

std::vector<int64_t> ascending_order(std::span<const int64_t> keys) {
  std::vector<int64_t> order(keys.size());
  std::iota(order.begin(), order.end(), int64_t{0});
  // Callers mostly hand keys in time order already: skip the sort then.
  if (std::is_sorted(keys.begin(), keys.end())) return order;
  std::stable_sort(order.begin(), order.end(),
                   [&](int64_t a, int64_t b) { return keys[a] < keys[b]; });
  return order;
}

std::vector<double> scatter(std::span<const double> source, std::span<const int64_t> order) {
  std::vector<double> out(order.size());
  for (size_t i = 0; i < order.size(); ++i) out[static_cast<size_t>(order[i])] = source[i];
  return out;
}

std::optional<size_t> run_within(std::span<const int64_t> sorted, std::span<const int64_t> wanted) {
  if (wanted.empty()) return std::nullopt;
  const auto first = std::lower_bound(sorted.begin(), sorted.end(), wanted.front());
  const auto at = static_cast<size_t>(first - sorted.begin());
  if (sorted.size() - at < wanted.size()) return std::nullopt;
  if (!std::equal(wanted.begin(), wanted.end(), first)) return std::nullopt;
  return at;
}

void require_finite_bounds(std::span<const double> lb, std::span<const double> ub,
                           double infinity) {
  auto finite = [infinity](double x) { return std::isfinite(x) && std::fabs(x) < infinity; };
  for (size_t i = 0; i < lb.size(); ++i)
    if (!finite(lb[i]) || !finite(ub[i])) value_error("input variables need finite bounds");
}

void require_pairing(size_t timestamps, size_t cols) {
  if (timestamps == cols) return;
  // The host's text for a strict zip of (timestamps, columns).
  value_error(std::string("zip() argument 2 is ") + (cols < timestamps ? "shorter" : "longer") +
              " than argument 1");
}

void require_column(int64_t col, size_t count) {
  if (col < 0 || static_cast<uint64_t>(col) >= count)
    fail(ErrorKind::Index, "column " + std::to_string(col) + " is not in the model (" +
                               std::to_string(count) + " columns)");
}

void solver_call_failed(const std::string& call, const std::string& status) {
  value_error(call + " failed with status " + status);
}

void bounds_unreadable() { value_error("failed to read column bounds"); }

std::vector<int32_t> added_positions(int64_t from, int64_t to) {
  std::vector<int32_t> out;
  for (int64_t i = from; i < to; ++i) out.push_back(static_cast<int32_t>(i));
  return out;
}

}  // namespace ostrel::core::solvers
